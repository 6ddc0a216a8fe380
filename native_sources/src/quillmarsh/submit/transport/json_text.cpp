#include "quillmarsh/submit/transport/json_text.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/names.hpp"

namespace quillmarsh::transport {

namespace {

constexpr int kMaxDepth = 200;  // deeper values go to the host, which guards its own recursion
constexpr char kHex[] = "0123456789abcdef";

void write_escape(std::string& out, Py_UCS4 c) {
  out += "\\u";
  out += kHex[(c >> 12) & 0xF];
  out += kHex[(c >> 8) & 0xF];
  out += kHex[(c >> 4) & 0xF];
  out += kHex[c & 0xF];
}

bool plain_char(Py_UCS4 c) { return c >= ' ' && c <= '~' && c != '\\' && c != '"'; }

// A str as the host's ASCII-only encoder writes it; runs of characters written as they are
// go out in one append.
void write_string(PyObject* text, std::string& out) {
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  out += '"';
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (plain_char(c)) {
      if (kind == PyUnicode_1BYTE_KIND) {
        const char* bytes = static_cast<const char*>(data);
        Py_ssize_t end = i + 1;
        while (end < n && plain_char(static_cast<unsigned char>(bytes[end]))) ++end;
        out.append(bytes + i, static_cast<size_t>(end - i));
        i = end - 1;
      } else {
        out += static_cast<char>(c);
      }
      continue;
    }
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c >= 0x10000) {
          Py_UCS4 v = c - 0x10000;
          write_escape(out, 0xD800 | ((v >> 10) & 0x3FF));
          write_escape(out, 0xDC00 | (v & 0x3FF));
        } else {
          write_escape(out, c);
        }
    }
  }
  out += '"';
}

// The shortest text of a double, as repr writes it, for the doubles written lately: a body
// and the canonical form of its key hold the same values, and finding a double's shortest
// text is the dearest step of writing either. Keyed by the double's bits (so 0.0 and -0.0
// differ), direct-mapped; the GIL guards it, and a text depends on nothing but the bits.
struct FloatText {
  uint64_t bits;
  uint8_t size;  // 0: the slot is empty
  char text[31];
};
constexpr size_t kFloatTexts = 4096;
FloatText g_float_texts[kFloatTexts];

bool write_finite_float(double v, std::string& out) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  FloatText& slot = g_float_texts[(bits ^ (bits >> 29) ^ (bits >> 47)) & (kFloatTexts - 1)];
  if (slot.size != 0 && slot.bits == bits) {
    out.append(slot.text, slot.size);
    return true;
  }
  char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  const size_t size = std::strlen(text);
  out.append(text, size);
  if (size < sizeof slot.text) {
    slot.bits = bits;
    slot.size = static_cast<uint8_t>(size);
    std::memcpy(slot.text, text, size);
  }
  PyMem_Free(text);
  return true;
}

bool write_number_text(PyObject* text, std::string& out) {
  Py_ssize_t size = 0;
  const char* bytes = text ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (bytes == nullptr) return false;
  out.append(bytes, static_cast<size_t>(size));
  return true;
}

bool write_value(PyObject* value, JsonForm form, std::string& out, int depth);

bool write_dict(PyObject* dict, JsonForm form, std::string& out, int depth) {
  std::vector<std::pair<PyObject*, PyObject*>> items;
  items.reserve(static_cast<size_t>(PyDict_GET_SIZE(dict)));
  Py_ssize_t pos = 0;
  PyObject *key, *item;
  while (PyDict_Next(dict, &pos, &key, &item)) {
    if (!PyUnicode_CheckExact(key)) return false;
    items.emplace_back(key, item);
  }
  // Exact str keys compare by code point, as the host's sort does; comparing them runs no
  // code of the interpreter, so the dict cannot change meanwhile.
  const bool canonical = form == JsonForm::Canonical;
  if (canonical) {
    std::sort(items.begin(), items.end(),
              [](const auto& a, const auto& b) { return PyUnicode_Compare(a.first, b.first) < 0; });
  }
  out += '{';
  bool first = true;
  for (const auto& [k, v] : items) {
    if (!first) out += canonical ? "," : ", ";
    first = false;
    write_string(k, out);
    out += canonical ? ":" : ": ";
    if (!write_value(v, form, out, depth + 1)) return false;
  }
  out += '}';
  return true;
}

bool write_sequence(PyObject* seq, JsonForm form, std::string& out, int depth) {
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  PyObject** items = PySequence_Fast_ITEMS(seq);
  out += '[';
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i) out += form == JsonForm::Canonical ? "," : ", ";
    if (!write_value(items[i], form, out, depth + 1)) return false;
  }
  out += ']';
  return true;
}

bool write_value(PyObject* value, JsonForm form, std::string& out, int depth) {
  if (depth > kMaxDepth) return false;
  if (PyUnicode_CheckExact(value)) {
    write_string(value, out);
    return true;
  }
  if (value == Py_None) {
    out += "null";
    return true;
  }
  if (value == Py_True || value == Py_False) {
    out += value == Py_True ? "true" : "false";
    return true;
  }
  if (PyLong_CheckExact(value)) {
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (!overflow && !(small == -1 && PyErr_Occurred())) {  // a machine integer: its decimal digits
      char digits[24];
      auto written = std::to_chars(digits, digits + sizeof digits, small);
      out.append(digits, static_cast<size_t>(written.ptr - digits));
      return true;
    }
    PyErr_Clear();
    host::Ref text(PyObject_Repr(value));
    if (write_number_text(text.get(), out)) return true;
    PyErr_Clear();  // an int too long for its text: the host raises that itself
    return false;
  }
  if (PyFloat_CheckExact(value)) {
    double v = PyFloat_AS_DOUBLE(value);
    if (!Py_IS_FINITE(v)) {
      if (form == JsonForm::Canonical) return false;  // refused by allow_nan=False: the host raises
      out += Py_IS_NAN(v) ? "NaN" : (v > 0 ? "Infinity" : "-Infinity");
      return true;
    }
    return write_finite_float(v, out);
  }
  if (PyDict_CheckExact(value)) return write_dict(value, form, out, depth);
  if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) return write_sequence(value, form, out, depth);
  return false;
}

}  // namespace

int host_dumps_in_place() {
  host::Ref dumps = host::global_attr(QM_NAME("json"), QM_NAME("dumps"));
  if (!dumps) return -1;
  return dumps.get() == host::state()[host::State::HostDumps];
}

bool write_json(PyObject* value, JsonForm form, std::string& out) { return write_value(value, form, out, 0); }

}  // namespace quillmarsh::transport
