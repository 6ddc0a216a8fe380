// The limits an era puts on a signal graph before it is submitted: its complexity, and its
// recorded backtest timing against the era's budget.
#pragma once

#include "quillmarsh/submit/eras/common.hpp"

namespace quillmarsh::eras {

extern PyMethodDef kEnforceGraphComplexityForSubmit;
extern PyMethodDef kEnforceRecordedBacktestTimingForSubmit;

}  // namespace quillmarsh::eras
