#pragma once

// The rule of the merge of sibling lists as a small model, for the tests and
// the fuzz target to compare the engine with.

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vext::testing {

// A sibling in the model: which element it is (a base element's name, or a
// fresh name for an addition) and its content.
struct Elem {
  std::string key;
  std::string text;
  bool identified = false;  // an addition's: whether it has an identity
  friend bool operator==(const Elem&, const Elem&) = default;
};
using List = std::vector<Elem>;

struct Outcome {
  List list;
  int conflicts = 0;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

// The rule, written for lists whose elements are told apart by their keys.
// Elements both sides kept are merged, in the order of the side that
// reordered them (a conflict if both did, differently; ours then). A
// removal stands unless the other side changed the element (a conflict; it
// stays). Each side's other elements sit after the nearest element both
// kept that precedes them on that side; at one place the order-giving
// side's come first. An addition both sides made with one key (identified)
// is one element; anonymous additions both sides made at one place are one
// copy if they are the same, else a conflict keeping both.
inline Outcome model(const List& base, const List& ours, const List& theirs) {
  Outcome out;
  std::map<std::string, std::string> base_text;
  for (const Elem& e : base) base_text[e.key] = e.text;
  auto keys = [](const List& l) {
    std::set<std::string> s;
    for (const Elem& e : l) s.insert(e.key);
    return s;
  };
  const std::set<std::string> in_ours = keys(ours), in_theirs = keys(theirs);
  auto is_base = [&](const Elem& e) { return base_text.count(e.key) > 0; };
  auto kept = [&](const Elem& e) { return is_base(e) && in_ours.count(e.key) && in_theirs.count(e.key); };
  auto order = [&](const List& l) {
    std::vector<std::string> o;
    for (const Elem& e : l) {
      if (kept(e)) o.push_back(e.key);
    }
    return o;
  };
  const auto base_order = order(base), ours_order = order(ours), theirs_order = order(theirs);
  const bool ours_moved = ours_order != base_order, theirs_moved = theirs_order != base_order;
  if (ours_moved && theirs_moved && ours_order != theirs_order) ++out.conflicts;
  const bool theirs_lead = theirs_moved && !ours_moved;
  const List& lead = theirs_lead ? theirs : ours;
  const List& other = theirs_lead ? ours : theirs;
  const std::set<std::string>& in_other = theirs_lead ? in_ours : in_theirs;

  // Each side's runs, by the key of the element they follow ("" at the start).
  auto runs = [&](const List& side, const std::set<std::string>& in_that) {
    std::map<std::string, List> r;
    std::string anchor;
    for (const Elem& e : side) {
      if (kept(e)) {
        anchor = e.key;
      } else if (!is_base(e)) {
        r[anchor].push_back(e);
      } else if (!in_that.count(e.key) && e.text != base_text[e.key]) {
        ++out.conflicts;
        r[anchor].push_back(e);
      }
    }
    return r;
  };
  auto lead_runs = runs(lead, in_other);
  auto other_runs = runs(other, theirs_lead ? in_theirs : in_ours);
  auto find = [](const List& l, const std::string& key) {
    return std::find_if(l.begin(), l.end(), [&](const Elem& e) { return e.key == key; });
  };
  auto anonymous_additions = [&](const List& run) {
    List a;
    for (const Elem& e : run) {
      if (!e.identified && !is_base(e)) a.push_back(e);
    }
    return a;
  };
  auto join = [&](const std::string& anchor) {
    const List& mine = lead_runs[anchor];
    const List& yours = other_runs[anchor];
    const List a = anonymous_additions(mine), b = anonymous_additions(yours);
    const bool twins = !a.empty() && a == b;
    if (!a.empty() && !b.empty() && !twins) ++out.conflicts;
    for (const Elem& e : mine) {
      auto twin = find(other, e.key);
      if (e.identified && !is_base(e) && twin != other.end()) {
        const Elem& o = theirs_lead ? *twin : e;
        if (twin->text != e.text) ++out.conflicts;
        out.list.push_back(o);
      } else {
        out.list.push_back(e);
      }
    }
    for (const Elem& e : yours) {
      if (!is_base(e) && (e.identified ? find(lead, e.key) != lead.end() : twins)) continue;
      out.list.push_back(e);
    }
  };
  join("");
  for (const Elem& e : lead) {
    if (!kept(e)) continue;
    const std::string& b = base_text[e.key];
    const std::string& o = find(ours, e.key)->text;
    const std::string& t = find(theirs, e.key)->text;
    std::string text = o;
    if (o == b) {
      text = t;
    } else if (t != b && t != o) {
      ++out.conflicts;
    }
    out.list.push_back({e.key, text, e.identified});
    join(e.key);
  }
  return out;
}

}  // namespace vext::testing
