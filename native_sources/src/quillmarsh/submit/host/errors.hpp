// Raising and chaining host exceptions from native code.
#pragma once

#include <exception>
#include <new>

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

// The exception being raised, taken out of the error indicator and normalised
// (null when none is set).
Ref take_exception();

// Sets `exc` (an instance taken with take_exception) as the exception being raised again,
// with its own traceback, as a bare `raise` does. Always returns null.
std::nullptr_t restore_exception(const Ref& exc);

// Raises `exc` (an instance) as `raise exc from cause`: __cause__ and __context__ are
// `cause`, __suppress_context__ is true. Steals nothing; always returns null.
std::nullptr_t raise_from(PyObject* exc, PyObject* cause);

// Instantiates `exc_type(message)` and raises it from `cause`.
std::nullptr_t raise_type_from(PyObject* exc_type, PyObject* message, PyObject* cause);

// `a, b = value` with the interpreter's own unpacking errors.
bool unpack_pair(PyObject* value, Ref& first, Ref& second);

// Runs an entry body so that no C++ exception reaches the interpreter.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected native error");
    return nullptr;
  }
}

}  // namespace quillmarsh::host
