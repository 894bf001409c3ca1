// A write is answered only after the store's write-ahead log has been flushed to the disk, and a
// flush the disk refuses stops the store taking writes rather than reporting them kept.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <string>

#include "server/core/setup.h"
#include "server/sqlite/sqlite_store.h"
#include "tests/server/store_fixture.h"

namespace tav::storetest {
namespace {

// Stands in for fdatasync: records which file it flushed, and holds the flush while `held` is set
// or refuses it while `failing` is set.
struct FlushGate {
  std::mutex mutex;
  std::condition_variable cv;
  bool held = false;
  bool failing = false;
  int flushes = 0;
  std::string lastFile;
};
FlushGate gate;

int gatedFlush(int fd) {
  std::unique_lock<std::mutex> lock(gate.mutex);
  gate.cv.wait(lock, [] { return !gate.held; });
  ++gate.flushes;
  std::error_code ec;
  gate.lastFile = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
  if (gate.failing) {
    errno = EIO;
    return -1;
  }
  return ::fdatasync(fd);
}

void setGate(bool held, bool failing) {
  {
    std::lock_guard<std::mutex> lock(gate.mutex);
    gate.held = held;
    gate.failing = failing;
  }
  gate.cv.notify_all();
}

void logLine(server::Store& store, const std::string& ticketNo) {
  store.write([&](server::Transaction& tx) {
    server::ScanRecord line;
    line.kind = "check";
    line.ticketNo = ticketNo;
    tx.appendScanLog(line);
  });
}

std::size_t loggedCount(server::Store& store) {
  std::size_t n = 0;
  store.read([&](server::Reader& r) { n = r.scanLog(0, 1000).size(); });
  return n;
}

class LogFlush : public ::testing::Test {
 protected:
  void SetUp() override {
    setGate(false, false);
    options_.syncLog = &gatedFlush;
    store_ = server::openSqliteStore(path_, true, options_);
    server::addVenue(*store_, "P1", "잠실종합운동장");
  }
  void TearDown() override { setGate(false, false); }

  ScratchDir dir_;
  std::string path_ = dir_.file("flush.db");
  server::SqliteLogOptions options_;
  std::unique_ptr<server::Store> store_;
};

TEST_F(LogFlush, AWriteIsAnsweredOnlyAfterTheLogFileIsFlushed) {
  // A read answers after every earlier commit's flush: nothing is being flushed from here on.
  EXPECT_EQ(loggedCount(*store_), 0u);
  setGate(true, false);
  auto written = std::async(std::launch::async, [&] { logLine(*store_, "T1"); });
  // While the flush is held the write is committed but must not be answered.
  EXPECT_EQ(written.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  // A read that may see the commit waits for the same flush.
  auto read = std::async(std::launch::async, [&] { return loggedCount(*store_); });
  EXPECT_EQ(read.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  setGate(false, false);
  written.get();
  EXPECT_EQ(read.get(), 1u);
  std::lock_guard<std::mutex> lock(gate.mutex);
  EXPECT_EQ(gate.lastFile, std::filesystem::canonical(path_).string() + "-wal");
}

TEST_F(LogFlush, ARefusedFlushStopsWritesUntilTheStoreIsOpenedAgain) {
  logLine(*store_, "T1");
  setGate(false, true);
  EXPECT_THROW(logLine(*store_, "T2"), server::StoreUnavailable);
  setGate(false, false);
  // The disk answers again, but what it dropped cannot be known: no write is taken.
  try {
    logLine(*store_, "T3");
    ADD_FAILURE() << "a write was taken after a refused flush";
  } catch (const server::StoreUnavailable& e) {
    EXPECT_NE(std::string(e.what()).find("restart"), std::string::npos) << e.what();
  }
  store_.reset();
  store_ = server::openSqliteStore(path_, false, options_);
  logLine(*store_, "T4");
  std::set<std::string> logged;
  store_->read([&](server::Reader& r) {
    for (const auto& line : r.scanLog(0, 1000)) logged.insert(line.ticketNo);
  });
  EXPECT_EQ(logged.count("T1"), 1u);
  EXPECT_EQ(logged.count("T3"), 0u);
  EXPECT_EQ(logged.count("T4"), 1u);
}

}  // namespace
}  // namespace tav::storetest
