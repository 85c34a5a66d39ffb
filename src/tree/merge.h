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
  Path path = {};              // match keys from a child of the root; empty for the root
  std::string attribute = {};  // the attribute name; "" unless conflict_kind is Attribute
  std::string base = {};
  std::string ours = {};
  std::string theirs = {};
  ConflictKind conflict_kind = ConflictKind::Attribute;
  friend bool operator==(const TreeConflict&, const TreeConflict&) = default;
};

struct TreeMergeResult {
  TreeNode merged;                       // shares nothing with the inputs
  std::vector<TreeConflict> conflicts;   // Attribute, Text, AddAdd, then ModifyDelete
};

// Joins the match keys of `path` with "/"; nothing is escaped.
[[nodiscard]] std::string path_text(const Path& path);

// Returns path text + "#" + `name`, the key that pairs attribute changes.
[[nodiscard]] std::string attr_key(const Path& path, std::string_view name);

// Splits an attribute key at its last "#" into (path text, name). A key
// without "#" gives an empty path text and the whole key as the name.
[[nodiscard]] std::pair<std::string_view, std::string_view> split_attr_key(std::string_view key);

// Splits a path text at every "/", keeping empty elements; "" gives the
// empty path.
[[nodiscard]] Path parse_path_text(std::string_view text);

// Describes a node by its label, or by its match key when the label is empty.
[[nodiscard]] std::string describe_node(const TreeNode& node);

// Returns the node at `path` below `root` (the root itself for the empty
// path), or nullptr. Each step enters the first child whose match key equals
// the element; later siblings with the same key are never reached.
[[nodiscard]] const TreeNode* find_node_by_path(const TreeNode& root, const Path& path);
[[nodiscard]] TreeNode* find_node_by_path(TreeNode& root, const Path& path);

// Appends `node` as the last child of the node at the path's parent part,
// unless that parent cannot be reached, already has a child with the path's
// last key, or the path is empty; then `node` is discarded.
void insert_node(TreeNode& root, const Path& path, TreeNode node);

// Sets the first attribute pair called `name` of the node at `path`, or
// appends the pair when there is none. Does nothing when the path does not
// resolve.
void apply_attr(TreeNode& root, const Path& path, std::string_view name, std::string_view value);

// Replaces the text of the node at `path`. Does nothing when the path does
// not resolve.
void apply_text(TreeNode& root, const Path& path, std::string_view text);

// Builds the merged tree: a copy of `ours`, plus theirs' attribute and text
// changes and additions where ours made no change of the same sort at the same
// place, plus base copies of nodes that only ours removed.
[[nodiscard]] TreeNode merge_nodes(const TreeNode& base, const TreeNode& ours,
                                   const TreeNode& theirs,
                                   const std::vector<TreeChange>& ours_changes,
                                   const std::vector<TreeChange>& theirs_changes);

// Lists the places where the two change lists disagree: attribute conflicts,
// then text, add/add and modify/delete conflicts.
[[nodiscard]] std::vector<TreeConflict> detect_conflicts(
    const std::vector<TreeChange>& ours_changes, const std::vector<TreeChange>& theirs_changes,
    const TreeNode& base, const TreeNode& ours, const TreeNode& theirs);

// Builds the modify/delete conflict at path text `key`. `changes` is the list
// of the side that modified the node; `ours_modified` tells whether that side
// is ours (and theirs removed the node).
[[nodiscard]] TreeConflict mk_modify_delete(const std::vector<TreeChange>& changes,
                                            const TreeNode& base, std::string_view key,
                                            bool ours_modified);

// Merges two trees derived from `base`; ours keeps its value wherever both
// sides changed the same thing.
[[nodiscard]] TreeMergeResult tree_merge(const TreeNode& base, const TreeNode& ours,
                                         const TreeNode& theirs);

}  // namespace vext
