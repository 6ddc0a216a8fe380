// JSON text written natively, byte for byte what the host's json.dumps writes for the two
// forms the client needs: the request body on the wire (`json.dumps(body)`) and the
// canonical form of an idempotency key (`json.dumps(payload, sort_keys=True,
// separators=(",", ":"), allow_nan=False)`).
#pragma once

#include <string>

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::transport {

// Whether the module global `json` still answers `dumps` with the host's own function (the
// one the module's state kept when the module was made); -1 with an error set when the
// lookup fails.
int host_dumps_in_place();

enum class JsonForm {
  Wire,       // insertion order, ", " and ": ", NaN and infinities as NaN / Infinity / -Infinity
  Canonical,  // sorted keys, "," and ":", non-finite floats refused
};

// Appends the JSON of `value` in `form` to `out` (pure ASCII: non-ASCII is \u-escaped).
// Returns false, with no error set, for anything it does not write itself (a type other than
// the exact JSON types, a non-str key, a non-finite float in the canonical form, very deep
// nesting, an int too long for its text): the host's encoder then decides, and raises what it
// raises.
bool write_json(PyObject* value, JsonForm form, std::string& out);

}  // namespace quillmarsh::transport
