#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vext {

// The deepest tree that the readers and the Python conversions accept (the
// root is level 1); deeper input is refused, never followed by recursion.
inline constexpr std::size_t kMaxTreeDepth = 200'000;

using Attribute = std::pair<std::string, std::string>;
using Attributes = std::vector<Attribute>;

// One node of a labelled tree; it owns its whole sub-tree. Copy, equality and
// destruction use explicit stacks, so trees of any depth are safe.
struct TreeNode {
  std::string kind;
  std::optional<std::string> identity;
  std::string label;
  Attributes attributes;
  std::string text;
  std::vector<TreeNode> children;

  TreeNode() = default;
  explicit TreeNode(std::string node_kind) : kind(std::move(node_kind)) {}
  TreeNode(const TreeNode& other);
  TreeNode(TreeNode&& other) noexcept = default;
  TreeNode& operator=(const TreeNode& other);
  TreeNode& operator=(TreeNode&& other) noexcept;
  ~TreeNode();

  friend bool operator==(const TreeNode& a, const TreeNode& b);
};

// Appends `child` as the last child of `node` and returns the node: the builder
// step for assembling a tree top-down. Nothing is checked; siblings may repeat.
TreeNode with_child(TreeNode node, TreeNode child);

// Lists every node of the tree below and including `root`, each before its
// children; with `Reversed`, each parent's children are taken last first.
enum class SiblingOrder : std::uint8_t { Forward, Reversed };
std::vector<TreeNode*> all_nodes(TreeNode& root, SiblingOrder order = SiblingOrder::Forward);

// Reads an attribute list as a map: its pairs sorted by name, the last pair
// of a repeated name kept.
std::vector<const Attribute*> as_map(const Attributes& attrs);

// Returns the node's kind, or kind + "#" + identity when it has an identity.
std::string match_key(const TreeNode& node);

// A node's kind and identity, by view: the key that pairs children. As a
// value (==, Hash) its pieces count apart, so kind "a#b" is not kind "a" with
// identity "b"; as a match key (compare_keys, keys_equal) it stands for the
// string kind + "#" + identity.
struct KeyView {
  std::string_view kind;
  std::string_view identity;
  bool has_identity = false;

  KeyView(std::string_view kind, std::string_view identity, bool has_identity)
      : kind(kind), identity(identity), has_identity(has_identity) {}
  explicit KeyView(const TreeNode& node)
      : kind(node.kind),
        identity(node.identity ? std::string_view(*node.identity) : std::string_view()),
        has_identity(node.identity.has_value()) {}
  // Views a match key that is already one string.
  explicit KeyView(std::string_view whole) : kind(whole) {}

  std::size_t size() const { return kind.size() + (has_identity ? identity.size() + 1 : 0); }
  void append_to(std::string& out) const;

  friend bool operator==(const KeyView&, const KeyView&) = default;
  struct Hash {
    std::size_t operator()(const KeyView& k) const;
  };
};

// Compares two match keys byte-wise, as the strings they stand for.
int compare_keys(const KeyView& a, const KeyView& b);
bool keys_equal(const KeyView& a, const KeyView& b);
bool key_equals(const KeyView& a, std::string_view key);

}  // namespace vext
