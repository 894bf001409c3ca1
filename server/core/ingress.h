// The live ingress dashboard's figures for one event: one snapshot read from the store's counters.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/core/sessionless_tally.h"
#include "server/core/store.h"

namespace tav::server {

// The windows the dashboard shows, in minutes.
inline constexpr std::int64_t kFlowMinutes = 180;     // entries and exits per minute
inline constexpr std::int64_t kRefusalMinutes = 30;   // refusals by reason
inline constexpr std::int64_t kGateMinutes = 10;      // checks and refusals per gate
// A gate with no check for this long is marked silent; one silent for the whole flow window is
// no longer listed.
inline constexpr TimeMs kSilentGateMs = 5 * 60 * 1000;

// The control room's alarms. A gate silent for kSilentGateMs is an alarm only when it checked
// within this before: gates not yet opened, and gates the crowd has long passed, stay quiet.
inline constexpr TimeMs kSilentAlarmRecentMs = 30 * 60 * 1000;
// A gate's refusals of tickets that do not exist or were cancelled (counterfeits, resold refunds)
// over this many minutes raise an alarm when they reach both this many and this share of its
// checks: a few at a quiet gate, or a steady trickle at a busy one, do not.
inline constexpr std::int64_t kSpikeMinutes = 5;
inline constexpr std::int64_t kSpikeMinRefusals = 10;
inline constexpr std::int64_t kSpikeSharePercent = 20;
inline constexpr std::array<std::string_view, 2> kSpikeReasons{"unknown-ticket", "cancelled"};
// How far back a refusal spike is followed to find when it began (its alarm's identity).
inline constexpr std::int64_t kSpikeLookbackMinutes = 60;
// A stand's inside count raises an alarm at each of these shares of its capacity.
inline constexpr std::array<std::int64_t, 2> kCapacityPercents{95, 100};
// A hand-over's offline conflicts and refused decisions are an alarm for this long after the
// hand-over: the match day's control room sees them, the next day's does not.
inline constexpr TimeMs kConflictAlarmMs = kFlowMinutes * kMinuteMs;

// One alarm in force. `id` names this occurrence: the same while it lasts, another when it ends and
// comes again, so that a page keeps an acknowledgement for exactly as long as it applies.
struct IngressAlarm {
  std::string kind;      // "silent-gate", "refusal-spike", "capacity" or "offline-handover"
  std::string id;
  std::string subject;   // the gate's name (or address), or the stand block; the station handing over
  TimeMs since = 0;      // the gate's last check; when the spike or the fill began; the hand-over
  // Refusals of checks; inside of capacity; a hand-over's conflicts and refused decisions.
  std::int64_t count = 0, of = 0;
  std::int64_t percent = 0;        // the capacity level reached
  // An offline-handover alarm's lines, their gates by the names the page shows.
  std::vector<OfflineConflict> conflicts;
};

// A registered station of the venue as the control room sees it.
struct IngressStation {
  std::string name, block;
  std::string operatorId;  // of the live session opened through it; empty when none
  TimeMs signedInAt = 0;   // when that session was opened
  std::optional<TimeMs> lastCheck;  // of the event, within the flow window
  std::optional<TimeMs> lastSeen;   // any request with its key
  // Not seen for kSilentGateMs beyond the minute its last request may be written late by.
  bool silent = true;
  // The last offline list of the snapshot's event it fetched that serves its block, and whether
  // that list is younger than the event's offline max age (the event's offline checking on).
  std::optional<TimeMs> listFetchedAt;
  bool offlineReady = false;
  bool browser = false;  // a browser's station page, enrolled by a one-time code
};

struct IngressSnapshot {
  TimeMs serverTime = 0;
  bool hasEvent = false;  // false: the venue has no such event; only the time and `events` are set
  Event event;
  std::vector<Event> events;    // the venue's events, to choose from
  std::int64_t firstMinute = 0;  // the flow window's first minute; it ends with the current one
  IngressCounts counts;
  // Addresses that asked without a live session, apart from the gates: each server lists those it
  // saw itself (SessionlessTally), since they are counted in its memory, not in the store.
  std::vector<Stranger> strangers;
  std::vector<std::string> gateBlocks;  // the block of each of counts.gates' stations ("" for none)
  BlockCapacity capacity{};
  // Per block, the offline conflicts that let a holder in while the ticket was inside: a second
  // person in the stand on one ticket, counted in counts.inside too.
  std::array<std::int64_t, kBlockCount> insideTwice{};
  std::vector<IngressStation> stations;  // in name order
  std::vector<IngressAlarm> alarms;      // gates by name, then stands
  std::string timeZone;                  // the server's, as "KST (+0900)"
  std::int64_t utcOffsetMinutes = 0;     // of the server's zone at serverTime
};

// Runs in the snapshot's read with the reader and the snapshot's time; it may run more than once.
using AlsoRead = std::function<void(Reader&, TimeMs)>;

// The snapshot of the venue's event `bizCode`, or of its active event when `bizCode` is empty.
// One read of the store, at the store's clock, which `alsoRead` may share (the stream checks its
// viewers' sessions there).
IngressSnapshot takeIngressSnapshot(Store& store, const std::string& placeCode,
                                                   const std::string& bizCode, const AlsoRead& alsoRead = {});

// The alarms in force in a snapshot's counts, at its time: takeIngressSnapshot calls it while the
// gates' sources are still the store's, with `labels` the names the page shows for them.
std::vector<IngressAlarm> ingressAlarms(const IngressSnapshot& snapshot, const std::vector<std::string>& labels);

// Entries (or exits) of one block per minute over the flow window, oldest first.
std::vector<std::int64_t> flowSeries(const IngressSnapshot& snapshot, std::size_t block, bool exits);

}  // namespace tav::server
