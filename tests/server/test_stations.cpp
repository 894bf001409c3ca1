// Station keys against a real tav-server on 127.0.0.1: a registered gate signs in whatever a
// stranger's guesses from many addresses have locked, keyless sign-ins keep the address-based
// lockouts, and --require-station-key turns keyless station requests away.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <thread>
#include <string>
#include <vector>

#include "server/core/store.h"
#include "server/tools/open_store.h"
#include "tests/server/hostile_crowd.h"
#include "tests/server/server_process.h"
#include "tests/server/store_session.h"

namespace tav::test {
namespace {

constexpr const char* kStationName = "3번 게이트";
constexpr const char* kWrong = "not the password";

struct Reply {
  int status = 0;
  std::string body;
  std::string token;  // the session a sign-in opened
};

// One request on a connection of its own from `source`, with the station key when one is given.
Reply ask(int port, const std::string& source, const std::string& key, const std::string& text,
          const std::string& sessionToken = {}) {
  const int fd = connectFrom(port, source);
  std::string request = "POST " + kQueryPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                        "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(text.size()) +
                        "\r\n";
  if (!key.empty()) request += "Tav-Station: " + key + "\r\n";
  if (!sessionToken.empty()) request += "Cookie: tav_session=" + sessionToken + "\r\n";
  request += "\r\n" + text;
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string in;
  char buf[4096];
  for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) in.append(buf, static_cast<std::size_t>(n));
  close(fd);
  Reply r;
  std::sscanf(in.c_str(), "HTTP/1.1 %d", &r.status);
  if (const auto at = in.find("\r\n\r\n"); at != std::string::npos) r.body = in.substr(at + 4);
  if (const auto at = in.find("tav_session="); at != std::string::npos)
    r.token = in.substr(at + 12, in.find(';', at) - at - 12);
  return r;
}

std::string signInText(const std::string& id, const std::string& password) {
  return kLoginProc + quoted(id) + "," + quoted(password);
}

// The sign-in's ErrCode; fails the test unless it is answered 200.
std::string signInCode(int port, const std::string& source, const std::string& key, const std::string& id,
                       const std::string& password) {
  const Reply r = ask(port, source, key, signInText(id, password));
  EXPECT_EQ(r.status, 200) << r.body;
  return r.status == 200 ? fieldText(wire::decode(r.body), "ErrCode") : std::string();
}

// Registers the test venue's station and returns its key, as the station's install folder holds it.
std::string addStation(TestVenue& venue, const std::string& name = kStationName) {
  const std::string file = venue.dir.file(name + ".key");
  setupTool({"add-station", "--store", venue.store, "--place", TestVenue::kPlace, "--name", name, "--block", "E석",
             "--key-file", file});
  struct stat st {};
  EXPECT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "the key file is its owner's only";
  std::string key;
  std::getline(std::ifstream(file), key);
  return key;
}

std::string listPlace(const TestVenue& venue) {
  return setupTool({"list", "--store", venue.store, "--place", TestVenue::kPlace});
}

TEST(StationKeys, AStationSignsInThroughAStrangersLockoutsAndKeylessSignInsStayLocked) {
  TestVenue venue(4);
  const std::string key = addStation(venue);
  ServerProcess server(venue.store);
  server.start();
  const int port = server.port();
  const std::string id = TestVenue::kOperator, right = TestVenue::kPassword;

  // 60 wrong guesses, five from each of 12 addresses: the first nine addresses locked, the fiftieth
  // guess locks the ID for every sign-in without a key, and the last ten meet that lockout.
  for (int a = 2; a < 14; ++a)
    for (int i = 0; i < 5; ++i) ASSERT_EQ(signInCode(port, "127.0.0." + std::to_string(a), "", id, kWrong), "-1");

  std::string madeUp = key;
  madeUp.back() = madeUp.back() == 'A' ? 'B' : 'A';
  struct Case {
    const char* what;
    std::string source, key, code;
  };
  const std::vector<Case> cases = {
      {"no key, a new address: locked everywhere", "127.0.0.40", "", "-1"},
      {"no key, a guessing address", "127.0.0.2", "", "-1"},
      {"a key no station has: as without one", "127.0.0.41", madeUp, "-1"},
      {"the station's key, a new address", "127.0.0.42", key, "0"},
      {"the station's key, a guessing address", "127.0.0.3", key, "0"},
  };
  for (const Case& c : cases) EXPECT_EQ(signInCode(port, c.source, c.key, id, right), c.code) << c.what;

  // A replacement PC registered now, while the server's list was read a moment ago for the key
  // above, is known at its first request: its operator signs in through the keyless lockout.
  const std::string added = addStation(venue, "5번 게이트");
  EXPECT_EQ(signInCode(port, "127.0.0.43", added, id, right), "0") << "a station added while the server runs";

  std::string listed = listPlace(venue);
  EXPECT_NE(listed.find("everywhere without a station key"), std::string::npos) << listed;
  EXPECT_NE(listed.find("address 127.0.0.10"), std::string::npos) << listed;
  EXPECT_NE(listed.find(std::string(TestVenue::kOperator) + " "), std::string::npos) << listed;
  // The station's line: signed in now by the operator, serving E석, and seen once the server's
  // directory has written what it noted (every few seconds; the loop only guards against a hang).
  const auto stationLine = [&] {
    const std::string all = listPlace(venue);
    return all.substr(all.find("Stations of"), all.find("Locked sign-ins") - all.find("Stations of"));
  };
  EXPECT_TRUE(std::regex_search(stationLine(), std::regex(std::string(TestVenue::kOperator) + R"(\s+E석\s+)" + kStationName)))
      << stationLine();
  for (int i = 0; i < 300 && stationLine().find("never") != std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(stationLine().find("never"), std::string::npos) << stationLine();

  // The scan log names the keyed sign-ins by the station, the export by its name.
  const std::string csv = setupTool({"export-scans", "--store", venue.store, "--place", TestVenue::kPlace, "--csv", "-"});
  EXPECT_NE(csv.find(std::string(",") + kStationName + ","), std::string::npos) << csv;
  EXPECT_EQ(csv.find("station:"), std::string::npos) << csv;

  // The station's own five failures, from any address, lock that station's sign-ins of the ID.
  for (int a = 50; a < 55; ++a) ASSERT_EQ(signInCode(port, "127.0.0." + std::to_string(a), key, id, kWrong), "-1");
  EXPECT_EQ(signInCode(port, "127.0.0.56", key, id, right), "-1");
  listed = listPlace(venue);
  EXPECT_NE(listed.find(std::string("station ") + kStationName), std::string::npos) << listed;

  setupTool({"unlock", "--store", venue.store, "--id", id});
  EXPECT_EQ(signInCode(port, "127.0.0.57", key, id, right), "0");
  EXPECT_EQ(signInCode(port, "127.0.0.58", "", id, right), "0");
  listed = listPlace(venue);
  EXPECT_NE(listed.find("Locked sign-ins of PLACE1: 0"), std::string::npos) << listed;
}

TEST(StationKeys, ARequiredKeyTurnsKeylessStationRequestsAwayButNotTheDashboardsAdmin) {
  TestVenue venue(4);
  setupTool({"add-operator", "--store", venue.store, "--place", TestVenue::kPlace, "--id", "chief", "--admin"},
            "chief's password\n");
  const std::string key = addStation(venue);
  ServerProcess server(venue.store, {"--require-station-key"});
  server.start();
  const std::string session = sessionInStore(venue.store);
  const auto logLines = [&] {
    std::size_t n = 0;
    server::openStore(venue.store, false)->read([&](server::Reader& r) { n = r.scanLog(0, 1000000).size(); });
    return n;
  };

  struct Case {
    const char* what;
    std::string key, text, token;
    int status;
    std::string code;  // for a 200
  };
  const std::vector<Case> cases = {
      {"keyless ticket check", "", checkText("I", ticketNo(0)), session, 403, ""},
      {"keyless venue sign-in", "", kLoginProc + quoted(TestVenue::kPlace), session, 403, ""},
      {"keyless statistics", "", kBookingProc + "'S','BIZ1','','',''", session, 403, ""},
      {"keyless gate operator sign-in", "", signInText(TestVenue::kOperator, TestVenue::kPassword), "", 200, "-1"},
      {"keyless admin sign-in (the dashboard's)", "", signInText("chief", "chief's password"), "", 200, "0"},
      {"keyed gate operator sign-in", key, signInText(TestVenue::kOperator, TestVenue::kPassword), "", 200, "0"},
      {"keyed ticket check", key, checkText("I", ticketNo(0)), session, 200, "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t before = logLines();
    const Reply r = ask(server.port(), "127.0.0.1", c.key, c.text, c.token);
    ASSERT_EQ(r.status, c.status) << r.body;
    if (c.status == 403) {
      EXPECT_FALSE(wire::decodeError(r.body).empty()) << r.body;
      EXPECT_EQ(logLines(), before) << "a refused request writes nothing";
    } else {
      EXPECT_EQ(fieldText(wire::decode(r.body), "ErrCode"), c.code) << r.body;
    }
  }
}

TEST(StationKeys, AddAndRemoveChangeNothingOnBadInputAndARemovedKeyOpensNothing) {
  TestVenue venue(2);
  const std::string key = addStation(venue);
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string says;
  };
  const std::string file = venue.dir.file("new.key");
  const std::vector<Case> cases = {
      {"a name taken", {"--name", kStationName, "--key-file", file}, "already has a station"},
      {"an address for a name", {"--name", "10.0.0.7", "--key-file", file}, "is an IP address"},
      {"no such block", {"--name", "4번", "--block", "X석", "--key-file", file}, "none of"},
      {"a key file that exists", {"--name", "4번", "--key-file", venue.store}, "already exists"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"add-station", "--store", venue.store, "--place", TestVenue::kPlace};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ToolResult r = runTool(args);
    EXPECT_EQ(r.exitCode, 1) << c.what;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.what << ": " << r.err;
    EXPECT_FALSE(std::ifstream(file).good()) << c.what << ": no key file is left";
  }
  EXPECT_NE(listPlace(venue).find("Stations of PLACE1: 1"), std::string::npos);

  ServerProcess server(venue.store);
  server.start();
  EXPECT_EQ(signInCode(server.port(), "127.0.0.1", key, TestVenue::kOperator, TestVenue::kPassword), "0");
  setupTool({"remove-station", "--store", venue.store, "--place", TestVenue::kPlace, "--name", kStationName});
  EXPECT_NE(listPlace(venue).find("Stations of PLACE1: 0"), std::string::npos);
  // The name is free again; the old key is not a station's any more, so its sign-ins count by address.
  std::remove(venue.dir.file(std::string(kStationName) + ".key").c_str());
  addStation(venue);
  server.stop();
  server.start();
  for (int i = 0; i < 5; ++i) signInCode(server.port(), "127.0.0.9", key, TestVenue::kOperator, kWrong);
  EXPECT_NE(listPlace(venue).find("address 127.0.0.9"), std::string::npos);
}

// Under --require-station-key, as the gates run it: a session serves the station it was opened
// through only, and remove-station, run while the server serves, ends the key and its sessions at
// once, before the server's list of stations is read again.
TEST(StationKeys, ASessionServesItsOwnStationOnlyAndARemovedKeyOpensNothingAtOnce) {
  TestVenue venue(4);
  const std::string keyA = addStation(venue), keyB = addStation(venue, "4번 게이트");
  ServerProcess server(venue.store, {"--require-station-key"});
  server.start();
  const int port = server.port();
  const Reply signedIn = ask(port, "127.0.0.1", keyA, signInText(TestVenue::kOperator, TestVenue::kPassword));
  ASSERT_FALSE(signedIn.token.empty()) << signedIn.body;
  const std::string bound = signedIn.token;          // opened through station A
  const std::string unbound = sessionInStore(venue.store);  // opened without a key

  struct Case {
    const char* what;
    std::string key, token, text;
    std::string says;  // the ErrMsg of a 200, or "401"/"403"
  };
  const std::string check = checkText("I", ticketNo(0)), again = checkText("I", ticketNo(1));
  const std::string place = kLoginProc + quoted(TestVenue::kPlace);
  const std::string stats = kBookingProc + "'S','" + TestVenue::kBizCode + "','','',''";
  auto says = [&](const Case& c) {
    const Reply r = ask(port, "127.0.0.1", c.key, c.text, c.token);
    return r.status == 200 ? fieldText(wire::decode(r.body), "ErrMsg") : std::to_string(r.status);
  };
  const std::vector<Case> before = {
      {"station A's session with B's key: a check", keyB, bound, check, "다시 로그인하세요"},
      {"station A's session with B's key: a venue sign-in", keyB, bound, place, "다시 로그인하세요"},
      {"station A's session with B's key: statistics", keyB, bound, stats, "401"},
      {"station A's session with A's key", keyA, bound, check, "입장 확인"},
      {"a keyless session with B's key", keyB, unbound, again, "입장 확인"},
  };
  for (const Case& c : before) EXPECT_EQ(says(c), c.says) << c.what;

  // The server's list holds A, read a moment ago: what follows comes before its next read.
  setupTool({"remove-station", "--store", venue.store, "--place", TestVenue::kPlace, "--name", kStationName});
  const Reply late = ask(port, "127.0.0.1", keyA, signInText(TestVenue::kOperator, TestVenue::kPassword));
  EXPECT_EQ(fieldText(wire::decode(late.body), "ErrCode"), "-1") << late.body;
  EXPECT_TRUE(late.token.empty()) << "no session is opened through a removed station";
  const std::vector<Case> after = {
      {"station A's session with A's removed key", keyA, bound, checkText("O", ticketNo(0)), ""},
      {"a keyless session with A's removed key", keyA, unbound, checkText("O", ticketNo(1)), ""},
      {"a keyless session with A's removed key: statistics", keyA, unbound, stats, ""},
  };
  for (const Case& c : after) {
    // Refused either way: by the store while the list still holds the key, 403 once it does not.
    const std::string said = says(c);
    EXPECT_TRUE(said == "다시 로그인하세요" || said == "401" || said == "403") << c.what << ": " << said;
  }
  EXPECT_EQ(says({"station B goes on", keyB, unbound, checkText("O", ticketNo(1)), ""}), "퇴장 확인");
}

}  // namespace
}  // namespace tav::test
