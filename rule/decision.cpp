// The decision on a ticket's state, and the offline clock.
#include "rule/decision.h"

#include <cstdio>

#include "rule/texts.h"
#include "wire/protocol.h"

namespace tav::rule {
namespace {

Decision refused(std::string_view code, std::string message, std::string_view outcome) {
  return Decision{outcome, code, std::move(message), false, std::nullopt};
}

Decision kept(std::string_view code, const std::string& message, std::string_view outcome, TicketState after) {
  return Decision{outcome, code, message, true, std::move(after)};
}

}  // namespace

bool TicketState::operator==(const TicketState& other) const {
  return block == other.block && cancelled == other.cancelled && inside == other.inside &&
         entryCount == other.entryCount && lastEntry == other.lastEntry && lastExit == other.lastExit;
}

bool isCheckMode(std::string_view mode) { return mode == wire::kModeEntry || mode == wire::kModeExit; }

Decision decide(const Check& check, const ClockText& clockOf) {
  if (!isCheckMode(check.mode)) return refused(wire::kCodeRefused, kBadRequest, kOutcomeBadMode);
  if (!check.ticket) return refused(wire::kCodeRefused, kUnknownTicket, kOutcomeUnknownTicket);
  const TicketState& ticket = *check.ticket;
  if (ticket.cancelled) return refused(wire::kCodeRefused, kCancelled, kOutcomeCancelled);
  if (!check.block.empty() && check.block != ticket.block)
    return refused(wire::kCodeRefused, wrongBlock(ticket.block), kOutcomeWrongBlock);

  TicketState after = ticket;
  if (check.mode == wire::kModeEntry) {
    if (ticket.inside)
      return refused(wire::kCodeAlready, alreadyInside(clockOf(ticket.lastEntry.value_or(0))), kOutcomeAlreadyInside);
    after.inside = true;
    ++after.entryCount;
    after.lastEntry = check.at;
    if (ticket.entryCount > 0) return kept(wire::kCodeReentry, kReadmitted, kOutcomeReentry, std::move(after));
    return kept(wire::kCodeOk, kAdmitted, kOutcomeEntry, std::move(after));
  }
  if (!ticket.inside) return refused(wire::kCodeAlready, kNotInside, kOutcomeNotInside);
  after.inside = false;
  after.lastExit = check.at;
  return kept(wire::kCodeOk, kLeft, kOutcomeExit, std::move(after));
}

Decision notInList() { return refused(wire::kCodeRefused, kNotInList, kOutcomeNotInList); }

std::string clockAtOffset(TimeMs at, std::int64_t utcOffsetMinutes) {
  constexpr std::int64_t kMinutesPerDay = 24 * 60;
  // Floored, so that a moment before 1970 or west of UTC still falls in its own minute of the day.
  std::int64_t minutes = at / 60'000 - (at % 60'000 < 0 ? 1 : 0) + utcOffsetMinutes;
  minutes = ((minutes % kMinutesPerDay) + kMinutesPerDay) % kMinutesPerDay;
  char hhmm[8];
  std::snprintf(hhmm, sizeof hhmm, "%02d:%02d", static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
  return hhmm;
}

}  // namespace tav::rule
