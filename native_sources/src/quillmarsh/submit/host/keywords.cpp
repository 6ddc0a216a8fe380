#include "quillmarsh/submit/host/keywords.hpp"

namespace quillmarsh::host {

Keywords::Keywords(std::initializer_list<const char*> names) { make(names); }

Keywords::Keywords(const std::vector<const char*>& names) { make(names); }

template <typename Names>
void Keywords::make(const Names& names) {
  size_ = static_cast<Py_ssize_t>(names.size());
  names_ = PyTuple_New(size_);
  if (names_ == nullptr) return;
  Py_ssize_t i = 0;
  for (const char* name : names) {
    PyObject* text = PyUnicode_InternFromString(name);
    if (text == nullptr) {
      Py_CLEAR(names_);
      return;
    }
    PyTuple_SET_ITEM(names_, i++, text);
  }
}

Ref Keywords::call(PyObject* callable, PyObject* const* values, size_t npositional) const {
  if (names_ == nullptr) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return Ref();
  }
  return Ref(PyObject_Vectorcall(callable, values, npositional, names_));
}

PyObject* Keywords::names() const {
  if (names_ == nullptr && !PyErr_Occurred()) PyErr_NoMemory();
  return names_;
}

}  // namespace quillmarsh::host
