// `for item in iterable:` with each item held as an owned reference while the body runs.
#pragma once

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

// Runs `body(item)` for each item; the body returns 0 to go on, anything else to stop.
// Returns what stopped the walk, 0 at the end, or -1 when iterating failed. An exact list
// is walked by index with its length read at every step, as its iterator does, so a body
// that changes the list meets what a Python loop would meet.
template <typename Body>
int for_each(PyObject* iterable, Body&& body) {
  if (PyList_CheckExact(iterable)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
      if (int r = body(item.get())) return r;
    }
    return 0;
  }
  Ref it(PyObject_GetIter(iterable));
  if (!it) return -1;
  for (;;) {
    Ref item(PyIter_Next(it.get()));
    if (!item) return PyErr_Occurred() ? -1 : 0;
    if (int r = body(item.get())) return r;
  }
}

}  // namespace quillmarsh::host
