// What a venue changes and reads once it is set up: events, tickets and operators, the list of
// venues, the scan log as a spreadsheet and a backup copy of the store.
#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "server/core/local_time.h"
#include "server/core/store.h"

namespace tav::server {

// Each change below throws SetupError (one sentence, nothing changed) for what does not exist,
// and returns false when the store already was as asked: nothing was written then.

// Makes the event the venue's one active event, or leaves the venue without an active one.
bool setEventActive(Store& store, const std::string& bizCode, bool active);

// Offline checking of an event: on or off, and how long a station may decide from its list after
// the list's last refresh; what is not given stays as it is.
struct OfflineChange {
  std::optional<bool> offline;
  std::optional<std::int64_t> maxAgeMinutes;  // 1 to kMaxOfflineMaxAgeMinutes
};
// "on" or "off" as set-event --offline takes it; SetupError for anything else.
bool parseOfflineSwitch(const std::string& text);
// Whole minutes from 1 to kMaxOfflineMaxAgeMinutes as --offline-max-age takes them; SetupError
// for anything else.
std::int64_t parseOfflineMaxAge(const std::string& text);
// Applies the change and returns the event as it is now; SetupError for an unknown event or a
// max age out of range (nothing changed then).
Event setEventOffline(Store& store, const std::string& bizCode, const OfflineChange& change);

// A cancelled ticket is refused at the next check; a restored one is valid again.
bool setTicketCancelled(Store& store, const std::string& bizCode, const std::string& ticketNo, bool cancelled);
// The same inside a write under way, for a caller that writes more with it.
bool setTicketCancelled(Transaction& tx, const std::string& bizCode, const std::string& ticketNo, bool cancelled);

// Replaces the operator's password (at least kMinPasswordLength characters) and ends the
// operator's sessions in the same write. Always writes: the old password is never compared.
void setOperatorPassword(Store& store, const std::string& id, const std::string& password);

// An inactive operator can neither sign in nor check; deactivating ends the operator's sessions,
// and activating ends the lockouts the refused sign-ins built up.
bool setOperatorActive(Store& store, const std::string& id, bool active);

struct VenueSummary {
  std::string placeCode, theaterName;
  std::string activeBizCode;  // empty without an active event
  std::size_t events = 0, operators = 0;
};
std::vector<VenueSummary> listVenues(Store& store);

struct ScanExport {
  std::string placeCode;
  std::optional<std::string> bizCode;
  std::optional<TimeMs> since, until;  // since <= at < until
};

// Writes the venue's scan log lines (ticket checks and sign-ins), oldest first, as UTF-8 CSV with
// a byte-order mark, so that Excel shows the Korean text: one header row, then
// Time,Kind,Operator,Source,Mode,Block,TicketNo,BizCode,Code,Message,OperatorVerified, the last
// "no" where the operator ID is only what the request typed (no session, or another operator's).
// A station's decision handed over after an outage is of Kind "check (offline)", at the time the
// station decided it.
// Returns the number of lines.
std::size_t exportScans(Store& store, const ScanExport& what, std::ostream& out);

// A consistent copy of the store in a new file at `path` (see Store::backupTo).
void backupStore(Store& store, const std::string& path);

}  // namespace tav::server
