#include "quillmarsh/submit/transport/errors.hpp"

#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/objects.hpp"
#include "quillmarsh/submit/host/text.hpp"

namespace quillmarsh::transport {

using host::Ref;

namespace {

// Exception.__init__(self, message): sets `args` to the one message.
bool init_exception_base(PyObject* self, PyObject* message) {
  Ref args(PyTuple_Pack(1, message));
  if (!args) return false;
  return reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_init(self, args.get(), nullptr) == 0;
}

PyObject* submission_rejected_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("SubmissionRejectedError.__init__", 1, 4,
                                   {{"status_code", true}, {"reason", true}, {"details", false}, {"body", false}});
  PyObject* a[4];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    PyObject* details = host::or_default(a[2], Py_None);
    PyObject* body = host::or_default(a[3], Py_None);
    Ref code_text = host::text_of(a[0]);
    Ref reason_text = code_text ? host::text_of(a[1]) : Ref();
    Ref message = host::join({code_text.get(), QM_NAME(": "), reason_text.get()});
    if (!message || !init_exception_base(self, message.get())) return nullptr;
    if (PyObject_SetAttr(self, QM_NAME("status_code"), a[0]) < 0 ||
        PyObject_SetAttr(self, QM_NAME("reason"), a[1]) < 0 || PyObject_SetAttr(self, QM_NAME("details"), details) < 0 ||
        PyObject_SetAttr(self, QM_NAME("body"), body) < 0) {
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* response_error_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("SignalClientResponseError.__init__", 1, 1,
                                   {{"message", true}, {"status_code", true}, {"url", true}, {"raw_body", true}});
  PyObject* a[4];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    if (!init_exception_base(self, a[0])) return nullptr;
    if (PyObject_SetAttr(self, QM_NAME("status_code"), a[1]) < 0 || PyObject_SetAttr(self, QM_NAME("url"), a[2]) < 0 ||
        PyObject_SetAttr(self, QM_NAME("raw_body"), a[3]) < 0) {
      return nullptr;
    }
    Ref limit = host::global(QM_NAME("_MALFORMED_BODY_PREVIEW_BYTES"));
    if (!limit) return nullptr;
    Ref slice(PySlice_New(nullptr, limit.get(), nullptr));
    Ref preview = slice ? Ref(PyObject_GetItem(a[3], slice.get())) : Ref();
    if (!preview || PyObject_SetAttr(self, QM_NAME("raw_body_preview"), preview.get()) < 0) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* raise_submission_rejected(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_raise_submission_rejected", 0, 2, {{"status_code", true}, {"response_data", true}});
  PyObject* a[2];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    PyObject* status_code = a[0];
    PyObject* data = a[1];
    Ref reason = host::mapping_get(data, QM_NAME("reason"));
    if (!reason) return nullptr;
    int truthy = PyObject_IsTrue(reason.get());
    if (truthy < 0) return nullptr;
    if (!truthy) {
      reason = host::mapping_get(data, QM_NAME("error"));
      if (!reason || (truthy = PyObject_IsTrue(reason.get())) < 0) return nullptr;
    }
    if (!truthy) {
      Ref code_text = host::text_of(status_code);
      reason = host::join({QM_NAME("http_"), code_text.get()});
      if (!reason) return nullptr;
    }
    Ref details = host::mapping_get(data, QM_NAME("details"), Py_None);
    if (!details) return nullptr;
    Ref cls = host::global(QM_NAME("SubmissionRejectedError"));
    if (!cls) return nullptr;
    PyObject* call_args[] = {status_code, reason.get(), details.get(), data};
    Ref kwnames_body(PyTuple_Pack(1, QM_NAME("body")));
    if (!kwnames_body) return nullptr;
    Ref exc(PyObject_Vectorcall(cls.get(), call_args, 3, kwnames_body.get()));
    if (!exc) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
  });
}

// `value == literal`, for a str literal, through the host's equality.
int equals_text(PyObject* value, const char* literal) {
  Ref expected = host::str(literal);
  if (!expected) return -1;
  return PyObject_RichCompareBool(value, expected.get(), Py_EQ);
}

PyObject* requires_legacy_retry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("_requires_legacy_signal_pool_id_retry", 0, 1, {{"exc", true}});
  PyObject* a[1];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  return host::guarded([&]() -> PyObject* {
    Ref status(PyObject_GetAttr(a[0], QM_NAME("status_code")));
    if (!status) return nullptr;
    Ref body_attr(PyObject_GetAttr(a[0], QM_NAME("body")));
    if (!body_attr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
      PyErr_Clear();
    }
    Ref body = body_attr && PyDict_Check(body_attr.get()) ? std::move(body_attr) : Ref(PyDict_New());
    if (!body) return nullptr;
    Ref four_hundred(PyLong_FromLong(400));
    int ok = four_hundred ? PyObject_RichCompareBool(status.get(), four_hundred.get(), Py_EQ) : -1;
    if (ok > 0) {
      Ref error = host::mapping_get(body.get(), QM_NAME("error"));
      ok = error ? equals_text(error.get(), "malformed_request") : -1;
    }
    if (ok > 0) {
      Ref detail = host::mapping_get(body.get(), QM_NAME("detail"));
      ok = detail ? equals_text(detail.get(), "signal_pool_id is required") : -1;
    }
    if (ok < 0) return nullptr;
    return PyBool_FromLong(ok);
  });
}

}  // namespace

PyMethodDef kSubmissionRejectedErrorInit = {
    "__init__", QM_FASTCALL_ENTRY(submission_rejected_init),
    "__init__($self, status_code, reason, details=None, body=None)\n--\n\n"
    "Record the rejecting status, the machine reason, the details and the whole body."};

PyMethodDef kSignalClientResponseErrorInit = {
    "__init__", QM_FASTCALL_ENTRY(response_error_init),
    "__init__($self, message, *, status_code, url, raw_body)\n--\n\n"
    "Record the status, URL and raw body of a response that is not a JSON object."};

PyMethodDef kRaiseSubmissionRejected = {
    "_raise_submission_rejected", QM_FASTCALL_ENTRY(raise_submission_rejected),
    "_raise_submission_rejected($module, status_code, response_data)\n--\n\n"
    "Raise SubmissionRejectedError for a non-2xx JSON object response."};

PyMethodDef kRequiresLegacySignalPoolIdRetry = {
    "_requires_legacy_signal_pool_id_retry", QM_FASTCALL_ENTRY(requires_legacy_retry),
    "_requires_legacy_signal_pool_id_retry($module, exc)\n--\n\n"
    "Whether a rejection asks for the older signal_pool_id request field."};

}  // namespace quillmarsh::transport
