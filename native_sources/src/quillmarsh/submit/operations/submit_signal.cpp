// SignalServiceClient.submit_signal: local checks against the active era, the request body
// with its idempotency key, the POST to signals/submit with the one legacy retry, and the
// SubmitResult of every outcome the service or the transport produces.
#include "quillmarsh/submit/eras/accessors.hpp"
#include "quillmarsh/submit/host/keywords.hpp"
#include "quillmarsh/submit/operations/exchange.hpp"
#include "quillmarsh/submit/operations/idempotency.hpp"
#include "quillmarsh/submit/operations/operations.hpp"
#include "quillmarsh/submit/operations/prepare.hpp"
#include "quillmarsh/submit/transport/errors.hpp"
#include "quillmarsh/submit/validation/contract.hpp"
#include "quillmarsh/submit/validation/identifiers.hpp"
#include "quillmarsh/submit/validation/lookups.hpp"
#include "quillmarsh/submit/validation/metrics.hpp"

namespace quillmarsh::operations {

namespace {

FailureMap g_submit_failures = {
    "_submit_result_from_body",
    {Mapping::Convert, "_submit_result_from_transport_error"},
    {Mapping::Convert, "_submit_result_from_rejection"},
    {Mapping::Convert, "_submit_result_from_response_error"},
    /*gateway=*/true,
};

// The POST to signals/submit. A rejection that asks for signal_pool_id is posted once more,
// with it (and, unless the caller chose the key, a key derived anew, then standing last); the
// answer to that is final.
class SubmitSignal final : public SingleRequest {
 public:
  SubmitSignal(PyObject* self, Ref body, PyObject* signal_pool_name, bool caller_supplied_key)
      : SingleRequest(
            self, g_submit_failures,
            Request{Ref::borrow(QM_NAME("POST")), Ref::borrow(QM_NAME("signals/submit")), Ref::borrow(body.get())}),
        body_(std::move(body)),
        signal_pool_name_(Ref::borrow(signal_pool_name)),
        caller_supplied_key_(caller_supplied_key) {}

 protected:
  int on_rejection(PyObject* exc) override {
    if (retried_) return 0;
    int legacy = validation::truth_of(host::call<&transport::requires_legacy_signal_pool_id_retry>(exc));
    if (legacy <= 0) return legacy;
    Ref legacy_body = legacy_body_of();
    if (!legacy_body) return -1;
    retried_ = true;
    queue(Request{Ref::borrow(QM_NAME("POST")), Ref::borrow(QM_NAME("signals/submit")), std::move(legacy_body)});
    return 1;
  }

 private:
  Ref legacy_body_of() {
    Ref legacy(PyDict_Copy(body_.get()));
    if (!legacy || PyDict_SetItem(legacy.get(), QM_NAME("signal_pool_id"), signal_pool_name_.get()) < 0) return Ref();
    if (caller_supplied_key_) return legacy;
    PyObject* key_name = QM_NAME("idempotency_key");
    int present = PyDict_Contains(legacy.get(), key_name);
    if (present < 0 || (present && PyDict_DelItem(legacy.get(), key_name) < 0)) return Ref();
    return host::put(legacy.get(), key_name, derive_key(self(), legacy.get())) ? std::move(legacy) : Ref();
  }

  Ref body_;
  Ref signal_pool_name_;
  bool caller_supplied_key_;
  bool retried_ = false;
};

// submit_signal's arguments as the preparation reads them.
class ArgumentFields final : public SignalFields {
 public:
  explicit ArgumentFields(std::initializer_list<PyObject*> values) {
    size_t i = 0;
    for (PyObject* value : values) values_[i++] = Ref::borrow(value);
  }
  Ref get(Field field) override { return Ref::borrow(values_[static_cast<size_t>(field)].get()); }
  bool set(Field field, const Ref& value) override {
    if (!value) return false;
    values_[static_cast<size_t>(field)] = Ref::borrow(value.get());
    return true;
  }
  bool manifest_follows_era() const override { return false; }

 private:
  Ref values_[static_cast<size_t>(Field::Count)];
};

}  // namespace

std::unique_ptr<Exchange> prepare_submit_signal(PyObject* self, PyObject* graph, PyObject* named_universe,
                                                PyObject* signal_pool_name, PyObject* is_stats, PyObject* is_pnl_mi,
                                                PyObject* metaparameters, PyObject* expression_elapsed_seconds,
                                                PyObject* search_state, PyObject* idempotency_key,
                                                PyObject* threshold_checks, PyObject* thresholds,
                                                PyObject* client_manifest_version, PyObject* market_id,
                                                PyObject* era_number, PyObject* client_manifest_market_id,
                                                PyObject* client_manifest_era_number) {
  static const host::Keywords authority_kw({"threshold_checks", "thresholds"});
  PyObject* authority_names = authority_kw.names();
  if (authority_names == nullptr ||
      !host::call_kw<&validation::reject_caller_threshold_authority>(authority_names, threshold_checks, thresholds)) {
    return {};
  }
  Ref universe = host::call<&validation::validate_named_universe>(named_universe);
  if (!universe || !host::call<&validation::validate_selected_pool_id>(signal_pool_name, QM_NAME("signal_pool_name"))) {
    return {};
  }
  Ref require = host::global_attr(QM_NAME("_backtest_timing"), QM_NAME("require_recorded_backtest_timing"));
  if (!require || !Ref(PyObject_CallOneArg(require.get(), graph))) return {};

  ArgumentFields fields({graph, universe.get(), signal_pool_name, is_stats, is_pnl_mi, expression_elapsed_seconds,
                         client_manifest_version, market_id, era_number, client_manifest_market_id,
                         client_manifest_era_number});
  Prepared prepared;
  if (!prepare_signal(self, fields, prepared)) return {};
  Ref stats_payload = host::call<&validation::submission_is_stats_payload>(is_stats);
  if (!stats_payload) return {};

  // The body's values in the order they are computed; the dict is made once all are known.
  Ref market = fields.get(Field::MarketId);
  Ref era_no = fields.get(Field::EraNumber);
  Ref depth(PyObject_GetAttr(prepared.complexity.get(), QM_NAME("depth")));
  Ref node_count = depth ? Ref(PyObject_GetAttr(prepared.complexity.get(), QM_NAME("node_count"))) : Ref();
  Ref mi = node_count ? host::call<&validation::mi_contract_json_value>(is_pnl_mi) : Ref();
  Ref market_int = mi ? Ref(PyNumber_Long(market.get())) : Ref();
  Ref era_int = market_int ? Ref(PyNumber_Long(era_no.get())) : Ref();
  Ref body = era_int ? Ref(PyDict_New()) : Ref();
  if (!body) return {};
  PyObject* b = body.get();
  using host::put;
  if (!put(b, QM_NAME("graph"), Ref::borrow(graph)) || !put(b, QM_NAME("named_universe"), universe) ||
      !put(b, QM_NAME("signal_pool_name"), Ref::borrow(signal_pool_name)) || !put(b, QM_NAME("graph_depth"), depth) ||
      !put(b, QM_NAME("graph_node_count"), node_count) || !put(b, QM_NAME("is_stats"), stats_payload) ||
      !put(b, QM_NAME("is_pnl_mi"), mi) ||
      !put(b, QM_NAME("expression_elapsed_seconds"), Ref::borrow(expression_elapsed_seconds)) ||
      !put(b, QM_NAME("market_id"), market_int) || !put(b, QM_NAME("era_number"), era_int)) {
    return {};
  }

  // The manifest: the version when given; the market and era, the signal's unless given.
  auto manifest_int = [](PyObject* value, PyObject* field_name) {
    return host::call<&validation::validate_optional_manifest_int>(value, field_name);
  };
  if (client_manifest_version != Py_None &&
      !put(b, QM_NAME("client_manifest_version"),
           manifest_int(client_manifest_version, QM_NAME("client_manifest_version")))) {
    return {};
  }
  PyObject* manifest_market = client_manifest_market_id != Py_None ? client_manifest_market_id : market.get();
  PyObject* manifest_era = client_manifest_era_number != Py_None ? client_manifest_era_number : era_no.get();
  if (!put(b, QM_NAME("client_manifest_market_id"),
           manifest_int(manifest_market, QM_NAME("client_manifest_market_id"))) ||
      !put(b, QM_NAME("client_manifest_era_number"),
           manifest_int(manifest_era, QM_NAME("client_manifest_era_number")))) {
    return {};
  }
  if (metaparameters != Py_None && !put(b, QM_NAME("metaparameters"), Ref::borrow(metaparameters))) return {};
  if (search_state != Py_None && !put(b, QM_NAME("search_state"), Ref::borrow(search_state))) return {};
  Ref projection = host::call<&eras::simulation_data_contract_projection_from_era>(prepared.era.get());
  if (!projection) return {};
  if (projection.get() != Py_None && !put(b, QM_NAME("simulation_data_contract_projection"), projection)) {
    return {};
  }

  const bool caller_supplied_key = idempotency_key != Py_None;
  Ref key = caller_supplied_key ? Ref::borrow(idempotency_key) : derive_key(self, b);
  if (!key || !put(b, QM_NAME("idempotency_key"), Ref(PyObject_Str(key.get())))) return {};
  return std::make_unique<SubmitSignal>(self, std::move(body), signal_pool_name, caller_supplied_key);
}

}  // namespace quillmarsh::operations
