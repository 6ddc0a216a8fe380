// How the validation functions find each other, their collaborators and `math`: by name in
// the module namespace at call time, like the functions of a Python module. While a name
// still holds this module's own native function, its C++ code runs directly instead of a
// call through the interpreter; a replacement (a monkeypatch, a spy) is called like any
// Python callable.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "quillmarsh/submit/host/entry.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/objects.hpp"

namespace quillmarsh::validation {

using host::Ref;

using host::call_module_function;
using host::is_own_function;

// Whether `fn` is the host's `math.<name>` builtin.
bool is_host_math_function(PyObject* fn, const char* name);

// Truth of a result (consumes nothing): 1, 0, or -1 with the error set; -1 also for a null
// result, whose error is already set.
inline int truth_of(const Ref& result) { return result ? PyObject_IsTrue(result.get()) : -1; }

// Within one native call, module globals need to be read again only after code of the
// interpreter may have run (a replaced helper, a __hash__, an overridden container
// method, a finalizer): only such code can rebind them. `Session` counts those moments;
// a cached lookup is valid while the count has not moved.
class Session {
 public:
  uint64_t epoch() const { return epoch_; }
  void ran_foreign_code() { ++epoch_; }
  // Releases `ref`; when this was its last reference, a finalizer may run.
  void drop(Ref& ref) {
    if (ref && Py_REFCNT(ref.get()) == 1) {
      ref.reset();
      ran_foreign_code();
    } else {
      ref.reset();
    }
  }

 private:
  uint64_t epoch_ = 1;
};

// A module global naming one of the module's own functions, read at most once per epoch.
class OwnFunction {
 public:
  OwnFunction(PyObject* name, const PyMethodDef* def) : name_(name), def_(def) {}
  // 1 while the name holds the native function, 0 when it holds something else (see
  // value()), -1 with NameError set when it is unbound.
  int resolve(Session& session);
  PyObject* value() const { return value_.get(); }
  // Calls a replacement with one argument and answers the truth of its result.
  int call_for_truth(Session& session, PyObject* arg);
  // Calls a replacement with one argument.
  Ref call(Session& session, PyObject* arg);

 private:
  PyObject* name_;
  const PyMethodDef* def_;
  uint64_t at_ = 0;
  bool own_ = false;
  Ref value_;
};

// `math.<name>` read through the module global `math`, at most once per epoch.
class MathFunction {
 public:
  MathFunction(PyObject* attr, const char* name) : attr_(attr), name_(name) {}
  // 1 while it is the host's own builtin (the answer can be computed here), 0 when it was
  // replaced (see value()), -1 with the lookup error set.
  int resolve(Session& session);
  PyObject* value() const { return value_.get(); }

 private:
  PyObject* attr_;
  const char* name_;
  uint64_t at_ = 0;
  bool host_ = false;
  Ref value_;
};

// `math.<fn>(x)` for the float `x` (`x_obj` is that float as an object, or null to have it
// built only when needed): `native` when the host's builtin is in place, else the result of
// the replacement.
Ref math_call(Session& session, MathFunction& fn, double x, PyObject* x_obj, bool native);

// Raises ValueError(message); a null message means building it failed (its error stands).
inline Ref refuse(PyObject* message) {
  if (message != nullptr) PyErr_SetObject(PyExc_ValueError, message);
  return Ref();
}

// True or False as a new reference, or null for -1 (error set).
inline Ref bool_ref(int truth) { return truth < 0 ? Ref() : Ref::borrow(truth ? Py_True : Py_False); }

// A tuple or frozenset of str constants, built once (like a code object's constants).
PyObject* str_tuple(PyObject** slot, std::initializer_list<const char*> items);
PyObject* str_frozenset(PyObject** slot, std::initializer_list<const char*> items);

}  // namespace quillmarsh::validation
