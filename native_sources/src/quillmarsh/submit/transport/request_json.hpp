// One authenticated JSON request: URL, bearer header, body, transport call, parsed answer.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

using host::Ref;

// One request on its way: everything made before the transport is called.
struct Transmission {
  Ref method;
  Ref endpoint;
  Ref url;
  Ref token_text;
  Ref headers;
  Ref body;           // what the transport is given: the JSON bytes (or None), or the observed body
  Ref observed_body;  // the _TransmissionObservedBody, when there is an observer and a body
};

// Before the transport call: the URL joined and vetted, the token read (by `get_token`) and
// checked, the headers, the serialised body and, with an observer, the observed body. False
// with an error set.
bool begin_transmission(PyObject* method, PyObject* endpoint, PyObject* get_token, PyObject* server_url, PyObject* body,
                        PyObject* observer, Transmission& t);
// The transport failed (its exception is set): the token is taken out of it and it is raised
// again. Always null.
std::nullptr_t fail_transmission(const Transmission& t);
// After the transport's answer: the observer honoured, the JSON parsed, a status outside 2xx
// rejected. (status_code, dict), or null with an error set.
PyObject* end_transmission(const Transmission& t, PyObject* status_code, PyObject* response_bytes);

// _request_json(method, endpoint, get_token, server_url, body, request_func, transmission_observer=None)
PyObject* request_json(PyObject* module, PyObject* method, PyObject* endpoint, PyObject* get_token,
                       PyObject* server_url, PyObject* body, PyObject* request_func, PyObject* transmission_observer);

}  // namespace quillmarsh::transport
