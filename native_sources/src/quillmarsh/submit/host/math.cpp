#include "quillmarsh/submit/host/math.hpp"

#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/names.hpp"

namespace quillmarsh::host {

PyObject* math_name(MathFunction fn) {
  switch (fn) {
    case MathFunction::IsFinite:
      return QM_NAME("isfinite");
    case MathFunction::IsNan:
      return QM_NAME("isnan");
    case MathFunction::IsInf:
      return QM_NAME("isinf");
    case MathFunction::Count:
      break;
  }
  PyErr_SetString(PyExc_SystemError, "no such math function");
  return nullptr;
}

Ref math_call(MathFunction fn, double x, PyObject* x_obj, bool native) {
  PyObject* name = math_name(fn);
  Ref current = name ? global_attr(QM_NAME("math"), name) : Ref();
  if (!current) return Ref();
  if (current.get() == state()[State::MathBuiltins + static_cast<int>(fn)])
    return Ref::borrow(native ? Py_True : Py_False);
  Ref arg = x_obj ? Ref::borrow(x_obj) : Ref(PyFloat_FromDouble(x));
  return arg ? Ref(PyObject_CallOneArg(current.get(), arg.get())) : Ref();
}

}  // namespace quillmarsh::host
