// What result mapping adds to the module: record classes, helpers and the converters of
// SignalServiceClient.
#pragma once

#include "quillmarsh/submit/host/classes.hpp"
#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::results {

// Module-level functions, ending with nullptr.
extern PyMethodDef* const kModuleFunctions[];

// Members of SubmissionReceipt and SubmissionStatus, each list ending with {nullptr}.
extern const host::Member kSubmissionReceiptMembers[];
extern const host::Member kSubmissionStatusMembers[];

// Converters of SignalServiceClient (static unless noted).
extern PyMethodDef kSubmitResultFromBody;
extern PyMethodDef kBatchItemResultFromBody;
extern PyMethodDef kBatchResultFromBody;           // class method
extern PyMethodDef kBatchBodyItemFromResult;
extern PyMethodDef kBatchHttpStatusForItems;
extern PyMethodDef kCombineBatchChunkResults;      // class method
extern PyMethodDef kBatchResultWithPartialFailure;  // class method
extern PyMethodDef kRebaseBatchItemIndices;
extern PyMethodDef kStatusResultFromBody;
extern PyMethodDef kSubmissionListResultFromBody;
extern PyMethodDef kSubmitResultFromRejection;
extern PyMethodDef kStatusResultFromRejection;
extern PyMethodDef kErrorBodyFromResponseError;
extern PyMethodDef kSubmitResultFromResponseError;  // class method
extern PyMethodDef kBatchResultFromResponseError;   // class method
extern PyMethodDef kStatusResultFromResponseError;  // class method
extern PyMethodDef kSubmitResultFromTransportError;
extern PyMethodDef kBatchResultFromTransportError;
extern PyMethodDef kStatusResultFromTransportError;

}  // namespace quillmarsh::results
