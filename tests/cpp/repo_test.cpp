#include <gtest/gtest.h>

#include <random>

#include "common/fatal.h"
#include "repo/repo.h"

namespace vext {

struct RepoTestAccess {
  static void plant_section(Repo& repo, SectionHash hash, const Section& section) {
    const NodeId root = repo.store_.intern_section(section);
    repo.sections_.insert_or_assign(hash, root);
    repo.section_hashes_.insert_or_assign(root, hash);
  }
  static void plant_commit(Repo& repo, CommitId id, Commit commit) {
    const bool known = repo.commits_.contains(id);
    const auto stored = repo.commits_.insert_or_assign(id, std::move(commit)).first;
    if (!known) {
      repo.index_.reserve_one();
      repo.index_.insert(id, &stored->second);
    }
  }
};

namespace {

Repo fixed_clock_repo(std::uint64_t seconds = 0) {
  return Repo([seconds] { return seconds; });
}

TreeNode doc(std::string text = "") {
  TreeNode n("doc");
  n.text = std::move(text);
  return n;
}

TreeNode with_children(std::vector<std::pair<std::string, std::string>> items) {
  TreeNode root("doc");
  for (auto& [id, text] : items) {
    TreeNode& c = root.children.emplace_back("p");
    c.identity = id;
    c.text = text;
  }
  return root;
}

TEST(RepoHashTest, PinnedFigures) {
  EXPECT_EQ(section_hash(Section{}), 14695981039346656037ULL);
  const Section s = to_section(doc());
  std::string input;
  append_section_hash_input(input, s);
  EXPECT_EQ(input.size(), 69u);
  EXPECT_EQ(fnv1a(input), 0xe644401aa7f6dab1ULL);
  EXPECT_EQ(section_hash(s), 0xe644401aa7f6dab1ULL);

  Repo repo = fixed_clock_repo(0);
  const std::vector<CommitId> none;
  auto id = repo.commit("init", none, doc());
  ASSERT_TRUE(id.ok());
  EXPECT_EQ(*id, 0x0fec95574dcfa6c7ULL);
  EXPECT_EQ(repo.head(), *id);
}

TEST(RepoStoreTest, EqualContentIsStoredOnceAndTimeChangesIds) {
  std::uint64_t now = 10;
  Repo repo([&] { return now; });
  const std::vector<CommitId> none;
  auto a = repo.commit("m", none, doc("x"));
  auto b = repo.commit("m", none, doc("x"));
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(repo.commit_count(), 1u);
  now = 11;
  auto c = repo.commit("m", none, doc("x"));
  EXPECT_NE(*a, *c);
  EXPECT_EQ(repo.section_count(), 1u);
  const std::vector<CommitId> ab{*a, *c}, ba{*c, *a};
  EXPECT_NE(*repo.commit("m", ab, doc()), *repo.commit("m", ba, doc()));
}

TEST(RepoStoreTest, RefusesADifferentSectionUnderAnOccupiedHash) {
  Repo repo = fixed_clock_repo();
  const Section s = to_section(doc("mine"));
  RepoTestAccess::plant_section(repo, section_hash(s), to_section(doc("impostor")));
  auto stored = repo.store_section(s);
  ASSERT_FALSE(stored.ok());
  EXPECT_EQ(stored.error(), (Collision{Collision::Kind::Section, section_hash(s)}));
  const std::vector<CommitId> none;
  auto id = repo.commit("m", none, doc("mine"));
  ASSERT_FALSE(id.ok());
  EXPECT_EQ(repo.commit_count(), 0u);
  EXPECT_FALSE(repo.head());
  EXPECT_NE(to_text(id.error()).find("section hash 0x"), std::string::npos);
}

TEST(RepoStoreTest, RefusesADifferentCommitUnderAnOccupiedId) {
  Repo repo = fixed_clock_repo();
  const std::vector<CommitId> none;
  const Section s = to_section(doc());
  const Commit real{.parents = {}, .message = "init", .section_hash = section_hash(s), .timestamp = 0};
  RepoTestAccess::plant_commit(repo, commit_id(real), Commit{.parents = {1}, .message = "other", .section_hash = 0, .timestamp = 5});
  auto id = repo.commit("init", none, doc());
  ASSERT_FALSE(id.ok());
  EXPECT_EQ(id.error().kind, Collision::Kind::Commit);
  EXPECT_TRUE(repo.section_count() == 0);
  EXPECT_EQ(repo.commits().at(commit_id(real)).message, "other");
}

TEST(RepoReadTest, UnknownIdsAreFatalAndEmptyRebuildsGiveTheEmptyNode) {
  Repo repo = fixed_clock_repo();
  EXPECT_THROW((void)repo.tree(42), Fatal);
  EXPECT_THROW((void)repo.diff(1, 2), Fatal);
  EXPECT_EQ(repo.section_as_tree(7), TreeNode(std::string()));
  EXPECT_TRUE(repo.log().empty());
  const std::vector<CommitId> none;
  auto root = repo.commit("r", none, doc());
  auto hash = repo.revert(*root, *root);
  ASSERT_TRUE(hash.ok());
  EXPECT_EQ(*hash, 14695981039346656037ULL);
  EXPECT_EQ(repo.section_as_tree(*hash), TreeNode(std::string()));
}

TEST(RepoLogTest, DepthFirstLastParentFirstEachOnce) {
  Repo repo = fixed_clock_repo();
  const std::vector<CommitId> none;
  CommitId r = *repo.commit("R", none, doc("r"));
  CommitId a = *repo.commit("A", std::vector<CommitId>{r}, doc("a"));
  CommitId b = *repo.commit("B", std::vector<CommitId>{r}, doc("b"));
  CommitId m = *repo.commit("M", std::vector<CommitId>{a, b}, doc("m"));
  std::vector<CommitId> order;
  for (auto& [id, commit] : repo.log()) order.push_back(id);
  EXPECT_EQ(order, (std::vector<CommitId>{m, b, r, a}));
  CommitId orphan = *repo.commit("O", std::vector<CommitId>{999}, doc("o"));
  ASSERT_EQ(repo.log().size(), 1u);
  EXPECT_EQ(repo.log()[0].first, orphan);
}

TEST(MergeBaseTest, DocumentedCases) {
  Repo repo = fixed_clock_repo();
  const std::vector<CommitId> none;
  auto c = [&](const char* m, std::vector<CommitId> parents) { return *repo.commit(m, parents, doc(m)); };
  CommitId r = c("R", {}), c1 = c("C1", {r}), c2 = c("C2", {c1});
  EXPECT_EQ(repo.merge_base(c1, c2), r);
  EXPECT_EQ(repo.merge_base(c2, c1), r);
  EXPECT_EQ(repo.merge_base(r, c1), r);
  EXPECT_EQ(repo.merge_base(c1, r), r);
  EXPECT_EQ(repo.merge_base(77, 77), 77u);
  CommitId x1 = c("X1", {r}), x2 = c("X2", {x1}), y1 = c("Y1", {r});
  EXPECT_EQ(repo.merge_base(x2, y1), r);
  CommitId a1 = c("A1", {r}), b1 = c("B1", {r}), m1 = c("M1", {a1, b1}), m2 = c("M2", {b1, a1});
  EXPECT_EQ(repo.merge_base(m1, m2), r);
  CommitId r2 = c("R2", {});
  EXPECT_EQ(repo.merge_base(r, r2), r);
}

// Random histories, including unknown parents and links that form cycles,
// must give the same base by the shortcut and by the literal computation.
TEST(MergeBaseTest, ShortcutAgreesWithTheLiteralComputation) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    Repo repo = fixed_clock_repo();
    std::vector<CommitId> ids;
    const int n = 2 + static_cast<int>(rng() % 25);
    // Every sixth round has a single root and no unknown parents, so that
    // the planted cycle below leaves no commit of height 0.
    const bool closed = round % 6 == 0;
    for (int i = 0; i < n; ++i) {
      std::vector<CommitId> parents;
      const int k = ids.empty() ? 0 : static_cast<int>(rng() % 4) + (closed ? 1 : 0);
      for (int j = 0; j < k; ++j)
        parents.push_back(!closed && rng() % 8 == 0 ? rng() % 5 : ids[rng() % ids.size()]);
      ids.push_back(*repo.commit(std::to_string(i), parents, doc(std::to_string(i))));
    }
    // Plant a cycle now and then: an early commit pointing at a later one.
    if (round % 3 == 0) {
      Commit early = repo.commits().at(ids[0]);
      early.parents.push_back(ids.back());
      RepoTestAccess::plant_commit(repo, ids[0], early);
    }
    for (int q = 0; q < 30; ++q) {
      CommitId a = ids[rng() % ids.size()], b = ids[rng() % ids.size()];
      ASSERT_EQ(repo.merge_base(a, b), repo.merge_base_by_heights(a, b)) << "round " << round;
    }
  }
}

TEST(HistoryTest, MergeCherryPickAndRevert) {
  Repo repo = fixed_clock_repo();
  const std::vector<CommitId> none;
  CommitId a = *repo.commit("A", none, with_children({{"1", "one"}, {"2", "two"}}));
  CommitId b = *repo.commit("B", std::vector<CommitId>{a}, with_children({{"1", "uno"}, {"2", "two"}}));
  CommitId c = *repo.commit("C", std::vector<CommitId>{a}, with_children({{"1", "one"}, {"2", "dos"}}));
  const auto head = repo.head();

  auto merged = repo.merge(b, c);
  ASSERT_TRUE(merged.ok());
  EXPECT_EQ(merged->base, a);
  EXPECT_TRUE(merged->conflicts.empty());
  EXPECT_EQ(repo.section_as_tree(merged->merged_hash), with_children({{"1", "uno"}, {"2", "dos"}}));
  EXPECT_EQ(repo.merge(b, c)->merged_hash, merged->merged_hash);
  auto self = repo.merge(b, b);
  EXPECT_EQ(self->base, b);
  EXPECT_EQ(self->merged_hash, repo.commits().at(b).section_hash);

  EXPECT_EQ(*repo.cherry_pick(b, a), repo.commits().at(b).section_hash);
  auto clash = repo.cherry_pick(b, b);
  ASSERT_FALSE(clash.ok());
  const auto& error = std::get<ApplyError>(clash.error());
  EXPECT_EQ(error.location, (Path{"doc", "1"}));
  EXPECT_EQ(*repo.revert(b, b), repo.commits().at(a).section_hash);
  auto gone = repo.revert(a, c);  // c no longer holds a's value at doc/2
  ASSERT_FALSE(gone.ok());
  EXPECT_EQ(std::get<ApplyError>(gone.error()).location, (Path{"doc", "2"}));
  EXPECT_EQ(repo.head(), head);
  EXPECT_EQ(repo.commit_count(), 3u);
}

TEST(HistoryTest, LongHistoriesStayLinear) {
  Repo repo = fixed_clock_repo();
  std::vector<CommitId> ids{*repo.commit("0", std::vector<CommitId>{}, doc("0"))};
  for (int i = 1; i < 100'000; ++i) {
    std::vector<CommitId> parents{ids.back()};
    if (i % 50 == 0) parents.push_back(ids[ids.size() - 30]);
    ids.push_back(*repo.commit(std::to_string(i), parents, doc(std::to_string(i % 7))));
  }
  EXPECT_EQ(repo.log().size(), ids.size());
  EXPECT_EQ(repo.merge_base(ids.back(), ids[ids.size() - 2]), ids.front());
  EXPECT_TRUE(repo.merge(ids.back(), ids[50'000]).ok());
}

}  // namespace
}  // namespace vext
