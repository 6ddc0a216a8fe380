// Interned attribute and key names, created once per name on first use.
#pragma once

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

// Returns a borrowed, interned str that lives as long as the process; null with an
// exception set only when the interpreter is out of memory.
PyObject* intern_once(PyObject** slot, const char* text);

}  // namespace quillmarsh::host

// QM_NAME("reason") yields a borrowed interned str for a literal.
#define QM_NAME(literal)                                    \
  ([]() -> PyObject* {                                      \
    static PyObject* slot = nullptr;                        \
    return ::quillmarsh::host::intern_once(&slot, literal); \
  }())
