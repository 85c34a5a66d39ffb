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
#include "patch/merge.h"
#include "patch/patch.h"
#include "section/section.h"
#include "tree/tree.h"

namespace vext {

using CommitId = std::uint64_t;
using SectionHash = std::uint64_t;

inline constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

// Folds `bytes` into a running 64-bit FNV-1a hash.
constexpr std::uint64_t fnv1a(std::string_view bytes, std::uint64_t hash = kFnvOffsetBasis) {
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= kFnvPrime;
  }
  return hash;
}

// Appends the bytes hashed for a section: per entry in path order, each path
// element and a zero byte, "|", the value's text form and a newline.
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

// Reads the wall clock as whole seconds since the Unix epoch, 0 before it.
std::uint64_t system_clock_seconds();

// An in-memory, content-addressed store of sections and commits. It only
// grows; looking up a commit that is not stored throws Fatal("no entry found
// for key").
class Repo {
 public:
  using Clock = std::function<std::uint64_t()>;

  Repo() : clock_(system_clock_seconds) {}
  explicit Repo(Clock clock) : clock_(std::move(clock)) {}

  std::optional<CommitId> head() const { return head_; }
  const std::unordered_map<SectionHash, Section>& sections() const { return sections_; }
  const std::unordered_map<CommitId, Commit>& commits() const { return commits_; }
  std::size_t commit_count() const { return commits_.size(); }

  // Stores the section under its hash unless an equal one is there already.
  Result<SectionHash, Collision> store_section(Section section);
  // Stores the section and a commit of it, and moves head to the commit.
  Result<CommitId, Collision> commit_section(std::string_view message, std::span<const CommitId> parents,
                                             Section section);
  Result<CommitId, Collision> commit(std::string_view message, std::span<const CommitId> parents,
                                     const TreeNode& tree);

  const Section& section(CommitId id) const;
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

  const Commit& commit_at(CommitId id) const;
  const Section& stored_section(SectionHash hash) const;
  EditSet change_of(const Commit& commit) const;
  Result<SectionHash, HistoryError> apply_and_store(const EditSet& edits, CommitId dst);

  Clock clock_;
  std::optional<CommitId> head_;
  std::unordered_map<SectionHash, Section> sections_;
  std::unordered_map<CommitId, Commit> commits_;
};

}  // namespace vext
