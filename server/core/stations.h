// Registered gate PCs: their keys, the setup operations on them, and the directory a server knows
// a request's station by.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/core/store.h"

namespace tav::server {

// A station's last request is written at most this often, as a session's last use is.
inline constexpr TimeMs kStationSeenMs = 60 * 1000;
// How old a server's list of registered stations may grow while keys arrive before it reads the
// list again: a station added or removed while it serves counts from then on.
inline constexpr std::chrono::milliseconds kStationRefresh{2000};
// The longest station name the command line takes.
inline constexpr std::size_t kMaxStationName = 100;

// 32 random bytes, base64url without padding, as session tokens: what the station holds.
std::string newStationKey();
// True for text of the form newStationKey makes (43 characters of the base64url alphabet).
bool wellFormedStationKey(std::string_view key);
// The SHA-256 of the key, in hex: what the store holds.
std::string stationKeyHash(const std::string& key);

// What the scan log, the dashboard's gates and a session name a keyed request by, in place of the
// client's address: "station:<id>". No address has this form, and the source is taken from the
// connection and the directory, never from the request's own words, so it cannot be forged.
std::string stationSource(std::int64_t stationId);
// The station a source names, or none for an address.
std::optional<std::int64_t> stationOfSource(std::string_view source);

// A station's names by id, removed ones too: what a person reads in place of stationSource.
using StationNames = std::unordered_map<std::int64_t, std::string>;
StationNames stationNames(Reader& reader);
// The station's name for a station's source ("(removed station 7)" if the store has none), the
// source itself for an address.
std::string sourceLabel(const std::string& source, const StationNames& names);

struct AddedStation {
  StationRecord station;
  std::string key;  // given out once: the store keeps only its hash
};

// Registers a station of the venue. The name must be new among the venue's stations (a removed
// station's name may be taken again) and may not be an IP address, which it would then be read
// as; the block is empty or one of kBlocks. Throws SetupError, adding nothing.
AddedStation addStation(Store& store, const std::string& placeCode, const std::string& name,
                        const std::string& block);

// Removes the venue's station of that name: its key opens nothing from the next refresh of every
// server on, and the sessions opened through it end at once. Throws SetupError for no such station.
void removeStation(Store& store, const std::string& placeCode, const std::string& name);

struct StationSummary {
  std::string name, block;
  std::optional<TimeMs> lastSeen;
  std::string signedIn;  // the operator of the live session opened through it, or empty
};
// The venue's stations in name order; SetupError for an unknown venue.
std::vector<StationSummary> listStations(Store& store, const std::string& placeCode);

// One sign-in lockout in force: an operator ID locked for one address, for one station, or for
// every sign-in without a station key.
struct LockoutSummary {
  std::string operatorId;
  std::string where;  // "address 10.0.0.7", "station 3번 게이트" or "everywhere without a station key"
  TimeMs since = 0, until = 0;
};
// The lockouts of the venue's operators in force now, by ID, then by when they end; SetupError
// for an unknown venue.
std::vector<LockoutSummary> listLockouts(Store& store, const std::string& placeCode);

// The registered station a key names, as the procedures need it.
struct StationInfo {
  std::int64_t id = 0;
  std::string placeCode, name, block;
};

// The live stations by the hash of their key, held in memory and shared by every request. A
// lookup never reads the store: a stranger's made-up keys cost a hash and a map lookup each, and
// the memory is bounded by the number of registered stations. When a key arrives and the list is
// kStationRefresh old, a thread of its own reads the stations again and writes the last-seen
// times of the stations that asked (at most once a minute each, and until the last one is
// written): a ticket check pays no store round trip for its key, however many keys arrive the
// store is read at most once per kStationRefresh, and a server that gets no keys reads nothing.
class StationDirectory {
 public:
  // Reads the stations at once; a store that does not answer leaves the directory empty (every
  // key unknown) until a later refresh succeeds.
  explicit StationDirectory(Store& store);
  ~StationDirectory();
  StationDirectory(const StationDirectory&) = delete;
  StationDirectory& operator=(const StationDirectory&) = delete;

  // The live station the key names, or none; notes that the station asked just now, and asks the
  // directory's thread for a fresh list when this one is old. The answer is from the list at hand.
  std::optional<StationInfo> lookup(const std::string& key);
  // Reads the stations now and writes the last-seen times due, on the caller's thread. Throws
  // what the store throws; the directory then keeps what it knew.
  void refresh();

 private:
  using Map = std::unordered_map<std::string, StationInfo>;  // by key hash

  void run();

  Store& store_;
  std::mutex mutex_;  // guards everything below but refreshMutex_ and thread_
  std::shared_ptr<const Map> known_;
  std::unordered_map<std::int64_t, TimeMs> seen_;  // stations that asked since their last write
  std::chrono::steady_clock::time_point readAt_;   // when the list was last read (or tried)
  bool wanted_ = false;   // a lookup asked for a fresh list
  bool pending_ = false;  // a station asked since its last-seen time was last written
  bool stopping_ = false;
  std::condition_variable wake_;
  std::mutex refreshMutex_;  // one refresh at a time
  std::thread thread_;
};

}  // namespace tav::server
