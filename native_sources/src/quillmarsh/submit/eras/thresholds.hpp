// The thresholds a submission must meet, resolved from the service's era catalog: the
// client's catalog fetch and cache, and the merge of era, universe and pool thresholds.
#pragma once

#include "quillmarsh/submit/eras/common.hpp"

namespace quillmarsh::eras {

Ref submission_thresholds_from_era_catalog(PyObject* module, PyObject* catalog, PyObject* named_universe,
                                           PyObject* signal_pool_name, PyObject* market_id, PyObject* era_number);
Ref rule_id_for_named_universe(PyObject* module, PyObject* era, PyObject* named_universe);
Ref signal_is_thresholds_for_pool(PyObject* module, PyObject* pool, PyObject* rule_id);
// SignalServiceClient._fetch_era_catalog and _resolve_submit_thresholds.
Ref client_fetch_era_catalog(PyObject* self);
// _era_catalog_from(client, answer, failure): the catalog from the outcome of the
// asynchronous client's `GET eras` (its answer, or the exception it raised), cached on `client`.
PyObject* settle_era_catalog(PyObject* module, PyObject* client, PyObject* answer, PyObject* failure);
Ref client_resolve_submit_thresholds(PyObject* self, PyObject* named_universe, PyObject* signal_pool_name,
                                     PyObject* market_id, PyObject* era_number);

}  // namespace quillmarsh::eras
