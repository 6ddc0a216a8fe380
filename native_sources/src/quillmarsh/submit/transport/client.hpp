// SignalServiceClient's own transport members: construction, close, the transport adapter
// and the canonical request every operation goes through.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

PyObject* client_init(PyObject* self, PyObject* base_url, PyObject* jwt_token, PyObject* timeout, PyObject* transport,
                      PyObject* transmission_observer);
PyObject* client_close(PyObject* self);
PyObject* client_response_content(PyObject* self, PyObject* response);
PyObject* client_transport_request(PyObject* self, PyObject* method, PyObject* url, PyObject* headers,
                                   PyObject* body_content);
// The path and query of `url`, as the transport resolves them against its own base URL.
host::Ref path_of(PyObject* url);
// The transport's `post` (or `get`, or `request` for another method) called for `path`:
// whatever it returns (a response, or an awaitable one).
host::Ref send_request(PyObject* transport, PyObject* method, PyObject* path, PyObject* headers,
                       PyObject* body_content);
// (response.status_code, client._response_content(response))
host::Ref answer_of(PyObject* client, PyObject* response);
// A callable reading `client._jwt_token` when called.
host::Ref token_getter_of(PyObject* client);
PyObject* client_canonical_request(PyObject* self, PyObject* method, PyObject* endpoint, PyObject* body);

}  // namespace quillmarsh::transport
