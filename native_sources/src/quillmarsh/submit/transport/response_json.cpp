#include "quillmarsh/submit/transport/response_json.hpp"

#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/host/text.hpp"

namespace quillmarsh::transport {

using host::Ref;

namespace {

// Logs one WARNING about a bad body on the module logger and raises
// SignalClientResponseError("<headline> from <url> for <operation>"), chained to `cause`.
PyObject* report_bad_body(const char* headline, PyObject* status_code, PyObject* body, PyObject* url,
                          PyObject* operation, PyObject* cause) {
  Ref limit = host::global(QM_NAME("_MALFORMED_BODY_PREVIEW_BYTES"));
  if (!limit) return nullptr;
  Ref slice(PySlice_New(nullptr, limit.get(), nullptr));
  Ref preview = slice ? Ref(PyObject_GetItem(body, slice.get())) : Ref();
  if (!preview) return nullptr;

  Ref log_format(PyUnicode_FromFormat("%s from %%s status=%%s operation=%%s raw_body=%%r", headline));
  Ref extra(PyDict_New());
  if (!log_format || !extra) return nullptr;
  if (PyDict_SetItemString(extra.get(), "status_code", status_code) < 0 ||
      PyDict_SetItemString(extra.get(), "url", url) < 0 ||
      PyDict_SetItemString(extra.get(), "operation", operation) < 0 ||
      PyDict_SetItemString(extra.get(), "raw_body_preview", preview.get()) < 0) {
    return nullptr;
  }
  Ref warning = host::global_attr(QM_NAME("logger"), QM_NAME("warning"));
  if (!warning) return nullptr;
  Ref kw_extra(PyTuple_Pack(1, QM_NAME("extra")));
  if (!kw_extra) return nullptr;
  PyObject* log_args[] = {log_format.get(), url, status_code, operation, preview.get(), extra.get()};
  Ref logged(PyObject_Vectorcall(warning.get(), log_args, 5, kw_extra.get()));
  if (!logged) return nullptr;

  Ref head(PyUnicode_FromFormat("%s from ", headline));
  Ref message = host::join({head.get(), host::text_of(url).get(), QM_NAME(" for "), host::text_of(operation).get()});
  if (!message) return nullptr;
  Ref error_type = host::global(QM_NAME("SignalClientResponseError"));
  Ref kwnames(PyTuple_Pack(3, QM_NAME("status_code"), QM_NAME("url"), QM_NAME("raw_body")));
  if (!error_type || !kwnames) return nullptr;
  PyObject* error_args[] = {message.get(), status_code, url, body};
  Ref error(PyObject_Vectorcall(error_type.get(), error_args, 1, kwnames.get()));
  if (!error) return nullptr;
  if (cause != nullptr) return host::raise_from(error.get(), cause);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return nullptr;
}

}  // namespace

PyObject* parse_response_json(PyObject*, PyObject* status_code, PyObject* response_body_bytes, PyObject* url,
                              PyObject* operation) {
  PyObject* body = response_body_bytes;
  Ref loads = host::global_attr(QM_NAME("json"), QM_NAME("loads"));
  if (!loads) return nullptr;
  Ref parsed(PyObject_CallOneArg(loads.get(), body));
  if (!parsed) {
    // JSONDecodeError and UnicodeDecodeError are both ValueErrors. An answer nested deeper
    // than the parser's recursion guard allows is as unreadable as one that is not JSON.
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_RecursionError)) {
      return nullptr;
    }
    Ref cause = host::take_exception();
    return report_bad_body("Malformed JSON response", status_code, body, url, operation, cause.get());
  }
  if (!PyDict_Check(parsed.get())) {
    return report_bad_body("Non-object JSON response", status_code, body, url, operation, nullptr);
  }
  return parsed.release();
}

}  // namespace quillmarsh::transport
