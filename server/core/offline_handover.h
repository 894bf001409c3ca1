// The hand-over: decisions a station made offline, taken into the store as what happened at the
// gate, line by line, with the station's acknowledged sequence kept so that nothing is taken twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "offline/handover.h"
#include "server/core/caller.h"
#include "server/core/store.h"

namespace tav::server {

// A hand-over waits while more writes than this queue for the store: live checks go first.
inline constexpr std::size_t kHandoverWritesWaiting = 8;
// How long a deferred hand-over is told to wait, in seconds.
inline constexpr int kHandoverRetryAfterSeconds = 10;
// Requests of one station this close together are one hand-over, sharing one gap.
inline constexpr TimeMs kHandoverRunMs = 60 * 1000;
// A gap allows one decision for each this many milliseconds of it.
inline constexpr TimeMs kHandoverMsPerDecision = 1000;
// The `code` of every scan-log line a hand-over writes: the line's outcome word is the gate's
// (entry, exit, a refusal) or kOutcomeOfflineConflict, so that the dashboard counts offline
// entries as entries, and this marks it as decided offline.
inline constexpr std::string_view kHandoverCode = "offline";
// The outcome of a line the station admitted and the back-end would have refused.
inline constexpr std::string_view kOutcomeOfflineConflict = "offline-conflict";

// Whether the scan-log line is a station's decision handed over after an outage; its time is then
// the station's (clamped into its silence), not the hand-over's.
inline bool isOfflineDecision(const ScanRecord& line) { return line.kind == "check" && line.code == kHandoverCode; }

// When a station's decisions may lie, by the server's clock: from its last answered request before
// its silence to the hand-over, and how many decisions the hand-over took in it so far.
struct HandoverGap {
  TimeMs from = 0, to = 0;
  std::int64_t used = 0;
  std::int64_t allowed() const { return (to - from) / kHandoverMsPerDecision; }
};

// The gaps of the stations handing over now, in memory. A hand-over's requests that follow one
// another within kHandoverRunMs share the gap of the first; a new hand-over opens a new one.
class HandoverGaps {
 public:
  // The gap of the station's hand-over at `now`: a continuing one, or a new one from `silenceFrom`
  // (the start of the station's longest silence since its last hand-over; none: no silence).
  HandoverGap open(std::int64_t station, TimeMs now, std::optional<TimeMs> silenceFrom);
  // Notes that the station's hand-over at `now` took `used` decisions of its gap in all.
  void used(std::int64_t station, TimeMs now, std::int64_t used);

 private:
  struct Run {
    HandoverGap gap;
    TimeMs last = 0;
  };
  std::mutex mutex_;
  std::map<std::int64_t, Run> runs_;
};

enum class HandoverRefusal {
  None,
  NotAllowed,  // no live session of the lines' operator through a live registered station: 403
  Deferred,    // live checks queue: 503, try again after kHandoverRetryAfterSeconds
};

struct HandoverOutcome {
  HandoverRefusal refusal = HandoverRefusal::None;
  std::string sentence;  // why, when refused
  offline::HandoverAnswer answer;
  // The lines accepted or kept as conflicts: what the gap used.
  std::int64_t taken = 0;
  // The control room's alarm the conflicts and refused decisions were reported under (the id of
  // the first of them); 0 when there were none and none was given.
  std::int64_t conflictAlarm = 0;
};

// Takes a station's offline decisions (decodeHandover's lines: sequences rising) in one write.
// `caller` names the station (Caller::station, stationPlace) and the session. With a gap, the
// caller needs a live session of every line's operator, opened through the station or without a
// station while the station is live; else NotAllowed and nothing is written. Without a gap (the
// import of a journal, which the person running it vouches for) neither session nor gap is asked
// for, and a station of 0 skips the list's check and keeps no sequence (its lines are known again
// by their keys alone, so that journals of several unnamed stations never shadow one another).
// Per line: a sequence at or below the station's acknowledged one is "same"; then the line is
// refused unless its event exists, is of the station's venue and has offline checking on, the
// station fetched a list of its event and block, and (with a gap) its gap allows one more. A line
// whose key the scan log holds is "same". The rest are kept with their time (clamped into the
// gap): a decision the back-end would refuse is a conflict; an entry or exit later than the
// ticket's last change changes the ticket; one that is not is still counted as a passage of its
// minute. Each conflict is kept for the control room with the line it clashes with, and each
// refused decision of an event of the station's venue with why, under one alarm per hand-over:
// `conflictAlarm`'s when given (an import's later requests join its first's), else a new one; a
// conflict admitted while its ticket was inside counts as an entry of its minute. The
// acknowledged sequence becomes the last line's. Throws StoreUnavailable (nothing kept).
HandoverOutcome handOver(Store& store, const Caller& caller, const std::vector<offline::Decision>& lines,
                         const std::optional<HandoverGap>& gap, std::int64_t conflictAlarm = 0);

}  // namespace tav::server
