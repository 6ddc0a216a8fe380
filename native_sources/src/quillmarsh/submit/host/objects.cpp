#include "quillmarsh/submit/host/objects.hpp"

#include "quillmarsh/submit/host/names.hpp"
#include "quillmarsh/submit/host/text.hpp"

namespace quillmarsh::host {

Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* found = PyDict_GetItemWithError(mapping, key);
    if (found == nullptr && PyErr_Occurred()) return Ref();
    return Ref::borrow(found ? found : (fallback ? fallback : Py_None));
  }
  PyObject* args[] = {mapping, key, fallback};
  return Ref(PyObject_VectorcallMethod(QM_NAME("get"), args, fallback ? 3 : 2, nullptr));
}

std::nullptr_t raise_value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return nullptr;
}

std::nullptr_t raise_value_error(std::initializer_list<PyObject*> pieces) {
  Ref message = join(pieces);
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

}  // namespace quillmarsh::host
