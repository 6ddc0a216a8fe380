// Owned references to host objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quillmarsh::host {

// Holds one strong reference and releases it on scope exit. A null Ref means "a host
// exception is set" wherever a function returns one, unless documented otherwise.
class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new (owned) reference, which may be null.
  explicit Ref(PyObject* owned) noexcept : ptr_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(ptr_);
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }

  PyObject* get() const noexcept { return ptr_; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  void reset(PyObject* owned = nullptr) noexcept {
    Py_XDECREF(ptr_);
    ptr_ = owned;
  }

 private:
  PyObject* ptr_ = nullptr;
};

}  // namespace quillmarsh::host
