// The three-way merge that loses nothing.
#include "three_way/three_way.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "three_way/index.h"

namespace vext {
namespace {

using detail::IndexedTree;
using detail::Locations;
using detail::last_value;

FieldValue value_of(const std::string* v) { return v ? FieldValue(*v) : FieldValue(); }

bool same_value(const std::string* x, const std::string* y) { return x ? (y && *x == *y) : !y; }

// One side of the merge as seen from a parent: its children and how they pair
// with the base's.
struct Side {
  const IndexedTree* tree;
  std::size_t node;
  const std::vector<std::int64_t>* to_base;    // per child of this side
  const std::vector<std::int64_t>* from_base;  // per base child
  std::vector<std::int64_t> partner;           // an addition's twin on the other side
  bool is_ours;

  const TreeNode& child(std::size_t k) const { return tree->node(node).children[k]; }
  std::size_t entry(std::size_t k) const { return tree->child(node, k); }
};

// One child of the merged list: either a triple to merge further, or a
// sub-tree to copy as it is.
struct Item {
  std::int64_t base = -1, ours = -1, theirs = -1;
  const TreeNode* copy = nullptr;
  bool addition = false;
  bool anonymous = false;
  bool used = false;
  const Side* side = nullptr;  // where an addition comes from
  std::size_t side_index = 0;
};

class Merger {
 public:
  Merger(const IndexedTree& base, const IndexedTree& ours, const IndexedTree& theirs, detail::Ticker& ticker)
      : ticker_(ticker), b_(base), o_(ours), t_(theirs) {}

  ThreeWayResult run() {
    ThreeWayResult result;
    stack_.push_back({0, 0, 0, &result.tree, Locations::kRoot});
    while (!stack_.empty()) {
      const Frame f = stack_.back();
      stack_.pop_back();
      ticker_.tick();
      merge_node(f);
    }
    result.conflicts = std::move(conflicts_);
    return result;
  }

 private:
  struct Frame {
    std::size_t b, o, t;
    TreeNode* out;
    std::int64_t loc;
  };

  void conflict(std::int64_t loc, Field field, std::string name, FieldValue base, FieldValue ours,
                FieldValue theirs) {
    conflicts_.push_back({.location = locations_.build(loc), .field = field, .name = std::move(name),
                          .base = std::move(base), .ours = std::move(ours), .theirs = std::move(theirs)});
  }

  // Merges one string field: a side that kept base's value takes the other's.
  std::string merge_string(std::int64_t loc, Field field, const std::string& b, const std::string& o,
                           const std::string& t) {
    if (o == b) return t;
    if (t != b && t != o) conflict(loc, field, "", b, o, t);
    return o;
  }

  Attributes merge_attributes(std::int64_t loc, const Attributes& b, const Attributes& o, const Attributes& t) {
    if (o == b) return t;
    if (t == b || t == o) return o;
    Attributes out;
    std::vector<std::string_view> seen;
    auto first_time = [&](std::string_view name) {
      if (std::find(seen.begin(), seen.end(), name) != seen.end()) return false;
      seen.push_back(name);
      return true;
    };
    auto merge_name = [&](const std::string& name) {
      const std::string* bv = last_value(b, name);
      const std::string* ov = last_value(o, name);
      const std::string* tv = last_value(t, name);
      const std::string* pick = ov;
      if (same_value(ov, bv)) {
        pick = tv;
      } else if (!same_value(tv, bv) && !same_value(tv, ov)) {
        conflict(loc, Field::Attribute, name, value_of(bv), value_of(ov), value_of(tv));
      }
      if (pick) out.emplace_back(name, *pick);
    };
    // Ours' order first, then the names only theirs has, in theirs' order.
    for (const auto& a : o) {
      if (first_time(a.first)) merge_name(a.first);
    }
    for (const auto& a : t) {
      if (first_time(a.first)) merge_name(a.first);
    }
    for (const auto& a : b) {
      if (first_time(a.first)) merge_name(a.first);
    }
    return out;
  }

  void merge_node(const Frame& f) {
    if (detail::same_subtree(o_, f.o, b_, f.b)) {
      *f.out = t_.node(f.t);
      return;
    }
    if (detail::same_subtree(t_, f.t, b_, f.b) || detail::same_subtree(o_, f.o, t_, f.t)) {
      *f.out = o_.node(f.o);
      return;
    }
    if (b_.stub(f.b) || o_.stub(f.o) || t_.stub(f.t)) throw detail::NeedWholeTrees();
    const TreeNode& b = b_.node(f.b);
    const TreeNode& o = o_.node(f.o);
    const TreeNode& t = t_.node(f.t);
    TreeNode& out = *f.out;
    // A node below the root pairs across a change of kind only where the
    // trees' KindRule says so; it then changed as a whole, so a change of
    // kind on one side against any change on the other conflicts.
    if (f.loc != Locations::kRoot && (o.kind != b.kind || t.kind != b.kind)) {
      out = o;
      conflict(f.loc, Field::Node, "", b, o, t);
      return;
    }
    out.kind = merge_string(f.loc, Field::Kind, b.kind, o.kind, t.kind);
    if (o.identity == b.identity) {
      out.identity = t.identity;
    } else {
      out.identity = o.identity;
      if (t.identity != b.identity && t.identity != o.identity) {
        conflict(f.loc, Field::Identity, "", value_of(b.identity ? &*b.identity : nullptr),
                 value_of(o.identity ? &*o.identity : nullptr), value_of(t.identity ? &*t.identity : nullptr));
      }
    }
    out.label = merge_string(f.loc, Field::Label, b.label, o.label, t.label);
    out.text = merge_string(f.loc, Field::Text, b.text, o.text, t.text);
    out.attributes = merge_attributes(f.loc, b.attributes, o.attributes, t.attributes);
    merge_children(f);
  }

  // Renders the order of a node's children as their steps.
  std::vector<std::string> order_of(const TreeNode& parent) {
    std::vector<std::string> out;
    out.reserve(parent.children.size());
    for (std::size_t k = 0; k < parent.children.size(); ++k) {
      out.push_back(detail::step_text(locations_.step(parent, k)));
    }
    return out;
  }

  // Pairs the identified additions of the two sides by kind, identity and
  // order of occurrence.
  static void pair_additions(Side& x, Side& y) {
    const auto& xc = x.tree->node(x.node).children;
    const auto& yc = y.tree->node(y.node).children;
    x.partner.assign(xc.size(), -1);
    y.partner.assign(yc.size(), -1);
    // The tree's own key, so that additions pair as the tree's children do.
    auto key_of = [](const Side& side, std::size_t k) {
      const detail::NodeKey key = side.tree->key(side.entry(k));
      return std::pair<std::string_view, std::string_view>{key.kind, key.identity};
    };
    std::map<std::pair<std::string_view, std::string_view>, std::vector<std::size_t>> added;
    for (std::size_t k = 0; k < yc.size(); ++k) {
      if ((*y.to_base)[k] < 0 && yc[k].identity) added[key_of(y, k)].push_back(k);
    }
    if (added.empty()) return;
    std::map<std::pair<std::string_view, std::string_view>, std::size_t> next;
    for (std::size_t j = 0; j < xc.size(); ++j) {
      if ((*x.to_base)[j] >= 0 || !xc[j].identity) continue;
      const std::pair<std::string_view, std::string_view> key = key_of(x, j);
      auto it = added.find(key);
      if (it == added.end()) continue;
      std::size_t& n = next[key];
      if (n < it->second.size()) {
        const std::size_t k = it->second[n++];
        x.partner[j] = static_cast<std::int64_t>(k);
        y.partner[k] = static_cast<std::int64_t>(j);
      }
    }
  }

  // Records a node one side removed while the other changed it; the changed
  // sub-tree stays.
  void delete_modify(const Frame& f, std::size_t base_child, const Side& kept, std::size_t kept_child) {
    const std::int64_t loc = locations_.add(f.loc, b_.node(f.b), base_child);
    const TreeNode& base = b_.node(f.b).children[base_child];
    FieldValue present = kept.child(kept_child);
    if (kept.is_ours) {
      conflict(loc, Field::Node, "", base, std::move(present), {});
    } else {
      conflict(loc, Field::Node, "", base, {}, std::move(present));
    }
  }

  void merge_children(const Frame& f) {
    const detail::ChildPairs bo = detail::pair_children(b_, f.b, o_, f.o);
    const detail::ChildPairs bt = detail::pair_children(b_, f.b, t_, f.t);
    Side ours{&o_, f.o, &bo.y_to_x, &bo.x_to_y, {}, true};
    Side theirs{&t_, f.t, &bt.y_to_x, &bt.x_to_y, {}, false};
    pair_additions(ours, theirs);
    const TreeNode& base = b_.node(f.b);
    ticker_.tick(base.children.size() + ours.partner.size() + theirs.partner.size());

    const bool ours_moved = !detail::is_increasing(bo.y_to_x);
    const bool theirs_moved = !detail::is_increasing(bt.y_to_x);
    if (ours_moved && theirs_moved) {
      std::vector<std::int64_t> in_ours, in_theirs;
      for (std::int64_t k : bo.y_to_x) {
        if (k >= 0 && bt.x_to_y[static_cast<std::size_t>(k)] >= 0) in_ours.push_back(k);
      }
      for (std::int64_t k : bt.y_to_x) {
        if (k >= 0 && bo.x_to_y[static_cast<std::size_t>(k)] >= 0) in_theirs.push_back(k);
      }
      if (in_ours != in_theirs) {
        conflict(f.loc, Field::Order, "", order_of(base), order_of(o_.node(f.o)), order_of(t_.node(f.t)));
      }
    }
    // The skeleton side gives the order; the other side's additions follow
    // the sibling they came after.
    const bool theirs_leads = theirs_moved && !ours_moved;
    const Side& lead = theirs_leads ? theirs : ours;
    const Side& other = theirs_leads ? ours : theirs;

    std::vector<Item> skeleton;
    std::vector<std::int64_t> placed(base.children.size(), -1);
    const std::size_t lead_count = lead.partner.size();
    for (std::size_t j = 0; j < lead_count; ++j) {
      const std::int64_t bi = (*lead.to_base)[j];
      const TreeNode& child = lead.child(j);
      if (bi >= 0) {
        const auto bu = static_cast<std::size_t>(bi);
        const std::int64_t rj = (*other.from_base)[bu];
        if (rj >= 0) {
          Item item{.base = bi};
          (lead.is_ours ? item.ours : item.theirs) = static_cast<std::int64_t>(j);
          (lead.is_ours ? item.theirs : item.ours) = rj;
          placed[bu] = static_cast<std::int64_t>(skeleton.size());
          skeleton.push_back(item);
        } else if (!detail::same_subtree(*lead.tree, lead.entry(j), b_, b_.child(f.b, bu))) {
          delete_modify(f, bu, lead, j);
          placed[bu] = static_cast<std::int64_t>(skeleton.size());
          skeleton.push_back({.copy = &child});
        }
        continue;
      }
      Item item{.copy = &child, .addition = true, .side = &lead, .side_index = j};
      if (const std::int64_t twin = lead.partner[j]; twin >= 0) {
        const Side& o_side = lead.is_ours ? lead : other;
        const std::size_t oj = lead.is_ours ? j : static_cast<std::size_t>(twin);
        const std::size_t tj = lead.is_ours ? static_cast<std::size_t>(twin) : j;
        item.copy = &o_side.child(oj);
        if (!detail::same_subtree(o_, o_.child(f.o, oj), t_, t_.child(f.t, tj))) {
          Location loc = locations_.build(f.loc);
          loc.push_back(locations_.step(o_.node(f.o), oj));
          conflicts_.push_back({.location = std::move(loc), .field = Field::Node, .base = {},
                                .ours = o_.node(f.o).children[oj], .theirs = t_.node(f.t).children[tj]});
        }
      } else {
        item.anonymous = !child.identity.has_value();
      }
      skeleton.push_back(item);
    }

    // The other side's items, each after the last of its earlier siblings
    // that is in the skeleton (and after the skeleton's additions there).
    std::vector<std::vector<Item>> before(skeleton.size() + 1);
    // Where the run of additions after each skeleton item ends.
    std::vector<std::size_t> run_ends(skeleton.size() + 1, skeleton.size());
    for (std::size_t e = skeleton.size(); e-- > 0;) run_ends[e] = skeleton[e].addition ? run_ends[e + 1] : e;
    auto run_end = [&](std::int64_t anchor) { return run_ends[static_cast<std::size_t>(anchor + 1)]; };
    // The anonymous additions of a run by fingerprint, indexed when the run
    // is first searched for a twin; `first` skips those already taken.
    struct Twins {
      std::vector<std::size_t> items;
      std::size_t first = 0;
    };
    std::unordered_map<std::size_t, std::unordered_map<std::uint64_t, Twins>> runs;
    auto fingerprint = [](const Side& side, std::size_t k) { return (*side.tree)[side.entry(k)].hash; };
    std::int64_t anchor = -1;
    for (std::size_t k = 0; k < other.partner.size(); ++k) {
      const std::int64_t bi = (*other.to_base)[k];
      const TreeNode& child = other.child(k);
      if (bi >= 0) {
        const auto bu = static_cast<std::size_t>(bi);
        if (placed[bu] >= 0) {
          anchor = placed[bu];
          continue;
        }
        if ((*lead.from_base)[bu] >= 0 ||
            detail::same_subtree(*other.tree, other.entry(k), b_, b_.child(f.b, bu))) {
          continue;
        }
        delete_modify(f, bu, other, k);
        before[run_end(anchor)].push_back({.copy = &child});
        continue;
      }
      if (other.partner[k] >= 0) continue;
      const std::size_t end = run_end(anchor);
      bool twin = false;
      const auto start = static_cast<std::size_t>(anchor + 1);
      if (!child.identity && start < end) {
        auto [run, fresh] = runs.try_emplace(start);
        if (fresh) {
          for (std::size_t i = start; i < end; ++i) {
            const Item& s = skeleton[i];
            if (s.anonymous) run->second[fingerprint(*s.side, s.side_index)].items.push_back(i);
          }
        }
        // The first unused addition of the run that is the same sub-tree.
        if (auto found = run->second.find(fingerprint(other, k)); found != run->second.end()) {
          Twins& t = found->second;
          while (t.first < t.items.size() && skeleton[t.items[t.first]].used) ++t.first;
          for (std::size_t n = t.first; n < t.items.size() && !twin; ++n) {
            Item& s = skeleton[t.items[n]];
            if (!s.used && detail::same_subtree(*s.side->tree, s.side->entry(s.side_index), *other.tree, other.entry(k))) {
              s.used = twin = true;
            }
          }
        }
      }
      if (!twin) before[end].push_back({.copy = &child});
    }

    std::size_t count = skeleton.size();
    for (const auto& group : before) count += group.size();
    TreeNode& out = *f.out;
    out.children.resize(count);
    std::size_t at = 0;
    const std::size_t first_frame = stack_.size();
    auto emit = [&](const Item& item) {
      TreeNode& slot = out.children[at++];
      if (item.copy) {
        slot = *item.copy;
        return;
      }
      const auto bu = static_cast<std::size_t>(item.base);
      const std::size_t bc = b_.child(f.b, bu), oc = o_.child(f.o, static_cast<std::size_t>(item.ours)),
                        tc = t_.child(f.t, static_cast<std::size_t>(item.theirs));
      // What ours left as in base is theirs' at once, as merge_node would
      // take it, without a frame or a location for it.
      if (detail::same_subtree(o_, oc, b_, bc)) {
        slot = t_.node(tc);
        return;
      }
      stack_.push_back({bc, oc, tc, &slot, locations_.add(f.loc, base, bu)});
    };
    for (std::size_t i = 0; i <= skeleton.size(); ++i) {
      for (const Item& item : before[i]) emit(item);
      if (i < skeleton.size()) emit(skeleton[i]);
    }
    // Children are merged in order, so conflicts come out in document order.
    std::reverse(stack_.begin() + static_cast<std::ptrdiff_t>(first_frame), stack_.end());
  }

  detail::Ticker& ticker_;
  const IndexedTree& b_;
  const IndexedTree& o_;
  const IndexedTree& t_;
  Locations locations_;
  std::vector<Frame> stack_;
  std::vector<Conflict> conflicts_;
};

}  // namespace

ThreeWayResult three_way_merge(const TreeNode& base, const TreeNode& ours, const TreeNode& theirs,
                               const StopCheck& stop) {
  detail::Ticker ticker(stop);
  const IndexedTree b(base, ticker), o(ours, ticker), t(theirs, ticker);
  return Merger(b, o, t, ticker).run();
}

ThreeWayResult detail::three_way_merge(const IndexedTree& base, const IndexedTree& ours, const IndexedTree& theirs,
                                       Ticker& ticker) {
  return Merger(base, ours, theirs, ticker).run();
}

}  // namespace vext
