// Small host operations every subsystem needs: mapping lookups and stores, and ValueErrors
// with composed messages.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

// `mapping.get(key)`, or `mapping.get(key, fallback)` when a fallback is given; straight
// from the table for a plain dict, through the object's own `get` otherwise.
Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback = nullptr);

// Raise ValueError with a literal message, or with the concatenation of str pieces (a null
// piece means an earlier step failed, and its error stands). Always return null.
std::nullptr_t raise_value_error(const char* message);
std::nullptr_t raise_value_error(std::initializer_list<PyObject*> pieces);

// `target[key] = value` for a value just computed (a null value means computing it failed,
// and its error stands). False with an error set.
inline bool put(PyObject* target, PyObject* key, const Ref& value) {
  return value && PyDict_SetItem(target, key, value.get()) == 0;
}

}  // namespace quillmarsh::host
