// Prometheus text rendering of the service's counters.
#include "server/metrics.h"

#include <cstdio>
#include <sstream>

namespace tav::server {

namespace {

// Label values are escaped as the exposition format asks: backslash, double quote, newline.
std::string labelValue(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

}  // namespace

void Metrics::recordRequest() { requests_.fetch_add(1, std::memory_order_relaxed); }

void Metrics::recordAnswer(const std::string& procedure, const std::string& code) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++answers_[{procedure, code}];
}

void Metrics::recordError(int status) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++errors_[status];
}

void Metrics::recordLatency(std::chrono::nanoseconds elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  std::size_t bucket = 0;
  while (bucket < kLatencyBounds.size() && seconds > kLatencyBounds[bucket]) ++bucket;
  std::lock_guard<std::mutex> lock(mutex_);
  ++buckets_[bucket];
  ++latencyCount_;
  latencySum_ += seconds;
}

std::string Metrics::render() const {
  std::ostringstream out;
  out << "# HELP tav_query_requests_total Command texts received on the Query route.\n"
         "# TYPE tav_query_requests_total counter\n"
      << "tav_query_requests_total " << requests_.load(std::memory_order_relaxed) << "\n";

  std::lock_guard<std::mutex> lock(mutex_);
  out << "# HELP tav_query_answers_total Recordsets answered, by procedure and ErrCode.\n"
         "# TYPE tav_query_answers_total counter\n";
  for (const auto& [key, count] : answers_) {
    out << "tav_query_answers_total{procedure=\"" << labelValue(key.first) << "\",code=\""
        << labelValue(key.second) << "\"} " << count << "\n";
  }

  out << "# HELP tav_http_errors_total Answers with an error status, by status.\n"
         "# TYPE tav_http_errors_total counter\n";
  for (const auto& [status, count] : errors_) {
    out << "tav_http_errors_total{status=\"" << status << "\"} " << count << "\n";
  }

  out << "# HELP tav_query_duration_seconds Time to answer a command text.\n"
         "# TYPE tav_query_duration_seconds histogram\n";
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < kLatencyBounds.size(); ++i) {
    cumulative += buckets_[i];
    out << "tav_query_duration_seconds_bucket{le=\"" << number(kLatencyBounds[i]) << "\"} "
        << cumulative << "\n";
  }
  cumulative += buckets_.back();
  out << "tav_query_duration_seconds_bucket{le=\"+Inf\"} " << cumulative << "\n"
      << "tav_query_duration_seconds_sum " << number(latencySum_) << "\n"
      << "tav_query_duration_seconds_count " << latencyCount_ << "\n";
  return out.str();
}

}  // namespace tav::server
