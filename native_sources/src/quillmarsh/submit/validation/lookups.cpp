#include "quillmarsh/submit/validation/lookups.hpp"

#include <cstring>

namespace quillmarsh::validation {

bool is_host_math_function(PyObject* fn, const char* name) {
  if (!PyCFunction_Check(fn)) return false;
  auto* cfunc = reinterpret_cast<PyCFunctionObject*>(fn);
  if (std::strcmp(cfunc->m_ml->ml_name, name) != 0) return false;
  PyObject* owner = cfunc->m_self;
  if (owner == nullptr || !PyModule_Check(owner)) return false;
  // The definition's name is fixed in C; only the host's math module carries "math".
  PyModuleDef* def = PyModule_GetDef(owner);
  return def != nullptr && def->m_name != nullptr && std::strcmp(def->m_name, "math") == 0;
}

int OwnFunction::resolve(Session& session) {
  if (at_ == session.epoch()) return own_;
  session.drop(value_);
  value_ = host::global(name_);
  if (!value_) return -1;
  own_ = is_own_function(value_.get(), def_);
  at_ = session.epoch();
  return own_;
}

Ref OwnFunction::call(Session& session, PyObject* arg) {
  Ref fn = Ref::borrow(value_.get());  // the call may rebind the global and drop ours
  Ref result(PyObject_CallOneArg(fn.get(), arg));
  session.ran_foreign_code();
  return result;
}

int OwnFunction::call_for_truth(Session& session, PyObject* arg) {
  Ref result = call(session, arg);
  if (!result) return -1;
  int truth = PyObject_IsTrue(result.get());
  if (result.get() != Py_True && result.get() != Py_False) session.ran_foreign_code();
  return truth;
}

int MathFunction::resolve(Session& session) {
  if (at_ == session.epoch()) return host_;
  session.drop(value_);
  Ref math = host::global(QM_NAME("math"));
  if (!math) return -1;
  value_ = Ref(PyObject_GetAttr(math.get(), attr_));
  // Attribute lookup on anything but a plain module may run code of the interpreter.
  if (!PyModule_CheckExact(math.get())) session.ran_foreign_code();
  if (!value_) return -1;
  host_ = is_host_math_function(value_.get(), name_);
  at_ = session.epoch();
  return host_;
}

Ref math_call(Session& session, MathFunction& fn, double x, PyObject* x_obj, bool native) {
  int host = fn.resolve(session);
  if (host < 0) return Ref();
  if (host) return Ref::borrow(native ? Py_True : Py_False);
  Ref arg = x_obj ? Ref::borrow(x_obj) : Ref(PyFloat_FromDouble(x));
  if (!arg) return Ref();
  Ref callee = Ref::borrow(fn.value());
  Ref result(PyObject_CallOneArg(callee.get(), arg.get()));
  session.ran_foreign_code();
  return result;
}

namespace {
Ref make_str_tuple(std::initializer_list<const char*> items) {
  Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return Ref();
  Py_ssize_t i = 0;
  for (const char* item : items) {
    PyObject* text = PyUnicode_InternFromString(item);
    if (text == nullptr) return Ref();
    PyTuple_SET_ITEM(tuple.get(), i++, text);
  }
  return tuple;
}
}  // namespace

PyObject* str_tuple(PyObject** slot, std::initializer_list<const char*> items) {
  if (*slot == nullptr) *slot = make_str_tuple(items).release();  // kept for the process lifetime
  return *slot;
}

PyObject* str_frozenset(PyObject** slot, std::initializer_list<const char*> items) {
  if (*slot == nullptr) {
    Ref tuple = make_str_tuple(items);
    if (!tuple) return nullptr;
    *slot = PyFrozenSet_New(tuple.get());  // kept for the process lifetime
  }
  return *slot;
}

}  // namespace quillmarsh::validation
