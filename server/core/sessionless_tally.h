// Requests without a live session, counted in memory per client address and minute, so that a
// stranger's flood costs the store a few lines a minute rather than a line per request.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "server/core/store.h"

namespace tav::server {

// What a request without a live session asked for.
enum class SessionlessKind { Check, PlaceSignIn, Statistics };
inline constexpr std::size_t kSessionlessKinds = 3;

// The first requests of one address in one minute keep their own scan-log lines, as a station
// whose session ended needs them looked at; the rest are only counted.
inline constexpr std::int64_t kSessionlessLinesPerAddress = 3;
// Own lines of all addresses together in one minute: many addresses buy no more than this.
inline constexpr std::int64_t kSessionlessLinesPerMinute = 1000;
// Summary lines of one minute; the addresses beyond share the last one.
inline constexpr std::size_t kSessionlessSummariesPerMinute = 20;
// Addresses counted apart in one minute; requests of further addresses share one count.
inline constexpr std::size_t kSessionlessAddressesPerMinute = 2000;
// Summary lines kept for a store that is not taking writes; the oldest go first.
inline constexpr std::size_t kSessionlessPendingLines = 10 * kSessionlessSummariesPerMinute;
// The dashboard's list of strangers: its window and its length.
inline constexpr std::int64_t kStrangerMinutes = 10;
inline constexpr std::size_t kStrangerRows = 20;

// The outcome of a summary line (kind "check", no business or place code, no session); the source
// of the one that sums the addresses beyond the minute's others.
inline constexpr std::string_view kOutcomeSessionlessCount = "no-session-count";
inline constexpr std::string_view kOtherAddresses = "other addresses";

// One address's requests without a session over the dashboard's window.
struct Stranger {
  std::string source;  // the address (an IPv6 client's /64), or kOtherAddresses
  std::array<std::int64_t, kSessionlessKinds> requests{};  // by SessionlessKind
  TimeMs lastSeen = 0;
};

// Thread-safe; memory stays bounded whatever the number of addresses.
class SessionlessTally {
 public:
  // Counts one request of `address` at `now`; true when it is one of the first few of its
  // address and minute and so gets its own scan-log line (statistics never do: they write nothing).
  bool note(const std::string& address, SessionlessKind kind, TimeMs now);

  // Writes the summary lines of the minutes finished at the store's clock (with `everything`, of
  // the current one too, when the server stops) in one transaction. Throws what Store::write
  // throws; the lines then wait for the next call.
  void flush(Store& store, bool everything = false);

  // The addresses with the most requests in the last kStrangerMinutes at `now`, most first, at
  // most kStrangerRows.
  std::vector<Stranger> strangers(TimeMs now) const;

  // The summary line's message: the requests in all and by kind, and how many had their own line.
  static std::string summaryMessage(const std::array<std::int64_t, kSessionlessKinds>& requests,
                                    std::int64_t ownLines);

 private:
  struct Count {
    std::array<std::int64_t, kSessionlessKinds> requests{};
    std::int64_t ownLines = 0;
    TimeMs lastSeen = 0;
    std::int64_t total() const { return requests[0] + requests[1] + requests[2]; }
    void add(const Count& other);
  };
  struct Minute {
    std::int64_t minute = 0;
    std::unordered_map<std::string, Count> addresses;
    Count beyond;  // addresses past kSessionlessAddressesPerMinute
    std::int64_t ownLines = 0;
  };
  using Ranked = std::vector<std::pair<std::string, Count>>;

  // Turns the minute into its summary lines and keeps its busiest addresses for the dashboard.
  void close(Minute& minute);

  mutable std::mutex mutex_;
  std::optional<Minute> current_;
  std::deque<std::pair<std::int64_t, Ranked>> finished_;  // the window's finished minutes, oldest first
  std::deque<ScanRecord> pending_;                         // summary lines not yet written
};

}  // namespace tav::server
