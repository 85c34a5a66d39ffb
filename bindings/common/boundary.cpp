#include "boundary.h"

#include "state.h"

namespace vext_py {

void raise_panic(const BindingState& state, const char* message) {
  PyErr_SetString(state.panic, (message && *message) ? message : "internal failure");
}

}  // namespace vext_py
