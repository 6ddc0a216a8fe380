// Parsing a response body into the JSON object every route answers with.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

extern PyMethodDef kParseResponseJson;

}  // namespace quillmarsh::transport
