// One argument parser for every vectorcall entry point, with the host's own messages.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "quillmarsh/submit/host/ref.hpp"

namespace quillmarsh::host {

struct Param {
  const char* name;
  bool required;
};

// Describes a parameter list of positional-or-keyword parameters followed by
// keyword-only ones, like `def f(a, b=None, *, c, d=None)`. Errors read exactly like
// those the interpreter raises for such a Python function.
class Signature {
 public:
  // `qualname` names the callable in messages ("SignalServiceClient.close").
  // `implicit_first` is 1 for methods: the interpreter counts `self`/`cls` in the
  // "takes N positional arguments" message, and a keyword naming it (`implicit_name`,
  // "self" unless given) has "multiple values".
  Signature(const char* qualname, int implicit_first, int n_positional, std::initializer_list<Param> params,
            const char* implicit_name = "self");

  // The parameters as a Python `def` writes them (without `self` or `cls`): "graph,
  // named_universe=None, *, signal_pool_name". A default is a literal (None, True, False, an
  // int, a float, a quoted str); bind() fills it in for an argument not given. False with
  // SystemError set when the text is not of that form.
  static bool parse(const char* qualname, int implicit_first, const char* implicit_name, const char* parameters,
                    Signature*& out);

  int size() const { return static_cast<int>(params_.size()); }

  // Fills out[0..size) with borrowed values: the defaults of a parsed signature for the
  // parameters not given, else nullptr.
  // Returns false with a TypeError set when the call does not fit.
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;

  // The same for a class method, which receives its class as the first positional argument
  // (args[0]); the rest is bound as above.
  bool bind_after_class(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;

 private:
  void too_many_positional(Py_ssize_t given, PyObject* const* out) const;
  void missing(const char* kind, int from, int to, PyObject* const* out) const;

  const char* qualname_;
  int implicit_first_;
  PyObject* implicit_name_ = nullptr;  // interned; null for functions
  int n_positional_;
  std::vector<Param> params_;
  std::vector<PyObject*> interned_;
  std::vector<PyObject*> defaults_;     // parsed signatures only; null for a required parameter
  std::vector<std::string> names_;      // the storage of params_' names, for parsed signatures
  int min_positional_ = 0;              // parsed signatures: positional arguments a call must give
  bool required_keyword_only_ = false;  // parsed signatures: a keyword-only parameter without default
};

}  // namespace quillmarsh::host
