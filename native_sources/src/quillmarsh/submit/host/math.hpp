// `math.<fn>(x)` as a module's Python code would call it: `math` read from the module's
// namespace and `<fn>` from it now; while that is the host's own builtin (the one the module
// saw when it was made), the answer is computed here.
#pragma once

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

enum class MathFunction { IsFinite, IsNan, IsInf, Count };

// The function's name in `math`.
PyObject* math_name(MathFunction fn);

// `math.<fn>(x)` for the float `x` (`x_obj` is that float as an object, or null to have it
// built only when needed): `native` (as True or False) while the host's builtin is in place,
// else whatever the replacement answers.
Ref math_call(MathFunction fn, double x, PyObject* x_obj, bool native);

}  // namespace quillmarsh::host
