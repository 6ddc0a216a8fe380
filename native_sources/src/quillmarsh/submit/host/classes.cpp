#include "quillmarsh/submit/host/classes.hpp"

#include <cstring>

#include "quillmarsh/submit/host/init_method.hpp"
#include "quillmarsh/submit/host/names.hpp"

namespace quillmarsh::host {

Ref make_class(const char* name, PyObject* bases, const char* doc, PyObject* module_name) {
  Ref ns(PyDict_New());
  Ref qualname(PyUnicode_FromString(name));
  Ref doc_text(PyUnicode_FromString(doc));
  if (!ns || !qualname || !doc_text) return Ref();
  if (PyDict_SetItemString(ns.get(), "__module__", module_name) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__doc__", doc_text.get()) < 0) {
    return Ref();
  }
  return Ref(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO", name, bases, ns.get()));
}

bool add_member(PyObject* cls, const Member& member, PyObject* module, PyObject* init_type) {
  Ref value;
  auto* owner = reinterpret_cast<PyTypeObject*>(cls);
  switch (member.kind) {
    case MemberKind::Instance:
      value = std::strcmp(member.def->ml_name, "__init__") == 0 ? new_init_method(init_type, owner, member.def)
                                                               : Ref(PyDescr_NewMethod(owner, member.def));
      break;
    case MemberKind::Static:
    case MemberKind::Class: {
      Ref module_name(PyModule_GetNameObject(module));
      if (!module_name) return false;
      Ref fn(PyCFunction_NewEx(member.def, module, module_name.get()));
      if (!fn) return false;
      value = Ref(member.kind == MemberKind::Static ? PyStaticMethod_New(fn.get()) : PyClassMethod_New(fn.get()));
      break;
    }
    case MemberKind::Property: {
      Ref getter(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), member.def));
      if (!getter) return false;
      value = Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get()));
      break;
    }
  }
  if (!value) return false;
  return PyObject_SetAttrString(cls, member.def->ml_name, value.get()) == 0;
}

}  // namespace quillmarsh::host
