#include "quillmarsh/submit/host/errors.hpp"

namespace quillmarsh::host {

Ref take_exception() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return Ref();
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref(value);
}

std::nullptr_t restore_exception(const Ref& exc) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
  Py_INCREF(type);
  Py_INCREF(exc.get());
  PyErr_Restore(type, exc.get(), PyException_GetTraceback(exc.get()));
  return nullptr;
}

std::nullptr_t raise_from(PyObject* exc, PyObject* cause) {
  if (cause != nullptr) {
    Py_INCREF(cause);
    PyException_SetCause(exc, cause);  // steals; also sets __suppress_context__
    Py_INCREF(cause);
    PyException_SetContext(exc, cause);  // steals
  }
  // PyErr_Restore keeps the context set above instead of chaining to whatever the
  // caller happens to be handling.
  Py_INCREF(Py_TYPE(exc));
  Py_INCREF(exc);
  PyErr_Restore(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, nullptr);
  return nullptr;
}

std::nullptr_t raise_type_from(PyObject* exc_type, PyObject* message, PyObject* cause) {
  Ref exc(PyObject_CallOneArg(exc_type, message));
  if (!exc) return nullptr;
  return raise_from(exc.get(), cause);
}

bool unpack_pair(PyObject* value, Ref& first, Ref& second) {
  if ((PyTuple_CheckExact(value) || PyList_CheckExact(value)) && Py_SIZE(value) == 2) {
    PyObject* const* items = PyTuple_CheckExact(value) ? &PyTuple_GET_ITEM(value, 0) : &PyList_GET_ITEM(value, 0);
    first = Ref::borrow(items[0]);
    second = Ref::borrow(items[1]);
    return true;
  }
  Ref it(PyObject_GetIter(value));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr && !PySequence_Check(value)) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
    }
    return false;
  }
  Ref* slots[2] = {&first, &second};
  for (int i = 0; i < 2; ++i) {
    Ref item(PyIter_Next(it.get()));
    if (!item) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
      }
      return false;
    }
    *slots[i] = std::move(item);
  }
  Ref extra(PyIter_Next(it.get()));
  if (!extra) return !PyErr_Occurred();
#if PY_VERSION_HEX >= 0x030E0000
  // From 3.14 on the interpreter also names the size of an exact list, tuple or dict.
  if (PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyDict_CheckExact(value)) {
    Py_ssize_t n = PyDict_CheckExact(value) ? PyDict_Size(value) : Py_SIZE(value);
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
    return false;
  }
#endif
  PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
  return false;
}

}  // namespace quillmarsh::host
