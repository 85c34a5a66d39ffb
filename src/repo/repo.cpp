#include "repo/repo.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "common/fatal.h"

namespace vext {
namespace {

constexpr const char* kNoEntry = "no entry found for key";

void append_u64_le(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// A set of commit ids with open addressing: the history walks insert every
// id they reach, and a node-based set would allocate for each of them.
class IdSet {
 public:
  explicit IdSet(std::size_t expected = 16) {
    std::size_t capacity = 16;
    while (capacity < expected * 2) capacity *= 2;
    slots_.assign(capacity, kEmpty);
  }

  // Returns false when `id` was already present.
  bool insert(CommitId id) {
    if (id == kEmpty) return !std::exchange(has_empty_key_, true);
    if ((count_ + 1) * 2 > slots_.size()) grow();
    std::size_t i = slot_of(id);
    while (slots_[i] != kEmpty) {
      if (slots_[i] == id) return false;
      i = (i + 1) & (slots_.size() - 1);
    }
    slots_[i] = id;
    ++count_;
    return true;
  }

  bool contains(CommitId id) const {
    if (id == kEmpty) return has_empty_key_;
    for (std::size_t i = slot_of(id);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i] == id) return true;
      if (slots_[i] == kEmpty) return false;
    }
  }

 private:
  static constexpr CommitId kEmpty = 0;

  std::size_t slot_of(CommitId id) const {
    return static_cast<std::size_t>((id * 0x9e3779b97f4a7c15ULL) >> 17) & (slots_.size() - 1);
  }

  void grow() {
    std::vector<CommitId> old = std::move(slots_);
    slots_.assign(old.size() * 2, kEmpty);
    count_ = 0;
    for (CommitId id : old)
      if (id != kEmpty) insert(id);
  }

  std::vector<CommitId> slots_;
  std::size_t count_ = 0;
  bool has_empty_key_ = false;
};

const Section& empty_section() {
  static const Section empty;
  return empty;
}

// A commit id's parents when it is stored; none otherwise.
std::span<const CommitId> parents_of(const std::unordered_map<CommitId, Commit>& commits, CommitId id) {
  auto it = commits.find(id);
  if (it == commits.end()) return {};
  return it->second.parents;
}

// Walks from `start` top of stack first, parents pushed in stored order, and
// calls `visit` on each id when first reached; stops when it returns true.
// Returns the ids reached.
template <class F>
IdSet walk(const std::unordered_map<CommitId, Commit>& commits, CommitId start, F&& visit) {
  IdSet seen(commits.size());
  std::vector<CommitId> stack{start};
  while (!stack.empty()) {
    const CommitId x = stack.back();
    stack.pop_back();
    if (!seen.insert(x)) continue;
    if (visit(x)) break;
    for (CommitId p : parents_of(commits, x)) stack.push_back(p);
  }
  return seen;
}

// Every id reachable from `start` through parent links, `start` included.
IdSet ancestors(const std::unordered_map<CommitId, Commit>& commits, CommitId start) {
  return walk(commits, start, [](CommitId) { return false; });
}

// The largest depth at which a fresh depth-first walk from `x` first reaches
// an id.
std::uint64_t height(const std::unordered_map<CommitId, Commit>& commits, CommitId x) {
  IdSet seen;
  std::vector<std::pair<CommitId, std::uint64_t>> stack{{x, 0}};
  std::uint64_t h = 0;
  while (!stack.empty()) {
    const auto [y, d] = stack.back();
    stack.pop_back();
    if (!seen.insert(y)) continue;
    h = std::max(h, d);
    for (CommitId p : parents_of(commits, y)) stack.emplace_back(p, d + 1);
  }
  return h;
}

}  // namespace

void append_section_hash_input(std::string& out, const Section& section) {
  for (const auto& entry : section) {
    for (std::string_view element : entry.path) {
      out.append(element);
      out.push_back('\0');
    }
    out.push_back('|');
    append_text(out, entry.value);
    out.push_back('\n');
  }
}

SectionHash section_hash(const Section& section) {
  // Folds the input entry by entry rather than building it whole: every
  // entry repeats its full path, so deep trees would need a huge buffer.
  std::uint64_t hash = kFnvOffsetBasis;
  std::string text;
  for (const auto& entry : section) {
    for (std::string_view element : entry.path) {
      hash = fnv1a(element, hash);
      hash = fnv1a(std::string_view("\0", 1), hash);
    }
    text.assign(1, '|');
    append_text(text, entry.value);
    text.push_back('\n');
    hash = fnv1a(text, hash);
  }
  return hash;
}

void append_commit_hash_input(std::string& out, const Commit& commit) {
  for (CommitId p : commit.parents) append_u64_le(out, p);
  append_u64_le(out, commit.section_hash);
  out.append(commit.message);
  append_u64_le(out, commit.timestamp);
}

CommitId commit_id(const Commit& commit) {
  std::string buffer;
  append_commit_hash_input(buffer, commit);
  return fnv1a(buffer);
}

std::string to_text(const Collision& collision) {
  char key[19];
  std::snprintf(key, sizeof key, "0x%016llx", static_cast<unsigned long long>(collision.key));
  if (collision.kind == Collision::Kind::Section)
    return std::string("section hash ") + key + " already holds a different section; nothing was stored";
  return std::string("commit id ") + key + " already holds a different commit; nothing was stored";
}

std::string to_text(const HistoryError& error) {
  return std::visit([](const auto& e) { return to_text(e); }, error);
}

std::uint64_t system_clock_seconds() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

Result<SectionHash, Collision> Repo::store_section(Section section) {
  const SectionHash hash = section_hash(section);
  auto it = sections_.find(hash);
  if (it != sections_.end()) {
    if (it->second == section) return hash;
    return Collision{Collision::Kind::Section, hash};
  }
  sections_.emplace(hash, std::move(section));
  return hash;
}

Result<CommitId, Collision> Repo::commit_section(std::string_view message, std::span<const CommitId> parents,
                                                 Section section) {
  // Everything is checked before anything is stored, so a refused commit
  // leaves the repository as it was.
  const SectionHash hash = section_hash(section);
  auto stored = sections_.find(hash);
  if (stored != sections_.end() && !(stored->second == section)) return Collision{Collision::Kind::Section, hash};
  Commit commit{.parents = {parents.begin(), parents.end()},
                .message = std::string(message),
                .section_hash = hash,
                .timestamp = clock_()};
  const CommitId id = commit_id(commit);
  auto existing = commits_.find(id);
  if (existing != commits_.end() && !(existing->second == commit)) return Collision{Collision::Kind::Commit, id};
  if (stored == sections_.end()) sections_.emplace(hash, std::move(section));
  if (existing == commits_.end()) commits_.emplace(id, std::move(commit));
  head_ = id;
  return id;
}

Result<CommitId, Collision> Repo::commit(std::string_view message, std::span<const CommitId> parents,
                                         const TreeNode& tree) {
  return commit_section(message, parents, to_section(tree));
}

const Commit& Repo::commit_at(CommitId id) const {
  auto it = commits_.find(id);
  if (it == commits_.end()) throw Fatal(kNoEntry);
  return it->second;
}

const Section& Repo::stored_section(SectionHash hash) const {
  auto it = sections_.find(hash);
  if (it == sections_.end()) throw Fatal(kNoEntry);
  return it->second;
}

const Section& Repo::section(CommitId id) const { return stored_section(commit_at(id).section_hash); }

TreeNode Repo::tree(CommitId id) const {
  std::optional<TreeNode> tree = to_tree(section(id));
  return tree ? std::move(*tree) : TreeNode(std::string());
}

TreeNode Repo::section_as_tree(SectionHash hash) const {
  auto it = sections_.find(hash);
  if (it == sections_.end()) return TreeNode(std::string());
  std::optional<TreeNode> tree = to_tree(it->second);
  return tree ? std::move(*tree) : TreeNode(std::string());
}

std::vector<std::pair<CommitId, const Commit*>> Repo::log(std::optional<CommitId> start) const {
  std::vector<std::pair<CommitId, const Commit*>> out;
  const std::optional<CommitId> from = start ? start : head_;
  if (!from) return out;
  IdSet seen(commits_.size());
  std::vector<CommitId> stack{*from};
  while (!stack.empty()) {
    const CommitId x = stack.back();
    stack.pop_back();
    if (!seen.insert(x)) continue;
    auto it = commits_.find(x);
    if (it == commits_.end()) continue;
    out.emplace_back(x, &it->second);
    stack.insert(stack.end(), it->second.parents.begin(), it->second.parents.end());
  }
  return out;
}

EditSet Repo::diff(CommitId a, CommitId b) const {
  const Section& old_section = section(a);
  const Section& new_section = section(b);
  return diff_sections(old_section, new_section);
}

CommitId Repo::merge_base_by_heights(CommitId a, CommitId b) const {
  if (a == b) return a;
  const auto in_a = ancestors(commits_, a);
  std::optional<CommitId> best;
  std::uint64_t best_height = 0;
  walk(commits_, b, [&](CommitId x) {
    if (x != a && x != b && in_a.contains(x)) {
      const std::uint64_t h = height(commits_, x);
      if (!best || h < best_height) {
        best = x;
        best_height = h;
      }
    }
    return false;
  });
  if (best) return *best;
  return in_a.contains(b) ? b : a;
}

CommitId Repo::merge_base(CommitId a, CommitId b) const {
  // Heights are never negative, and height 0 belongs exactly to the ids with
  // nothing to follow: commits without parents and ids that are not stored.
  // The first such candidate of the walk from b is therefore the answer. In
  // an acyclic history every candidate's ancestry ends in one, so the literal
  // computation below runs only for histories whose links form a cycle.
  if (a == b) return a;
  const auto in_a = ancestors(commits_, a);
  std::optional<CommitId> found;
  bool any_candidate = false;
  walk(commits_, b, [&](CommitId x) {
    if (x == a || x == b || !in_a.contains(x)) return false;
    any_candidate = true;
    if (!parents_of(commits_, x).empty()) return false;
    found = x;
    return true;
  });
  if (found) return *found;
  if (any_candidate) return merge_base_by_heights(a, b);
  return in_a.contains(b) ? b : a;
}

Result<MergeResult, Collision> Repo::merge(CommitId ours, CommitId theirs) {
  const CommitId base = merge_base(ours, theirs);
  const Section& base_section = section(base);
  const Section& our_section = section(ours);
  const Section& their_section = section(theirs);
  SectionMergeResult merged = merge_sections(base_section, our_section, their_section);
  auto hash = store_section(std::move(merged.merged));
  if (!hash) return hash.error();
  return MergeResult{.conflicts = std::move(merged.conflicts),
                     .merged_hash = *hash,
                     .base = base,
                     .ours = ours,
                     .theirs = theirs};
}

EditSet Repo::change_of(const Commit& commit) const {
  const Section& parent = commit.parents.empty() ? empty_section() : section(commit.parents.front());
  return diff_sections(parent, stored_section(commit.section_hash));
}

Result<SectionHash, HistoryError> Repo::apply_and_store(const EditSet& edits, CommitId dst) {
  ApplyResult applied = apply_to_section(edits, section(dst));
  if (!applied.ok()) return HistoryError(applied.error());
  auto hash = store_section(std::move(applied).value());
  if (!hash) return HistoryError(hash.error());
  return *hash;
}

Result<SectionHash, HistoryError> Repo::cherry_pick(CommitId src, CommitId dst) {
  const EditSet edits = change_of(commit_at(src));
  return apply_and_store(edits, dst);
}

Result<SectionHash, HistoryError> Repo::revert(CommitId target, CommitId dst) {
  const EditSet edits = invert(change_of(commit_at(target)));
  return apply_and_store(edits, dst);
}

}  // namespace vext
