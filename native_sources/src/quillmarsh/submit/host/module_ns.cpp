#include "quillmarsh/submit/host/module_ns.hpp"

namespace quillmarsh::host {

namespace {
// One pointer per thread, set and restored by every entry point: the interpreter switches
// threads inside calls (a transport waiting on the network), so it cannot be process-wide.
__attribute__((tls_model("initial-exec"))) thread_local PyObject* t_module = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local State* t_state = nullptr;
}  // namespace

State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

PyObject* module() { return t_module; }

State& state() { return *t_state; }

ModuleScope::ModuleScope(PyObject* module) : previous_(t_module) {
  t_module = module;
  t_state = state_of(module);
}

ModuleScope::~ModuleScope() {
  t_module = previous_;
  t_state = previous_ ? state_of(previous_) : nullptr;
}

PyObject* module_of(PyTypeObject* cls) { return PyType_GetModuleByDef(cls, &module_def); }

Ref global(PyObject* name) {
  if (name == nullptr) return Ref();
  PyObject* value = PyDict_GetItemWithError(state()[State::NamespaceDict], name);
  if (value == nullptr) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
  }
  return Ref::borrow(value);
}

Ref global_attr(PyObject* name, PyObject* attr) {
  Ref owner = global(name);
  if (!owner) return Ref();
  return Ref(PyObject_GetAttr(owner.get(), attr));
}

}  // namespace quillmarsh::host
