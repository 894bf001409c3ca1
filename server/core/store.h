// The store behind the procedures: typed reads and writes, with no SQL visible above this line, so
// that an SQLite and a PostgreSQL store can stand side by side.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/core/errors.h"
#include "wire/stands.h"

namespace tav::server {

// Milliseconds since 1970-01-01 UTC: every time the store keeps.
using TimeMs = std::int64_t;
inline constexpr TimeMs kMinuteMs = 60 * 1000;

// The four stand blocks, as tickets and block filters name them, and a name's index among them.
using wire::blockIndex;
using wire::kBlocks;
inline constexpr std::size_t kBlockCount = std::tuple_size_v<std::remove_const_t<decltype(kBlocks)>>;

struct Venue {
  std::string placeCode, theaterName;
};

// How long a station may go on deciding offline after its list's last refresh, in minutes: by
// default, and at most (a day).
inline constexpr std::int64_t kDefaultOfflineMaxAgeMinutes = 30;
inline constexpr std::int64_t kMaxOfflineMaxAgeMinutes = 24 * 60;

struct Event {
  std::string bizCode, placeCode, goodsName, playDate;
  bool active = false;
  // Whether registered stations may fetch the event's offline list and decide from it while the
  // back-end is out of reach, and for how long after the list's last refresh. Off unless the
  // venue turns it on.
  bool offline = false;
  std::int64_t offlineMaxAgeMinutes = kDefaultOfflineMaxAgeMinutes;
  // The event's key for the offline list's hashes (offline/list.h): 32 hex characters, made by the
  // store when the event is added with none (newOfflineKey), and moved with the event.
  std::string offlineKey;
};

// 16 random bytes in 32 lowercase hex characters: a new event's offline key.
std::string newOfflineKey();

// An admin may do everything a gate operator may, and more.
enum class OperatorRole { Gate, Admin };

// The role's name as the store keeps it and the command line shows it: "gate" or "admin".
inline const char* roleName(OperatorRole role) { return role == OperatorRole::Admin ? "admin" : "gate"; }

// The role a store names; anything but "admin" is a gate operator, the role that grants least.
inline OperatorRole roleNamed(std::string_view name) {
  return name == "admin" ? OperatorRole::Admin : OperatorRole::Gate;
}

struct Operator {
  std::string id, passwordHash, placeCode;
  bool active = true;
  OperatorRole role = OperatorRole::Gate;
};

struct Ticket {
  std::int64_t id = 0;  // the store's key; ignored by insertTicket
  std::string bizCode, ticketNo, custName, goodsName, playDate, placeName, seatGradeName, seatInfo,
      block;
  bool cancelled = false;
  // Cancelled by the venue itself (cancel-ticket), not by the ticketing system's export: a sync
  // that finds the ticket valid in the export keeps it cancelled.
  bool cancelledHere = false;
  bool inside = false;
  std::int64_t entryCount = 0;
  std::optional<TimeMs> firstEntry, lastEntry, lastExit;
  // Raised by one at every change of the ticket's state (entry, exit, cancellation), so that an
  // answer kept for a retried check can tell whether the ticket is still as that check left it.
  std::int64_t version = 0;
};

// A ticket check's idempotency key as the store keeps it for a while: what it is bound to (the
// command's values and the session's operator) and the answer it got, never the holder's details.
struct CheckKeyRecord {
  std::string key;
  std::string operatorId, mode, bizCode, block, ticketNo;
  std::string code, message;  // the answer's ErrCode and ErrMsg
  // The ticket's version as the check left it; none when the answer did not rest on the ticket
  // (an unknown ticket, a refusal decided before it was looked at).
  std::optional<std::int64_t> ticketVersion;
  TimeMs at = 0;  // when the key was first used or its check last decided
};

// Outcomes of sign-in attempts that the lockouts count start with "failed:"; the failure that
// locked an ID for one source address is kOutcomeLockout, the one that locked it for every
// address kOutcomeLockoutAll. A line with kOutcomeUnlock ends every lockout of its ID before it.
inline constexpr std::string_view kOutcomeFailedPrefix = "failed:";
inline constexpr std::string_view kOutcomeLockout = "failed:lockout";
inline constexpr std::string_view kOutcomeLockoutAll = "failed:lockout-all";
inline constexpr std::string_view kOutcomeUnlock = "unlock";

// The kind of scan-log line a control-room action writes (control_room.h), beside "check", "login"
// and "place": the action is its outcome, and an annul's `code` holds the id of the line it annuls.
inline constexpr std::string_view kControlKind = "control";
// The outcome of a control-room line that annuls an entry: the export marks the entry it names.
inline constexpr const char* kOutcomeAnnul = "annul";

// One line of the append-only scan log: a ticket check or a sign-in attempt.
struct ScanRecord {
  std::int64_t id = 0;   // assigned by the store, increasing
  TimeMs at = 0;
  std::string kind;      // "check", "login" (operator) or "place" (venue sign-in)
  std::string bizCode, mode, block, ticketNo;
  std::string operatorId;  // "?" for an ID that is no operator's: it may be a mistyped password
  std::string placeCode;
  std::string code, message;  // the answer's ErrCode and ErrMsg
  std::string outcome;   // why, in one word, for the operator's lockout and for audits
  std::string source;    // the client's address; "local" for the setup tool, "" in older lines
  std::int64_t session = 0;  // the id of the session the request came with (0: none)
  // A ticket check's idempotency key, when the check claimed one (a live session of its own
  // operator sent it); empty otherwise. A decision handed over later under the same key is the
  // same check.
  std::string idempotencyKey;
};

// The id of the check line an annul line (kind kControlKind, outcome kOutcomeAnnul) takes back;
// none for any other line.
std::optional<std::int64_t> annulledLine(const ScanRecord& line);

// The outcomes of checks whose operator ID is only what the request typed: no live session came
// with it, or the session is another operator's. Anyone can send such a check for any ticket as
// often as the per-address counts let him, so none is part of a ticket's history (ticketLog) and
// the export marks its operator unverified. Each store's index of ticket histories names them too.
inline constexpr std::string_view kOutcomeNoSession = "no-session";
inline constexpr std::string_view kOutcomeNotSessionOperator = "not-session-operator";

// An id above every scan-log line's: ticketLog's `beforeId` for the newest lines.
inline constexpr std::int64_t kPastEveryLine = std::numeric_limits<std::int64_t>::max();

// A signed-in operator's session as the store keeps it: never the token, only its SHA-256 (hex),
// so that a copy of the store lets nobody in, and several servers of one database share sessions.
struct SessionRecord {
  std::int64_t id = 0;  // assigned by the store
  std::string tokenHash, operatorId, placeCode;
  OperatorRole role = OperatorRole::Gate;
  std::string source;
  TimeMs created = 0, lastUse = 0;
  std::int64_t station = 0;  // the registered station it was opened through (0: none)
};

// A registered gate PC of a venue. Its key is never kept, only the key's SHA-256 (hex), as for
// session tokens.
struct StationRecord {
  std::int64_t id = 0;  // assigned by the store
  std::string placeCode, name;
  std::string block;    // one of kBlocks, or empty for a station that serves every block
  std::string keyHash;
  TimeMs created = 0;
  std::optional<TimeMs> lastSeen;  // written at most once a minute
  std::optional<TimeMs> removed;   // a removed station's key opens nothing; its name may be reused
};

// What the offline list carries of a ticket (offline_list.h): its state, never its holder or seat.
struct TicketState {
  std::int64_t id = 0;  // the store's key, for reading on after it
  std::string ticketNo, block;
  bool cancelled = false, inside = false;
  std::int64_t entryCount = 0;
  std::optional<TimeMs> lastEntry;
};

// A one-time code that makes a browser station of the venue when an operator of it redeems it:
// the store keeps only the code's hash. `station` is the station it made, 0 while it is unused.
struct EnrolmentRecord {
  std::string codeHash, placeCode, name, block;
  TimeMs created = 0, expires = 0;
  std::int64_t station = 0;
};

// A station fetched the offline list of an event and block (one of kBlocks or "전체"), last at
// `fetchedAt`: a decision it hands over later is taken only for a list it fetched.
struct OfflineListFetch {
  std::int64_t station = 0;
  std::string bizCode, block;
  TimeMs fetchedAt = 0;
};

// What the control room is told of a hand-over, line by line: an offline decision the back-end
// would have refused, kept beside what it clashes with, or a decision the hand-over refused to
// take (reason kOfflineRefused, with why). A hand-over's lines share the id of its first as their
// alarm.
inline constexpr std::string_view kOfflineRefused = "refused";
struct OfflineConflict {
  std::int64_t id = 0;     // assigned by the store unless a copy gives it
  std::int64_t alarm = 0;  // 0 when kept: the conflict is the first of its hand-over, its id the alarm's
  TimeMs handedAt = 0;     // when the hand-over was kept
  std::string bizCode, ticketNo, block;
  std::string reason;      // the back-end's outcome word: "already-inside", "cancelled", ...
  std::string gate;        // the offline station's source, as its scan-log line names it
  // The station's decision: as its scan-log line has it (clamped into the station's silence), or
  // as the station sent it for a refused one, which has no line.
  TimeMs at = 0;
  // The source and time of the line that made the state it clashes with (the admission before it,
  // the exit, the cancellation); empty and none when the store holds no such line.
  std::string otherGate;
  std::optional<TimeMs> otherAt;
  std::string why;  // a refused decision's reason, in one sentence; empty for a conflict
};

// Tickets of an event admitted at least once, in all and per block (in kBlocks order).
struct AdmittedCounts {
  std::int64_t total = 0;
  std::array<std::int64_t, kBlockCount> byBlock{};
};

struct EventCounts {
  Event event;
  std::int64_t tickets = 0, cancelled = 0, admitted = 0, inside = 0;
};

// Which sign-in attempts of one operator ID the lockouts look at. Only lines after the ID's last
// kOutcomeUnlock line count for any of them.
struct LoginQuery {
  std::string operatorId, source;
  TimeMs sourceLockoutsAfter = 0, globalLockoutsAfter = 0;
  TimeMs sourceFailuresAfter = 0, globalFailuresAfter = 0;
};

// What the lockouts know about recent sign-in attempts of one ID.
struct LoginHistory {
  std::optional<TimeMs> sourceLockout;  // the latest kOutcomeLockout from the source, if recent
  std::optional<TimeMs> globalLockout;  // the latest kOutcomeLockoutAll from anywhere, if recent
  std::int64_t sourceFailures = 0;      // recent failures from the source after sourceLockout
  std::int64_t globalFailures = 0;      // recent failures from anywhere after globalLockout
};

// What the live dashboard reads of one event. The stores keep counters for it, updated as tickets
// change and as checks are logged, so that reading it costs the same at any size of the scan log.
// Minutes are counted from 1970 (a time in ms divided by 60000).
struct IngressQuery {
  std::string bizCode;
  std::int64_t flowSince = 0;      // first minute of entries and exits
  std::int64_t refusalsSince = 0;  // first minute of refusals by reason
  std::int64_t gatesSince = 0;     // first minute of the gates' checks and refusals
  std::int64_t gatesSeenSince = 0;  // gates with no check since this minute are left out
  std::int64_t gateMinutesSince = 0;  // first minute of the gates' counts minute by minute
};

struct IngressFlow {
  std::int64_t minute = 0;
  std::size_t block = 0;  // index in kBlocks
  std::int64_t entries = 0, exits = 0;
};

struct IngressGate {
  std::string source;
  std::int64_t checks = 0, refusals = 0;  // since the query's gatesSince
  TimeMs lastCheck = 0;
};

// One gate's checks in one minute (reason empty), or its refusals for one reason (the scan log's
// outcome word) in that minute.
struct IngressGateMinute {
  std::string source;
  std::int64_t minute = 0;
  std::string reason;
  std::int64_t count = 0;
};

struct IngressCounts {
  std::array<std::int64_t, kBlockCount> admitted{}, inside{};  // per block, in kBlocks order
  std::vector<IngressFlow> flow;                      // minutes with any entry or exit
  std::vector<std::pair<std::string, std::int64_t>> refusals;  // by the scan log's outcome word
  std::vector<IngressGate> gates;                     // by source address
  std::vector<IngressGateMinute> gateMinutes;         // since the query's gateMinutesSince
};

// How many may be inside each stand block at once, in kBlocks order; 0 where none is set.
using BlockCapacity = std::array<std::int64_t, kBlockCount>;

// Consistent reads: everything one Reader returns comes from one snapshot.
class Reader {
 public:
  virtual ~Reader() = default;
  virtual std::optional<Venue> findVenue(const std::string& placeCode) = 0;
  virtual std::optional<Event> findEvent(const std::string& bizCode) = 0;
  virtual std::optional<Event> findActiveEvent(const std::string& placeCode) = 0;
  virtual std::optional<Operator> findOperator(const std::string& id) = 0;
  virtual std::optional<Ticket> findTicket(const std::string& bizCode, const std::string& ticketNo) = 0;
  virtual AdmittedCounts countAdmitted(const std::string& bizCode) = 0;
  virtual std::vector<EventCounts> listEvents(const std::string& placeCode) = 0;
  // Lockouts of the ID after their `...LockoutsAfter`, failures after their `...FailuresAfter` and
  // after the lockout of the same kind; none at or before the ID's last unlock.
  virtual LoginHistory loginHistory(const LoginQuery& query) = 0;
  // The dashboard's counters of one event; never a scan of the scan log or of the tickets.
  virtual IngressCounts ingressCounts(const IngressQuery& query) = 0;
  // The stand capacities set for the event (all 0 when none is).
  virtual BlockCapacity eventCapacity(const std::string& bizCode) = 0;
  // Scan log lines with an id above `afterId`, oldest first, at most `limit`.
  virtual std::vector<ScanRecord> scanLog(std::int64_t afterId, std::size_t limit) = 0;
  // The session whose token has this hash, ended or not.
  virtual std::optional<SessionRecord> findSession(const std::string& tokenHash) = 0;
  // Every station of every venue, removed ones too, in id order: there are a few hundred at most.
  virtual std::vector<StationRecord> allStations() = 0;
  // The session last opened through the station, ended or not.
  virtual std::optional<SessionRecord> latestStationSession(std::int64_t stationId) = 0;
  // The ID's sign-in lines after `after` that lock it or end its lockouts (kOutcomeLockout,
  // kOutcomeLockoutAll, kOutcomeUnlock), oldest first.
  virtual std::vector<ScanRecord> lockoutLines(const std::string& operatorId, TimeMs after) = 0;
  // The event's tickets whose holder's name, compared byte for byte, lies in [from, to), by name
  // and then id, at most `limit`: a name prefix is such a range (holderPrefixEnd, control_room.h),
  // which an index of the names serves at any number of tickets.
  virtual std::vector<Ticket> ticketsByHolder(const std::string& bizCode, const std::string& from,
                                              const std::string& to, std::size_t limit) = 0;
  // The ticket's history: the scan-log lines that name it (its checks and the control room's
  // actions on it) but for the checks of kOutcomeNoSession and kOutcomeNotSessionOperator, read
  // through an index of those lines alone, so that no number of such checks changes what these
  // return or what they cost.
  // ticketLog: the newest `limit` of them with an id below `beforeId` (kPastEveryLine: the newest
  // of all); ticketLogAfter: the first `limit` with an id above `afterId`. Both oldest first.
  virtual std::vector<ScanRecord> ticketLog(const std::string& bizCode, const std::string& ticketNo,
                                            std::int64_t beforeId, std::size_t limit) = 0;
  virtual std::vector<ScanRecord> ticketLogAfter(const std::string& bizCode, const std::string& ticketNo,
                                                 std::int64_t afterId, std::size_t limit) = 0;

  // Everything else the store holds, for moving it to another store.
  virtual std::vector<Venue> allVenues() = 0;
  virtual std::vector<Event> allEvents() = 0;
  virtual std::vector<Operator> allOperators() = 0;
  // Tickets with an id above `afterId`, in id order, at most `limit`, with their whole state.
  virtual std::vector<Ticket> tickets(std::int64_t afterId, std::size_t limit) = 0;

  // The states of the event's tickets of one block with an id above `afterId`, in id order, at
  // most `limit`, read through an index of the event's tickets by block, so that a page costs
  // what it returns whatever else the store holds.
  virtual std::vector<TicketState> ticketStates(const std::string& bizCode, const std::string& block,
                                                std::int64_t afterId, std::size_t limit) = 0;
  // The check line of the event's ticket that kept this idempotency key, if the scan log holds
  // one (the first, should there be several); read through the index of ticket histories, which
  // holds every keyed line.
  virtual std::optional<ScanRecord> keyedCheckLine(const std::string& bizCode, const std::string& ticketNo,
                                                   const std::string& key) = 0;
  // The offline lists the station fetched: the last fetch of each event and block.
  virtual std::vector<OfflineListFetch> offlineListFetches(std::int64_t stationId) = 0;
  // The highest sequence of the station's offline decisions the back-end acknowledged; 0 for none.
  virtual std::int64_t acknowledgedSequence(std::int64_t stationId) = 0;
  // The event's offline conflicts, oldest first: a few per copied ticket scanned during an outage.
  virtual std::vector<OfflineConflict> offlineConflicts(const std::string& bizCode) = 0;
  // The enrolment code of this hash, used or not.
  virtual std::optional<EnrolmentRecord> findEnrolment(const std::string& codeHash) = 0;
  // The stations that redeemed an enrolment code: the browser stations.
  virtual std::set<std::int64_t> enrolledStations() = 0;
};

// A unit of work that may write. Decisions taken on what it reads hold until it ends: a ticket
// returned by lockTicket cannot change under it (SQLite runs one writer at a time; PostgreSQL
// locks the row until the transaction ends).
class Transaction : public Reader {
 public:
  virtual std::optional<Ticket> lockTicket(const std::string& bizCode, const std::string& ticketNo) = 0;
  // Each raises the ticket's version by one, as setTicketCancelled does.
  virtual void recordEntry(std::int64_t ticketId, TimeMs at) = 0;
  virtual void recordExit(std::int64_t ticketId, TimeMs at) = 0;
  // Takes back the ticket's last entry, made at `entryAt` while it was outside (the caller has
  // locked the ticket and found that entry its last): the ticket is outside again, its entry count
  // one lower, its last entry `previousEntry` (its first entry gone too when none is left), its
  // version raised; the dashboard's counters are as before that entry, with no exit counted.
  virtual void annulEntry(const Ticket& ticket, TimeMs entryAt, std::optional<TimeMs> previousEntry) = 0;

  // Claims a check's idempotency key for this transaction. Two transactions that claim one key, on
  // any servers of the store, never both keep it: the second waits for the first, or is undone and
  // run again once the first has committed, and then finds what the first kept. A store may take
  // a key for new until keepCheckKey() shows otherwise (undoing the transaction and running it
  // again, reading the key first). What the key holds is known from the next statement that reads
  // and returned by claimedCheckKey().
  virtual void claimCheckKey(const std::string& key) = 0;
  // What the key claimed last held when it was claimed: the record an earlier committed check
  // kept, or none.
  virtual std::optional<CheckKeyRecord> claimedCheckKey() = 0;
  // Keeps the key with its check's answer, in place of what it held.
  virtual void keepCheckKey(const CheckKeyRecord& record) = 0;
  // Forgets up to `limit` of the keys whose record's time lies outside [from, to]: too old, or
  // stamped ahead of the clock by a clock that was stepped back since. Returns how many; fewer
  // than `limit` means no such key is left.
  virtual std::size_t forgetCheckKeys(TimeMs from, TimeMs to, std::size_t limit) = 0;
  virtual void appendScanLog(const ScanRecord& record) = 0;
  // Holds back every other sign-in of this operator ID, on any server of the store, until this
  // transaction ends: the lockout then counts each attempt against all the attempts before it.
  virtual void holdSignIns(const std::string& operatorId) = 0;

  virtual void insertVenue(const Venue& venue) = 0;
  // An event without an offline key gets a new one (newOfflineKey).
  virtual void insertEvent(const Event& event) = 0;
  // Leaves no active event at the venue.
  virtual void deactivateEvents(const std::string& placeCode) = 0;
  virtual void insertOperator(const Operator& op) = 0;
  // False, and nothing written, when the event already has a ticket with this number. The new
  // ticket's id is above that of every ticket the store held before it (the import relies on it).
  virtual bool insertTicket(const Ticket& ticket) = 0;

  // Changes made on match day. Activating an event does not touch the venue's others: the caller
  // deactivates them first.
  virtual void setEventActive(const std::string& bizCode, bool active) = 0;
  // Turns the event's offline checking on or off and sets how long a list serves
  // (1 to kMaxOfflineMaxAgeMinutes minutes).
  virtual void setEventOffline(const std::string& bizCode, bool offline, std::int64_t maxAgeMinutes) = 0;
  // Records that the station fetched the list of the event and block at `fetchedAt`; a later
  // fetch of the same replaces it, an earlier one changes nothing.
  virtual void noteOfflineList(const OfflineListFetch& fetch) = 0;
  // Records that every offline decision of the station up to `sequence` is handed over; a lower
  // sequence than the one kept changes nothing.
  virtual void acknowledgeSequence(std::int64_t stationId, std::int64_t sequence) = 0;
  // Keeps an offline conflict and returns its id: the one given (a copy), else a new one. With an
  // alarm of 0 the conflict is its own alarm's first.
  virtual std::int64_t keepOfflineConflict(const OfflineConflict& conflict) = 0;
  // Counts an entry (or exit) of the ticket's block at `at` in the dashboard's minutes without a
  // change of any ticket: an offline decision kept beside a later state of its ticket.
  virtual void countPassage(const std::string& bizCode, const std::string& block, TimeMs at, bool exit) = 0;
  // Keeps a new enrolment code; also forgets the unused codes that expired before `expiredBefore`.
  virtual void insertEnrolment(const EnrolmentRecord& enrolment, TimeMs expiredBefore) = 0;
  // Marks the code used: it made `stationId`.
  virtual void redeemEnrolment(const std::string& codeHash, std::int64_t stationId) = 0;
  // Replaces the event's stand capacities; 0 leaves a block without one.
  virtual void setEventCapacity(const std::string& bizCode, const BlockCapacity& capacity) = 0;
  // The venue's own cancellation or restoration: a cancellation is marked as made here.
  virtual void setTicketCancelled(std::int64_t ticketId, bool cancelled) = 0;
  // Empties the holder's name and seat of every ticket of the event; returns how many tickets
  // still had either. Their state, counts and the scan log stay as they are.
  virtual std::size_t eraseHolderDetails(const std::string& bizCode) = 0;
  // Gives the ticket the holder, event, seat and block details, the status and the mark of a
  // cancellation made here of `details`, raising its version; its entry state and times stay.
  virtual void updateTicket(std::int64_t ticketId, const Ticket& details) = 0;
  virtual void setOperatorPassword(const std::string& id, const std::string& passwordHash) = 0;
  virtual void setOperatorActive(const std::string& id, bool active) = 0;
  // Returns the new session's id; also forgets the sessions last used before `idleBefore` or
  // created before `createdBefore`, which have ended and can never be used again.
  virtual std::int64_t insertSession(const SessionRecord& session, TimeMs idleBefore, TimeMs createdBefore) = 0;
  // Records a use of the session; it must be one that findSession returned in this transaction.
  virtual void touchSession(const SessionRecord& session, TimeMs at) = 0;
  // Ends the operator's sessions, or every session when no ID is given; returns how many.
  virtual std::size_t endSessions(const std::optional<std::string>& operatorId) = 0;

  // Returns the new station's id. A name that a live station of the venue has, or a key hash
  // already known, shows at the latest on commit.
  virtual std::int64_t insertStation(const StationRecord& station) = 0;
  // Marks the station removed at `at` and ends the sessions opened through it.
  virtual void removeStation(std::int64_t stationId, TimeMs at) = 0;
  // Records that the station was seen at `at` (never moves it back).
  virtual void touchStation(std::int64_t stationId, TimeMs at) = 0;
  // A station exactly as another store holds it, id kept.
  virtual void restoreStation(const StationRecord& station) = 0;

  // A ticket or a scan-log line exactly as another store holds it: id, state and times kept.
  // Later ids the store assigns itself come after it. A clash shows at the latest on commit.
  virtual void restoreTicket(const Ticket& ticket) = 0;
  virtual void restoreScanRecord(const ScanRecord& record) = 0;
};

class WorkerPool;

// A write that waited longer than this for its turn (the store's queue, a free database
// connection) is answered without being run: its station has nearly given up on it by then.
inline constexpr std::chrono::milliseconds kWriteTurnLimit{5000};
// A serving store ends every transaction on a database across the network within this.
inline constexpr std::chrono::milliseconds kTransactionLimit{3000};
// A look at the store's health answers within this.
inline constexpr std::chrono::milliseconds kHealthLimit{2000};

// What a write is answered that the store did not run: nothing of it was kept.
StoreUnavailable notChecked();

// What a fresh look at the store found: answering and writable, or why not (for the log).
struct StoreHealth {
  enum class State { Ok, NotAnswering, NotWritable };
  State state = State::Ok;
  std::string detail;  // empty when Ok
};

class Store {
 public:
  using Clock = std::function<TimeMs()>;
  // The end of an asynchronous write: null when the work's changes are durable, otherwise what
  // write() would have thrown (StoreUnavailable: nothing kept; OutcomeUnknown; or the work's own).
  using Done = std::function<void(std::exception_ptr)>;
  // Told once, with one sentence, when the store can no longer vouch for what it committed (the
  // disk refused a log flush). The callers of the writes concerned have already been given
  // OutcomeUnknown. The server answers what is under way and exits without closing the store.
  using FatalHandler = std::function<void(const std::string&)>;

  Store();
  virtual ~Store();

  // Runs `work` in a transaction and returns once its changes are durable. The store may commit
  // the work of concurrent callers together; each caller's work still succeeds or fails alone.
  // An exception from `work` undoes its changes and reaches the caller; a failed commit throws
  // StoreUnavailable and nothing of the work is kept. A store that finds its database connection
  // dead before the commit runs `work` once more from the start, after the database undid the
  // first run: `work` must leave nothing outside the transaction but what its last run sets.
  virtual void write(const std::function<void(Transaction&)>& work) = 0;

  // Queues `work` as write() does and returns at once; `done` runs exactly once, on a thread of the
  // store, when the work's changes are durable or have failed. `done` must be quick and must not
  // throw: it runs where the next batch waits. The default runs write() on a pool of the store's.
  virtual void writeAsync(std::function<void(Transaction&)> work, Done done);

  // Why the store cannot take writes right now (the last write failed: disk full, a refused flush,
  // the file changed under the server), in one sentence; empty while writes succeed.
  virtual std::string writeFault() const { return {}; }

  // How many writes wait for their turn now (0 for a store that cannot tell): what work that can
  // wait, such as a hand-over of offline decisions, defers to the live checks by.
  // The default counts the writes queued by the default writeAsync.
  virtual std::size_t writesWaiting() const { return asyncWaiting_.load(std::memory_order_relaxed); }

  // Set before the store is shared between threads; the default handler does nothing.
  void setFatalHandler(FatalHandler handler) { fatal_ = std::move(handler); }

  // Runs `work` on a consistent snapshot; never waits for the writer's queue, only (at most) for
  // the changes it saw to be durable. Throws StoreUnavailable. `work` may run twice, as for write().
  virtual void read(const std::function<void(Reader&)>& work) = 0;

  // Readies the store for a stream of checks, once, before a server takes requests.
  virtual void warmUp() {}

  // One round trip to the store now, on a connection of its own that no check or sign-in holds
  // up, within kHealthLimit: does it answer, and can it take writes? Never throws. The default
  // reads on the store's usual path and adds writeFault().
  virtual StoreHealth probeHealth();

  // Writes a consistent copy of everything the store holds to a new file at `path` while writes go
  // on, and returns once the copy is on the disk. Throws std::runtime_error with one sentence when
  // this kind of store is not backed up this way, or the copy fails (no file is left then).
  virtual void backupTo(const std::string& path);

  // Leaves no copy of what writes removed or overwrote in the store's free space or its log, and
  // returns once that is on the disk. Throws StoreUnavailable when it cannot finish now.
  virtual void eraseRemovedData();

  // The store's clock, replaceable for tests (set it before the store is shared between threads).
  TimeMs now() const { return clock_ ? clock_() : systemNow(); }
  void setClock(Clock clock) { clock_ = std::move(clock); }

  static TimeMs systemNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

 protected:
  // A store that relies on the default writeAsync calls this first thing in its destructor, so
  // that the writes still queued run while the store is whole.
  void finishAsyncWrites();

  // The default writeAsync's write: `queued` is when it joined the queue, so that a store that
  // waits again for its turn (a free connection) counts the whole wait against kWriteTurnLimit.
  virtual void writeQueued(const std::function<void(Transaction&)>& work,
                           std::chrono::steady_clock::time_point queued) {
    (void)queued;
    write(work);
  }

  void reportFatal(const std::string& sentence) {
    if (fatal_) fatal_(sentence);
  }

 private:
  Clock clock_;
  FatalHandler fatal_;
  std::unique_ptr<WorkerPool> pool_;  // started by the first default writeAsync
  std::atomic<std::size_t> asyncWaiting_{0};  // its writes not yet begun
  std::once_flag poolStarted_;
};

}  // namespace tav::server
