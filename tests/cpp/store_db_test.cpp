#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "builders.h"
#include "store/object.h"
#include "store/store.h"

namespace vext::store {
namespace {

using vext::testing::node;

// A fresh store file in the temporary folder, removed afterwards.
class TempStore {
 public:
  TempStore() {
    static int counter = 0;
    path_ = (std::filesystem::temp_directory_path() /
             ("vext-store-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".vext"))
                .string();
    remove_files();
  }
  ~TempStore() { remove_files(); }
  const std::string& path() const { return path_; }
  std::unique_ptr<Store> open() const {
    auto s = Store::open(path_);
    EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().message);
    return std::move(s).value();
  }
  // Runs SQL on the file behind the store's back.
  void sql(const std::string& text) const {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

 private:
  void remove_files() {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path_ + suffix);
  }
  std::string path_;
};

// Random trees rich in anonymous siblings of one kind, repeated sub-trees and
// identities (an empty one too).
TreeNode random_tree(std::mt19937& rng, int depth = 0) {
  static const char* kinds[] = {"p", "p", "q", "sec"};
  static const char* texts[] = {"", "x", "y", "zz"};
  TreeNode n(kinds[rng() % 4]);
  if (rng() % 4 == 0) n.identity = std::string(rng() % 3 == 0 ? "" : "k" + std::to_string(rng() % 3));
  n.text = texts[rng() % 4];
  if (rng() % 5 == 0) n.label = "L";
  if (rng() % 4 == 0) n.attributes = {{"b", "1"}, {"a", texts[rng() % 4]}};
  const int kids = depth < 4 ? static_cast<int>(rng() % 5) : 0;
  for (int i = 0; i < kids; ++i) n.children.push_back(random_tree(rng, depth + 1));
  return n;
}

// Changes a few nodes of a tree: a text, a removed child, an inserted one.
TreeNode edit(TreeNode t, std::mt19937& rng, int edits) {
  for (int e = 0; e < edits; ++e) {
    TreeNode* at = &t;
    while (!at->children.empty() && rng() % 3 != 0) at = &at->children[rng() % at->children.size()];
    switch (rng() % 3) {
      case 0:
        at->text += "!";
        break;
      case 1:
        if (!at->children.empty()) at->children.erase(at->children.begin() + rng() % at->children.size());
        break;
      default:
        at->children.insert(at->children.begin() + rng() % (at->children.size() + 1), random_tree(rng, 3));
    }
  }
  return t;
}

TreeNode wide(std::size_t n, std::size_t changed = SIZE_MAX) {
  TreeNode root("list");
  for (std::size_t i = 0; i < n; ++i) root.children.push_back(node("item", std::nullopt, std::to_string(i == changed ? 0 : i + 1)));
  return root;
}

TEST(StoreCodecTest, RecordsRoundTripAndEveryTruncationIsRefused) {
  NodeRecord n{.kind = "k", .identity = "", .label = "l", .attributes = {{"b", "2"}, {"a", "1"}}, .text = "t",
               .fingerprint = 42, .child_count = 2, .level = 0, .items = {ObjectId{}, ObjectId{}}};
  n.items[0].bytes[0] = 1;  // neither id cuts its list
  n.items[1].bytes[0] = 3;
  ChunkRecord c{.level = 1, .items = {n.items[0]}};
  CommitRecord m{.root = n.items[1], .parents = {n.items[0]}, .time_us = -5, .message = "m\n"};
  const std::string records[] = {encode(n), encode(c), encode(m)};
  const std::vector<PackEntry> p{{.id = n.items[0], .bytes = records[0]}, {.id = m.root, .bytes = records[2]}};
  const std::string bytes[] = {records[0], records[1], records[2], encode(p)};
  EXPECT_EQ(decode_node(bytes[0]), n);
  EXPECT_EQ(decode_chunk(bytes[1]), c);
  EXPECT_EQ(decode_commit(bytes[2]), m);
  EXPECT_EQ(decode_pack(bytes[3]), p);
  const auto decodes = [](std::string_view b) {
    return decode_node(b) || decode_chunk(b) || decode_commit(b) || decode_pack(b);
  };
  for (const std::string& b : bytes) {
    for (std::size_t len = 0; len < b.size(); ++len) EXPECT_FALSE(decodes(std::string_view(b.data(), len))) << len;
    EXPECT_FALSE(decodes(b + "x"));
  }
  EXPECT_FALSE(decode_pack(encode(std::vector<PackEntry>{})));
  EXPECT_EQ(from_hex(to_hex(m.root)), m.root);
  // Ids are SHA-256 on every machine and build: the standard's test vectors,
  // one of them many blocks long.
  EXPECT_EQ(to_hex(hash_bytes("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(to_hex(hash_bytes("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(to_hex(hash_bytes(std::string(1'000'000, 'a'))),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_FALSE(from_hex(std::string(63, 'a')));
}

TEST(StoreTest, GivesBackEveryTreeExactlyAsCommitted) {
  TempStore file;
  std::mt19937 rng(7);
  std::vector<std::pair<ObjectId, TreeNode>> commits;
  {
    auto store = file.open();
    for (int i = 0; i < 30; ++i) {
      TreeNode t = i == 0 ? TreeNode() : random_tree(rng);
      auto id = store->commit(t, "c" + std::to_string(i), std::nullopt, "main", i);
      ASSERT_TRUE(id.ok()) << id.error().message;
      commits.emplace_back(*id, std::move(t));
    }
  }
  auto store = file.open();
  for (const auto& [id, t] : commits) {
    auto back = store->tree(id);
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_EQ(*back, t);
  }
  auto last = store->read_commit(commits.back().first);
  ASSERT_TRUE(last.ok());
  EXPECT_EQ(last->parents, std::vector<ObjectId>{commits[commits.size() - 2].first});
  EXPECT_EQ(last->message, "c29");
  auto report = store->verify();
  ASSERT_TRUE(report.ok()) << report.error().message;
  EXPECT_EQ(report->commits, 30u);
}

TEST(StoreTest, AChangeInAWideListStoresOneChunkAndTheNode) {
  TempStore file;
  auto store = file.open();
  ASSERT_TRUE(store->commit(wide(20000), "one", std::nullopt, "main", 1).ok());
  const auto before = store->verify()->objects;
  auto second = store->commit(wide(20000, 12345), "two", std::nullopt, "main", 2);
  ASSERT_TRUE(second.ok());
  // The new item, the chunk holding it, the chunks above it, and the root.
  EXPECT_LE(store->verify()->objects - before, 2 + kMaxLevel);
  EXPECT_EQ(*store->tree(*second), wide(20000, 12345));
  // The same item repeated is one object, in lists that still close.
  TreeNode same("list");
  same.children.assign(70000, node("item"));
  auto third = store->commit(same, "three", std::nullopt, "main", 3);
  ASSERT_TRUE(third.ok());
  EXPECT_EQ(*store->tree(*third), same);
  EXPECT_TRUE(store->verify().ok());
}

// A tree's nodes in pre-order, each with its own fields and child count.
std::vector<NodeRecord> preorder(const TreeNode& tree) {
  std::vector<NodeRecord> out;
  std::vector<const TreeNode*> stack{&tree};
  while (!stack.empty()) {
    const TreeNode& t = *stack.back();
    stack.pop_back();
    out.push_back(NodeRecord{.kind = t.kind, .identity = t.identity, .label = t.label, .attributes = t.attributes,
                             .text = t.text, .child_count = t.children.size(), .level = 0, .items = {}});
    for (auto it = t.children.rbegin(); it != t.children.rend(); ++it) stack.push_back(&*it);
  }
  return out;
}

std::vector<NodeRecord> own_fields(const NodeList& nodes) {
  std::vector<NodeRecord> out;
  for (const auto& n : nodes) {
    out.push_back(NodeRecord{.kind = n->kind, .identity = n->identity, .label = n->label,
                             .attributes = n->attributes, .text = n->text, .child_count = n->child_count, .level = 0,
                             .items = {}});
  }
  return out;
}

TEST(StoreTest, DiffAndMergeEqualTheEngineOnWholeTrees) {
  TempStore file;
  auto store = file.open();
  std::mt19937 rng(11);
  for (int round = 0; round < 60; ++round) {
    const TreeNode base = random_tree(rng);
    const TreeNode ours = edit(base, rng, 1 + round % 3), theirs = edit(base, rng, 1 + round % 4);
    const std::string b = "b" + std::to_string(round), o = "o" + std::to_string(round);
    auto cb = store->commit(base, "base", std::nullopt, b, round);
    ASSERT_TRUE(cb.ok());
    ASSERT_TRUE(store->set_branch(o, *cb, std::optional<ObjectId>()).ok());
    auto co = store->commit(ours, "ours", std::nullopt, o, round + 1);
    auto ct = store->commit(theirs, "theirs", std::nullopt, b, round + 1);
    ASSERT_TRUE(co.ok() && ct.ok());
    auto d = store->diff(*co, *ct);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(*d, located_diff(ours, theirs)) << round;
    const ThreeWayResult expected = three_way_merge(base, ours, theirs);
    auto m = store->merge(b, o, "merge", round + 2);
    ASSERT_TRUE(m.ok()) << m.error().message;
    EXPECT_EQ(m->base, *cb);
    EXPECT_EQ(m->tree, expected.tree) << round;
    EXPECT_EQ(m->conflicts, expected.conflicts) << round;
    EXPECT_EQ(m->commit.has_value(), expected.conflicts.empty());
    // Again, as nodes: after a conflict the merge is made anew; after a
    // recorded one, `b` is in the history of `o`, whose tree comes back.
    auto nodes = store->merge(b, o, "merge", round + 3, {}, MergedTree::Nodes);
    ASSERT_TRUE(nodes.ok()) << nodes.error().message;
    EXPECT_EQ(own_fields(*nodes->nodes), preorder(expected.tree)) << round;
    EXPECT_EQ(nodes->tree, TreeNode());
    EXPECT_EQ(nodes->conflicts, expected.conflicts) << round;
    EXPECT_EQ(nodes->commit, m->commit);
    if (m->commit) {
      EXPECT_EQ(*store->tree(*m->commit), expected.tree);
      EXPECT_EQ(store->read_commit(*m->commit)->parents, (std::vector<ObjectId>{*co, *ct}));
      EXPECT_EQ(*store->resolve(o), *m->commit);
    } else {
      EXPECT_EQ(*store->resolve(o), *co);
    }
  }
  EXPECT_TRUE(store->verify().ok());
}

TEST(StoreTest, ACommitOnAMovedBranchIsRefusedAndWritesNothing) {
  TempStore file;
  auto store = file.open();
  auto c1 = store->commit(node("a"), "1", std::nullopt, "main", 1);
  auto c2 = store->commit(node("b"), "2", std::vector<ObjectId>{*c1}, "main", 2);
  ASSERT_TRUE(c1.ok() && c2.ok());
  const auto before = *store->verify();
  auto stale = store->commit(node("c", std::nullopt, "new"), "3", std::vector<ObjectId>{*c1}, "main", 3);
  ASSERT_FALSE(stale.ok());
  EXPECT_EQ(stale.error().code, StoreErrorCode::BranchMoved);
  const auto after = *store->verify();
  EXPECT_EQ(after.objects, before.objects);
  EXPECT_EQ(after.commits, before.commits);
  EXPECT_EQ(*store->resolve("main"), *c2);
  EXPECT_EQ(store->set_branch("main", *c1, std::optional<ObjectId>()).error().code, StoreErrorCode::BranchExists);
  EXPECT_TRUE(store->set_branch("main", *c1, std::optional<ObjectId>(*c2)).ok());
  EXPECT_EQ(store->delete_branch("nope").error().code, StoreErrorCode::NotFound);
}

TEST(StoreTest, ResolvesBranchesFullIdsAndUniquePrefixes) {
  TempStore file;
  auto store = file.open();
  std::vector<ObjectId> ids;
  for (int i = 0; i < 40; ++i) ids.push_back(*store->commit(node("a", std::nullopt, std::to_string(i)), "m", std::nullopt, "main", i));
  for (const ObjectId& id : ids) {
    EXPECT_EQ(*store->resolve(to_hex(id)), id);
    EXPECT_EQ(*store->resolve(to_hex(id).substr(0, 12)), id);
  }
  EXPECT_EQ(*store->resolve("main"), ids.back());
  EXPECT_EQ(store->resolve(to_hex(ids[0]).substr(0, 3)).error().code, StoreErrorCode::NotFound);
  // Commit on until two ids share their first four digits.
  std::map<std::string, ObjectId> seen;
  for (int i = 0;; ++i) {
    const auto id = *store->commit(node("b", std::nullopt, std::to_string(i)), "m", std::nullopt, "side", i);
    const auto [at, fresh] = seen.emplace(to_hex(id).substr(0, 4), id);
    if (fresh) continue;
    EXPECT_EQ(store->resolve(at->first).error().code, StoreErrorCode::Ambiguous);
    EXPECT_EQ(*store->resolve(to_hex(id).substr(0, 8)), id);
    break;
  }
  EXPECT_EQ(store->resolve("zzzz").error().code, StoreErrorCode::NotFound);
}

TEST(StoreTest, MergeBaseOfACrissCrossIsTheNewestBestCommonAncestor) {
  TempStore file;
  auto store = file.open();
  const auto root = *store->commit(node("r"), "root", std::nullopt, "a", 1);
  ASSERT_TRUE(store->set_branch("b", root, std::optional<ObjectId>()).ok());
  const auto a1 = *store->commit(node("r", std::nullopt, "a1"), "a1", std::nullopt, "a", 2);
  const auto b1 = *store->commit(node("r", std::nullopt, "b1"), "b1", std::nullopt, "b", 3);
  // Each side merges the other's first commit: a2 and b2 both have a1 and b1
  // as best common ancestors.
  const auto a2 = *store->commit(node("r", std::nullopt, "a2"), "a2", std::vector<ObjectId>{a1, b1}, "a", 4);
  const auto b2 = *store->commit(node("r", std::nullopt, "b2"), "b2", std::vector<ObjectId>{b1, a1}, "b", 5);
  EXPECT_EQ(**store->merge_base(a2, b2), b1);
  EXPECT_EQ(**store->merge_base(a1, b1), root);
  EXPECT_EQ(**store->merge_base(a2, a1), a1);
  const auto other = *store->commit(node("x"), "x", std::nullopt, "other", 6);
  EXPECT_FALSE(*store->merge_base(a2, other));
}

// The commits of a history found one by one, in log order: newest first,
// then by id (a walk gives that order when parents are older than children).
std::vector<ObjectId> reference_log(Store& store, const ObjectId& start) {
  std::vector<std::pair<std::int64_t, ObjectId>> found{{store.read_commit(start)->time_us, start}};
  std::set<ObjectId> seen{start};
  for (std::size_t i = 0; i < found.size(); ++i) {
    const CommitRecord record = *store.read_commit(found[i].second);
    for (const ObjectId& p : record.parents) {
      if (seen.insert(p).second) found.emplace_back(store.read_commit(p)->time_us, p);
    }
  }
  std::sort(found.begin(), found.end(), [](const auto& x, const auto& y) {
    return x.first != y.first ? x.first > y.first : x.second < y.second;
  });
  std::vector<ObjectId> out;
  for (const auto& f : found) out.push_back(f.second);
  return out;
}

std::vector<ObjectId> log_ids(Store& store, const ObjectId& start) {
  auto log = store.log(start);
  EXPECT_TRUE(log.ok()) << (log.ok() ? "" : log.error().message);
  std::vector<ObjectId> out;
  if (log.ok()) {
    for (const CommitInfo& c : *log) {
      EXPECT_EQ(c.record, *store.read_commit(c.id));
      out.push_back(c.id);
    }
  }
  return out;
}

// Long histories are read on through the commit table in order: whether a
// history is most of the table or a small part of it, and whether its
// commits come from the cache, the log is the same.
TEST(StoreTest, LogListsEveryAncestorOnceNewestFirstHoweverItIsRead) {
  TempStore file;
  std::vector<ObjectId> dag, chain;
  {
    auto store = file.open();
    std::mt19937 rng(5);
    // Merges of random older commits, in groups of three that share a time.
    for (int i = 0; i < 700; ++i) {
      const std::size_t older = static_cast<std::size_t>(i / 3 * 3);
      std::vector<ObjectId> parents;
      for (std::size_t k = older == 0 ? 0 : 1 + rng() % 2; k > 0; --k) parents.push_back(dag[rng() % older]);
      if (older > 0 && rng() % 2) parents[0] = dag[older - 1];
      const std::string branch = "d" + std::to_string(i);
      dag.push_back(*store->commit(node("r", std::nullopt, std::to_string(i)), branch, parents, branch, i / 3));
    }
    // An unrelated linear history, some of it older and some newer.
    for (int i = 0; i < 400; ++i)
      chain.push_back(*store->commit(node("c", std::nullopt, std::to_string(i)), "c", std::nullopt, "chain", 2 * i));
  }
  std::mt19937 rng(6);
  for (int round = 0; round < 6; ++round) {
    const ObjectId start = round % 2 ? chain[rng() % chain.size()] : dag[dag.size() - 1 - rng() % 50];
    auto cold = file.open();
    const auto expected = reference_log(*file.open(), start);
    EXPECT_EQ(log_ids(*cold, start), expected);
    EXPECT_EQ(log_ids(*cold, start), expected);
  }
  auto store = file.open();
  EXPECT_EQ(log_ids(*store, dag[0]), std::vector<ObjectId>{dag[0]});
  EXPECT_EQ(log_ids(*store, chain.back()).size(), chain.size());
}

TEST(StoreTest, ADamagedCommitInALongHistoryIsReportedNeverListed) {
  TempStore file;
  std::vector<ObjectId> chain;
  {
    auto store = file.open();
    for (int i = 0; i < 300; ++i)
      chain.push_back(*store->commit(node("c", std::nullopt, std::to_string(i)), "c", std::nullopt, "main", i));
  }
  // The oldest commit is read last, from the rows read in order by then.
  const std::string hex = to_hex(chain[0]);
  file.sql("UPDATE commits SET data = replace(data, 'c', 'd') WHERE hex(id) = upper('" + hex + "')");
  auto log = file.open()->log(chain.back());
  ASSERT_FALSE(log.ok());
  EXPECT_EQ(log.error().code, StoreErrorCode::Corrupt);
  EXPECT_NE(log.error().message.find("commit " + hex + " does not hash to its id"), std::string::npos)
      << log.error().message;
}

TEST(StoreTest, RefusesFilesThatAreNoStoreOrOfAnotherFormat) {
  TempStore file;
  { std::ofstream(file.path()) << "just some text, long enough to be no database header at all......\n"; }
  auto text = Store::open(file.path());
  ASSERT_FALSE(text.ok());
  EXPECT_EQ(text.error().code, StoreErrorCode::NotAStore);
  EXPECT_EQ(text.error().message.rfind(file.path() + ": ", 0), 0u) << text.error().message;

  TempStore other;
  other.sql("CREATE TABLE t(x)");
  EXPECT_EQ(Store::open(other.path()).error().code, StoreErrorCode::NotAStore);

  TempStore newer;
  newer.open();
  newer.sql("PRAGMA user_version=3");
  auto refused = Store::open(newer.path());
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().code, StoreErrorCode::NewerFormat);

  // Format 1 kept one row per object.
  TempStore older;
  older.open();
  older.sql("PRAGMA user_version=1");
  auto old = Store::open(older.path());
  ASSERT_FALSE(old.ok());
  EXPECT_EQ(old.error().code, StoreErrorCode::OlderFormat);
  EXPECT_NE(old.error().message.find("older vext (store format 1)"), std::string::npos) << old.error().message;
}

TEST(StoreTest, ObjectsThatDoNotHashToTheirIdsAreReportedNeverReturned) {
  TempStore file;
  ObjectId id;
  {
    auto store = file.open();
    id = *store->commit(node("doc", std::nullopt, "", {}, {node("p", std::nullopt, "secret")}), "m", std::nullopt,
                        "main", 1);
  }
  // An index that names the wrong pack.
  file.sql("UPDATE objects SET pack = pack + 1");
  {
    auto moved = file.open();
    EXPECT_EQ(moved->tree(id).error().code, StoreErrorCode::Corrupt);
    EXPECT_EQ(moved->verify().error().code, StoreErrorCode::Corrupt);
  }
  file.sql("UPDATE objects SET pack = pack - 1");
  EXPECT_TRUE(file.open()->tree(id).ok());
  file.sql("UPDATE packs SET data = replace(data, 'secret', 'public')");
  auto store = file.open();
  auto back = store->tree(id);
  ASSERT_FALSE(back.ok());
  EXPECT_EQ(back.error().code, StoreErrorCode::Corrupt);
  EXPECT_NE(back.error().message.find("does not hash to its id"), std::string::npos);
  EXPECT_EQ(store->verify().error().code, StoreErrorCode::Corrupt);

  file.sql("DELETE FROM packs");
  auto empty = file.open();
  EXPECT_EQ(empty->verify().error().code, StoreErrorCode::Corrupt);
  EXPECT_EQ(empty->tree(id).error().code, StoreErrorCode::Corrupt);
}

TEST(StoreTest, AStopLeavesTheStoreAsBefore) {
  TempStore file;
  auto store = file.open();
  const auto c1 = *store->commit(wide(100), "small", std::nullopt, "main", 1);
  int polls = 0;
  const StopCheck stop{.poll = [](void* p) { return ++*static_cast<int*>(p) > 0; }, .context = &polls};
  EXPECT_THROW((void)store->commit(wide(300000), "big", std::nullopt, "main", 2, stop), Stopped);
  EXPECT_EQ(*store->resolve("main"), c1);
  EXPECT_EQ(store->verify()->commits, 1u);
}

}  // namespace
}  // namespace vext::store
