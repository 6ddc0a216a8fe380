// Pool and universe identifiers: the pool name, the named universe (with the default from
// the agent onboarding configuration) and the retired universe-id request fields.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::validation {

PyObject* validate_selected_pool_id(PyObject* module, PyObject* value, PyObject* field_name);
PyObject* validate_named_universe(PyObject* module, PyObject* value);
PyObject* reject_retired_universe_aliases(PyObject* module, PyObject* body);

}  // namespace quillmarsh::validation
