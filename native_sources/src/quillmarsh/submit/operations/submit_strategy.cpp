// SignalServiceClient.submit_strategy: a strategy posted once to strategies/submit. Unlike a
// signal it is not held against the era catalog, and every failure of its request raises.
#include "quillmarsh/submit/operations/exchange.hpp"
#include "quillmarsh/submit/operations/idempotency.hpp"
#include "quillmarsh/submit/operations/operations.hpp"
#include "quillmarsh/submit/validation/contract.hpp"
#include "quillmarsh/submit/validation/identifiers.hpp"

namespace quillmarsh::operations {

namespace {

// An answer is read as an accepted submission; a failure propagates unchanged.
FailureMap g_strategy_answer = {
    "_submit_result_from_body", {Mapping::Raise, nullptr}, {Mapping::Raise, nullptr}, {Mapping::Raise, nullptr},
    /*gateway=*/false,
};

}  // namespace

std::unique_ptr<Exchange> prepare_submit_strategy(PyObject* self, PyObject* graph, PyObject* named_universe,
                                                  PyObject* strategy_pool_name, PyObject* market_id,
                                                  PyObject* era_number, PyObject* metaparameters,
                                                  PyObject* idempotency_key, PyObject* client_manifest_version,
                                                  PyObject* client_manifest_market_id,
                                                  PyObject* client_manifest_era_number) {
  Ref universe = host::call<&validation::validate_named_universe>(named_universe);
  if (!universe ||
      !host::call<&validation::validate_selected_pool_id>(strategy_pool_name, QM_NAME("strategy_pool_name"))) {
    return {};
  }
  auto manifest_int = [](PyObject* value, PyObject* field_name) {
    return host::call<&validation::validate_optional_manifest_int>(value, field_name);
  };

  // Rows in the order they are computed; the dict is made once all are known.
  Ref market_int(PyNumber_Long(market_id));
  Ref era_int = market_int ? Ref(PyNumber_Long(era_number)) : Ref();
  PyObject* manifest_market = client_manifest_market_id != Py_None ? client_manifest_market_id : market_id;
  PyObject* manifest_era = client_manifest_era_number != Py_None ? client_manifest_era_number : era_number;
  Ref market_manifest = era_int ? manifest_int(manifest_market, QM_NAME("client_manifest_market_id")) : Ref();
  Ref era_manifest = market_manifest ? manifest_int(manifest_era, QM_NAME("client_manifest_era_number")) : Ref();
  Ref body = era_manifest ? Ref(PyDict_New()) : Ref();
  if (!body) return {};
  PyObject* b = body.get();
  using host::put;
  if (!put(b, QM_NAME("graph"), Ref::borrow(graph)) || !put(b, QM_NAME("named_universe"), universe) ||
      !put(b, QM_NAME("strategy_pool_name"), Ref::borrow(strategy_pool_name)) ||
      !put(b, QM_NAME("market_id"), market_int) || !put(b, QM_NAME("era_number"), era_int) ||
      !put(b, QM_NAME("client_manifest_market_id"), market_manifest) ||
      !put(b, QM_NAME("client_manifest_era_number"), era_manifest)) {
    return {};
  }
  if (client_manifest_version != Py_None &&
      !put(b, QM_NAME("client_manifest_version"),
           manifest_int(client_manifest_version, QM_NAME("client_manifest_version")))) {
    return {};
  }
  if (metaparameters != Py_None && !put(b, QM_NAME("metaparameters"), Ref::borrow(metaparameters))) return {};
  Ref key = idempotency_key != Py_None ? Ref::borrow(idempotency_key) : derive_key(self, b);
  if (!key || !put(b, QM_NAME("idempotency_key"), Ref(PyObject_Str(key.get())))) return {};

  return std::make_unique<SingleRequest>(
      self, g_strategy_answer,
      Request{Ref::borrow(QM_NAME("POST")), Ref::borrow(QM_NAME("strategies/submit")), std::move(body)},
      /*map_failures=*/false);
}

}  // namespace quillmarsh::operations
