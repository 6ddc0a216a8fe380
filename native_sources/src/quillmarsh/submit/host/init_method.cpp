#include "quillmarsh/submit/host/init_method.hpp"

#include <cstddef>
#include <cstring>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace quillmarsh::host {

namespace {

struct InitMethod {
  PyObject_HEAD PyMethodDef* def;
  PyTypeObject* owner;  // strong
  vectorcallfunc vectorcall;
};

InitMethod* as_init(PyObject* self) { return reinterpret_cast<InitMethod*>(self); }

// The method's doc as `ml_doc` holds it: "name(signature)\n--\n\ndoc". The two parts, as the
// interpreter splits them for its own method descriptors.
const char* signature_end(const char* doc, const char* name) {
  if (doc == nullptr) return nullptr;
  const size_t length = std::strlen(name);
  if (std::strncmp(doc, name, length) != 0 || doc[length] != '(') return nullptr;
  const char* end = std::strstr(doc, ")\n--\n\n");
  return end;
}

PyObject* init_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  InitMethod* init = as_init(self);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "unbound method %s.%s() needs an argument", init->owner->tp_name, init->def->ml_name);
    return nullptr;
  }
  if (!PyObject_TypeCheck(args[0], init->owner)) {
    PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object", init->def->ml_name,
                 init->owner->tp_name, Py_TYPE(args[0])->tp_name);
    return nullptr;
  }
  auto fn = reinterpret_cast<PyCMethod>(reinterpret_cast<void (*)(void)>(init->def->ml_meth));
  return fn(args[0], init->owner, args + 1, static_cast<size_t>(nargs - 1), kwnames);
}

// `descr.__get__(obj, type)`: itself for the class, a bound builtin for an instance, and for
// anything else a bound method, as `function.__get__` gives.
PyObject* init_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  InitMethod* init = as_init(self);
  if (PyObject_TypeCheck(obj, init->owner)) return PyCMethod_New(init->def, obj, nullptr, init->owner);
  return PyMethod_New(self, obj);
}

PyObject* init_repr(PyObject* self) {
  InitMethod* init = as_init(self);
  return PyUnicode_FromFormat("<method '%s' of '%s' objects>", init->def->ml_name, init->owner->tp_name);
}

PyObject* get_name(PyObject* self, void*) { return PyUnicode_FromString(as_init(self)->def->ml_name); }

PyObject* get_qualname(PyObject* self, void*) {
  InitMethod* init = as_init(self);
  Ref owner_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(init->owner), "__qualname__"));
  return owner_name ? PyUnicode_FromFormat("%S.%s", owner_name.get(), init->def->ml_name) : nullptr;
}

PyObject* get_doc(PyObject* self, void*) {
  const PyMethodDef* def = as_init(self)->def;
  const char* end = signature_end(def->ml_doc, def->ml_name);
  if (end == nullptr) return def->ml_doc ? PyUnicode_FromString(def->ml_doc) : Py_NewRef(Py_None);
  return PyUnicode_FromString(end + std::strlen(")\n--\n\n"));
}

PyObject* get_text_signature(PyObject* self, void*) {
  const PyMethodDef* def = as_init(self)->def;
  const char* end = signature_end(def->ml_doc, def->ml_name);
  if (end == nullptr) return Py_NewRef(Py_None);
  const char* start = def->ml_doc + std::strlen(def->ml_name);
  return PyUnicode_FromStringAndSize(start, end + 1 - start);
}

PyObject* get_objclass(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<PyObject*>(as_init(self)->owner)); }

int init_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<PyObject*>(as_init(self)->owner));
  return 0;
}

int init_clear(PyObject* self) {
  Py_CLEAR(as_init(self)->owner);
  return 0;
}

void init_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  init_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef kGetSet[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef kMembers[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(InitMethod, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(init_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(init_repr)},
    {Py_tp_getset, kGetSet},
    {Py_tp_members, kMembers},
    {Py_tp_traverse, reinterpret_cast<void*>(init_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(init_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(init_dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quillmarsh.submit.init_descriptor",
    sizeof(InitMethod),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

}  // namespace

Ref make_init_method_type(PyObject* module) { return Ref(PyType_FromModuleAndSpec(module, &kSpec, nullptr)); }

Ref new_init_method(PyObject* type, PyTypeObject* owner, PyMethodDef* def) {
  auto* init = PyObject_GC_New(InitMethod, reinterpret_cast<PyTypeObject*>(type));
  if (init == nullptr) return Ref();
  init->def = def;
  init->owner = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(owner)));
  init->vectorcall = init_call;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(init));
  return Ref(reinterpret_cast<PyObject*>(init));
}

}  // namespace quillmarsh::host
