// SignalServiceClient.submit_signals_batch: every submission checked in two passes over the
// whole batch before anything is posted, then one request, or chunks posted one after
// another, and one BatchSubmitResult for the whole batch.
#include "quillmarsh/submit/eras/accessors.hpp"
#include "quillmarsh/submit/eras/selection.hpp"
#include "quillmarsh/submit/host/keywords.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/objects.hpp"
#include "quillmarsh/submit/operations/idempotency.hpp"
#include "quillmarsh/submit/operations/outcome.hpp"
#include "quillmarsh/submit/operations/registry.hpp"
#include "quillmarsh/submit/validation/identifiers.hpp"

namespace quillmarsh::operations {

namespace {

// `body.get(key)` on a body of the batch (always a plain dict, but its keys are the caller's:
// the lookup may run a key's __eq__, which may change the dict). An owned value, None when
// absent, or null with the lookup's error set.
Ref field(PyObject* body, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(body, key);
  if (value == nullptr && PyErr_Occurred()) return Ref();
  return Ref::borrow(value != nullptr ? value : Py_None);
}

// `key in body`: false with the error set when the lookup failed.
bool has(PyObject* body, PyObject* key, int& present) {
  present = PyDict_Contains(body, key);
  return present >= 0;
}

// Shape checks, then the first pass: a checked copy of each submission and its graph.
bool first_pass(PyObject* submissions, Ref& bodies, Ref& graphs) {
  if (!PyList_Check(submissions) && !PyTuple_Check(submissions)) {
    host::raise_value_error("submissions must be a list or tuple of dicts");
    return false;
  }
  Ref items(PySequence_List(submissions));
  if (!items) return false;
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!PyDict_Check(PyList_GET_ITEM(items.get(), i))) {
      host::raise_value_error("each batch submission must be a dict");
      return false;
    }
  }
  bodies = Ref(PyList_New(0));
  graphs = Ref(PyList_New(0));
  if (!bodies || !graphs) return false;
  Ref reject_aliases = host::global(QM_NAME("_reject_retired_universe_aliases"));
  if (!reject_aliases) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
    Ref body(PyDict_CheckExact(item.get())
                 ? PyDict_Copy(item.get())
                 : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), item.get()));
    if (!body || !Ref(PyObject_CallOneArg(reject_aliases.get(), body.get()))) return false;
    PyObject* b = body.get();
    int present;
    int supplied = 0;
    for (PyObject* key : {QM_NAME("threshold_checks"), QM_NAME("thresholds")}) {
      if (!has(b, key, present)) return false;
      supplied = supplied || present;
    }
    if (supplied) {
      host::raise_value_error(
          "caller-supplied thresholds are not accepted; submit thresholds must come from era thresholds");
      return false;
    }
    Ref universe = field(b, QM_NAME("named_universe"));
    if (!universe) return false;
    PyObject* universe_arg[] = {universe.get()};
    Ref named_universe = host::call_global(QM_NAME("_validate_named_universe"), universe_arg, 1);
    if (!named_universe || PyDict_SetItem(b, QM_NAME("named_universe"), named_universe.get()) < 0) return false;
    if (!has(b, QM_NAME("signal_pool_id"), present)) return false;
    if (present) {
      host::raise_value_error("signal_pool_id is retired; submit signal_pool_name");
      return false;
    }
    Ref pool = field(b, QM_NAME("signal_pool_name"));
    if (!pool || !validation::call_validate_selected_pool_id(pool.get(), QM_NAME("signal_pool_name"))) return false;
    Ref graph = field(b, QM_NAME("graph"));
    if (!graph || PyList_Append(graphs.get(), graph.get()) < 0 || PyList_Append(bodies.get(), b) < 0) return false;
  }
  return true;
}

// Second pass over one checked body: thresholds and era, filled era fields, the contract,
// the graph gates, the statistics payload and the derived key. Each `body.get(...)` is read
// where the Python reads it, into an owned reference.
bool prepare(PyObject* self, PyObject* b) {
  PyObject* kwnames = eras::market_era_kwnames();
  if (kwnames == nullptr) return false;
  Ref universe = field(b, QM_NAME("named_universe"));
  Ref pool = universe ? field(b, QM_NAME("signal_pool_name")) : Ref();
  Ref market_id = pool ? field(b, QM_NAME("market_id")) : Ref();
  Ref era_number = market_id ? field(b, QM_NAME("era_number")) : Ref();
  if (!era_number) return false;
  PyObject* resolve_args[] = {self, universe.get(), pool.get(), market_id.get(), era_number.get()};
  Ref thresholds(PyObject_VectorcallMethod(QM_NAME("_resolve_submit_thresholds"), resolve_args, 3, kwnames));
  if (!thresholds) return false;
  PyObject* fetch_args[] = {self};
  Ref catalog(PyObject_VectorcallMethod(QM_NAME("_fetch_era_catalog"), fetch_args, 1, nullptr));
  if (!catalog) return false;
  market_id = field(b, QM_NAME("market_id"));
  era_number = market_id ? field(b, QM_NAME("era_number")) : Ref();
  Ref era = era_number ? eras::required_active_submit_era(catalog.get(), market_id.get(), era_number.get()) : Ref();
  if (!era) return false;

  // Era fields the submission leaves open, then the manifest ids that follow them.
  for (PyObject* key : {QM_NAME("market_id"), QM_NAME("era_number")}) {
    Ref given = field(b, key);
    if (!given) return false;
    if (given.get() != Py_None) continue;
    Ref value = eras::required_positive_era_int(era.get(), key);
    if (!value || PyDict_SetItem(b, key, value.get()) < 0) return false;
  }
  PyObject* const manifest[][2] = {{QM_NAME("client_manifest_market_id"), QM_NAME("market_id")},
                                   {QM_NAME("client_manifest_era_number"), QM_NAME("era_number")}};
  for (const auto& [key, source] : manifest) {
    Ref given = field(b, key);
    if (!given) return false;
    if (given.get() != Py_None) continue;
    Ref value = field(b, source);
    if (!value || PyDict_SetItem(b, key, value.get()) < 0) return false;
  }

  static const host::Keywords contract_kw(
      {"thresholds", "client_manifest_version", "client_manifest_market_id", "client_manifest_era_number"});
  PyObject* contract_names = contract_kw.names();
  if (contract_names == nullptr) return false;
  PyObject* const contract_fields[] = {QM_NAME("signal_pool_name"),
                                       QM_NAME("is_stats"),
                                       QM_NAME("is_pnl_mi"),
                                       QM_NAME("expression_elapsed_seconds"),
                                       nullptr,  // thresholds
                                       QM_NAME("client_manifest_version"),
                                       QM_NAME("client_manifest_market_id"),
                                       QM_NAME("client_manifest_era_number")};
  Ref contract_values[8];
  PyObject* contract_args[9] = {self};
  for (int i = 0; i < 8; ++i) {
    contract_values[i] = contract_fields[i] ? field(b, contract_fields[i]) : Ref::borrow(thresholds.get());
    if (!contract_values[i]) return false;
    contract_args[i + 1] = contract_values[i].get();
  }
  if (!Ref(PyObject_VectorcallMethod(QM_NAME("_validate_submission_contract"), contract_args, 5, contract_names))) {
    return false;
  }

  Ref graph = field(b, QM_NAME("graph"));
  if (!graph) return false;
  PyObject* gate_args[] = {graph.get(), era.get()};
  Ref complexity = host::call_global(QM_NAME("_enforce_graph_complexity_for_submit"), gate_args, 2);
  if (!complexity) return false;
  graph = field(b, QM_NAME("graph"));
  if (!graph) return false;
  gate_args[0] = graph.get();
  if (!host::call_global(QM_NAME("_enforce_recorded_backtest_timing_for_submit"), gate_args, 2)) return false;
  Ref depth(PyObject_GetAttr(complexity.get(), QM_NAME("depth")));
  if (!depth || PyDict_SetItem(b, QM_NAME("graph_depth"), depth.get()) < 0) return false;
  Ref node_count(PyObject_GetAttr(complexity.get(), QM_NAME("node_count")));
  if (!node_count || PyDict_SetItem(b, QM_NAME("graph_node_count"), node_count.get()) < 0) return false;

  Ref stats = field(b, QM_NAME("is_stats"));
  if (!stats) return false;
  PyObject* stats_arg[] = {stats.get()};
  Ref payload = host::call_global(QM_NAME("_submission_is_stats_payload"), stats_arg, 1);
  if (!payload || PyDict_SetItem(b, QM_NAME("is_stats"), payload.get()) < 0) return false;

  int keyed;
  if (!has(b, QM_NAME("idempotency_key"), keyed)) return false;
  if (!keyed) {
    Ref key = derive_key(self, b);
    if (!key || PyDict_SetItem(b, QM_NAME("idempotency_key"), key.get()) < 0) return false;
  }
  return true;
}

// `self._batch_result_from_body(exc.status_code, exc.body or {}, error=exc.reason)`
Ref rejected_batch(PyObject* self, PyObject* exc) {
  static const host::Keywords kw({"error"});
  Ref status_code(PyObject_GetAttr(exc, QM_NAME("status_code")));
  Ref body = status_code ? Ref(PyObject_GetAttr(exc, QM_NAME("body"))) : Ref();
  int has_body = body ? PyObject_IsTrue(body.get()) : -1;
  if (has_body < 0) return Ref();
  if (!has_body && !(body = Ref(PyDict_New()))) return Ref();
  Ref reason(PyObject_GetAttr(exc, QM_NAME("reason")));
  PyObject* names = reason ? kw.names() : nullptr;
  if (names == nullptr) return Ref();
  PyObject* args[] = {self, status_code.get(), body.get(), reason.get()};
  return Ref(PyObject_VectorcallMethod(QM_NAME("_batch_result_from_body"), args, 3, names));
}

// POST signals/batch with {"signals": signals}: the chunk's result from its answer, or the
// result standing for its failure (`failed` set), or null with the failure raised again
// (a malformed answer outside 4xx, anything unexpected).
Ref post_chunk(PyObject* self, PyObject* signals, bool& failed) {
  failed = false;
  Ref request_body(PyDict_New());
  if (!request_body || PyDict_SetItem(request_body.get(), QM_NAME("signals"), signals) < 0) return Ref();
  return request_then(self, QM_NAME("POST"), QM_NAME("signals/batch"), request_body.get(),
                      QM_NAME("_batch_result_from_body"), [&](const Ref& exc, Failure failure) -> Ref {
                        failed = true;
                        switch (failure) {
                          case Failure::Transport:
                            return convert(self, QM_NAME("_batch_result_from_transport_error"), exc.get());
                          case Failure::Rejected:
                            return rejected_batch(self, exc.get());
                          case Failure::Malformed: {
                            int mapped = mapped_status(exc.get(), /*gateway=*/false);
                            if (mapped <= 0) return Ref();
                            return convert(self, QM_NAME("_batch_result_from_response_error"), exc.get());
                          }
                          case Failure::Other:
                            break;
                        }
                        return Ref();
                      });
}

PyObject* submit_signals_batch(PyObject* self, PyObject* submissions) {
  Ref bodies, graphs;
  if (!first_pass(submissions, bodies, graphs)) return nullptr;
  Ref require = host::global_attr(QM_NAME("_backtest_timing"), QM_NAME("require_recorded_backtest_timings"));
  if (!require || !Ref(PyObject_CallOneArg(require.get(), graphs.get()))) return nullptr;
  // The length is read at every step, as a list iterator reads it.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bodies.get()); ++i) {
    Ref body = Ref::borrow(PyList_GET_ITEM(bodies.get(), i));
    if (!prepare(self, body.get())) return nullptr;
  }
  const Py_ssize_t total = PyList_GET_SIZE(bodies.get());

  Ref chunk_size_value = host::global(QM_NAME("_SIGNALS_BATCH_CLIENT_CHUNK_SIZE"));
  if (!chunk_size_value) return nullptr;
  const Py_ssize_t chunk_size = PyNumber_AsSsize_t(chunk_size_value.get(), PyExc_OverflowError);
  if (chunk_size == -1 && PyErr_Occurred()) return nullptr;
  bool failed;
  if (total <= chunk_size) return post_chunk(self, bodies.get(), failed).release();
  if (chunk_size <= 0) {
    host::raise_value_error("_SIGNALS_BATCH_CLIENT_CHUNK_SIZE must be a positive int");
    return nullptr;
  }

  Ref chunk_results(PyList_New(0));
  Ref prior_results(PyList_New(0));
  Ref total_count(PyLong_FromSsize_t(total));
  if (!chunk_results || !prior_results || !total_count) return nullptr;
  for (Py_ssize_t start = 0; start < total; start += chunk_size) {
    Ref chunk(PyList_GetSlice(bodies.get(), start, start + chunk_size));
    if (!chunk) return nullptr;
    Ref result = post_chunk(self, chunk.get(), failed);
    if (!result) return nullptr;
    if (failed) {
      PyObject* args[] = {self, result.get(), prior_results.get(), total_count.get()};
      return PyObject_VectorcallMethod(QM_NAME("_batch_result_with_partial_failure"), args, 4, nullptr);
    }
    Ref offset(PyLong_FromSsize_t(start));
    if (!offset) return nullptr;
    PyObject* rebase_args[] = {self, result.get(), offset.get()};
    if (!Ref(PyObject_VectorcallMethod(QM_NAME("_rebase_batch_item_indices"), rebase_args, 3, nullptr))) {
      return nullptr;
    }
    if (PyList_Append(chunk_results.get(), result.get()) < 0) return nullptr;
    Ref items(PyObject_GetAttr(result.get(), QM_NAME("results")));
    if (!items || !Ref(PyObject_CallMethodOneArg(prior_results.get(), QM_NAME("extend"), items.get()))) {
      return nullptr;
    }
  }
  PyObject* combine_args[] = {self, chunk_results.get()};
  return PyObject_VectorcallMethod(QM_NAME("_combine_batch_chunk_results"), combine_args, 2, nullptr);
}

PyObject* submit_signals_batch_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("SignalServiceClient.submit_signals_batch", 1, 1, {{"submissions", true}});
  PyObject* submissions;
  if (!sig.bind(args, nargs, kwnames, &submissions)) return nullptr;
  return host::guarded([&] { return submit_signals_batch(self, submissions); });
}

}  // namespace

PyMethodDef kSubmitSignalsBatch = {
    "submit_signals_batch", QM_FASTCALL_ENTRY(submit_signals_batch_entry),
    "submit_signals_batch($self, submissions)\n--\n\n"
    "Check every submission, then post them to signals/batch in one request or in chunks of 100, "
    "and return one BatchSubmitResult for the whole batch."};

}  // namespace quillmarsh::operations
