#include "quillmarsh/submit/host/module_ns.hpp"

namespace quillmarsh::host {

namespace {
PyObject* g_module = nullptr;
}

void set_module(PyObject* module) { g_module = module; }

PyObject* module() { return g_module; }

Ref global(PyObject* name) {
  if (name == nullptr) return Ref();
  PyObject* dict = PyModule_GetDict(g_module);
  PyObject* value = PyDict_GetItemWithError(dict, name);
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
  }
  return Ref::borrow(value);
}

Ref call_global(PyObject* name, PyObject* const* args, size_t nargs, PyObject* kwnames) {
  Ref fn = global(name);
  if (!fn) return Ref();
  return Ref(PyObject_Vectorcall(fn.get(), args, nargs, kwnames));
}

Ref global_attr(PyObject* name, PyObject* attr) {
  Ref owner = global(name);
  if (!owner) return Ref();
  return Ref(PyObject_GetAttr(owner.get(), attr));
}

}  // namespace quillmarsh::host
