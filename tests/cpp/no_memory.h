#pragma once

#include <cstddef>

namespace vext::testing {

// While alive, lets `allowed` more allocations through operator new succeed
// and fails every one after them with std::bad_alloc (or nullptr, for the
// nothrow forms).
class FailAllocations {
 public:
  explicit FailAllocations(std::size_t allowed = 0);
  FailAllocations(const FailAllocations&) = delete;
  FailAllocations& operator=(const FailAllocations&) = delete;
  ~FailAllocations();
};

}  // namespace vext::testing
