// Who may ask what: the operator's session cookie against a real server on 127.0.0.1, its table
// of requests and refusals, its ends (time, revocation), and the harvest it stops.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "server/core/sessions.h"
#include "server/core/store.h"
#include "server/http/http_service.h"
#include "server/tools/open_store.h"
#include "tests/server/server_process.h"

namespace tav::test {
namespace {

constexpr server::TimeMs kMinute = 60 * 1000, kHour = 60 * kMinute;

// The test venue and a second venue PLACE2 with its operator "away", served in this process from
// a store whose clock the test moves.
class SessionServer : public ::testing::Test {
 protected:
  void SetUp() override {
    setupTool({"add-venue", "--store", venue_.store, "--place", "PLACE2", "--name", "사직야구장"});
    setupTool({"add-event", "--store", venue_.store, "--place", "PLACE2", "--bizcode", "BIZ2", "--name", "사직 경기",
               "--play-date", "202405011830"});
    setupTool({"add-operator", "--store", venue_.store, "--place", "PLACE2", "--id", "away"}, "away-pass\n");
    store_ = server::openStore(venue_.store, false);
    store_->setClock([this] { return now_.load(); });
    server::ServeOptions options;
    options.port = 0;
    options.threads = 1;
    service_ = std::make_unique<server::HttpService>(*store_, options);
    service_->bind();
    runner_ = std::thread([this] { service_->run(); });
  }
  void TearDown() override {
    service_->stop();
    runner_.join();
  }

  std::unique_ptr<httplib::Client> client(const std::string& token = {}) {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", service_->port());
    c->set_read_timeout(30);
    if (!token.empty()) c->set_default_headers({{"Cookie", "tav_session=" + token}});
    return c;
  }
  std::string signInAs(const std::string& id, const std::string& password) {
    auto c = client();
    return signIn(*c, id, password);
  }
  std::string gate1() { return signInAs(TestVenue::kOperator, TestVenue::kPassword); }

  std::optional<server::Ticket> ticket(int i) {
    std::optional<server::Ticket> t;
    store_->read([&](server::Reader& r) { t = r.findTicket(TestVenue::kBizCode, ticketNo(i)); });
    return t;
  }
  std::vector<server::ScanRecord> scanLog() {
    std::vector<server::ScanRecord> log;
    store_->read([&](server::Reader& r) { log = r.scanLog(0, 100000); });
    return log;
  }

  TestVenue venue_{40};
  std::atomic<server::TimeMs> now_{1714555800000};  // 2024-05-01 18:30 KST
  std::unique_ptr<server::Store> store_;
  std::unique_ptr<server::HttpService> service_;
  std::thread runner_;
};

// How a request's cookie came about, and what each kind of request then gets.
struct CookieCase {
  const char* name;
  std::function<std::string(SessionServer&)> cookie;
  bool live;         // the right operator's live session
  bool otherVenue;   // a live session of another venue's operator
};

class SessionTable : public SessionServer, public ::testing::WithParamInterface<CookieCase> {
 public:
  using SessionServer::client;
  using SessionServer::gate1;
  using SessionServer::signInAs;
  std::atomic<server::TimeMs>& clock() { return now_; }
  server::Store& store() { return *store_; }
};

TEST_P(SessionTable, DecidesEveryTextBeforeAnythingElse) {
  const CookieCase& c = GetParam();
  const std::string token = c.cookie(*this);
  auto station = client(token);
  const std::string refusal = c.otherVenue ? "미등록 운영자" : "다시 로그인하세요";

  const wire::Recordset venue = answerOf(*station, kLoginProc + "'" + TestVenue::kPlace + "'");
  EXPECT_EQ(fieldText(venue, "ErrCode"), c.live ? "0" : "-1");
  EXPECT_EQ(fieldText(venue, "ErrMsg"), c.live ? "로그인 확인" : refusal);
  EXPECT_EQ(fieldText(venue, "bizcode"), c.live ? TestVenue::kBizCode : "");

  // A block filter that misses would name the ticket's block: only for a live session. In a new
  // minute, since only an address's first few requests without a session a minute get a line.
  clock() += kMinute;
  const std::size_t logBefore = scanLog().size();
  const wire::Recordset probe = answerOf(*station, checkText("I", ticketNo(1), "W석"));
  EXPECT_EQ(fieldText(probe, "ErrMsg"), c.live ? "입장 구역 아님 (N석)" : refusal);
  const wire::Recordset admit = answerOf(*station, checkText("I", ticketNo(0)));
  EXPECT_EQ(fieldText(admit, "ErrCode"), c.live ? "0" : "-1");
  EXPECT_EQ(fieldText(admit, "ErrMsg"), c.live ? "입장 확인" : refusal);
  EXPECT_EQ(fieldText(admit, "CustName"), c.live ? "홍길동0" : "");
  EXPECT_EQ(ticket(0)->inside, c.live);
  // Nothing written but the refusal's line, which names the operator and no session.
  const auto log = scanLog();
  ASSERT_EQ(log.size(), logBefore + 2);
  EXPECT_EQ(log.back().operatorId, TestVenue::kOperator);
  EXPECT_EQ(log.back().outcome, c.live ? "entry" : c.otherVenue ? "not-session-operator" : "no-session");
  EXPECT_EQ(log.back().source, "127.0.0.1");
  EXPECT_EQ(log.back().session != 0, c.live || c.otherVenue);

  auto stats = query(*station, kBookingProc + "'S','" + TestVenue::kBizCode + "','','',''");
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->status, c.live ? 200 : 401);
  if (!c.live) {
    EXPECT_EQ(wire::decodeError(stats->body), "Sign in as an operator of this venue first.");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, SessionTable,
    ::testing::Values(
        CookieCase{"NoCookie", [](SessionServer&) { return std::string(); }, false, false},
        CookieCase{"MadeUpToken", [](SessionServer&) { return std::string(43, 'A'); }, false, false},
        CookieCase{"AnotherVenuesOperator",
                   [](SessionServer& s) { return static_cast<SessionTable&>(s).signInAs("away", "away-pass"); },
                   false, true},
        CookieCase{"UnusedFor12Hours",
                   [](SessionServer& s) {
                     auto& table = static_cast<SessionTable&>(s);
                     const std::string token = table.gate1();
                     table.clock() += 12 * kHour;
                     return token;
                   },
                   false, false},
        CookieCase{"UsedButMade24HoursAgo",
                   [](SessionServer& s) {
                     auto& table = static_cast<SessionTable&>(s);
                     const std::string token = table.gate1();
                     auto c = table.client(token);
                     for (int i = 0; i < 3; ++i) {
                       table.clock() += 8 * kHour;
                       EXPECT_EQ(codeOf(*c, kLoginProc + "'" + TestVenue::kPlace + "'"), i < 2 ? "0" : "-1") << i;
                     }
                     return token;
                   },
                   false, false},
        CookieCase{"Revoked",
                   [](SessionServer& s) {
                     auto& table = static_cast<SessionTable&>(s);
                     const std::string token = table.gate1();
                     EXPECT_EQ(server::revokeSessions(table.store(), std::string(TestVenue::kOperator)), 1u);
                     return token;
                   },
                   false, false},
        CookieCase{"LiveSessionOfTheOperator",
                   [](SessionServer& s) {
                     auto& table = static_cast<SessionTable&>(s);
                     const std::string token = table.gate1();
                     table.clock() += 11 * kHour;
                     return token;
                   },
                   true, false}),
    [](const auto& p) { return std::string(p.param.name); });

// What an outsider tried with the place code alone: names, seats and admissions for the asking.
TEST_F(SessionServer, AHarvestWithoutASessionGetsNothing) {
  auto outsider = client();
  for (int i = 0; i < venue_.count; ++i) {
    const wire::Recordset in = answerOf(*outsider, checkText("I", ticketNo(i), i % 2 ? "" : "W석"));
    EXPECT_EQ(fieldText(in, "ErrMsg"), "다시 로그인하세요") << i;
    for (const char* detail : {"CustName", "SeatInfo", "SeatGradeName", "TicketNo"})
      EXPECT_EQ(fieldText(in, detail), "") << detail;
    EXPECT_EQ(codeOf(*outsider, checkText("O", ticketNo(i))), "-1");
  }
  for (int i = 0; i < venue_.count; ++i) EXPECT_EQ(ticket(i)->entryCount, 0) << i;
  // A made-up operator ID with a stolen place code fares no better than no ID.
  EXPECT_EQ(fieldText(answerOf(*outsider, checkText("I", ticketNo(0), "", "admin")), "ErrMsg"), "다시 로그인하세요");
  // The holder who comes later is let in as a first entry, not as a re-entry.
  auto station = client(gate1());
  EXPECT_EQ(fieldText(answerOf(*station, checkText("I", ticketNo(0))), "ErrMsg"), "입장 확인");
}

// The cookie as the web wants it; the store keeps the token's hash, never the token; the last use
// is written at most once a minute and the idle time runs from it.
TEST_F(SessionServer, CookieHashAndLastUse) {
  auto c = client();
  auto refused = query(*c, kLoginProc + "'gate1','wrong'");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->get_header_value("Set-Cookie"), "") << "a refused sign-in opens no session";
  auto res = query(*c, kLoginProc + quoted(TestVenue::kOperator) + "," + quoted(TestVenue::kPassword));
  const std::string token = sessionTokenOf(res);
  ASSERT_EQ(token.size(), 43u);
  EXPECT_EQ(res->get_header_value("Set-Cookie"), "tav_session=" + token + "; Path=/; HttpOnly; SameSite=Strict");
  EXPECT_EQ(metricValue(c->Get("/metrics")->body, "tav_sessions_opened_total"), 1);
  EXPECT_EQ(readFile(venue_.store).find(token), std::string::npos);
  EXPECT_EQ(readFile(venue_.store + "-wal").find(token), std::string::npos);

  auto lastUse = [&] {
    std::optional<server::SessionRecord> s;
    store_->read([&](server::Reader& r) { s = r.findSession(server::sessionTokenHash(token)); });
    return s.value().lastUse;
  };
  const server::TimeMs signedIn = now_.load();
  auto station = client(token);
  now_ += 30 * 1000;
  ASSERT_EQ(codeOf(*station, checkText("I", ticketNo(2))), "0");
  EXPECT_EQ(lastUse(), signedIn);
  now_ += 31 * 1000;
  ASSERT_EQ(codeOf(*station, checkText("O", ticketNo(2))), "0");
  EXPECT_EQ(lastUse(), now_.load());
  now_ += 12 * kHour - 1;
  EXPECT_EQ(codeOf(*station, checkText("I", ticketNo(2))), "-3") << "12 hours after the last use, less 1 ms";
}

// revoke-sessions while serve runs: the operator's next check asks for a new sign-in.
TEST(RevokeSessions, EndsTheOperatorsSessionsWhileTheServerRuns) {
  TestVenue venue(4);
  ServerProcess server(venue.store);
  server.start();
  auto station = server.signedInClient();
  ASSERT_EQ(codeOf(*station, checkText("I", ticketNo(0))), "0");
  const ToolResult unknown = runTool({"revoke-sessions", "--store", venue.store, "--id", "nobody"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_NE(unknown.err.find("There is no operator with the ID nobody."), std::string::npos) << unknown.err;
  const std::string out = setupTool({"revoke-sessions", "--store", venue.store, "--id", TestVenue::kOperator});
  EXPECT_NE(out.find("Ended 1 session of the operator gate1"), std::string::npos) << out;
  EXPECT_EQ(fieldText(answerOf(*station, checkText("I", ticketNo(1))), "ErrMsg"), "다시 로그인하세요");
  signIn(*station);
  EXPECT_EQ(codeOf(*station, checkText("I", ticketNo(1))), "0");
  // Everyone's sessions while the event is active: only with --all.
  const ToolResult everyone = runTool({"revoke-sessions", "--store", venue.store});
  EXPECT_EQ(everyone.exitCode, 1);
  EXPECT_NE(everyone.err.find("active events (BIZ1)"), std::string::npos) << everyone.err;
  EXPECT_EQ(codeOf(*station, checkText("I", ticketNo(2))), "0");
  EXPECT_NE(setupTool({"revoke-sessions", "--store", venue.store, "--all"}).find("Ended 1 session;"), std::string::npos);
}

}  // namespace
}  // namespace tav::test
