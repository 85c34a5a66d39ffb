#include "tree/merge.h"

#include <functional>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>

namespace vext {
namespace {

// Lets the hash containers be probed with a string_view, so lookups build no
// temporary string.
struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept {
    return std::hash<std::string_view>{}(s);
  }
};

using StringSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;
template <class V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

// Builds path texts and attribute keys in one reused buffer. A returned view
// is valid until the next call.
class KeyBuffer {
 public:
  std::string_view path(const Path& path) {
    buf_.clear();
    append_path_text(path);
    path_size_ = buf_.size();
    return buf_;
  }
  // Extends the last path text into the attribute key of `name`.
  std::string_view attr(std::string_view name) {
    buf_.resize(path_size_);
    buf_.push_back('#');
    buf_.append(name);
    return buf_;
  }
  void append_path_text(const Path& path) {
    std::size_t size = path.empty() ? 0 : path.size() - 1;
    for (const std::string& key : path) size += key.size();
    buf_.reserve(buf_.size() + size);
    for (std::size_t i = 0; i < path.size(); ++i) {
      if (i > 0) buf_.push_back('/');
      buf_.append(path[i]);
    }
  }
  std::string take() { return std::move(buf_); }

 private:
  std::string buf_;
  std::size_t path_size_ = 0;
};

bool path_text_equals(const Path& path, std::string_view text) {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i > 0) {
      if (pos == text.size() || text[pos] != '/') return false;
      ++pos;
    }
    if (text.compare(pos, path[i].size(), path[i]) != 0) return false;
    pos += path[i].size();
  }
  return pos == text.size();
}

template <class Node>
Node* child_with_key(Node& parent, std::string_view key) {
  for (Node& child : parent.children)
    if (key_equals(KeyView(child), key)) return &child;
  return nullptr;
}

template <class Node>
Node* resolve(Node& root, std::span<const std::string> path) {
  Node* node = &root;
  for (const std::string& key : path) {
    node = child_with_key(*node, key);
    if (node == nullptr) return nullptr;
  }
  return node;
}

// Returns the node below which `insert_node` would append a node at `path`,
// or nullptr when it would discard it. Callers check this before copying a
// sub-tree that would only be thrown away.
TreeNode* insertion_parent(TreeNode& root, const Path& path) {
  if (path.empty()) return nullptr;
  TreeNode* parent = resolve(root, std::span(path).first(path.size() - 1));
  if (parent == nullptr || child_with_key(*parent, path.back()) != nullptr) return nullptr;
  return parent;
}

void set_attr(TreeNode& node, std::string_view name, std::string_view value) {
  for (Attribute& attr : node.attributes) {
    if (attr.first == name) {
      attr.second = value;
      return;
    }
  }
  node.attributes.emplace_back(name, value);
}

// Copies the node at `path` of `source` into `merged` where `insert_node`
// would place it.
void carry_over(TreeNode& merged, const TreeNode& source, const Path& path) {
  const TreeNode* found = resolve(source, std::span(path));
  if (found == nullptr) return;
  if (TreeNode* parent = insertion_parent(merged, path)) parent->children.push_back(*found);
}

// What one side's change list says, keyed by path text and attribute key.
struct SideIndex {
  StringMap<AttrChange> attrs;           // the last change of each attribute key
  StringMap<TextChange> texts;           // the last text change of each path text
  StringMap<const TreeChange*> modified;  // the first Modified change of each path text
  StringSet added;
  StringSet removed;
};

SideIndex index_side(const std::vector<TreeChange>& changes) {
  SideIndex side;
  KeyBuffer key;
  for (const TreeChange& c : changes) {
    const std::string_view text = key.path(c.path);
    switch (c.kind) {
      case ChangeKind::Added:
        side.added.emplace(text);
        break;
      case ChangeKind::Removed:
        side.removed.emplace(text);
        break;
      case ChangeKind::Modified:
        side.modified.try_emplace(std::string(text), &c);
        if (c.text_change) side.texts.insert_or_assign(std::string(text), *c.text_change);
        for (const AttrChange& a : c.attr_changes)
          side.attrs.insert_or_assign(std::string(key.attr(a.name)), a);
        break;
    }
  }
  return side;
}

std::string modification_summary(const TreeChange* modified) {
  std::string out;
  if (modified != nullptr) {
    for (const AttrChange& a : modified->attr_changes) {
      if (!out.empty()) out += ", ";
      out += a.name;
      out += '=';
      out += a.new_value;
    }
    if (modified->text_change) {
      if (!out.empty()) out += ", ";
      out += "text=";
      out += modified->text_change->second;
    }
  }
  return out.empty() ? "modified" : out;
}

// Builds the modify/delete conflict at `key` from the modifying side's first
// Modified change there, if any.
TreeConflict modify_delete(const TreeChange* modified, const TreeNode& base, std::string_view key,
                           bool ours_modified) {
  TreeConflict conflict{.path = parse_path_text(key), .conflict_kind = ConflictKind::ModifyDelete};
  if (const TreeNode* node = find_node_by_path(base, conflict.path)) conflict.base = describe_node(*node);
  std::string summary = modification_summary(modified);
  if (ours_modified) {
    conflict.ours = std::move(summary);
    conflict.theirs = "deleted";
  } else {
    conflict.ours = "deleted";
    conflict.theirs = std::move(summary);
  }
  return conflict;
}

}  // namespace

std::string path_text(const Path& path) {
  KeyBuffer key;
  key.append_path_text(path);
  return key.take();
}

std::string attr_key(const Path& path, std::string_view name) {
  KeyBuffer key;
  key.path(path);
  key.attr(name);
  return key.take();
}

std::pair<std::string_view, std::string_view> split_attr_key(std::string_view key) {
  const std::size_t hash = key.rfind('#');
  if (hash == std::string_view::npos) return {std::string_view(), key};
  return {key.substr(0, hash), key.substr(hash + 1)};
}

Path parse_path_text(std::string_view text) {
  Path path;
  if (text.empty()) return path;
  for (std::size_t start = 0;;) {
    const std::size_t slash = text.find('/', start);
    if (slash == std::string_view::npos) {
      path.emplace_back(text.substr(start));
      return path;
    }
    path.emplace_back(text.substr(start, slash - start));
    start = slash + 1;
  }
}

std::string describe_node(const TreeNode& node) {
  return node.label.empty() ? match_key(node) : node.label;
}

const TreeNode* find_node_by_path(const TreeNode& root, const Path& path) {
  return resolve(root, std::span(path));
}

TreeNode* find_node_by_path(TreeNode& root, const Path& path) {
  return resolve(root, std::span(path));
}

void insert_node(TreeNode& root, const Path& path, TreeNode node) {
  if (TreeNode* parent = insertion_parent(root, path)) parent->children.push_back(std::move(node));
}

void apply_attr(TreeNode& root, const Path& path, std::string_view name, std::string_view value) {
  if (TreeNode* node = find_node_by_path(root, path)) set_attr(*node, name, value);
}

void apply_text(TreeNode& root, const Path& path, std::string_view text) {
  if (TreeNode* node = find_node_by_path(root, path)) node->text = text;
}

TreeNode merge_nodes(const TreeNode& base, const TreeNode& ours, const TreeNode& theirs,
                     const std::vector<TreeChange>& ours_changes,
                     const std::vector<TreeChange>& theirs_changes) {
  TreeNode merged = ours;
  KeyBuffer key;

  StringSet ours_attr_keys;
  StringSet ours_text_paths;
  StringSet ours_added;
  for (const TreeChange& c : ours_changes) {
    if (c.kind == ChangeKind::Added) {
      ours_added.emplace(key.path(c.path));
    } else if (c.kind == ChangeKind::Modified) {
      const std::string_view text = key.path(c.path);
      if (c.text_change) ours_text_paths.emplace(text);
      for (const AttrChange& a : c.attr_changes) ours_attr_keys.emplace(key.attr(a.name));
    }
  }
  StringSet theirs_removed;
  for (const TreeChange& c : theirs_changes)
    if (c.kind == ChangeKind::Removed) theirs_removed.emplace(key.path(c.path));

  // Theirs' attribute and text changes where ours left the same thing alone.
  // They touch no children, so the node is resolved once per change.
  for (const TreeChange& c : theirs_changes) {
    if (c.kind != ChangeKind::Modified) continue;
    std::optional<TreeNode*> target;
    auto node = [&] {
      if (!target) target = find_node_by_path(merged, c.path);
      return *target;
    };
    // The buffer holds this change's path text from here on; attribute keys
    // below extend it.
    const std::string_view path_text = key.path(c.path);
    const bool take_text = c.text_change && !ours_text_paths.contains(path_text);
    for (const AttrChange& a : c.attr_changes) {
      if (ours_attr_keys.contains(key.attr(a.name))) continue;
      if (TreeNode* n = node()) set_attr(*n, a.name, a.new_value);
    }
    if (take_text) {
      if (TreeNode* n = node()) n->text = c.text_change->second;
    }
  }

  for (const TreeChange& c : theirs_changes)
    if (c.kind == ChangeKind::Added && !ours_added.contains(key.path(c.path)))
      carry_over(merged, theirs, c.path);

  // Theirs' removals are never applied; nodes that only ours removed come back
  // from base.
  for (const TreeChange& c : ours_changes)
    if (c.kind == ChangeKind::Removed && !theirs_removed.contains(key.path(c.path)))
      carry_over(merged, base, c.path);

  return merged;
}

std::vector<TreeConflict> detect_conflicts(const std::vector<TreeChange>& ours_changes,
                                           const std::vector<TreeChange>& theirs_changes,
                                           const TreeNode& base, const TreeNode& ours,
                                           const TreeNode& theirs) {
  const SideIndex o = index_side(ours_changes);
  const SideIndex t = index_side(theirs_changes);
  std::vector<TreeConflict> conflicts;

  for (const auto& [attr, ours_change] : o.attrs) {
    auto it = t.attrs.find(attr);
    if (it == t.attrs.end() || it->second.new_value == ours_change.new_value) continue;
    const auto [text, name] = split_attr_key(attr);
    conflicts.push_back({.path = parse_path_text(text),
                         .attribute = std::string(name),
                         .base = ours_change.old_value,
                         .ours = ours_change.new_value,
                         .theirs = it->second.new_value,
                         .conflict_kind = ConflictKind::Attribute});
  }

  for (const auto& [text, ours_change] : o.texts) {
    auto it = t.texts.find(text);
    if (it == t.texts.end() || it->second.second == ours_change.second) continue;
    conflicts.push_back({.path = parse_path_text(text),
                         .base = ours_change.first,
                         .ours = ours_change.second,
                         .theirs = it->second.second,
                         .conflict_kind = ConflictKind::Text});
  }

  KeyBuffer key;
  for (const TreeChange& c : theirs_changes) {
    if (c.kind != ChangeKind::Added || !o.added.contains(key.path(c.path))) continue;
    const TreeNode* in_ours = find_node_by_path(ours, c.path);
    const TreeNode* in_theirs = find_node_by_path(theirs, c.path);
    if (in_ours == nullptr && in_theirs == nullptr) continue;
    if (in_ours != nullptr && in_theirs != nullptr && *in_ours == *in_theirs) continue;
    conflicts.push_back({.path = c.path,
                         .ours = in_ours ? describe_node(*in_ours) : std::string(),
                         .theirs = in_theirs ? describe_node(*in_theirs) : std::string(),
                         .conflict_kind = ConflictKind::AddAdd});
  }

  for (const auto& [text, change] : o.modified)
    if (t.removed.contains(text)) conflicts.push_back(modify_delete(change, base, text, true));
  for (const auto& [text, change] : t.modified)
    if (o.removed.contains(text)) conflicts.push_back(modify_delete(change, base, text, false));
  return conflicts;
}

TreeConflict mk_modify_delete(const std::vector<TreeChange>& changes, const TreeNode& base,
                              std::string_view key, bool ours_modified) {
  const TreeChange* modified = nullptr;
  for (const TreeChange& c : changes) {
    if (c.kind == ChangeKind::Modified && path_text_equals(c.path, key)) {
      modified = &c;
      break;
    }
  }
  return modify_delete(modified, base, key, ours_modified);
}

TreeMergeResult tree_merge(const TreeNode& base, const TreeNode& ours, const TreeNode& theirs) {
  const std::vector<TreeChange> ours_changes = tree_diff(base, ours).changes;
  const std::vector<TreeChange> theirs_changes = tree_diff(base, theirs).changes;
  TreeMergeResult result;
  result.conflicts = detect_conflicts(ours_changes, theirs_changes, base, ours, theirs);
  result.merged = merge_nodes(base, ours, theirs, ours_changes, theirs_changes);
  return result;
}

}  // namespace vext
