// The match-day commands on each store: each change, what the next check through a running
// server makes of it, and bad input that leaves the store as it was; export-scans and backup.
#include <gtest/gtest.h>
#include <iconv.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <regex>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/core/local_time.h"
#include "server/core/procedures.h"
#include "server/core/store.h"
#include "server/tools/open_store.h"
#include "tests/server/pg_test_server.h"
#include "tests/server/server_process.h"

namespace tav::test {
namespace {

using server::formatLocalTime;  // the export's own time format

const std::string kPlaceProc = kLoginProc;  // the venue sign-in is the sign-in with one argument

// A store of one kind with TestVenue's venue (8 tickets), a second event BIZ2 kept inactive, a
// second venue PLACE2, and a way to see whether anything in it changed.
class Venue {
 public:
  explicit Venue(bool postgres) : postgres_(postgres) {
    if (postgres_) schema_ = std::make_unique<pgtest::ScratchSchema>();
    venue_ = std::make_unique<TestVenue>(8, 0, postgres_ ? schema_->uri() : std::string());
    tool({"add-event", "--place", TestVenue::kPlace, "--bizcode", "BIZ2", "--name", "다음 경기", "--play-date",
          "202405081830", "--inactive"});
    tool({"add-venue", "--place", "PLACE2", "--name", "사직야구장"});
  }

  const std::string& store() const { return venue_->store; }
  TestVenue& venue() { return *venue_; }

  // Runs a command on the store; a failure ends the test with the command's error output.
  std::string tool(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin() + 1, {"--store", store()});
    return setupTool(args, input);
  }
  ToolResult tryTool(std::vector<std::string> args, const std::string& input = {}) {
    args.insert(args.begin() + 1, {"--store", store()});
    return runTool(args, input);
  }

  // Everything the store holds: the file and its log, or every row of every table.
  std::string state() {
    if (!postgres_) return readFile(store()) + "\n--wal--\n" + readFile(store() + "-wal");
    return pgtest::RawConnection(store()).scalar(
        "SELECT string_agg(t, E'\\n' ORDER BY t) FROM (SELECT v::text AS t FROM venue v UNION ALL "
        "SELECT e::text FROM event e UNION ALL SELECT o::text FROM operator o UNION ALL SELECT k::text FROM "
        "ticket k UNION ALL SELECT l::text FROM scan_log l UNION ALL SELECT s::text FROM session s) rows");
  }

 private:
  bool postgres_;
  std::unique_ptr<pgtest::ScratchSchema> schema_;
  std::unique_ptr<TestVenue> venue_;
};

class MatchDay : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (postgres() && pgtest::serverUri().empty()) GTEST_SKIP() << pgtest::notConfigured();
    venue_ = std::make_unique<Venue>(postgres());
  }
  bool postgres() const { return std::string(GetParam()) == "PostgreSQL"; }
  Venue& v() { return *venue_; }

  // A station of the venue, on a server started for the test.
  struct Station {
    explicit Station(const std::string& store) : server(store) {
      server.start();
      client = server.client();
      signIn(*client);
    }
    ServerProcess server;
    std::unique_ptr<httplib::Client> client;

    wire::Recordset check(const std::string& mode, const std::string& ticket, const std::string& biz = TestVenue::kBizCode,
                          const std::string& op = TestVenue::kOperator) {
      return answerOf(*client, kBookingProc + "'" + mode + "','" + biz + "','','" + ticket + "', '" + op + "'");
    }
    // The answer's ErrCode; a session's cookie replaces the one the client sends.
    std::string trySignIn(const std::string& password) {
      const std::string code = codeOf(*client, kLoginProc + quoted(TestVenue::kOperator) + "," + quoted(password));
      if (code == "0") signIn(*client, TestVenue::kOperator, password);
      return code;
    }
    std::string activeEvent() {
      return fieldText(answerOf(*client, kPlaceProc + "'" + TestVenue::kPlace + "'"), "bizcode");
    }
  };

  // Each of `bad` fails with one sentence (exit 1, or 2 for wrong use) and changes nothing.
  void refusesAll(const std::vector<std::vector<std::string>>& bad, const std::string& input = {}) {
    const std::string before = v().state();
    for (const auto& args : bad) {
      const ToolResult r = v().tryTool(args, input);
      std::string line;
      for (const auto& a : args) line += a + " ";
      EXPECT_TRUE(r.exitCode == 1 || r.exitCode == 2) << line << r.exitCode;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << line << r.err;
      EXPECT_EQ(r.out, "") << line;
      EXPECT_EQ(v().state(), before) << line << "changed the store";
    }
  }

  std::unique_ptr<Venue> venue_;
};

TEST_P(MatchDay, SetEvent) {
  refusesAll({{"set-event", "--bizcode", "NOPE", "--active"},
              {"set-event", "--bizcode", "BIZ2"},
              {"set-event", "--bizcode", "BIZ2", "--active", "--inactive"},
              {"set-event", "--active"}});
  Station gate(v().store());
  EXPECT_EQ(gate.activeEvent(), TestVenue::kBizCode);
  EXPECT_NE(v().tool({"set-event", "--bizcode", "BIZ2", "--active"}).find("BIZ2 is now its venue's active event"),
            std::string::npos);
  EXPECT_EQ(gate.activeEvent(), "BIZ2");
  const wire::Recordset old = gate.check("I", ticketNo(0));
  EXPECT_EQ(fieldText(old, "ErrMsg"), "진행 중인 공연 아님") << "the old event is no longer checked";
  EXPECT_TRUE(std::regex_search(v().tool({"list", "--place", TestVenue::kPlace}), std::regex("BIZ2 +yes")));

  v().tool({"set-event", "--bizcode", "BIZ2", "--inactive"});
  EXPECT_EQ(fieldText(answerOf(*gate.client, kPlaceProc + "'" + TestVenue::kPlace + "'"), "ErrCode"), "-1");
  EXPECT_NE(v().tool({"set-event", "--bizcode", "BIZ2", "--inactive"}).find("was already inactive"), std::string::npos);
  v().tool({"set-event", "--bizcode", TestVenue::kBizCode, "--active"});
  EXPECT_EQ(fieldText(gate.check("I", ticketNo(0)), "ErrCode"), "0");
}

TEST_P(MatchDay, CancelAndRestoreTicket) {
  refusesAll({{"cancel-ticket", "--bizcode", TestVenue::kBizCode, "--ticket", "T99999999"},
              {"cancel-ticket", "--bizcode", "NOPE", "--ticket", ticketNo(1)},
              {"restore-ticket", "--bizcode", TestVenue::kBizCode},
              {"cancel-ticket", "--bizcode", "BIZ2", "--ticket", ticketNo(1)}});
  Station gate(v().store());
  v().tool({"cancel-ticket", "--bizcode", TestVenue::kBizCode, "--ticket", ticketNo(1)});
  EXPECT_EQ(fieldText(gate.check("I", ticketNo(1)), "ErrMsg"), "취소된 티켓입니다");
  EXPECT_EQ(fieldText(gate.check("I", ticketNo(2)), "ErrCode"), "0") << "other tickets stay valid";
  EXPECT_NE(v().tool({"cancel-ticket", "--bizcode", TestVenue::kBizCode, "--ticket", ticketNo(1)}).find("already"),
            std::string::npos);
  v().tool({"restore-ticket", "--bizcode", TestVenue::kBizCode, "--ticket", ticketNo(1)});
  EXPECT_EQ(fieldText(gate.check("I", ticketNo(1)), "ErrMsg"), "입장 확인");
}

TEST_P(MatchDay, SetPassword) {
  refusesAll({{"set-password", "--id", TestVenue::kOperator}}, "short\n");
  refusesAll({{"set-password", "--id", "nobody"}, {"set-password"}}, "long enough\n");
  refusesAll({{"set-password", "--id", TestVenue::kOperator}}, "");
  Station gate(v().store());
  ASSERT_EQ(v().tryTool({"set-password", "--id", TestVenue::kOperator}, "short\n").exitCode, 1);
  ASSERT_EQ(fieldText(gate.check("I", ticketNo(4)), "ErrCode"), "0") << "a refused password ends no session";
  v().tool({"set-password", "--id", TestVenue::kOperator}, "새 비밀번호 2026\n");
  EXPECT_EQ(fieldText(gate.check("O", ticketNo(4)), "ErrMsg"), "다시 로그인하세요") << "the session ended with it";
  EXPECT_EQ(gate.trySignIn(TestVenue::kPassword), "-1") << "the old password no longer works";
  EXPECT_EQ(gate.trySignIn("새 비밀번호 2026"), "0");
  EXPECT_EQ(fieldText(gate.check("O", ticketNo(4)), "ErrMsg"), "퇴장 확인");
}

TEST_P(MatchDay, SetOperator) {
  refusesAll({{"set-operator", "--id", "nobody", "--inactive"},
              {"set-operator", "--id", TestVenue::kOperator},
              {"set-operator", "--id", TestVenue::kOperator, "--active", "--inactive"}});
  Station gate(v().store());
  ASSERT_EQ(fieldText(gate.check("I", ticketNo(3)), "ErrCode"), "0");
  v().tool({"set-operator", "--id", TestVenue::kOperator, "--inactive"});
  EXPECT_EQ(fieldText(gate.check("O", ticketNo(3)), "ErrMsg"), "다시 로그인하세요") << "the session ended";
  // The refused check is the venue's though no session named it, and its export lists it.
  EXPECT_NE(v().tool({"export-scans", "--place", TestVenue::kPlace, "--csv", "-"}).find("다시 로그인하세요"),
            std::string::npos);
  // Enough refused sign-ins to lock the ID; making the operator active again ends that lockout.
  for (int i = 0; i < server::kMaxFailedLogins; ++i) EXPECT_EQ(gate.trySignIn(TestVenue::kPassword), "-1");
  EXPECT_TRUE(std::regex_search(v().tool({"list", "--place", TestVenue::kPlace}), std::regex("gate1 +gate +no")));
  v().tool({"set-operator", "--id", TestVenue::kOperator, "--active"});
  EXPECT_EQ(gate.trySignIn(TestVenue::kPassword), "0");
  EXPECT_EQ(fieldText(gate.check("O", ticketNo(3)), "ErrMsg"), "퇴장 확인");
}

// A file a command cannot read or write is named with the system's reason, and nothing changes.
TEST_P(MatchDay, FilesThatCannotBeUsedAreNamedWithTheReason) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"import-tickets", "--bizcode", TestVenue::kBizCode, "--csv", "/nonexistent/tickets.csv"},
       "/nonexistent/tickets.csv cannot be read: No such file or directory."},
      {{"import-tickets", "--bizcode", TestVenue::kBizCode, "--csv", "/tmp"}, "/tmp cannot be read: Is a directory."},
      {{"export-scans", "--place", TestVenue::kPlace, "--csv", "/nonexistent/scans.csv"},
       "/nonexistent/scans.csv cannot be written: No such file or directory."},
  };
  for (const auto& [args, reason] : cases) {
    refusesAll({args});
    EXPECT_NE(v().tryTool(args).err.find(reason), std::string::npos) << v().tryTool(args).err;
  }
}

TEST_P(MatchDay, ListWithoutPlaceListsTheVenues) {
  const std::string out = v().tool({"list"});
  EXPECT_NE(out.find("Venues: 2\n"), std::string::npos) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex("PLACE1 +BIZ1 +2 +1 +잠실종합운동장"))) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex("PLACE2 +- +0 +0 +사직야구장"))) << out;
  refusesAll({{"list", "--place", "NOPE"}});
}

// RFC 4180 records, as a spreadsheet reads them.
std::vector<std::vector<std::string>> parseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') rows.back().back() += text[++i];
      else if (c == '"') quoted = false;
      else rows.back().back() += c;
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      rows.back().emplace_back();
    } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      rows.emplace_back(1);
      ++i;
    } else {
      rows.back().back() += c;
    }
  }
  if (rows.back() == std::vector<std::string>(1)) rows.pop_back();
  return rows;
}

TEST_P(MatchDay, ExportScansWritesWhatExcelOpens) {
  // Korean time, nine hours from UTC: a time written in UTC or epoch milliseconds cannot pass.
  setenv("TZ", "Asia/Seoul", 1);
  tzset();
  {
    Station gate(v().store());
    ASSERT_EQ(fieldText(gate.check("I", ticketNo(0)), "ErrCode"), "0");
    ASSERT_EQ(fieldText(gate.check("I", ticketNo(0)), "ErrCode"), "-2");
    ASSERT_EQ(fieldText(gate.check("O", "=1+2,\"x\""), "ErrCode"), "-1");
  }
  std::vector<server::ScanRecord> log;
  server::openStore(v().store(), false)->read([&](server::Reader& r) { log = r.scanLog(0, 100); });
  ASSERT_EQ(log.size(), 4u);

  TempDir out;
  const std::string file = out.file("scans.csv");
  EXPECT_NE(v().tool({"export-scans", "--place", TestVenue::kPlace, "--csv", file}).find("Wrote 4 scan log lines"),
            std::string::npos);
  const std::string bytes = readFile(file);
  ASSERT_EQ(bytes.substr(0, 3), "\xEF\xBB\xBF");
  const auto rows = parseCsv(bytes.substr(3));
  ASSERT_EQ(rows.size(), 5u) << bytes;
  EXPECT_EQ(rows[0], (std::vector<std::string>{"Time", "Kind", "Operator", "Source", "Mode", "Block", "TicketNo",
                                               "BizCode", "Code", "Message", "OperatorVerified"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{formatLocalTime(log[0].at), "operator sign-in", "gate1", "127.0.0.1",
                                               "", "", "", "BIZ1", "0", log[0].message, "yes"}));
  EXPECT_EQ(rows[2], (std::vector<std::string>{formatLocalTime(log[1].at), "check", "gate1", "127.0.0.1", "I", "",
                                               ticketNo(0), "BIZ1", "0", "입장 확인", "yes"}));
  EXPECT_EQ(rows[3][8], "-2");
  EXPECT_EQ(rows[3][9].rfind("이미 입장 (", 0), 0u) << rows[3][9];
  EXPECT_EQ(rows[4][6], "'=1+2,\"x\"") << "a ticket number is never a formula";

  // Filters: the event, a time range, standard output.
  const std::string biz = v().tool({"export-scans", "--place", TestVenue::kPlace, "--bizcode", "BIZ1", "--csv", "-"});
  EXPECT_EQ(parseCsv(biz.substr(3)).size(), 5u) << biz;
  const std::string next = v().tool({"export-scans", "--place", TestVenue::kPlace, "--bizcode", "BIZ2", "--csv", "-"});
  EXPECT_EQ(parseCsv(next.substr(3)).size(), 1u) << next;
  const std::string later = v().tool(
      {"export-scans", "--place", TestVenue::kPlace, "--since", formatLocalTime(log[3].at + 1000), "--csv", "-"});
  EXPECT_EQ(parseCsv(later.substr(3)).size(), 1u) << later;
  const std::string earlier = v().tool({"export-scans", "--place", TestVenue::kPlace, "--until", "2000-01-01", "--csv", "-"});
  EXPECT_EQ(parseCsv(earlier.substr(3)).size(), 1u) << earlier;
  const std::string other = v().tool({"export-scans", "--place", "PLACE2", "--csv", "-"});
  EXPECT_EQ(parseCsv(other.substr(3)).size(), 1u) << other;

  const std::string bad = out.file("bad.csv");
  refusesAll({{"export-scans", "--place", "NOPE", "--csv", bad},
              {"export-scans", "--place", TestVenue::kPlace, "--bizcode", "NOPE", "--csv", bad},
              {"export-scans", "--place", TestVenue::kPlace, "--since", "2026-13-01", "--csv", bad},
              {"export-scans", "--place", TestVenue::kPlace, "--until", "2026-02-30 10:00", "--csv", bad},
              {"export-scans", "--place", TestVenue::kPlace, "--since", "2026-05-01", "--until", "2026-04-01", "--csv", bad}});
  EXPECT_FALSE(std::ifstream(bad).good()) << "a refused export writes no file";
  unsetenv("TZ");
  tzset();
}

// Every cell of the export reads as the text it is: what a spreadsheet would take for a formula
// gets an apostrophe, what no one can see becomes U+FFFD, and the file is the venue's alone.
TEST_P(MatchDay, ExportGuardsEveryCellAndIsTheVenuesAlone) {
  struct Cell {
    std::string stored, shown;
  };
  const std::vector<Cell> cells = {
      {"=1+2", "'=1+2"},
      {"+821012345678", "'+821012345678"},
      {"-2+3", "'-2+3"},
      {"-1", "-1"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"\t=1+2", "'\t=1+2"},
      {"\r=1+2", "'\r=1+2"},
      {"A\x1B[31mB", "A\xEF\xBF\xBD[31mB"},
      {"A\x7F\x01", "A\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\x01=1", "\xEF\xBF\xBD=1"},
      {"a\tb", "a\tb"},
      {"a,b \"c\"\r\nd", "a,b \"c\"\r\nd"},
      {"티켓 1234", "티켓 1234"},
  };
  server::openStore(v().store(), false)->write([&](server::Transaction& tx) {
    for (const Cell& c : cells) {
      server::ScanRecord line;
      line.at = server::Store::systemNow();
      line.kind = "check";
      line.placeCode = TestVenue::kPlace;
      line.bizCode = TestVenue::kBizCode;
      line.operatorId = TestVenue::kOperator;
      line.ticketNo = c.stored;
      line.message = c.stored;
      tx.appendScanLog(line);
    }
  });
  TempDir out;
  const std::string file = out.file("scans.csv");
  writeFile(file + ".partial", "left by an export that was stopped");
  chmod((file + ".partial").c_str(), 0644);
  const mode_t mask = umask(022);
  v().tool({"export-scans", "--place", TestVenue::kPlace, "--csv", file});
  umask(mask);
  struct stat st {};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  const std::string bytes = readFile(file);
  for (char c : bytes)
    EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 ? c != 0x7F : c == '\t' || c == '\r' || c == '\n')
        << "control character " << static_cast<int>(c) << " written raw";
  const auto rows = parseCsv(bytes.substr(3));
  ASSERT_EQ(rows.size(), cells.size() + 1) << bytes;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    ASSERT_EQ(rows[i + 1].size(), 11u) << bytes;
    EXPECT_EQ(rows[i + 1][6], cells[i].shown) << i;
    EXPECT_EQ(rows[i + 1][9], cells[i].shown) << i;
  }
}

TEST_P(MatchDay, Backup) {
  TempDir out;
  const std::string copy = out.file("copy.db");
  if (postgres()) {
    const ToolResult r = v().tryTool({"backup", "--to", copy});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("pg_dump"), std::string::npos) << r.err;
    EXPECT_FALSE(std::ifstream(copy).good());
    return;
  }
  writeFile(out.file("taken.db"), "x");
  refusesAll({{"backup", "--to", out.file("taken.db")}, {"backup", "--to", out.file("no/such/folder.db")}, {"backup"}});
  EXPECT_EQ(readFile(out.file("taken.db")), "x");
  const mode_t mask = umask(022);
  v().tool({"backup", "--to", copy});
  umask(mask);
  struct stat st {};
  ASSERT_EQ(stat(copy.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "a backup holds the venue's data";
}

// While 16 stations check, the copy is a sound store holding every admission answered before the
// backup began.
TEST(MatchDayBackup, WhileSixteenStationsCheck) {
  constexpr int kStations = 16, kTickets = 3200;
  TestVenue venue(kTickets);
  ServerProcess server(venue.store);
  server.start();
  std::mutex mutex;
  std::set<std::string> admitted;
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> stations;
  for (int s = 0; s < kStations; ++s) {
    stations.emplace_back([&, s] {
      auto client = server.client();
      signIn(*client);
      for (int i = s; i < kTickets && !stop; i += kStations) {
        const std::string code = codeOf(*client, checkText("I", ticketNo(i)));
        if (code != "0") {
          ++failures;
          continue;
        }
        std::lock_guard<std::mutex> lock(mutex);
        admitted.insert(ticketNo(i));
      }
    });
  }
  // Let the stations get going, then take what has been answered so far and back up.
  while (true) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> lock(mutex);
    if (admitted.size() >= 200) break;
  }
  std::set<std::string> before;
  {
    std::lock_guard<std::mutex> lock(mutex);
    before = admitted;
  }
  TempDir out;
  const std::string copy = out.file("copy.db");
  setupTool({"backup", "--store", venue.store, "--to", copy});
  std::size_t after = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    after = admitted.size();
  }
  stop = true;
  for (auto& t : stations) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(after, before.size()) << "the stations were still checking while the backup ran";

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2(copy.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  auto scalar = [&](const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    std::string value = "<error>";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
      value = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    return value;
  };
  EXPECT_EQ(scalar("PRAGMA integrity_check"), "ok");
  std::size_t missing = 0;
  for (const std::string& t : before)
    missing += scalar("SELECT entry_count FROM ticket WHERE ticket_no = '" + t + "'") == "1" ? 0 : 1;
  EXPECT_EQ(missing, 0u) << "of " << before.size() << " admissions answered before the backup";
  sqlite3_close(db);

  // The copy is a store that the tools take as it is.
  EXPECT_NE(setupTool({"list", "--store", copy, "--place", TestVenue::kPlace}).find("BIZ1"), std::string::npos);
  EXPECT_EQ(server.stop(), 0);
}

// What Korean Excel saves as plain CSV, through the command line: refused with the option to give,
// imported with it, and then only its new rows with --new-only.
TEST(MatchDayImport, CodePage949AndNewOnlyFromTheCommandLine) {
  TestVenue venue(0);
  const std::string utf8 = kCsvHeader + "K1,김민준," + TestVenue::kGoods + ",202405011830,잠실종합운동장,R석,1층,E석,valid\n";
  iconv_t cd = iconv_open("CP949", "UTF-8");
  std::string bytes(utf8.size() * 2, '\0');
  char* in = const_cast<char*>(utf8.data());
  char* out = bytes.data();
  std::size_t inLeft = utf8.size(), outLeft = bytes.size();
  ASSERT_NE(iconv(cd, &in, &inLeft, &out, &outLeft), static_cast<std::size_t>(-1));
  iconv_close(cd);
  bytes.resize(bytes.size() - outLeft);
  const std::string csv = venue.dir.file("excel.csv");
  writeFile(csv, bytes);

  const std::vector<std::string> import{"import-tickets", "--store", venue.store, "--bizcode", TestVenue::kBizCode,
                                        "--csv", csv};
  const ToolResult plain = runTool(import);
  EXPECT_EQ(plain.exitCode, 1);
  EXPECT_NE(plain.err.find("give --encoding cp949"), std::string::npos) << plain.err;
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = import;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  EXPECT_EQ(runTool(with({"--encoding", "latin1"})).exitCode, 2);
  EXPECT_EQ(setupTool(with({"--encoding", "cp949"})), "Imported 1 ticket into BIZ1.\n");
  EXPECT_EQ(setupTool(with({"--encoding", "CP949", "--new-only"})),
            "Imported 0 tickets into BIZ1; skipped 1 ticket already there.\n");
  ServerProcess server(venue.store);
  server.start();
  auto client = server.client();
  signIn(*client);
  EXPECT_EQ(fieldText(answerOf(*client, checkText("I", "K1")), "CustName"), "김민준");
}

INSTANTIATE_TEST_SUITE_P(Commands, MatchDay, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const ::testing::TestParamInfo<const char*>& kind) { return std::string(kind.param); });

}  // namespace
}  // namespace tav::test
