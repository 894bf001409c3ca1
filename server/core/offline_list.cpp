// The offline list: the rules on who gets it, and its tickets read block by block from one snapshot.
#include "server/core/offline_list.h"

#include <algorithm>
#include <vector>

#include "offline/list.h"
#include "server/core/local_time.h"
#include "server/core/sessions.h"
#include "server/core/setup.h"
#include "server/core/stations.h"

namespace tav::server {
namespace {

const std::string kNotAllowed =
    "The offline list is given to a registered station of the event's venue whose operator is signed in; "
    "sign in at such a station.";
const std::string kUnknownEvent = "There is no event with this business code.";
const std::string kOfflineOff =
    "Offline checking is off for this event; the venue turns it on with tav-server set-event --offline on.";

std::string badRequest() {
  return "Name the list's event and block: bizcode, and block " + blockNames(", ") + " or " +
         std::string(offline::kAllBlocks) + " for every block.";
}

OfflineListAnswer refused(OfflineListRefusal why, const std::string& sentence) {
  OfflineListAnswer a;
  a.refusal = why;
  a.sentence = sentence;
  return a;
}

// The caller's session, when it may have the event's list: as a ticket check's session is judged
// (a session opened through a station serves that station only; one opened without a key serves a
// key only while the store still holds its station), with a registered station required.
std::optional<SessionInfo> listSession(Reader& r, const Caller& caller, TimeMs now) {
  return caller.station != 0 ? callerSession(r, caller, now) : std::nullopt;
}

}  // namespace

void OfflineFetches::note(const OfflineListFetch& f) {
  std::lock_guard<std::mutex> lock(mutex_);
  TimeMs& at = last_[{f.station, f.bizCode, f.block}];
  at = std::max(at, f.fetchedAt);
}

std::optional<TimeMs> OfflineFetches::lastFetch(std::int64_t station, const std::string& bizCode,
                                                const std::string& block) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = last_.find({station, bizCode, block});
  if (it == last_.end()) return std::nullopt;
  return it->second;
}

OfflineListAnswer fetchOfflineList(Store& store, const std::string& bizCode, const std::string& block,
                                   const Caller& caller, OfflineFetches* fetches) {
  const bool allBlocks = block == offline::kAllBlocks;
  if (bizCode.empty() || (!allBlocks && !blockIndex(block))) return refused(OfflineListRefusal::BadRequest, badRequest());

  OfflineListAnswer answer;
  offline::ListHeader header;
  std::vector<offline::ListRecord> records;
  store.read([&](Reader& r) {
    answer = OfflineListAnswer{};
    records.clear();
    const TimeMs now = store.now();
    const std::optional<SessionInfo> session = listSession(r, caller, now);
    if (!session) return void(answer = refused(OfflineListRefusal::NotAllowed, kNotAllowed));
    const std::optional<Event> event = r.findEvent(bizCode);
    if (!event) return void(answer = refused(OfflineListRefusal::UnknownEvent, kUnknownEvent));
    if (event->placeCode != session->placeCode || event->placeCode != caller.stationPlace)
      return void(answer = refused(OfflineListRefusal::NotAllowed, kNotAllowed));
    if (!event->offline) return void(answer = refused(OfflineListRefusal::OfflineOff, kOfflineOff));

    header.bizCode = bizCode;
    header.block = block;
    header.serverTimeMs = now;
    header.utcOffsetMinutes = localZone(now).utcOffsetMinutes;
    header.hashKey = offline::hashKeyFromHex(event->offlineKey);
    header.maxAgeMinutes = event->offlineMaxAgeMinutes;
    for (std::size_t b = 0; b < kBlocks.size(); ++b) {
      if (!allBlocks && kBlocks[b] != block) continue;
      for (std::int64_t after = 0;;) {
        const std::vector<TicketState> page = r.ticketStates(bizCode, kBlocks[b], after, kOfflineListPage);
        for (const TicketState& t : page)
          records.push_back(offline::listRecord(offline::ticketHash(header.hashKey, t.ticketNo), b, t.cancelled,
                                                t.inside, t.entryCount, t.lastEntry.value_or(0)));
        if (page.size() < kOfflineListPage) break;
        after = page.back().id;
      }
    }
  });
  if (answer.refusal != OfflineListRefusal::None) return answer;

  const OfflineListFetch fetch{caller.station, bizCode, block, header.serverTimeMs};
  store.write([&](Transaction& tx) { tx.noteOfflineList(fetch); });
  if (fetches) fetches->note(fetch);
  answer.tickets = records.size();
  answer.list = offline::encodeList(header, std::move(records));
  return answer;
}

}  // namespace tav::server
