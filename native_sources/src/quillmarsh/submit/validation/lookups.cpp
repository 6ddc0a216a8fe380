#include "quillmarsh/submit/validation/lookups.hpp"

namespace quillmarsh::validation {

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
