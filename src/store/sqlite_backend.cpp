#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "store/backend.h"

namespace vext::store {
namespace {

// "vext" in ASCII: marks the file as a store, beside SQLite's own header.
constexpr int kApplicationId = 0x76657874;
// Format 1 kept one row per object; format 2 keeps objects in packs.
constexpr int kFormatVersion = 2;
// How long a writer waits for another before it gives up.
constexpr auto kBusyLimit = std::chrono::seconds(120);

constexpr const char* kSchema =
    "CREATE TABLE packs(number INTEGER PRIMARY KEY, data BLOB NOT NULL);"
    "CREATE TABLE objects(id BLOB PRIMARY KEY, pack INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE commits(id BLOB PRIMARY KEY, data BLOB NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE refs(name TEXT PRIMARY KEY, id BLOB NOT NULL) WITHOUT ROWID;";

class Statement {
 public:
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(stmt_); }
  sqlite3_stmt*& slot() { return stmt_; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Resets a statement on every path out of a use.
class Use {
 public:
  explicit Use(const Statement& s) : s_(s.get()) {}
  ~Use() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  sqlite3_stmt* operator->() const { return s_; }
  sqlite3_stmt* get() const { return s_; }

 private:
  sqlite3_stmt* s_;
};

class SqliteBackend final : public Backend {
 public:
  explicit SqliteBackend(std::string path) : path_(std::move(path)) {}
  SqliteBackend(const SqliteBackend&) = delete;
  SqliteBackend& operator=(const SqliteBackend&) = delete;
  ~SqliteBackend() override {
    end_read();
    abandon_write();
    close();
  }

  void open() {
    const int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                                            SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                                   nullptr);
    if (rc != SQLITE_OK) fail(rc);
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_handler(db_, &SqliteBackend::on_busy, this);
    // The journal mode is read first: a file that is no database says so here.
    exec("PRAGMA synchronous=FULL");
    const int app = pragma_int("application_id");
    const int version = pragma_int("user_version");
    if (app == 0 && version == 0) {
      if (pragma_int("page_count") != 0 && count_tables() != 0) problem(StoreErrorCode::NotAStore, "not a vext store");
      create();
    } else if (app != kApplicationId) {
      problem(StoreErrorCode::NotAStore, "not a vext store");
    } else if (version > kFormatVersion) {
      problem(StoreErrorCode::NewerFormat, "written by a newer vext (store format " + std::to_string(version) +
                                               ", this vext reads format " + std::to_string(kFormatVersion) + ")");
    } else if (version < 1) {
      problem(StoreErrorCode::Corrupt, "damaged: no store format version");
    } else if (version < kFormatVersion) {
      problem(StoreErrorCode::OlderFormat, "written by an older vext (store format " + std::to_string(version) +
                                               "), which this vext no longer reads (it reads format " +
                                               std::to_string(kFormatVersion) + ")");
    }
    exec("PRAGMA journal_mode=WAL");
    // Reads go through a mapping of the file and a page cache large enough
    // for the upper levels of the tables, so a tree read touches few pages twice.
    exec("PRAGMA mmap_size=1073741824");
    exec("PRAGMA cache_size=-65536");
    prepare(find_object_, "SELECT pack FROM objects WHERE id=?1");
    prepare(get_pack_, "SELECT data FROM packs WHERE number=?1");
    prepare(get_commit_, "SELECT data FROM commits WHERE id=?1");
    prepare(commits_between_, "SELECT id FROM commits WHERE id BETWEEN ?1 AND ?2 ORDER BY id LIMIT ?3");
    prepare(commits_after_, "SELECT id, data FROM commits WHERE id > ?1 ORDER BY id LIMIT ?2");
    prepare(get_ref_, "SELECT id FROM refs WHERE name=?1");
    prepare(all_refs_, "SELECT name, id FROM refs ORDER BY name");
    prepare(put_pack_, "INSERT INTO packs(data) VALUES(?1)");
    prepare(put_index_, "INSERT OR IGNORE INTO objects(id, pack) VALUES(?1, ?2)");
    prepare(put_commit_, "INSERT OR IGNORE INTO commits(id, data) VALUES(?1, ?2)");
    prepare(set_ref_, "INSERT OR REPLACE INTO refs(name, id) VALUES(?1, ?2)");
    prepare(delete_ref_, "DELETE FROM refs WHERE name=?1");
    prepare(begin_, "BEGIN IMMEDIATE");
    prepare(begin_read_, "BEGIN");
    prepare(commit_, "COMMIT");
    prepare(rollback_, "ROLLBACK");
  }

  const std::string& name() const override { return path_; }

  std::optional<std::int64_t> find_object(const ObjectId& id) override {
    Use q(find_object_);
    bind_id(q.get(), 1, id);
    if (!step(q.get())) return std::nullopt;
    return sqlite3_column_int64(q.get(), 0);
  }

  std::optional<std::string> pack(std::int64_t number) override {
    Use q(get_pack_);
    sqlite3_bind_int64(q.get(), 1, number);
    if (!step(q.get())) return std::nullopt;
    return column_blob(q.get(), 0);
  }

  std::optional<std::string> commit(const ObjectId& id) override { return by_id(get_commit_, id); }

  std::vector<ObjectId> commits_between(const ObjectId& low, const ObjectId& high, std::size_t limit) override {
    Use q(commits_between_);
    bind_id(q.get(), 1, low);
    bind_id(q.get(), 2, high);
    sqlite3_bind_int64(q.get(), 3, static_cast<sqlite3_int64>(limit));
    std::vector<ObjectId> out;
    while (step(q.get())) out.push_back(column_id(q.get(), 0));
    return out;
  }

  bool commits_after(const std::optional<ObjectId>& after, std::size_t limit,
                     const std::function<void(const ObjectId&, std::string_view)>& f) override {
    Use q(commits_after_);
    // An empty blob sorts before every id.
    if (after) {
      bind_id(q.get(), 1, *after);
    } else {
      sqlite3_bind_zeroblob(q.get(), 1, 0);
    }
    sqlite3_bind_int64(q.get(), 2, static_cast<sqlite3_int64>(limit));
    while (step(q.get())) f(column_id(q.get(), 0), column_view(q.get(), 1));
    return true;
  }

  std::optional<ObjectId> ref(std::string_view name) override {
    Use q(get_ref_);
    bind_text(q.get(), 1, name);
    if (!step(q.get())) return std::nullopt;
    return column_id(q.get(), 0);
  }

  std::vector<std::pair<std::string, ObjectId>> refs() override {
    Use q(all_refs_);
    std::vector<std::pair<std::string, ObjectId>> out;
    while (step(q.get())) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0));
      std::string name(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(q.get(), 0)));
      out.emplace_back(std::move(name), column_id(q.get(), 1));
    }
    return out;
  }

  // A deferred transaction takes the file's shared lock and a snapshot of
  // the write-ahead log with its first read and keeps them to the end.
  void begin_read() override {
    Use q(begin_read_);
    step(q.get());
    in_read_ = true;
  }

  void end_read() noexcept override {
    if (!in_read_) return;
    in_read_ = false;
    sqlite3_reset(commit_.get());
    const int rc = sqlite3_step(commit_.get());
    sqlite3_reset(commit_.get());
    if (rc != SQLITE_DONE && !sqlite3_get_autocommit(db_)) {
      sqlite3_reset(rollback_.get());
      sqlite3_step(rollback_.get());
      sqlite3_reset(rollback_.get());
    }
  }

  void begin_write(const StopCheck& stop) override {
    stop_ = &stop;
    stopped_ = false;
    waited_ = {};
    try {
      Use q(begin_);
      step(q.get());
    } catch (...) {
      stop_ = nullptr;
      if (stopped_) throw Stopped();
      throw;
    }
    stop_ = nullptr;
    in_write_ = true;
  }

  std::vector<std::int64_t> put_packs(const std::vector<std::string>& packs,
                                      const std::vector<std::vector<ObjectId>>& ids) override {
    std::vector<std::int64_t> numbers;
    std::vector<std::pair<ObjectId, std::int64_t>> index;
    for (std::size_t i = 0; i < packs.size(); ++i) {
      Use q(put_pack_);
      sqlite3_bind_blob64(q.get(), 1, packs[i].data(), packs[i].size(), SQLITE_STATIC);
      step(q.get());
      numbers.push_back(sqlite3_last_insert_rowid(db_));
      for (const ObjectId& id : ids[i]) index.emplace_back(id, numbers.back());
    }
    // In id order, the index's pages are written one after the other.
    std::sort(index.begin(), index.end());
    for (const auto& [id, number] : index) {
      Use q(put_index_);
      bind_id(q.get(), 1, id);
      sqlite3_bind_int64(q.get(), 2, number);
      step(q.get());
    }
    return numbers;
  }

  void put_commit(const ObjectId& id, std::string_view bytes) override {
    Use q(put_commit_);
    bind_id(q.get(), 1, id);
    sqlite3_bind_blob64(q.get(), 2, bytes.data(), bytes.size(), SQLITE_STATIC);
    step(q.get());
  }

  void set_ref(std::string_view name, const ObjectId& id) override {
    Use q(set_ref_);
    bind_text(q.get(), 1, name);
    bind_id(q.get(), 2, id);
    step(q.get());
  }

  void delete_ref(std::string_view name) override {
    Use q(delete_ref_);
    bind_text(q.get(), 1, name);
    step(q.get());
  }

  void end_write() override {
    Use q(commit_);
    step(q.get());
    in_write_ = false;
  }

  void abandon_write() noexcept override {
    if (!in_write_) return;
    in_write_ = false;
    sqlite3_reset(rollback_.get());
    sqlite3_step(rollback_.get());
    sqlite3_reset(rollback_.get());
  }

  void scan_packs(const std::function<void(std::int64_t, std::string_view)>& f) override {
    Statement s;
    prepare(s, "SELECT number, data FROM packs ORDER BY number");
    Use q(s);
    while (step(q.get())) f(sqlite3_column_int64(q.get(), 0), column_view(q.get(), 1));
  }

  void scan_commits(const std::function<void(const ObjectId&, std::string_view)>& f) override {
    Statement s;
    prepare(s, "SELECT id, data FROM commits ORDER BY id");
    Use q(s);
    while (step(q.get())) f(column_id(q.get(), 0), column_view(q.get(), 1));
  }

 private:
  [[noreturn]] void problem(StoreErrorCode code, const std::string& what) const {
    throw StoreFailure(StoreError{code, path_ + ": " + what});
  }

  [[noreturn]] void fail(int rc) const {
    const int primary = rc & 0xff;
    const std::string detail = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    switch (primary) {
      case SQLITE_NOTADB:
        problem(StoreErrorCode::NotAStore, "not a vext store (" + detail + ")");
      case SQLITE_CORRUPT:
        problem(StoreErrorCode::Corrupt, "damaged (" + detail + ")");
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        problem(StoreErrorCode::Io, "another process held the store too long (" + detail + ")");
      case SQLITE_NOMEM:
        throw std::bad_alloc();
      default:
        problem(StoreErrorCode::Io, detail);
    }
  }

  void close() noexcept {
    for (Statement* s : {&find_object_, &get_pack_, &get_commit_, &commits_between_, &commits_after_, &get_ref_,
                         &all_refs_, &put_pack_, &put_index_, &put_commit_, &set_ref_, &delete_ref_, &begin_,
                         &begin_read_, &commit_, &rollback_}) {
      sqlite3_finalize(s->slot());
      s->slot() = nullptr;
    }
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
  }

  static int on_busy(void* context, int) {
    auto* self = static_cast<SqliteBackend*>(context);
    if (self->stop_ && self->stop_->poll && self->stop_->poll(self->stop_->context)) {
      self->stopped_ = true;
      return 0;
    }
    if (self->waited_ >= kBusyLimit) return 0;
    const auto pause = std::chrono::milliseconds(2);
    std::this_thread::sleep_for(pause);
    self->waited_ += pause;
    return 1;
  }

  void exec(const char* sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
    sqlite3_free(message);
    if (rc != SQLITE_OK) fail(rc);
  }

  int pragma_int(const char* name) {
    Statement s;
    prepare(s, std::string("PRAGMA ") + name);
    Use q(s);
    return step(q.get()) ? sqlite3_column_int(q.get(), 0) : 0;
  }

  int count_tables() {
    Statement s;
    prepare(s, "SELECT count(*) FROM sqlite_schema");
    Use q(s);
    return step(q.get()) ? sqlite3_column_int(q.get(), 0) : 0;
  }

  void create() {
    exec("BEGIN IMMEDIATE");
    try {
      // Another process may have made it while this one waited.
      if (pragma_int("application_id") == 0) {
        exec(kSchema);
        exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
        exec(("PRAGMA user_version=" + std::to_string(kFormatVersion)).c_str());
      }
      exec("COMMIT");
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  void prepare(Statement& s, const std::string& sql) {
    const int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                                      &s.slot(), nullptr);
    if (rc != SQLITE_OK) fail(rc);
  }

  // Steps a statement: true for a row, false when done.
  bool step(sqlite3_stmt* q) {
    const int rc = sqlite3_step(q);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    fail(rc);
  }

  static void bind_id(sqlite3_stmt* q, int at, const ObjectId& id) {
    sqlite3_bind_blob(q, at, id.bytes.data(), static_cast<int>(id.bytes.size()), SQLITE_STATIC);
  }
  static void bind_text(sqlite3_stmt* q, int at, std::string_view text) {
    sqlite3_bind_text(q, at, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  }

  ObjectId column_id(sqlite3_stmt* q, int at) const {
    ObjectId id;
    const void* data = sqlite3_column_blob(q, at);
    if (sqlite3_column_bytes(q, at) != static_cast<int>(id.bytes.size()) || !data)
      problem(StoreErrorCode::Corrupt, "damaged: an id of the wrong length");
    std::memcpy(id.bytes.data(), data, id.bytes.size());
    return id;
  }

  static std::string_view column_view(sqlite3_stmt* q, int at) {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(q, at));
    const auto n = static_cast<std::size_t>(sqlite3_column_bytes(q, at));
    return std::string_view(data ? data : "", n);
  }
  static std::string column_blob(sqlite3_stmt* q, int at) { return std::string(column_view(q, at)); }

  std::optional<std::string> by_id(const Statement& s, const ObjectId& id) {
    Use q(s);
    bind_id(q.get(), 1, id);
    if (!step(q.get())) return std::nullopt;
    return column_blob(q.get(), 0);
  }

  std::string path_;
  sqlite3* db_ = nullptr;
  Statement find_object_, get_pack_, get_commit_, commits_between_, commits_after_, get_ref_, all_refs_, put_pack_,
      put_index_, put_commit_, set_ref_, delete_ref_, begin_, begin_read_, commit_, rollback_;
  const StopCheck* stop_ = nullptr;
  bool stopped_ = false;
  bool in_write_ = false;
  bool in_read_ = false;
  std::chrono::milliseconds waited_{};
};

}  // namespace

std::unique_ptr<Backend> open_sqlite(const std::string& path) {
  auto backend = std::make_unique<SqliteBackend>(path);
  backend->open();
  return backend;
}

}  // namespace vext::store
