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

// The builtin getattr itself, for names that are not str: it raises its own TypeError.
Ref builtin_getattr(PyObject* value, PyObject* key, PyObject* fallback) {
  PyObject* builtins = PyEval_GetBuiltins();
  Ref getattr_fn = builtins ? Ref::borrow(PyDict_GetItemWithError(builtins, QM_NAME("getattr"))) : Ref();
  if (!getattr_fn) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "attribute name must be string");
    return Ref();
  }
  PyObject* args[] = {value, key, fallback};
  return Ref(PyObject_Vectorcall(getattr_fn.get(), args, 3, nullptr));
}

// _field_value: `value.get(key, fallback)` for a dict, else `getattr(value, key,
// fallback)`. A null `fallback` is made by `make_fallback` only when it is needed.
Ref field_value_native(PyObject* value, PyObject* key, PyObject* fallback, PyObject* (*make_fallback)() = nullptr) {
  auto answer_fallback = [&]() { return fallback ? Ref::borrow(fallback) : Ref(make_fallback()); };
  if (PyDict_CheckExact(value)) {
    PyObject* found = PyDict_GetItemWithError(value, key);
    if (found != nullptr) return Ref::borrow(found);
    return PyErr_Occurred() ? Ref() : answer_fallback();
  }
  if (PyUnicode_Check(key) && !PyDict_Check(value)) {
    PyObject* found = nullptr;
    int present = optional_attr(value, key, &found);
    if (present < 0) return Ref();
    return present ? Ref(found) : answer_fallback();
  }
  Ref made;
  if (fallback == nullptr) {
    made = Ref(make_fallback());
    if (!made) return Ref();
    fallback = made.get();
  }
  if (PyDict_Check(value)) {
    PyObject* args[] = {value, key, fallback};
    return Ref(PyObject_VectorcallMethod(QM_NAME("get"), args, 3, nullptr));
  }
  return builtin_getattr(value, key, fallback);
}

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

Ref mapping_lookup_native(PyObject* mapping, PyObject* key) {
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

Ref coerce_optional_int_native(PyObject* value) {
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

Ref required_positive_era_int_native(PyObject* era, PyObject* field_name) {
  Ref value = field_value(era, field_name, Py_None);
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

Ref required_era_frequency_native(PyObject* era) {
  Ref value = field_value(era, QM_NAME("frequency"), Py_None);
  if (!value) return Ref();
  int blank = PyUnicode_Check(value.get()) ? is_blank(value.get()) : 1;
  if (blank < 0) return Ref();
  if (blank) return Ref(raise_value_error("era config field frequency must be a non-empty string"));
  return value;
}

Ref projection_native(PyObject* era) {
  Ref projection = field_value(era, QM_NAME("simulation_data_contract_projection"), Py_None);
  if (!projection || projection.get() == Py_None) return projection;
  if (!PyDict_Check(projection.get())) {
    return Ref(raise_value_error("era config field simulation_data_contract_projection must be a dict"));
  }
  if (PyDict_CheckExact(projection.get())) return Ref(PyDict_Copy(projection.get()));
  return Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), projection.get()));
}

// Entry points.

PyObject* field_value_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_field_value", 0, 3, {{"value", true}, {"key", true}, {"default", false}});
  PyObject* a[3];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() { return field_value_native(a[0], a[1], host::or_default(a[2], Py_None)).release(); });
}

PyObject* mapping_lookup_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_mapping_lookup", 0, 2, {{"mapping", true}, {"key", true}});
  PyObject* a[2];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() { return mapping_lookup_native(a[0], a[1]).release(); });
}

PyObject* coerce_optional_int_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_coerce_optional_int", 0, 1, {{"value", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() { return coerce_optional_int_native(a[0]).release(); });
}

PyObject* required_positive_era_int_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_required_positive_era_int", 0, 2, {{"era", true}, {"field_name", true}});
  PyObject* a[2];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() { return required_positive_era_int_native(a[0], a[1]).release(); });
}

PyObject* required_era_frequency_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_required_era_frequency", 0, 1, {{"era", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() { return required_era_frequency_native(a[0]).release(); });
}

PyObject* projection_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_simulation_data_contract_projection_from_era", 0, 1, {{"era", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() { return projection_native(a[0]).release(); });
}

}  // namespace

PyMethodDef kFieldValue = {
    "_field_value", QM_FASTCALL_ENTRY(field_value_entry),
    "_field_value($module, value, key, default=None)\n--\n\n"
    "Read a field of a catalog record: value.get(key, default) for a dict, else getattr(value, key, default)."};
PyMethodDef kMappingLookup = {
    "_mapping_lookup", QM_FASTCALL_ENTRY(mapping_lookup_entry),
    "_mapping_lookup($module, mapping, key)\n--\n\n"
    "The entry of a dict under key, else under str(key); None when absent or not a dict."};
PyMethodDef kCoerceOptionalInt = {
    "_coerce_optional_int", QM_FASTCALL_ENTRY(coerce_optional_int_entry),
    "_coerce_optional_int($module, value)\n--\n\n"
    "int(value), or None for None, a bool, or a value int() refuses."};
PyMethodDef kRequiredPositiveEraInt = {
    "_required_positive_era_int", QM_FASTCALL_ENTRY(required_positive_era_int_entry),
    "_required_positive_era_int($module, era, field_name)\n--\n\n"
    "The era's field, which must be an int greater than 0; raises ValueError otherwise."};
PyMethodDef kRequiredEraFrequency = {
    "_required_era_frequency", QM_FASTCALL_ENTRY(required_era_frequency_entry),
    "_required_era_frequency($module, era)\n--\n\n"
    "The era's data frequency, a non-blank str returned as stored; raises ValueError otherwise."};
PyMethodDef kSimulationDataContractProjectionFromEra = {
    "_simulation_data_contract_projection_from_era", QM_FASTCALL_ENTRY(projection_entry),
    "_simulation_data_contract_projection_from_era($module, era)\n--\n\n"
    "A copy of the era's simulation data contract projection dict, or None when it has none."};

// Calls through the module namespace.

Ref field_value(PyObject* value, PyObject* key) {
  Global g = resolve(QM_NAME("_field_value"), kFieldValue);
  if (!g.fn) return Ref();
  if (g.own) return field_value_native(value, key, Py_None);
  PyObject* args[] = {value, key};
  return call(g, args, 2);
}

Ref field_value(PyObject* value, PyObject* key, PyObject* fallback) {
  Global g = resolve(QM_NAME("_field_value"), kFieldValue);
  if (!g.fn) return Ref();
  if (g.own) return field_value_native(value, key, fallback);
  PyObject* args[] = {value, key, fallback};
  return call(g, args, 3);
}

Ref field_value_or_new(PyObject* value, PyObject* key, PyObject* (*make_fallback)()) {
  Global g = resolve(QM_NAME("_field_value"), kFieldValue);
  if (!g.fn) return Ref();
  if (g.own) return field_value_native(value, key, nullptr, make_fallback);
  Ref fallback(make_fallback());
  if (!fallback) return Ref();
  PyObject* args[] = {value, key, fallback.get()};
  return call(g, args, 3);
}

Ref mapping_lookup(PyObject* mapping, PyObject* key) {
  Global g = resolve(QM_NAME("_mapping_lookup"), kMappingLookup);
  if (!g.fn) return Ref();
  if (g.own) return mapping_lookup_native(mapping, key);
  PyObject* args[] = {mapping, key};
  return call(g, args, 2);
}

Ref coerce_optional_int(PyObject* value) {
  Global g = resolve(QM_NAME("_coerce_optional_int"), kCoerceOptionalInt);
  if (!g.fn) return Ref();
  if (g.own) return coerce_optional_int_native(value);
  PyObject* args[] = {value};
  return call(g, args, 1);
}

Ref required_positive_era_int(PyObject* era, PyObject* field_name) {
  Global g = resolve(QM_NAME("_required_positive_era_int"), kRequiredPositiveEraInt);
  if (!g.fn) return Ref();
  if (g.own) return required_positive_era_int_native(era, field_name);
  PyObject* args[] = {era, field_name};
  return call(g, args, 2);
}

Ref required_era_frequency(PyObject* era) {
  Global g = resolve(QM_NAME("_required_era_frequency"), kRequiredEraFrequency);
  if (!g.fn) return Ref();
  if (g.own) return required_era_frequency_native(era);
  PyObject* args[] = {era};
  return call(g, args, 1);
}

Ref simulation_data_contract_projection_from_era(PyObject* era) {
  Global g = resolve(QM_NAME("_simulation_data_contract_projection_from_era"),
                     kSimulationDataContractProjectionFromEra);
  if (!g.fn) return Ref();
  if (g.own) return projection_native(era);
  PyObject* args[] = {era};
  return call(g, args, 1);
}

}  // namespace quillmarsh::eras
