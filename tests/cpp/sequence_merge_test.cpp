// The merge of sibling lists against a reference model, on every pair of
// edits of a few siblings.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "builders.h"
#include "sequence_model.h"
#include "lossless/lossless.h"

namespace vext {
namespace {

using testing::Elem;
using testing::List;
using testing::node;
using testing::Outcome;

// How the model's lists become trees: with identities, anonymous with a
// kind per element, or anonymous all of one kind.
enum class Shape { Identified, Kinds, OneKind };

TreeNode tree_of(const List& l, Shape shape) {
  TreeNode doc("doc");
  for (const Elem& e : l) {
    switch (shape) {
      case Shape::Identified: doc.children.push_back(node("i", e.key, e.text)); break;
      case Shape::Kinds: doc.children.push_back(node(e.key, std::nullopt, e.text)); break;
      case Shape::OneKind: doc.children.push_back(node("i", std::nullopt, e.key + ":" + e.text)); break;
    }
  }
  return doc;
}

Outcome engine(const List& base, const List& ours, const List& theirs, Shape shape) {
  const ThreeWayResult r = three_way_merge(tree_of(base, shape), tree_of(ours, shape), tree_of(theirs, shape));
  Outcome out{.list = {}, .conflicts = static_cast<int>(r.conflicts.size())};
  for (const TreeNode& c : r.tree.children) {
    switch (shape) {
      case Shape::Identified: out.list.push_back({*c.identity, c.text, true}); break;
      case Shape::Kinds: out.list.push_back({c.kind, c.text}); break;
      case Shape::OneKind: {
        const auto colon = c.text.find(':');
        out.list.push_back({c.text.substr(0, colon), c.text.substr(colon + 1)});
        break;
      }
    }
  }
  return out;
}

List base_list(std::size_t n) {
  List l;
  for (std::size_t i = 0; i < n; ++i) l.push_back({std::string(1, static_cast<char>('a' + i)), "0"});
  return l;
}

// Every permutation of every subset of `base`.
std::vector<List> rearrangements(const List& base) {
  std::vector<List> out;
  for (unsigned mask = 0; mask < (1u << base.size()); ++mask) {
    List l;
    for (std::size_t i = 0; i < base.size(); ++i) {
      if (mask & (1u << i)) l.push_back(base[i]);
    }
    // Permuting the positions keeps equal-looking lists apart.
    std::vector<std::size_t> p(l.size());
    for (std::size_t i = 0; i < p.size(); ++i) p[i] = i;
    do {
      List q;
      for (std::size_t i : p) q.push_back(l[i]);
      out.push_back(q);
    } while (std::next_permutation(p.begin(), p.end()));
  }
  return out;
}

bool in_base_order(const List& l) {
  return std::is_sorted(l.begin(), l.end(), [](const Elem& x, const Elem& y) { return x.key < y.key; });
}

// Each rearrangement, also with one element's content changed (where an
// anonymous element can still be told apart: in base order) and with one or
// two additions at each place.
std::vector<List> edits(const List& base, bool changes_anywhere) {
  const List additions[] = {{{"x", "1"}}, {{"x", "2"}}, {{"x", "1"}, {"y", "1"}}};
  std::vector<List> out;
  for (const List& r : rearrangements(base)) {
    std::vector<List> changed{r};
    if (changes_anywhere || in_base_order(r)) {
      for (std::size_t i = 0; i < r.size(); ++i) {
        changed.push_back(r);
        changed.back()[i].text = "1";
      }
    }
    for (const List& c : changed) {
      out.push_back(c);
      for (const List& add : additions) {
        for (std::size_t at = 0; at <= c.size(); ++at) {
          List l = c;
          l.insert(l.begin() + static_cast<std::ptrdiff_t>(at), add.begin(), add.end());
          out.push_back(l);
        }
      }
    }
  }
  return out;
}

std::string show(const List& l) {
  std::string s = "[";
  for (const Elem& e : l) s += " " + e.key + "=" + e.text;
  return s + " ]";
}

List with_identities(List l, Shape shape) {
  for (Elem& e : l) e.identified = shape == Shape::Identified;
  return l;
}

// Compares engine and model on every pair of sides.
void compare_all(const List& base, const std::vector<List>& sides, Shape shape) {
  std::size_t failures = 0;
  for (const List& o : sides) {
    for (const List& t : sides) {
      const Outcome want = testing::model(with_identities(base, shape), with_identities(o, shape),
                                          with_identities(t, shape));
      const Outcome got = engine(base, o, t, shape);
      if (want != got && ++failures <= 5) {
        ADD_FAILURE() << "ours " << show(o) << " theirs " << show(t) << ": engine " << show(got.list) << " with "
                      << got.conflicts << " conflicts, model " << show(want.list) << " with " << want.conflicts;
      }
    }
  }
  EXPECT_EQ(failures, 0u);
}

TEST(SequenceMergeTest, MatchesTheModelOnEveryPairOfRearrangements) {
  for (std::size_t n = 3; n <= 5; ++n) {
    const List base = base_list(n);
    const auto sides = rearrangements(base);
    for (Shape shape : {Shape::Identified, Shape::OneKind}) compare_all(base, sides, shape);
    if (n < 5) compare_all(base, sides, Shape::Kinds);
  }
}

TEST(SequenceMergeTest, MatchesTheModelOnEveryPairOfEditsOfThreeSiblings) {
  const List base = base_list(3);
  compare_all(base, edits(base, true), Shape::Identified);
  compare_all(base, edits(base, false), Shape::Kinds);
}

// The cases that went wrong before the merge of lists was built on the rule.
TEST(SequenceMergeTest, NamedCases) {
  const List base = base_list(3);
  auto merge = [&](const List& o, const List& t) { return engine(base, o, t, Shape::OneKind); };
  const Elem a{"a", "0"}, b{"b", "0"}, c{"c", "0"};
  // Two different reorderings: a conflict, ours' order, nothing twice.
  Outcome r = merge({b, a, c}, {b, c, a});
  EXPECT_EQ(r.list, (List{b, a, c}));
  EXPECT_EQ(r.conflicts, 1);
  // One side moves an element the other removes: the removal stands.
  r = merge({b, a, c}, {b, c});
  EXPECT_EQ(r.list, (List{b, c}));
  EXPECT_EQ(r.conflicts, 0);
  // Different anonymous additions at one place conflict; equal ones are one.
  r = merge({a, {"x", "30"}, b, c}, {a, {"x", "60"}, b, c});
  EXPECT_EQ(r.list, (List{a, {"x", "30"}, {"x", "60"}, b, c}));
  EXPECT_EQ(r.conflicts, 1);
  r = merge({a, {"x", "30"}, b, c}, {a, {"x", "30"}, b, c});
  EXPECT_EQ(r.list, (List{a, {"x", "30"}, b, c}));
  EXPECT_EQ(r.conflicts, 0);
}

}  // namespace
}  // namespace vext
