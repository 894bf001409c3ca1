// The dashboard's snapshot: which event, the windows at the store's clock, one consistent read.
#include "server/core/ingress.h"

#include <algorithm>

#include "server/core/stations.h"

namespace tav::server {

IngressSnapshot takeIngressSnapshot(Store& store, const std::string& placeCode,
                                                   const std::string& bizCode, const AlsoRead& alsoRead) {
  IngressSnapshot s;
  const TimeMs now = store.now();
  const std::int64_t minute = now / kMinuteMs;
  store.read([&](Reader& reader) {
    if (alsoRead) alsoRead(reader, now);
    s = IngressSnapshot{};
    s.serverTime = now;
    s.firstMinute = minute - kFlowMinutes + 1;
    for (Event& e : reader.allEvents())
      if (e.placeCode == placeCode) s.events.push_back(std::move(e));
    const Event* chosen = nullptr;
    for (const Event& e : s.events)
      if (bizCode.empty() ? e.active : e.bizCode == bizCode) chosen = &e;
    if (!chosen) return;
    s.event = *chosen;
    IngressQuery q;
    q.bizCode = s.event.bizCode;
    q.flowSince = s.firstMinute;
    q.refusalsSince = minute - kRefusalMinutes + 1;
    q.gatesSince = minute - kGateMinutes + 1;
    q.gatesSeenSince = s.firstMinute;
    s.counts = reader.ingressCounts(q);
    // The page shows a registered station by its name, which cannot read as an address.
    if (std::any_of(s.counts.gates.begin(), s.counts.gates.end(),
                    [](const IngressGate& g) { return stationOfSource(g.source).has_value(); })) {
      const StationNames names = stationNames(reader);
      for (IngressGate& g : s.counts.gates) g.source = sourceLabel(g.source, names);
    }
    s.hasEvent = true;
  });
  return s;
}

std::vector<std::int64_t> flowSeries(const IngressSnapshot& snapshot, std::size_t block, bool exits) {
  std::vector<std::int64_t> series(static_cast<std::size_t>(kFlowMinutes), 0);
  for (const IngressFlow& f : snapshot.counts.flow) {
    const std::int64_t at = f.minute - snapshot.firstMinute;
    if (f.block != block || at < 0 || at >= kFlowMinutes) continue;
    series[static_cast<std::size_t>(at)] += exits ? f.exits : f.entries;
  }
  return series;
}

}  // namespace tav::server
