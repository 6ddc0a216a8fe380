// Pool and universe identifiers: the pool name, the named universe (with the default from
// the agent onboarding configuration) and the retired universe-id request fields.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::validation {

extern PyMethodDef kValidateSelectedPoolId;
extern PyMethodDef kValidateNamedUniverse;
extern PyMethodDef kRejectRetiredUniverseAliases;

// `_validate_selected_pool_id(value, field_name)` by name: false with the refusal set.
bool call_validate_selected_pool_id(PyObject* value, PyObject* field_name);

}  // namespace quillmarsh::validation
