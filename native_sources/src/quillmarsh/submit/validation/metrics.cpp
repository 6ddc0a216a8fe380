#include "quillmarsh/submit/validation/metrics.hpp"

#include <cmath>
#include <limits>

#include "quillmarsh/submit/validation/lookups.hpp"
#include "quillmarsh/submit/validation/nested.hpp"

namespace quillmarsh::validation {

namespace {

constexpr const char kMiRefusal[] = "is_pnl_mi must be a scalar number or Infinity";

// A number in the sense of these checks: exactly int or exactly float (never a bool or a
// subclass).
bool is_number(PyObject* value) { return PyLong_CheckExact(value) || PyFloat_CheckExact(value); }

// float(value) for a number: 1 with `out` set; 0 when the conversion raised OverflowError or
// ValueError (left set); -1 for any other error.
int to_double(PyObject* value, double& out) {
  if (PyFloat_CheckExact(value)) {
    out = PyFloat_AS_DOUBLE(value);
    return 1;
  }
  out = PyLong_AsDouble(value);
  if (out == -1.0 && PyErr_Occurred()) {
    return PyErr_ExceptionMatches(PyExc_OverflowError) || PyErr_ExceptionMatches(PyExc_ValueError) ? 0 : -1;
  }
  return 1;
}

// _is_finite_number(value), with `math.isfinite` read through `isfinite`. The result is
// True or False, or whatever a replaced math.isfinite answers.
Ref is_finite_number(Session& session, MathFunction& isfinite, PyObject* value) {
  if (!is_number(value)) return Ref::borrow(Py_False);
  double number;
  int converted = to_double(value, number);
  if (converted < 0) return Ref();
  if (converted == 0) {
    PyErr_Clear();
    return Ref::borrow(Py_False);
  }
  return math_call(session, isfinite, number, PyFloat_CheckExact(value) ? value : nullptr, std::isfinite(number));
}

// The names a finite-number walk calls by name, each read once per session epoch.
struct FiniteNames {
  OwnFunction walk{QM_NAME("_has_non_finite_number"), &kHasNonFiniteNumber};
  OwnFunction finite{QM_NAME("_is_finite_number"), &kIsFiniteNumber};
  MathFunction isfinite{QM_NAME("isfinite"), "isfinite"};
};

// `not _is_finite_number(value)`, the function read by name.
int non_finite(Session& session, FiniteNames& names, PyObject* value) {
  int own = names.finite.resolve(session);
  if (own < 0) return -1;
  Ref result = own ? is_finite_number(session, names.isfinite, value) : names.finite.call(session, value);
  if (!result) return -1;
  if (result.get() == Py_True || result.get() == Py_False) return result.get() == Py_False;
  int negated = PyObject_Not(result.get());
  session.drop(result);
  session.ran_foreign_code();
  return negated;
}

// _has_non_finite_number(value): 1, 0 or -1. Each child is tested as the recursive call
// `_has_non_finite_number(child)` by name would test it: natively while the name holds this
// function (the child's children then join the walk), else through the replacement.
int has_non_finite_number(PyObject* value) {
  Session session;
  FiniteNames names;
  if (is_number(value)) return non_finite(session, names, value);
  if (!is_nested(value)) return 0;
  CursorStack stack;
  if (!stack.push(session, value, Cursor::Mode::Values)) return -1;
  Ref key, item;
  while (!stack.empty()) {
    int got = stack.top().next(session, key, item);
    if (got < 0) return -1;
    if (got == 0) {
      stack.pop(session);
      continue;
    }
    int found = 0;
    int own = names.walk.resolve(session);
    if (own < 0) return -1;
    if (!own) {
      found = names.walk.call_for_truth(session, item.get());
    } else if (is_number(item.get())) {
      found = non_finite(session, names, item.get());
    } else if (is_nested(item.get())) {
      found = stack.push(session, item.get(), Cursor::Mode::Values) ? 0 : -1;
    }
    session.drop(item);
    if (found != 0) return found;
  }
  return 0;
}

// `key in {"is_pnl_mi_values", "is_mi_values", "is_mi"}`.
int is_disallowed_name(Session& session, PyObject* key) {
  if (PyUnicode_CheckExact(key)) {
    switch (PyUnicode_GET_LENGTH(key)) {
      case 5:
        return PyUnicode_CompareWithASCIIString(key, "is_mi") == 0;
      case 12:
        return PyUnicode_CompareWithASCIIString(key, "is_mi_values") == 0;
      case 16:
        return PyUnicode_CompareWithASCIIString(key, "is_pnl_mi_values") == 0;
      default:
        return 0;
    }
  }
  // Their hashes and comparisons with a str run no code and never match.
  if (PyLong_CheckExact(key) || PyFloat_CheckExact(key) || PyBool_Check(key) || key == Py_None) return 0;
  static PyObject* names = nullptr;
  if (str_frozenset(&names, {"is_pnl_mi_values", "is_mi_values", "is_mi"}) == nullptr) return -1;
  int found = PySequence_Contains(names, key);
  session.ran_foreign_code();
  return found;
}

// _has_disallowed_mi_contract_field(value): 1, 0 or -1; walked like has_non_finite_number,
// over a dict's (key, value) pairs, the key tested before its value.
int has_disallowed_mi_contract_field(PyObject* value) {
  if (!is_nested(value)) return 0;
  Session session;
  OwnFunction walk(QM_NAME("_has_disallowed_mi_contract_field"), &kHasDisallowedMiContractField);
  CursorStack stack;
  if (!stack.push(session, value, Cursor::Mode::Items)) return -1;
  Ref key, item;
  while (!stack.empty()) {
    int got = stack.top().next(session, key, item);
    if (got < 0) return -1;
    if (got == 0) {
      stack.pop(session);
      continue;
    }
    int found = 0;
    if (key) {
      found = is_disallowed_name(session, key.get());
      session.drop(key);
      if (found != 0) return found;
    }
    int own = walk.resolve(session);
    if (own < 0) return -1;
    if (!own) {
      found = walk.call_for_truth(session, item.get());
    } else if (is_nested(item.get())) {
      found = stack.push(session, item.get(), Cursor::Mode::Items) ? 0 : -1;
    }
    session.drop(item);
    if (found != 0) return found;
  }
  return 0;
}

// Raises the MI refusal, chained to `cause` when one is given.
Ref refuse_mi(PyObject* cause = nullptr) {
  Ref message(PyUnicode_FromString(kMiRefusal));
  if (!message) return Ref();
  if (cause == nullptr) {
    PyErr_SetObject(PyExc_ValueError, message.get());
  } else {
    host::raise_type_from(PyExc_ValueError, message.get(), cause);
  }
  return Ref();
}

// `value == literal` for a str: 1, 0 or -1.
int text_equals(PyObject* value, PyObject* literal) {
  if (PyUnicode_CheckExact(value)) return PyUnicode_Compare(value, literal) == 0;
  return PyObject_RichCompareBool(value, literal, Py_EQ);
}

Ref coerce_mi_contract_value(PyObject* value) {
  if (PyBool_Check(value)) return refuse_mi();
  if (PyUnicode_Check(value)) {
    for (bool negative : {false, true}) {
      int equal = text_equals(value, negative ? QM_NAME("-Infinity") : QM_NAME("Infinity"));
      if (equal < 0) return Ref();
      if (equal) return Ref(PyFloat_FromDouble(negative ? -std::numeric_limits<double>::infinity()
                                                        : std::numeric_limits<double>::infinity()));
    }
    return refuse_mi();
  }
  if (!is_number(value)) return refuse_mi();
  double number;
  int converted = to_double(value, number);
  if (converted < 0) return Ref();
  if (converted == 0) {
    Ref cause = host::take_exception();
    return refuse_mi(cause.get());
  }
  Ref out = PyFloat_CheckExact(value) ? Ref::borrow(value) : Ref(PyFloat_FromDouble(number));
  if (!out) return Ref();
  Session session;
  MathFunction isnan(QM_NAME("isnan"), "isnan");
  if (int nan = truth_of(math_call(session, isnan, number, out.get(), std::isnan(number))); nan != 0) {
    return nan < 0 ? Ref() : refuse_mi();
  }
  return out;
}

// `value < 0`: 1, 0 or -1.
int is_negative(PyObject* value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value) < 0;
  Ref zero(PyLong_FromLong(0));
  return zero ? PyObject_RichCompareBool(value, zero.get(), Py_LT) : -1;
}

Ref mi_contract_json_value(PyObject* value) {
  Ref out = call_coerce_mi_contract_value(value);
  if (!out) return Ref();
  Session session;
  MathFunction isinf(QM_NAME("isinf"), "isinf");
  int infinite;
  if (PyFloat_CheckExact(out.get())) {
    double number = PyFloat_AS_DOUBLE(out.get());
    infinite = truth_of(math_call(session, isinf, number, out.get(), std::isinf(number)));
  } else {
    // Only a replaced coercion answers anything but a float.
    Ref fn = host::global_attr(QM_NAME("math"), QM_NAME("isinf"));
    infinite = fn ? truth_of(Ref(PyObject_CallOneArg(fn.get(), out.get()))) : -1;
  }
  if (infinite < 0) return Ref();
  if (infinite) {
    int negative = is_negative(out.get());
    if (negative < 0) return Ref();
    if (negative) return refuse_mi();
    return Ref::borrow(QM_NAME("Infinity"));
  }
  return Ref(PyNumber_Float(out.get()));
}

Ref stat_metric(PyObject* is_stats, PyObject* keys) {
  Session session;
  FiniteNames names;
  const bool tuple = PyTuple_CheckExact(keys);
  Ref iter;
  if (!tuple) {
    iter = Ref(PyObject_GetIter(keys));
    if (!iter) return Ref();
  }
  for (Py_ssize_t i = 0;; ++i) {
    Ref key;
    if (tuple) {
      if (i >= PyTuple_GET_SIZE(keys)) break;
      key = Ref::borrow(PyTuple_GET_ITEM(keys, i));
    } else {
      key = Ref(PyIter_Next(iter.get()));
      if (!key) {
        if (PyErr_Occurred()) return Ref();
        break;
      }
    }
    Ref value = host::mapping_get(is_stats, key.get());
    // A lookup may have run a key's __eq__ or an overridden get().
    session.ran_foreign_code();
    if (!value) return Ref();
    int own = names.finite.resolve(session);
    if (own < 0) return Ref();
    int usable = truth_of(own ? is_finite_number(session, names.isfinite, value.get())
                              : names.finite.call(session, value.get()));
    if (usable < 0) return Ref();
    if (usable) return Ref(PyNumber_Float(value.get()));
  }
  return Ref::borrow(Py_None);
}

Ref submission_is_stats_payload(PyObject* is_stats) {
  Ref payload(PyDict_CheckExact(is_stats) ? PyDict_Copy(is_stats)
                                          : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), is_stats));
  if (!payload) return Ref();
#if PY_VERSION_HEX >= 0x030D0000
  if (PyDict_PopString(payload.get(), "_threshold_checks", nullptr) < 0) return Ref();
#else
  Ref removed(_PyDict_Pop(payload.get(), QM_NAME("_threshold_checks"), Py_None));
  if (!removed) return Ref();
#endif
  return payload;
}

// ---- entry points

PyObject* is_finite_number_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_is_finite_number", 0, 1, {{"value", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    Session session;
    MathFunction isfinite(QM_NAME("isfinite"), "isfinite");
    return is_finite_number(session, isfinite, a[0]).release();
  });
}

PyObject* has_non_finite_number_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_has_non_finite_number", 0, 1, {{"value", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* { return bool_ref(has_non_finite_number(a[0])).release(); });
}

PyObject* coerce_mi_contract_value_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_coerce_mi_contract_value", 0, 1, {{"value", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* { return coerce_mi_contract_value(a[0]).release(); });
}

PyObject* mi_contract_json_value_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_mi_contract_json_value", 0, 1, {{"value", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* { return mi_contract_json_value(a[0]).release(); });
}

PyObject* has_disallowed_mi_contract_field_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) {
  static const host::Signature sig("_has_disallowed_mi_contract_field", 0, 1, {{"value", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* { return bool_ref(has_disallowed_mi_contract_field(a[0])).release(); });
}

PyObject* stat_metric_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_stat_metric", 0, 2, {{"is_stats", true}, {"keys", true}});
  PyObject* a[2];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* { return stat_metric(a[0], a[1]).release(); });
}

PyObject* submission_is_stats_payload_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  static const host::Signature sig("_submission_is_stats_payload", 0, 1, {{"is_stats", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* { return submission_is_stats_payload(a[0]).release(); });
}

}  // namespace

int call_has_disallowed_mi_contract_field(PyObject* value) {
  PyObject* args[] = {value};
  return truth_of(call_module_function(
      QM_NAME("_has_disallowed_mi_contract_field"), &kHasDisallowedMiContractField,
      [&] { return bool_ref(has_disallowed_mi_contract_field(value)); }, args, 1));
}

int call_has_non_finite_number(PyObject* value) {
  PyObject* args[] = {value};
  return truth_of(call_module_function(
      QM_NAME("_has_non_finite_number"), &kHasNonFiniteNumber,
      [&] { return bool_ref(has_non_finite_number(value)); }, args, 1));
}

Ref call_coerce_mi_contract_value(PyObject* value) {
  PyObject* args[] = {value};
  return call_module_function(
      QM_NAME("_coerce_mi_contract_value"), &kCoerceMiContractValue, [&] { return coerce_mi_contract_value(value); },
      args, 1);
}

Ref call_stat_metric(PyObject* is_stats, PyObject* keys) {
  PyObject* args[] = {is_stats, keys};
  return call_module_function(
      QM_NAME("_stat_metric"), &kStatMetric, [&] { return stat_metric(is_stats, keys); }, args, 2);
}

PyMethodDef kIsFiniteNumber = {
    "_is_finite_number", QM_FASTCALL_ENTRY(is_finite_number_entry),
    "_is_finite_number($module, value)\n--\n\n"
    "Whether value is an int or float (exact types, never a bool) whose float value is finite."};

PyMethodDef kHasNonFiniteNumber = {
    "_has_non_finite_number", QM_FASTCALL_ENTRY(has_non_finite_number_entry),
    "_has_non_finite_number($module, value)\n--\n\n"
    "Whether value, or any dict value or list/tuple item nested in it, is a number that is not finite."};

PyMethodDef kCoerceMiContractValue = {
    "_coerce_mi_contract_value", QM_FASTCALL_ENTRY(coerce_mi_contract_value_entry),
    "_coerce_mi_contract_value($module, value)\n--\n\n"
    "is_pnl_mi as a float: an int or float that is not NaN, or \"Infinity\" / \"-Infinity\"."};

PyMethodDef kMiContractJsonValue = {
    "_mi_contract_json_value", QM_FASTCALL_ENTRY(mi_contract_json_value_entry),
    "_mi_contract_json_value($module, value)\n--\n\n"
    "is_pnl_mi as sent: a finite float, or \"Infinity\"; negative infinity is refused."};

PyMethodDef kHasDisallowedMiContractField = {
    "_has_disallowed_mi_contract_field", QM_FASTCALL_ENTRY(has_disallowed_mi_contract_field_entry),
    "_has_disallowed_mi_contract_field($module, value)\n--\n\n"
    "Whether a retired MI field (is_pnl_mi_values, is_mi_values, is_mi) is a key at any depth of value."};

PyMethodDef kStatMetric = {
    "_stat_metric", QM_FASTCALL_ENTRY(stat_metric_entry),
    "_stat_metric($module, is_stats, keys)\n--\n\n"
    "The float of the first key in keys whose is_stats value is a finite number, else None."};

PyMethodDef kSubmissionIsStatsPayload = {
    "_submission_is_stats_payload", QM_FASTCALL_ENTRY(submission_is_stats_payload_entry),
    "_submission_is_stats_payload($module, is_stats)\n--\n\n"
    "A shallow copy of is_stats without the internal _threshold_checks key."};

}  // namespace quillmarsh::validation
