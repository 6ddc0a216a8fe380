// SignalServiceClient.submit_strategy: a strategy posted once to strategies/submit. Unlike a
// signal it is not held against the era catalog, and every failure of its request raises.
#include "quillmarsh/submit/host/module_ns.hpp"
#include "quillmarsh/submit/operations/idempotency.hpp"
#include "quillmarsh/submit/operations/outcome.hpp"
#include "quillmarsh/submit/operations/registry.hpp"
#include "quillmarsh/submit/validation/identifiers.hpp"

namespace quillmarsh::operations {

namespace {

enum Arg {
  kGraph,
  kNamedUniverse,
  kStrategyPoolName,
  kMarketId,
  kEraNumber,
  kMetaparameters,
  kIdempotencyKey,
  kManifestVersion,
  kManifestMarketId,
  kManifestEraNumber,
  kArgCount,
};

// `_validate_optional_manifest_int(value, field_name)`
Ref manifest_int(PyObject* value, PyObject* field_name) {
  PyObject* args[] = {value, field_name};
  return host::call_global(QM_NAME("_validate_optional_manifest_int"), args, 2);
}

bool put(PyObject* body, PyObject* key, const Ref& value) {
  return value && PyDict_SetItem(body, key, value.get()) == 0;
}

PyObject* submit_strategy(PyObject* self, PyObject* const* a) {
  PyObject* market_id = a[kMarketId];
  PyObject* era_number = a[kEraNumber];
  PyObject* universe_args[] = {a[kNamedUniverse]};
  Ref named_universe = host::call_global(QM_NAME("_validate_named_universe"), universe_args, 1);
  if (!named_universe) return nullptr;
  if (!validation::call_validate_selected_pool_id(a[kStrategyPoolName], QM_NAME("strategy_pool_name"))) {
    return nullptr;
  }

  // Rows in the order they are computed; the dict is made once all are known.
  Ref market_int(PyNumber_Long(market_id));
  Ref era_int = market_int ? Ref(PyNumber_Long(era_number)) : Ref();
  PyObject* manifest_market = a[kManifestMarketId] != Py_None ? a[kManifestMarketId] : market_id;
  PyObject* manifest_era = a[kManifestEraNumber] != Py_None ? a[kManifestEraNumber] : era_number;
  Ref market_manifest = era_int ? manifest_int(manifest_market, QM_NAME("client_manifest_market_id")) : Ref();
  Ref era_manifest = market_manifest ? manifest_int(manifest_era, QM_NAME("client_manifest_era_number")) : Ref();
  Ref body = era_manifest ? Ref(PyDict_New()) : Ref();
  if (!body) return nullptr;
  PyObject* b = body.get();
  if (PyDict_SetItem(b, QM_NAME("graph"), a[kGraph]) < 0 || !put(b, QM_NAME("named_universe"), named_universe) ||
      PyDict_SetItem(b, QM_NAME("strategy_pool_name"), a[kStrategyPoolName]) < 0 ||
      !put(b, QM_NAME("market_id"), market_int) || !put(b, QM_NAME("era_number"), era_int) ||
      !put(b, QM_NAME("client_manifest_market_id"), market_manifest) ||
      !put(b, QM_NAME("client_manifest_era_number"), era_manifest)) {
    return nullptr;
  }
  if (a[kManifestVersion] != Py_None &&
      !put(b, QM_NAME("client_manifest_version"),
           manifest_int(a[kManifestVersion], QM_NAME("client_manifest_version")))) {
    return nullptr;
  }
  if (a[kMetaparameters] != Py_None && PyDict_SetItem(b, QM_NAME("metaparameters"), a[kMetaparameters]) < 0) {
    return nullptr;
  }
  Ref key = a[kIdempotencyKey] != Py_None ? Ref::borrow(a[kIdempotencyKey]) : derive_key(self, b);
  if (!key || !put(b, QM_NAME("idempotency_key"), Ref(PyObject_Str(key.get())))) return nullptr;

  Ref status_code, response_body;
  if (!request(self, QM_NAME("POST"), QM_NAME("strategies/submit"), b, status_code, response_body)) return nullptr;
  PyObject* args[] = {self, status_code.get(), response_body.get()};
  return PyObject_VectorcallMethod(QM_NAME("_submit_result_from_body"), args, 3, nullptr);
}

PyObject* submit_strategy_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const host::Signature sig("SignalServiceClient.submit_strategy", 1, 2,
                                   {{"graph", true},
                                    {"named_universe", false},
                                    {"strategy_pool_name", true},
                                    {"market_id", true},
                                    {"era_number", true},
                                    {"metaparameters", false},
                                    {"idempotency_key", false},
                                    {"client_manifest_version", false},
                                    {"client_manifest_market_id", false},
                                    {"client_manifest_era_number", false}});
  PyObject* a[kArgCount];
  if (!sig.bind(args, nargs, kwnames, a)) return nullptr;
  for (PyObject*& value : a) value = host::or_default(value, Py_None);
  return host::guarded([&] { return submit_strategy(self, a); });
}

}  // namespace

PyMethodDef kSubmitStrategy = {
    "submit_strategy", QM_FASTCALL_ENTRY(submit_strategy_entry),
    "submit_strategy($self, graph, named_universe=None, *, strategy_pool_name, market_id, era_number, "
    "metaparameters=None, idempotency_key=None, client_manifest_version=None, client_manifest_market_id=None, "
    "client_manifest_era_number=None)\n--\n\n"
    "Post a strategy to strategies/submit with an idempotency key and return its SubmitResult; "
    "rejections, malformed answers and transport failures raise."};

}  // namespace quillmarsh::operations
