// Match-day changes and reads over the store: events, tickets, operators, venues, scan export, backup.
#include "server/core/match_day.h"
#include "server/core/stations.h"

#include <cstdio>
#include <algorithm>
#include <string_view>

#include "server/core/offline_handover.h"
#include "server/core/password.h"
#include "server/core/sessionless_tally.h"
#include "server/core/setup.h"

namespace tav::server {
namespace {

// Scan log lines are read in pages of this many, all in one snapshot.
constexpr std::size_t kScanPage = 10000;

// A line that counts requests without a session names no venue: every venue's export holds it,
// since a stranger at one venue's gates knocks at the server of them all.
bool isSessionlessCount(const ScanRecord& l) { return l.outcome == kOutcomeSessionlessCount; }

// The kinds of scan log lines as a spreadsheet reader names them.
std::string kindName(const ScanRecord& l) {
  const std::string& kind = l.kind;
  if (isSessionlessCount(l)) return "without session";
  // A station's decision handed over after an outage: its time is the station's own.
  if (isOfflineDecision(l)) return "check (offline)";
  if (kind == "check") return "check";
  if (kind == "login") return "operator sign-in";
  if (kind == "place") return "venue sign-in";
  if (kind == kControlKind) return "control room";
  return kind;
}

// The OperatorVerified cell: "no" where the Operator cell is only what the request typed (a check
// without a live session or naming another operator than its session's, a sign-in whose password
// was not verified, which may name a real operator as well as anyone), "yes" where a session, a
// password or the setup tool stands for it, empty where the line names no operator.
const char* operatorVerified(const ScanRecord& l) {
  if (l.operatorId.empty()) return "";
  if (l.kind == "check" && (l.session == 0 || l.outcome == kOutcomeNotSessionOperator)) return "no";
  if (l.kind == "login" && (l.outcome.rfind(kOutcomeFailedPrefix, 0) == 0 || l.outcome == "locked")) return "no";
  return "yes";
}

// One CSV field, written so that a spreadsheet shows it as the text it is. Ticket numbers, operator
// IDs and messages come from whoever typed them:
// - a field that starts with = + - @, a tab or a carriage return, which a spreadsheet may read as
//   the start of a formula, gets a leading apostrophe; a plain negative number such as the answer
//   code -1 is no formula and stays as it is;
// - other control characters (and DEL) become U+FFFD, the replacement character, rather than a
//   blank, so that the reader sees that something unprintable stood there; tabs and line breaks
//   are text a cell may hold;
// - a field with a comma, a quote or a line break is quoted, its quotes doubled.
std::string csvField(const std::string& v) {
  std::string text;
  text.reserve(v.size());
  for (char c : v) {
    const unsigned char b = static_cast<unsigned char>(c);
    if ((b < 0x20 && c != '\t' && c != '\r' && c != '\n') || b == 0x7F) text += "\xEF\xBF\xBD";
    else text.push_back(c);
  }
  const bool negativeNumber =
      text.size() > 1 && text[0] == '-' && text.find_first_not_of("0123456789", 1) == std::string::npos;
  if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos && !negativeNumber)
    text.insert(0, "'");
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  return out + "\"";
}

// Marks the row of the check line `annulledId` (rows and their line ids in id order) as annulled.
void markAnnulled(std::vector<std::string>& rows, const std::vector<std::int64_t>& ids, std::int64_t annulledId) {
  const auto it = std::lower_bound(ids.begin(), ids.end(), annulledId);
  if (it == ids.end() || *it != annulledId) return;
  std::string& row = rows[static_cast<std::size_t>(it - ids.begin())];
  // The time cell holds no comma, nor does a check's kind cell: the kind cell follows the first
  // one, and its mark goes at its end ("check (offline) (annulled)").
  const std::size_t kind = row.find(',') + 1;
  if (row.compare(kind, 5, "check") == 0) row.insert(row.find(',', kind), " (annulled)");
}

Operator requireOperator(Reader& r, const std::string& id) {
  std::optional<Operator> op = r.findOperator(id);
  if (!op) throw SetupError("There is no operator " + id + ".");
  return *op;
}

}  // namespace

bool setEventActive(Store& store, const std::string& bizCode, bool active) {
  bool changed = false;
  store.write([&](Transaction& tx) {
    const std::optional<Event> event = tx.findEvent(bizCode);
    if (!event) throw SetupError("There is no event " + bizCode + ".");
    changed = event->active != active;
    if (!changed) return;
    if (active) tx.deactivateEvents(event->placeCode);
    tx.setEventActive(bizCode, active);
  });
  return changed;
}

bool parseOfflineSwitch(const std::string& text) {
  if (text == "on") return true;
  if (text == "off") return false;
  throw SetupError("Offline checking is turned on or off, not \"" + text + "\".");
}

namespace {

SetupError maxAgeOutOfRange() {
  return SetupError("The offline max age is a whole number of minutes from 1 to " +
                    std::to_string(kMaxOfflineMaxAgeMinutes) + ".");
}

}  // namespace

std::int64_t parseOfflineMaxAge(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    throw maxAgeOutOfRange();
  const std::int64_t minutes = std::stoll(text);
  if (minutes < 1 || minutes > kMaxOfflineMaxAgeMinutes) throw maxAgeOutOfRange();
  return minutes;
}

Event setEventOffline(Store& store, const std::string& bizCode, const OfflineChange& change) {
  if (change.maxAgeMinutes && (*change.maxAgeMinutes < 1 || *change.maxAgeMinutes > kMaxOfflineMaxAgeMinutes))
    throw maxAgeOutOfRange();
  Event now;
  store.write([&](Transaction& tx) {
    const std::optional<Event> event = tx.findEvent(bizCode);
    if (!event) throw SetupError("There is no event " + bizCode + ".");
    now = *event;
    now.offline = change.offline.value_or(event->offline);
    now.offlineMaxAgeMinutes = change.maxAgeMinutes.value_or(event->offlineMaxAgeMinutes);
    if (now.offline != event->offline || now.offlineMaxAgeMinutes != event->offlineMaxAgeMinutes)
      tx.setEventOffline(bizCode, now.offline, now.offlineMaxAgeMinutes);
  });
  return now;
}

bool setTicketCancelled(Transaction& tx, const std::string& bizCode, const std::string& ticketNo, bool cancelled) {
  if (!tx.findEvent(bizCode)) throw SetupError("There is no event " + bizCode + ".");
  const std::optional<Ticket> ticket = tx.lockTicket(bizCode, ticketNo);
  if (!ticket) throw SetupError("There is no ticket " + ticketNo + " in event " + bizCode + ".");
  const bool changed = ticket->cancelled != cancelled;
  if (changed) tx.setTicketCancelled(ticket->id, cancelled);
  return changed;
}

bool setTicketCancelled(Store& store, const std::string& bizCode, const std::string& ticketNo, bool cancelled) {
  bool changed = false;
  store.write([&](Transaction& tx) { changed = setTicketCancelled(tx, bizCode, ticketNo, cancelled); });
  return changed;
}

void setOperatorPassword(Store& store, const std::string& id, const std::string& password) {
  requireNewPassword(password);
  store.read([&](Reader& r) { requireOperator(r, id); });
  // Hashed outside the write: argon2 takes a tenth of a second and the writer serves every station.
  const std::string hash = hashPassword(password);
  store.write([&](Transaction& tx) {
    requireOperator(tx, id);
    tx.setOperatorPassword(id, hash);
    // Whoever signed in with the old password must not stay signed in.
    tx.endSessions(id);
  });
}

bool setOperatorActive(Store& store, const std::string& id, bool active) {
  bool changed = false;
  store.write([&](Transaction& tx) {
    changed = requireOperator(tx, id).active != active;
    if (changed) tx.setOperatorActive(id, active);
    if (!active) tx.endSessions(id);
    // The sign-ins refused while it was inactive were the operator's own, not a stranger's guesses:
    // the lockout they built up ends with the inactivity.
    if (changed && active) tx.appendScanLog(unlockLine(id, store.now(), "local"));
  });
  return changed;
}

std::vector<VenueSummary> listVenues(Store& store) {
  std::vector<VenueSummary> out;
  store.read([&](Reader& r) {
    out.clear();
    // Venues, events and operators number in the tens: reading them all is cheaper than a query
    // of their own in each store.
    const std::vector<Event> events = r.allEvents();
    const std::vector<Operator> operators = r.allOperators();
    for (const Venue& v : r.allVenues()) {
      VenueSummary s{v.placeCode, v.theaterName, {}, 0, 0};
      for (const Event& e : events) {
        if (e.placeCode != v.placeCode) continue;
        ++s.events;
        if (e.active) s.activeBizCode = e.bizCode;
      }
      for (const Operator& o : operators) s.operators += o.placeCode == v.placeCode ? 1 : 0;
      out.push_back(std::move(s));
    }
  });
  return out;
}

std::size_t exportScans(Store& store, const ScanExport& what, std::ostream& out) {
  // OperatorVerified is the last column, so that a sheet made for the columns before it reads
  // every one of them where it always was.
  const std::string header =
      "\xEF\xBB\xBF" "Time,Kind,Operator,Source,Mode,Block,TicketNo,BizCode,Code,Message,OperatorVerified\r\n";
  std::vector<std::string> rows;
  store.read([&](Reader& r) {
    if (!r.findVenue(what.placeCode)) throw SetupError("There is no venue " + what.placeCode + ".");
    if (what.bizCode) {
      const std::optional<Event> e = r.findEvent(*what.bizCode);
      if (!e || e->placeCode != what.placeCode)
        throw SetupError("The venue " + what.placeCode + " has no event " + *what.bizCode + ".");
    }
    const StationNames stations = stationNames(r);
    // Rows in id order, so that an annul (control_room.h), which comes after the entry it takes
    // back, finds that entry's row and marks its kind.
    rows.clear();
    std::vector<std::int64_t> rowIds;
    for (std::int64_t after = 0;;) {
      const std::vector<ScanRecord> page = r.scanLog(after, kScanPage);
      for (const ScanRecord& l : page) {
        const bool everyVenues = isSessionlessCount(l) && !what.bizCode;
        if (!everyVenues && (l.placeCode != what.placeCode || (what.bizCode && l.bizCode != *what.bizCode))) continue;
        if (const auto annulled = annulledLine(l)) markAnnulled(rows, rowIds, *annulled);
        if ((what.since && l.at < *what.since) || (what.until && l.at >= *what.until)) continue;
        // A registered station by its name (which add-station keeps from reading as an address).
        std::string row;
        for (const std::string& f : {formatLocalTime(l.at), kindName(l), l.operatorId,
                                     sourceLabel(l.source, stations), l.mode,
                                     l.block, l.ticketNo, l.bizCode, l.code, l.message})
          row += csvField(f) + ",";
        row += std::string(operatorVerified(l)) + "\r\n";
        rows.push_back(std::move(row));
        rowIds.push_back(l.id);
      }
      if (page.size() < kScanPage) break;
      after = page.back().id;
    }
  });
  out << header;
  for (const std::string& row : rows) out << row;
  const std::size_t count = rows.size();
  out.flush();
  if (!out) throw SetupError("The scan log could not be written out.");
  return count;
}

void backupStore(Store& store, const std::string& path) { store.backupTo(path); }

}  // namespace tav::server
