#include "quillmarsh/submit/host/math.hpp"

#include <cstring>

#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/names.hpp"

namespace quillmarsh::host {

namespace {

// Whether `fn` is the host's `math.<name>` builtin: its definition's name is fixed in C, and
// only the host's math module is called "math".
bool is_host_math_function(PyObject* fn, PyObject* name) {
  if (!PyCFunction_Check(fn)) return false;
  auto* cfunc = reinterpret_cast<PyCFunctionObject*>(fn);
  if (PyUnicode_CompareWithASCIIString(name, cfunc->m_ml->ml_name) != 0) return false;
  PyObject* owner = cfunc->m_self;
  if (owner == nullptr || !PyModule_Check(owner)) return false;
  PyModuleDef* def = PyModule_GetDef(owner);
  return def != nullptr && def->m_name != nullptr && std::strcmp(def->m_name, "math") == 0;
}

}  // namespace

Ref math_call(PyObject* attr, double x, PyObject* x_obj, bool native) {
  Ref fn = global_attr(QM_NAME("math"), attr);
  if (!fn) return Ref();
  if (is_host_math_function(fn.get(), attr)) return Ref::borrow(native ? Py_True : Py_False);
  Ref arg = x_obj ? Ref::borrow(x_obj) : Ref(PyFloat_FromDouble(x));
  return arg ? Ref(PyObject_CallOneArg(fn.get(), arg.get())) : Ref();
}

}  // namespace quillmarsh::host
