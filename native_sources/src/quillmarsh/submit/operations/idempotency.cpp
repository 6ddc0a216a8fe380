// SignalServiceClient._idempotency_key_for_body: "sigsubmit-" and the SHA-256 hex digest of
// the canonical JSON of a body without its own idempotency_key.
#include "quillmarsh/submit/operations/idempotency.hpp"

#include "quillmarsh/submit/host/keywords.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/text.hpp"
#include "quillmarsh/submit/operations/operations.hpp"
#include "quillmarsh/submit/transport/json_text.hpp"

namespace quillmarsh::operations {

using host::Ref;

namespace {

// Whether every key of a dict is a plain str: comparing those with "idempotency_key" runs
// no code of the interpreter, so the dict's own lookup answers the comparison.
bool plain_str_keys(PyObject* dict) {
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

// `{k: v for k, v in body.items() if k != "idempotency_key"}`
Ref payload_without_key(PyObject* body) {
  PyObject* own_key = QM_NAME("idempotency_key");
  if (own_key == nullptr) return Ref();
  if (PyDict_CheckExact(body) && plain_str_keys(body)) {
    Ref payload(PyDict_Copy(body));
    if (!payload) return Ref();
    int present = PyDict_Contains(payload.get(), own_key);
    if (present < 0 || (present && PyDict_DelItem(payload.get(), own_key) < 0)) return Ref();
    return payload;
  }
  Ref payload(PyDict_New());
  Ref items = payload ? Ref(PyObject_CallMethodNoArgs(body, QM_NAME("items"))) : Ref();
  Ref it = items ? Ref(PyObject_GetIter(items.get())) : Ref();
  if (!it) return Ref();
  while (Ref item{PyIter_Next(it.get())}) {
    Ref key, value;
    if (!host::unpack_pair(item.get(), key, value)) return Ref();
    int keep = PyObject_RichCompareBool(key.get(), own_key, Py_NE);
    if (keep < 0 || (keep && PyDict_SetItem(payload.get(), key.get(), value.get()) < 0)) return Ref();
  }
  if (PyErr_Occurred()) return Ref();
  return payload;
}

// (",", ":"), the separators of the canonical form; kept for the process lifetime.
PyObject* compact_separators() {
  static PyObject* separators = Py_BuildValue("(ss)", ",", ":");
  if (separators == nullptr && !PyErr_Occurred()) PyErr_NoMemory();
  return separators;
}

}  // namespace

Ref client_idempotency_key_for_body(PyObject*, PyObject* body) {
  static const host::Keywords canonical({"sort_keys", "separators", "allow_nan"});
  Ref payload = payload_without_key(body);
  if (!payload) return Ref();
  // The canonical text is written natively while json.dumps is the host's own and the
  // payload holds only plain JSON values; anything else goes through json.dumps itself.
  int native = transport::host_dumps_in_place();
  if (native < 0) return Ref();
  std::string written;
  Ref raw;
  if (native && transport::write_json(payload.get(), transport::JsonForm::Canonical, written)) {
    raw = Ref(PyBytes_FromStringAndSize(written.data(), static_cast<Py_ssize_t>(written.size())));
  } else {
    PyObject* separators = compact_separators();
    Ref dumps = separators ? host::global_attr(QM_NAME("json"), QM_NAME("dumps")) : Ref();
    if (!dumps) return Ref();
    PyObject* dump_args[] = {payload.get(), Py_True, separators, Py_False};
    Ref text = canonical.call(dumps.get(), dump_args, 1);
    raw = text ? host::encode_utf8(text.get()) : Ref();
  }
  Ref sha256 = raw ? host::global_attr(QM_NAME("hashlib"), QM_NAME("sha256")) : Ref();
  Ref hasher = sha256 ? Ref(PyObject_CallOneArg(sha256.get(), raw.get())) : Ref();
  Ref digest = hasher ? Ref(PyObject_CallMethodNoArgs(hasher.get(), QM_NAME("hexdigest"))) : Ref();
  if (!digest) return Ref();
  PyObject* prefix = QM_NAME("sigsubmit-");
  if (prefix == nullptr) return Ref();
  if (PyUnicode_CheckExact(digest.get())) return Ref(PyUnicode_Concat(prefix, digest.get()));
  return Ref(PyNumber_Add(prefix, digest.get()));
}

Ref derive_key(PyObject* self, PyObject* body) {
  PyObject* args[] = {self, body};
  return Ref(PyObject_VectorcallMethod(QM_NAME("_idempotency_key_for_body"), args, 2, nullptr));
}

}  // namespace quillmarsh::operations
