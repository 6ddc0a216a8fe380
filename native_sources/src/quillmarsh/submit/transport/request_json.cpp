#include "quillmarsh/submit/transport/request_json.hpp"

#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/surface.hpp"
#include "quillmarsh/submit/host/text.hpp"
#include "quillmarsh/submit/transport/errors.hpp"
#include "quillmarsh/submit/transport/json_text.hpp"
#include "quillmarsh/submit/transport/response_json.hpp"
#include "quillmarsh/submit/transport/token.hpp"
#include "quillmarsh/submit/transport/url.hpp"

namespace quillmarsh::transport {

using host::Ref;

namespace {

// Headers for one request, in the order the service expects them: Authorization always,
// Content-Type and Idempotency-Key only with a body.
Ref build_headers(PyObject* token_text, PyObject* body) {
  Ref bearer = host::join({QM_NAME("Bearer "), token_text});
  Ref headers(PyDict_New());
  if (!bearer || !headers) return Ref();
  if (PyDict_SetItemString(headers.get(), "Authorization", bearer.get()) < 0) return Ref();
  if (body == Py_None) return headers;
  if (PyDict_SetItemString(headers.get(), "Content-Type", QM_NAME("application/json")) < 0) return Ref();
  Ref key;
  if (PyDict_CheckExact(body)) {
    PyObject* found = PyDict_GetItemWithError(body, QM_NAME("idempotency_key"));
    if (found == nullptr && PyErr_Occurred()) return Ref();
    key = Ref::borrow(found ? found : Py_None);
  } else if (PyDict_Check(body)) {
    key = Ref(PyObject_CallMethodOneArg(body, QM_NAME("get"), QM_NAME("idempotency_key")));
    if (!key) return Ref();
  } else {
    key = Ref::borrow(Py_None);
  }
  int truthy = PyObject_IsTrue(key.get());
  if (truthy < 0) return Ref();
  if (truthy) {
    Ref key_text(PyObject_Str(key.get()));
    if (!key_text || PyDict_SetItemString(headers.get(), "Idempotency-Key", key_text.get()) < 0) return Ref();
  }
  return headers;
}

// json.dumps(body).encode("utf-8"): written natively while json.dumps is the host's own and
// the body holds only plain JSON values, else by json.dumps itself.
Ref serialise_body(PyObject* body) {
  int native = host_dumps_in_place();
  if (native < 0) return Ref();
  if (native) {
    std::string written;
    if (write_json(body, JsonForm::Wire, written)) {
      return Ref(PyBytes_FromStringAndSize(written.data(), static_cast<Py_ssize_t>(written.size())));
    }
  }
  Ref dumps = host::global_attr(QM_NAME("json"), QM_NAME("dumps"));
  if (!dumps) return Ref();
  Ref text(PyObject_CallOneArg(dumps.get(), body));
  if (!text) return Ref();
  return host::encode_utf8(text.get());
}

}  // namespace

bool begin_transmission(PyObject* method, PyObject* endpoint, PyObject* get_token, PyObject* server_url, PyObject* body,
                        PyObject* observer, Transmission& t) {
  t.method = Ref::borrow(method);
  t.endpoint = Ref::borrow(endpoint);
  t.url = host::call<&join_url>(server_url, endpoint);
  if (!t.url) return false;
  PyObject* url_arg[] = {t.url.get()};
  if (!Ref(host::call_global(QM_NAME("validate_bearer_transport_url"), url_arg, 1))) return false;

  Ref token(PyObject_CallNoArgs(get_token));
  t.token_text = token ? host::text_of(token.get()) : Ref();
  if (!t.token_text || !refuse_unsendable_token(t.token_text.get())) return false;
  t.headers = build_headers(t.token_text.get(), body);
  if (!t.headers) return false;

  Ref body_bytes = body == Py_None ? Ref::borrow(Py_None) : serialise_body(body);
  if (!body_bytes) return false;
  t.body = Ref::borrow(body_bytes.get());
  if (observer != Py_None && body_bytes.get() != Py_None) {
    Ref body_type = host::global(QM_NAME("_TransmissionObservedBody"));
    if (!body_type) return false;
    PyObject* wrap_args[] = {body_bytes.get(), observer, method, t.url.get(), t.headers.get()};
    t.observed_body = Ref(PyObject_Vectorcall(body_type.get(), wrap_args, 5, nullptr));
    if (!t.observed_body) return false;
    t.body = Ref::borrow(t.observed_body.get());
  }
  return true;
}

std::nullptr_t fail_transmission(const Transmission& t) {
  // The transport's message may quote the Authorization header it refused.
  Ref failure = host::take_exception();
  if (failure && !redact_token(failure.get(), t.token_text.get())) return nullptr;
  return failure ? host::restore_exception(failure) : nullptr;
}

PyObject* end_transmission(const Transmission& t, PyObject* status_code, PyObject* response_bytes) {
  if (t.observed_body) {
    Ref consumed(PyObject_GetAttr(t.observed_body.get(), QM_NAME("consumed")));
    if (!consumed) return nullptr;
    int read = PyObject_IsTrue(consumed.get());
    if (read < 0) return nullptr;
    if (!read) {
      PyErr_SetString(PyExc_RuntimeError,
                      "transport returned without consuming the request body; "
                      "transmission observer could not be honored");
      return nullptr;
    }
  }

  Ref kw_operation(PyTuple_Pack(1, QM_NAME("operation")));
  if (!kw_operation) return nullptr;
  Ref data = host::call_kw<&parse_response_json>(kw_operation.get(), status_code, response_bytes, t.url.get(),
                                                 t.endpoint.get());
  if (!data) return nullptr;

  int success = 0;
  if (PyLong_CheckExact(status_code)) {
    int overflow = 0;
    long code = PyLong_AsLongAndOverflow(status_code, &overflow);
    success = !overflow && code >= 200 && code < 300;
  } else {
    Ref low(PyLong_FromLong(200)), high(PyLong_FromLong(300));
    if (!low || !high) return nullptr;
    success = PyObject_RichCompareBool(low.get(), status_code, Py_LE);
    if (success > 0) success = PyObject_RichCompareBool(status_code, high.get(), Py_LT);
    if (success < 0) return nullptr;
  }
  if (!success) {
    // Raises; a replacement that returns lets the answer through, as in Python.
    if (!host::call<&raise_submission_rejected>(status_code, data.get())) return nullptr;
  }
  return PyTuple_Pack(2, status_code, data.get());
}

PyObject* request_json(PyObject*, PyObject* method, PyObject* endpoint, PyObject* get_token, PyObject* server_url,
                       PyObject* body, PyObject* request_func, PyObject* transmission_observer) {
  Transmission t;
  if (!begin_transmission(method, endpoint, get_token, server_url, body, transmission_observer, t)) return nullptr;
  PyObject* transport_args[] = {method, t.url.get(), t.headers.get(), t.body.get()};
  Ref answer(PyObject_Vectorcall(request_func, transport_args, 4, nullptr));
  if (!answer) return fail_transmission(t);
  Ref status_code, response_bytes;
  if (!host::unpack_pair(answer.get(), status_code, response_bytes)) return nullptr;
  return end_transmission(t, status_code.get(), response_bytes.get());
}

}  // namespace quillmarsh::transport
