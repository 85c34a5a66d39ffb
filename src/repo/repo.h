#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "common/hash_table.h"
#include "common/result.h"
#include "repo/hash.h"
#include "repo/store.h"
#include "patch/merge.h"
#include "patch/patch.h"
#include "section/section.h"
#include "tree/tree.h"

namespace vext {

// A different section or commit already stored under the same 64-bit key.
struct Collision {
  enum class Kind : std::uint8_t { Section, Commit };
  Kind kind = Kind::Section;
  std::uint64_t key = 0;
  friend bool operator==(const Collision&, const Collision&) = default;
};
std::string to_text(const Collision& collision);

// Why a history operation that stores a section failed.
using HistoryError = std::variant<ApplyError, Collision>;
std::string to_text(const HistoryError& error);

struct MergeResult {
  std::vector<SectionConflict> conflicts;
  SectionHash merged_hash = 0;
  CommitId base = 0;
  CommitId ours = 0;
  CommitId theirs = 0;
};

// The stored commits, in the order they were added, found by id through one
// hash index. A stored commit never moves, so references to it stay valid.
class Commits {
 public:
  using Entry = std::pair<CommitId, Commit>;

  [[nodiscard]] const Commit* find(CommitId id) const;
  // The commit under `id`; throws Fatal("no entry found for key") when none is.
  [[nodiscard]] const Commit& at(CommitId id) const;
  [[nodiscard]] bool contains(CommitId id) const { return find(id) != nullptr; }
  [[nodiscard]] std::size_t size() const { return entries_.size(); }
  [[nodiscard]] bool empty() const { return entries_.empty(); }
  [[nodiscard]] std::deque<Entry>::const_iterator begin() const { return entries_.begin(); }
  [[nodiscard]] std::deque<Entry>::const_iterator end() const { return entries_.end(); }

  // Stores a commit under an id that is not stored yet. On an exception
  // nothing is added.
  const Commit& add(CommitId id, Commit commit);
  void clear() noexcept;

  // Equal when both hold the same ids with equal commits, in any order.
  friend bool operator==(const Commits& a, const Commits& b);

 private:
  friend struct RepoTestAccess;  // lets tests replace a stored commit
  static constexpr std::uint32_t kAbsent = ~std::uint32_t{0};
  [[nodiscard]] std::uint32_t entry_of(CommitId id) const;

  std::deque<Entry> entries_;
  HashIndex<std::uint32_t, kAbsent> index_;  // entry numbers by mix_hash(id)
};

// Reads the wall clock as whole seconds since the Unix epoch, 0 before it.
std::uint64_t system_clock_seconds();

// An in-memory, content-addressed store of sections and commits. It only
// grows; looking up a commit that is not stored throws Fatal("no entry found
// for key"). Sections live in one NodeStore, so every commit and every stored
// result shares the sub-trees it has in common with the others, and the
// history operations visit only the sub-trees in which their sides differ.
// An operation that fails, by a Collision, an ApplyError or an exception,
// leaves the repository as it was.
class Repo {
 public:
  using Clock = std::function<std::uint64_t()>;

  Repo() : clock_(system_clock_seconds) {}
  explicit Repo(Clock clock) : clock_(std::move(clock)) {}

  std::optional<CommitId> head() const { return head_; }
  const Commits& commits() const { return commits_; }
  std::size_t commit_count() const { return commits_.size(); }
  std::size_t section_count() const { return sections_.size(); }
  const NodeStore& store() const { return store_; }
  // Returns the stored node of the section under `hash` (kNoNode for the
  // empty section), or nullopt when no section is stored under it.
  std::optional<NodeId> section_root(SectionHash hash) const;
  // Returns the stored node of a commit's section.
  NodeId root_of(CommitId id) const;

  // Stores the section under its hash unless an equal one is there already.
  Result<SectionHash, Collision> store_section(const Section& section);
  // Stores the section and a commit of it, and moves head to the commit.
  Result<CommitId, Collision> commit_section(std::string_view message, std::span<const CommitId> parents,
                                             const Section& section);
  Result<CommitId, Collision> commit(std::string_view message, std::span<const CommitId> parents,
                                     const TreeNode& tree);

  // Returns a copy of a commit's section in the flat form.
  Section section(CommitId id) const;
  // Rebuilds the commit's tree; an empty node when the section has no root.
  TreeNode tree(CommitId id) const;
  // Rebuilds the tree of a stored section; an empty node for an unknown hash.
  TreeNode section_as_tree(SectionHash hash) const;
  // Lists the commits reachable from `start` (head by default) depth-first,
  // last parent first, each once.
  std::vector<std::pair<CommitId, const Commit*>> log(std::optional<CommitId> start = std::nullopt) const;

  EditSet diff(CommitId a, CommitId b) const;
  CommitId merge_base(CommitId a, CommitId b) const;
  // The literal merge-base computation, with a fresh height walk per
  // candidate; merge_base gives the same answer without the quadratic cost.
  CommitId merge_base_by_heights(CommitId a, CommitId b) const;
  Result<MergeResult, Collision> merge(CommitId ours, CommitId theirs);
  Result<SectionHash, HistoryError> cherry_pick(CommitId src, CommitId dst);
  Result<SectionHash, HistoryError> revert(CommitId target, CommitId dst);

 private:
  friend struct RepoTestAccess;  // lets tests plant colliding entries
  friend struct StateIo;         // save() and load() in repo/serialize.h
  class Undo;

  const Commit& commit_at(CommitId id) const;
  // The section of a commit's first parent; the empty section without one.
  NodeId parent_root(const Commit& commit) const;
  // Files a section interned since `undo` began under its hash.
  Result<SectionHash, Collision> keep_section(NodeId root, Undo& undo);
  Result<CommitId, Collision> commit_root(std::string_view message, std::span<const CommitId> parents, NodeId root,
                                          Undo& undo);
  Result<SectionHash, HistoryError> transplant_and_keep(NodeId from, NodeId to, NodeId onto);

  Clock clock_;
  std::optional<CommitId> head_;
  NodeStore store_;
  std::unordered_map<SectionHash, NodeId> sections_;
  std::unordered_map<NodeId, SectionHash> section_hashes_;  // the other way round, empty section aside
  Commits commits_;
};

}  // namespace vext
