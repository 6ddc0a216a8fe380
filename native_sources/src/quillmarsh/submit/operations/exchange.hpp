// An operation as steps that do no I/O. Its preparation (every local check, the body, the
// key) makes an Exchange; the exchange hands out the requests to make and is told the outcome
// of each; once it has no request left, it has its result.
//
// The protocol, the same for every driver (`drive` below; the Python clients' `settle` in
// quillmarsh/_steps.py, through the module functions `_exchange_next`, `_exchange_answered`,
// `_exchange_failed`, `_exchange_settled` and `_exchange_result`):
//   1. `next` hands out a request and its tag, or nothing: every request handed out must
//      settle first, or the exchange is over. Several may be in flight (a batch's chunks).
//   2. Each request settles once, by its tag: `answered` with (status_code, body), or `failed`
//      with its exception, told while that exception is being handled. A failure the
//      operation does not map is raised again from `failed`.
//   3. A request handed out right after a failure (the legacy retry) is made inside that
//      failure's handling, so that its own failure keeps the first as its context.
//   4. `result` once nothing is left. A tag never handed out, or settled already, is a
//      ValueError; a capsule that is no exchange, a tag that is no int, a failure that is no
//      exception are errors too: misuse never corrupts an exchange.
#pragma once

#include <memory>

#include "quillmarsh/submit/host/entry.hpp"
#include "quillmarsh/submit/operations/outcome.hpp"

namespace quillmarsh::operations {

using host::Ref;

struct Request {
  Ref method;
  Ref endpoint;
  Ref body;  // null: a request without a body
};

class Exchange {
 public:
  virtual ~Exchange() = default;
  // The next request to make: 1 with `request` and its `tag` set, 0 when there is none (the
  // requests handed out so far must settle first, or the exchange is over), -1 with an error.
  virtual int next(Request& request, Py_ssize_t& tag) = 0;
  // The answer (status_code, body) to the request `tag`. False with an error set.
  virtual bool answered(Py_ssize_t tag, PyObject* status_code, PyObject* body) = 0;
  // The failure `exc` of the request `tag`, while it is being handled. False with an error set
  // (`exc` itself when the operation lets it propagate).
  virtual bool failed(Py_ssize_t tag, PyObject* exc) = 0;
  // The result, once no request is left.
  virtual Ref result() = 0;
  // What the request `tag` settled as (a chunk of a batch: its own result), None while it is
  // unsettled; null with an error set for a tag never handed out.
  virtual Ref settled(Py_ssize_t tag) = 0;
};

// One request whose outcome `map` turns into the result; without `map_failures`, a failure
// propagates unchanged. A subclass may answer a rejection with another request.
class SingleRequest : public Exchange {
 public:
  SingleRequest(PyObject* self, FailureMap& map, Request request, bool map_failures = true);
  int next(Request& request, Py_ssize_t& tag) override;
  bool answered(Py_ssize_t tag, PyObject* status_code, PyObject* body) override;
  bool failed(Py_ssize_t tag, PyObject* exc) override;
  Ref result() override;
  Ref settled(Py_ssize_t tag) override;

 protected:
  // Before a rejection takes its route: 1 when another request was queued instead, 0, or -1
  // with an error set.
  virtual int on_rejection(PyObject* exc);
  void queue(Request request);
  PyObject* self() const { return self_.get(); }

 private:
  // Whether `tag` is the request in flight; false with ValueError set (a tag never handed
  // out, one already settled, or one of another exchange).
  bool take_in_flight(Py_ssize_t tag);

  Ref self_;
  FailureMap& map_;
  Request pending_;
  bool has_pending_ = true;
  bool in_flight_ = false;
  Py_ssize_t handed_out_ = 0;  // the requests handed out; the last one's tag is one less
  bool map_failures_;
  Ref result_;
};

// Makes every request of `exchange` through `self._canonical_request`, one after another (a
// request that follows a failure is made while that failure is being handled), and returns its
// result.
Ref drive(PyObject* self, Exchange& exchange);

// The exchange as a Python object for the asynchronous client, or null with an error set
// (also when `exchange` is null: its preparation failed).
PyObject* hand_out(std::unique_ptr<Exchange> exchange);

// The module functions the asynchronous client drives an exchange with.
PyObject* exchange_next(PyObject* module, PyObject* exchange);
PyObject* exchange_answered(PyObject* module, PyObject* exchange, PyObject* tag, PyObject* status_code, PyObject* body);
PyObject* exchange_failed(PyObject* module, PyObject* exchange, PyObject* tag, PyObject* exc);
PyObject* exchange_result(PyObject* module, PyObject* exchange);
PyObject* exchange_settled(PyObject* module, PyObject* exchange, PyObject* tag);

}  // namespace quillmarsh::operations
