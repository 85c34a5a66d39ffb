#include <gtest/gtest.h>

#include <new>
#include <random>
#include <string>
#include <vector>

#include "patch/merge.h"
#include "patch/patch.h"
#include "repo/repo.h"
#include "repo_access.h"
#include "repo/store.h"

namespace vext {
namespace {

std::string numbered(const char* prefix, std::size_t n) {
  std::string s(prefix);
  s += std::to_string(n);
  return s;
}

Value val(std::string kind, std::uint64_t order, std::string text = "") {
  return Value{.kind = std::move(kind), .label = "", .text = std::move(text), .attrs = {}, .order = order};
}

// A document with one wide list, so that child lists span many leaves, and a
// few nested entries. About change_percent of the items are changed and half
// as many removed; with changes come a few added items, an entry without a
// parent and now and then an entry at the empty path.
Section wide_section(std::size_t width, std::mt19937_64& rng, unsigned change_percent) {
  std::vector<std::pair<Path, Value>> entries{{{"doc"}, val("doc", 0)}, {{"doc", "list"}, val("list", 0)}};
  for (std::size_t i = 0; i < width; ++i) {
    if (rng() % 100 < change_percent / 2) continue;  // removed
    const std::string text = rng() % 100 < change_percent ? numbered("changed", rng() % 1000) : "";
    entries.push_back({{"doc", "list", numbered("c", i)}, val("item", i, text)});
    if (i % 97 == 0) entries.push_back({{"doc", "list", numbered("c", i), "deep"}, val("deep", 0, text)});
  }
  if (change_percent == 0) return Section::from_entries(std::move(entries));
  for (std::size_t k = rng() % 3; k > 0; --k) {
    entries.push_back({{"doc", "list", numbered("added", rng() % 50)}, val("item", rng() % 5)});
  }
  if (rng() % 4 == 0) entries.push_back({{"doc", "orphan", "x"}, val("x", 0)});  // no parent entry
  if (rng() % 8 == 0) entries.push_back({{}, val("empty-path", 0)});
  return Section::from_entries(std::move(entries));
}

std::optional<TreeNode> as_optional(TreeNode node) {
  if (node == TreeNode(std::string())) return std::nullopt;
  return node;
}

// Every walk over stored sections gives what the flat-form functions give,
// and results that are built from shared pieces intern to the same numbers
// as the same contents interned from scratch.
TEST(NodeStoreTest, AgreesWithTheFlatFormOnWideLists) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 12; ++round) {
    NodeStore store;
    // The first round is wide enough for lists three levels above the leaves.
    const std::size_t width = round == 0 ? 40'000 : 300 + rng() % 2500;
    std::mt19937_64 base_rng(round);
    const Section base = wide_section(width, base_rng, 0);
    std::vector<Section> sides;
    for (unsigned change : {2u, 5u, 0u}) sides.push_back(wide_section(width, rng, change));
    const Section& ours = sides[0];
    const Section& theirs = sides[1];
    const NodeId b = store.intern_section(base);
    const NodeId o = store.intern_section(ours);
    const NodeId t = store.intern_section(theirs);
    EXPECT_EQ(store.intern_section(base), b);
    EXPECT_EQ(store.intern_section(sides[2]), b);
    for (const auto& [section, root] : {std::pair{&base, b}, {&ours, o}, {&theirs, t}}) {
      EXPECT_EQ(store.to_section(root), *section);
      EXPECT_EQ(store.hash(root), section_hash(*section));
      EXPECT_EQ(as_optional(store.to_tree(root)), to_tree(*section));
    }
    EXPECT_EQ(store.diff(o, t), diff_sections(ours, theirs));
    EXPECT_TRUE(store.diff(o, o).empty());

    const SectionMergeResult expected = merge_sections(base, ours, theirs);
    const NodeStore::Merged merged = store.merge(b, o, t);
    EXPECT_EQ(store.to_section(merged.root), expected.merged);
    EXPECT_EQ(merged.root, store.intern_section(expected.merged));
    EXPECT_EQ(merged.conflicts, expected.conflicts);

    for (const auto& [from, to, onto] : {std::tuple{b, o, t}, {o, b, t}, {b, t, o}, {t, b, b}}) {
      const Section from_s = store.to_section(from), to_s = store.to_section(to), onto_s = store.to_section(onto);
      const ApplyResult want = apply_to_section(diff_sections(from_s, to_s), onto_s);
      const NodeStore::Mark before = store.mark();
      auto got = store.transplant(from, to, onto);
      if (want.ok()) {
        ASSERT_TRUE(std::holds_alternative<NodeId>(got));
        EXPECT_EQ(store.to_section(std::get<NodeId>(got)), want.value());
        EXPECT_EQ(std::get<NodeId>(got), store.intern_section(want.value()));
      } else {
        ASSERT_TRUE(std::holds_alternative<ApplyError>(got));
        EXPECT_EQ(std::get<ApplyError>(got), want.error());
        EXPECT_EQ(store.node_count(), before.nodes);
        EXPECT_EQ(store.list_count(), before.lists);
      }
    }
  }
}

TEST(NodeStoreTest, ACommitOfFewChangesAddsFewRecords) {
  std::mt19937_64 rng(3);
  NodeStore store;
  TreeNode root("doc");
  for (int i = 0; i < 20'000; ++i) {
    TreeNode& c = root.children.emplace_back("p");
    c.identity = numbered("p", i);
    c.text.assign(1, 'x');
  }
  (void)store.intern_tree(root);
  const std::size_t nodes = store.node_count(), lists = store.list_count(), values = store.value_count();
  for (int k = 0; k < 10; ++k) root.children[rng() % root.children.size()].text = numbered("y", k);
  (void)store.intern_tree(root);
  // Ten changed children, their parent, the document's own path; the leaves
  // they sit in, a list above each of those and the whole list.
  EXPECT_LE(store.node_count() - nodes, 13u);
  EXPECT_LE(store.list_count() - lists, 21u);
  EXPECT_EQ(store.value_count() - values, 10u);
}

TEST(NodeStoreTest, RollbackForgetsWhatWasInterned) {
  NodeStore store;
  const Section one = Section::from_entries({{{"doc"}, val("doc", 0, "one")}});
  const NodeId first = store.intern_section(one);
  const NodeStore::Mark mark = store.mark();
  const NodeId dropped = store.intern_section(Section::from_entries({{{"doc"}, val("doc", 0, "two")}}));
  store.rollback(mark);
  EXPECT_EQ(store.node_count(), mark.nodes);
  EXPECT_EQ(store.value_count(), mark.values);
  EXPECT_EQ(store.intern_section(one), first);
  // A different content that gets the dropped number is not mistaken for the old one.
  const NodeId other = store.intern_section(Section::from_entries({{{"doc"}, val("doc", 0, "three")}}));
  EXPECT_EQ(other, dropped);
  EXPECT_EQ(store.to_section(other), Section::from_entries({{{"doc"}, val("doc", 0, "three")}}));
  EXPECT_NE(store.intern_section(Section::from_entries({{{"doc"}, val("doc", 0, "two")}})), other);
}

struct Counts {
  std::size_t values, nodes, lists, sections, commits;
  std::optional<CommitId> head;
  friend bool operator==(const Counts&, const Counts&) = default;
};

Counts counts(const Repo& repo) {
  return {repo.store().value_count(), repo.store().node_count(), repo.store().list_count(), repo.section_count(),
          repo.commit_count(), repo.head()};
}

TreeNode doc(const std::string& text) {
  TreeNode n("doc");
  n.text = text;
  return n;
}

TEST(RepoFailureTest, ARefusedOrFailedCommitLeavesTheRepositoryAsItWas) {
  bool fail_clock = false;
  Repo repo([&]() -> std::uint64_t {
    if (fail_clock) throw std::bad_alloc();
    return 5;
  });
  const CommitId root = *repo.commit("root", std::vector<CommitId>{}, doc("root"));
  const Counts before = counts(repo);

  // The clock is read after the section is filed: a failure there must
  // take the section back out.
  fail_clock = true;
  EXPECT_THROW((void)repo.commit("m", std::vector<CommitId>{root}, doc("new")), std::bad_alloc);
  fail_clock = false;
  EXPECT_EQ(counts(repo), before);

  const Section colliding = to_section(doc("collides"));
  RepoTestAccess::plant_section(repo, section_hash(colliding), to_section(doc("impostor")));
  const Counts planted = counts(repo);
  EXPECT_FALSE(repo.commit("m", std::vector<CommitId>{root}, doc("collides")).ok());
  EXPECT_EQ(counts(repo), planted);

  const CommitId next = *repo.commit("m", std::vector<CommitId>{root}, doc("new"));
  EXPECT_EQ(repo.tree(next), doc("new"));
  EXPECT_EQ(repo.commits().at(next).section_hash, section_hash(to_section(doc("new"))));

  const Counts settled = counts(repo);
  EXPECT_FALSE(repo.cherry_pick(next, next).ok());
  EXPECT_EQ(counts(repo), settled);
}

}  // namespace
}  // namespace vext
