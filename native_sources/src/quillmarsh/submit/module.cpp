// Entry of quillmarsh.submit: creates the module, performs its imports, defines its
// constants and logger, registers its functions and builds its classes.
#include <initializer_list>

#include "quillmarsh/submit/collaborators/imports.hpp"
#include "quillmarsh/submit/eras/registry.hpp"
#include "quillmarsh/submit/host/classes.hpp"
#include "quillmarsh/submit/host/init_method.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/transport/json_text.hpp"
#include "quillmarsh/submit/operations/registry.hpp"
#include "quillmarsh/submit/results/registry.hpp"
#include "quillmarsh/submit/transport/client.hpp"
#include "quillmarsh/submit/transport/errors.hpp"
#include "quillmarsh/submit/transport/observed_body.hpp"
#include "quillmarsh/submit/transport/request_json.hpp"
#include "quillmarsh/submit/transport/response_json.hpp"
#include "quillmarsh/submit/transport/url.hpp"
#include "quillmarsh/submit/validation/registry.hpp"

namespace quillmarsh {

using host::Member;
using host::MemberKind;
using host::Ref;

namespace {

constexpr const char* kTerminalStatuses[] = {
    "signal_found",     "signal_is_rejected", "signal_os_passed",  "signal_os_failed",
    "signal_server_side_error", "signal_useful", "signal_not_useful", "signal_useful_transition_failed",
};

bool add_constants(PyObject* module) {
  Ref logging(PyObject_GetAttrString(module, "logging"));
  Ref logger = logging ? Ref(PyObject_CallMethod(logging.get(), "getLogger", "s", "quillmarsh.submit")) : Ref();
  if (!logger || PyModule_AddObjectRef(module, "logger", logger.get()) < 0) return false;
  if (PyModule_AddIntConstant(module, "_MALFORMED_BODY_PREVIEW_BYTES", 512) < 0) return false;
  if (PyModule_AddIntConstant(module, "_SIGNALS_BATCH_CLIENT_CHUNK_SIZE", 100) < 0) return false;

  Ref statuses(PyFrozenSet_New(nullptr));
  if (!statuses) return false;
  for (const char* status : kTerminalStatuses) {
    Ref text(PyUnicode_FromString(status));
    if (!text || PySet_Add(statuses.get(), text.get()) < 0) return false;
  }
  if (PyModule_AddObjectRef(module, "_TERMINAL_STATUSES", statuses.get()) < 0) return false;

  Ref interval(PyFloat_FromDouble(0.1));
  if (!interval || PyModule_AddObjectRef(module, "_POLL_INTERVAL_SECONDS", interval.get()) < 0) return false;

  Ref unreserved = transport::make_unreserved_bytes();
  if (!unreserved || PyModule_AddObjectRef(module, "_UNRESERVED_BYTES", unreserved.get()) < 0) return false;

  Ref retired(Py_BuildValue("(sss)", "universe_id", "valid_universe_id", "valid_universe_rule_id"));
  return retired && PyModule_AddObjectRef(module, "_RETIRED_UNIVERSE_ALIAS_KEYS", retired.get()) == 0;
}

// Adds module-level functions from a list ending with nullptr.
bool add_functions(PyObject* module, PyMethodDef* const* defs) {
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (; *defs != nullptr; ++defs) {
    Ref fn(PyCFunction_NewEx(*defs, module, module_name.get()));
    if (!fn || PyModule_AddObjectRef(module, (*defs)->ml_name, fn.get()) < 0) return false;
  }
  return true;
}

PyMethodDef* const kTransportFunctions[] = {
    &transport::kRequestJson,       &transport::kJoinUrl,
    &transport::kPercentEncode,     &transport::kParseResponseJson,
    &transport::kRaiseSubmissionRejected, &transport::kRequiresLegacySignalPoolIdRetry,
    nullptr,
};

// Builds `class name(base): doc` with the given members (a list ending in {nullptr}).
bool add_class(PyObject* module, PyObject* init_type, const char* name, PyObject* base, const char* doc,
               const Member* members) {
  Ref module_name(PyModule_GetNameObject(module));
  Ref bases(PyTuple_Pack(1, base));
  if (!module_name || !bases) return false;
  Ref cls = host::make_class(name, bases.get(), doc, module_name.get());
  if (!cls) return false;
  for (const Member* m = members; m->def != nullptr; ++m) {
    if (!host::add_member(cls.get(), *m, module, init_type)) return false;
  }
  return PyModule_AddObjectRef(module, name, cls.get()) == 0;
}

const Member kSubmissionRejectedErrorMembers[] = {
    {&transport::kSubmissionRejectedErrorInit, MemberKind::Instance},
    {nullptr, MemberKind::Instance},
};

const Member kSignalClientResponseErrorMembers[] = {
    {&transport::kSignalClientResponseErrorInit, MemberKind::Instance},
    {nullptr, MemberKind::Instance},
};

// SignalServiceClient's members in definition order.
const Member kClientMembers[] = {
    {&transport::kClientInit, MemberKind::Instance},
    {&transport::kClientClose, MemberKind::Instance},
    {&transport::kClientResponseContent, MemberKind::Instance},
    {&transport::kClientTransportRequest, MemberKind::Instance},
    {&transport::kClientCanonicalRequest, MemberKind::Instance},
    {&eras::kFetchEraCatalog, MemberKind::Instance},
    {&eras::kResolveSubmitThresholds, MemberKind::Instance},
    {&results::kSubmitResultFromBody, MemberKind::Static},
    {&results::kBatchItemResultFromBody, MemberKind::Static},
    {&results::kBatchResultFromBody, MemberKind::Class},
    {&results::kBatchBodyItemFromResult, MemberKind::Static},
    {&results::kBatchHttpStatusForItems, MemberKind::Static},
    {&results::kCombineBatchChunkResults, MemberKind::Class},
    {&results::kBatchResultWithPartialFailure, MemberKind::Class},
    {&results::kRebaseBatchItemIndices, MemberKind::Static},
    {&results::kStatusResultFromBody, MemberKind::Static},
    {&results::kSubmissionListResultFromBody, MemberKind::Static},
    {&results::kSubmitResultFromRejection, MemberKind::Static},
    {&results::kStatusResultFromRejection, MemberKind::Static},
    {&results::kErrorBodyFromResponseError, MemberKind::Static},
    {&results::kSubmitResultFromResponseError, MemberKind::Class},
    {&results::kBatchResultFromResponseError, MemberKind::Class},
    {&results::kStatusResultFromResponseError, MemberKind::Class},
    {&results::kSubmitResultFromTransportError, MemberKind::Static},
    {&results::kBatchResultFromTransportError, MemberKind::Static},
    {&results::kStatusResultFromTransportError, MemberKind::Static},
    {&operations::kIdempotencyKeyForBody, MemberKind::Static},
    {&validation::kValidateSubmissionContract, MemberKind::Static},
    {&operations::kSubmitSignal, MemberKind::Instance},
    {&operations::kSubmitStrategy, MemberKind::Instance},
    {&operations::kSubmitSignalsBatch, MemberKind::Instance},
    {&operations::kGetSignalStatus, MemberKind::Instance},
    {&operations::kListSignalSubmissions, MemberKind::Instance},
    {&operations::kPollUntilTerminal, MemberKind::Instance},
    {nullptr, MemberKind::Instance},
};

bool populate(PyObject* module) {
  host::set_module(module);
  if (!collaborators::bind_imports(module)) return false;
  Ref json(PyObject_GetAttrString(module, "json"));
  if (!json || !transport::remember_host_dumps(json.get())) return false;
  if (!add_constants(module)) return false;
  PyObject* object = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
  Ref init_type = host::make_init_method_type(module);
  if (!init_type) return false;
  PyObject* init = init_type.get();
  if (!add_class(module, init, "SubmissionReceipt", object, "Receipt returned after successful signal/strategy submission.",
                 results::kSubmissionReceiptMembers) ||
      !add_class(module, init, "SubmissionStatus", object, "Status returned by poll_status for a submitted signal/strategy.",
                 results::kSubmissionStatusMembers) ||
      !add_class(module, init, "SubmissionRejectedError", PyExc_Exception,
                 "Raised when the server rejects a submission or poll request.", kSubmissionRejectedErrorMembers) ||
      !add_class(module, init, "SignalClientResponseError", PyExc_Exception,
                 "Raised when signal_service returns an invalid response body.", kSignalClientResponseErrorMembers) ||
      !add_class(module, init, "_TransmissionObservedBody", object,
                 "Seekable request body that observes the first transport read.", transport::kObservedBodyMembers) ||
      !add_class(module, init, "SignalServiceClient", object,
                 "Result-based HTTP SDK facade backed by the canonical submit transport.", kClientMembers)) {
    return false;
  }
  return add_functions(module, kTransportFunctions) && add_functions(module, validation::kModuleFunctions) &&
         add_functions(module, eras::kModuleFunctions) && add_functions(module, results::kModuleFunctions);
}

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "quillmarsh.submit",
    "Submit subcomponent \xe2\x80\x94 client-side signal and strategy submission",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quillmarsh

PyMODINIT_FUNC PyInit_submit(void) {
  quillmarsh::host::Ref module(PyModule_Create(&quillmarsh::kModuleDef));
  if (!module) return nullptr;
  if (!quillmarsh::populate(module.get())) return nullptr;
  return module.release();
}
