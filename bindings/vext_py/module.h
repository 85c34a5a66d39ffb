#pragma once

#include "ref.h"

namespace vext_py {

// The keys and kind names of a change dict, interned.
struct ChangeKeys {
  PyObject *kind, *elem_type, *id;
  PyObject* names[3];  // "Added", "Removed", "Modified"
};

// The objects of this module, beside those of the binding helpers
// (state.h); created with the module and kept for the life of the process.
struct ModuleState {
  PyObject* repo_type;
  ChangeKeys change_keys;
};
extern ModuleState module_state;

}  // namespace vext_py
