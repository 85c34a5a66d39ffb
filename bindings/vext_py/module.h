#pragma once

#include "ref.h"
#include "state.h"

namespace vext_py {

// The keys and kind names of a change dict, interned.
struct ChangeKeys {
  PyObject *kind, *elem_type, *id;
  PyObject* names[3];  // "Added", "Removed", "Modified"
};

// What vext_py creates: the binding helpers' objects, the Repo type and the
// change keys. The module is made once per process (single-phase init,
// without per-module storage), so its state is made with it and kept for
// the life of the process.
struct ModuleState {
  BindingState binding;
  PyObject* repo_type;
  ChangeKeys change_keys;
};
extern ModuleState module_state;

}  // namespace vext_py
