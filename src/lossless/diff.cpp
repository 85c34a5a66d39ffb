// The located diff and its checked application.
#include "lossless/lossless.h"

#include <algorithm>
#include <map>
#include <set>
#include <span>
#include <tuple>
#include <unordered_map>

#include "lossless/index.h"

namespace vext {
namespace {

using detail::IndexedTree;
using detail::Locations;
using detail::last_value;

bool has_repeated_names(const Attributes& attrs) {
  if (attrs.size() < 2) return false;
  std::vector<std::string_view> names;
  names.reserve(attrs.size());
  for (const auto& a : attrs) names.push_back(a.first);
  std::sort(names.begin(), names.end());
  return std::adjacent_find(names.begin(), names.end()) != names.end();
}

FieldValue optional_value(const std::string* v) { return v ? FieldValue(*v) : FieldValue(); }

// Applies one per-name attribute change: a changed value stays in its place,
// a new name goes last, a removed name goes away.
void set_attribute(Attributes& attrs, const std::string& name, const FieldValue& value) {
  if (const auto* v = std::get_if<std::string>(&value)) {
    for (auto it = attrs.rbegin(); it != attrs.rend(); ++it) {
      if (it->first == name) {
        it->second = *v;
        return;
      }
    }
    attrs.emplace_back(name, *v);
  } else {
    std::erase_if(attrs, [&](const Attribute& a) { return a.first == name; });
  }
}

// Lists attribute edits: one change per name when replaying them gives `b`
// exactly, otherwise one change of the whole list.
void diff_attributes(const Attributes& a, const Attributes& b, const Location& loc, std::vector<Change>& out) {
  if (a == b) return;
  const std::size_t first = out.size();
  if (!has_repeated_names(a) && !has_repeated_names(b)) {
    for (const auto& [name, value] : b) {
      const std::string* old = last_value(a, name);
      if (!old || *old != value) {
        out.push_back({.op = ChangeOp::Update, .location = loc, .field = Field::Attribute, .name = name,
                       .old_value = optional_value(old), .new_value = value});
      }
    }
    for (const auto& [name, value] : a) {
      if (!last_value(b, name)) {
        out.push_back({.op = ChangeOp::Update, .location = loc, .field = Field::Attribute, .name = name,
                       .old_value = value, .new_value = {}});
      }
    }
    Attributes replay = a;
    for (std::size_t i = first; i < out.size(); ++i) set_attribute(replay, out[i].name, out[i].new_value);
    if (replay == b) return;
    out.resize(first);
  }
  out.push_back({.op = ChangeOp::Update, .location = loc, .field = Field::Attributes, .old_value = a, .new_value = b});
}

void diff_string(Field field, const std::string& a, const std::string& b, const Location& loc,
                 std::vector<Change>& out) {
  if (a != b) out.push_back({.op = ChangeOp::Update, .location = loc, .field = field, .old_value = a, .new_value = b});
}

// Lists the changes of a node's own fields; the kind and identity of other
// nodes are what pairs them, so only the root's can change.
template <class LocationOf>
void own_changes(const TreeNode& x, const TreeNode& y, bool root, LocationOf&& loc, std::vector<Change>& out) {
  if (root && x.kind != y.kind) diff_string(Field::Kind, x.kind, y.kind, loc(), out);
  if (root && x.identity != y.identity) {
    out.push_back({.op = ChangeOp::Update, .location = loc(), .field = Field::Identity,
                   .old_value = optional_value(x.identity ? &*x.identity : nullptr),
                   .new_value = optional_value(y.identity ? &*y.identity : nullptr)});
  }
  if (x.label != y.label) diff_string(Field::Label, x.label, y.label, loc(), out);
  if (x.text != y.text) diff_string(Field::Text, x.text, y.text, loc(), out);
  if (x.attributes != y.attributes) diff_attributes(x.attributes, y.attributes, loc(), out);
}

// Returns, for pairs listed in old order by their new positions, which ones
// lie on a longest increasing run: those keep their place, the rest move.
std::vector<bool> staying(const std::vector<std::int64_t>& new_pos) {
  std::vector<std::size_t> tails, prev(new_pos.size(), SIZE_MAX);
  for (std::size_t p = 0; p < new_pos.size(); ++p) {
    auto pos = std::lower_bound(tails.begin(), tails.end(), new_pos[p],
                                [&](std::size_t t, std::int64_t v) { return new_pos[t] < v; });
    if (pos != tails.begin()) prev[p] = *(pos - 1);
    if (pos == tails.end()) {
      tails.push_back(p);
    } else {
      *pos = p;
    }
  }
  std::vector<bool> out(new_pos.size(), false);
  if (!tails.empty()) {
    for (std::size_t p = tails.back(); p != SIZE_MAX; p = prev[p]) out[p] = true;
  }
  return out;
}

}  // namespace

std::vector<Change> located_diff(const TreeNode& old_root, const TreeNode& new_root, const StopCheck& stop) {
  detail::Ticker ticker(stop);
  const IndexedTree a(old_root, ticker);
  const IndexedTree b(new_root, ticker);
  return detail::located_diff(a, b, ticker).value();
}

detail::UnlessStubbed<std::vector<Change>> detail::located_diff(const IndexedTree& a, const IndexedTree& b,
                                                                Ticker& ticker, bool borrow) {
  const auto node_value = [borrow](const TreeNode& n) { return borrow ? NodeValue::borrow(n) : NodeValue(n); };
  Locations locations;
  std::vector<Change> out;
  struct Frame {
    std::size_t a, b;
    std::int64_t loc;
  };
  std::vector<Frame> stack{{0, 0, Locations::kRoot}};
  std::vector<Frame> pending;
  while (!stack.empty()) {
    const Frame f = stack.back();
    stack.pop_back();
    ticker.tick();
    const detail::Sameness same = detail::same_subtree(a, f.a, b, f.b);
    if (same == detail::Sameness::Same) continue;
    if (same == detail::Sameness::Undecided || a.stub(f.a) || b.stub(f.b)) return detail::NeedWholeTrees{};
    const TreeNode& x = a.node(f.a);
    const TreeNode& y = b.node(f.b);
    // Most frames change nothing of their own, so the location is built on
    // first use: building it costs the node's depth.
    std::optional<Location> built;
    auto loc = [&]() -> const Location& {
      if (!built) built = locations.build(f.loc);
      return *built;
    };
    // A node below the root pairs across a change of kind only where the
    // trees' KindRule says so; it then changed as a whole.
    if (f.loc != Locations::kRoot && x.kind != y.kind) {
      out.push_back({.op = ChangeOp::Update, .location = loc(), .field = Field::Node, .old_value = node_value(x),
                     .new_value = node_value(y)});
      continue;
    }
    own_changes(x, y, f.loc == Locations::kRoot, loc, out);
    if (x.children.empty() && y.children.empty()) continue;

    const detail::ChildPairs pairs = detail::pair_children(a, f.a, b, f.b);
    if (pairs.split) return detail::NeedWholeTrees{};
    ticker.tick(x.children.size() + y.children.size());
    auto child_loc = [&](std::size_t i) {
      Location l = loc();
      l.push_back(locations.step(x, i));
      return l;
    };
    for (std::size_t i = 0; i < x.children.size(); ++i) {
      if (pairs.x_to_y[i] < 0) {
        out.push_back({.op = ChangeOp::Remove, .location = child_loc(i), .field = Field::Node,
                       .old_value = node_value(x.children[i])});
      }
    }
    for (std::size_t j = 0; j < y.children.size(); ++j) {
      if (pairs.y_to_x[j] < 0) {
        Location l = loc();
        l.push_back(locations.step(y, j));
        out.push_back({.op = ChangeOp::Insert, .location = std::move(l), .field = Field::Node,
                       .new_value = node_value(y.children[j]), .index = j});
      }
    }
    std::vector<std::int64_t> new_pos;
    std::vector<std::size_t> old_pos;
    for (std::size_t i = 0; i < x.children.size(); ++i) {
      if (pairs.x_to_y[i] >= 0) {
        new_pos.push_back(pairs.x_to_y[i]);
        old_pos.push_back(i);
      }
    }
    if (!detail::is_increasing(new_pos)) {
      const std::vector<bool> stays = staying(new_pos);
      for (std::size_t p = 0; p < new_pos.size(); ++p) {
        if (stays[p]) continue;
        out.push_back({.op = ChangeOp::Move, .location = child_loc(old_pos[p]), .field = Field::Position,
                       .old_value = std::uint64_t{old_pos[p]}, .new_value = static_cast<std::uint64_t>(new_pos[p]),
                       .index = static_cast<std::size_t>(new_pos[p])});
      }
    }
    // Children are visited in old order, after everything of their parent.
    pending.clear();
    for (std::size_t p = 0; p < old_pos.size(); ++p) {
      const std::size_t ca = a.child(f.a, old_pos[p]);
      const std::size_t cb = b.child(f.b, static_cast<std::size_t>(new_pos[p]));
      if (a[ca].hash == b[cb].hash && a.node(ca) == b.node(cb)) continue;
      pending.push_back({ca, cb, locations.add(f.loc, x, old_pos[p])});
    }
    stack.insert(stack.end(), pending.rbegin(), pending.rend());
  }
  return out;
}

namespace {

// Finds the child of a node that a step names.
class Resolver {
 public:
  explicit Resolver(TreeNode& root) : resolved_(&root) {}

  TreeNode* child(TreeNode& parent, const Step& step) {
    auto& kids = parent.children;
    if (kids.size() <= 32) {
      std::size_t seen = 0;
      for (TreeNode& c : kids) {
        if (c.kind == step.kind && c.identity == step.identity && seen++ == step.position) return &c;
      }
      return nullptr;
    }
    auto it = tables_.find(&parent);
    if (it == tables_.end()) {
      Table t;
      const auto pos = detail::sibling_positions(parent);
      for (std::size_t k = 0; k < kids.size(); ++k) {
        t.emplace(detail::step_text({.kind = kids[k].kind, .identity = kids[k].identity, .position = pos[k]}), k);
      }
      it = tables_.emplace(&parent, std::move(t)).first;
    }
    auto found = it->second.find(detail::step_text(step));
    return found == it->second.end() ? nullptr : &kids[found->second];
  }

  // Follows `location` from the root; nullptr when a step names no child.
  // Resolved locations are remembered, so that the locations of one diff,
  // which share their prefixes, resolve in time linear in the nodes named.
  TreeNode* walk(const Location& location) {
    return resolved_(location, [&](const Location& at, TreeNode* up) { return up ? child(*up, at.back()) : nullptr; });
  }

 private:
  using Table = std::unordered_map<std::string, std::size_t>;
  std::unordered_map<const TreeNode*, Table> tables_;
  ChainMemo<Step, TreeNode*> resolved_;
};

// The structural edits under one parent.
struct Group {
  std::size_t depth = 0;
  std::vector<std::size_t> removed;                          // old child indices
  std::vector<std::pair<std::size_t, std::size_t>> moved;    // old index, new index
  std::vector<std::pair<const TreeNode*, std::size_t>> added;  // node, new index
  std::vector<std::size_t> added_by;  // the change that adds each
};

std::optional<std::string> string_value(const FieldValue& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  return std::nullopt;
}

// Whether an update's old value matches the node; nullopt when the change is
// not an update of a field.
std::optional<bool> update_fits(const TreeNode& n, const Change& c) {
  const bool absent = std::holds_alternative<std::monostate>(c.old_value);
  const auto* text = std::get_if<std::string>(&c.old_value);
  switch (c.field) {
    case Field::Kind: return text && n.kind == *text;
    case Field::Identity: return absent ? !n.identity : (text && n.identity == *text);
    case Field::Label: return text && n.label == *text;
    case Field::Text: return text && n.text == *text;
    case Field::Attribute: {
      const std::string* v = last_value(n.attributes, c.name);
      return absent ? !v : (text && v && *v == *text);
    }
    case Field::Attributes: {
      const auto* attrs = std::get_if<Attributes>(&c.old_value);
      return attrs && n.attributes == *attrs;
    }
    default: return std::nullopt;
  }
}

bool update_value_usable(const Change& c) {
  switch (c.field) {
    case Field::Kind:
    case Field::Label:
    case Field::Text: return std::holds_alternative<std::string>(c.new_value);
    case Field::Identity:
    case Field::Attribute:
      return std::holds_alternative<std::string>(c.new_value) || std::holds_alternative<std::monostate>(c.new_value);
    case Field::Attributes: return std::holds_alternative<Attributes>(c.new_value);
    default: return false;
  }
}

void apply_update(TreeNode& n, const Change& c) {
  switch (c.field) {
    case Field::Kind: n.kind = std::get<std::string>(c.new_value); break;
    case Field::Identity: n.identity = string_value(c.new_value); break;
    case Field::Label: n.label = std::get<std::string>(c.new_value); break;
    case Field::Text: n.text = std::get<std::string>(c.new_value); break;
    case Field::Attribute: set_attribute(n.attributes, c.name, c.new_value); break;
    case Field::Attributes: n.attributes = std::get<Attributes>(c.new_value); break;
    default: break;
  }
}

ApplyRefusal refuse(ApplyFailure failure, std::size_t index, const Change& c, std::string_view why) {
  std::string detail = "change " + std::to_string(index) + " (" + std::string(change_op_name(c.op)) + " " +
                       std::string(field_name(c.field)) + " at " + location_text(c.location) + "): ";
  detail += why;
  return {.failure = failure, .change = index, .detail = std::move(detail)};
}

// Refuses a change inside a node another change removes, and an identified
// insertion whose step names a node that stays: applied again, a diff
// would add its nodes twice.
std::optional<ApplyRefusal> check_removals(const std::vector<Change>& changes,
                                           std::map<TreeNode*, Group>& groups, Resolver& resolver) {
  std::set<const TreeNode*> removed;
  for (const auto& [parent, g] : groups) {
    for (std::size_t i : g.removed) removed.insert(&parent->children[i]);
  }
  for (auto& [parent, g] : groups) {
    std::set<std::string> names;
    for (std::size_t a = 0; a < g.added.size(); ++a) {
      const Change& c = changes[g.added_by[a]];
      if (!g.added[a].first->identity) continue;
      const TreeNode* there = resolver.child(*parent, c.location.back());
      if ((there && !removed.count(there)) || !names.insert(detail::step_text(c.location.back())).second) {
        return refuse(ApplyFailure::Clash, g.added_by[a], c, "the node is there already");
      }
    }
  }
  if (removed.empty()) return std::nullopt;
  // Whether a location lies at or under a removed node, remembered per
  // location so that shared prefixes are looked at once.
  ChainMemo<Step, bool> under(false);
  auto removed_at_or_above = [&](const Location& location) {
    return under(location, [&](const Location& at, bool up) { return up || removed.count(resolver.walk(at)) > 0; });
  };
  for (std::size_t n = 0; n < changes.size(); ++n) {
    const Change& c = changes[n];
    // A structural change's own node may be the removed one; nothing above it may.
    if (removed_at_or_above(c.op == ChangeOp::Update ? c.location : c.location.parent())) {
      return refuse(ApplyFailure::Clash, n, c, "another change removes the node");
    }
  }
  return std::nullopt;
}

void rebuild(TreeNode& parent, const Group& g) {
  std::vector<TreeNode> old = std::move(parent.children);
  const std::size_t count = old.size() - g.removed.size() + g.added.size();
  std::vector<TreeNode> fresh(count);
  std::vector<bool> filled(count, false), gone(old.size(), false);
  for (const auto& [node, at] : g.added) {
    fresh[at] = *node;
    filled[at] = true;
  }
  for (const auto& [from, at] : g.moved) {
    fresh[at] = std::move(old[from]);
    filled[at] = true;
    gone[from] = true;
  }
  for (std::size_t i : g.removed) gone[i] = true;
  std::size_t slot = 0;
  for (std::size_t i = 0; i < old.size(); ++i) {
    if (gone[i]) continue;
    while (filled[slot]) ++slot;
    fresh[slot] = std::move(old[i]);
    filled[slot] = true;
  }
  parent.children = std::move(fresh);
}

// What applying a list of changes will do, gathered and checked before
// anything is changed: the field updates, and per parent the children it
// loses, moves and gains.
struct ApplyPlan {
  TreeNode& root;
  Resolver resolver{root};
  std::vector<std::pair<TreeNode*, const Change*>> updates;
  std::map<TreeNode*, Group> groups;
  std::set<std::tuple<const TreeNode*, Field, std::string_view>> claimed_fields;
  std::set<const TreeNode*> claimed_nodes;

  explicit ApplyPlan(TreeNode& tree) : root(tree) {}

  // Finds the nodes change `n` names and files it; refuses a change that
  // does not fit the tree or claims what another change claimed.
  std::optional<ApplyRefusal> add(std::size_t n, const Change& c) {
    const bool structural = c.op != ChangeOp::Update;
    if (structural && c.location.empty()) return refuse(ApplyFailure::Missing, n, c, "the root has no parent");
    TreeNode* parent = structural ? resolver.walk(c.location.parent()) : nullptr;
    if (structural && !parent) return refuse(ApplyFailure::Missing, n, c, "no such parent");
    TreeNode* node = nullptr;
    if (c.op != ChangeOp::Insert) {
      node = structural ? resolver.child(*parent, c.location.back()) : resolver.walk(c.location);
      if (!node) return refuse(ApplyFailure::Missing, n, c, "no such node");
    }
    switch (c.op) {
      case ChangeOp::Update: return add_update(n, c, *node);
      case ChangeOp::Remove: return add_removal(n, c, *parent, *node);
      case ChangeOp::Move: return add_move(n, c, *parent, *node);
      case ChangeOp::Insert: return add_insertion(n, c, *parent);
    }
    return std::nullopt;
  }

  std::optional<ApplyRefusal> add_update(std::size_t n, const Change& c, TreeNode& node) {
    const auto fits = update_fits(node, c);
    if (!fits || !update_value_usable(c)) return refuse(ApplyFailure::Mismatch, n, c, "not an edit of a field");
    if (!*fits) return refuse(ApplyFailure::Mismatch, n, c, "the old value differs");
    if (!claimed_fields.emplace(&node, c.field, c.name).second) {
      return refuse(ApplyFailure::Clash, n, c, "the field is changed twice");
    }
    updates.emplace_back(&node, &c);
    return std::nullopt;
  }

  std::optional<ApplyRefusal> add_removal(std::size_t n, const Change& c, TreeNode& parent, TreeNode& node) {
    const auto* old = std::get_if<NodeValue>(&c.old_value);
    if (c.field != Field::Node || !old) return refuse(ApplyFailure::Mismatch, n, c, "not a removal of a node");
    if (!(node == old->get())) return refuse(ApplyFailure::Mismatch, n, c, "the node differs");
    if (!claimed_nodes.insert(&node).second) return refuse(ApplyFailure::Clash, n, c, "the node is moved or removed twice");
    Group& g = group(parent, c);
    g.removed.push_back(static_cast<std::size_t>(&node - parent.children.data()));
    return std::nullopt;
  }

  std::optional<ApplyRefusal> add_move(std::size_t n, const Change& c, TreeNode& parent, TreeNode& node) {
    const auto* from = std::get_if<std::uint64_t>(&c.old_value);
    const auto* to = std::get_if<std::uint64_t>(&c.new_value);
    const auto at = static_cast<std::size_t>(&node - parent.children.data());
    if (c.field != Field::Position || !from || !to) return refuse(ApplyFailure::Mismatch, n, c, "not a move");
    if (*from != at) return refuse(ApplyFailure::Mismatch, n, c, "the node is elsewhere");
    if (!claimed_nodes.insert(&node).second) return refuse(ApplyFailure::Clash, n, c, "the node is moved or removed twice");
    group(parent, c).moved.emplace_back(at, static_cast<std::size_t>(*to));
    return std::nullopt;
  }

  std::optional<ApplyRefusal> add_insertion(std::size_t n, const Change& c, TreeNode& parent) {
    const auto* value = std::get_if<NodeValue>(&c.new_value);
    const TreeNode* added = value ? &value->get() : nullptr;
    if (c.field != Field::Node || !added) return refuse(ApplyFailure::Mismatch, n, c, "not an insertion of a node");
    const Step& step = c.location.back();
    if (added->kind != step.kind || added->identity != step.identity) {
      return refuse(ApplyFailure::Mismatch, n, c, "the node does not match its location");
    }
    Group& g = group(parent, c);
    g.added.emplace_back(added, c.index);
    g.added_by.push_back(n);
    return std::nullopt;
  }

  Group& group(TreeNode& parent, const Change& c) {
    Group& g = groups[&parent];
    g.depth = c.location.size();
    return g;
  }

  // Every slot of a rebuilt child list is claimed at most once.
  std::optional<ApplyRefusal> check_places() const {
    for (const auto& [parent, g] : groups) {
      const std::size_t count = parent->children.size() - g.removed.size() + g.added.size();
      std::vector<bool> taken(count, false);
      auto claim = [&](std::size_t at) { return at < count && !taken[at] && (taken[at] = true); };
      for (const auto& m : g.moved) {
        if (!claim(m.second)) {
          return ApplyRefusal{.failure = ApplyFailure::Clash, .detail = "a move lands outside the children or on a taken place"};
        }
      }
      for (const auto& a : g.added) {
        if (!claim(a.second)) {
          return ApplyRefusal{.failure = ApplyFailure::Clash, .detail = "an insertion lands outside the children or on a taken place"};
        }
      }
    }
    return std::nullopt;
  }

  // Makes the changes: fields first, then child lists, deeper parents first,
  // since rebuilding a child list moves the nodes in it.
  void carry_out(detail::Ticker& ticker) {
    for (const auto& [node, c] : updates) apply_update(*node, *c);
    std::vector<std::pair<TreeNode*, const Group*>> order;
    for (const auto& [parent, g] : groups) order.emplace_back(parent, &g);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& x, const auto& y) { return x.second->depth > y.second->depth; });
    for (const auto& [parent, g] : order) {
      rebuild(*parent, *g);
      ticker.tick(parent->children.size());
    }
  }
};

}  // namespace

Result<TreeNode, ApplyRefusal> apply_changes(const TreeNode& tree, const std::vector<Change>& changes,
                                             const StopCheck& stop) {
  detail::Ticker ticker(stop);
  TreeNode out = tree;
  ApplyPlan plan(out);
  for (std::size_t n = 0; n < changes.size(); ++n) {
    ticker.tick(1);
    if (auto refused = plan.add(n, changes[n])) return *refused;
  }
  if (auto refused = check_removals(changes, plan.groups, plan.resolver)) return *refused;
  if (auto refused = plan.check_places()) return *refused;
  plan.carry_out(ticker);
  return out;
}

}  // namespace vext
