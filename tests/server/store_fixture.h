// Library-level test fixture: a real store (an SQLite file in a temporary folder, or a schema on
// the PostgreSQL test server), a venue set up through the setup functions, tickets imported from a
// CSV file, and command texts run through execute(). Every suite on it runs once per store.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "server/core/password.h"
#include "server/core/command_parser.h"
#include "server/core/procedures.h"
#include "server/core/service.h"
#include "server/core/sessions.h"
#include "server/core/setup.h"
#include "server/core/store.h"
#include "server/pg/pg_store.h"
#include "tests/server/pg_test_server.h"
#include "tests/server/store_session.h"
#include "server/tools/open_store.h"

namespace tav::storetest {

namespace fs = std::filesystem;
using server::Store;
using server::TimeMs;

inline const std::string kLogin = "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo ";
inline const std::string kBooking = "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo ";

// A folder under the system's temporary folder, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "tav-store-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("No temporary folder can be made.");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

inline std::string readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The first column of the first row `sql` gives on the SQLite file at `path`, read by a
// connection of its own as another program would; "<error>" when it fails.
inline std::string sqliteScalar(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  sqlite3_stmt* st = nullptr;
  std::string out = "<error>";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
    out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

using test::sessionOf;

// A station at 10.0.0.1 whose operator has signed in with the password.
inline server::Caller signedIn(server::Store& store, const std::string& id = "admin",
                               const std::string& password = "secret-pw") {
  server::Caller station{"10.0.0.1", {}};
  station.sessionToken = server::execute(store, kLogin + "'" + id + "','" + password + "'", station).sessionToken;
  if (station.sessionToken.empty()) throw std::runtime_error("The operator " + id + " could not sign in.");
  return station;
}

// Ticket i of addCheckVenue.
inline std::string checkTicketNo(int i) { return "C" + std::to_string(100000 + i).substr(1); }

// Venue "P1" with its active event "BIZ", operator "gate" and `tickets` valid tickets C00000..,
// the blocks in turn, in one transaction: for tests of the store under checks, without the
// password hashing of the setup functions (a check does not verify the password). Returns the
// caller that the checks come from: a station with a session of "gate".
inline server::Caller addCheckVenue(server::Store& store, int tickets) {
  server::Caller station{"10.0.0.1", {}};
  store.write([&](server::Transaction& tx) {
    tx.insertVenue(server::Venue{"P1", "잠실종합운동장"});
    tx.insertEvent(server::Event{"BIZ", "P1", "프로야구 개막전", "202604041400", true, false, server::kDefaultOfflineMaxAgeMinutes, ""});
    const server::Operator gate{"gate", "not a password hash", "P1", true};
    tx.insertOperator(gate);
    std::int64_t sessionId = 0;
    station.sessionToken = server::openSession(tx, gate, station.source, store.now(), sessionId);
    for (int i = 0; i < tickets; ++i) {
      server::Ticket t;
      t.bizCode = "BIZ";
      t.ticketNo = checkTicketNo(i);
      t.seatInfo = "1층 " + std::to_string(i % 30 + 1) + "열";
      t.block = server::kBlocks[static_cast<std::size_t>(i) % server::kBlocks.size()];
      tx.insertTicket(t);
    }
  });
  return station;
}

// A check by the operator of addCheckVenue.
inline server::CheckRequest checkOf(const std::string& mode, const std::string& ticketNo) {
  return server::CheckRequest{mode, "BIZ", "", ticketNo, "gate"};
}

// A text value of a row, or "<null>"/the number's decimal form, as the station reads it.
inline std::string text(const wire::Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* n = std::get_if<std::int64_t>(&v)) return std::to_string(*n);
  return "<null>";
}

// The value of `field` in the first row.
inline std::string field(const wire::Recordset& rs, const std::string& name) {
  for (std::size_t i = 0; i < rs.fields.size(); ++i)
    if (rs.fields[i] == name) return rs.rows.empty() ? "<no row>" : text(rs.rows[0][i]);
  return "<no field " + name + ">";
}

// Ticket check command text exactly as the station builds it (values already doubled).
inline std::string checkText(const std::string& mode, const std::string& biz, const std::string& block,
                             const std::string& ticketNo, const std::string& op) {
  return kBooking + "'" + mode + "','" + biz + "','" + block + "','" + ticketNo + "', '" + op + "'";
}

// How the sign-ins in a scan log ended, as the lockout sees them.
struct SignInOutcomes {
  int failures = 0;  // refused and counted toward a lockout
  int lockouts = 0;  // the failure that started a lockout
  int locked = 0;    // refused while locked out
};

inline SignInOutcomes signInOutcomes(const std::vector<server::ScanRecord>& log) {
  SignInOutcomes o;
  for (const auto& line : log) {
    if (line.kind != "login") continue;
    if (line.outcome == server::kOutcomeLockout) ++o.lockouts;
    else if (line.outcome == "locked") ++o.locked;
    else if (line.outcome.rfind(server::kOutcomeFailedPrefix, 0) == 0) ++o.failures;
  }
  return o;
}

// Unix milliseconds of a local wall-clock time, the way the server's clock reads it.
inline TimeMs localTime(int year, int month, int day, int hour, int minute) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  return static_cast<TimeMs>(std::mktime(&tm)) * 1000;
}

// An empty place for one store, and a way around the store to what it holds.
class StoreSpace {
 public:
  virtual ~StoreSpace() = default;
  // What openStore() takes: a file path or a URI.
  virtual std::string location() const = 0;
  // Runs SQL directly, as another program would; "" when it succeeded, else the error.
  virtual std::string rawExec(const std::string& sql) = 0;
  // True when `text` appears anywhere in what the store keeps.
  virtual bool keeps(const std::string& text) = 0;
};

class SqliteSpace final : public StoreSpace {
 public:
  std::string location() const override { return dir_.file("tav.db"); }
  std::string rawExec(const std::string& sql) override {
    sqlite3* db = nullptr;
    if (sqlite3_open(location().c_str(), &db) != SQLITE_OK) {
      sqlite3_close(db);
      return "cannot open";
    }
    char* err = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
    std::string message = rc == SQLITE_OK ? "" : err ? err : "failed";
    sqlite3_free(err);
    sqlite3_close(db);
    return message;
  }
  bool keeps(const std::string& text) override {
    for (const char* suffix : {"", "-wal"})
      if (readBytes(location() + suffix).find(text) != std::string::npos) return true;
    return false;
  }

 private:
  ScratchDir dir_;
};

class PostgresSpace final : public StoreSpace {
 public:
  std::string location() const override { return schema_.uri(); }
  std::string rawExec(const std::string& sql) override { return pgtest::RawConnection(location()).tryExec(sql); }
  bool keeps(const std::string& text) override {
    pgtest::RawConnection c(location());
    std::string literal = "'";
    for (char ch : text) literal += ch == '\'' ? std::string("''") : std::string(1, ch);
    literal += "'";
    return c.scalar("SELECT count(*) FROM (SELECT v::text AS t FROM venue v UNION ALL SELECT e::text FROM event e "
                    "UNION ALL SELECT o::text FROM operator o UNION ALL SELECT k::text FROM ticket k "
                    "UNION ALL SELECT l::text FROM scan_log l) rows WHERE strpos(t, " + literal + ") > 0") != "0";
  }

 private:
  pgtest::ScratchSchema schema_;
};

// A kind of store the suites run on.
struct StoreKind {
  const char* name;  // the test name's suffix: "SQLite" or "PostgreSQL"
  std::function<std::unique_ptr<StoreSpace>()> make;
  std::function<std::string()> unavailable;  // why the kind cannot be tested here, or ""
};

inline const std::vector<StoreKind>& storeKinds() {
  static const std::vector<StoreKind> kinds{
      {"SQLite", [] { return std::unique_ptr<StoreSpace>(new SqliteSpace); }, [] { return std::string(); }},
      {"PostgreSQL", [] { return std::unique_ptr<StoreSpace>(new PostgresSpace); },
       [] { return pgtest::serverUri().empty() ? pgtest::notConfigured() : std::string(); }},
  };
  return kinds;
}

inline void PrintTo(const StoreKind& kind, std::ostream* os) { *os << kind.name; }

inline std::string storeName(const ::testing::TestParamInfo<StoreKind>& info) { return info.param.name; }

// "<case>_<store>" for suites that run a table of cases on every store.
struct CaseOnStoreName {
  template <class Param>
  std::string operator()(const ::testing::TestParamInfo<Param>& info) const {
    return std::string(std::get<1>(info.param).name) + "_" + std::get<0>(info.param).name;
  }
};

// Each of `cases` on each store.
template <class Case>
auto onEveryStore(const std::vector<Case>& cases) {
  return ::testing::Combine(::testing::ValuesIn(storeKinds()), ::testing::ValuesIn(cases));
}

// One venue "P1" with the active event "BIZ", operator "admin" and a handful of tickets; a second
// venue "P2" with event "BIZ2" and operator "other". The store's clock is a value the test sets.
class StoreFixture : public ::testing::Test {
 protected:
  virtual const StoreKind& kind() const = 0;

  void SetUp() override {
    if (const std::string why = kind().unavailable(); !why.empty()) GTEST_SKIP() << why;
    space_ = kind().make();
    store_ = server::openStore(space_->location(), true);
    now_ = localTime(2026, 4, 4, 14, 5);
    store_->setClock([this] { return now_.load(); });
  }
  void TearDown() override { store_.reset(); }

  Store& store() { return *store_; }
  StoreSpace& space() { return *space_; }

  void reopen() {
    store_.reset();
    store_ = server::openStore(space_->location(), false);
    store_->setClock([this] { return now_.load(); });
  }

  // Opens a store of an older schema as this version does after an upgrade: an SQLite store is
  // brought up when it is opened, a PostgreSQL one only by migrate.
  void reopenMigrated() {
    store_.reset();
    if (server::isPostgresUri(space_->location())) server::migratePostgresStore(space_->location());
    reopen();
  }

  // Header row added; returns the path of the file written.
  std::string csv(const std::string& rows, const std::string& name = "tickets.csv") {
    std::string path = dir_.file(name);
    writeBytes(path,
               "TicketNo,CustName,GoodsName,PlayDate,PlaceName,SeatGradeName,SeatInfo,Block,Status\n" +
                   rows);
    return path;
  }

  void setUpVenues() {
    server::addVenue(store(), "P1", "잠실종합운동장");
    server::addEvent(store(), "P1", "BIZ", "프로야구 개막전", "202604041400", true);
    server::addOperator(store(), "admin", "secret-pw", "P1");
    server::addVenue(store(), "P2", "사직야구장");
    server::addEvent(store(), "P2", "BIZ2", "사직 경기", "202604051800", true);
    server::addOperator(store(), "other", "secret2-pw", "P2");
    store().write([](server::Transaction& tx) {
      tx.insertOperator(server::Operator{"retired", retiredHash(), "P1", false});
    });
    server::importTickets(store(), "BIZ", csv(
        "T1,홍길동,프로야구 개막전,202604041400,잠실종합운동장,VIP석,E석 1층 3열 7번,E석,valid\n"
        "T2,김철수,프로야구 개막전,202604041400,잠실종합운동장,R석,N석 2층 1열 1번,N석,cancelled\n"
        "T3,이영희,프로야구 개막전,202604041400,잠실종합운동장,S석,S석 3층 9열 2번,S석,\n"
        "T4,박민수,프로야구 개막전,202604041400,잠실종합운동장,A석,W석 1층 1열 5번,W석,valid\n"
        "O'Neil,Sean O'Neil,프로야구 개막전,202604041400,잠실종합운동장,R석,E석 2층 4열 4번,E석,valid\n"));
    server::importTickets(store(), "BIZ2", csv(
        "X1,최지우,사직 경기,202604051800,사직야구장,R석,E석 1층 1열 1번,E석,valid\n", "biz2.csv"));
  }

  // The command as a station sends it once its operator has signed in (see sessionFor).
  wire::Recordset run(const std::string& command) { return runFrom("", command); }
  // The command as a client at `source` sends it.
  wire::Recordset runFrom(const std::string& source, const std::string& command) {
    return server::execute(store(), command, server::Caller{source, sessionFor(command)}).recordset;
  }

  // A live session of the operator, opened in the store as a sign-in opens one.
  std::string openSessionOf(const std::string& operatorId, const std::string& source = "10.0.0.1") {
    return sessionOf(store(), operatorId, source);
  }

  // The session a station signed in as the right operator would send the command with: for a
  // check, the session of the operator it names when there is one by that ID, else admin's; for a
  // venue sign-in and statistics, the venue's operator's (admin of P1, other of P2). None for an
  // operator sign-in.
  std::string sessionFor(const std::string& command) {
    server::ParsedCommand parsed;
    try {
      parsed = server::parseCommand(command);
    } catch (const server::BadCommand&) {
      return {};
    }
    static const std::map<std::string, std::string> operatorOfPlace{{"P1", "admin"}, {"P2", "other"}, {"P3", "idle"}};
    std::string who = "admin";
    if (parsed.procedure == server::ProcedureId::LoginInfo) {
      if (parsed.args.size() == 2) return {};
      if (operatorOfPlace.count(parsed.args[0])) who = operatorOfPlace.at(parsed.args[0]);
    } else if (parsed.args[0] == "S") {
      std::optional<server::Event> event;
      store().read([&](server::Reader& r) { event = r.findEvent(parsed.args[1]); });
      if (event && operatorOfPlace.count(event->placeCode)) who = operatorOfPlace.at(event->placeCode);
    } else {
      bool known = false;
      store().read([&](server::Reader& r) { known = r.findOperator(parsed.args[4]).has_value(); });
      if (known) who = parsed.args[4];
    }
    // A session the test's clock has left behind is replaced, as the station would sign in again.
    std::optional<server::SessionInfo> live;
    if (tokens_.count(who)) live = server::findLiveSession(store(), tokens_.at(who));
    if (!live) {
      bool exists = false;
      store().read([&](server::Reader& r) { exists = r.findOperator(who).has_value(); });
      if (!exists) return {};
      tokens_[who] = openSessionOf(who);
    }
    return tokens_.at(who);
  }

  static std::string check(const std::string& mode, const std::string& biz, const std::string& block,
                           const std::string& ticketNo, const std::string& op) {
    return checkText(mode, biz, block, ticketNo, op);
  }

  std::vector<server::ScanRecord> scanLog() {
    std::vector<server::ScanRecord> all;
    store().read([&](server::Reader& r) { all = r.scanLog(0, 1000000); });
    return all;
  }

  std::optional<server::Ticket> ticket(const std::string& biz, const std::string& no) {
    std::optional<server::Ticket> t;
    store().read([&](server::Reader& r) { t = r.findTicket(biz, no); });
    return t;
  }

  static const std::string& retiredHash() {
    static const std::string hash = server::hashPassword("retiredpw");
    return hash;
  }

  std::atomic<TimeMs> now_{0};
  std::map<std::string, std::string> tokens_;  // operator ID -> the session run() sends

 private:
  ScratchDir dir_;
  std::unique_ptr<StoreSpace> space_;
  std::unique_ptr<Store> store_;
};

// The fixture on one store: TEST_P(StoreTest, ...) runs once per store.
class StoreTest : public StoreFixture, public ::testing::WithParamInterface<StoreKind> {
 protected:
  const StoreKind& kind() const override { return GetParam(); }
};

// The fixture with a table of cases: each case runs once per store.
template <class Case>
class StoreCaseTest : public StoreFixture, public ::testing::WithParamInterface<std::tuple<StoreKind, Case>> {
 protected:
  const StoreKind& kind() const override { return std::get<0>(this->GetParam()); }
  const Case& testCase() const { return std::get<1>(this->GetParam()); }
};

// SQL that takes the browser stations' enrolment codes out of a store again; the caller sets the
// schema version back by kSchemaVersionsSinceEnrolment.
inline constexpr int kSchemaVersionsSinceEnrolment = 1;
inline std::string dropEnrolment() { return "DROP TABLE station_enrolment; "; }

// SQL that takes offline checking (the hand-overs' conflicts, the stations' acknowledged
// hand-overs, the events' switches and keys, the noted fetches, the index of tickets by block, the
// scan log's check keys) and what came after it out of a store again, as a server from before it
// left the store; the caller sets the schema version back by kSchemaVersionsSinceOfflineChecking.
inline constexpr int kSchemaVersionsSinceOfflineChecking = 3 + kSchemaVersionsSinceEnrolment;
inline std::string dropOfflineChecking() {
  return dropEnrolment() + "DROP TABLE offline_conflict; DROP TABLE station_handover; DROP TABLE offline_lists; "
         "DROP INDEX ticket_event_block; ALTER TABLE scan_log DROP COLUMN idempotency_key; "
         "ALTER TABLE event DROP COLUMN offline; ALTER TABLE event DROP COLUMN offline_max_age; "
         "ALTER TABLE event DROP COLUMN offline_key; ";
}

// SQL that takes offline checking, the control room's capacities, gate refusals and indexes, the
// marks of cancellations made here, the checks' idempotency keys and the tickets' versions, the
// registered stations, and before them the live dashboard's counters (tables, triggers, functions),
// out of a store again, as a server from before the dashboard left it; the caller sets the schema
// version back to before the dashboard (kSchemaVersionsSinceDashboard).
inline constexpr int kSchemaVersionsSinceDashboard = 7 + kSchemaVersionsSinceOfflineChecking;
inline std::string dropDashboardCounters(bool sqlite) {
  const std::string alarms = dropOfflineChecking() +
      (sqlite ? "DROP TRIGGER scan_log_gate_refusal; "
             : "DROP TRIGGER scan_log_gate_refusal ON scan_log; DROP TRIGGER scan_log_gate_refusal_bulk ON scan_log; "
               "DROP FUNCTION scan_log_gate_refusal(); DROP FUNCTION scan_log_gate_refusal_bulk(); ");
  const std::string stations = alarms +
      "DROP TABLE event_capacity; DROP TABLE ingress_gate_refusal; " +
      std::string(sqlite ? "" : "ALTER TABLE schema_version DROP COLUMN servers_from; ") +
      "DROP INDEX ticket_holder; DROP INDEX scan_log_ticket_history; "
      "ALTER TABLE ticket DROP COLUMN cancelled_here; DROP TABLE check_key; ALTER TABLE ticket DROP COLUMN version; "
      "DROP TABLE station; DROP INDEX session_station; ALTER TABLE session DROP COLUMN station; ";
  const std::string tables = stations + "DROP TABLE ingress_flow; DROP TABLE ingress_refusal; DROP TABLE ingress_gate_minute; ";
  if (sqlite) {
    return "DROP TRIGGER scan_log_ingress; DROP TRIGGER ticket_inside_insert; DROP TRIGGER ticket_inside_delete; "
           "DROP TRIGGER ticket_inside_update; DROP TABLE inside_count; " + tables;
  }
  return "DROP TRIGGER scan_log_ingress ON scan_log; DROP TRIGGER ticket_ingress_insert ON ticket; "
         "DROP TRIGGER ticket_ingress_delete ON ticket; DROP TRIGGER ticket_ingress_update ON ticket; "
         "DROP TRIGGER ticket_ingress_bulk ON ticket; DROP TRIGGER scan_log_ingress_bulk ON scan_log; "
         "DROP FUNCTION ticket_ingress(); DROP FUNCTION scan_log_ingress(); DROP FUNCTION ticket_ingress_bulk(); "
         "DROP FUNCTION scan_log_ingress_bulk(); DROP TABLE ingress_count; " + tables;
}

}  // namespace tav::storetest
