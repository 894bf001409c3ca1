// The control room's lookups and supervisor actions over the store: admin sessions only, each
// action decided and logged in one transaction with the admin who took it.
#include "server/core/control_room.h"

#include <algorithm>
#include <map>
#include <utility>

#include "server/core/command_parser.h"
#include "server/core/errors.h"
#include "server/core/match_day.h"
#include "server/core/offline_handover.h"
#include "server/core/sessions.h"
#include "server/core/setup.h"
#include "server/core/stations.h"

namespace tav::server {
namespace {

// A lookup's text is a ticket number or the start of a name: neither is longer.
constexpr std::size_t kMaxQueryBytes = 200;

// The admin's live session; anything else learns nothing.
SessionInfo requireAdmin(Reader& r, const ControlCaller& caller, TimeMs now) {
  std::optional<SessionInfo> session = liveSession(r, caller.sessionToken, now);
  if (!session || session->role != OperatorRole::Admin) throw NotSignedIn();
  return *session;
}

// The event, when it is the admin's venue's; another venue's reads as no event at all.
Event requireEvent(Reader& r, const SessionInfo& admin, const std::string& bizCode) {
  std::optional<Event> event = r.findEvent(bizCode);
  if (!event || event->placeCode != admin.placeCode)
    throw SetupError("The venue has no event with the business code " + bizCode + ".");
  return *event;
}

SetupError noTicket(const std::string& ticketNo) {
  return SetupError("The event has no ticket " + ticketNo + ".");
}

bool isEntry(const ScanRecord& l) { return l.kind == "check" && (l.outcome == "entry" || l.outcome == "reentry"); }

// Why the entry line `entry` cannot be annulled at `now`, in one sentence for the supervisor, or
// nothing when it can. `next` is the first line of the ticket's history after it that is an entry
// or annuls it, if any: the ticket's lines in between change nothing the rule looks at.
std::optional<std::string> whyNotAnnullable(const Ticket& t, const ScanRecord& entry, const ScanRecord* next,
                                            TimeMs now) {
  if (next && annulledLine(*next) == entry.id) return "This entry was already annulled.";
  if (now - entry.at > kAnnulWindowMs) return "This entry is more than 15 minutes old and can no longer be annulled.";
  if (!t.inside) return "The ticket has gone out since this entry; it can no longer be annulled.";
  if (next || t.lastEntry != entry.at)
    return "The ticket has entered again since this entry; only its last entry can be annulled.";
  return std::nullopt;
}

// The first line after `entry` in `lines` (oldest first) that is an entry or annuls it.
const ScanRecord* entryOrAnnulAfter(const std::vector<ScanRecord>& lines, const ScanRecord& entry) {
  for (const ScanRecord& l : lines)
    if (l.id > entry.id && (isEntry(l) || annulledLine(l) == entry.id)) return &l;
  return nullptr;
}

// The control room's line in the scan log: the admin, the ticket and what was done to it.
ScanRecord controlLine(const SessionInfo& admin, const ControlCaller& caller, const Ticket& t, TimeMs now,
                       const char* outcome, std::string code, std::string message) {
  ScanRecord line;
  line.at = now;
  line.kind = std::string(kControlKind);
  line.bizCode = t.bizCode;
  line.block = t.block;
  line.ticketNo = t.ticketNo;
  line.operatorId = admin.operatorId;
  line.placeCode = admin.placeCode;
  line.code = std::move(code);
  line.message = std::move(message);
  line.outcome = outcome;
  line.source = caller.source;
  line.session = admin.id;
  return line;
}

// The previous entry that still stands before `entry`, by the ticket's history before it (an annul
// of an earlier entry comes before `entry` too: only the last entry is ever annulled); none when
// the annulled entry was the ticket's only one.
std::optional<TimeMs> entryBefore(Transaction& tx, const Ticket& t, const ScanRecord& entry) {
  if (t.entryCount <= 1) return std::nullopt;
  const std::vector<ScanRecord> lines = tx.ticketLog(t.bizCode, t.ticketNo, entry.id, kStoryLines);
  std::vector<std::int64_t> annulled;
  for (const ScanRecord& l : lines)
    if (auto id = annulledLine(l)) annulled.push_back(*id);
  for (auto it = lines.rbegin(); it != lines.rend(); ++it)
    if (isEntry(*it) && std::find(annulled.begin(), annulled.end(), it->id) == annulled.end()) return it->at;
  // Entries from before the log was kept (a copied store): the first one is all that is known.
  return t.firstEntry;
}

// The ticket's entry line `lineId`, read by its id, and the first line of the ticket's history
// after it that is an entry or annuls it, read page by page however many lines came between.
// SetupError when the line is no entry of the ticket.
std::pair<ScanRecord, std::optional<ScanRecord>> entryAndNext(Transaction& tx, const Ticket& t, std::int64_t lineId) {
  std::vector<ScanRecord> page = lineId > 0 ? tx.ticketLogAfter(t.bizCode, t.ticketNo, lineId - 1, kStoryLines)
                                            : std::vector<ScanRecord>{};
  if (page.empty() || page.front().id != lineId || !isEntry(page.front()))
    throw SetupError("Line " + std::to_string(lineId) + " is no entry of ticket " + t.ticketNo + ".");
  const ScanRecord entry = page.front();
  for (;;) {
    if (const ScanRecord* next = entryOrAnnulAfter(page, entry)) return {entry, *next};
    if (page.size() < kStoryLines) return {entry, std::nullopt};
    page = tx.ticketLogAfter(t.bizCode, t.ticketNo, page.back().id, kStoryLines);
  }
}

}  // namespace

std::string holderPrefixEnd(const std::string& prefix) {
  // The last character's code point plus one (past the surrogates, which UTF-8 never holds): every
  // name that starts with the prefix sorts below it, and every other name at or above it does not
  // start with the prefix.
  std::size_t start = prefix.size();
  while (start > 0 && (static_cast<unsigned char>(prefix[start - 1]) & 0xC0) == 0x80) --start;
  if (start == 0) throw BadCommand("A name prefix must be UTF-8 text.");
  --start;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(prefix[i]); };
  const std::size_t length = prefix.size() - start;
  char32_t cp = length == 1 ? byte(start) : byte(start) & (0xFF >> (length + 1));
  for (std::size_t i = start + 1; i < prefix.size(); ++i) cp = (cp << 6) | (byte(i) & 0x3F);
  ++cp;
  if (cp == 0xD800) cp = 0xE000;
  std::string out = prefix.substr(0, start);
  // Nothing follows the last code point: the names that start with the prefix end the range of
  // the prefix without it.
  if (cp > 0x10FFFF) {
    if (out.empty()) throw BadCommand("A name prefix must start with a character a name can hold.");
    return holderPrefixEnd(out);
  }
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

std::vector<Ticket> findTickets(Store& store, const ControlCaller& caller, const std::string& bizCode,
                                const std::string& query) {
  if (query.empty()) throw BadCommand("Give a ticket number or the start of a holder's name.");
  if (query.size() > kMaxQueryBytes || !isValidUtf8(query))
    throw BadCommand("A ticket number or name is UTF-8 text of at most 200 bytes.");
  const std::string end = holderPrefixEnd(query);
  std::vector<Ticket> out;
  store.read([&](Reader& r) {
    out.clear();
    requireEvent(r, requireAdmin(r, caller, store.now()), bizCode);
    if (std::optional<Ticket> exact = r.findTicket(bizCode, query)) out.push_back(std::move(*exact));
    for (Ticket& t : r.ticketsByHolder(bizCode, query, end, kLookupLimit)) {
      if (out.size() >= kLookupLimit) break;
      if (out.empty() || t.id != out.front().id) out.push_back(std::move(t));
    }
  });
  return out;
}

TicketStory ticketStory(Store& store, const ControlCaller& caller, const std::string& bizCode,
                        const std::string& ticketNo) {
  TicketStory story;
  store.read([&](Reader& r) {
    story = TicketStory{};
    story.serverTime = store.now();
    requireEvent(r, requireAdmin(r, caller, story.serverTime), bizCode);
    std::optional<Ticket> ticket = r.findTicket(bizCode, ticketNo);
    if (!ticket) throw noTicket(ticketNo);
    story.ticket = std::move(*ticket);
    const std::vector<ScanRecord> lines = r.ticketLog(bizCode, ticketNo, kPastEveryLine, kStoryLines);
    const StationNames names = stationNames(r);
    std::map<std::int64_t, std::int64_t> annulledBy;
    for (const ScanRecord& l : lines)
      if (auto id = annulledLine(l)) annulledBy.emplace(*id, l.id);
    for (const ScanRecord& l : lines) {
      StoryLine s{l, sourceLabel(l.source, names), std::nullopt, isOfflineDecision(l)};
      if (auto it = annulledBy.find(l.id); it != annulledBy.end()) s.annulledBy = it->second;
      story.lines.push_back(std::move(s));
    }
    // The last entry the story shows, by the rule annulEntry applies: no entry comes after it.
    const auto last = std::find_if(lines.rbegin(), lines.rend(), isEntry);
    if (last != lines.rend() &&
        !whyNotAnnullable(story.ticket, *last, entryOrAnnulAfter(lines, *last), story.serverTime))
      story.annullable = last->id;
  });
  return story;
}

void annulEntry(Store& store, const ControlCaller& caller, const std::string& bizCode, const std::string& ticketNo,
                std::int64_t lineId) {
  store.write([&](Transaction& tx) {
    const TimeMs now = store.now();
    const SessionInfo admin = requireAdmin(tx, caller, now);
    requireEvent(tx, admin, bizCode);
    // Locked first: of two annuls of one entry the second reads what the first wrote.
    const std::optional<Ticket> ticket = tx.lockTicket(bizCode, ticketNo);
    if (!ticket) throw noTicket(ticketNo);
    const auto [entry, next] = entryAndNext(tx, *ticket, lineId);
    if (auto why = whyNotAnnullable(*ticket, entry, next ? &*next : nullptr, now)) throw ActionRefused(*why);
    tx.annulEntry(*ticket, entry.at, entryBefore(tx, *ticket, entry));
    noteSessionUse(tx, admin, now);
    tx.appendScanLog(controlLine(admin, caller, *ticket, now, kOutcomeAnnul, std::to_string(lineId),
                                 "입장 무효 처리 (기록 " + std::to_string(lineId) + ")"));
  });
}

bool setTicketCancelledBy(Store& store, const ControlCaller& caller, const std::string& bizCode,
                          const std::string& ticketNo, bool cancelled) {
  bool changed = false;
  store.write([&](Transaction& tx) {
    const TimeMs now = store.now();
    const SessionInfo admin = requireAdmin(tx, caller, now);
    requireEvent(tx, admin, bizCode);
    const std::optional<Ticket> ticket = tx.findTicket(bizCode, ticketNo);
    if (!ticket) throw noTicket(ticketNo);
    changed = setTicketCancelled(tx, bizCode, ticketNo, cancelled);
    if (!changed) return;
    noteSessionUse(tx, admin, now);
    tx.appendScanLog(controlLine(admin, caller, *ticket, now, cancelled ? kOutcomeCancel : kOutcomeRestore, "",
                                 cancelled ? "티켓 취소" : "티켓 복구"));
  });
  return changed;
}

}  // namespace tav::server
