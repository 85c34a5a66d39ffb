#include "repo/repo.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "common/fatal.h"
#include "common/hash.h"

namespace vext {
namespace {

constexpr const char* kNoEntry = "no entry found for key";

// A set of commit ids: the history walks insert every id they reach, and a
// node-based set would allocate for each of them. mix_hash is a bijection,
// so equal hashes mean equal ids.
class IdSet {
 public:
  explicit IdSet(std::size_t expected = 8) : index_(expected) {}

  // Returns false when `id` was already present.
  bool insert(CommitId id) {
    if (contains(id)) return false;
    index_.add(mix_hash(id), true);
    return true;
  }
  bool contains(CommitId id) const {
    return index_.find(mix_hash(id), [](bool) { return true; });
  }

 private:
  HashIndex<bool, false> index_;
};

// A commit id's parents when it is stored; none otherwise.
std::span<const CommitId> parents_of(const Commits& commits, CommitId id) {
  const Commit* commit = commits.find(id);
  if (commit == nullptr) return {};
  return commit->parents;
}

// Walks from `start` top of stack first, parents pushed in stored order, and
// calls `visit` on each id when first reached; stops when it returns true.
// Returns the ids reached.
template <class F>
IdSet walk(const Commits& commits, CommitId start, F&& visit) {
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
IdSet ancestors(const Commits& commits, CommitId start) {
  return walk(commits, start, [](CommitId) { return false; });
}

// The largest depth at which a fresh depth-first walk from `x` first reaches
// an id.
std::uint64_t height(const Commits& commits, CommitId x) {
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

std::uint32_t Commits::entry_of(CommitId id) const {
  return index_.find(mix_hash(id), [](std::uint32_t) { return true; });
}

const Commit* Commits::find(CommitId id) const {
  const std::uint32_t entry = entry_of(id);
  return entry == kAbsent ? nullptr : &entries_[entry].second;
}

const Commit& Commits::at(CommitId id) const {
  const Commit* commit = find(id);
  if (commit == nullptr) throw Fatal(kNoEntry);
  return *commit;
}

const Commit& Commits::add(CommitId id, Commit commit) {
  if (entries_.size() >= kAbsent) throw Fatal("repository: too many commits");
  index_.reserve_one();
  entries_.emplace_back(id, std::move(commit));
  index_.insert(mix_hash(id), static_cast<std::uint32_t>(entries_.size() - 1));
  return entries_.back().second;
}

void Commits::clear() noexcept {
  entries_.clear();
  index_.clear();
}

bool operator==(const Commits& a, const Commits& b) {
  if (a.size() != b.size()) return false;
  for (const auto& [id, commit] : a) {
    const Commit* other = b.find(id);
    if (other == nullptr || !(*other == commit)) return false;
  }
  return true;
}

std::uint64_t system_clock_seconds() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

// Rolls the repository back to where it stood when the undo began, unless
// the operation that made it says it is done: the records interned since,
// and the section entry filed for them.
class Repo::Undo {
 public:
  explicit Undo(Repo& repo) : repo_(repo), mark_(repo.store_.mark()) {}
  Undo(const Undo&) = delete;
  Undo& operator=(const Undo&) = delete;
  ~Undo() {
    if (done_) return;
    if (filed_) {
      repo_.sections_.erase(hash_);
      repo_.section_hashes_.erase(root_);
    }
    repo_.store_.rollback(mark_);
  }
  void filed(SectionHash hash, NodeId root) {
    filed_ = true;
    hash_ = hash;
    root_ = root;
  }
  void done() { done_ = true; }

 private:
  Repo& repo_;
  NodeStore::Mark mark_;
  bool filed_ = false;
  bool done_ = false;
  SectionHash hash_ = 0;
  NodeId root_ = kNoNode;
};

Result<SectionHash, Collision> Repo::keep_section(NodeId root, Undo& undo) {
  SectionHash hash = kFnvOffsetBasis;
  if (root != kNoNode) {
    auto known = section_hashes_.find(root);
    hash = known != section_hashes_.end() ? known->second : store_.hash(root);
  }
  // Equal contents are one node, so comparing two sections is comparing
  // their numbers.
  auto stored = sections_.find(hash);
  if (stored != sections_.end()) {
    if (stored->second != root) return Collision{Collision::Kind::Section, hash};
    return hash;
  }
  sections_.emplace(hash, root);
  undo.filed(hash, root);
  if (root != kNoNode) section_hashes_.emplace(root, hash);
  return hash;
}

Result<SectionHash, Collision> Repo::store_section(const Section& section) {
  Undo undo(*this);
  auto hash = keep_section(store_.intern_section(section), undo);
  if (hash) undo.done();
  return hash;
}

Result<CommitId, Collision> Repo::commit_root(std::string_view message, std::span<const CommitId> parents,
                                              NodeId root, Undo& undo) {
  auto hash = keep_section(root, undo);
  if (!hash) return hash.error();
  Commit commit{.parents = {parents.begin(), parents.end()},
                .message = std::string(message),
                .section_hash = *hash,
                .timestamp = clock_()};
  const CommitId id = commit_id(commit);
  const Commit* existing = commits_.find(id);
  if (existing != nullptr && !(*existing == commit)) return Collision{Collision::Kind::Commit, id};
  if (existing == nullptr) {
    commits_.add(id, std::move(commit));
  }
  undo.done();
  head_ = id;
  return id;
}

Result<CommitId, Collision> Repo::commit_section(std::string_view message, std::span<const CommitId> parents,
                                                 const Section& section) {
  Undo undo(*this);
  return commit_root(message, parents, store_.intern_section(section), undo);
}

Result<CommitId, Collision> Repo::commit(std::string_view message, std::span<const CommitId> parents,
                                         const TreeNode& tree) {
  // The first parent's section most likely holds most of the tree; without
  // one, the latest commit's.
  NodeId like = kNoNode;
  const auto first = parents.empty() ? head_ : std::optional<CommitId>(parents.front());
  if (const Commit* c = first ? commits_.find(*first) : nullptr) like = section_root(c->section_hash).value_or(kNoNode);
  Undo undo(*this);
  return commit_root(message, parents, store_.intern_tree(tree, like), undo);
}

const Commit& Repo::commit_at(CommitId id) const { return commits_.at(id); }

std::optional<NodeId> Repo::section_root(SectionHash hash) const {
  auto it = sections_.find(hash);
  if (it == sections_.end()) return std::nullopt;
  return it->second;
}

NodeId Repo::root_of(CommitId id) const {
  auto root = section_root(commit_at(id).section_hash);
  if (!root) throw Fatal(kNoEntry);
  return *root;
}

Section Repo::section(CommitId id) const { return store_.to_section(root_of(id)); }

TreeNode Repo::tree(CommitId id) const { return store_.to_tree(root_of(id)); }

TreeNode Repo::section_as_tree(SectionHash hash) const {
  auto root = section_root(hash);
  return root ? store_.to_tree(*root) : TreeNode(std::string());
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
    const Commit* commit = commits_.find(x);
    if (commit == nullptr) continue;
    out.emplace_back(x, commit);
    stack.insert(stack.end(), commit->parents.begin(), commit->parents.end());
  }
  return out;
}

EditSet Repo::diff(CommitId a, CommitId b) const {
  const NodeId old_root = root_of(a);
  const NodeId new_root = root_of(b);
  return store_.diff(old_root, new_root);
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
  const NodeId base_root = root_of(base);
  const NodeId our_root = root_of(ours);
  const NodeId their_root = root_of(theirs);
  Undo undo(*this);
  NodeStore::Merged merged = store_.merge(base_root, our_root, their_root);
  auto hash = keep_section(merged.root, undo);
  if (!hash) return hash.error();
  undo.done();
  return MergeResult{.conflicts = std::move(merged.conflicts),
                     .merged_hash = *hash,
                     .base = base,
                     .ours = ours,
                     .theirs = theirs};
}

NodeId Repo::parent_root(const Commit& commit) const {
  return commit.parents.empty() ? kNoNode : root_of(commit.parents.front());
}

Result<SectionHash, HistoryError> Repo::transplant_and_keep(NodeId from, NodeId to, NodeId onto) {
  Undo undo(*this);
  auto applied = store_.transplant(from, to, onto);
  if (auto* error = std::get_if<ApplyError>(&applied)) return HistoryError(std::move(*error));
  auto hash = keep_section(std::get<NodeId>(applied), undo);
  if (!hash) return HistoryError(hash.error());
  undo.done();
  return *hash;
}

Result<SectionHash, HistoryError> Repo::cherry_pick(CommitId src, CommitId dst) {
  const Commit& commit = commit_at(src);
  const NodeId parent = parent_root(commit);
  const NodeId changed = root_of(src);
  return transplant_and_keep(parent, changed, root_of(dst));
}

Result<SectionHash, HistoryError> Repo::revert(CommitId target, CommitId dst) {
  const Commit& commit = commit_at(target);
  const NodeId parent = parent_root(commit);
  const NodeId changed = root_of(target);
  return transplant_and_keep(changed, parent, root_of(dst));
}

}  // namespace vext
