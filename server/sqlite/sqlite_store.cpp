// The SQLite store: schema and migrations, typed statements, a pool of read connections, one
// writer thread that commits the work of concurrent callers together (group commit) and a syncer
// that flushes each commit's log to the disk before its callers are answered.
#include "server/sqlite/sqlite_store.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <semaphore.h>
#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/core/errors.h"

namespace tav::server {
namespace {

// Each entry brings the schema from the version before it to its own (index + 1).
const char* const kMigrations[] = {
    R"sql(
CREATE TABLE venue(
  place_code   TEXT PRIMARY KEY,
  theater_name TEXT NOT NULL
);
CREATE TABLE event(
  bizcode    TEXT PRIMARY KEY,
  place_code TEXT NOT NULL REFERENCES venue(place_code),
  goods_name TEXT NOT NULL,
  play_date  TEXT NOT NULL,
  active     INTEGER NOT NULL DEFAULT 0 CHECK (active IN (0, 1))
);
CREATE UNIQUE INDEX event_one_active ON event(place_code) WHERE active = 1;
CREATE TABLE operator(
  operator_id   TEXT PRIMARY KEY,
  password_hash TEXT NOT NULL,
  place_code    TEXT NOT NULL REFERENCES venue(place_code),
  active        INTEGER NOT NULL DEFAULT 1 CHECK (active IN (0, 1))
);
CREATE TABLE ticket(
  id              INTEGER PRIMARY KEY,
  bizcode         TEXT NOT NULL REFERENCES event(bizcode),
  ticket_no       TEXT NOT NULL,
  cust_name       TEXT NOT NULL,
  goods_name      TEXT NOT NULL,
  play_date       TEXT NOT NULL,
  place_name      TEXT NOT NULL,
  seat_grade_name TEXT NOT NULL,
  seat_info       TEXT NOT NULL,
  block           TEXT NOT NULL CHECK (block IN ('E석', 'N석', 'S석', 'W석')),
  status          TEXT NOT NULL CHECK (status IN ('valid', 'cancelled')),
  inside          INTEGER NOT NULL DEFAULT 0 CHECK (inside IN (0, 1)),
  entry_count     INTEGER NOT NULL DEFAULT 0,
  first_entry     INTEGER,
  last_entry      INTEGER,
  last_exit       INTEGER,
  UNIQUE (bizcode, ticket_no)
);
-- Statistics count admitted tickets through this index only, so they cost what was admitted.
CREATE INDEX ticket_admitted ON ticket(bizcode, block) WHERE entry_count > 0;
CREATE TABLE scan_log(
  id          INTEGER PRIMARY KEY,
  at          INTEGER NOT NULL,
  kind        TEXT NOT NULL CHECK (kind IN ('check', 'login', 'place')),
  bizcode     TEXT NOT NULL,
  mode        TEXT NOT NULL,
  block       TEXT NOT NULL,
  ticket_no   TEXT NOT NULL,
  operator_id TEXT NOT NULL,
  place_code  TEXT NOT NULL,
  code        TEXT NOT NULL,
  message     TEXT NOT NULL,
  outcome     TEXT NOT NULL
);
CREATE INDEX scan_log_login ON scan_log(operator_id, at) WHERE kind = 'login';
CREATE TRIGGER scan_log_no_update BEFORE UPDATE ON scan_log
  BEGIN SELECT RAISE(ABORT, 'the scan log is append-only'); END;
CREATE TRIGGER scan_log_no_delete BEFORE DELETE ON scan_log
  BEGIN SELECT RAISE(ABORT, 'the scan log is append-only'); END;
)sql",
    // Statistics read per-block counters that triggers keep, instead of an index of admitted
    // tickets: a first entry then changes one page that every check shares rather than a random
    // index page of its own, which halves the pages each check writes to the log.
    R"sql(
CREATE TABLE admitted_count(
  bizcode  TEXT NOT NULL,
  block    TEXT NOT NULL,
  admitted INTEGER NOT NULL,
  PRIMARY KEY (bizcode, block)
) WITHOUT ROWID;
INSERT INTO admitted_count(bizcode, block, admitted)
  SELECT bizcode, block, count(*) FROM ticket WHERE entry_count > 0 GROUP BY bizcode, block;
DROP INDEX ticket_admitted;
CREATE TRIGGER ticket_admitted_insert AFTER INSERT ON ticket WHEN new.entry_count > 0
BEGIN
  INSERT INTO admitted_count(bizcode, block, admitted) VALUES(new.bizcode, new.block, 1)
    ON CONFLICT(bizcode, block) DO UPDATE SET admitted = admitted + 1;
END;
CREATE TRIGGER ticket_admitted_delete AFTER DELETE ON ticket WHEN old.entry_count > 0
BEGIN
  UPDATE admitted_count SET admitted = admitted - 1 WHERE bizcode = old.bizcode AND block = old.block;
END;
-- Fires only when a ticket joins or leaves the counted tickets or moves between counters; a
-- re-entry or an exit does not run it.
CREATE TRIGGER ticket_admitted_update AFTER UPDATE OF bizcode, block, entry_count ON ticket
  WHEN (old.entry_count > 0) <> (new.entry_count > 0)
    OR (old.entry_count > 0 AND (old.bizcode <> new.bizcode OR old.block <> new.block))
BEGIN
  UPDATE admitted_count SET admitted = admitted - 1
    WHERE old.entry_count > 0 AND bizcode = old.bizcode AND block = old.block;
  INSERT INTO admitted_count(bizcode, block, admitted)
    SELECT new.bizcode, new.block, 1 WHERE new.entry_count > 0
    ON CONFLICT(bizcode, block) DO UPDATE SET admitted = admitted + 1;
END;
)sql",
};

constexpr int kSchemaVersion = static_cast<int>(sizeof(kMigrations) / sizeof(kMigrations[0]));

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
  throw StoreUnavailable("The store could not " + what + ": " + sqlite3_errmsg(db) + ".");
}

class Connection;

// A cached prepared statement, reset when the query using it ends.
class Query {
 public:
  Query(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  ~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  Query& bind(int i, const std::string& v) {
    check(sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC));
    return *this;
  }
  Query& bind(int i, std::int64_t v) {
    check(sqlite3_bind_int64(stmt_, i, v));
    return *this;
  }
  Query& bind(int i, const std::optional<std::int64_t>& v) {
    check(v ? sqlite3_bind_int64(stmt_, i, *v) : sqlite3_bind_null(stmt_, i));
    return *this;
  }

  // True while there is a row to read.
  bool step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    fail(db_, "run a statement");
  }
  void run() {
    while (step()) {
    }
  }

  std::string text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
  }
  std::int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::optional<std::int64_t> optInteger(int col) const {
    if (sqlite3_column_type(stmt_, col) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_int64(stmt_, col);
  }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) fail(db_, "bind a value");
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_;
};

class Connection {
 public:
  Connection(const std::string& path, int flags) {
    int rc = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
      sqlite3_close_v2(db_);
      db_ = nullptr;
      throw StoreUnavailable("The store " + path + " could not be opened: " + msg + ".");
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, 5000);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    for (auto& [sql, stmt] : cache_) sqlite3_finalize(stmt);
    sqlite3_close_v2(db_);
  }

  sqlite3* handle() const { return db_; }

  void exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(db_, "run a statement");
  }
  // For the ends of a failed transaction, where a second error has nothing to add.
  void execQuietly(const char* sql) noexcept { sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

  // `sql` must be a string literal: the cache is keyed by its address.
  Query query(const char* sql) {
    auto it = cache_.find(sql);
    if (it == cache_.end()) {
      sqlite3_stmt* stmt = nullptr;
      if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
        fail(db_, "prepare a statement");
      it = cache_.emplace(sql, stmt).first;
    }
    return Query(db_, it->second);
  }

  // The same for the statements every transaction runs, prepared once instead of on each call.
  void run(const char* sql) { query(sql).run(); }

  std::int64_t pragmaInt(const char* sql) {
    Query q = query(sql);
    return q.step() ? q.integer(0) : 0;
  }

  bool inTransaction() const { return sqlite3_get_autocommit(db_) == 0; }

 private:
  sqlite3* db_ = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> cache_;
};

// Reads go straight to the mapped file instead of a copy per page through read() (the library
// caps the size at what it was built for, 2 GB on Debian). Writes still go through the log.
constexpr const char* kMapWholeFile = "PRAGMA mmap_size = 1099511627776";

constexpr const char* kTicketColumns =
    "id, bizcode, ticket_no, cust_name, goods_name, play_date, place_name, seat_grade_name, "
    "seat_info, block, status, inside, entry_count, first_entry, last_entry, last_exit";

Ticket readTicket(const Query& q) {
  Ticket t;
  t.id = q.integer(0);
  t.bizCode = q.text(1);
  t.ticketNo = q.text(2);
  t.custName = q.text(3);
  t.goodsName = q.text(4);
  t.playDate = q.text(5);
  t.placeName = q.text(6);
  t.seatGradeName = q.text(7);
  t.seatInfo = q.text(8);
  t.block = q.text(9);
  t.cancelled = q.text(10) == "cancelled";
  t.inside = q.integer(11) != 0;
  t.entryCount = q.integer(12);
  t.firstEntry = q.optInteger(13);
  t.lastEntry = q.optInteger(14);
  t.lastExit = q.optInteger(15);
  return t;
}

Event readEvent(const Query& q) {
  return Event{q.text(0), q.text(1), q.text(2), q.text(3), q.integer(4) != 0};
}

// Events and operators as the writer last read them. They change only through setup commands:
// on the writer itself, which clears this, or from another process, which the writer notices by
// the file's data version before each batch. Every check looks both up, so this saves two
// statements per check on the one thread that all checks queue for.
class LookupCache {
 public:
  // Clears everything when another connection has committed since the last call.
  void revalidate(std::int64_t dataVersion) {
    if (dataVersion != version_) clear();
    version_ = dataVersion;
  }
  void clear() {
    events_.clear();
    operators_.clear();
  }

  const Event* event(const std::string& bizCode) const { return find(events_, bizCode); }
  const Operator* op(const std::string& id) const { return find(operators_, id); }
  void keep(const Event& e) { put(events_, e.bizCode, e); }
  void keep(const Operator& o) { put(operators_, o.id, o); }

 private:
  // Bounded, since the keys come from requests; a full map starts again rather than evicting.
  static constexpr std::size_t kMaxEntries = 4096;

  template <typename T>
  static const T* find(const std::unordered_map<std::string, T>& map, const std::string& key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
  }
  template <typename T>
  static void put(std::unordered_map<std::string, T>& map, const std::string& key, const T& value) {
    if (map.size() >= kMaxEntries) map.clear();
    map.insert_or_assign(key, value);
  }

  std::unordered_map<std::string, Event> events_;
  std::unordered_map<std::string, Operator> operators_;
  std::int64_t version_ = -1;
};

// The typed operations on one connection; the caller owns the transaction around them. The
// writer's session serves events and operators from its cache and clears it on every change
// to venues, events or operators.
class Session final : public Transaction {
 public:
  explicit Session(Connection& c, LookupCache* cache = nullptr) : c_(c), cache_(cache) {}

  // Reads every page of the ticket table and of its ticket-number index.
  void readAllTickets() {
    c_.query("SELECT max(ticket_no) FROM ticket WHERE bizcode >= ''").step();
    c_.query("SELECT max(seat_info) FROM ticket NOT INDEXED").step();
  }

  std::optional<Venue> findVenue(const std::string& placeCode) override {
    Query q = c_.query("SELECT place_code, theater_name FROM venue WHERE place_code = ?1");
    q.bind(1, placeCode);
    if (!q.step()) return std::nullopt;
    return Venue{q.text(0), q.text(1)};
  }

  std::optional<Event> findEvent(const std::string& bizCode) override {
    if (cache_)
      if (const Event* e = cache_->event(bizCode)) return *e;
    Query q = c_.query(
        "SELECT bizcode, place_code, goods_name, play_date, active FROM event WHERE bizcode = ?1");
    q.bind(1, bizCode);
    if (!q.step()) return std::nullopt;
    Event e = readEvent(q);
    if (cache_) cache_->keep(e);
    return e;
  }

  std::optional<Event> findActiveEvent(const std::string& placeCode) override {
    Query q = c_.query(
        "SELECT bizcode, place_code, goods_name, play_date, active FROM event "
        "WHERE place_code = ?1 AND active = 1");
    q.bind(1, placeCode);
    if (!q.step()) return std::nullopt;
    return readEvent(q);
  }

  std::optional<Operator> findOperator(const std::string& id) override {
    if (cache_)
      if (const Operator* o = cache_->op(id)) return *o;
    Query q = c_.query(
        "SELECT operator_id, password_hash, place_code, active FROM operator WHERE operator_id = ?1");
    q.bind(1, id);
    if (!q.step()) return std::nullopt;
    Operator o{q.text(0), q.text(1), q.text(2), q.integer(3) != 0};
    if (cache_) cache_->keep(o);
    return o;
  }

  std::optional<Ticket> findTicket(const std::string& bizCode, const std::string& ticketNo) override {
    static const std::string sql = std::string("SELECT ") + kTicketColumns +
                                   " FROM ticket WHERE bizcode = ?1 AND ticket_no = ?2";
    Query q = c_.query(sql.c_str());
    q.bind(1, bizCode).bind(2, ticketNo);
    if (!q.step()) return std::nullopt;
    return readTicket(q);
  }

  // SQLite has one writer at a time: the row cannot change before the transaction ends.
  std::optional<Ticket> lockTicket(const std::string& bizCode, const std::string& ticketNo) override {
    return findTicket(bizCode, ticketNo);
  }

  AdmittedCounts countAdmitted(const std::string& bizCode) override {
    Query q = c_.query("SELECT block, admitted FROM admitted_count WHERE bizcode = ?1");
    q.bind(1, bizCode);
    AdmittedCounts counts;
    while (q.step()) {
      std::string block = q.text(0);
      for (std::size_t i = 0; i < kBlocks.size(); ++i)
        if (kBlocks[i] == block) counts.byBlock[i] = q.integer(1);
      counts.total += q.integer(1);
    }
    return counts;
  }

  std::vector<EventCounts> listEvents(const std::string& placeCode) override {
    Query q = c_.query(
        "SELECT e.bizcode, e.place_code, e.goods_name, e.play_date, e.active, count(t.id), "
        "coalesce(sum(t.status = 'cancelled'), 0), coalesce(sum(t.entry_count > 0), 0), "
        "coalesce(sum(t.inside), 0) "
        "FROM event e LEFT JOIN ticket t ON t.bizcode = e.bizcode "
        "WHERE e.place_code = ?1 GROUP BY e.bizcode ORDER BY e.bizcode");
    q.bind(1, placeCode);
    std::vector<EventCounts> out;
    while (q.step())
      out.push_back(EventCounts{readEvent(q), q.integer(5), q.integer(6), q.integer(7), q.integer(8)});
    return out;
  }

  LoginHistory loginHistory(const std::string& operatorId, TimeMs lockoutsAfter,
                            TimeMs failuresAfter) override {
    LoginHistory h;
    {
      Query q = c_.query(
          "SELECT max(at) FROM scan_log WHERE kind = 'login' AND operator_id = ?1 AND at > ?2 "
          "AND outcome = ?3");
      q.bind(1, operatorId).bind(2, lockoutsAfter).bind(3, std::string(kOutcomeLockout));
      if (q.step()) h.lastLockout = q.optInteger(0);
    }
    Query q = c_.query(
        "SELECT count(*) FROM scan_log WHERE kind = 'login' AND operator_id = ?1 "
        "AND at > max(?2, coalesce(?3, ?2)) AND substr(outcome, 1, length(?4)) = ?4");
    q.bind(1, operatorId).bind(2, failuresAfter).bind(3, h.lastLockout);
    q.bind(4, std::string(kOutcomeFailedPrefix));
    if (q.step()) h.failures = q.integer(0);
    return h;
  }

  std::vector<ScanRecord> scanLog(std::int64_t afterId, std::size_t limit) override {
    Query q = c_.query(
        "SELECT id, at, kind, bizcode, mode, block, ticket_no, operator_id, place_code, code, "
        "message, outcome FROM scan_log WHERE id > ?1 ORDER BY id LIMIT ?2");
    q.bind(1, afterId).bind(2, static_cast<std::int64_t>(limit));
    std::vector<ScanRecord> out;
    while (q.step())
      out.push_back(ScanRecord{q.integer(0), q.integer(1), q.text(2), q.text(3), q.text(4), q.text(5),
                               q.text(6), q.text(7), q.text(8), q.text(9), q.text(10), q.text(11)});
    return out;
  }

  std::vector<Venue> allVenues() override {
    Query q = c_.query("SELECT place_code, theater_name FROM venue ORDER BY place_code");
    std::vector<Venue> out;
    while (q.step()) out.push_back(Venue{q.text(0), q.text(1)});
    return out;
  }

  std::vector<Event> allEvents() override {
    Query q = c_.query("SELECT bizcode, place_code, goods_name, play_date, active FROM event ORDER BY bizcode");
    std::vector<Event> out;
    while (q.step()) out.push_back(readEvent(q));
    return out;
  }

  std::vector<Operator> allOperators() override {
    Query q = c_.query(
        "SELECT operator_id, password_hash, place_code, active FROM operator ORDER BY operator_id");
    std::vector<Operator> out;
    while (q.step()) out.push_back(Operator{q.text(0), q.text(1), q.text(2), q.integer(3) != 0});
    return out;
  }

  std::vector<Ticket> tickets(std::int64_t afterId, std::size_t limit) override {
    static const std::string sql =
        std::string("SELECT ") + kTicketColumns + " FROM ticket WHERE id > ?1 ORDER BY id LIMIT ?2";
    Query q = c_.query(sql.c_str());
    q.bind(1, afterId).bind(2, static_cast<std::int64_t>(limit));
    std::vector<Ticket> out;
    while (q.step()) out.push_back(readTicket(q));
    return out;
  }

  void restoreTicket(const Ticket& t) override {
    static const std::string sql = std::string("INSERT INTO ticket(") + kTicketColumns +
                                   ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, "
                                   "?14, ?15, ?16)";
    Query q = c_.query(sql.c_str());
    q.bind(1, t.id).bind(2, t.bizCode).bind(3, t.ticketNo).bind(4, t.custName).bind(5, t.goodsName);
    q.bind(6, t.playDate).bind(7, t.placeName).bind(8, t.seatGradeName).bind(9, t.seatInfo);
    q.bind(10, t.block).bind(11, std::string(t.cancelled ? "cancelled" : "valid"));
    q.bind(12, std::int64_t{t.inside ? 1 : 0}).bind(13, t.entryCount).bind(14, t.firstEntry);
    q.bind(15, t.lastEntry).bind(16, t.lastExit).run();
  }

  void restoreScanRecord(const ScanRecord& r) override {
    Query q = c_.query(
        "INSERT INTO scan_log(id, at, kind, bizcode, mode, block, ticket_no, operator_id, place_code, "
        "code, message, outcome) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
    q.bind(1, r.id).bind(2, r.at).bind(3, r.kind).bind(4, r.bizCode).bind(5, r.mode);
    q.bind(6, r.block).bind(7, r.ticketNo).bind(8, r.operatorId).bind(9, r.placeCode);
    q.bind(10, r.code).bind(11, r.message).bind(12, r.outcome).run();
  }

  void recordEntry(std::int64_t ticketId, TimeMs at) override {
    Query q = c_.query(
        "UPDATE ticket SET inside = 1, entry_count = entry_count + 1, "
        "first_entry = coalesce(first_entry, ?2), last_entry = ?2 WHERE id = ?1");
    q.bind(1, ticketId).bind(2, at).run();
  }

  void recordExit(std::int64_t ticketId, TimeMs at) override {
    Query q = c_.query("UPDATE ticket SET inside = 0, last_exit = ?2 WHERE id = ?1");
    q.bind(1, ticketId).bind(2, at).run();
  }

  void appendScanLog(const ScanRecord& r) override {
    Query q = c_.query(
        "INSERT INTO scan_log(at, kind, bizcode, mode, block, ticket_no, operator_id, place_code, "
        "code, message, outcome) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    q.bind(1, r.at).bind(2, r.kind).bind(3, r.bizCode).bind(4, r.mode).bind(5, r.block);
    q.bind(6, r.ticketNo).bind(7, r.operatorId).bind(8, r.placeCode).bind(9, r.code);
    q.bind(10, r.message).bind(11, r.outcome).run();
  }

  // One writer at a time already: a write transaction sees every sign-in committed before it.
  void holdSignIns(const std::string&) override {}

  void insertVenue(const Venue& v) override {
    forget();
    Query q = c_.query("INSERT INTO venue(place_code, theater_name) VALUES(?1, ?2)");
    q.bind(1, v.placeCode).bind(2, v.theaterName).run();
  }

  void insertEvent(const Event& e) override {
    forget();
    Query q = c_.query(
        "INSERT INTO event(bizcode, place_code, goods_name, play_date, active) "
        "VALUES(?1, ?2, ?3, ?4, ?5)");
    q.bind(1, e.bizCode).bind(2, e.placeCode).bind(3, e.goodsName).bind(4, e.playDate);
    q.bind(5, std::int64_t{e.active ? 1 : 0}).run();
  }

  void deactivateEvents(const std::string& placeCode) override {
    forget();
    Query q = c_.query("UPDATE event SET active = 0 WHERE place_code = ?1 AND active = 1");
    q.bind(1, placeCode).run();
  }

  void insertOperator(const Operator& o) override {
    forget();
    Query q = c_.query(
        "INSERT INTO operator(operator_id, password_hash, place_code, active) VALUES(?1, ?2, ?3, ?4)");
    q.bind(1, o.id).bind(2, o.passwordHash).bind(3, o.placeCode);
    q.bind(4, std::int64_t{o.active ? 1 : 0}).run();
  }

  bool insertTicket(const Ticket& t) override {
    Query q = c_.query(
        "INSERT INTO ticket(bizcode, ticket_no, cust_name, goods_name, play_date, place_name, "
        "seat_grade_name, seat_info, block, status) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) "
        "ON CONFLICT(bizcode, ticket_no) DO NOTHING");
    q.bind(1, t.bizCode).bind(2, t.ticketNo).bind(3, t.custName).bind(4, t.goodsName);
    q.bind(5, t.playDate).bind(6, t.placeName).bind(7, t.seatGradeName).bind(8, t.seatInfo);
    q.bind(9, t.block).bind(10, std::string(t.cancelled ? "cancelled" : "valid")).run();
    return sqlite3_changes(c_.handle()) == 1;
  }

 private:
  void forget() {
    if (cache_) cache_->clear();
  }

  Connection& c_;
  LookupCache* cache_;
};

// Reads the header fields that tell our files from others without letting SQLite touch the file.
struct FileHeader {
  bool exists = false;
  std::uintmax_t size = 0;
  bool sqlite = false;
  bool wal = false;  // in write-ahead-log mode: its latest pages may be in the log, not here
  std::uint32_t applicationId = 0;
  std::uint32_t userVersion = 0;
};

std::uint32_t bigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

FileHeader readHeader(const std::string& path) {
  FileHeader h;
  std::error_code ec;
  h.exists = std::filesystem::exists(path, ec);
  if (!h.exists) return h;
  if (!std::filesystem::is_regular_file(path, ec)) throw StoreRejected(path + " is not a file.");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw StoreRejected("The store " + path + " cannot be read.");
  unsigned char buf[100] = {};
  in.read(reinterpret_cast<char*>(buf), sizeof buf);
  h.size = static_cast<std::uintmax_t>(in.gcount());
  if (h.size < sizeof buf) return h;
  h.sqlite = std::memcmp(buf, "SQLite format 3", 16) == 0;
  h.wal = buf[18] == 2 && buf[19] == 2;
  h.userVersion = bigEndian32(buf + 60);
  h.applicationId = bigEndian32(buf + 68);
  return h;
}

class SqliteStore final : public Store {
 public:
  SqliteStore(std::string path, std::unique_ptr<Connection> writer, SqliteLogOptions logOptions)
      : path_(std::move(path)), writer_(std::move(writer)), logOptions_(logOptions) {
    // Checkpoints run beside the writer, so that no commit waits for the database file's fsync.
    writer_->exec("PRAGMA wal_autocheckpoint = 0");
    // Commits do not wait for the disk: the syncer flushes the log after each commit and no caller
    // is answered before that flush (see writerLoop), which is as durable as synchronous=FULL.
    // Checkpoints still flush the log before they copy it and the database file after.
    writer_->exec("PRAGMA synchronous = NORMAL");
    sqlite3_wal_hook(writer_->handle(), &SqliteStore::walHook, this);
    checkpointer_ = std::thread([this] {
      pthread_setname_np(pthread_self(), "tav-checkpoint");
      checkpointLoop();
    });
    syncer_ = std::thread([this] {
      pthread_setname_np(pthread_self(), "tav-sync");
      syncLoop();
    });
    thread_ = std::thread([this] {
      // Named so that top -H and the load benchmark can tell the writer's share of the CPU.
      pthread_setname_np(pthread_self(), "tav-writer");
      writerLoop();
    });
  }

  ~SqliteStore() override {
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      stopping_ = true;
    }
    queueCv_.notify_all();
    thread_.join();
    {
      std::lock_guard<std::mutex> lock(syncMutex_);
      syncStop_ = true;
    }
    syncCv_.notify_all();
    syncer_.join();
    if (logFd_ >= 0) ::close(logFd_);
    {
      std::lock_guard<std::mutex> lock(checkpointMutex_);
      checkpointStop_ = true;
    }
    checkpointCv_.notify_all();
    checkpointer_.join();
    // The writer's connection closes last and folds the log into the database file.
    idle_.clear();
  }

  // A check reads a page of the ticket table and of its ticket-number index that no check before
  // it may have read: on a server that has just started, each such page costs a fault into the
  // writer's map, and the first minutes of a gate opening would run slower than the rest. Reading
  // both once, on the writer's connection, maps them all before the first station connects
  // (about a quarter of a second for a million tickets).
  void warmUp() override {
    write([](Transaction& tx) { static_cast<Session&>(tx).readAllTickets(); });
  }

  void write(const std::function<void(Transaction&)>& work) override {
    Job job(work);
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      if (stopping_) throw StoreUnavailable("The store is closing.");
      queue_.push_back(&job);
    }
    queueCv_.notify_one();
    job.wait();
    if (job.error) std::rethrow_exception(job.error);
  }

  void read(const std::function<void(Reader&)>& work) override {
    std::unique_ptr<Connection> c = acquireReader();
    try {
      c->run("BEGIN");
      Session session(*c);
      work(session);
      c->run("COMMIT");
    } catch (...) {
      if (c->inTransaction()) c->execQuietly("ROLLBACK");
      releaseReader(std::move(c));
      throw;
    }
    releaseReader(std::move(c));
    // A read may have seen commits whose log is still being flushed (any commit begun before now);
    // it answers only once they are on the disk, so that nothing it reports can vanish in a power cut.
    waitDurable(committing_.load(std::memory_order_acquire));
  }

 private:
  // One caller's work; its own signal, so that a commit wakes only the callers it served.
  // A semaphore rather than a mutex and condition variable: the writer's post is the only wake-up
  // the caller gets (a notify under a mutex wakes it a second time when it finds the mutex taken),
  // and the caller may end the job as soon as its wait returns.
  struct Job {
    explicit Job(const std::function<void(Transaction&)>& w) : work(&w) { sem_init(&done, 0, 0); }
    ~Job() { sem_destroy(&done); }
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    void finish() { sem_post(&done); }
    void wait() {
      while (sem_wait(&done) != 0) {
        // EINTR: a signal arrived while waiting; the job is still under way.
      }
    }

    const std::function<void(Transaction&)>* work;
    std::exception_ptr error;
    sem_t done;
  };

  static int walHook(void* self, sqlite3*, const char*, int pages) {
    constexpr int kCheckpointPages = 1000;
    if (pages >= kCheckpointPages) static_cast<SqliteStore*>(self)->requestCheckpoint();
    return SQLITE_OK;
  }

  void requestCheckpoint() {
    {
      std::lock_guard<std::mutex> lock(checkpointMutex_);
      checkpointWanted_ = true;
    }
    checkpointCv_.notify_one();
  }

  // The log starts again from its beginning only when a write begins with every frame already
  // copied into the database file. Under a steady stream of checks the checkpointer never quite
  // gets there (each batch adds frames while it copies), and the log would grow without end. So
  // once the log is long, the checkpointer runs pass after pass, each shorter than the one before,
  // until only a short tail is left, and then leaves that tail to the writer (finishLog).
  void checkpointLoop() {
    std::unique_ptr<Connection> c;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(checkpointMutex_);
        checkpointCv_.wait(lock, [&] { return checkpointStop_ || checkpointWanted_; });
        if (checkpointStop_) return;
        checkpointWanted_ = false;
      }
      try {
        if (!c) {
          c = std::make_unique<Connection>(path_, SQLITE_OPEN_READWRITE);
          // A connection that has read nothing does not know the file is in WAL mode, and its
          // checkpoints do nothing at all: read the header once.
          c->pragmaInt("PRAGMA schema_version");
        }
        int copiedBefore = -1;
        // While the writer is about to copy the tail, a pass here would only make one of them busy.
        while (!tailForWriter_.load(std::memory_order_acquire) && !stopRequested()) {
          int logFrames = 0, copied = 0;
          // PASSIVE never blocks the writer or readers; what it cannot copy now, a later one will.
          if (sqlite3_wal_checkpoint_v2(c->handle(), "main", SQLITE_CHECKPOINT_PASSIVE, &logFrames,
                                        &copied) != SQLITE_OK ||
              logFrames < logOptions_.restartFrames || copied <= copiedBefore)
            break;  // short enough, or held back by a reader: wait for the next commit
          if (logFrames - copied <= logOptions_.tailFrames) {
            tailForWriter_.store(true, std::memory_order_release);
            break;
          }
          copiedBefore = copied;
        }
      } catch (const StoreUnavailable&) {
        c.reset();
      }
    }
  }

  bool stopRequested() {
    std::lock_guard<std::mutex> lock(checkpointMutex_);
    return checkpointStop_;
  }

  // Between two batches: copies the last frames of a long log, so that the next batch's write
  // starts the log again from its beginning. Costs one short checkpoint now and then; a failure
  // only leaves the log as long as it was.
  void finishLog() {
    if (!tailForWriter_.load(std::memory_order_acquire)) return;
    sqlite3_wal_checkpoint_v2(writer_->handle(), "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    tailForWriter_.store(false, std::memory_order_release);
  }

  std::unique_ptr<Connection> acquireReader() {
    {
      std::lock_guard<std::mutex> lock(poolMutex_);
      if (!idle_.empty()) {
        auto c = std::move(idle_.back());
        idle_.pop_back();
        return c;
      }
    }
    auto c = std::make_unique<Connection>(path_, SQLITE_OPEN_READWRITE);
    c->exec("PRAGMA query_only = ON");
    c->exec(kMapWholeFile);
    return c;
  }

  void releaseReader(std::unique_ptr<Connection> c) {
    constexpr std::size_t kMaxIdle = 16;
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (idle_.size() < kMaxIdle) idle_.push_back(std::move(c));
  }

  // The writer commits without waiting for the disk (synchronous=NORMAL), hands the batch to the
  // syncer and starts on the next one while the syncer flushes the log: the next batch's work and
  // this batch's fsync overlap. The log is only ever appended to, so one flush after a commit makes
  // that commit and every earlier one durable; no caller is answered before its commit's flush.
  void writerLoop() {
    std::vector<Job*> batch;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(queueMutex_);
        queueCv_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        batch.swap(queue_);
      }
      if (failed_.load(std::memory_order_acquire)) {
        for (Job* job : batch) job->error = failedError();
      } else {
        std::uint64_t seq = 0;
        const bool committed = runBatch(batch, seq);
        if (seq != 0) {
          {
            std::lock_guard<std::mutex> lock(syncMutex_);
            if (committed) unsynced_.insert(unsynced_.end(), batch.begin(), batch.end());
            syncWanted_ = seq;
          }
          syncCv_.notify_one();
          if (committed) batch.clear();
        }
      }
      // Nothing of a job is touched after its finish(): its caller may already have ended it.
      for (Job* job : batch) job->finish();
      batch.clear();
      finishLog();
    }
  }

  void syncLoop() {
    std::vector<Job*> jobs;
    for (;;) {
      std::uint64_t seq;
      {
        std::unique_lock<std::mutex> lock(syncMutex_);
        syncCv_.wait(lock, [&] { return syncStop_ || syncWanted_ > synced_; });
        if (syncWanted_ == synced_) return;
        seq = syncWanted_;
        jobs.swap(unsynced_);
      }
      if (!syncLogFile()) {
        // After a failed flush the kernel may drop the unwritten pages and report the next flush
        // clean: what is committed can no longer be trusted to be on the disk, so the store stops
        // taking writes until the server is restarted and recovers from what the disk holds.
        failed_.store(true, std::memory_order_release);
        for (Job* job : jobs)
          if (!job->error) job->error = failedError();
      }
      {
        std::lock_guard<std::mutex> lock(syncMutex_);
        synced_ = seq;
      }
      durableCv_.notify_all();
      for (Job* job : jobs) job->finish();
      jobs.clear();
    }
  }

  // Flushes the log file; false when the disk refused it. The log file stays the same file while
  // the writer's connection is open (SQLite removes it only when the last connection closes).
  bool syncLogFile() {
    if (logFd_ < 0) logFd_ = ::open((path_ + "-wal").c_str(), O_RDONLY | O_CLOEXEC);
    if (logFd_ < 0) return false;
    int (*sync)(int) = logOptions_.syncLog ? logOptions_.syncLog : ::fdatasync;
    while (sync(logFd_) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }

  void waitDurable(std::uint64_t seq) {
    std::unique_lock<std::mutex> lock(syncMutex_);
    durableCv_.wait(lock, [&] { return synced_ >= seq || syncStop_; });
  }

  static std::exception_ptr failedError() {
    return std::make_exception_ptr(StoreUnavailable(
        "The store could not flush its log to the disk; restart the server once the disk is sound."));
  }

  // One transaction for the whole batch, one savepoint per job, one commit; true when it committed.
  // `seq` is the number of the commit it tried, or stays 0 when it got no further than the jobs.
  bool runBatch(std::vector<Job*>& batch, std::uint64_t& seq) {
    Connection& c = *writer_;
    try {
      c.run("BEGIN IMMEDIATE");
      lookups_.revalidate(c.pragmaInt("PRAGMA data_version"));
    } catch (...) {
      if (c.inTransaction()) c.execQuietly("ROLLBACK");
      for (Job* job : batch) job->error = std::current_exception();
      return false;
    }
    Session session(c, &lookups_);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      Job* job = batch[i];
      try {
        c.run("SAVEPOINT job");
        (*job->work)(session);
        c.run("RELEASE job");
      } catch (...) {
        job->error = std::current_exception();
        // What the job read or changed may be undone with it.
        lookups_.clear();
        if (c.inTransaction()) {
          c.execQuietly("ROLLBACK TO job");
          c.execQuietly("RELEASE job");
        }
        if (!c.inTransaction()) {
          // SQLite gave up the whole transaction (I/O error, disk full): nothing of the batch stays.
          auto lost = std::make_exception_ptr(
              StoreUnavailable("The store lost the transaction of this request."));
          for (std::size_t k = 0; k < batch.size(); ++k)
            if (k != i && (k > i || !batch[k]->error)) batch[k]->error = lost;
          return false;
        }
      }
    }
    // Counted before it is made: a reader that may see this commit waits for its flush, and a
    // commit that fails is flushed past all the same (there is nothing of it to flush).
    seq = committing_.fetch_add(1, std::memory_order_acq_rel) + 1;
    try {
      c.run("COMMIT");
    } catch (const std::exception& e) {
      c.execQuietly("ROLLBACK");
      lookups_.clear();
      auto failed = std::make_exception_ptr(StoreUnavailable(e.what()));
      for (Job* job : batch)
        if (!job->error) job->error = failed;
      return false;
    }
    return true;
  }

  std::string path_;
  std::unique_ptr<Connection> writer_;
  LookupCache lookups_;  // the writer thread's alone

  std::mutex poolMutex_;
  std::vector<std::unique_ptr<Connection>> idle_;

  std::mutex queueMutex_;
  std::condition_variable queueCv_;
  std::vector<Job*> queue_;
  bool stopping_ = false;
  std::thread thread_;

  SqliteLogOptions logOptions_;
  std::mutex checkpointMutex_;
  std::condition_variable checkpointCv_;
  bool checkpointWanted_ = false, checkpointStop_ = false;
  std::atomic<bool> tailForWriter_{false};
  std::thread checkpointer_;

  std::atomic<std::uint64_t> committing_{0};  // commits begun by the writer
  std::atomic<bool> failed_{false};            // a flush failed: no more writes
  std::mutex syncMutex_;
  std::condition_variable syncCv_;     // the syncer waits on it
  std::condition_variable durableCv_;  // readers wait on it
  std::vector<Job*> unsynced_;  // committed, waiting for the flush
  std::uint64_t syncWanted_ = 0, synced_ = 0;
  bool syncStop_ = false;
  int logFd_ = -1;  // the syncer's alone
  std::thread syncer_;
};

StoreRejected notOurs(const std::string& path) { return StoreRejected(path + " is not a TAV store."); }

StoreRejected newer(const std::string& path, std::int64_t version) {
  return StoreRejected(path + " was written by a newer tav-server (schema version " +
                       std::to_string(version) + "; this one knows up to " +
                       std::to_string(kSchemaVersion) + ").");
}

void migrate(Connection& c, const std::string& path) {
  c.exec("BEGIN IMMEDIATE");
  try {
    std::int64_t appId = c.pragmaInt("PRAGMA application_id");
    std::int64_t tables = c.pragmaInt("SELECT count(*) FROM sqlite_master");
    std::int64_t version = 0;
    if (tables > 0) {
      if (appId != kSqliteApplicationId ||
          c.pragmaInt("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_version'") == 0)
        throw notOurs(path);
      version = c.pragmaInt("SELECT coalesce(max(version), 0) FROM schema_version");
    } else if (appId != 0 && appId != kSqliteApplicationId) {
      throw notOurs(path);
    }
    if (version > kSchemaVersion) throw newer(path, version);
    if (version < kSchemaVersion) {
      if (tables == 0) {
        const std::string setId = "PRAGMA application_id = " + std::to_string(kSqliteApplicationId);
        c.exec(setId.c_str());
        c.exec("CREATE TABLE schema_version(version INTEGER PRIMARY KEY, applied_at INTEGER NOT NULL)");
      }
      for (auto v = version; v < kSchemaVersion; ++v) {
        c.exec(kMigrations[v]);
        Query q = c.query("INSERT INTO schema_version(version, applied_at) VALUES(?1, ?2)");
        q.bind(1, v + 1).bind(2, Store::systemNow()).run();
      }
      const std::string setVersion = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
      c.exec(setVersion.c_str());
    }
    c.exec("COMMIT");
  } catch (...) {
    c.execQuietly("ROLLBACK");
    throw;
  }
}

}  // namespace

int sqliteSchemaVersion() { return kSchemaVersion; }

std::unique_ptr<Store> openSqliteStore(const std::string& path, bool create, const SqliteLogOptions& logOptions) {
  // Without memory statistics SQLite takes no global lock per allocation. It only applies when
  // this runs before the library's first use in the process; later it is refused and harmless.
  static std::once_flag configured;
  std::call_once(configured, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
  FileHeader h = readHeader(path);
  if (!h.exists && !create) throw StoreRejected("There is no store at " + path + ".");
  std::error_code ec;
  const bool logged = std::filesystem::file_size(path + "-wal", ec) > 0 && !ec;
  // A new store's first commits set its header, but while another connection keeps the file open
  // they may still be only in the log: then only SQLite can tell, reading the log.
  const bool headerInLog = h.sqlite && h.wal && logged && h.applicationId == 0 && h.userVersion == 0;
  if (h.exists && h.size > 0 && !headerInLog) {
    // Decide from the raw header, before SQLite may write anything to a file that is not ours.
    // Every store of ours has its version in the header from its first commit on.
    if (!h.sqlite || h.applicationId != kSqliteApplicationId || h.userVersion == 0) throw notOurs(path);
    if (h.userVersion > static_cast<std::uint32_t>(kSchemaVersion)) throw newer(path, h.userVersion);
  } else if (h.exists && h.size == 0 && !create) {
    // An empty file is a store only when its first commits still wait in the write-ahead log.
    if (!logged) throw StoreRejected(path + " is empty, not a TAV store.");
  }

  int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  std::unique_ptr<Connection> writer;
  try {
    writer = std::make_unique<Connection>(path, flags);
  } catch (const StoreUnavailable& e) {
    throw StoreRejected(e.what());
  }
  // Closing the last connection copies the log into the file: not for a file whose header was not
  // read above and that this may still turn away.
  const bool unverified = headerInLog || !h.exists || h.size == 0;
  if (unverified) sqlite3_db_config(writer->handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  if (headerInLog && writer->pragmaInt("PRAGMA application_id") != kSqliteApplicationId) throw notOurs(path);
  // The journal mode is settled before the first transaction so that the file is WAL from its
  // first byte; only files that passed the header check (or are empty) get here.
  {
    Query q = writer->query("PRAGMA journal_mode = WAL");
    if (!q.step() || q.text(0) != "wal")
      throw StoreRejected("The store " + path + " cannot use write-ahead logging.");
  }
  // Migrations commit durably on their own; from then on the store flushes the log itself.
  writer->exec("PRAGMA synchronous = FULL");
  writer->exec("PRAGMA foreign_keys = ON");
  writer->exec("PRAGMA cache_size = -65536");
  writer->exec("PRAGMA journal_size_limit = 67108864");
  writer->exec(kMapWholeFile);
  // Savepoints journal the pages they change; in memory that costs no file writes per check.
  writer->exec("PRAGMA temp_store = MEMORY");
  migrate(*writer, path);
  if (unverified) sqlite3_db_config(writer->handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
  return std::make_unique<SqliteStore>(path, std::move(writer), logOptions);
}

}  // namespace tav::server
