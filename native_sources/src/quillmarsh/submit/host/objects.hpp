// Small host operations every subsystem needs: mapping lookups, ValueErrors with composed
// messages, and telling the module's own functions from replacements.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

// `mapping.get(key)`, or `mapping.get(key, fallback)` when a fallback is given; straight
// from the table for a plain dict, through the object's own `get` otherwise.
Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback = nullptr);

// Raise ValueError with a literal message, or with the concatenation of str pieces (a null
// piece means an earlier step failed, and its error stands). Always return null.
std::nullptr_t raise_value_error(const char* message);
std::nullptr_t raise_value_error(std::initializer_list<PyObject*> pieces);

// Whether `fn` is the builtin function object built over `def`: the module's own function,
// not a replacement bound under its name.
inline bool is_own_function(PyObject* fn, const PyMethodDef* def) {
  return PyCFunction_Check(fn) && reinterpret_cast<PyCFunctionObject*>(fn)->m_ml == def;
}

// Calls the module global `name` like a bare name in a Python function body; while it
// still holds the module's own function `own`, runs `native()` (which answers the same)
// without a trip through the interpreter.
template <typename Native>
Ref call_module_function(PyObject* name, const PyMethodDef* own, Native&& native, PyObject* const* args,
                         size_t nargs, PyObject* kwnames = nullptr) {
  Ref fn = global(name);
  if (!fn) return Ref();
  if (is_own_function(fn.get(), own)) return native();
  return Ref(PyObject_Vectorcall(fn.get(), args, nargs, kwnames));
}

}  // namespace quillmarsh::host
