// Idempotency keys derived from request bodies.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::operations {

// `self._idempotency_key_for_body(body)`: through the client, so that a subclass or an
// instance attribute can derive keys its own way.
host::Ref derive_key(PyObject* self, PyObject* body);

}  // namespace quillmarsh::operations
