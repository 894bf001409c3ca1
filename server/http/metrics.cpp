// Prometheus text rendering of the service's counters.
#include "server/http/metrics.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <tuple>
#include <vector>

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

const char* limitLabel(Limit limit) {
  switch (limit) {
    case Limit::HeaderSize: return "header_size";
    case Limit::BodySize: return "body_size";
    case Limit::ContentEncoding: return "content_encoding";
    case Limit::RequestTimeout: return "request_timeout";
    case Limit::IdleTimeout: return "idle_timeout";
    case Limit::ConnectionsPerSource: return "connections_per_source";
    case Limit::SignInsPerMinute: return "signins_per_minute";
    case Limit::ConnectionBudget: return "connection_budget";
    case Limit::SignInQueueFull: return "signin_queue_full";
    case Limit::SignInQueueWait: return "signin_queue_wait";
    case Limit::StalledResponse: return "stalled_response";
    case Limit::ForeignOrigin: return "foreign_origin";
    case Limit::ProxyHeader: return "proxy_header";
    case Limit::QueuedBytes: return "queued_bytes";
  }
  return "other";
}

}  // namespace

void Metrics::recordRequest() { requests_.fetch_add(1, std::memory_order_relaxed); }

void Metrics::recordAnswer(const std::string& procedure, const std::string& code) {
  const auto matches = [&](const AnswerKind& k) { return k.code == code && k.procedure == procedure; };
  std::size_t known = answerKinds_.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < known; ++i) {
    if (matches(answers_[i])) {
      answers_[i].count.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  std::lock_guard<std::mutex> lock(newKindMutex_);
  known = answerKinds_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < known; ++i) {
    if (matches(answers_[i])) {
      answers_[i].count.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  if (known == answers_.size()) {
    otherAnswers_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  answers_[known].procedure = procedure;
  answers_[known].code = code;
  answers_[known].count.store(1, std::memory_order_relaxed);
  answerKinds_.store(known + 1, std::memory_order_release);
}

void Metrics::recordError(int status) {
  if (status < 400) return;
  const auto slot = static_cast<std::size_t>(status - 400);
  errors_[std::min(slot, errors_.size() - 1)].fetch_add(1, std::memory_order_relaxed);
}

void Metrics::recordLatency(std::chrono::nanoseconds elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  std::size_t bucket = 0;
  while (bucket < kLatencyBounds.size() && seconds > kLatencyBounds[bucket]) ++bucket;
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  latencyNanos_.fetch_add(static_cast<std::uint64_t>(std::max<std::int64_t>(elapsed.count(), 0)),
                          std::memory_order_relaxed);
}

void Metrics::recordRefusal(Limit limit) {
  refusals_[static_cast<std::size_t>(limit)].fetch_add(1, std::memory_order_relaxed);
}

void Metrics::connectionOpened() { opened_.fetch_add(1, std::memory_order_relaxed); }
void Metrics::sessionOpened() { sessions_.fetch_add(1, std::memory_order_relaxed); }

void Metrics::connectionClosed() { closed_.fetch_add(1, std::memory_order_relaxed); }

std::string Metrics::render() const {
  std::ostringstream out;
  out << "# HELP tav_query_requests_total Command texts received on the Query route.\n"
         "# TYPE tav_query_requests_total counter\n"
      << "tav_query_requests_total " << requests_.load(std::memory_order_relaxed) << "\n";

  std::vector<std::tuple<std::string, std::string, std::uint64_t>> answers;
  const std::size_t known = answerKinds_.load(std::memory_order_acquire);
  for (std::size_t i = 0; i < known; ++i)
    answers.emplace_back(answers_[i].procedure, answers_[i].code,
                         answers_[i].count.load(std::memory_order_relaxed));
  if (const std::uint64_t other = otherAnswers_.load(std::memory_order_relaxed))
    answers.emplace_back("other", "other", other);
  std::sort(answers.begin(), answers.end());
  out << "# HELP tav_query_answers_total Recordsets answered, by procedure and ErrCode.\n"
         "# TYPE tav_query_answers_total counter\n";
  for (const auto& [procedure, code, count] : answers) {
    out << "tav_query_answers_total{procedure=\"" << labelValue(procedure) << "\",code=\""
        << labelValue(code) << "\"} " << count << "\n";
  }

  out << "# HELP tav_http_errors_total Answers with an error status, by status.\n"
         "# TYPE tav_http_errors_total counter\n";
  for (std::size_t i = 0; i < errors_.size(); ++i) {
    if (const std::uint64_t count = errors_[i].load(std::memory_order_relaxed))
      out << "tav_http_errors_total{status=\"" << 400 + i << "\"} " << count << "\n";
  }

  // The count is the sum of the buckets read here, so that it always equals the +Inf bucket.
  out << "# HELP tav_query_duration_seconds Time to answer a command text.\n"
         "# TYPE tav_query_duration_seconds histogram\n";
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < kLatencyBounds.size(); ++i) {
    cumulative += buckets_[i].load(std::memory_order_relaxed);
    out << "tav_query_duration_seconds_bucket{le=\"" << number(kLatencyBounds[i]) << "\"} "
        << cumulative << "\n";
  }
  cumulative += buckets_.back().load(std::memory_order_relaxed);
  const double sum = static_cast<double>(latencyNanos_.load(std::memory_order_relaxed)) / 1e9;
  out << "tav_query_duration_seconds_bucket{le=\"+Inf\"} " << cumulative << "\n"
      << "tav_query_duration_seconds_sum " << number(sum) << "\n"
      << "tav_query_duration_seconds_count " << cumulative << "\n";

  // Every label is written, zero or not, so that a dashboard sees each limit from the start.
  out << "# HELP tav_limit_refusals_total Requests and connections refused by a limit, by limit.\n"
         "# TYPE tav_limit_refusals_total counter\n";
  for (std::size_t i = 0; i < kLimitKinds; ++i) {
    out << "tav_limit_refusals_total{limit=\"" << limitLabel(static_cast<Limit>(i)) << "\"} "
        << refusals_[i].load(std::memory_order_relaxed) << "\n";
  }
  // Closed is read first: a connection that opens and closes between the two reads then cannot
  // make the gauge negative.
  const std::uint64_t closed = closed_.load(std::memory_order_relaxed);
  const std::uint64_t opened = opened_.load(std::memory_order_relaxed);
  out << "# HELP tav_connections_accepted_total Connections accepted and kept.\n"
         "# TYPE tav_connections_accepted_total counter\n"
      << "tav_connections_accepted_total " << opened << "\n"
      << "# HELP tav_open_connections Connections open now.\n"
         "# TYPE tav_open_connections gauge\n"
      << "tav_open_connections " << (opened >= closed ? opened - closed : 0) << "\n"
      << "# HELP tav_sessions_opened_total Operator sessions opened by successful sign-ins.\n"
         "# TYPE tav_sessions_opened_total counter\n"
      << "tav_sessions_opened_total " << sessions_.load(std::memory_order_relaxed) << "\n";
  return out.str();
}

}  // namespace tav::server
