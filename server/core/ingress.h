// The live ingress dashboard's figures for one event: one snapshot read from the store's counters.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
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
inline constexpr TimeMs kMinuteMs = 60 * 1000;

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
};

// Runs in the snapshot's read with the reader and the snapshot's time; it may run more than once.
using AlsoRead = std::function<void(Reader&, TimeMs)>;

// The snapshot of the venue's event `bizCode`, or of its active event when `bizCode` is empty.
// One read of the store, at the store's clock, which `alsoRead` may share (the stream checks its
// viewers' sessions there).
IngressSnapshot takeIngressSnapshot(Store& store, const std::string& placeCode,
                                                   const std::string& bizCode, const AlsoRead& alsoRead = {});

// Entries (or exits) of one block per minute over the flow window, oldest first.
std::vector<std::int64_t> flowSeries(const IngressSnapshot& snapshot, std::size_t block, bool exits);

}  // namespace tav::server
