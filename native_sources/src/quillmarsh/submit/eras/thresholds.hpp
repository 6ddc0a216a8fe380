// The thresholds a submission must meet, resolved from the service's era catalog: the
// client's catalog fetch and cache, and the merge of era, universe and pool thresholds.
#pragma once

#include "quillmarsh/submit/eras/common.hpp"

namespace quillmarsh::eras {

extern PyMethodDef kSubmissionThresholdsFromEraCatalog;
extern PyMethodDef kRuleIdForNamedUniverse;
extern PyMethodDef kSignalIsThresholdsForPool;
// SignalServiceClient._fetch_era_catalog and _resolve_submit_thresholds are declared with
// the subsystem's registration (registry.hpp) and defined with this concern.

// _rule_id_for_named_universe(era, named_universe), as the module namespace holds it now.
Ref rule_id_for_named_universe(PyObject* era, PyObject* named_universe);
// _signal_is_thresholds_for_pool(pool, rule_id)
Ref signal_is_thresholds_for_pool(PyObject* pool, PyObject* rule_id);
// _submission_thresholds_from_era_catalog(catalog, named_universe, signal_pool_name,
// market_id=market_id, era_number=era_number)
Ref submission_thresholds_from_era_catalog(PyObject* catalog, PyObject* named_universe, PyObject* signal_pool_name,
                                           PyObject* market_id, PyObject* era_number);

}  // namespace quillmarsh::eras
