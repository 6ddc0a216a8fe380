// Result records from the body of a successful answer: submissions, statuses, listings.
#include "quillmarsh/submit/host/keywords.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/objects.hpp"
#include "quillmarsh/submit/host/text.hpp"
#include "quillmarsh/submit/results/registry.hpp"

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

Ref coerce_status_metric(PyObject* value) {
  int inf = is_text(value, "Infinity");
  if (inf < 0) return Ref();
  if (inf) return Ref(PyFloat_FromDouble(Py_HUGE_VAL));
  int neg_inf = is_text(value, "-Infinity");
  if (neg_inf < 0) return Ref();
  if (neg_inf) return Ref(PyFloat_FromDouble(-Py_HUGE_VAL));
  return Ref::borrow(value);
}

PyObject* coerce_status_metric_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_coerce_status_metric", 0, 1, {{"value", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&] { return coerce_status_metric(a[0]).release(); });
}

Ref failure_reason_from_status_body(PyObject* body) {
  Ref failure_reason = get(body, "failure_reason");
  Ref failure_detail = failure_reason ? get(body, "failure_detail") : Ref();
  Ref rejection = failure_detail ? get(body, "rejection_reason") : Ref();
  Ref rejection_text = rejection ? Ref(PyObject_Str(rejection.get())) : Ref();
  if (!rejection_text) return Ref();
  Ref suffix = host::str(": tampering_detected");
  Ref ends = suffix ? Ref(PyObject_CallMethodOneArg(rejection_text.get(), QM_NAME("endswith"), suffix.get())) : Ref();
  if (!ends) return Ref();
  int tampered = PyObject_IsTrue(ends.get());
  if (tampered < 0) return Ref();
  if (tampered && PyDict_Check(failure_detail.get())) {
    Ref reason = get(failure_detail.get(), "reason");
    int mismatch = reason ? is_text(reason.get(), "stats_mismatch") : -1;
    if (mismatch < 0) return Ref();
    if (mismatch) return host::str("stats_mismatch");
  }
  return failure_reason;
}

PyObject* failure_reason_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_failure_reason_from_status_body", 0, 1, {{"body", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&] { return failure_reason_from_status_body(a[0]).release(); });
}

// Keys a status answer may carry that callers are not shown.
constexpr const char* kPrivateStatusKeys[] = {"correlation", "is_weights_mi"};

Ref public_status_body(PyObject* body) {
  Ref private_keys[2];
  bool any = false;
  for (int i = 0; i < 2; ++i) {
    private_keys[i] = host::str(kPrivateStatusKeys[i]);
    if (!private_keys[i]) return Ref();
    int has = PySequence_Contains(body, private_keys[i].get());
    if (has < 0) return Ref();
    any = any || has;
  }
  if (!any) return Ref::borrow(body);
  Ref out(PyDict_New());
  Ref items = out ? Ref(PyObject_CallMethodNoArgs(body, QM_NAME("items"))) : Ref();
  Ref it = items ? Ref(PyObject_GetIter(items.get())) : Ref();
  if (!it) return Ref();
  while (Ref pair{PyIter_Next(it.get())}) {
    Ref key, value;
    if (!host::unpack_pair(pair.get(), key, value)) return Ref();
    int hidden = 0;
    for (const Ref& private_key : private_keys) {
      int same = PyObject_RichCompareBool(key.get(), private_key.get(), Py_EQ);
      if (same < 0) return Ref();
      hidden = hidden || same;
    }
    if (!hidden && PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return Ref();
  }
  if (PyErr_Occurred()) return Ref();
  return out;
}

PyObject* public_status_body_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_public_status_body", 0, 1, {{"body", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&] { return public_status_body(a[0]).release(); });
}

PyObject* submit_result_from_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("SignalServiceClient._submit_result_from_body", 0, 2,
                                   {{"status_code", true}, {"body", true}});
  PyObject* a[2];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    static const host::Keywords kw({"status_code", "body", "submission_id", "signal_pool_id", "strategy_pool_id",
                                    "strategy_signal_pool", "error"});
    Ref submission_id = get(a[1], "submission_id");
    Ref signal_pool_id = submission_id ? get(a[1], "signal_pool_id") : Ref();
    Ref strategy_pool_id = signal_pool_id ? get(a[1], "strategy_pool_id") : Ref();
    Ref strategy_signal_pool = strategy_pool_id ? get(a[1], "strategy_signal_pool") : Ref();
    Ref record_type = strategy_signal_pool ? host::global(QM_NAME("SubmitResult")) : Ref();
    if (!record_type) return nullptr;
    PyObject* values[] = {a[0], a[1], submission_id.get(), signal_pool_id.get(), strategy_pool_id.get(),
                          strategy_signal_pool.get(), Py_None};
    return kw.call(record_type.get(), values).release();
  });
}

PyObject* status_result_from_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("SignalServiceClient._status_result_from_body", 0, 2,
                                   {{"status_code", true}, {"body", true}});
  PyObject* a[2];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    static const host::Keywords kw({"status_code", "body", "status", "signal_pool_id", "strategy_pool_id",
                                    "strategy_signal_pool", "error", "is_stats", "payment", "rejection_reason",
                                    "is_correlation", "agent_is_correlation", "is_pnl_mi", "agent_is_pnl_mi",
                                    "failure_reason", "failure_detail", "failure_message"});
    PyObject* body = a[1];
    PyObject* body_arg[] = {body};
    Ref public_body = host::call_global(QM_NAME("_public_status_body"), body_arg, 1);
    if (!public_body) return nullptr;
    // Keyword values in the order they are evaluated.
    Ref values[17];
    values[0] = Ref::borrow(a[0]);
    values[1] = std::move(public_body);
    const char* plain[] = {"status", "signal_pool_id", "strategy_pool_id", "strategy_signal_pool"};
    for (int i = 0; i < 4; ++i) {
      if (!(values[2 + i] = get(body, plain[i]))) return nullptr;
    }
    values[6] = Ref::borrow(Py_None);
    const char* more[] = {"is_stats", "payment", "rejection_reason", "is_correlation", "agent_is_correlation"};
    for (int i = 0; i < 5; ++i) {
      if (!(values[7 + i] = get(body, more[i]))) return nullptr;
    }
    const char* metrics[] = {"is_pnl_mi", "agent_is_pnl_mi"};
    for (int i = 0; i < 2; ++i) {
      Ref raw = get(body, metrics[i]);
      if (!raw) return nullptr;
      PyObject* metric_arg[] = {raw.get()};
      if (!(values[12 + i] = host::call_global(QM_NAME("_coerce_status_metric"), metric_arg, 1))) return nullptr;
    }
    if (!(values[14] = host::call_global(QM_NAME("_failure_reason_from_status_body"), body_arg, 1))) return nullptr;
    if (!(values[15] = get(body, "failure_detail")) || !(values[16] = get(body, "failure_message"))) return nullptr;
    Ref record_type = host::global(QM_NAME("StatusResult"));
    if (!record_type) return nullptr;
    PyObject* raw_values[17];
    for (int i = 0; i < 17; ++i) raw_values[i] = values[i].get();
    return kw.call(record_type.get(), raw_values).release();
  });
}

PyObject* submission_list_result_from_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("SignalServiceClient._submission_list_result_from_body", 0, 2,
                                   {{"status_code", true}, {"body", true}, {"error", false}});
  PyObject* a[3];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    static const host::Keywords kw({"status_code", "body", "submissions", "error"});
    Ref submissions = PyDict_Check(a[1]) ? get(a[1], "submissions") : Ref::borrow(Py_None);
    if (!submissions) return nullptr;
    if (!PyList_Check(submissions.get())) {
      submissions = Ref(PyList_New(0));
      if (!submissions) return nullptr;
    }
    Ref record_type = host::global(QM_NAME("SubmissionListResult"));
    if (!record_type) return nullptr;
    PyObject* values[] = {a[0], a[1], submissions.get(), host::or_default(a[2], Py_None)};
    return kw.call(record_type.get(), values).release();
  });
}

PyMethodDef coerce_status_metric_def = {
    "_coerce_status_metric", QM_FASTCALL_ENTRY(coerce_status_metric_entry),
    "_coerce_status_metric($module, value)\n--\n\n"
    "The float infinities for the texts \"Infinity\" and \"-Infinity\"; any other value unchanged."};
PyMethodDef failure_reason_def = {
    "_failure_reason_from_status_body", QM_FASTCALL_ENTRY(failure_reason_entry),
    "_failure_reason_from_status_body($module, body)\n--\n\n"
    "The public failure reason of a status body (stats_mismatch for detected tampering)."};
PyMethodDef public_status_body_def = {
    "_public_status_body", QM_FASTCALL_ENTRY(public_status_body_entry),
    "_public_status_body($module, body)\n--\n\n"
    "The status body without its internal correlation and is_weights_mi entries."};

}  // namespace

PyMethodDef kSubmitResultFromBody = {
    "_submit_result_from_body", QM_FASTCALL_ENTRY(submit_result_from_body),
    "_submit_result_from_body($module, status_code, body)\n--\n\nThe SubmitResult of an accepted submission."};
PyMethodDef kStatusResultFromBody = {
    "_status_result_from_body", QM_FASTCALL_ENTRY(status_result_from_body),
    "_status_result_from_body($module, status_code, body)\n--\n\nThe StatusResult of a status answer."};
PyMethodDef kSubmissionListResultFromBody = {
    "_submission_list_result_from_body", QM_FASTCALL_ENTRY(submission_list_result_from_body),
    "_submission_list_result_from_body($module, status_code, body, *, error=None)\n--\n\n"
    "The SubmissionListResult of a listing answer (or of a rejected listing, with its error)."};

PyMethodDef* const kModuleFunctions[] = {&coerce_status_metric_def, &failure_reason_def, &public_status_body_def,
                                         nullptr};

}  // namespace quillmarsh::results
