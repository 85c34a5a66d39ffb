#include "lossless/index.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "lossless/fingerprint.h"
#include "lossless/pairing.h"

namespace vext {
namespace {

using detail::ChildPairs;
using detail::IndexedTree;
using detail::kScanLimit;
using Key = detail::NodeKey;
using KeyHash = KeyView::Hash;

// A node's own part of its fingerprint: everything but its children.
std::uint64_t own_hash(const TreeNode& n) {
  const std::string_view identity = n.identity ? std::string_view(*n.identity) : std::string_view();
  std::uint64_t h = detail::fp_head(n.kind, n.identity ? &identity : nullptr, n.label, n.attributes.size());
  for (const auto& [name, value] : n.attributes) h = detail::fp_attr(h, name, value);
  return detail::fp_text(h, n.text);
}

// Reads the fingerprint a stub carries as its text.
std::uint64_t stub_hash(const TreeNode& n) {
  std::uint64_t h = 0;
  std::memcpy(&h, n.text.data(), std::min(n.text.size(), sizeof h));
  return h;
}

// Serial numbers of indexed trees.
std::atomic<std::uint64_t> next_serial{1};

}  // namespace

namespace detail {

const ChildPairs* IndexedTree::kept(const IndexedTree& other, std::size_t own, std::size_t theirs) const {
  for (const Kept& k : kept_) {
    if (k.other == other.serial_ && k.own == own && k.theirs == theirs) return &k.pairs;
  }
  return nullptr;
}

void IndexedTree::keep(const IndexedTree& other, std::size_t own, std::size_t theirs, const ChildPairs& pairs) const {
  if (kept_.size() == kKeptPairings) kept_.erase(kept_.begin());
  kept_.push_back({other.serial_, own, theirs, pairs});
}

IndexedTree::IndexedTree(const TreeNode& root, Ticker& ticker, std::size_t size_hint, bool stubs, KindRule rule)
    : serial_(next_serial++), stubs_(stubs), rule_(rule) {
  entries_.reserve(size_hint);
  // The first pass hashes each node's own fields while it is in cache; the
  // second folds in the children, which come after their parent, so a
  // backward pass sees them first.
  entries_.push_back({&root, 0, 0, 0});
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const TreeNode& n = *entries_[i].node;
    entries_[i].hash = stubs && is_stub(n) ? stub_hash(n) : own_hash(n);
    if (entries_.size() + n.children.size() > UINT32_MAX) throw std::bad_alloc();
    entries_[i].first_child = static_cast<std::uint32_t>(entries_.size());
    entries_[i].child_count = static_cast<std::uint32_t>(n.children.size());
    for (const TreeNode& c : n.children) entries_.push_back({&c, 0, 0, 0});
    ticker.tick();
  }
  for (std::size_t i = entries_.size(); i-- > 0;) {
    Entry& e = entries_[i];
    if (stub(i)) continue;
    const std::size_t count = e.child_count;
    std::uint64_t h = e.hash;
    for (std::size_t k = 0; k < count; ++k) h = fp_child(h, entries_[e.first_child + k].hash);
    e.hash = fp_end(h, count);
  }
}

Sameness same_subtree(const IndexedTree& x, std::size_t i, const IndexedTree& y, std::size_t j) {
  if (x[i].hash != y[j].hash) return Sameness::Different;
  if (x.node(i) == y.node(j)) return Sameness::Same;
  // Equal fingerprints of unequal trees: a collision, or a stub somewhere
  // below that stands for what the other tree holds whole.
  return x.has_stubs() || y.has_stubs() ? Sameness::Undecided : Sameness::Different;
}

bool is_increasing(const std::vector<std::int64_t>& order) {
  std::int64_t last = -1;
  for (std::int64_t v : order) {
    if (v < 0) continue;
    if (v < last) return false;
    last = v;
  }
  return true;
}

namespace {

// One parent's children with each run stub laid out as the siblings it
// stands for, as the pairing of children asks for them.
struct Unrolled {
  using Key = IndexedTree::Key;
  using KeyHash = IndexedTree::KeyHash;
  struct Item {
    std::uint32_t child;   // the child it is, or whose run it is part of
    std::uint32_t offset;  // its place in that run
  };
  const IndexedTree& tree;
  std::size_t parent;
  std::vector<Item> items;

  Unrolled(const IndexedTree& t, std::size_t p) : tree(t), parent(p) {
    std::vector<std::uint32_t> widths(t.child_count(p));
    std::size_t count = 0;
    for (std::size_t k = 0; k < widths.size(); ++k) {
      widths[k] = static_cast<std::uint32_t>(stub_width(t.node(t.child(p, k))));
      count += widths[k];
    }
    items.reserve(count);
    for (std::uint32_t k = 0; k < widths.size(); ++k) {
      for (std::uint32_t i = 0; i < widths[k]; ++i) items.push_back({k, i});
    }
  }
  std::size_t child_count(std::size_t) const { return items.size(); }
  std::size_t child(std::size_t, std::size_t k) const { return k; }
  std::size_t of(std::size_t e) const { return tree.child(parent, items[e].child); }
  Key key(std::size_t e) const { return tree.key(of(e)); }
  std::string_view kind(std::size_t e) const { return tree.kind(of(e)); }
  // A sibling of a run has its own print; a child alone, its hash.
  std::uint64_t hash(std::size_t e) const {
    const bool in_run = items[e].offset > 0 || (e + 1 < items.size() && items[e + 1].child == items[e].child);
    return in_run ? run_print(tree.node(of(e)), items[e].offset) : tree.hash(of(e));
  }
};

// Child lists this long, counting both, have their pairing kept: below it,
// pairing again costs less than the copy.
constexpr std::size_t kKeptFrom = 4096;

bool has_runs(const IndexedTree& t, std::size_t p) {
  if (!t.has_stubs()) return false;
  for (std::size_t k = 0; k < t.child_count(p); ++k) {
    if (stub_width(t.node(t.child(p, k))) > 1) return true;
  }
  return false;
}

ChildPairs pair_children_once(const IndexedTree& x, std::size_t px, const IndexedTree& y, std::size_t py) {
  if (!has_runs(x, px) && !has_runs(y, py)) {
    auto [x_to_y, y_to_x] = pair_child_lists(x, px, y, py);
    return ChildPairs{std::move(x_to_y), std::move(y_to_x)};
  }
  // The siblings a run stands for pair as they would whole; the run then
  // pairs with the run that holds all their partners, in order and alone.
  // A move among them is left to the whole trees.
  const Unrolled ux(x, px), uy(y, py);
  const auto [ex, ey] = pair_child_lists(ux, 0, uy, 0);
  ChildPairs out{std::vector<std::int64_t>(x.child_count(px), -1), std::vector<std::int64_t>(y.child_count(py), -1)};
  auto width = [](const IndexedTree& t, std::size_t p, std::size_t k) { return stub_width(t.node(t.child(p, k))); };
  for (std::size_t e = 0; e < ux.items.size(); ++e) {
    const Unrolled::Item& a = ux.items[e];
    if (a.offset > 0) continue;
    const std::size_t w = width(x, px, a.child);
    if (ex[e] < 0) {
      out.split |= w > 1;
      continue;
    }
    const auto f = static_cast<std::size_t>(ex[e]);
    const Unrolled::Item& b = uy.items[f];
    if (w > 1 || width(y, py, b.child) > 1) {
      bool whole = b.offset == 0 && width(y, py, b.child) == w;
      for (std::size_t i = 1; i < w && whole; ++i) whole = ex[e + i] == static_cast<std::int64_t>(f + i);
      if (!whole) {
        out.split = true;
        continue;
      }
    }
    out.x_to_y[a.child] = b.child;
    out.y_to_x[b.child] = a.child;
  }
  for (std::size_t f = 0; f < uy.items.size(); ++f) {
    if (uy.items[f].offset == 0 && ey[f] < 0 && width(y, py, uy.items[f].child) > 1) out.split = true;
  }
  // Which siblings moved, and where to, is counted in whole siblings.
  if (!is_increasing(out.x_to_y)) out.split = true;
  return out;
}

}  // namespace

ChildPairs pair_children(const IndexedTree& x, std::size_t px, const IndexedTree& y, std::size_t py) {
  // Long lists are paired once for each pair of trees.
  if (const ChildPairs* k = x.kept(y, px, py)) return *k;
  if (const ChildPairs* k = y.kept(x, py, px)) return ChildPairs{k->y_to_x, k->x_to_y, k->split};
  ChildPairs out = pair_children_once(x, px, y, py);
  if (out.x_to_y.size() + out.y_to_x.size() >= kKeptFrom) x.keep(y, px, py, out);
  return out;
}

const std::string* last_value(const Attributes& attrs, std::string_view name) {
  for (auto it = attrs.rbegin(); it != attrs.rend(); ++it) {
    if (it->first == name) return &it->second;
  }
  return nullptr;
}

std::vector<std::uint32_t> sibling_positions(const TreeNode& parent) {
  std::vector<std::uint32_t> out(parent.children.size());
  std::unordered_map<Key, std::uint32_t, KeyHash> seen;
  seen.reserve(out.size());
  for (std::size_t k = 0; k < out.size(); ++k) out[k] = seen[Key(parent.children[k])]++;
  return out;
}

Step Locations::step(const TreeNode& parent, std::size_t index) {
  const TreeNode& child = parent.children[index];
  Step s{.kind = child.kind, .identity = child.identity, .position = 0};
  if (parent.children.size() <= kScanLimit) {
    const Key key(child);
    for (std::size_t k = 0; k < index; ++k) s.position += Key(parent.children[k]) == key ? 1 : 0;
    return s;
  }
  auto it = positions_.find(&parent);
  if (it == positions_.end()) it = positions_.emplace(&parent, sibling_positions(parent)).first;
  s.position = it->second[index];
  return s;
}

Location Locations::build(std::int64_t at) {
  if (at == kRoot) return {};
  if (built_.size() < links_.size()) built_.resize(links_.size());
  // Climbs to the nearest location built already, then builds down from it,
  // so that every prefix is built once and shared.
  std::vector<std::size_t> path;
  std::int64_t up = at;
  for (; up != kRoot && built_[static_cast<std::size_t>(up)].empty(); up = links_[static_cast<std::size_t>(up)].up) {
    path.push_back(static_cast<std::size_t>(up));
  }
  Location loc = up == kRoot ? Location() : built_[static_cast<std::size_t>(up)];
  for (auto it = path.rbegin(); it != path.rend(); ++it) {
    const Link& l = links_[*it];
    loc.push_back(step(*l.parent, l.index));
    built_[*it] = loc;
  }
  return loc;
}

std::string step_text(const Step& step) {
  std::string out = step.kind;
  if (step.identity) {
    out.append("[@id=\"");
    for (char c : *step.identity) {
      if (c == '"' || c == '\\') out.push_back('\\');
      out.push_back(c);
    }
    out.append("\"]");
  }
  if (!step.identity || step.position > 0) {
    out.push_back('[');
    out.append(std::to_string(step.position + 1));
    out.push_back(']');
  }
  return out;
}

}  // namespace detail

std::string location_text(const Location& location) {
  if (location.empty()) return "/";
  std::string out;
  for (const Step* s : location.items()) {
    out += '/';
    out += detail::step_text(*s);
  }
  return out;
}

std::string_view field_name(Field field) {
  switch (field) {
    case Field::Kind: return "kind";
    case Field::Identity: return "identity";
    case Field::Label: return "label";
    case Field::Text: return "text";
    case Field::Attribute: return "attribute";
    case Field::Attributes: return "attributes";
    case Field::Node: return "node";
    case Field::Position: return "position";
    case Field::Order: return "order";
  }
  return "?";
}

std::string_view change_op_name(ChangeOp op) {
  switch (op) {
    case ChangeOp::Insert: return "insert";
    case ChangeOp::Remove: return "remove";
    case ChangeOp::Update: return "update";
    case ChangeOp::Move: return "move";
  }
  return "?";
}

}  // namespace vext
