// Threshold and manifest validation: refusal of caller-supplied thresholds, the threshold
// gate, optional manifest integers and the whole submission contract of a signal.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::validation {

PyObject* reject_caller_threshold_authority(PyObject* module, PyObject* threshold_checks, PyObject* thresholds);
PyObject* validate_submission_thresholds(PyObject* module, PyObject* is_stats, PyObject* is_pnl_mi,
                                         PyObject* thresholds);
PyObject* validate_optional_manifest_int(PyObject* module, PyObject* value, PyObject* field_name);
// SignalServiceClient._validate_submission_contract, a static method.
PyObject* client_validate_submission_contract(PyObject* module, PyObject* signal_pool_name, PyObject* is_stats,
                                              PyObject* is_pnl_mi, PyObject* expression_elapsed_seconds,
                                              PyObject* thresholds, PyObject* client_manifest_version,
                                              PyObject* client_manifest_market_id,
                                              PyObject* client_manifest_era_number);

}  // namespace quillmarsh::validation
