#include "tree/diff.h"

#include <algorithm>

namespace vext {
namespace {

// The path of the node being visited: a fixed prefix of strings followed by
// the match keys of the nodes on the way down, built into strings only when a
// change is recorded.
class PathStack {
 public:
  explicit PathStack(const Path& prefix) : prefix_(prefix) {}
  void push(const TreeNode& node) { keys_.emplace_back(node); }
  void pop() { keys_.pop_back(); }
  Path materialize() const {
    Path path;
    path.reserve(prefix_.size() + keys_.size());
    path.insert(path.end(), prefix_.begin(), prefix_.end());
    for (const KeyView& key : keys_) key.append_to(path.emplace_back());
    return path;
  }

 private:
  const Path& prefix_;
  std::vector<KeyView> keys_;
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
                 std::vector<TreeChange>& changes, const PathStack& path) {
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
// meets the k-th old child with that key.
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
    entries_.reserve(oc.size());
    for (std::size_t i = 0; i < oc.size(); ++i) entries_.push_back({match_key(oc[i]), i});
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const Entry& a, const Entry& b) { return a.key < b.key; });
    used_.assign(entries_.size(), 0);
  }

  // Returns the old partner of the new child at `index`, or nullptr.
  const TreeNode* pair(const TreeNode& child, std::size_t index) {
    if (aligned_) return &old_->children[index];
    KeyView key(child);
    auto it = std::lower_bound(entries_.begin(), entries_.end(), key, [](const Entry& e, const KeyView& k) {
      return compare_keys(KeyView(std::string_view(e.key)), k) < 0;
    });
    if (it == entries_.end() || !key_equals(key, it->key)) return nullptr;
    const std::size_t group = static_cast<std::size_t>(it - entries_.begin());
    const std::size_t member = group + used_[group];
    if (member >= entries_.size() || entries_[member].key != entries_[group].key) return nullptr;
    ++used_[group];
    return &old_->children[entries_[member].index];
  }

  // Calls `f` on every old child left unpaired, by key and then in order.
  template <class F>
  void for_each_unpaired(F&& f) const {
    for (std::size_t group = 0; group < entries_.size();) {
      std::size_t end = group;
      while (end < entries_.size() && entries_[end].key == entries_[group].key) ++end;
      for (std::size_t m = group + used_[group]; m < end; ++m) f(old_->children[entries_[m].index]);
      group = end;
    }
  }

 private:
  struct Entry {
    std::string key;
    std::size_t index;
  };
  const TreeNode* old_;
  bool aligned_ = true;
  std::vector<Entry> entries_;
  std::vector<std::size_t> used_;  // per group start: members paired so far
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
                     std::optional<TextChange> text_change, Path path) {
  return TreeChange{.kind = kind,
                    .path = std::move(path),
                    .elem_type = node.kind,
                    .id = node.identity.value_or(std::string()),
                    .label = node.label,
                    .attr_changes = std::move(attr_changes),
                    .text_change = std::move(text_change)};
}

bool diff_node(const TreeNode& old_node, const TreeNode& new_node,
               std::vector<TreeChange>& changes, Path path) {
  PathStack stack(path);
  return diff_node_impl(old_node, new_node, changes, stack);
}

bool emit_subtree(ChangeKind kind, const TreeNode& node, std::vector<TreeChange>& changes,
                  Path path) {
  PathStack stack(path);
  return emit_subtree_impl(kind, node, changes, stack);
}

TreeDiff tree_diff(const TreeNode& old_root, const TreeNode& new_root) {
  TreeDiff diff;
  const Path root_path;
  PathStack path(root_path);
  if (diff_node_impl(old_root, new_root, diff.changes, path) && diff.changes.empty()) {
    std::optional<TextChange> text;
    if (old_root.text != new_root.text) text.emplace(old_root.text, new_root.text);
    diff.changes.push_back(mk_change(ChangeKind::Modified, new_root,
                                     attr_diffs(old_root.attributes, new_root.attributes),
                                     std::move(text), Path{}));
  }
  return diff;
}

}  // namespace vext
