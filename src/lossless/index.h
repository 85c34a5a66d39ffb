#pragma once

// Shared machinery of the located diff and the three-way merge: trees laid
// out breadth-first with a fingerprint per sub-tree, the pairing of children,
// and locations built on demand.

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/result.h"
#include "common/stop.h"
#include "lossless/lossless.h"

namespace vext::detail {

// A child's kind and identity, by view: what pairs children that have an identity.
using NodeKey = KeyView;
// The key that pairs with itself whatever the node: an empty kind and
// identity, as an identified node.
inline NodeKey any_node_key() { return KeyView({}, {}, true); }

// A stub stands in a tree for a sub-tree that is the same, byte for byte, in
// every file of a call, so that it is never built: it keeps the sub-tree's
// kind and identity, has no attributes or children, carries this label
// (which no file can hold) and, as its text, the sub-tree's fingerprint.
inline constexpr std::string_view kStubLabel = "\x01stub";
inline bool is_stub(const TreeNode& n) { return n.label == kStubLabel; }
// Makes `n`, which has its kind and identity, the stub of a sub-tree with
// this fingerprint.
inline void make_stub(TreeNode& n, std::uint64_t fingerprint) {
  n.label = kStubLabel;
  n.text.assign(reinterpret_cast<const char*>(&fingerprint), sizeof fingerprint);
}
// A run stub stands for consecutive siblings of its kind, alike in every
// file: after the run's fingerprint, its text holds each sibling's, so that
// children pair exactly as they would with the siblings whole, and ends in
// one tag byte, which no other stub's text has after whole fingerprints.
inline constexpr char kRunTag = 'r';
inline void make_run_stub(TreeNode& n, std::uint64_t fingerprint, std::span<const std::uint64_t> prints) {
  make_stub(n, fingerprint);
  n.text.append(reinterpret_cast<const char*>(prints.data()), prints.size_bytes());
  n.text += kRunTag;
}
// How many siblings a node stands for: more than one only for a run stub.
inline std::size_t stub_width(const TreeNode& n) {
  constexpr std::size_t kPrint = sizeof(std::uint64_t);
  const std::size_t size = n.text.size();
  if (size < 3 * kPrint + 1 || size % kPrint != 1 || n.text.back() != kRunTag || !is_stub(n)) return 1;
  return size / kPrint - 1;
}
// The fingerprint of sibling `k` of a run stub.
inline std::uint64_t run_print(const TreeNode& n, std::size_t k) {
  std::uint64_t h;
  std::memcpy(&h, n.text.data() + (k + 1) * sizeof h, sizeof h);
  return h;
}

// What an operation on trees with stubs returns in place of its result when
// the stubs would make that result differ from the one the whole trees give:
// a stub paired with anything but its equal. The caller starts over with
// whole trees.
struct NeedWholeTrees {};
template <class T>
using UnlessStubbed = Result<T, NeedWholeTrees>;

// What same_subtree finds.
enum class Sameness : std::uint8_t {
  Different,
  Same,
  Undecided,  // equal fingerprints, unequal nodes, and a tree with stubs: only the whole trees can tell
};

// What pairs children beyond their kind and identity. A file format whose
// node kinds carry a value's type or an element's name uses it so that a
// change of kind is an update of the node rather than a removal and an
// addition.
enum class KindRule : std::uint8_t {
  Strict,       // children pair by kind and identity
  Members,      // a child with identity pairs by its identity alone (JSON members)
  RootElement,  // the one element below the root pairs whatever its name (an XML root)
};

// The pairing of the children of x's node `px` with those of y's node `py`:
// for each child, the index of its partner on the other side or -1.
// `split` is set when a run stub would pair with anything but the whole of
// an equal run: only the whole trees can tell what to do then.
struct ChildPairs {
  std::vector<std::int64_t> x_to_y;
  std::vector<std::int64_t> y_to_x;
  bool split = false;
};

// A tree laid out breadth-first, so that the children of every node are one
// contiguous run of entries. Each entry carries a fingerprint of its whole
// sub-tree: equal sub-trees have equal fingerprints.
class IndexedTree {
 public:
  struct Entry {
    const TreeNode* node;
    std::uint64_t hash;
    std::uint32_t first_child;
    std::uint32_t child_count;
  };

  // `size_hint`, when known, is the number of nodes, so that the entries are
  // allocated once. With `stubs`, a stub's fingerprint is the one it
  // carries, so fingerprints are those of the whole tree. `rule` says how
  // children pair (see key()).
  IndexedTree(const TreeNode& root, class Ticker& ticker, std::size_t size_hint = 0, bool stubs = false,
              KindRule rule = KindRule::Strict);

  std::size_t size() const { return entries_.size(); }
  const Entry& operator[](std::size_t i) const { return entries_[i]; }
  const TreeNode& node(std::size_t i) const { return *entries_[i].node; }
  std::size_t child(std::size_t i, std::size_t k) const { return entries_[i].first_child + k; }
  std::size_t child_count(std::size_t i) const { return entries_[i].child_count; }
  bool stub(std::size_t i) const { return stubs_ && is_stub(*entries_[i].node); }
  bool has_stubs() const { return stubs_; }

  // What the pairing of children asks of a tree.
  using Key = NodeKey;
  using KeyHash = KeyView::Hash;
  Key key(std::size_t i) const {
    NodeKey k(*entries_[i].node);
    if (rule_ == KindRule::Members && k.has_identity) {
      k.kind = {};
    } else if (rule_ == KindRule::RootElement && i >= 1 && i <= entries_[0].child_count && !k.kind.empty() &&
               k.kind[0] != '#') {
      k = any_node_key();
    }
    return k;
  }
  std::string_view kind(std::size_t i) const { return entries_[i].node->kind; }
  std::uint64_t hash(std::size_t i) const { return entries_[i].hash; }

  // The pairing of the children of `own` with those of `theirs` in `other`,
  // when it was kept; see pair_children.
  const ChildPairs* kept(const IndexedTree& other, std::size_t own, std::size_t theirs) const;
  void keep(const IndexedTree& other, std::size_t own, std::size_t theirs, const ChildPairs& pairs) const;

 private:
  // Pairings of long child lists, for a caller that pairs the same lists
  // again (a diff, then the correspondence of its trees). A tree is known by
  // its serial number, which no other tree of the process shares.
  struct Kept {
    std::uint64_t other;
    std::size_t own, theirs;
    ChildPairs pairs;
  };
  static constexpr std::size_t kKeptPairings = 4;
  mutable std::vector<Kept> kept_;
  std::uint64_t serial_;

  std::vector<Entry> entries_;
  bool stubs_ = false;
  KindRule rule_ = KindRule::Strict;
};

// Whether two indexed sub-trees are equal: fingerprints first, then a full
// comparison, so a fingerprint collision never passes for equality. Finds
// them Undecided when a tree with stubs meets an equal fingerprint it does
// not equal.
Sameness same_subtree(const IndexedTree& x, std::size_t i, const IndexedTree& y, std::size_t j);


// Pairs children by kind and identity (repeated identities in order of
// occurrence), and children without identity by aligning their fingerprint
// sequences, then pairing leftover siblings of the same kind in order.
ChildPairs pair_children(const IndexedTree& x, std::size_t px, const IndexedTree& y, std::size_t py);

// located_diff and three_way_merge on trees already indexed, for callers that
// go on to pair the same trees again. On trees without stubs they always
// return their result. With `borrow`, the nodes a diff adds, removes or
// replaces are borrowed from the trees (NodeValue::borrow), which must then
// outlive the changes.
UnlessStubbed<std::vector<Change>> located_diff(const IndexedTree& old_tree, const IndexedTree& new_tree,
                                                Ticker& ticker, bool borrow = false);
UnlessStubbed<ThreeWayResult> three_way_merge(const IndexedTree& base, const IndexedTree& ours,
                                              const IndexedTree& theirs, Ticker& ticker);

// Whether the indices of `order` that are not -1 are increasing.
bool is_increasing(const std::vector<std::int64_t>& order);

// Locations kept as a tree of back links, turned into Steps only when a
// change or conflict is recorded.
class Locations {
 public:
  static constexpr std::int64_t kRoot = -1;
  // Adds the location of child `index` of `parent`, under location `up`.
  std::int64_t add(std::int64_t up, const TreeNode& parent, std::size_t index) {
    links_.push_back({up, &parent, index});
    return static_cast<std::int64_t>(links_.size() - 1);
  }
  Location build(std::int64_t at);
  // The step that names child `index` of `parent`.
  Step step(const TreeNode& parent, std::size_t index);

 private:
  struct Link {
    std::int64_t up;
    const TreeNode* parent;
    std::size_t index;
  };
  std::vector<Link> links_;
  // The locations built so far, by link; their prefixes are shared.
  std::vector<Location> built_;
  // Positions among same-key siblings, for parents too wide to count each time.
  std::unordered_map<const TreeNode*, std::vector<std::uint32_t>> positions_;
};

// Computes each child's position among its siblings of the same kind and identity.
std::vector<std::uint32_t> sibling_positions(const TreeNode& parent);

// Returns the value of the last attribute called `name`, or nullptr.
const std::string* last_value(const Attributes& attrs, std::string_view name);

// Renders one step the way location_text does.
std::string step_text(const Step& step);

}  // namespace vext::detail
