#pragma once

#include "ref.h"

#include <array>
#include <string>

#include "lossless/lossless.h"
#include "state.h"

namespace vext_py {

// What vext._core creates, kept in the module's own state (multi-phase
// init): the binding helpers' objects, FormatError, StoreError, and the
// names of change operations and fields, interned.
struct CoreState {
  BindingState binding;
  PyObject* format_error;
  PyObject* store_error;
  std::array<PyObject*, 4> ops;     // by vext::ChangeOp
  std::array<PyObject*, 9> fields;  // by vext::Field
};

// The state of the module object `module`.
inline CoreState& core_state(PyObject* module) { return *static_cast<CoreState*>(PyModule_GetState(module)); }

// Adds `methods` and an exception type to vext._core: the type in `slot`,
// vext._core.NAME with `doc`, derived from `base`, its class attributes the
// items of `defaults` (a new reference, or nullptr with a Python error set);
// made unless `slot` holds it already. Returns false with a Python error set.
inline bool add_api(PyObject* module, PyMethodDef* methods, PyObject*& slot, const char* name, const char* doc,
                    PyObject* base, PyObject* defaults) {
  Ref attrs = Ref::steal(defaults);
  if (!attrs) return false;
  if (!slot) {
    const std::string qualified = std::string("vext._core.") + name;
    slot = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, attrs.get());
    if (!slot) return false;
  }
  return PyModule_AddObjectRef(module, name, slot) == 0 && PyModule_AddFunctions(module, methods) == 0;
}

// Creates FormatError in `state` and adds it and the file functions to
// vext._core. Returns false with a Python error set.
bool add_file_api(PyObject* module, CoreState& state);

// Adds from_json and to_json, between JSON values and their trees, to
// vext._core. Returns false with a Python error set.
bool add_json_api(PyObject* module);
// Creates StoreError in `state` and adds it and the store functions to
// vext._core. Returns false with a Python error set.
bool add_store_api(PyObject* module, CoreState& state);

// Converts a change or a conflict of the engine to the tuple vext wraps; an
// empty Ref with a Python error set when that fails.
Ref from_change(const CoreState& state, const vext::Change& c);
Ref from_conflict(const CoreState& state, const vext::Conflict& c);

}  // namespace vext_py
