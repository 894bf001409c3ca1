// Many stations checking the same tickets at the same moment, over one or several tav-server
// processes on one store, and what the answers and the store must show afterwards.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "server/core/service.h"
#include "server/core/store.h"
#include "tests/server/server_process.h"

namespace tav::test {

// Every station checks every ticket once in `mode`, half of them in the same order so that they
// collide on every ticket, each on its own keep-alive connection; the stations are spread over
// `servers`. Returns, per ticket, how many stations got each ErrCode ("failed: ..." for no answer).
inline std::vector<std::map<std::string, int>> checkFromEveryStation(const std::vector<const ServerProcess*>& servers,
                                                                      int stations, int tickets,
                                                                      const std::string& mode) {
  std::vector<std::vector<std::string>> codes(static_cast<std::size_t>(stations),
                                              std::vector<std::string>(static_cast<std::size_t>(tickets)));
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int s = 0; s < stations; ++s) {
    threads.emplace_back([&, s] {
      auto client = servers[static_cast<std::size_t>(s) % servers.size()]->signedInClient();
      std::vector<int> order(static_cast<std::size_t>(tickets));
      for (int i = 0; i < tickets; ++i) order[static_cast<std::size_t>(i)] = i;
      std::mt19937 rng(static_cast<unsigned>(s));
      if (s % 2) std::shuffle(order.begin(), order.end(), rng);
      client->Get("/health");  // open the connection before the start line
      ++ready;
      while (ready < stations) std::this_thread::yield();
      for (int i : order) {
        std::string& code = codes[static_cast<std::size_t>(s)][static_cast<std::size_t>(i)];
        try {
          code = codeOf(*client, checkText(mode, ticketNo(i)));
        } catch (const std::exception& e) {
          code = std::string("failed: ") + e.what();
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  std::vector<std::map<std::string, int>> perTicket(static_cast<std::size_t>(tickets));
  for (const auto& station : codes)
    for (int i = 0; i < tickets; ++i) ++perTicket[static_cast<std::size_t>(i)][station[static_cast<std::size_t>(i)]];
  return perTicket;
}

// Each ticket got "0" from exactly one station and "-2" from all the others.
inline void expectOneAcceptanceEach(const std::vector<std::map<std::string, int>>& perTicket, int stations) {
  for (std::size_t i = 0; i < perTicket.size(); ++i) {
    SCOPED_TRACE(ticketNo(static_cast<int>(i)));
    const auto& counts = perTicket[i];
    EXPECT_EQ(counts.size(), 2u) << "only \"0\" and \"-2\" may be answered, not " << counts.begin()->first;
    EXPECT_EQ(counts.count("0") ? counts.at("0") : 0, 1);
    EXPECT_EQ(counts.count("-2") ? counts.at("-2") : 0, stations - 1);
  }
}

// After every station checked every ticket in and then out: the store agrees with the answers,
// every ticket entered once and left once, and the scan log holds each station's every check.
inline void expectEachTicketEnteredAndLeftOnce(server::Store& store, int stations, int tickets) {
  store.read([&](server::Reader& r) {
    std::map<std::string, int> entries, exits;
    std::size_t checks = 0;
    for (const server::ScanRecord& rec : r.scanLog(0, 1000000)) {
      if (rec.kind != "check") continue;
      ++checks;
      if (rec.code == "0") ++(rec.mode == "I" ? entries : exits)[rec.ticketNo];
    }
    EXPECT_EQ(checks, static_cast<std::size_t>(2 * stations * tickets));
    EXPECT_EQ(entries.size(), static_cast<std::size_t>(tickets));
    EXPECT_EQ(exits.size(), static_cast<std::size_t>(tickets));
    for (const auto& [ticket, n] : entries) EXPECT_EQ(n, 1) << ticket;
    for (const auto& [ticket, n] : exits) EXPECT_EQ(n, 1) << ticket;
    for (int i = 0; i < tickets; ++i) {
      const auto t = r.findTicket(TestVenue::kBizCode, ticketNo(i));
      ASSERT_TRUE(t);
      EXPECT_EQ(t->entryCount, 1);
      EXPECT_FALSE(t->inside);
    }
  });
}

}  // namespace tav::test
