#include <gtest/gtest.h>

#include "builders.h"
#include "fail_alloc.h"

#include "tree/diff.h"
#include "tree/tree.h"

namespace vext {
namespace {

using testing::node;

TreeNode chain(std::size_t depth) {
  TreeNode root("n");
  TreeNode* cur = &root;
  for (std::size_t i = 1; i < depth; ++i) cur = &cur->children.emplace_back("n");
  return root;
}

TEST(TreeNodeTest, EqualityDistinguishesFieldsAndOrder) {
  EXPECT_NE(node("a"), node("a", ""));
  EXPECT_NE(node("a", std::nullopt, "", {{"x", "1"}, {"y", "2"}}),
            node("a", std::nullopt, "", {{"y", "2"}, {"x", "1"}}));
  auto deep = [](std::string t) { return node("r", {}, "", {}, {node("c", {}, "", {}, {node("g", {}, t)})}); };
  EXPECT_NE(deep("x"), deep("y"));
  EXPECT_EQ(deep("x"), deep("x"));
}

TEST(TreeNodeTest, WithChildAppendsAfterTheLastChild) {
  TreeNode r = with_child(with_child(node("r"), node("c", "1")), node("c", "1"));
  ASSERT_EQ(r.children.size(), 2u);
  EXPECT_EQ(r.children[0], r.children[1]);
  r = with_child(std::move(r), node("d"));
  EXPECT_EQ(r.children.back(), node("d"));
}

// Every node once, parents first, in either sibling order; the fuzz decoder
// and the pinned corpus pick nodes by their place in this list.
TEST(TreeNodeTest, AllNodesListsParentsFirstInEitherSiblingOrder) {
  TreeNode r = node("r", {}, "", {}, {node("a", {}, "", {}, {node("a1"), node("a2")}), node("b"), chain(3)});
  auto kinds = [](const std::vector<TreeNode*>& nodes) {
    std::string out;
    for (const TreeNode* n : nodes) out += n->kind;
    return out;
  };
  EXPECT_EQ(kinds(all_nodes(r)), "raa1a2bnnn");
  EXPECT_EQ(kinds(all_nodes(r, SiblingOrder::Reversed)), "rnnnbaa2a1");
  EXPECT_EQ(all_nodes(r)[0], &r);
  EXPECT_EQ(all_nodes(r.children[1]).size(), 1U);
  // The nodes come back writable, as the callers that edit them need.
  for (TreeNode* n : all_nodes(r)) n->text = "x";
  EXPECT_EQ(r.children[2].children[0].children[0].text, "x");
}

TEST(TreeNodeTest, CopiesAreIndependent) {
  TreeNode r = node("r", {}, "", {}, {node("c"), node("c")});
  TreeNode copy = r;
  EXPECT_EQ(copy, r);
  copy.children[1].text = "changed";
  EXPECT_EQ(r.children[1].text, "");
  EXPECT_NE(copy, r);
}

TEST(TreeNodeTest, DeepChainsCopyCompareAndDestroy) {
  TreeNode a = chain(1'000'000);
  TreeNode b = a;
  EXPECT_EQ(a, b);
  TreeNode* leaf = &b;
  while (!leaf->children.empty()) leaf = &leaf->children[0];
  leaf->text = "x";
  EXPECT_NE(a, b);
  EXPECT_EQ(tree_diff(a, b).changes.size(), 1u);
  a = std::move(a.children[0]);  // moving a sub-tree into its own ancestor
  EXPECT_EQ(a.kind, "n");
}

TEST(TreeNodeTest, DeepTreesAreFreedWhenMemoryRunsOut) {
  // A chain whose nodes also carry leaves; the teardown's own work list
  // cannot grow at once, or after a few steps.
  for (long k : {0, 1, 3, 8}) {
    TreeNode root("n");
    TreeNode* cur = &root;
    for (std::size_t i = 0; i < 200'000; ++i) {
      if (i % 3 == 0) cur->children.emplace_back("leaf");
      cur = &cur->children.emplace_back("n");
    }
    std::optional<TreeNode> doomed(std::move(root));
    vext_fail_allocation(k);
    doomed.reset();
    EXPECT_TRUE(vext_allocation_failed());
    vext_fail_allocation(-1);
  }
}

TEST(MatchKeyTest, ComparesAsTheJoinedString) {
  TreeNode plain = node("a#b");
  TreeNode ided = node("a", "b");
  EXPECT_TRUE(keys_equal(KeyView(plain), KeyView(ided)));
  EXPECT_EQ(match_key(ided), "a#b");
  EXPECT_LT(compare_keys(KeyView(node("a")), KeyView(node("a", ""))), 0);
  EXPECT_GT(compare_keys(KeyView(node("a", "\xff")), KeyView(node("a#b"))), 0);
  EXPECT_TRUE(key_equals(KeyView(ided), "a#b"));
  EXPECT_FALSE(key_equals(KeyView(ided), "a#c"));
}

TEST(AttrDiffsTest, AddedAndChangedThenRemovedByName) {
  auto d = attr_diffs({{"b", "1"}, {"a", "1"}, {"c", "1"}}, {{"c", "2"}, {"d", "1"}});
  std::vector<AttrChange> want{{"c", "1", "2"}, {"d", "", "1"}, {"a", "1", ""}, {"b", "1", ""}};
  EXPECT_EQ(d, want);
  EXPECT_TRUE(attr_diffs({{"k", "1"}, {"k", "2"}}, {{"k", "2"}}).empty());
}

TEST(TreeDiffTest, RootsReportTheirOwnDifferences) {
  EXPECT_TRUE(tree_diff(node("r"), node("r")).changes.empty());
  TreeDiff diff = tree_diff(node("r", {}, "a"), node("r", {}, "b"));
  auto d = diff.changes;
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].kind, ChangeKind::Modified);
  EXPECT_EQ(d[0].path, 0u);
  EXPECT_EQ(d[0].text_change, TextChange("a", "b"));
  diff = tree_diff(node("r", "r", "", {{"x", "1"}}), node("r", "r", "", {{"x", "2"}}));
  d = diff.changes;
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].id, "r");
  EXPECT_EQ(d[0].attr_changes, (std::vector<AttrChange>{{"x", "1", "2"}}));
  EXPECT_FALSE(d[0].text_change);
  TreeNode labelled = node("r");
  labelled.label = "L";
  EXPECT_TRUE(tree_diff(node("r"), labelled).changes.empty());
}

TEST(TreeDiffTest, AnonymousChangesAreChargedToTheIdentifiedAncestor) {
  TreeDiff diff = tree_diff(node("r", {}, "", {}, {node("p", "p", "", {}, {node("x", {}, "1")})}),
                     node("r", {}, "", {}, {node("p", "p", "", {}, {node("x", {}, "2")})}));
  auto d = diff.changes;
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].id, "p");
  EXPECT_EQ(diff.path_of(d[0]), (KeyPath{"p#p"}));
  EXPECT_TRUE(d[0].attr_changes.empty());
  EXPECT_FALSE(d[0].text_change);

  // Under an anonymous root, the identified grandchild's change wins.
  diff = tree_diff(node("r", {}, "", {}, {node("x", {}, "1"), node("s", {}, "", {}, {node("g", "1", "a")})}),
                node("r", {}, "", {}, {node("x", {}, "2"), node("s", {}, "", {}, {node("g", "1", "b")})}));
  d = diff.changes;
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(diff.path_of(d[0]), (KeyPath{"s", "g#1"}));

  // An anonymous sub-tree removed with nothing else: the root is reported.
  diff = tree_diff(node("r", {}, "", {}, {node("x")}), node("r"));
  d = diff.changes;
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].elem_type, "r");
}

TEST(TreeDiffTest, AddedSubtreesReportEveryIdentifiedNodeParentFirst) {
  TreeNode added = node("a", "1", "", {}, {node("b", "2", "", {}, {node("c", "3")})});
  TreeDiff diff = tree_diff(node("r"), node("r", {}, "", {}, {added}));
  auto d = diff.changes;
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(diff.path_of(d[0]), (KeyPath{"a#1"}));
  EXPECT_EQ(diff.path_of(d[1]), (KeyPath{"a#1", "b#2"}));
  EXPECT_EQ(diff.path_of(d[2]), (KeyPath{"a#1", "b#2", "c#3"}));
  for (const auto& c : d) EXPECT_EQ(c.kind, ChangeKind::Added);
}

TEST(TreeDiffTest, PairsSiblingsByKeyInOrderOfOccurrence) {
  EXPECT_TRUE(tree_diff(node("r", {}, "", {}, {node("p", "1"), node("p", "2")}),
                        node("r", {}, "", {}, {node("p", "2"), node("p", "1")}))
                  .changes.empty());
  TreeDiff diff = tree_diff(node("r", "r", "", {}, {node("p", {}, "x"), node("p", {}, "y")}),
                     node("r", "r", "", {}, {node("p", {}, "y"), node("p", {}, "x")}));
  auto d = diff.changes;
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].id, "r");
  diff = tree_diff(node("r", {}, "", {}, {node("q", "2"), node("p", "1")}), node("r"));
  d = diff.changes;
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(diff.path_of(d[0]), (KeyPath{"p#1"}));
  EXPECT_EQ(diff.path_of(d[1]), (KeyPath{"q#2"}));
  EXPECT_EQ(d[1].kind, ChangeKind::Removed);
}

TEST(TreeDiffTest, WorkedCase) {
  TreeNode old_tree = node("root", {}, "", {}, {node("section", "intro", "a"), node("p", {}, "x")});
  TreeNode new_tree =
      node("root", {}, "", {}, {node("p", {}, "y"), node("section", "intro", "b"), node("note", "tip")});
  TreeDiff diff = tree_diff(old_tree, new_tree);
  auto d = diff.changes;
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].kind, ChangeKind::Modified);
  EXPECT_EQ(diff.path_of(d[0]), (KeyPath{"section#intro"}));
  EXPECT_EQ(d[0].text_change, TextChange("a", "b"));
  EXPECT_EQ(d[1].kind, ChangeKind::Added);
  EXPECT_EQ(diff.path_of(d[1]), (KeyPath{"note#tip"}));
}

TEST(TreeDiffTest, ModifiedComesAfterTheChangesBelowIt) {
  TreeNode o = node("r", {}, "", {}, {node("a", "1", "t", {}, {node("b", "2", "x")})});
  TreeNode n = node("r", {}, "", {}, {node("a", "1", "u", {}, {node("b", "2", "y"), node("c", "3")})});
  TreeDiff diff = tree_diff(o, n);
  auto d = diff.changes;
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(diff.path_of(d[0]), (KeyPath{"a#1", "b#2"}));
  EXPECT_EQ(diff.path_of(d[1]), (KeyPath{"a#1", "c#3"}));
  EXPECT_EQ(diff.path_of(d[2]), (KeyPath{"a#1"}));
}

}  // namespace
}  // namespace vext
