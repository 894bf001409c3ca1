// The dashboard's snapshot: which event, the windows at the store's clock, one consistent read,
// and the alarms and stations the control room watches, worked out once for every page.
#include "server/core/ingress.h"

#include <algorithm>
#include <map>
#include <set>

#include "offline/list.h"
#include "rule/decision.h"
#include "server/core/local_time.h"
#include "server/core/sessions.h"
#include "server/core/stations.h"

namespace tav::server {
namespace {

// A station unseen for longer cannot hold a live session: its session's last use would have
// marked it seen.
constexpr TimeMs kStationSessionSeenMs = kSessionIdleMs + kStationSeenMs;
// A station's last request is written up to kStationSeenMs late: unseen for longer than this, it
// has been silent for kSilentGateMs.
constexpr TimeMs kStationSilentMs = kSilentGateMs + kStationSeenMs;

// The station's offline list for the event: the last fetch that serves its block (a station of no
// block chooses one at the gate, so any list of the event), and whether it is fresh enough now.
void markOfflineReady(IngressStation& view, const StationRecord& st, const std::vector<OfflineListFetch>& fetches,
                      const Event& event, TimeMs now) {
  for (const OfflineListFetch& f : fetches) {
    if (f.bizCode != event.bizCode) continue;
    if (!st.block.empty() && f.block != st.block && f.block != offline::kAllBlocks) continue;
    if (!view.listFetchedAt || f.fetchedAt > *view.listFetchedAt) view.listFetchedAt = f.fetchedAt;
  }
  view.offlineReady =
      event.offline && view.listFetchedAt && now - *view.listFetchedAt <= event.offlineMaxAgeMinutes * kMinuteMs;
}

// The venue's registered stations, with who is signed in through them and their last check.
std::vector<IngressStation> venueStations(Reader& reader, const std::vector<StationRecord>& all,
                                          const std::string& placeCode, const Event& event,
                                          const IngressCounts& counts, TimeMs now) {
  std::map<std::string, TimeMs> lastCheck;
  for (const IngressGate& g : counts.gates) lastCheck[g.source] = g.lastCheck;
  std::vector<IngressStation> out;
  const std::set<std::int64_t> browsers = reader.enrolledStations();
  for (const StationRecord& st : all) {
    if (st.removed || st.placeCode != placeCode) continue;
    IngressStation view{st.name, st.block, {}, 0, std::nullopt, st.lastSeen};
    view.browser = browsers.count(st.id) > 0;
    if (const auto it = lastCheck.find(stationSource(st.id)); it != lastCheck.end()) view.lastCheck = it->second;
    view.silent = !st.lastSeen || now - *st.lastSeen > kStationSilentMs;
    markOfflineReady(view, st, reader.offlineListFetches(st.id), event, now);
    if (st.lastSeen && now - *st.lastSeen < kStationSessionSeenMs) {
      const std::optional<SessionRecord> session = reader.latestStationSession(st.id);
      if (session && sessionLive(*session, now)) {
        view.operatorId = session->operatorId;
        view.signedInAt = session->created;
      }
    }
    out.push_back(std::move(view));
  }
  std::sort(out.begin(), out.end(), [](const IngressStation& a, const IngressStation& b) { return a.name < b.name; });
  return out;
}

// The alarm's identity: its kind, what it is about and when this occurrence began, or "ongoing"
// when it began before the minutes looked back over (it then keeps one identity however long it lasts).
std::string alarmId(const std::string& kind, const std::string& about, std::int64_t level, bool ongoing, TimeMs since) {
  return kind + "|" + about + "|" + std::to_string(level) + "|" + (ongoing ? "ongoing" : std::to_string(since));
}

// One alarm per hand-over with conflicts or refused decisions still in force at `now`, oldest
// first, its gates named.
std::vector<IngressAlarm> conflictAlarms(const std::vector<OfflineConflict>& conflicts, const StationNames& names,
                                         TimeMs now) {
  std::vector<IngressAlarm> out;
  std::map<std::int64_t, std::size_t> byAlarm;
  for (OfflineConflict c : conflicts) {
    if (now - c.handedAt > kConflictAlarmMs) continue;
    auto [it, added] = byAlarm.emplace(c.alarm, out.size());
    if (added) {
      const std::string id = std::to_string(c.alarm);
      out.push_back(IngressAlarm{"offline-handover", alarmId("offline-handover", id, 0, false, c.handedAt),
                                 sourceLabel(c.gate, names), c.handedAt, 0, 0, 0, {}});
    }
    IngressAlarm& alarm = out[it->second];
    c.gate = sourceLabel(c.gate, names);
    if (!c.otherGate.empty()) c.otherGate = sourceLabel(c.otherGate, names);
    ++(c.reason == kOfflineRefused ? alarm.of : alarm.count);
    alarm.conflicts.push_back(std::move(c));
  }
  return out;
}

bool spikeReason(const std::string& reason) {
  return std::find(kSpikeReasons.begin(), kSpikeReasons.end(), reason) != kSpikeReasons.end();
}

}  // namespace

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
    q.gateMinutesSince = minute - kSpikeLookbackMinutes - kSpikeMinutes + 1;
    s.counts = reader.ingressCounts(q);
    s.capacity = reader.eventCapacity(s.event.bizCode);
    const std::vector<OfflineConflict> conflicts = reader.offlineConflicts(s.event.bizCode);
    for (const OfflineConflict& c : conflicts) {
      const std::optional<std::size_t> b = blockIndex(c.block);
      if (!b || c.reason != rule::kOutcomeAlreadyInside) continue;
      ++s.insideTwice[*b];
      ++s.counts.inside[*b];
    }
    const std::vector<StationRecord> stations = reader.allStations();
    s.stations = venueStations(reader, stations, placeCode, s.event, s.counts, now);
    // The page shows a registered station by its name, which cannot read as an address.
    StationNames names;
    std::map<std::int64_t, std::string> blocks;
    for (const StationRecord& st : stations) {
      names.emplace(st.id, st.name);
      blocks.emplace(st.id, st.block);
    }
    std::vector<std::string> labels;
    for (const IngressGate& g : s.counts.gates) {
      labels.push_back(sourceLabel(g.source, names));
      const std::optional<std::int64_t> id = stationOfSource(g.source);
      s.gateBlocks.push_back(id && blocks.count(*id) ? blocks[*id] : std::string());
    }
    s.alarms = ingressAlarms(s, labels);
    for (IngressAlarm& a : conflictAlarms(conflicts, names, now)) s.alarms.push_back(std::move(a));
    for (std::size_t i = 0; i < labels.size(); ++i) s.counts.gates[i].source = labels[i];
    s.hasEvent = true;
  });
  const LocalZone zone = localZone(now);
  s.utcOffsetMinutes = zone.utcOffsetMinutes;
  s.timeZone = zone.name;
  return s;
}

std::vector<IngressAlarm> ingressAlarms(const IngressSnapshot& s, const std::vector<std::string>& labels) {
  std::vector<IngressAlarm> silent, spikes, stands;
  const std::int64_t nowMinute = s.serverTime / kMinuteMs;

  // Checks and spike refusals of each gate per minute, from the first minute looked back over.
  const std::int64_t first = nowMinute - kSpikeLookbackMinutes - kSpikeMinutes + 1;
  const std::size_t span = static_cast<std::size_t>(nowMinute - first + 1);
  std::map<std::string, std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>>> perMinute;
  for (const IngressGateMinute& m : s.counts.gateMinutes) {
    if (m.minute < first || m.minute > nowMinute || (!m.reason.empty() && !spikeReason(m.reason))) continue;
    auto& [checks, refused] = perMinute.try_emplace(m.source, std::vector<std::int64_t>(span), std::vector<std::int64_t>(span)).first->second;
    (m.reason.empty() ? checks : refused)[static_cast<std::size_t>(m.minute - first)] += m.count;
  }

  for (std::size_t i = 0; i < s.counts.gates.size(); ++i) {
    const IngressGate& g = s.counts.gates[i];
    const TimeMs quiet = s.serverTime - g.lastCheck;
    if (quiet >= kSilentGateMs && quiet < kSilentAlarmRecentMs)
      silent.push_back(IngressAlarm{"silent-gate", alarmId("silent-gate", g.source, 0, false, g.lastCheck), labels[i],
                                    g.lastCheck, 0, 0, 0});
    const auto found = perMinute.find(g.source);
    if (found == perMinute.end()) continue;
    const auto& checks = found->second.first;
    const auto& refused = found->second.second;
    // Refusals and checks over the kSpikeMinutes ending with minute `end` (an index into the span).
    auto window = [&](std::size_t end) {
      std::int64_t c = 0, r = 0;
      for (std::size_t k = end + 1 - static_cast<std::size_t>(kSpikeMinutes); k <= end; ++k) {
        c += checks[k];
        r += refused[k];
      }
      return std::make_pair(r, c);
    };
    auto spiking = [&](std::size_t end) {
      const auto [r, c] = window(end);
      return r >= kSpikeMinRefusals && r * 100 >= kSpikeSharePercent * c;
    };
    const std::size_t last = span - 1, earliest = static_cast<std::size_t>(kSpikeMinutes) - 1;
    if (!spiking(last)) continue;
    std::size_t start = last;
    while (start > earliest && spiking(start - 1)) --start;
    const TimeMs since = (first + static_cast<std::int64_t>(start)) * kMinuteMs;
    const auto [r, c] = window(last);
    spikes.push_back(IngressAlarm{"refusal-spike", alarmId("refusal-spike", g.source, 0, start == earliest, since),
                                  labels[i], since, r, c, 0});
  }
  auto byName = [](const IngressAlarm& a, const IngressAlarm& b) { return a.subject < b.subject; };
  std::sort(silent.begin(), silent.end(), byName);
  std::sort(spikes.begin(), spikes.end(), byName);

  // A stand's inside count at the end of each minute of the flow window, back from the count now.
  for (std::size_t b = 0; b < kBlocks.size(); ++b) {
    const std::int64_t capacity = s.capacity[b], inside = s.counts.inside[b];
    if (capacity <= 0) continue;
    // The highest level reached is the one shown: reaching 100% raises again after 95% was seen.
    for (auto level = kCapacityPercents.rbegin(); level != kCapacityPercents.rend(); ++level) {
      const std::int64_t threshold = (capacity * *level + 99) / 100;
      if (inside < threshold) continue;
      const std::vector<std::int64_t> entries = flowSeries(s, b, false), exits = flowSeries(s, b, true);
      std::size_t start = entries.size() - 1;
      std::int64_t before = inside;  // inside at the end of minute `start`
      while (start > 0) {
        before -= entries[start] - exits[start];
        if (before < threshold) break;
        --start;
      }
      const bool ongoing = start == 0;
      const TimeMs since = (s.firstMinute + static_cast<std::int64_t>(start)) * kMinuteMs;
      stands.push_back(IngressAlarm{"capacity", alarmId("capacity", kBlocks[b], *level, ongoing, since), kBlocks[b],
                                    since, inside, capacity, *level});
      break;
    }
  }
  silent.insert(silent.end(), spikes.begin(), spikes.end());
  silent.insert(silent.end(), stands.begin(), stands.end());
  return silent;
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
