#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tree/diff.h"
#include "tree/tree.h"

namespace vext {

enum class ConflictKind : std::uint8_t { Attribute, Text, AddAdd, ModifyDelete };

// One place where ours and theirs disagree. What `base`, `ours` and `theirs`
// hold depends on the kind: attribute values, texts, node descriptions, or a
// modification summary against "deleted".
struct TreeConflict {
  PathId path = 0;             // in the table of conflict paths; 0 for the root
  std::string attribute = {};  // the attribute name; "" unless conflict_kind is Attribute
  std::string base = {};
  std::string ours = {};
  std::string theirs = {};
  ConflictKind conflict_kind = ConflictKind::Attribute;
  friend bool operator==(const TreeConflict&, const TreeConflict&) = default;
};

// Conflicts come by kind: Attribute, Text, AddAdd, then ModifyDelete. Within a
// kind the order is fixed: Attribute conflicts in the order in which ours'
// change list first names each attribute key, Text conflicts in the order in
// which it first names each path text, AddAdd conflicts in the order of
// theirs' list, then the ModifyDelete conflicts of nodes that ours modified,
// in the order in which ours' list first names each, and last those of nodes
// that theirs modified, in the order of theirs' list.
struct TreeMergeResult {
  TreeNode merged;                      // shares nothing with the inputs
  std::vector<TreeConflict> conflicts;
  KeyPathTable paths;                   // the conflicts' paths

  [[nodiscard]] KeyPath path_of(const TreeConflict& conflict) const { return paths.expand(conflict.path); }
};

// Joins the match keys of `path` with "/"; nothing is escaped.
[[nodiscard]] std::string path_text(const KeyPath& path);

// Returns path text + "#" + `name`, the key that pairs attribute changes.
[[nodiscard]] std::string attr_key(const KeyPath& path, std::string_view name);

// Splits an attribute key at its last "#" into (path text, name). A key
// without "#" gives an empty path text and the whole key as the name.
[[nodiscard]] std::pair<std::string_view, std::string_view> split_attr_key(std::string_view key);

// Splits a path text at every "/", keeping empty elements; "" gives the
// empty path.
[[nodiscard]] KeyPath parse_path_text(std::string_view text);

// Describes a node by its label, or by its match key when the label is empty.
[[nodiscard]] std::string describe_node(const TreeNode& node);

// Returns the node at `path` below `root` (the root itself for the empty
// path), or nullptr. Each step enters the first child whose match key equals
// the element; later siblings with the same key are never reached.
[[nodiscard]] const TreeNode* find_node_by_path(const TreeNode& root, const KeyPath& path);
[[nodiscard]] TreeNode* find_node_by_path(TreeNode& root, const KeyPath& path);

// Appends `node` as the last child of the node at the path's parent part,
// unless that parent cannot be reached, already has a child with the path's
// last key, or the path is empty; then `node` is discarded.
void insert_node(TreeNode& root, const KeyPath& path, TreeNode node);

// Sets the first attribute pair called `name` of the node at `path`, or
// appends the pair when there is none. Does nothing when the path does not
// resolve.
void apply_attr(TreeNode& root, const KeyPath& path, std::string_view name, std::string_view value);

// Replaces the text of the node at `path`. Does nothing when the path does
// not resolve.
void apply_text(TreeNode& root, const KeyPath& path, std::string_view text);

// Builds the merged tree: a copy of `ours`, plus theirs' attribute and text
// changes and additions where ours made no change of the same sort at the same
// place, plus base copies of nodes that only ours removed. The diffs run from
// `base` to each side.
[[nodiscard]] TreeNode merge_nodes(const TreeNode& base, const TreeNode& ours,
                                   const TreeNode& theirs, const TreeDiff& ours_diff,
                                   const TreeDiff& theirs_diff);

// Lists the places where the two diffs from `base` disagree, in the order
// given at TreeMergeResult, and adds their paths to `paths`.
[[nodiscard]] std::vector<TreeConflict> detect_conflicts(const TreeDiff& ours_diff,
                                                         const TreeDiff& theirs_diff,
                                                         const TreeNode& base, const TreeNode& ours,
                                                         const TreeNode& theirs, KeyPathTable& paths);

// Builds the modify/delete conflict at path text `key` and adds its path to
// `paths`. `diff` is the diff of the side that modified the node;
// `ours_modified` tells whether that side is ours (and theirs removed the node).
[[nodiscard]] TreeConflict mk_modify_delete(const TreeDiff& diff, const TreeNode& base,
                                            std::string_view key, bool ours_modified,
                                            KeyPathTable& paths);

// Merges two trees derived from `base`; ours keeps its value wherever both
// sides changed the same thing.
[[nodiscard]] TreeMergeResult tree_merge(const TreeNode& base, const TreeNode& ours,
                                         const TreeNode& theirs);

}  // namespace vext
