#include "quillmarsh/submit/transport/observed_body.hpp"

#include "quillmarsh/submit/host/text.hpp"

namespace quillmarsh::transport {

using host::Ref;

namespace {

Ref attr(PyObject* self, PyObject* name) { return Ref(PyObject_GetAttr(self, name)); }

}  // namespace

PyObject* observed_body_init(PyObject* self, PyObject* body_bytes, PyObject* observer, PyObject* method, PyObject* url,
                             PyObject* headers) {
  Ref headers_copy(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), headers));
  Ref zero(PyLong_FromLong(0));
  if (!headers_copy || !zero) return nullptr;
  if (PyObject_SetAttr(self, QM_NAME("_body_bytes"), body_bytes) < 0 ||
      PyObject_SetAttr(self, QM_NAME("_observer"), observer) < 0 ||
      PyObject_SetAttr(self, QM_NAME("_method"), method) < 0 || PyObject_SetAttr(self, QM_NAME("_url"), url) < 0 ||
      PyObject_SetAttr(self, QM_NAME("_headers"), headers_copy.get()) < 0 ||
      PyObject_SetAttr(self, QM_NAME("_offset"), zero.get()) < 0 ||
      PyObject_SetAttr(self, QM_NAME("_observed"), Py_False) < 0) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* observed_body_consumed(PyObject* self) { return attr(self, QM_NAME("_observed")).release(); }

PyObject* observed_body_observe_once(PyObject* self) {
  Ref observed = attr(self, QM_NAME("_observed"));
  if (!observed) return nullptr;
  int done = PyObject_IsTrue(observed.get());
  if (done < 0) return nullptr;
  if (done) Py_RETURN_NONE;
  if (PyObject_SetAttr(self, QM_NAME("_observed"), Py_True) < 0) return nullptr;
  Ref observer = attr(self, QM_NAME("_observer"));
  Ref method = observer ? attr(self, QM_NAME("_method")) : Ref();
  Ref url = method ? attr(self, QM_NAME("_url")) : Ref();
  Ref headers = url ? attr(self, QM_NAME("_headers")) : Ref();
  Ref headers_copy =
      headers ? Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), headers.get())) : Ref();
  Ref body = headers_copy ? attr(self, QM_NAME("_body_bytes")) : Ref();
  if (!body) return nullptr;
  PyObject* call_args[] = {method.get(), url.get(), headers_copy.get(), body.get()};
  Ref ignored(PyObject_Vectorcall(observer.get(), call_args, 4, nullptr));
  if (!ignored) return nullptr;
  Py_RETURN_NONE;
}

// Everything is looked up on the instance, as a Python method would.
PyObject* observed_body_read(PyObject* self, PyObject* size) {
  Ref zero(PyLong_FromLong(0));
  if (!zero) return nullptr;
  int is_zero = PyObject_RichCompareBool(size, zero.get(), Py_EQ);
  if (is_zero < 0) return nullptr;
  Ref body = attr(self, QM_NAME("_body_bytes"));
  Ref offset = body ? attr(self, QM_NAME("_offset")) : Ref();
  if (!offset) return nullptr;
  Py_ssize_t n = PyObject_Length(body.get());
  if (n < 0) return nullptr;
  Ref length(PyLong_FromSsize_t(n));
  if (!length) return nullptr;
  int at_end = is_zero ? 1 : PyObject_RichCompareBool(offset.get(), length.get(), Py_GE);
  if (at_end < 0) return nullptr;
  if (at_end) return PyBytes_FromStringAndSize(nullptr, 0);

  Ref observed(PyObject_CallMethodNoArgs(self, QM_NAME("_observe_once")));
  if (!observed) return nullptr;

  Ref end;
  int whole = size == Py_None;
  if (!whole) {
    whole = PyObject_RichCompareBool(size, zero.get(), Py_LT);
    if (whole < 0) return nullptr;
  }
  if (whole) {
    end = std::move(length);
  } else {
    Ref wanted(PyNumber_Add(offset.get(), size));
    if (!wanted) return nullptr;
    int shorter = PyObject_RichCompareBool(wanted.get(), length.get(), Py_LT);
    if (shorter < 0) return nullptr;
    end = shorter ? std::move(wanted) : std::move(length);
  }
  Ref slice(PySlice_New(offset.get(), end.get(), nullptr));
  Ref chunk = slice ? Ref(PyObject_GetItem(body.get(), slice.get())) : Ref();
  if (!chunk || PyObject_SetAttr(self, QM_NAME("_offset"), end.get()) < 0) return nullptr;
  return chunk.release();
}

PyObject* observed_body_seek(PyObject* self, PyObject* offset, PyObject* whence) {
  Ref zero(PyLong_FromLong(0)), one(PyLong_FromLong(1)), two(PyLong_FromLong(2));
  if (!zero || !one || !two) return nullptr;
  Ref position;
  int match = PyObject_RichCompareBool(whence, zero.get(), Py_EQ);
  if (match < 0) return nullptr;
  if (match) {
    position = Ref::borrow(offset);
  } else if ((match = PyObject_RichCompareBool(whence, one.get(), Py_EQ)) != 0) {
    if (match < 0) return nullptr;
    Ref current = attr(self, QM_NAME("_offset"));
    if (!current) return nullptr;
    position = Ref(PyNumber_Add(current.get(), offset));
  } else if ((match = PyObject_RichCompareBool(whence, two.get(), Py_EQ)) != 0) {
    if (match < 0) return nullptr;
    Ref body = attr(self, QM_NAME("_body_bytes"));
    if (!body) return nullptr;
    Py_ssize_t n = PyObject_Length(body.get());
    if (n < 0) return nullptr;
    Ref length(PyLong_FromSsize_t(n));
    if (!length) return nullptr;
    position = Ref(PyNumber_Add(length.get(), offset));
  } else {
    Ref message = host::join({QM_NAME("unsupported whence: "), host::text_of(whence).get()});
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
  }
  if (!position) return nullptr;
  int negative = PyObject_RichCompareBool(position.get(), zero.get(), Py_LT);
  if (negative < 0) return nullptr;
  if (negative) {
    PyErr_SetString(PyExc_ValueError, "negative seek position");
    return nullptr;
  }
  if (PyObject_SetAttr(self, QM_NAME("_offset"), position.get()) < 0) return nullptr;
  return position.release();
}

PyObject* observed_body_tell(PyObject* self) { return attr(self, QM_NAME("_offset")).release(); }

PyObject* observed_body_iter(PyObject* self) { return Py_NewRef(self); }

PyObject* observed_body_next(PyObject* self) {
  Ref chunk(PyObject_CallMethodNoArgs(self, QM_NAME("read")));
  if (!chunk) return nullptr;
  int nonempty = PyObject_IsTrue(chunk.get());
  if (nonempty < 0) return nullptr;
  if (nonempty) return chunk.release();
  PyErr_SetNone(PyExc_StopIteration);
  return nullptr;
}

}  // namespace quillmarsh::transport
