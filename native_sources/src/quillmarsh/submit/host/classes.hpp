// Building ordinary Python classes whose methods are native functions.
#pragma once

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

enum class MemberKind { Instance, Static, Class, Property };

// One class member: a native function and how the class exposes it.
struct Member {
  PyMethodDef* def;
  MemberKind kind;
};

// `type(name, bases, {"__module__": module_name, "__qualname__": name, "__doc__": doc})`:
// a normal heap class with a __dict__, subclassable from Python.
Ref make_class(const char* name, PyObject* bases, const char* doc, PyObject* module_name);

// Attaches a member the way a Python class body would define it: instance methods as
// method descriptors (`__init__` as one of `init_type`, see init_method.hpp), static and
// class methods wrapped in the host's staticmethod and classmethod, properties as
// property(fget).
bool add_member(PyObject* cls, const Member& member, PyObject* module, PyObject* init_type);

}  // namespace quillmarsh::host
