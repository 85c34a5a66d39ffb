#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <unordered_map>

#include "store/backend.h"

namespace vext::store {
namespace {

// Format 1 kept one row per object; format 2 keeps objects in packs.
constexpr int kFormatVersion = 2;
// How long a writer waits for another before it gives up.
constexpr auto kBusyLimit = std::chrono::seconds(120);
// Packs of one write go to the server in statements of up to this many rows
// or bytes.
constexpr std::size_t kBatchRows = 500;
constexpr std::size_t kBatchBytes = std::size_t{4} << 20;
// Batched lookups and index writes send this many ids per statement.
constexpr std::size_t kLookupIds = 4096;
constexpr std::size_t kIndexIds = 20'000;
// The high half of the advisory lock that serialises the writers of one store.
constexpr std::int64_t kLockSpace = std::int64_t{0x76657874} << 32;

// Tables carry a prefix, so a store can share a database (or a schema) with
// other data; the schema is the connection's search path.
constexpr const char* kSchema =
    "CREATE TABLE vext_packs(number bigserial PRIMARY KEY, data bytea NOT NULL);"
    "CREATE TABLE vext_objects(id bytea PRIMARY KEY, pack bigint NOT NULL);"
    "CREATE TABLE vext_commits(id bytea PRIMARY KEY, data bytea NOT NULL);"
    "CREATE TABLE vext_refs(name bytea PRIMARY KEY, id bytea NOT NULL);"
    "CREATE TABLE vext_meta(key text PRIMARY KEY, value bigint NOT NULL);";

struct ResultDeleter {
  void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using PgResult = std::unique_ptr<PGresult, ResultDeleter>;

// One statement parameter: text or binary bytes, borrowed for the call.
struct Param {
  const char* data;
  int size;
  bool binary;
};

Param bytes_param(std::string_view s) { return {s.data(), static_cast<int>(s.size()), true}; }
Param id_param(const ObjectId& id) {
  return {reinterpret_cast<const char*>(id.bytes.data()), static_cast<int>(id.bytes.size()), true};
}

class PgBackend final : public Backend {
 public:
  explicit PgBackend(std::string conninfo) : conninfo_(std::move(conninfo)) {}
  PgBackend(const PgBackend&) = delete;
  PgBackend& operator=(const PgBackend&) = delete;
  ~PgBackend() override {
    end_read();
    abandon_write();
    if (conn_) PQfinish(conn_);
  }

  void open() {
    describe();
    conn_ = PQconnectdb(conninfo_.c_str());
    if (!conn_) throw std::bad_alloc();
    if (PQstatus(conn_) != CONNECTION_OK) problem(StoreErrorCode::Io, "cannot connect (" + scrub(PQerrorMessage(conn_)) + ")");
    // Notices (such as "relation exists, skipping") are no concern of the caller's.
    PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
    // Another client may be creating the store right now: the advisory lock
    // makes the check and the creation one step.
    if (!tables_exist()) create();
    const auto version = query_int("SELECT value FROM vext_meta WHERE key = 'format'");
    if (!version) problem(StoreErrorCode::Corrupt, "damaged: no store format version");
    if (*version > kFormatVersion)
      problem(StoreErrorCode::NewerFormat, "written by a newer vext (store format " + std::to_string(*version) +
                                               ", this vext reads format " + std::to_string(kFormatVersion) + ")");
    if (*version < kFormatVersion)
      problem(StoreErrorCode::OlderFormat, "written by an older vext (store format " + std::to_string(*version) +
                                               "), which this vext no longer reads (it reads format " +
                                               std::to_string(kFormatVersion) + ")");
    if (!query_int("SELECT 1 WHERE to_regclass('vext_packs') IS NOT NULL"))
      problem(StoreErrorCode::NotAStore, "not a vext store (some of its tables are missing)");
    lock_key_ = kLockSpace | *query_int("SELECT 'vext_refs'::regclass::oid::bigint");
    prepare("find_object", "SELECT pack FROM vext_objects WHERE id = $1");
    prepare("pack", "SELECT data FROM vext_packs WHERE number = $1");
    prepare("commit", "SELECT data FROM vext_commits WHERE id = $1");
    prepare("commits_between", "SELECT id FROM vext_commits WHERE id BETWEEN $1 AND $2 ORDER BY id LIMIT $3");
    prepare("commits_first", "SELECT id, data FROM vext_commits ORDER BY id LIMIT $1");
    prepare("commits_after", "SELECT id, data FROM vext_commits WHERE id > $1 ORDER BY id LIMIT $2");
    prepare("ref", "SELECT id FROM vext_refs WHERE name = $1");
    prepare("refs", "SELECT name, id FROM vext_refs ORDER BY name");
    prepare("put_commit", "INSERT INTO vext_commits(id, data) VALUES($1, $2) ON CONFLICT DO NOTHING");
    prepare("set_ref",
            "INSERT INTO vext_refs(name, id) VALUES($1, $2) ON CONFLICT(name) DO UPDATE SET id = EXCLUDED.id");
    prepare("delete_ref", "DELETE FROM vext_refs WHERE name = $1");
    prepare("try_lock", "SELECT pg_try_advisory_xact_lock($1)");
    prepare("put_packs", insert_packs(kBatchRows).c_str());
    prepare("pack_numbers",
            "SELECT nextval(pg_get_serial_sequence('vext_packs', 'number')) FROM generate_series(1, $1::bigint)");
    // The index of a write's packs: its ids in one parameter, 32 bytes each,
    // beside the pack number of each.
    prepare("put_index",
            "INSERT INTO vext_objects(id, pack) SELECT substring($1::bytea FROM (t.n - 1)::int * 32 + 1 FOR 32), t.pack"
            " FROM unnest($2::bigint[]) WITH ORDINALITY AS t(pack, n) ON CONFLICT DO NOTHING");
    prepare("packs_in", "SELECT number, data FROM vext_packs WHERE number = ANY($1::bigint[])");
    // A batch of ids travels as one parameter, 32 bytes per id, cut apart
    // on the server into an array, which plans as an index scan at any size.
    constexpr const char* kIds =
        " WHERE id = ANY(ARRAY(SELECT substring($1::bytea FROM i * 32 + 1 FOR 32)"
        " FROM generate_series(0, length($1::bytea) / 32 - 1) AS i))";
    prepare("find_objects_in", (std::string("SELECT id, pack FROM vext_objects") + kIds).c_str());
    prepare("has_commits_in", (std::string("SELECT id FROM vext_commits") + kIds).c_str());
  }

  const std::string& name() const override { return name_; }

  std::optional<std::int64_t> find_object(const ObjectId& id) override {
    const auto r = exec_prepared("find_object", {id_param(id)});
    if (PQntuples(r.get()) == 0) return std::nullopt;
    return column_int(r.get(), 0, 0);
  }

  std::optional<std::string> pack(std::int64_t number) override {
    const std::string n = std::to_string(number);
    const auto r = exec_prepared("pack", {Param{n.c_str(), -1, false}});
    if (PQntuples(r.get()) == 0) return std::nullopt;
    return std::string(column(r.get(), 0, 0));
  }

  std::optional<std::string> commit(const ObjectId& id) override { return by_id("commit", id); }

  std::vector<ObjectId> commits_between(const ObjectId& low, const ObjectId& high, std::size_t limit) override {
    const std::string n = std::to_string(limit);
    const auto r = exec_prepared("commits_between", {id_param(low), id_param(high), Param{n.c_str(), -1, false}});
    std::vector<ObjectId> out;
    for (int i = 0; i < PQntuples(r.get()); ++i) out.push_back(column_id(r.get(), i, 0));
    return out;
  }

  // Pages through the commit table along its primary key, a page a round trip.
  bool commits_after(const std::optional<ObjectId>& after, std::size_t limit,
                     const std::function<void(const ObjectId&, std::string_view)>& f) override {
    const std::string n = std::to_string(limit);
    const auto r = after ? exec_prepared("commits_after", {id_param(*after), Param{n.c_str(), -1, false}})
                         : exec_prepared("commits_first", {Param{n.c_str(), -1, false}});
    for (int i = 0; i < PQntuples(r.get()); ++i) f(column_id(r.get(), i, 0), column(r.get(), i, 1));
    return true;
  }

  // One snapshot for every read of a call; read-only, so that it never
  // waits for a writer nor holds one up.
  void begin_read() override {
    simple("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    in_read_ = true;
  }

  void end_read() noexcept override {
    if (!in_read_) return;
    in_read_ = false;
    // After a failed statement the server ends the transaction on COMMIT
    // too; a lost connection has nothing to end.
    PgResult r(PQexec(conn_, "COMMIT"));
    if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) PQclear(PQexec(conn_, "ROLLBACK"));
  }

  std::optional<ObjectId> ref(std::string_view name) override {
    const auto r = exec_prepared("ref", {bytes_param(name)});
    if (PQntuples(r.get()) == 0) return std::nullopt;
    return column_id(r.get(), 0, 0);
  }

  std::vector<std::pair<std::string, ObjectId>> refs() override {
    const auto r = exec_prepared("refs", {});
    std::vector<std::pair<std::string, ObjectId>> out;
    for (int i = 0; i < PQntuples(r.get()); ++i)
      out.emplace_back(std::string(column(r.get(), i, 0)), column_id(r.get(), i, 1));
    return out;
  }

  std::vector<std::optional<std::int64_t>> find_objects(const std::vector<ObjectId>& ids) override {
    std::vector<std::optional<std::int64_t>> out(ids.size());
    lookup("find_objects_in", ids,
           [&](std::size_t at, const PGresult* r, int row) { out[at] = column_int(r, row, 1); });
    return out;
  }

  std::vector<std::optional<std::string>> packs(const std::vector<std::int64_t>& numbers) override {
    std::vector<std::optional<std::string>> out(numbers.size());
    for (std::size_t from = 0; from < numbers.size(); from += kLookupIds) {
      const std::size_t to = std::min(numbers.size(), from + kLookupIds);
      std::unordered_map<std::int64_t, std::vector<std::size_t>> where;
      for (std::size_t i = from; i < to; ++i) where[numbers[i]].push_back(i);
      const std::string list = number_array(numbers.begin() + static_cast<std::ptrdiff_t>(from),
                                            numbers.begin() + static_cast<std::ptrdiff_t>(to));
      const auto r = exec_prepared("packs_in", {Param{list.c_str(), -1, false}});
      for (int row = 0; row < PQntuples(r.get()); ++row) {
        const auto it = where.find(column_int(r.get(), row, 0));
        if (it == where.end()) continue;
        for (std::size_t at : it->second) out[at] = std::string(column(r.get(), row, 1));
      }
    }
    return out;
  }

  std::vector<bool> has_commits(const std::vector<ObjectId>& ids) override {
    std::vector<bool> out(ids.size());
    lookup("has_commits_in", ids, [&](std::size_t at, const PGresult*, int) { out[at] = true; });
    return out;
  }

  void begin_write(const StopCheck& stop) override {
    simple("BEGIN");
    in_write_ = true;
    try {
      // Writers queue on one lock per store, as SQLite's writers queue on its file.
      const std::string key = std::to_string(lock_key_);
      std::chrono::milliseconds waited{};
      while (true) {
        const auto r = exec_prepared("try_lock", {Param{key.c_str(), -1, false}});
        if (column(r.get(), 0, 0) == "\x01") break;
        if (stop.poll && stop.poll(stop.context)) throw Stopped();
        if (waited >= kBusyLimit) problem(StoreErrorCode::Io, "another client held the store too long");
        const auto pause = std::chrono::milliseconds(2);
        std::this_thread::sleep_for(pause);
        waited += pause;
      }
    } catch (...) {
      abandon_write();
      throw;
    }
  }

  // A write's packs take three kinds of statement, however many there are:
  // one for their numbers, multi-row inserts for the packs, and the index
  // in statements of many ids each.
  std::vector<std::int64_t> put_packs(const std::vector<std::string>& packs,
                                      const std::vector<std::vector<ObjectId>>& ids) override {
    if (packs.empty()) return {};
    const std::string count = std::to_string(packs.size());
    const auto r = exec_prepared("pack_numbers", {Param{count.c_str(), -1, false}});
    if (static_cast<std::size_t>(PQntuples(r.get())) != packs.size())
      problem(StoreErrorCode::Io, "the database gave too few pack numbers");
    std::vector<std::int64_t> numbers;
    std::vector<std::string> texts;
    for (int row = 0; row < PQntuples(r.get()); ++row) {
      numbers.push_back(column_int(r.get(), row, 0));
      texts.push_back(std::to_string(numbers.back()));
    }
    for (std::size_t at = 0; at < packs.size();) {
      std::size_t rows = 0, bytes = 0;
      while (at + rows < packs.size() && rows < kBatchRows && (rows == 0 || bytes < kBatchBytes))
        bytes += packs[at + rows++].size();
      std::vector<Param> params;
      params.reserve(2 * rows);
      for (std::size_t i = at; i < at + rows; ++i) {
        params.push_back(Param{texts[i].c_str(), -1, false});
        params.push_back(bytes_param(packs[i]));
      }
      if (rows == kBatchRows) {
        exec_prepared("put_packs", params);
      } else {
        exec_params(insert_packs(rows), params);
      }
      at += rows;
    }
    // In id order, the index's pages are written one after the other.
    std::vector<std::pair<ObjectId, std::int64_t>> index;
    for (std::size_t i = 0; i < packs.size() && i < ids.size(); ++i) {
      for (const ObjectId& id : ids[i]) index.emplace_back(id, numbers[i]);
    }
    std::sort(index.begin(), index.end());
    for (std::size_t from = 0; from < index.size(); from += kIndexIds) {
      const std::size_t to = std::min(index.size(), from + kIndexIds);
      std::string packed, list = "{";
      packed.reserve((to - from) * 32);
      for (std::size_t i = from; i < to; ++i) {
        packed.append(reinterpret_cast<const char*>(index[i].first.bytes.data()), index[i].first.bytes.size());
        list += (i == from ? "" : ",") + std::to_string(index[i].second);
      }
      list += "}";
      exec_prepared("put_index", {bytes_param(packed), Param{list.c_str(), -1, false}});
    }
    return numbers;
  }

  void put_commit(const ObjectId& id, std::string_view bytes) override {
    exec_prepared("put_commit", {id_param(id), bytes_param(bytes)});
  }

  void set_ref(std::string_view name, const ObjectId& id) override {
    exec_prepared("set_ref", {bytes_param(name), id_param(id)});
  }

  void delete_ref(std::string_view name) override { exec_prepared("delete_ref", {bytes_param(name)}); }

  void end_write() override {
    simple("COMMIT");
    in_write_ = false;
  }

  void abandon_write() noexcept override {
    if (!in_write_) return;
    in_write_ = false;
    PQclear(PQexec(conn_, "ROLLBACK"));
  }

  void scan_packs(const std::function<void(std::int64_t, std::string_view)>& f) override {
    stream("SELECT number, data FROM vext_packs ORDER BY number",
           [&](const PGresult* r) { f(column_int(r, 0, 0), column(r, 0, 1)); });
  }

  void scan_commits(const std::function<void(const ObjectId&, std::string_view)>& f) override {
    stream("SELECT id, data FROM vext_commits ORDER BY id",
           [&](const PGresult* r) { f(column_id(r, 0, 0), column(r, 0, 1)); });
  }

 private:
  // Runs a query whose rows stream one at a time, so that a scan holds one
  // row, not the table; `f` sees each.
  void stream(const char* sql, const std::function<void(const PGresult*)>& f) {
    if (!PQsendQueryParams(conn_, sql, 0, nullptr, nullptr, nullptr, nullptr, 1)) connection_failed();
    PQsetSingleRowMode(conn_);
    std::optional<StoreFailure> failure;
    std::exception_ptr thrown;
    while (PGresult* raw = PQgetResult(conn_)) {
      PgResult r(raw);
      if (failure || thrown) continue;  // drain the rest before the connection can be used again
      const auto status = PQresultStatus(r.get());
      if (status == PGRES_SINGLE_TUPLE) {
        try {
          f(r.get());
        } catch (...) {
          thrown = std::current_exception();
          PQrequestCancel(conn_);
        }
      } else if (status != PGRES_TUPLES_OK) {
        failure.emplace(error_of(r.get()));
      }
    }
    if (thrown) std::rethrow_exception(thrown);
    if (failure) throw *failure;
  }

  // Builds the name messages give the store from the connection's parts,
  // leaving out the password and every other option.
  void describe() {
    char* err = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo_.c_str(), &err);
    if (!options) {
      if (err) PQfreemem(err);
      name_ = "postgresql://";
      problem(StoreErrorCode::BadArgument, "not a valid connection string");
    }
    std::string user, host, port, dbname;
    for (PQconninfoOption* o = options; o->keyword; ++o) {
      if (!o->val) continue;
      const std::string_view key = o->keyword;
      if (key == "user") user = o->val;
      if (key == "host") host = o->val;
      if (key == "port") port = o->val;
      if (key == "dbname") dbname = o->val;
      if (key == "password") password_ = o->val;
    }
    PQconninfoFree(options);
    name_ = "postgresql://" + (user.empty() ? "" : user + "@") + host + (port.empty() ? "" : ":" + port) + "/" + dbname;
  }

  // Removes the password from a message of the server or of libpq, and
  // makes it one line: libpq puts hints on lines of their own.
  std::string scrub(std::string text) const {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (auto at = text.find('\n'); at != std::string::npos; at = text.find('\n', at)) {
      const auto end = text.find_first_not_of(" \t\n", at);
      text.replace(at, (end == std::string::npos ? text.size() : end) - at, " ");
    }
    if (password_.empty()) return text;
    for (auto at = text.find(password_); at != std::string::npos; at = text.find(password_, at))
      text.replace(at, password_.size(), "***");
    return text;
  }

  [[noreturn]] void problem(StoreErrorCode code, const std::string& what) const {
    throw StoreFailure(StoreError{code, name_ + ": " + what});
  }

  StoreFailure error_of(const PGresult* r) const {
    const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
    const char* primary = PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY);
    const std::string detail = scrub(primary ? primary : PQerrorMessage(conn_));
    const std::string_view code = state ? state : "";
    if (code == "42501") return StoreFailure(StoreError{StoreErrorCode::Io, name_ + ": the database refused (" + detail + ")"});
    if (code == "53200") throw std::bad_alloc();
    return StoreFailure(StoreError{StoreErrorCode::Io, name_ + ": " + detail});
  }

  [[noreturn]] void connection_failed() const {
    problem(StoreErrorCode::Io, "lost the connection (" + scrub(PQerrorMessage(conn_)) + ")");
  }

  PgResult check(PGresult* raw) const {
    PgResult r(raw);
    if (!r) connection_failed();
    const auto status = PQresultStatus(r.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return r;
    throw error_of(r.get());
  }

  PgResult simple(const char* sql) { return check(PQexec(conn_, sql)); }

  void prepare(const char* name, const char* sql) { check(PQprepare(conn_, name, sql, 0, nullptr)); }

  // The parameters as the three arrays libpq takes.
  struct ParamArrays {
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
    explicit ParamArrays(const std::vector<Param>& params) {
      for (const Param& p : params) {
        values.push_back(p.data);
        lengths.push_back(p.size);
        formats.push_back(p.binary ? 1 : 0);
      }
    }
  };

  PgResult exec_prepared(const char* name, const std::vector<Param>& params) {
    const ParamArrays a(params);
    return check(PQexecPrepared(conn_, name, static_cast<int>(params.size()), a.values.data(), a.lengths.data(),
                                a.formats.data(), 1));
  }

  PgResult exec_params(const std::string& sql, const std::vector<Param>& params) {
    const ParamArrays a(params);
    return check(PQexecParams(conn_, sql.c_str(), static_cast<int>(params.size()), nullptr, a.values.data(),
                              a.lengths.data(), a.formats.data(), 1));
  }

  static std::string_view column(const PGresult* r, int row, int col) {
    return {PQgetvalue(r, row, col), static_cast<std::size_t>(PQgetlength(r, row, col))};
  }

  // A bigint column, which comes in binary as 8 bytes, most significant first.
  std::int64_t column_int(const PGresult* r, int row, int col) const {
    const std::string_view v = column(r, row, col);
    if (v.size() != 8) problem(StoreErrorCode::Corrupt, "damaged: a number of the wrong length");
    std::uint64_t n = 0;
    for (const char c : v) n = (n << 8) | static_cast<unsigned char>(c);
    return static_cast<std::int64_t>(n);
  }

  template <class It>
  static std::string number_array(It from, It to) {
    std::string list = "{";
    for (It it = from; it != to; ++it) list += (it == from ? "" : ",") + std::to_string(*it);
    return list + "}";
  }

  ObjectId column_id(const PGresult* r, int row, int col) const {
    const std::string_view v = column(r, row, col);
    ObjectId id;
    if (v.size() != id.bytes.size()) problem(StoreErrorCode::Corrupt, "damaged: an id of the wrong length");
    std::memcpy(id.bytes.data(), v.data(), id.bytes.size());
    return id;
  }

  std::optional<std::int64_t> query_int(const char* sql) {
    const auto r = check(PQexecParams(conn_, sql, 0, nullptr, nullptr, nullptr, nullptr, 0));
    if (PQntuples(r.get()) == 0) return std::nullopt;
    return std::stoll(std::string(column(r.get(), 0, 0)));
  }

  bool tables_exist() {
    const auto r = check(PQexecParams(conn_,
                                      "SELECT count(*) FROM unnest(ARRAY['vext_objects', 'vext_commits', 'vext_refs', "
                                      "'vext_meta']) AS t(name) WHERE to_regclass(t.name) IS NOT NULL",
                                      0, nullptr, nullptr, nullptr, nullptr, 0));
    const std::string_view n = column(r.get(), 0, 0);
    if (n == "4") return true;
    if (n != "0") problem(StoreErrorCode::NotAStore, "not a vext store (some of its tables are missing)");
    return false;
  }

  void create() {
    simple("BEGIN");
    try {
      simple("SELECT pg_advisory_xact_lock(1986360436)");
      if (!tables_exist()) {
        simple(kSchema);
        const std::string version = std::to_string(kFormatVersion);
        exec_params("INSERT INTO vext_meta(key, value) VALUES('format', $1)", {Param{version.c_str(), -1, false}});
      }
      simple("COMMIT");
    } catch (...) {
      PQclear(PQexec(conn_, "ROLLBACK"));
      throw;
    }
  }

  std::optional<std::string> by_id(const char* statement, const ObjectId& id) {
    const auto r = exec_prepared(statement, {id_param(id)});
    if (PQntuples(r.get()) == 0) return std::nullopt;
    return std::string(column(r.get(), 0, 0));
  }

  // Runs a batched lookup over `ids`; calls `found` with the index of each
  // id the statement returns a row for, and the row.
  template <class F>
  void lookup(const char* statement, const std::vector<ObjectId>& ids, F&& found) {
    for (std::size_t from = 0; from < ids.size(); from += kLookupIds) {
      const std::size_t to = std::min(ids.size(), from + kLookupIds);
      std::unordered_map<ObjectId, std::vector<std::size_t>, ObjectId::Hash> where;
      std::string packed;
      packed.reserve((to - from) * 32);
      for (std::size_t i = from; i < to; ++i) {
        where[ids[i]].push_back(i);
        packed.append(reinterpret_cast<const char*>(ids[i].bytes.data()), ids[i].bytes.size());
      }
      const auto r = exec_prepared(statement, {bytes_param(packed)});
      for (int row = 0; row < PQntuples(r.get()); ++row) {
        const auto it = where.find(column_id(r.get(), row, 0));
        if (it == where.end()) continue;
        for (std::size_t at : it->second) found(at, r.get(), row);
      }
    }
  }

  static std::string insert_packs(std::size_t rows) {
    std::string sql = "INSERT INTO vext_packs(number, data) VALUES";
    for (std::size_t i = 0; i < rows; ++i)
      sql += (i ? ",($" : "($") + std::to_string(2 * i + 1) + "::bigint,$" + std::to_string(2 * i + 2) + ")";
    return sql;
  }

  std::string conninfo_;
  std::string name_;
  std::string password_;
  PGconn* conn_ = nullptr;
  std::int64_t lock_key_ = 0;
  bool in_write_ = false;
  bool in_read_ = false;
};

}  // namespace

// libpq takes a URI or keyword=value pairs ("host=db dbname=app"); a file
// whose name starts "word=" is written "./word=...".
bool is_postgres_location(std::string_view location) {
  if (location.starts_with("postgresql://") || location.starts_with("postgres://")) return true;
  std::size_t at = location.find_first_not_of(" \t\n\r");
  const std::size_t word = at;
  while (at < location.size() && ((location[at] >= 'a' && location[at] <= 'z') || location[at] == '_')) ++at;
  if (at == word) return false;
  at = location.find_first_not_of(" \t\n\r", at);
  return at != std::string_view::npos && location[at] == '=';
}

std::unique_ptr<Backend> open_postgres(const std::string& conninfo) {
  auto backend = std::make_unique<PgBackend>(conninfo);
  backend->open();
  return backend;
}

}  // namespace vext::store
