// The password checks of operator sign-ins: a bounded queue, ranked so that a flood of sign-ins
// from a few addresses, or from many new ones, cannot keep a gate's operator waiting, run on
// threads of their own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/http/source_limits.h"

namespace tav::server {

class SignInQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // Why a sign-in was not run.
  enum class Refusal {
    Full,      // the queue held better-ranked sign-ins
    Late,      // it waited longer than the queue's wait limit
    Gone,      // its client hung up before its turn
    Stopping,  // the server is stopping
  };

  struct Job {
    // Sign-ins from a registered station go first; then by their address's standing (one an
    // operator signed in from, then one seen before the last few minutes, then a new one), so that
    // a venue's keyless gates come before a crowd of new addresses; then those whose address
    // signed in least in the last minute: an operator who signs in now and then comes before a
    // flood.
    bool fromStation = false;
    AddressStanding standing = AddressStanding::New;
    std::size_t recentFromSource = 0;
    std::function<void()> run;             // verifies and answers
    std::function<void(Refusal)> refuse;   // answers instead of run (exactly one of them is called)
    std::function<bool()> gone;            // true once nobody waits for the answer
  };

  // `threads` run the checks (at least one); at most `capacity` wait; none waits over `maxWait`.
  SignInQueue(std::size_t threads, std::size_t capacity, Clock::duration maxWait, const std::string& name);
  // stop(), then joins the threads once the checks under way are done.
  ~SignInQueue();
  SignInQueue(const SignInQueue&) = delete;
  SignInQueue& operator=(const SignInQueue&) = delete;

  // Queues the job, or refuses it (or a worse-ranked one already waiting) with Full at once.
  void submit(Job job);
  // Refuses everything waiting with Stopping, and every later job too; does not wait.
  void stop();

  std::size_t waiting() const;
  std::size_t capacity() const { return capacity_; }
  Clock::duration maxWait() const { return maxWait_; }

 private:
  struct Waiting {
    bool fromStation;
    AddressStanding standing;
    std::size_t recent;
    std::uint64_t order;
    Clock::time_point since;
    mutable Job job;
    bool operator<(const Waiting& o) const {
      if (fromStation != o.fromStation) return fromStation;
      if (standing != o.standing) return standing > o.standing;
      if (recent != o.recent) return recent < o.recent;
      return order < o.order;
    }
  };

  void work();
  void reap();

  const std::size_t capacity_;
  const Clock::duration maxWait_;
  mutable std::mutex mutex_;
  std::condition_variable wake_, reaperWake_;
  std::set<Waiting> waiting_;  // best first
  std::uint64_t next_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
  std::thread reaper_;
};

}  // namespace tav::server
