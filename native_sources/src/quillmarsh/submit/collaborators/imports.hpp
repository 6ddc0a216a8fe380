// Binding the host modules and the package's sibling modules into the module namespace.
#pragma once

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::collaborators {

// Performs the module's imports in their fixed order and binds the names; false with the
// import's exception set when any of them fails, which fails the module's import.
bool bind_imports(PyObject* module);

}  // namespace quillmarsh::collaborators
