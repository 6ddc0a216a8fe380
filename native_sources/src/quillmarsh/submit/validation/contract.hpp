// Threshold and manifest validation: refusal of caller-supplied thresholds, the threshold
// gate, optional manifest integers and the whole submission contract of a signal.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::validation {

extern PyMethodDef kRejectCallerThresholdAuthority;
extern PyMethodDef kValidateSubmissionThresholds;
extern PyMethodDef kValidateOptionalManifestInt;
// SignalServiceClient._validate_submission_contract, a static method.
extern PyMethodDef kValidateSubmissionContract;

}  // namespace quillmarsh::validation
