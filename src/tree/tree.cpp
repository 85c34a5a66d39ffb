#include "tree/tree.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>

#include "common/hash.h"

namespace vext {
namespace {

// Nodes nested deeper than this are torn down with an explicit stack.
constexpr unsigned kRecursiveTeardownDepth = 256;

// Frees the nodes of `nodes` and their sub-trees without recursion and
// without allocating, for when memory has run out: walks down along last
// children, frees leaves and lifts only children into their parent's place.
// The last kPathWindow steps of the path are kept so the walk can climb back;
// past that it starts again from the top.
void destroy_in_place(std::vector<TreeNode>& nodes) noexcept {
  constexpr std::size_t kPathWindow = 2048;
  std::vector<TreeNode>* path[kPathWindow];
  std::size_t head = 0;  // the slot the next step is written to
  std::size_t held = 0;  // valid steps behind head
  std::vector<TreeNode>* at = &nodes;
  for (;;) {
    if (at->empty()) {
      if (at == &nodes) return;
      if (held == 0) {
        at = &nodes;
        continue;
      }
      head = (head + kPathWindow - 1) % kPathWindow;
      --held;
      at = path[head];
      at->pop_back();  // the node whose children were just emptied
      continue;
    }
    TreeNode& last = at->back();
    if (last.children.empty()) {
      at->pop_back();
      continue;
    }
    if (last.children.size() == 1) {
      // An only child takes its parent's place, so chains need no steps.
      TreeNode only = std::move(last.children.back());
      last = std::move(only);
      continue;
    }
    path[head] = at;
    head = (head + 1) % kPathWindow;
    held = std::min(held + 1, kPathWindow);
    at = &last.children;
  }
}

// Copies everything but the children.
void copy_own_fields(TreeNode& dst, const TreeNode& src) {
  dst.identity = src.identity;
  dst.label = src.label;
  dst.attributes = src.attributes;
  dst.text = src.text;
}

bool own_fields_equal(const TreeNode& a, const TreeNode& b) {
  return a.kind == b.kind && a.identity == b.identity && a.label == b.label &&
         a.attributes == b.attributes && a.text == b.text && a.children.size() == b.children.size();
}

}  // namespace

TreeNode::TreeNode(const TreeNode& other) : kind(other.kind) {
  copy_own_fields(*this, other);
  if (other.children.empty()) return;
  std::vector<std::pair<const TreeNode*, TreeNode*>> stack{{&other, this}};
  while (!stack.empty()) {
    auto [src, dst] = stack.back();
    stack.pop_back();
    // Reserving the exact size keeps `&copy` valid until its own turn comes.
    dst->children.reserve(src->children.size());
    for (const TreeNode& child : src->children) {
      TreeNode& copy = dst->children.emplace_back(child.kind);
      copy_own_fields(copy, child);
      if (!child.children.empty()) stack.emplace_back(&child, &copy);
    }
  }
}

TreeNode& TreeNode::operator=(const TreeNode& other) {
  if (this != &other) *this = TreeNode(other);
  return *this;
}

TreeNode& TreeNode::operator=(TreeNode&& other) noexcept {
  // `other` may live inside this node's own sub-tree, so take it out before
  // the old contents are released.
  TreeNode taken(std::move(other));
  std::swap(kind, taken.kind);
  std::swap(identity, taken.identity);
  std::swap(label, taken.label);
  std::swap(attributes, taken.attributes);
  std::swap(text, taken.text);
  std::swap(children, taken.children);
  return *this;
}

TreeNode::~TreeNode() {
  if (children.empty()) return;
  thread_local unsigned depth = 0;
  if (depth < kRecursiveTeardownDepth) {
    ++depth;
    children.clear();
    --depth;
    return;
  }
  // Every node in `pending` is freed once its own children have been moved
  // to the end of `pending`, so no destructor below here recurses.
  std::vector<TreeNode> pending = std::move(children);
  std::vector<TreeNode> kids;
  try {
    while (!pending.empty()) {
      if (pending.back().children.empty()) {
        pending.pop_back();
        continue;
      }
      kids = std::move(pending.back().children);
      pending.pop_back();
      // Strong guarantee: if growing fails, `pending` is as it was.
      pending.insert(pending.end(), std::make_move_iterator(kids.begin()), std::make_move_iterator(kids.end()));
      kids.clear();
    }
  } catch (const std::bad_alloc&) {
    destroy_in_place(kids);
    destroy_in_place(pending);
  }
}

bool operator==(const TreeNode& a, const TreeNode& b) {
  if (!own_fields_equal(a, b)) return false;
  if (a.children.empty()) return true;
  std::vector<std::pair<const TreeNode*, const TreeNode*>> stack{{&a, &b}};
  while (!stack.empty()) {
    auto [x, y] = stack.back();
    stack.pop_back();
    for (std::size_t i = 0; i < x->children.size(); ++i) {
      const TreeNode& cx = x->children[i];
      const TreeNode& cy = y->children[i];
      if (!own_fields_equal(cx, cy)) return false;
      if (!cx.children.empty()) stack.emplace_back(&cx, &cy);
    }
  }
  return true;
}

TreeNode with_child(TreeNode node, TreeNode child) {
  node.children.push_back(std::move(child));
  return node;
}

std::vector<TreeNode*> all_nodes(TreeNode& root, SiblingOrder order) {
  std::vector<TreeNode*> out;
  std::vector<TreeNode*> stack{&root};
  while (!stack.empty()) {
    TreeNode* n = stack.back();
    stack.pop_back();
    out.push_back(n);
    if (order == SiblingOrder::Reversed) {
      for (TreeNode& c : n->children) stack.push_back(&c);
    } else {
      for (auto it = n->children.rbegin(); it != n->children.rend(); ++it) stack.push_back(&*it);
    }
  }
  return out;
}

std::vector<const Attribute*> as_map(const Attributes& attrs) {
  std::vector<const Attribute*> sorted;
  sorted.reserve(attrs.size());
  for (const Attribute& a : attrs) sorted.push_back(&a);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Attribute* a, const Attribute* b) { return a->first < b->first; });
  std::vector<const Attribute*> out;
  out.reserve(sorted.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i + 1 < sorted.size() && sorted[i + 1]->first == sorted[i]->first) continue;
    out.push_back(sorted[i]);
  }
  return out;
}

std::string match_key(const TreeNode& node) {
  std::string key;
  KeyView(node).append_to(key);
  return key;
}

std::size_t KeyView::Hash::operator()(const KeyView& k) const {
  return mix_hash(fold_bytes(k.identity, fold_bytes(k.kind, k.has_identity ? 2 : 1)));
}

void KeyView::append_to(std::string& out) const {
  out.reserve(out.size() + size());
  out.append(kind);
  if (has_identity) {
    out.push_back('#');
    out.append(identity);
  }
}

namespace {

// Walks the bytes of a match key piece by piece.
struct KeyCursor {
  std::string_view pieces[3];
  int piece = 0;
  std::size_t offset = 0;

  explicit KeyCursor(const KeyView& k)
      : pieces{k.kind, k.has_identity ? std::string_view("#") : std::string_view(), k.identity} {
    skip_empty();
  }
  bool done() const { return piece == 3; }
  std::string_view rest() const { return pieces[piece].substr(offset); }
  void advance(std::size_t n) {
    offset += n;
    skip_empty();
  }
  void skip_empty() {
    while (piece < 3 && offset == pieces[piece].size()) {
      ++piece;
      offset = 0;
    }
  }
};

int compare_cursors(KeyCursor a, KeyCursor b) {
  while (!a.done() && !b.done()) {
    std::string_view ra = a.rest();
    std::string_view rb = b.rest();
    std::size_t n = std::min(ra.size(), rb.size());
    if (int c = std::memcmp(ra.data(), rb.data(), n); c != 0) return c < 0 ? -1 : 1;
    a.advance(n);
    b.advance(n);
  }
  if (a.done() && b.done()) return 0;
  return a.done() ? -1 : 1;
}

}  // namespace

int compare_keys(const KeyView& a, const KeyView& b) {
  return compare_cursors(KeyCursor(a), KeyCursor(b));
}

bool keys_equal(const KeyView& a, const KeyView& b) {
  if (a.size() != b.size()) return false;
  if (a.has_identity == b.has_identity && a.kind.size() == b.kind.size())
    return a.kind == b.kind && a.identity == b.identity;
  return compare_keys(a, b) == 0;
}

bool key_equals(const KeyView& a, std::string_view key) {
  if (a.size() != key.size()) return false;
  if (key.substr(0, a.kind.size()) != a.kind) return false;
  if (!a.has_identity) return true;
  return key[a.kind.size()] == '#' && key.substr(a.kind.size() + 1) == a.identity;
}

}  // namespace vext
