// Metric and MI contract checks: finite numbers in nested statistics, the MI value and its
// JSON form, retired MI fields, metric lookup by alias and the statistics payload.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::validation {

extern PyMethodDef kIsFiniteNumber;
extern PyMethodDef kHasNonFiniteNumber;
extern PyMethodDef kCoerceMiContractValue;
extern PyMethodDef kMiContractJsonValue;
extern PyMethodDef kHasDisallowedMiContractField;
extern PyMethodDef kStatMetric;
extern PyMethodDef kSubmissionIsStatsPayload;

// Calls by name, as another function of the module makes them (a replacement of the name
// is honoured). The int forms answer the truth of the result: 1, 0, or -1 with the error set.
int call_has_disallowed_mi_contract_field(PyObject* value);
int call_has_non_finite_number(PyObject* value);
host::Ref call_coerce_mi_contract_value(PyObject* value);
host::Ref call_stat_metric(PyObject* is_stats, PyObject* keys);

}  // namespace quillmarsh::validation
