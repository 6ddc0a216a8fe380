// Reading era catalog records that may be dicts or objects: the tolerant accessors
// (_field_value, _mapping_lookup, _coerce_optional_int) and the strict readers of an
// era's required fields.
#pragma once

#include "quillmarsh/submit/eras/common.hpp"

namespace quillmarsh::eras {

Ref field_value(PyObject* module, PyObject* value, PyObject* key, PyObject* fallback);
Ref mapping_lookup(PyObject* module, PyObject* mapping, PyObject* key);
Ref coerce_optional_int(PyObject* module, PyObject* value);
Ref required_positive_era_int(PyObject* module, PyObject* era, PyObject* field_name);
Ref required_era_frequency(PyObject* module, PyObject* era);
Ref simulation_data_contract_projection_from_era(PyObject* module, PyObject* era);

}  // namespace quillmarsh::eras
