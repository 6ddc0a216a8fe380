// SubmissionReceipt and SubmissionStatus: plain records of the public surface, each storing its
// arguments under their parameters' names.
#include "quillmarsh/submit/results/results.hpp"

namespace quillmarsh::results {

namespace {

// `self.<name> = value` for each pair, in order.
bool store(PyObject* self, std::initializer_list<std::pair<const char*, PyObject*>> fields) {
  for (const auto& [name, value] : fields) {
    if (PyObject_SetAttrString(self, name, value) < 0) return false;
  }
  return true;
}

}  // namespace

PyObject* receipt_init(PyObject* self, PyObject* submission_id) {
  if (!store(self, {{"submission_id", submission_id}})) return nullptr;
  Py_RETURN_NONE;
}

PyObject* status_record_init(PyObject* self, PyObject* submission_id, PyObject* status, PyObject* is_stats,
                             PyObject* payment, PyObject* rejection_reason, PyObject* signal_pool_id,
                             PyObject* is_correlation, PyObject* agent_is_correlation, PyObject* is_pnl_mi,
                             PyObject* agent_is_pnl_mi, PyObject* failure_reason, PyObject* failure_detail,
                             PyObject* failure_message) {
  if (!store(self, {{"submission_id", submission_id},
                    {"status", status},
                    {"is_stats", is_stats},
                    {"payment", payment},
                    {"rejection_reason", rejection_reason},
                    {"signal_pool_id", signal_pool_id},
                    {"is_correlation", is_correlation},
                    {"agent_is_correlation", agent_is_correlation},
                    {"is_pnl_mi", is_pnl_mi},
                    {"agent_is_pnl_mi", agent_is_pnl_mi},
                    {"failure_reason", failure_reason},
                    {"failure_detail", failure_detail},
                    {"failure_message", failure_message}})) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace quillmarsh::results
