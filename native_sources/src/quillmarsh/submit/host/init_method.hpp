// A class's `__init__` written in C++: a method descriptor in every respect but one. Asked to
// bind to an object that is not an instance of its class, it binds as a Python function
// does, instead of refusing. inspect (from 3.13) reads a class's signature by binding its
// `__init__` to the class itself; a plain C method descriptor refuses that binding, and
// `inspect.signature(cls)` failed where a Python class with the same `__init__` answers.
#pragma once

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

// The type of such descriptors, made once per module (null with an error set on failure).
Ref make_init_method_type(PyObject* module);

// A descriptor of that type for `def` in class `owner`.
Ref new_init_method(PyObject* type, PyTypeObject* owner, PyMethodDef* def);

}  // namespace quillmarsh::host
