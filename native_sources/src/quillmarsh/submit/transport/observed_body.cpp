#include "quillmarsh/submit/transport/observed_body.hpp"

#include "quillmarsh/submit/host/text.hpp"

namespace quillmarsh::transport {

using host::Ref;

namespace {

Ref attr(PyObject* self, PyObject* name) { return Ref(PyObject_GetAttr(self, name)); }

PyObject* init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_TransmissionObservedBody.__init__", 1, 5,
                                   {{"body_bytes", true}, {"observer", true}, {"method", true}, {"url", true},
                                    {"headers", true}});
  PyObject* a[5];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    Ref headers_copy(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), a[4]));
    Ref zero(PyLong_FromLong(0));
    if (!headers_copy || !zero) return nullptr;
    if (PyObject_SetAttr(self, QM_NAME("_body_bytes"), a[0]) < 0 ||
        PyObject_SetAttr(self, QM_NAME("_observer"), a[1]) < 0 ||
        PyObject_SetAttr(self, QM_NAME("_method"), a[2]) < 0 || PyObject_SetAttr(self, QM_NAME("_url"), a[3]) < 0 ||
        PyObject_SetAttr(self, QM_NAME("_headers"), headers_copy.get()) < 0 ||
        PyObject_SetAttr(self, QM_NAME("_offset"), zero.get()) < 0 ||
        PyObject_SetAttr(self, QM_NAME("_observed"), Py_False) < 0) {
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* consumed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_TransmissionObservedBody.consumed", 1, 0, {});
  if (!sig.bind(args, nargs, kwnames, nullptr)) return nullptr;
  return attr(self, QM_NAME("_observed")).release();
}

PyObject* observe_once(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_TransmissionObservedBody._observe_once", 1, 0, {});
  if (!sig.bind(args, nargs, kwnames, nullptr)) return nullptr;
  return host::guarded([&]() -> PyObject* {
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
    Ref headers_copy = headers ? Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), headers.get()))
                               : Ref();
    Ref body = headers_copy ? attr(self, QM_NAME("_body_bytes")) : Ref();
    if (!body) return nullptr;
    PyObject* call_args[] = {method.get(), url.get(), headers_copy.get(), body.get()};
    Ref ignored(PyObject_Vectorcall(observer.get(), call_args, 4, nullptr));
    if (!ignored) return nullptr;
    Py_RETURN_NONE;
  });
}

// The body of read(size): everything is looked up on the instance, as a Python method would.
PyObject* read_impl(PyObject* self, PyObject* size) {
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

PyObject* read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_TransmissionObservedBody.read", 1, 1, {{"size", false}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    if (a[0] != nullptr) return read_impl(self, a[0]);
    Ref minus_one(PyLong_FromLong(-1));
    return minus_one ? read_impl(self, minus_one.get()) : nullptr;
  });
}

PyObject* seek(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_TransmissionObservedBody.seek", 1, 2, {{"offset", true}, {"whence", false}});
  PyObject* a[2];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    Ref zero(PyLong_FromLong(0)), one(PyLong_FromLong(1)), two(PyLong_FromLong(2));
    if (!zero || !one || !two) return nullptr;
    PyObject* whence = host::or_default(a[1], zero.get());
    Ref position;
    int match = PyObject_RichCompareBool(whence, zero.get(), Py_EQ);
    if (match < 0) return nullptr;
    if (match) {
      position = Ref::borrow(a[0]);
    } else if ((match = PyObject_RichCompareBool(whence, one.get(), Py_EQ)) != 0) {
      if (match < 0) return nullptr;
      Ref offset = attr(self, QM_NAME("_offset"));
      if (!offset) return nullptr;
      position = Ref(PyNumber_Add(offset.get(), a[0]));
    } else if ((match = PyObject_RichCompareBool(whence, two.get(), Py_EQ)) != 0) {
      if (match < 0) return nullptr;
      Ref body = attr(self, QM_NAME("_body_bytes"));
      if (!body) return nullptr;
      Py_ssize_t n = PyObject_Length(body.get());
      if (n < 0) return nullptr;
      Ref length(PyLong_FromSsize_t(n));
      if (!length) return nullptr;
      position = Ref(PyNumber_Add(length.get(), a[0]));
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
  });
}

PyObject* tell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_TransmissionObservedBody.tell", 1, 0, {});
  if (!sig.bind(args, nargs, kwnames, nullptr)) return nullptr;
  return attr(self, QM_NAME("_offset")).release();
}

PyObject* iter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_TransmissionObservedBody.__iter__", 1, 0, {});
  if (!sig.bind(args, nargs, kwnames, nullptr)) return nullptr;
  return Py_NewRef(self);
}

PyObject* next(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_TransmissionObservedBody.__next__", 1, 0, {});
  if (!sig.bind(args, nargs, kwnames, nullptr)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    Ref chunk(PyObject_CallMethodNoArgs(self, QM_NAME("read")));
    if (!chunk) return nullptr;
    int nonempty = PyObject_IsTrue(chunk.get());
    if (nonempty < 0) return nullptr;
    if (nonempty) return chunk.release();
    PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
  });
}

PyMethodDef init_def = {"__init__", QM_FASTCALL_ENTRY(init),
                        "__init__($self, body_bytes, observer, method, url, headers)\n--\n\n"
                        "Wrap serialised request bytes for one request."};
PyMethodDef consumed_def = {"consumed", QM_FASTCALL_ENTRY(consumed),
                            "consumed($self)\n--\n\n"
                            "Whether the transport has read the body (and the observer was called)."};
PyMethodDef observe_once_def = {"_observe_once", QM_FASTCALL_ENTRY(observe_once),
                                "_observe_once($self)\n--\n\n"
                                "Call the observer the first time only, marking the body observed first."};
PyMethodDef read_def = {"read", QM_FASTCALL_ENTRY(read),
                        "read($self, size=-1)\n--\n\n"
                        "Read up to size bytes (all when size is negative or None)."};
PyMethodDef seek_def = {"seek", QM_FASTCALL_ENTRY(seek),
                        "seek($self, offset, whence=0)\n--\n\n"
                        "Move the read position; returns the new position."};
PyMethodDef tell_def = {"tell", QM_FASTCALL_ENTRY(tell), "tell($self)\n--\n\nThe current read position."};
PyMethodDef iter_def = {"__iter__", QM_FASTCALL_ENTRY(iter), "__iter__($self)\n--\n\nIterate over body chunks."};
PyMethodDef next_def = {"__next__", QM_FASTCALL_ENTRY(next),
                        "__next__($self)\n--\n\nThe rest of the body as one chunk."};

}  // namespace

const host::Member kObservedBodyMembers[] = {
    {&init_def, host::MemberKind::Instance},     {&consumed_def, host::MemberKind::Property},
    {&observe_once_def, host::MemberKind::Instance}, {&read_def, host::MemberKind::Instance},
    {&seek_def, host::MemberKind::Instance},     {&tell_def, host::MemberKind::Instance},
    {&iter_def, host::MemberKind::Instance},     {&next_def, host::MemberKind::Instance},
    {nullptr, host::MemberKind::Instance},
};

}  // namespace quillmarsh::transport
