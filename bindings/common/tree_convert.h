#pragma once

#include "ref.h"

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include "section/section.h"
#include "state.h"
#include "tree/tree.h"

namespace vext_py {

// Runs the interpreter's signal handlers once every few thousand units of
// conversion work (a node, an item), so that Ctrl-C stops a long conversion
// within milliseconds. Returns false with the handler's exception set.
bool check_signals(std::size_t work = 1);

// Converts a tree dict into a TreeNode, looking its fields up by `keys`.
// Returns nullopt with a Python error set.
std::optional<vext::TreeNode> py_to_tree(const TreeKeys& keys, PyObject* obj);

// Converts tree dicts in order. The first that fails stops the rest and leaves
// its Python error set; the result is then nullopt.
template <std::size_t N>
std::optional<std::array<vext::TreeNode, N>> py_to_trees(const TreeKeys& keys, const std::array<PyObject*, N>& objs) {
  std::array<vext::TreeNode, N> out;
  for (std::size_t i = 0; i < N; ++i) {
    auto tree = py_to_tree(keys, objs[i]);
    if (!tree) return std::nullopt;
    out[i] = std::move(*tree);
  }
  return out;
}

// Converts a TreeNode into a new tree dict with the keys `keys`. Returns an
// empty Ref with a Python error set on failure.
Ref tree_to_py(const TreeKeys& keys, const vext::TreeNode& node);

// The fields of one node to write, whichever form it comes from.
struct NodeFields {
  std::string_view kind;
  std::optional<std::string_view> identity;
  std::string_view label;
  std::string_view text;
  const vext::Attributes& attributes;
};

// One node of a tree given in pre-order: its fields and how many children
// follow it (each with its own sub-tree).
struct PreorderNode {
  NodeFields fields;
  std::size_t children;
};

// Converts a tree of `count` nodes given in pre-order, node i by `at(i)`,
// into a new tree dict, with no tree in between. Returns an empty Ref with a
// Python error set on failure, and when the counts do not add up.
Ref preorder_to_py(const TreeKeys& keys, std::size_t count, const std::function<PreorderNode(std::size_t)>& at);

// Adds a "children" list of `count` empty slots to `dict` and returns it;
// the caller fills every slot before any Python code can see the list.
Ref add_children(const TreeKeys& keys, PyObject* dict, std::size_t count);

}  // namespace vext_py
