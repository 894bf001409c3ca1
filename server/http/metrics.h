// Counters, gauges and the latency histogram of the HTTP service, rendered as Prometheus text.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace tav::server {

// What a connection limit refused: each is counted under its own label.
enum class Limit {
  HeaderSize,            // header block over 8 KiB
  BodySize,              // body over 8 KiB, counted as it arrives
  ContentEncoding,       // a content or transfer coding the server does not take
  RequestTimeout,        // a request not whole within its deadline
  IdleTimeout,           // a keep-alive connection idle too long
  ConnectionsPerSource,  // a connection over the cap of one source address
  SignInsPerMinute,      // a sign-in over the rate of one source address
  ConnectionBudget,      // an idle connection closed to keep descriptors for new ones
  SignInQueueFull,       // a sign-in the bounded queue could not take
  SignInQueueWait,       // a sign-in that waited too long in the queue
  StalledResponse,       // an answer or stream the client stopped taking
  ForeignOrigin,         // a request that acts, sent by another site's page
  ProxyHeader,           // a PROXY protocol header missing, malformed, late, or from an untrusted address
  QueuedBytes,           // a page file put off while slow readers hold too many answers' bytes
};
inline constexpr std::size_t kLimitKinds = 14;

// Thread-safe: every record* may be called from any worker thread at any time. Recording takes
// no lock (atomic counters), since every check of every station goes through it.
class Metrics {
 public:
  // Upper bounds of the latency buckets, in seconds; the last bucket (+Inf) is implicit.
  static constexpr std::array<double, 13> kLatencyBounds{0.00025, 0.0005, 0.001, 0.002, 0.005,
                                                         0.01,    0.02,   0.05,  0.1,   0.25,
                                                         0.5,     1.0,    2.5};
  // Distinct (procedure, ErrCode) pairs counted one by one; any further pair is counted under
  // the procedure "other" and code "other" (the procedures answer a handful of codes).
  static constexpr std::size_t kMaxAnswerKinds = 64;

  // One command text arrived on the Query route, whatever becomes of it.
  void recordRequest();
  // A command was answered with a recordset: its procedure and ErrCode ("" for statistics).
  void recordAnswer(const std::string& procedure, const std::string& code);
  // Any answer with a status of 400 or above, on any route (statuses above 599 count as 599).
  void recordError(int status);
  // Time from the arrival of a command text to its answer being ready, answered or not.
  void recordLatency(std::chrono::nanoseconds elapsed);
  // A request or a connection refused by one of the limits.
  void recordRefusal(Limit limit);
  // A connection accepted (and kept) or closed; their difference is the open-connections gauge.
  void connectionOpened();
  // An operator sign-in opened a session.
  void sessionOpened();
  void connectionClosed();

  // The Prometheus text exposition (version 0.0.4) of everything recorded so far.
  std::string render() const;

 private:
  // A slot's labels are written once, before answerKinds_ is raised past it, and never again.
  struct AnswerKind {
    std::string procedure, code;
    std::atomic<std::uint64_t> count{0};
  };

  std::atomic<std::uint64_t> requests_{0};
  std::array<AnswerKind, kMaxAnswerKinds> answers_;
  std::atomic<std::size_t> answerKinds_{0};
  std::atomic<std::uint64_t> otherAnswers_{0};
  std::mutex newKindMutex_;  // taken only the first time a pair is seen
  std::array<std::atomic<std::uint64_t>, 200> errors_{};  // by status - 400
  std::array<std::atomic<std::uint64_t>, kLatencyBounds.size() + 1> buckets_{};  // not cumulative
  std::atomic<std::uint64_t> latencyNanos_{0};
  std::array<std::atomic<std::uint64_t>, kLimitKinds> refusals_{};
  std::atomic<std::uint64_t> opened_{0}, closed_{0};
  std::atomic<std::uint64_t> sessions_{0};
};

}  // namespace tav::server
