#include "quillmarsh/submit/transport/token.hpp"

#include <vector>

#include "quillmarsh/submit/host/names.hpp"

namespace quillmarsh::transport {

using host::Ref;

namespace {

// Shorter texts are redacted only as part of the header value ("Bearer <token>"): replacing
// every occurrence of a two-letter token would maim the rest of the message.
constexpr Py_ssize_t kShortestBareForm = 8;
constexpr int kLongestChain = 64;

bool is_control(Py_UCS4 c) { return (c < 0x20 && c != '\t') || c == 0x7F; }

// `text[start:len(text) - end]`
Ref inner(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
  if (text == nullptr) return Ref();
  return Ref(PyUnicode_Substring(text, start, PyUnicode_GET_LENGTH(text) - end));
}

// The texts in which `value` shows up in messages: itself, its str repr and its UTF-8
// bytes repr without their quotes.
bool add_forms(PyObject* value, std::vector<Ref>& forms) {
  Ref repr(PyObject_Repr(value));
  Ref encoded(PyUnicode_AsEncodedString(value, "utf-8", "surrogatepass"));
  Ref bytes_repr = encoded ? Ref(PyObject_Repr(encoded.get())) : Ref();
  Ref str_form = inner(repr.get(), 1, 1);
  Ref bytes_form = inner(bytes_repr.get(), 2, 1);
  if (!str_form || !bytes_form) return false;
  forms.push_back(Ref::borrow(value));
  forms.push_back(std::move(str_form));
  forms.push_back(std::move(bytes_form));
  return true;
}

bool token_forms(PyObject* token_text, std::vector<Ref>& forms) {
  Ref header_value(PyUnicode_Concat(QM_NAME("Bearer "), token_text));
  if (!header_value || !add_forms(header_value.get(), forms)) return false;
  Ref stripped(PyObject_CallMethodNoArgs(token_text, QM_NAME("strip")));
  if (!stripped) return false;
  for (PyObject* bare : {token_text, stripped.get()}) {
    if (PyUnicode_GET_LENGTH(bare) >= kShortestBareForm && !add_forms(bare, forms)) return false;
  }
  return true;
}

// `text` with every form replaced; `changed` tells whether any was found.
Ref redacted(PyObject* text, const std::vector<Ref>& forms, bool& changed) {
  Ref out = Ref::borrow(text);
  for (const Ref& form : forms) {
    if (PyUnicode_GET_LENGTH(form.get()) == 0) continue;
    Py_ssize_t found = PyUnicode_Find(out.get(), form.get(), 0, PyUnicode_GET_LENGTH(out.get()), 1);
    if (found == -2) return Ref();
    if (found < 0) continue;
    changed = true;
    out = Ref(PyUnicode_Replace(out.get(), form.get(), QM_NAME("***"), -1));
    if (!out) return Ref();
  }
  return out;
}

// Redacts one exception: the str items of its args, the text a UnicodeError quotes, and, when
// its message is made some other way (an OSError's strerror, a __str__ of its own) and still
// shows the token, its message as a whole.
bool redact_one(PyObject* exc, const std::vector<Ref>& forms) {
  Ref args(PyObject_GetAttrString(exc, "args"));
  if (!args || !PyTuple_Check(args.get())) return static_cast<bool>(args);
  const Py_ssize_t n = PyTuple_GET_SIZE(args.get());
  Ref clean_args(PyTuple_New(n));
  if (!clean_args) return false;
  bool changed = false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(args.get(), i);
    Ref clean = PyUnicode_Check(item) ? redacted(item, forms, changed) : Ref::borrow(item);
    if (!clean) return false;
    PyTuple_SET_ITEM(clean_args.get(), i, clean.release());
  }
  if (changed && PyObject_SetAttrString(exc, "args", clean_args.get()) < 0) return false;
  // The attributes an OSError's or a UnicodeError's text is made of.
  const bool os_error = PyErr_GivenExceptionMatches(exc, PyExc_OSError);
  const bool unicode_error = PyErr_GivenExceptionMatches(exc, PyExc_UnicodeError);
  for (const char* name : {"strerror", "filename", "filename2", "object"}) {
    if (!(os_error && name[0] != 'o') && !(unicode_error && name[0] == 'o')) continue;
    Ref value(PyObject_GetAttrString(exc, name));
    if (!value) return false;
    bool value_changed = false;
    Ref clean = PyUnicode_Check(value.get()) ? redacted(value.get(), forms, value_changed) : Ref::borrow(value.get());
    if (!clean || (value_changed && PyObject_SetAttrString(exc, name, clean.get()) < 0)) return false;
  }
  Ref text(PyObject_Str(exc));
  if (!text) return false;
  bool shown = false;
  Ref clean = redacted(text.get(), forms, shown);
  if (!clean) return false;
  if (!shown) return true;
  Ref message(PyTuple_Pack(1, clean.get()));
  return message && PyObject_SetAttrString(exc, "args", message.get()) == 0;
}

}  // namespace

bool refuse_unsendable_token(PyObject* token_text) {
  if (!PyUnicode_Check(token_text)) return true;
  const int kind = PyUnicode_KIND(token_text);
  const void* data = PyUnicode_DATA(token_text);
  for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(token_text); i < n; ++i) {
    if (is_control(PyUnicode_READ(kind, data, i))) {
      PyErr_SetString(PyExc_ValueError,
                      "the bearer token cannot be sent in an HTTP header: it holds a control character "
                      "(a line break, NUL, ...); strip the whitespace around a token read from a file");
      return false;
    }
  }
  return true;
}

bool redact_token(PyObject* exc, PyObject* token_text) {
  if (!PyUnicode_Check(token_text) || PyUnicode_GET_LENGTH(token_text) == 0) return true;
  std::vector<Ref> forms;
  if (!token_forms(token_text, forms)) return false;
  // The chain of causes and contexts, each exception once.
  std::vector<Ref> seen;
  std::vector<Ref> pending;
  pending.push_back(Ref::borrow(exc));
  while (!pending.empty() && static_cast<int>(seen.size()) < kLongestChain) {
    Ref current = std::move(pending.back());
    pending.pop_back();
    bool known = false;
    for (const Ref& s : seen) known = known || s.get() == current.get();
    if (known || !PyExceptionInstance_Check(current.get())) continue;
    if (!redact_one(current.get(), forms)) return false;
    Ref cause(PyException_GetCause(current.get()));
    Ref context(PyException_GetContext(current.get()));
    if (cause) pending.push_back(std::move(cause));
    if (context) pending.push_back(std::move(context));
    seen.push_back(std::move(current));
  }
  return true;
}

}  // namespace quillmarsh::transport
