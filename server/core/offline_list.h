// The offline list a registered station fetches to go on checking while the back-end is out of
// reach: who may have it, the tickets it is read from, and the note that the station has it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "server/core/caller.h"
#include "server/core/store.h"

namespace tav::server {

// Tickets read from the store at a time while a list is made, all in one snapshot.
inline constexpr std::size_t kOfflineListPage = 10000;

// Why a list was not given; offlineListAnswer's sentence says it to the person who reads it.
enum class OfflineListRefusal {
  None,
  BadRequest,    // no event named, or a block that is none of the blocks nor offline::kAllBlocks
  NotAllowed,    // no live session of the event's venue, or no live registered station of it
  UnknownEvent,  // no event with the business code
  OfflineOff,    // the event's offline checking is off
};

struct OfflineListAnswer {
  OfflineListRefusal refusal = OfflineListRefusal::None;
  std::string sentence;  // why, when refused
  std::string list;      // the list's bytes (offline/list.h), when given
  std::size_t tickets = 0;
};

// What this server remembers of the lists it gave out: the last fetch of each station, event and
// block. Bounded by the registered stations, as only they get lists. Safe from any thread.
class OfflineFetches {
 public:
  void note(const OfflineListFetch& fetch);
  // When the station last fetched the list of the event and block from this server; none if never.
  std::optional<TimeMs> lastFetch(std::int64_t station, const std::string& bizCode, const std::string& block) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::tuple<std::int64_t, std::string, std::string>, TimeMs> last_;
};

// The offline list of the event's tickets of `block` (one of kBlocks, or offline::kAllBlocks: every
// block, block by block) for the caller. Who asks is settled first, before anything of the event
// is told: the caller needs a live session and the key of a live registered station (Caller::station
// and stationPlace, as the server's station directory found them; a session opened through a
// station serves that station only); then the event must exist, be of the venue of both, and have
// offline checking on. Each refusal reads no ticket and writes nothing. A list given is noted in the
// store, durably, before it is returned (a hand-over later takes decisions only from a station
// that fetched a list), and in `fetches` when given. Throws StoreUnavailable when the store cannot
// answer or keep the note: no list is given then.
OfflineListAnswer fetchOfflineList(Store& store, const std::string& bizCode, const std::string& block,
                                   const Caller& caller, OfflineFetches* fetches = nullptr);

}  // namespace tav::server
