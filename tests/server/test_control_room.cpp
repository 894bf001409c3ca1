// The control room's ticket lookup and supervisor actions: the procedures on both stores (an entry
// annulled once, its counters back, the next check a first entry again) and the routes against a
// real tav-server (who may ask, from where, how late, how often).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <nlohmann/json.hpp>

#include <map>
#include <sstream>

#include "server/core/control_room.h"
#include "server/core/ingress.h"
#include "server/core/match_day.h"
#include "server/core/service.h"
#include "server/core/sessions.h"
#include "tests/server/server_process.h"
#include "tests/server/store_fixture.h"

namespace {

using nlohmann::json;
namespace srv = tav::server;

// --- the procedures, on each store --------------------------------------------------------------

class ControlRoomStore : public tav::storetest::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    if (IsSkipped()) return;
    setUpVenues();
    srv::addOperator(store(), "boss", "boss-password", "P1", srv::OperatorRole::Admin);
    srv::addOperator(store(), "otherboss", "other-password", "P2", srv::OperatorRole::Admin);
    boss = srv::ControlCaller{openSessionOf("boss", "10.0.0.9"), "10.0.0.9"};
  }

  std::string checkT1(const std::string& mode) {
    return tav::storetest::field(run(check(mode, "BIZ", "", "T1", "admin")), "ErrMsg");
  }
  srv::TicketStory story(const std::string& no = "T1") { return srv::ticketStory(store(), boss, "BIZ", no); }
  std::int64_t lastLine(const std::string& no = "T1") { return story(no).lines.back().line.id; }

  // Admitted and inside in all, and entries and exits in the flow window, as the dashboard reads them.
  std::array<std::int64_t, 4> counters() {
    const srv::IngressSnapshot s = srv::takeIngressSnapshot(store(), "P1", "BIZ");
    std::array<std::int64_t, 4> out{};
    for (std::size_t b = 0; b < srv::kBlocks.size(); ++b) {
      out[0] += s.counts.admitted[b];
      out[1] += s.counts.inside[b];
      for (std::int64_t n : srv::flowSeries(s, b, false)) out[2] += n;
      for (std::int64_t n : srv::flowSeries(s, b, true)) out[3] += n;
    }
    return out;
  }

  srv::ControlCaller boss;
};

TEST_P(ControlRoomStore, AnnulTakesBackTheLastEntryOnceAndItsCounters) {
  EXPECT_EQ(checkT1("I"), "입장 확인");
  now_ += 60 * 1000;
  const std::int64_t entry = lastLine();
  EXPECT_EQ(story().annullable, entry);
  EXPECT_EQ(counters(), (std::array<std::int64_t, 4>{1, 1, 1, 0}));

  srv::annulEntry(store(), boss, "BIZ", "T1", entry);
  const srv::Ticket t = *ticket("BIZ", "T1");
  EXPECT_FALSE(t.inside);
  EXPECT_EQ(t.entryCount, 0);
  EXPECT_FALSE(t.firstEntry || t.lastEntry || t.lastExit);
  EXPECT_EQ(counters(), (std::array<std::int64_t, 4>{0, 0, 0, 0}));
  // A double click, or a second supervisor: nothing more happens.
  EXPECT_THROW(srv::annulEntry(store(), boss, "BIZ", "T1", entry), srv::ActionRefused);
  const srv::TicketStory s = story();
  ASSERT_EQ(s.lines.size(), 2u);
  EXPECT_EQ(s.lines[0].annulledBy, s.lines[1].line.id);
  EXPECT_EQ(s.lines[1].line.kind, "control");
  EXPECT_EQ(s.lines[1].line.operatorId, "boss");
  EXPECT_EQ(s.lines[1].line.source, "10.0.0.9");
  EXPECT_FALSE(s.annullable);
  // The ticket checks in as a first entry again.
  EXPECT_EQ(checkT1("I"), "입장 확인");
  EXPECT_EQ(ticket("BIZ", "T1")->entryCount, 1);

  // A re-entry annulled: the first entry and the exit stand, the flow counts no extra exit.
  const srv::TimeMs firstAt = now_;
  now_ += 60 * 1000;
  EXPECT_EQ(checkT1("O"), "퇴장 확인");
  now_ += 60 * 1000;
  EXPECT_EQ(checkT1("I"), "재입장 확인");
  const srv::TimeMs exitAt = now_ - 60 * 1000;
  EXPECT_EQ(counters(), (std::array<std::int64_t, 4>{1, 1, 2, 1}));
  srv::annulEntry(store(), boss, "BIZ", "T1", lastLine());
  const srv::Ticket again = *ticket("BIZ", "T1");
  EXPECT_EQ(again.entryCount, 1);
  EXPECT_EQ(again.firstEntry, firstAt);
  EXPECT_EQ(again.lastEntry, firstAt);
  EXPECT_EQ(again.lastExit, exitAt);
  EXPECT_EQ(counters(), (std::array<std::int64_t, 4>{1, 0, 1, 1}));

  // The export marks the annulled lines and lists the annuls.
  std::ostringstream csv;
  srv::exportScans(store(), srv::ScanExport{"P1", std::string("BIZ"), {}, {}}, csv);
  std::size_t annulled = 0;
  for (std::size_t at = 0; (at = csv.str().find(",check (annulled),", at)) != std::string::npos; ++at) ++annulled;
  EXPECT_EQ(annulled, 2u) << csv.str();
  EXPECT_NE(csv.str().find(",control room,boss,10.0.0.9,"), std::string::npos) << csv.str();
}

TEST_P(ControlRoomStore, AnnulIsRefusedWhenItNoLongerApplies) {
  EXPECT_EQ(checkT1("I"), "입장 확인");
  const std::int64_t entry = lastLine();
  const std::string gate = openSessionOf("admin");
  const std::string other = openSessionOf("otherboss");
  struct Case {
    const char* what;
    std::function<void()> act;
  };
  const std::vector<Case> cases{
      {"a gate operator's session",
       [&] { srv::annulEntry(store(), {gate, "x"}, "BIZ", "T1", entry); }},
      {"another venue's admin",
       [&] { srv::annulEntry(store(), {other, "x"}, "BIZ", "T1", entry); }},
      {"a line of another ticket", [&] { srv::annulEntry(store(), boss, "BIZ", "T3", entry); }},
      {"16 minutes later", [&] {
         now_ += 16 * 60 * 1000;
         srv::annulEntry(store(), boss, "BIZ", "T1", entry);
       }},
  };
  const std::vector<const char*> expected{"NotSignedIn", "SetupError", "SetupError", "ActionRefused"};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    std::string thrown = "nothing";
    try {
      cases[i].act();
    } catch (const srv::NotSignedIn&) {
      thrown = "NotSignedIn";
    } catch (const srv::ActionRefused&) {
      thrown = "ActionRefused";
    } catch (const srv::SetupError&) {
      thrown = "SetupError";
    }
    EXPECT_EQ(thrown, expected[i]);
    EXPECT_TRUE(ticket("BIZ", "T1")->inside);
  }
  EXPECT_EQ(story().lines.size(), 1u);
}

// A stranger who types a real operator's ID at one ticket, 1,200 times from 400 addresses, and a
// gate that names another operator than its own: none of it is the ticket's history, its last
// entry is annulled however many lines (anyone's) came after it, with the entry before it back,
// and the export keeps the stranger's lines under the ID typed, marked unverified.
TEST_P(ControlRoomStore, StrangersChecksAreNoTicketsHistoryAndAnnulReadsPastAnyNumberOfLines) {
  EXPECT_EQ(checkT1("I"), "입장 확인");
  const srv::TimeMs firstAt = now_;
  now_ += 60 * 1000;
  EXPECT_EQ(checkT1("O"), "퇴장 확인");
  now_ += 60 * 1000;
  EXPECT_EQ(checkT1("I"), "재입장 확인");
  const std::int64_t entry = lastLine();
  const auto answer = [&](const srv::Caller& from) {
    return tav::storetest::field(srv::execute(store(), check("I", "BIZ", "", "T1", "admin"), from).recordset, "ErrMsg");
  };
  for (int i = 0; i < 1200; ++i)
    ASSERT_EQ(answer({"10.7." + std::to_string(i / 3 / 250) + "." + std::to_string(i / 3 % 250)}), "다시 로그인하세요");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(answer({"10.0.0.9", boss.sessionToken}), "미등록 운영자");
  srv::execute(store(), tav::storetest::kLogin + "'admin','not the password'", srv::Caller{"10.7.9.9"});
  const srv::TicketStory s = story();
  ASSERT_EQ(s.lines.size(), 3u);
  EXPECT_EQ(s.lines.back().line.id, entry);
  EXPECT_EQ(s.annullable, entry);

  // More of the ticket's own lines than a story shows came after the entry.
  const srv::SessionInfo gate = *srv::findLiveSession(store(), tokens_.at("admin"));
  store().write([&](srv::Transaction& tx) {
    srv::ScanRecord line = story().lines.back().line;
    line.code = "-2";
    line.outcome = "already-inside";
    line.session = gate.id;
    for (std::size_t i = 0; i <= srv::kStoryLines; ++i) tx.appendScanLog(line);
  });
  srv::annulEntry(store(), boss, "BIZ", "T1", entry);
  const srv::Ticket t = *ticket("BIZ", "T1");
  EXPECT_FALSE(t.inside);
  EXPECT_EQ(t.entryCount, 1);
  EXPECT_EQ(t.lastEntry, firstAt);
  try {
    srv::annulEntry(store(), boss, "BIZ", "T1", entry);
    ADD_FAILURE() << "annulled twice";
  } catch (const srv::ActionRefused& e) {
    EXPECT_STREQ(e.what(), "This entry was already annulled.");
  }

  std::ostringstream csv;
  srv::exportScans(store(), srv::ScanExport{"P1", {}, {}, {}}, csv);
  std::istringstream rows(csv.str());
  std::map<std::string, int> verified;  // the OperatorVerified cell of the rows naming admin
  for (std::string row; std::getline(rows, row);)
    if (row.find(",admin,") != std::string::npos) ++verified[row.substr(row.rfind(',') + 1)];
  const int ownLines = 3 + static_cast<int>(srv::kStoryLines) + 1;
  EXPECT_EQ(verified, (std::map<std::string, int>{{"no\r", 1200 + 3 + 1}, {"yes\r", ownLines}}));
}

TEST_P(ControlRoomStore, FindsByNumberOrNamePrefixAndCancelsWithALogLine) {
  const auto found = [&](const std::string& q) {
    std::string out;
    for (const srv::Ticket& t : srv::findTickets(store(), boss, "BIZ", q)) out += t.ticketNo + " ";
    return out;
  };
  EXPECT_EQ(found("T3"), "T3 ");
  EXPECT_EQ(found("홍"), "T1 ");
  EXPECT_EQ(found("Sean O"), "O'Neil ");
  EXPECT_EQ(found("최"), "");  // another event's holder
  EXPECT_THROW(found(""), srv::BadCommand);
  EXPECT_THROW(found("\xff"), srv::BadCommand);

  EXPECT_TRUE(srv::setTicketCancelledBy(store(), boss, "BIZ", "T1", true));
  EXPECT_FALSE(srv::setTicketCancelledBy(store(), boss, "BIZ", "T1", true));
  EXPECT_EQ(checkT1("I"), "취소된 티켓입니다");
  EXPECT_TRUE(srv::setTicketCancelledBy(store(), boss, "BIZ", "T1", false));
  std::vector<std::string> outcomes;
  for (const srv::StoryLine& l : story().lines) outcomes.push_back(l.line.kind + ":" + l.line.outcome);
  EXPECT_EQ(outcomes, (std::vector<std::string>{"control:cancel", "check:cancelled", "control:restore"}));
}

INSTANTIATE_TEST_SUITE_P(Stores, ControlRoomStore, ::testing::ValuesIn(tav::storetest::storeKinds()),
                         tav::storetest::storeName);

TEST(ControlRoom, NamePrefixEndsAtTheNextCodePoint) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"a", "b"}, {"홍", "홎"}, {"홍길", "홍긹"}, {"x\x7f", "x\xc2\x80"}, {"\xed\x9f\xbf", "\xee\x80\x80"},
      {"a\xf4\x8f\xbf\xbf", "b"},
  };
  for (const auto& [prefix, end] : cases) EXPECT_EQ(srv::holderPrefixEnd(prefix), end) << prefix;
}

// --- the routes, against a real server ------------------------------------------------------------

using namespace tav::test;

std::string cookieOf(httplib::Client& client, const std::string& id, const std::string& password) {
  return "tav_session=" + signIn(client, id, password);
}

TEST(ControlRoomApi, OnlyTheVenuesAdminActsFromThePageOnceAndInTime) {
  TestVenue venue(8);
  setupTool({"add-operator", "--store", venue.store, "--place", TestVenue::kPlace, "--id", "boss", "--admin"},
            "boss password\n");
  setupTool({"add-venue", "--store", venue.store, "--place", "PLACE2", "--name", "목동"});
  setupTool({"add-event", "--store", venue.store, "--place", "PLACE2", "--bizcode", "BIZ2", "--name", "다른 경기",
             "--play-date", "202405021830"});
  setupTool({"add-operator", "--store", venue.store, "--place", "PLACE2", "--id", "otherboss", "--admin"},
            "other password\n");
  ServerProcess server(venue.store);
  server.start();
  auto client = server.client();
  const std::string gate = cookieOf(*client, TestVenue::kOperator, TestVenue::kPassword);
  const std::string boss = cookieOf(*client, "boss", "boss password");
  const std::string other = cookieOf(*client, "otherboss", "other password");
  client->set_default_headers({});  // each request below names its own session
  auto station = server.client();
  station->set_default_headers({{"Cookie", gate}});
  ASSERT_EQ(codeOf(*station, checkText("I", ticketNo(0))), "0");
  // Ticket 1 came in 16 minutes ago: its line written as a station of then would have.
  const srv::TimeMs old = srv::Store::systemNow() - 16 * 60 * 1000;
  const std::string oldAt = std::to_string(old);
  ASSERT_EQ(tav::storetest::sqliteScalar(
                venue.store, "UPDATE ticket SET inside = 1, entry_count = 1, first_entry = " + oldAt +
                                 ", last_entry = " + oldAt + " WHERE ticket_no = '" + ticketNo(1) + "' RETURNING 1"),
            "1");
  ASSERT_EQ(tav::storetest::sqliteScalar(
                venue.store, "INSERT INTO scan_log(at, kind, bizcode, mode, block, ticket_no, operator_id, place_code, "
                             "code, message, outcome, source, session) VALUES(" + oldAt + ", 'check', 'BIZ1', 'I', '', '" +
                                 ticketNo(1) + "', 'gate1', 'PLACE1', '0', '입장 확인', 'entry', '127.0.0.1', 1) RETURNING 1"),
            "1");

  const auto send = [&](const std::string& method, const std::string& path, const std::string& cookie,
                        const std::string& body = "", httplib::Headers headers = {}) {
    if (!cookie.empty()) headers.emplace("Cookie", cookie);
    auto res = method == "GET" ? client->Get(path.c_str(), headers)
                               : client->Post(path.c_str(), headers, body, "application/json");
    if (!res) throw std::runtime_error("no answer to " + method + " " + path);
    return std::make_pair(res->status, res->body);
  };
  const auto storyOf = [&](int i) {
    const auto [status, body] = send("GET", "/api/v1/tickets/BIZ1/" + ticketNo(i), boss);
    if (status != 200) throw std::runtime_error(body);
    return json::parse(body);
  };
  const std::string entry = std::to_string(storyOf(0)["lines"].back()["id"].get<std::int64_t>());
  const std::string oldEntry = std::to_string(storyOf(1)["lines"].back()["id"].get<std::int64_t>());
  const std::string annul0 = "/api/v1/tickets/BIZ1/" + ticketNo(0) + "/annul";
  const std::string cancel2 = "/api/v1/tickets/BIZ1/" + ticketNo(2) + "/cancel";

  struct Case {
    const char* what;
    std::string method, path, cookie, body;
    httplib::Headers headers;
    int status;
  };
  const std::vector<Case> cases{
      {"no session, lookup", "GET", "/api/v1/tickets?bizcode=BIZ1&q=%ED%99%8D", "", "", {}, 401},
      {"a gate operator, story", "GET", "/api/v1/tickets/BIZ1/" + ticketNo(0), gate, "", {}, 401},
      {"no session, annul", "POST", annul0, "", R"({"line": )" + entry + "}", {}, 401},
      {"a gate operator, cancel", "POST", cancel2, gate, "", {}, 401},
      {"another venue's admin, lookup", "GET", "/api/v1/tickets?bizcode=BIZ1&q=T", other, "", {}, 404},
      {"another venue's admin, cancel", "POST", cancel2, other, "", {}, 404},
      {"another venue's admin, annul", "POST", annul0, other, R"({"line": )" + entry + "}", {}, 404},
      {"another site's page", "POST", annul0, boss, R"({"line": )" + entry + "}", {{"Origin", "http://127.0.0.1:1"}}, 403},
      {"a cross-site request", "POST", cancel2, boss, "", {{"Sec-Fetch-Site", "cross-site"}}, 403},
      {"an entry 16 minutes old", "POST", "/api/v1/tickets/BIZ1/" + ticketNo(1) + "/annul", boss,
       R"({"line": )" + oldEntry + "}", {}, 409},
      {"another ticket's line", "POST", "/api/v1/tickets/BIZ1/" + ticketNo(2) + "/annul", boss,
       R"({"line": )" + entry + "}", {}, 404},
      {"no line named", "POST", annul0, boss, "{}", {}, 400},
      {"a lookup by GET only", "POST", "/api/v1/tickets?bizcode=BIZ1&q=T", boss, "", {}, 405},
      {"the admin's lookup", "GET", "/api/v1/tickets?bizcode=BIZ1&q=%ED%99%8D%EA%B8%B8%EB%8F%99", boss, "", {}, 200},
      {"the admin annuls", "POST", annul0, boss, R"({"line": )" + entry + "}", {}, 200},
      {"a double click", "POST", annul0, boss, R"({"line": )" + entry + "}", {}, 409},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto [status, body] = send(c.method, c.path, c.cookie, c.body, c.headers);
    EXPECT_EQ(status, c.status) << body;
    // Nothing a refused request sent changed a ticket.
    EXPECT_FALSE(storyOf(2)["ticket"]["cancelled"]);
    EXPECT_TRUE(storyOf(1)["ticket"]["inside"]);
  }
  EXPECT_EQ(json::parse(send("GET", cases[13].path, boss).second)["tickets"].size(), 8u);
  const json annulled = storyOf(0);
  EXPECT_FALSE(annulled["ticket"]["inside"]);
  EXPECT_EQ(annulled["ticket"]["entryCount"], 0);
  EXPECT_EQ(annulled["lines"].size(), 2u);
  EXPECT_EQ(annulled["lines"][1]["operator"], "boss");
  EXPECT_EQ(fieldText(answerOf(*station, checkText("I", ticketNo(0))), "ErrMsg"), "입장 확인");

  // Cancel and restore as cancel-ticket and restore-ticket do; a second cancel changes nothing.
  EXPECT_TRUE(json::parse(send("POST", cancel2, boss).second)["changed"]);
  EXPECT_FALSE(json::parse(send("POST", cancel2, boss).second)["changed"]);
  EXPECT_EQ(fieldText(answerOf(*station, checkText("I", ticketNo(2))), "ErrMsg"), "취소된 티켓입니다");
  EXPECT_EQ(send("POST", "/api/v1/tickets/BIZ1/" + ticketNo(2) + "/restore", boss).first, 200);
  EXPECT_EQ(codeOf(*station, checkText("I", ticketNo(2))), "0");
}

}  // namespace
