// Parsing a response body into the JSON object every route answers with.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

// _parse_response_json(status_code, response_body_bytes, url, *, operation)
PyObject* parse_response_json(PyObject* module, PyObject* status_code, PyObject* response_body_bytes, PyObject* url,
                              PyObject* operation);

}  // namespace quillmarsh::transport
