// The store's write-ahead log stays bounded under writes that never pause, as at a gate at opening
// time, and nothing written is lost when it starts again from its beginning.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "server/core/setup.h"
#include "server/sqlite/sqlite_store.h"
#include "tests/server/store_fixture.h"
#include "server/tools/open_store.h"

namespace tav::storetest {
namespace {

// Writers that each insert tickets in small transactions, all at once and without a pause;
// returns the size the log file reached.
std::uintmax_t writeWithoutPause(server::Store& store, const std::string& path, int threads, int writesEach) {
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&store, t, writesEach] {
      for (int w = 0; w < writesEach; ++w) {
        store.write([&](server::Transaction& tx) {
          for (int i = 0; i < 10; ++i) {
            server::Ticket ticket;
            ticket.bizCode = "BIZ";
            ticket.ticketNo = "L" + std::to_string(t) + "-" + std::to_string(w) + "-" + std::to_string(i);
            ticket.custName = "손님 " + ticket.ticketNo;
            ticket.goodsName = "프로야구 개막전";
            ticket.playDate = "202604041400";
            ticket.placeName = "잠실종합운동장";
            ticket.seatGradeName = "R석";
            ticket.seatInfo = std::string(120, 'x');
            ticket.block = server::kBlocks[static_cast<std::size_t>(i) % 4];
            tx.insertTicket(ticket);
          }
        });
      }
    });
  }
  for (auto& w : writers) w.join();
  std::error_code ec;
  return std::filesystem::file_size(path + "-wal", ec);
}

TEST(WriteAheadLog, StaysBoundedUnderWritesThatNeverPause) {
  ScratchDir dir;
  const std::string path = dir.file("busy.db");
  constexpr int kThreads = 8, kWritesEach = 400;
  server::SqliteLogOptions limits;
  limits.restartFrames = 200;
  limits.tailFrames = 50;
  std::uintmax_t logBytes = 0;
  {
    auto store = server::openSqliteStore(path, true, limits);
    server::addVenue(*store, "P1", "잠실종합운동장");
    server::addEvent(*store, "P1", "BIZ", "프로야구 개막전", "202604041400", true);
    logBytes = writeWithoutPause(*store, path, kThreads, kWritesEach);
  }
  // Written without a restart, these writes leave a log of some 60 MB; restarted at 200 frames,
  // it stays within a few times that.
  EXPECT_LT(logBytes, 8u << 20);

  auto store = server::openStore(path, false);
  std::vector<server::EventCounts> events;
  store->read([&](server::Reader& r) { events = r.listEvents("P1"); });
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].tickets, kThreads * kWritesEach * 10);
}

}  // namespace
}  // namespace tav::storetest
