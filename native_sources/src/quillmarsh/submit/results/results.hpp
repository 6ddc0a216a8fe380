// Result mapping: the record classes of the public surface, the module's result helpers and
// the converters of SignalServiceClient (static methods take the module first, class methods
// the class).
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::results {

// SubmissionReceipt.__init__ and SubmissionStatus.__init__
PyObject* receipt_init(PyObject* self, PyObject* submission_id);
PyObject* status_record_init(PyObject* self, PyObject* submission_id, PyObject* status, PyObject* is_stats,
                             PyObject* payment, PyObject* rejection_reason, PyObject* signal_pool_id,
                             PyObject* is_correlation, PyObject* agent_is_correlation, PyObject* is_pnl_mi,
                             PyObject* agent_is_pnl_mi, PyObject* failure_reason, PyObject* failure_detail,
                             PyObject* failure_message);

// Module functions: _coerce_status_metric, _failure_reason_from_status_body, _public_status_body
PyObject* coerce_status_metric(PyObject* module, PyObject* value);
PyObject* failure_reason_from_status_body(PyObject* module, PyObject* body);
PyObject* public_status_body(PyObject* module, PyObject* body);

// Results from bodies (from_body.cpp)
PyObject* client_submit_result_from_body(PyObject* module, PyObject* status_code, PyObject* body);
PyObject* client_status_result_from_body(PyObject* module, PyObject* status_code, PyObject* body);
PyObject* client_submission_list_result_from_body(PyObject* module, PyObject* status_code, PyObject* body,
                                                  PyObject* error);

// Results from failures (from_failure.cpp)
PyObject* client_submit_result_from_rejection(PyObject* module, PyObject* exc);
PyObject* client_status_result_from_rejection(PyObject* module, PyObject* exc);
PyObject* client_error_body_from_response_error(PyObject* module, PyObject* exc);
PyObject* client_submit_result_from_response_error(PyObject* cls, PyObject* exc);
PyObject* client_batch_result_from_response_error(PyObject* cls, PyObject* exc);
PyObject* client_status_result_from_response_error(PyObject* cls, PyObject* exc);
PyObject* client_submit_result_from_transport_error(PyObject* module, PyObject* exc);
PyObject* client_batch_result_from_transport_error(PyObject* module, PyObject* exc);
PyObject* client_status_result_from_transport_error(PyObject* module, PyObject* exc);

// Batch results (batch.cpp)
PyObject* client_batch_item_result_from_body(PyObject* module, PyObject* item);
PyObject* client_batch_result_from_body(PyObject* cls, PyObject* status_code, PyObject* body, PyObject* error);
PyObject* client_batch_body_item_from_result(PyObject* module, PyObject* item);
PyObject* client_batch_http_status_for_items(PyObject* module, PyObject* results);
PyObject* client_combine_batch_chunk_results(PyObject* cls, PyObject* chunk_results);
PyObject* client_batch_result_with_partial_failure(PyObject* cls, PyObject* failure, PyObject* prior_results,
                                                   PyObject* total_count);
PyObject* client_rebase_batch_item_indices(PyObject* module, PyObject* result, PyObject* index_offset);

}  // namespace quillmarsh::results
