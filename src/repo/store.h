#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/hash_table.h"
#include "patch/merge.h"
#include "patch/patch.h"
#include "repo/hash.h"
#include "section/section.h"
#include "tree/tree.h"

namespace vext {

// Numbers of the store's records, each kind with its own "none".
using ValueId = std::uint32_t;
using NodeId = std::uint32_t;
using ListId = std::uint32_t;
inline constexpr ValueId kNoValue = ~std::uint32_t{0};  // a node that holds no value
inline constexpr ListId kNoKids = ~std::uint32_t{0};    // a node without children
inline constexpr NodeId kNoNode = ~std::uint32_t{0};    // no such path on a side; the empty section
inline constexpr std::uint32_t kNoRecord = ~std::uint32_t{0};  // no record found or referred to

// Every section of one repository, kept as immutable trie nodes that are
// shared by all the sections containing them.
//
// A node is one path of a section: its last element, the value stored there
// (if any) and its children. Nodes, values and child lists are hash-consed:
// each distinct content is stored once and has one number, so two sections
// hold the same sub-tree exactly when they hold the same node number, and
// "unchanged" is a comparison of two integers. A section is the node of its
// empty path; its children are the one-element paths.
//
// Child lists are sorted by element and kept as a small tree of lists. Level
// 0 cuts the children into leaves where an element's hash says so (about one
// child in 32, and after kMaxLeaf children at most); each level above cuts
// the lists of the level below the same way, where the last child's hash has
// five more low bits zero (about one list in 32). The cut points depend on
// the children alone, so a list that changes in one child shares every other
// list with its previous version, and two versions are compared by skipping
// whole lists they share: in about 32 x levels steps per change, however
// long the list. Above kHashLevels, lists are cut by count alone, which
// bounds the height at kMaxLevel whatever the hashes are.
//
// Records are only appended, children before parents, so their numbers are
// stable and enumerating them in order meets every child before its parent.
// mark() and rollback() drop what was appended since a mark, for operations
// that fail halfway.
class NodeStore {
 public:
  struct Node {
    std::string element;  // "" for the empty path
    ValueId value = kNoValue;
    ListId kids = kNoKids;
    std::uint64_t element_hash = 0;
    std::uint64_t order = 0;  // the value's, kept here for rebuilding child order
  };
  // items_[first, first + count): node numbers at level 0, numbers of
  // lists one level down above it. A list of one item only stands inside a
  // longer list: a whole child list of one item is that item.
  struct List {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    std::uint8_t level = 0;
  };
  struct StoredValue {
    Value value;
    std::string tail;  // append_entry_tail of the value
  };
  struct Mark {
    std::size_t values = 0;
    std::size_t nodes = 0;
    std::size_t lists = 0;
    std::size_t items = 0;
  };

  static constexpr std::uint32_t kMaxLeaf = 256;
  static constexpr std::uint8_t kHashLevels = 4;
  // The count cut alone takes the fewer than 2^31 lists of level kHashLevels
  // to one list within four levels.
  static constexpr std::uint8_t kMaxLevel = kHashLevels + 3;

  NodeStore() = default;
  NodeStore(const NodeStore&) = delete;
  NodeStore& operator=(const NodeStore&) = delete;

  [[nodiscard]] std::size_t value_count() const { return values_.size(); }
  [[nodiscard]] std::size_t node_count() const { return nodes_.size(); }
  [[nodiscard]] std::size_t list_count() const { return lists_.size(); }
  [[nodiscard]] const Value& value(ValueId id) const { return values_[id].value; }
  [[nodiscard]] std::string_view tail(ValueId id) const { return values_[id].tail; }
  [[nodiscard]] const Node& node(NodeId id) const { return nodes_[id]; }
  [[nodiscard]] const List& list(ListId id) const { return lists_[id]; }
  [[nodiscard]] std::uint32_t items_at(std::uint32_t index) const { return items_[index]; }
  [[nodiscard]] std::span<const std::uint32_t> items(ListId id) const {
    return {items_.data() + lists_[id].first, lists_[id].count};
  }
  // Returns the value stored at a node, kNoValue for none or for kNoNode.
  [[nodiscard]] ValueId value_of(NodeId id) const { return id == kNoNode ? kNoValue : nodes_[id].value; }
  [[nodiscard]] ListId kids_of(NodeId id) const { return id == kNoNode ? kNoKids : nodes_[id].kids; }
  // Calls f(child) for each child of a list, in element order.
  template <class F>
  void for_each_kid(ListId list, F&& f) const;

  [[nodiscard]] Mark mark() const { return {values_.size(), nodes_.size(), lists_.size(), items_.size()}; }
  // Drops every record appended since `mark`. Intern slots that still name a
  // dropped number are left behind: a lookup compares contents, so they never
  // match anything but the content stored under that number later.
  void rollback(const Mark& mark) noexcept;

  // Returns the number of the value, storing it when new.
  ValueId intern_value(const Value& value);
  ValueId intern_value(std::string_view kind, std::string_view label, std::string_view text,
                       const Attributes& attrs, std::uint64_t order);
  // Returns the number of the node, storing it when new. kNoNode when it has
  // neither a value nor children: such a path is not part of a section.
  NodeId intern_node(std::string_view element, ValueId value, ListId kids);
  // Returns the list of `entries`, storing what is new; kNoKids for none. An
  // entry is a node number, or a list number (of any level) tagged with
  // kListTag whose children are taken whole. Entries must come in increasing
  // element order.
  ListId make_list(std::span<const std::uint32_t> entries);
  static constexpr std::uint32_t kListTag = 0x80000000u;
  // Says whether a list ends where its level cuts by itself, rather than at
  // the end of the whole child list.
  [[nodiscard]] bool list_closed(ListId list) const;
  // The first and last child of a list.
  [[nodiscard]] NodeId first_kid(ListId list) const;
  [[nodiscard]] NodeId last_kid(ListId list) const;
  // Says whether a list holds exactly these children, in this order.
  [[nodiscard]] bool list_holds(ListId list, std::span<const std::uint32_t> kids) const;

  // Stores a tree's section (as to_section would flatten it) and returns it.
  // `like` names a stored section that probably shares much of it, which
  // makes the shared part cheaper to find; the result does not depend on it.
  NodeId intern_tree(const TreeNode& root, NodeId like = kNoNode);
  // Stores a section and returns it.
  NodeId intern_section(const Section& section);
  // Copies a stored section back into the flat form.
  [[nodiscard]] Section to_section(NodeId root) const;
  // Hashes a stored section's hash input in one pass over the cached tails.
  [[nodiscard]] SectionHash hash(NodeId root) const;

  // The rebuild of Section's to_tree, on stored nodes: the root entry's node
  // (kNoNode when there is none), a node's kept children in rebuild order
  // (replacing `out`), and a node's identity.
  [[nodiscard]] NodeId rebuild_root(NodeId root) const;
  void rebuild_children(NodeId at, std::vector<NodeId>& out) const;
  [[nodiscard]] std::optional<std::string_view> rebuilt_identity(NodeId at) const;
  // Rebuilds the tree; the empty node when the section has no root.
  [[nodiscard]] TreeNode to_tree(NodeId root) const;

  // Returns the edits from section `a` to section `b`, visiting only the
  // sub-trees in which they differ.
  [[nodiscard]] EditSet diff(NodeId a, NodeId b) const;

  struct Merged {
    NodeId root = kNoNode;
    std::vector<SectionConflict> conflicts;
  };
  // Merges two sections over a base as merge_sections does, storing the
  // result; sub-trees that two of the three sides share are settled whole.
  Merged merge(NodeId base, NodeId ours, NodeId theirs);
  // Applies the change from section `from` to section `to` onto section
  // `onto`, as apply_to_section(diff_sections(from, to), onto) does, storing
  // the result. On an ApplyError nothing is stored.
  std::variant<NodeId, ApplyError> transplant(NodeId from, NodeId to, NodeId onto);

 private:
  friend struct StateIo;  // loads records as saved, checking their shape

  // Record numbers by content hash; entries whose records a rollback
  // dropped stay behind and are passed over.
  using InternTable = HashIndex<std::uint32_t, kNoRecord>;

  ListId intern_list(std::span<const std::uint32_t> items, std::uint8_t level);
  // make_list's steps: appends one item to the list filling at `level`,
  // closing it (and those above) where they cut; appends a tagged list,
  // whole when it starts and ends where the cuts fall, else by its items.
  void push_item(std::size_t level, std::uint32_t item, std::uint64_t last_hash);
  void push_list(ListId list, bool last);
  // Makes the list filling at `level` and appends it to the level above.
  void close_filling(std::size_t level);

  std::vector<StoredValue> values_;
  std::vector<Node> nodes_;
  std::vector<List> lists_;
  std::vector<std::uint32_t> items_;
  InternTable value_table_;
  InternTable node_table_;
  InternTable list_table_;
  // Scratch space of make_list, kept to spare allocations: per level, the
  // items of the list being filled, how many lists that level made, and
  // whether the list filling ended at its last item (it is made when more
  // follows).
  struct Filling {
    std::vector<std::uint32_t> items;
    std::uint32_t made = 0;
    bool full = false;
  };
  std::vector<Filling> filling_;
};

template <class F>
void NodeStore::for_each_kid(ListId list, F&& f) const {
  if (list == kNoKids) return;
  if (lists_[list].level == 0) {
    for (std::uint32_t kid : items(list)) f(kid);
    return;
  }
  // Recurses once per level: at most kMaxLevel deep.
  for (std::uint32_t sub : items(list)) for_each_kid(sub, f);
}

}  // namespace vext
