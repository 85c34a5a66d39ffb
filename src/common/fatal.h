#pragma once

#include <stdexcept>

namespace vext {

// Signals a broken invariant or a lookup the library treats as always
// succeeding. The core never catches it; the module boundary turns it into
// the Python PanicException.
struct Fatal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace vext
