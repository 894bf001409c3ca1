// The HTTP contract of tav-server: the station's four command texts, every refusal status with
// its JSON sentence, health, metrics and the log, against the real binary on 127.0.0.1.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/http/http_service.h"
#include "server/http/limits.h"
#include "server/core/service.h"
#include "server/core/store.h"
#include "tests/server/server_process.h"
#include "server/tools/open_store.h"

namespace tav::test {
namespace {

// One venue and one running server for the whole suite: the operator's password hash is slow
// to make on purpose.
class HttpContract : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    venue_ = new TestVenue(40, 2);
    server_ = new ServerProcess(venue_->store);
    server_->start();
  }
  static void TearDownTestSuite() {
    delete server_;
    delete venue_;
    server_ = nullptr;
    venue_ = nullptr;
  }

  // Scan log lines and ticket states as the store holds them, read beside the running server.
  static std::pair<std::size_t, std::string> storeSnapshot() {
    auto store = server::openStore(venue_->store, false);
    std::size_t lines = 0;
    std::string states;
    store->read([&](server::Reader& r) {
      lines = r.scanLog(0, 1000000).size();
      for (int i = 0; i < venue_->count; ++i) {
        auto t = r.findTicket(TestVenue::kBizCode, ticketNo(i));
        states += t && t->inside ? 'i' : 'o';
      }
    });
    return {lines, states};
  }

  static TestVenue* venue_;
  static ServerProcess* server_;
};
TestVenue* HttpContract::venue_ = nullptr;
ServerProcess* HttpContract::server_ = nullptr;

TEST_F(HttpContract, AnswersTheStationsFourCommandTexts) {
  auto client = server_->signedInClient();

  // Operator sign-in, with the apostrophe of the password doubled as the station sends it.
  auto res = query(*client, kLoginProc + "'gate1','pa''s wörd'");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
  wire::Recordset rs = wire::decode(res->body);
  EXPECT_EQ(fieldText(rs, "ErrCode"), "0");
  EXPECT_EQ(fieldText(rs, "bizcode"), TestVenue::kBizCode);
  EXPECT_EQ(fieldText(rs, "TheaterName"), "잠실종합운동장");
  EXPECT_EQ(fieldText(rs, "GoodsName"), TestVenue::kGoods);
  EXPECT_EQ(query(*client, kLoginProc + "'gate1','pa's wörd'")->status, 400)
      << "an apostrophe inside a value must be doubled";

  // Venue sign-in.
  rs = answerOf(*client, kLoginProc + "'PLACE1'");
  EXPECT_EQ(fieldText(rs, "ErrCode"), "0");
  EXPECT_EQ(fieldText(rs, "bizcode"), TestVenue::kBizCode);
  EXPECT_EQ(fieldText(rs, "GoodsName"), TestVenue::kGoods);

  // Ticket check: entry of ticket 5 (an N석 ticket) through the N석 filter.
  rs = answerOf(*client, checkText("I", ticketNo(5), "N석"));
  EXPECT_EQ(fieldText(rs, "ErrCode"), "0");
  EXPECT_EQ(fieldText(rs, "ErrMsg"), "입장 확인");
  EXPECT_EQ(fieldText(rs, "TicketNo"), ticketNo(5));
  EXPECT_EQ(fieldText(rs, "CustName"), "홍길동5");
  EXPECT_EQ(fieldText(rs, "GoodsName"), TestVenue::kGoods);
  EXPECT_EQ(fieldText(rs, "PlayDate"), "202405011830");
  EXPECT_EQ(fieldText(rs, "PlaceName"), "잠실종합운동장");
  EXPECT_EQ(fieldText(rs, "SeatGradeName"), "R석");
  EXPECT_EQ(fieldText(rs, "SeatInfo"), "1층 6열 6번");

  // Statistics: the three empty arguments.
  rs = answerOf(*client, kBookingProc + "'S','BIZ1','','',''");
  const int before = std::stoi(fieldText(rs, "Total"));
  EXPECT_GE(before, 1);
  EXPECT_GE(std::stoi(fieldText(rs, "N석")), 1);
  ASSERT_EQ(codeOf(*client, checkText("I", ticketNo(6))), "0");
  rs = answerOf(*client, kBookingProc + "'S','BIZ1','','',''");
  EXPECT_EQ(std::stoi(fieldText(rs, "Total")), before + 1);
}

TEST_F(HttpContract, AnswersRefusalsAsRowsNotStatuses) {
  auto client = server_->signedInClient();
  struct Case {
    std::string text, code, message;
  };
  const std::vector<Case> cases = {
      {kLoginProc + "'gate1','wrong'", "-1", ""},
      {kLoginProc + "'NO-SUCH-PLACE'", "-1", ""},
      {checkText("I", "NO-SUCH-TICKET"), "-1", "등록되지 않은 티켓입니다"},
      {checkText("I", ticketNo(39)), "-1", "취소된 티켓입니다"},
      {checkText("I", ticketNo(8), "W석"), "-1", "입장 구역 아님 (E석)"},
      {checkText("O", ticketNo(9)), "-2", "입장 기록 없음"},
      {checkText("I", ticketNo(10), "", "nobody"), "-1", "미등록 운영자"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const wire::Recordset rs = answerOf(*client, c.text);
    EXPECT_EQ(fieldText(rs, "ErrCode"), c.code);
    if (!c.message.empty()) {
      EXPECT_EQ(fieldText(rs, "ErrMsg"), c.message);
    }
  }
}

TEST_F(HttpContract, RefusesBadRequestsWithTheirStatusAndWritesNothing) {
  const auto before = storeSnapshot();
  struct Case {
    std::string what, method, path, body;
    int status;
  };
  const std::string route = kQueryPath;
  const std::vector<Case> cases = {
      {"not a command", "POST", route, "SELECT * FROM ticket", 400},
      {"empty body", "POST", route, "", 400},
      {"unknown procedure", "POST", route, "Exec Proc_Drop_Everything 'x'", 400},
      {"four arguments for the check", "POST", route, kBookingProc + "'I','BIZ1','','T00000001'", 400},
      {"three arguments for the sign-in", "POST", route, kLoginProc + "'a','b','c'", 400},
      {"unclosed value", "POST", route, checkText("I", ticketNo(1)).substr(0, 60), 400},
      {"text after the arguments", "POST", route, checkText("I", ticketNo(1)) + "; DROP TABLE ticket", 400},
      {"invalid UTF-8", "POST", route, checkText("I", "T0000000\xff"), 400},
      {"overlong UTF-8", "POST", route, checkText("I", "T\xc0\xaf"), 400},
      {"NUL byte", "POST", route, checkText("I", std::string("T00000001\0", 10)), 400},
      {"body over 8 KiB", "POST", route, checkText("I", std::string(8200, 'T')), 413},
      {"unknown object", "POST", "/objects/Other.member/Query", checkText("I", ticketNo(1)), 404},
      {"unknown method", "POST", "/objects/Nuvrel.member/Execute", checkText("I", ticketNo(1)), 404},
      {"unknown route", "GET", "/index.html", "", 404},
      {"GET on the query route", "GET", route, "", 405},
      {"PUT on the query route", "PUT", route, checkText("I", ticketNo(1)), 405},
      {"DELETE on the query route", "DELETE", route, "", 405},
      {"PATCH on the query route", "PATCH", route, checkText("I", ticketNo(1)), 405},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto client = server_->client();
    auto res = [&] {
      if (c.method == "POST") return client->Post(c.path.c_str(), c.body, "text/plain; charset=utf-8");
      if (c.method == "PUT") return client->Put(c.path.c_str(), c.body, "text/plain");
      if (c.method == "PATCH") return client->Patch(c.path.c_str(), c.body, "text/plain");
      if (c.method == "DELETE") return client->Delete(c.path.c_str());
      return client->Get(c.path.c_str());
    }();
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, c.status);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    const std::string sentence = wire::decodeError(res->body);
    EXPECT_FALSE(sentence.empty()) << res->body;
    EXPECT_EQ(sentence.back(), '.') << sentence;
    if (c.status == 405) {
      EXPECT_EQ(res->get_header_value("Allow"), "POST");
    }
  }
  EXPECT_EQ(storeSnapshot(), before);
}

// The dashboard's and the control room's paths share the station's route table: a path no route
// serves is 404, a method its route does not serve 405 with the one it does, health and metrics
// excepted.
TEST_F(HttpContract, AnswersPathsAndMethodsNoRouteServes) {
  struct Case {
    std::string method, path;
    int status;
    std::string allow;
  };
  const std::vector<Case> cases = {
      {"POST", "/dashboard", 405, "GET"},
      {"POST", "/dashboard/dashboard.js", 405, "GET"},
      {"GET", "/dashboard/nothing.js", 404, ""},
      {"POST", "/api/v1/ingress", 405, "GET"},
      {"POST", "/api/v1/ingress/stream", 405, "GET"},
      {"POST", "/api/v1/tickets/BIZ1/T00000001", 405, "GET"},
      {"GET", "/api/v1/tickets/BIZ1/T00000001/cancel", 405, "POST"},
      {"GET", "/api/v1/tickets/", 404, ""},
      {"GET", "/api/v1/tickets/BIZ1", 404, ""},
      {"POST", "/api/v1/tickets/BIZ1//annul", 404, ""},
      {"POST", "/api/v1/tickets/BIZ1/T00000001/delete", 404, ""},
      {"POST", "/health", 404, ""},
      {"POST", "/metrics", 404, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method + " " + c.path);
    auto client = server_->client();
    auto res = c.method == "POST" ? client->Post(c.path.c_str(), "", "text/plain") : client->Get(c.path.c_str());
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, c.status);
    EXPECT_EQ(res->get_header_value("Allow"), c.allow);
    EXPECT_FALSE(wire::decodeError(res->body).empty()) << res->body;
  }
}

TEST_F(HttpContract, AcceptsACommandOfExactly8KiB) {
  // A value is at most 200 characters; the blanks after the arguments fill the text to 8 KiB.
  std::string text = kLoginProc + "'" + std::string(200, 'P') + "'";
  text += std::string(server::kMaxCommandBytes - text.size(), ' ');
  ASSERT_EQ(text.size(), 8192u);
  auto client = server_->signedInClient();
  EXPECT_EQ(codeOf(*client, text), "-1");
}

TEST_F(HttpContract, MatchesTheObjectAndMethodNamesWithoutRegardToCase) {
  auto client = server_->signedInClient();
  auto res = client->Post("/objects/NUVREL.MEMBER/query", kLoginProc + "'PLACE1'", "text/plain");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(fieldText(wire::decode(res->body), "ErrCode"), "0");
}

TEST_F(HttpContract, HealthSaysOk) {
  auto client = server_->signedInClient();
  auto res = client->Get("/health");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, "ok");
}

TEST_F(HttpContract, MetricsCountAnswersErrorsAndLatency) {
  auto client = server_->signedInClient();
  const std::string booking = "tav_query_answers_total{procedure=\"Proc_WMRS_Admin_GetAdminTAV_BookingInfo\",code=";
  auto scrape = [&] {
    auto res = client->Get("/metrics");
    if (!res || res->status != 200) throw std::runtime_error("no metrics");
    EXPECT_NE(res->get_header_value("Content-Type").find("text/plain"), std::string::npos);
    return res->body;
  };
  const std::string before = scrape();
  ASSERT_EQ(codeOf(*client, checkText("I", ticketNo(20))), "0");
  ASSERT_EQ(codeOf(*client, checkText("I", ticketNo(20))), "-2");
  ASSERT_EQ(codeOf(*client, checkText("I", ticketNo(20))), "-2");
  ASSERT_EQ(codeOf(*client, checkText("I", "NOPE")), "-1");
  ASSERT_EQ(query(*client, "Exec nothing")->status, 400);
  ASSERT_EQ(client->Get("/nothing")->status, 404);
  const std::string after = scrape();

  struct Delta {
    std::string sample;
    double expected;
  };
  const std::vector<Delta> deltas = {
      {booking + "\"0\"}", 1},
      {booking + "\"-2\"}", 2},
      {booking + "\"-1\"}", 1},
      {"tav_http_errors_total{status=\"400\"}", 1},
      {"tav_http_errors_total{status=\"404\"}", 1},
      {"tav_query_requests_total", 5},
      {"tav_query_duration_seconds_count", 5},
      {"tav_query_duration_seconds_bucket{le=\"+Inf\"}", 5},
  };
  for (const Delta& d : deltas) {
    SCOPED_TRACE(d.sample);
    EXPECT_EQ(metricValue(after, d.sample) - metricValue(before, d.sample), d.expected);
  }
  EXPECT_NE(after.find("# TYPE tav_query_duration_seconds histogram"), std::string::npos);
}

TEST_F(HttpContract, LogsErrorsWithoutPasswordsOrValues) {
  auto client = server_->signedInClient();
  const std::string secret = "Secret-Zebra-7781";
  ASSERT_EQ(codeOf(*client, kLoginProc + "'gate1','" + secret + "'"), "-1");
  ASSERT_EQ(query(*client, kLoginProc + "'gate1','" + secret + "' trailing")->status, 400);
  ASSERT_EQ(query(*client, kLoginProc + "'gate1','" + secret)->status, 400);
  const std::string log = server_->logWith("error 400 POST " + kQueryPath, 2);
  EXPECT_EQ(log.find(secret), std::string::npos) << log;
  EXPECT_NE(log.find("error 400 POST " + kQueryPath), std::string::npos) << log;
}

// httplib alone listens with a backlog of 5; a gate's stations connecting at once need more.
TEST_F(HttpContract, ListensWithABacklogForManyStations) {
  const std::string command = "ss -Hltn 'sport = :" + std::to_string(server_->port()) + "' 2>/dev/null";
  FILE* ss = popen(command.c_str(), "r");
  ASSERT_NE(ss, nullptr);
  char line[256] = {};
  const bool got = fgets(line, sizeof line, ss) != nullptr;
  pclose(ss);
  if (!got) GTEST_SKIP() << "ss (iproute2) is not installed";
  std::istringstream fields(line);
  std::string state;
  int queued = 0, backlog = 0;
  fields >> state >> queued >> backlog;
  EXPECT_EQ(state, "LISTEN");
  EXPECT_GE(backlog, 128) << line;
}

// A server of its own: its store file is cut short under it, and the store takes no more writes.
TEST(HttpServe, HealthSaysTheStoreTakesNoWritesAndTheLogSaysWhy) {
  TestVenue venue(4);
  ServerProcess server(venue.store);
  server.start();
  auto client = server.signedInClient();
  ASSERT_EQ(client->Get("/health")->body, "ok");
  std::filesystem::resize_file(venue.store, 0);
  auto check = query(*client, checkText("I", ticketNo(1)));
  ASSERT_TRUE(check);
  EXPECT_EQ(check->status, 503);
  auto health = client->Get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 503);
  const std::string reason = wire::decodeError(health->body);
  EXPECT_FALSE(reason.empty()) << health->body;
  EXPECT_EQ(reason.find(venue.store), std::string::npos) << "health names no path: " << reason;
  const std::string log = server.logWith("health: ");
  EXPECT_NE(log.find("health: " + wire::decodeError(check->body)), std::string::npos) << "the log has the store's reason";
}

// A full disk under a running server (its file-size limit lowered from outside, as a full disk
// refuses a write): the check is 503 and /health says so; once the disk has room again, the next
// write succeeds and /health is 200 again.
TEST(HttpServe, HealthIs503AfterADiskFullWriteAnd200AfterOneSucceeds) {
  TestVenue venue(4);
  ServerProcess server(venue.store);
  server.start();
  auto client = server.signedInClient();
  ASSERT_EQ(codeOf(*client, checkText("I", ticketNo(0))), "0");
  const auto setFileSizeLimit = [&](rlim_t bytes) {
    rlimit limit{bytes, RLIM_INFINITY};
    ASSERT_EQ(::prlimit(server.pid(), RLIMIT_FSIZE, &limit, nullptr), 0);
  };
  setFileSizeLimit(1024);
  auto refused = query(*client, checkText("I", ticketNo(1)));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503);
  auto health = client->Get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 503);
  EXPECT_FALSE(wire::decodeError(health->body).empty()) << health->body;

  setFileSizeLimit(RLIM_INFINITY);
  EXPECT_EQ(codeOf(*client, checkText("I", ticketNo(1))), "0") << "the refused check kept nothing";
  health = client->Get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  EXPECT_EQ(health->body, "ok");
}

// A server of its own: the stop must be seen in its log and exit code.
TEST(HttpServe, StopsCleanlyOnSigtermAndSigint) {
  TempDir dir;
  const std::string store = dir.file("s.db");
  setupTool({"init", "--store", store});
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    ServerProcess server(store);
    server.start();
    auto client = server.client();
    ASSERT_EQ(codeOf(*client, kLoginProc + "'PLACE'"), "-1");
    client->stop();
    EXPECT_EQ(server.stopWith(sig), 0);
    const std::string log = server.log();
    // The version and zone, where it listens, and why it stopped: nothing else.
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
    EXPECT_NE(log.find(sig == SIGTERM ? "stopped on SIGTERM" : "stopped on SIGINT"), std::string::npos) << log;
  }
}

}  // namespace
}  // namespace tav::test
