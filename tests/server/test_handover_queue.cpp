// The hand-over of offline decisions gives way to live checks on a real tav-server: while checks
// queue for the store's writer (held in a commit by a disk that stops taking the log), a hand-over
// is deferred with 503 and Retry-After and keeps nothing; once the queue has drained, the same
// request is taken whole.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "offline/handover.h"
#include "offline/journal.h"
#include "server/core/offline_handover.h"
#include "server/core/store.h"
#include "server/tools/open_store.h"
#include "tests/server/offline_lines.h"
#include "tests/server/server_process.h"

namespace tav::test {
namespace {

constexpr int kLiveChecks = 24;  // each waiting for the writer: well past the hand-over's threshold

std::string registeredStation(TestVenue& venue) {
  const std::string file = venue.dir.file("station.key");
  setupTool({"add-station", "--store", venue.store, "--place", TestVenue::kPlace, "--name", "1번 게이트", "--block",
             "E석", "--key-file", file});
  std::string key;
  std::getline(std::ifstream(file), key);
  return key;
}

template <typename Predicate>
bool eventually(Predicate holds) {
  for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
       std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(2)))
    if (holds()) return true;
  return holds();
}

std::int64_t admitted(const std::string& store) {
  std::int64_t n = 0;
  server::openStore(store, false)->read([&](server::Reader& r) { n = r.countAdmitted(TestVenue::kBizCode).total; });
  return n;
}

// Live checks that wait for a writer the disk holds; released (the disk takes the log again and
// every check is answered) at the latest when this ends, so that no test failure leaves them hanging.
struct LiveChecks {
  std::string stalls;
  std::vector<std::thread> threads;

  void release() {
    std::filesystem::remove(stalls);
    for (std::thread& t : threads)
      if (t.joinable()) t.join();
  }
  ~LiveChecks() { release(); }
};

// The station's decisions: entries of E석 tickets (T0, T4, ...) at `at`.
std::string handoverBody(int lines, std::int64_t at) {
  std::vector<offline::Decision> decisions;
  for (int i = 1; i <= lines; ++i) {
    decisions.push_back(offlineEntry(i, ticketNo(4 * (i - 1)), at, TestVenue::kBizCode, TestVenue::kOperator));
  }
  return offline::encodeHandover(decisions);
}

TEST(OfflineHandoverBesideLiveChecks, DeferredWhileTheyQueueForTheWriterAndTakenWholeOnceTheyDoNot) {
  constexpr int kLines = 2;
  TestVenue venue(200);
  const std::string key = registeredStation(venue);
  setupTool({"set-event", "--store", venue.store, "--bizcode", TestVenue::kBizCode, "--offline", "on"});
  const std::string stalls = venue.dir.file("log-stalls"), held = stalls + ".held";
  ServerProcess server(venue.store);
  setenv("LD_PRELOAD", TAV_STALLED_LOG_LIB, 1);
  setenv("TAV_TEST_LOG_STALLS", stalls.c_str(), 1);
  server.start();
  unsetenv("LD_PRELOAD");
  unsetenv("TAV_TEST_LOG_STALLS");
  const std::string session = sessionInStore(venue.store);
  auto station = server.client(session);
  station->set_default_headers({{"Cookie", "tav_session=" + session}, {"Tav-Station", key}});
  auto list = station->Get("/api/v1/offline/list?bizcode=BIZ1&block=E%EC%84%9D");
  ASSERT_TRUE(list && list->status == 200) << (list ? list->body : "no answer");
  const std::int64_t fetched = server::Store::systemNow();
  // The station's silence since its list must allow its decisions: one a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(kLines * 1000 + 200));
  const std::string body = handoverBody(kLines, fetched + 500);
  const auto handOver = [&] { return station->Post("/api/v1/offline/checks", body, "application/json"); };

  // The disk holds the writer in the commit of one check; the live checks then queue behind it.
  writeFile(stalls, "");
  std::vector<std::string> codes(kLiveChecks + 1);
  LiveChecks live{stalls, {}};
  const auto check = [&](int i) {
    live.threads.emplace_back([&, i] {
      auto client = server.client(session);
      try {
        codes[static_cast<std::size_t>(i)] = codeOf(*client, checkText("I", ticketNo(4 * i + 1)));
      } catch (const std::exception& e) {
        codes[static_cast<std::size_t>(i)] = e.what();
      }
    });
  };
  check(0);
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(held); })) << "the writer was never held";
  for (int i = 1; i <= kLiveChecks; ++i) check(i);
  ASSERT_TRUE(eventually([&] {
    auto res = server.client()->Get("/metrics");
    return res && metricValue(res->body, "tav_query_requests_total") >= kLiveChecks + 1;
  }));

  auto deferred = handOver();
  live.release();
  ASSERT_TRUE(deferred);
  EXPECT_EQ(deferred->status, 503) << deferred->body;
  EXPECT_EQ(deferred->get_header_value("Retry-After"), std::to_string(server::kHandoverRetryAfterSeconds));
  EXPECT_FALSE(wire::decodeError(deferred->body).empty()) << deferred->body;
  for (int i = 0; i <= kLiveChecks; ++i) EXPECT_EQ(codes[static_cast<std::size_t>(i)], "0") << "live check " << i;
  EXPECT_EQ(admitted(venue.store), kLiveChecks + 1) << "the deferred hand-over admitted nobody";

  // Nothing queues now: the same request is taken, every line of it.
  auto taken = handOver();
  ASSERT_TRUE(taken);
  ASSERT_EQ(taken->status, 200) << taken->body;
  const offline::HandoverAnswer answer = offline::decodeHandoverAnswer(taken->body);
  std::map<std::string, int> results;
  for (const offline::HandoverResult& r : answer.results) ++results[r.result];
  EXPECT_EQ(results, (std::map<std::string, int>{{std::string(offline::kResultAccepted), kLines}})) << taken->body;
  EXPECT_EQ(answer.acknowledgedUpTo, kLines);
  EXPECT_FALSE(answer.gap) << "the deferred request took no sequence";
  EXPECT_EQ(admitted(venue.store), kLiveChecks + 1 + kLines);
}

}  // namespace
}  // namespace tav::test
