// The limits an era puts on a signal graph before it is submitted: its complexity, and its
// recorded backtest timing against the era's budget.
#pragma once

#include "quillmarsh/submit/eras/common.hpp"

namespace quillmarsh::eras {

Ref enforce_graph_complexity_for_submit(PyObject* module, PyObject* graph, PyObject* era);
Ref enforce_recorded_backtest_timing_for_submit(PyObject* module, PyObject* graph, PyObject* era);

}  // namespace quillmarsh::eras
