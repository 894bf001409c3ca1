// The keys that make a retried ticket check the same check: how one is made, and the station's
// memory of the checks that stayed unanswered, so that a rescan of such a fan reuses its key.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace tav::backend {

// A new idempotency key: 16 random bytes in base64url without padding (wire::isIdempotencyKey).
// Throws BackendError when the system has no randomness to give.
std::string newIdempotencyKey();

// Checks that got no answer even after their retry, each with the key it was sent with, by
// command text (ticket, mode, block, event and operator). The back-end may have kept such a check;
// sent again with its key, it answers with what it decided then instead of deciding afresh. Kept
// in memory only, for a while and in a bounded number: a fan set aside is rescanned within
// minutes, not hours. Thread-safe.
class UnansweredChecks {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kCapacity = 50;
  static constexpr std::chrono::minutes kKeptFor{30};

  // The key to send a check of `command` with: the one kept for it when there is one younger than
  // kKeptFor, otherwise a new one.
  std::string keyFor(const std::string& command, Clock::time_point now = Clock::now());
  // The check of `command` sent with `key` stayed unanswered: it is kept from `now` on, as the
  // newest; beyond kCapacity the oldest goes.
  void remember(const std::string& command, const std::string& key, Clock::time_point now = Clock::now());
  // The check of `command` was answered: its key has done its work.
  void forget(const std::string& command);
  std::size_t size() const;
  void clear();

 private:
  struct Entry {
    std::string command;
    std::string key;
    Clock::time_point since;
  };
  // Both with the mutex held.
  void dropExpired(Clock::time_point now);
  void dropCommand(const std::string& command);

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;  // oldest first
};

// The memory every proxy of this program shares, as it shares the session cookie.
UnansweredChecks& unansweredChecks();

}  // namespace tav::backend
