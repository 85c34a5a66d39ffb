#pragma once

// Copies a branch's history from one store to another (push and pull): the
// commits and objects the target lacks, found by their ids, then the branch,
// which only moves forward.

#include <cstdint>
#include <string_view>

#include "common/result.h"
#include "store/store.h"

namespace vext::store {

struct TransferReport {
  std::uint64_t objects = 0;  // objects written to the target
  std::uint64_t commits = 0;  // commits written to the target
  ObjectId head;              // where the target's branch points now
};

// Copies branch `branch` of `from` into `to` as branch `to_branch`: objects
// first (each after everything it names), then commits (each after its
// parents), in batches each committed on its own, so that an interrupted
// copy leaves `to` consistent and the next one goes on from there. The
// branch moves last and only forward: refused with BranchMoved, moving
// nothing, when `to_branch` points at a commit that is not in `branch`'s
// history.
Result<TransferReport, StoreError> transfer(Store& from, Store& to, std::string_view branch,
                                            std::string_view to_branch, const StopCheck& stop = {});

}  // namespace vext::store
