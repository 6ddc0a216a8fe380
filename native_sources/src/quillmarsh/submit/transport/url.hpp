// URL joining and percent-encoding of path segments and query values.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

// _join_url(server_url, endpoint)
PyObject* join_url(PyObject* module, PyObject* server_url, PyObject* endpoint);
// _percent_encode(value)
PyObject* percent_encode(PyObject* module, PyObject* value);

// The unreserved bytes of RFC 3986, as the frozenset bound to _UNRESERVED_BYTES.
host::Ref make_unreserved_bytes();

}  // namespace quillmarsh::transport
