#include "quillmarsh/submit/eras/registry.hpp"

namespace quillmarsh::eras {

namespace {
PyObject* not_built(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "era catalog support is not built yet");
  return nullptr;
}
}  // namespace

PyMethodDef kFetchEraCatalog = {"_fetch_era_catalog", QM_FASTCALL_ENTRY(not_built), nullptr};
PyMethodDef kResolveSubmitThresholds = {"_resolve_submit_thresholds", QM_FASTCALL_ENTRY(not_built), nullptr};

PyMethodDef* const kModuleFunctions[] = {nullptr};

}  // namespace quillmarsh::eras
