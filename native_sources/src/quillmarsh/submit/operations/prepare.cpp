#include "quillmarsh/submit/operations/prepare.hpp"

#include "quillmarsh/submit/eras/accessors.hpp"
#include "quillmarsh/submit/eras/common.hpp"
#include "quillmarsh/submit/eras/graph_gates.hpp"
#include "quillmarsh/submit/eras/selection.hpp"
#include "quillmarsh/submit/host/keywords.hpp"

namespace quillmarsh::operations {

PyObject* key_of(Field field) {
  switch (field) {
    case Field::Graph:
      return QM_NAME("graph");
    case Field::NamedUniverse:
      return QM_NAME("named_universe");
    case Field::SignalPoolName:
      return QM_NAME("signal_pool_name");
    case Field::IsStats:
      return QM_NAME("is_stats");
    case Field::IsPnlMi:
      return QM_NAME("is_pnl_mi");
    case Field::ExpressionElapsedSeconds:
      return QM_NAME("expression_elapsed_seconds");
    case Field::ClientManifestVersion:
      return QM_NAME("client_manifest_version");
    case Field::MarketId:
      return QM_NAME("market_id");
    case Field::EraNumber:
      return QM_NAME("era_number");
    case Field::ClientManifestMarketId:
      return QM_NAME("client_manifest_market_id");
    case Field::ClientManifestEraNumber:
      return QM_NAME("client_manifest_era_number");
    case Field::Count:
      break;
  }
  PyErr_SetString(PyExc_SystemError, "no such signal field");
  return nullptr;
}

namespace {

// `self.<method>(universe, pool, market_id=..., era_number=...)` and the like: the
// positional fields, then the market and the era number (each read now) as keywords.
Ref call_with_market_era(PyObject* self, PyObject* method, SignalFields& fields, PyObject* const* positional,
                         size_t npositional) {
  PyObject* kwnames = eras::market_era_kwnames();
  if (kwnames == nullptr) return Ref();
  Ref market_id = fields.get(Field::MarketId);
  Ref era_number = market_id ? fields.get(Field::EraNumber) : Ref();
  if (!era_number) return Ref();
  PyObject* args[] = {self, positional[0], positional[1], market_id.get(), era_number.get()};
  return Ref(PyObject_VectorcallMethod(method, args, 1 + npositional, kwnames));
}

// Fields left None take the era's: the market and the era number, then (for a batch body)
// the manifest's market and era from them.
bool settle_era_fields(SignalFields& fields, PyObject* era) {
  for (Field field : {Field::MarketId, Field::EraNumber}) {
    Ref given = fields.get(field);
    if (!given) return false;
    if (given.get() != Py_None) continue;
    PyObject* key = key_of(field);
    if (key == nullptr || !fields.set(field, host::call<&eras::required_positive_era_int>(era, key))) {
      return false;
    }
  }
  if (!fields.manifest_follows_era()) return true;
  const Field follows[][2] = {{Field::ClientManifestMarketId, Field::MarketId},
                              {Field::ClientManifestEraNumber, Field::EraNumber}};
  for (const auto& [field, source] : follows) {
    Ref given = fields.get(field);
    if (!given) return false;
    if (given.get() != Py_None) continue;
    if (!fields.set(field, fields.get(source))) return false;
  }
  return true;
}

// `self._validate_submission_contract(pool, is_stats, is_pnl_mi, elapsed, thresholds=...,
// client_manifest_version=..., client_manifest_market_id=..., client_manifest_era_number=...)`
bool check_contract(PyObject* self, SignalFields& fields, PyObject* thresholds) {
  static const host::Keywords kw(
      {"thresholds", "client_manifest_version", "client_manifest_market_id", "client_manifest_era_number"});
  PyObject* kwnames = kw.names();
  if (kwnames == nullptr) return false;
  const Field read[] = {Field::SignalPoolName,
                        Field::IsStats,
                        Field::IsPnlMi,
                        Field::ExpressionElapsedSeconds,
                        Field::Count,  // the thresholds
                        Field::ClientManifestVersion,
                        Field::ClientManifestMarketId,
                        Field::ClientManifestEraNumber};
  Ref values[8];
  PyObject* args[9] = {self};
  for (int i = 0; i < 8; ++i) {
    values[i] = read[i] == Field::Count ? Ref::borrow(thresholds) : fields.get(read[i]);
    if (!values[i]) return false;
    args[i + 1] = values[i].get();
  }
  return static_cast<bool>(Ref(PyObject_VectorcallMethod(QM_NAME("_validate_submission_contract"), args, 5, kwnames)));
}

}  // namespace

bool prepare_signal(PyObject* self, SignalFields& fields, Prepared& out) {
  Ref universe = fields.get(Field::NamedUniverse);
  Ref pool = universe ? fields.get(Field::SignalPoolName) : Ref();
  if (!pool) return false;
  PyObject* const identity[] = {universe.get(), pool.get()};
  out.thresholds = call_with_market_era(self, QM_NAME("_resolve_submit_thresholds"), fields, identity, 2);
  if (!out.thresholds) return false;
  PyObject* fetch_args[] = {self};
  Ref catalog(PyObject_VectorcallMethod(QM_NAME("_fetch_era_catalog"), fetch_args, 1, nullptr));
  if (!catalog) return false;
  Ref market_id = fields.get(Field::MarketId);
  Ref era_number = market_id ? fields.get(Field::EraNumber) : Ref();
  out.era =
      era_number ? eras::call_required_active_submit_era(catalog.get(), market_id.get(), era_number.get()) : Ref();
  if (!out.era || !settle_era_fields(fields, out.era.get())) return false;
  if (!check_contract(self, fields, out.thresholds.get())) return false;

  Ref graph = fields.get(Field::Graph);
  out.complexity = graph ? host::call<&eras::enforce_graph_complexity_for_submit>(graph.get(), out.era.get()) : Ref();
  if (!out.complexity) return false;
  graph = fields.get(Field::Graph);
  return graph && host::call<&eras::enforce_recorded_backtest_timing_for_submit>(graph.get(), out.era.get());
}

}  // namespace quillmarsh::operations
