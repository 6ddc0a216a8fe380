// Choosing the era a submission belongs to from the era catalog: the era named by number,
// else the catalog's active era.
#pragma once

#include "quillmarsh/submit/eras/common.hpp"

namespace quillmarsh::eras {

extern PyMethodDef kActiveEraFromCatalog;
extern PyMethodDef kRequiredActiveSubmitEra;

// _active_era_from_catalog(catalog, market_id=market_id, era_number=era_number), as the
// module namespace holds it now: an era record of the catalog or None.
Ref active_era_from_catalog(PyObject* catalog, PyObject* market_id, PyObject* era_number);
// _required_active_submit_era(catalog, market_id=market_id, era_number=era_number)
Ref required_active_submit_era(PyObject* catalog, PyObject* market_id, PyObject* era_number);

}  // namespace quillmarsh::eras
