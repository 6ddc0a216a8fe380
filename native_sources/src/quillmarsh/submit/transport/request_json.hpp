// One authenticated JSON request: URL, bearer header, body, transport call, parsed answer.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

// _request_json(method, endpoint, get_token, server_url, body, request_func, transmission_observer=None)
PyObject* request_json(PyObject* module, PyObject* method, PyObject* endpoint, PyObject* get_token,
                       PyObject* server_url, PyObject* body, PyObject* request_func, PyObject* transmission_observer);

}  // namespace quillmarsh::transport
