#include "quillmarsh/submit/validation/contract.hpp"

#include <cmath>

#include "quillmarsh/submit/host/math.hpp"
#include "quillmarsh/submit/host/text.hpp"
#include "quillmarsh/submit/validation/identifiers.hpp"
#include "quillmarsh/submit/validation/lookups.hpp"
#include "quillmarsh/submit/validation/metrics.hpp"

namespace quillmarsh::validation {

namespace {

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

}  // namespace

PyObject* reject_caller_threshold_authority(PyObject*, PyObject* threshold_checks, PyObject* thresholds) {
  if (threshold_checks != Py_None || thresholds != Py_None) {
    return refuse(
        QM_NAME("caller-supplied thresholds are not accepted; submit thresholds must come from era thresholds"));
  }
  return Py_NewRef(Py_None);
}

PyObject* validate_submission_thresholds(PyObject*, PyObject* is_stats, PyObject* is_pnl_mi, PyObject* thresholds) {
  if (thresholds == Py_None) return Py_NewRef(Py_None);
  if (!PyDict_Check(thresholds)) return refuse(QM_NAME("thresholds must be a dict"));
  static MetricNames names;
  if (!names.ready()) return nullptr;
  Ref values[kMetricCount + 1];
  for (size_t i = 0; i < kMetricCount; ++i) {
    values[i] = host::call<&stat_metric>(is_stats, names.aliases[i]);
    if (!values[i]) return nullptr;
  }
  values[kMetricCount] = host::call<&coerce_mi_contract_value>(is_pnl_mi);
  if (!values[kMetricCount]) return nullptr;
  Ref metrics(PyDict_New());
  if (!metrics) return nullptr;
  for (size_t i = 0; i <= kMetricCount; ++i) {
    PyObject* key = i < kMetricCount ? names.keys[i] : names.mi_key;
    if (PyDict_SetItem(metrics.get(), key, values[i].get()) < 0) return nullptr;
  }

  PyObject* args[] = {metrics.get(), thresholds, thresholds};
  Ref verdict = host::call_global(QM_NAME("evaluate_threshold_gates"), args, 0, names.gate_kwnames);
  if (!verdict) return nullptr;
  int passed = truth_of(Ref(PyObject_GetAttr(verdict.get(), QM_NAME("passed"))));
  if (passed < 0) return nullptr;
  if (passed) return Py_NewRef(Py_None);
  Ref failures(PyObject_GetAttr(verdict.get(), QM_NAME("failures")));
  if (!failures) return nullptr;
  Ref first_index(PyLong_FromLong(0));
  Ref failure = first_index ? Ref(PyObject_GetItem(failures.get(), first_index.get())) : Ref();
  if (!failure) return nullptr;
  return refuse(gate_failure_message(failure.get()).get());
}

PyObject* validate_optional_manifest_int(PyObject*, PyObject* value, PyObject* field_name) {
  if (value == Py_None) return Py_NewRef(Py_None);
  bool positive = false;
  if (PyLong_CheckExact(value)) {  // never a bool, whose type is not exactly int
    int overflow = 0;
    long number = PyLong_AsLongAndOverflow(value, &overflow);
    if (number == -1 && !overflow && PyErr_Occurred()) return nullptr;
    positive = overflow > 0 || (overflow == 0 && number > 0);
  }
  if (positive) return Py_NewRef(value);
  Ref name = host::text_of(field_name);
  return refuse(host::join({name.get(), QM_NAME(" must be a positive integer")}).get());
}

namespace {

// `type(x) is float and math.isfinite(x) and x > 0.0`, tested in that order: 1, 0 or -1.
int is_positive_elapsed(PyObject* seconds) {
  if (!PyFloat_CheckExact(seconds)) return 0;
  const double value = PyFloat_AS_DOUBLE(seconds);
  int finite = truth_of(host::math_call(host::MathFunction::IsFinite, value, seconds, std::isfinite(value)));
  if (finite <= 0) return finite;
  return value > 0.0;
}

}  // namespace

PyObject* client_validate_submission_contract(PyObject*, PyObject* signal_pool_name, PyObject* is_stats,
                                              PyObject* is_pnl_mi, PyObject* elapsed_seconds, PyObject* thresholds,
                                              PyObject* manifest_version, PyObject* manifest_market_id,
                                              PyObject* manifest_era_number) {
  if (!host::call<&validate_selected_pool_id>(signal_pool_name, QM_NAME("signal_pool_name"))) {
    return nullptr;
  }
  if (!PyDict_Check(is_stats)) return refuse(QM_NAME("is_stats must be a dict"));
  int flagged = truth_of(host::call<&has_disallowed_mi_contract_field>(is_stats));
  if (flagged < 0) return nullptr;
  if (flagged) return refuse(QM_NAME("is_stats must not contain MI contract fields"));
  flagged = truth_of(host::call<&has_non_finite_number>(is_stats));
  if (flagged < 0) return nullptr;
  if (flagged) return refuse(QM_NAME("is_stats values must be finite numbers"));
  if (!host::call<&coerce_mi_contract_value>(is_pnl_mi)) return nullptr;
  static PyObject* thresholds_kwname = nullptr;
  if (str_tuple(&thresholds_kwname, {"thresholds"}) == nullptr) return nullptr;
  if (!host::call_kw<&validate_submission_thresholds>(thresholds_kwname, is_stats, is_pnl_mi, thresholds)) {
    return nullptr;
  }
  int elapsed_ok = is_positive_elapsed(elapsed_seconds);
  if (elapsed_ok < 0) return nullptr;
  if (!elapsed_ok) return refuse(QM_NAME("expression_elapsed_seconds must be a positive float"));
  PyObject* const values[] = {manifest_version, manifest_market_id, manifest_era_number};
  PyObject* const fields[] = {QM_NAME("client_manifest_version"), QM_NAME("client_manifest_market_id"),
                              QM_NAME("client_manifest_era_number")};
  for (int i = 0; i < 3; ++i) {
    if (!host::call<&validate_optional_manifest_int>(values[i], fields[i])) {
      return nullptr;
    }
  }
  return Py_NewRef(Py_None);
}

}  // namespace quillmarsh::validation
