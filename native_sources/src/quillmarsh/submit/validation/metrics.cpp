#include "quillmarsh/submit/validation/metrics.hpp"

#include <cmath>
#include <limits>

#include "quillmarsh/submit/host/math.hpp"
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

}  // namespace

PyObject* is_finite_number(PyObject*, PyObject* value) {
  if (!is_number(value)) return Py_NewRef(Py_False);
  double number;
  int converted = to_double(value, number);
  if (converted < 0) return nullptr;
  if (converted == 0) {
    PyErr_Clear();
    return Py_NewRef(Py_False);
  }
  return host::math_call(host::MathFunction::IsFinite, number, PyFloat_CheckExact(value) ? value : nullptr,
                         std::isfinite(number))
      .release();
}

namespace {

// `not _is_finite_number(value)`, the function read by name: 1, 0 or -1.
int non_finite(PyObject* value) {
  Ref result = host::call<&is_finite_number>(value);
  if (!result) return -1;
  if (result.get() == Py_True || result.get() == Py_False) return result.get() == Py_False;
  return PyObject_Not(result.get());
}

// `key in {"is_pnl_mi_values", "is_mi_values", "is_mi"}`.
int is_disallowed_name(PyObject* key) {
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
  return PySequence_Contains(names, key);
}

// Raises the MI refusal, chained to `cause` when one is given.
PyObject* refuse_mi(PyObject* cause = nullptr) {
  Ref message(PyUnicode_FromString(kMiRefusal));
  if (!message) return nullptr;
  if (cause == nullptr) return refuse(message.get());
  return host::raise_type_from(PyExc_ValueError, message.get(), cause);
}

// `value == literal` for a str: 1, 0 or -1.
int text_equals(PyObject* value, PyObject* literal) {
  if (PyUnicode_CheckExact(value)) return PyUnicode_Compare(value, literal) == 0;
  return PyObject_RichCompareBool(value, literal, Py_EQ);
}

// `value < 0`: 1, 0 or -1.
int is_negative(PyObject* value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value) < 0;
  Ref zero(PyLong_FromLong(0));
  return zero ? PyObject_RichCompareBool(value, zero.get(), Py_LT) : -1;
}

}  // namespace

// _has_non_finite_number(value). Each child is tested as the recursive call
// `_has_non_finite_number(child)` by name would test it: natively while the name holds this
// function (the child's children then join the walk), else through the replacement.
PyObject* has_non_finite_number(PyObject*, PyObject* value) {
  if (is_number(value)) return bool_of(non_finite(value));
  if (!is_nested(value)) return Py_NewRef(Py_False);
  CursorStack stack;
  if (!stack.push(value, Cursor::Mode::Values)) return nullptr;
  Ref key, item;
  while (!stack.empty()) {
    int got = stack.top().next(key, item);
    if (got < 0) return nullptr;
    if (got == 0) {
      stack.pop();
      continue;
    }
    Ref walk = host::global(QM_NAME("_has_non_finite_number"));
    if (!walk) return nullptr;
    int found = 0;
    if (!host::is_own<&has_non_finite_number>(walk.get())) {
      found = truth_of(Ref(PyObject_CallOneArg(walk.get(), item.get())));
    } else if (is_number(item.get())) {
      found = non_finite(item.get());
    } else if (is_nested(item.get())) {
      found = stack.push(item.get(), Cursor::Mode::Values) ? 0 : -1;
    }
    if (found != 0) return bool_of(found);
  }
  return Py_NewRef(Py_False);
}

// _has_disallowed_mi_contract_field(value): walked like _has_non_finite_number, over a dict's
// (key, value) pairs, the key tested before its value.
PyObject* has_disallowed_mi_contract_field(PyObject*, PyObject* value) {
  if (!is_nested(value)) return Py_NewRef(Py_False);
  CursorStack stack;
  if (!stack.push(value, Cursor::Mode::Items)) return nullptr;
  Ref key, item;
  while (!stack.empty()) {
    int got = stack.top().next(key, item);
    if (got < 0) return nullptr;
    if (got == 0) {
      stack.pop();
      continue;
    }
    int found = 0;
    if (key) {
      found = is_disallowed_name(key.get());
      key.reset();
      if (found != 0) return bool_of(found);
    }
    Ref walk = host::global(QM_NAME("_has_disallowed_mi_contract_field"));
    if (!walk) return nullptr;
    if (!host::is_own<&has_disallowed_mi_contract_field>(walk.get())) {
      found = truth_of(Ref(PyObject_CallOneArg(walk.get(), item.get())));
    } else if (is_nested(item.get())) {
      found = stack.push(item.get(), Cursor::Mode::Items) ? 0 : -1;
    }
    if (found != 0) return bool_of(found);
  }
  return Py_NewRef(Py_False);
}

PyObject* coerce_mi_contract_value(PyObject*, PyObject* value) {
  if (PyBool_Check(value)) return refuse_mi();
  if (PyUnicode_Check(value)) {
    for (bool negative : {false, true}) {
      int equal = text_equals(value, negative ? QM_NAME("-Infinity") : QM_NAME("Infinity"));
      if (equal < 0) return nullptr;
      if (equal) {
        return PyFloat_FromDouble(negative ? -std::numeric_limits<double>::infinity()
                                           : std::numeric_limits<double>::infinity());
      }
    }
    return refuse_mi();
  }
  if (!is_number(value)) return refuse_mi();
  double number;
  int converted = to_double(value, number);
  if (converted < 0) return nullptr;
  if (converted == 0) {
    Ref cause = host::take_exception();
    return refuse_mi(cause.get());
  }
  Ref out = PyFloat_CheckExact(value) ? Ref::borrow(value) : Ref(PyFloat_FromDouble(number));
  if (!out) return nullptr;
  int nan = truth_of(host::math_call(host::MathFunction::IsNan, number, out.get(), std::isnan(number)));
  if (nan != 0) return nan < 0 ? nullptr : refuse_mi();
  return out.release();
}

PyObject* mi_contract_json_value(PyObject*, PyObject* value) {
  Ref out = host::call<&coerce_mi_contract_value>(value);
  if (!out) return nullptr;
  int infinite;
  if (PyFloat_CheckExact(out.get())) {
    double number = PyFloat_AS_DOUBLE(out.get());
    infinite = truth_of(host::math_call(host::MathFunction::IsInf, number, out.get(), std::isinf(number)));
  } else {
    // Only a replaced coercion answers anything but a float.
    Ref fn = host::global_attr(QM_NAME("math"), QM_NAME("isinf"));
    infinite = fn ? truth_of(Ref(PyObject_CallOneArg(fn.get(), out.get()))) : -1;
  }
  if (infinite < 0) return nullptr;
  if (infinite) {
    int negative = is_negative(out.get());
    if (negative < 0) return nullptr;
    if (negative) return refuse_mi();
    return Py_NewRef(QM_NAME("Infinity"));
  }
  return PyNumber_Float(out.get());
}

PyObject* stat_metric(PyObject*, PyObject* is_stats, PyObject* keys) {
  const bool tuple = PyTuple_CheckExact(keys);
  Ref iter;
  if (!tuple) {
    iter = Ref(PyObject_GetIter(keys));
    if (!iter) return nullptr;
  }
  for (Py_ssize_t i = 0;; ++i) {
    Ref key;
    if (tuple) {
      if (i >= PyTuple_GET_SIZE(keys)) break;
      key = Ref::borrow(PyTuple_GET_ITEM(keys, i));
    } else {
      key = Ref(PyIter_Next(iter.get()));
      if (!key) {
        if (PyErr_Occurred()) return nullptr;
        break;
      }
    }
    Ref value = host::mapping_get(is_stats, key.get());
    if (!value) return nullptr;
    int usable = truth_of(host::call<&is_finite_number>(value.get()));
    if (usable < 0) return nullptr;
    if (usable) return PyNumber_Float(value.get());
  }
  return Py_NewRef(Py_None);
}

PyObject* submission_is_stats_payload(PyObject*, PyObject* is_stats) {
  Ref payload(PyDict_CheckExact(is_stats) ? PyDict_Copy(is_stats)
                                          : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), is_stats));
  if (!payload) return nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  if (PyDict_PopString(payload.get(), "_threshold_checks", nullptr) < 0) return nullptr;
#else
  Ref removed(_PyDict_Pop(payload.get(), QM_NAME("_threshold_checks"), Py_None));
  if (!removed) return nullptr;
#endif
  return payload.release();
}

}  // namespace quillmarsh::validation
