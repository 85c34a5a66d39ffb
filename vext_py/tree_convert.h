#pragma once

#include "ref.h"

#include <array>
#include <cstddef>
#include <optional>

#include "section/section.h"
#include "tree/tree.h"

namespace vext_py {

// Trees may nest at most this many levels (the root is level 1); deeper input
// is refused with RecursionError.
inline constexpr std::size_t kMaxTreeDepth = 200'000;

// Runs the interpreter's signal handlers once every few thousand units of
// conversion work (a node, an item), so that Ctrl-C stops a long conversion
// within milliseconds. Returns false with the handler's exception set.
bool check_signals(std::size_t work = 1);

// Converts a tree dict into a TreeNode. Returns nullopt with a Python error set.
std::optional<vext::TreeNode> py_to_tree(PyObject* obj);

// Converts tree dicts in order. The first that fails stops the rest and leaves
// its Python error set; the result is then nullopt.
template <std::size_t N>
std::optional<std::array<vext::TreeNode, N>> py_to_trees(const std::array<PyObject*, N>& objs) {
  std::array<vext::TreeNode, N> out;
  for (std::size_t i = 0; i < N; ++i) {
    auto tree = py_to_tree(objs[i]);
    if (!tree) return std::nullopt;
    out[i] = std::move(*tree);
  }
  return out;
}

// Converts a TreeNode into a new tree dict. Returns an empty Ref with a Python
// error set on failure.
Ref tree_to_py(const vext::TreeNode& node);

}  // namespace vext_py
