// SignalServiceClient's own transport members: construction, close, the transport adapter
// and the canonical request every operation goes through.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

extern PyMethodDef kClientInit;
extern PyMethodDef kClientClose;
extern PyMethodDef kClientResponseContent;
extern PyMethodDef kClientTransportRequest;
extern PyMethodDef kClientCanonicalRequest;

}  // namespace quillmarsh::transport
