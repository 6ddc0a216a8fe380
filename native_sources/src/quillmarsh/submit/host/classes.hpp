// Building ordinary Python classes whose methods are native functions.
#pragma once

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

// `type(name, bases, {"__module__": module_name, "__qualname__": name, "__doc__": doc})`:
// a normal heap class with a __dict__, subclassable from Python.
Ref make_class(const char* name, PyObject* bases, const char* doc, PyObject* module_name);

}  // namespace quillmarsh::host
