// The module's surface, declared once. Each entry point is one row of the table in
// module.cpp: its Python name, its kind, its parameters as a Python `def` writes them, its doc
// line and its C++ body. The argument binder, the text signature, the method definition and
// the registration (in the table's order) all come from the row.
//
// A body is an ordinary function named after its Python name, with the module (or the
// instance, or the class) first and then one PyObject* per parameter in the declared order:
//
//     PyObject* join_url(PyObject* module, PyObject* server_url, PyObject* endpoint);
//
// It returns a new reference (a PyObject* or an owning Ref), or null with an error set. It
// runs with the module of the call as the current one (module_ns.hpp), its arguments bound
// and defaults filled in, inside guarded(). Code that calls another entry point goes through
// call<&body>(name, ...), by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "quillmarsh/submit/host/args.hpp"
#include "quillmarsh/submit/host/errors.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"

namespace quillmarsh::host {

enum class Kind : uint8_t {
  Type,      // a class: the rows after it, up to the next Type row, are its members
  Function,  // a module function
  Instance,  // an instance method (__init__ included)
  Static,    // a staticmethod
  Class,     // a classmethod
  Property,  // a read-only property (its getter)
  // An operation's preparation alone: bound by the module's preparation dispatcher (below),
  // not added to the module or a class.
  Preparation,
  // The preparation dispatcher: `name(operation, subject, /, *args, **kwargs)` binds the
  // arguments with the operation's row and returns what its preparation makes.
  Dispatcher,
};

template <typename F>
struct Arity;
template <typename R, typename... A>
struct Arity<R (*)(PyObject*, A...)> {
  static constexpr size_t value = sizeof...(A);
};

// Where a body's entry finds its binder and its Python name (both set from its row when the
// module is first made).
template <auto Body>
struct Binder {
  static inline Signature* signature = nullptr;
  static inline PyObject* name = nullptr;  // interned, for the process
};

template <auto Body, size_t... I>
PyObject* apply(PyObject* self, PyObject* const* a, std::index_sequence<I...>) {
  if constexpr (std::is_same_v<decltype(Body(self, a[I]...)), Ref>) {
    return Body(self, a[I]...).release();
  } else {
    return Body(self, a[I]...);
  }
}

// Binds the arguments and runs the body with `module` current.
template <auto Body>
PyObject* run(PyObject* module, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr size_t n = Arity<decltype(Body)>::value;
  PyObject* bound[n > 0 ? n : 1];
  if (!Binder<Body>::signature->bind(args, nargs, kwnames, bound)) return nullptr;
  ModuleScope scope(module);
  return guarded([&] { return apply<Body>(self, bound, std::make_index_sequence<n>{}); });
}

// Module functions and static methods: builtins bound to the module.
template <auto Body>
PyObject* function_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run<Body>(module, module, args, nargs, kwnames);
}

// Class methods: builtins bound to the module, wrapped in classmethod, so the class comes first.
template <auto Body>
PyObject* class_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs < 1) {  // called unbound, without its class: the binder says so
    Binder<Body>::signature->bind_after_class(args, nargs, kwnames, nullptr);
    return nullptr;
  }
  return run<Body>(module, args[0], args + 1, nargs - 1, kwnames);
}

// Instance methods and property getters: method descriptors that name their class, whose
// module the body runs in.
template <auto Body>
PyObject* method_entry(PyObject* self, PyTypeObject* defining_class, PyObject* const* args, size_t nargsf,
                       PyObject* kwnames) {
  PyObject* module = module_of(defining_class);
  if (module == nullptr) return nullptr;
  return run<Body>(module, self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

// Binds a call's arguments with a row's binder and runs its preparation on `subject` (the
// preparation dispatcher's entry into an operation's row).
using Preparer = PyObject* (*)(PyObject* module, PyObject* subject, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

template <auto Body, auto Prepared>
PyObject* prepare_entry(PyObject* module, PyObject* subject, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static_assert(std::is_same_v<decltype(Body), decltype(Prepared)>, "the preparation takes the body's parameters");
  constexpr size_t n = Arity<decltype(Body)>::value;
  PyObject* bound[n > 0 ? n : 1];
  if (!Binder<Body>::signature->bind(args, nargs, kwnames, bound)) return nullptr;
  ModuleScope scope(module);
  return guarded([&] { return apply<Prepared>(subject, bound, std::make_index_sequence<n>{}); });
}

// The dispatcher's entry (surface.cpp).
PyObject* dispatch_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// One row of the surface.
struct Entry {
  const char* name;
  Kind kind;
  const char* parameters;  // without self/cls; for a Type row, its base ("object", "Exception")
  const char* doc;
  void (*function)();           // the entry, as PyMethodDef wants it
  size_t arity;                 // the body's parameters
  Signature** signature;        // where the entry finds its binder
  PyObject** interned;          // where calls by name find the row's name
  Preparer preparer = nullptr;  // an operation's or a preparation's row: its preparation
};

template <auto Body, Kind K>
constexpr Entry row(const char* name, const char* parameters, const char* doc) {
  void (*entry)();
  if constexpr (K == Kind::Instance || K == Kind::Property) {
    entry = reinterpret_cast<void (*)()>(&method_entry<Body>);
  } else if constexpr (K == Kind::Class) {
    entry = reinterpret_cast<void (*)()>(&class_entry<Body>);
  } else {
    entry = reinterpret_cast<void (*)()>(&function_entry<Body>);
  }
  return Entry{
      name, K, parameters, doc, entry, Arity<decltype(Body)>::value, &Binder<Body>::signature, &Binder<Body>::name};
}

template <auto Body>
constexpr Entry function(const char* name, const char* parameters, const char* doc) {
  return row<Body, Kind::Function>(name, parameters, doc);
}
template <auto Body>
constexpr Entry method(const char* name, const char* parameters, const char* doc) {
  return row<Body, Kind::Instance>(name, parameters, doc);
}
template <auto Body>
constexpr Entry static_method(const char* name, const char* parameters, const char* doc) {
  return row<Body, Kind::Static>(name, parameters, doc);
}
template <auto Body>
constexpr Entry class_method(const char* name, const char* parameters, const char* doc) {
  return row<Body, Kind::Class>(name, parameters, doc);
}
template <auto Body>
constexpr Entry property(const char* name, const char* doc) {
  return row<Body, Kind::Property>(name, "", doc);
}
constexpr Entry type(const char* name, const char* base, const char* doc) {
  return Entry{name, Kind::Type, base, doc, nullptr, 0, nullptr, nullptr};
}

// An operation: an instance method whose body is `Body`, and whose preparation `Prepared`
// (the same parameters, bound by the same binder) the dispatcher reaches by the method's name.
template <auto Body, auto Prepared>
constexpr Entry operation(const char* name, const char* parameters, const char* doc) {
  Entry entry = row<Body, Kind::Instance>(name, parameters, doc);
  entry.preparer = &prepare_entry<Body, Prepared>;
  return entry;
}

// A preparation that no method drives, reached by the dispatcher alone.
template <auto Prepared>
constexpr Entry preparation(const char* name, const char* parameters, const char* doc) {
  Entry entry = row<Prepared, Kind::Preparation>(name, parameters, doc);
  entry.preparer = &prepare_entry<Prepared, Prepared>;
  return entry;
}

// The module function that reaches every preparation of the table by its row's name.
inline Entry dispatcher(const char* name, const char* doc) {
  return Entry{name,
               Kind::Dispatcher,
               "operation, subject, /, *args, **kwargs",
               doc,
               reinterpret_cast<void (*)()>(&dispatch_entry),
               0,
               nullptr,
               nullptr};
}

// Adds the surface to the module, in the table's order: classes with their members, module
// functions. False with an error set.
bool add_surface(PyObject* module, const Entry* entries, size_t count);

// Whether `fn` is the current module's own entry point for `Body` (not a replacement bound
// under its name, nor the function of another module object, which runs with that module's
// names as a Python function reads its own module's globals): then its body can run
// directly, without a trip through the interpreter.
template <auto Body>
bool is_own(PyObject* fn) {
  if (!PyCFunction_Check(fn) || PyCFunction_GET_SELF(fn) != module()) return false;
  auto* entry = reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(fn));
  return entry == reinterpret_cast<void (*)()>(&function_entry<Body>) ||
         entry == reinterpret_cast<void (*)()>(&class_entry<Body>);
}

// The one way to call a module global, as its name in a Python function body: the name of
// `Body`'s row, read now; while it holds the module's own function for `Body`, the body runs
// directly with the arguments given (`kwnames` names the last of them, as in a vectorcall),
// else the value is called.
template <auto Body, typename... Args>
Ref call_kw(PyObject* kwnames, Args... args) {
  constexpr size_t n = Arity<decltype(Body)>::value;
  static_assert(sizeof...(Args) <= n && (std::is_convertible_v<Args, PyObject*> && ...),
                "more arguments than the body takes");
  Ref fn = global(Binder<Body>::name);
  if (!fn) return Ref();
  PyObject* const argv[] = {args..., nullptr};
  const size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
  const Py_ssize_t npositional = static_cast<Py_ssize_t>(sizeof...(Args) - nkw);
  if (!is_own<Body>(fn.get())) return Ref(PyObject_Vectorcall(fn.get(), argv, npositional, kwnames));
  if constexpr (sizeof...(Args) == n) {  // every parameter given in order: nothing to bind
    if (kwnames == nullptr) return Ref(apply<Body>(module(), argv, std::make_index_sequence<n>{}));
  }
  PyObject* bound[n > 0 ? n : 1];
  if (!Binder<Body>::signature->bind(argv, npositional, kwnames, bound)) return Ref();
  return Ref(apply<Body>(module(), bound, std::make_index_sequence<n>{}));
}

template <auto Body, typename... Args>
Ref call(Args... args) {
  return call_kw<Body>(nullptr, args...);
}

// Calls a module global that has no native body here (a collaborator, a record type).
Ref call_global(PyObject* name, PyObject* const* args, size_t nargs, PyObject* kwnames = nullptr);

}  // namespace quillmarsh::host
