// What the validation subsystem adds to the module.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::validation {

// Module-level functions, ending with nullptr.
extern PyMethodDef* const kModuleFunctions[];

// SignalServiceClient._validate_submission_contract (a static method).
extern PyMethodDef kValidateSubmissionContract;

}  // namespace quillmarsh::validation
