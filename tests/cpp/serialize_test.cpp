#include "repo/serialize.h"

#include <gtest/gtest.h>

#include <string>

namespace vext {
namespace {

TreeNode item(int i, const std::string& text) {
  TreeNode n("item");
  n.identity = "i" + std::to_string(i);
  n.text = text;
  n.attributes = {{"n", std::to_string(i)}};
  return n;
}

// A document wide enough for its child list to span several leaves.
TreeNode wide_doc(int changed) {
  TreeNode root("doc");
  for (int i = 0; i < 700; ++i) root.children.push_back(item(i, i == changed ? "changed" : "t"));
  TreeNode deep("chain");
  TreeNode* at = &deep;
  for (int d = 0; d < 50; ++d) at = &at->children.emplace_back("link");
  root.children.push_back(std::move(deep));
  // Thousands of one-child lists, so that some child ends a list at every
  // level of cuts at once.
  TreeNode& groups = root.children.emplace_back("groups");
  for (int i = 0; i < 5000; ++i) {
    TreeNode& g = groups.children.emplace_back("g");
    g.identity = std::to_string(i);
    g.children.push_back(item(i, "t"));
  }
  return root;
}

// A history with branches, a merge commit, a stored merge result that no
// commit holds, an empty tree and an unknown parent.
void build_history(Repo& repo) {
  const CommitId a = *repo.commit("root", {}, wide_doc(-1));
  const CommitId b = *repo.commit("b", std::vector<CommitId>{a}, wide_doc(3));
  const CommitId c = *repo.commit("c", std::vector<CommitId>{a}, wide_doc(600));
  ASSERT_TRUE(repo.merge(b, c));
  (void)*repo.commit("m", std::vector<CommitId>{b, c}, wide_doc(300));
  (void)*repo.commit("", std::vector<CommitId>{12345}, TreeNode(""));
  (void)*repo.commit("last", std::vector<CommitId>{c}, wide_doc(5));
}

void expect_same(const Repo& x, const Repo& y) {
  EXPECT_EQ(x.head(), y.head());
  EXPECT_EQ(x.commits(), y.commits());
  EXPECT_EQ(x.section_count(), y.section_count());
  for (const auto& [id, commit] : x.commits()) {
    EXPECT_EQ(x.tree(id), y.tree(id));
    EXPECT_EQ(x.log(id).size(), y.log(id).size());
    for (const auto& [other, _] : x.commits()) EXPECT_EQ(x.diff(id, other), y.diff(id, other));
  }
}

// Re-seals a state whose body was edited, so that the structure checks
// behind the checksum are reached.
std::string reseal(std::string state) {
  state.resize(state.size() - 4);
  const std::uint64_t length = state.size() + 4;
  for (int i = 0; i < 8; ++i) state[12 + i] = static_cast<char>(length >> (8 * i));
  const std::uint32_t crc = crc32c(state);
  for (int i = 0; i < 4; ++i) state.push_back(static_cast<char>(crc >> (8 * i)));
  return state;
}

std::string load_error(std::string_view bytes) {
  Repo repo;
  auto loaded = load(bytes, repo);
  if (loaded) return "";
  EXPECT_EQ(repo.commit_count(), 0u);
  EXPECT_EQ(repo.store().node_count(), 0u);
  return loaded.error().message;
}

TEST(SerializeTest, RoundTripKeepsEveryIdAndBothSidesGoOnIndependently) {
  Repo original([] { return 1000; });
  build_history(original);
  const std::string state = save(original);
  Repo copy([] { return 2000; });
  ASSERT_TRUE(load(state, copy));
  expect_same(original, copy);
  EXPECT_EQ(save(copy), state);  // deterministic and complete

  // Sharing survives: committing an unchanged tree adds no section.
  const std::size_t sections = copy.section_count();
  const CommitId again = *copy.commit("again", std::vector<CommitId>{*copy.head()}, copy.tree(*copy.head()));
  EXPECT_EQ(copy.section_count(), sections);
  EXPECT_FALSE(original.commits().contains(again));
  EXPECT_EQ(copy.commit_count(), original.commit_count() + 1);
  ASSERT_TRUE(copy.revert(*original.head(), again));

  Repo empty;
  Repo empty_copy;
  ASSERT_TRUE(load(save(empty), empty_copy));
  expect_same(empty, empty_copy);
}

TEST(SerializeTest, RefusesATargetThatHoldsAHistory) {
  Repo source;
  build_history(source);
  Repo target;
  (void)*target.commit("x", {}, TreeNode("x"));
  auto loaded = load(save(source), target);
  ASSERT_FALSE(loaded);
  EXPECT_NE(loaded.error().message.find("already holds"), std::string::npos);
  EXPECT_EQ(target.commit_count(), 1u);
}

TEST(SerializeTest, NamesWhatIsWrongWithABadState) {
  Repo source([] { return 7; });
  build_history(source);
  const std::string state = save(source);

  EXPECT_NE(load_error("").find("truncated"), std::string::npos);
  EXPECT_NE(load_error("PK\x03\x04 not ours at all").find("magic"), std::string::npos);
  std::string version = state;
  version[8] = 9;
  EXPECT_NE(load_error(version).find("version 9"), std::string::npos);
  EXPECT_NE(load_error(state.substr(0, state.size() - 1)).find("truncated"), std::string::npos);
  EXPECT_NE(load_error(state + "x").find("trailing bytes"), std::string::npos);
  std::string flipped = state;
  flipped[state.size() / 2] ^= 0x10;
  EXPECT_NE(load_error(flipped).find("checksum"), std::string::npos);

  // Every cut and every flipped byte is refused, never loaded as something else.
  for (std::size_t i = 0; i < state.size(); i += 97) {
    EXPECT_NE(load_error(state.substr(0, i)), "");
    std::string damaged = state;
    damaged[i] ^= 0x5a;
    EXPECT_NE(load_error(damaged), "");
  }

  // Behind a valid checksum: a duplicate value, a changed message (its
  // commit id no longer sorts where it was written) and a resealed body with
  // an extra byte before the checksum.
  const std::string clean = reseal(state);
  EXPECT_EQ(load_error(clean), "");
  const std::size_t at = state.find("last");
  ASSERT_NE(at, std::string::npos);
  std::string renamed = state;
  renamed[at] = 'L';
  EXPECT_NE(load_error(reseal(renamed)).find("inconsistent structure"), std::string::npos);
  std::string extra = state;
  extra.insert(extra.size() - 4, "\x00", 1);
  EXPECT_NE(load_error(reseal(extra)).find("left after the head"), std::string::npos);
  // Two values with the same content: the value count goes up by one and
  // the first value is written twice.
  std::size_t at_value = 20;
  std::uint64_t count = 0;
  for (int shift = 0;; shift += 7) {
    const auto b = static_cast<unsigned char>(state[at_value++]);
    count |= std::uint64_t{b & 0x7fu} << shift;
    if (!(b & 0x80)) break;
  }
  std::string dup = state.substr(0, 20);
  for (std::uint64_t v = count + 1;; v >>= 7) {
    dup.push_back(static_cast<char>(v >= 0x80 ? (v & 0x7f) | 0x80 : v));
    if (v < 0x80) break;
  }
  const std::string first_value("\x04link\x00\x00\x00\x00", 9);  // kind, label, text, attributes, order
  ASSERT_EQ(state.substr(at_value, first_value.size()), first_value);
  dup += first_value + state.substr(at_value);
  EXPECT_NE(load_error(reseal(dup)).find("value is stored twice"), std::string::npos);
}

TEST(SerializeTest, FullCheckRecomputesSectionHashes) {
  Repo source([] { return 0; });
  (void)*source.commit("init", {}, TreeNode("doc"));
  std::string state = save(source);
  std::string hash;
  for (int i = 0; i < 8; ++i) hash.push_back(static_cast<char>(0xe644401aa7f6dab1ULL >> (8 * i)));
  const std::size_t at = state.find(hash);
  ASSERT_NE(at, std::string::npos);
  Repo full;
  ASSERT_TRUE(load(state, full, LoadCheck::Full));
  EXPECT_EQ(full.commits().begin()->first, 0x0fec95574dcfa6c7ULL);

  state[at] ^= 1;
  state = reseal(state);
  Repo checked;
  auto refused = load(state, checked, LoadCheck::Full);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message.find("does not match its content"), std::string::npos);
  // Trusted, the hash is only the key the section is filed under.
  Repo fast;
  ASSERT_TRUE(load(state, fast));
  EXPECT_EQ(fast.tree(*fast.head()), TreeNode("doc"));
}

}  // namespace
}  // namespace vext
