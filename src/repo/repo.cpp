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

// A commit id's parents when it is stored; none otherwise.
std::span<const CommitId> parents_of(const detail::CommitIndex& commits, CommitId id) {
  const Commit* commit = commits.find(id);
  if (commit == nullptr) return {};
  return commit->parents;
}

// Walks from `start` top of stack first, parents pushed in stored order, and
// calls `visit` on each id when first reached; stops when it returns true.
// Returns the ids reached.
template <class F>
IdSet walk(const detail::CommitIndex& commits, CommitId start, F&& visit) {
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
IdSet ancestors(const detail::CommitIndex& commits, CommitId start) {
  return walk(commits, start, [](CommitId) { return false; });
}

// The largest depth at which a fresh depth-first walk from `x` first reaches
// an id.
std::uint64_t height(const detail::CommitIndex& commits, CommitId x) {
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

void append_entry_tail(std::string& out, const Value& value) {
  out.push_back('|');
  append_text(out, value);
  out.push_back('\n');
}

namespace {

template <class Sink>
void feed_section(Sink&& sink, const Section& section) {
  std::string tail;
  for (const auto& entry : section) {
    tail.clear();
    append_entry_tail(tail, entry.value);
    feed_entry(sink, entry.path, tail);
  }
}

}  // namespace

void append_section_hash_input(std::string& out, const Section& section) {
  feed_section([&](std::string_view bytes) { out.append(bytes); }, section);
}

SectionHash section_hash(const Section& section) {
  // Folds the input entry by entry rather than building it whole: every
  // entry repeats its full path, so deep trees would need a huge buffer.
  FnvSink sink;
  feed_section(sink, section);
  return sink.hash;
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

namespace detail {

const Commit* CommitIndex::find(CommitId id) const {
  if (slots_.empty()) return nullptr;
  for (std::size_t i = slot_of(id);; i = (i + 1) & (slots_.size() - 1)) {
    if (slots_[i].commit == nullptr) return nullptr;
    if (slots_[i].id == id) return slots_[i].commit;
  }
}

void CommitIndex::reserve_one() {
  if ((used_ + 1) * 2 <= slots_.size()) return;
  std::vector<Slot> old(std::max<std::size_t>(16, slots_.size() * 2));
  old.swap(slots_);
  used_ = 0;
  for (const Slot& slot : old) {
    if (slot.commit != nullptr) insert(slot.id, slot.commit);
  }
}

void CommitIndex::insert(CommitId id, const Commit* commit) noexcept {
  std::size_t i = slot_of(id);
  while (slots_[i].commit != nullptr) i = (i + 1) & (slots_.size() - 1);
  slots_[i] = {id, commit};
  ++used_;
}

}  // namespace detail

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
  const Commit* existing = index_.find(id);
  if (existing != nullptr && !(*existing == commit)) return Collision{Collision::Kind::Commit, id};
  if (existing == nullptr) {
    index_.reserve_one();
    const auto stored = commits_.emplace(id, std::move(commit)).first;
    index_.insert(id, &stored->second);
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
  if (const Commit* c = first ? index_.find(*first) : nullptr) like = section_root(c->section_hash).value_or(kNoNode);
  Undo undo(*this);
  return commit_root(message, parents, store_.intern_tree(tree, like), undo);
}

const Commit& Repo::commit_at(CommitId id) const {
  const Commit* commit = index_.find(id);
  if (commit == nullptr) throw Fatal(kNoEntry);
  return *commit;
}

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
    const Commit* commit = index_.find(x);
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
  const auto in_a = ancestors(index_, a);
  std::optional<CommitId> best;
  std::uint64_t best_height = 0;
  walk(index_, b, [&](CommitId x) {
    if (x != a && x != b && in_a.contains(x)) {
      const std::uint64_t h = height(index_, x);
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
  const auto in_a = ancestors(index_, a);
  std::optional<CommitId> found;
  bool any_candidate = false;
  walk(index_, b, [&](CommitId x) {
    if (x == a || x == b || !in_a.contains(x)) return false;
    any_candidate = true;
    if (!parents_of(index_, x).empty()) return false;
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
