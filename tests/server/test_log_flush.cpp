// A write is answered only after the store's write-ahead log has been flushed to the disk. A flush
// the disk refuses leaves every caller concerned with "the outcome is unknown", stops the store
// for good, and leaves the log as it is for the next start to recover.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/core/errors.h"
#include "server/core/procedures.h"
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

void logLine(server::Transaction& tx, const std::string& ticketNo) {
  server::ScanRecord line;
  line.kind = "check";
  line.ticketNo = ticketNo;
  tx.appendScanLog(line);
}

// How a caller writes: blocking in write(), or through writeAsync()'s completion.
struct WritePath {
  const char* name;
  std::function<std::future<void>(server::Store&, const std::string&)> logLine;
};

const std::vector<WritePath> kWritePaths{
    {"Write",
     [](server::Store& store, const std::string& ticketNo) {
       return std::async(std::launch::async,
                         [&store, ticketNo] { store.write([&](server::Transaction& tx) { logLine(tx, ticketNo); }); });
     }},
    {"WriteAsync",
     [](server::Store& store, const std::string& ticketNo) {
       auto done = std::make_shared<std::promise<void>>();
       store.writeAsync([ticketNo](server::Transaction& tx) { logLine(tx, ticketNo); },
                        [done](std::exception_ptr error) {
                          if (error) done->set_exception(error);
                          else done->set_value();
                        });
       return done->get_future();
     }},
};

void PrintTo(const WritePath& p, std::ostream* os) { *os << p.name; }

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
    open();
  }
  void TearDown() override { setGate(false, false); }

  void open() {
    store_.reset();
    store_ = server::openSqliteStore(path_, true, options_);
    store_->setFatalHandler([this](const std::string& sentence) {
      {
        std::lock_guard<std::mutex> lock(fatalMutex_);
        fatal_.push_back(sentence);
      }
      fatalCv_.notify_all();
    });
  }

  // The fatal reports so far, once there is one: the store reports after it has answered the
  // callers concerned (the guard only stops a hang).
  std::vector<std::string> fatalReports() {
    std::unique_lock<std::mutex> lock(fatalMutex_);
    fatalCv_.wait_for(lock, std::chrono::seconds(10), [&] { return !fatal_.empty(); });
    return fatal_;
  }

  std::optional<server::Ticket> ticket(const std::string& no) {
    std::optional<server::Ticket> t;
    store_->read([&](server::Reader& r) { t = r.findTicket("BIZ", no); });
    return t;
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("flush.db");
  server::SqliteLogOptions options_;
  std::unique_ptr<server::Store> store_;
  std::mutex fatalMutex_;
  std::condition_variable fatalCv_;
  std::vector<std::string> fatal_;
};

class LogFlushByPath : public LogFlush, public ::testing::WithParamInterface<WritePath> {};

TEST_P(LogFlushByPath, AWriteIsAnsweredOnlyAfterTheLogFileIsFlushed) {
  // A read answers after every earlier commit's flush: nothing is being flushed from here on.
  EXPECT_EQ(loggedCount(*store_), 0u);
  setGate(true, false);
  std::future<void> written = GetParam().logLine(*store_, "T1");
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

INSTANTIATE_TEST_SUITE_P(Paths, LogFlushByPath, ::testing::ValuesIn(kWritePaths),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(LogFlush, ARefusedFlushLeavesTheOutcomeUnknownAndTheLogToTheNextStart) {
  const server::Caller station = addCheckVenue(*store_, 8);
  open();  // closing folded the venue into the database file itself
  const std::vector<std::string> checked{checkTicketNo(0), checkTicketNo(1), checkTicketNo(2), checkTicketNo(3)};

  // The checks are committed while the flush is held, then the disk refuses it.
  setGate(true, true);
  std::vector<std::future<std::exception_ptr>> answers;
  for (const std::string& no : checked)
    answers.push_back(std::async(std::launch::async, [&, no]() -> std::exception_ptr {
      try {
        server::checkTicket(*store_, checkOf("I", no), station);
        return nullptr;
      } catch (...) {
        return std::current_exception();
      }
    }));
  // Another connection sees the commits before their flush (the guard only stops a hang).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::stoi(sqliteScalar(path_, "SELECT count(*) FROM ticket WHERE inside = 1")) < 4 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  setGate(false, true);
  for (auto& answer : answers) {
    const std::exception_ptr error = answer.get();
    ASSERT_TRUE(error) << "a check was answered as kept";
    EXPECT_THROW(std::rethrow_exception(error), server::OutcomeUnknown);
  }
  const std::vector<std::string> reports = fatalReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("flush"), std::string::npos) << reports[0];
  EXPECT_EQ(store_->writeFault(), reports[0]);

  // The disk answers again, but what it dropped cannot be known: no write or read is taken.
  setGate(false, false);
  EXPECT_THROW(server::checkTicket(*store_, checkOf("I", checkTicketNo(4)), station), server::OutcomeUnknown);
  EXPECT_THROW(loggedCount(*store_), server::StoreUnavailable);
  store_.reset();
  EXPECT_EQ(fatalReports().size(), 1u);

  // Nothing was copied into the database file: alone, it still has every ticket outside.
  const std::string fileAlone = dir_.file("alone.db");
  std::filesystem::copy_file(path_, fileAlone);
  EXPECT_EQ(sqliteScalar(fileAlone, "SELECT count(*) FROM ticket WHERE inside = 1"), "0");
  // The next start reads what the log holds: the checks whose outcome was unknown took place.
  open();
  for (const std::string& no : checked) EXPECT_TRUE(ticket(no).value().inside) << no;
  EXPECT_FALSE(ticket(checkTicketNo(4)).value().inside);
  EXPECT_EQ(loggedCount(*store_), checked.size());
  EXPECT_EQ(field(server::checkTicket(*store_, checkOf("I", checkTicketNo(4)), station), "ErrCode"), "0");
  EXPECT_EQ(store_->writeFault(), "");
}

}  // namespace
}  // namespace tav::storetest
