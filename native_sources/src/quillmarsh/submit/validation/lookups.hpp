// Small helpers the validation functions share: refusals, truth values and constant tuples.
#pragma once

#include <initializer_list>

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::validation {

using host::Ref;

// Truth of a result (consumes nothing): 1, 0, or -1 with the error set; -1 also for a null
// result, whose error is already set.
inline int truth_of(const Ref& result) { return result ? PyObject_IsTrue(result.get()) : -1; }

// Raises ValueError(message) and answers null; a null message means building it failed (its
// error stands).
inline PyObject* refuse(PyObject* message) {
  if (message != nullptr) PyErr_SetObject(PyExc_ValueError, message);
  return nullptr;
}

// True or False as a new reference, or null for -1 (error set).
inline PyObject* bool_of(int truth) { return truth < 0 ? nullptr : Py_NewRef(truth ? Py_True : Py_False); }

// A tuple or frozenset of str constants, built once (like a code object's constants).
PyObject* str_tuple(PyObject** slot, std::initializer_list<const char*> items);
PyObject* str_frozenset(PyObject** slot, std::initializer_list<const char*> items);

}  // namespace quillmarsh::validation
