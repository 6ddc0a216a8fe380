// The request body that tells the transmission observer when the transport first reads it.
#pragma once

#include "quillmarsh/submit/host/classes.hpp"
#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::transport {

// Members of _TransmissionObservedBody in definition order, ending with {nullptr}.
extern const host::Member kObservedBodyMembers[];

}  // namespace quillmarsh::transport
