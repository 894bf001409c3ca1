// The service's counters without locks: every answer recorded from many threads at once is counted
// exactly once, and the exposition stays well-formed when the kinds of answers run out.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/http/metrics.h"

namespace tav::server {
namespace {

const std::string kBooking = "Proc_WMRS_Admin_GetAdminTAV_BookingInfo";
const std::string kLogin = "Proc_WMRS_Admin_GetAdminTAV_LoginInfo";

// The value of the sample line that starts with `sample` followed by a blank, or -1 without one.
double sampleValue(const std::string& text, const std::string& sample) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.size() > sample.size() && line.compare(0, sample.size(), sample) == 0 && line[sample.size()] == ' ')
      return std::stod(line.substr(sample.size() + 1));
  return -1;
}

std::string answers(const std::string& procedure, const std::string& code) {
  return "tav_query_answers_total{procedure=\"" + procedure + "\",code=\"" + code + "\"}";
}

TEST(MetricsCounting, ManyThreadsAtOnceCountEveryAnswerOnce) {
  Metrics m;
  constexpr int kThreads = 8, kEach = 20000;
  const std::vector<std::pair<std::string, std::string>> kinds{
      {kBooking, "0"}, {kBooking, "-1"}, {kBooking, "-2"}, {kBooking, "-3"}, {kLogin, "0"}, {kBooking, ""}};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        m.recordRequest();
        const auto& kind = kinds[static_cast<std::size_t>(i + t) % kinds.size()];
        m.recordAnswer(kind.first, kind.second);
        m.recordLatency(std::chrono::microseconds(i % 2 == 0 ? 100 : 3000));
        if (i % 100 == 0) m.recordError(t % 2 == 0 ? 400 : 503);
      }
    });
  }
  for (auto& t : threads) t.join();

  const std::string text = m.render();
  const double total = kThreads * kEach;
  EXPECT_EQ(sampleValue(text, "tav_query_requests_total"), total);
  double answered = 0;
  for (const auto& [procedure, code] : kinds) {
    const double n = sampleValue(text, answers(procedure, code));
    EXPECT_GT(n, 0) << procedure << " " << code;
    answered += n;
  }
  EXPECT_EQ(answered, total);
  EXPECT_EQ(sampleValue(text, "tav_http_errors_total{status=\"400\"}"), 4 * kEach / 100);
  EXPECT_EQ(sampleValue(text, "tav_http_errors_total{status=\"503\"}"), 4 * kEach / 100);
  EXPECT_EQ(sampleValue(text, "tav_query_duration_seconds_bucket{le=\"0.00025\"}"), total / 2);
  EXPECT_EQ(sampleValue(text, "tav_query_duration_seconds_bucket{le=\"0.002\"}"), total / 2);
  EXPECT_EQ(sampleValue(text, "tav_query_duration_seconds_bucket{le=\"0.005\"}"), total);
  EXPECT_EQ(sampleValue(text, "tav_query_duration_seconds_bucket{le=\"+Inf\"}"), total);
  EXPECT_EQ(sampleValue(text, "tav_query_duration_seconds_count"), total);
  EXPECT_NEAR(sampleValue(text, "tav_query_duration_seconds_sum"), total / 2 * (100e-6 + 3000e-6), 1e-3);
}

TEST(MetricsCounting, AnswerKindsBeyondTheTableCountAsOther) {
  Metrics m;
  const std::size_t extra = 5;
  for (std::size_t i = 0; i < Metrics::kMaxAnswerKinds + extra; ++i) {
    m.recordAnswer(kBooking, std::to_string(i));
    m.recordAnswer(kBooking, std::to_string(i));
  }
  const std::string text = m.render();
  EXPECT_EQ(sampleValue(text, answers(kBooking, "0")), 2);
  EXPECT_EQ(sampleValue(text, answers(kBooking, std::to_string(Metrics::kMaxAnswerKinds - 1))), 2);
  EXPECT_EQ(sampleValue(text, answers(kBooking, std::to_string(Metrics::kMaxAnswerKinds))), -1);
  EXPECT_EQ(sampleValue(text, answers("other", "other")), 2 * extra);
}

TEST(MetricsCounting, LabelsAreEscapedAndStatusesKeptInRange) {
  Metrics m;
  m.recordAnswer("we\"ird\\name", "line\nbreak");
  m.recordError(200);
  m.recordError(404);
  m.recordError(777);
  const std::string text = m.render();
  EXPECT_EQ(sampleValue(text, answers("we\\\"ird\\\\name", "line\\nbreak")), 1);
  EXPECT_EQ(sampleValue(text, "tav_http_errors_total{status=\"404\"}"), 1);
  EXPECT_EQ(sampleValue(text, "tav_http_errors_total{status=\"599\"}"), 1);
  EXPECT_EQ(sampleValue(text, "tav_http_errors_total{status=\"200\"}"), -1);
}

}  // namespace
}  // namespace tav::server
