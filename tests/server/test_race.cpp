// Many stations checking the same tickets at the same moment over keep-alive connections:
// exactly one entry (and then one exit) per ticket, in the answers and in the store.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "server/service.h"
#include "server/setup.h"
#include "server/store.h"
#include "tests/server/server_process.h"

namespace tav::test {
namespace {

constexpr int kStations = 32;
constexpr int kTickets = 120;

// Every station checks every ticket once in `mode`, each in its own order; returns, per ticket,
// how many stations got each ErrCode.
std::vector<std::map<std::string, int>> checkAllFromEveryStation(const ServerProcess& server,
                                                                 const std::string& mode) {
  std::vector<std::vector<std::string>> codes(kStations, std::vector<std::string>(kTickets));
  std::atomic<int> ready{0};
  std::vector<std::thread> stations;
  for (int s = 0; s < kStations; ++s) {
    stations.emplace_back([&, s] {
      auto client = server.client();
      std::vector<int> order(kTickets);
      for (int i = 0; i < kTickets; ++i) order[static_cast<std::size_t>(i)] = i;
      std::mt19937 rng(static_cast<unsigned>(s));
      // Half the stations go in the same order so that they collide on every ticket.
      if (s % 2) std::shuffle(order.begin(), order.end(), rng);
      client->Get("/health");  // open the connection before the start line
      ++ready;
      while (ready < kStations) std::this_thread::yield();
      for (int i : order) {
        try {
          codes[static_cast<std::size_t>(s)][static_cast<std::size_t>(i)] = codeOf(*client, checkText(mode, ticketNo(i)));
        } catch (const std::exception& e) {
          codes[static_cast<std::size_t>(s)][static_cast<std::size_t>(i)] = std::string("failed: ") + e.what();
        }
      }
    });
  }
  for (auto& t : stations) t.join();
  std::vector<std::map<std::string, int>> perTicket(kTickets);
  for (const auto& station : codes)
    for (int i = 0; i < kTickets; ++i) ++perTicket[static_cast<std::size_t>(i)][station[static_cast<std::size_t>(i)]];
  return perTicket;
}

TEST(ConcurrentChecks, AdmitAndLetOutEachTicketExactlyOnce) {
  TestVenue venue(kTickets);
  ServerProcess server(venue.store, {"--threads", "64"});
  server.start();

  for (const std::string mode : {"I", "O"}) {
    SCOPED_TRACE(mode);
    const auto perTicket = checkAllFromEveryStation(server, mode);
    for (int i = 0; i < kTickets; ++i) {
      SCOPED_TRACE(ticketNo(i));
      const auto& counts = perTicket[static_cast<std::size_t>(i)];
      EXPECT_EQ(counts.size(), 2u) << "only \"0\" and \"-2\" may be answered";
      EXPECT_EQ(counts.count("0") ? counts.at("0") : 0, 1);
      EXPECT_EQ(counts.count("-2") ? counts.at("-2") : 0, kStations - 1);
    }
  }
  auto client = server.client();
  const wire::Recordset stats = answerOf(*client, kBookingProc + "'S','BIZ1','','',''");
  EXPECT_EQ(fieldText(stats, "Total"), std::to_string(kTickets));
  client.reset();
  ASSERT_EQ(server.stop(), 0);

  // The store agrees with the answers: every ticket entered once, left once, and the scan log
  // holds each station's every check.
  auto store = server::openStore(venue.store, false);
  const auto events = server::listEvents(*store, TestVenue::kPlace);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].admitted, static_cast<std::size_t>(kTickets));
  EXPECT_EQ(events[0].inside, 0u);
  store->read([&](server::Reader& r) {
    std::map<std::string, int> entries, exits;
    std::size_t checks = 0;
    for (const server::ScanRecord& rec : r.scanLog(0, 1000000)) {
      if (rec.kind != "check") continue;
      ++checks;
      if (rec.code == "0") ++(rec.mode == "I" ? entries : exits)[rec.ticketNo];
    }
    EXPECT_EQ(checks, static_cast<std::size_t>(2 * kStations * kTickets));
    EXPECT_EQ(entries.size(), static_cast<std::size_t>(kTickets));
    EXPECT_EQ(exits.size(), static_cast<std::size_t>(kTickets));
    for (const auto& [ticket, n] : entries) EXPECT_EQ(n, 1) << ticket;
    for (const auto& [ticket, n] : exits) EXPECT_EQ(n, 1) << ticket;
    for (int i = 0; i < kTickets; ++i) {
      const auto t = r.findTicket(TestVenue::kBizCode, ticketNo(i));
      ASSERT_TRUE(t);
      EXPECT_EQ(t->entryCount, 1);
      EXPECT_FALSE(t->inside);
    }
  });
}

}  // namespace
}  // namespace tav::test
