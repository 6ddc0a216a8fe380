// The module object a call runs in: its namespace (read at call time, like a Python
// module's globals) and its state. Each import of the module makes a module object of its
// own; a function runs against the module it belongs to, as a Python function runs against
// its `__globals__`.
#pragma once

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

// What a module object keeps besides its namespace: caches, and the objects it compares
// against to know that a name still holds what the module put there. Every slot holds a
// strong reference or null; the collector visits and clears them all, as one array.
struct State {
  enum Slot : int {
    NamespaceDict,   // the module's __dict__
    InitMethodType,  // the type of the classes' __init__ (init_method.hpp)
    UnreservedSet,   // the _UNRESERVED_BYTES the module made
    HostDumps,       // json.dumps as the module imported it
    PathCache,       // exact str URL -> its path, while PathCacheParser is httpx.URL
    PathCacheParser,
    MathBuiltins,  // math.isfinite, isnan, isinf as the module imported them (MathFunction order)
    Count = MathBuiltins + 3,
  };
  PyObject* slots[Count];

  PyObject*& operator[](int slot) { return slots[slot]; }
};

extern PyModuleDef module_def;

State* state_of(PyObject* module);

// The module of the call under way on this thread (set by every entry point, see surface.hpp).
PyObject* module();
State& state();

// While alive, `module` is the module of the calls on this thread; the previous one comes
// back afterwards (a call may reach another module object's functions).
class ModuleScope {
 public:
  explicit ModuleScope(PyObject* module);
  ~ModuleScope();
  ModuleScope(const ModuleScope&) = delete;
  ModuleScope& operator=(const ModuleScope&) = delete;

 private:
  PyObject* previous_;
};

// The module a class of ours was made by (null with an error set for another class).
PyObject* module_of(PyTypeObject* cls);

// The current value of a module global, like a bare name in Python: a new reference, or
// null with NameError("name 'x' is not defined") set.
Ref global(PyObject* name);

// Attribute of a module global: `json.dumps` with both names read now.
Ref global_attr(PyObject* name, PyObject* attr);

}  // namespace quillmarsh::host
