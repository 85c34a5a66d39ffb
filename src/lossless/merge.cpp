// The three-way merge that loses nothing.
#include "lossless/lossless.h"

#include <algorithm>
#include <map>
#include <optional>
#include <span>
#include <tuple>

#include "lossless/index.h"

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

// One child of the merged list: a base child both sides kept, to merge
// further, or a sub-tree to copy as it is.
struct Slot {
  std::size_t base = 0, ours = 0, theirs = 0;
  const TreeNode* copy = nullptr;
};

// One side's children that are not base children both sides kept: its
// additions, and base children the other side removed but this side changed.
// They come in runs, each after an anchor (a base child both sides kept, by
// base index + 1; 0 is the start of the list).
struct Runs {
  std::vector<std::uint32_t> items;  // child indices, in the side's order
  std::vector<std::pair<std::uint32_t, std::uint32_t>> range;  // per anchor; empty when no items

  std::pair<std::uint32_t, std::uint32_t> at(std::size_t anchor) const {
    return range.empty() ? std::pair<std::uint32_t, std::uint32_t>{0, 0} : range[anchor];
  }
};

class Merger {
 public:
  Merger(const IndexedTree& base, const IndexedTree& ours, const IndexedTree& theirs, detail::Ticker& ticker)
      : ticker_(ticker), b_(base), o_(ours), t_(theirs) {}

  detail::UnlessStubbed<ThreeWayResult> run() {
    ThreeWayResult result;
    stack_.push_back({0, 0, 0, &result.tree, Locations::kRoot});
    while (!stack_.empty() && !undecided_) {
      const Frame f = stack_.back();
      stack_.pop_back();
      ticker_.tick();
      merge_node(f);
    }
    if (undecided_) return detail::NeedWholeTrees{};
    result.conflicts = std::move(conflicts_);
    return result;
  }

 private:
  struct Frame {
    std::size_t b, o, t;
    TreeNode* out;
    std::int64_t loc;
  };

  // Whether two sub-trees are the same. One that only the whole trees can
  // tell ends the merge once the node at hand is done: what it then did is
  // not the result.
  bool same(const IndexedTree& x, std::size_t i, const IndexedTree& y, std::size_t j) {
    const detail::Sameness found = detail::same_subtree(x, i, y, j);
    if (found == detail::Sameness::Undecided) undecided_ = true;
    return found == detail::Sameness::Same;
  }

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
    if (same(o_, f.o, b_, f.b)) {
      *f.out = t_.node(f.t);
      return;
    }
    if (same(t_, f.t, b_, f.b) || same(o_, f.o, t_, f.t)) {
      *f.out = o_.node(f.o);
      return;
    }
    if (undecided_ || b_.stub(f.b) || o_.stub(f.o) || t_.stub(f.t)) {
      undecided_ = true;
      return;
    }
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

  // Whether base child `bi` is kept by both sides, so merged further.
  static bool kept_by_both(const Side& x, const Side& y, std::int64_t bi) {
    return bi >= 0 && (*x.from_base)[static_cast<std::size_t>(bi)] >= 0 &&
           (*y.from_base)[static_cast<std::size_t>(bi)] >= 0;
  }

  // Whether `side` keeps the base children both sides kept in base's order.
  static bool keeps_order(const Side& side, const Side& other) {
    std::int64_t last = -1;
    for (std::int64_t bi : *side.to_base) {
      if (!kept_by_both(side, other, bi)) continue;
      if (bi < last) return false;
      last = bi;
    }
    return true;
  }

  static std::vector<std::int64_t> order_of_kept(const Side& side, const Side& other) {
    std::vector<std::int64_t> out;
    for (std::int64_t bi : *side.to_base) {
      if (kept_by_both(side, other, bi)) out.push_back(bi);
    }
    return out;
  }

  // Picks the side whose order the merged list follows: the one that
  // reordered the children both kept, ours when neither did. Two different
  // reorderings are a conflict, and ours stands.
  const Side& choose_order(const Frame& f, const Side& ours, const Side& theirs) {
    const bool ours_moved = !keeps_order(ours, theirs);
    const bool theirs_moved = !keeps_order(theirs, ours);
    if (ours_moved && theirs_moved && order_of_kept(ours, theirs) != order_of_kept(theirs, ours)) {
      conflict(f.loc, Field::Order, "", order_of(b_.node(f.b)), order_of(o_.node(f.o)), order_of(t_.node(f.t)));
    }
    return theirs_moved && !ours_moved ? theirs : ours;
  }

  // Sorts out one side's children into runs after anchors. A base child the
  // other side removed goes with it, unless this side changed it: then it
  // stays, with a conflict.
  Runs runs_of(const Frame& f, const Side& side, const Side& other) {
    Runs r;
    const std::size_t count = side.tree->child_count(side.node);
    std::size_t anchor = 0;
    for (std::size_t k = 0; k < count; ++k) {
      const std::int64_t bi = (*side.to_base)[k];
      if (bi >= 0) {
        const auto bu = static_cast<std::size_t>(bi);
        if ((*other.from_base)[bu] >= 0) {
          anchor = bu + 1;
          continue;
        }
        if (same(*side.tree, side.entry(k), b_, b_.child(f.b, bu))) continue;
        delete_modify(f, bu, side, k);
      }
      if (r.range.empty()) r.range.assign(b_.child_count(f.b) + 1, {0, 0});
      auto& [begin, end] = r.range[anchor];
      if (begin == end) begin = end = static_cast<std::uint32_t>(r.items.size());
      r.items.push_back(static_cast<std::uint32_t>(k));
      ++end;
    }
    return r;
  }

  bool anonymous_addition(const Side& side, std::size_t k) const {
    return (*side.to_base)[k] < 0 && !side.child(k).identity;
  }

  // Whether two runs add the same anonymous sub-trees in the same order.
  bool same_anonymous(const Side& x, std::span<const std::uint32_t> xs, const Side& y,
                      std::span<const std::uint32_t> ys) {
    std::size_t i = 0, j = 0;
    for (;;) {
      while (i < xs.size() && !anonymous_addition(x, xs[i])) ++i;
      while (j < ys.size() && !anonymous_addition(y, ys[j])) ++j;
      if (i == xs.size() || j == ys.size()) return i == xs.size() && j == ys.size();
      if (!same(*x.tree, x.entry(xs[i]), *y.tree, y.entry(ys[j]))) return false;
      ++i;
      ++j;
    }
  }

  std::optional<std::uint32_t> first_anonymous(const Side& side, std::span<const std::uint32_t> ks) const {
    for (std::uint32_t k : ks) {
      if (anonymous_addition(side, k)) return k;
    }
    return std::nullopt;
  }

  // Joins the two sides' runs after one anchor: the lead's, then the
  // other's. An identified addition both sides made is one node. Anonymous
  // additions by both sides at the same place are one copy when they are
  // the same, and a conflict, keeping both, when they are not.
  void join_runs(const Frame& f, const Side& lead, std::span<const std::uint32_t> mine, const Side& other,
                 std::span<const std::uint32_t> theirs, std::vector<Slot>& plan) {
    bool twins = false;
    const auto lead_anon = first_anonymous(lead, mine), other_anon = first_anonymous(other, theirs);
    if (lead_anon && other_anon) {
      twins = same_anonymous(lead, mine, other, theirs);
      if (!twins) {
        const std::size_t oj = lead.is_ours ? *lead_anon : *other_anon;
        const std::size_t tj = lead.is_ours ? *other_anon : *lead_anon;
        added_twice(f, oj, tj);
      }
    }
    for (std::uint32_t k : mine) {
      const std::int64_t twin = (*lead.to_base)[k] < 0 ? lead.partner[k] : -1;
      if (twin < 0) {
        plan.push_back({.copy = &lead.child(k)});
        continue;
      }
      const std::size_t oj = lead.is_ours ? k : static_cast<std::size_t>(twin);
      const std::size_t tj = lead.is_ours ? static_cast<std::size_t>(twin) : k;
      if (!same(o_, o_.child(f.o, oj), t_, t_.child(f.t, tj))) added_twice(f, oj, tj);
      plan.push_back({.copy = &o_.node(f.o).children[oj]});
    }
    for (std::uint32_t k : theirs) {
      const bool addition = (*other.to_base)[k] < 0;
      if (addition && (other.partner[k] >= 0 || (twins && !other.child(k).identity))) continue;
      plan.push_back({.copy = &other.child(k)});
    }
  }

  // Records two different nodes both sides added at one place. The last
  // step names the one that comes first among its siblings (ours' on a
  // tie), so that swapping the sides swaps only the values.
  void added_twice(const Frame& f, std::size_t oj, std::size_t tj) {
    Location loc = locations_.build(f.loc);
    Step o = locations_.step(o_.node(f.o), oj), t = locations_.step(t_.node(f.t), tj);
    const bool theirs_first = std::tie(t.position, t.kind) < std::tie(o.position, o.kind);
    loc.push_back(std::move(theirs_first ? t : o));
    conflicts_.push_back({.location = std::move(loc), .field = Field::Node, .base = {},
                          .ours = o_.node(f.o).children[oj], .theirs = t_.node(f.t).children[tj]});
  }

  // Merges the children of a node: pairs each side's with base's, picks
  // whose order to follow, sorts each side's additions (and changed nodes
  // the other side removed) into runs after the children both kept, and
  // joins the runs place by place.
  void merge_children(const Frame& f) {
    const detail::ChildPairs bo = detail::pair_children(b_, f.b, o_, f.o);
    const detail::ChildPairs bt = detail::pair_children(b_, f.b, t_, f.t);
    if (bo.split || bt.split) {
      undecided_ = true;
      return;
    }
    Side ours{&o_, f.o, &bo.y_to_x, &bo.x_to_y, {}, true};
    Side theirs{&t_, f.t, &bt.y_to_x, &bt.x_to_y, {}, false};
    pair_additions(ours, theirs);
    ticker_.tick(bo.x_to_y.size() + ours.partner.size() + theirs.partner.size());

    const Side& lead = choose_order(f, ours, theirs);
    const Side& other = lead.is_ours ? theirs : ours;
    const Runs lead_runs = runs_of(f, lead, other);
    const Runs other_runs = runs_of(f, other, lead);
    std::vector<Slot> plan;
    plan.reserve(lead.partner.size() + other_runs.items.size());
    auto join = [&](std::size_t anchor) {
      const auto [lb, le] = lead_runs.at(anchor);
      const auto [ob, oe] = other_runs.at(anchor);
      if (lb == le && ob == oe) return;
      join_runs(f, lead, std::span(lead_runs.items).subspan(lb, le - lb), other,
                std::span(other_runs.items).subspan(ob, oe - ob), plan);
    };
    join(0);
    for (std::int64_t bi : *lead.to_base) {
      if (!kept_by_both(ours, theirs, bi)) continue;
      const auto bu = static_cast<std::size_t>(bi);
      plan.push_back({.base = bu, .ours = static_cast<std::size_t>(bo.x_to_y[bu]),
                      .theirs = static_cast<std::size_t>(bt.x_to_y[bu])});
      join(bu + 1);
    }
    emit(f, plan);
  }

  // Fills the merged node's children: copies as they are, and base children
  // both sides kept as frames to merge, in order so that conflicts come out
  // in document order.
  void emit(const Frame& f, const std::vector<Slot>& plan) {
    TreeNode& out = *f.out;
    out.children.resize(plan.size());
    const std::size_t first_frame = stack_.size();
    const TreeNode& base = b_.node(f.b);
    for (std::size_t at = 0; at < plan.size(); ++at) {
      const Slot& item = plan[at];
      TreeNode& slot = out.children[at];
      if (item.copy) {
        slot = *item.copy;
        continue;
      }
      const std::size_t bc = b_.child(f.b, item.base), oc = o_.child(f.o, item.ours), tc = t_.child(f.t, item.theirs);
      // What ours left as in base is theirs' at once, as merge_node would
      // take it, without a frame or a location for it.
      if (same(o_, oc, b_, bc)) {
        slot = t_.node(tc);
        continue;
      }
      stack_.push_back({bc, oc, tc, &slot, locations_.add(f.loc, base, item.base)});
    }
    std::reverse(stack_.begin() + static_cast<std::ptrdiff_t>(first_frame), stack_.end());
  }

  detail::Ticker& ticker_;
  const IndexedTree& b_;
  const IndexedTree& o_;
  const IndexedTree& t_;
  Locations locations_;
  std::vector<Frame> stack_;
  std::vector<Conflict> conflicts_;
  bool undecided_ = false;  // a stub met a sub-tree only the whole trees can compare it with
};

}  // namespace

ThreeWayResult three_way_merge(const TreeNode& base, const TreeNode& ours, const TreeNode& theirs,
                               const StopCheck& stop) {
  detail::Ticker ticker(stop);
  const IndexedTree b(base, ticker), o(ours, ticker), t(theirs, ticker);
  return Merger(b, o, t, ticker).run().value();
}

detail::UnlessStubbed<ThreeWayResult> detail::three_way_merge(const IndexedTree& base, const IndexedTree& ours,
                                                              const IndexedTree& theirs, Ticker& ticker) {
  return Merger(base, ours, theirs, ticker).run();
}

}  // namespace vext
