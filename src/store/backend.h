#pragma once

// The storage under a persistent store: objects and commits by id, and named
// heads. The store's engine reaches storage only through this interface, so
// another backend (a server database) can stand in for SQLite.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/object.h"
#include "lossless/lossless.h"

namespace vext::store {

enum class StoreErrorCode : std::uint8_t {
  NotAStore,    // the file is no store (or no database at all)
  NewerFormat,  // written by a newer version of the store
  OlderFormat,  // written by an older version of the store, whose format this one no longer reads
  Corrupt,      // damaged: unreadable pages, bytes that do not hash to their id, missing objects
  Io,           // the system or the database refused: permissions, disk full, a lock held too long
  NotFound,     // no such commit or branch
  Ambiguous,    // a prefix that names more than one commit
  BranchMoved,  // a commit built on parents that are no longer the branch's head
  BranchExists,
  BadArgument,
};

struct StoreError {
  StoreErrorCode code = StoreErrorCode::Io;
  std::string message;  // opens with the store's file name
};

// Carries a StoreError out of the store's internals; the public functions
// return it as a Result.
struct StoreFailure : std::exception {
  StoreError error;
  explicit StoreFailure(StoreError e) : error(std::move(e)) {}
  const char* what() const noexcept override { return error.message.c_str(); }
};

// Writers close a pack once it holds about this many bytes: large enough
// that a read brings a node's children in one go, small enough that a diff
// reading a few nodes of a large tree reads little else.
inline constexpr std::size_t kPackBytes = std::size_t{4} << 10;

class Backend {
 public:
  virtual ~Backend() = default;

  // The name messages give the store: its path.
  virtual const std::string& name() const = 0;

  // Objects are kept in packs (see object.h), many to a stored row. Returns
  // the number of the pack that holds an object, nullopt when none does.
  virtual std::optional<std::int64_t> find_object(const ObjectId& id) = 0;
  // Returns a pack's bytes, nullopt when there is no such pack.
  virtual std::optional<std::string> pack(std::int64_t number) = 0;
  virtual std::optional<std::string> commit(const ObjectId& id) = 0;
  // Returns up to `limit` commit ids between `low` and `high`, both included.
  virtual std::vector<ObjectId> commits_between(const ObjectId& low, const ObjectId& high, std::size_t limit) = 0;
  // Calls `f` with up to `limit` commits, in id order from the first id
  // above `after` (from the smallest without it). A backend that cannot read
  // commits in order for much less than looking each up returns false at
  // once, and its readers look them up one by one.
  virtual bool commits_after(const std::optional<ObjectId>& after, std::size_t limit,
                             const std::function<void(const ObjectId&, std::string_view)>& f) {
    (void)after;
    (void)limit;
    (void)f;
    return false;
  }
  virtual std::optional<ObjectId> ref(std::string_view name) = 0;
  // Returns every head, by name.
  virtual std::vector<std::pair<std::string, ObjectId>> refs() = 0;

  // Reads between begin_read and end_read see one state of the store and
  // share the locks that taking it needs, instead of taking them for each
  // read. Neither may be called inside a write, nor begin_read twice.
  virtual void begin_read() {}
  virtual void end_read() noexcept {}

  // Writes happen between begin_write and end_write, all or nothing. Other
  // writers queue in begin_write, which `stop` can end by throwing Stopped.
  virtual void begin_write(const StopCheck& stop) = 0;
  // Stores the packs of one write and indexes the objects they hold (`ids[i]`
  // those of `packs[i]`); an object indexed already keeps its pack. Returns
  // the packs' numbers, in order.
  virtual std::vector<std::int64_t> put_packs(const std::vector<std::string>& packs,
                                              const std::vector<std::vector<ObjectId>>& ids) = 0;
  // Stores a commit unless one is stored under its id already.
  virtual void put_commit(const ObjectId& id, std::string_view bytes) = 0;
  virtual void set_ref(std::string_view name, const ObjectId& id) = 0;
  virtual void delete_ref(std::string_view name) = 0;
  // Makes the writes durable before it returns.
  virtual void end_write() = 0;
  virtual void abandon_write() noexcept = 0;

  // Calls `f` with every pack and its number.
  virtual void scan_packs(const std::function<void(std::int64_t, std::string_view)>& f) = 0;
  // Calls `f` with every commit, in id order.
  virtual void scan_commits(const std::function<void(const ObjectId&, std::string_view)>& f) = 0;

  // Batched forms of find_object, pack and commit, for a commit's new nodes
  // and for copying between stores: one answer per id, in order. A server
  // backend answers each in a few round trips.
  virtual std::vector<std::optional<std::int64_t>> find_objects(const std::vector<ObjectId>& ids) {
    std::vector<std::optional<std::int64_t>> out;
    out.reserve(ids.size());
    for (const ObjectId& id : ids) out.push_back(find_object(id));
    return out;
  }
  virtual std::vector<std::optional<std::string>> packs(const std::vector<std::int64_t>& numbers) {
    std::vector<std::optional<std::string>> out;
    out.reserve(numbers.size());
    for (const std::int64_t n : numbers) out.push_back(pack(n));
    return out;
  }
  virtual std::vector<bool> has_commits(const std::vector<ObjectId>& ids) {
    std::vector<bool> out;
    out.reserve(ids.size());
    for (const ObjectId& id : ids) out.push_back(commit(id).has_value());
    return out;
  }
};

// Opens the SQLite store at `path`, creating it when the file is missing or
// empty. Throws StoreFailure.
std::unique_ptr<Backend> open_sqlite(const std::string& path);

// Whether a store location is a PostgreSQL connection URI (postgresql://...).
bool is_postgres_location(std::string_view location);
// Opens the store in the PostgreSQL database a libpq connection string names,
// creating its tables when there are none. The store's name in messages
// leaves the password out. Throws StoreFailure.
std::unique_ptr<Backend> open_postgres(const std::string& conninfo);

}  // namespace vext::store
