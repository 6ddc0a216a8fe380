// Batch results: item results from an answer, chunk results combined, partial failures,
// and the one HTTP status that stands for a set of items or chunks.
#include <utility>

#include "quillmarsh/submit/host/iterate.hpp"
#include "quillmarsh/submit/host/keywords.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/objects.hpp"
#include "quillmarsh/submit/results/results.hpp"

namespace quillmarsh::results {

using host::Ref;

namespace {

// `value == 202`: an item counts as accepted exactly then.
int is_accepted(PyObject* status_code) {
  if (PyLong_CheckExact(status_code)) {
    int overflow = 0;
    long code = PyLong_AsLongAndOverflow(status_code, &overflow);
    return !overflow && code == 202;
  }
  Ref accepted(PyLong_FromLong(202));
  return accepted ? PyObject_RichCompareBool(status_code, accepted.get(), Py_EQ) : -1;
}

// The number of items (objects with `status_code`) in `items` that were accepted, or -1.
Py_ssize_t count_accepted(PyObject* items) {
  Py_ssize_t accepted = 0;
  int stopped = host::for_each(items, [&](PyObject* item) -> int {
    Ref status(PyObject_GetAttr(item, QM_NAME("status_code")));
    int yes = status ? is_accepted(status.get()) : -1;
    if (yes < 0) return -1;
    accepted += yes;
    return 0;
  });
  return stopped < 0 ? -1 : accepted;
}

Ref new_int(Py_ssize_t value) { return Ref(PyLong_FromSsize_t(value)); }

Ref batch_record(PyObject* status_code, PyObject* body, PyObject* accepted, PyObject* failed, PyObject* results,
                 PyObject* error) {
  static const host::Keywords kw({"status_code", "body", "accepted", "failed", "results", "error"});
  Ref record_type = host::global(QM_NAME("BatchSubmitResult"));
  if (!record_type) return Ref();
  PyObject* values[] = {status_code, body, accepted, failed, results, error};
  return kw.call(record_type.get(), values);
}

Ref item_result_from_body(PyObject* item) {
  static const host::Keywords kw({"index", "status_code", "body", "submission_id", "signal_pool_id", "strategy_pool_id",
                                  "strategy_signal_pool", "error"});
  Ref body = host::mapping_get(item, QM_NAME("body"));
  if (!body) return Ref();
  if (!PyDict_Check(body.get())) body = Ref::borrow(Py_None);
  Ref error = Ref::borrow(Py_None);
  Ref fields[4] = {Ref::borrow(Py_None), Ref::borrow(Py_None), Ref::borrow(Py_None), Ref::borrow(Py_None)};
  if (body.get() != Py_None) {
    error = host::mapping_get(body.get(), QM_NAME("reason"));
    int truthy = error ? PyObject_IsTrue(error.get()) : -1;
    if (truthy < 0) return Ref();
    if (!truthy && !(error = host::mapping_get(body.get(), QM_NAME("error")))) return Ref();
  }
  Ref index = host::mapping_get(item, QM_NAME("index"));
  Ref status_code = index ? host::mapping_get(item, QM_NAME("status_code")) : Ref();
  if (!status_code) return Ref();
  if (body.get() != Py_None) {
    PyObject* names[] = {QM_NAME("submission_id"), QM_NAME("signal_pool_id"), QM_NAME("strategy_pool_id"),
                         QM_NAME("strategy_signal_pool")};
    for (int i = 0; i < 4; ++i) {
      if (!(fields[i] = host::mapping_get(body.get(), names[i]))) return Ref();
    }
  }
  Ref record_type = host::global(QM_NAME("BatchSubmitItemResult"));
  if (!record_type) return Ref();
  PyObject* values[] = {index.get(),     status_code.get(), body.get(),      fields[0].get(),
                        fields[1].get(), fields[2].get(),   fields[3].get(), error.get()};
  return kw.call(record_type.get(), values);
}

}  // namespace

PyObject* client_batch_item_result_from_body(PyObject*, PyObject* item) {
  return item_result_from_body(item).release();
}

namespace {

Ref result_from_body(PyObject* cls, PyObject* status_code, PyObject* body, PyObject* error) {
  Ref raw_results = host::mapping_get(body, QM_NAME("results"));
  Ref results(PyList_New(0));
  if (!raw_results || !results) return Ref();
  if (PyList_Check(raw_results.get())) {
    Ref convert(PyObject_GetAttr(cls, QM_NAME("_batch_item_result_from_body")));
    if (!convert) return Ref();
    const bool native = host::is_own<&client_batch_item_result_from_body>(convert.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw_results.get()); ++i) {
      Ref entry = Ref::borrow(PyList_GET_ITEM(raw_results.get(), i));
      if (!PyDict_Check(entry.get())) continue;
      Ref item = native ? item_result_from_body(entry.get()) : Ref(PyObject_CallOneArg(convert.get(), entry.get()));
      if (!item || PyList_Append(results.get(), item.get()) < 0) return Ref();
    }
  }
  Ref accepted = host::mapping_get(body, QM_NAME("accepted"));
  Ref failed = accepted ? host::mapping_get(body, QM_NAME("failed")) : Ref();
  if (!failed) return Ref();
  if (!PyLong_Check(accepted.get())) {
    Py_ssize_t count = count_accepted(results.get());
    if (count < 0 || !(accepted = new_int(count))) return Ref();
  }
  if (!PyLong_Check(failed.get())) {
    Ref total = new_int(PyList_GET_SIZE(results.get()));
    failed = total ? Ref(PyNumber_Subtract(total.get(), accepted.get())) : Ref();
    if (!failed) return Ref();
  }
  return batch_record(status_code, body, accepted.get(), failed.get(), results.get(), error);
}

}  // namespace

PyObject* client_batch_result_from_body(PyObject* cls, PyObject* status_code, PyObject* body, PyObject* error) {
  return host::guarded([&] { return result_from_body(cls, status_code, body, error).release(); });
}

namespace {

Ref body_item_from_result(PyObject* item) {
  Ref index(PyObject_GetAttr(item, QM_NAME("index")));
  Ref status_code = index ? Ref(PyObject_GetAttr(item, QM_NAME("status_code"))) : Ref();
  Ref body = status_code ? Ref(PyObject_GetAttr(item, QM_NAME("body"))) : Ref();
  Ref out = body ? Ref(PyDict_New()) : Ref();
  if (!out || PyDict_SetItem(out.get(), QM_NAME("index"), index.get()) < 0 ||
      PyDict_SetItem(out.get(), QM_NAME("status_code"), status_code.get()) < 0) {
    return Ref();
  }
  if (body.get() != Py_None && PyDict_SetItem(out.get(), QM_NAME("body"), body.get()) < 0) return Ref();
  return out;
}

}  // namespace

PyObject* client_batch_body_item_from_result(PyObject*, PyObject* item) {
  return body_item_from_result(item).release();
}

namespace {

Ref http_status_for_items(PyObject* results) {
  Py_ssize_t accepted = count_accepted(results);
  if (accepted < 0) return Ref();
  Py_ssize_t n = PyObject_Length(results);
  if (n < 0) return Ref();
  if (n - accepted == 0) return new_int(202);
  Ref statuses(PySet_New(nullptr));
  if (!statuses) return Ref();
  int stopped = host::for_each(results, [&](PyObject* item) -> int {
    Ref status(PyObject_GetAttr(item, QM_NAME("status_code")));
    return status && PySet_Add(statuses.get(), status.get()) == 0 ? 0 : -1;
  });
  if (stopped < 0) return Ref();
  if (accepted == 0 && PySet_GET_SIZE(statuses.get()) == 1) {
    Ref only(PySet_Pop(statuses.get()));
    if (!only) return Ref();
    if (PyLong_Check(only.get())) return only;
  }
  return new_int(207);
}

}  // namespace

PyObject* client_batch_http_status_for_items(PyObject*, PyObject* results) {
  return http_status_for_items(results).release();
}

namespace {

// [cls._batch_body_item_from_result(item) for item in items]
Ref body_items(PyObject* cls, PyObject* items) {
  Ref convert(PyObject_GetAttr(cls, QM_NAME("_batch_body_item_from_result")));
  Ref out = convert ? Ref(PyList_New(0)) : Ref();
  if (!out) return Ref();
  const bool native = host::is_own<&client_batch_body_item_from_result>(convert.get());
  int stopped = host::for_each(items, [&](PyObject* item) -> int {
    Ref body_item = native ? body_item_from_result(item) : Ref(PyObject_CallOneArg(convert.get(), item));
    return body_item && PyList_Append(out.get(), body_item.get()) == 0 ? 0 : -1;
  });
  return stopped < 0 ? Ref() : std::move(out);
}

Ref combine_chunk_results(PyObject* cls, PyObject* chunk_results) {
  Ref items(PyList_New(0));
  Ref accepted = new_int(0), failed = new_int(0);
  Ref statuses(PySet_New(nullptr));
  Ref it = items && accepted && failed && statuses ? Ref(PyObject_GetIter(chunk_results)) : Ref();
  if (!it) return Ref();
  while (Ref chunk{PyIter_Next(it.get())}) {
    Ref chunk_accepted(PyObject_GetAttr(chunk.get(), QM_NAME("accepted")));
    if (!chunk_accepted || !(accepted = Ref(PyNumber_InPlaceAdd(accepted.get(), chunk_accepted.get())))) return Ref();
    Ref chunk_failed(PyObject_GetAttr(chunk.get(), QM_NAME("failed")));
    if (!chunk_failed || !(failed = Ref(PyNumber_InPlaceAdd(failed.get(), chunk_failed.get())))) return Ref();
    Ref status(PyObject_GetAttr(chunk.get(), QM_NAME("status_code")));
    if (!status || PySet_Add(statuses.get(), status.get()) < 0) return Ref();
    Ref chunk_items(PyObject_GetAttr(chunk.get(), QM_NAME("results")));
    Ref extended =
        chunk_items ? Ref(PyObject_CallMethodOneArg(items.get(), QM_NAME("extend"), chunk_items.get())) : Ref();
    if (!extended) return Ref();
  }
  if (PyErr_Occurred()) return Ref();

  Ref status_code;
  if (PyList_GET_SIZE(items.get()) > 0) {
    Ref status_for(PyObject_GetAttr(cls, QM_NAME("_batch_http_status_for_items")));
    status_code = status_for ? Ref(PyObject_CallOneArg(status_for.get(), items.get())) : Ref();
  } else {
    Ref zero = new_int(0);
    int none_failed = zero ? PyObject_RichCompareBool(failed.get(), zero.get(), Py_EQ) : -1;
    int none_accepted = none_failed == 0 ? PyObject_RichCompareBool(accepted.get(), zero.get(), Py_EQ) : 0;
    if (none_failed < 0 || none_accepted < 0) return Ref();
    if (none_failed) {
      status_code = new_int(202);
    } else if (none_accepted && PySet_GET_SIZE(statuses.get()) == 1) {
      status_code = Ref(PySet_Pop(statuses.get()));
    } else {
      status_code = new_int(207);
    }
  }
  if (!status_code) return Ref();
  Ref combined_items = body_items(cls, items.get());
  Ref body = combined_items ? Ref(PyDict_New()) : Ref();
  if (!body || PyDict_SetItem(body.get(), QM_NAME("accepted"), accepted.get()) < 0 ||
      PyDict_SetItem(body.get(), QM_NAME("failed"), failed.get()) < 0 ||
      PyDict_SetItem(body.get(), QM_NAME("results"), combined_items.get()) < 0) {
    return Ref();
  }
  return batch_record(status_code.get(), body.get(), accepted.get(), failed.get(), items.get(), Py_None);
}

}  // namespace

PyObject* client_combine_batch_chunk_results(PyObject* cls, PyObject* chunk_results) {
  return combine_chunk_results(cls, chunk_results).release();
}

namespace {

Ref with_partial_failure(PyObject* cls, PyObject* failure, PyObject* prior_results, PyObject* total_count) {
  Py_ssize_t n_prior = PyObject_Length(prior_results);
  if (n_prior < 0) return Ref();
  Py_ssize_t n_accepted = count_accepted(prior_results);
  if (n_accepted < 0) return Ref();
  // failed = prior failures + max(0, total_count - len(prior_results))
  Ref prior_count = new_int(n_prior), zero = new_int(0), prior_failed = new_int(n_prior - n_accepted);
  Ref unsent = prior_count && zero && prior_failed ? Ref(PyNumber_Subtract(total_count, prior_count.get())) : Ref();
  if (!unsent) return Ref();
  int negative = PyObject_RichCompareBool(zero.get(), unsent.get(), Py_GT);
  if (negative < 0) return Ref();
  Ref failed(PyNumber_Add(prior_failed.get(), negative ? zero.get() : unsent.get()));
  Ref accepted = failed ? new_int(n_accepted) : Ref();
  Ref items = accepted ? body_items(cls, prior_results) : Ref();
  Ref failure_error = items ? Ref(PyObject_GetAttr(failure, QM_NAME("error"))) : Ref();
  Ref body = failure_error ? Ref(PyDict_New()) : Ref();
  if (!body || PyDict_SetItem(body.get(), QM_NAME("accepted"), accepted.get()) < 0 ||
      PyDict_SetItem(body.get(), QM_NAME("failed"), failed.get()) < 0 ||
      PyDict_SetItem(body.get(), QM_NAME("results"), items.get()) < 0 ||
      PyDict_SetItem(body.get(), QM_NAME("error"), failure_error.get()) < 0) {
    return Ref();
  }
  Ref failure_body(PyObject_GetAttr(failure, QM_NAME("body")));
  if (!failure_body) return Ref();
  Ref error = Ref::borrow(failure_error.get());
  if (PyDict_Check(failure_body.get())) {
    if (PyDict_SetItem(body.get(), QM_NAME("failure"), failure_body.get()) < 0) return Ref();
    if (error.get() == Py_None) {
      error = host::mapping_get(failure_body.get(), QM_NAME("error"));
      if (!error || PyDict_SetItem(body.get(), QM_NAME("error"), error.get()) < 0) return Ref();
    }
  }
  int has_error = PyObject_IsTrue(error.get());
  if (has_error < 0) return Ref();
  Ref result_error = has_error ? std::move(error) : Ref(PyObject_GetAttr(failure, QM_NAME("error")));
  Ref status_code = result_error ? Ref(PyObject_GetAttr(failure, QM_NAME("status_code"))) : Ref();
  if (!status_code) return Ref();
  return batch_record(status_code.get(), body.get(), accepted.get(), failed.get(), prior_results, result_error.get());
}

}  // namespace

PyObject* client_batch_result_with_partial_failure(PyObject* cls, PyObject* failure, PyObject* prior_results,
                                                   PyObject* total_count) {
  return with_partial_failure(cls, failure, prior_results, total_count).release();
}

PyObject* client_rebase_batch_item_indices(PyObject*, PyObject* result, PyObject* index_offset) {
  Ref zero = new_int(0);
  int none = zero ? PyObject_RichCompareBool(index_offset, zero.get(), Py_EQ) : -1;
  if (none < 0) return nullptr;
  if (none) Py_RETURN_NONE;
  Ref items(PyObject_GetAttr(result, QM_NAME("results")));
  Ref it = items ? Ref(PyObject_GetIter(items.get())) : Ref();
  if (!it) return nullptr;
  while (Ref item{PyIter_Next(it.get())}) {
    Ref index(PyObject_GetAttr(item.get(), QM_NAME("index")));
    if (!index) return nullptr;
    if (!PyLong_CheckExact(index.get())) continue;
    Ref shifted(PyNumber_Add(index.get(), index_offset));
    if (!shifted || PyObject_SetAttr(item.get(), QM_NAME("index"), shifted.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace quillmarsh::results
