#include <gtest/gtest.h>

#include "builders.h"

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "tree/merge.h"

namespace vext {
namespace {

using testing::node;

TreeNode doc(std::vector<TreeNode> children) { return node("doc", {}, "", {}, std::move(children)); }

std::vector<std::string> keys(const TreeNode& n) {
  std::vector<std::string> out;
  for (const TreeNode& c : n.children) out.push_back(match_key(c));
  return out;
}

using Keys = std::vector<std::string>;

// A conflict with its path spelled out.
struct Conflict {
  KeyPath path = {};
  std::string attribute = {};
  std::string base = {};
  std::string ours = {};
  std::string theirs = {};
  ConflictKind conflict_kind = ConflictKind::Attribute;
  friend bool operator==(const Conflict&, const Conflict&) = default;
};

std::vector<Conflict> spelled(const TreeMergeResult& r) {
  std::vector<Conflict> out;
  for (const TreeConflict& c : r.conflicts)
    out.push_back({r.path_of(c), c.attribute, c.base, c.ours, c.theirs, c.conflict_kind});
  return out;
}

TEST(TreeMergeTest, WorkedCase) {
  TreeNode base = doc({node("A", "1", "", {{"x", "a"}}), node("B", "2", "t")});
  TreeNode ours = doc({node("A", "1", "", {{"x", "b"}})});
  TreeNode theirs = doc({node("A", "1", "", {{"x", "c"}}), node("B", "2", "t"), node("C", "3")});
  auto r = tree_merge(base, ours, theirs);
  EXPECT_EQ(r.merged, doc({node("A", "1", "", {{"x", "b"}}), node("C", "3"), node("B", "2", "t")}));
  ASSERT_EQ(r.conflicts.size(), 1u);
  EXPECT_EQ(spelled(r)[0], (Conflict{.path = {"A#1"}, .attribute = "x", .base = "a", .ours = "b",
                                          .theirs = "c", .conflict_kind = ConflictKind::Attribute}));
}

TEST(TreeMergeTest, UnchangedSideGivesTheOtherUnlessOursRemoved) {
  TreeNode base = doc({node("a", "1"), node("b", "2", "t"), node("c", "3")});
  auto r = tree_merge(base, base, base);
  EXPECT_EQ(r.merged, base);
  EXPECT_TRUE(r.conflicts.empty());
  TreeNode ours = doc({node("c", "3"), node("a", "1", "u"), node("b", "2", "t"), node("d", "4")});
  EXPECT_EQ(tree_merge(base, ours, base).merged, ours);
  // Removed by ours only: back from base, last; by theirs only: kept; by both: gone.
  EXPECT_EQ(keys(tree_merge(base, doc({node("b", "2", "t"), node("c", "3")}), base).merged),
            (Keys{"b#2", "c#3", "a#1"}));
  EXPECT_EQ(tree_merge(base, base, doc({node("c", "3")})).merged, base);
  EXPECT_EQ(keys(tree_merge(base, doc({node("c", "3")}), doc({node("b", "2", "t")})).merged),
            (Keys{"c#3", "b#2"}));
}

TEST(TreeMergeTest, ChildrenComeAsOursThenTheirsAddedThenRestored) {
  TreeNode base = doc({node("p", "1", "", {}, {node("a", "1"), node("b", "2")})});
  TreeNode ours = doc({node("p", "1", "", {}, {node("b", "2"), node("o", "1")})});
  TreeNode theirs = doc({node("p", "1", "", {}, {node("a", "1"), node("b", "2"), node("t", "2"), node("t", "1")})});
  auto r = tree_merge(base, ours, theirs);
  EXPECT_EQ(keys(r.merged.children[0]), (Keys{"b#2", "o#1", "t#2", "t#1", "a#1"}));
  EXPECT_TRUE(r.conflicts.empty());
}

TEST(TreeMergeTest, OursWinsWhereBothChangedTheSameThing) {
  TreeNode base = doc({node("n", "1", "t", {{"x", "0"}, {"y", "0"}, {"z", "0"}, {"x", "9"}})});
  TreeNode ours = doc({node("n", "1", "o", {{"x", "1"}, {"y", "0"}, {"z", "0"}}), node("q", "1", "ours")});
  TreeNode theirs = doc({node("n", "1", "h", {{"x", "2"}, {"y", "5"}, {"w", "6"}}), node("q", "1", "theirs")});
  auto r = tree_merge(base, ours, theirs);
  // y takes theirs' value in place, w is appended, z (removed by theirs) stays empty.
  EXPECT_EQ(r.merged, doc({node("n", "1", "o", {{"x", "1"}, {"y", "5"}, {"z", ""}, {"w", "6"}}),
                           node("q", "1", "ours")}));
  ASSERT_EQ(r.conflicts.size(), 3u);  // x, the text and q#1
  EXPECT_EQ(spelled(r)[1], (Conflict{.path = {"n#1"}, .base = "t", .ours = "o", .theirs = "h",
                                          .conflict_kind = ConflictKind::Text}));
  EXPECT_EQ(spelled(r)[2], (Conflict{.path = {"q#1"}, .ours = "q#1", .theirs = "q#1",
                                          .conflict_kind = ConflictKind::AddAdd}));
  // A carried-over change rewrites the first of two pairs with one name.
  r = tree_merge(base, base, doc({node("n", "1", "t", {{"x", "0"}, {"y", "0"}, {"z", "0"}, {"x", "3"}})}));
  EXPECT_EQ(r.merged.children[0].attributes, (Attributes{{"x", "3"}, {"y", "0"}, {"z", "0"}, {"x", "9"}}));
}

TEST(TreeMergeTest, EachTheirsChangeIsKeyedByItsOwnPath) {
  // Theirs' attribute change on b follows a text change on a; ours changed the
  // same attribute of b, so ours' value must stay.
  TreeNode base = doc({node("s", "a", "t"), node("s", "b", "", {{"level", "1"}})});
  TreeNode ours = doc({node("s", "a", "t"), node("s", "b", "", {{"level", "2"}})});
  TreeNode theirs = doc({node("s", "a", "u"), node("s", "b", "", {{"level", "3"}})});
  auto r = tree_merge(base, ours, theirs);
  EXPECT_EQ(r.merged, doc({node("s", "a", "u"), node("s", "b", "", {{"level", "2"}})}));
  EXPECT_EQ(r.conflicts.size(), 1u);
}

TEST(TreeMergeTest, OnlyWhatTheDiffReportsTravels) {
  TreeNode base = node("r", {}, "t", {}, {node("a", "1"), node("b", "2", "", {}, {node("m", "1")}), node("c")});
  // Reordering, an anonymous root text, an identified change elsewhere.
  TreeNode theirs = node("r", {}, "u", {}, {node("c"), node("b", "2", "", {}, {node("m", "1", "z")}), node("a", "1")});
  EXPECT_EQ(tree_merge(base, base, theirs).merged,
            node("r", {}, "t", {}, {node("a", "1"), node("b", "2", "", {}, {node("m", "1", "z")}), node("c")}));
  // A move or a new identity puts the node at both places.
  theirs = node("r", {}, "t", {}, {node("a", "9"), node("b", "2", "", {}, {node("a", "1")}), node("c")});
  auto r = tree_merge(base, base, theirs);
  EXPECT_EQ(keys(r.merged), (Keys{"a#1", "b#2", "c", "a#9"}));
  EXPECT_EQ(keys(r.merged.children[1]), (Keys{"m#1", "a#1"}));
}

TEST(TreeMergeTest, TheirsChangesUnderANodeOnlyOursRemovedAreLost) {
  TreeNode base = doc({node("a", "1", "t", {}, {node("k", "1")}), node("z", "1")});
  TreeNode theirs = doc({node("a", "1", "new", {}, {node("k", "1"), node("k", "2")}), node("z", "1")});
  auto r = tree_merge(base, doc({node("z", "1")}), theirs);
  EXPECT_EQ(r.merged, doc({node("z", "1"), node("a", "1", "t", {}, {node("k", "1")})}));
  ASSERT_EQ(r.conflicts.size(), 1u);
  EXPECT_EQ(spelled(r)[0], (Conflict{.path = {"a#1"}, .base = "a#1", .ours = "deleted",
                                          .theirs = "text=new", .conflict_kind = ConflictKind::ModifyDelete}));
}

TEST(PathOpsTest, ResolveTheFirstChildWithEachKey) {
  TreeNode t = doc({node("p", {}, "1", {}, {node("q")}), node("p", {}, "2"), node("s", "x")});
  EXPECT_EQ(find_node_by_path(t, {}), &t);
  EXPECT_EQ(find_node_by_path(t, {"p"}), &t.children[0]);
  EXPECT_EQ(find_node_by_path(t, {"p", "q"}), &t.children[0].children[0]);
  EXPECT_EQ(find_node_by_path(t, {"s#x"}), &t.children[2]);
  EXPECT_EQ(find_node_by_path(t, {"s"}), nullptr);
  EXPECT_EQ(find_node_by_path(t, {"p", "r"}), nullptr);
  const TreeNode before = t;
  apply_text(t, {"nope"}, "z");
  apply_attr(t, {"p", "r"}, "k", "v");
  insert_node(t, {}, node("new"));
  insert_node(t, {"nope", "new"}, node("new"));
  insert_node(t, {"p", "q"}, node("q", {}, "replacement"));
  EXPECT_EQ(t, before);
  apply_text(t, {"p"}, "z");
  apply_attr(t, {}, "k", "v");
  insert_node(t, {"p", "w"}, node("anything"));
  TreeNode want = doc({node("p", {}, "z", {}, {node("q"), node("anything")}), node("p", {}, "2"), node("s", "x")});
  want.attributes = {{"k", "v"}};
  EXPECT_EQ(t, want);
}

TEST(PathFormsTest, JoinAndSplitWithoutEscaping) {
  EXPECT_EQ(path_text({}), "");
  EXPECT_EQ(path_text({"a#1", "b/c", ""}), "a#1/b/c/");
  EXPECT_EQ(attr_key({}, "x"), "#x");
  EXPECT_EQ(attr_key({"n"}, "b#c"), "n#b#c");
  EXPECT_EQ(split_attr_key("n#b#c"), std::pair(std::string_view("n#b"), std::string_view("c")));
  EXPECT_EQ(split_attr_key("plain"), std::pair(std::string_view(), std::string_view("plain")));
  EXPECT_EQ(parse_path_text(""), KeyPath{});
  EXPECT_EQ(parse_path_text("a//b"), (KeyPath{"a", "", "b"}));
  EXPECT_EQ(parse_path_text("a/"), (KeyPath{"a", ""}));
  EXPECT_EQ(describe_node(node("item", "7")), "item#7");
  TreeNode labelled = node("item", "7");
  labelled.label = "Seven";
  EXPECT_EQ(describe_node(labelled), "Seven");
}

TEST(DetectConflictsTest, AttributeAndTextConflictsNeedDifferentNewValues) {
  auto conflicts = [](TreeNode base, TreeNode ours, TreeNode theirs) {
    return spelled(tree_merge(base, ours, theirs));
  };
  TreeNode base = node("r", {}, "t", {{"x", "a"}, {"y", "a"}, {"b#c", "a"}});
  EXPECT_TRUE(conflicts(base, node("r", {}, "t", {{"x", "b"}, {"y", "a"}, {"b#c", "a"}}),
                        node("r", {}, "t", {{"x", "b"}, {"y", "a"}, {"b#c", "a"}})).empty());
  auto c = conflicts(base, node("r", {}, "t", {{"y", "a"}, {"b#c", "a"}}),
                     node("r", {}, "t", {{"x", "c"}, {"y", "a"}, {"b#c", "a"}}));
  ASSERT_EQ(c.size(), 1u);  // a root attribute: key "#x", empty path
  EXPECT_EQ(c[0], (Conflict{.path = {}, .attribute = "x", .base = "a", .ours = "", .theirs = "c"}));
  c = conflicts(base, node("r", {}, "o", {{"x", "1"}, {"y", "1"}, {"b#c", "1"}}),
                node("r", {}, "h", {{"x", "2"}, {"y", "2"}, {"b#c", "2"}}));
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(c[3].conflict_kind, ConflictKind::Text);
  // In the order of ours' attribute changes; "#b#c" splits at its last "#".
  std::vector<std::pair<KeyPath, std::string>> places;
  for (int i = 0; i < 3; ++i) places.emplace_back(c[i].path, c[i].attribute);
  EXPECT_EQ(places, (std::vector<std::pair<KeyPath, std::string>>{{{"#b"}, "c"}, {{}, "x"}, {{}, "y"}}));
}

TEST(DetectConflictsTest, AddAddComparesWholeSubtreesPerAddedChange) {
  TreeNode base = doc({});
  TreeNode sub = node("s", "1", "", {}, {node("x", {}, "deep")});
  EXPECT_TRUE(tree_merge(base, doc({sub}), doc({sub})).conflicts.empty());
  TreeNode other = sub;
  other.children[0].text = "other";
  other.label = "Other";
  auto c = spelled(tree_merge(base, doc({sub}), doc({other})));
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0], (Conflict{.path = {"s#1"}, .ours = "s#1", .theirs = "Other",
                                .conflict_kind = ConflictKind::AddAdd}));
  // theirs reports s#1 twice: two conflicts.
  EXPECT_EQ(tree_merge(base, doc({sub}), doc({other, other})).conflicts.size(), 2u);
  // Both added below the second of two "p": neither lookup reaches it.
  base = doc({node("p"), node("p")});
  EXPECT_TRUE(tree_merge(base, doc({node("p"), node("p", {}, "", {}, {sub})}),
                         doc({node("p"), node("p", {}, "", {}, {other})})).conflicts.empty());
}

TEST(DetectConflictsTest, ModifyDeleteSummarisesTheModifyingSide) {
  TreeNode base = doc({node("a", "1", "old", {{"x", "1"}}, {node("b", "2"), node("anon")})});
  TreeNode ours = doc({node("a", "1", "new", {{"x", "2"}}, {node("b", "2", "changed"), node("anon")})});
  auto c = spelled(tree_merge(base, ours, doc({})));
  ASSERT_EQ(c.size(), 2u);  // a#1 and, through the removed ancestor, a#1/b#2
  // In the order of ours' changes: b#2 reports before its parent.
  EXPECT_EQ(c[1], (Conflict{.path = {"a#1"}, .base = "a#1", .ours = "x=2, text=new", .theirs = "deleted",
                            .conflict_kind = ConflictKind::ModifyDelete}));
  EXPECT_EQ(c[0].path, (KeyPath{"a#1", "b#2"}));
  EXPECT_EQ(c[0].ours, "text=changed");
  // theirs changed only an anonymous descendant.
  TreeNode theirs = doc({node("a", "1", "old", {{"x", "1"}}, {node("b", "2"), node("anon", {}, "t")})});
  c = spelled(tree_merge(base, doc({}), theirs));
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].ours, "deleted");
  EXPECT_EQ(c[0].theirs, "modified");
  const TreeDiff diff = tree_diff(base, ours);
  KeyPathTable paths;
  EXPECT_EQ(mk_modify_delete(diff, base, "a#1/b#2", true, paths).ours, "text=changed");
  const TreeConflict md = mk_modify_delete(diff, base, "a#1/b", true, paths);
  EXPECT_EQ(paths.expand(md.path), (KeyPath{"a#1", "b"}));
  EXPECT_EQ(md, (TreeConflict{.path = md.path, .ours = "modified", .theirs = "deleted",
                              .conflict_kind = ConflictKind::ModifyDelete}));
}

TEST(DetectConflictsTest, SeparatorsInsideKeysSplitWhenParsedBack) {
  TreeNode base = doc({node("a/b", "1", "t")});
  auto c = spelled(tree_merge(base, doc({node("a/b", "1", "u")}), doc({})));
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].path, (KeyPath{"a", "b#1"}));
  EXPECT_EQ(c[0].base, "");  // the parsed path leads nowhere in base
}

// Builds a chain of `depth` anonymous "n" nodes and returns its last node.
TreeNode* chain(TreeNode& root, std::size_t depth, const std::string& kind = "n") {
  TreeNode* cur = &root;
  for (std::size_t i = 0; i < depth; ++i) cur = &cur->children.emplace_back(kind);
  return cur;
}

TEST(MergeScaleTest, HundredThousandLevelChain) {
  constexpr std::size_t kDepth = 100'000;
  TreeNode base("r");
  chain(base, kDepth)->children.push_back(node("L", "1", "t", {{"x", "a"}}, {node("G", "1", "g")}));
  TreeNode ours = base;
  TreeNode theirs = base;
  KeyPath leaf(kDepth, "n");
  leaf.push_back("L#1");
  TreeNode* l = find_node_by_path(ours, leaf);
  ASSERT_NE(l, nullptr);
  l->attributes[0].second = "b";
  l->children.clear();
  l = find_node_by_path(theirs, leaf);
  l->text = "u";
  l->children[0].text = "h";
  l->children.push_back(node("N", "1"));
  chain(l->children.back(), kDepth);

  auto r = tree_merge(base, ours, theirs);
  ASSERT_EQ(r.conflicts.size(), 1u);
  EXPECT_EQ(spelled(r)[0].path.size(), kDepth + 2);
  EXPECT_EQ(spelled(r)[0].base, "G#1");
  EXPECT_EQ(spelled(r)[0].theirs, "text=h");
  const TreeNode* m = find_node_by_path(r.merged, leaf);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->text, "u");
  EXPECT_EQ(m->attributes, (Attributes{{"x", "b"}}));
  ASSERT_EQ(m->children.size(), 2u);
  EXPECT_EQ(m->children[0], l->children[1]);
  EXPECT_EQ(m->children[1], node("G", "1", "g"));
}

// 100,000 siblings and about 1,000 changes; the run time is the figure to watch.
TEST(MergeScaleTest, HundredThousandSiblingsThousandChanges) {
  constexpr int kWidth = 100'000;
  TreeNode base("r");
  for (int i = 0; i < kWidth; ++i) base.children.push_back(node("item", std::to_string(i), "t", {{"v", "0"}}));
  TreeNode ours = base;
  TreeNode theirs = base;
  std::set<std::string> removed;
  for (int i = 0; i < kWidth; i += 400) {
    ours.children[i].attributes[0].second = "1";
    theirs.children[i + 100].text = "u";
    if (i % 4000 == 0) theirs.children[i].attributes[0].second = "2";
    removed.insert(std::to_string(i + 200));
    theirs.children.push_back(node("new", std::to_string(i)));
  }
  std::erase_if(ours.children, [&](const TreeNode& n) { return removed.contains(*n.identity); });

  auto r = tree_merge(base, ours, theirs);
  EXPECT_EQ(r.conflicts.size(), 25u);
  ASSERT_EQ(r.merged.children.size(), static_cast<std::size_t>(kWidth + 250));
  const auto& c = r.merged.children;
  EXPECT_EQ(c[0].attributes[0].second, "1");
  EXPECT_EQ(c[100].text, "u");
  EXPECT_EQ(match_key(c[kWidth - 250]), "new#0");
  std::set<std::string> restored;
  for (std::size_t i = kWidth; i < c.size(); ++i) restored.insert(*c[i].identity);
  EXPECT_EQ(restored, removed);
}

TEST(MergeScaleTest, PathologicalButValidInputs) {
  // Many siblings with one key: every change lands on the first of them.
  TreeNode base("r");
  for (int i = 0; i < 5000; ++i) base.children.push_back(node("s", "x", "t"));
  TreeNode theirs = base;
  for (int i = 0; i < 5000; ++i) theirs.children[i].text = std::to_string(i);
  TreeNode ours = base;
  ours.children.resize(2000);
  auto r = tree_merge(base, ours, theirs);
  ASSERT_EQ(r.conflicts.size(), 1u);
  EXPECT_EQ(spelled(r)[0].theirs, "text=0");
  ASSERT_EQ(r.merged.children.size(), 2000u);  // a sibling keeps the key, so nothing is restored
  EXPECT_EQ(r.merged.children[0].text, "4999");
  EXPECT_EQ(r.merged.children[1].text, "t");

  // 20,000 modify/delete conflicts.
  base = TreeNode("r");
  for (int i = 0; i < 20'000; ++i) base.children.push_back(node("m", std::to_string(i), "t"));
  ours = base;
  for (TreeNode& n : ours.children) n.text = "u";
  r = tree_merge(base, ours, TreeNode("r"));
  EXPECT_EQ(r.conflicts.size(), 20'000u);
  EXPECT_EQ(r.merged, ours);

  // A 10,000-element path of kinds with "/" and attribute names with "#".
  base = TreeNode("r");
  TreeNode& leaf = chain(base, 9'999, "a/b")->children.emplace_back("leaf");
  leaf.identity = "1";
  for (int i = 0; i < 100; ++i) leaf.attributes.emplace_back("k#" + std::to_string(i), "0");
  ours = base;
  theirs = base;
  KeyPath path(9'999, "a/b");
  path.push_back("leaf#1");
  for (auto& a : find_node_by_path(ours, path)->attributes) a.second = "1";
  for (auto& a : find_node_by_path(theirs, path)->attributes) a.second = "2";
  r = tree_merge(base, ours, theirs);
  ASSERT_EQ(r.conflicts.size(), 100u);
  EXPECT_EQ(spelled(r)[0].path.size(), 2 * 9'999u + 1);
  EXPECT_EQ(spelled(r)[0].path.back(), "leaf#1#k");
  EXPECT_EQ(find_node_by_path(r.merged, path)->attributes, find_node_by_path(ours, path)->attributes);
}

// Two chains of identified nodes whose every text and attribute differs on
// both sides: one Text and one Attribute conflict per node, with paths that
// share their prefixes.
TEST(MergeScaleTest, HundredThousandLevelChainEveryNodeChanged) {
  constexpr int kDepth = 100'000;
  auto make = [](const std::string& value) {
    TreeNode root("r");
    TreeNode* cur = &root;
    for (int i = 0; i < kDepth; ++i) {
      cur = &cur->children.emplace_back("c");
      cur->identity = std::to_string(i % 10);
      cur->text = value;
      cur->attributes = {{"x", value}};
    }
    return root;
  };
  const TreeNode base = make("b");
  const TreeNode ours = make("o");
  const TreeNode theirs = make("t");
  EXPECT_EQ(tree_diff(base, ours).changes.size(), static_cast<std::size_t>(kDepth));
  auto r = tree_merge(base, ours, theirs);
  ASSERT_EQ(r.conflicts.size(), 2u * kDepth);
  EXPECT_LE(r.paths.size(), kDepth + 1u);
  // Ours' changes come deepest first, and so do the conflicts of each kind.
  EXPECT_EQ(r.conflicts[0].conflict_kind, ConflictKind::Attribute);
  EXPECT_EQ(r.paths[r.conflicts[0].path].depth, static_cast<std::uint32_t>(kDepth));
  EXPECT_EQ(r.path_of(r.conflicts[kDepth - 1]), (KeyPath{"c#0"}));
  EXPECT_EQ(r.conflicts[kDepth].conflict_kind, ConflictKind::Text);
  EXPECT_EQ(r.merged, ours);
}

// The merge read literally: path texts and attribute keys built as strings,
// every lookup a scan from the root. The indexed merge must agree with it.
namespace literal {

template <class Node>
Node* scan(Node& root, const KeyPath& path) {
  Node* node = &root;
  for (const std::string& key : path) {
    auto it = std::find_if(node->children.begin(), node->children.end(),
                           [&](const TreeNode& c) { return match_key(c) == key; });
    if (it == node->children.end()) return nullptr;
    node = &*it;
  }
  return node;
}

void insert(TreeNode& root, const KeyPath& path, const TreeNode& node) {
  if (path.empty()) return;
  TreeNode* parent = scan(root, KeyPath(path.begin(), path.end() - 1));
  if (parent == nullptr || scan(*parent, KeyPath{path.back()}) != nullptr) return;
  parent->children.push_back(node);
}

std::string summary(const TreeDiff& diff, const std::string& text) {
  for (const TreeChange& c : diff.changes) {
    if (c.kind != ChangeKind::Modified || path_text(diff.path_of(c)) != text) continue;
    std::string out;
    for (const AttrChange& a : c.attr_changes) out += (out.empty() ? "" : ", ") + a.name + "=" + a.new_value;
    if (c.text_change) out += (out.empty() ? "" : ", ") + std::string("text=") + c.text_change->second;
    return out.empty() ? "modified" : out;
  }
  return "modified";
}

struct Side {
  std::vector<std::string> attr_order, text_order, modified_order;
  std::map<std::string, AttrChange> attrs;
  std::map<std::string, TextChange> texts;
  std::set<std::string> added, removed, modified;

  explicit Side(const TreeDiff& diff) {
    for (const TreeChange& c : diff.changes) {
      const std::string text = path_text(diff.path_of(c));
      if (c.kind == ChangeKind::Added) added.insert(text);
      if (c.kind == ChangeKind::Removed) removed.insert(text);
      if (c.kind != ChangeKind::Modified) continue;
      if (modified.insert(text).second) modified_order.push_back(text);
      if (c.text_change && !texts.contains(text)) text_order.push_back(text);
      if (c.text_change) texts[text] = *c.text_change;
      for (const AttrChange& a : c.attr_changes) {
        const std::string key = text + "#" + a.name;
        if (!attrs.contains(key)) attr_order.push_back(key);
        attrs[key] = a;
      }
    }
  }
};

std::pair<TreeNode, std::vector<Conflict>> merge(const TreeNode& base, const TreeNode& ours,
                                                 const TreeNode& theirs) {
  const TreeDiff od = tree_diff(base, ours);
  const TreeDiff td = tree_diff(base, theirs);
  const Side o(od);
  const Side t(td);
  std::vector<Conflict> conflicts;
  for (const std::string& key : o.attr_order) {
    auto it = t.attrs.find(key);
    const AttrChange& a = o.attrs.at(key);
    if (it == t.attrs.end() || it->second.new_value == a.new_value) continue;
    const auto [text, name] = split_attr_key(key);
    conflicts.push_back({parse_path_text(text), std::string(name), a.old_value, a.new_value,
                         it->second.new_value, ConflictKind::Attribute});
  }
  for (const std::string& text : o.text_order) {
    auto it = t.texts.find(text);
    const TextChange& mine = o.texts.at(text);
    if (it == t.texts.end() || it->second.second == mine.second) continue;
    conflicts.push_back(
        {parse_path_text(text), "", mine.first, mine.second, it->second.second, ConflictKind::Text});
  }
  for (const TreeChange& c : td.changes) {
    const KeyPath path = td.path_of(c);
    if (c.kind != ChangeKind::Added || !o.added.contains(path_text(path))) continue;
    const TreeNode* a = scan(ours, path);
    const TreeNode* b = scan(theirs, path);
    if ((!a && !b) || (a && b && *a == *b)) continue;
    conflicts.push_back(
        {path, "", "", a ? describe_node(*a) : "", b ? describe_node(*b) : "", ConflictKind::AddAdd});
  }
  auto modify_delete = [&](const std::string& text, std::string ours_side, std::string theirs_side) {
    const TreeNode* n = scan(base, parse_path_text(text));
    conflicts.push_back({parse_path_text(text), "", n ? describe_node(*n) : "", std::move(ours_side),
                         std::move(theirs_side), ConflictKind::ModifyDelete});
  };
  for (const std::string& text : o.modified_order)
    if (t.removed.contains(text)) modify_delete(text, summary(od, text), "deleted");
  for (const std::string& text : t.modified_order)
    if (o.removed.contains(text)) modify_delete(text, "deleted", summary(td, text));

  TreeNode merged = ours;
  for (const TreeChange& c : td.changes) {
    if (c.kind != ChangeKind::Modified) continue;
    const KeyPath path = td.path_of(c);
    for (const AttrChange& a : c.attr_changes)
      if (!o.attrs.contains(attr_key(path, a.name))) apply_attr(merged, path, a.name, a.new_value);
    if (c.text_change && !o.texts.contains(path_text(path))) apply_text(merged, path, c.text_change->second);
  }
  for (const TreeChange& c : td.changes) {
    const KeyPath path = td.path_of(c);
    if (c.kind != ChangeKind::Added || o.added.contains(path_text(path))) continue;
    if (const TreeNode* n = scan(theirs, path)) insert(merged, path, *n);
  }
  for (const TreeChange& c : od.changes) {
    const KeyPath path = od.path_of(c);
    if (c.kind != ChangeKind::Removed || t.removed.contains(path_text(path))) continue;
    if (const TreeNode* n = scan(base, path)) insert(merged, path, *n);
  }
  return {std::move(merged), std::move(conflicts)};
}

}  // namespace literal

// Random trees over a tiny alphabet, so keys repeat among siblings and "/"
// and "#" inside kinds, identities and attribute names make different paths
// share one text.
class TreeMaker {
 public:
  explicit TreeMaker(unsigned seed) : rng_(seed) {}

  TreeNode tree() {
    TreeNode root = leaf();
    std::vector<std::pair<TreeNode*, int>> open{{&root, 0}};
    while (!open.empty()) {
      auto [n, depth] = open.back();
      open.pop_back();
      const int fan = depth == 0 && pick(3) == 0 ? 20 + pick(30) : depth < 4 ? pick(5) : 0;
      for (int i = 0; i < fan; ++i) n->children.push_back(leaf());
      for (TreeNode& c : n->children) open.emplace_back(&c, depth + 1);
    }
    return root;
  }

  TreeNode edited(const TreeNode& tree) {
    TreeNode out = tree;
    for (int i = pick(8); i > 0; --i) {
      std::vector<TreeNode*> all{&out};
      for (std::size_t k = 0; k < all.size(); ++k)
        for (TreeNode& c : all[k]->children) all.push_back(&c);
      // Half the edits go to the first few nodes, so the two sides meet.
      TreeNode& n = *all[pick(pick(2) ? size(all) : std::min(3, size(all)))];
      switch (pick(7)) {
        case 0: n.text = word(); break;
        case 1: n.attributes.emplace_back(name(), word()); break;
        case 2:
          if (!n.attributes.empty()) n.attributes[pick(size(n.attributes))].second = word();
          break;
        case 3:
          if (!n.children.empty()) n.children.erase(n.children.begin() + pick(size(n.children)));
          break;
        case 4: n.children.push_back(leaf()); break;
        case 5: n.identity = pick(2) ? std::optional<std::string>(word()) : std::nullopt; break;
        case 6:
          if (!n.children.empty()) n.children.push_back(n.children[pick(size(n.children))]);
          break;
      }
    }
    return out;
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  template <class V>
  static int size(const V& v) {
    return static_cast<int>(v.size());
  }
  std::string word() {
    static const char* const words[] = {"a", "b", "a/b", "b#a", "", "#", "/", "a#b/a"};
    return words[pick(8)];
  }
  std::string name() {
    static const char* const names[] = {"x", "y", "x#y", "#", "b#x"};
    return names[pick(5)];
  }
  TreeNode leaf() {
    TreeNode n(word());
    if (pick(3) != 0) n.identity = word();
    n.text = word();
    for (int i = pick(3); i > 0; --i) n.attributes.emplace_back(name(), word());
    return n;
  }
  std::mt19937 rng_;
};

TEST(MergeDifferentialTest, AgreesWithTheLiteralScanOnGeneratedTrees) {
  TreeMaker make(20261209);
  int by_kind[4] = {};
  for (int round = 0; round < 3000; ++round) {
    const TreeNode base = make.tree();
    const TreeNode ours = make.edited(base);
    const TreeNode theirs = make.edited(round % 5 == 0 ? ours : base);
    const auto want = literal::merge(base, ours, theirs);
    const auto got = tree_merge(base, ours, theirs);
    ASSERT_EQ(got.merged, want.first) << "round " << round;
    ASSERT_EQ(spelled(got), want.second) << "round " << round;
    for (const Conflict& c : want.second) ++by_kind[static_cast<int>(c.conflict_kind)];
  }
  for (int count : by_kind) EXPECT_GT(count, 20);  // the generator reaches every kind
}

}  // namespace
}  // namespace vext
