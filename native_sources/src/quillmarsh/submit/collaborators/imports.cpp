#include "quillmarsh/submit/collaborators/imports.hpp"

namespace quillmarsh::collaborators {

using host::Ref;

namespace {

struct NameImport {
  const char* source;  // module to import from
  const char* name;    // attribute taken from it
  const char* bound;   // name bound in this module
};

bool bind_module(PyObject* module, const char* name) {
  Ref imported(PyImport_ImportModule(name));
  return imported && PyModule_AddObjectRef(module, name, imported.get()) == 0;
}

// `from source import name as bound`
bool bind_name(PyObject* module, const NameImport& spec) {
  Ref fromlist(Py_BuildValue("(s)", spec.name));
  if (!fromlist) return false;
  Ref source(PyImport_ImportModuleLevel(spec.source, nullptr, nullptr, fromlist.get(), 0));
  if (!source) return false;
  Ref value(PyObject_GetAttrString(source.get(), spec.name));
  if (!value) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", spec.name, spec.source);
    }
    return false;
  }
  return PyModule_AddObjectRef(module, spec.bound, value.get()) == 0;
}

}  // namespace

bool bind_imports(PyObject* module) {
  for (const char* host_module : {"json", "logging", "math", "time", "hashlib", "httpx"}) {
    if (!bind_module(module, host_module)) return false;
  }
  static const NameImport kNames[] = {
      {"typing", "Any", "Any"},
      {"typing", "Callable", "Callable"},
      {"quillmarsh._transport_security", "validate_bearer_transport_url", "validate_bearer_transport_url"},
      {"quillmarsh._graph_complexity", "measure_graph_complexity", "measure_graph_complexity"},
      {"quillmarsh._threshold_gates", "evaluate_threshold_gates", "evaluate_threshold_gates"},
      {"quillmarsh", "_backtest_timing", "_backtest_timing"},
      {"quillmarsh.logging_style", "log_library_surface_event", "log_library_surface_event"},
      {"quillmarsh._pool_identity", "selected_signal_pool_from_era_config",
       "_shared_selected_signal_pool_from_era_config"},
      {"quillmarsh.signal_types", "BatchSubmitItemResult", "BatchSubmitItemResult"},
      {"quillmarsh.signal_types", "BatchSubmitResult", "BatchSubmitResult"},
      {"quillmarsh.signal_types", "SubmissionListResult", "SubmissionListResult"},
      {"quillmarsh.signal_types", "StatusResult", "StatusResult"},
      {"quillmarsh.signal_types", "SubmitResult", "SubmitResult"},
  };
  for (const NameImport& spec : kNames) {
    if (!bind_name(module, spec)) return false;
  }
  return true;
}

}  // namespace quillmarsh::collaborators
