#include "three_way/index.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <new>
#include <utility>

namespace vext {
namespace {

using detail::ChildPairs;
using detail::IndexedTree;

constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
// Parents with at most this many children are scanned instead of indexed.
constexpr std::size_t kScanLimit = 32;

std::uint64_t mix(std::uint64_t h, std::uint64_t v) {
  h = std::rotl(h ^ v, 27) * kMul;
  return h ^ (h >> 31);
}

// Hashes a string eight bytes at a time; the strings of a tree are mostly short.
std::uint64_t mix(std::uint64_t h, std::string_view s) {
  h = mix(h, s.size());
  const char* p = s.data();
  std::size_t n = s.size();
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    h = mix(h, w);
  }
  if (n > 0) {
    std::uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = mix(h, w);
  }
  return h;
}

// A child's kind and identity, by view.
struct Key {
  std::string_view kind;
  std::string_view identity;
  bool has_identity;

  explicit Key(const TreeNode& n)
      : kind(n.kind), identity(n.identity ? std::string_view(*n.identity) : std::string_view()),
        has_identity(n.identity.has_value()) {}
  friend bool operator==(const Key&, const Key&) = default;
};

struct KeyHash {
  std::size_t operator()(const Key& k) const { return mix(mix(k.has_identity ? 1 : 0, k.kind), k.identity); }
};

std::uint64_t own_hash(const TreeNode& n) {
  std::uint64_t h = mix(n.identity ? 2 : 1, n.kind);
  if (n.identity) h = mix(h, *n.identity);
  h = mix(mix(h, n.label), n.text);
  h = mix(h, n.attributes.size());
  for (const auto& [name, value] : n.attributes) h = mix(mix(h, name), value);
  return mix(h, n.children.size());
}

// Pairs the unpaired children of x in [xa, xb) with those of y in [ya, yb),
// each with the next unpaired y child of the same kind, so pairs stay in order.
void pair_gap(const IndexedTree& x, std::size_t px, const std::vector<std::size_t>& xs, std::size_t xa,
              std::size_t xb, const IndexedTree& y, std::size_t py, const std::vector<std::size_t>& ys,
              std::size_t ya, std::size_t yb, ChildPairs& out) {
  if (xa == xb || ya == yb) return;
  const auto& xc = x.node(px).children;
  const auto& yc = y.node(py).children;
  std::size_t cursor = ya;
  if (yb - ya <= kScanLimit) {
    for (std::size_t i = xa; i < xb && cursor < yb; ++i) {
      for (std::size_t j = cursor; j < yb; ++j) {
        if (xc[xs[i]].kind == yc[ys[j]].kind) {
          out.x_to_y[xs[i]] = static_cast<std::int64_t>(ys[j]);
          out.y_to_x[ys[j]] = static_cast<std::int64_t>(xs[i]);
          cursor = j + 1;
          break;
        }
      }
    }
    return;
  }
  std::unordered_map<std::string_view, std::vector<std::size_t>> by_kind;
  for (std::size_t j = ya; j < yb; ++j) by_kind[yc[ys[j]].kind].push_back(j);
  for (std::size_t i = xa; i < xb && cursor < yb; ++i) {
    auto it = by_kind.find(xc[xs[i]].kind);
    if (it == by_kind.end()) continue;
    auto pos = std::lower_bound(it->second.begin(), it->second.end(), cursor);
    if (pos == it->second.end()) continue;
    out.x_to_y[xs[i]] = static_cast<std::int64_t>(ys[*pos]);
    out.y_to_x[ys[*pos]] = static_cast<std::int64_t>(xs[i]);
    cursor = *pos + 1;
  }
}

}  // namespace

namespace detail {

IndexedTree::IndexedTree(const TreeNode& root, Ticker& ticker, std::size_t size_hint) {
  entries_.reserve(size_hint);
  // The first pass hashes each node's own fields while it is in cache; the
  // second folds in the children, which come after their parent, so a
  // backward pass sees them first.
  entries_.push_back({&root, 0, 0, 0});
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const TreeNode& n = *entries_[i].node;
    entries_[i].hash = own_hash(n);
    if (entries_.size() + n.children.size() > UINT32_MAX) throw std::bad_alloc();
    entries_[i].first_child = static_cast<std::uint32_t>(entries_.size());
    entries_[i].child_count = static_cast<std::uint32_t>(n.children.size());
    for (const TreeNode& c : n.children) entries_.push_back({&c, 0, 0, 0});
    ticker.tick();
  }
  for (std::size_t i = entries_.size(); i-- > 0;) {
    Entry& e = entries_[i];
    const std::size_t count = e.child_count;
    if (count == 0) continue;
    std::uint64_t h = e.hash;
    for (std::size_t k = 0; k < count; ++k) h = mix(h, entries_[e.first_child + k].hash);
    e.hash = h;
  }
}

bool same_subtree(const IndexedTree& x, std::size_t i, const IndexedTree& y, std::size_t j) {
  return x[i].hash == y[j].hash && x.node(i) == y.node(j);
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

ChildPairs pair_children(const IndexedTree& x, std::size_t px, const IndexedTree& y, std::size_t py) {
  const auto& xc = x.node(px).children;
  const auto& yc = y.node(py).children;
  ChildPairs out{std::vector<std::int64_t>(xc.size(), -1), std::vector<std::int64_t>(yc.size(), -1)};
  // Most parents keep their children where they were.
  if (xc.size() == yc.size()) {
    bool aligned = true;
    for (std::size_t k = 0; k < xc.size() && aligned; ++k) {
      aligned = Key(xc[k]) == Key(yc[k]) &&
                (xc[k].identity.has_value() || x[x.child(px, k)].hash == y[y.child(py, k)].hash);
    }
    if (aligned) {
      for (std::size_t k = 0; k < xc.size(); ++k) out.x_to_y[k] = out.y_to_x[k] = static_cast<std::int64_t>(k);
      return out;
    }
  }
  std::vector<std::size_t> xs, ys;  // children without identity
  // The y children with identity, chained in order per key; `next` is the
  // first one not yet paired, `last` where the chain grows.
  struct Chain {
    std::size_t next, last;
  };
  constexpr std::size_t kEnd = SIZE_MAX;
  std::unordered_map<Key, Chain, KeyHash> named;
  if (yc.size() > kScanLimit) named.reserve(yc.size());
  std::vector<std::size_t> later(yc.size(), kEnd);
  for (std::size_t j = 0; j < yc.size(); ++j) {
    if (!yc[j].identity) {
      ys.push_back(j);
      continue;
    }
    const auto [it, fresh] = named.try_emplace(Key(yc[j]), Chain{j, j});
    if (!fresh) later[std::exchange(it->second.last, j)] = j;
  }
  for (std::size_t i = 0; i < xc.size(); ++i) {
    if (!xc[i].identity) {
      xs.push_back(i);
      continue;
    }
    auto it = named.find(Key(xc[i]));
    if (it == named.end() || it->second.next == kEnd) continue;
    const std::size_t j = std::exchange(it->second.next, later[it->second.next]);
    out.x_to_y[i] = static_cast<std::int64_t>(j);
    out.y_to_x[j] = static_cast<std::int64_t>(i);
  }
  if (xs.empty() || ys.empty()) return out;
  std::vector<std::uint64_t> fx(xs.size()), fy(ys.size());
  for (std::size_t i = 0; i < xs.size(); ++i) fx[i] = x[x.child(px, xs[i])].hash;
  for (std::size_t j = 0; j < ys.size(); ++j) fy[j] = y[y.child(py, ys[j])].hash;
  const std::vector<std::int64_t> aligned = align_sequences(fx, fy);
  std::size_t xa = 0, ya = 0;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    if (aligned[i] < 0) continue;
    const auto j = static_cast<std::size_t>(aligned[i]);
    // Equal fingerprints of different kinds can only be a collision.
    if (xc[xs[i]].kind != yc[ys[j]].kind) continue;
    pair_gap(x, px, xs, xa, i, y, py, ys, ya, j, out);
    out.x_to_y[xs[i]] = static_cast<std::int64_t>(ys[j]);
    out.y_to_x[ys[j]] = static_cast<std::int64_t>(xs[i]);
    xa = i + 1;
    ya = j + 1;
  }
  pair_gap(x, px, xs, xa, xs.size(), y, py, ys, ya, ys.size(), out);
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
  Location out;
  for (; at != kRoot; at = links_[static_cast<std::size_t>(at)].up) {
    const Link& l = links_[static_cast<std::size_t>(at)];
    out.push_back(step(*l.parent, l.index));
  }
  std::reverse(out.begin(), out.end());
  return out;
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
  for (const Step& s : location) {
    out += '/';
    out += detail::step_text(s);
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
