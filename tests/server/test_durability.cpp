// tav-server killed with SIGKILL while stations admit tickets: after a restart on the same store
// every answered admission is there, and nothing is half-written.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/core/service.h"
#include "server/core/setup.h"
#include "server/core/store.h"
#include "tests/server/server_process.h"
#include "server/tools/open_store.h"

namespace tav::test {
namespace {

constexpr int kStations = 16;
constexpr int kTickets = 20000;
constexpr int kAnsweredBeforeKill = 1500;

std::string integrityCheck(const std::string& path) {
  sqlite3* db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      result = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return result;
}

TEST(Durability, EveryAnsweredAdmissionSurvivesSigkill) {
  TestVenue venue(kTickets);
  auto server = std::make_unique<ServerProcess>(venue.store);
  server->start();

  std::atomic<int> next{0};
  std::atomic<int> answered{0};
  std::mutex mutex;
  std::set<std::string> admitted;  // answered "0"
  std::vector<std::thread> stations;
  for (int s = 0; s < kStations; ++s) {
    stations.emplace_back([&] {
      auto client = server->signedInClient();
      client->set_read_timeout(5);
      for (;;) {
        const int i = next++;
        if (i >= kTickets) return;
        std::string code;
        try {
          code = codeOf(*client, checkText("I", ticketNo(i)));
        } catch (const std::exception&) {
          return;  // the server is gone
        }
        if (code != "0") {
          ADD_FAILURE() << ticketNo(i) << " answered " << code << " on its first entry";
          return;
        }
        std::lock_guard<std::mutex> lock(mutex);
        admitted.insert(ticketNo(i));
        ++answered;
      }
    });
  }
  while (answered < kAnsweredBeforeKill && next < kTickets) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(server->kill(), 128 + SIGKILL);
  for (auto& t : stations) t.join();
  ASSERT_GE(admitted.size(), static_cast<std::size_t>(kAnsweredBeforeKill));
  ASSERT_LT(next.load(), kTickets) << "the server was not killed under load";

  // The file is sound and opens cleanly; the inside flags, the entry counts and the scan log
  // agree ticket by ticket, and hold every answered admission.
  EXPECT_EQ(integrityCheck(venue.store), "ok");
  {
    auto store = server::openStore(venue.store, false);
    store->read([&](server::Reader& r) {
      std::set<std::string> logged;
      for (const server::ScanRecord& rec : r.scanLog(0, 1000000))
        if (rec.kind == "check" && rec.code == "0") logged.insert(rec.ticketNo);
      for (const std::string& t : admitted) EXPECT_TRUE(logged.count(t)) << t << " was answered but not logged";
      std::size_t inside = 0;
      for (int i = 0; i < next && i < kTickets; ++i) {
        const auto t = r.findTicket(TestVenue::kBizCode, ticketNo(i));
        ASSERT_TRUE(t);
        EXPECT_EQ(t->inside, logged.count(ticketNo(i)) == 1) << ticketNo(i);
        EXPECT_EQ(t->entryCount, t->inside ? 1 : 0) << ticketNo(i);
        inside += t->inside;
      }
      EXPECT_EQ(inside, logged.size());
    });
  }

  // Restarted on the same store, the server refuses every answered ticket as already inside.
  server = std::make_unique<ServerProcess>(venue.store);
  server->start();
  auto client = server->signedInClient();
  for (const std::string& t : admitted) {
    const wire::Recordset rs = answerOf(*client, checkText("I", t));
    ASSERT_EQ(fieldText(rs, "ErrCode"), "-2") << t;
    EXPECT_EQ(fieldText(rs, "ErrMsg").rfind("이미 입장 (", 0), 0u);
  }
  EXPECT_EQ(codeOf(*client, checkText("I", ticketNo(kTickets - 1))), "0");
  client.reset();
  EXPECT_EQ(server->stop(), 0);
}

}  // namespace
}  // namespace tav::test
