#pragma once

#include "ref.h"

#include <atomic>
#include <cstdint>

namespace vext_py {

// The key strings of a tree dict, interned.
struct TreeKeys {
  PyObject* kind = nullptr;
  PyObject* identity = nullptr;
  PyObject* label = nullptr;
  PyObject* text = nullptr;
  PyObject* attributes = nullptr;
  PyObject* children = nullptr;
};

// The objects that the binding helpers share. A module linking the helpers
// creates them once, when the module itself is created, and keeps them for
// the life of the process: such a module refuses sub-interpreters, so one set
// serves every call. Each module that links the helpers has its own copy.
struct BindingState {
  PyObject* panic = nullptr;  // PanicException
  TreeKeys tree_keys;
};
extern BindingState binding;

// What a module tells the binding helpers about itself.
struct BindingSetup {
  // Dotted name of PanicException: the last part is its __name__, the rest
  // its __module__ ("vext_py.PanicException").
  const char* panic_name;
  const char* panic_doc;
};

// Interns `text` into `slot` (a process-wide key), unless it is there
// already. Returns false with a Python error set.
bool intern(PyObject*& slot, const char* text);

// Fills `binding` and readies C++ exception handling on this thread, so that
// the first exception thrown never needs memory that has run out. Called once
// from module creation; returns false with a Python error set.
bool init_binding(const BindingSetup& setup);

// A module made once per process by single-phase init.
struct ModuleOnce {
  PyObject* module = nullptr;               // created on first import
  std::atomic<std::int64_t> owner{-1};      // the interpreter that created it
};

// Returns a new reference to the module, creating it with `create` on the
// first call. The first interpreter to ask owns it; any other gets ImportError
// `refusal`, since the module keeps process-wide state.
PyObject* module_once(ModuleOnce& once, PyObject* (*create)(), const char* refusal);

}  // namespace vext_py
