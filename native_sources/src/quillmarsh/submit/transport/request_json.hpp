// One authenticated JSON request: URL, bearer header, body, transport call, parsed answer.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

extern PyMethodDef kRequestJson;

}  // namespace quillmarsh::transport
