// _TransmissionObservedBody: the request body that tells the transmission observer when the
// transport first reads it.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

PyObject* observed_body_init(PyObject* self, PyObject* body_bytes, PyObject* observer, PyObject* method, PyObject* url,
                             PyObject* headers);
PyObject* observed_body_consumed(PyObject* self);
PyObject* observed_body_observe_once(PyObject* self);
PyObject* observed_body_read(PyObject* self, PyObject* size);
PyObject* observed_body_seek(PyObject* self, PyObject* offset, PyObject* whence);
PyObject* observed_body_tell(PyObject* self);
PyObject* observed_body_iter(PyObject* self);
PyObject* observed_body_next(PyObject* self);

}  // namespace quillmarsh::transport
