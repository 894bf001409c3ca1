// The stores themselves: the append-only scan log, constraints, each caller's work kept apart,
// snapshots and durability on every store; for the SQLite file, foreign and newer files left
// untouched, its pragmas and a commit that fails on a full disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <atomic>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <cctype>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "server/core/copy_store.h"
#include "server/pg/pg_store.h"
#include "server/core/ingress.h"
#include "server/core/stations.h"
#include "server/sqlite/schema.h"
#include "server/sqlite/sqlite_store.h"
#include "store_fixture.h"
#include "server/tools/open_store.h"

namespace tav::storetest {
namespace {

using server::StoreRejected;

// Runs SQL on a file with SQLite directly, as another program would.
void rawExec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* err = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  std::string message = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << message;
}

struct ForeignCase {
  const char* name;
  std::function<void(const std::string& path)> make;
  std::string reason;
};

class RefusedFile : public ::testing::TestWithParam<ForeignCase> {};

TEST_P(RefusedFile, IsLeftByteForByte) {
  ScratchDir dir;
  const std::string path = dir.file("store.db");
  GetParam().make(path);
  const std::string before = readBytes(path);
  ASSERT_FALSE(before.empty());
  for (bool create : {false, true}) {
    try {
      server::openStore(path, create);
      FAIL() << "opened";
    } catch (const StoreRejected& e) {
      EXPECT_NE(std::string(e.what()).find(GetParam().reason), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_EQ(readBytes(path), before);
    EXPECT_FALSE(fs::exists(path + "-wal"));
    EXPECT_FALSE(fs::exists(path + "-journal"));
  }
}

void makeOurStore(const std::string& path) { server::openStore(path, true); }

INSTANTIATE_TEST_SUITE_P(
    Store, RefusedFile,
    ::testing::Values(
        ForeignCase{"TextFile",
                    [](const std::string& p) {
                      std::string text;
                      for (int i = 0; i < 20; ++i) text += "TicketNo,CustName,GoodsName\n";
                      writeBytes(p, text);
                    },
                    "is not a TAV store"},
        ForeignCase{"ShortFile", [](const std::string& p) { writeBytes(p, "SQLite"); }, "is not a TAV store"},
        ForeignCase{"OtherSqliteDatabase",
                    [](const std::string& p) { rawExec(p, "CREATE TABLE ticket(x); INSERT INTO ticket VALUES(1);"); },
                    "is not a TAV store"},
        ForeignCase{"OtherApplicationId",
                    [](const std::string& p) { rawExec(p, "PRAGMA application_id = 7; CREATE TABLE t(x);"); },
                    "is not a TAV store"},
        ForeignCase{"OurIdButNoSchema",
                    [](const std::string& p) {
                      rawExec(p, "PRAGMA application_id = " + std::to_string(server::kSqliteApplicationId) +
                                     "; CREATE TABLE t(x);");
                    },
                    "is not a TAV store"},
        ForeignCase{"NewerSchema",
                    [](const std::string& p) {
                      makeOurStore(p);
                      rawExec(p, "INSERT INTO schema_version VALUES(99, 0); PRAGMA user_version = 99;");
                    },
                    "newer tav-server (schema version 99"},
        ForeignCase{"NewerSchemaTableOnly",
                    [](const std::string& p) {
                      makeOurStore(p);
                      rawExec(p, "INSERT INTO schema_version VALUES(" + std::to_string(server::sqlite::schemaVersion() + 1) +
                                     ", 0);");
                    },
                    "newer tav-server (schema version " + std::to_string(server::sqlite::schemaVersion() + 1)}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Store, MissingFileIsNotCreatedWithoutAsking) {
  ScratchDir dir;
  const std::string path = dir.file("absent.db");
  EXPECT_THROW(server::openStore(path, false), StoreRejected);
  EXPECT_FALSE(fs::exists(path));
}

TEST(Store, EmptyFileIsRefusedUnlessCreating) {
  ScratchDir dir;
  const std::string path = dir.file("empty.db");
  writeBytes(path, "");
  EXPECT_THROW(server::openStore(path, false), StoreRejected);
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_NO_THROW(server::openStore(path, true));
  EXPECT_NO_THROW(server::openStore(path, false));
}

// While a program keeps a file in write-ahead-log mode open, its first commits (and so its header)
// may be only in the log: the store reads them there, and turns away a foreign file untouched.
TEST(Store, HeaderStillInTheLogIsReadThere) {
  ScratchDir dir;
  const std::string ours = dir.file("ours.db");
  auto first = server::openStore(ours, true);
  server::addVenue(*first, "P1", "잠실");
  std::unique_ptr<server::Store> second;
  ASSERT_NO_THROW(second = server::openStore(ours, false));
  std::optional<server::Venue> venue;
  second->read([&](server::Reader& r) { venue = r.findVenue("P1"); });
  EXPECT_TRUE(venue);

  // A foreign file and its log, copied while their program had them open.
  const std::string foreign = dir.file("foreign.db"), copy = dir.file("copy.db");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA journal_mode = WAL; CREATE TABLE ticket(x); INSERT INTO ticket VALUES(1);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  fs::copy_file(foreign, copy);
  fs::copy_file(foreign + "-wal", copy + "-wal");
  sqlite3_close(db);
  const std::string file = readBytes(copy), log = readBytes(copy + "-wal");
  ASSERT_FALSE(log.empty());
  for (bool create : {false, true}) {
    EXPECT_THROW(server::openStore(copy, create), StoreRejected) << create;
    EXPECT_EQ(readBytes(copy), file);
    EXPECT_EQ(readBytes(copy + "-wal"), log);
  }
}

TEST(Store, NewFileIsMarkedVersionedAndInWalMode) {
  ScratchDir dir;
  const std::string path = dir.file("new.db");
  {
    auto store = server::openStore(path, true);
    server::addVenue(*store, "P1", "잠실");
  }
  EXPECT_EQ(sqliteScalar(path, "PRAGMA application_id"), std::to_string(server::kSqliteApplicationId));
  EXPECT_EQ(sqliteScalar(path, "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(sqliteScalar(path, "PRAGMA user_version"), std::to_string(server::sqliteSchemaVersion()));
  EXPECT_EQ(sqliteScalar(path, "SELECT max(version) FROM schema_version"),
            std::to_string(server::sqliteSchemaVersion()));
  // Reopening keeps the data and does not apply the migrations again.
  auto store = server::openStore(path, false);
  std::optional<server::Venue> venue;
  store->read([&](server::Reader& r) { venue = r.findVenue("P1"); });
  ASSERT_TRUE(venue);
  EXPECT_EQ(venue->theaterName, "잠실");
  EXPECT_EQ(sqliteScalar(path, "SELECT count(*) FROM schema_version"), std::to_string(server::sqliteSchemaVersion()));
}

// A store from before the scan log named sources gains the column on open: its old lines name
// none, new ones do, and the lockout counts both.
TEST_P(StoreTest, OlderStoreGainsTheSourceColumn) {
  setUpVenues();
  for (int i = 0; i < 4; ++i) runFrom("10.1.2.3", kLogin + "'admin','wrong'");
  const bool sqlite = std::string(kind().name) == "SQLite";
  const int version = sqlite ? server::sqliteSchemaVersion() : server::postgresSchemaVersion();
  // The version before sources came before operator roles, sessions and the dashboard's counters too.
  const std::string previous = std::to_string(version - kSchemaVersionsSinceDashboard - 3);
  ASSERT_EQ(space().rawExec(dropDashboardCounters(sqlite) + "DROP TABLE session; ALTER TABLE scan_log DROP COLUMN session; "
                            "ALTER TABLE operator DROP COLUMN role; ALTER TABLE scan_log DROP COLUMN source; "
                            "DELETE FROM schema_version WHERE version > " +
                            previous + (sqlite ? "; PRAGMA user_version = " + previous : std::string())),
            "");
  reopenMigrated();
  // Whether a cancellation from before was made here is not known: it counts as the venue's own.
  EXPECT_TRUE(ticket("BIZ", "T2")->cancelledHere);
  EXPECT_FALSE(ticket("BIZ", "T1")->cancelledHere);
  auto log = scanLog();
  ASSERT_EQ(log.size(), 4u);
  for (const auto& line : log) EXPECT_EQ(line.source, "");
  // The old lines came from no address that can be named, so a fifth failure does not lock.
  EXPECT_EQ(field(runFrom("10.1.2.3", kLogin + "'admin','wrong'"), "ErrCode"), "-1");
  EXPECT_EQ(scanLog().back().outcome, "failed:bad-password");
  EXPECT_EQ(scanLog().back().source, "10.1.2.3");
  EXPECT_EQ(field(runFrom("10.1.2.3", kLogin + "'admin','secret-pw'"), "ErrCode"), "0");
}

// A store from before operator roles gains them on open: every operator it holds is a gate
// operator and works as before, and a role is one of the two.
TEST_P(StoreTest, OlderStoreMakesItsOperatorsGateOperators) {
  setUpVenues();
  const bool sqlite = std::string(kind().name) == "SQLite";
  const int version = sqlite ? server::sqliteSchemaVersion() : server::postgresSchemaVersion();
  // The version before roles came before sessions and the dashboard's counters too.
  const std::string previous = std::to_string(version - kSchemaVersionsSinceDashboard - 2);
  ASSERT_EQ(space().rawExec(dropDashboardCounters(sqlite) + "DROP TABLE session; ALTER TABLE scan_log DROP COLUMN session; "
                            "ALTER TABLE operator DROP COLUMN role; DELETE FROM schema_version WHERE version > " +
                            previous + (sqlite ? "; PRAGMA user_version = " + previous : std::string())),
            "");
  reopenMigrated();
  std::vector<server::Operator> operators;
  store().read([&](server::Reader& r) { operators = r.allOperators(); });
  ASSERT_EQ(operators.size(), 3u);
  for (const auto& o : operators) EXPECT_EQ(o.role, server::OperatorRole::Gate) << o.id;
  EXPECT_EQ(field(run(kLogin + "'admin','secret-pw'"), "ErrCode"), "0");
  EXPECT_EQ(field(run(check("I", "BIZ", "", "T1", "admin")), "ErrCode"), "0");

  server::addOperator(store(), "boss", "pass-word", "P1", server::OperatorRole::Admin);
  std::optional<server::Operator> boss;
  store().read([&](server::Reader& r) { boss = r.findOperator("boss"); });
  ASSERT_TRUE(boss);
  EXPECT_EQ(boss->role, server::OperatorRole::Admin);
  for (const char* sql : {"UPDATE operator SET role = 'root' WHERE operator_id = 'boss'",
                          "UPDATE operator SET role = NULL WHERE operator_id = 'boss'",
                          "INSERT INTO operator(operator_id, password_hash, place_code, role) VALUES('x', 'h', 'P1', 'Admin')"})
    EXPECT_NE(space().rawExec(sql).find("constraint"), std::string::npos) << sql;
  reopen();
  store().read([&](server::Reader& r) { boss = r.findOperator("boss"); });
  ASSERT_TRUE(boss);
  EXPECT_EQ(boss->role, server::OperatorRole::Admin);
}

// Copying keeps each operator's role, between stores of either kind.
TEST_P(StoreTest, CopyKeepsAnAdminAnAdmin) {
  setUpVenues();
  server::addOperator(store(), "boss", "pass-word", "P1", server::OperatorRole::Admin);
  for (const StoreKind& to : storeKinds()) {
    if (!to.unavailable().empty()) continue;
    SCOPED_TRACE(to.name);
    auto space = to.make();
    auto target = server::openStore(space->location(), true);
    server::copyStore(store(), *target);
    std::vector<server::Operator> copied;
    target->read([&](server::Reader& r) { copied = r.allOperators(); });
    std::map<std::string, server::OperatorRole> roles;
    for (const auto& o : copied) roles[o.id] = o.role;
    EXPECT_EQ(roles, (std::map<std::string, server::OperatorRole>{{"admin", server::OperatorRole::Gate},
                                                                  {"boss", server::OperatorRole::Admin},
                                                                  {"other", server::OperatorRole::Gate},
                                                                  {"retired", server::OperatorRole::Gate}}));
    EXPECT_EQ(server::execute(*target, kLogin + "'boss','pass-word'").code, "0");
  }
}

// Copying a store keeps each scan-log line's source, and an unknown ID stays "?".
TEST_P(StoreTest, CopyKeepsEachLinesSource) {
  setUpVenues();
  runFrom("192.0.2.1", check("I", "BIZ", "", "T1", "admin"));
  runFrom("192.0.2.2", kLogin + "'typed-password','x'");
  server::unlockOperator(store(), "admin", server::Caller{"local", {}});
  ScratchDir dir;
  auto target = server::openStore(dir.file("copy.db"), true);
  server::copyStore(store(), *target);
  std::vector<server::ScanRecord> copied;
  target->read([&](server::Reader& r) { copied = r.scanLog(0, 100); });
  const auto original = scanLog();
  ASSERT_EQ(copied.size(), original.size());
  ASSERT_EQ(copied.size(), 3u);
  for (std::size_t i = 0; i < copied.size(); ++i) {
    EXPECT_EQ(copied[i].source, original[i].source) << i;
    EXPECT_EQ(copied[i].operatorId, original[i].operatorId) << i;
    EXPECT_EQ(copied[i].outcome, original[i].outcome) << i;
  }
  EXPECT_EQ(copied[0].source, "192.0.2.1");
  EXPECT_EQ(copied[1].operatorId, "?");
  EXPECT_EQ(copied[2].source, "local");
}

// A station's life on either store: signed in through, locked by its own failures, listed, copied
// with its id (the scan log names it by that), and removed with its sessions.
TEST_P(StoreTest, StationsAreListedLockedCopiedAndRemoved) {
  setUpVenues();
  const server::AddedStation added = server::addStation(store(), "P1", "3번 게이트", "E석");
  server::Caller keyed{"192.0.2.9"};
  keyed.station = added.station.id;
  keyed.stationPlace = "P1";
  std::string token;
  ASSERT_EQ(field(server::loginOperator(store(), "admin", "secret-pw", keyed, &token), "ErrCode"), "0");
  EXPECT_EQ(scanLog().back().source, server::stationSource(added.station.id));
  store().write([&](server::Transaction& tx) { tx.touchStation(added.station.id, now_.load()); });
  auto listed = server::listStations(store(), "P1");
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].signedIn, "admin");
  EXPECT_EQ(listed[0].lastSeen, now_.load());

  keyed.source = "192.0.2.10";  // the station's failures count wherever it is
  for (int i = 0; i < server::kMaxFailedLogins; ++i) server::loginOperator(store(), "admin", "wrong", keyed);
  EXPECT_EQ(field(server::loginOperator(store(), "admin", "secret-pw", keyed), "ErrCode"), "-1");
  auto locked = server::listLockouts(store(), "P1");
  ASSERT_EQ(locked.size(), 1u);
  EXPECT_EQ(locked[0].where, "station 3번 게이트");
  EXPECT_EQ(locked[0].until, locked[0].since + server::kLockoutMs);
  EXPECT_EQ(field(runFrom("192.0.2.10", kLogin + "'admin','secret-pw'"), "ErrCode"), "0") << "the address is not locked";

  // The dashboard's gates name a keyed check's station, not its address.
  const std::string entry = check("I", "BIZ", "", "T1", "admin");
  server::Caller keyedCheck{"192.0.2.9", sessionFor(entry)};
  keyedCheck.station = added.station.id;
  keyedCheck.stationPlace = "P1";
  ASSERT_EQ(server::execute(store(), entry, keyedCheck).code, "0");
  const server::IngressSnapshot snapshot = server::takeIngressSnapshot(store(), "P1", "BIZ");
  ASSERT_EQ(snapshot.counts.gates.size(), 1u);
  EXPECT_EQ(snapshot.counts.gates[0].source, "3번 게이트");

  ScratchDir dir;
  auto target = server::openStore(dir.file("copy.db"), true);
  server::copyStore(store(), *target);
  std::vector<server::StationRecord> copied;
  target->read([&](server::Reader& r) { copied = r.allStations(); });
  ASSERT_EQ(copied.size(), 1u);
  EXPECT_EQ(copied[0].id, added.station.id);
  EXPECT_EQ(copied[0].keyHash, server::stationKeyHash(added.key));

  server::removeStation(store(), "P1", "3번 게이트");
  EXPECT_FALSE(server::findLiveSession(store(), token)) << "its sessions end with it";
  EXPECT_TRUE(server::listStations(store(), "P1").empty());
  EXPECT_THROW(server::removeStation(store(), "P1", "3번 게이트"), server::SetupError);
  EXPECT_EQ(server::addStation(store(), "P1", "3번 게이트", "").station.name, "3번 게이트") << "the name is free again";
}

// A browser station's one-time code: redeemed once, by a live session of its venue, within its
// life, for a name still free; every refusal changes nothing.
TEST_P(StoreTest, EnrolmentCodesMakeOneStationEach) {
  setUpVenues();
  std::string admin, other;
  ASSERT_EQ(field(server::loginOperator(store(), "admin", "secret-pw", server::Caller{"192.0.2.1"}, &admin), "ErrCode"), "0");
  ASSERT_EQ(field(server::loginOperator(store(), "other", "secret2-pw", server::Caller{"192.0.2.2"}, &other), "ErrCode"), "0");
  EXPECT_THROW(server::makeEnrolment(store(), "P9", "폰", ""), server::SetupError);
  EXPECT_THROW(server::makeEnrolment(store(), "P1", "폰", "X석"), server::SetupError);
  const server::Enrolment expired = server::makeEnrolment(store(), "P1", "폰 1", "");
  now_ += server::kEnrolmentLifeMs + 1;
  const server::Enrolment code = server::makeEnrolment(store(), "P1", "폰 2", "N석");
  EXPECT_EQ(code.expires, now_.load() + server::kEnrolmentLifeMs);
  EXPECT_NE(code.code, expired.code);
  ASSERT_TRUE(std::regex_match(code.code, std::regex("[A-Z2-9]{5}-[A-Z2-9]{5}"))) << code.code;
  const server::Enrolment taken = server::makeEnrolment(store(), "P1", "3번 게이트", "");
  server::addStation(store(), "P1", "3번 게이트", "");
  struct Refused {
    const char* what;
    std::string code, session;
    bool signedIn;
  };
  const Refused refusals[] = {
      {"no session", code.code, "", false},
      {"an ended session", code.code, "made-up-token", false},
      {"another venue's operator", code.code, other, true},
      {"an expired code", expired.code, admin, true},
      {"an unknown code", "AAAAA-AAAAA", admin, true},
      {"a code whose name a station took", taken.code, admin, true},
  };
  for (const Refused& r : refusals) {
    if (r.signedIn)
      EXPECT_THROW(server::redeemEnrolment(store(), r.code, r.session), server::ActionRefused) << r.what;
    else
      EXPECT_THROW(server::redeemEnrolment(store(), r.code, r.session), server::NotSignedIn) << r.what;
  }
  EXPECT_EQ(server::listStations(store(), "P1").size(), 1u) << "no refusal made a station";

  std::string lower = code.code;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const server::AddedStation added = server::redeemEnrolment(store(), " " + lower + " ", admin);
  EXPECT_EQ(added.station.name, "폰 2");
  EXPECT_EQ(added.station.block, "N석");
  std::vector<server::StationRecord> stations;
  store().read([&](server::Reader& r) { stations = r.allStations(); });
  ASSERT_EQ(stations.size(), 2u);
  EXPECT_EQ(stations[1].keyHash, server::stationKeyHash(added.key));
  EXPECT_THROW(server::redeemEnrolment(store(), code.code, admin), server::ActionRefused) << "used once only";
}

TEST_P(StoreTest, ScanLogCannotBeChangedOrDeleted) {
  setUpVenues();
  run(check("I", "BIZ", "", "T1", "admin"));
  for (const char* sql : {"UPDATE scan_log SET code = '0'", "DELETE FROM scan_log", "DELETE FROM scan_log WHERE id = 1"})
    EXPECT_NE(space().rawExec(sql).find("append-only"), std::string::npos) << sql;
  EXPECT_EQ(scanLog().size(), 1u);
  EXPECT_EQ(scanLog()[0].code, "0");
}

TEST_P(StoreTest, SchemaRefusesASecondActiveEventAndUnknownBlocks) {
  setUpVenues();
  EXPECT_THROW(store().write([](server::Transaction& tx) {
    tx.insertEvent(server::Event{"BIZ3", "P1", "또 다른 경기", "202604061800", true, false, server::kDefaultOfflineMaxAgeMinutes, ""});
  }), server::StoreUnavailable);
  server::Ticket t;
  t.bizCode = "BIZ";
  t.ticketNo = "Z1";
  t.block = "X석";
  EXPECT_THROW(store().write([&](server::Transaction& tx) { tx.insertTicket(t); }), server::StoreUnavailable);
  EXPECT_FALSE(ticket("BIZ", "Z1"));
}

// Two servers of one store (two store objects here): a sign-in that holds the ID's sign-ins keeps
// the other's waiting until it has logged its attempt, and the other then counts that attempt.
TEST_P(StoreTest, HeldSignInsWaitAndThenSeeTheAttemptThatHeldThem) {
  setUpVenues();
  auto second = server::openStore(space().location(), false);
  std::promise<void> holding, release;
  std::thread first([&] {
    store().write([&](server::Transaction& tx) {
      tx.holdSignIns("admin");
      tx.loginHistory(server::LoginQuery{"admin", "10.0.0.1"});  // sends the hold now rather than with the commit
      server::ScanRecord line;
      line.kind = "login";
      line.at = store().now();
      line.operatorId = "admin";
      line.outcome = "failed:bad-password";
      line.source = "10.0.0.1";
      tx.appendScanLog(line);
      holding.set_value();
      release.get_future().wait();
    });
  });
  holding.get_future().wait();
  auto seen = std::async(std::launch::async, [&] {
    server::LoginHistory h;
    second->write([&](server::Transaction& tx) {
      tx.holdSignIns("admin");
      h = tx.loginHistory(server::LoginQuery{"admin", "10.0.0.1"});
    });
    return h;
  });
  EXPECT_EQ(seen.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  release.set_value();
  first.join();
  const server::LoginHistory h = seen.get();
  EXPECT_EQ(h.sourceFailures, 1);
  EXPECT_EQ(h.globalFailures, 1);
}

struct Boom : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Concurrent writers end up in shared commits; a failing one takes only its own work back.
TEST_P(StoreTest, FailingWorkRollsBackAloneInsideAGroupCommit) {
  setUpVenues();
  constexpr int kThreads = 24;
  std::vector<std::thread> threads;
  std::vector<int> outcome(kThreads, -1);
  for (int k = 0; k < kThreads; ++k)
    threads.emplace_back([&, k] {
      try {
        store().write([&](server::Transaction& tx) {
          server::ScanRecord line;
          line.kind = "check";
          line.ticketNo = "W" + std::to_string(k);
          tx.appendScanLog(line);
          if (k % 3 == 0) throw Boom("planned");
        });
        outcome[static_cast<std::size_t>(k)] = 1;
      } catch (const Boom&) {
        outcome[static_cast<std::size_t>(k)] = 0;
      }
    });
  for (auto& t : threads) t.join();
  reopen();
  std::set<std::string> logged;
  for (const auto& line : scanLog()) logged.insert(line.ticketNo);
  for (int k = 0; k < kThreads; ++k) {
    EXPECT_EQ(outcome[static_cast<std::size_t>(k)], k % 3 == 0 ? 0 : 1) << k;
    EXPECT_EQ(logged.count("W" + std::to_string(k)), k % 3 == 0 ? 0u : 1u) << k;
  }
}

// Caps the size of the files this process may write, as a full disk would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_);
  }

 private:
  rlimit saved_{};
  void (*previous_)(int) = nullptr;
};

// A full disk is the SQLite file's own failure; the PostgreSQL store's is a lost connection.
class SqliteStoreTest : public StoreFixture {
 protected:
  const StoreKind& kind() const override { return storeKinds().at(0); }
};

TEST_F(SqliteStoreTest, FailedCommitAnswersStoreUnavailableKeepsNothingAndSaysWhyUntilAWriteSucceeds) {
  setUpVenues();
  const auto logBefore = scanLog().size();
  {
    FileSizeLimit full(1024);
    std::vector<std::thread> threads;
    std::atomic<int> unavailable{0};
    for (const char* no : {"T1", "T3", "T4", "O''Neil"})
      threads.emplace_back([&, no] {
        try {
          run(check("I", "BIZ", "", no, "admin"));
        } catch (const server::StoreUnavailable&) {
          ++unavailable;
        }
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(unavailable, 4);
    // Until a write succeeds again the store says why it takes none.
    const std::string fault = store().writeFault();
    EXPECT_NE(fault.find(space().location()), std::string::npos) << fault;
  }
  for (const char* no : {"T1", "T3", "T4", "O'Neil"}) EXPECT_EQ(ticket("BIZ", no)->entryCount, 0) << no;
  EXPECT_EQ(scanLog().size(), logBefore);
  EXPECT_NE(store().writeFault(), "") << "a read is no write";
  // The store carries on once the disk has room again, and after a restart.
  EXPECT_EQ(field(run(check("I", "BIZ", "", "T1", "admin")), "ErrCode"), "0");
  EXPECT_EQ(store().writeFault(), "");
  reopen();
  EXPECT_EQ(field(run(check("I", "BIZ", "", "T3", "admin")), "ErrCode"), "0");
  EXPECT_EQ(field(run(kBooking + "'S','BIZ','','',''"), "Total"), "2");
}

TEST_P(StoreTest, AnsweredAdmissionsSurviveReopening) {
  setUpVenues();
  const server::Caller station{"", sessionFor(check("I", "BIZ", "", "T1", "admin"))};
  std::vector<std::thread> threads;
  for (const char* no : {"T1", "T3", "T4", "O''Neil"})
    threads.emplace_back([&, no] {
      EXPECT_EQ(server::execute(store(), check("I", "BIZ", "", no, "admin"), station).code, "0");
    });
  for (auto& t : threads) t.join();
  reopen();
  for (const char* no : {"T1", "T3", "T4", "O'Neil"}) {
    auto t = ticket("BIZ", no);
    ASSERT_TRUE(t) << no;
    EXPECT_TRUE(t->inside) << no;
  }
  EXPECT_EQ(field(run(kBooking + "'S','BIZ','','',''"), "Total"), "4");
}

TEST_P(StoreTest, ReadsSeeOneSnapshotWhileWritesGoOn) {
  setUpVenues();
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      run(check("I", "BIZ", "", "T1", "admin"));
      run(check("O", "BIZ", "", "T1", "admin"));
    }
  });
  // Inside one read, the ticket and the statistics agree whatever the writer does meanwhile.
  for (int i = 0; i < 200; ++i)
    store().read([&](server::Reader& r) {
      auto a = r.findTicket("BIZ", "T1");
      std::this_thread::yield();
      auto b = r.findTicket("BIZ", "T1");
      ASSERT_TRUE(a && b);
      EXPECT_EQ(a->inside, b->inside);
      EXPECT_EQ(a->entryCount, b->entryCount);
    });
  stop = true;
  writer.join();
}

// Checks through writeAsync from many threads at once: each completion arrives once, with the
// answers the blocking path gives to the same sequence of checks.
TEST_P(StoreTest, AsynchronousChecksCompleteOnceWithTheAnswersOfBlockingOnes) {
  constexpr int kChains = 16;
  const int raced = 2 * kChains;  // the ticket that many checks enter at once
  const server::Caller station = addCheckVenue(store(), raced + 1);
  const std::vector<std::string> modes{"I", "I", "O", "O", "I"};
  const std::vector<std::string> expected{"0", "-2", "0", "-2", "-3"};
  std::vector<std::atomic<int>> calls(kChains * modes.size() + kChains);
  auto checkAsync = [&](const std::string& mode, int ticket, std::size_t request) {
    auto answer = std::make_shared<std::promise<std::string>>();
    server::checkTicketAsync(store(), checkOf(mode, checkTicketNo(ticket)), station,
                             [&calls, request, answer](wire::Recordset rs, std::exception_ptr error) {
                               if (++calls[request] == 1) answer->set_value(error ? "error" : field(rs, "ErrCode"));
                             });
    return answer->get_future();
  };
  std::vector<std::vector<std::string>> asyncCodes(kChains), blockingCodes(kChains);
  std::vector<std::thread> threads;
  for (int k = 0; k < kChains; ++k) {
    threads.emplace_back([&, k] {
      for (std::size_t i = 0; i < modes.size(); ++i)
        asyncCodes[k].push_back(checkAsync(modes[i], k, k * modes.size() + i).get());
    });
    threads.emplace_back([&, k] {
      for (const std::string& mode : modes)
        blockingCodes[k].push_back(field(server::checkTicket(store(), checkOf(mode, checkTicketNo(kChains + k)), station), "ErrCode"));
    });
  }
  std::vector<std::future<std::string>> racing;
  for (int k = 0; k < kChains; ++k) racing.push_back(checkAsync("I", raced, kChains * modes.size() + k));
  for (auto& t : threads) t.join();
  std::multiset<std::string> raceCodes;
  for (auto& f : racing) raceCodes.insert(f.get());
  for (int k = 0; k < kChains; ++k) {
    EXPECT_EQ(asyncCodes[k], expected) << k;
    EXPECT_EQ(blockingCodes[k], expected) << k;
  }
  EXPECT_EQ(raceCodes.count("0"), 1u);
  EXPECT_EQ(raceCodes.count("-2"), static_cast<std::size_t>(kChains - 1));
  reopen();  // every completion the store owed has run
  for (std::size_t r = 0; r < calls.size(); ++r) EXPECT_EQ(calls[r], 1) << r;
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::ValuesIn(storeKinds()), storeName);

}  // namespace
}  // namespace tav::storetest
