// The preparation a signal goes through against the active era, shared by the single and
// the batch submission: the thresholds, the era, the era's market and number where the
// signal leaves them open, the submission contract and the graph gates.
#pragma once

#include <cstdint>

#include "quillmarsh/submit/host/entry.hpp"

namespace quillmarsh::operations {

using host::Ref;

// The fields of a signal the preparation reads, named as the request body names them.
enum class Field : uint8_t {
  Graph,
  NamedUniverse,
  SignalPoolName,
  IsStats,
  IsPnlMi,
  ExpressionElapsedSeconds,
  ClientManifestVersion,
  MarketId,
  EraNumber,
  ClientManifestMarketId,
  ClientManifestEraNumber,
  Count,
};

// The body key of a field (an interned str).
PyObject* key_of(Field field);

// Where a signal's fields are read and settled: the arguments of submit_signal, or a body of
// the batch (read afresh at every use, as `body.get(key)`).
class SignalFields {
 public:
  virtual ~SignalFields() = default;
  // A new reference, None for an absent field, or null with an error set.
  virtual Ref get(Field field) = 0;
  // False with an error set.
  virtual bool set(Field field, const Ref& value) = 0;
  // Whether an open manifest market and era follow the signal's before the contract is
  // checked (a batch body), or only in the body built afterwards (submit_signal).
  virtual bool manifest_follows_era() const = 0;
};

struct Prepared {
  Ref thresholds;
  Ref era;
  Ref complexity;  // the graph's measured complexity
};

// Runs the preparation; the era's market and number are set on `fields` where they were
// None. False with the first refusal (or failure) raised.
bool prepare_signal(PyObject* self, SignalFields& fields, Prepared& out);

}  // namespace quillmarsh::operations
