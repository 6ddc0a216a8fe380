#include "quillmarsh/submit/operations/exchange.hpp"

#include <utility>

namespace quillmarsh::operations {

namespace {

constexpr const char* kCapsuleName = "quillmarsh.submit.exchange";

// Settles every request the exchange hands out; false with an error set.
bool settle_all(PyObject* self, Exchange& exchange) {
  Request request;
  Py_ssize_t tag = 0;
  for (;;) {
    int more = exchange.next(request, tag);
    if (more <= 0) return more == 0;
    Ref status_code, body;
    if (operations::request(self, request.method.get(), request.endpoint.get(), request.body.get(), status_code,
                            body)) {
      if (!exchange.answered(tag, status_code.get(), body.get())) return false;
      continue;
    }
    Ref exc = take_raised();
    if (!exc) return false;
    Handling handling(exc.get());
    if (!exchange.failed(tag, exc.get())) return false;
    // A follow-up request (the legacy retry) is made while the failure is being handled.
    return settle_all(self, exchange);
  }
}

void release_exchange(PyObject* capsule) { delete static_cast<Exchange*>(PyCapsule_GetPointer(capsule, kCapsuleName)); }

Exchange* exchange_of(PyObject* capsule) { return static_cast<Exchange*>(PyCapsule_GetPointer(capsule, kCapsuleName)); }

bool tag_of(PyObject* value, Py_ssize_t& tag) {
  tag = PyNumber_AsSsize_t(value, PyExc_OverflowError);
  return !(tag == -1 && PyErr_Occurred());
}

}  // namespace

SingleRequest::SingleRequest(PyObject* self, FailureMap& map, Request request, bool map_failures)
    : self_(Ref::borrow(self)), map_(map), pending_(std::move(request)), map_failures_(map_failures) {}

int SingleRequest::next(Request& request, Py_ssize_t& tag) {
  if (in_flight_ || !has_pending_) return 0;
  has_pending_ = false;
  in_flight_ = true;
  request = std::move(pending_);
  tag = handed_out_++;
  return 1;
}

bool SingleRequest::take_in_flight(Py_ssize_t tag) {
  if (!in_flight_ || tag != handed_out_ - 1) {
    PyErr_SetString(PyExc_ValueError, "no unsettled request of this exchange has that tag");
    return false;
  }
  in_flight_ = false;
  return true;
}

bool SingleRequest::answered(Py_ssize_t tag, PyObject* status_code, PyObject* body) {
  if (!take_in_flight(tag)) return false;
  result_ = map_answer(self_.get(), map_, status_code, body);
  return static_cast<bool>(result_);
}

int SingleRequest::on_rejection(PyObject*) { return 0; }

void SingleRequest::queue(Request request) {
  pending_ = std::move(request);
  has_pending_ = true;
}

bool SingleRequest::failed(Py_ssize_t tag, PyObject* exc) {
  if (!take_in_flight(tag)) return false;
  if (!map_failures_) {
    host::restore_exception(Ref::borrow(exc));
    return false;
  }
  auto rejection = [](void* context, PyObject* rejected) {
    return static_cast<SingleRequest*>(context)->on_rejection(rejected);
  };
  result_ = map_failure(self_.get(), map_, exc, rejection, this);
  return result_ || (!PyErr_Occurred() && has_pending_);
}

Ref SingleRequest::result() {
  if (!result_) PyErr_SetString(PyExc_RuntimeError, "the exchange has no result: a request is still unsettled");
  return Ref::borrow(result_.get());
}

Ref SingleRequest::settled(Py_ssize_t tag) {
  if (tag < 0 || tag >= handed_out_) {
    PyErr_SetString(PyExc_ValueError, "no request of this exchange has that tag");
    return Ref();
  }
  // An earlier request was answered by the one after it (the legacy retry).
  const bool last = tag == handed_out_ - 1;
  return Ref::borrow(last && result_ ? result_.get() : Py_None);
}

Ref drive(PyObject* self, Exchange& exchange) {
  if (!settle_all(self, exchange)) return Ref();
  return exchange.result();
}

PyObject* hand_out(std::unique_ptr<Exchange> exchange) {
  if (!exchange) return nullptr;
  PyObject* capsule = PyCapsule_New(exchange.get(), kCapsuleName, release_exchange);
  if (capsule != nullptr) exchange.release();
  return capsule;
}

PyObject* exchange_next(PyObject*, PyObject* capsule) {
  Exchange* exchange = exchange_of(capsule);
  if (exchange == nullptr) return nullptr;
  Request request;
  Py_ssize_t tag = 0;
  int more = exchange->next(request, tag);
  if (more <= 0) return more == 0 ? Py_NewRef(Py_None) : nullptr;
  return Py_BuildValue("(nOOO)", tag, request.method.get(), request.endpoint.get(),
                       request.body ? request.body.get() : Py_None);
}

PyObject* exchange_answered(PyObject*, PyObject* capsule, PyObject* tag_value, PyObject* status_code, PyObject* body) {
  Exchange* exchange = exchange_of(capsule);
  Py_ssize_t tag;
  if (exchange == nullptr || !tag_of(tag_value, tag)) return nullptr;
  return exchange->answered(tag, status_code, body) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* exchange_failed(PyObject*, PyObject* capsule, PyObject* tag_value, PyObject* exc) {
  Exchange* exchange = exchange_of(capsule);
  Py_ssize_t tag;
  if (exchange == nullptr || !tag_of(tag_value, tag)) return nullptr;
  if (!PyExceptionInstance_Check(exc)) {
    PyErr_SetString(PyExc_TypeError, "_exchange_failed needs the exception the request raised");
    return nullptr;
  }
  Handling handling(exc);
  return exchange->failed(tag, exc) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* exchange_settled(PyObject*, PyObject* capsule, PyObject* tag_value) {
  Exchange* exchange = exchange_of(capsule);
  Py_ssize_t tag;
  if (exchange == nullptr || !tag_of(tag_value, tag)) return nullptr;
  return exchange->settled(tag).release();
}

PyObject* exchange_result(PyObject*, PyObject* capsule) {
  Exchange* exchange = exchange_of(capsule);
  return exchange == nullptr ? nullptr : exchange->result().release();
}

}  // namespace quillmarsh::operations
