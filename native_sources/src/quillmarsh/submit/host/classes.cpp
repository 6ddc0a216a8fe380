#include "quillmarsh/submit/host/classes.hpp"

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

}  // namespace quillmarsh::host
