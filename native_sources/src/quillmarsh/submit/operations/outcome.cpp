#include "quillmarsh/submit/operations/outcome.hpp"

#include <utility>

#include "quillmarsh/submit/host/keywords.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"

namespace quillmarsh::operations {

namespace {

// The clause an exception falls into.
enum class Failure {
  Transport,  // ConnectionError or httpx.TransportError
  Rejected,   // SubmissionRejectedError
  Malformed,  // SignalClientResponseError
  Other,      // anything else: propagates
};

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

// Matches `exc` against the except clauses in order, reading the classes from the module
// namespace as the clauses are reached. False with an error set when a lookup fails.
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

// `exc.status_code` and whether it is mapped: 400 <= status < 500, and, with `gateway`,
// also 502, 503 and 504. 1, 0, or -1 with an error set.
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

PyObject* name_of(const char* text, PyObject*& slot) { return host::intern_once(&slot, text); }

// `self.<method>(exc)`
Ref convert(PyObject* self, PyObject* method, PyObject* exc) {
  PyObject* args[] = {self, exc};
  return Ref(PyObject_VectorcallMethod(method, args, 2, nullptr));
}

// `self.<method>(exc.status_code, exc.body or {}, error=exc.reason)`
Ref from_error_body(PyObject* self, PyObject* method, PyObject* exc) {
  static const host::Keywords kw({"error"});
  Ref status_code(PyObject_GetAttr(exc, QM_NAME("status_code")));
  Ref body = status_code ? Ref(PyObject_GetAttr(exc, QM_NAME("body"))) : Ref();
  int has_body = body ? PyObject_IsTrue(body.get()) : -1;
  if (has_body < 0) return Ref();
  if (!has_body && !(body = Ref(PyDict_New()))) return Ref();
  Ref reason(PyObject_GetAttr(exc, QM_NAME("reason")));
  PyObject* names = reason ? kw.names() : nullptr;
  if (names == nullptr) return Ref();
  PyObject* args[] = {self, status_code.get(), body.get(), reason.get()};
  return Ref(PyObject_VectorcallMethod(method, args, 3, names));
}

// `SubmissionListResult(status_code=..., body=..., submissions=[], error=...)`
Ref empty_listing(PyObject* status_code, PyObject* body, PyObject* error) {
  static const host::Keywords kw({"status_code", "body", "submissions", "error"});
  Ref record_type = host::global(QM_NAME("SubmissionListResult"));
  Ref submissions = record_type ? Ref(PyList_New(0)) : Ref();
  if (!submissions) return Ref();
  PyObject* values[] = {status_code, body, submissions.get(), error};
  return kw.call(record_type.get(), values);
}

// `str(exc) or type(exc).__name__`
Ref failure_text(PyObject* exc) {
  Ref text(PyObject_Str(exc));
  int has_text = text ? PyObject_IsTrue(text.get()) : -1;
  if (has_text < 0) return Ref();
  if (has_text) return text;
  return Ref(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(exc)), QM_NAME("__name__")));
}

// The result `route` makes of `exc`; null with no error set when it is raised again.
Ref take_route(PyObject* self, Route& route, PyObject* exc) {
  PyObject* method = route.method ? name_of(route.method, route.method_name) : nullptr;
  if (route.method && method == nullptr) return Ref();
  switch (route.mapping) {
    case Mapping::Convert:
      return convert(self, method, exc);
    case Mapping::FromErrorBody:
      return from_error_body(self, method, exc);
    case Mapping::EmptyListing: {
      Ref text = failure_text(exc);
      Ref zero = text ? Ref(PyLong_FromLong(0)) : Ref();
      return zero ? empty_listing(zero.get(), Py_None, text.get()) : Ref();
    }
    case Mapping::ListingFromErrorBody: {
      Ref pair = convert(self, method, exc);
      Ref error, body;
      if (!pair || !host::unpack_pair(pair.get(), error, body)) return Ref();
      Ref status_code(PyObject_GetAttr(exc, QM_NAME("status_code")));
      return status_code ? empty_listing(status_code.get(), body.get(), error.get()) : Ref();
    }
    case Mapping::Raise:
      break;
  }
  return Ref();
}

}  // namespace

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

Ref map_answer(PyObject* self, FailureMap& map, PyObject* status_code, PyObject* body) {
  PyObject* on_answer = name_of(map.on_answer, map.on_answer_name);
  if (on_answer == nullptr) return Ref();
  PyObject* args[] = {self, status_code, body};
  return Ref(PyObject_VectorcallMethod(on_answer, args, 3, nullptr));
}

Ref map_failure(PyObject* self, FailureMap& map, PyObject* exc, int (*retry)(void* context, PyObject* exc),
                void* context) {
  Handling handling(exc);
  Failure failure;
  if (!classify(exc, failure)) return Ref();
  Ref result;
  switch (failure) {
    case Failure::Transport:
      result = take_route(self, map.transport, exc);
      break;
    case Failure::Rejected:
      if (retry != nullptr) {
        int queued = retry(context, exc);
        if (queued != 0) return Ref();
      }
      result = take_route(self, map.rejected, exc);
      break;
    case Failure::Malformed: {
      int mapped = mapped_status(exc, map.gateway);
      if (mapped < 0) return Ref();
      if (mapped) result = take_route(self, map.malformed, exc);
      break;
    }
    case Failure::Other:
      break;
  }
  if (!result && !PyErr_Occurred()) host::restore_exception(Ref::borrow(exc));
  return result;
}

}  // namespace quillmarsh::operations
