// SignalServiceClient.submit_signals_batch: every submission checked in two passes over the
// whole batch before anything is posted, then one request, or chunks posted one after
// another, and one BatchSubmitResult for the whole batch.
#include "quillmarsh/submit/operations/idempotency.hpp"
#include "quillmarsh/submit/operations/operations.hpp"
#include "quillmarsh/submit/operations/outcome.hpp"
#include "quillmarsh/submit/operations/prepare.hpp"
#include "quillmarsh/submit/validation/identifiers.hpp"
#include "quillmarsh/submit/validation/metrics.hpp"

namespace quillmarsh::operations {

namespace {

// `body.get(key)` on a body of the batch (always a plain dict, but its keys are the caller's:
// the lookup may run a key's __eq__, which may change the dict). An owned value, None when
// absent, or null with the lookup's error set.
Ref field(PyObject* body, PyObject* key) { return host::mapping_get(body, key); }

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
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(items.get(), i));
    Ref body(PyDict_CheckExact(item.get())
                 ? PyDict_Copy(item.get())
                 : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), item.get()));
    if (!body || !host::call<&validation::reject_retired_universe_aliases>(
                     QM_NAME("_reject_retired_universe_aliases"), body.get())) {
      return false;
    }
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
    Ref named_universe =
        host::call<&validation::validate_named_universe>(QM_NAME("_validate_named_universe"), universe.get());
    if (!named_universe || PyDict_SetItem(b, QM_NAME("named_universe"), named_universe.get()) < 0) return false;
    if (!has(b, QM_NAME("signal_pool_id"), present)) return false;
    if (present) {
      host::raise_value_error("signal_pool_id is retired; submit signal_pool_name");
      return false;
    }
    Ref pool = field(b, QM_NAME("signal_pool_name"));
    if (!pool || !host::call<&validation::validate_selected_pool_id>(QM_NAME("_validate_selected_pool_id"), pool.get(),
                                                                      QM_NAME("signal_pool_name"))) {
      return false;
    }
    Ref graph = field(b, QM_NAME("graph"));
    if (!graph || PyList_Append(graphs.get(), graph.get()) < 0 || PyList_Append(bodies.get(), b) < 0) return false;
  }
  return true;
}

// A checked body of the batch as the preparation reads it: `body.get(key)` at every use.
class BodyFields final : public SignalFields {
 public:
  explicit BodyFields(PyObject* body) : body_(body) {}
  Ref get(Field field) override {
    PyObject* key = key_of(field);
    return key ? host::mapping_get(body_, key) : Ref();
  }
  bool set(Field field, const Ref& value) override {
    PyObject* key = key_of(field);
    return key && host::put(body_, key, value);
  }
  bool manifest_follows_era() const override { return true; }

 private:
  PyObject* body_;
};

// Second pass over one checked body: the shared preparation, then the measured graph, the
// statistics payload and the derived key written into it.
bool prepare(PyObject* self, PyObject* b) {
  BodyFields fields(b);
  Prepared prepared;
  if (!prepare_signal(self, fields, prepared)) return false;
  PyObject* complexity = prepared.complexity.get();
  if (!host::put(b, QM_NAME("graph_depth"), Ref(PyObject_GetAttr(complexity, QM_NAME("depth")))) ||
      !host::put(b, QM_NAME("graph_node_count"), Ref(PyObject_GetAttr(complexity, QM_NAME("node_count"))))) {
    return false;
  }
  Ref stats = field(b, QM_NAME("is_stats"));
  if (!stats || !host::put(b, QM_NAME("is_stats"), host::call<&validation::submission_is_stats_payload>(
                                                      QM_NAME("_submission_is_stats_payload"), stats.get()))) {
    return false;
  }
  int keyed;
  if (!has(b, QM_NAME("idempotency_key"), keyed)) return false;
  return keyed || host::put(b, QM_NAME("idempotency_key"), derive_key(self, b));
}

FailureMap g_batch_failures = {
    "_batch_result_from_body",
    {Mapping::Convert, "_batch_result_from_transport_error"},
    {Mapping::FromErrorBody, "_batch_result_from_body"},
    {Mapping::Convert, "_batch_result_from_response_error"},
    /*gateway=*/false,
};

// POST signals/batch with {"signals": signals}: the chunk's result from its answer, or the
// result standing for its failure (`failed` set), or null with the failure raised again
// (a malformed answer outside 4xx, anything unexpected).
Ref post_chunk(PyObject* self, PyObject* signals, bool& failed) {
  Ref request_body(PyDict_New());
  if (!host::put(request_body.get(), QM_NAME("signals"), Ref::borrow(signals))) return Ref();
  return request_and_map(self, QM_NAME("POST"), QM_NAME("signals/batch"), request_body.get(), g_batch_failures,
                         &failed);
}

}  // namespace

PyObject* client_submit_signals_batch(PyObject* self, PyObject* submissions) {
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

}  // namespace quillmarsh::operations
