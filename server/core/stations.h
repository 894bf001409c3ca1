// Registered gate PCs: their keys, the setup operations on them, and the directory a server knows
// a request's station by.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/core/caller.h"
#include "server/core/sessions.h"
#include "server/core/store.h"

namespace tav::server {

// A station's last request is written at most this often, as a session's last use is.
inline constexpr TimeMs kStationSeenMs = 60 * 1000;
// How old a server's list of registered stations may grow while keys arrive before it reads the
// list again, for the last-seen times and to forget removed keys; a request never waits for it
// (a removal is checked in the store where it matters, see stationLive).
inline constexpr std::chrono::milliseconds kStationRefresh{2000};
// How often a key the list does not hold may have the stations read again before it is judged:
// a station registered while the server runs is known at its first request, and a stranger's
// made-up keys cost the store one read per interval in all, shared by every request that waits.
inline constexpr std::chrono::milliseconds kStationRecheck{250};
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

// How long an enrolment code opens a browser station after it was made.
inline constexpr TimeMs kEnrolmentLifeMs = 15 * 60 * 1000;

struct Enrolment {
  std::string code;  // given out once: the store keeps only its hash
  TimeMs expires = 0;
};

// Makes a one-time code for a browser station of the venue, under the name and block addStation
// would take (and checks them as it does): the station is made when an operator of the venue
// redeems the code within kEnrolmentLifeMs. Throws SetupError, keeping nothing.
Enrolment makeEnrolment(Store& store, const std::string& placeCode, const std::string& name, const std::string& block);

// Redeems an enrolment code for the operator whose live session `sessionToken` is: registers the
// station it names and returns it with its key. Throws NotSignedIn without a live session, and
// ActionRefused for a code that is unknown, used, expired, of another venue, or whose name a live
// station took meanwhile; nothing changes then. Case, blanks and dashes in `code` do not matter.
AddedStation redeemEnrolment(Store& store, const std::string& code, const std::string& sessionToken);

// Removes the venue's station of that name: its key opens nothing from then on, on every server of
// the store, and the sessions opened through it end at once. Throws SetupError for no such station.
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
  // When any server of the store last saw it, as the store held it when the directory was read:
  // written at most once a minute.
  std::optional<TimeMs> lastSeen;
};

// Whether the station is registered and not removed, as the reader sees the store now: what a
// request checks of its key where the directory's list may be older than a removal. Reads every
// station (a few hundred at most), so it is for the rarer requests: sign-ins, and a keyed request
// with a session that was not opened through its station.
bool stationLive(Reader& reader, std::int64_t stationId);
// The same in a write that opens a session through the station, holding the station's row until
// the write ends: a removal on any server either came first and is seen here, or waits and then
// ends the session with the others (it ends them by the station they name).
bool holdLiveStation(Transaction& tx, std::int64_t stationId, TimeMs now);

// The caller's live session, as far as a request may use it: a session opened through a station
// serves that station's key only, and one opened without a key serves a key only while the store
// still holds its station (the directory may not know of a removal yet). A session bound to the
// caller's own station needs no such look: removing the station ended it.
std::optional<SessionInfo> callerSession(Reader& reader, const Caller& caller, TimeMs now);

// The live stations by the hash of their key, held in memory and shared by every request. A
// known key never waits for the store: a ticket check pays no store round trip for its key. When
// a key arrives and the list is kStationRefresh old, a thread of its own reads the stations again
// and writes the last-seen times of the stations that asked (at most once a minute each, and until
// the last one is written). A well-formed key the list does not hold waits for the next read that
// starts after it, at most one per kStationRecheck, shared by every key waiting then: a station
// added a moment ago is known at its first request, however many keys a stranger makes up the
// store is read at most once per kStationRecheck, and a server that gets no keys reads nothing.
// What waits is bounded by the connections, each of which has one request under way at most.
class StationDirectory {
 public:
  using Found = std::function<void(std::optional<StationInfo>)>;

  // Reads the stations at once; a store that does not answer leaves the directory empty (every
  // key unknown) until a later refresh succeeds.
  explicit StationDirectory(Store& store);
  // Stops the thread; keys still waiting are answered from the list at hand, on the caller's thread.
  ~StationDirectory();
  StationDirectory(const StationDirectory&) = delete;
  StationDirectory& operator=(const StationDirectory&) = delete;

  // The live station the key names. True when the list at hand settles it (no key, a malformed
  // one, a known one): `found` holds the answer and `later` is dropped. False for a well-formed key
  // the list does not hold: `later` then runs once, on the directory's thread, with the answer
  // from the next read of the stations (or from the list at hand if that read fails); it must be
  // quick. A station found is noted as having asked just now.
  bool lookup(const std::string& key, std::optional<StationInfo>& found, Found later);
  // Reads the stations now and writes the last-seen times due, on the caller's thread. Throws
  // what the store throws; the directory then keeps what it knew.
  void refresh();

  // When the station's longest silence since the last takeLongestSilence for it began: its last
  // request before the longest stretch without one (by the server's clock), or none when it asked
  // nothing twice. What a hand-over of offline decisions takes as the start of the station's outage.
  std::optional<TimeMs> longestSilence(std::int64_t stationId) const;
  // The same, and forgets the silences, so that the next call sees only later ones: once a
  // hand-over was taken.
  std::optional<TimeMs> takeLongestSilence(std::int64_t stationId);

 private:
  using Map = std::unordered_map<std::string, StationInfo>;  // by key hash
  struct Waiting {
    std::string hash;
    Found later;
  };

  void run();
  // refresh(), calling `listRead` once the new list is in place, before the last-seen times.
  void refresh(const std::function<void()>& listRead);
  // The station of the key hash in the list at hand, noted as seen; mutex_ held.
  std::optional<StationInfo> known(const std::string& hash);
  // Answers the keys that waited for a read from the list at hand; mutex_ not held.
  void answer(std::vector<Waiting> waiting);

  Store& store_;
  mutable std::mutex mutex_;  // guards everything below but refreshMutex_ and thread_
  std::shared_ptr<const Map> known_;
  std::unordered_map<std::int64_t, TimeMs> seen_;  // stations that asked since their last write
  struct Asked {
    TimeMs last = 0;
    std::optional<TimeMs> silenceFrom;  // the longest silence since takeLongestSilence
    TimeMs silenceMs = -1;
  };
  std::unordered_map<std::int64_t, Asked> asked_;  // every live station that asked
  std::chrono::steady_clock::time_point readAt_;   // when the list was last read (or tried)
  bool wanted_ = false;   // a lookup asked for a fresh list
  std::vector<Waiting> waiting_;  // unknown keys waiting for the next read
  bool pending_ = false;  // a station asked since its last-seen time was last written
  bool stopping_ = false;
  std::condition_variable wake_;
  std::mutex refreshMutex_;  // one refresh at a time
  std::thread thread_;
};

}  // namespace tav::server
