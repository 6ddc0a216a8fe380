#include "quillmarsh/submit/operations/outcome.hpp"

#include <utility>

#include "quillmarsh/submit/host/module_ns.hpp"

namespace quillmarsh::operations {

namespace {

// The interpreter refuses an except clause naming something that is not an exception class.
bool catchable(PyObject* cls) {
  if (PyExceptionClass_Check(cls)) return true;
  PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
  return false;
}

// `except cls:` where cls is a class or a tuple of classes: 1, 0, or -1 with an error set.
int clause_matches(PyObject* exc, PyObject* cls) {
  if (PyTuple_Check(cls)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i) {
      if (!catchable(PyTuple_GET_ITEM(cls, i))) return -1;
    }
  } else if (!catchable(cls)) {
    return -1;
  }
  return PyErr_GivenExceptionMatches(exc, cls);
}

// `400 <= status < 500` through the host's comparisons, for a status that is not a plain int.
int client_error_range(PyObject* status) {
  Ref low(PyLong_FromLong(400));
  int in_range = low ? PyObject_RichCompareBool(low.get(), status, Py_LE) : -1;
  if (in_range <= 0) return in_range;
  Ref high(PyLong_FromLong(500));
  return high ? PyObject_RichCompareBool(status, high.get(), Py_LT) : -1;
}

// `status in (502, 503, 504)`
int gateway_status(PyObject* status) {
  for (long code : {502L, 503L, 504L}) {
    Ref value(PyLong_FromLong(code));
    int same = value ? PyObject_RichCompareBool(value.get(), status, Py_EQ) : -1;
    if (same != 0) return same;
  }
  return 0;
}

// `httpx.RequestError`, or null (no error set) when the module bound as `httpx` has none.
Ref request_error_class() {
  Ref httpx = host::global(QM_NAME("httpx"));
  if (!httpx) return Ref();
  PyObject* found = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  if (PyObject_GetOptionalAttr(httpx.get(), QM_NAME("RequestError"), &found) < 0) return Ref();
#else
  if (_PyObject_LookupAttr(httpx.get(), QM_NAME("RequestError"), &found) < 0) return Ref();
#endif
  return Ref(found);
}

}  // namespace

bool classify(PyObject* exc, Failure& failure) {
  // except (ConnectionError, httpx.TransportError): the tuple is complete before it is tested.
  Ref transport_error = host::global_attr(QM_NAME("httpx"), QM_NAME("TransportError"));
  if (!transport_error || !catchable(transport_error.get())) return false;
  if (PyErr_GivenExceptionMatches(exc, PyExc_ConnectionError) ||
      PyErr_GivenExceptionMatches(exc, transport_error.get())) {
    failure = Failure::Transport;
    return true;
  }
  // The other failures of a request that httpx reports (an answer whose content encoding is
  // corrupt, too many redirects) are failures of the transport too.
  Ref request_error = request_error_class();
  if (!request_error && PyErr_Occurred()) return false;
  if (request_error && PyExceptionClass_Check(request_error.get()) &&
      PyErr_GivenExceptionMatches(exc, request_error.get())) {
    failure = Failure::Transport;
    return true;
  }
  const std::pair<PyObject*, Failure> clauses[] = {
      {QM_NAME("SubmissionRejectedError"), Failure::Rejected},
      {QM_NAME("SignalClientResponseError"), Failure::Malformed},
  };
  for (const auto& [name, kind] : clauses) {
    Ref cls = host::global(name);
    if (!cls) return false;
    int matched = clause_matches(exc, cls.get());
    if (matched < 0) return false;
    if (matched) {
      failure = kind;
      return true;
    }
  }
  failure = Failure::Other;
  return true;
}

bool request(PyObject* self, PyObject* method, PyObject* endpoint, PyObject* body, Ref& status_code,
             Ref& response_body) {
  PyObject* args[] = {self, method, endpoint, body};
  Ref answer(PyObject_VectorcallMethod(QM_NAME("_canonical_request"), args, body != nullptr ? 4 : 3, nullptr));
  return answer && host::unpack_pair(answer.get(), status_code, response_body);
}

Ref take_raised() {
  Ref exc = host::take_exception();
  if (!exc && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "request failed without an exception");
  return exc;
}

std::nullptr_t reraise(const Ref& exc) { return host::restore_exception(exc); }

int mapped_status(PyObject* exc, bool gateway) {
  Ref status(PyObject_GetAttr(exc, QM_NAME("status_code")));
  if (!status) return -1;
  if (PyLong_CheckExact(status.get())) {
    int overflow = 0;
    const long code = PyLong_AsLongAndOverflow(status.get(), &overflow);
    if (overflow) return 0;
    if (code == -1 && PyErr_Occurred()) return -1;
    return (code >= 400 && code < 500) || (gateway && (code == 502 || code == 503 || code == 504));
  }
  int in_range = client_error_range(status.get());
  if (in_range != 0 || !gateway) return in_range;
  return gateway_status(status.get());
}

Ref convert(PyObject* self, PyObject* converter, PyObject* exc) {
  PyObject* args[] = {self, exc};
  return Ref(PyObject_VectorcallMethod(converter, args, 2, nullptr));
}

}  // namespace quillmarsh::operations
