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
PyObject* client_canonical_request(PyObject* self, PyObject* method, PyObject* endpoint, PyObject* body);

}  // namespace quillmarsh::transport
