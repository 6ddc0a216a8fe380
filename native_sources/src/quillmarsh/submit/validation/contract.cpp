#include "quillmarsh/submit/validation/contract.hpp"

#include <cmath>

#include "quillmarsh/submit/host/text.hpp"
#include "quillmarsh/submit/validation/identifiers.hpp"
#include "quillmarsh/submit/validation/lookups.hpp"
#include "quillmarsh/submit/validation/metrics.hpp"

namespace quillmarsh::validation {

namespace {

Ref reject_caller_threshold_authority(PyObject* threshold_checks, PyObject* thresholds) {
  if (threshold_checks != Py_None || thresholds != Py_None) {
    return refuse(
        QM_NAME("caller-supplied thresholds are not accepted; submit thresholds must come from era thresholds"));
  }
  return Ref::borrow(Py_None);
}

// The gate's metrics: each key with the statistics aliases it is read from, in order; the
// MI value comes last.
struct MetricSource {
  const char* key;
  std::initializer_list<const char*> aliases;
};
const MetricSource kMetricSources[] = {
    {"sharpe", {"sharpe", "is_sharpe", "gross_returns_sharpe"}},
    {"turnover", {"turnover", "avg_turnover", "is_turnover_pct"}},
    {"delta_exposure", {"delta_exposure"}},
    {"max_weight", {"max_weight"}},
    {"abs_weight_sum_mean", {"abs_weight_sum_mean"}},
    {"is_correlation", {"correlation", "is_correlation"}},
};
constexpr size_t kMetricCount = sizeof(kMetricSources) / sizeof(kMetricSources[0]);

// The interned metric keys and alias tuples, built once.
struct MetricNames {
  PyObject* keys[kMetricCount] = {};
  PyObject* aliases[kMetricCount] = {};
  PyObject* mi_key = nullptr;
  PyObject* gate_kwnames = nullptr;  // ("metrics", "threshold_set", "pool_thresholds")

  bool ready() {
    for (size_t i = 0; i < kMetricCount; ++i) {
      if (intern_once_text(&keys[i], kMetricSources[i].key) == nullptr) return false;
      if (str_tuple(&aliases[i], kMetricSources[i].aliases) == nullptr) return false;
    }
    return intern_once_text(&mi_key, "is_pnl_mi") != nullptr &&
           str_tuple(&gate_kwnames, {"metrics", "threshold_set", "pool_thresholds"}) != nullptr;
  }

 private:
  static PyObject* intern_once_text(PyObject** slot, const char* text) { return host::intern_once(slot, text); }
};

// The gate failure as text: gate " failed: " actual " " operator " " threshold, each field
// read and formatted in that order.
Ref gate_failure_message(PyObject* failure) {
  PyObject* const attrs[] = {QM_NAME("gate"), QM_NAME("actual"), QM_NAME("operator"), QM_NAME("threshold")};
  Ref texts[4];
  for (int i = 0; i < 4; ++i) {
    Ref field(PyObject_GetAttr(failure, attrs[i]));
    if (!field) return Ref();
    texts[i] = host::text_of(field.get());
    if (!texts[i]) return Ref();
  }
  return host::join({texts[0].get(), QM_NAME(" failed: "), texts[1].get(), QM_NAME(" "), texts[2].get(), QM_NAME(" "),
                     texts[3].get()});
}

Ref validate_submission_thresholds(PyObject* is_stats, PyObject* is_pnl_mi, PyObject* thresholds) {
  if (thresholds == Py_None) return Ref::borrow(Py_None);
  if (!PyDict_Check(thresholds)) return refuse(QM_NAME("thresholds must be a dict"));
  static MetricNames names;
  if (!names.ready()) return Ref();
  Ref values[kMetricCount + 1];
  for (size_t i = 0; i < kMetricCount; ++i) {
    values[i] = call_stat_metric(is_stats, names.aliases[i]);
    if (!values[i]) return Ref();
  }
  values[kMetricCount] = call_coerce_mi_contract_value(is_pnl_mi);
  if (!values[kMetricCount]) return Ref();
  Ref metrics(PyDict_New());
  if (!metrics) return Ref();
  for (size_t i = 0; i <= kMetricCount; ++i) {
    PyObject* key = i < kMetricCount ? names.keys[i] : names.mi_key;
    if (PyDict_SetItem(metrics.get(), key, values[i].get()) < 0) return Ref();
  }

  Ref gate = host::global(QM_NAME("evaluate_threshold_gates"));
  if (!gate) return Ref();
  PyObject* args[] = {metrics.get(), thresholds, thresholds};
  Ref verdict(PyObject_Vectorcall(gate.get(), args, 0, names.gate_kwnames));
  if (!verdict) return Ref();
  int passed = truth_of(Ref(PyObject_GetAttr(verdict.get(), QM_NAME("passed"))));
  if (passed < 0) return Ref();
  if (passed) return Ref::borrow(Py_None);
  Ref failures(PyObject_GetAttr(verdict.get(), QM_NAME("failures")));
  if (!failures) return Ref();
  Ref first_index(PyLong_FromLong(0));
  Ref failure = first_index ? Ref(PyObject_GetItem(failures.get(), first_index.get())) : Ref();
  if (!failure) return Ref();
  return refuse(gate_failure_message(failure.get()).get());
}

Ref validate_optional_manifest_int(PyObject* value, PyObject* field_name) {
  if (value == Py_None) return Ref::borrow(Py_None);
  bool positive = false;
  if (PyLong_CheckExact(value)) {  // never a bool, whose type is not exactly int
    int overflow = 0;
    long number = PyLong_AsLongAndOverflow(value, &overflow);
    if (number == -1 && !overflow && PyErr_Occurred()) return Ref();
    positive = overflow > 0 || (overflow == 0 && number > 0);
  }
  if (positive) return Ref::borrow(value);
  Ref name = host::text_of(field_name);
  return refuse(host::join({name.get(), QM_NAME(" must be a positive integer")}).get());
}

Ref call_validate_submission_thresholds(PyObject* is_stats, PyObject* is_pnl_mi, PyObject* thresholds) {
  static PyObject* kwnames = nullptr;
  if (str_tuple(&kwnames, {"thresholds"}) == nullptr) return Ref();
  PyObject* args[] = {is_stats, is_pnl_mi, thresholds};
  return call_module_function(
      QM_NAME("_validate_submission_thresholds"), &kValidateSubmissionThresholds,
      [&] { return validate_submission_thresholds(is_stats, is_pnl_mi, thresholds); }, args, 2, kwnames);
}

Ref call_validate_optional_manifest_int(PyObject* value, PyObject* field_name) {
  PyObject* args[] = {value, field_name};
  return call_module_function(
      QM_NAME("_validate_optional_manifest_int"), &kValidateOptionalManifestInt,
      [&] { return validate_optional_manifest_int(value, field_name); }, args, 2);
}

// `type(x) is float and math.isfinite(x) and x > 0.0`, tested in that order: 1, 0 or -1.
int is_positive_elapsed(PyObject* seconds) {
  if (!PyFloat_CheckExact(seconds)) return 0;
  const double value = PyFloat_AS_DOUBLE(seconds);
  Session session;
  MathFunction isfinite(QM_NAME("isfinite"), "isfinite");
  int finite = truth_of(math_call(session, isfinite, value, seconds, std::isfinite(value)));
  if (finite <= 0) return finite;
  return value > 0.0;
}

Ref validate_submission_contract(PyObject* signal_pool_name, PyObject* is_stats, PyObject* is_pnl_mi,
                                 PyObject* elapsed_seconds, PyObject* thresholds, PyObject* const manifest[3]) {
  if (!call_validate_selected_pool_id(signal_pool_name, QM_NAME("signal_pool_name"))) return Ref();
  if (!PyDict_Check(is_stats)) return refuse(QM_NAME("is_stats must be a dict"));
  int flagged = call_has_disallowed_mi_contract_field(is_stats);
  if (flagged < 0) return Ref();
  if (flagged) return refuse(QM_NAME("is_stats must not contain MI contract fields"));
  flagged = call_has_non_finite_number(is_stats);
  if (flagged < 0) return Ref();
  if (flagged) return refuse(QM_NAME("is_stats values must be finite numbers"));
  if (!call_coerce_mi_contract_value(is_pnl_mi)) return Ref();
  if (!call_validate_submission_thresholds(is_stats, is_pnl_mi, thresholds)) return Ref();
  int elapsed_ok = is_positive_elapsed(elapsed_seconds);
  if (elapsed_ok < 0) return Ref();
  if (!elapsed_ok) return refuse(QM_NAME("expression_elapsed_seconds must be a positive float"));
  PyObject* const fields[] = {QM_NAME("client_manifest_version"), QM_NAME("client_manifest_market_id"),
                              QM_NAME("client_manifest_era_number")};
  for (int i = 0; i < 3; ++i) {
    if (!call_validate_optional_manifest_int(manifest[i], fields[i])) return Ref();
  }
  return Ref::borrow(Py_None);
}

// ---- entry points

PyObject* reject_caller_threshold_authority_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) {
  static const host::Signature sig("_reject_caller_threshold_authority", 0, 2,
                                   {{"threshold_checks", false}, {"thresholds", false}});
  PyObject* a[2];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    return reject_caller_threshold_authority(host::or_default(a[0], Py_None), host::or_default(a[1], Py_None))
        .release();
  });
}

PyObject* validate_submission_thresholds_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) {
  static const host::Signature sig("_validate_submission_thresholds", 0, 3,
                                   {{"is_stats", true}, {"is_pnl_mi", true}, {"thresholds", false}});
  PyObject* a[3];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    return validate_submission_thresholds(a[0], a[1], host::or_default(a[2], Py_None)).release();
  });
}

PyObject* validate_optional_manifest_int_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) {
  static const host::Signature sig("_validate_optional_manifest_int", 0, 2, {{"value", true}, {"field_name", true}});
  PyObject* a[2];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* { return validate_optional_manifest_int(a[0], a[1]).release(); });
}

PyObject* validate_submission_contract_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("SignalServiceClient._validate_submission_contract", 0, 8,
                                   {{"signal_pool_name", true},
                                    {"is_stats", true},
                                    {"is_pnl_mi", true},
                                    {"expression_elapsed_seconds", true},
                                    {"thresholds", false},
                                    {"client_manifest_version", false},
                                    {"client_manifest_market_id", false},
                                    {"client_manifest_era_number", false}});
  PyObject* a[8];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    PyObject* const manifest[3] = {host::or_default(a[5], Py_None), host::or_default(a[6], Py_None),
                                   host::or_default(a[7], Py_None)};
    return validate_submission_contract(a[0], a[1], a[2], a[3], host::or_default(a[4], Py_None), manifest).release();
  });
}

}  // namespace

PyMethodDef kRejectCallerThresholdAuthority = {
    "_reject_caller_threshold_authority", QM_FASTCALL_ENTRY(reject_caller_threshold_authority_entry),
    "_reject_caller_threshold_authority($module, threshold_checks=None, thresholds=None)\n--\n\n"
    "Refuse thresholds supplied by the caller: they come from the era catalog only."};

PyMethodDef kValidateSubmissionThresholds = {
    "_validate_submission_thresholds", QM_FASTCALL_ENTRY(validate_submission_thresholds_entry),
    "_validate_submission_thresholds($module, is_stats, is_pnl_mi, thresholds=None)\n--\n\n"
    "Run the threshold gates on the in-sample metrics; the first failed gate is raised as ValueError."};

PyMethodDef kValidateOptionalManifestInt = {
    "_validate_optional_manifest_int", QM_FASTCALL_ENTRY(validate_optional_manifest_int_entry),
    "_validate_optional_manifest_int($module, value, field_name)\n--\n\n"
    "value unchanged when it is None or an int (not a bool) greater than 0; otherwise ValueError."};

PyMethodDef kValidateSubmissionContract = {
    "_validate_submission_contract", QM_FASTCALL_ENTRY(validate_submission_contract_entry),
    "_validate_submission_contract($module, signal_pool_name, is_stats, is_pnl_mi, expression_elapsed_seconds, "
    "thresholds=None, client_manifest_version=None, client_manifest_market_id=None, "
    "client_manifest_era_number=None)\n--\n\n"
    "Validate a signal's pool name, statistics, MI value, thresholds, elapsed time and manifest fields, "
    "in that order; the first failure raises ValueError."};

}  // namespace quillmarsh::validation
