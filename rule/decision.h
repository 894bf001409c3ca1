// The one decision on a ticket's state: what a check of a ticket answers and what it changes,
// decided alike by the back-end's procedures and by a station checking offline from its list.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tav::rule {

// Milliseconds since 1970-01-01 UTC, as the store keeps times.
using TimeMs = std::int64_t;

// The scan log's word for each outcome of the decision.
inline constexpr std::string_view kOutcomeEntry = "entry";
inline constexpr std::string_view kOutcomeReentry = "reentry";
inline constexpr std::string_view kOutcomeExit = "exit";
inline constexpr std::string_view kOutcomeCancelled = "cancelled";
inline constexpr std::string_view kOutcomeWrongBlock = "wrong-block";
inline constexpr std::string_view kOutcomeAlreadyInside = "already-inside";
inline constexpr std::string_view kOutcomeNotInside = "not-inside";
inline constexpr std::string_view kOutcomeUnknownTicket = "unknown-ticket";
inline constexpr std::string_view kOutcomeBadMode = "bad-mode";
// Offline only: a ticket the station's list does not hold.
inline constexpr std::string_view kOutcomeNotInList = "not-in-list";

// What the decision reads of a ticket, and what it leaves.
struct TicketState {
  std::string block;  // one of wire::kBlocks
  bool cancelled = false;
  bool inside = false;
  std::int64_t entryCount = 0;
  std::optional<TimeMs> lastEntry, lastExit;

  bool operator==(const TicketState& other) const;
};

struct Check {
  std::string_view mode;              // wire::kModeEntry or wire::kModeExit; anything else is refused
  std::string_view block;             // the station's block filter; empty for all blocks
  std::optional<TicketState> ticket;  // none: no ticket of that number
  TimeMs at = 0;                      // when the check is made
};

// The clock time ("HH:MM") of a moment as the gate's people read it. The decision takes it as a
// function, so that it never reads a time zone: the back-end passes its local clock, a station
// offline the server's UTC offset (clockAtOffset).
using ClockText = std::function<std::string(TimeMs)>;

struct Decision {
  std::string_view outcome;          // the scan log's word: one of the kOutcome names
  std::string_view code;             // the answer's ErrCode: one of wire's kCode values
  std::string message;               // the answer's ErrMsg, one of texts.h
  bool withDetails = false;          // the holder's details go with the answer (entry, re-entry, exit)
  std::optional<TicketState> after;  // the ticket's state once the check is kept, when it changes
};

// True for the modes a ticket check decides: entry and exit.
bool isCheckMode(std::string_view mode);

// Decides a check, in this order: a mode other than entry or exit (whatever the ticket), no
// ticket, a cancelled ticket, a ticket of another block than a non-empty filter, then entry
// (already inside, first entry, re-entry after an exit) or exit (not inside, exit). Only an
// entry or an exit changes the ticket: inside with one entry more and its last entry at
// `check.at`, or outside with its last exit then. `clockOf` is called only for a ticket
// already inside, with its last entry (0 if it has none).
Decision decide(const Check& check, const ClockText& clockOf);

// What a station deciding offline answers for a ticket its list does not hold: refused, with
// kNotInList; nothing changes.
Decision notInList();

// "HH:MM" of `at` at a fixed offset east of UTC, in minutes: the clock of a station offline,
// which has the server's offset from its list and reads no time zone of its own.
std::string clockAtOffset(TimeMs at, std::int64_t utcOffsetMinutes);

}  // namespace tav::rule
