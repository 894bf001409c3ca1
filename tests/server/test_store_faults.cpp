// The SQLite store when its files are at stake: store files readable by their owner only, a
// file cut short, replaced or removed under a store that is taking checks, in this process and
// under a real tav-server (such a file stops writes with a sentence and never ends the process),
// and a disk that refuses to flush the log under a real tav-server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/core/errors.h"
#include "server/core/procedures.h"
#include "server/sqlite/sqlite_store.h"
#include "tests/server/server_process.h"
#include "tests/server/store_fixture.h"

namespace tav::storetest {
namespace {

unsigned modeOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

// Sets the process's file creation mask for the life of the object.
class Umask {
 public:
  explicit Umask(mode_t mask) : saved_(::umask(mask)) {}
  ~Umask() { ::umask(saved_); }

 private:
  mode_t saved_;
};

struct ModeCase {
  const char* name;
  int existingMode;  // the store file is made empty with this mode first, or not at all (-1)
  unsigned expected;
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class StoreFileModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(StoreFileModes, TheFileItsLogAndTheLogIndexShareOneMode) {
  ScratchDir dir;
  const std::string path = dir.file("modes.db");
  const Umask usual(022);  // which would leave a file SQLite made readable by everyone
  if (GetParam().existingMode >= 0) {
    writeBytes(path, "");
    ASSERT_EQ(::chmod(path.c_str(), static_cast<mode_t>(GetParam().existingMode)), 0);
  }
  auto store = server::openSqliteStore(path, true);
  addCheckVenue(*store, 1);
  for (const char* suffix : {"", "-wal", "-shm"})
    EXPECT_EQ(modeOf(path + suffix), GetParam().expected) << path + suffix;
}

INSTANTIATE_TEST_SUITE_P(Store, StoreFileModes,
                         ::testing::Values(ModeCase{"NewFile", -1, 0600}, ModeCase{"ExistingFileKeepsItsMode", 0640, 0640}),
                         [](const auto& p) { return std::string(p.param.name); });

// What happens to the store file while checks run.
struct FileChangeCase {
  const char* name;
  std::function<void(const std::string& path, const std::string& backup)> change;
  std::string said;       // in the sentence of every refusal after it
  bool restored = false;  // the path holds the backup afterwards
};

const std::vector<FileChangeCase> kFileChanges{
    {"CutShort", [](const std::string& path, const std::string&) { ASSERT_EQ(::truncate(path.c_str(), 4096), 0); },
     "was cut short"},
    {"ReplacedByABackup",
     [](const std::string& path, const std::string& backup) {
       ASSERT_EQ(std::rename(backup.c_str(), path.c_str()), 0);
     },
     "was replaced", true},
    {"Removed", [](const std::string& path, const std::string&) { ASSERT_EQ(::unlink(path.c_str()), 0); },
     "was removed"},
};

void PrintTo(const FileChangeCase& c, std::ostream* os) { *os << c.name; }

// Waits for `count` to reach `atLeast`; false when it does not within the guard's time.
bool reached(const std::atomic<int>& count, int atLeast) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (count < atLeast && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  return count >= atLeast;
}

class FileChangedUnderChecks : public ::testing::TestWithParam<FileChangeCase> {
 protected:
  static constexpr int kThreads = 4, kTicketsPerThread = 500;

  void SetUp() override {
    store_ = server::openSqliteStore(path_, true);
    station_ = addCheckVenue(*store_, kThreads * kTicketsPerThread);
    // Closing folds the log into the file: the file alone is the store, and a backup of it.
    store_.reset();
    std::filesystem::copy_file(path_, backup_);
    store_ = server::openSqliteStore(path_, false);
  }

  ScratchDir dir_;
  std::string path_ = dir_.file("changed.db"), backup_ = dir_.file("backup.db");
  std::unique_ptr<server::Store> store_;
  server::Caller station_;
};

TEST_P(FileChangedUnderChecks, StopsWritesWithASentenceAndNeverEndsTheProcess) {
  std::atomic<int> answered{0};
  std::vector<std::string> refusals(kThreads);  // each thread's first refusal that names the change
  std::vector<std::thread> threads;
  for (int k = 0; k < kThreads; ++k)
    threads.emplace_back([&, k] {
      // The store looks at its file about once a second; the guard only stops a hang.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      for (int i = 0; refusals[k].empty() && std::chrono::steady_clock::now() < deadline; ++i) {
        try {
          server::checkTicket(*store_, checkOf("I", checkTicketNo(k * kTicketsPerThread + i % kTicketsPerThread)), station_);
          ++answered;
        } catch (const server::StoreUnavailable& e) {
          if (std::string(e.what()).find(GetParam().said) != std::string::npos) refusals[k] = e.what();
        }
      }
    });
  EXPECT_TRUE(reached(answered, 40));
  GetParam().change(path_, backup_);
  for (auto& t : threads) t.join();
  for (int k = 0; k < kThreads; ++k) {
    EXPECT_NE(refusals[k].find(path_), std::string::npos) << k << ": " << refusals[k];
  }
  EXPECT_NE(store_->writeFault().find(GetParam().said), std::string::npos) << store_->writeFault();
  EXPECT_THROW(store_->read([](server::Reader& r) { r.findVenue("P1"); }), server::StoreUnavailable);
  EXPECT_THROW(server::checkTicket(*store_, checkOf("O", checkTicketNo(0)), station_), server::StoreUnavailable);
  store_.reset();
  if (GetParam().restored) {
    // The backup opens as it was: the log of the file it replaced is not read as its own.
    EXPECT_EQ(sqliteScalar(path_, "PRAGMA integrity_check"), "ok");
    store_ = server::openSqliteStore(path_, false);
    EXPECT_EQ(field(server::checkTicket(*store_, checkOf("I", checkTicketNo(0)), station_), "ErrCode"), "0");
  }
}

INSTANTIATE_TEST_SUITE_P(Store, FileChangedUnderChecks, ::testing::ValuesIn(kFileChanges),
                         [](const auto& p) { return std::string(p.param.name); });

// The same through tav-server: the stations get 503 with the sentence, which the server logs; it
// stays up and its health check says why.
TEST(StoreFileUnderServer, CutShortUnderLoadAnswers503AndTheServerKeepsAnswering) {
  test::TestVenue venue(4000);
  test::ServerProcess server(venue.store);
  server.start();
  std::atomic<int> admitted{0};
  std::vector<std::string> refusals(4);
  std::vector<std::thread> stations;
  for (int k = 0; k < 4; ++k)
    stations.emplace_back([&, k] {
      auto client = server.signedInClient();
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      for (int i = 0; refusals[k].empty() && std::chrono::steady_clock::now() < deadline; ++i) {
        auto res = test::query(*client, test::checkText("I", test::ticketNo(k * 1000 + i % 1000)));
        if (!res) continue;
        if (res->status == 200) ++admitted;
        if (res->status == 503 && res->body.find("was cut short") != std::string::npos) refusals[k] = res->body;
      }
    });
  EXPECT_TRUE(reached(admitted, 40));
  ASSERT_EQ(::truncate(venue.store.c_str(), 4096), 0);
  for (auto& t : stations) t.join();
  for (int k = 0; k < 4; ++k) EXPECT_FALSE(refusals[k].empty()) << k;
  auto client = server.signedInClient();
  auto health = client->Get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 503);
  EXPECT_EQ(health->body.find(venue.store), std::string::npos) << "health names no path: " << health->body;
  EXPECT_NE(server.logWith("health: ").find("was cut short"), std::string::npos) << server.log();
  // One log line per refusal, with the sentence.
  std::istringstream log(server.logWith("was cut short"));
  bool logged = false;
  for (std::string line; std::getline(log, line);)
    logged = logged || (line.find("503") != std::string::npos && line.find("was cut short") != std::string::npos);
  EXPECT_TRUE(logged) << server.log();
  EXPECT_EQ(::kill(server.pid(), 0), 0) << "the server ended: " << server.log();
  EXPECT_EQ(server.stop(), 0) << server.log();
}

// The disk refuses the log flush of a check under a running tav-server: that check is answered
// 503 "outcome unknown" (its entry is in the log, so "nothing kept" would be false), the server
// ends at once with a non-zero status, and after a restart every ticket is as the log holds it.
TEST(StoreFileUnderServer, RefusedFlushAnswersOutcomeUnknownAndEndsTheServer) {
  test::TestVenue venue(10);
  const std::string flag = venue.dir.file("disk-refuses");
  test::ServerProcess server(venue.store);
  setenv("LD_PRELOAD", TAV_FAILING_FLUSH_LIB, 1);
  setenv("TAV_TEST_FLUSH_FAILS", flag.c_str(), 1);
  server.start();
  unsetenv("LD_PRELOAD");
  unsetenv("TAV_TEST_FLUSH_FAILS");
  auto client = server.signedInClient();
  EXPECT_EQ(test::codeOf(*client, test::checkText("I", test::ticketNo(0))), "0");

  test::writeFile(flag, "");
  auto res = test::query(*client, test::checkText("I", test::ticketNo(1)));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 503);
  EXPECT_EQ(wire::decodeError(res->body), server::OutcomeUnknown().what());
  ASSERT_NE(server.logWith("refused to flush").find("fatal:"), std::string::npos) << server.log();
  EXPECT_NE(server.stopWith(0), 0) << "the server ends by itself, and not as if all were well";

  std::filesystem::remove(flag);
  test::ServerProcess again(venue.store);
  again.start();
  auto after = again.signedInClient();
  for (int i : {0, 1}) EXPECT_EQ(test::codeOf(*after, test::checkText("I", test::ticketNo(i))), "-2") << i;
  EXPECT_EQ(test::codeOf(*after, test::checkText("I", test::ticketNo(2))), "0");
}

}  // namespace
}  // namespace tav::storetest
