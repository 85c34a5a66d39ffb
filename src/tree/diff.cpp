#include "tree/diff.h"

#include <algorithm>

#include "tree/key_index.h"

namespace vext {
namespace {

constexpr PathId kNoPath = ~PathId{0};

// The path of the node being visited: the match keys of the nodes on the way
// down below a starting entry. A key enters the diff's path table only when a
// change below it is recorded, and only once.
class PathStack {
 public:
  PathStack(KeyPathTable& table, PathId start) : table_(table), start_(start) {}
  void push(const TreeNode& node) { keys_.push_back({KeyView(node), kNoPath}); }
  void pop() { keys_.pop_back(); }
  PathId materialize() {
    std::size_t i = keys_.size();
    while (i > 0 && keys_[i - 1].id == kNoPath) --i;
    PathId id = i == 0 ? start_ : keys_[i - 1].id;
    for (; i < keys_.size(); ++i) {
      id = table_.add(id, {});
      keys_[i].key.append_to(table_.entries.back().element);
      keys_[i].id = id;
    }
    return id;
  }

 private:
  struct Level {
    KeyView key;
    PathId id;  // kNoPath until a change needs it
  };
  KeyPathTable& table_;
  PathId start_;
  std::vector<Level> keys_;
};

struct OwnDiff {
  std::vector<AttrChange> attr_changes;
  bool text_differs = false;
  bool own = false;
};

OwnDiff compare_own(const TreeNode& old_node, const TreeNode& new_node) {
  OwnDiff d;
  d.attr_changes = attr_diffs(old_node.attributes, new_node.attributes);
  d.text_differs = old_node.text != new_node.text;
  d.own = old_node.kind != new_node.kind || !d.attr_changes.empty() || d.text_differs;
  return d;
}

// Records Modified for an identified node whose pair differs; returns the
// flag that the parent sees.
bool finish_pair(const TreeNode& old_node, const TreeNode& new_node, OwnDiff own, bool pending,
                 std::vector<TreeChange>& changes, PathStack& path) {
  if (new_node.identity && (own.own || pending)) {
    std::optional<TextChange> text;
    if (own.text_differs) text.emplace(old_node.text, new_node.text);
    changes.push_back(mk_change(ChangeKind::Modified, new_node, std::move(own.attr_changes),
                                std::move(text), path.materialize()));
    return true;
  }
  return own.own || pending;
}

bool emit_subtree_impl(ChangeKind kind, const TreeNode& top, std::vector<TreeChange>& changes,
                       PathStack& path) {
  bool any = false;
  auto visit = [&](const TreeNode& node) {
    if (node.identity) {
      changes.push_back(mk_change(kind, node, {}, std::nullopt, path.materialize()));
      any = true;
    }
  };
  visit(top);
  if (top.children.empty()) return any;
  std::vector<std::pair<const TreeNode*, std::size_t>> stack{{&top, 0}};
  while (!stack.empty()) {
    auto& [node, next] = stack.back();
    if (next < node->children.size()) {
      const TreeNode& child = node->children[next++];
      path.push(child);
      visit(child);
      if (child.children.empty()) {
        path.pop();
      } else {
        stack.emplace_back(&child, 0);
      }
    } else {
      stack.pop_back();
      if (!stack.empty()) path.pop();
    }
  }
  return any;
}

// Pairs the children of two compared nodes: the k-th new child with a key
// meets the k-th old child with that key. Old children are grouped by key
// through a hash index, each group a list in child order; only the keys left
// with unpaired members are sorted.
class ChildPairing {
 public:
  explicit ChildPairing(const TreeNode& old_node, const TreeNode& new_node)
      : old_(&old_node) {
    const auto& oc = old_node.children;
    const auto& nc = new_node.children;
    aligned_ = oc.size() == nc.size();
    for (std::size_t i = 0; aligned_ && i < oc.size(); ++i)
      aligned_ = keys_equal(KeyView(oc[i]), KeyView(nc[i]));
    if (aligned_) return;
    index_ = detail::IdIndex(oc.size());
    next_.assign(oc.size(), detail::kNone);
    std::vector<std::uint32_t> last;  // per group: its last member so far
    for (std::uint32_t i = 0; i < oc.size(); ++i) {
      const KeyView key(oc[i]);
      const std::uint64_t h = detail::hash_key(key);
      const std::uint32_t group = find(h, key);
      if (group == detail::kNone) {
        index_.add(h, static_cast<std::uint32_t>(first_.size()));
        first_.push_back(i);
        cursor_.push_back(i);
        last.push_back(i);
      } else {
        next_[last[group]] = i;
        last[group] = i;
      }
    }
  }

  // Returns the old partner of the new child at `index`, or nullptr.
  const TreeNode* pair(const TreeNode& child, std::size_t index) {
    if (aligned_) return &old_->children[index];
    const KeyView key(child);
    const std::uint32_t group = find(detail::hash_key(key), key);
    if (group == detail::kNone || cursor_[group] == detail::kNone) return nullptr;
    const std::uint32_t member = cursor_[group];
    cursor_[group] = next_[member];
    return &old_->children[member];
  }

  // Calls `f` on every old child left unpaired, by key and then in order.
  template <class F>
  void for_each_unpaired(F&& f) const {
    std::vector<std::uint32_t> left;
    for (std::uint32_t group = 0; group < cursor_.size(); ++group)
      if (cursor_[group] != detail::kNone) left.push_back(group);
    const auto& oc = old_->children;
    std::sort(left.begin(), left.end(), [&](std::uint32_t a, std::uint32_t b) {
      return compare_keys(KeyView(oc[first_[a]]), KeyView(oc[first_[b]])) < 0;
    });
    for (std::uint32_t group : left)
      for (std::uint32_t m = cursor_[group]; m != detail::kNone; m = next_[m]) f(oc[m]);
  }

 private:
  std::uint32_t find(std::uint64_t hash, const KeyView& key) const {
    return index_.find(hash, [&](std::uint32_t group) {
      return keys_equal(KeyView(old_->children[first_[group]]), key);
    });
  }

  const TreeNode* old_;
  bool aligned_ = true;
  detail::IdIndex index_;              // key -> group
  std::vector<std::uint32_t> first_;   // per group: its first member
  std::vector<std::uint32_t> cursor_;  // per group: its first unpaired member, or kNone
  std::vector<std::uint32_t> next_;    // per old child: the next member of its group, or kNone
};

struct Frame {
  const TreeNode* old_node;
  const TreeNode* new_node;
  OwnDiff own;
  ChildPairing pairing;
  std::size_t next = 0;
  bool pending = false;

  Frame(const TreeNode& o, const TreeNode& n)
      : old_node(&o), new_node(&n), own(compare_own(o, n)), pairing(o, n) {}
};

bool diff_node_impl(const TreeNode& old_root, const TreeNode& new_root,
                    std::vector<TreeChange>& changes, PathStack& path) {
  std::vector<Frame> stack;
  stack.emplace_back(old_root, new_root);
  bool result = false;
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (f.next < f.new_node->children.size()) {
      const std::size_t index = f.next++;
      const TreeNode& child = f.new_node->children[index];
      path.push(child);
      if (const TreeNode* partner = f.pairing.pair(child, index)) {
        if (partner->children.empty() && child.children.empty()) {
          bool flag = finish_pair(*partner, child, compare_own(*partner, child), false, changes, path);
          if (flag && !child.identity) f.pending = true;
          path.pop();
        } else {
          stack.emplace_back(*partner, child);  // `f` is not used past this point
        }
      } else {
        if (!emit_subtree_impl(ChangeKind::Added, child, changes, path)) f.pending = true;
        path.pop();
      }
      continue;
    }
    f.pairing.for_each_unpaired([&](const TreeNode& gone) {
      path.push(gone);
      if (!emit_subtree_impl(ChangeKind::Removed, gone, changes, path)) f.pending = true;
      path.pop();
    });
    const TreeNode& new_node = *f.new_node;
    bool flag = finish_pair(*f.old_node, new_node, std::move(f.own), f.pending, changes, path);
    stack.pop_back();
    if (stack.empty()) {
      result = flag;
    } else {
      path.pop();
      if (flag && !new_node.identity) stack.back().pending = true;
    }
  }
  return result;
}

}  // namespace

PathId KeyPathTable::add(PathId parent, std::string_view element) {
  const auto id = static_cast<PathId>(entries.size());
  entries.push_back({.parent = parent, .depth = entries[parent].depth + 1, .element = std::string(element)});
  return id;
}

KeyPath KeyPathTable::expand(PathId id) const {
  KeyPath path(entries[id].depth);
  for (std::size_t i = path.size(); i > 0; id = entries[id].parent) path[--i] = entries[id].element;
  return path;
}

std::string_view change_kind_name(ChangeKind kind) {
  switch (kind) {
    case ChangeKind::Added: return "Added";
    case ChangeKind::Removed: return "Removed";
    case ChangeKind::Modified: return "Modified";
  }
  return "Modified";
}

std::vector<AttrChange> attr_diffs(const Attributes& old_attrs, const Attributes& new_attrs) {
  std::vector<AttrChange> out;
  if (old_attrs == new_attrs) return out;
  const auto o = as_map(old_attrs);
  const auto n = as_map(new_attrs);
  // Added and changed names, in the order of the new map.
  for (std::size_t i = 0, j = 0; j < n.size(); ++j) {
    while (i < o.size() && o[i]->first < n[j]->first) ++i;
    if (i < o.size() && o[i]->first == n[j]->first) {
      if (o[i]->second != n[j]->second) out.push_back({n[j]->first, o[i]->second, n[j]->second});
    } else {
      out.push_back({n[j]->first, "", n[j]->second});
    }
  }
  // Removed names, in the order of the old map.
  for (std::size_t i = 0, j = 0; i < o.size(); ++i) {
    while (j < n.size() && n[j]->first < o[i]->first) ++j;
    if (j == n.size() || n[j]->first != o[i]->first) out.push_back({o[i]->first, o[i]->second, ""});
  }
  return out;
}

TreeChange mk_change(ChangeKind kind, const TreeNode& node, std::vector<AttrChange> attr_changes,
                     std::optional<TextChange> text_change, PathId path) {
  return TreeChange{.kind = kind,
                    .path = path,
                    .elem_type = node.kind,
                    .id = node.identity.value_or(std::string()),
                    .label = node.label,
                    .attr_changes = std::move(attr_changes),
                    .text_change = std::move(text_change)};
}

bool diff_node(const TreeNode& old_node, const TreeNode& new_node, TreeDiff& diff, PathId path) {
  PathStack stack(diff.paths, path);
  return diff_node_impl(old_node, new_node, diff.changes, stack);
}

bool emit_subtree(ChangeKind kind, const TreeNode& node, TreeDiff& diff, PathId path) {
  PathStack stack(diff.paths, path);
  return emit_subtree_impl(kind, node, diff.changes, stack);
}

TreeDiff tree_diff(const TreeNode& old_root, const TreeNode& new_root) {
  TreeDiff diff;
  PathStack path(diff.paths, 0);
  if (diff_node_impl(old_root, new_root, diff.changes, path) && diff.changes.empty()) {
    std::optional<TextChange> text;
    if (old_root.text != new_root.text) text.emplace(old_root.text, new_root.text);
    diff.changes.push_back(mk_change(ChangeKind::Modified, new_root,
                                     attr_diffs(old_root.attributes, new_root.attributes),
                                     std::move(text), 0));
  }
  return diff;
}

}  // namespace vext
