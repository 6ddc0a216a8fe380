// One request of the asynchronous client, in the steps of the synchronous `_request_json`:
// the transmission made before the transport is awaited (a capsule), the transport's call, its
// answer read, and the transmission ended with that answer or failed with the exception.
#include "quillmarsh/submit/transport/transmission.hpp"

#include <memory>

#include "quillmarsh/submit/transport/client.hpp"
#include "quillmarsh/submit/transport/request_json.hpp"

namespace quillmarsh::transport {

namespace {

constexpr const char* kCapsuleName = "quillmarsh.submit.transmission";

void release_transmission(PyObject* capsule) {
  delete static_cast<Transmission*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

Transmission* transmission_of(PyObject* capsule) {
  return static_cast<Transmission*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

}  // namespace

PyObject* transmission_begin(PyObject*, PyObject* client, PyObject* method, PyObject* endpoint, PyObject* body) {
  Ref token_getter = token_getter_of(client);
  Ref base_url = token_getter ? Ref(PyObject_GetAttr(client, QM_NAME("_base_url"))) : Ref();
  Ref observer = base_url ? Ref(PyObject_GetAttr(client, QM_NAME("_transmission_observer"))) : Ref();
  if (!observer) return nullptr;
  auto t = std::make_unique<Transmission>();
  if (!begin_transmission(method, endpoint, token_getter.get(), base_url.get(), body, observer.get(), *t)) {
    return nullptr;
  }
  PyObject* capsule = PyCapsule_New(t.get(), kCapsuleName, release_transmission);
  if (capsule != nullptr) t.release();
  return capsule;
}

PyObject* transmission_send(PyObject*, PyObject* capsule, PyObject* transport, PyObject* stream_type) {
  Transmission* t = transmission_of(capsule);
  if (t == nullptr) return nullptr;
  Ref path = path_of(t->url.get());
  if (!path) return nullptr;
  Ref content = Ref::borrow(t->body.get());
  if (t->observed_body && stream_type != Py_None) {
    content = Ref(PyObject_CallOneArg(stream_type, t->observed_body.get()));
    if (!content) return nullptr;
  }
  return send_request(transport, t->method.get(), path.get(), t->headers.get(), content.get()).release();
}

PyObject* transmission_answer(PyObject*, PyObject* client, PyObject* response) {
  return answer_of(client, response).release();
}

PyObject* transmission_failed(PyObject*, PyObject* capsule, PyObject* exc) {
  Transmission* t = transmission_of(capsule);
  if (t == nullptr) return nullptr;
  if (!PyExceptionInstance_Check(exc)) {
    PyErr_SetString(PyExc_TypeError, "_transmission_failed needs the exception the transport raised");
    return nullptr;
  }
  host::restore_exception(Ref::borrow(exc));
  return fail_transmission(*t);
}

PyObject* transmission_end(PyObject*, PyObject* capsule, PyObject* status_code, PyObject* response_bytes) {
  Transmission* t = transmission_of(capsule);
  return t == nullptr ? nullptr : end_transmission(*t, status_code, response_bytes);
}

}  // namespace quillmarsh::transport
