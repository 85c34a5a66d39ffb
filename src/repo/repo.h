#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "common/result.h"
#include "repo/hash.h"
#include "repo/store.h"
#include "patch/merge.h"
#include "patch/patch.h"
#include "section/section.h"
#include "tree/tree.h"

namespace vext {

// Appends the bytes hashed for a section, entry by entry in path order (see
// feed_entry).
void append_section_hash_input(std::string& out, const Section& section);
SectionHash section_hash(const Section& section);

struct Commit {
  std::vector<CommitId> parents;
  std::string message;
  SectionHash section_hash = 0;
  std::uint64_t timestamp = 0;
  friend bool operator==(const Commit&, const Commit&) = default;
};

// Appends the bytes hashed for a commit: parents, section hash, message and
// timestamp, integers as 8 bytes little-endian.
void append_commit_hash_input(std::string& out, const Commit& commit);
CommitId commit_id(const Commit& commit);

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

namespace detail {

// Finds stored commits by id with open addressing: the history walks look up
// every commit they pass, and a node-based map costs a division and a
// pointer chase per lookup.
class CommitIndex {
 public:
  [[nodiscard]] const Commit* find(CommitId id) const;
  [[nodiscard]] std::size_t size() const { return used_; }
  // Makes room for one more entry; the only step of an insert that allocates.
  void reserve_one();
  // Adds an id that is not present yet.
  void insert(CommitId id, const Commit* commit) noexcept;

 private:
  struct Slot {
    CommitId id = 0;
    const Commit* commit = nullptr;  // nullptr marks an empty slot
  };
  [[nodiscard]] std::size_t slot_of(CommitId id) const {
    return static_cast<std::size_t>((id * 0x9e3779b97f4a7c15ULL) >> 20) & (slots_.size() - 1);
  }
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

}  // namespace detail

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
  const std::unordered_map<CommitId, Commit>& commits() const { return commits_; }
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
  std::unordered_map<CommitId, Commit> commits_;
  detail::CommitIndex index_;  // the same commits, for fast lookups
};

}  // namespace vext
