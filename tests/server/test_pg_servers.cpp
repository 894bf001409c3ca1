// Several tav-server processes on one PostgreSQL database: each ticket admitted once across them,
// a database restarted under load losing no answered admission, a venue moved from its SQLite
// file with copy-store, and the command line on a database URI.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/core/service.h"
#include "server/core/setup.h"
#include "server/core/store.h"
#include "server/pg/connection.h"
#include "server/pg/schema.h"
#include "tests/server/pg_test_server.h"
#include "tests/server/race_checks.h"
#include "tests/server/server_process.h"
#include "tests/server/store_fixture.h"
#include "server/tools/open_store.h"

namespace tav::test {
namespace {

using Clock = std::chrono::steady_clock;

// Everything a store holds, in a form two stores can be compared by.
struct Contents {
  std::vector<server::Venue> venues;
  std::vector<server::Event> events;
  std::vector<server::Operator> operators;
  std::vector<server::Ticket> tickets;
  std::vector<server::ScanRecord> scanLog;
};

Contents contentsOf(const std::string& location) {
  Contents c;
  auto store = server::openStore(location, false);
  store->read([&](server::Reader& r) {
    c.venues = r.allVenues();
    c.events = r.allEvents();
    c.operators = r.allOperators();
    c.tickets = r.tickets(0, 10000000);
    c.scanLog = r.scanLog(0, 10000000);
  });
  return c;
}

void expectSameContents(const Contents& a, const Contents& b) {
  ASSERT_EQ(a.venues.size(), b.venues.size());
  for (std::size_t i = 0; i < a.venues.size(); ++i) {
    EXPECT_EQ(a.venues[i].placeCode, b.venues[i].placeCode);
    EXPECT_EQ(a.venues[i].theaterName, b.venues[i].theaterName);
  }
  ASSERT_EQ(a.events.size(), b.events.size());
  for (std::size_t i = 0; i < a.events.size(); ++i) {
    const auto &x = a.events[i], &y = b.events[i];
    EXPECT_EQ(std::tie(x.bizCode, x.placeCode, x.goodsName, x.playDate, x.active),
              std::tie(y.bizCode, y.placeCode, y.goodsName, y.playDate, y.active));
  }
  ASSERT_EQ(a.operators.size(), b.operators.size());
  for (std::size_t i = 0; i < a.operators.size(); ++i) {
    const auto &x = a.operators[i], &y = b.operators[i];
    EXPECT_EQ(std::tie(x.id, x.passwordHash, x.placeCode, x.active), std::tie(y.id, y.passwordHash, y.placeCode, y.active));
  }
  ASSERT_EQ(a.tickets.size(), b.tickets.size());
  for (std::size_t i = 0; i < a.tickets.size(); ++i) {
    const auto &x = a.tickets[i], &y = b.tickets[i];
    SCOPED_TRACE(x.ticketNo);
    EXPECT_EQ(std::tie(x.id, x.bizCode, x.ticketNo, x.custName, x.goodsName, x.playDate, x.placeName, x.seatGradeName,
                       x.seatInfo, x.block, x.cancelled),
              std::tie(y.id, y.bizCode, y.ticketNo, y.custName, y.goodsName, y.playDate, y.placeName, y.seatGradeName,
                       y.seatInfo, y.block, y.cancelled));
    EXPECT_EQ(std::tie(x.inside, x.entryCount, x.firstEntry, x.lastEntry, x.lastExit),
              std::tie(y.inside, y.entryCount, y.firstEntry, y.lastEntry, y.lastExit));
  }
  ASSERT_EQ(a.scanLog.size(), b.scanLog.size());
  for (std::size_t i = 0; i < a.scanLog.size(); ++i) {
    const auto &x = a.scanLog[i], &y = b.scanLog[i];
    EXPECT_EQ(std::tie(x.id, x.at, x.kind, x.bizCode, x.mode, x.block, x.ticketNo, x.operatorId, x.placeCode, x.code,
                       x.message, x.outcome),
              std::tie(y.id, y.at, y.kind, y.bizCode, y.mode, y.block, y.ticketNo, y.operatorId, y.placeCode, y.code,
                       y.message, y.outcome));
  }
}

std::string statisticsOf(const std::string& location) {
  auto store = server::openStore(location, false);
  const server::Caller station{"10.0.0.1", storetest::sessionOf(*store, TestVenue::kOperator)};
  const wire::Recordset rs = server::execute(*store, kBookingProc + "'S','BIZ1','','',''", station).recordset;
  std::string out;
  for (std::size_t i = 0; i < rs.fields.size(); ++i)
    out += rs.fields[i] + "=" + std::to_string(std::get<std::int64_t>(rs.rows.at(0)[i])) + " ";
  return out;
}

// The URI without its password, for the other ways of giving it.
std::string withoutPassword(const std::string& uri, std::string& password) {
  const auto colon = uri.find(':', uri.find("://") + 3);
  const auto at = uri.find('@');
  password = uri.substr(colon + 1, at - colon - 1);
  return uri.substr(0, colon) + uri.substr(at);
}

class PostgreSQLServers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (pgtest::serverUri().empty()) GTEST_SKIP() << pgtest::notConfigured();
    schema_ = std::make_unique<pgtest::ScratchSchema>();
  }
  const std::string& uri() const { return schema_->uri(); }

  std::unique_ptr<pgtest::ScratchSchema> schema_;
};

TEST_F(PostgreSQLServers, ThreeServersAdmitAndLetOutEachTicketOnce) {
  constexpr int kTickets = 100, kStations = 24;
  TestVenue venue(kTickets, 0, uri());
  std::vector<std::unique_ptr<ServerProcess>> servers;
  for (int k = 0; k < 3; ++k) {
    servers.push_back(std::make_unique<ServerProcess>(venue.store, std::vector<std::string>{"--threads", "32"}));
    servers.back()->start();
  }
  std::vector<const ServerProcess*> all;
  for (const auto& s : servers) all.push_back(s.get());
  for (const std::string mode : {"I", "O"}) {
    SCOPED_TRACE(mode);
    expectOneAcceptanceEach(checkFromEveryStation(all, kStations, kTickets, mode), kStations);
  }
  for (auto& s : servers) EXPECT_EQ(s->stop(), 0);

  auto store = server::openStore(venue.store, false);
  expectEachTicketEnteredAndLeftOnce(*store, kStations, kTickets);
}

// Wrong passwords for one ID sent to three servers at once: the lockout counts them across the
// servers, so exactly five attempts are checked before the ID locks, and the right password is
// refused after that.
TEST_F(PostgreSQLServers, LockoutCountsSignInsAcrossServers) {
  constexpr int kAttempts = 24;
  TestVenue venue(1, 0, uri());
  std::vector<std::unique_ptr<ServerProcess>> servers;
  for (int k = 0; k < 3; ++k) {
    servers.push_back(std::make_unique<ServerProcess>(venue.store, std::vector<std::string>{"--threads", "16"}));
    servers.back()->start();
  }
  const std::string wrong = kLoginProc + "'" + TestVenue::kOperator + "','wrong'";
  std::atomic<int> refused{0};
  std::vector<std::thread> attempts;
  for (int a = 0; a < kAttempts; ++a)
    attempts.emplace_back([&, a] {
      auto client = servers[static_cast<std::size_t>(a) % servers.size()]->signedInClient();
      auto res = query(*client, wrong);
      // Held back behind the others for longer than a transaction may last on a busy machine, an
      // attempt is answered 503 with nothing kept, and the station tries again.
      for (int retry = 0; retry < 20 && res && res->status == 503; ++retry) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        res = query(*client, wrong);
      }
      if (res && res->status == 200 && fieldText(wire::decode(res->body), "ErrCode") == "-1") ++refused;
    });
  for (auto& t : attempts) t.join();
  EXPECT_EQ(refused, kAttempts);
  auto client = servers[0]->signedInClient();
  auto right = query(*client, kLoginProc + "'" + TestVenue::kOperator + "','pa''s wörd'");
  ASSERT_TRUE(right);
  EXPECT_EQ(fieldText(wire::decode(right->body), "ErrCode"), "-1");
  for (auto& s : servers) EXPECT_EQ(s->stop(), 0);

  const storetest::SignInOutcomes o = storetest::signInOutcomes(contentsOf(venue.store).scanLog);
  EXPECT_EQ(o.failures, 4);
  EXPECT_EQ(o.lockouts, 1);
  EXPECT_EQ(o.locked, kAttempts - 5 + 1);
}

class PostgreSQLRestart : public ::testing::TestWithParam<const char*> {};

// Stations admit distinct tickets through two servers while the database restarts. Answers
// during the outage are 503; every "0" must be kept, nothing admitted twice, and both servers
// must admit again afterwards.
TEST_P(PostgreSQLRestart, LosesNoAnsweredAdmission) {
  constexpr int kTickets = 8000, kStations = 16, kAnsweredBefore = 600, kAnsweredAfter = 600;
  pgtest::ThrowawayServer database;
  TestVenue venue(kTickets, 0, database.uri());
  std::vector<std::unique_ptr<ServerProcess>> servers;
  for (int k = 0; k < 2; ++k) {
    servers.push_back(std::make_unique<ServerProcess>(venue.store, std::vector<std::string>{"--threads", "32"}));
    servers.back()->start();
  }

  std::atomic<int> next{0}, answered{0}, failures{0};
  std::atomic<bool> stop{false};
  std::vector<int> answeredAfterRestart(2, 0);
  std::atomic<bool> restarted{false};
  std::mutex mutex;
  std::set<std::string> admitted, uncertain;
  std::vector<std::thread> stations;
  for (int s = 0; s < kStations; ++s) {
    stations.emplace_back([&, s] {
      const std::size_t serverIndex = static_cast<std::size_t>(s) % 2;
      auto client = servers[serverIndex]->signedInClient();
      client->set_read_timeout(10);
      while (!stop) {
        const int i = next++;
        if (i >= kTickets) return;
        // tav-server stays up: during the outage it answers 503 with a sentence, nothing else.
        std::string code;
        auto res = query(*client, checkText("I", ticketNo(i)));
        if (res && res->status == 200) {
          code = fieldText(wire::decode(res->body), "ErrCode");
        } else if (res && res->status == 503 && !wire::decodeError(res->body).empty()) {
          code = "failed";
        } else {
          code = res ? "status " + std::to_string(res->status) : "no answer: " + httplib::to_string(res.error());
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (code == "0") {
          admitted.insert(ticketNo(i));
          ++answered;
          if (restarted) ++answeredAfterRestart[serverIndex];
        } else if (code == "failed") {
          uncertain.insert(ticketNo(i));
          ++failures;
          std::this_thread::sleep_for(std::chrono::milliseconds(100));  // as a station's operator would retry
        } else {
          ADD_FAILURE() << ticketNo(i) << " answered " << code << " on its first entry";
        }
      }
    });
  }
  auto waitFor = [&](const std::function<bool()>& done) {
    // Only a guard against a hang: the test ends as soon as the condition holds.
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (!done() && next < kTickets && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
  };
  EXPECT_TRUE(waitFor([&] { return answered >= kAnsweredBefore; }));
  EXPECT_EQ(database.restart(GetParam()), 0);
  restarted = true;
  const bool recovered = waitFor([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return answeredAfterRestart[0] >= kAnsweredAfter / 2 && answeredAfterRestart[1] >= kAnsweredAfter / 2;
  });
  stop = true;
  for (auto& t : stations) t.join();
  EXPECT_TRUE(recovered) << "both servers admit again after the restart";
  std::printf("restart -m %s under load: %d admissions answered, %d checks failed meanwhile\n", GetParam(),
              answered.load(), failures.load());
  EXPECT_LT(next.load(), kTickets) << "the load lasted past the restart";
  for (auto& s : servers) EXPECT_EQ(s->stop(), 0);

  // The inside flags, the entry counts and the scan log agree ticket by ticket and hold every
  // answered admission; a check that failed was either kept whole or not at all.
  auto store = server::openStore(venue.store, false);
  store->read([&](server::Reader& r) {
    std::map<std::string, int> logged;
    for (const server::ScanRecord& rec : r.scanLog(0, 1000000))
      if (rec.kind == "check" && rec.code == "0") ++logged[rec.ticketNo];
    for (const std::string& t : admitted) EXPECT_EQ(logged[t], 1) << t << " was answered \"0\"";
    for (int i = 0; i < next && i < kTickets; ++i) {
      const std::string no = ticketNo(i);
      const auto t = r.findTicket(TestVenue::kBizCode, no);
      ASSERT_TRUE(t);
      EXPECT_LE(t->entryCount, 1) << no;
      EXPECT_EQ(t->inside, t->entryCount == 1) << no;
      EXPECT_EQ(logged.count(no) ? logged.at(no) : 0, t->entryCount) << no;
      if (t->entryCount == 1 && !admitted.count(no)) {
        EXPECT_TRUE(uncertain.count(no)) << no;
      }
    }
  });
}

INSTANTIATE_TEST_SUITE_P(Database, PostgreSQLRestart, ::testing::Values("fast", "immediate"),
                         [](const auto& p) { return std::string(p.param); });

TEST_F(PostgreSQLServers, CopyStoreMovesAVenueAndRefusesANonEmptyTarget) {
  constexpr int kTickets = 200, kCancelled = 10;
  TestVenue venue(kTickets, kCancelled);
  {
    // A day at the gates on the SQLite file: entries, exits, re-entries, refusals and sign-ins.
    ServerProcess server(venue.store);
    server.start();
    auto client = server.signedInClient();
    for (int i = 0; i < 60; ++i) ASSERT_EQ(codeOf(*client, checkText("I", ticketNo(i))), "0");
    for (int i = 0; i < 20; ++i) ASSERT_EQ(codeOf(*client, checkText("O", ticketNo(i))), "0");
    for (int i = 0; i < 5; ++i) ASSERT_EQ(codeOf(*client, checkText("I", ticketNo(i))), "-3");
    EXPECT_EQ(codeOf(*client, checkText("I", ticketNo(kTickets - 1))), "-1");
    EXPECT_EQ(codeOf(*client, checkText("I", ticketNo(30), "N석")), "-1");
    EXPECT_EQ(codeOf(*client, kLoginProc + "'gate1','pa''s wörd'"), "0");
    EXPECT_EQ(codeOf(*client, kLoginProc + "'gate1','wrong'"), "-1");
    EXPECT_EQ(codeOf(*client, kLoginProc + "'PLACE1'"), "0");
    client.reset();
    ASSERT_EQ(server.stop(), 0);
  }
  const Contents before = contentsOf(venue.store);
  const std::string statistics = statisticsOf(venue.store);

  const std::string out = setupTool({"copy-store", "--from", venue.store, "--to", uri()});
  EXPECT_NE(out.find("1 venues, 1 events, 1 operators, " + std::to_string(kTickets) + " tickets"), std::string::npos)
      << out;
  std::string password;
  withoutPassword(uri(), password);
  EXPECT_EQ(out.find(password), std::string::npos) << "the password is not shown: " << out;
  expectSameContents(before, contentsOf(uri()));
  EXPECT_EQ(statisticsOf(uri()), statistics);
  expectSameContents(before, contentsOf(venue.store));  // the source is left as it was

  // A second copy into the filled database is refused and changes nothing.
  const ToolResult again = runTool({"copy-store", "--from", venue.store, "--to", uri()});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.err.find("not empty"), std::string::npos) << again.err;
  expectSameContents(before, contentsOf(uri()));

  // Two servers on the database carry on where the file left off, with no change for a station.
  std::vector<std::unique_ptr<ServerProcess>> servers;
  for (int k = 0; k < 2; ++k) {
    servers.push_back(std::make_unique<ServerProcess>(uri()));
    servers.back()->start();
  }
  // The session one server opens is good on the other: they share it through the database.
  auto a = servers[0]->client();
  auto b = servers[1]->client(signIn(*a));
  EXPECT_EQ(codeOf(*b, checkText("I", ticketNo(40))), "-2");
  EXPECT_EQ(codeOf(*a, checkText("I", ticketNo(10))), "-3");
  EXPECT_EQ(codeOf(*b, checkText("I", ticketNo(100))), "0");
  EXPECT_EQ(codeOf(*a, checkText("I", ticketNo(100))), "-2");
  a.reset();
  b.reset();
  for (auto& s : servers) EXPECT_EQ(s->stop(), 0);
  const Contents after = contentsOf(uri());
  ASSERT_EQ(after.scanLog.size(), before.scanLog.size() + 5);
  EXPECT_GT(after.scanLog[before.scanLog.size()].id, before.scanLog.back().id) << "new lines follow the copied ones";

  // And back again into a new file: the round trip keeps everything.
  const std::string back = venue.dir.file("back.db");
  setupTool({"copy-store", "--from", uri(), "--to", back});
  expectSameContents(after, contentsOf(back));
}

TEST_F(PostgreSQLServers, CommandLineTakesThePasswordFromUriFileOrEnvironmentAndNeverShowsIt) {
  std::string password;
  const std::string bare = withoutPassword(uri(), password);
  ASSERT_FALSE(password.empty());

  // In the URI: every command works, and serve logs the store with the password masked.
  TestVenue venue(50, 5, uri());
  const std::string listed = setupTool({"list", "--store", uri(), "--place", TestVenue::kPlace});
  EXPECT_NE(listed.find("BIZ1"), std::string::npos) << listed;
  EXPECT_NE(listed.find("50"), std::string::npos) << listed;
  ServerProcess server(uri());
  server.start();
  auto client = server.signedInClient();
  EXPECT_EQ(codeOf(*client, checkText("I", ticketNo(1))), "0");
  client.reset();
  EXPECT_EQ(server.stop(), 0);
  EXPECT_NE(server.log().find("store " + bare.substr(0, bare.find('@')) + ":***@"), std::string::npos) << server.log();
  EXPECT_EQ(server.log().find(password), std::string::npos) << server.log();

  // Without a password anywhere: a clear refusal, not a prompt.
  const ToolResult none = runTool({"list", "--store", bare, "--place", TestVenue::kPlace});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_NE(none.err.find("cannot be reached"), std::string::npos) << none.err;

  // From a password file, and from the environment.
  // A password file's lines are host:port:database:user:password; the URI has host:port and user.
  const std::string passfile = venue.dir.file("pgpass");
  const auto userStart = bare.find("://") + 3, at = bare.find('@');
  const std::string user = bare.substr(userStart, at - userStart);
  const std::string hostPort = bare.substr(at + 1, bare.find('/', at) - at - 1);
  writeFile(passfile, hostPort + ":*:" + user + ":" + password + "\n");
  chmod(passfile.c_str(), 0600);
  setenv("PGPASSFILE", passfile.c_str(), 1);
  const ToolResult fromFile = runTool({"list", "--store", bare, "--place", TestVenue::kPlace});
  unsetenv("PGPASSFILE");
  EXPECT_EQ(fromFile.exitCode, 0) << fromFile.err;
  setenv("PGPASSWORD", password.c_str(), 1);
  const ToolResult fromEnvironment = runTool({"list", "--store", bare, "--place", TestVenue::kPlace});
  unsetenv("PGPASSWORD");
  EXPECT_EQ(fromEnvironment.exitCode, 0) << fromEnvironment.err;
  for (const ToolResult* r : {&none, &fromFile, &fromEnvironment}) {
    EXPECT_EQ(r->out.find(password), std::string::npos);
    EXPECT_EQ(r->err.find(password), std::string::npos);
  }
}

// The answer's status and body, once the server gives `status` (a server that waits for its store
// checks it every 1.5 s), within 15 s.
std::pair<int, std::string> answerOnce(const ServerProcess& server, const std::string& text, int status) {
  auto client = server.client();
  const auto until = Clock::now() + std::chrono::seconds(15);
  for (;;) {
    auto res = query(*client, text);
    if ((res && res->status == status) || Clock::now() > until)
      return res ? std::make_pair(res->status, res->body) : std::make_pair(0, std::string());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

// On PostgreSQL only migrate changes the schema. A server started on the previous schema answers
// 503 with the sentence that says to run it (the commands stop with it), and serves once it has
// run, without a restart. A later schema that only adds keeps this version's servers working,
// running or started after it; one that says it does not suit them gets 503 and "upgrade".
TEST_F(PostgreSQLServers, SchemaChangesOnlyByMigrateWhileServersGoOn) {
  const int version = server::postgresSchemaVersion();
  {
    server::pg::Connection c(uri());
    server::pg::migrate(c, "the scratch schema", server::PgOpen::CreateNew, version - 1);
  }
  const std::string older = "the database's schema " + std::to_string(version - 1) + " is older than this server's " +
                            std::to_string(version) + "; run ";
  const ToolResult refused = runTool({"list", "--store", uri()});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find(older), std::string::npos) << refused.err;
  EXPECT_NE(refused.err.find("tav-server migrate --store"), std::string::npos) << refused.err;

  ServerProcess first(uri());
  first.start();
  const std::string signInText = kLoginProc + quoted(TestVenue::kOperator) + "," + quoted(TestVenue::kPassword);
  const auto waiting = answerOnce(first, signInText, 503);
  EXPECT_EQ(waiting.first, 503);
  EXPECT_NE(waiting.second.find(older), std::string::npos) << waiting.second;
  EXPECT_NE(waiting.second.find("tav-server migrate --store"), std::string::npos) << waiting.second;
  EXPECT_EQ(first.client()->Get("/health")->status, 503);

  const std::string migrated = setupTool({"migrate", "--store", uri()});
  EXPECT_NE(migrated.find("from schema version " + std::to_string(version - 1) + " to " + std::to_string(version)),
            std::string::npos) << migrated;
  EXPECT_NE(setupTool({"migrate", "--store", uri()}).find("already at schema version " + std::to_string(version)),
            std::string::npos);
  setupTool({"add-venue", "--store", uri(), "--place", TestVenue::kPlace, "--name", "잠실종합운동장"});
  setupTool({"add-event", "--store", uri(), "--place", TestVenue::kPlace, "--bizcode", TestVenue::kBizCode, "--name",
             TestVenue::kGoods, "--play-date", "202405011830"});
  setupTool({"add-operator", "--store", uri(), "--place", TestVenue::kPlace, "--id", TestVenue::kOperator},
            std::string(TestVenue::kPassword) + "\n");
  TempDir dir;
  std::string csv = kCsvHeader;
  for (int i = 0; i < 4; ++i)
    csv += ticketNo(i) + ",홍길동," + TestVenue::kGoods + ",202405011830,잠실종합운동장,R석,1층," + blockOf(i) + ",valid\n";
  writeFile(dir.file("tickets.csv"), csv);
  setupTool({"import-tickets", "--store", uri(), "--bizcode", TestVenue::kBizCode, "--csv", dir.file("tickets.csv")});
  EXPECT_EQ(answerOnce(first, signInText, 200).first, 200);
  auto station = first.signedInClient();
  EXPECT_EQ(codeOf(*station, checkText("I", ticketNo(0))), "0");

  // A next version's migration as it must be: an addition, with the versions whose servers it suits.
  const std::string next = std::to_string(version + 1);
  pgtest::RawConnection(uri()).exec("ALTER TABLE ticket ADD COLUMN seat_note text NOT NULL DEFAULT ''; "
                                    "INSERT INTO schema_version(version, applied_at, servers_from) VALUES(" + next +
                                    ", 0, " + std::to_string(version) + ")");
  EXPECT_EQ(codeOf(*station, checkText("I", ticketNo(1))), "0");
  ServerProcess second(uri());
  second.start();
  EXPECT_EQ(codeOf(*second.signedInClient(), checkText("I", ticketNo(2))), "0");
  EXPECT_EQ(runTool({"list", "--store", uri()}).exitCode, 0);
  EXPECT_EQ(second.stop(), 0);

  pgtest::RawConnection(uri()).exec("UPDATE schema_version SET servers_from = " + next + " WHERE version = " + next);
  const std::string newer = "the database's schema " + next + " is newer than this server's " +
                            std::to_string(version) + "; upgrade this server";
  ServerProcess third(uri());
  third.start();
  const auto refusedAnswer = answerOnce(third, signInText, 503);
  EXPECT_EQ(refusedAnswer.first, 503);
  EXPECT_NE(refusedAnswer.second.find(newer), std::string::npos) << refusedAnswer.second;
  const ToolResult tooOld = runTool({"list", "--store", uri()});
  EXPECT_EQ(tooOld.exitCode, 1);
  EXPECT_NE(tooOld.err.find(newer), std::string::npos) << tooOld.err;
  EXPECT_EQ(third.stop(), 0);
  EXPECT_EQ(first.stop(), 0);
}

TEST_F(PostgreSQLServers, DemoVenueOnTheDatabase) {
  const std::string out = setupTool({"demo", "--store", uri(), "--tickets", "2000"});
  EXPECT_NE(out.find("Place code:  DEMO01"), std::string::npos) << out;
  const std::string listed = setupTool({"list", "--store", uri(), "--place", "DEMO01"});
  EXPECT_NE(listed.find("2000"), std::string::npos) << listed;
  // init refuses a database that already holds the store.
  const ToolResult init = runTool({"init", "--store", uri()});
  EXPECT_EQ(init.exitCode, 1);
  EXPECT_NE(init.err.find("already holds a TAV store"), std::string::npos) << init.err;
}

}  // namespace
}  // namespace tav::test
