// Host operations shared by the era readers: module globals with a direct path to the
// module's own functions, dict.get, walking a list, and the two kinds of equality.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "quillmarsh/submit/host/entry.hpp"
#include "quillmarsh/submit/host/iterate.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/objects.hpp"

namespace quillmarsh::eras {

using host::Ref;

// A module global read now, the way a bare name is read in a Python function body.
// `own` is true while the name still holds the module's own function for `def`, so
// the caller may run the native code without going through the interpreter.
struct Global {
  Ref fn;  // null with NameError set when the name is missing
  bool own = false;
};

inline Global resolve(PyObject* name, const PyMethodDef& def) {
  Global g{host::global(name)};
  g.own = g.fn && host::is_own_function(g.fn.get(), &def);
  return g;
}

// Calls a global that is not (or no longer) the module's own function.
inline Ref call(const Global& g, PyObject* const* args, size_t nargs, PyObject* kwnames = nullptr) {
  return Ref(PyObject_Vectorcall(g.fn.get(), args, nargs, kwnames));
}

// ("market_id", "era_number"), the keywords the era choice is called with.
PyObject* market_era_kwnames();

// `mapping.get(key)` on a dict or dict subclass (a subclass's own `get` is honoured).
inline Ref dict_get(PyObject* mapping, PyObject* key) { return host::mapping_get(mapping, key); }

// `value` itself: truthiness as `if value:` tests it; 1, 0 or -1 with an error set.
inline int truthy(PyObject* value) { return value == Py_None ? 0 : PyObject_IsTrue(value); }

// `a == b` as the operator evaluates it, with no identity shortcut: 1, 0 or -1.
int equals(PyObject* a, PyObject* b);

// `for item in sequence: ...` with each item held (see host::for_each).
using host::for_each;

using host::raise_value_error;

}  // namespace quillmarsh::eras
