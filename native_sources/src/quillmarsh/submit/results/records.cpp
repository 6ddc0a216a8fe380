// SubmissionReceipt and SubmissionStatus: plain records of the public surface.
#include "quillmarsh/submit/results/registry.hpp"

namespace quillmarsh::results {

using host::Ref;

namespace {

// Stores each bound argument (or its default, None) under the parameter's name.
bool store_fields(PyObject* self, const host::Signature& sig, const char* const* names, PyObject* const* values) {
  for (int i = 0; i < sig.size(); ++i) {
    if (PyObject_SetAttrString(self, names[i], values[i] ? values[i] : Py_None) < 0) return false;
  }
  return true;
}

constexpr const char* kReceiptFields[] = {"submission_id"};

PyObject* receipt_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("SubmissionReceipt.__init__", 1, 1, {{"submission_id", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  if (!store_fields(self, sig, kReceiptFields, a)) return nullptr;
  Py_RETURN_NONE;
}

constexpr const char* kStatusFields[] = {
    "submission_id",  "status",         "is_stats",       "payment",          "rejection_reason",
    "signal_pool_id", "is_correlation", "agent_is_correlation", "is_pnl_mi", "agent_is_pnl_mi",
    "failure_reason", "failure_detail", "failure_message",
};

PyObject* status_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig(
      "SubmissionStatus.__init__", 1, 13,
      {{"submission_id", true}, {"status", true}, {"is_stats", true}, {"payment", true}, {"rejection_reason", true},
       {"signal_pool_id", false}, {"is_correlation", false}, {"agent_is_correlation", false}, {"is_pnl_mi", false},
       {"agent_is_pnl_mi", false}, {"failure_reason", false}, {"failure_detail", false}, {"failure_message", false}});
  PyObject* a[13];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  if (!store_fields(self, sig, kStatusFields, a)) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef receipt_init_def = {"__init__", QM_FASTCALL_ENTRY(receipt_init),
                                "__init__($self, submission_id)\n--\n\nRecord the id of an accepted submission."};
PyMethodDef status_init_def = {
    "__init__", QM_FASTCALL_ENTRY(status_init),
    "__init__($self, submission_id, status, is_stats, payment, rejection_reason, signal_pool_id=None, "
    "is_correlation=None, agent_is_correlation=None, is_pnl_mi=None, agent_is_pnl_mi=None, failure_reason=None, "
    "failure_detail=None, failure_message=None)\n--\n\n"
    "Record a submission's status fields, unchanged."};

}  // namespace

const host::Member kSubmissionReceiptMembers[] = {
    {&receipt_init_def, host::MemberKind::Instance},
    {nullptr, host::MemberKind::Instance},
};

const host::Member kSubmissionStatusMembers[] = {
    {&status_init_def, host::MemberKind::Instance},
    {nullptr, host::MemberKind::Instance},
};

}  // namespace quillmarsh::results
