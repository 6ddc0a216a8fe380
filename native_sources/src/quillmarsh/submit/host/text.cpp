#include "quillmarsh/submit/host/text.hpp"

#include "quillmarsh/submit/host/names.hpp"

namespace quillmarsh::host {

Ref text_of(PyObject* value) {
  if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
  static PyObject* empty = PyUnicode_InternFromString("");
  return Ref(PyObject_Format(value, empty));
}

Ref str(const char* text) { return Ref(PyUnicode_FromString(text)); }

Ref join(std::initializer_list<PyObject*> pieces) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(pieces.size())));
  if (!tuple) return Ref();
  Py_ssize_t i = 0;
  for (PyObject* piece : pieces) {
    if (piece == nullptr) return Ref();
    Py_INCREF(piece);
    PyTuple_SET_ITEM(tuple.get(), i++, piece);
  }
  static PyObject* empty = PyUnicode_InternFromString("");
  return Ref(PyUnicode_Join(empty, tuple.get()));
}

Ref encode_utf8(PyObject* text) {
  if (PyUnicode_CheckExact(text)) return Ref(PyUnicode_AsUTF8String(text));
  Ref encoding = str("utf-8");
  return encoding ? Ref(PyObject_CallMethodOneArg(text, QM_NAME("encode"), encoding.get())) : Ref();
}

}  // namespace quillmarsh::host
