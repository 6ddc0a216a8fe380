// Metric and MI contract checks: finite numbers in nested statistics, the MI value and its
// JSON form, retired MI fields, metric lookup by alias and the statistics payload.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::validation {

PyObject* is_finite_number(PyObject* module, PyObject* value);
PyObject* has_non_finite_number(PyObject* module, PyObject* value);
PyObject* coerce_mi_contract_value(PyObject* module, PyObject* value);
PyObject* mi_contract_json_value(PyObject* module, PyObject* value);
PyObject* has_disallowed_mi_contract_field(PyObject* module, PyObject* value);
PyObject* stat_metric(PyObject* module, PyObject* is_stats, PyObject* keys);
PyObject* submission_is_stats_payload(PyObject* module, PyObject* is_stats);

}  // namespace quillmarsh::validation
