#include "quillmarsh/submit/host/surface.hpp"

#include <deque>
#include <string>
#include <vector>

#include "quillmarsh/submit/host/classes.hpp"
#include "quillmarsh/submit/host/init_method.hpp"

namespace quillmarsh::host {

namespace {

// What the interpreter keeps pointers to, made once for the process: every module object
// made from this library shares the method definitions, their texts and the binders.
std::vector<PyMethodDef> g_definitions;
std::deque<std::string> g_texts;

const char* kept(std::string text) { return g_texts.emplace_back(std::move(text)).c_str(); }

// The preparations the dispatcher reaches, by their rows' interned names, and the binder of
// the dispatcher's own two leading parameters.
struct Preparation {
  PyObject* name;
  Preparer preparer;
};
std::vector<Preparation> g_preparations;
Signature* g_dispatcher_signature = nullptr;

// "name($self, a, b=None)\n--\n\ndoc": the text signature the interpreter reads, and the doc.
std::string method_doc(const Entry& entry) {
  const char* first = entry.kind == Kind::Instance || entry.kind == Kind::Property ? "$self"
                      : entry.kind == Kind::Class                                  ? "$module, cls"
                                                                                   : "$module";
  std::string parameters = entry.parameters;
  return std::string(entry.name) + "(" + first + (parameters.empty() ? "" : ", ") + parameters + ")\n--\n\n" +
         entry.doc;
}

bool define(const Entry* entries, size_t count) {
  g_definitions.resize(count);
  const char* owner = nullptr;
  for (size_t i = 0; i < count; ++i) {
    const Entry& entry = entries[i];
    if (entry.kind == Kind::Type) {
      owner = entry.name;
      continue;
    }
    if (entry.kind == Kind::Dispatcher) {
      if (!Signature::parse(entry.name, 0, "self", "operation, subject", g_dispatcher_signature)) return false;
      g_definitions[i] = PyMethodDef{entry.name, reinterpret_cast<PyCFunction>(entry.function),
                                     METH_FASTCALL | METH_KEYWORDS, kept(method_doc(entry))};
      continue;
    }
    *entry.interned = PyUnicode_InternFromString(entry.name);
    if (*entry.interned == nullptr) return false;
    const bool method = entry.kind == Kind::Instance || entry.kind == Kind::Property;
    if (entry.preparer != nullptr) g_preparations.push_back(Preparation{*entry.interned, entry.preparer});
    const bool free_standing = entry.kind == Kind::Function || entry.kind == Kind::Preparation;
    const char* qualname = free_standing ? entry.name : kept(std::string(owner) + "." + entry.name);
    const int implicit = method || entry.kind == Kind::Class ? 1 : 0;
    if (!Signature::parse(qualname, implicit, entry.kind == Kind::Class ? "cls" : "self", entry.parameters,
                          *entry.signature)) {
      return false;
    }
    if (static_cast<size_t>((*entry.signature)->size()) != entry.arity) {
      PyErr_Format(PyExc_SystemError, "%s() declares %d parameters, its body takes %zu", qualname,
                   (*entry.signature)->size(), entry.arity);
      return false;
    }
    g_definitions[i] = PyMethodDef{entry.name, reinterpret_cast<PyCFunction>(entry.function),
                                   method ? METH_METHOD | METH_FASTCALL | METH_KEYWORDS : METH_FASTCALL | METH_KEYWORDS,
                                   kept(method_doc(entry))};
  }
  return true;
}

PyObject* base_of(const char* name) {
  return std::string(name) == "Exception" ? PyExc_Exception : reinterpret_cast<PyObject*>(&PyBaseObject_Type);
}

// The value a class body would bind for a member.
Ref member(const Entry& entry, PyMethodDef* def, PyObject* cls, PyObject* module, PyObject* module_name) {
  auto* owner = reinterpret_cast<PyTypeObject*>(cls);
  switch (entry.kind) {
    case Kind::Instance:
      if (std::string(entry.name) == "__init__")
        return new_init_method((*state_of(module))[State::InitMethodType], owner, def);
      return Ref(PyDescr_NewMethod(owner, def));
    case Kind::Property: {
      Ref getter(PyDescr_NewMethod(owner, def));
      return getter ? Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), getter.get())) : Ref();
    }
    case Kind::Static:
    case Kind::Class: {
      Ref fn(PyCFunction_NewEx(def, module, module_name));
      if (!fn) return Ref();
      return Ref(entry.kind == Kind::Static ? PyStaticMethod_New(fn.get()) : PyClassMethod_New(fn.get()));
    }
    default:
      return Ref(PyCFunction_NewEx(def, module, module_name));
  }
}

// The preparation named `operation` (an exact str), or null with an error set.
Preparer preparer_named(PyObject* operation) {
  if (!PyUnicode_CheckExact(operation)) {
    PyErr_Format(PyExc_TypeError, "the operation must be named by a str, not %.200s", Py_TYPE(operation)->tp_name);
    return nullptr;
  }
  for (const Preparation& known : g_preparations) {
    if (PyUnicode_Compare(known.name, operation) == 0) return known.preparer;
  }
  PyErr_Format(PyExc_ValueError, "no operation is named %R", operation);
  return nullptr;
}

}  // namespace

bool add_surface(PyObject* module, const Entry* entries, size_t count) {
  if (g_definitions.empty() && !define(entries, count)) return false;
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  Ref cls;
  for (size_t i = 0; i < count; ++i) {
    const Entry& entry = entries[i];
    if (entry.kind == Kind::Preparation) continue;
    if (entry.kind == Kind::Type) {
      Ref bases(PyTuple_Pack(1, base_of(entry.parameters)));
      cls = bases ? make_class(entry.name, bases.get(), entry.doc, module_name.get()) : Ref();
      if (!cls) return false;
      // The module its methods run in, found from the class as for a class made from a spec.
      reinterpret_cast<PyHeapTypeObject*>(cls.get())->ht_module = Py_NewRef(module);
      if (PyModule_AddObjectRef(module, entry.name, cls.get()) < 0) return false;
      continue;
    }
    const bool module_function = entry.kind == Kind::Function || entry.kind == Kind::Dispatcher;
    Ref value = member(entry, &g_definitions[i], module_function ? nullptr : cls.get(), module, module_name.get());
    if (!value) return false;
    const int added = module_function ? PyModule_AddObjectRef(module, entry.name, value.get())
                                      : PyObject_SetAttrString(cls.get(), entry.name, value.get());
    if (added < 0) return false;
  }
  return true;
}

PyObject* dispatch_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* lead[2];
  // Fewer than the two leading arguments: the binder says which are missing.
  if (!g_dispatcher_signature->bind(args, nargs < 2 ? nargs : 2, nullptr, lead)) return nullptr;
  Preparer preparer = preparer_named(lead[0]);  // no Python code runs: an exact str is compared
  return preparer == nullptr ? nullptr : preparer(module, lead[1], args + 2, nargs - 2, kwnames);
}

Ref call_global(PyObject* name, PyObject* const* args, size_t nargs, PyObject* kwnames) {
  Ref fn = global(name);
  if (!fn) return Ref();
  return Ref(PyObject_Vectorcall(fn.get(), args, nargs, kwnames));
}

}  // namespace quillmarsh::host
