#include "quillmarsh/submit/validation/identifiers.hpp"

#include "quillmarsh/submit/host/text.hpp"
#include "quillmarsh/submit/validation/lookups.hpp"

namespace quillmarsh::validation {

PyObject* validate_selected_pool_id(PyObject*, PyObject* value, PyObject* field_name) {
  int usable = 0;
  if (PyUnicode_CheckExact(value)) {
    usable = PyUnicode_GET_LENGTH(value) > 0;
  } else if (PyUnicode_Check(value)) {
    usable = PyObject_IsTrue(value);
    if (usable < 0) return nullptr;
  }
  if (usable) return Py_NewRef(Py_None);
  Ref name = host::text_of(field_name);
  return refuse(host::join({name.get(), QM_NAME(" must be a non-empty string")}).get());
}

namespace {

// `text.strip()`: computed here for a plain str, else the object's own strip().
Ref strip(PyObject* text) {
  if (!PyUnicode_CheckExact(text)) return Ref(PyObject_CallMethodNoArgs(text, QM_NAME("strip")));
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  Py_ssize_t start = 0, end = length;
  while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
  while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
  return Ref(PyUnicode_Substring(text, start, end));  // the str itself when nothing is stripped
}

// `not text`: 1, 0 or -1.
int is_blank(PyObject* text) {
  if (PyUnicode_CheckExact(text)) return PyUnicode_GET_LENGTH(text) == 0;
  int truth = PyObject_IsTrue(text);
  return truth < 0 ? -1 : !truth;
}

// `from quillmarsh.agent_onboarding import _config`. An imported module that already has
// `_config` needs nothing of the import system but the lookup.
Ref import_onboarding_config() {
  PyObject* name = QM_NAME("quillmarsh.agent_onboarding");
  if (name == nullptr) return Ref();
  Ref loaded(PyImport_GetModule(name));  // waits for a module still being initialised
  if (!loaded) {
    if (PyErr_Occurred()) return Ref();
  } else if (loaded.get() != Py_None) {
    Ref config(PyObject_GetAttr(loaded.get(), QM_NAME("_config")));
    if (config || !PyErr_ExceptionMatches(PyExc_AttributeError)) return config;
    PyErr_Clear();
  }
  static PyObject* fromlist = nullptr;
  if (str_tuple(&fromlist, {"_config"}) == nullptr) return Ref();
  Ref module(PyImport_ImportModuleLevelObject(name, nullptr, nullptr, fromlist, 0));
  return module ? Ref(PyObject_GetAttr(module.get(), QM_NAME("_config"))) : Ref();
}

// `str(_config.get("named_universe") or "").strip()`, `_config` imported from the onboarding
// module now. Any Exception on the way means no default (""); null only for a BaseException
// that is not an Exception (KeyboardInterrupt, SystemExit), which is left set.
Ref configured_universe() {
  Ref text = [] {
    Ref config = import_onboarding_config();
    Ref value =
        config ? Ref(PyObject_CallMethodOneArg(config.get(), QM_NAME("get"), QM_NAME("named_universe"))) : Ref();
    int truth = truth_of(value);
    if (truth < 0) return Ref();
    Ref shown = truth ? Ref(PyObject_Str(value.get())) : Ref::borrow(QM_NAME(""));
    return shown ? strip(shown.get()) : Ref();
  }();
  if (text) return text;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
  PyErr_Clear();
  return Ref::borrow(QM_NAME(""));
}

// Whether the name is no single safe path segment: "." or "..", or holding "/", a
// backslash or NUL. 1, 0 or -1.
int is_unsafe_segment(PyObject* text) {
  static constexpr Py_UCS4 kForbidden[] = {'/', '\\', 0};
  if (PyUnicode_CheckExact(text)) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    if (length <= 2) {
      bool dots = length > 0;
      for (Py_ssize_t i = 0; i < length; ++i) dots = dots && PyUnicode_READ(kind, data, i) == '.';
      if (dots) return 1;
    }
    for (Py_UCS4 ch : kForbidden) {
      if (PyUnicode_FindChar(text, ch, 0, length, 1) >= 0) return 1;
    }
    return 0;
  }
  // A replaced str()/strip() answered something else: ask it through its own operators.
  for (PyObject* name : {QM_NAME("."), QM_NAME("..")}) {
    int equal = PyObject_RichCompareBool(text, name, Py_EQ);
    if (equal != 0) return equal;
  }
  for (Py_UCS4 ch : kForbidden) {
    Ref piece(PyUnicode_FromOrdinal(static_cast<int>(ch)));
    int found = piece ? PySequence_Contains(text, piece.get()) : -1;
    if (found != 0) return found;
  }
  return 0;
}

}  // namespace

PyObject* validate_named_universe(PyObject*, PyObject* value) {
  Ref text;
  if (value == Py_None) {
    text = Ref::borrow(QM_NAME(""));
  } else {
    Ref shown(PyObject_Str(value));
    if (!shown) return nullptr;
    text = strip(shown.get());
    if (!text) return nullptr;
  }
  int blank = is_blank(text.get());
  if (blank > 0) {
    text = configured_universe();
    if (!text) return nullptr;
    blank = is_blank(text.get());
  }
  if (blank < 0) return nullptr;
  if (blank) return refuse(QM_NAME("named_universe is required"));
  int unsafe = is_unsafe_segment(text.get());
  if (unsafe < 0) return nullptr;
  if (unsafe) {
    Ref shown(PyObject_Repr(value));
    return refuse(host::join({QM_NAME("named_universe must be a single safe path segment, got "), shown.get()}).get());
  }
  return text.release();
}

PyObject* reject_retired_universe_aliases(PyObject*, PyObject* body) {
  if (!PyDict_Check(body)) return Py_NewRef(Py_None);
  Ref keys = host::global(QM_NAME("_RETIRED_UNIVERSE_ALIAS_KEYS"));
  if (!keys) return nullptr;
  const bool tuple = PyTuple_CheckExact(keys.get());
  Ref iter = tuple ? Ref() : Ref(PyObject_GetIter(keys.get()));
  if (!tuple && !iter) return nullptr;
  for (Py_ssize_t i = 0;; ++i) {
    Ref key;
    if (tuple) {
      if (i >= PyTuple_GET_SIZE(keys.get())) break;
      key = Ref::borrow(PyTuple_GET_ITEM(keys.get(), i));
    } else if (!(key = Ref(PyIter_Next(iter.get())))) {
      if (PyErr_Occurred()) return nullptr;
      break;
    }
    int present = PySequence_Contains(body, key.get());
    if (present < 0) return nullptr;
    if (present) {
      Ref name = host::text_of(key.get());
      return refuse(host::join({name.get(), QM_NAME(" is retired; submit named_universe")}).get());
    }
  }
  return Py_NewRef(Py_None);
}

}  // namespace quillmarsh::validation
