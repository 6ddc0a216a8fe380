// Reading era catalog records that may be dicts or objects: the tolerant accessors
// (_field_value, _mapping_lookup, _coerce_optional_int) and the strict readers of an
// era's required fields.
#pragma once

#include "quillmarsh/submit/eras/common.hpp"

namespace quillmarsh::eras {

extern PyMethodDef kFieldValue;
extern PyMethodDef kMappingLookup;
extern PyMethodDef kCoerceOptionalInt;
extern PyMethodDef kRequiredPositiveEraInt;
extern PyMethodDef kRequiredEraFrequency;
extern PyMethodDef kSimulationDataContractProjectionFromEra;

// Calls of the module functions as the module namespace holds them now (straight into
// the native code while they are the module's own). Each returns a new reference, or
// null with an error set.

// _field_value(value, key)
Ref field_value(PyObject* value, PyObject* key);
// _field_value(value, key, default)
Ref field_value(PyObject* value, PyObject* key, PyObject* fallback);
// _field_value(value, key, make_fallback()), where the fallback is a fresh object (such
// as an empty dict) that is only made when it can be the answer.
Ref field_value_or_new(PyObject* value, PyObject* key, PyObject* (*make_fallback)());
// _mapping_lookup(mapping, key)
Ref mapping_lookup(PyObject* mapping, PyObject* key);
// _coerce_optional_int(value)
Ref coerce_optional_int(PyObject* value);
// _required_positive_era_int(era, field_name)
Ref required_positive_era_int(PyObject* era, PyObject* field_name);
// _required_era_frequency(era)
Ref required_era_frequency(PyObject* era);
// _simulation_data_contract_projection_from_era(era)
Ref simulation_data_contract_projection_from_era(PyObject* era);

}  // namespace quillmarsh::eras
