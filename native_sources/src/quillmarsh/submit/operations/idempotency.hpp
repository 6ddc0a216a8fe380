// Idempotency keys derived from request bodies.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::operations {

// `self._idempotency_key_for_body(body)`: through the client, so that a subclass or an
// instance attribute can derive keys its own way.
host::Ref derive_key(PyObject* self, PyObject* body);

// SignalServiceClient._idempotency_key_for_body, a static method: the module comes first.
host::Ref client_idempotency_key_for_body(PyObject* module, PyObject* body);

}  // namespace quillmarsh::operations
