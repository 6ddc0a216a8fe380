// The operations of SignalServiceClient, one file each: idempotency.cpp, submit_signal.cpp,
// submit_strategy.cpp, submit_batch.cpp, status.cpp.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::operations {

// A static method: the module comes first.
host::Ref client_idempotency_key_for_body(PyObject* module, PyObject* body);
PyObject* client_submit_signal(PyObject* self, PyObject* graph, PyObject* named_universe, PyObject* signal_pool_name,
                               PyObject* is_stats, PyObject* is_pnl_mi, PyObject* metaparameters,
                               PyObject* expression_elapsed_seconds, PyObject* search_state,
                               PyObject* idempotency_key, PyObject* threshold_checks, PyObject* thresholds,
                               PyObject* client_manifest_version, PyObject* market_id, PyObject* era_number,
                               PyObject* client_manifest_market_id, PyObject* client_manifest_era_number);
PyObject* client_submit_strategy(PyObject* self, PyObject* graph, PyObject* named_universe,
                                 PyObject* strategy_pool_name, PyObject* market_id, PyObject* era_number,
                                 PyObject* metaparameters, PyObject* idempotency_key, PyObject* client_manifest_version,
                                 PyObject* client_manifest_market_id, PyObject* client_manifest_era_number);
PyObject* client_submit_signals_batch(PyObject* self, PyObject* submissions);
PyObject* client_get_signal_status(PyObject* self, PyObject* submission_id);
PyObject* client_list_signal_submissions(PyObject* self, PyObject* status, PyObject* idempotency_key,
                                         PyObject* since, PyObject* limit);
PyObject* client_poll_until_terminal(PyObject* self, PyObject* submission_id, PyObject* timeout);

// The same operations prepared for the asynchronous client (`client` is its synchronous twin,
// which holds the settings and the era catalog): each returns the operation's exchange
// (exchange.hpp), raising what the synchronous operation raises before its first request.
PyObject* submit_signal_exchange(PyObject* module, PyObject* client, PyObject* graph, PyObject* named_universe,
                                       PyObject* signal_pool_name, PyObject* is_stats, PyObject* is_pnl_mi,
                                       PyObject* metaparameters, PyObject* expression_elapsed_seconds,
                                       PyObject* search_state, PyObject* idempotency_key, PyObject* threshold_checks,
                                       PyObject* thresholds, PyObject* client_manifest_version, PyObject* market_id,
                                       PyObject* era_number, PyObject* client_manifest_market_id,
                                       PyObject* client_manifest_era_number);
PyObject* submit_strategy_exchange(PyObject* module, PyObject* client, PyObject* graph,
                                         PyObject* named_universe, PyObject* strategy_pool_name, PyObject* market_id,
                                         PyObject* era_number, PyObject* metaparameters, PyObject* idempotency_key,
                                         PyObject* client_manifest_version, PyObject* client_manifest_market_id,
                                         PyObject* client_manifest_era_number);
PyObject* submit_signals_batch_exchange(PyObject* module, PyObject* client, PyObject* submissions);
// Bodies already prepared (by `_submit_signals_batch_exchange`'s checks), posted as the batch
// posts its own: chunks, answers and failures mapped the same way; nothing checked again.
PyObject* prepared_batch_exchange(PyObject* module, PyObject* client, PyObject* bodies);
PyObject* signal_status_exchange(PyObject* module, PyObject* client, PyObject* submission_id);
PyObject* signal_submissions_exchange(PyObject* module, PyObject* client, PyObject* status,
                                            PyObject* idempotency_key, PyObject* since, PyObject* limit);
// Polling's two steps: the deadline (time.monotonic() + timeout), and after each status the
// wait before the next one, or None when that status stands.
PyObject* poll_deadline(PyObject* module, PyObject* timeout);
PyObject* poll_delay(PyObject* module, PyObject* last, PyObject* deadline);

}  // namespace quillmarsh::operations
