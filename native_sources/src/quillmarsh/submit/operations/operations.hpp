// The operations of SignalServiceClient, one file each (submit_signal.cpp,
// submit_strategy.cpp, submit_batch.cpp, status.cpp), and how a row of the surface makes one.
//
// An operation is its preparation: every local check, the body and the key, made into an
// Exchange (exchange.hpp) that has yet to make its requests, or null with the refusal raised.
// `operations::operation<&prepare>(name, parameters, doc)` is its one row: the method binds its
// arguments, prepares and drives the exchange through `self._canonical_request`; the module's
// `_exchange(name, client, *args, **kwargs)` binds the same arguments with the same binder and
// hands the prepared exchange to the asynchronous client, which drives it with `await`.
#pragma once

#include <memory>

#include "quillmarsh/submit/host/entry.hpp"
#include "quillmarsh/submit/operations/exchange.hpp"

namespace quillmarsh::operations {

// The preparations. `self` is the client whose settings and era catalog they read.
std::unique_ptr<Exchange> prepare_submit_signal(PyObject* self, PyObject* graph, PyObject* named_universe,
                                                PyObject* signal_pool_name, PyObject* is_stats, PyObject* is_pnl_mi,
                                                PyObject* metaparameters, PyObject* expression_elapsed_seconds,
                                                PyObject* search_state, PyObject* idempotency_key,
                                                PyObject* threshold_checks, PyObject* thresholds,
                                                PyObject* client_manifest_version, PyObject* market_id,
                                                PyObject* era_number, PyObject* client_manifest_market_id,
                                                PyObject* client_manifest_era_number);
std::unique_ptr<Exchange> prepare_submit_strategy(PyObject* self, PyObject* graph, PyObject* named_universe,
                                                  PyObject* strategy_pool_name, PyObject* market_id,
                                                  PyObject* era_number, PyObject* metaparameters,
                                                  PyObject* idempotency_key, PyObject* client_manifest_version,
                                                  PyObject* client_manifest_market_id,
                                                  PyObject* client_manifest_era_number);
std::unique_ptr<Exchange> prepare_submit_signals_batch(PyObject* self, PyObject* submissions);
// Bodies already prepared (by the batch's checks), posted as the batch posts its own: chunks,
// answers and failures mapped the same way; nothing checked again.
std::unique_ptr<Exchange> prepare_prepared_batch(PyObject* self, PyObject* bodies);
std::unique_ptr<Exchange> prepare_signal_status(PyObject* self, PyObject* submission_id);
std::unique_ptr<Exchange> prepare_signal_submissions(PyObject* self, PyObject* status, PyObject* idempotency_key,
                                                     PyObject* since, PyObject* limit);

// The methods that are no single exchange: polling, and its two steps for the asynchronous
// client (the deadline, time.monotonic() + timeout; after each status the wait before the
// next one, or None when that status stands).
PyObject* client_poll_until_terminal(PyObject* self, PyObject* submission_id, PyObject* timeout);
PyObject* poll_deadline(PyObject* module, PyObject* timeout);
PyObject* poll_delay(PyObject* module, PyObject* last, PyObject* deadline);

template <auto Prepare, typename = decltype(Prepare)>
struct Operation;

template <auto Prepare, typename... Params>
struct Operation<Prepare, std::unique_ptr<Exchange> (*)(PyObject*, Params...)> {
  static PyObject* driven(PyObject* self, Params... args) {
    std::unique_ptr<Exchange> exchange = Prepare(self, args...);
    return exchange ? drive(self, *exchange).release() : nullptr;
  }
  static PyObject* handed_out(PyObject* self, Params... args) { return hand_out(Prepare(self, args...)); }
};

// The row of an operation: the method that drives it, its preparation reachable by name.
template <auto Prepare>
constexpr host::Entry operation(const char* name, const char* parameters, const char* doc) {
  return host::operation<&Operation<Prepare>::driven, &Operation<Prepare>::handed_out>(name, parameters, doc);
}

// The row of a preparation that no method drives.
template <auto Prepare>
constexpr host::Entry preparation(const char* name, const char* parameters, const char* doc) {
  return host::preparation<&Operation<Prepare>::handed_out>(name, parameters, doc);
}

}  // namespace quillmarsh::operations
