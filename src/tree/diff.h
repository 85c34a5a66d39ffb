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

// The match keys from a child of the root down to a node; empty for the root.
using KeyPath = std::vector<std::string>;

// Names one entry of a KeyPathTable.
using PathId = std::uint32_t;

// Key paths that share their prefixes: every entry is one element below its
// parent entry, so a path costs one entry more than its parent's. Entry 0 is
// the empty path.
struct KeyPathTable {
  struct Entry {
    PathId parent = 0;
    std::uint32_t depth = 0;  // elements from the root
    std::string element;
  };
  std::vector<Entry> entries = std::vector<Entry>(1);

  // Appends the path `parent` followed by `element`, without looking for an
  // equal entry, and returns it.
  PathId add(PathId parent, std::string_view element);
  // Returns the path's elements from the root down.
  [[nodiscard]] KeyPath expand(PathId id) const;
  std::size_t size() const { return entries.size(); }
  const Entry& operator[](PathId id) const { return entries[id]; }
};

struct TreeChange {
  ChangeKind kind = ChangeKind::Modified;
  PathId path = 0;  // in the diff's `paths`
  std::string elem_type;
  std::string id;
  std::string label;
  std::vector<AttrChange> attr_changes;
  std::optional<TextChange> text_change;
  friend bool operator==(const TreeChange&, const TreeChange&) = default;
};

struct TreeDiff {
  std::vector<TreeChange> changes;
  KeyPathTable paths;  // the changes' paths

  [[nodiscard]] KeyPath path_of(const TreeChange& change) const { return paths.expand(change.path); }
};

// Compares two trees; children are paired by match key, and only nodes with an
// identity are reported by name.
[[nodiscard]] TreeDiff tree_diff(const TreeNode& old_root, const TreeNode& new_root);

// Lists added and changed attributes by name, then removed ones by name; the
// last pair of a repeated name counts.
[[nodiscard]] std::vector<AttrChange> attr_diffs(const Attributes& old_attrs,
                                                 const Attributes& new_attrs);

// Compares one paired couple at `path` (an entry of `diff.paths`), appending
// to `diff`. Returns whether the pair differs in a way that an ancestor must
// report.
bool diff_node(const TreeNode& old_node, const TreeNode& new_node, TreeDiff& diff, PathId path);

// Appends one change of `kind` per identified node of the sub-tree at `path`,
// parents first. Returns whether it appended any.
bool emit_subtree(ChangeKind kind, const TreeNode& node, TreeDiff& diff, PathId path);

// Builds one change from the node's kind, identity (or "") and label.
[[nodiscard]] TreeChange mk_change(ChangeKind kind, const TreeNode& node,
                                   std::vector<AttrChange> attr_changes,
                                   std::optional<TextChange> text_change, PathId path);

}  // namespace vext
