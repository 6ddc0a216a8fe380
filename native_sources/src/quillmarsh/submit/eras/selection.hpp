// Choosing the era a submission belongs to from the era catalog: the era named by number,
// else the catalog's active era.
#pragma once

#include "quillmarsh/submit/eras/common.hpp"

namespace quillmarsh::eras {

Ref active_era_from_catalog(PyObject* module, PyObject* catalog, PyObject* market_id, PyObject* era_number);
Ref required_active_submit_era(PyObject* module, PyObject* catalog, PyObject* market_id, PyObject* era_number);

// `_active_era_from_catalog(catalog, market_id=market_id, era_number=era_number)` and
// `_required_active_submit_era(...)` likewise, called by name (host::call_kw).
Ref call_active_era_from_catalog(PyObject* catalog, PyObject* market_id, PyObject* era_number);
Ref call_required_active_submit_era(PyObject* catalog, PyObject* market_id, PyObject* era_number);

}  // namespace quillmarsh::eras
