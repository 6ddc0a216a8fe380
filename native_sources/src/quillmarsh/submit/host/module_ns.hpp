// The module's own namespace, read at call time like a Python module's globals.
#pragma once

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

// Set once by the module entry; the module object is kept alive by the interpreter.
void set_module(PyObject* module);
PyObject* module();

// The current value of a module global, like a bare name in Python: a new reference,
// or null with NameError("name 'x' is not defined") set.
Ref global(PyObject* name);

// Calls the module global `name` with positional arguments (and optional kwnames,
// whose values follow the positional ones), as Python would after looking the name up.
Ref call_global(PyObject* name, PyObject* const* args, size_t nargs, PyObject* kwnames = nullptr);

// Attribute of a module global: `json.dumps` with both names read now.
Ref global_attr(PyObject* name, PyObject* attr);

}  // namespace quillmarsh::host
