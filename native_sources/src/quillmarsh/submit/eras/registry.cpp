#include "quillmarsh/submit/eras/registry.hpp"

#include "quillmarsh/submit/eras/accessors.hpp"
#include "quillmarsh/submit/eras/graph_gates.hpp"
#include "quillmarsh/submit/eras/selection.hpp"
#include "quillmarsh/submit/eras/thresholds.hpp"

namespace quillmarsh::eras {

// kFetchEraCatalog and kResolveSubmitThresholds live with the threshold resolution.

PyMethodDef* const kModuleFunctions[] = {
    &kFieldValue,
    &kMappingLookup,
    &kCoerceOptionalInt,
    &kActiveEraFromCatalog,
    &kRequiredActiveSubmitEra,
    &kRequiredPositiveEraInt,
    &kRequiredEraFrequency,
    &kSimulationDataContractProjectionFromEra,
    &kSubmissionThresholdsFromEraCatalog,
    &kRuleIdForNamedUniverse,
    &kSignalIsThresholdsForPool,
    &kEnforceGraphComplexityForSubmit,
    &kEnforceRecordedBacktestTimingForSubmit,
    nullptr,
};

}  // namespace quillmarsh::eras
