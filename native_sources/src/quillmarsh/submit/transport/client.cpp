#include "quillmarsh/submit/transport/client.hpp"

#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/text.hpp"
#include "quillmarsh/submit/transport/request_json.hpp"
#include "quillmarsh/submit/transport/token.hpp"

namespace quillmarsh::transport {

using host::Ref;

namespace {

// getattr(obj, name, None)
Ref optional_attr(PyObject* obj, PyObject* name) {
  Ref value(PyObject_GetAttr(obj, name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return Ref::borrow(Py_None);
  }
  return value;
}

// hasattr(obj, name): 1 or 0, or -1 with the error set when the lookup fails with
// anything but AttributeError.
int has_attr(PyObject* obj, PyObject* name) {
  Ref value(PyObject_GetAttr(obj, name));
  if (value) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

}  // namespace

PyObject* client_init(PyObject* self, PyObject* base_url, PyObject* jwt_token, PyObject* timeout, PyObject* transport,
                      PyObject* transmission_observer) {
  PyObject* token = jwt_token;
  PyObject* observer = transmission_observer;

  PyObject* vet_args[] = {base_url};
  if (!host::call_global(QM_NAME("validate_bearer_transport_url"), vet_args, 1)) return nullptr;
  if (!refuse_unsendable_token(token)) return nullptr;
  if (PyObject_SetAttr(self, QM_NAME("_base_url"), base_url) < 0 ||
      PyObject_SetAttr(self, QM_NAME("_jwt_token"), token) < 0 ||
      PyObject_SetAttr(self, QM_NAME("_timeout"), timeout) < 0 ||
      PyObject_SetAttr(self, QM_NAME("_transmission_observer"), observer) < 0) {
    return nullptr;
  }

  Ref client;
  if (transport == Py_None) {
    Ref settings(PyDict_New());
    if (!settings || PyDict_SetItemString(settings.get(), "base_url", base_url) < 0 ||
        PyDict_SetItemString(settings.get(), "timeout", timeout) < 0) {
      return nullptr;
    }
    Ref lowered(PyObject_CallMethodNoArgs(base_url, QM_NAME("lower")));
    Ref plain_http =
        lowered ? Ref(PyObject_CallMethodOneArg(lowered.get(), QM_NAME("startswith"), QM_NAME("http://"))) : Ref();
    if (!plain_http) return nullptr;
    int is_plain = PyObject_IsTrue(plain_http.get());
    if (is_plain < 0) return nullptr;
    if (is_plain && PyDict_SetItemString(settings.get(), "verify", Py_False) < 0) return nullptr;
    Ref client_type = host::global_attr(QM_NAME("httpx"), QM_NAME("Client"));
    if (!client_type) return nullptr;
    Ref no_args(PyTuple_New(0));
    if (!no_args) return nullptr;
    client = Ref(PyObject_Call(client_type.get(), no_args.get(), settings.get()));
    if (!client) return nullptr;
  } else {
    client = Ref::borrow(transport);
  }
  if (PyObject_SetAttr(self, QM_NAME("_client"), client.get()) < 0 ||
      PyObject_SetAttr(self, QM_NAME("_era_catalog_cache"), Py_None) < 0) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* client_close(PyObject* self) {
  Ref client(PyObject_GetAttr(self, QM_NAME("_client")));
  if (!client) return nullptr;
  Ref close = optional_attr(client.get(), QM_NAME("close"));
  if (!close) return nullptr;
  if (PyCallable_Check(close.get()) && !Ref(PyObject_CallNoArgs(close.get()))) return nullptr;
  Py_RETURN_NONE;
}

PyObject* client_response_content(PyObject*, PyObject* response) {
  Ref content = optional_attr(response, QM_NAME("content"));
  if (!content) return nullptr;
  if (PyBytes_Check(content.get())) return content.release();
  if (PyUnicode_Check(content.get())) return host::encode_utf8(content.get()).release();
  Ref text = optional_attr(response, QM_NAME("text"));
  if (!text) return nullptr;
  if (PyUnicode_Check(text.get())) return host::encode_utf8(text.get()).release();
  int has_json = has_attr(response, QM_NAME("json"));
  if (has_json < 0) return nullptr;
  if (has_json) {
    Ref parsed(PyObject_CallMethodNoArgs(response, QM_NAME("json")));
    if (!parsed) return nullptr;
    Ref dumps = host::global_attr(QM_NAME("json"), QM_NAME("dumps"));
    Ref dumped = dumps ? Ref(PyObject_CallOneArg(dumps.get(), parsed.get())) : Ref();
    return dumped ? host::encode_utf8(dumped.get()).release() : nullptr;
  }
  return PyBytes_FromStringAndSize(nullptr, 0);
}

// Paths of recently requested URLs, in the module's state: parsing a URL costs more than the
// rest of a request's preparation, and a client requests the same few URLs over and over.
// Entries hold only while `httpx.URL` is the class they were parsed with.
namespace {

constexpr Py_ssize_t kPathCacheLimit = 1024;

}  // namespace

Ref path_of(PyObject* url) {
  Ref url_type = host::global_attr(QM_NAME("httpx"), QM_NAME("URL"));
  if (!url_type) return Ref();
  const bool cacheable = PyUnicode_CheckExact(url);
  host::State& state = host::state();
  if (cacheable) {
    if (state[host::State::PathCacheParser] != url_type.get() || state[host::State::PathCache] == nullptr) {
      PyObject* fresh = PyDict_New();
      if (fresh == nullptr) return Ref();
      Py_XSETREF(state[host::State::PathCache], fresh);
      Py_XSETREF(state[host::State::PathCacheParser], Py_NewRef(url_type.get()));
    }
    PyObject* hit = PyDict_GetItemWithError(state[host::State::PathCache], url);
    if (hit != nullptr) return Ref::borrow(hit);
    if (PyErr_Occurred()) return Ref();
  }
  Ref parsed(PyObject_CallOneArg(url_type.get(), url));
  Ref raw_path = parsed ? Ref(PyObject_GetAttr(parsed.get(), QM_NAME("raw_path"))) : Ref();
  if (!raw_path) return Ref();
  if (PyBytes_Check(raw_path.get())) {
    raw_path = Ref(PyUnicode_DecodeASCII(PyBytes_AS_STRING(raw_path.get()), PyBytes_GET_SIZE(raw_path.get()), nullptr));
    if (!raw_path) return Ref();
  }
  int nonempty = PyObject_IsTrue(raw_path.get());
  if (nonempty < 0) return Ref();
  Ref path = nonempty ? std::move(raw_path) : Ref(PyUnicode_FromString("/"));
  if (path && cacheable && PyUnicode_CheckExact(path.get()) && state[host::State::PathCacheParser] == url_type.get()) {
    if (PyDict_GET_SIZE(state[host::State::PathCache]) >= kPathCacheLimit) PyDict_Clear(state[host::State::PathCache]);
    if (PyDict_SetItem(state[host::State::PathCache], url, path.get()) < 0) return Ref();
  }
  return path;
}

Ref send_request(PyObject* transport, PyObject* method, PyObject* path_value, PyObject* headers,
                 PyObject* body_content) {
  Ref path = Ref::borrow(path_value);
  const bool is_post = PyUnicode_Check(method) && PyUnicode_CompareWithASCIIString(method, "POST") == 0;
  const bool is_get = PyUnicode_Check(method) && PyUnicode_CompareWithASCIIString(method, "GET") == 0;
  if (is_post) {
    Ref post(PyObject_GetAttr(transport, QM_NAME("post")));
    Ref kw(PyTuple_Pack(2, QM_NAME("content"), QM_NAME("headers")));
    if (!post || !kw) return Ref();
    PyObject* call_args[] = {path.get(), body_content, headers};
    return Ref(PyObject_Vectorcall(post.get(), call_args, 1, kw.get()));
  }
  if (is_get) {
    Ref get(PyObject_GetAttr(transport, QM_NAME("get")));
    Ref kw(PyTuple_Pack(1, QM_NAME("headers")));
    if (!get || !kw) return Ref();
    PyObject* call_args[] = {path.get(), headers};
    return Ref(PyObject_Vectorcall(get.get(), call_args, 1, kw.get()));
  }
  int has_request = has_attr(transport, QM_NAME("request"));
  if (has_request < 0) return Ref();
  if (!has_request) {
    Ref message = host::join({QM_NAME("Unsupported HTTP method: "), host::text_of(method).get()});
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return Ref();
  }
  Ref request(PyObject_GetAttr(transport, QM_NAME("request")));
  Ref kw(PyTuple_Pack(2, QM_NAME("content"), QM_NAME("headers")));
  if (!request || !kw) return Ref();
  PyObject* call_args[] = {method, path.get(), body_content, headers};
  return Ref(PyObject_Vectorcall(request.get(), call_args, 2, kw.get()));
}

Ref answer_of(PyObject* client, PyObject* response) {
  Ref status_code(PyObject_GetAttr(response, QM_NAME("status_code")));
  if (!status_code) return Ref();
  Ref content(PyObject_CallMethodOneArg(client, QM_NAME("_response_content"), response));
  if (!content) return Ref();
  return Ref(PyTuple_Pack(2, status_code.get(), content.get()));
}

PyObject* client_transport_request(PyObject* self, PyObject* method, PyObject* url, PyObject* headers,
                                   PyObject* body_content) {
  // The path is made before the transport is read, as it always has been.
  Ref path = path_of(url);
  if (!path) return nullptr;
  Ref client(PyObject_GetAttr(self, QM_NAME("_client")));
  if (!client) return nullptr;
  Ref response = send_request(client.get(), method, path.get(), headers, body_content);
  return response ? answer_of(self, response.get()).release() : nullptr;
}

namespace {

// The token getter handed to each request: reads the client's token when called.
PyObject* read_token(PyObject* client, PyObject*) { return PyObject_GetAttr(client, QM_NAME("_jwt_token")); }

PyMethodDef token_getter_def = {"_token_getter", read_token, METH_NOARGS,
                                "_token_getter($self)\n--\n\nReturn the client's current bearer token."};

}  // namespace

Ref token_getter_of(PyObject* client) { return Ref(PyCFunction_NewEx(&token_getter_def, client, nullptr)); }

PyObject* client_canonical_request(PyObject* self, PyObject* method, PyObject* endpoint, PyObject* body) {
  Ref token_getter = token_getter_of(self);
  Ref base_url = token_getter ? Ref(PyObject_GetAttr(self, QM_NAME("_base_url"))) : Ref();
  Ref request_func = base_url ? Ref(PyObject_GetAttr(self, QM_NAME("_transport_request"))) : Ref();
  Ref observer = request_func ? Ref(PyObject_GetAttr(self, QM_NAME("_transmission_observer"))) : Ref();
  Ref kw(PyTuple_Pack(2, QM_NAME("request_func"), QM_NAME("transmission_observer")));
  if (!observer || !kw) return nullptr;
  return host::call_kw<&request_json>(kw.get(), method, endpoint, token_getter.get(), base_url.get(), body,
                                      request_func.get(), observer.get())
      .release();
}

}  // namespace quillmarsh::transport
