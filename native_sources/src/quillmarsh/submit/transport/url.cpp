#include "quillmarsh/submit/transport/url.hpp"

#include <array>
#include <string>

#include "quillmarsh/submit/host/module_ns.hpp"

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

// The frozenset created at import; while _UNRESERVED_BYTES still holds it, encoding uses
// the table above instead of asking the set byte by byte.
PyObject* g_unreserved_set = nullptr;

PyObject* join_url(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_join_url", 0, 2, {{"server_url", true}, {"endpoint", true}});
  PyObject* a[2];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    Ref slash(PyUnicode_FromString("/"));
    if (!slash) return nullptr;
    Ref base(PyObject_CallMethodOneArg(a[0], QM_NAME("rstrip"), slash.get()));
    if (!base) return nullptr;
    Ref path(PyObject_CallMethodOneArg(a[1], QM_NAME("lstrip"), slash.get()));
    if (!path) return nullptr;
    Ref base_text = host::Ref(PyObject_Format(base.get(), nullptr));
    Ref path_text = base_text ? Ref(PyObject_Format(path.get(), nullptr)) : Ref();
    if (!path_text) return nullptr;
    Ref with_slash(PyUnicode_Concat(base_text.get(), slash.get()));
    if (!with_slash) return nullptr;
    return PyUnicode_Concat(with_slash.get(), path_text.get());
  });
}

PyObject* percent_encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_percent_encode", 0, 1, {{"value", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    Ref utf8_name(PyUnicode_FromString("utf-8"));
    if (!utf8_name) return nullptr;
    Ref raw(PyObject_CallMethodOneArg(a[0], QM_NAME("encode"), utf8_name.get()));
    if (!raw) return nullptr;
    if (!PyBytes_Check(raw.get())) {
      PyErr_Format(PyExc_TypeError, "encoding produced %.200s, not bytes", Py_TYPE(raw.get())->tp_name);
      return nullptr;
    }
    Ref unreserved = host::global(QM_NAME("_UNRESERVED_BYTES"));
    if (!unreserved) return nullptr;
    const bool own_set = unreserved.get() == g_unreserved_set;
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
  });
}

}  // namespace

Ref make_unreserved_bytes() {
  Ref raw(PyBytes_FromString(kUnreserved));
  Ref set = raw ? Ref(PyFrozenSet_New(raw.get())) : Ref();
  g_unreserved_set = Py_XNewRef(set.get());  // kept so that the identity test stays sound
  return set;
}

PyMethodDef kJoinUrl = {"_join_url", QM_FASTCALL_ENTRY(join_url),
                        "_join_url($module, server_url, endpoint)\n--\n\n"
                        "Join a server URL and an endpoint route with exactly one slash."};

PyMethodDef kPercentEncode = {"_percent_encode", QM_FASTCALL_ENTRY(percent_encode),
                              "_percent_encode($module, value)\n--\n\n"
                              "Percent-encode every byte except RFC 3986 unreserved characters."};

}  // namespace quillmarsh::transport
