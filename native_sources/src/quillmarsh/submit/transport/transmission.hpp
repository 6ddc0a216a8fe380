// The module functions the asynchronous client makes one request with, in the steps of
// `_request_json` (request_json.hpp), awaiting the transport between them:
//
//     t = _transmission_begin(client, method, endpoint, body)
//     try:
//         response = await _transmission_send(t, transport, stream_type)
//         status_code, content = _transmission_answer(client, response)
//     except BaseException as exc:
//         _transmission_failed(t, exc)          # raises exc, the token taken out of it
//     return _transmission_end(t, status_code, content)
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

PyObject* transmission_begin(PyObject* module, PyObject* client, PyObject* method, PyObject* endpoint, PyObject* body);
// The observed body (with an observer) is handed over as `stream_type(observed_body)` unless
// `stream_type` is None.
PyObject* transmission_send(PyObject* module, PyObject* transmission, PyObject* transport, PyObject* stream_type);
PyObject* transmission_answer(PyObject* module, PyObject* client, PyObject* response);
PyObject* transmission_failed(PyObject* module, PyObject* transmission, PyObject* exc);
PyObject* transmission_end(PyObject* module, PyObject* transmission, PyObject* status_code, PyObject* response_bytes);

}  // namespace quillmarsh::transport
