// SignalServiceClient.submit_signals_batch: every submission checked in two passes over the
// whole batch before anything is posted, then one request, or chunks posted one after
// another, and one BatchSubmitResult for the whole batch.
#include <vector>

#include "quillmarsh/submit/operations/exchange.hpp"
#include "quillmarsh/submit/operations/idempotency.hpp"
#include "quillmarsh/submit/operations/operations.hpp"
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
    if (!body || !host::call<&validation::reject_retired_universe_aliases>(body.get())) {
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
    Ref named_universe = host::call<&validation::validate_named_universe>(universe.get());
    if (!named_universe || PyDict_SetItem(b, QM_NAME("named_universe"), named_universe.get()) < 0) return false;
    if (!has(b, QM_NAME("signal_pool_id"), present)) return false;
    if (present) {
      host::raise_value_error("signal_pool_id is retired; submit signal_pool_name");
      return false;
    }
    Ref pool = field(b, QM_NAME("signal_pool_name"));
    if (!pool || !host::call<&validation::validate_selected_pool_id>(pool.get(), QM_NAME("signal_pool_name"))) {
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
  if (!stats || !host::put(b, QM_NAME("is_stats"), host::call<&validation::submission_is_stats_payload>(stats.get()))) {
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

// POST signals/batch with {"signals": signals} for each chunk of the prepared bodies: the
// whole batch at once when it fits one chunk (that chunk's result stands, whatever it is),
// else chunks of `chunk_size`, answered in any order. Each answered chunk's item indices are
// rebased to the batch as it arrives; a failed chunk (one whose result stands for a failure)
// stops further chunks, and the batch's result is the partial failure of the first failed
// chunk with the items of every answered one, else one result combining all chunks.
class SubmitBatch final : public Exchange {
 public:
  SubmitBatch(PyObject* self, Ref bodies, Py_ssize_t chunk_size)
      : self_(Ref::borrow(self)),
        bodies_(std::move(bodies)),
        total_(PyList_GET_SIZE(bodies_.get())),
        chunk_size_(chunk_size),
        single_(total_ <= chunk_size),
        chunks_(single_ ? 1 : static_cast<size_t>((total_ + chunk_size - 1) / chunk_size)) {}

  int next(Request& request, Py_ssize_t& tag) override {
    if (stopped_ || handed_out_ >= chunks_.size()) return 0;
    tag = static_cast<Py_ssize_t>(handed_out_);
    const Py_ssize_t start = tag * chunk_size_;
    Ref signals =
        single_ ? Ref::borrow(bodies_.get()) : Ref(PyList_GetSlice(bodies_.get(), start, start + chunk_size_));
    Ref body(PyDict_New());
    if (!signals || !body || !host::put(body.get(), QM_NAME("signals"), std::move(signals))) return -1;
    request = Request{Ref::borrow(QM_NAME("POST")), Ref::borrow(QM_NAME("signals/batch")), std::move(body)};
    ++handed_out_;
    return 1;
  }

  bool answered(Py_ssize_t tag, PyObject* status_code, PyObject* body) override {
    Chunk* chunk = chunk_at(tag);
    if (chunk == nullptr) return false;
    Ref result = map_answer(self_.get(), g_batch_failures, status_code, body);
    return result && settle(tag, *chunk, std::move(result), false);
  }

  bool failed(Py_ssize_t tag, PyObject* exc) override {
    Chunk* chunk = chunk_at(tag);
    if (chunk == nullptr) return false;
    Ref result = map_failure(self_.get(), g_batch_failures, exc);
    return result && settle(tag, *chunk, std::move(result), true);
  }

  Ref result() override {
    for (const Chunk& chunk : chunks_) {
      if (chunk.result && chunk.failed) return partial_failure(chunk.result.get());
      if (!chunk.result) {
        PyErr_SetString(PyExc_RuntimeError, "the exchange has no result: a request is still unsettled");
        return Ref();
      }
    }
    if (single_) return Ref::borrow(chunks_[0].result.get());
    Ref chunk_results(PyList_New(0));
    if (!chunk_results) return Ref();
    for (const Chunk& chunk : chunks_) {
      if (PyList_Append(chunk_results.get(), chunk.result.get()) < 0) return Ref();
    }
    PyObject* args[] = {self_.get(), chunk_results.get()};
    return Ref(PyObject_VectorcallMethod(QM_NAME("_combine_batch_chunk_results"), args, 2, nullptr));
  }

  Ref settled(Py_ssize_t tag) override {
    if (tag < 0 || static_cast<size_t>(tag) >= handed_out_) {
      PyErr_SetString(PyExc_ValueError, "no request of this exchange has that tag");
      return Ref();
    }
    const Ref& result = chunks_[static_cast<size_t>(tag)].result;
    return Ref::borrow(result ? result.get() : Py_None);
  }

 private:
  struct Chunk {
    Ref result;
    Ref items;  // its item results, once rebased
    bool failed = false;
  };

  Chunk* chunk_at(Py_ssize_t tag) {
    if (tag < 0 || static_cast<size_t>(tag) >= handed_out_ || chunks_[static_cast<size_t>(tag)].result) {
      PyErr_SetString(PyExc_ValueError, "no unsettled request of this exchange has that tag");
      return nullptr;
    }
    return &chunks_[static_cast<size_t>(tag)];
  }

  bool settle(Py_ssize_t tag, Chunk& chunk, Ref result, bool failed) {
    chunk.failed = failed;
    if (failed || single_) {
      stopped_ = stopped_ || failed;
      chunk.result = std::move(result);
      return true;
    }
    Ref offset(PyLong_FromSsize_t(tag * chunk_size_));
    if (!offset) return false;
    PyObject* rebase_args[] = {self_.get(), result.get(), offset.get()};
    if (!Ref(PyObject_VectorcallMethod(QM_NAME("_rebase_batch_item_indices"), rebase_args, 3, nullptr))) return false;
    chunk.items = Ref(PyObject_GetAttr(result.get(), QM_NAME("results")));
    if (!chunk.items) return false;
    chunk.result = std::move(result);
    return gather_answered();
  }

  // The items of the answered chunks, in input order, as far as they are contiguous: chunks
  // answered one after another are gathered as they arrive.
  bool gather_answered() {
    if (!prior_ && !(prior_ = Ref(PyList_New(0)))) return false;
    while (gathered_ < chunks_.size() && chunks_[gathered_].result && !chunks_[gathered_].failed) {
      if (!Ref(PyObject_CallMethodOneArg(prior_.get(), QM_NAME("extend"), chunks_[gathered_].items.get()))) {
        return false;
      }
      ++gathered_;
    }
    return true;
  }

  // The batch's result when `failure` stands for a chunk: the items of every chunk answered.
  Ref partial_failure(PyObject* failure) {
    if (single_) return Ref::borrow(failure);
    if (!gather_answered()) return Ref();
    for (size_t i = gathered_; i < chunks_.size(); ++i) {
      const Chunk& chunk = chunks_[i];
      if (chunk.result && !chunk.failed &&
          !Ref(PyObject_CallMethodOneArg(prior_.get(), QM_NAME("extend"), chunk.items.get()))) {
        return Ref();
      }
    }
    Ref total_count(PyLong_FromSsize_t(total_));
    if (!total_count) return Ref();
    PyObject* args[] = {self_.get(), failure, prior_.get(), total_count.get()};
    return Ref(PyObject_VectorcallMethod(QM_NAME("_batch_result_with_partial_failure"), args, 4, nullptr));
  }

  Ref self_;
  Ref bodies_;
  Py_ssize_t total_;
  Py_ssize_t chunk_size_;
  bool single_;
  std::vector<Chunk> chunks_;
  size_t handed_out_ = 0;
  size_t gathered_ = 0;
  bool stopped_ = false;
  Ref prior_;
};

// The chunk size the module namespace holds now; -1 with an error set.
Py_ssize_t chunk_size_for(Py_ssize_t count) {
  Ref chunk_size_value = host::global(QM_NAME("_SIGNALS_BATCH_CLIENT_CHUNK_SIZE"));
  if (!chunk_size_value) return -1;
  const Py_ssize_t chunk_size = PyNumber_AsSsize_t(chunk_size_value.get(), PyExc_OverflowError);
  if (chunk_size == -1 && PyErr_Occurred()) return -1;
  if (count > chunk_size && chunk_size <= 0) {
    host::raise_value_error("_SIGNALS_BATCH_CLIENT_CHUNK_SIZE must be a positive int");
    return -1;
  }
  return chunk_size;
}

}  // namespace

// Both passes over the batch, then the exchange that posts it.
std::unique_ptr<Exchange> prepare_submit_signals_batch(PyObject* self, PyObject* submissions) {
  Ref bodies, graphs;
  if (!first_pass(submissions, bodies, graphs)) return nullptr;
  Ref require = host::global_attr(QM_NAME("_backtest_timing"), QM_NAME("require_recorded_backtest_timings"));
  if (!require || !Ref(PyObject_CallOneArg(require.get(), graphs.get()))) return nullptr;
  // The length is read at every step, as a list iterator reads it.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bodies.get()); ++i) {
    Ref body = Ref::borrow(PyList_GET_ITEM(bodies.get(), i));
    if (!prepare(self, body.get())) return nullptr;
  }
  const Py_ssize_t chunk_size = chunk_size_for(PyList_GET_SIZE(bodies.get()));
  if (chunk_size < 0) return nullptr;
  return std::make_unique<SubmitBatch>(self, std::move(bodies), chunk_size);
}

std::unique_ptr<Exchange> prepare_prepared_batch(PyObject* self, PyObject* bodies) {
  Ref posted(PySequence_List(bodies));
  if (!posted) return nullptr;
  const Py_ssize_t chunk_size = chunk_size_for(PyList_GET_SIZE(posted.get()));
  if (chunk_size < 0) return nullptr;
  return std::make_unique<SubmitBatch>(self, std::move(posted), chunk_size);
}

}  // namespace quillmarsh::operations
