#include "quillmarsh/submit/eras/selection.hpp"

#include <cstring>

#include "quillmarsh/submit/eras/accessors.hpp"

namespace quillmarsh::eras {

namespace {

// Appends the eras of every list among the grouping's values, in the grouping's order.
bool merge_market_eras(PyObject* grouping, PyObject* merged) {
  auto append = [&](PyObject* market_eras) -> int {
    if (!PyList_Check(market_eras)) return 0;
    // merged.extend(market_eras); a list subclass is read through its own iterator.
    return PyList_SetSlice(merged, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, market_eras) < 0 ? -1 : 0;
  };
  if (PyDict_CheckExact(grouping)) {
    const Py_ssize_t size = PyDict_GET_SIZE(grouping);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(grouping, &pos, &key, &value)) {
      Ref held = Ref::borrow(value);  // extending from a list subclass may run its code
      if (append(held.get()) < 0) return false;
      if (PyDict_GET_SIZE(grouping) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return false;
      }
    }
    return true;
  }
  Ref values(PyObject_CallMethodNoArgs(grouping, QM_NAME("values")));
  return values && for_each(values.get(), append) == 0;
}

// The eras the choice is made from (a list, or whatever else the catalog holds there).
Ref candidate_eras(PyObject* catalog, PyObject* market_id) {
  Ref grouping = dict_get(catalog, QM_NAME("eras_by_market"));
  if (!grouping) return Ref();
  int grouped = truthy(grouping.get());
  if (grouped < 0) return Ref();
  if (!grouped) {
    grouping = dict_get(catalog, QM_NAME("market_era_groups"));
    if (!grouping) return Ref();
  }
  if (!PyDict_Check(grouping.get())) return dict_get(catalog, QM_NAME("eras"));

  if (market_id != Py_None) {
    // The decimal text key first, then the int key; no fallback to the flat list.
    Ref number(PyNumber_Long(market_id));
    Ref text = number ? Ref(PyObject_Str(number.get())) : Ref();
    Ref eras = text ? dict_get(grouping.get(), text.get()) : Ref();
    if (!eras) return Ref();
    int found = truthy(eras.get());
    if (found != 0) return found > 0 ? std::move(eras) : Ref();
    number = Ref(PyNumber_Long(market_id));
    return number ? dict_get(grouping.get(), number.get()) : Ref();
  }

  Ref merged(PyList_New(0));
  if (!merged || !merge_market_eras(grouping.get(), merged.get())) return Ref();
  if (PyList_GET_SIZE(merged.get()) > 0) return merged;
  return dict_get(catalog, QM_NAME("eras"));
}

// `text.lower() == target` for an ASCII str.
bool ascii_lower_equals(PyObject* text, const char* target) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  if (n != static_cast<Py_ssize_t>(std::strlen(target))) return false;
  const Py_UCS1* chars = PyUnicode_1BYTE_DATA(text);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS1 c = chars[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<Py_UCS1>(c - 'A' + 'a');
    if (c != static_cast<Py_UCS1>(target[i])) return false;
  }
  return true;
}

// Whether the era's state marks it as the active one:
// `str(_field_value(era, "state", "") or "").lower() in ("active", "current", "open")`.
int marks_active(PyObject* era) {
  static const char* const kActiveStates[] = {"active", "current", "open"};
  Ref state = call_field_value(era, QM_NAME("state"), QM_NAME(""));
  if (!state) return -1;
  int present = truthy(state.get());
  if (present <= 0) return present;  // "" matches none of the states
  Ref text(PyObject_Str(state.get()));
  if (!text) return -1;
  if (PyUnicode_CheckExact(text.get()) && PyUnicode_IS_ASCII(text.get())) {
    for (const char* name : kActiveStates) {
      if (ascii_lower_equals(text.get(), name)) return 1;
    }
    return 0;
  }
  Ref lowered(PyObject_CallMethodNoArgs(text.get(), QM_NAME("lower")));
  if (!lowered) return -1;
  for (PyObject* name : {QM_NAME("active"), QM_NAME("current"), QM_NAME("open")}) {
    int same = PyObject_RichCompareBool(name, lowered.get(), Py_EQ);
    if (same != 0) return same;
  }
  return 0;
}

// The first era whose number (read by `number_of`) equals `wanted`: 1 with `chosen`
// set, 0 when none does, -1 on error.
template <typename NumberOf>
int first_numbered(PyObject* eras, PyObject* wanted, Ref& chosen, NumberOf&& number_of) {
  return for_each(eras, [&](PyObject* era) -> int {
    Ref number = number_of(era);
    if (!number) return -1;
    int same = equals(number.get(), wanted);
    if (same > 0) chosen = Ref::borrow(era);
    return same;
  });
}

}  // namespace

Ref active_era_from_catalog(PyObject*, PyObject* catalog, PyObject* market_id, PyObject* era_number) {
  if (!PyDict_Check(catalog)) return Ref::borrow(Py_None);
  Ref eras = candidate_eras(catalog, market_id);
  if (!eras) return Ref();
  if (!PyList_Check(eras.get())) return Ref::borrow(Py_None);
  int nonempty = PyList_CheckExact(eras.get()) ? PyList_GET_SIZE(eras.get()) > 0 : PyObject_IsTrue(eras.get());
  if (nonempty <= 0) return nonempty < 0 ? Ref() : Ref::borrow(Py_None);

  // 1. The era asked for by number.
  if (era_number != Py_None) {
    Ref requested = call_coerce_optional_int(era_number);
    if (!requested) return Ref();
    Ref era;
    int found = first_numbered(eras.get(), requested.get(), era, [](PyObject* candidate) {
      Ref number = call_field_value(candidate, QM_NAME("era_number"));
      return number ? call_coerce_optional_int(number.get()) : Ref();
    });
    if (found != 0) return found > 0 ? std::move(era) : Ref();
  }

  // 2. The catalog's active era number; "id" stands in for a missing "era_number".
  Ref active_id = dict_get(catalog, QM_NAME("active_era_number"));
  if (!active_id) return Ref();
  if (active_id.get() == Py_None) {
    Ref identity = dict_get(catalog, QM_NAME("active_market_era"));
    int given = identity ? truthy(identity.get()) : -1;
    if (given < 0) return Ref();
    if (!given) {
      identity = dict_get(catalog, QM_NAME("current_market_era"));
      if (!identity) return Ref();
    }
    if (PyDict_Check(identity.get())) {
      active_id = dict_get(identity.get(), QM_NAME("era_number"));
      if (!active_id) return Ref();
    }
  }
  active_id = call_coerce_optional_int(active_id.get());
  if (!active_id) return Ref();
  if (active_id.get() != Py_None) {
    Ref era;
    int found = first_numbered(eras.get(), active_id.get(), era, [](PyObject* candidate) {
      Ref id = call_field_value(candidate, QM_NAME("id"));
      Ref number = id ? call_field_value(candidate, QM_NAME("era_number"), id.get()) : Ref();
      return number ? call_coerce_optional_int(number.get()) : Ref();
    });
    if (found != 0) return found > 0 ? std::move(era) : Ref();
  }

  // 3. The first era whose state marks it active.
  Ref chosen;
  int found = for_each(eras.get(), [&](PyObject* era) -> int {
    int active = marks_active(era);
    if (active > 0) chosen = Ref::borrow(era);
    return active;
  });
  if (found != 0) return found > 0 ? std::move(chosen) : Ref();

  // 4. The first era.
  return Ref(PySequence_GetItem(eras.get(), 0));
}

Ref required_active_submit_era(PyObject*, PyObject* catalog, PyObject* market_id, PyObject* era_number) {
  Ref era = call_active_era_from_catalog(catalog, market_id, era_number);
  if (era && era.get() == Py_None) {
    return Ref(raise_value_error("era config unavailable: /eras returned no active era"));
  }
  return era;
}

Ref call_active_era_from_catalog(PyObject* catalog, PyObject* market_id, PyObject* era_number) {
  PyObject* kwnames = market_era_kwnames();
  if (kwnames == nullptr) return Ref();
  return host::call_kw<&active_era_from_catalog>(kwnames, catalog, market_id, era_number);
}

Ref call_required_active_submit_era(PyObject* catalog, PyObject* market_id, PyObject* era_number) {
  PyObject* kwnames = market_era_kwnames();
  if (kwnames == nullptr) return Ref();
  return host::call_kw<&required_active_submit_era>(kwnames, catalog, market_id, era_number);
}

}  // namespace quillmarsh::eras
