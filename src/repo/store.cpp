#include "repo/store.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "common/fatal.h"
#include "common/hash.h"

namespace vext {
namespace {

std::uint64_t value_key(std::string_view kind, std::string_view label, std::string_view text,
                        const Attributes& attrs, std::uint64_t order) {
  std::uint64_t h = fold_bytes(kind, 1);
  h = fold_bytes(label, h);
  h = fold_bytes(text, h);
  for (const auto& [name, value] : attrs) h = fold_bytes(value, fold_bytes(name, h));
  return mix_hash(fold_word(fold_word(h, attrs.size()), order));
}

std::uint64_t node_key(std::uint64_t element_hash, ValueId value, ListId kids) {
  return mix_hash(fold_word(fold_word(element_hash, value), kids));
}

std::uint64_t list_key(std::span<const std::uint32_t> items, std::uint8_t level) {
  std::uint64_t h = 2 + std::uint64_t{level};
  for (std::uint32_t item : items) h = fold_word(h, item);
  return mix_hash(fold_word(h, items.size()));
}

// Whether a list of `level` ends after a child of this hash: five more low
// bits zero per level, so every cut of a level is also a cut of the levels
// below it.
bool cuts(std::uint64_t last_hash, std::size_t level) {
  if (level >= NodeStore::kHashLevels) return false;
  const std::uint64_t mask = (std::uint64_t{1} << (5 * (level + 1))) - 1;
  return (last_hash & mask) == 0;
}

std::optional<Value> copy_of(const NodeStore& store, ValueId id) {
  return id == kNoValue ? std::nullopt : std::optional<Value>(store.value(id));
}

// Walks one child list in element order. It keeps a frame per level, from
// the whole list down to the leaf being read, and holds positions, not
// pointers, so the store may grow while it is in use.
class KidCursor {
 public:
  KidCursor() = default;
  KidCursor(const NodeStore& store, ListId list) {
    if (list == kNoKids) return;
    top_level_ = store.list(list).level;
    enter(store, list);
    descend(store);
  }

  [[nodiscard]] bool done() const { return depth_ == 0; }
  [[nodiscard]] NodeId head(const NodeStore& store) const { return store.items_at(frames_[depth_ - 1].pos); }

  void advance(const NodeStore& store) { step(store); }

  // The level of the largest list that starts at the current child, -1 for
  // none: a frame's list starts there when it and every frame below it
  // stand at their first item.
  [[nodiscard]] int widest_level(const NodeStore& store) const {
    std::size_t k = depth_;
    while (k > 0 && frames_[k - 1].pos == store.list(frames_[k - 1].list).first) --k;
    return k == depth_ ? -1 : top_level_ - static_cast<int>(k);
  }
  // The list of `level` the cursor is in; only for levels it has.
  [[nodiscard]] ListId list_at(std::uint8_t level) const { return frames_[top_level_ - level].list; }
  // Says whether a list of `level` starts at the current child.
  [[nodiscard]] bool starts_at(const NodeStore& store, std::uint8_t level) const {
    return !done() && level <= top_level_ && widest_level(store) >= int{level};
  }
  // Moves past the whole list of `level` that the current child starts.
  void skip(const NodeStore& store, std::uint8_t level) {
    depth_ = static_cast<std::uint8_t>(top_level_ - level);
    if (depth_ > 0) step(store);
  }

 private:
  struct Frame {
    ListId list = kNoKids;
    std::uint32_t pos = 0;
    std::uint32_t end = 0;
  };
  void enter(const NodeStore& store, ListId list) {
    const NodeStore::List& l = store.list(list);
    frames_[depth_++] = {list, l.first, l.first + l.count};
  }
  // Goes down from the top frame's current item to the first child below it.
  void descend(const NodeStore& store) {
    while (depth_ <= top_level_) enter(store, store.items_at(frames_[depth_ - 1].pos));
  }
  // Moves the top frame past its current item, climbing out of frames that end.
  void step(const NodeStore& store) {
    while (depth_ > 0) {
      Frame& f = frames_[depth_ - 1];
      if (++f.pos < f.end) {
        descend(store);
        return;
      }
      --depth_;
    }
  }

  std::array<Frame, NodeStore::kMaxLevel + 1> frames_{};
  std::uint8_t depth_ = 0;
  std::uint8_t top_level_ = 0;
};

// One step of walking N child lists together: either a list that all of them
// have at the same place, or the children of one element (kNoNode where a
// list lacks it).
struct ZipStep {
  ListId shared_list = kNoKids;
  std::array<NodeId, 3> nodes{kNoNode, kNoNode, kNoNode};
};

template <std::size_t N>
class KidZip {
 public:
  KidZip(const NodeStore& store, const std::array<ListId, N>& lists) {
    for (std::size_t k = 0; k < N; ++k) cursors_[k] = KidCursor(store, lists[k]);
  }

  bool next(const NodeStore& store, ZipStep& step) {
    if (skip_shared(store, step)) return true;
    step.shared_list = kNoKids;
    std::string_view least;
    bool any = false;
    for (std::size_t k = 0; k < N; ++k) {
      if (cursors_[k].done()) continue;
      const std::string_view e = store.node(cursors_[k].head(store)).element;
      if (!any || e < least) least = e;
      any = true;
    }
    if (!any) return false;
    for (std::size_t k = 0; k < N; ++k) {
      step.nodes[k] = kNoNode;
      if (cursors_[k].done()) continue;
      const NodeId head = cursors_[k].head(store);
      if (store.node(head).element != least) continue;
      step.nodes[k] = head;
      cursors_[k].advance(store);
    }
    return true;
  }

 private:
  // Skips the largest list that starts at the current child in every
  // cursor. Lists are cut by content, so lists that share a child from
  // the same place on are the same list up to the first cut they differ at.
  bool skip_shared(const NodeStore& store, ZipStep& step) {
    if (cursors_[0].done()) return false;
    for (int level = cursors_[0].widest_level(store); level >= 0; --level) {
      const auto l = static_cast<std::uint8_t>(level);
      const ListId list = cursors_[0].list_at(l);
      bool shared = true;
      for (std::size_t k = 1; k < N && shared; ++k) {
        shared = cursors_[k].starts_at(store, l) && cursors_[k].list_at(l) == list;
      }
      if (!shared) continue;
      step.shared_list = list;
      for (KidCursor& c : cursors_) c.skip(store, l);
      return true;
    }
    return false;
  }

  std::array<KidCursor, N> cursors_;
};

// Calls f(path, node) for every node of a stored section in path order, the
// section's own node first with the empty path.
template <class F>
void walk_section(const NodeStore& store, NodeId root, F&& f) {
  if (root == kNoNode) return;
  std::vector<std::string_view> path;
  f(std::span<const std::string_view>(path), root);
  std::vector<KidCursor> stack{KidCursor(store, store.node(root).kids)};
  while (!stack.empty()) {
    KidCursor& top = stack.back();
    if (top.done()) {
      stack.pop_back();
      if (!stack.empty()) path.pop_back();
      continue;
    }
    const NodeId id = top.head(store);
    top.advance(store);
    const NodeStore::Node& node = store.node(id);
    path.push_back(node.element);
    f(std::span<const std::string_view>(path), id);
    if (node.kids != kNoKids) {
      stack.emplace_back(store, node.kids);
    } else {
      path.pop_back();
    }
  }
}

// Settles a whole sub-tree, or one field, by the three-way rule when two of
// the three sides agree: ours kept the base gives theirs, theirs kept it or
// both agree gives ours.
bool settle(std::uint32_t base, std::uint32_t ours, std::uint32_t theirs, std::uint32_t& out) {
  if (ours == base) {
    out = theirs;
  } else if (theirs == base || ours == theirs) {
    out = ours;
  } else {
    return false;
  }
  return true;
}

}  // namespace

// --- intern tables -------------------------------------------------------------

// --- records -------------------------------------------------------------------

void NodeStore::rollback(const Mark& mark) noexcept {
  values_.erase(values_.begin() + static_cast<std::ptrdiff_t>(mark.values), values_.end());
  nodes_.erase(nodes_.begin() + static_cast<std::ptrdiff_t>(mark.nodes), nodes_.end());
  lists_.erase(lists_.begin() + static_cast<std::ptrdiff_t>(mark.lists), lists_.end());
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(mark.items), items_.end());
}

namespace {

// Numbers must stay below the tag bit of make_list's entries.
void check_room(std::size_t count) {
  if (count >= NodeStore::kListTag) throw Fatal("node store: too many records");
}

}  // namespace

ValueId NodeStore::intern_value(std::string_view kind, std::string_view label, std::string_view text,
                                const Attributes& attrs, std::uint64_t order) {
  const std::uint64_t key = value_key(kind, label, text, attrs, order);
  const ValueId found = value_table_.find(key, [&](ValueId id) {
    if (id >= values_.size()) return false;
    const Value& v = values_[id].value;
    return v.order == order && v.kind == kind && v.label == label && v.text == text && v.attrs == attrs;
  });
  if (found != kNoRecord) return found;
  check_room(values_.size());
  value_table_.reserve_one();
  StoredValue stored{.value = Value{.kind = std::string(kind),
                                    .label = std::string(label),
                                    .text = std::string(text),
                                    .attrs = attrs,
                                    .order = order},
                     .tail = {}};
  append_entry_tail(stored.tail, stored.value);
  stored.tail.shrink_to_fit();
  values_.push_back(std::move(stored));
  value_table_.insert(key, static_cast<ValueId>(values_.size() - 1));
  return static_cast<ValueId>(values_.size() - 1);
}

ValueId NodeStore::intern_value(const Value& value) {
  return intern_value(value.kind, value.label, value.text, value.attrs, value.order);
}

NodeId NodeStore::intern_node(std::string_view element, ValueId value, ListId kids) {
  if (value == kNoValue && kids == kNoKids) return kNoNode;
  const std::uint64_t element_hash = mix_hash(fold_bytes(element, 5));
  const std::uint64_t key = node_key(element_hash, value, kids);
  const NodeId found = node_table_.find(key, [&](NodeId id) {
    if (id >= nodes_.size()) return false;
    const Node& n = nodes_[id];
    return n.value == value && n.kids == kids && n.element == element;
  });
  if (found != kNoRecord) return found;
  check_room(nodes_.size());
  node_table_.reserve_one();
  // Built before the push: `element` may view a node that the push moves.
  Node node{.element = std::string(element),
            .value = value,
            .kids = kids,
            .element_hash = element_hash,
            .order = value == kNoValue ? 0 : values_[value].value.order};
  nodes_.push_back(std::move(node));
  node_table_.insert(key, static_cast<NodeId>(nodes_.size() - 1));
  return static_cast<NodeId>(nodes_.size() - 1);
}

ListId NodeStore::intern_list(std::span<const std::uint32_t> items, std::uint8_t level) {
  const std::uint64_t key = list_key(items, level);
  const ListId found = list_table_.find(key, [&](ListId id) {
    if (id >= lists_.size()) return false;
    const List& l = lists_[id];
    return l.level == level && l.count == items.size() &&
           std::equal(items.begin(), items.end(), items_.begin() + l.first);
  });
  if (found != kNoRecord) return found;
  check_room(std::max(lists_.size(), items_.size() + items.size()));
  list_table_.reserve_one();
  const auto first = static_cast<std::uint32_t>(items_.size());
  items_.insert(items_.end(), items.begin(), items.end());
  lists_.push_back({first, static_cast<std::uint32_t>(items.size()), level});
  list_table_.insert(key, static_cast<ListId>(lists_.size() - 1));
  return static_cast<ListId>(lists_.size() - 1);
}

NodeId NodeStore::first_kid(ListId list) const {
  while (lists_[list].level > 0) list = items_[lists_[list].first];
  return items_[lists_[list].first];
}

NodeId NodeStore::last_kid(ListId list) const {
  while (lists_[list].level > 0) list = items_[lists_[list].first + lists_[list].count - 1];
  return items_[lists_[list].first + lists_[list].count - 1];
}

bool NodeStore::list_closed(ListId list) const {
  const List& l = lists_[list];
  return l.count == kMaxLeaf || cuts(nodes_[last_kid(list)].element_hash, l.level);
}

void NodeStore::push_item(std::size_t level, std::uint32_t item, std::uint64_t last_hash) {
  if (filling_.size() <= level) filling_.resize(level + 1);
  if (filling_[level].full) close_filling(level);
  Filling& f = filling_[level];
  f.items.push_back(item);
  f.full = f.items.size() == kMaxLeaf || cuts(last_hash, level);
}

void NodeStore::close_filling(std::size_t level) {
  Filling& f = filling_[level];
  const ListId made = intern_list(f.items, static_cast<std::uint8_t>(level));
  f.items.clear();
  f.full = false;
  ++f.made;
  push_item(level + 1, made, nodes_[last_kid(made)].element_hash);
}

void NodeStore::push_list(ListId list, bool last) {
  const List l = lists_[list];
  // What ended before it is made first: the list follows it.
  for (std::size_t k = 0; k <= l.level && k < filling_.size(); ++k) {
    if (filling_[k].full) close_filling(k);
  }
  // Taken whole only where the cuts of the children alone would make it:
  // nothing is pending at its level or below, and it ends at a cut or at
  // the end of the entries.
  bool aligned = true;
  for (std::size_t k = 0; k <= l.level && k < filling_.size(); ++k) aligned = aligned && filling_[k].items.empty();
  if (aligned && (last || list_closed(list))) {
    if (filling_.size() <= l.level) filling_.resize(l.level + 1u);
    ++filling_[l.level].made;
    push_item(l.level + 1u, list, nodes_[last_kid(list)].element_hash);
    return;
  }
  // Recurses once per level: at most kMaxLevel deep.
  for (std::uint32_t k = 0; k < l.count; ++k) {
    const std::uint32_t item = items_[l.first + k];
    if (l.level == 0) {
      push_item(0, item, nodes_[item].element_hash);
    } else {
      push_list(item, last && k + 1 == l.count);
    }
  }
}

ListId NodeStore::make_list(std::span<const std::uint32_t> entries) {
  for (Filling& f : filling_) {
    f.items.clear();
    f.made = 0;
    f.full = false;
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint32_t entry = entries[i];
    if (entry & kListTag) {
      push_list(entry & ~kListTag, i + 1 == entries.size());
    } else {
      push_item(0, entry, nodes_[entry].element_hash);
    }
  }
  // Closes what is still filling, lowest level first, until a level holds
  // everything in the one list it fills: that list is the whole list, or,
  // when it has a single item, that item is.
  for (std::size_t level = 0; level < filling_.size(); ++level) {
    Filling& f = filling_[level];
    if (f.items.empty()) continue;
    bool top = f.made == 0;
    for (std::size_t k = level + 1; k < filling_.size() && top; ++k) top = filling_[k].items.empty();
    if (top) {
      if (level > 0 && f.items.size() == 1) return f.items[0];
      return intern_list(f.items, static_cast<std::uint8_t>(level));
    }
    close_filling(level);
  }
  return kNoKids;
}

// --- sections in and out ---------------------------------------------------------

namespace {

// Interns a tree's section bottom-up as flatten() walks it: a path's node is
// made when the walk leaves it, after all of its children. Each path is
// matched with the same path of a stored section that is likely to hold most
// of the tree already (the parent commit's); where that one holds the same
// value, children or node, it is taken without a lookup in the intern tables.
class TreeInterner final : public FlattenVisitor {
 public:
  TreeInterner(NodeStore& store, NodeId like) : store_(store) {
    likes_.emplace_back(store, store.kids_of(like));
  }

  void enter(std::string_view element, const TreeNode& node, std::uint64_t order) override {
    KidCursor& c = likes_.back();
    NodeId like = kNoNode;
    while (!c.done()) {
      const NodeId head = c.head(store_);
      const int cmp = std::string_view(store_.node(head).element).compare(element);
      if (cmp > 0) break;
      c.advance(store_);
      if (cmp == 0) {
        like = head;
        break;
      }
    }
    open_.push_back({element, &node, order, entries_.size(), like});
    likes_.emplace_back(store_, store_.kids_of(like));
  }

  void leave() override {
    likes_.pop_back();
    const Open o = open_.back();
    open_.pop_back();
    const std::span<const std::uint32_t> entries = std::span(entries_).subspan(o.entries);
    const ValueId like_value = store_.value_of(o.like);
    const ListId like_kids = store_.kids_of(o.like);
    const ListId kids = store_.list_holds(like_kids, entries) ? like_kids : store_.make_list(entries);
    entries_.resize(o.entries);
    const TreeNode& n = *o.node;
    ValueId value = like_value;
    if (value == kNoValue || !same_value(store_.value(value), n, o.order)) {
      value = store_.intern_value(n.kind, n.label, n.text, n.attributes, o.order);
    }
    entries_.push_back(value == like_value && kids == like_kids ? o.like : store_.intern_node(o.element, value, kids));
  }
  [[nodiscard]] NodeId root_entry() const { return entries_.back(); }

 private:
  struct Open {
    std::string_view element;
    const TreeNode* node;
    std::uint64_t order;
    std::size_t entries;  // where this path's children start in entries_
    NodeId like;          // the same path in the likely section, or kNoNode
  };
  static bool same_value(const Value& v, const TreeNode& n, std::uint64_t order) {
    return v.order == order && v.kind == n.kind && v.text == n.text && v.label == n.label && v.attrs == n.attributes;
  }
  NodeStore& store_;
  std::vector<Open> open_;
  std::vector<KidCursor> likes_;  // the unmatched children of each open path's match
  std::vector<std::uint32_t> entries_;
};

}  // namespace

bool NodeStore::list_holds(ListId list, std::span<const std::uint32_t> kids) const {
  KidCursor c(*this, list);
  for (std::uint32_t kid : kids) {
    if (c.done() || c.head(*this) != kid) return false;
    c.advance(*this);
  }
  return c.done();
}

NodeId NodeStore::intern_tree(const TreeNode& root, NodeId like) {
  TreeInterner interner(*this, like);
  flatten(root, interner);
  const std::uint32_t entry = interner.root_entry();
  return intern_node("", kNoValue, make_list(std::span(&entry, 1)));
}

NodeId NodeStore::intern_section(const Section& section) {
  const PathTrie& trie = section.trie();
  if (trie.node_count() == 0) return kNoNode;
  // Trie nodes are numbered in path order, so every child comes after its
  // parent and a backward pass meets children first.
  std::vector<NodeId> ids(trie.node_count(), kNoNode);
  std::vector<std::uint32_t> entries;
  for (std::size_t i = trie.node_count(); i-- > 0;) {
    entries.clear();
    for (std::uint32_t kid : trie.children_of(static_cast<std::uint32_t>(i))) {
      if (ids[kid] != kNoNode) entries.push_back(ids[kid]);
    }
    const ListId kids = make_list(entries);
    const Value* value = section.value_at(static_cast<std::uint32_t>(i));
    ids[i] = intern_node(trie.node(static_cast<std::uint32_t>(i)).element, value ? intern_value(*value) : kNoValue,
                         kids);
  }
  return ids[0];
}

Section NodeStore::to_section(NodeId root) const {
  Section::Builder out;
  walk_section(*this, root, [&](std::span<const std::string_view> path, NodeId id) {
    if (!path.empty()) out.move_to(path.size(), path.back());
    if (nodes_[id].value != kNoValue) out.set(values_[nodes_[id].value].value);
  });
  return std::move(out).finish();
}

SectionHash NodeStore::hash(NodeId root) const {
  FnvSink sink;
  walk_section(*this, root, [&](std::span<const std::string_view> path, NodeId id) {
    if (nodes_[id].value != kNoValue) feed_entry(sink, path, values_[nodes_[id].value].tail);
  });
  return sink.hash;
}

// --- rebuilding trees -------------------------------------------------------------

NodeId NodeStore::rebuild_root(NodeId root) const {
  NodeId found = kNoNode;
  if (root == kNoNode) return found;
  // The root is the first one-element path holding a value.
  KidCursor c(*this, nodes_[root].kids);
  for (; !c.done(); c.advance(*this)) {
    const NodeId kid = c.head(*this);
    if (nodes_[kid].value != kNoValue) return kid;
  }
  return found;
}

void NodeStore::rebuild_children(NodeId at, std::vector<NodeId>& out) const {
  out.clear();
  for_each_kid(nodes_[at].kids, [&](NodeId kid) {
    if (nodes_[kid].value != kNoValue) out.push_back(kid);
  });
  // Children come in path order, so ties in `order` stay in path order.
  const auto by_order = [&](NodeId a, NodeId b) { return nodes_[a].order < nodes_[b].order; };
  if (!std::is_sorted(out.begin(), out.end(), by_order)) std::stable_sort(out.begin(), out.end(), by_order);
}

std::optional<std::string_view> NodeStore::rebuilt_identity(NodeId at) const {
  return vext::rebuilt_identity(values_[nodes_[at].value].value, nodes_[at].element);
}

TreeNode NodeStore::to_tree(NodeId root) const {
  const auto make = [&](NodeId at) {
    const Value& value = values_[nodes_[at].value].value;
    TreeNode node(value.kind);
    if (auto identity = rebuilt_identity(at)) node.identity.emplace(*identity);
    node.label = value.label;
    node.attributes = value.attrs;
    node.text = value.text;
    return node;
  };
  const NodeId top = rebuild_root(root);
  if (top == kNoNode) return TreeNode(std::string());
  TreeNode tree = make(top);
  std::vector<std::pair<NodeId, TreeNode*>> stack{{top, &tree}};
  std::vector<NodeId> kids;
  while (!stack.empty()) {
    const auto [at, parent] = stack.back();
    stack.pop_back();
    rebuild_children(at, kids);
    // The exact reservation keeps every pointer pushed below valid.
    parent->children.reserve(kids.size());
    for (NodeId kid : kids) {
      TreeNode& child = parent->children.emplace_back(make(kid));
      if (nodes_[kid].kids != kNoKids) stack.emplace_back(kid, &child);
    }
  }
  return tree;
}

// --- walks over two or three sections -------------------------------------------

EditSet NodeStore::diff(NodeId a, NodeId b) const {
  EditSet::Builder out;
  std::vector<KidZip<2>> stack;
  // Records the edit at a visited pair and says whether their children differ.
  const auto visit = [&](NodeId x, NodeId y) {
    const ValueId vx = value_of(x);
    const ValueId vy = value_of(y);
    if (vx != vy) out.set(PointEdit{.before = copy_of(*this, vx), .after = copy_of(*this, vy)});
    return kids_of(x) != kids_of(y);
  };
  if (a != b && visit(a, b)) stack.emplace_back(*this, std::array<ListId, 2>{kids_of(a), kids_of(b)});
  ZipStep step;
  while (!stack.empty()) {
    if (!stack.back().next(*this, step)) {
      stack.pop_back();
      continue;
    }
    const NodeId x = step.nodes[0];
    const NodeId y = step.nodes[1];
    if (step.shared_list != kNoKids || x == y) continue;
    out.move_to(stack.size(), nodes_[x != kNoNode ? x : y].element);
    if (visit(x, y)) stack.emplace_back(*this, std::array<ListId, 2>{kids_of(x), kids_of(y)});
  }
  return std::move(out).finish();
}

namespace {

// The shared frame stack of the three-sided walks. Each open frame is one
// path whose children are being combined; its result entries collect in
// `entries` from `begin` on, and its path's elements are kept as copies
// because the store may move its nodes while the walk adds new ones.
struct Frame3 {
  KidZip<3> zip;
  std::size_t begin;
  ValueId value;
};

template <class Open>
NodeId walk3(NodeStore& store, NodeId a, NodeId b, NodeId c, Path& path, Open&& open) {
  // open(a, b, c, settled) decides a triple: it returns false with `settled`
  // set when the triple is settled whole, or true with the frame's value
  // when its children must be combined.
  std::vector<Frame3> stack;
  std::vector<std::uint32_t> entries;
  NodeId result = kNoNode;
  const auto deliver = [&](NodeId id) {
    if (stack.empty()) {
      result = id;
    } else if (id != kNoNode) {
      entries.push_back(id);
    }
  };
  const auto visit = [&](NodeId x, NodeId y, NodeId z) {
    NodeId settled = kNoNode;
    ValueId value = kNoValue;
    if (!open(x, y, z, settled, value)) {
      deliver(settled);
      if (!stack.empty()) path.pop_back();
      return;
    }
    stack.push_back({KidZip<3>(store, {store.kids_of(x), store.kids_of(y), store.kids_of(z)}), entries.size(), value});
  };
  visit(a, b, c);
  ZipStep step;
  while (!stack.empty()) {
    Frame3& top = stack.back();
    if (top.zip.next(store, step)) {
      if (step.shared_list != kNoKids) {
        entries.push_back(step.shared_list | NodeStore::kListTag);
        continue;
      }
      const NodeId any = step.nodes[0] != kNoNode ? step.nodes[0] : step.nodes[1] != kNoNode ? step.nodes[1] : step.nodes[2];
      path.push_back(store.node(any).element);
      visit(step.nodes[0], step.nodes[1], step.nodes[2]);
      continue;
    }
    const ListId kids = store.make_list(std::span(entries).subspan(top.begin));
    entries.resize(top.begin);
    const ValueId value = top.value;
    stack.pop_back();
    const NodeId made = store.intern_node(stack.empty() ? std::string_view() : std::string_view(path.back()), value, kids);
    if (!stack.empty()) path.pop_back();
    deliver(made);
  }
  return result;
}

}  // namespace

NodeStore::Merged NodeStore::merge(NodeId base, NodeId ours, NodeId theirs) {
  Merged out;
  Path path;
  out.root = walk3(*this, base, ours, theirs, path,
                   [&](NodeId b, NodeId o, NodeId t, NodeId& settled, ValueId& value) {
                     if (settle(b, o, t, settled)) return false;
                     const ValueId vb = value_of(b), vo = value_of(o), vt = value_of(t);
                     if (!settle(vb, vo, vt, value)) {
                       std::optional<Value> fields;
                       if (vb != kNoValue && vo != kNoValue && vt != kNoValue) {
                         fields = merge_values(values_[vb].value, values_[vo].value, values_[vt].value);
                       }
                       if (fields) {
                         value = intern_value(*fields);
                       } else {
                         out.conflicts.push_back(SectionConflict{.path = path,
                                                                 .base = copy_of(*this, vb),
                                                                 .ours = copy_of(*this, vo),
                                                                 .theirs = copy_of(*this, vt)});
                         value = vo;
                       }
                     }
                     ListId kids = kNoKids;
                     if (!settle(kids_of(b), kids_of(o), kids_of(t), kids)) return true;
                     settled = intern_node(path.empty() ? std::string_view() : std::string_view(path.back()), value, kids);
                     return false;
                   });
  return out;
}

std::variant<NodeId, ApplyError> NodeStore::transplant(NodeId from, NodeId to, NodeId onto) {
  const Mark start = mark();
  Path path;
  std::optional<ApplyError> error;
  const NodeId root = walk3(*this, from, to, onto, path,
                            [&](NodeId f, NodeId t, NodeId d, NodeId& settled, ValueId& value) {
                              // Nothing changes below f == t; every check passes below d == f.
                              if (f == t || error) {
                                settled = d;
                                return false;
                              }
                              if (d == f) {
                                settled = t;
                                return false;
                              }
                              const ValueId vf = value_of(f), vt = value_of(t), vd = value_of(d);
                              value = vd;
                              if (vf != vt) {
                                if (vd != vf) {
                                  error = ApplyError{
                                      .location = path, .expected = copy_of(*this, vf), .found = copy_of(*this, vd)};
                                  settled = d;
                                  return false;
                                }
                                value = vt;
                              }
                              const ListId lf = kids_of(f), lt = kids_of(t), ld = kids_of(d);
                              ListId kids = kNoKids;
                              if (lf == lt) {
                                kids = ld;
                              } else if (ld == lf) {
                                kids = lt;
                              } else {
                                return true;
                              }
                              settled = intern_node(path.empty() ? std::string_view() : std::string_view(path.back()),
                                                    value, kids);
                              return false;
                            });
  if (error) {
    rollback(start);
    return std::move(*error);
  }
  return root;
}

}  // namespace vext
