// The module's two error types and the helpers that raise or inspect rejections.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

// SubmissionRejectedError.__init__(self, status_code, reason, details=None, body=None)
PyObject* rejected_error_init(PyObject* self, PyObject* status_code, PyObject* reason, PyObject* details,
                              PyObject* body);
// SignalClientResponseError.__init__(self, message, *, status_code, url, raw_body)
PyObject* response_error_init(PyObject* self, PyObject* message, PyObject* status_code, PyObject* url,
                              PyObject* raw_body);
// _raise_submission_rejected(status_code, response_data)
PyObject* raise_submission_rejected(PyObject* module, PyObject* status_code, PyObject* response_data);
// _requires_legacy_signal_pool_id_retry(exc)
PyObject* requires_legacy_signal_pool_id_retry(PyObject* module, PyObject* exc);

}  // namespace quillmarsh::transport
