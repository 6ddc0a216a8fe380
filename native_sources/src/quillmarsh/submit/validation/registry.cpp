#include "quillmarsh/submit/validation/registry.hpp"

#include "quillmarsh/submit/validation/contract.hpp"
#include "quillmarsh/submit/validation/identifiers.hpp"
#include "quillmarsh/submit/validation/metrics.hpp"

namespace quillmarsh::validation {

PyMethodDef* const kModuleFunctions[] = {
    &kIsFiniteNumber,
    &kHasNonFiniteNumber,
    &kCoerceMiContractValue,
    &kMiContractJsonValue,
    &kHasDisallowedMiContractField,
    &kStatMetric,
    &kSubmissionIsStatsPayload,
    &kRejectCallerThresholdAuthority,
    &kValidateSubmissionThresholds,
    &kValidateOptionalManifestInt,
    &kValidateSelectedPoolId,
    &kValidateNamedUniverse,
    &kRejectRetiredUniverseAliases,
    nullptr,
};

}  // namespace quillmarsh::validation
