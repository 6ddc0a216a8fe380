#include "quillmarsh/submit/eras/thresholds.hpp"

#include "quillmarsh/submit/eras/accessors.hpp"
#include "quillmarsh/submit/eras/selection.hpp"
#include "quillmarsh/submit/host/text.hpp"

namespace quillmarsh::eras {

namespace {

PyObject* new_empty_list() { return PyList_New(0); }

// `_field_value(record, key, <a new empty container>)`
Ref field_value_or_new(PyObject* record, PyObject* key, PyObject* (*make_empty)()) {
  Ref empty(make_empty());
  return empty ? call_field_value(record, key, empty.get()) : Ref();
}

// `dict(mapping)`: a shallow copy as a plain dict.
Ref copy_dict(PyObject* mapping) {
  if (PyDict_CheckExact(mapping)) return Ref(PyDict_Copy(mapping));
  return Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), mapping));
}

// `target.update(source)`
bool update_dict(PyObject* target, PyObject* source) {
  if (PyDict_Check(source)) return PyDict_Update(target, source) == 0;
  return Ref(PyObject_CallMethodOneArg(target, QM_NAME("update"), source)) ? true : false;
}

// `_coerce_optional_int(_field_value(record, "rule_id"))`
Ref rule_id_of(PyObject* record) {
  Ref raw = call_field_value(record, QM_NAME("rule_id"));
  return raw ? call_coerce_optional_int(raw.get()) : Ref();
}

// The rule id of a record found for the universe, or None (also when none was found).
Ref rule_id_of_found(PyObject* found) {
  if (found == Py_None) return Ref::borrow(Py_None);
  return rule_id_of(found);
}

// `named_universe in (_field_value(u, "named_universe"), _field_value(u, "id"),
// _field_value(u, "name"))`: all three are read, then compared in order.
int names_universe(PyObject* universe, PyObject* named_universe) {
  Ref names[] = {call_field_value(universe, QM_NAME("named_universe")), Ref(), Ref()};
  if (!names[0]) return -1;
  names[1] = call_field_value(universe, QM_NAME("id"));
  if (!names[1]) return -1;
  names[2] = call_field_value(universe, QM_NAME("name"));
  if (!names[2]) return -1;
  for (const Ref& name : names) {
    int same = PyObject_RichCompareBool(name.get(), named_universe, Py_EQ);
    if (same != 0) return same;
  }
  return 0;
}

}  // namespace

Ref rule_id_for_named_universe(PyObject*, PyObject* era, PyObject* named_universe) {
  // 1. The era's universe rules, keyed by named universe.
  Ref rules = field_value_or_new(era, QM_NAME("universe_rules"), PyDict_New);
  Ref rule = rules ? host::call<&mapping_lookup>(rules.get(), named_universe) : Ref();
  Ref out = rule ? rule_id_of_found(rule.get()) : Ref();
  if (!out || out.get() != Py_None) return out;

  // 2. The era's universes keyed by named universe.
  Ref universes = field_value_or_new(era, QM_NAME("universes"), new_empty_list);
  if (!universes) return Ref();
  if (PyDict_Check(universes.get())) {
    Ref universe = host::call<&mapping_lookup>(universes.get(), named_universe);
    out = universe ? rule_id_of_found(universe.get()) : Ref();
    if (!out || out.get() != Py_None) return out;
  }

  // 3. The era's universes as a list of records naming themselves.
  if (!PyList_Check(universes.get())) return Ref::borrow(Py_None);
  int found = for_each(universes.get(), [&](PyObject* universe) -> int {
    int named = names_universe(universe, named_universe);
    if (named <= 0) return named;
    out = rule_id_of(universe);
    if (!out) return -1;
    return out.get() != Py_None;
  });
  if (found != 0) return found > 0 ? std::move(out) : Ref();
  return Ref::borrow(Py_None);
}

Ref signal_is_thresholds_for_pool(PyObject*, PyObject* pool, PyObject* rule_id) {
  Ref universes = field_value_or_new(pool, QM_NAME("universes"), PyDict_New);
  if (!universes) return Ref();
  Ref universe_cfg = Ref::borrow(Py_None);
  if (PyDict_Check(universes.get())) {
    universe_cfg = host::call<&mapping_lookup>(universes.get(), rule_id);
    if (!universe_cfg) return Ref();
  } else if (PyList_Check(universes.get())) {
    int found = for_each(universes.get(), [&](PyObject* item) -> int {
      Ref plain = call_field_value(item, QM_NAME("rule_id"));
      Ref raw = plain ? call_field_value(item, QM_NAME("universe_rule_id"), plain.get()) : Ref();
      Ref item_rule_id = raw ? call_coerce_optional_int(raw.get()) : Ref();
      if (!item_rule_id) return -1;
      int same = equals(item_rule_id.get(), rule_id);
      if (same > 0) universe_cfg = Ref::borrow(item);
      return same;
    });
    if (found < 0) return Ref();
  }

  // The universe's own thresholds, else the pool-wide ones, each taken whole.
  Ref thresholds = call_field_value(universe_cfg.get(), QM_NAME("signal_is_thresholds"), Py_None);
  if (!thresholds) return Ref();
  if (PyDict_Check(thresholds.get())) return copy_dict(thresholds.get());
  thresholds = call_field_value(pool, QM_NAME("signal_is_thresholds"), Py_None);
  if (!thresholds) return Ref();
  if (PyDict_Check(thresholds.get())) return copy_dict(thresholds.get());
  return Ref(PyDict_New());
}

Ref submission_thresholds_from_era_catalog(PyObject*, PyObject* catalog, PyObject* named_universe,
                                           PyObject* signal_pool_name, PyObject* market_id, PyObject* era_number) {
  Ref era = call_active_era_from_catalog(catalog, market_id, era_number);
  if (!era) return Ref();
  if (era.get() == Py_None) return Ref(raise_value_error("thresholds unavailable: /eras returned no active era"));

  PyObject* pool_args[] = {era.get(), signal_pool_name};
  Ref pool = host::call_global(QM_NAME("_shared_selected_signal_pool_from_era_config"), pool_args, 2);
  if (!pool) return Ref();
  if (pool.get() == Py_None) {
    Ref shown(PyObject_Repr(signal_pool_name));
    return Ref(
        raise_value_error({QM_NAME("thresholds unavailable: signal_pool_name "), shown.get(), QM_NAME(" not found")}));
  }

  Ref rule_id = host::call<&rule_id_for_named_universe>(era.get(), named_universe);
  if (!rule_id) return Ref();
  if (rule_id.get() == Py_None) {
    Ref shown(PyObject_Repr(named_universe));
    return Ref(
        raise_value_error({QM_NAME("thresholds unavailable: named_universe "), shown.get(), QM_NAME(" not found")}));
  }

  // Lowest to highest precedence: the era's thresholds, the pool's for the universe,
  // the pool's own correlation and MI fields.
  Ref thresholds(PyDict_New());
  if (!thresholds) return Ref();
  Ref era_thresholds = call_field_value(era.get(), QM_NAME("thresholds"), Py_None);
  if (!era_thresholds) return Ref();
  if (PyDict_Check(era_thresholds.get()) && PyDict_Update(thresholds.get(), era_thresholds.get()) < 0) return Ref();
  Ref pool_thresholds = host::call<&signal_is_thresholds_for_pool>(pool.get(), rule_id.get());
  if (!pool_thresholds || !update_dict(thresholds.get(), pool_thresholds.get())) return Ref();
  for (PyObject* key : {QM_NAME("is_correlation_threshold"), QM_NAME("is_pnl_mi_threshold")}) {
    Ref value = call_field_value(pool.get(), key, Py_None);
    if (!value) return Ref();
    if (value.get() != Py_None && PyDict_SetItem(thresholds.get(), key, value.get()) < 0) return Ref();
  }

  int has = PyDict_Contains(thresholds.get(), QM_NAME("is_correlation_threshold"));
  if (has <= 0) {
    return has < 0 ? Ref() : Ref(raise_value_error("thresholds unavailable: missing is_correlation_threshold"));
  }
  has = PyDict_Contains(thresholds.get(), QM_NAME("is_pnl_mi_threshold"));
  if (has == 0) has = PyDict_Contains(thresholds.get(), QM_NAME("mi_threshold"));
  if (has <= 0) {
    return has < 0 ? Ref() : Ref(raise_value_error("thresholds unavailable: missing is_pnl_mi_threshold"));
  }
  return thresholds;
}

namespace {

// The catalog `GET eras` answered (`answer`), or null when the request failed (its error set):
// the outline checked and the catalog cached on the client.
Ref era_catalog_from(PyObject* self, PyObject* answer) {
  Ref status_code, catalog;
  if (!answer || !host::unpack_pair(answer, status_code, catalog)) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
    Ref cause = host::take_exception();
    host::raise_type_from(PyExc_ValueError, QM_NAME("thresholds are required for submit_signal; could not fetch /eras"),
                          cause.get());
    return Ref();
  }

  bool outlined = false;
  if (PyDict_Check(catalog.get())) {
    Ref grouping = dict_get(catalog.get(), QM_NAME("eras_by_market"));
    if (!grouping) return Ref();
    outlined = PyDict_Check(grouping.get());
    if (!outlined) {
      grouping = dict_get(catalog.get(), QM_NAME("market_era_groups"));
      if (!grouping) return Ref();
      outlined = PyDict_Check(grouping.get());
    }
    if (!outlined) {
      Ref flat = dict_get(catalog.get(), QM_NAME("eras"));
      if (!flat) return Ref();
      outlined = PyList_Check(flat.get());
    }
  }
  if (!outlined) {
    return Ref(raise_value_error("thresholds are required for submit_signal; /eras returned invalid payload"));
  }
  if (PyObject_SetAttr(self, QM_NAME("_era_catalog_cache"), catalog.get()) < 0) return Ref();
  return catalog;
}

}  // namespace

// The client's era catalog: the cached one, else `GET eras` with its outline checked.
Ref client_fetch_era_catalog(PyObject* self) {
  Ref cached(PyObject_GetAttr(self, QM_NAME("_era_catalog_cache")));
  if (!cached) return Ref();
  if (PyDict_Check(cached.get())) return cached;
  PyObject* request_args[] = {self, QM_NAME("GET"), QM_NAME("eras")};
  Ref answer(PyObject_VectorcallMethod(QM_NAME("_canonical_request"), request_args, 3, nullptr));
  return era_catalog_from(self, answer.get());
}

PyObject* settle_era_catalog(PyObject*, PyObject* client, PyObject* answer, PyObject* failure) {
  if (failure != Py_None) {
    if (!PyExceptionInstance_Check(failure)) {
      PyErr_SetString(PyExc_TypeError, "_settle_era_catalog needs the exception the request raised");
      return nullptr;
    }
    host::restore_exception(Ref::borrow(failure));
    return era_catalog_from(client, nullptr).release();
  }
  return era_catalog_from(client, answer).release();
}

Ref client_resolve_submit_thresholds(PyObject* self, PyObject* named_universe, PyObject* signal_pool_name,
                                     PyObject* market_id, PyObject* era_number) {
  Ref catalog(PyObject_CallMethodNoArgs(self, QM_NAME("_fetch_era_catalog")));
  if (!catalog) return Ref();
  PyObject* kwnames = market_era_kwnames();
  if (kwnames == nullptr) return Ref();
  return host::call_kw<&submission_thresholds_from_era_catalog>(kwnames, catalog.get(), named_universe,
                                                                signal_pool_name, market_id, era_number);
}

}  // namespace quillmarsh::eras
