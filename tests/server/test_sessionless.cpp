// Requests without a session: a flood of them against a real tav-server leaves the store file as
// it was, one summary line counts them, and the dashboard lists their address apart from the
// gates; the tally's caps on addresses and lines on every store.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "server/core/errors.h"
#include "server/core/ingress.h"
#include "server/core/sessionless_tally.h"
#include "server/tools/open_store.h"
#include "tests/server/hostile_crowd.h"
#include "tests/server/server_process.h"
#include "tests/server/store_fixture.h"

namespace tav::test {
namespace {

using nlohmann::json;
using server::SessionlessKind;
using server::SessionlessTally;

constexpr const char* kStranger = "127.0.0.9";

// One keep-alive connection from a chosen loopback address; answers read by their Content-Length.
class Connection {
 public:
  Connection(int port, const std::string& source) : fd_(connectFrom(port, source)) {}
  ~Connection() { close(fd_); }

  // POSTs the command text with the cookie (none when empty); returns the status and the body.
  std::pair<int, std::string> query(const std::string& text, const std::string& cookie = {}) {
    std::string request = "POST " + kQueryPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                          (cookie.empty() ? "" : "Cookie: " + cookie + "\r\n") +
                          "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(text.size()) +
                          "\r\n\r\n" + text;
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
      throw std::runtime_error("The request could not be sent.");
    std::size_t headEnd;
    while ((headEnd = in_.find("\r\n\r\n")) == std::string::npos) fill();
    const std::string head = in_.substr(0, headEnd);
    int status = 0;
    std::sscanf(head.c_str(), "HTTP/1.1 %d", &status);
    const std::size_t at = head.find("Content-Length: ");
    const std::size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
    while (in_.size() < headEnd + 4 + length) fill();
    std::string body = in_.substr(headEnd + 4, length);
    in_.erase(0, headEnd + 4 + length);
    return {status, body};
  }

 private:
  void fill() {
    char buf[16384];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) throw std::runtime_error("The server closed the connection.");
    in_.append(buf, static_cast<std::size_t>(n));
  }
  int fd_;
  std::string in_;
};

std::uintmax_t storeBytes(const std::string& store) {
  std::uintmax_t bytes = 0;
  for (const std::string& file : {store, store + "-wal"}) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file, ec);
    bytes += ec ? 0 : size;
  }
  return bytes;
}

TEST(SessionlessFlood, TwoThousandChecksWriteNothingAndOneSummaryLineCountsThem) {
  TestVenue venue(8);
  setupTool({"add-operator", "--store", venue.store, "--place", TestVenue::kPlace, "--id", "boss", "--admin"},
            "boss pass word\n");
  ServerProcess server(venue.store);
  server.start();
  ASSERT_EQ(codeOf(*server.signedInClient(), checkText("I", ticketNo(0))), "0") << "the one gate";

  // The counts are per minute: the flood stays within one.
  while (server::Store::systemNow() % server::kMinuteMs > 30000) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Connection stranger(server.port(), kStranger);
  const std::string refusal = "다시 로그인하세요";
  // Without a cookie, and with a token nobody was given, which the store is asked about.
  const std::string madeUp = "tav_session=" + std::string(43, 'A');
  for (int i = 0; i < server::kSessionlessLinesPerAddress; ++i)
    ASSERT_EQ(wire::decode(stranger.query(checkText("I", ticketNo(1))).second).rows.at(0).at(1), wire::Value(refusal));
  const std::uintmax_t before = storeBytes(venue.store);
  for (int i = 0; i < 2000; ++i) {
    const auto [status, body] = stranger.query(checkText("I", ticketNo(i % 8)), i % 2 ? madeUp : "");
    ASSERT_EQ(status, 200);
    ASSERT_EQ(wire::decode(body).rows.at(0).at(1), wire::Value(refusal)) << i;
  }
  for (int i = 0; i < 5; ++i) ASSERT_EQ(stranger.query(kLoginProc + "'" + TestVenue::kPlace + "'").first, 200);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(stranger.query(kBookingProc + "'S','BIZ1','','',''", madeUp).first, 401);
  const std::uintmax_t after = storeBytes(venue.store);
  EXPECT_LE(after, before + 4 * 4096) << "at most a few pages";

  // The dashboard: the one gate, and the stranger apart from it.
  auto page = server.client();
  const std::string admin = "tav_session=" + signIn(*page, "boss", "boss pass word");
  auto res = page->Get("/api/v1/ingress", {{"Cookie", admin}});
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  const json d = json::parse(res->body);
  ASSERT_EQ(d["gates"].size(), 1u) << d["gates"].dump();
  EXPECT_EQ(d["gates"][0]["source"], "127.0.0.1");
  ASSERT_EQ(d["strangers"].size(), 1u) << d["strangers"].dump();
  EXPECT_EQ(d["strangers"][0]["source"], kStranger);
  EXPECT_EQ(d["strangers"][0]["checks"], 2003);
  EXPECT_EQ(d["strangers"][0]["placeSignIns"], 5);
  EXPECT_EQ(d["strangers"][0]["statistics"], 2);

  ASSERT_EQ(server.stop(), 0) << "stopping writes the minute's counts";
  std::vector<server::ScanRecord> own, summaries;
  {
    auto store = server::openStore(venue.store, false);
    store->read([&](server::Reader& r) {
      for (server::ScanRecord& l : r.scanLog(0, 100000)) {
        if (l.source != kStranger) continue;
        (l.outcome == server::kOutcomeSessionlessCount ? summaries : own).push_back(std::move(l));
      }
    });
  }
  EXPECT_EQ(own.size(), 3u);
  ASSERT_EQ(summaries.size(), 1u);
  EXPECT_EQ(summaries[0].message, "로그인 없이 2010건: 확인 2003, 장소 5, 통계 2 (개별 기록 3건)");
  EXPECT_EQ(summaries[0].bizCode, "");
  EXPECT_EQ(summaries[0].placeCode, "");
  const std::string csv = setupTool({"export-scans", "--store", venue.store, "--place", TestVenue::kPlace, "--csv", "-"});
  EXPECT_NE(csv.find(",without session,," + std::string(kStranger) + ","), std::string::npos) << csv;
}

// Many addresses in one minute through the procedures, on every store: the first few requests of
// each keep their own lines and no gate, the summary lines stay within their cap, and the tally
// and the dashboard's list stay bounded however many addresses come.
class SessionlessOnStore : public storetest::StoreTest {};

TEST_P(SessionlessOnStore, ManyAddressesInAMinute) {
  setUpVenues();
  SessionlessTally tally;
  const std::vector<std::string> texts{check("I", "BIZ", "", "T1", "admin"), storetest::kLogin + "'P1'",
                                       storetest::kBooking + "'S','BIZ','','',''"};
  // Address i sends i + 1 requests: a check, a venue sign-in, statistics, in turn.
  constexpr int kAddresses = 30;
  std::int64_t ownLines = 0;
  for (int i = 0; i < kAddresses; ++i) {
    server::Caller caller;
    caller.source = "10.1.0." + std::to_string(i);
    caller.sessionToken = i % 2 ? std::string(43, 'A') : std::string();  // none, or one nobody was given
    caller.sessionless = &tally;
    for (int k = 0; k <= i; ++k) {
      try {
        const wire::Recordset rs = server::execute(store(), texts[k % 3], caller).recordset;
        EXPECT_EQ(storetest::field(rs, "ErrMsg"), "다시 로그인하세요");
      } catch (const server::NotSignedIn&) {
        EXPECT_EQ(k % 3, 2);
      }
    }
    int lined = 0;
    for (int k = 0; k <= i; ++k) lined += k % 3 != 2 && lined < server::kSessionlessLinesPerAddress ? 1 : 0;
    ownLines += lined;
  }
  std::vector<server::ScanRecord> log = scanLog();
  EXPECT_EQ(static_cast<std::int64_t>(log.size()), ownLines);
  server::IngressQuery q;
  q.bizCode = "BIZ";
  server::IngressCounts counts;
  store().read([&](server::Reader& r) { counts = r.ingressCounts(q); });
  EXPECT_TRUE(counts.gates.empty()) << counts.gates.front().source;

  const std::vector<server::Stranger> listed = tally.strangers(now_);
  ASSERT_EQ(listed.size(), server::kStrangerRows);
  EXPECT_EQ(listed.front().source, "10.1.0.29");
  EXPECT_EQ(listed.front().requests, (std::array<std::int64_t, 3>{10, 10, 10}));

  // Beyond the addresses counted apart, the rest share one count; all in the next minute.
  now_ += server::kMinuteMs;
  constexpr int kCrowd = static_cast<int>(server::kSessionlessAddressesPerMinute) + 100;
  for (int i = 0; i < kCrowd; ++i) tally.note("10.2." + std::to_string(i), SessionlessKind::Statistics, now_);
  tally.note("10.2.0", SessionlessKind::Statistics, now_);
  now_ += server::kMinuteMs;
  tally.flush(store());

  std::map<std::int64_t, std::vector<server::ScanRecord>> byMinute;
  for (server::ScanRecord& l : scanLog())
    if (l.outcome == server::kOutcomeSessionlessCount) byMinute[l.at / server::kMinuteMs].push_back(std::move(l));
  ASSERT_EQ(byMinute.size(), 2u);
  for (const auto& [minute, lines] : byMinute) {
    ASSERT_EQ(lines.size(), server::kSessionlessSummariesPerMinute) << minute;
    EXPECT_EQ(lines.back().source, server::kOtherAddresses);
    for (const server::ScanRecord& l : lines) EXPECT_EQ(l.session, 0);
  }
  const auto& first = byMinute.begin()->second;
  EXPECT_EQ(first.front().source, "10.1.0.29");
  EXPECT_EQ(first.front().message, "로그인 없이 30건: 확인 10, 장소 10, 통계 10 (개별 기록 3건)");
  EXPECT_EQ(byMinute.rbegin()->second.front().message, "로그인 없이 2건: 확인 0, 장소 0, 통계 2");
  store().read([&](server::Reader& r) { counts = r.ingressCounts(q); });
  EXPECT_TRUE(counts.gates.empty());
  EXPECT_LE(tally.strangers(now_).size(), server::kStrangerRows);
}

INSTANTIATE_TEST_SUITE_P(Stores, SessionlessOnStore, ::testing::ValuesIn(storetest::storeKinds()), storetest::storeName);

}  // namespace
}  // namespace tav::test
