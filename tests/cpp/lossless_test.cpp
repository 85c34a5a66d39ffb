#include "lossless/lossless.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "builders.h"
#include "lossless/index.h"

namespace vext {
namespace {

using testing::node;

TreeNode para(std::string text) { return node("p", std::nullopt, std::move(text)); }

TreeNode paragraphs(std::size_t n) {
  TreeNode doc("doc");
  for (std::size_t i = 0; i < n; ++i) doc.children.push_back(para("para " + std::to_string(i)));
  return doc;
}

TreeNode chain(std::size_t depth, const std::string& leaf_text) {
  TreeNode root("level");
  TreeNode* at = &root;
  for (std::size_t i = 1; i < depth; ++i) at = &at->children.emplace_back("level");
  at->text = leaf_text;
  return root;
}

// Checks that the diff is an edit script from `a` to `b`, and returns it.
std::vector<Change> checked_diff(const TreeNode& a, const TreeNode& b) {
  std::vector<Change> changes = located_diff(a, b);
  auto applied = apply_changes(a, changes);
  EXPECT_TRUE(applied.ok()) << (applied.ok() ? "" : applied.error().detail);
  if (applied.ok()) {
    EXPECT_TRUE(*applied == b);
  }
  return changes;
}

TEST(AlignTest, PairsALongestCommonSubsequence) {
  const std::vector<std::int64_t> got = align_sequences({1, 2, 3, 4, 5}, {2, 3, 9, 5});
  EXPECT_EQ(got, (std::vector<std::int64_t>{-1, 0, 1, -1, 3}));
  EXPECT_EQ(align_sequences({}, {1}), std::vector<std::int64_t>{});
  EXPECT_EQ(align_sequences({7, 7}, {}), (std::vector<std::int64_t>{-1, -1}));
}

TEST(AlignTest, EverySmallPairIsALongestCommonSubsequenceWithEvenGaps) {
  // Every pair of sequences of up to five items over three values, against
  // the textbook table of common subsequence lengths.
  std::vector<std::vector<std::uint64_t>> all{{}};
  for (std::size_t k = 0; k < all.size(); ++k) {
    if (all[k].size() == 5) continue;
    for (std::uint64_t v = 0; v < 3; ++v) {
      all.push_back(all[k]);
      all.back().push_back(v);
    }
  }
  for (const auto& a : all) {
    for (const auto& b : all) {
      std::vector<std::vector<std::size_t>> lcs(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
      for (std::size_t i = a.size(); i-- > 0;) {
        for (std::size_t j = b.size(); j-- > 0;) {
          lcs[i][j] = a[i] == b[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
        }
      }
      const auto got = align_sequences(a, b);
      std::size_t paired = 0;
      std::int64_t last = -1;
      for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i] < 0) continue;
        ASSERT_GT(got[i], last);
        ASSERT_EQ(a[i], b[static_cast<std::size_t>(got[i])]);
        last = got[i];
        ++paired;
      }
      ASSERT_EQ(paired, lcs[0][0]);
    }
  }
  // Two replacements beside an equal neighbour read as two replacements.
  EXPECT_EQ(align_sequences({1, 75, 75, 93, 2}, {1, 1075, 75, 1093, 2}), (std::vector<std::int64_t>{0, -1, 2, -1, 4}));
}

TEST(AlignTest, StaysNearLinearOnAHundredThousandItemsWithTenEdits) {
  std::vector<std::uint64_t> a(100'000), b;
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = i * 7919 + 13;
  b = a;
  for (std::size_t e = 0; e < 10; ++e) b[e * 9973 + 5] = 1'000'000'000 + e;
  const auto got = align_sequences(a, b);
  std::size_t paired = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i] >= 0) {
      ++paired;
      EXPECT_EQ(got[i], static_cast<std::int64_t>(i));
    }
  }
  EXPECT_EQ(paired, a.size() - 10);
}

TEST(AlignTest, AnchorsOnUniqueItemsWhenTheSequencesDifferWidely) {
  // Every other item differs, too many edits to search exhaustively. The
  // second time every item ends in the same low bits, which the table of
  // unique items checks before the whole fingerprint.
  for (const int shift : {0, 32}) {
    std::vector<std::uint64_t> a, b;
    for (std::uint64_t i = 0; i < 60'000; ++i) {
      a.push_back((i % 2 ? i : 1'000'000 + i) << shift);
      b.push_back((i % 2 ? i : 2'000'000 + i) << shift);
    }
    const auto got = align_sequences(a, b);
    for (std::size_t i = 1; i < got.size(); i += 2) EXPECT_EQ(got[i], static_cast<std::int64_t>(i));
  }
}

// Checks that `got` pairs equal items in increasing order; returns how many
// items that were not replaced it pairs with themselves.
std::size_t kept_in_place(const std::vector<std::int64_t>& got, const std::vector<std::uint64_t>& a,
                          const std::vector<std::uint64_t>& b, const std::vector<bool>& replaced) {
  std::size_t same = 0;
  std::int64_t last = -1;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i] < 0) continue;
    EXPECT_GT(got[i], last);
    EXPECT_EQ(a[i], b[static_cast<std::size_t>(got[i])]);
    last = got[i];
    same += got[i] == static_cast<std::int64_t>(i) && !replaced[i];
  }
  return same;
}

TEST(AlignTest, AnchorsOnUniqueRunsWhenNoItemIsUnique) {
  // A hundred thousand items of ten values, too many of them replaced to
  // search exhaustively, and not one item unique: runs of items anchor.
  std::vector<std::uint64_t> a(100'000);
  std::uint64_t x = 1;
  for (auto& v : a) v = (x = x * 6364136223846793005ULL + 1442695040888963407ULL) >> 60 & 7;
  std::vector<std::uint64_t> b = a;
  std::vector<bool> replaced(a.size());
  for (std::size_t e = 0; e < 3000; ++e) {
    const std::size_t at = e * 33 + 7;
    b[at] = 8 + e % 2;
    replaced[at] = true;
  }
  EXPECT_GE(kept_in_place(align_sequences(a, b), a, b, replaced), a.size() - 3000 - 50);
  // A list that repeats itself: no run of any length is unique, so it is
  // aligned window by window.
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = i % 50;
  b = a;
  for (std::size_t i = 0; i < a.size(); ++i) b[i] = replaced[i] ? 99 : a[i];
  EXPECT_GE(kept_in_place(align_sequences(a, b), a, b, replaced), a.size() - 3000 - 50);
}

TEST(LocatedDiffTest, OneEditedParagraphAmongManyIsOneChange) {
  const TreeNode a = paragraphs(50);
  TreeNode b = a;
  b.children[20].text = "rewritten";
  const auto changes = checked_diff(a, b);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(location_text(changes[0].location), "/p[21]");
  EXPECT_EQ(changes[0].field, Field::Text);
  EXPECT_EQ(changes[0].old_value, FieldValue(std::string("para 20")));
  EXPECT_EQ(changes[0].new_value, FieldValue(std::string("rewritten")));
}

TEST(LocatedDiffTest, DeletingTheFirstOfFiveSiblingsIsOneRemoval) {
  const TreeNode a = paragraphs(5);
  TreeNode b = a;
  b.children.erase(b.children.begin());
  const auto changes = checked_diff(a, b);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].op, ChangeOp::Remove);
  EXPECT_EQ(location_text(changes[0].location), "/p[1]");
  EXPECT_EQ(changes[0].old_value, FieldValue(para("para 0")));
}

TEST(LocatedDiffTest, ReorderingIdentifiedChildrenIsAMove) {
  const TreeNode a = node("doc", {}, "", {}, {node("s", "a"), node("s", "b"), node("s", "c"), node("s", "d")});
  TreeNode b = a;
  std::rotate(b.children.begin(), b.children.begin() + 3, b.children.end());  // d a b c
  const auto changes = checked_diff(a, b);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].op, ChangeOp::Move);
  EXPECT_EQ(location_text(changes[0].location), "/s[@id=\"d\"]");
  EXPECT_EQ(changes[0].new_value, FieldValue(std::uint64_t{0}));
}

TEST(LocatedDiffTest, IsAnEditScriptForEveryKindOfEdit) {
  const TreeNode a = node("doc", "r", "t", {{"x", "1"}, {"y", "2"}},
                          {node("s", "a", "", {}, {para("one"), para("two")}), node("s", "a"), para("three"),
                           node("k", std::nullopt, "", {{"d", "1"}, {"d", "2"}})});
  TreeNode b = node("book", std::nullopt, "t2", {{"y", "3"}, {"z", "4"}},
                    {node("s", "a"), para("new"), node("s", "a", "", {}, {para("two"), para("one!")}),
                     node("k", std::nullopt, "", {{"d", "2"}})});
  checked_diff(a, b);
  checked_diff(b, a);
  // Attribute order alone is a change of the whole list.
  const TreeNode c = node("n", std::nullopt, "", {{"a", "1"}, {"b", "2"}});
  const TreeNode d = node("n", std::nullopt, "", {{"b", "2"}, {"a", "1"}});
  const auto changes = checked_diff(c, d);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].field, Field::Attributes);
}

TEST(LocatedDiffTest, HandlesDeepChainsAndWideFans) {
  const TreeNode a = chain(300'000, "old");
  const TreeNode b = chain(300'000, "new");
  const auto changes = located_diff(a, b);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].location.size(), 299'999u);
  ASSERT_TRUE(apply_changes(a, changes).ok());

  // Every node changed: each location extends the one before it, sharing
  // its storage, so that the locations take memory linear in the depth.
  TreeNode x("n"), y("n");
  TreeNode* xs = &x;
  TreeNode* ys = &y;
  for (std::size_t i = 0; i < 100'000; ++i) {
    xs->text = "x" + std::to_string(i);
    ys->text = "y" + std::to_string(i);
    if (i + 1 < 100'000) xs = &xs->children.emplace_back("n"), ys = &ys->children.emplace_back("n");
  }
  const auto every = located_diff(x, y);
  ASSERT_EQ(every.size(), 100'000u);
  for (std::size_t k = 1; k < every.size(); ++k) {
    ASSERT_EQ(every[k].location.size(), k);
    ASSERT_EQ(every[k].location.parent().id(), every[k - 1].location.id());
  }
  const auto applied = apply_changes(x, every);
  ASSERT_TRUE(applied.ok());
  EXPECT_TRUE(applied.value() == y);
  const auto merged = three_way_merge(x, y, x);
  EXPECT_TRUE(merged.conflicts.empty());
  EXPECT_TRUE(merged.tree == y);
  TreeNode z = y;
  for (TreeNode* at = &z; at; at = at->children.empty() ? nullptr : &at->children[0]) at->text += "z";
  const auto both = three_way_merge(x, y, z);
  ASSERT_EQ(both.conflicts.size(), 100'000u);
  EXPECT_EQ(both.conflicts.back().location.parent().id(), both.conflicts[99'998].location.id());

  TreeNode wide = paragraphs(100'000);
  TreeNode edited = wide;
  for (std::size_t e = 0; e < 10; ++e) edited.children[e * 9000 + 7].text = "edit";
  EXPECT_EQ(checked_diff(wide, edited).size(), 10u);
}

// A node held as a field's value is a value: copies are deep and equal,
// changing one leaves the other, one moved from reads as an empty node, and
// one borrowed from a tree never changes that tree.
TEST(LocatedDiffTest, NodeValuesAreCopiedWholeAndSurviveBeingMovedFrom) {
  FieldValue a = chain(50, "leaf");
  FieldValue b = a;
  EXPECT_EQ(a, b);
  std::get<NodeValue>(b).get().children.clear();
  EXPECT_NE(a, b);
  EXPECT_EQ(std::get<NodeValue>(a).get(), chain(50, "leaf"));
  NodeValue moved = std::move(std::get<NodeValue>(a));
  EXPECT_EQ(std::get<NodeValue>(a).get(), TreeNode());
  EXPECT_EQ(moved.get(), chain(50, "leaf"));
  const NodeValue copy_of_moved = std::get<NodeValue>(a);
  EXPECT_EQ(copy_of_moved.get(), TreeNode());
  // A borrowed node is the node itself until it is changed or copied.
  const TreeNode doc = paragraphs(3);
  NodeValue borrowed = NodeValue::borrow(doc.children[1]);
  const NodeValue copied = borrowed;
  EXPECT_TRUE(borrowed.is(doc.children[1]));
  EXPECT_FALSE(copied.is(doc.children[1]));
  EXPECT_EQ(copied, borrowed);
  borrowed.get().text = "changed";
  EXPECT_FALSE(borrowed.is(doc.children[1]));
  EXPECT_EQ(doc.children[1].text, "para 1");
  EXPECT_EQ(copied.get().text, "para 1");
}

TEST(ApplyChangesTest, RefusesATreeTheScriptDoesNotFit) {
  const TreeNode a = paragraphs(3);
  TreeNode b = a;
  b.children[1].text = "x";
  b.children.pop_back();
  const auto changes = located_diff(a, b);
  TreeNode other = a;
  other.children[1].text = "changed meanwhile";
  const auto refused = apply_changes(other, changes);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().failure, ApplyFailure::Mismatch);
  EXPECT_EQ(refused.error().detail, "change 1 (update text at /p[2]): the old value differs");

  const auto missing = apply_changes(paragraphs(1), changes);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().failure, ApplyFailure::Missing);

  std::vector<Change> twice = changes;
  twice.push_back(changes.back());
  const auto clash = apply_changes(a, twice);
  ASSERT_FALSE(clash.ok());
  EXPECT_EQ(clash.error().failure, ApplyFailure::Clash);
}

TEST(ApplyChangesTest, RefusesWhatCannotApplyAsAWhole) {
  const TreeNode old_tree = node("doc", {}, "", {}, {node("p", "a", "1"), node("p", "b", "2")});
  TreeNode new_tree = old_tree;
  new_tree.children.push_back(node("p", "c", "3", {}, {para("inside")}));
  new_tree.children[0].text = "one";
  const std::vector<Change> diff = checked_diff(old_tree, new_tree);
  auto refused = [](const TreeNode& t, const std::vector<Change>& changes) {
    const auto r = apply_changes(t, changes);
    return r.ok() ? std::string("applied") : r.error().detail;
  };
  // Applied again, the diff would add p#c twice.
  const std::vector<Change> insertion{*std::find_if(diff.begin(), diff.end(),
                                                    [](const Change& c) { return c.op == ChangeOp::Insert; })};
  EXPECT_EQ(refused(new_tree, insertion), "change 0 (insert node at /p[@id=\"c\"]): the node is there already");
  // Changes inside a node that another change removes.
  const Change remove_b{.op = ChangeOp::Remove, .location = {{.kind = "p", .identity = "b"}}, .field = Field::Node,
                        .old_value = old_tree.children[1]};
  const Change update_b{.op = ChangeOp::Update, .location = remove_b.location, .field = Field::Text,
                        .old_value = std::string("2"), .new_value = std::string("two")};
  Change insert_into_b{.op = ChangeOp::Insert, .location = remove_b.location, .field = Field::Node,
                       .new_value = para("new"), .index = 0};
  insert_into_b.location.push_back({.kind = "p"});
  EXPECT_EQ(refused(old_tree, {update_b, remove_b}),
            "change 0 (update text at /p[@id=\"b\"]): another change removes the node");
  EXPECT_EQ(refused(old_tree, {remove_b, insert_into_b}),
            "change 1 (insert node at /p[@id=\"b\"]/p[1]): another change removes the node");
  // Removed and added again under one identity is a replacement.
  Change readd_b = insertion[0];
  readd_b.location = remove_b.location;
  readd_b.new_value = node("p", "b", "new");
  readd_b.index = 1;
  EXPECT_EQ(refused(old_tree, {remove_b, readd_b}), "applied");
  // Positions outside the list.
  for (std::size_t at : {3u, 4u, 1000u}) {
    Change far = insertion[0];
    far.index = at;
    EXPECT_FALSE(apply_changes(old_tree, {far}).ok()) << at;
  }
  // The changes of a diff apply as one: in any order, to the same tree.
  TreeNode wide = paragraphs(6);
  TreeNode changed = wide;
  std::swap(changed.children[0], changed.children[4]);
  changed.children.erase(changed.children.begin() + 2);
  changed.children[1].text = "x";
  changed.children.insert(changed.children.begin() + 3, node("q", "n"));
  std::vector<Change> shuffled = checked_diff(wide, changed);
  ASSERT_GE(shuffled.size(), 4u);
  std::reverse(shuffled.begin(), shuffled.end());
  std::rotate(shuffled.begin(), shuffled.begin() + 1, shuffled.end());
  const auto applied = apply_changes(wide, shuffled);
  ASSERT_TRUE(applied.ok());
  EXPECT_TRUE(*applied == changed);
}

TEST(ThreeWayMergeTest, OneSidedChangesComeThroughWhole) {
  const TreeNode base = node("doc", {}, "", {}, {node("s", "a", "1"), para("p"), node("s", "b", "2")});
  TreeNode x = base;
  x.children.erase(x.children.begin());
  x.children[0].attributes = {{"k", "v"}};
  x.children.push_back(para("added"));
  for (const auto& [o, t] : {std::pair{x, base}, std::pair{base, x}, std::pair{x, x}}) {
    const ThreeWayResult r = three_way_merge(base, o, t);
    EXPECT_TRUE(r.tree == x);
    EXPECT_TRUE(r.conflicts.empty());
  }
}

TEST(ThreeWayMergeTest, MergesFieldByFieldAndNamesConflicts) {
  const TreeNode base = node("doc", {}, "", {}, {node("item", "i", "t", {{"a", "1"}, {"b", "1"}})});
  TreeNode ours = base, theirs = base;
  ours.children[0].attributes = {{"a", "2"}, {"b", "1"}};
  theirs.children[0].attributes = {{"a", "3"}, {"b", "4"}};
  theirs.children[0].text = "theirs";
  const ThreeWayResult r = three_way_merge(base, ours, theirs);
  EXPECT_EQ(r.tree.children[0].text, "theirs");
  EXPECT_EQ(r.tree.children[0].attributes, (Attributes{{"a", "2"}, {"b", "4"}}));
  ASSERT_EQ(r.conflicts.size(), 1u);
  const Conflict& c = r.conflicts[0];
  EXPECT_EQ(location_text(c.location), "/item[@id=\"i\"]");
  EXPECT_EQ(c.field, Field::Attribute);
  EXPECT_EQ(c.name, "a");
  EXPECT_EQ(c.base, FieldValue(std::string("1")));
  EXPECT_EQ(c.ours, FieldValue(std::string("2")));
  EXPECT_EQ(c.theirs, FieldValue(std::string("3")));
}

TEST(ThreeWayMergeTest, KeepsEditsInsideAnonymousNodes) {
  const TreeNode base = paragraphs(4);
  TreeNode ours = base, theirs = base;
  ours.children[0].text = "ours";
  theirs.children[3].text = "theirs";
  const ThreeWayResult r = three_way_merge(base, ours, theirs);
  EXPECT_TRUE(r.conflicts.empty());
  EXPECT_EQ(r.tree.children[0].text, "ours");
  EXPECT_EQ(r.tree.children[3].text, "theirs");
}

TEST(ThreeWayMergeTest, RemovalAgainstAChangeIsAConflictThatKeepsTheChange) {
  const TreeNode base = node("doc", {}, "", {}, {node("s", "a", "1"), node("s", "b", "2"), node("s", "c", "3")});
  TreeNode ours = base, theirs = base;
  ours.children.erase(ours.children.begin());          // removes a, leaves b
  ours.children.erase(ours.children.begin());
  theirs.children[1].text = "changed";                  // changes b
  const ThreeWayResult r = three_way_merge(base, ours, theirs);
  ASSERT_EQ(r.tree.children.size(), 2u);
  EXPECT_EQ(r.tree.children[0].text, "changed");
  ASSERT_EQ(r.conflicts.size(), 1u);
  EXPECT_EQ(r.conflicts[0].field, Field::Node);
  EXPECT_EQ(location_text(r.conflicts[0].location), "/s[@id=\"b\"]");
  EXPECT_TRUE(std::holds_alternative<std::monostate>(r.conflicts[0].ours));
  EXPECT_EQ(r.conflicts[0].theirs, FieldValue(theirs.children[1]));
}

TEST(ThreeWayMergeTest, AdditionsFromBothSidesAreKept) {
  const TreeNode base = node("doc", {}, "", {}, {node("s", "a")});
  TreeNode ours = base, theirs = base;
  ours.children.push_back(node("s", "o"));
  ours.children.push_back(node("s", "same", "x"));
  theirs.children.push_back(node("s", "t"));
  theirs.children.push_back(node("s", "same", "y"));
  const ThreeWayResult r = three_way_merge(base, ours, theirs);
  ASSERT_EQ(r.tree.children.size(), 4u);
  EXPECT_EQ(r.tree.children[1].identity, "o");
  EXPECT_EQ(r.tree.children[2].text, "x");
  EXPECT_EQ(r.tree.children[3].identity, "t");
  ASSERT_EQ(r.conflicts.size(), 1u);
  EXPECT_EQ(location_text(r.conflicts[0].location), "/s[@id=\"same\"]");
  EXPECT_TRUE(std::holds_alternative<std::monostate>(r.conflicts[0].base));
}

// Under KindRule::Members, identified children pair by identity alone: a
// change of kind is one update of the node, merged whole.
TEST(ThreeWayMergeTest, UnderTheMembersRuleAChangeOfKindIsAnUpdateOfTheWholeNode) {
  const TreeNode base = node("object", {}, "", {}, {node("number", "port", "80"), node("boolean", "f", "true")});
  const StopCheck never;
  auto merge = [&](const TreeNode& ours, const TreeNode& theirs) {
    detail::Ticker ticker(never);
    const auto rule = detail::KindRule::Members;
    const detail::IndexedTree b(base, ticker, 0, false, rule), o(ours, ticker, 0, false, rule),
        t(theirs, ticker, 0, false, rule);
    return detail::three_way_merge(b, o, t, ticker).value();
  };
  TreeNode typed = base, valued = base, retyped = base, removed = base;
  typed.children[0] = node("string", "port", "80");
  valued.children[0].text = "8080";
  retyped.children[0] = node("boolean", "port", "true");
  removed.children.erase(removed.children.begin());
  for (const TreeNode* theirs : {&valued, &retyped, &removed}) {
    const ThreeWayResult r = merge(typed, *theirs);
    EXPECT_EQ(r.tree, typed);
    ASSERT_EQ(r.conflicts.size(), 1u);
    EXPECT_EQ(r.conflicts[0].field, Field::Node);
    EXPECT_EQ(location_text(r.conflicts[0].location), "/number[@id=\"port\"]");
  }
  TreeNode other = base;
  other.children[1].text = "false";
  TreeNode both = typed;
  both.children[1].text = "false";
  EXPECT_EQ(merge(typed, other).tree, both);
  EXPECT_TRUE(merge(typed, other).conflicts.empty());
  EXPECT_TRUE(merge(typed, typed).conflicts.empty());

  detail::Ticker ticker(never);
  const detail::IndexedTree x(base, ticker, 0, false, detail::KindRule::Members),
      y(typed, ticker, 0, false, detail::KindRule::Members);
  const std::vector<Change> changes = detail::located_diff(x, y, ticker).value();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].field, Field::Node);
  EXPECT_EQ(changes[0].op, ChangeOp::Update);
  EXPECT_EQ(changes[0].new_value, FieldValue(typed.children[0]));
  EXPECT_EQ(located_diff(base, typed).size(), 2u);  // strict: a removal and an insertion
}

TEST(ThreeWayMergeTest, OneReorderingAppliesAndTwoDifferentOnesConflict) {
  const TreeNode base = node("doc", {}, "", {}, {node("s", "a"), node("s", "b"), node("s", "c")});
  TreeNode ours = base, theirs = base;
  std::swap(theirs.children[0], theirs.children[2]);  // c b a
  theirs.children[1].text = "b!";
  ours.children[0].text = "a!";
  ThreeWayResult r = three_way_merge(base, ours, theirs);
  EXPECT_TRUE(r.conflicts.empty());
  EXPECT_TRUE(r.tree == node("doc", {}, "", {}, {node("s", "c"), node("s", "b", "b!"), node("s", "a", "a!")}));

  std::swap(ours.children[0], ours.children[1]);  // b a c
  r = three_way_merge(base, ours, theirs);
  ASSERT_EQ(r.conflicts.size(), 1u);
  EXPECT_EQ(r.conflicts[0].field, Field::Order);
  EXPECT_EQ(r.conflicts[0].ours, FieldValue(std::vector<std::string>{"s[@id=\"b\"]", "s[@id=\"a\"]", "s[@id=\"c\"]"}));
  EXPECT_EQ(r.tree.children[0].identity, "b");
}

TEST(ThreeWayMergeTest, SurvivesDeepChainsAndStopsWhenAsked) {
  const TreeNode base = chain(200'000, "b");
  const TreeNode ours = chain(200'000, "o");
  const ThreeWayResult r = three_way_merge(base, ours, base);
  EXPECT_TRUE(r.tree == ours);

  int polls = 0;
  const StopCheck stop{.poll = [](void* n) { return ++*static_cast<int*>(n) > 0; }, .context = &polls};
  const TreeNode wide = paragraphs(300'000);
  EXPECT_THROW((void)three_way_merge(wide, paragraphs(300'001), wide, stop), Stopped);
  EXPECT_GT(polls, 0);
}

// A stub stands for a sub-tree it carries the fingerprint of. Met beside
// anything but its equal, it cannot say what it stands for: the engine
// stops and asks for whole trees instead of answering from the stub.
TEST(StubTest, AStubMeetingAnythingButItsEqualAsksForWholeTrees) {
  TreeNode real = node("item", "k1", "body");
  real.children.push_back(para("inside"));
  const StopCheck no_stop;
  detail::Ticker ticker(no_stop);
  const detail::IndexedTree whole(real, ticker);
  TreeNode stub("item");
  stub.identity = "k1";
  stub.label = std::string(detail::kStubLabel);
  stub.text.assign(reinterpret_cast<const char*>(&whole[0].hash), sizeof whole[0].hash);

  TreeNode with_stub("doc"), with_real("doc"), changed("doc");
  with_stub.children.push_back(stub);
  with_real.children.push_back(real);
  changed.children.push_back(node("item", "k1", "other"));
  const detail::IndexedTree s(with_stub, ticker, 0, true), r(with_real, ticker, 0, true), c(changed, ticker, 0, true);
  // The stub's fingerprint is its sub-tree's, so its parent's is too.
  EXPECT_EQ(s[0].hash, r[0].hash);
  EXPECT_EQ(detail::same_subtree(s, 0, r, 0), detail::Sameness::Undecided);
  EXPECT_FALSE(detail::located_diff(s, c, ticker).ok());
  EXPECT_FALSE(detail::located_diff(s, r, ticker).ok());
  // Whichever side holds it; a side that only keeps what another holds
  // takes the stub as it is.
  EXPECT_FALSE(detail::three_way_merge(s, c, r, ticker).ok());
  EXPECT_FALSE(detail::three_way_merge(r, s, c, ticker).ok());
  EXPECT_FALSE(detail::three_way_merge(c, r, s, ticker).ok());
  EXPECT_EQ(detail::three_way_merge(r, r, s, ticker).value().tree, with_stub);
  // Beside its equal it is simply unchanged.
  EXPECT_EQ(detail::same_subtree(s, 0, s, 0), detail::Sameness::Same);
  EXPECT_TRUE(detail::located_diff(s, s, ticker).value().empty());
  const auto merged = detail::three_way_merge(s, s, s, ticker);
  ASSERT_TRUE(merged.ok());
  EXPECT_EQ(merged->tree, with_stub);
  // Without stubs, the same label is a label like any other.
  const detail::IndexedTree plain(with_stub, ticker), plain_real(with_real, ticker);
  EXPECT_EQ(detail::same_subtree(plain, 0, plain_real, 0), detail::Sameness::Different);
}

// A long child list's pairing is kept for the next caller, in both
// directions, and never handed to a pairing with another tree, even one
// built where a tree that is gone stood.
TEST(PairChildrenTest, KeptPairingsServeOnlyTheirOwnTrees) {
  const StopCheck no_stop;
  detail::Ticker ticker(no_stop);
  auto list = [](std::size_t n, std::size_t left_out) {
    TreeNode doc("doc");
    for (std::size_t i = 0; i < n; ++i) {
      if (i != left_out) doc.children.push_back(para(std::to_string(i)));
    }
    return doc;
  };
  const TreeNode a = list(5000, 5000), b = list(5000, 10);
  const detail::IndexedTree x(a, ticker);
  std::optional<detail::IndexedTree> y(std::in_place, b, ticker);
  const detail::ChildPairs first = detail::pair_children(x, 0, *y, 0);
  EXPECT_EQ(first.x_to_y[10], -1);
  EXPECT_EQ(first.x_to_y[11], 10);
  const detail::ChildPairs again = detail::pair_children(*y, 0, x, 0);
  EXPECT_EQ(again.x_to_y, first.y_to_x);
  EXPECT_EQ(again.y_to_x, first.x_to_y);
  const TreeNode c = list(5000, 20);
  y.reset();
  y.emplace(c, ticker);
  const detail::ChildPairs other = detail::pair_children(x, 0, *y, 0);
  EXPECT_EQ(other.x_to_y[10], 10);
  EXPECT_EQ(other.x_to_y[20], -1);
}

// An only child on each side, every pair of kinds, identities and contents
// under every rule, against the rules as written: by kind and identity, by
// identity alone for members, and any element with any below an XML root.
TEST(PairChildrenTest, OnlyChildrenPairByTheRulesOfEveryKindRule) {
  const StopCheck no_stop;
  detail::Ticker ticker(no_stop);
  std::vector<TreeNode> variants;
  for (const char* kind : {"p", "q", "#c"}) {
    for (const std::optional<std::string>& id : {std::optional<std::string>(), std::optional<std::string>(""),
                                                 std::optional<std::string>("a"), std::optional<std::string>("b")}) {
      for (const char* text : {"x", "y"}) variants.push_back(node(kind, id, text));
    }
  }
  for (const auto rule : {detail::KindRule::Strict, detail::KindRule::Members, detail::KindRule::RootElement}) {
    for (const TreeNode& a : variants) {
      for (const TreeNode& b : variants) {
        const TreeNode x_root = with_child(TreeNode("doc"), a), y_root = with_child(TreeNode("doc"), b);
        const detail::IndexedTree x(x_root, ticker, 0, false, rule), y(y_root, ticker, 0, false, rule);
        const bool elements = a.kind[0] != '#' && b.kind[0] != '#';
        bool expected;
        if (rule == detail::KindRule::RootElement && elements) {
          expected = true;
        } else if (a.identity.has_value() != b.identity.has_value()) {
          expected = false;
        } else if (a.identity && rule == detail::KindRule::Members) {
          expected = a.identity == b.identity;
        } else {
          expected = a.kind == b.kind && a.identity == b.identity;
        }
        const detail::ChildPairs pairs = detail::pair_children(x, 0, y, 0);
        EXPECT_EQ(pairs.x_to_y[0], expected ? 0 : -1) << match_key(a) << " " << match_key(b) << " " << a.text
                                                      << b.text << " rule " << static_cast<int>(rule);
        EXPECT_EQ(pairs.y_to_x[0], pairs.x_to_y[0]);
      }
    }
  }
}

// Under a memo, long sequences aligned again get the alignment they got the
// first time, and other sequences of the same lengths their own.
TEST(AlignTest, AMemoServesOnlyTheSequencesItAligned) {
  std::vector<std::uint64_t> a(50'000), b, c;
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = i % 97;
  b = a;
  c = a;
  b[100] = 1000;
  c.erase(c.begin() + 7);
  c.push_back(5);
  const auto plain_b = align_sequences(a, b), plain_c = align_sequences(a, c);
  const AlignmentMemo memo;
  EXPECT_EQ(align_sequences(a, b), plain_b);
  EXPECT_EQ(align_sequences(a, b), plain_b);
  EXPECT_EQ(align_sequences(a, c), plain_c);
  EXPECT_NE(plain_b, plain_c);
}

}  // namespace
}  // namespace vext
