#include "store/transfer.h"

#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace vext::store {

// Reaches the insides of two stores for a transfer.
struct TransferAccess {
  static Backend& backend(Store& s) { return *s.backend_; }
  static std::mutex& mutex(Store& s) { return s.mutex_; }
};

namespace {

using IdSet = std::unordered_set<ObjectId, ObjectId::Hash>;
template <class V>
using IdMap = std::unordered_map<ObjectId, V, ObjectId::Hash>;

// A write transaction on the target ends after about this much.
constexpr std::size_t kBatchObjects = 20'000;
constexpr std::size_t kBatchBytes = std::size_t{16} << 20;
// The source's packs read for a copy are kept up to about this many bytes.
constexpr std::size_t kPackCacheBytes = std::size_t{64} << 20;

class Transfer {
 public:
  Transfer(Backend& from, Backend& to, const StopCheck& stop) : from_(from), to_(to), stop_(stop) {}
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() { to_.abandon_write(); }

  TransferReport run(std::string_view branch, std::string_view to_branch) {
    const auto head = from_.ref(branch);
    if (!head) fail(from_, StoreErrorCode::NotFound, "no branch '" + std::string(branch) + "'");
    const auto there = to_.ref(to_branch);
    if (there && *there != *head && !descends(*head, *there))
      fail(to_, StoreErrorCode::BranchMoved,
           "branch '" + std::string(to_branch) + "' is at " + to_hex(*there) + ", which is not in the history of '" +
               std::string(branch) + "' in " + from_.name() + "; not a fast-forward (copy into a branch of its own, "
               "then merge)");
    TransferReport report;
    report.head = *head;
    for (const ObjectId& c : missing_commits(*head)) {
      const CommitRecord& record = commit(c);
      send_tree(record.root, report);
      put_commit(c, report);
    }
    if (there == head) {
      finish_batch();
      return report;
    }
    // The branch moves with the last batch, which is durable with one sync.
    start_batch();
    if (to_.ref(to_branch) != there)
      fail(to_, StoreErrorCode::BranchMoved, "branch '" + std::string(to_branch) + "' moved during the copy");
    to_.set_ref(to_branch, *head);
    finish_batch();
    return report;
  }

 private:
  [[noreturn]] static void fail(const Backend& b, StoreErrorCode code, const std::string& what) {
    throw StoreFailure(StoreError{code, b.name() + ": " + what});
  }

  void poll() const {
    if (stop_.poll && stop_.poll(stop_.context)) throw Stopped();
  }

  // Reads a commit of the source, checking its bytes against its id.
  const CommitRecord& commit(const ObjectId& id) {
    if (auto it = commits_.find(id); it != commits_.end()) return it->second.record;
    auto bytes = from_.commit(id);
    if (!bytes) fail(from_, StoreErrorCode::Corrupt, "damaged: commit " + to_hex(id) + " is missing");
    if (hash_bytes(*bytes) != id) fail(from_, StoreErrorCode::Corrupt, "damaged: commit " + to_hex(id) + " does not hash to its id");
    auto record = decode_commit(*bytes);
    if (!record) fail(from_, StoreErrorCode::Corrupt, "damaged: commit " + to_hex(id) + " is not well-formed");
    return commits_.emplace(id, Read{std::move(*bytes), std::move(*record)}).first->second.record;
  }

  // Whether `ancestor` is `head` or in its history, in the source.
  bool descends(const ObjectId& head, const ObjectId& ancestor) {
    if (!from_.commit(ancestor)) return false;
    IdSet seen{head};
    std::vector<ObjectId> todo{head};
    while (!todo.empty()) {
      poll();
      const ObjectId c = todo.back();
      todo.pop_back();
      if (c == ancestor) return true;
      for (const ObjectId& p : commit(c).parents) {
        if (seen.insert(p).second) todo.push_back(p);
      }
    }
    return false;
  }

  // The commits of `head`'s history the target lacks, each after its parents.
  // A commit the target has comes with its whole history.
  std::vector<ObjectId> missing_commits(const ObjectId& head) {
    IdSet seen{head}, missing;
    std::vector<ObjectId> frontier{head};
    while (!frontier.empty()) {
      poll();
      const std::vector<bool> has = to_.has_commits(frontier);
      std::vector<ObjectId> next;
      for (std::size_t i = 0; i < frontier.size(); ++i) {
        if (has[i]) continue;
        missing.insert(frontier[i]);
        for (const ObjectId& p : commit(frontier[i]).parents) {
          if (seen.insert(p).second) next.push_back(p);
        }
      }
      frontier = std::move(next);
    }
    std::vector<ObjectId> order;
    IdSet placed;
    std::vector<std::pair<ObjectId, bool>> stack;  // (commit, parents placed)
    if (missing.count(head)) stack.emplace_back(head, false);
    while (!stack.empty()) {
      const auto [c, ready] = stack.back();
      stack.pop_back();
      if (placed.count(c)) continue;
      if (ready) {
        placed.insert(c);
        order.push_back(c);
        continue;
      }
      stack.emplace_back(c, true);
      const auto& parents = commit(c).parents;
      for (auto it = parents.rbegin(); it != parents.rend(); ++it) {
        if (missing.count(*it) && !placed.count(*it)) stack.emplace_back(*it, false);
      }
    }
    return order;
  }

  // Writes the objects under `root` the target lacks, each after the ones it
  // names. An object the target has comes with everything under it.
  void send_tree(const ObjectId& root, TransferReport& report) {
    if (sent_.count(root)) return;
    IdMap<Read> found;
    IdMap<std::vector<ObjectId>> names;
    IdSet seen{root};
    std::vector<ObjectId> frontier{root};
    while (!frontier.empty()) {
      poll();
      const std::vector<std::optional<std::int64_t>> has = to_.find_objects(frontier);
      std::vector<ObjectId> lacking;
      for (std::size_t i = 0; i < frontier.size(); ++i) {
        if (!has[i]) lacking.push_back(frontier[i]);
      }
      std::vector<std::string> bytes = objects(lacking);
      std::vector<ObjectId> next;
      for (std::size_t i = 0; i < lacking.size(); ++i) {
        const ObjectId& id = lacking[i];
        std::vector<ObjectId> items = named_by(id, bytes[i]);
        for (const ObjectId& item : items) {
          if (!sent_.count(item) && seen.insert(item).second) next.push_back(item);
        }
        names.emplace(id, std::move(items));
        found.emplace(id, Read{std::move(bytes[i]), {}});
      }
      frontier = std::move(next);
    }
    std::vector<std::pair<ObjectId, bool>> stack;
    if (found.count(root)) stack.emplace_back(root, false);
    while (!stack.empty()) {
      const auto [id, ready] = stack.back();
      stack.pop_back();
      if (sent_.count(id)) continue;
      if (ready) {
        put_object(id, found.at(id).bytes, report);
        continue;
      }
      stack.emplace_back(id, true);
      for (const ObjectId& item : names.at(id)) {
        if (found.count(item) && !sent_.count(item)) stack.emplace_back(item, false);
      }
    }
  }

  // Reads objects of the source from their packs, a batch of packs at once.
  std::vector<std::string> objects(const std::vector<ObjectId>& ids) {
    if (pack_cache_bytes_ >= kPackCacheBytes) {
      in_packs_.clear();
      packs_.clear();
      pack_cache_bytes_ = 0;
    }
    const std::vector<std::optional<std::int64_t>> numbers = from_.find_objects(ids);
    std::vector<std::int64_t> wanted;
    std::unordered_set<std::int64_t> asked;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (!numbers[i]) fail(from_, StoreErrorCode::Corrupt, "damaged: object " + to_hex(ids[i]) + " is missing");
      if (!in_packs_.count(ids[i]) && !packs_.count(*numbers[i]) && asked.insert(*numbers[i]).second)
        wanted.push_back(*numbers[i]);
    }
    std::vector<std::optional<std::string>> read = from_.packs(wanted);
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      const std::string what = "pack " + std::to_string(wanted[i]);
      if (!read[i]) fail(from_, StoreErrorCode::Corrupt, "damaged: " + what + " is missing");
      pack_cache_bytes_ += read[i]->size();
      const std::string& held = packs_.emplace(wanted[i], std::move(*read[i])).first->second;
      const auto entries = decode_pack(held);
      if (!entries) fail(from_, StoreErrorCode::Corrupt, "damaged: " + what + " is not well-formed");
      for (const PackEntry& e : *entries) in_packs_.emplace(e.id, e.bytes);
    }
    std::vector<std::string> out;
    out.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const auto it = in_packs_.find(ids[i]);
      if (it == in_packs_.end())
        fail(from_, StoreErrorCode::Corrupt,
             "damaged: pack " + std::to_string(*numbers[i]) + " does not hold object " + to_hex(ids[i]));
      out.emplace_back(it->second);
    }
    return out;
  }

  std::vector<ObjectId> named_by(const ObjectId& id, std::string_view bytes) const {
    if (hash_bytes(bytes) != id) fail(from_, StoreErrorCode::Corrupt, "damaged: object " + to_hex(id) + " does not hash to its id");
    if (auto node = decode_node(bytes)) return std::move(node->items);
    if (auto chunk = decode_chunk(bytes)) return std::move(chunk->items);
    fail(from_, StoreErrorCode::Corrupt, "damaged: object " + to_hex(id) + " is not well-formed");
  }

  void start_batch() {
    if (in_batch_) return;
    poll();
    to_.begin_write(stop_);
    in_batch_ = true;
  }

  void finish_batch() {
    if (!in_batch_) return;
    flush_pack();
    if (!packs_out_.empty()) to_.put_packs(packs_out_, ids_out_);
    packs_out_.clear();
    ids_out_.clear();
    to_.end_write();
    in_batch_ = false;
    batch_objects_ = 0;
    batch_bytes_ = 0;
  }

  void count(std::size_t bytes) {
    batch_bytes_ += bytes;
    if (++batch_objects_ >= kBatchObjects || batch_bytes_ >= kBatchBytes) finish_batch();
  }

  // Closes the pack being filled, if it holds anything.
  void flush_pack() {
    if (pack_.empty()) return;
    std::vector<PackEntry> entries;
    entries.reserve(pack_.size());
    for (const auto& [id, bytes] : pack_) entries.push_back({id, bytes});
    packs_out_.push_back(encode(entries));
    ids_out_.emplace_back();
    for (const auto& entry : pack_) ids_out_.back().push_back(entry.first);
    pack_.clear();
    pack_bytes_ = 0;
  }

  // Objects go to the target in packs, as a commit's do, written with the
  // batch they belong to.
  void put_object(const ObjectId& id, const std::string& bytes, TransferReport& report) {
    start_batch();
    pack_.emplace_back(id, bytes);
    pack_bytes_ += bytes.size() + 34;
    if (pack_bytes_ >= kPackBytes) flush_pack();
    sent_.insert(id);
    ++report.objects;
    count(bytes.size());
  }

  void put_commit(const ObjectId& id, TransferReport& report) {
    start_batch();
    const std::string& bytes = commits_.at(id).bytes;
    to_.put_commit(id, bytes);
    ++report.commits;
    count(bytes.size());
  }

  struct Read {
    std::string bytes;
    CommitRecord record;
  };

  Backend& from_;
  Backend& to_;
  const StopCheck& stop_;
  IdMap<Read> commits_;
  IdSet sent_;
  // Packs of the source read so far, and where their objects lie in them.
  std::unordered_map<std::int64_t, std::string> packs_;
  IdMap<std::string_view> in_packs_;
  std::size_t pack_cache_bytes_ = 0;
  // The batch's objects on their way to the target.
  std::vector<std::pair<ObjectId, std::string>> pack_;
  std::size_t pack_bytes_ = 0;
  std::vector<std::string> packs_out_;
  std::vector<std::vector<ObjectId>> ids_out_;
  bool in_batch_ = false;
  std::size_t batch_objects_ = 0;
  std::size_t batch_bytes_ = 0;
};

}  // namespace

Result<TransferReport, StoreError> transfer(Store& from, Store& to, std::string_view branch,
                                            std::string_view to_branch, const StopCheck& stop) {
  if (&from == &to) return StoreError{StoreErrorCode::BadArgument, from.name() + ": a store cannot copy into itself"};
  // Names are checked as the stores check them, before either is touched.
  for (const auto& [store, name] : {std::pair<Store*, std::string_view>{&from, branch}, {&to, to_branch}}) {
    if (!valid_branch_name(name))
      return StoreError{StoreErrorCode::BadArgument, store->name() + ": not a branch name: '" + std::string(name) + "'"};
  }
  std::scoped_lock lock(TransferAccess::mutex(from), TransferAccess::mutex(to));
  try {
    Transfer t(TransferAccess::backend(from), TransferAccess::backend(to), stop);
    return t.run(branch, to_branch);
  } catch (const StoreFailure& f) {
    return f.error;
  }
}

}  // namespace vext::store
