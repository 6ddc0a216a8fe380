// `math.<fn>(x)` as a module's Python code would call it: `math` read from the module's
// namespace and `<fn>` from it now; while that is the host's own builtin, the answer is
// computed here.
#pragma once

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

// `math.<attr>(x)` for the float `x` (`x_obj` is that float as an object, or null to have it
// built only when needed): `native` (as True or False) while the host's builtin is in place,
// else whatever the replacement answers.
Ref math_call(PyObject* attr, double x, PyObject* x_obj, bool native);

}  // namespace quillmarsh::host
