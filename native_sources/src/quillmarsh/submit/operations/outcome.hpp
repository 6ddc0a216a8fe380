// How an operation turns the outcome of its request into a result: an answer is read by the
// operation's reader; a failure is caught, matched against the except clauses in order
// (transport, rejection, malformed answer) and routed as the operation's table says.
#pragma once

#include <cstdint>

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::operations {

using host::Ref;

// `self._canonical_request(method, endpoint[, body])` unpacked into (status_code, body).
// False with the request's (or the unpacking's) exception set.
bool request(PyObject* self, PyObject* method, PyObject* endpoint, PyObject* body, Ref& status_code,
             Ref& response_body);

// What an operation makes of one kind of failure.
enum class Mapping : uint8_t {
  Raise,                 // not caught: raised again unchanged
  Convert,               // self.<method>(exc)
  FromErrorBody,         // self.<method>(exc.status_code, exc.body or {}, error=exc.reason)
  EmptyListing,          // SubmissionListResult(status_code=0, body=None, submissions=[], error=<exc's text>)
  ListingFromErrorBody,  // the error body of self.<method>(exc) as an empty SubmissionListResult
};

struct Route {
  Mapping mapping;
  const char* method;
  PyObject* method_name = nullptr;  // interned on first use
};

// An operation's except clauses as data: the method that reads an answer, and the route of
// each failure. A malformed answer is mapped only for a 4xx status (and, with `gateway`,
// 502, 503 and 504); any other is raised again.
struct FailureMap {
  const char* on_answer;
  Route transport;
  Route rejected;
  Route malformed;
  bool gateway;
  PyObject* on_answer_name = nullptr;
};

// The result `map` makes of an answer: `self.<on_answer>(status_code, body)`.
Ref map_answer(PyObject* self, FailureMap& map, PyObject* status_code, PyObject* body);

// The result `map` makes of the failure `exc` (the exception being handled), matched against
// the except clauses in order. For a rejection, `retry(context, exc)` runs first: 1 when it
// has queued another request (no result then: null with no error), 0 to let the rejection
// take its route, -1 with an error set. A failure the map does not route is raised again.
Ref map_failure(PyObject* self, FailureMap& map, PyObject* exc, int (*retry)(void* context, PyObject* exc) = nullptr,
                void* context = nullptr);

// The exception taken out of the error indicator (normalised, with its traceback).
Ref take_raised();

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

}  // namespace quillmarsh::operations
