// Putting a backup back after a crash, by restore and by hand, with the real tav-server; and
// removing a past event's holders' details with purge-event on both stores.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "server/core/local_time.h"
#include "tests/server/pg_test_server.h"
#include "tests/server/server_process.h"
#include "tests/server/store_fixture.h"

namespace tav::test {
namespace {

using storetest::sqliteScalar;

// The answer's ErrCode of a check on a signed-in station of `server`.
std::string admit(ServerProcess& server, int ticket) {
  return codeOf(*server.signedInClient(), checkText("I", ticketNo(ticket)));
}

std::string admittedTotal(ServerProcess& server) {
  return fieldText(answerOf(*server.signedInClient(), kBookingProc + "'S','" + TestVenue::kBizCode + "','','',''"),
                   "Total");
}

std::uintmax_t sizeOf(const std::string& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

void copyFile(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

// A venue whose server admitted tickets 0-99, was backed up, admitted 100-299 and was then killed
// (SIGKILL) with its log full of those admissions beside the store.
class AfterKill : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerProcess server(venue.store);
    server.start();
    for (int i = 0; i < 100; ++i) ASSERT_EQ(admit(server, i), "0");
    setupTool({"backup", "--store", venue.store, "--to", backup});
    for (int i = 100; i < 300; ++i) ASSERT_EQ(admit(server, i), "0");
    ASSERT_EQ(server.kill(), 128 + SIGKILL);
    ASSERT_GT(sizeOf(venue.store + "-wal"), 100u * 1024) << "the killed server's log is what this is about";
  }

  TestVenue venue{400};
  std::string backup = venue.dir.file("backup.db");
};

// cp of the backup over the store, as the README once said: serve refuses the old log with the
// sentence that says what to do, and neither the file nor the log is touched.
TEST_F(AfterKill, ServeRefusesAnotherFilesLog) {
  copyFile(backup, venue.store);
  const std::string file = readFile(venue.store), log = readFile(venue.store + "-wal");
  ServerProcess server(venue.store);
  try {
    server.start();
    FAIL() << "serve started on a backup copied over the store beside the old store's log";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(venue.store + "-wal was not written for " + venue.store +
                                         "; move it away if " + venue.store +
                                         " was put in place by hand, or put the backup in place with "
                                         "tav-server restore."),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(readFile(venue.store), file);
  EXPECT_EQ(readFile(venue.store + "-wal"), log);

  // Put in place the way the sentence says, the same backup serves with its own admissions.
  const ToolResult r = runTool({"restore", "--from", backup, "--store", venue.store});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("its log, written for another file, was removed"), std::string::npos) << r.out;
  server.start();
  EXPECT_EQ(admittedTotal(server), "100");
}

// The killed server's own log is recovered at the next start, as ever: nothing is lost.
TEST_F(AfterKill, ServeRecoversItsOwnLog) {
  ServerProcess server(venue.store);
  server.start();
  EXPECT_EQ(admittedTotal(server), "300");
}

TEST_F(AfterKill, RestoreGivesUpTheNewerAdmissionsOnlyWhenTold) {
  ASSERT_EQ(chmod(venue.store.c_str(), 0640), 0);
  const std::string file = readFile(venue.store), log = readFile(venue.store + "-wal");
  const ToolResult refused = runTool({"restore", "--from", backup, "--store", venue.store});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_NE(refused.err.find("200 admissions that would be given up; give --discard-newer"), std::string::npos)
      << refused.err;
  EXPECT_EQ(readFile(venue.store), file);
  EXPECT_EQ(readFile(venue.store + "-wal"), log);

  const ToolResult r = runTool({"restore", "--from", backup, "--store", venue.store, "--discard-newer"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  EXPECT_NE(r.out.find("200 admissions made since the backup were given up: tickets admitted since then will be "
                       "valid again"),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(std::filesystem::exists(venue.store + "-wal"));
  EXPECT_FALSE(std::filesystem::exists(venue.store + "-shm"));
  struct stat st {};
  ASSERT_EQ(stat(venue.store.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "the old file's mode";
  // The old store is kept whole, its log folded into it.
  EXPECT_EQ(sqliteScalar(venue.store + ".before-restore", "SELECT count(*) FROM ticket WHERE entry_count > 0"), "300");

  ServerProcess server(venue.store);
  server.start();
  EXPECT_EQ(admittedTotal(server), "100");
  EXPECT_EQ(admit(server, 50), "-2") << "admitted before the backup";
  EXPECT_EQ(admit(server, 150), "0") << "admitted after the backup: valid again";

  // A second restore would replace the kept old store: refused until it is moved away.
  server.stop();
  const ToolResult again = runTool({"restore", "--from", backup, "--store", venue.store, "--discard-newer"});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.err.find("move it away first"), std::string::npos) << again.err;
}

// Bad backups and a running server: one sentence each, and the store as it was.
TEST(Restore, RefusesWhatCannotBePutInPlace) {
  TestVenue venue(8);
  const std::string notAStore = venue.dir.file("notes.txt"), damaged = venue.dir.file("damaged.db");
  writeFile(notAStore, std::string(8192, 'x'));
  setupTool({"backup", "--store", venue.store, "--to", damaged});
  std::string bytes = readFile(damaged);
  bytes[4096] = '\x37';  // the second page's type: no kind of b-tree page
  writeFile(damaged, bytes);
  ServerProcess running(venue.store);
  struct Case {
    std::vector<std::string> args;
    std::string said;
  };
  const std::vector<Case> cases{
      {{"restore", "--from", notAStore, "--store", venue.store}, "is not a TAV store backup"},
      {{"restore", "--from", damaged, "--store", venue.store}, "is damaged"},
      {{"restore", "--from", venue.dir.file("none.db"), "--store", venue.store}, "cannot be read"},
      {{"restore", "--from", damaged, "--store", "postgresql://127.0.0.1/tav"}, "pg_restore"},
      {{"restore", "--from", venue.store, "--store", venue.store}, "stop it first"},
  };
  const std::string before = readFile(venue.store);
  for (const Case& c : cases) {
    if (c.said == "stop it first") running.start();
    const ToolResult r = runTool(c.args);
    EXPECT_EQ(r.exitCode, 1) << c.said;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_EQ(readFile(venue.store), before) << c.said;
    EXPECT_FALSE(std::filesystem::exists(venue.store + ".before-restore")) << c.said;
  }
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(venue.store).parent_path()))
    EXPECT_EQ(entry.path().string().find(".restore-"), std::string::npos) << "left behind: " << entry.path();
}

// A server started while a restore runs waits for it and then serves the restored file. The
// backup comes through a pipe, so that the restore holds the lock for as long as the test wants.
TEST(Restore, ServerStartedMeanwhileWaitsAndServesTheRestoredFile) {
  TestVenue venue(40);
  const std::string backup = venue.dir.file("backup.db"), pipe = venue.dir.file("backup.pipe");
  {
    ServerProcess server(venue.store);
    server.start();
    for (int i = 0; i < 10; ++i) ASSERT_EQ(admit(server, i), "0");
    setupTool({"backup", "--store", venue.store, "--to", backup});
    for (int i = 10; i < 20; ++i) ASSERT_EQ(admit(server, i), "0");
    ASSERT_EQ(server.stop(), 0);
  }
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  auto restore = std::async(std::launch::async, [&] {
    return runTool({"restore", "--from", pipe, "--store", venue.store, "--discard-newer"});
  });
  // The restore opens the pipe only once it holds the lock.
  const int writer = open(pipe.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ServerProcess server(venue.store);
  // The server is started on this thread (it dies with the thread that started it); the backup
  // goes into the pipe once the server says it waits.
  auto feeder = std::async(std::launch::async, [&] {
    const std::string waited = server.logWith("waiting for " + venue.store);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string meanwhile = server.log();
    const std::string bytes = readFile(backup);
    const bool written = write(writer, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(writer);
    return written ? waited.substr(0, waited.find('\n')) + " | " + meanwhile : std::string("not written");
  });
  server.start();
  const std::string seen = feeder.get();
  EXPECT_NE(seen.find("which a restore or purge-event holds"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("listening on"), std::string::npos) << "the server started while the restore held the store";
  const ToolResult r = restore.get();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(admittedTotal(server), "10");
  EXPECT_EQ(admit(server, 15), "0") << "admitted after the backup: valid again";
}

// What a purge leaves of the event's holders in the store's bytes: the file and its log.
std::size_t occurrences(const std::string& store, const std::string& text) {
  std::size_t n = 0;
  for (const std::string& path : {store, store + "-wal"}) {
    const std::string bytes = readFile(path);
    for (auto at = bytes.find(text); at != std::string::npos; at = bytes.find(text, at + 1)) ++n;
  }
  return n;
}

// A venue with BIZ1 (played 2024-05-01, holders 홍길동N, seats "1층 ...") admitted in part, and
// BIZ2, played yesterday, whose holders are 김철수N in seats "2층 ...".
class Purge : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (postgres()) {
      if (pgtest::serverUri().empty()) GTEST_SKIP() << pgtest::notConfigured();
      schema_ = std::make_unique<pgtest::ScratchSchema>();
    }
    venue_ = std::make_unique<TestVenue>(50, 0, postgres() ? schema_->uri() : std::string());
    const std::string played =
        server::formatLocalTime(server::Store::systemNow() - 24 * 3600 * 1000, "%Y%m%d%H%M");
    ASSERT_EQ(tool({"add-event", "--place", TestVenue::kPlace, "--bizcode", "BIZ2", "--name", "다음 경기", "--play-date",
                    played, "--inactive"}).exitCode,
              0);
    std::string csv = kCsvHeader;
    for (int i = 0; i < 10; ++i)
      csv += "K" + std::to_string(i) + ",김철수" + std::to_string(i) + ",다음 경기," + played + ",잠실종합운동장,R석,2층 " +
             std::to_string(i) + "번,E석,valid\n";
    writeFile(venue_->dir.file("biz2.csv"), csv);
    ASSERT_EQ(tool({"import-tickets", "--bizcode", "BIZ2", "--csv", venue_->dir.file("biz2.csv")}).exitCode, 0);
    ServerProcess server(store());
    server.start();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(admit(server, i), "0");
    ASSERT_EQ(server.stop(), 0);
  }
  bool postgres() const { return std::string(GetParam()) == "PostgreSQL"; }
  const std::string& store() const { return venue_->store; }
  ToolResult tool(std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--store", store()});
    return runTool(args);
  }
  // The holder's details of each ticket of the event, joined, and its admissions and scan lines.
  std::string holders(const std::string& bizCode) {
    const std::string sql = "SELECT coalesce(string_agg(cust_name || '|' || seat_info, ','), '') FROM ticket WHERE bizcode = '" +
                            bizCode + "'";
    if (postgres()) return pgtest::RawConnection(store()).scalar(sql);
    return sqliteScalar(store(), "SELECT coalesce(group_concat(cust_name || '|' || seat_info, ','), '') FROM ticket WHERE bizcode = '" +
                                     bizCode + "'");
  }
  std::string counts() {
    const std::string sql =
        "SELECT (SELECT count(*) FROM ticket WHERE entry_count > 0) || '/' || (SELECT count(*) FROM scan_log)";
    return postgres() ? pgtest::RawConnection(store()).scalar(sql) : sqliteScalar(store(), sql);
  }

  std::unique_ptr<pgtest::ScratchSchema> schema_;
  std::unique_ptr<TestVenue> venue_;
};

TEST_P(Purge, RemovesTheEventsHoldersAndNothingElse) {
  const std::string countsBefore = counts(), biz2 = holders("BIZ2");
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused{
      {{"purge-event", "--bizcode", "NOPE"}, "There is no event NOPE."},
      {{"purge-event", "--bizcode", "BIZ1"}, "is its venue's active event"},
      {{"purge-event", "--bizcode", "BIZ2"}, "its holders' details are kept until"},
  };
  for (const auto& [args, said] : refused) {
    const ToolResult r = tool(args);
    EXPECT_EQ(r.exitCode, 1) << said;
    EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_NE(holders("BIZ1").find("홍길동7|1층 8열 8번"), std::string::npos);

  ASSERT_EQ(tool({"set-event", "--bizcode", "BIZ1", "--inactive"}).exitCode, 0);
  const ToolResult r = tool({"purge-event", "--bizcode", "BIZ1"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("of 50 tickets of BIZ1"), std::string::npos) << r.out;
  std::string blank = "|";
  for (int i = 1; i < 50; ++i) blank += ",|";
  EXPECT_EQ(holders("BIZ1"), blank);
  EXPECT_EQ(holders("BIZ2"), biz2);
  EXPECT_EQ(counts(), countsBefore) << "admissions and the scan log stay";
  if (!postgres()) {
    EXPECT_EQ(occurrences(store(), "홍길동"), 0u) << "a holder's name is left in the file or its log";
    EXPECT_EQ(occurrences(store(), "1층 "), 0u) << "a seat is left in the file or its log";
    EXPECT_GT(occurrences(store(), "김철수"), 0u);
  }
  const ToolResult forced = tool({"purge-event", "--bizcode", "BIZ2", "--force"});
  EXPECT_EQ(forced.exitCode, 0) << forced.err;
  EXPECT_NE(forced.out.find("of 10 tickets of BIZ2"), std::string::npos) << forced.out;
}

INSTANTIATE_TEST_SUITE_P(Stores, Purge, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const ::testing::TestParamInfo<const char*>& store) { return std::string(store.param); });

// A purge rebuilds an SQLite file, which would hold every write of a running server up.
TEST(PurgeSqlite, RefusedWhileServing) {
  TestVenue venue(4);
  setupTool({"set-event", "--store", venue.store, "--bizcode", TestVenue::kBizCode, "--inactive"});
  ServerProcess server(venue.store);
  server.start();
  const ToolResult r = runTool({"purge-event", "--store", venue.store, "--bizcode", TestVenue::kBizCode});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("stop it first"), std::string::npos) << r.err;
  EXPECT_NE(readFile(venue.store).find("홍길동"), std::string::npos);
}

}  // namespace
}  // namespace tav::test
