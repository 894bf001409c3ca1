// A database that stalls, or is not there when the server starts: every check answered within the
// station's 10 s and none kept after its station gave up, health back as soon as the database
// answers, and health probes shared by the callers that ask at once.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/core/health_probe.h"
#include "server/core/store.h"
#include "server/tools/open_store.h"
#include "tests/server/pg_test_server.h"
#include "tests/server/server_process.h"

namespace tav::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

// How long a station waits for an answer (the gateway's read time-out).
constexpr auto kStationWait = seconds(10);

// /health's status, or 0 without an answer.
int healthOf(const ServerProcess& server) {
  auto client = server.client();
  client->set_read_timeout(5);
  auto res = client->Get("/health");
  return res ? res->status : 0;
}

// One check as its station saw it.
struct Check {
  std::string ticket;
  server::TimeMs sentAt = 0;  // the wall clock, as the scan log keeps it
  Clock::duration took{};
  int status = 0;  // 0: no answer
};

// Stations check distinct tickets through one server while its database stalls (SIGSTOP) for
// longer than a station waits. Each check is answered, 200 or 503, within the station's 10 s;
// none is kept with a time past its station's deadline; and once the database goes on, /health
// (asked throughout, as a proxy does) is 200 within 2 s without any check having been sent.
TEST(PostgreSQLStall, EveryCheckAnsweredInTimeAndHealthBackWithoutAChecksHelp) {
  if (pgtest::serverUri().empty()) GTEST_SKIP() << pgtest::notConfigured();
  // More stations than the server has database connections (32), so that checks also wait their
  // turn for one.
  constexpr int kStations = 40, kTickets = 20000;
  constexpr auto kStall = seconds(8);
  pgtest::ThrowawayServer database;
  TestVenue venue(kTickets, 0, database.uri());
  ServerProcess server(venue.store, {"--threads", "4"});
  server.start();

  std::atomic<int> next{0}, answered{0};
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::vector<Check> checks;
  std::vector<std::thread> stations;
  for (int s = 0; s < kStations; ++s) {
    stations.emplace_back([&] {
      auto client = server.signedInClient();
      client->set_read_timeout(kStationWait + seconds(5));
      while (!stop) {
        Check check;
        check.ticket = ticketNo(next++);
        check.sentAt = server::Store::systemNow();
        const auto started = Clock::now();
        auto res = query(*client, checkText("I", check.ticket));
        check.took = Clock::now() - started;
        check.status = res ? res->status : 0;
        if (check.status == 200) ++answered;
        {
          std::lock_guard<std::mutex> lock(mutex);
          checks.push_back(check);
        }
        if (check.status != 200) std::this_thread::sleep_for(milliseconds(100));  // as an operator retries
      }
    });
  }
  std::atomic<bool> healthStop{false};
  std::vector<std::pair<Clock::time_point, int>> healthAnswers;
  std::thread proxy([&] {
    while (!healthStop) {
      const int status = healthOf(server);
      std::lock_guard<std::mutex> lock(mutex);
      healthAnswers.emplace_back(Clock::now(), status);
    }
  });

  const auto loaded = Clock::now() + seconds(30);
  while (answered < 200 && Clock::now() < loaded) std::this_thread::sleep_for(milliseconds(10));
  ASSERT_GE(answered, 200) << "the stations check before the stall";
  database.signalAll(SIGSTOP);
  std::this_thread::sleep_for(kStall);
  stop = true;
  for (auto& t : stations) t.join();  // each check under way has its answer
  database.signalAll(SIGCONT);
  const auto resumed = Clock::now();
  std::optional<Clock::duration> healthyAfter;
  while (!healthyAfter && Clock::now() - resumed < seconds(15)) {
    std::this_thread::sleep_for(milliseconds(20));
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [at, status] : healthAnswers)
      if (at > resumed && status == 200) {
        healthyAfter = at - resumed;
        break;
      }
  }
  healthStop = true;
  proxy.join();

  ASSERT_TRUE(healthyAfter) << "/health is 200 again once the database answers";
  EXPECT_LE(*healthyAfter, seconds(2)) << "/health after "
                                       << std::chrono::duration_cast<milliseconds>(*healthyAfter).count() << " ms";
  int failed = 0;
  std::map<std::string, const Check*> byTicket;
  for (const Check& c : checks) {
    byTicket[c.ticket] = &c;
    EXPECT_TRUE(c.status == 200 || c.status == 503) << c.ticket << " answered " << c.status;
    EXPECT_LE(c.took, kStationWait) << c.ticket << " answered after "
                                    << std::chrono::duration_cast<milliseconds>(c.took).count() << " ms";
    if (c.status != 200) ++failed;
  }
  EXPECT_GT(failed, 0) << "the stall was felt";
  int unhealthy = 0;
  for (const auto& [at, status] : healthAnswers) unhealthy += status == 503;
  EXPECT_GT(unhealthy, 0) << "/health said so during the stall";
  std::printf("stall of %lld s: %zu checks, %d not admitted meanwhile; /health 200 %lld ms after the database "
              "went on\n",
              static_cast<long long>(kStall.count()), checks.size(), failed,
              static_cast<long long>(std::chrono::duration_cast<milliseconds>(*healthyAfter).count()));

  // What the database kept after it went on: no check decided after its station stopped waiting.
  EXPECT_EQ(server.stop(), 0);
  auto store = server::openStore(venue.store, false);
  store->read([&](server::Reader& r) {
    for (const server::ScanRecord& line : r.scanLog(0, 1000000)) {
      if (line.kind != "check") continue;
      const auto it = byTicket.find(line.ticketNo);
      ASSERT_NE(it, byTicket.end()) << line.ticketNo << " was never sent";
      const server::TimeMs deadline =
          it->second->sentAt + std::chrono::duration_cast<milliseconds>(kStationWait).count();
      EXPECT_LE(line.at, deadline) << line.ticketNo << " was kept " << line.at - it->second->sentAt
                                   << " ms after it was sent";
    }
  });
}

// A server started while its database is down answers 503 to health and checks, says that it
// waits, and serves once the database is up, with no restart. A database that answers but holds
// no store of ours is still an error at start.
TEST(PostgreSQLStart, ServesOnceItsDatabaseAnswers) {
  if (pgtest::serverUri().empty()) GTEST_SKIP() << pgtest::notConfigured();
  pgtest::ThrowawayServer database;
  TestVenue venue(10, 0, database.uri());
  ASSERT_EQ(database.halt(), 0);

  ServerProcess server(venue.store);
  server.start();
  EXPECT_NE(server.log().find("waiting for the database"), std::string::npos) << server.log();
  EXPECT_EQ(healthOf(server), 503);
  auto client = server.client();
  client->set_read_timeout(5);
  auto refused = query(*client, checkText("I", ticketNo(0)));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  EXPECT_NE(wire::decodeError(refused->body).find("Not checked"), std::string::npos) << refused->body;

  ASSERT_EQ(database.resume(), 0);
  const std::string log = server.logWith("answers again");
  EXPECT_NE(log.find("answers again"), std::string::npos) << log;
  EXPECT_EQ(log.find(database.uri()), std::string::npos) << "the log shows no password";
  EXPECT_EQ(healthOf(server), 200);
  EXPECT_EQ(codeOf(*server.signedInClient(), checkText("I", ticketNo(0))), "0");
  EXPECT_EQ(server.stop(), 0);

  pgtest::ScratchSchema empty;
  ServerProcess foreign(empty.uri());
  try {
    foreign.start();
    ADD_FAILURE() << "serve started on a database without a store";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("holds no TAV store"), std::string::npos) << e.what();
  }
}

// A database that goes away while the server runs and is back within a check's turn (a restart,
// a standby promoted): the check sent meanwhile waits for it and admits, rather than fail its gate.
// One that stays away past the turn is answered 503 within the station's wait.
TEST(PostgreSQLRestart, ACheckWaitsForTheDatabaseWithinItsTurn) {
  if (pgtest::serverUri().empty()) GTEST_SKIP() << pgtest::notConfigured();
  pgtest::ThrowawayServer database;
  TestVenue venue(10, 0, database.uri());
  ServerProcess server(venue.store);
  server.start();
  auto client = server.signedInClient();
  client->set_read_timeout(kStationWait);
  EXPECT_EQ(codeOf(*client, checkText("I", ticketNo(0))), "0");

  for (const bool backInTime : {true, false}) {
    ASSERT_EQ(database.halt(), 0);
    const auto sent = Clock::now();
    std::thread restart;
    if (backInTime)
      restart = std::thread([&] {
        std::this_thread::sleep_for(milliseconds(1500));
        EXPECT_EQ(database.resume(), 0);
      });
    auto res = query(*client, checkText("I", ticketNo(backInTime ? 1 : 2)));
    const auto took = Clock::now() - sent;
    if (restart.joinable()) restart.join();
    ASSERT_TRUE(res) << "answered within the station's wait";
    EXPECT_EQ(res->status, backInTime ? 200 : 503) << res->body;
    if (backInTime) EXPECT_GE(took, milliseconds(1500)) << "it waited for the database";
    if (!backInTime) EXPECT_EQ(database.resume(), 0);
  }
  EXPECT_NE(codeOf(*client, checkText("I", ticketNo(1))), "0") << "the waiting check was kept: a second entry is refused";
}

// A store whose probe takes a while and counts how often it ran.
class SlowProbeStore final : public server::Store {
 public:
  void write(const std::function<void(server::Transaction&)>&) override { throw server::notChecked(); }
  void read(const std::function<void(server::Reader&)>&) override { throw server::notChecked(); }
  server::StoreHealth probeHealth() override {
    ++probes;
    std::this_thread::sleep_for(milliseconds(200));
    return {};
  }
  std::atomic<int> probes{0};
};

TEST(HealthProbe, CallersThatAskMeanwhileShareOneProbe) {
  constexpr int kCallers = 20;
  SlowProbeStore store;
  std::atomic<int> ok{0};
  {
    server::HealthProbe probe(store);
    for (int i = 0; i < kCallers; ++i)
      probe.check([&](const server::StoreHealth& h) { ok += h.state == server::StoreHealth::State::Ok; });
    const auto deadline = Clock::now() + seconds(10);
    while (ok < kCallers && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(ok, kCallers);
  EXPECT_LE(store.probes, 2) << "the callers arrived while one probe ran (or just before it)";
}

}  // namespace
}  // namespace tav::test
