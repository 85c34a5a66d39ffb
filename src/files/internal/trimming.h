#pragma once

// Trimming: what the second reading of a call's files passes over.

#include <vector>

#include "files/internal/reading.h"
#include "lossless/index.h"

namespace vext::detail {

// Chooses what the second reading passes over: the largest sub-trees that
// the diff (two sketches) or the merge (base, ours, theirs) pairs with each
// other and that are the same, byte for byte, in every file. The pairing is
// the engine's own, on the same fingerprints, so the engine meets each stub
// only beside its equal.
Trims plan_trims(const std::vector<Document>& sketches, Ticker& ticker);

}  // namespace vext::detail
