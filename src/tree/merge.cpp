#include "tree/merge.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>
#include <unordered_map>

#include "tree/key_index.h"

namespace vext {
namespace {

constexpr PathId kNoPath = ~PathId{0};
using detail::ByteHash;
using detail::IdIndex;
using detail::hash_key;
using detail::kNone;

// Finds the first child of a node with a given match key. A node scans its
// children until the scans have cost as much as one pass over them; then it
// builds an index of first positions, so a lookup costs O(1) amortised and a
// wide node whose wanted children sit in front is never indexed. The children
// must not change afterwards.
class ChildFinder {
 public:
  template <class Node>
  Node* find(Node& parent, std::string_view key) {
    auto& kids = parent.children;
    if (kids.size() <= kScanLimit) return scan(kids, key, nullptr);
    Lookup& lookup = lookups_[&parent];
    if (lookup.index.empty()) {
      Node* found = scan(kids, key, &lookup.scanned);
      if (lookup.scanned < kids.size()) return found;
      lookup.index = IdIndex(kids.size());
      for (std::uint32_t i = 0; i < kids.size(); ++i) {
        const KeyView k(kids[i]);
        const std::uint64_t h = hash_key(k);
        if (lookup.index.find(h, [&](std::uint32_t id) { return keys_equal(KeyView(kids[id]), k); }) == kNone)
          lookup.index.add(h, i);
      }
      return found;
    }
    const std::uint32_t id = lookup.index.find(
        hash_key(key), [&](std::uint32_t id) { return key_equals(KeyView(kids[id]), key); });
    return id == kNone ? nullptr : &kids[id];
  }

 private:
  static constexpr std::size_t kScanLimit = 16;
  struct Lookup {
    IdIndex index;
    std::size_t scanned = 0;  // children compared by scans so far
  };
  template <class Kids>
  static auto scan(Kids& kids, std::string_view key, std::size_t* cost) -> decltype(&kids[0]) {
    for (std::size_t i = 0; i < kids.size(); ++i) {
      if (key_equals(KeyView(kids[i]), key)) {
        if (cost != nullptr) *cost += i + 1;
        return &kids[i];
      }
    }
    if (cost != nullptr) *cost += kids.size();
    return nullptr;
  }
  std::unordered_map<const TreeNode*, Lookup> lookups_;
};

// A tree that only gets read.
class StaticTree {
 public:
  using Node = const TreeNode;
  explicit StaticTree(const TreeNode& root) : root_(root) {}
  Node* root() const { return &root_; }
  Node* child(Node& parent, std::string_view key) { return finder_.find(parent, key); }
  std::uint32_t epoch() const { return 0; }

 private:
  const TreeNode& root_;
  ChildFinder finder_;
};

// The merged tree while it is built. Appended nodes wait in a queue of their
// own, so no children list grows and every node keeps its address until
// `finish` moves them into place; lookups see them as the last children of
// their parents.
class MergedTree {
 public:
  using Node = TreeNode;
  explicit MergedTree(const TreeNode& ours) : root_(ours) {}
  Node* root() { return &root_; }
  Node* child(Node& parent, std::string_view key) {
    if (Node* found = finder_.find(parent, key)) return found;
    if (appends_.empty()) return nullptr;
    const std::uint32_t id = queued_.find(queue_hash(parent, key), [&](std::uint32_t id) {
      return appends_[id].parent == &parent && appends_[id].key == key;
    });
    return id == kNone ? nullptr : &queue_[id];
  }
  // Counts the appends: a lookup that failed before may succeed after one.
  std::uint32_t epoch() const { return static_cast<std::uint32_t>(appends_.size()); }

  // Appends `node` to `parent`, which sits `depth` elements below the root
  // and has no child with match key `key`. `key` must outlive the builder.
  void append(Node& parent, std::uint32_t depth, std::string_view key, TreeNode node) {
    const auto id = static_cast<std::uint32_t>(appends_.size());
    appends_.push_back({&parent, depth, key});
    queue_.push_back(std::move(node));
    queued_.add(queue_hash(parent, key), id);
  }

  // Moves the queued nodes into their parents and returns the tree. Deeper
  // parents go first: growing a children list moves only those children,
  // which are done by then; one parent's nodes keep their order.
  TreeNode finish() && {
    std::vector<std::uint32_t> order(appends_.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      if (appends_[a].depth != appends_[b].depth) return appends_[a].depth > appends_[b].depth;
      return std::less<>()(appends_[a].parent, appends_[b].parent);
    });
    for (std::uint32_t i : order) appends_[i].parent->children.push_back(std::move(queue_[i]));
    return std::move(root_);
  }

 private:
  struct Append {
    Node* parent;
    std::uint32_t depth;
    std::string_view key;
  };
  static std::uint64_t queue_hash(const Node& parent, std::string_view key) {
    return ByteHash().add(reinterpret_cast<std::uintptr_t>(&parent)).add(key).done();
  }
  TreeNode root_;
  ChildFinder finder_;
  std::deque<TreeNode> queue_;
  std::vector<Append> appends_;  // one per queued node
  IdIndex queued_;
};

// Resolves the paths of one table in one tree: an entry's node is the first
// child of its parent entry's node with the entry's element as match key.
// Every entry is resolved once; a failed lookup is tried again only after the
// tree has grown.
template <class Tree>
class Resolver {
 public:
  using Node = typename Tree::Node;
  Resolver(Tree& tree, const KeyPathTable& table) : tree_(tree), table_(table) {}

  Node* resolve(PathId id) {
    if (id == 0) return tree_.root();
    if (nodes_.size() < table_.size()) {
      nodes_.resize(table_.size(), nullptr);
      failed_at_.resize(table_.size(), 0);
    }
    const std::uint32_t stamp = tree_.epoch() + 1;
    Node* node = nullptr;
    PathId cur = id;
    walk_.clear();
    for (;;) {
      if (cur == 0) {
        node = tree_.root();
        break;
      }
      if (nodes_[cur] != nullptr) {
        node = nodes_[cur];
        break;
      }
      if (failed_at_[cur] == stamp) break;
      walk_.push_back(cur);
      cur = table_[cur].parent;
    }
    while (!walk_.empty()) {
      const PathId e = walk_.back();
      walk_.pop_back();
      if (node != nullptr) node = tree_.child(*node, table_[e].element);
      if (node != nullptr) {
        nodes_[e] = node;
      } else {
        failed_at_[e] = stamp;
      }
    }
    return node;
  }

 private:
  Tree& tree_;
  const KeyPathTable& table_;
  std::vector<Node*> nodes_;
  std::vector<std::uint32_t> failed_at_;  // epoch + 1 of the last failed lookup
  std::vector<PathId> walk_;
};

// Numbers path texts: a path is read as the "/"-separated pieces of its text,
// and the pieces are interned in a table, so two paths get the same place
// exactly when their texts are equal. (The one pair of piece lists with equal
// texts, none and one empty piece, never both occur: every path that the
// diff reports is empty or ends in an identified node's key, which holds a
// "#".) A place's pieces are also the path that a conflict there reports.
class Places {
 public:
  explicit Places(KeyPathTable& table) : table_(table) {}

  // The place of `place`'s text followed by "/" + `key`.
  PathId extend(PathId place, std::string_view key) {
    for (std::size_t start = 0;;) {
      const std::size_t slash = key.find('/', start);
      place = below(place, key.substr(start, slash - start));
      if (slash == std::string_view::npos) return place;
      start = slash + 1;
    }
  }

  // The place of `place`'s text followed by "#" + `tail`.
  PathId hash_suffix(PathId place, std::string_view tail) {
    const auto& entry = table_[place];
    std::string piece;
    piece.reserve(entry.element.size() + 1 + tail.size());
    piece.append(entry.element).append("#").append(tail);
    return extend(entry.parent, piece);
  }

  KeyPathTable& table() { return table_; }

 private:
  PathId below(PathId parent, std::string_view piece) {
    const std::uint64_t h = ByteHash().add(parent).add(piece).done();
    PathId id = index_.find(h, [&](PathId id) {
      return table_[id].parent == parent && table_[id].element == piece;
    });
    if (id == kNone) {
      id = table_.add(parent, piece);
      index_.add(h, id);
    }
    return id;
  }

  KeyPathTable& table_;
  IdIndex index_;
};

// One side's diff, keyed the way the merge pairs changes: by the place of a
// path text and by the (place, name) that an attribute key splits into at its
// last "#". Entries keep the order in which the change list first names them.
struct SideIndex {
  struct Attr {
    PathId place;
    std::string_view name;
    const AttrChange* change;  // the last one with this key
  };
  struct PlaceChange {
    PathId place;
    const TreeChange* change;
  };
  enum Flag : std::uint8_t { Added = 1, Removed = 2, Modified = 4 };

  const TreeDiff& diff;
  std::vector<PathId> place_of;      // per path entry of the diff
  std::vector<Attr> attrs;
  IdIndex attr_index;
  std::vector<PlaceChange> texts;    // the last text change of each place
  std::vector<PlaceChange> modified; // the first Modified change of each place
  std::vector<std::uint8_t> flags;   // per place
  std::vector<std::uint32_t> text_at;  // per place: index into `texts`

  bool has(PathId place, Flag flag) const { return place < flags.size() && (flags[place] & flag); }
  const TextChange* text(PathId place) const {
    if (place >= text_at.size() || text_at[place] == kNone) return nullptr;
    return &*texts[text_at[place]].change->text_change;
  }
  PathId place(const TreeChange& c) const { return place_of[c.path]; }

  // The (place, name) that the attribute key of `name` at `place` splits
  // into at its last "#".
  static std::pair<PathId, std::string_view> attr_place(Places& places, PathId place, std::string_view name) {
    const std::size_t hash = name.rfind('#');
    if (hash == std::string_view::npos) return {place, name};
    return {places.hash_suffix(place, name.substr(0, hash)), name.substr(hash + 1)};
  }
  static std::uint64_t attr_hash(PathId place, std::string_view name) {
    return ByteHash().add(place).add(name).done();
  }
  std::uint32_t find_attr(PathId place, std::string_view name) const {
    return attr_index.find(attr_hash(place, name), [&](std::uint32_t id) {
      return attrs[id].place == place && attrs[id].name == name;
    });
  }

  SideIndex(const TreeDiff& d, Places& places) : diff(d) {
    const KeyPathTable& paths = diff.paths;
    place_of.resize(paths.size());
    for (PathId id = 1; id < paths.size(); ++id)
      place_of[id] = places.extend(place_of[paths[id].parent], paths[id].element);
    auto flag = [&](PathId place, Flag f) {
      if (place >= flags.size()) flags.resize(place + 1, 0);
      const bool first = !(flags[place] & f);
      flags[place] |= f;
      return first;
    };
    for (const TreeChange& c : diff.changes) {
      const PathId p = place(c);
      switch (c.kind) {
        case ChangeKind::Added:
          flag(p, Added);
          break;
        case ChangeKind::Removed:
          flag(p, Removed);
          break;
        case ChangeKind::Modified:
          if (flag(p, Modified)) modified.push_back({p, &c});
          if (c.text_change) {
            if (p >= text_at.size()) text_at.resize(p + 1, kNone);
            if (text_at[p] == kNone) {
              text_at[p] = static_cast<std::uint32_t>(texts.size());
              texts.push_back({p, &c});
            } else {
              texts[text_at[p]].change = &c;
            }
          }
          for (const AttrChange& a : c.attr_changes) {
            const auto [ap, an] = attr_place(places, place_of[c.path], a.name);
            const std::uint32_t id = find_attr(ap, an);
            if (id == kNone) {
              attr_index.add(attr_hash(ap, an), static_cast<std::uint32_t>(attrs.size()));
              attrs.push_back({ap, an, &a});
            } else {
              attrs[id].change = &a;
            }
          }
          break;
      }
    }
  }
};

void set_attr(TreeNode& node, std::string_view name, std::string_view value) {
  for (Attribute& attr : node.attributes) {
    if (attr.first == name) {
      attr.second = value;
      return;
    }
  }
  node.attributes.emplace_back(name, value);
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

TreeConflict modify_delete(const TreeChange* modified, const TreeNode* base_node, PathId path,
                           bool ours_modified) {
  TreeConflict conflict{.path = path, .conflict_kind = ConflictKind::ModifyDelete};
  if (base_node != nullptr) conflict.base = describe_node(*base_node);
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

// Everything one merge builds from the two diffs: the places of both sides,
// their indexes, and the three trees with their lookups.
struct MergeState {
  Places places;
  SideIndex ours;
  SideIndex theirs;
  StaticTree base_tree;
  StaticTree ours_tree;
  StaticTree theirs_tree;
  Resolver<StaticTree> theirs_in_theirs;

  MergeState(const TreeNode& base, const TreeNode& ours_root, const TreeNode& theirs_root,
             const TreeDiff& ours_diff, const TreeDiff& theirs_diff, KeyPathTable& paths)
      : places(paths),
        ours(ours_diff, places),
        theirs(theirs_diff, places),
        base_tree(base),
        ours_tree(ours_root),
        theirs_tree(theirs_root),
        theirs_in_theirs(theirs_tree, theirs_diff.paths) {}

  std::vector<TreeConflict> conflicts();
  TreeNode merge();
};

std::vector<TreeConflict> MergeState::conflicts() {
  std::vector<TreeConflict> out;
  for (const SideIndex::Attr& o : ours.attrs) {
    const std::uint32_t id = theirs.find_attr(o.place, o.name);
    if (id == kNone || theirs.attrs[id].change->new_value == o.change->new_value) continue;
    out.push_back({.path = o.place,
                   .attribute = std::string(o.name),
                   .base = o.change->old_value,
                   .ours = o.change->new_value,
                   .theirs = theirs.attrs[id].change->new_value,
                   .conflict_kind = ConflictKind::Attribute});
  }

  for (const SideIndex::PlaceChange& o : ours.texts) {
    const TextChange* t = theirs.text(o.place);
    const TextChange& mine = *o.change->text_change;
    if (t == nullptr || t->second == mine.second) continue;
    out.push_back({.path = o.place, .base = mine.first, .ours = mine.second, .theirs = t->second,
                   .conflict_kind = ConflictKind::Text});
  }

  // Add/add conflicts report theirs' own key path, copied into the table of
  // conflict paths once per entry.
  KeyPathTable& paths = places.table();
  std::vector<PathId> copied(theirs.diff.paths.size(), kNoPath);
  copied[0] = 0;
  std::vector<PathId> walk;
  auto copy_path = [&](PathId id) {
    for (PathId cur = id; copied[cur] == kNoPath; cur = theirs.diff.paths[cur].parent) walk.push_back(cur);
    for (; !walk.empty(); walk.pop_back()) {
      const auto& e = theirs.diff.paths[walk.back()];
      copied[walk.back()] = paths.add(copied[e.parent], e.element);
    }
    return copied[id];
  };
  Resolver<StaticTree> theirs_in_ours(ours_tree, theirs.diff.paths);
  for (const TreeChange& c : theirs.diff.changes) {
    if (c.kind != ChangeKind::Added || !ours.has(theirs.place(c), SideIndex::Added)) continue;
    const TreeNode* in_ours = theirs_in_ours.resolve(c.path);
    const TreeNode* in_theirs = theirs_in_theirs.resolve(c.path);
    if (in_ours == nullptr && in_theirs == nullptr) continue;
    if (in_ours != nullptr && in_theirs != nullptr && *in_ours == *in_theirs) continue;
    out.push_back({.path = copy_path(c.path),
                   .ours = in_ours ? describe_node(*in_ours) : std::string(),
                   .theirs = in_theirs ? describe_node(*in_theirs) : std::string(),
                   .conflict_kind = ConflictKind::AddAdd});
  }

  Resolver<StaticTree> place_in_base(base_tree, paths);
  for (const SideIndex::PlaceChange& m : ours.modified)
    if (theirs.has(m.place, SideIndex::Removed))
      out.push_back(modify_delete(m.change, place_in_base.resolve(m.place), m.place, true));
  for (const SideIndex::PlaceChange& m : theirs.modified)
    if (ours.has(m.place, SideIndex::Removed))
      out.push_back(modify_delete(m.change, place_in_base.resolve(m.place), m.place, false));
  return out;
}

TreeNode MergeState::merge() {
  MergedTree merged(*ours_tree.root());
  Resolver<MergedTree> theirs_in_merged(merged, theirs.diff.paths);
  const KeyPathTable& theirs_paths = theirs.diff.paths;

  // Theirs' attribute and text changes where ours left the same thing alone.
  for (const TreeChange& c : theirs.diff.changes) {
    if (c.kind != ChangeKind::Modified) continue;
    for (const AttrChange& a : c.attr_changes) {
      const auto [ap, an] = SideIndex::attr_place(places, theirs.place_of[c.path], a.name);
      if (ours.find_attr(ap, an) != kNone) continue;
      if (TreeNode* n = theirs_in_merged.resolve(c.path)) set_attr(*n, a.name, a.new_value);
    }
    if (c.text_change && ours.text(theirs.place(c)) == nullptr) {
      if (TreeNode* n = theirs_in_merged.resolve(c.path)) n->text = c.text_change->second;
    }
  }

  // Appends a copy of `source` below the parent of `path` unless that parent
  // is missing or already has a child with the path's last key.
  auto insert = [&](Resolver<MergedTree>& in_merged, const KeyPathTable& table, PathId path,
                    const TreeNode* source) {
    if (source == nullptr || path == 0) return;
    const auto& entry = table[path];
    TreeNode* parent = in_merged.resolve(entry.parent);
    if (parent == nullptr || merged.child(*parent, entry.element) != nullptr) return;
    merged.append(*parent, entry.depth - 1, entry.element, *source);
  };

  for (const TreeChange& c : theirs.diff.changes)
    if (c.kind == ChangeKind::Added && !ours.has(theirs.place(c), SideIndex::Added))
      insert(theirs_in_merged, theirs_paths, c.path, theirs_in_theirs.resolve(c.path));

  // Theirs' removals are never applied; nodes that only ours removed come back
  // from base.
  Resolver<MergedTree> ours_in_merged(merged, ours.diff.paths);
  Resolver<StaticTree> ours_in_base(base_tree, ours.diff.paths);
  for (const TreeChange& c : ours.diff.changes)
    if (c.kind == ChangeKind::Removed && !theirs.has(ours.place(c), SideIndex::Removed))
      insert(ours_in_merged, ours.diff.paths, c.path, ours_in_base.resolve(c.path));

  return std::move(merged).finish();
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

}  // namespace

std::string path_text(const KeyPath& path) {
  std::string out;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (i > 0) out.push_back('/');
    out.append(path[i]);
  }
  return out;
}

std::string attr_key(const KeyPath& path, std::string_view name) {
  std::string key = path_text(path);
  key.push_back('#');
  key.append(name);
  return key;
}

std::pair<std::string_view, std::string_view> split_attr_key(std::string_view key) {
  const std::size_t hash = key.rfind('#');
  if (hash == std::string_view::npos) return {std::string_view(), key};
  return {key.substr(0, hash), key.substr(hash + 1)};
}

KeyPath parse_path_text(std::string_view text) {
  KeyPath path;
  if (text.empty()) return path;
  for (std::size_t start = 0;;) {
    const std::size_t slash = text.find('/', start);
    path.emplace_back(text.substr(start, slash - start));
    if (slash == std::string_view::npos) return path;
    start = slash + 1;
  }
}

std::string describe_node(const TreeNode& node) {
  return node.label.empty() ? match_key(node) : node.label;
}

const TreeNode* find_node_by_path(const TreeNode& root, const KeyPath& path) {
  return resolve(root, std::span(path));
}

TreeNode* find_node_by_path(TreeNode& root, const KeyPath& path) {
  return resolve(root, std::span(path));
}

void insert_node(TreeNode& root, const KeyPath& path, TreeNode node) {
  if (path.empty()) return;
  TreeNode* parent = resolve(root, std::span(path).first(path.size() - 1));
  if (parent == nullptr || child_with_key(*parent, path.back()) != nullptr) return;
  parent->children.push_back(std::move(node));
}

void apply_attr(TreeNode& root, const KeyPath& path, std::string_view name, std::string_view value) {
  if (TreeNode* node = find_node_by_path(root, path)) set_attr(*node, name, value);
}

void apply_text(TreeNode& root, const KeyPath& path, std::string_view text) {
  if (TreeNode* node = find_node_by_path(root, path)) node->text = text;
}

TreeNode merge_nodes(const TreeNode& base, const TreeNode& ours, const TreeNode& theirs,
                     const TreeDiff& ours_diff, const TreeDiff& theirs_diff) {
  KeyPathTable paths;
  return MergeState(base, ours, theirs, ours_diff, theirs_diff, paths).merge();
}

std::vector<TreeConflict> detect_conflicts(const TreeDiff& ours_diff, const TreeDiff& theirs_diff,
                                           const TreeNode& base, const TreeNode& ours,
                                           const TreeNode& theirs, KeyPathTable& paths) {
  return MergeState(base, ours, theirs, ours_diff, theirs_diff, paths).conflicts();
}

TreeConflict mk_modify_delete(const TreeDiff& diff, const TreeNode& base, std::string_view key,
                              bool ours_modified, KeyPathTable& paths) {
  const TreeChange* modified = nullptr;
  for (const TreeChange& c : diff.changes) {
    if (c.kind == ChangeKind::Modified && path_text(diff.path_of(c)) == key) {
      modified = &c;
      break;
    }
  }
  const KeyPath path = parse_path_text(key);
  PathId id = 0;
  for (const std::string& element : path) id = paths.add(id, element);
  return modify_delete(modified, find_node_by_path(base, path), id, ours_modified);
}

TreeMergeResult tree_merge(const TreeNode& base, const TreeNode& ours, const TreeNode& theirs) {
  const TreeDiff ours_diff = tree_diff(base, ours);
  const TreeDiff theirs_diff = tree_diff(base, theirs);
  TreeMergeResult result;
  MergeState state(base, ours, theirs, ours_diff, theirs_diff, result.paths);
  result.conflicts = state.conflicts();
  result.merged = state.merge();
  return result;
}

}  // namespace vext
