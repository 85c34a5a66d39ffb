#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tree/tree.h"

namespace vext::testing {

// Builds a node in one expression.
inline TreeNode node(std::string kind, std::optional<std::string> id = std::nullopt, std::string text = "",
                     Attributes attrs = {}, std::vector<TreeNode> children = {}) {
  TreeNode n(std::move(kind));
  n.identity = std::move(id);
  n.text = std::move(text);
  n.attributes = std::move(attrs);
  n.children = std::move(children);
  return n;
}

}  // namespace vext::testing
