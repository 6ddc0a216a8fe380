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
  Raise,              // not caught: raised again unchanged
  Convert,            // self.<method>(exc)
  FromErrorBody,      // self.<method>(exc.status_code, exc.body or {}, error=exc.reason)
  EmptyListing,       // SubmissionListResult(status_code=0, body=None, submissions=[], error=<exc's text>)
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

// Makes the request and maps its outcome by `map`; `*failed` (when given) tells whether the
// request failed. For a rejection, `retry(context, exc)` runs first (while `exc` is being
// handled): a result or an error from it stands; null with no error set lets the rejection
// take its route.
Ref request_and_map(PyObject* self, PyObject* method, PyObject* endpoint, PyObject* body, FailureMap& map,
                    bool* failed = nullptr, Ref (*retry)(void* context, PyObject* exc) = nullptr,
                    void* context = nullptr);

}  // namespace quillmarsh::operations
