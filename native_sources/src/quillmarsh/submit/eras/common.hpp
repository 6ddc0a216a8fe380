// Host operations shared by the era readers: dict.get, walking a list, and the two kinds of
// equality.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "quillmarsh/submit/host/entry.hpp"
#include "quillmarsh/submit/host/iterate.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/objects.hpp"

namespace quillmarsh::eras {

using host::Ref;

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
