#pragma once

#include "ref.h"

#include <cstddef>
#include <optional>

#include "section/section.h"
#include "tree/tree.h"

namespace vext_py {

// Trees may nest at most this many levels (the root is level 1); deeper input
// is refused with RecursionError.
inline constexpr std::size_t kMaxTreeDepth = 200'000;

// Converts a tree dict into a TreeNode. Returns nullopt with a Python error set.
std::optional<vext::TreeNode> py_to_tree(PyObject* obj);

// Converts a TreeNode into a new tree dict. Returns an empty Ref with a Python
// error set on failure.
Ref tree_to_py(const vext::TreeNode& node);

// Builds the tree dict that rebuilding `section` gives, without an
// intermediate TreeNode. A missing section, or one without a root, gives the
// dict of the empty node.
Ref section_to_py(const vext::Section* section);

}  // namespace vext_py
