// What the era catalog subsystem adds to the module.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::eras {

// Module-level functions, ending with nullptr.
extern PyMethodDef* const kModuleFunctions[];

// SignalServiceClient._fetch_era_catalog and _resolve_submit_thresholds (instance methods).
extern PyMethodDef kFetchEraCatalog;
extern PyMethodDef kResolveSubmitThresholds;

}  // namespace quillmarsh::eras
