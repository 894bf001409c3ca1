// tav-server's command line: help, usage errors, the setup commands, foreign stores and HTTPS.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <pty.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "server/core/service.h"
#include "server/core/setup.h"
#include "server/sqlite/sqlite_store.h"
#include "server/core/store.h"
#include "tests/server/server_process.h"
#include "server/tools/open_store.h"

namespace tav::test {
namespace {

// A new store at `store` with the venue P1 (named `venue`) and its active event B1.
void makeEventStore(const std::string& store, const std::string& venue) {
  setupTool({"init", "--store", store});
  setupTool({"add-venue", "--store", store, "--place", "P1", "--name", venue});
  setupTool({"add-event", "--store", store, "--place", "P1", "--bizcode", "B1", "--name", "개막전", "--play-date",
             "202405011830"});
}

const std::vector<std::string> kCommands = {"init", "add-venue", "add-event", "add-operator", "unlock",
                                            "import-tickets", "list", "demo", "serve", "set-event",
                                            "cancel-ticket", "restore-ticket", "set-password", "set-operator",
                                            "export-scans", "backup", "revoke-sessions", "add-station", "remove-station",
                                            "migrate"};

std::size_t lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

void runSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* err = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK) << (err ? err : "");
  sqlite3_free(err);
  sqlite3_close(db);
}

TEST(CommandLine, HelpOnTheProgramAndOnEveryCommand) {
  const ToolResult program = runTool({"--help"});
  EXPECT_EQ(program.exitCode, 0);
  for (const std::string& c : kCommands) {
    SCOPED_TRACE(c);
    EXPECT_NE(program.out.find("tav-server " + c + " --store STORE"), std::string::npos) << program.out;
    const ToolResult help = runTool({c, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage: tav-server " + c + " --store STORE", 0), 0u) << help.out;
    EXPECT_TRUE(help.err.empty());
    // --help wins over whatever else is on the line, and touches no store.
    EXPECT_EQ(runTool({c, "--store", "/nonexistent/x.db", "--help"}).exitCode, 0);
  }
}

// The version, and at every start the time zone that every time the server shows is in.
TEST(CommandLine, SaysItsVersionAndTheZoneOfItsTimes) {
  const ToolResult version = runTool({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_TRUE(std::regex_match(version.out, std::regex("tav-server [0-9]+\\.[0-9]+.*\n"))) << version.out;
  TestVenue venue(1);
  ServerProcess server(venue.store);
  const char* before = std::getenv("TZ");
  const std::string kept = before ? before : "";
  setenv("TZ", "Asia/Seoul", 1);
  server.start();
  before ? setenv("TZ", kept.c_str(), 1) : unsetenv("TZ");
  EXPECT_NE(server.log().find("times are shown in the local time zone KST (+0900)"), std::string::npos)
      << server.log();
}

TEST(CommandLine, RefusesBadUseWithOneSentenceAndExitCode2) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{}, "No command given"},
      {{"frobnicate"}, "Unknown command \"frobnicate\""},
      {{"list", "--place", "P"}, "Option --store is missing"},
      {{"add-venue", "--store", "x.db", "--place", "P"}, "Option --name is missing"},
      {{"list", "--store", "x.db", "--place", "P", "--colour", "red"}, "Unknown option --colour"},
      {{"list", "--store"}, "Option --store needs a value"},
      {{"list", "--store", "a.db", "--store", "b.db", "--place", "P"}, "given twice"},
      {{"list", "--store", "x.db", "P"}, "Unexpected argument \"P\""},
      {{"add-event", "--store", "x.db", "--place", "P", "--bizcode", "B", "--name", "N", "--play-date", "1",
        "--inactive=yes"},
       "takes no value"},
      {{"demo", "--store", "x.db", "--tickets", "0"}, "--tickets must be from 1"},
      {{"demo", "--store", "x.db", "--tickets", "many"}, "--tickets needs a whole number"},
      {{"serve", "--store", "x.db", "--listen", "localhost"}, "HOST:PORT"},
      {{"serve", "--store", "x.db", "--listen", "127.0.0.1:70000"}, "HOST:PORT"},
      {{"serve", "--store", "x.db", "--threads", "-3"}, "--threads needs a whole number"},
      {{"serve", "--store", "x.db", "--tls-cert", "c.pem"}, "both --tls-cert and --tls-key"},
      {{"copy-store", "--from", "a.db"}, "Option --to is missing"},
      {{"copy-store", "--from", "a.db", "--to", "a.db"}, "name the same store"},
      {{"copy-store", "--store", "a.db"}, "Unknown option --store"},
      {{"import-tickets", "--store", "x.db", "--bizcode", "B", "--csv", "t.csv", "--new-only", "--sync"},
       "Give either --new-only or --sync"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const auto& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    const ToolResult r = runTool(c.args);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("tav-server: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
}

TEST(CommandLine, SetupCommandsNeedAnExistingStore) {
  TempDir dir;
  const std::string store = dir.file("missing.db");
  const ToolResult r = runTool({"add-venue", "--store", store, "--place", "P", "--name", "N"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(lines(r.err), 1u) << r.err;
  EXPECT_NE(r.err.find("tav-server init"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(store));

  setupTool({"init", "--store", store});
  const ToolResult again = runTool({"init", "--store", store});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;
}

TEST(CommandLine, CopyStoreFillsAnEmptyStoreOnceAndLeavesTheSourceAlone) {
  TestVenue venue(30, 3);
  setupTool({"add-operator", "--store", venue.store, "--place", TestVenue::kPlace, "--id", "gate2"}, "pass-word2\n");
  const std::string copy = venue.dir.file("copy.db");
  const std::string out = setupTool({"copy-store", "--from", venue.store, "--to", copy});
  EXPECT_NE(out.find("1 venues, 1 events, 2 operators, 30 tickets"), std::string::npos) << out;
  EXPECT_EQ(setupTool({"list", "--store", copy, "--place", TestVenue::kPlace}),
            setupTool({"list", "--store", venue.store, "--place", TestVenue::kPlace}));

  // Into a store that holds anything: refused, with the target as it was.
  const std::string before = readFile(copy);
  const ToolResult again = runTool({"copy-store", "--from", venue.store, "--to", copy});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_EQ(lines(again.err), 1u) << again.err;
  EXPECT_NE(again.err.find("The target store is not empty"), std::string::npos) << again.err;
  EXPECT_EQ(readFile(copy), before);

  // From a store that does not exist: nothing is made.
  const ToolResult missing = runTool({"copy-store", "--from", venue.dir.file("none.db"), "--to", venue.dir.file("x.db")});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("There is no store at"), std::string::npos) << missing.err;
  EXPECT_FALSE(std::filesystem::exists(venue.dir.file("x.db")));
}

TEST(CommandLine, UnlockEndsALockoutAndRefusesAnUnknownId) {
  TestVenue venue(1);
  const std::string signIn = kLoginProc + "'" + TestVenue::kOperator + "','" + "pa''s wörd" + "'";
  const server::Caller station{"10.20.30.40", {}};
  {
    auto s = server::openStore(venue.store, false);
    for (int i = 0; i < 5; ++i) server::execute(*s, kLoginProc + "'gate1','wrong'", station);
    ASSERT_EQ(server::execute(*s, signIn, station).code, "-1");
  }
  const std::string out = setupTool({"unlock", "--store", venue.store, "--id", TestVenue::kOperator});
  EXPECT_NE(out.find("Unlocked the operator gate1"), std::string::npos) << out;
  {
    auto s = server::openStore(venue.store, false);
    EXPECT_EQ(server::execute(*s, signIn, station).code, "0");
  }

  const std::string before = readFile(venue.store);
  const ToolResult unknown = runTool({"unlock", "--store", venue.store, "--id", "nobody"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_EQ(lines(unknown.err), 1u) << unknown.err;
  EXPECT_NE(unknown.err.find("There is no operator nobody."), std::string::npos) << unknown.err;
  EXPECT_EQ(readFile(venue.store), before);
}

// On a running server: the lockout counts what arrives over HTTP from the client's address, the
// scan log names that address, and unlock ends the lockout without a restart.
TEST(CommandLine, UnlockWorksWhileTheServerRunsAndTheLogNamesTheClient) {
  TestVenue venue(2);
  const std::string signInText = kLoginProc + "'" + TestVenue::kOperator + "','" + "pa''s wörd" + "'";
  ServerProcess server(venue.store);
  server.start();
  auto client = server.client();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(codeOf(*client, kLoginProc + "'gate1','wrong'"), "-1");
  EXPECT_EQ(codeOf(*client, signInText), "-1");
  setupTool({"unlock", "--store", venue.store, "--id", TestVenue::kOperator});
  EXPECT_NO_THROW(signIn(*client));
  EXPECT_EQ(codeOf(*client, checkText("I", ticketNo(0))), "0");
  client.reset();
  EXPECT_EQ(server.stop(), 0);

  auto s = server::openStore(venue.store, false);
  std::vector<server::ScanRecord> log;
  s->read([&](server::Reader& r) { log = r.scanLog(0, 100); });
  ASSERT_EQ(log.size(), 9u);
  for (std::size_t i = 0; i < log.size(); ++i) {
    const bool unlock = log[i].outcome == server::kOutcomeUnlock;
    EXPECT_EQ(log[i].source, unlock ? "local" : "127.0.0.1") << i;
    EXPECT_EQ(unlock, i == 6) << i;
  }
  EXPECT_EQ(log[4].outcome, server::kOutcomeLockout);
  EXPECT_EQ(log[5].outcome, "locked");
}

TEST(CommandLine, ImportsAllRowsOrNoneAndNamesTheBadLine) {
  TempDir dir;
  const std::string store = dir.file("s.db");
  makeEventStore(store, "잠실종합운동장");

  const std::string good1 = "A001,김민준,개막전,202405011830,잠실종합운동장,R석,1층 1열 1번,E석,valid\n";
  const std::string good2 = "A002,이서연,개막전,202405011830,잠실종합운동장,S석,1층 1열 2번,N석,\n";
  const std::string good3 = "A003,박지호,개막전,202405011830,잠실종합운동장,A석,2층 3열 9번,W석,cancelled\n";
  struct Case {
    std::string what, thirdRow;
  };
  const std::vector<Case> bad = {
      {"unknown block", "A009,최유나,개막전,202405011830,잠실종합운동장,R석,1층 1열 3번,X석,valid\n"},
      {"unknown status", "A009,최유나,개막전,202405011830,잠실종합운동장,R석,1층 1열 3번,S석,lost\n"},
      {"too few columns", "A009,최유나,개막전\n"},
      {"repeated ticket number", "A001,최유나,개막전,202405011830,잠실종합운동장,R석,1층 1열 3번,S석,valid\n"},
      {"bad play date", "A009,최유나,개막전,2024-05-01,잠실종합운동장,R석,1층 1열 3번,S석,valid\n"},
      {"empty ticket number", ",최유나,개막전,202405011830,잠실종합운동장,R석,1층 1열 3번,S석,valid\n"},
      {"invalid UTF-8", "A009,\xc3\x28,개막전,202405011830,잠실종합운동장,R석,1층 1열 3번,S석,valid\n"},
  };
  const std::string csv = dir.file("tickets.csv");
  for (const Case& c : bad) {
    SCOPED_TRACE(c.what);
    writeFile(csv, kCsvHeader + good1 + good2 + c.thirdRow + good3);
    const ToolResult r = runTool({"import-tickets", "--store", store, "--bizcode", "B1", "--csv", csv});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(lines(r.err), 1u) << r.err;
    EXPECT_NE(r.err.find(csv + ":4: "), std::string::npos) << r.err;
    const std::string list = setupTool({"list", "--store", store, "--place", "P1"});
    EXPECT_TRUE(std::regex_search(list, std::regex(R"(B1\s+yes\s+202405011830\s+0\s+0\s+0\s+0\s+off\s+30 min\s+개막전)"))) << list;
  }

  writeFile(csv, kCsvHeader + good1 + good2 + good3);
  EXPECT_EQ(setupTool({"import-tickets", "--store", store, "--bizcode", "B1", "--csv", csv}),
            "Imported 3 tickets into B1.\n");
  const std::string list = setupTool({"list", "--store", store, "--place", "P1"});
  EXPECT_TRUE(std::regex_search(list, std::regex(R"(B1\s+yes\s+202405011830\s+3\s+1\s+0\s+0\s+off\s+30 min\s+개막전)"))) << list;
}

// A sync says what it added, changed, cancelled and restored, and names the tickets cancelled here
// that the export still has as valid. An SQLite store needs no migrate, which says where it stands.
TEST(CommandLine, ImportSyncSaysWhatChangedAndNamesCancellationsMadeHere) {
  TempDir dir;
  const std::string store = dir.file("s.db");
  makeEventStore(store, "잠실종합운동장");
  const std::string csv = dir.file("tickets.csv");
  const std::string row = ",개막전,202405011830,잠실종합운동장,R석,";
  writeFile(csv, kCsvHeader + "A001,김민준" + row + "1층 1열 1번,E석,valid\nA002,이서연" + row + "1층 1열 2번,N석,valid\n"
                 "A003,박지호" + row + "2층 3열 9번,W석,cancelled\n");
  setupTool({"import-tickets", "--store", store, "--bizcode", "B1", "--csv", csv});
  setupTool({"cancel-ticket", "--store", store, "--bizcode", "B1", "--ticket", "A001"});
  writeFile(csv, kCsvHeader + "A001,김민준" + row + "1층 1열 1번,E석,valid\nA002,이서연" + row + "3층 1열 2번,S석,valid\n"
                 "A003,박지호" + row + "2층 3열 9번,W석,valid\nA004,정하은" + row + "1층 2열 1번,E석,valid\n,,,,,,,,\n");
  EXPECT_EQ(setupTool({"import-tickets", "--store", store, "--bizcode", "B1", "--csv", csv, "--sync"}),
            "Synchronised B1 with " + csv + ": added 1 ticket, changed 1, cancelled 0, restored 1, unchanged 1.\n"
            "Changed: A002\nRestored: A003\n"
            "Cancelled here, valid in the export (still cancelled; restore-ticket makes one valid): A001\n");
  EXPECT_NE(setupTool({"migrate", "--store", store}).find("is at schema version " + std::to_string(server::sqliteSchemaVersion())),
            std::string::npos);
}

// An import that needs more memory than the system grants stops with one sentence and imports
// nothing. The limit is found first: the least address space in which the program runs at all
// (a command that reads nothing), and a little more, less than the file's import needs.
TEST(CommandLine, ImportWithoutEnoughMemorySaysSoAndImportsNothing) {
  TempDir dir;
  const std::string store = dir.file("s.db");
  makeEventStore(store, "잠실종합운동장");
  std::string rows = kCsvHeader;
  for (int i = 0; i < 300000; ++i)
    rows += "M" + std::to_string(i) + ",김민준,개막전,202405011830,잠실종합운동장,R석,\"1층, " + std::to_string(i % 40) +
            "열\",E석,valid\n";
  const std::string csv = dir.file("tickets.csv");
  writeFile(csv, rows);

  constexpr rlim_t kMiB = 1 << 20;
  rlim_t least = 16 * kMiB;
  while (runTool({"list", "--store", store}, {}, least).exitCode != 0) {
    least += 2 * kMiB;
    ASSERT_LT(least, 1024 * kMiB) << "tav-server does not run in any address space tried";
  }
  const ToolResult r = runTool({"import-tickets", "--store", store, "--bizcode", "B1", "--csv", csv}, {}, least + 2 * kMiB);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.err, "tav-server: There was not enough memory to finish import-tickets; what it had not finished was "
                   "undone.\n");
  EXPECT_EQ(r.out, "");
  const std::string list = setupTool({"list", "--store", store, "--place", "P1"});
  EXPECT_TRUE(std::regex_search(list, std::regex(R"(B1\s+yes\s+202405011830\s+0\s+0\s+0\s+0\s+off\s+30 min\s+개막전)"))) << list;
}

TEST(CommandLine, AddOperatorReadsThePasswordFromStandardInput) {
  TempDir dir;
  const std::string store = dir.file("s.db");
  makeEventStore(store, "잠실");
  // Only the first line is the password; a Windows line end is not part of it.
  const std::string out = setupTool({"add-operator", "--store", store, "--place", "P1", "--id", "o'neil"},
                                    "it's 비밀번호\r\nsecond line\n");
  EXPECT_EQ(out.find("비밀"), std::string::npos);
  const ToolResult empty = runTool({"add-operator", "--store", store, "--place", "P1", "--id", "nopass"}, "");
  EXPECT_EQ(empty.exitCode, 1);
  EXPECT_EQ(lines(empty.err), 1u) << empty.err;

  auto s = server::openStore(store, false);
  struct Case {
    std::string text, code;
  };
  const std::vector<Case> cases = {
      {kLoginProc + "'o''neil','it''s 비밀번호'", "0"},
      {kLoginProc + "'o''neil','it''s 비밀\r'", "-1"},
      {kLoginProc + "'o''neil','second line'", "-1"},
      {kLoginProc + "'nopass',''", "-1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(server::execute(*s, c.text).code, c.code);
  }
}

// --admin makes an admin, its absence a gate operator; list names each operator's role, and both
// sign in at the gates.
TEST(CommandLine, AddOperatorWithAndWithoutAdminAndListShowsRoles) {
  TempDir dir;
  const std::string store = dir.file("s.db");
  setupTool({"init", "--store", store});
  setupTool({"add-venue", "--store", store, "--place", "P1", "--name", "잠실"});
  EXPECT_EQ(setupTool({"list", "--store", store, "--place", "P1"}),
            "Events of P1: 0\n\nOperators of P1: 0\n\nStations of P1: 0\n\nLocked sign-ins of P1: 0\n");
  EXPECT_EQ(setupTool({"add-operator", "--store", store, "--place", "P1", "--id", "kim"}, "pass-word1\n"),
            "Added the operator kim to P1 as a gate operator.\n");
  EXPECT_EQ(setupTool({"add-operator", "--store", store, "--place", "P1", "--id", "boss", "--admin"}, "pass-word2\n"),
            "Added the operator boss to P1 as an admin.\n");
  const ToolResult valued = runTool({"add-operator", "--store", store, "--place", "P1", "--id", "x", "--admin=yes"}, "pass-word\n");
  EXPECT_EQ(valued.exitCode, 2);
  EXPECT_NE(valued.err.find("takes no value"), std::string::npos) << valued.err;
  const ToolResult again = runTool({"add-operator", "--store", store, "--place", "P1", "--id", "kim", "--admin"}, "pass-word\n");
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.err.find("already exists"), std::string::npos) << again.err;

  const std::string list = setupTool({"list", "--store", store, "--place", "P1"});
  EXPECT_NE(list.find("Operators of P1: 2\n"), std::string::npos) << list;
  EXPECT_TRUE(std::regex_search(list, std::regex(R"(\nID\s+ROLE\s+ACTIVE\nboss\s+admin\s+yes\nkim\s+gate\s+yes\n\nStations of P1: 0\n)"))) << list;

  auto s = server::openStore(store, false);
  std::optional<server::Operator> kim, boss, refused;
  s->read([&](server::Reader& r) {
    kim = r.findOperator("kim");
    boss = r.findOperator("boss");
    refused = r.findOperator("x");
  });
  ASSERT_TRUE(kim && boss);
  EXPECT_EQ(kim->role, server::OperatorRole::Gate);
  EXPECT_EQ(boss->role, server::OperatorRole::Admin);
  EXPECT_FALSE(refused);
  const ToolResult help = runTool({"add-operator", "--help"});
  EXPECT_NE(help.out.find("--admin"), std::string::npos) << help.out;
}

TEST(CommandLine, DemoPrintsWhatAStationNeedsAndItWorks) {
  TempDir dir;
  const std::string store = dir.file("demo.db");
  const std::string out = setupTool({"demo", "--store", store, "--tickets", "2000"});
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(\[Marovex\]\nPlaceCode=(\S+)\n)"))) << out;
  const std::string place = m[1];
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(Operators \(ID / password\):\n  (\S+) / (\S+)\n)"))) << out;
  const std::string id = m[1], password = m[2];
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(  E석: (\S+))"))) << out;
  const std::string eTicket = m[1];
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(Cancelled tickets: (\S+))"))) << out;
  const std::string cancelled = m[1];

  ServerProcess server(store);
  server.start();
  auto client = server.client();
  signIn(*client, id, password);
  const wire::Recordset venue = answerOf(*client, kLoginProc + "'" + place + "'");
  ASSERT_EQ(fieldText(venue, "ErrCode"), "0");
  const std::string biz = fieldText(venue, "bizcode");
  const auto check = [&](const std::string& ticket, const std::string& block) {
    return codeOf(*client, kBookingProc + "'I','" + biz + "','" + block + "','" + ticket + "', '" + id + "'");
  };
  EXPECT_EQ(check(eTicket, "E석"), "0");
  EXPECT_EQ(check(cancelled, ""), "-1");
  client.reset();
  EXPECT_EQ(server.stop(), 0);

  const std::string list = setupTool({"list", "--store", store, "--place", place});
  EXPECT_TRUE(std::regex_search(list, std::regex(biz + R"(\s+yes\s+\d{12}\s+2000\s+\d+\s+1\s+1\s)"))) << list;
}

// add-operator on a pseudo-terminal: types `first` and `second` at the two prompts; returns the
// exit code and everything the terminal showed.
std::pair<int, std::string> addOperatorOnTerminal(const std::string& store, const std::string& id,
                                                  const std::string& first, const std::string& second) {
  std::vector<std::string> all{TAV_SERVER_BIN, "add-operator", "--store", store, "--place", "P1", "--id", id};
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::string shown;
  // Reads what the terminal shows until `text` appears (or the program ends).
  const auto waitFor = [&](const std::string& text) {
    char buf[256];
    while (shown.find(text) == std::string::npos) {
      pollfd p{terminal, POLLIN, 0};
      if (poll(&p, 1, 30000) <= 0) return;  // a guard against a hang, not a timing
      const ssize_t n = read(terminal, buf, sizeof buf);
      if (n <= 0) return;
      shown.append(buf, static_cast<std::size_t>(n));
    }
  };
  waitFor("Password for operator " + id + ": ");
  std::string line = first + "\n";
  EXPECT_EQ(write(terminal, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  waitFor("Repeat the password: ");
  line = second + "\n";
  EXPECT_EQ(write(terminal, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  waitFor("\x01never");  // everything up to the end
  close(terminal);
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), shown};
}

TEST(CommandLine, AddOperatorAsksTwiceWithoutEchoOnATerminal) {
  TempDir dir;
  const std::string store = dir.file("s.db");
  makeEventStore(store, "잠실");

  const auto [ok, shown] = addOperatorOnTerminal(store, "tty1", "Quiet-Otter-42", "Quiet-Otter-42");
  EXPECT_EQ(ok, 0) << shown;
  EXPECT_EQ(shown.find("Quiet-Otter"), std::string::npos) << shown;
  EXPECT_NE(shown.find("Added the operator tty1"), std::string::npos) << shown;

  const auto [differ, shown2] = addOperatorOnTerminal(store, "tty2", "Quiet-Otter-42", "Quiet-Otter-43");
  EXPECT_EQ(differ, 1) << shown2;
  EXPECT_NE(shown2.find("differ"), std::string::npos) << shown2;
  EXPECT_EQ(shown2.find("Quiet-Otter"), std::string::npos) << shown2;

  auto s = server::openStore(store, false);
  EXPECT_EQ(server::execute(*s, kLoginProc + "'tty1','Quiet-Otter-42'").code, "0");
  EXPECT_EQ(server::execute(*s, kLoginProc + "'tty2','Quiet-Otter-42'").code, "-1");
}

struct FileState {
  std::string bytes;
  timespec modified{};
  bool operator==(const FileState& o) const {
    return bytes == o.bytes && modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
  }
};

FileState stateOf(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return {readFile(path), st.st_mtim};
}

TEST(CommandLine, RefusesAForeignOrNewerStoreAndLeavesItUntouched) {
  TempDir dir;
  const std::string text = dir.file("notes.db");
  writeFile(text, "This is not a database, just some notes.\n");
  const std::string other = dir.file("other.db");
  runSql(other, "CREATE TABLE customer(id INTEGER PRIMARY KEY, name TEXT); INSERT INTO customer VALUES(1, 'x');");
  const std::string newer = dir.file("newer.db");
  setupTool({"init", "--store", newer});
  runSql(newer, "INSERT INTO schema_version(version, applied_at) VALUES(" +
                    std::to_string(server::sqliteSchemaVersion() + 1) + ", 0); PRAGMA user_version = " +
                    std::to_string(server::sqliteSchemaVersion() + 1) + ";");

  for (const std::string& file : {text, other, newer}) {
    const FileState before = stateOf(file);
    const std::vector<std::vector<std::string>> uses = {
        {"serve", "--store", file, "--listen", "127.0.0.1:0"},
        {"list", "--store", file, "--place", "P"},
        {"add-venue", "--store", file, "--place", "P", "--name", "N"},
        {"demo", "--store", file, "--tickets", "10"},
        {"init", "--store", file},
    };
    for (const auto& args : uses) {
      SCOPED_TRACE(file + " " + args[0]);
      const ToolResult r = runTool(args);
      EXPECT_EQ(r.exitCode, 1);
      EXPECT_EQ(lines(r.err), 1u) << r.err;
      EXPECT_EQ(r.err.find("listening"), std::string::npos) << r.err;
      EXPECT_TRUE(stateOf(file) == before);
      EXPECT_FALSE(std::filesystem::exists(file + "-wal"));
    }
  }
}

TEST(CommandLine, ServeRefusesAnAddressInUse) {
  TempDir dir;
  const std::string store = dir.file("s.db");
  setupTool({"init", "--store", store});
  ServerProcess first(store);
  first.start();
  const ToolResult r = runTool({"serve", "--store", store, "--listen", "127.0.0.1:" + std::to_string(first.port())});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(lines(r.err), 1u) << r.err;
  EXPECT_NE(r.err.find("Cannot listen on 127.0.0.1:" + std::to_string(first.port())), std::string::npos) << r.err;
}

TEST(CommandLine, ServesHttpsWithACertificateAndKey) {
  TempDir dir;
  const std::string store = dir.file("s.db"), cert = dir.file("cert.pem"), key = dir.file("key.pem");
  makeEventStore(store, "잠실");
  setupTool({"add-operator", "--store", store, "--place", "P1", "--id", "op1"}, "password1\n");
  const std::string openssl = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                              "-addext subjectAltName=IP:127.0.0.1 -keyout '" + key + "' -out '" + cert +
                              "' 2>/dev/null";
  ASSERT_EQ(std::system(openssl.c_str()), 0);

  ServerProcess server(store, {"--tls-cert", cert, "--tls-key", key});
  server.start();
  EXPECT_EQ(server.url().rfind("https://127.0.0.1:", 0), 0u) << server.log();

  httplib::SSLClient client("127.0.0.1", server.port());
  client.set_ca_cert_path(cert.c_str());
  client.enable_server_certificate_verification(true);
  client.set_tcp_nodelay(true);
  auto health = client.Get("/health");
  ASSERT_TRUE(health) << httplib::to_string(health.error());
  EXPECT_EQ(health->body, "ok");
  EXPECT_EQ(health->get_header_value("Strict-Transport-Security"), "max-age=31536000");
  // TLS 1.2 with forward-secret AEAD suites only.
  for (const auto& [suite, accepted] : {std::pair{"ECDHE-RSA-AES128-GCM-SHA256", true}, {"ECDHE-RSA-AES128-SHA", false},
                                        {"AES128-GCM-SHA256", false}, {"AES256-SHA256", false}}) {
    const std::string handshake = "openssl s_client -connect 127.0.0.1:" + std::to_string(server.port()) +
                                  " -tls1_2 -cipher " + suite + " </dev/null >/dev/null 2>&1";
    EXPECT_EQ(std::system(handshake.c_str()) == 0, accepted) << suite;
  }
  // The session cookie of an https server is for https only.
  auto signedIn = client.Post(kQueryPath.c_str(), kLoginProc + "'op1','password1'", "text/plain; charset=utf-8");
  ASSERT_TRUE(signedIn);
  const std::string cookie = signedIn->get_header_value("Set-Cookie");
  EXPECT_NE(cookie.find("; Secure"), std::string::npos) << cookie;
  client.set_default_headers({{"Cookie", "tav_session=" + sessionTokenOf(signedIn)}});
  auto res = client.Post(kQueryPath.c_str(), kLoginProc + "'P1'", "text/plain; charset=utf-8");
  ASSERT_TRUE(res);
  EXPECT_EQ(fieldText(wire::decode(res->body), "bizcode"), "B1");

  httplib::Client plain("127.0.0.1", server.port());
  plain.set_read_timeout(5);
  auto refused = plain.Get("/health");
  EXPECT_TRUE(!refused || refused->status != 200);
  EXPECT_EQ(server.stop(), 0);

  // A key that does not exist is a start-up error, not a server without TLS.
  const ToolResult r = runTool({"serve", "--store", store, "--listen", "127.0.0.1:0", "--tls-cert", cert,
                                "--tls-key", dir.file("missing.pem")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(lines(r.err), 1u) << r.err;
  EXPECT_NE(r.err.find("TLS"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace tav::test
