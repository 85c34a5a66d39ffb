#pragma once

#include <array>

#include "ref.h"

namespace vext_py {

// The key strings of a tree dict, interned.
struct TreeKeys {
  PyObject* kind = nullptr;
  PyObject* identity = nullptr;
  PyObject* label = nullptr;
  PyObject* text = nullptr;
  PyObject* attributes = nullptr;
  PyObject* children = nullptr;
  // An empty node dict (every value None) for each set of keys a node can
  // have, the bits of kShape*: a node's dict is made by copying one, which
  // costs a fraction of inserting the keys one by one.
  std::array<PyObject*, 32> shapes{};
};

inline constexpr unsigned kShapeIdentity = 1, kShapeLabel = 2, kShapeText = 4, kShapeAttributes = 8,
                          kShapeChildren = 16;

// The objects that the binding helpers use. Each module that links the
// helpers keeps one in its own state and hands it to them.
struct BindingState {
  PyObject* panic = nullptr;  // PanicException
  TreeKeys tree_keys;
};

// What a module tells the binding helpers about itself.
struct BindingSetup {
  // Dotted name of PanicException: the last part is its __name__, the rest
  // its __module__ ("vext_py.PanicException").
  const char* panic_name;
  const char* panic_doc;
};

// Interns `text` into `slot` (a strong reference), unless it is there
// already. Returns false with a Python error set.
bool intern(PyObject*& slot, const char* text);

// Fills `state` and readies C++ exception handling on this thread, so that
// the first exception thrown never needs memory that has run out. Called
// from module creation; returns false with a Python error set.
bool init_binding(BindingState& state, const BindingSetup& setup);

// Visits the objects of `state`, for a module's m_traverse.
int traverse_binding(const BindingState& state, visitproc visit, void* arg);

// Drops the objects of `state`, for a module's m_clear.
void clear_binding(BindingState& state);

}  // namespace vext_py
