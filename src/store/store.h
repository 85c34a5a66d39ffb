#pragma once

// A persistent, content-addressed history of trees: commits of whole trees on
// named branches, kept in a backend (SQLite by default) that many processes
// share. Trees come back exactly as committed; diffs and merges run the
// lossless engine over the parts of the trees that differ, standing a stub in
// for every sub-tree that is the same node on the sides compared.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "common/result.h"
#include "store/backend.h"
#include "store/object.h"
#include "lossless/lossless.h"
#include "tree/tree.h"

namespace vext::store {

using Done = std::monostate;

using NodeList = std::vector<std::shared_ptr<const NodeRecord>>;

struct CommitInfo {
  ObjectId id;
  CommitRecord record;
};

// The form a merge gives its tree in.
enum class MergedTree : std::uint8_t {
  Whole,  // `tree`
  Nodes,  // `nodes`, in pre-order as Store::tree_nodes gives them; `tree` stays empty
};

struct StoreMerge {
  ObjectId base;                    // the merge base
  TreeNode tree;                    // the merged tree
  std::vector<Conflict> conflicts;  // none when the merge was recorded
  std::optional<ObjectId> commit;   // the merge commit; nullopt on conflicts
  std::shared_ptr<const NodeList> nodes;
};

struct VerifyReport {
  std::uint64_t objects = 0;
  std::uint64_t commits = 0;
  std::uint64_t branches = 0;
};

// Whether `name` can name a branch: 1 to 255 bytes, none of them a control
// character below 0x20.
bool valid_branch_name(std::string_view name);

// One open store. Calls from several threads are taken one at a time; other
// processes may use the same store at once.
class Store {
 public:
  // Opens the store at `path`: a PostgreSQL connection URI or a SQLite
  // file, created when missing.
  static Result<std::unique_ptr<Store>, StoreError> open(const std::string& path);
  explicit Store(std::unique_ptr<Backend> backend);

  // Records `tree` as a commit on `branch` and moves the branch to it. With
  // `parents` given, the branch's head must be one of them (or the branch
  // must not exist); without, the head (if any) is the one parent. Refused
  // with BranchMoved, writing nothing, when the head is not among them.
  Result<ObjectId, StoreError> commit(const TreeNode& tree, std::string_view message,
                                      const std::optional<std::vector<ObjectId>>& parents, std::string_view branch,
                                      std::int64_t time_us, const StopCheck& stop = {});

  // Returns the tree of a commit, exactly as committed.
  Result<TreeNode, StoreError> tree(const ObjectId& commit, const StopCheck& stop = {});
  // Returns the nodes of a commit's tree in pre-order (a node, then its
  // children's sub-trees in order), for callers that build the tree in
  // another form. The last few lists are kept, so reading again is free.
  Result<std::shared_ptr<const NodeList>, StoreError> tree_nodes(const ObjectId& commit, const StopCheck& stop = {});
  Result<CommitRecord, StoreError> read_commit(const ObjectId& commit);
  // Finds a commit by branch name, full hex id or unique hex prefix of at
  // least four digits, in that order.
  Result<ObjectId, StoreError> resolve(std::string_view name);

  // Returns the commits of `start`'s history, `start` included, each once,
  // newest first (by time, then by id).
  Result<std::vector<CommitInfo>, StoreError> log(const ObjectId& start, const StopCheck& stop = {});

  // Returns the edits from commit `a`'s tree to commit `b`'s, as located_diff does.
  Result<std::vector<Change>, StoreError> diff(const ObjectId& a, const ObjectId& b, const StopCheck& stop = {});

  // Merges the head of `branch` into the head of `into` over their merge
  // base. A clean merge is recorded as a commit with the two heads as
  // parents and moves `into`; with conflicts nothing is written. When
  // `branch`'s head is already in `into`'s history, nothing is recorded.
  // With MergedTree::Nodes the stored sub-trees that the merge left alone
  // are listed from the store's caches rather than copied into a tree.
  Result<StoreMerge, StoreError> merge(std::string_view branch, std::string_view into, std::string_view message,
                                       std::int64_t time_us, const StopCheck& stop = {},
                                       MergedTree form = MergedTree::Whole);
  // The best common ancestor of two commits: one that no other common
  // ancestor descends from, the newest of those by commit time (then the
  // smallest id) when there are several, as in criss-cross histories.
  Result<std::optional<ObjectId>, StoreError> merge_base(const ObjectId& a, const ObjectId& b);

  Result<std::vector<std::pair<std::string, ObjectId>>, StoreError> branches();
  // Points `name` at `target`. With `expected`, only if the branch points
  // there now (nullopt in `expected` itself: only if it does not exist).
  Result<Done, StoreError> set_branch(std::string_view name, const ObjectId& target,
                                      const std::optional<std::optional<ObjectId>>& expected);
  Result<Done, StoreError> delete_branch(std::string_view name);

  // Rechecks every stored object's hash and shape, and that everything the
  // branches reach is stored and consistent.
  Result<VerifyReport, StoreError> verify(const StopCheck& stop = {});

  const std::string& name() const { return backend_->name(); }

 private:
  class Impl;
  friend struct TransferAccess;
  template <class F>
  auto guarded(F&& body) -> Result<decltype(body()), StoreError>;

  std::unique_ptr<Backend> backend_;
  std::mutex mutex_;
  std::shared_ptr<Impl> impl_;
};

}  // namespace vext::store
