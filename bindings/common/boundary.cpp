#include "boundary.h"

#include "state.h"

namespace vext_py {

void raise_panic(const char* message) {
  PyErr_SetString(binding.panic, (message && *message) ? message : "internal failure");
}

}  // namespace vext_py
