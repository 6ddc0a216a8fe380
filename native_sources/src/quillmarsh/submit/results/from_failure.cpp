// Result records from failures: rejections, malformed answers and transport errors.
#include "quillmarsh/submit/host/keywords.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/text.hpp"
#include "quillmarsh/submit/results/results.hpp"

namespace quillmarsh::results {

using host::Ref;

namespace {

// Which record a converter builds; the fields between `body` and `error` are None.
enum class Record { Submit, Batch, Status };

// Builds `<Record>(status_code=..., body=..., <identifiers or counts>, error=...)`.
Ref failure_record(Record kind, PyObject* status_code, PyObject* body, PyObject* error) {
  static const host::Keywords submit_kw(
      {"status_code", "body", "submission_id", "signal_pool_id", "strategy_pool_id", "strategy_signal_pool", "error"});
  static const host::Keywords status_kw(
      {"status_code", "body", "status", "signal_pool_id", "strategy_pool_id", "strategy_signal_pool", "error"});
  static const host::Keywords batch_kw({"status_code", "body", "accepted", "failed", "results", "error"});
  switch (kind) {
    case Record::Submit:
    case Record::Status: {
      Ref record_type = host::global(kind == Record::Submit ? QM_NAME("SubmitResult") : QM_NAME("StatusResult"));
      if (!record_type) return Ref();
      PyObject* values[] = {status_code, body, Py_None, Py_None, Py_None, Py_None, error};
      return (kind == Record::Submit ? submit_kw : status_kw).call(record_type.get(), values);
    }
    case Record::Batch: {
      Ref record_type = host::global(QM_NAME("BatchSubmitResult"));
      Ref zero(PyLong_FromLong(0));
      Ref results(PyList_New(0));
      if (!record_type || !zero || !results) return Ref();
      PyObject* values[] = {status_code, body, zero.get(), zero.get(), results.get(), error};
      return batch_kw.call(record_type.get(), values);
    }
  }
  return Ref();
}

Ref from_rejection(Record kind, PyObject* exc) {
  Ref status_code(PyObject_GetAttr(exc, QM_NAME("status_code")));
  Ref body = status_code ? Ref(PyObject_GetAttr(exc, QM_NAME("body"))) : Ref();
  Ref reason = body ? Ref(PyObject_GetAttr(exc, QM_NAME("reason"))) : Ref();
  if (!reason) return Ref();
  return failure_record(kind, status_code.get(), body.get(), reason.get());
}

// cls._error_body_from_response_error(exc), then the record with exc.status_code.
Ref from_response_error(Record kind, PyObject* cls, PyObject* exc) {
  PyObject* call_args[] = {cls, exc};
  Ref pair(PyObject_VectorcallMethod(QM_NAME("_error_body_from_response_error"), call_args, 2, nullptr));
  Ref error, body;
  if (!pair || !host::unpack_pair(pair.get(), error, body)) return Ref();
  Ref status_code(PyObject_GetAttr(exc, QM_NAME("status_code")));
  if (!status_code) return Ref();
  return failure_record(kind, status_code.get(), body.get(), error.get());
}

// str(exc), or the name of its type when that text is empty.
Ref failure_text(PyObject* exc) {
  Ref text(PyObject_Str(exc));
  if (!text) return Ref();
  int has_text = PyObject_IsTrue(text.get());
  if (has_text < 0) return Ref();
  if (has_text) return text;
  return Ref(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(exc)), QM_NAME("__name__")));
}

// The one library event of a signal submission that failed in transport.
bool log_transport_failure(PyObject* exc) {
  static const host::Keywords kw(
      {"sub_service", "component", "metadata", "source_function", "source_file", "source_line"});
  Ref error_type(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(exc)), QM_NAME("__name__")));
  Ref metadata(PyDict_New());
  if (!error_type || !metadata || PyDict_SetItemString(metadata.get(), "reason", QM_NAME("transport_error")) < 0 ||
      PyDict_SetItemString(metadata.get(), "error_type", error_type.get()) < 0) {
    return false;
  }
  Ref source_line(PyLong_FromLong(933));
  Ref log_event = source_line ? host::global(QM_NAME("log_library_surface_event")) : Ref();
  if (!log_event) return false;
  PyObject* values[] = {QM_NAME("Submission"),
                        QM_NAME("error"),
                        QM_NAME("submit"),
                        QM_NAME("transport"),
                        metadata.get(),
                        QM_NAME("_submit_result_from_transport_error"),
                        QM_NAME("quillmarsh_library/native_sources/src/quillmarsh/submit"),
                        source_line.get()};
  return static_cast<bool>(kw.call(log_event.get(), values, 2));
}

Ref from_transport_error(Record kind, PyObject* exc) {
  Ref text = failure_text(exc);
  if (!text) return Ref();
  if (kind == Record::Submit && !log_transport_failure(exc)) return Ref();
  Ref zero(PyLong_FromLong(0));
  return zero ? failure_record(kind, zero.get(), Py_None, text.get()) : Ref();
}

}  // namespace

PyObject* client_submit_result_from_rejection(PyObject*, PyObject* exc) {
  return from_rejection(Record::Submit, exc).release();
}

PyObject* client_status_result_from_rejection(PyObject*, PyObject* exc) {
  return from_rejection(Record::Status, exc).release();
}

PyObject* client_submit_result_from_response_error(PyObject* cls, PyObject* exc) {
  return from_response_error(Record::Submit, cls, exc).release();
}

PyObject* client_batch_result_from_response_error(PyObject* cls, PyObject* exc) {
  return from_response_error(Record::Batch, cls, exc).release();
}

PyObject* client_status_result_from_response_error(PyObject* cls, PyObject* exc) {
  return from_response_error(Record::Status, cls, exc).release();
}

PyObject* client_submit_result_from_transport_error(PyObject*, PyObject* exc) {
  return from_transport_error(Record::Submit, exc).release();
}

PyObject* client_batch_result_from_transport_error(PyObject*, PyObject* exc) {
  return from_transport_error(Record::Batch, exc).release();
}

PyObject* client_status_result_from_transport_error(PyObject*, PyObject* exc) {
  return from_transport_error(Record::Status, exc).release();
}

PyObject* client_error_body_from_response_error(PyObject*, PyObject* exc) {
  Ref preview(PyObject_GetAttr(exc, QM_NAME("raw_body_preview")));
  if (!preview) return nullptr;
  Ref decoded;
  if (PyBytes_CheckExact(preview.get())) {
    decoded = Ref(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(preview.get()), PyBytes_GET_SIZE(preview.get()), "replace"));
  } else {
    Ref encoding = host::str("utf-8");
    Ref errors = host::str("replace");
    PyObject* decode_args[] = {preview.get(), encoding.get(), errors.get()};
    if (encoding && errors) decoded = Ref(PyObject_VectorcallMethod(QM_NAME("decode"), decode_args, 3, nullptr));
  }
  Ref text = decoded ? Ref(PyObject_CallMethodNoArgs(decoded.get(), QM_NAME("strip"))) : Ref();
  if (!text) return nullptr;
  int has_text = PyObject_IsTrue(text.get());
  if (has_text < 0) return nullptr;
  Ref error;
  if (has_text) {
    error = Ref::borrow(text.get());
  } else {
    Ref status_code(PyObject_GetAttr(exc, QM_NAME("status_code")));
    Ref code_text = status_code ? host::text_of(status_code.get()) : Ref();
    error = host::join({QM_NAME("http_"), code_text.get()});
    if (!error) return nullptr;
  }
  Ref status_code(PyObject_GetAttr(exc, QM_NAME("status_code")));
  Ref body(PyDict_New());
  if (!status_code || !body || PyDict_SetItemString(body.get(), "error", error.get()) < 0 ||
      PyDict_SetItemString(body.get(), "raw_body_preview", text.get()) < 0 ||
      PyDict_SetItemString(body.get(), "status_code", status_code.get()) < 0) {
    return nullptr;
  }
  return PyTuple_Pack(2, error.get(), body.get());
}

}  // namespace quillmarsh::results
