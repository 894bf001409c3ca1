// The control room's procedures: find a ticket by number or holder's name, read its story, and the
// supervisor's actions on it (annul an entry, cancel, restore), each an admin's of the event's venue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/core/errors.h"
#include "server/core/store.h"

namespace tav::server {

// A lookup lists at most this many tickets.
inline constexpr std::size_t kLookupLimit = 50;
// An entry may be annulled this long after it was made: a turnstile that did not turn is noticed
// at once, and later the ticket's holder may well be inside.
inline constexpr TimeMs kAnnulWindowMs = 15 * 60 * 1000;
// A ticket's story shows at most its newest this many scan-log lines.
inline constexpr std::size_t kStoryLines = 1000;

// The outcomes of the control room's lines in the scan log (kind kControlKind): kOutcomeAnnul
// (store.h) and these.
inline constexpr const char* kOutcomeCancel = "cancel";
inline constexpr const char* kOutcomeRestore = "restore";

// Who acts: the session token the request came with, and its source for the scan log. Anything but
// a live admin's session is refused with NotSignedIn; another venue's event is SetupError, as an
// event of no one's is, so that nobody learns what another venue holds.
struct ControlCaller {
  std::string sessionToken;
  std::string source;
};

// One scan-log line of a ticket as the control room reads it.
struct StoryLine {
  ScanRecord line;
  std::string gate;                           // the station's name, else the source address
  std::optional<std::int64_t> annulledBy;     // the control line that annulled this entry
  // A station's decision made offline and handed over later; the line's time is the station's.
  bool offline = false;
};

struct TicketStory {
  TimeMs serverTime = 0;
  Ticket ticket;
  std::vector<StoryLine> lines;               // oldest first
  std::optional<std::int64_t> annullable;     // the entry line that may be annulled now
};

// The holder-name range that a prefix stands for: [prefix, holderPrefixEnd(prefix)) holds exactly
// the names that start with it, compared byte for byte. The prefix must be non-empty UTF-8.
std::string holderPrefixEnd(const std::string& prefix);

// The event's ticket numbered `query` and the tickets whose holder's name starts with it, by name,
// at most kLookupLimit in all. BadCommand for an empty query or one that is not UTF-8.
std::vector<Ticket> findTickets(Store& store, const ControlCaller& caller, const std::string& bizCode,
                                const std::string& query);

// The ticket, its state and its scan-log lines. SetupError for an unknown ticket.
TicketStory ticketStory(Store& store, const ControlCaller& caller, const std::string& bizCode,
                        const std::string& ticketNo);

// Takes back the entry the scan-log line `lineId` recorded ("the turnstile did not turn"), within
// kAnnulWindowMs of it and only while it is the ticket's last entry: the ticket is outside again,
// with the entry count and counters it had before, and its next check is decided as if the entry
// had never been. One transaction decides and writes it with its line, so of two supervisors (or a
// double click) one annuls and the other gets ActionRefused. SetupError for an unknown ticket or a
// line that is no entry of it.
void annulEntry(Store& store, const ControlCaller& caller, const std::string& bizCode, const std::string& ticketNo,
                std::int64_t lineId);

// Cancels or restores the ticket as cancel-ticket and restore-ticket do, and logs it with the admin;
// false, and nothing written, when it already was so.
bool setTicketCancelledBy(Store& store, const ControlCaller& caller, const std::string& bizCode,
                          const std::string& ticketNo, bool cancelled);

}  // namespace tav::server
