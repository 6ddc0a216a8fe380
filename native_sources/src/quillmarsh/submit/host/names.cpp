#include "quillmarsh/submit/host/names.hpp"

namespace quillmarsh::host {

PyObject* intern_once(PyObject** slot, const char* text) {
  if (*slot == nullptr) {
    *slot = PyUnicode_InternFromString(text);
  }
  return *slot;
}

}  // namespace quillmarsh::host
