// URL joining and percent-encoding of path segments and query values.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

extern PyMethodDef kJoinUrl;
extern PyMethodDef kPercentEncode;

// The unreserved bytes of RFC 3986, as the frozenset bound to _UNRESERVED_BYTES.
host::Ref make_unreserved_bytes();

}  // namespace quillmarsh::transport
