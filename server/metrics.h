// Counters and the latency histogram of the HTTP service, rendered as Prometheus text.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace tav::server {

// Thread-safe: every record* may be called from any worker thread at any time.
class Metrics {
 public:
  // Upper bounds of the latency buckets, in seconds; the last bucket (+Inf) is implicit.
  static constexpr std::array<double, 13> kLatencyBounds{0.00025, 0.0005, 0.001, 0.002, 0.005,
                                                         0.01,    0.02,   0.05,  0.1,   0.25,
                                                         0.5,     1.0,    2.5};

  // One command text arrived on the Query route, whatever becomes of it.
  void recordRequest();
  // A command was answered with a recordset: its procedure and ErrCode ("" for statistics).
  void recordAnswer(const std::string& procedure, const std::string& code);
  // Any answer with a status of 400 or above, on any route.
  void recordError(int status);
  // Time from the arrival of a command text to its answer being ready, answered or not.
  void recordLatency(std::chrono::nanoseconds elapsed);

  // The Prometheus text exposition (version 0.0.4) of everything recorded so far.
  std::string render() const;

 private:
  std::atomic<std::uint64_t> requests_{0};
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, std::uint64_t> answers_;  // (procedure, code)
  std::map<int, std::uint64_t> errors_;                                   // status
  std::array<std::uint64_t, kLatencyBounds.size() + 1> buckets_{};        // not cumulative
  std::uint64_t latencyCount_ = 0;
  double latencySum_ = 0;
};

}  // namespace tav::server
