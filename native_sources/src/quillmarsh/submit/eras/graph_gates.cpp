#include "quillmarsh/submit/eras/graph_gates.hpp"

#include "quillmarsh/submit/eras/accessors.hpp"
#include "quillmarsh/submit/host/text.hpp"

namespace quillmarsh::eras {

namespace {

// `getattr(obj, name)` formatted as an f-string field formats it.
Ref attr_text(PyObject* obj, PyObject* name) {
  Ref value(PyObject_GetAttr(obj, name));
  return value ? host::text_of(value.get()) : Ref();
}

// Raises "graph complexity <measure> <value> exceeds <limit name> <limit>" when the
// measure read from `complexity` is over `limit`; 1 when raised, 0 when within, -1 on error.
int over_limit(PyObject* complexity, PyObject* measure, PyObject* limit, const char* prefix, const char* middle) {
  Ref value(PyObject_GetAttr(complexity, measure));
  if (!value) return -1;
  Ref over(PyObject_RichCompare(value.get(), limit, Py_GT));
  int is_over = over ? PyObject_IsTrue(over.get()) : -1;
  if (is_over <= 0) return is_over;
  // The message reads the measure again, as the field of an f-string would.
  Ref prefix_text = host::str(prefix), middle_text = host::str(middle);
  raise_value_error(
      {prefix_text.get(), attr_text(complexity, measure).get(), middle_text.get(), host::text_of(limit).get()});
  return 1;
}

}  // namespace

Ref enforce_graph_complexity_for_submit(PyObject*, PyObject* graph, PyObject* era) {
  PyObject* measure_args[] = {graph};
  Ref complexity = host::call_global(QM_NAME("measure_graph_complexity"), measure_args, 1);
  if (!complexity) return Ref();
  Ref max_depth = call_required_positive_era_int(era, QM_NAME("max_depth"));
  if (!max_depth) return Ref();
  Ref max_node_count = call_required_positive_era_int(era, QM_NAME("max_node_count"));
  if (!max_node_count) return Ref();
  if (over_limit(complexity.get(), QM_NAME("depth"), max_depth.get(), "graph complexity depth ",
                 " exceeds max_depth ") != 0 ||
      over_limit(complexity.get(), QM_NAME("node_count"), max_node_count.get(), "graph complexity node_count ",
                 " exceeds max_node_count ") != 0) {
    return Ref();
  }
  return complexity;
}

namespace {

// The keywords of the timing assessment, in the order they are passed.
PyObject* assessment_kwnames() {
  static PyObject* kwnames = nullptr;  // kept for the process lifetime
  if (kwnames == nullptr) {
    PyObject* names[] = {QM_NAME("frequency"), QM_NAME("row_count"), QM_NAME("elapsed_seconds"),
                         QM_NAME("max_row_elapsed_seconds")};
    for (PyObject* name : names) {
      if (name == nullptr) return nullptr;
    }
    kwnames = PyTuple_Pack(4, names[0], names[1], names[2], names[3]);
  }
  return kwnames;
}

}  // namespace

Ref enforce_recorded_backtest_timing_for_submit(PyObject*, PyObject* graph, PyObject* era) {
  // The record is taken first: it is used up even when a later step refuses the graph.
  Ref consume = host::global_attr(QM_NAME("_backtest_timing"), QM_NAME("consume_recorded_backtest_timing"));
  if (!consume) return Ref();
  Ref record(PyObject_CallOneArg(consume.get(), graph));
  if (!record) return Ref();
  if (record.get() == Py_None) {
    return Ref(raise_value_error(
        "recorded backtest timing is required before submit; run simulate_signal for this graph before submitting it"));
  }

  Ref assess = host::global_attr(QM_NAME("_backtest_timing"), QM_NAME("assess_client_backtest_timing"));
  if (!assess) return Ref();
  Ref frequency = host::call<&required_era_frequency>(era);
  if (!frequency) return Ref();
  Ref row_count(PyObject_GetAttr(record.get(), QM_NAME("row_count")));
  if (!row_count) return Ref();
  Ref elapsed(PyObject_GetAttr(record.get(), QM_NAME("elapsed_seconds")));
  if (!elapsed) return Ref();
  Ref max_row(PyObject_GetAttr(record.get(), QM_NAME("max_row_elapsed_seconds")));
  if (!max_row) return Ref();
  PyObject* kwnames = assessment_kwnames();
  if (kwnames == nullptr) return Ref();
  PyObject* assess_args[] = {frequency.get(), row_count.get(), elapsed.get(), max_row.get()};
  Ref assessment(PyObject_Vectorcall(assess.get(), assess_args, 0, kwnames));
  if (!assessment) return Ref();

  Ref accepted(PyObject_GetAttr(assessment.get(), QM_NAME("accepted")));
  int ok = accepted ? PyObject_IsTrue(accepted.get()) : -1;
  if (ok < 0) return Ref();
  if (ok) return assessment;

  // Each figure is read and formatted in turn, left to right.
  PyObject* a = assessment.get();
  Ref reason = attr_text(a, QM_NAME("reason"));
  Ref elapsed_text = reason ? attr_text(a, QM_NAME("elapsed_seconds")) : Ref();
  Ref max_row_text = elapsed_text ? attr_text(a, QM_NAME("max_row_elapsed_seconds")) : Ref();
  Ref whole_text = max_row_text ? attr_text(a, QM_NAME("whole_budget_seconds")) : Ref();
  Ref per_row_text = whole_text ? attr_text(a, QM_NAME("per_row_budget_seconds")) : Ref();
  if (!per_row_text) return Ref();
  return Ref(
      raise_value_error({QM_NAME("backtest timing budget exceeded: "), reason.get(), QM_NAME("; elapsed="),
                         elapsed_text.get(), QM_NAME("; max_row="), max_row_text.get(), QM_NAME("; total_budget="),
                         whole_text.get(), QM_NAME("; row_budget="), per_row_text.get()}));
}

}  // namespace quillmarsh::eras
