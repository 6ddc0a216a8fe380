// How an operation turns the failure of its request into a result: the exception is
// caught, matched against the failures the operation maps, in the order of its except
// clauses (transport, rejection, malformed answer), and either converted or raised again.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::operations {

using host::Ref;

// While alive, `exc` is the exception being handled, as inside an `except` block: an
// exception raised meanwhile (by a converter, a lookup, a retry) gets it as __context__.
class Handling {
 public:
  explicit Handling(PyObject* exc) : previous_(PyErr_GetHandledException()) { PyErr_SetHandledException(exc); }
  ~Handling() { PyErr_SetHandledException(previous_.get()); }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  Ref previous_;
};

// The clause an exception falls into.
enum class Failure {
  Transport,  // ConnectionError or httpx.TransportError
  Rejected,   // SubmissionRejectedError
  Malformed,  // SignalClientResponseError
  Other,      // anything else: propagates
};

// Matches `exc` against the except clauses in order, reading the classes from the module
// namespace as the clauses are reached. False with an error set when a lookup fails;
// call it while `exc` is being handled (see Handling).
bool classify(PyObject* exc, Failure& failure);

// `self._canonical_request(method, endpoint[, body])` unpacked into (status_code, body).
// False with the request's (or the unpacking's) exception set.
bool request(PyObject* self, PyObject* method, PyObject* endpoint, PyObject* body, Ref& status_code,
             Ref& response_body);

// The exception taken out of the error indicator (normalised, with its traceback).
Ref take_raised();

// `raise` inside the except block: the same exception, unchanged. Returns null.
std::nullptr_t reraise(const Ref& exc);

// `exc.status_code` and whether it is mapped: 400 <= status < 500, and, with `gateway`,
// also 502, 503 and 504. 1, 0, or -1 with an error set.
int mapped_status(PyObject* exc, bool gateway);

// `self.<converter>(exc)`
Ref convert(PyObject* self, PyObject* converter, PyObject* exc);

// `self._canonical_request(method, endpoint[, body])`, then `self.<on_answer>(status_code,
// response_body)` for an answer. For a failure, `on_failure(exc, failure)` runs while `exc`
// is being handled, as in the operation's except clauses; it returns the result, null with
// an error set, or null with no error set for a failure it does not map, which is then
// raised again unchanged.
template <typename OnFailure>
Ref request_then(PyObject* self, PyObject* method, PyObject* endpoint, PyObject* body, PyObject* on_answer,
                 OnFailure&& on_failure) {
  Ref status_code, response_body;
  if (request(self, method, endpoint, body, status_code, response_body)) {
    PyObject* args[] = {self, status_code.get(), response_body.get()};
    return Ref(PyObject_VectorcallMethod(on_answer, args, 3, nullptr));
  }
  Ref exc = take_raised();
  if (!exc) return Ref();
  Handling handling(exc.get());
  Failure failure;
  if (!classify(exc.get(), failure)) return Ref();
  Ref result = on_failure(exc, failure);
  if (!result && !PyErr_Occurred()) reraise(exc);
  return result;
}

}  // namespace quillmarsh::operations
