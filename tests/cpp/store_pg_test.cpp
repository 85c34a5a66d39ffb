// The PostgreSQL backend on a real server: the one VEXT_TEST_POSTGRES names
// (tools/test.sh starts it). Each test works in a schema of its own.
#include <libpq-fe.h>
#include <unistd.h>

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "builders.h"
#include "store/backend.h"
#include "store/object.h"
#include "store/store.h"

namespace vext::store {
namespace {

using vext::testing::node;

// A document of one child, itself holding `grandchild` when given.
TreeNode doc(const std::string& child, std::optional<TreeNode> grandchild = std::nullopt) {
  TreeNode c = node(child);
  if (grandchild) c.children.push_back(*grandchild);
  return node("doc", std::nullopt, "", {}, {c});
}

// Runs one SQL text on the server as its superuser; returns the first
// column of the first row, or "" when there is none.
std::string server_sql(const std::string& conninfo, const std::string& sql) {
  PGconn* conn = PQconnectdb(conninfo.c_str());
  EXPECT_EQ(PQstatus(conn), CONNECTION_OK) << PQerrorMessage(conn);
  PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  PGresult* r = PQexec(conn, sql.c_str());
  const auto status = PQresultStatus(r);
  EXPECT_TRUE(status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) << sql << ": " << PQerrorMessage(conn);
  std::string out = status == PGRES_TUPLES_OK && PQntuples(r) > 0 ? PQgetvalue(r, 0, 0) : "";
  PQclear(r);
  PQfinish(conn);
  return out;
}

// A schema of its own on the test server, dropped afterwards; skips the test
// when no server is given.
class PgStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* server = std::getenv("VEXT_TEST_POSTGRES");
    if (!server || !*server) GTEST_SKIP() << "VEXT_TEST_POSTGRES is not set: no PostgreSQL server to test against";
    server_ = server;
    static int counter = 0;
    schema_ = "cpp_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    server_sql(server_, "CREATE SCHEMA " + schema_);
    location_ = server_ + (server_.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" + schema_;
  }
  void TearDown() override {
    if (!schema_.empty()) server_sql(server_, "DROP SCHEMA " + schema_ + " CASCADE");
  }

  std::unique_ptr<Backend> backend() const {
    try {
      return open_postgres(location_);
    } catch (const StoreFailure& f) {
      ADD_FAILURE() << f.error.message;
      throw;
    }
  }
  std::unique_ptr<Store> store() const {
    auto s = Store::open(location_);
    EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error().message);
    return std::move(s).value();
  }
  std::string count(const char* table) const { return server_sql(server_, "SELECT count(*) FROM " + schema_ + "." + table); }

  std::string server_, schema_, location_;
};

struct Pack {
  std::string bytes;
  std::vector<ObjectId> ids;
};

// A pack of `n` objects whose bytes start with `tag`.
Pack make_pack(const std::string& tag, int n) {
  std::vector<std::string> objects;
  for (int i = 0; i < n; ++i) objects.push_back(tag + std::to_string(i) + std::string(static_cast<std::size_t>(i), '\0'));
  Pack p;
  std::vector<PackEntry> entries;
  for (const std::string& o : objects) {
    p.ids.push_back(hash_bytes(o));
    entries.push_back({p.ids.back(), o});
  }
  p.bytes = encode(entries);
  return p;
}

TEST_F(PgStoreTest, PacksAndCommitsComeBackByNumberAndIdAndInScans) {
  auto b = backend();
  const Pack one = make_pack("one", 3), two = make_pack("two", 700);
  const ObjectId c1 = hash_bytes("commit 1"), c2 = hash_bytes("commit 2");
  b->begin_write({});
  const auto numbers = b->put_packs({one.bytes, two.bytes}, {one.ids, two.ids});
  b->put_commit(c1, "commit 1");
  b->put_commit(c2, "commit 2");
  b->put_commit(c1, "ignored: stored under its id already");
  b->set_ref("main", c1);
  b->set_ref("it's \\ \"quoted\"; DROP TABLE vext_refs", c2);
  b->end_write();
  ASSERT_EQ(numbers.size(), 2u);
  EXPECT_NE(numbers[0], numbers[1]);

  // A second connection sees all of it.
  auto r = backend();
  EXPECT_EQ(r->find_object(one.ids[2]), numbers[0]);
  EXPECT_EQ(r->find_object(two.ids[699]), numbers[1]);
  EXPECT_EQ(r->find_object(hash_bytes("absent")), std::nullopt);
  EXPECT_EQ(r->pack(numbers[1]), two.bytes);
  EXPECT_EQ(r->pack(numbers[1] + 1000), std::nullopt);
  std::vector<ObjectId> asked = two.ids;
  asked.push_back(hash_bytes("absent"));
  asked.push_back(one.ids[0]);
  asked.push_back(one.ids[0]);
  const auto found = r->find_objects(asked);
  ASSERT_EQ(found.size(), asked.size());
  for (std::size_t i = 0; i < two.ids.size(); ++i) ASSERT_EQ(found[i], numbers[1]) << i;
  EXPECT_EQ(found[700], std::nullopt);
  EXPECT_EQ(found[701], numbers[0]);
  EXPECT_EQ(found[702], numbers[0]);
  const auto packs = r->packs({numbers[1], -5, numbers[0], numbers[1]});
  EXPECT_EQ(packs, (std::vector<std::optional<std::string>>{two.bytes, std::nullopt, one.bytes, two.bytes}));
  EXPECT_EQ(r->commit(c1), "commit 1");
  EXPECT_EQ(r->has_commits({c2, hash_bytes("absent"), c1}), (std::vector<bool>{true, false, true}));
  EXPECT_EQ(r->ref("it's \\ \"quoted\"; DROP TABLE vext_refs"), c2);
  EXPECT_EQ(r->refs().size(), 2u);

  std::map<std::int64_t, std::string> scanned;
  r->scan_packs([&](std::int64_t n, std::string_view bytes) { scanned.emplace(n, bytes); });
  EXPECT_EQ(scanned, (std::map<std::int64_t, std::string>{{numbers[0], one.bytes}, {numbers[1], two.bytes}}));
  std::vector<ObjectId> commits;
  r->scan_commits([&](const ObjectId& id, std::string_view) { commits.push_back(id); });
  EXPECT_EQ(commits, (c1 < c2 ? std::vector<ObjectId>{c1, c2} : std::vector<ObjectId>{c2, c1}));
  ObjectId top;
  top.bytes.fill(0xff);
  EXPECT_EQ(r->commits_between(ObjectId{}, top, 1), std::vector<ObjectId>{commits[0]});
  EXPECT_EQ(r->commits_between(commits[1], top, 5), std::vector<ObjectId>{commits[1]});

  // An object stored again keeps its first pack.
  b->begin_write({});
  const auto again = b->put_packs({one.bytes}, {one.ids});
  b->end_write();
  EXPECT_EQ(r->find_object(one.ids[0]), numbers[0]);
  EXPECT_EQ(r->pack(again[0]), one.bytes);
}

TEST_F(PgStoreTest, AnAbandonedWriteLeavesNothing) {
  auto b = backend();
  const Pack p = make_pack("p", 5);
  b->begin_write({});
  b->put_packs({p.bytes}, {p.ids});
  b->put_commit(hash_bytes("c"), "c");
  b->set_ref("main", hash_bytes("c"));
  b->abandon_write();
  EXPECT_EQ(b->find_object(p.ids[0]), std::nullopt);
  EXPECT_EQ(b->ref("main"), std::nullopt);
  EXPECT_EQ(count("vext_packs"), "0");
  EXPECT_EQ(count("vext_commits"), "0");
}

TEST_F(PgStoreTest, WritersQueueAndAWaitingWriterCanBeStopped) {
  auto first = backend(), second = backend();
  first->begin_write({});
  int polls = 0;
  const StopCheck stop{.poll = [](void* n) { return ++*static_cast<int*>(n) >= 5; }, .context = &polls};
  EXPECT_THROW(second->begin_write(stop), Stopped);
  EXPECT_EQ(polls, 5);
  first->end_write();
  second->begin_write(stop);
  second->set_ref("main", hash_bytes("c"));
  second->end_write();
  EXPECT_EQ(first->ref("main"), hash_bytes("c"));
}

TEST_F(PgStoreTest, ACommitOnAStaleHeadIsRefusedAndWritesNothing) {
  auto ours = store(), theirs = store();
  const auto base = ours->commit(doc("a"), "base", std::nullopt, "main", 1);
  ASSERT_TRUE(base.ok());
  const auto won = theirs->commit(doc("b"), "theirs", std::vector{*base}, "main", 2);
  ASSERT_TRUE(won.ok());
  const std::string packs = count("vext_packs"), objects = count("vext_objects");
  const auto lost = ours->commit(doc("c", node("new")), "ours", std::vector{*base}, "main", 3);
  ASSERT_FALSE(lost.ok());
  EXPECT_EQ(lost.error().code, StoreErrorCode::BranchMoved);
  EXPECT_EQ(ours->resolve("main").value(), *won);
  EXPECT_EQ(count("vext_commits"), "2");
  EXPECT_EQ(count("vext_packs"), packs);
  EXPECT_EQ(count("vext_objects"), objects);
  const auto report = ours->verify();
  ASSERT_TRUE(report.ok());
  EXPECT_EQ(report.value().commits, 2u);
}

TEST_F(PgStoreTest, TheNameLeavesThePasswordOut) {
  const std::string secret = "s3cr3t-pw";
  const std::string with_password = "postgresql://vext:" + secret + "@/postgres?host=/nonexistent&connect_timeout=1";
  try {
    open_postgres(with_password);
    ADD_FAILURE() << "opened a store on no server";
  } catch (const StoreFailure& f) {
    EXPECT_EQ(f.error.code, StoreErrorCode::Io);
    EXPECT_EQ(f.error.message.find(secret), std::string::npos) << f.error.message;
    EXPECT_TRUE(f.error.message.starts_with("postgresql://vext@/nonexistent/postgres: cannot connect")) << f.error.message;
  }
  const auto opened = open_postgres(location_ + "&password=" + secret);
  EXPECT_EQ(opened->name().find(secret), std::string::npos);
}

}  // namespace
}  // namespace vext::store
