// Shapes of native entry points.
#pragma once

#include "quillmarsh/submit/host/args.hpp"
#include "quillmarsh/submit/host/errors.hpp"
#include "quillmarsh/submit/host/names.hpp"
#include "quillmarsh/submit/host/ref.hpp"

// Every entry point is a METH_FASTCALL | METH_KEYWORDS function.
#define QM_FASTCALL_ENTRY(fn) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS

namespace quillmarsh::host {
using FastcallFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
}
