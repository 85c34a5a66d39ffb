#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tree/tree.h"

namespace vext {

enum class ChangeKind : std::uint8_t { Added, Removed, Modified };

// Returns "Added", "Removed" or "Modified".
std::string_view change_kind_name(ChangeKind kind);

struct AttrChange {
  std::string name;
  std::string old_value;  // "" when the attribute was added
  std::string new_value;  // "" when the attribute was removed
  friend bool operator==(const AttrChange&, const AttrChange&) = default;
};

using TextChange = std::pair<std::string, std::string>;
using Path = std::vector<std::string>;

struct TreeChange {
  ChangeKind kind = ChangeKind::Modified;
  Path path;  // match keys from a child of the root down to the node
  std::string elem_type;
  std::string id;
  std::string label;
  std::vector<AttrChange> attr_changes;
  std::optional<TextChange> text_change;
  friend bool operator==(const TreeChange&, const TreeChange&) = default;
};

struct TreeDiff {
  std::vector<TreeChange> changes;
};

// Compares two trees; children are paired by match key, and only nodes with an
// identity are reported by name.
[[nodiscard]] TreeDiff tree_diff(const TreeNode& old_root, const TreeNode& new_root);

// Lists added and changed attributes by name, then removed ones by name; the
// last pair of a repeated name counts.
[[nodiscard]] std::vector<AttrChange> attr_diffs(const Attributes& old_attrs,
                                                 const Attributes& new_attrs);

// Compares one paired couple at `path`, appending to `changes`. Returns whether
// the pair differs in a way that an ancestor must report.
bool diff_node(const TreeNode& old_node, const TreeNode& new_node,
               std::vector<TreeChange>& changes, Path path);

// Appends one change of `kind` per identified node of the sub-tree at `path`,
// parents first. Returns whether it appended any.
bool emit_subtree(ChangeKind kind, const TreeNode& node, std::vector<TreeChange>& changes,
                  Path path);

// Builds one change from the node's kind, identity (or "") and label.
[[nodiscard]] TreeChange mk_change(ChangeKind kind, const TreeNode& node,
                                   std::vector<AttrChange> attr_changes,
                                   std::optional<TextChange> text_change, Path path);

}  // namespace vext
