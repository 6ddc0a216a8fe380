#include "quillmarsh/submit/transport/url.hpp"

#include <array>
#include <string>

#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/text.hpp"

namespace quillmarsh::transport {

using host::Ref;

namespace {

constexpr char kUnreserved[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";

constexpr std::array<bool, 256> unreserved_table() {
  std::array<bool, 256> table{};
  for (const char* c = kUnreserved; *c; ++c) table[static_cast<unsigned char>(*c)] = true;
  return table;
}
constexpr std::array<bool, 256> kUnreservedTable = unreserved_table();

}  // namespace

PyObject* join_url(PyObject*, PyObject* server_url, PyObject* endpoint) {
  Ref slash(PyUnicode_FromString("/"));
  if (!slash) return nullptr;
  Ref base(PyObject_CallMethodOneArg(server_url, QM_NAME("rstrip"), slash.get()));
  if (!base) return nullptr;
  Ref path(PyObject_CallMethodOneArg(endpoint, QM_NAME("lstrip"), slash.get()));
  if (!path) return nullptr;
  Ref base_text = host::Ref(PyObject_Format(base.get(), nullptr));
  Ref path_text = base_text ? Ref(PyObject_Format(path.get(), nullptr)) : Ref();
  if (!path_text) return nullptr;
  Ref with_slash(PyUnicode_Concat(base_text.get(), slash.get()));
  if (!with_slash) return nullptr;
  return PyUnicode_Concat(with_slash.get(), path_text.get());
}

PyObject* percent_encode(PyObject*, PyObject* value) {
  Ref raw = host::encode_utf8(value);
  if (!raw) return nullptr;
  if (!PyBytes_Check(raw.get())) {
    PyErr_Format(PyExc_TypeError, "encoding produced %.200s, not bytes", Py_TYPE(raw.get())->tp_name);
    return nullptr;
  }
  Ref unreserved = host::global(QM_NAME("_UNRESERVED_BYTES"));
  if (!unreserved) return nullptr;
  const bool own_set = unreserved.get() == host::state()[host::State::UnreservedSet];
  const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(raw.get()));
  const Py_ssize_t n = PyBytes_GET_SIZE(raw.get());
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(static_cast<size_t>(n) * 3);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const unsigned char b = bytes[i];
    int keep;
    if (own_set) {
      keep = kUnreservedTable[b];
    } else {
      Ref item(PyLong_FromLong(b));
      keep = item ? PySequence_Contains(unreserved.get(), item.get()) : -1;
      if (keep < 0) return nullptr;
    }
    if (keep) {
      out.push_back(static_cast<char>(b));
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0xF]);
    }
  }
  // Bytes kept as they are may come from a replaced set; decode them one to one.
  return PyUnicode_DecodeLatin1(out.data(), static_cast<Py_ssize_t>(out.size()), nullptr);
}

// The frozenset the module binds to _UNRESERVED_BYTES; while the name still holds it, encoding
// uses the table above instead of asking the set byte by byte (the state keeps it to tell).
Ref make_unreserved_bytes() {
  Ref raw(PyBytes_FromString(kUnreserved));
  return raw ? Ref(PyFrozenSet_New(raw.get())) : Ref();
}

}  // namespace quillmarsh::transport
