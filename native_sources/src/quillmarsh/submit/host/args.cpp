#include "quillmarsh/submit/host/args.hpp"

namespace quillmarsh::host {

Signature::Signature(const char* qualname, int implicit_first, int n_positional, std::initializer_list<Param> params,
                     const char* implicit_name)
    : qualname_(qualname), implicit_first_(implicit_first), n_positional_(n_positional), params_(params) {
  if (implicit_first_ && implicit_name != nullptr) {
    implicit_name_ = PyUnicode_InternFromString(implicit_name);  // kept for the process lifetime
  }
  interned_.reserve(params_.size());
  for (const Param& p : params_) {
    interned_.push_back(PyUnicode_InternFromString(p.name));  // kept for the process lifetime
  }
}

namespace {

// A default written as a Python literal: None, True, False, an int, a float, a quoted str.
PyObject* literal(const std::string& text) {
  if (text == "None") return Py_NewRef(Py_None);
  if (text == "True") return Py_NewRef(Py_True);
  if (text == "False") return Py_NewRef(Py_False);
  if (text.size() >= 2 && (text.front() == '\'' || text.front() == '"') && text.back() == text.front()) {
    return PyUnicode_FromStringAndSize(text.data() + 1, static_cast<Py_ssize_t>(text.size()) - 2);
  }
  Ref number(PyUnicode_FromString(text.c_str()));
  if (!number) return nullptr;
  const bool is_float = text.find_first_of(".eE") != std::string::npos;
  return is_float ? PyFloat_FromString(number.get()) : PyLong_FromUnicodeObject(number.get(), 10);
}

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

bool Signature::parse(const char* qualname, int implicit_first, const char* implicit_name, const char* parameters,
                      Signature*& out) {
  std::vector<std::string> names;
  std::vector<PyObject*> defaults;
  int n_positional = -1;
  std::string text(parameters);
  size_t start = 0;
  while (start <= text.size() && !trimmed(text).empty()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = trimmed(text.substr(start, comma - start));
    start = comma + 1;
    if (item == "*") {
      n_positional = static_cast<int>(names.size());
    } else {
      const size_t equals = item.find('=');
      names.push_back(trimmed(item.substr(0, equals)));
      PyObject* fallback = nullptr;
      if (equals != std::string::npos && !(fallback = literal(trimmed(item.substr(equals + 1))))) {
        PyErr_Format(PyExc_SystemError, "%s(): bad default in '%s'", qualname, item.c_str());
        return false;
      }
      defaults.push_back(fallback);
    }
    if (comma == text.size()) break;
  }
  if (n_positional < 0) n_positional = static_cast<int>(names.size());
  auto* sig = new Signature(qualname, implicit_first, n_positional, {}, implicit_name);  // kept for the process
  sig->names_ = std::move(names);
  for (size_t i = 0; i < sig->names_.size(); ++i) {
    sig->params_.push_back({sig->names_[i].c_str(), defaults[i] == nullptr});
    sig->interned_.push_back(PyUnicode_InternFromString(sig->names_[i].c_str()));
  }
  sig->defaults_ = std::move(defaults);
  for (int i = 0; i < sig->size(); ++i) {
    if (!sig->params_[i].required) continue;
    if (i < n_positional)
      sig->min_positional_ = i + 1;
    else
      sig->required_keyword_only_ = true;
  }
  out = sig;
  return true;
}

bool Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
  const int n = size();
  // The common call of a parsed signature: positional arguments only, every parameter given
  // or defaulted.
  if (kwnames == nullptr && !defaults_.empty() && nargs >= min_positional_ && nargs <= n_positional_ &&
      !required_keyword_only_) {
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (int i = static_cast<int>(nargs); i < n; ++i) out[i] = defaults_[i];
    return true;
  }
  for (int i = 0; i < n; ++i) out[i] = nullptr;
  const Py_ssize_t n_copy = nargs < n_positional_ ? nargs : n_positional_;
  for (Py_ssize_t i = 0; i < n_copy; ++i) out[i] = args[i];

  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", qualname_);
        return false;
      }
      int found = -1;
      for (int i = 0; i < n && found < 0; ++i) {
        if (interned_[i] == key) found = i;
      }
      for (int i = 0; i < n && found < 0; ++i) {
        int eq = PyUnicode_Compare(interned_[i], key) == 0;
        if (eq) found = i;
      }
      if (found < 0 && implicit_name_ != nullptr && PyUnicode_Compare(implicit_name_, key) == 0) {
        // `self` is already bound positionally, as in `obj.method(self=...)`.
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", qualname_, key);
        return false;
      }
      if (found < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", qualname_, key);
        return false;
      }
      if (out[found] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", qualname_, key);
        return false;
      }
      out[found] = args[nargs + k];
    }
  }

  if (nargs > n_positional_) {
    too_many_positional(nargs, out);
    return false;
  }
  for (int i = 0; i < n_positional_; ++i) {
    if (params_[i].required && out[i] == nullptr) {
      missing("positional", 0, n_positional_, out);
      return false;
    }
  }
  for (int i = n_positional_; i < n; ++i) {
    if (params_[i].required && out[i] == nullptr) {
      missing("keyword-only", n_positional_, n, out);
      return false;
    }
  }
  for (size_t i = 0; i < defaults_.size(); ++i) {
    if (out[i] == nullptr) out[i] = defaults_[i];
  }
  return true;
}

bool Signature::bind_after_class(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "%s() needs its class as the first argument", qualname_);
    return false;
  }
  return bind(args + 1, nargs - 1, kwnames, out);
}

void Signature::too_many_positional(Py_ssize_t given, PyObject* const* out) const {
  Py_ssize_t kwonly_given = 0;
  for (int i = n_positional_; i < size(); ++i) {
    if (out[i] != nullptr) ++kwonly_given;
  }
  Py_ssize_t argcount = n_positional_ + implicit_first_;
  Py_ssize_t defcount = 0;
  for (int i = 0; i < n_positional_; ++i) {
    if (!params_[i].required) ++defcount;
  }
  given += implicit_first_;
  Ref sig(defcount ? PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount)
                   : PyUnicode_FromFormat("%zd", argcount));
  if (!sig) return;
  bool plural = defcount ? true : argcount != 1;
  Ref kwonly_sig(kwonly_given ? PyUnicode_FromFormat(" positional argument%s (and %zd keyword-only argument%s)",
                                                     given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : "")
                              : PyUnicode_FromString(""));
  if (!kwonly_sig) return;
  PyErr_Format(PyExc_TypeError, "%s() takes %U positional argument%s but %zd%U %s given", qualname_, sig.get(),
               plural ? "s" : "", given, kwonly_sig.get(), given == 1 && !kwonly_given ? "was" : "were");
}

void Signature::missing(const char* kind, int from, int to, PyObject* const* out) const {
  Ref names(PyList_New(0));
  if (!names) return;
  for (int i = from; i < to; ++i) {
    if (params_[i].required && out[i] == nullptr) {
      Ref r(PyObject_Repr(interned_[i]));
      if (!r || PyList_Append(names.get(), r.get()) < 0) return;
    }
  }
  const Py_ssize_t len = PyList_GET_SIZE(names.get());
  Ref text;
  if (len == 1) {
    text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
  } else if (len == 2) {
    text = Ref(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0), PyList_GET_ITEM(names.get(), 1)));
  } else {
    Ref head(PyList_GetSlice(names.get(), 0, len - 2));
    Ref sep(PyUnicode_FromString(", "));
    if (!head || !sep) return;
    Ref joined(PyUnicode_Join(sep.get(), head.get()));
    if (!joined) return;
    text = Ref(PyUnicode_FromFormat("%U, %U, and %U", joined.get(), PyList_GET_ITEM(names.get(), len - 2),
                                    PyList_GET_ITEM(names.get(), len - 1)));
  }
  if (!text) return;
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required %s argument%s: %U", qualname_, len, kind,
               len == 1 ? "" : "s", text.get());
}

}  // namespace quillmarsh::host
