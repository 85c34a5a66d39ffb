#pragma once

#include "ref.h"

#include <array>

#include "state.h"

namespace vext_py {

// What vext._core creates, kept in the module's own state (multi-phase
// init): the binding helpers' objects, FormatError, and the names of change
// operations and fields, interned.
struct CoreState {
  BindingState binding;
  PyObject* format_error;
  std::array<PyObject*, 4> ops;     // by vext::ChangeOp
  std::array<PyObject*, 9> fields;  // by vext::Field
};

// The state of the module object `module`.
inline CoreState& core_state(PyObject* module) { return *static_cast<CoreState*>(PyModule_GetState(module)); }

// Creates FormatError in `state` and adds it and the file functions to
// vext._core. Returns false with a Python error set.
bool add_file_api(PyObject* module, CoreState& state);

}  // namespace vext_py
