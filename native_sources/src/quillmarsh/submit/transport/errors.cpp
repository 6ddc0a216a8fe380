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

// `value == literal`, for a str literal, through the host's equality.
int equals_text(PyObject* value, const char* literal) {
  Ref expected = host::str(literal);
  if (!expected) return -1;
  return PyObject_RichCompareBool(value, expected.get(), Py_EQ);
}

}  // namespace

PyObject* rejected_error_init(PyObject* self, PyObject* status_code, PyObject* reason, PyObject* details,
                              PyObject* body) {
  Ref code_text = host::text_of(status_code);
  Ref reason_text = code_text ? host::text_of(reason) : Ref();
  Ref message = host::join({code_text.get(), QM_NAME(": "), reason_text.get()});
  if (!message || !init_exception_base(self, message.get())) return nullptr;
  if (PyObject_SetAttr(self, QM_NAME("status_code"), status_code) < 0 ||
      PyObject_SetAttr(self, QM_NAME("reason"), reason) < 0 ||
      PyObject_SetAttr(self, QM_NAME("details"), details) < 0 || PyObject_SetAttr(self, QM_NAME("body"), body) < 0) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* response_error_init(PyObject* self, PyObject* message, PyObject* status_code, PyObject* url,
                              PyObject* raw_body) {
  if (!init_exception_base(self, message)) return nullptr;
  if (PyObject_SetAttr(self, QM_NAME("status_code"), status_code) < 0 ||
      PyObject_SetAttr(self, QM_NAME("url"), url) < 0 || PyObject_SetAttr(self, QM_NAME("raw_body"), raw_body) < 0) {
    return nullptr;
  }
  Ref limit = host::global(QM_NAME("_MALFORMED_BODY_PREVIEW_BYTES"));
  if (!limit) return nullptr;
  Ref slice(PySlice_New(nullptr, limit.get(), nullptr));
  Ref preview = slice ? Ref(PyObject_GetItem(raw_body, slice.get())) : Ref();
  if (!preview || PyObject_SetAttr(self, QM_NAME("raw_body_preview"), preview.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* raise_submission_rejected(PyObject*, PyObject* status_code, PyObject* response_data) {
  PyObject* data = response_data;
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
}

PyObject* requires_legacy_signal_pool_id_retry(PyObject*, PyObject* exc) {
  Ref status(PyObject_GetAttr(exc, QM_NAME("status_code")));
  if (!status) return nullptr;
  Ref body_attr(PyObject_GetAttr(exc, QM_NAME("body")));
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
}

}  // namespace quillmarsh::transport
