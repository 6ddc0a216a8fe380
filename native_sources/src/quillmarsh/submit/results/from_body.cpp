// Result records from the body of a successful answer: submissions, statuses, listings.
#include <cstdint>
#include <vector>

#include "quillmarsh/submit/host/keywords.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/objects.hpp"
#include "quillmarsh/submit/host/text.hpp"
#include "quillmarsh/submit/results/results.hpp"

namespace quillmarsh::results {

using host::Ref;

namespace {

// `body.get(key)`
Ref get(PyObject* body, const char* key) {
  Ref name(PyUnicode_InternFromString(key));
  return name ? host::mapping_get(body, name.get()) : Ref();
}

// The value of the exact text `literal`, or 0 / -1 (error set).
int is_text(PyObject* value, const char* literal) {
  if (PyUnicode_CheckExact(value)) return PyUnicode_CompareWithASCIIString(value, literal) == 0;
  Ref expected = host::str(literal);
  return expected ? PyObject_RichCompareBool(value, expected.get(), Py_EQ) : -1;
}

// Keys a status answer may carry that callers are not shown.
constexpr const char* kPrivateStatusKeys[] = {"correlation", "is_weights_mi"};

// How one keyword of a StatusResult gets its value.
enum class From : uint8_t {
  StatusCode,     // the status code given
  PublicBody,     // _public_status_body(body)
  Body,           // body.get(key)
  None,           // None
  Metric,         // _coerce_status_metric(body.get(key))
  FailureReason,  // _failure_reason_from_status_body(body)
};

struct Row {
  const char* keyword;
  From from;
  const char* key = nullptr;
};

// The keywords of a StatusResult built from an answer, in the order their values are made.
constexpr Row kStatusRows[] = {
    {"status_code", From::StatusCode},
    {"body", From::PublicBody},
    {"status", From::Body, "status"},
    {"signal_pool_id", From::Body, "signal_pool_id"},
    {"strategy_pool_id", From::Body, "strategy_pool_id"},
    {"strategy_signal_pool", From::Body, "strategy_signal_pool"},
    {"error", From::None},
    {"is_stats", From::Body, "is_stats"},
    {"payment", From::Body, "payment"},
    {"rejection_reason", From::Body, "rejection_reason"},
    {"is_correlation", From::Body, "is_correlation"},
    {"agent_is_correlation", From::Body, "agent_is_correlation"},
    {"is_pnl_mi", From::Metric, "is_pnl_mi"},
    {"agent_is_pnl_mi", From::Metric, "agent_is_pnl_mi"},
    {"failure_reason", From::FailureReason},
    {"failure_detail", From::Body, "failure_detail"},
    {"failure_message", From::Body, "failure_message"},
};
constexpr size_t kStatusKeywords = sizeof(kStatusRows) / sizeof(kStatusRows[0]);

Ref status_value(const Row& row, PyObject* status_code, PyObject* body) {
  switch (row.from) {
    case From::StatusCode:
      return Ref::borrow(status_code);
    case From::PublicBody:
      return host::call<&public_status_body>(body);
    case From::Body:
      return get(body, row.key);
    case From::None:
      return Ref::borrow(Py_None);
    case From::Metric: {
      Ref raw = get(body, row.key);
      return raw ? host::call<&coerce_status_metric>(raw.get()) : Ref();
    }
    case From::FailureReason:
      return host::call<&failure_reason_from_status_body>(body);
  }
  return Ref();
}

}  // namespace

PyObject* coerce_status_metric(PyObject*, PyObject* value) {
  int inf = is_text(value, "Infinity");
  if (inf < 0) return nullptr;
  if (inf) return PyFloat_FromDouble(Py_HUGE_VAL);
  int neg_inf = is_text(value, "-Infinity");
  if (neg_inf < 0) return nullptr;
  if (neg_inf) return PyFloat_FromDouble(-Py_HUGE_VAL);
  return Py_NewRef(value);
}

PyObject* failure_reason_from_status_body(PyObject*, PyObject* body) {
  Ref failure_reason = get(body, "failure_reason");
  Ref failure_detail = failure_reason ? get(body, "failure_detail") : Ref();
  Ref rejection = failure_detail ? get(body, "rejection_reason") : Ref();
  Ref rejection_text = rejection ? Ref(PyObject_Str(rejection.get())) : Ref();
  if (!rejection_text) return nullptr;
  Ref suffix = host::str(": tampering_detected");
  Ref ends = suffix ? Ref(PyObject_CallMethodOneArg(rejection_text.get(), QM_NAME("endswith"), suffix.get())) : Ref();
  if (!ends) return nullptr;
  int tampered = PyObject_IsTrue(ends.get());
  if (tampered < 0) return nullptr;
  if (tampered && PyDict_Check(failure_detail.get())) {
    Ref reason = get(failure_detail.get(), "reason");
    int mismatch = reason ? is_text(reason.get(), "stats_mismatch") : -1;
    if (mismatch < 0) return nullptr;
    if (mismatch) return host::str("stats_mismatch").release();
  }
  return failure_reason.release();
}

PyObject* public_status_body(PyObject*, PyObject* body) {
  Ref private_keys[2];
  bool any = false;
  for (int i = 0; i < 2; ++i) {
    private_keys[i] = host::str(kPrivateStatusKeys[i]);
    if (!private_keys[i]) return nullptr;
    int has = PySequence_Contains(body, private_keys[i].get());
    if (has < 0) return nullptr;
    any = any || has;
  }
  if (!any) return Py_NewRef(body);
  Ref out(PyDict_New());
  Ref items = out ? Ref(PyObject_CallMethodNoArgs(body, QM_NAME("items"))) : Ref();
  Ref it = items ? Ref(PyObject_GetIter(items.get())) : Ref();
  if (!it) return nullptr;
  while (Ref pair{PyIter_Next(it.get())}) {
    Ref key, value;
    if (!host::unpack_pair(pair.get(), key, value)) return nullptr;
    int hidden = 0;
    for (const Ref& private_key : private_keys) {
      int same = PyObject_RichCompareBool(key.get(), private_key.get(), Py_EQ);
      if (same < 0) return nullptr;
      hidden = hidden || same;
    }
    if (!hidden && PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return out.release();
}

PyObject* client_submit_result_from_body(PyObject*, PyObject* status_code, PyObject* body) {
  static const host::Keywords kw(
      {"status_code", "body", "submission_id", "signal_pool_id", "strategy_pool_id", "strategy_signal_pool", "error"});
  Ref submission_id = get(body, "submission_id");
  Ref signal_pool_id = submission_id ? get(body, "signal_pool_id") : Ref();
  Ref strategy_pool_id = signal_pool_id ? get(body, "strategy_pool_id") : Ref();
  Ref strategy_signal_pool = strategy_pool_id ? get(body, "strategy_signal_pool") : Ref();
  Ref record_type = strategy_signal_pool ? host::global(QM_NAME("SubmitResult")) : Ref();
  if (!record_type) return nullptr;
  PyObject* values[] = {
      status_code, body, submission_id.get(), signal_pool_id.get(), strategy_pool_id.get(), strategy_signal_pool.get(),
      Py_None};
  return kw.call(record_type.get(), values).release();
}

PyObject* client_status_result_from_body(PyObject*, PyObject* status_code, PyObject* body) {
  static const host::Keywords kw = [] {
    std::vector<const char*> names;
    for (const Row& row : kStatusRows) names.push_back(row.keyword);
    return host::Keywords(names);
  }();
  Ref values[kStatusKeywords];
  PyObject* raw[kStatusKeywords];
  for (size_t i = 0; i < kStatusKeywords; ++i) {
    if (!(values[i] = status_value(kStatusRows[i], status_code, body))) return nullptr;
    raw[i] = values[i].get();
  }
  Ref record_type = host::global(QM_NAME("StatusResult"));
  return record_type ? kw.call(record_type.get(), raw).release() : nullptr;
}

PyObject* client_submission_list_result_from_body(PyObject*, PyObject* status_code, PyObject* body, PyObject* error) {
  static const host::Keywords kw({"status_code", "body", "submissions", "error"});
  Ref submissions = PyDict_Check(body) ? get(body, "submissions") : Ref::borrow(Py_None);
  if (!submissions) return nullptr;
  if (!PyList_Check(submissions.get())) {
    submissions = Ref(PyList_New(0));
    if (!submissions) return nullptr;
  }
  Ref record_type = host::global(QM_NAME("SubmissionListResult"));
  if (!record_type) return nullptr;
  PyObject* values[] = {status_code, body, submissions.get(), error};
  return kw.call(record_type.get(), values).release();
}

}  // namespace quillmarsh::results
