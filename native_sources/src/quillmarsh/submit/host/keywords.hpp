// Calls with keyword arguments whose names are fixed at the call site.
#pragma once

#include <initializer_list>
#include <vector>

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

// The names of a keyword-only call, built once: `kw.call(fn, values)` is
// `fn(name0=values[0], name1=values[1], ...)`, and `kw.call(fn, values, npos)` passes the
// first `npos` values positionally before them.
class Keywords {
 public:
  Keywords(std::initializer_list<const char*> names);
  explicit Keywords(const std::vector<const char*>& names);
  Py_ssize_t size() const { return size_; }
  Ref call(PyObject* callable, PyObject* const* values, size_t npositional = 0) const;
  // The names as a kwnames tuple, for calls made some other way (a method call through an
  // object); null with an error set when they could not be built.
  PyObject* names() const;

 private:
  template <typename Names>
  void make(const Names& names);

  PyObject* names_ = nullptr;  // tuple of interned str, kept for the process lifetime
  Py_ssize_t size_ = 0;
};

}  // namespace quillmarsh::host
