#include "quillmarsh/submit/eras/accessors.hpp"

#include "quillmarsh/submit/host/text.hpp"

namespace quillmarsh::eras {

namespace {

// getattr(obj, name, <default>) for a str name: 1 with `*out` set, 0 when the
// attribute is missing (only AttributeError is swallowed), -1 on any other error.
int optional_attr(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyObject_GetOptionalAttr(obj, name, out);
#else
  return _PyObject_LookupAttr(obj, name, out);
#endif
}

// The builtin getattr itself, for names that are not str: it raises its own TypeError (and a
// NameError, as a bare name does, when the builtins have none).
Ref builtin_getattr(PyObject* value, PyObject* key, PyObject* fallback) {
  PyObject* builtins = PyEval_GetBuiltins();
  Ref getattr_fn = builtins ? Ref::borrow(PyDict_GetItemWithError(builtins, QM_NAME("getattr"))) : Ref();
  if (!getattr_fn) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'getattr' is not defined");
    return Ref();
  }
  PyObject* args[] = {value, key, fallback};
  return Ref(PyObject_Vectorcall(getattr_fn.get(), args, 3, nullptr));
}

}  // namespace

// `value.get(key, default)` for a dict, else `getattr(value, key, default)`.
Ref field_value(PyObject*, PyObject* value, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(value)) {
    PyObject* found = PyDict_GetItemWithError(value, key);
    if (found != nullptr) return Ref::borrow(found);
    return PyErr_Occurred() ? Ref() : Ref::borrow(fallback);
  }
  if (PyUnicode_Check(key) && !PyDict_Check(value)) {
    PyObject* found = nullptr;
    int present = optional_attr(value, key, &found);
    if (present < 0) return Ref();
    return present ? Ref(found) : Ref::borrow(fallback);
  }
  if (PyDict_Check(value)) {
    PyObject* args[] = {value, key, fallback};
    return Ref(PyObject_VectorcallMethod(QM_NAME("get"), args, 3, nullptr));
  }
  return builtin_getattr(value, key, fallback);
}

namespace {

// `key in mapping` and then `mapping[key]`: 1 with `out` set, 0 when absent, -1 on error.
int find_entry(PyObject* mapping, PyObject* key, Ref& out) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* found = PyDict_GetItemWithError(mapping, key);
    if (found != nullptr) {
      out = Ref::borrow(found);
      return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
  }
  int present = PySequence_Contains(mapping, key);
  if (present <= 0) return present;
  out = Ref(PyObject_GetItem(mapping, key));
  return out ? 1 : -1;
}

}  // namespace

Ref mapping_lookup(PyObject*, PyObject* mapping, PyObject* key) {
  if (!PyDict_Check(mapping)) return Ref::borrow(Py_None);
  Ref entry;
  int found = find_entry(mapping, key, entry);
  if (found != 0) return found > 0 ? std::move(entry) : Ref();
  // For an exact str key of an exact dict, str(key) is key: already looked up.
  if (PyUnicode_CheckExact(key) && PyDict_CheckExact(mapping)) return Ref::borrow(Py_None);
  Ref text(PyObject_Str(key));
  if (!text) return Ref();
  found = find_entry(mapping, text.get(), entry);
  if (found != 0) return found > 0 ? std::move(entry) : Ref();
  return Ref::borrow(Py_None);
}

Ref coerce_optional_int(PyObject*, PyObject* value) {
  if (value == Py_None || PyBool_Check(value)) return Ref::borrow(Py_None);
  if (PyLong_CheckExact(value)) return Ref::borrow(value);
  Ref out(PyNumber_Long(value));
  if (!out && (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
               PyErr_ExceptionMatches(PyExc_OverflowError))) {
    PyErr_Clear();
    return Ref::borrow(Py_None);
  }
  return out;
}

Ref required_positive_era_int(PyObject*, PyObject* era, PyObject* field_name) {
  Ref value = call_field_value(era, field_name, Py_None);
  if (!value) return Ref();
  bool positive = false;
  if (PyLong_CheckExact(value.get())) {  // neither bool nor any other int subclass
    int overflow = 0;
    long number = PyLong_AsLongAndOverflow(value.get(), &overflow);
    if (number == -1 && PyErr_Occurred()) return Ref();
    positive = overflow > 0 || (overflow == 0 && number > 0);
  }
  if (!positive) {
    return Ref(raise_value_error(
        {QM_NAME("era config field "), host::text_of(field_name).get(), QM_NAME(" must be a positive integer")}));
  }
  return value;
}

namespace {

// `value.strip() == ""` for a str (subclasses use their own strip).
int is_blank(PyObject* value) {
  if (PyUnicode_CheckExact(value)) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    const int kind = PyUnicode_KIND(value);
    const void* data = PyUnicode_DATA(value);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return 0;
    }
    return 1;
  }
  Ref stripped(PyObject_CallMethodNoArgs(value, QM_NAME("strip")));
  return stripped ? equals(stripped.get(), QM_NAME("")) : -1;
}

}  // namespace

Ref required_era_frequency(PyObject*, PyObject* era) {
  Ref value = call_field_value(era, QM_NAME("frequency"), Py_None);
  if (!value) return Ref();
  int blank = PyUnicode_Check(value.get()) ? is_blank(value.get()) : 1;
  if (blank < 0) return Ref();
  if (blank) return Ref(raise_value_error("era config field frequency must be a non-empty string"));
  return value;
}

Ref simulation_data_contract_projection_from_era(PyObject*, PyObject* era) {
  Ref projection = call_field_value(era, QM_NAME("simulation_data_contract_projection"), Py_None);
  if (!projection || projection.get() == Py_None) return projection;
  if (!PyDict_Check(projection.get())) {
    return Ref(raise_value_error("era config field simulation_data_contract_projection must be a dict"));
  }
  if (PyDict_CheckExact(projection.get())) return Ref(PyDict_Copy(projection.get()));
  return Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), projection.get()));
}

}  // namespace quillmarsh::eras
