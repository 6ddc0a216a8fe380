#include "quillmarsh/submit/operations/registry.hpp"

namespace quillmarsh::operations {

namespace {
PyObject* not_built(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "submission operations are not built yet");
  return nullptr;
}
}  // namespace

PyMethodDef kIdempotencyKeyForBody = {"_idempotency_key_for_body", QM_FASTCALL_ENTRY(not_built), nullptr};
PyMethodDef kSubmitSignal = {"submit_signal", QM_FASTCALL_ENTRY(not_built), nullptr};
PyMethodDef kSubmitStrategy = {"submit_strategy", QM_FASTCALL_ENTRY(not_built), nullptr};
PyMethodDef kGetSignalStatus = {"get_signal_status", QM_FASTCALL_ENTRY(not_built), nullptr};
PyMethodDef kListSignalSubmissions = {"list_signal_submissions", QM_FASTCALL_ENTRY(not_built), nullptr};
PyMethodDef kPollUntilTerminal = {"poll_until_terminal", QM_FASTCALL_ENTRY(not_built), nullptr};

}  // namespace quillmarsh::operations
