#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/chain.h"
#include "common/result.h"
#include "common/stop.h"
#include "tree/tree.h"

// A second engine over the same trees: a located diff that is a complete edit
// script, its checked application, and a three-way merge that loses nothing.
// Children are paired by kind and identity where they have one and by aligning
// the sibling sequences where they have none.
namespace vext {

// One step down from a node: the child of this kind and identity (or without
// identity) that comes `position`-th among the siblings sharing both.
struct Step {
  std::string kind{};
  std::optional<std::string> identity{};
  std::size_t position = 0;
  friend bool operator==(const Step&, const Step&) = default;
};

// The steps from the root down to a node; empty for the root itself.
// Locations that share a prefix share its storage.
using Location = Chain<Step>;

// Renders a location as "/doc/section[@id=\"intro\"]/para[2]"; "/" is the root.
std::string location_text(const Location& location);

// What a change or a conflict is about.
enum class Field : std::uint8_t {
  Kind,        // the root's kind (other nodes are paired by it)
  Identity,    // the root's identity
  Label,
  Text,
  Attribute,   // one attribute, named by `name`
  Attributes,  // the whole attribute list, when per-name changes cannot say it
  Node,        // the node's presence: a whole sub-tree added or removed
  Position,    // the node's place among its siblings
  Order,       // the order of a node's children
};

// Returns the lower-case name of a field ("label", "attribute", ...).
std::string_view field_name(Field field);

// A whole sub-tree as a field's value. It is kept on the heap, so that a
// change or conflict about anything else stays a few words long: a diff of
// millions of changes took several times the memory of its trees when each
// change had room for a node inside it. Copies are deep; a value moved from
// reads as an empty node.
//
// A value may instead refer to a node of a tree that outlives it (`borrow`),
// for callers that read a diff's values while both trees stand: removing a
// large sub-tree then copies nothing. A copy of such a value owns its node.
class NodeValue {
 public:
  // Implicit, as the other values of a field are.
  NodeValue(TreeNode node) : owned_(std::make_unique<TreeNode>(std::move(node))), node_(owned_.get()) {}
  static NodeValue borrow(const TreeNode& node) { return NodeValue(&node); }
  NodeValue(const NodeValue& other) : NodeValue(other.get()) {}
  NodeValue(NodeValue&& other) noexcept
      : owned_(std::move(other.owned_)), node_(std::exchange(other.node_, nullptr)) {}
  NodeValue& operator=(NodeValue other) noexcept {
    owned_.swap(other.owned_);
    std::swap(node_, other.node_);
    return *this;
  }
  ~NodeValue() = default;

  const TreeNode& get() const { return node_ ? *node_ : empty(); }
  // The node to change: a borrowed one is copied first.
  TreeNode& get() {
    if (!owned_) {
      owned_ = std::make_unique<TreeNode>(node_ ? *node_ : TreeNode());
      node_ = owned_.get();
    }
    return *owned_;
  }
  // Whether this value is `node` itself, not a copy of it.
  bool is(const TreeNode& node) const { return node_ == &node; }
  friend bool operator==(const NodeValue& a, const NodeValue& b) { return a.node_ == b.node_ || a.get() == b.get(); }

 private:
  explicit NodeValue(const TreeNode* borrowed) : node_(borrowed) {}
  static const TreeNode& empty() {
    static const TreeNode none;
    return none;
  }
  std::unique_ptr<TreeNode> owned_;
  const TreeNode* node_ = nullptr;  // owned_, or the borrowed node; null once moved from
};

// The value of a field on one side: absent, a string, a whole sub-tree, an
// attribute list, a sequence of child steps rendered as text, or a position.
using FieldValue =
    std::variant<std::monostate, std::string, NodeValue, Attributes, std::vector<std::string>, std::uint64_t>;

enum class ChangeOp : std::uint8_t { Insert, Remove, Update, Move };

// Returns "insert", "remove", "update" or "move".
std::string_view change_op_name(ChangeOp op);

// One edit of a located diff. Every location names a node of the old tree,
// except an insertion's, whose last step names the new node under an old
// parent; `index` is where an insertion lands among the new children.
struct Change {
  ChangeOp op = ChangeOp::Update;
  Location location{};
  Field field = Field::Text;
  std::string name{};  // the attribute's name for Field::Attribute
  FieldValue old_value{};
  FieldValue new_value{};
  std::size_t index = 0;
  friend bool operator==(const Change&, const Change&) = default;
};

// A place where the two sides of a merge disagree. The location names the node
// in the base tree, or for nodes both sides added at one place, the one of
// the two that comes first among its siblings (ours' on a tie), in its side.
struct Conflict {
  Location location{};
  Field field = Field::Text;
  std::string name{};
  FieldValue base{};
  FieldValue ours{};
  FieldValue theirs{};
  friend bool operator==(const Conflict&, const Conflict&) = default;
};

struct ThreeWayResult {
  TreeNode tree;
  std::vector<Conflict> conflicts;
};

enum class ApplyFailure : std::uint8_t { Missing, Mismatch, Clash };

// Why a change list did not fit a tree: the change's position in the list and
// what was wrong.
struct ApplyRefusal {
  ApplyFailure failure = ApplyFailure::Missing;
  std::size_t change = 0;
  std::string detail{};
};

// Compares two trees and returns the edits that turn `old_root` into
// `new_root`, parents before children, in the old tree's order.
[[nodiscard]] std::vector<Change> located_diff(const TreeNode& old_root, const TreeNode& new_root,
                                               const StopCheck& stop = {});

// Applies `changes` to a copy of `tree`; every location names a node of
// `tree` (an insertion's last step, the node it adds). Refuses, changing
// nothing, when a location does not resolve, an old value differs from the
// tree's, two changes claim the same node or slot, a position lies outside
// the list, an insertion names an identified node that is there already, or
// a change lies inside a node another change removes.
[[nodiscard]] Result<TreeNode, ApplyRefusal> apply_changes(const TreeNode& tree,
                                                           const std::vector<Change>& changes,
                                                           const StopCheck& stop = {});

// Merges two trees derived from `base`. A field or node that one side left as
// in base takes the other side's value; where both changed it differently the
// result keeps ours and a conflict names the place and all three values.
[[nodiscard]] ThreeWayResult three_way_merge(const TreeNode& base, const TreeNode& ours,
                                             const TreeNode& theirs, const StopCheck& stop = {});

// Pairs two sibling sequences by a fingerprint per item: returns, for each
// item of `a`, the index of its partner in `b` or -1. Pairs are increasing in
// both sequences and form a longest common subsequence when the sequences
// differ in at most a bounded number of edits; beyond that, unique common
// items anchor the alignment, or, where no item is unique (long lists of a
// few small values), unique common runs of a few items; what nothing anchors
// (a list repeating itself) is aligned window by window from its start. Time O((n + m) * d) for d edits, memory
// O(n + m + d * d), with d capped so that large inputs stay near-linear.
[[nodiscard]] std::vector<std::int64_t> align_sequences(const std::vector<std::uint64_t>& a,
                                                        const std::vector<std::uint64_t>& b);

// While one lives on a thread, the alignments of long sequences made there
// are remembered, so that a call that aligns the same sequences again (a
// plan of what to read, then the engine on what was read) aligns them once;
// what was remembered goes with it. A remembered alignment serves only
// sequences with the same digest and length, and only where each pair it
// holds is of equal items.
class AlignmentMemo {
 public:
  AlignmentMemo();
  AlignmentMemo(const AlignmentMemo&) = delete;
  AlignmentMemo& operator=(const AlignmentMemo&) = delete;
  ~AlignmentMemo();

  const std::vector<std::int64_t>* find(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b,
                                        std::uint64_t a_digest, std::uint64_t b_digest) const;
  void add(std::uint64_t a_digest, std::uint64_t b_digest, std::size_t a_size, std::size_t b_size,
           const std::vector<std::int64_t>& out);
  // The memo that lives on this thread, if any.
  static AlignmentMemo* current();

 private:
  struct Entry {
    std::uint64_t a_digest, b_digest;
    std::size_t a_size, b_size;
    std::vector<std::int64_t> out;
  };
  std::vector<Entry> entries_;
  AlignmentMemo* previous_;
};

}  // namespace vext
