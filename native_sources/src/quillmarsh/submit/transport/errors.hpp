// The module's two error types and the helpers that raise or inspect rejections.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

extern PyMethodDef kSubmissionRejectedErrorInit;
extern PyMethodDef kSignalClientResponseErrorInit;
extern PyMethodDef kRaiseSubmissionRejected;
extern PyMethodDef kRequiresLegacySignalPoolIdRetry;

}  // namespace quillmarsh::transport
