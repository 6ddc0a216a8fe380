#include "quillmarsh/submit/validation/registry.hpp"

namespace quillmarsh::validation {

namespace {
PyObject* not_built(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "submission contract validation is not built yet");
  return nullptr;
}
}  // namespace

PyMethodDef kValidateSubmissionContract = {"_validate_submission_contract", QM_FASTCALL_ENTRY(not_built), nullptr};

PyMethodDef* const kModuleFunctions[] = {nullptr};

}  // namespace quillmarsh::validation
