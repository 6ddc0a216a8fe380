// SignalServiceClient.submit_signal: local checks against the active era, the request body
// with its idempotency key, the POST to signals/submit with the one legacy retry, and the
// SubmitResult of every outcome the service or the transport produces.
#include "quillmarsh/submit/eras/accessors.hpp"
#include "quillmarsh/submit/eras/selection.hpp"
#include "quillmarsh/submit/host/keywords.hpp"
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/operations/idempotency.hpp"
#include "quillmarsh/submit/operations/outcome.hpp"
#include "quillmarsh/submit/operations/registry.hpp"
#include "quillmarsh/submit/validation/identifiers.hpp"

namespace quillmarsh::operations {

namespace {

// The caller's arguments, in the order of the signature.
enum Arg {
  kGraph,
  kNamedUniverse,
  kSignalPoolName,
  kIsStats,
  kIsPnlMi,
  kMetaparameters,
  kElapsedSeconds,
  kSearchState,
  kIdempotencyKey,
  kThresholdChecks,
  kThresholds,
  kManifestVersion,
  kMarketId,
  kEraNumber,
  kManifestMarketId,
  kManifestEraNumber,
  kArgCount,
};

// A module global called with positional arguments, as a bare name in a method body.
template <size_t N>
Ref call_global(PyObject* name, PyObject* const (&args)[N]) {
  return host::call_global(name, args, N);
}

// `_validate_optional_manifest_int(value, field_name)`
Ref manifest_int(PyObject* value, PyObject* field_name) {
  PyObject* const args[] = {value, field_name};
  return call_global(QM_NAME("_validate_optional_manifest_int"), args);
}

// What the legacy retry needs of the first attempt.
struct LegacyRetry {
  PyObject* signal_pool_name;
  bool caller_supplied_key;
};

// The first body again, with `signal_pool_id` and, unless the caller chose the key, a key
// derived anew (it then stands last).
Ref legacy_body_of(PyObject* self, PyObject* body, const LegacyRetry& retry) {
  Ref legacy(PyDict_Copy(body));
  if (!legacy || PyDict_SetItem(legacy.get(), QM_NAME("signal_pool_id"), retry.signal_pool_name) < 0) return Ref();
  if (retry.caller_supplied_key) return legacy;
  PyObject* key_name = QM_NAME("idempotency_key");
  int present = PyDict_Contains(legacy.get(), key_name);
  if (present < 0 || (present && PyDict_DelItem(legacy.get(), key_name) < 0)) return Ref();
  Ref key = derive_key(self, legacy.get());
  if (!key || PyDict_SetItem(legacy.get(), key_name, key.get()) < 0) return Ref();
  return legacy;
}

// Posts `body` to signals/submit and maps the outcome to a SubmitResult. With `retry`, a
// rejection that asks for signal_pool_id is posted once more (without it, it is final).
PyObject* post_signal(PyObject* self, PyObject* body, const LegacyRetry* retry) {
  return request_then(
             self, QM_NAME("POST"), QM_NAME("signals/submit"), body, QM_NAME("_submit_result_from_body"),
             [&](const Ref& exc, Failure failure) -> Ref {
               switch (failure) {
                 case Failure::Transport:
                   return convert(self, QM_NAME("_submit_result_from_transport_error"), exc.get());
                 case Failure::Rejected: {
                   if (retry != nullptr) {
                     PyObject* const args[] = {exc.get()};
                     Ref asks = call_global(QM_NAME("_requires_legacy_signal_pool_id_retry"), args);
                     int legacy = asks ? PyObject_IsTrue(asks.get()) : -1;
                     if (legacy < 0) return Ref();
                     if (legacy) {
                       Ref legacy_body = legacy_body_of(self, body, *retry);
                       return legacy_body ? Ref(post_signal(self, legacy_body.get(), nullptr)) : Ref();
                     }
                   }
                   return convert(self, QM_NAME("_submit_result_from_rejection"), exc.get());
                 }
                 case Failure::Malformed: {
                   int mapped = mapped_status(exc.get(), /*gateway=*/true);
                   if (mapped <= 0) return Ref();
                   return convert(self, QM_NAME("_submit_result_from_response_error"), exc.get());
                 }
                 case Failure::Other:
                   break;
               }
               return Ref();
             })
      .release();
}

// Sets body[key] = value, for a value just computed (null: its error stands).
bool put(PyObject* body, PyObject* key, const Ref& value) {
  return value && PyDict_SetItem(body, key, value.get()) == 0;
}

PyObject* submit_signal(PyObject* self, PyObject* const* a) {
  PyObject* graph = a[kGraph];
  PyObject* signal_pool_name = a[kSignalPoolName];
  PyObject* is_stats = a[kIsStats];
  PyObject* is_pnl_mi = a[kIsPnlMi];
  PyObject* market_id = a[kMarketId];
  PyObject* era_number = a[kEraNumber];

  static const host::Keywords authority_kw({"threshold_checks", "thresholds"});
  Ref authority = host::global(QM_NAME("_reject_caller_threshold_authority"));
  PyObject* authority_args[] = {a[kThresholdChecks], a[kThresholds]};
  if (!authority || !authority_kw.call(authority.get(), authority_args)) return nullptr;

  PyObject* const universe_args[] = {a[kNamedUniverse]};
  Ref named_universe = call_global(QM_NAME("_validate_named_universe"), universe_args);
  if (!named_universe) return nullptr;
  if (!validation::call_validate_selected_pool_id(signal_pool_name, QM_NAME("signal_pool_name"))) return nullptr;
  Ref require = host::global_attr(QM_NAME("_backtest_timing"), QM_NAME("require_recorded_backtest_timing"));
  if (!require || !Ref(PyObject_CallOneArg(require.get(), graph))) return nullptr;

  PyObject* kwnames = eras::market_era_kwnames();
  if (kwnames == nullptr) return nullptr;
  PyObject* resolve_args[] = {self, named_universe.get(), signal_pool_name, market_id, era_number};
  Ref thresholds(PyObject_VectorcallMethod(QM_NAME("_resolve_submit_thresholds"), resolve_args, 3, kwnames));
  if (!thresholds) return nullptr;
  PyObject* fetch_args[] = {self};
  Ref catalog(PyObject_VectorcallMethod(QM_NAME("_fetch_era_catalog"), fetch_args, 1, nullptr));
  Ref era = catalog ? eras::required_active_submit_era(catalog.get(), market_id, era_number) : Ref();
  if (!era) return nullptr;
  Ref market = market_id == Py_None ? eras::required_positive_era_int(era.get(), QM_NAME("market_id"))
                                    : Ref::borrow(market_id);
  if (!market) return nullptr;
  Ref era_no = era_number == Py_None ? eras::required_positive_era_int(era.get(), QM_NAME("era_number"))
                                     : Ref::borrow(era_number);
  if (!era_no) return nullptr;

  static const host::Keywords contract_kw(
      {"thresholds", "client_manifest_version", "client_manifest_market_id", "client_manifest_era_number"});
  PyObject* contract_names = contract_kw.names();
  if (contract_names == nullptr) return nullptr;
  PyObject* contract_args[] = {self,       signal_pool_name,    is_stats,
                               is_pnl_mi,  a[kElapsedSeconds],  thresholds.get(),
                               a[kManifestVersion], a[kManifestMarketId], a[kManifestEraNumber]};
  if (!Ref(PyObject_VectorcallMethod(QM_NAME("_validate_submission_contract"), contract_args, 5, contract_names))) {
    return nullptr;
  }

  PyObject* const gate_args[] = {graph, era.get()};
  Ref complexity = call_global(QM_NAME("_enforce_graph_complexity_for_submit"), gate_args);
  if (!complexity || !call_global(QM_NAME("_enforce_recorded_backtest_timing_for_submit"), gate_args)) return nullptr;
  PyObject* const stats_args[] = {is_stats};
  Ref stats_payload = call_global(QM_NAME("_submission_is_stats_payload"), stats_args);
  if (!stats_payload) return nullptr;

  // The body's values in the order they are computed; the dict is made once all are known.
  Ref depth(PyObject_GetAttr(complexity.get(), QM_NAME("depth")));
  Ref node_count = depth ? Ref(PyObject_GetAttr(complexity.get(), QM_NAME("node_count"))) : Ref();
  PyObject* const mi_args[] = {is_pnl_mi};
  Ref mi = node_count ? call_global(QM_NAME("_mi_contract_json_value"), mi_args) : Ref();
  Ref market_int = mi ? Ref(PyNumber_Long(market.get())) : Ref();
  Ref era_int = market_int ? Ref(PyNumber_Long(era_no.get())) : Ref();
  Ref body = era_int ? Ref(PyDict_New()) : Ref();
  if (!body) return nullptr;
  PyObject* b = body.get();
  if (PyDict_SetItem(b, QM_NAME("graph"), graph) < 0 || !put(b, QM_NAME("named_universe"), named_universe) ||
      PyDict_SetItem(b, QM_NAME("signal_pool_name"), signal_pool_name) < 0 ||
      !put(b, QM_NAME("graph_depth"), depth) || !put(b, QM_NAME("graph_node_count"), node_count) ||
      !put(b, QM_NAME("is_stats"), stats_payload) || !put(b, QM_NAME("is_pnl_mi"), mi) ||
      PyDict_SetItem(b, QM_NAME("expression_elapsed_seconds"), a[kElapsedSeconds]) < 0 ||
      !put(b, QM_NAME("market_id"), market_int) || !put(b, QM_NAME("era_number"), era_int)) {
    return nullptr;
  }

  if (a[kManifestVersion] != Py_None &&
      !put(b, QM_NAME("client_manifest_version"),
           manifest_int(a[kManifestVersion], QM_NAME("client_manifest_version")))) {
    return nullptr;
  }
  PyObject* manifest_market = a[kManifestMarketId] != Py_None ? a[kManifestMarketId] : market.get();
  PyObject* manifest_era = a[kManifestEraNumber] != Py_None ? a[kManifestEraNumber] : era_no.get();
  if (!put(b, QM_NAME("client_manifest_market_id"),
           manifest_int(manifest_market, QM_NAME("client_manifest_market_id"))) ||
      !put(b, QM_NAME("client_manifest_era_number"),
           manifest_int(manifest_era, QM_NAME("client_manifest_era_number")))) {
    return nullptr;
  }
  if (a[kMetaparameters] != Py_None && PyDict_SetItem(b, QM_NAME("metaparameters"), a[kMetaparameters]) < 0) {
    return nullptr;
  }
  if (a[kSearchState] != Py_None && PyDict_SetItem(b, QM_NAME("search_state"), a[kSearchState]) < 0) return nullptr;
  Ref projection = eras::simulation_data_contract_projection_from_era(era.get());
  if (!projection) return nullptr;
  if (projection.get() != Py_None &&
      PyDict_SetItem(b, QM_NAME("simulation_data_contract_projection"), projection.get()) < 0) {
    return nullptr;
  }

  const LegacyRetry retry{signal_pool_name, a[kIdempotencyKey] != Py_None};
  Ref key = retry.caller_supplied_key ? Ref::borrow(a[kIdempotencyKey]) : derive_key(self, b);
  if (!key || !put(b, QM_NAME("idempotency_key"), Ref(PyObject_Str(key.get())))) return nullptr;

  return post_signal(self, b, &retry);
}

PyObject* submit_signal_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("SignalServiceClient.submit_signal", 1, 2,
                                   {{"graph", true},
                                    {"named_universe", false},
                                    {"signal_pool_name", true},
                                    {"is_stats", true},
                                    {"is_pnl_mi", true},
                                    {"metaparameters", false},
                                    {"expression_elapsed_seconds", true},
                                    {"search_state", false},
                                    {"idempotency_key", false},
                                    {"threshold_checks", false},
                                    {"thresholds", false},
                                    {"client_manifest_version", false},
                                    {"market_id", false},
                                    {"era_number", false},
                                    {"client_manifest_market_id", false},
                                    {"client_manifest_era_number", false}});
  PyObject* a[kArgCount];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  for (PyObject*& value : a) value = host::or_default(value, Py_None);
  return host::guarded([&] { return submit_signal(self, a); });
}

}  // namespace

PyMethodDef kSubmitSignal = {
    "submit_signal", QM_FASTCALL_ENTRY(submit_signal_entry),
    "submit_signal($self, graph, named_universe=None, *, signal_pool_name, is_stats, is_pnl_mi, "
    "metaparameters=None, expression_elapsed_seconds, search_state=None, idempotency_key=None, "
    "threshold_checks=None, thresholds=None, client_manifest_version=None, market_id=None, era_number=None, "
    "client_manifest_market_id=None, client_manifest_era_number=None)\n--\n\n"
    "Check a signal against the active era's rules, post it to signals/submit with an idempotency key "
    "and return a SubmitResult for acceptance, rejection, a malformed answer or a transport failure."};

}  // namespace quillmarsh::operations
