// What the submission operations add to SignalServiceClient. Each member is defined with
// its concern: idempotency.cpp, submit_signal.cpp, submit_strategy.cpp, submit_batch.cpp, status.cpp.
#pragma once

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::operations {

extern PyMethodDef kIdempotencyKeyForBody;  // static method
extern PyMethodDef kSubmitSignal;
extern PyMethodDef kSubmitStrategy;
extern PyMethodDef kSubmitSignalsBatch;
extern PyMethodDef kGetSignalStatus;
extern PyMethodDef kListSignalSubmissions;
extern PyMethodDef kPollUntilTerminal;

}  // namespace quillmarsh::operations
