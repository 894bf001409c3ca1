// The hand-over of offline decisions: who may hand over, which lines are plausible, and how each is
// kept beside what the store already holds of its ticket.
#include "server/core/offline_handover.h"

#include <algorithm>

#include "offline/list.h"
#include "rule/decision.h"
#include "server/core/control_room.h"
#include "server/core/procedures.h"
#include "server/core/sessions.h"
#include "server/core/stations.h"

namespace tav::server {
namespace {

// How many of a ticket's newest lines a conflict looks through for the line it clashes with.
constexpr std::size_t kClashLookback = 200;

const std::string kNotAllowed =
    "Offline decisions are handed over by a registered station whose session is the decisions' operator's; "
    "sign in at the station as that operator.";

bool admitted(std::string_view outcome) {
  return outcome == rule::kOutcomeEntry || outcome == rule::kOutcomeReentry || outcome == rule::kOutcomeExit;
}

bool listFetched(const std::vector<OfflineListFetch>& fetches, const offline::Decision& d) {
  return std::any_of(fetches.begin(), fetches.end(), [&](const OfflineListFetch& f) {
    return f.bizCode == d.bizCode && (f.block == offline::kAllBlocks || (!d.block.empty() && f.block == d.block));
  });
}

std::optional<rule::TicketState> stateOf(const std::optional<Ticket>& t) {
  if (!t) return std::nullopt;
  return rule::TicketState{t->block, t->cancelled, t->inside, t->entryCount, t->lastEntry, t->lastExit};
}

// The live session the hand-over may use: a ticket check's, from a registered station only.
std::optional<SessionInfo> handoverSession(Reader& r, const Caller& caller, TimeMs now) {
  return caller.station != 0 ? callerSession(r, caller, now) : std::nullopt;
}

// The line of the ticket's history that made the state a conflict clashes with: the last entry of
// a ticket inside, the last exit of one outside, the cancellation of a cancelled one; else its
// latest check. Read before the conflict's own line is written.
std::optional<ScanRecord> clashingLine(Reader& r, const offline::Decision& d, std::string_view reason) {
  const std::vector<ScanRecord> lines = r.ticketLog(d.bizCode, d.ticketNo, kPastEveryLine, kClashLookback);
  const auto found = [&](auto&& wanted) -> std::optional<ScanRecord> {
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
      if (wanted(*it)) return *it;
    return std::nullopt;
  };
  const auto check = [](const ScanRecord& l) { return l.kind == "check"; };
  std::optional<ScanRecord> line;
  if (reason == rule::kOutcomeAlreadyInside)
    line = found([&](const ScanRecord& l) {
      return check(l) && (l.outcome == rule::kOutcomeEntry || l.outcome == rule::kOutcomeReentry);
    });
  else if (reason == rule::kOutcomeNotInside)
    line = found([&](const ScanRecord& l) { return check(l) && l.outcome == rule::kOutcomeExit; });
  else if (reason == rule::kOutcomeCancelled)
    line = found([](const ScanRecord& l) { return l.kind == kControlKind && l.outcome == kOutcomeCancel; });
  return line ? line : found(check);
}

offline::HandoverResult result(const offline::Decision& d, std::string_view word, std::string why) {
  return offline::HandoverResult{d.sequence, std::string(word), std::move(why)};
}

}  // namespace

HandoverGap HandoverGaps::open(std::int64_t station, TimeMs now, std::optional<TimeMs> silenceFrom) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = runs_.find(station);
  if (it != runs_.end() && now - it->second.last <= kHandoverRunMs) {
    it->second.gap.to = std::max(it->second.gap.to, now);
    it->second.last = now;
    return it->second.gap;
  }
  Run& run = runs_[station];
  run.gap = HandoverGap{std::min(silenceFrom.value_or(now), now), now, 0};
  run.last = now;
  return run.gap;
}

void HandoverGaps::used(std::int64_t station, TimeMs now, std::int64_t used) {
  std::lock_guard<std::mutex> lock(mutex_);
  Run& run = runs_[station];
  run.gap.used = std::max(run.gap.used, used);
  run.last = std::max(run.last, now);
}

HandoverOutcome handOver(Store& store, const Caller& caller, const std::vector<offline::Decision>& lines,
                         const std::optional<HandoverGap>& gap, std::int64_t conflictAlarm) {
  HandoverOutcome out;
  if (gap && store.writesWaiting() > kHandoverWritesWaiting) {
    out.refusal = HandoverRefusal::Deferred;
    out.sentence = "Live checks are waiting for the store; hand the decisions over again in " +
                   std::to_string(kHandoverRetryAfterSeconds) + " seconds.";
    return out;
  }
  store.write([&](Transaction& tx) {
    out = HandoverOutcome{};
    const TimeMs now = store.now();
    std::optional<SessionInfo> session;
    if (gap) {
      session = handoverSession(tx, caller, now);
      const bool ownLines = session && std::all_of(lines.begin(), lines.end(), [&](const offline::Decision& d) {
                              return d.operatorId == session->operatorId;
                            });
      if (!ownLines) {
        out.refusal = HandoverRefusal::NotAllowed;
        out.sentence = kNotAllowed;
        return;
      }
    }
    // Without a station there is no sequence of its own to keep: its lines are known by their keys.
    const std::int64_t acknowledged = caller.station != 0 ? tx.acknowledgedSequence(caller.station) : 0;
    if (caller.station != 0 && !lines.empty() && lines.front().sequence > acknowledged + 1)
      out.answer.gap = std::make_pair(acknowledged + 1, lines.front().sequence - 1);
    const std::vector<OfflineListFetch> fetches = tx.offlineListFetches(caller.station);
    std::int64_t used = gap ? gap->used : 0;
    out.conflictAlarm = conflictAlarm;

    // Every line the control room hears of joins the hand-over's alarm.
    const auto report = [&](OfflineConflict c) {
      c.alarm = out.conflictAlarm;
      c.handedAt = now;
      const std::int64_t id = tx.keepOfflineConflict(c);
      if (out.conflictAlarm == 0) out.conflictAlarm = id;
    };
    auto& results = out.answer.results;
    // A refused decision of an event of the station's venue is reported to its control room too;
    // one naming another venue's event or none is told to the station alone.
    const auto refuse = [&](const offline::Decision& d, std::string why, bool ownEvent) {
      if (ownEvent) {
        OfflineConflict c;
        c.bizCode = d.bizCode;
        c.ticketNo = d.ticketNo;
        c.block = d.block;
        c.reason = std::string(kOfflineRefused);
        c.gate = loggedSource(caller);
        c.at = d.utcMs;
        c.why = why;
        report(std::move(c));
      }
      results.push_back(result(d, offline::kResultRefused, std::move(why)));
    };

    for (const offline::Decision& d : lines) {
      if (d.sequence <= acknowledged) {
        results.push_back(result(d, offline::kResultSame, "The back-end has this decision already."));
        continue;
      }
      const std::optional<Event> event = tx.findEvent(d.bizCode);
      if (!event || (!caller.stationPlace.empty() && event->placeCode != caller.stationPlace)) {
        refuse(d, "The station's venue has no event with this code.", false);
        continue;
      }
      if (!event->offline) {
        refuse(d, "The event's offline checking is off.", true);
        continue;
      }
      if (caller.station != 0 && !listFetched(fetches, d)) {
        refuse(d, "The station never fetched the offline list of this event and block.", true);
        continue;
      }
      if (gap && used >= gap->allowed()) {
        refuse(d, "The station's silence allows no more decisions than one a second; this one is implausible.", true);
        continue;
      }
      if (tx.keyedCheckLine(d.bizCode, d.ticketNo, d.idempotencyKey)) {
        results.push_back(result(d, offline::kResultSame, "The back-end kept this check when it was made."));
        continue;
      }
      const TimeMs at = gap ? std::clamp(d.utcMs, gap->from, gap->to) : d.utcMs;
      const std::optional<Ticket> ticket = tx.lockTicket(d.bizCode, d.ticketNo);
      const rule::Decision ours = rule::decide({d.mode, d.block, stateOf(ticket), at}, clockTime);

      ScanRecord line;
      line.at = at;
      line.kind = "check";
      line.bizCode = d.bizCode;
      line.mode = d.mode;
      line.block = d.block;
      line.ticketNo = d.ticketNo;
      line.operatorId = d.operatorId;
      line.placeCode = event->placeCode;
      line.code = std::string(kHandoverCode);
      line.source = loggedSource(caller);
      line.session = session ? session->id : 0;
      line.idempotencyKey = d.idempotencyKey;
      offline::HandoverResult r = result(d, offline::kResultAccepted, "Kept as the gate decided it.");
      if (admitted(d.outcome) && !ours.after) {
        // The gate let the holder through where the back-end would not have: both are kept, and
        // the control room is told what it clashes with. A holder let in while the ticket was
        // inside is a second person in the stand, counted in its minute.
        const std::optional<ScanRecord> other = clashingLine(tx, d, ours.outcome);
        OfflineConflict conflict;
        conflict.bizCode = d.bizCode;
        conflict.ticketNo = d.ticketNo;
        conflict.block = ticket ? ticket->block : d.block;
        conflict.reason = std::string(ours.outcome);
        conflict.gate = line.source;
        conflict.at = at;
        if (other) {
          conflict.otherGate = other->source;
          conflict.otherAt = other->at;
        }
        if (ours.outcome == rule::kOutcomeAlreadyInside) tx.countPassage(d.bizCode, conflict.block, at, false);
        report(std::move(conflict));
        line.outcome = std::string(kOutcomeOfflineConflict);
        line.message = "station: " + d.outcome + "; store: " + std::string(ours.outcome) + " (" + ours.message + ")";
        r = result(d, offline::kResultConflict,
                   "The gate decided " + d.outcome + " where the back-end's state says " + std::string(ours.outcome) +
                       "; kept as an offline conflict.");
      } else if (admitted(d.outcome)) {
        line.outcome = std::string(ours.outcome);
        line.message = ours.message;
        const TimeMs lastChange = std::max(ticket->lastEntry.value_or(0), ticket->lastExit.value_or(0));
        if (at > lastChange) {
          if (ours.after->inside)
            tx.recordEntry(ticket->id, at);
          else
            tx.recordExit(ticket->id, at);
        } else {
          // Still a passage at its minute, as a copied store counts it from this line.
          tx.countPassage(d.bizCode, ticket->block, at, !ours.after->inside);
          r.why = "Kept; the ticket changed later than this decision, so its state stays.";
        }
      } else {
        line.outcome = d.outcome;  // the gate's refusal, as it happened
        line.message = "station: " + d.outcome;
      }
      tx.appendScanLog(line);
      ++used;
      ++out.taken;
      results.push_back(std::move(r));
    }
    out.answer.acknowledgedUpTo = std::max(acknowledged, lines.empty() ? 0 : lines.back().sequence);
    if (caller.station != 0 && out.answer.acknowledgedUpTo > acknowledged)
      tx.acknowledgeSequence(caller.station, out.answer.acknowledgedUpTo);
  });
  return out;
}

}  // namespace tav::server
