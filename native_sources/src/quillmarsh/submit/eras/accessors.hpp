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

// The calls the era readers make most, by name (host::call): `_field_value(value, key[,
// default])`, `_coerce_optional_int(value)`, `_required_positive_era_int(era, field_name)`.
template <typename... Args>
Ref call_field_value(Args... args) {
  return host::call<&field_value>(args...);
}
inline Ref call_coerce_optional_int(PyObject* value) { return host::call<&coerce_optional_int>(value); }
inline Ref call_required_positive_era_int(PyObject* era, PyObject* field_name) {
  return host::call<&required_positive_era_int>(era, field_name);
}

}  // namespace quillmarsh::eras
