// The SQLite store's statements: what each typed operation of a SqliteTransaction runs.
#include "server/sqlite/transaction.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace tav::server::sqlite {
namespace {

constexpr const char* kTicketColumns =
    "id, bizcode, ticket_no, cust_name, goods_name, play_date, place_name, seat_grade_name, "
    "seat_info, block, status, inside, entry_count, first_entry, last_entry, last_exit, version, cancelled_here";

Ticket readTicket(const Query& q) {
  Ticket t;
  t.id = q.integer(0);
  t.bizCode = q.text(1);
  t.ticketNo = q.text(2);
  t.custName = q.text(3);
  t.goodsName = q.text(4);
  t.playDate = q.text(5);
  t.placeName = q.text(6);
  t.seatGradeName = q.text(7);
  t.seatInfo = q.text(8);
  t.block = q.text(9);
  t.cancelled = q.text(10) == "cancelled";
  t.inside = q.integer(11) != 0;
  t.entryCount = q.integer(12);
  t.firstEntry = q.optInteger(13);
  t.lastEntry = q.optInteger(14);
  t.lastExit = q.optInteger(15);
  t.version = q.integer(16);
  t.cancelledHere = q.integer(17) != 0;
  return t;
}

constexpr const char* kSessionColumns =
    "id, token_hash, operator_id, place_code, role, source, created, last_use, station";

SessionRecord readSession(const Query& q) {
  return SessionRecord{q.integer(0), q.text(1),    q.text(2),    q.text(3), roleNamed(q.text(4)),
                       q.text(5),    q.integer(6), q.integer(7), q.integer(8)};
}

// An event's columns in Event's order, from the table aliased `e` where a query joins others.
constexpr const char* kEventColumns =
    "e.bizcode, e.place_code, e.goods_name, e.play_date, e.active, e.offline, e.offline_max_age, e.offline_key";
constexpr int kEventColumnCount = 8;

Event readEvent(const Query& q) {
  return Event{q.text(0),    q.text(1), q.text(2), q.text(3), q.integer(4) != 0, q.integer(5) != 0,
               q.integer(6), q.text(7)};
}

// Binds a scan log line's columns but its id, in the table's order, from parameter `first` on.
Query& bindScanRecord(Query& q, int first, const ScanRecord& r) {
  q.bind(first, r.at).bind(first + 1, r.kind).bind(first + 2, r.bizCode).bind(first + 3, r.mode);
  q.bind(first + 4, r.block).bind(first + 5, r.ticketNo).bind(first + 6, r.operatorId);
  q.bind(first + 7, r.placeCode).bind(first + 8, r.code).bind(first + 9, r.message);
  q.bind(first + 10, r.outcome).bind(first + 11, r.source).bind(first + 12, r.session);
  return q.bind(first + 13, r.idempotencyKey);
}

Operator readOperator(const Query& q) {
  return Operator{q.text(0), q.text(1), q.text(2), q.integer(3) != 0, roleNamed(q.text(4))};
}

}  // namespace

void SqliteTransaction::readAllTickets() {
  c_.query("SELECT max(ticket_no) FROM ticket WHERE bizcode >= ''").step();
  c_.query("SELECT max(seat_info) FROM ticket NOT INDEXED").step();
}

std::optional<Venue> SqliteTransaction::findVenue(const std::string& placeCode) {
  Query q = c_.query("SELECT place_code, theater_name FROM venue WHERE place_code = ?1");
  q.bind(1, placeCode);
  if (!q.step()) return std::nullopt;
  return Venue{q.text(0), q.text(1)};
}

template <class Row>
std::optional<Row> SqliteTransaction::cachedRow(const Row* cached, const char* sql, const std::string& key,
                                                Row (*rowOf)(const Query&)) {
  if (cached) return *cached;
  Query q = c_.query(sql);
  q.bind(1, key);
  if (!q.step()) return std::nullopt;
  Row row = rowOf(q);
  if (cache_) cache_->keep(row);
  return row;
}

std::optional<Event> SqliteTransaction::findEvent(const std::string& bizCode) {
  static const std::string sql = std::string("SELECT ") + kEventColumns + " FROM event e WHERE bizcode = ?1";
  return cachedRow(cache_ ? cache_->event(bizCode) : nullptr, sql.c_str(), bizCode, readEvent);
}

std::optional<Event> SqliteTransaction::findActiveEvent(const std::string& placeCode) {
  static const std::string sql =
      std::string("SELECT ") + kEventColumns + " FROM event e WHERE place_code = ?1 AND active = 1";
  Query q = c_.query(sql.c_str());
  q.bind(1, placeCode);
  if (!q.step()) return std::nullopt;
  return readEvent(q);
}

std::optional<Operator> SqliteTransaction::findOperator(const std::string& id) {
  return cachedRow(cache_ ? cache_->op(id) : nullptr,
                   "SELECT operator_id, password_hash, place_code, active, role FROM operator WHERE operator_id = ?1",
                   id, readOperator);
}

std::optional<Ticket> SqliteTransaction::findTicket(const std::string& bizCode, const std::string& ticketNo) {
  static const std::string sql = std::string("SELECT ") + kTicketColumns +
                                 " FROM ticket WHERE bizcode = ?1 AND ticket_no = ?2";
  Query q = c_.query(sql.c_str());
  q.bind(1, bizCode).bind(2, ticketNo);
  if (!q.step()) return std::nullopt;
  return readTicket(q);
}

std::optional<Ticket> SqliteTransaction::lockTicket(const std::string& bizCode, const std::string& ticketNo) {
  return findTicket(bizCode, ticketNo);
}

AdmittedCounts SqliteTransaction::countAdmitted(const std::string& bizCode) {
  Query q = c_.query("SELECT block, admitted FROM admitted_count WHERE bizcode = ?1");
  q.bind(1, bizCode);
  AdmittedCounts counts;
  while (q.step()) {
    if (auto b = blockIndex(q.text(0))) counts.byBlock[*b] = q.integer(1);
    counts.total += q.integer(1);
  }
  return counts;
}

std::vector<EventCounts> SqliteTransaction::listEvents(const std::string& placeCode) {
  static const std::string sql = std::string("SELECT ") + kEventColumns +
                                 ", count(t.id), coalesce(sum(t.status = 'cancelled'), 0), "
                                 "coalesce(sum(t.entry_count > 0), 0), coalesce(sum(t.inside), 0) "
                                 "FROM event e LEFT JOIN ticket t ON t.bizcode = e.bizcode "
                                 "WHERE e.place_code = ?1 GROUP BY e.bizcode ORDER BY e.bizcode";
  Query q = c_.query(sql.c_str());
  q.bind(1, placeCode);
  std::vector<EventCounts> out;
  constexpr int n = kEventColumnCount;
  while (q.step())
    out.push_back(EventCounts{readEvent(q), q.integer(n), q.integer(n + 1), q.integer(n + 2), q.integer(n + 3)});
  return out;
}

LoginHistory SqliteTransaction::loginHistory(const LoginQuery& w) {
  // Bound without a copy: they must outlive the statements.
  static const std::string unlock(kOutcomeUnlock), lockout(kOutcomeLockout), lockoutAll(kOutcomeLockoutAll),
      failed(kOutcomeFailedPrefix);
  LoginHistory h;
  std::optional<std::int64_t> unlocked;
  {
    Query q = c_.query(
        "SELECT (SELECT max(at) FROM scan_log WHERE kind = 'login' AND operator_id = ?1 AND outcome = ?3), "
        "(SELECT max(at) FROM scan_log WHERE kind = 'login' AND operator_id = ?1 AND source = ?2 "
        "AND outcome = ?4 AND at > ?6), "
        "(SELECT max(at) FROM scan_log WHERE kind = 'login' AND operator_id = ?1 AND outcome = ?5 AND at > ?7)");
    q.bind(1, w.operatorId).bind(2, w.source).bind(3, unlock).bind(4, lockout).bind(5, lockoutAll);
    q.bind(6, w.sourceLockoutsAfter).bind(7, w.globalLockoutsAfter);
    if (q.step()) {
      unlocked = q.optInteger(0);
      h.sourceLockout = q.optInteger(1);
      h.globalLockout = q.optInteger(2);
    }
  }
  const TimeMs floor = unlocked.value_or(std::numeric_limits<TimeMs>::min());
  if (h.sourceLockout && *h.sourceLockout <= floor) h.sourceLockout.reset();
  if (h.globalLockout && *h.globalLockout <= floor) h.globalLockout.reset();
  const TimeMs sourceAfter = std::max({w.sourceFailuresAfter, h.sourceLockout.value_or(floor), floor});
  const TimeMs globalAfter = std::max({w.globalFailuresAfter, h.globalLockout.value_or(floor), floor});
  Query q = c_.query(
      "SELECT coalesce(sum(source = ?2 AND at > ?3), 0), coalesce(sum(at > ?4), 0) FROM scan_log "
      "WHERE kind = 'login' AND operator_id = ?1 AND at > min(?3, ?4) "
      "AND substr(outcome, 1, length(?5)) = ?5");
  q.bind(1, w.operatorId).bind(2, w.source).bind(3, sourceAfter).bind(4, globalAfter);
  q.bind(5, failed);
  if (q.step()) {
    h.sourceFailures = q.integer(0);
    h.globalFailures = q.integer(1);
  }
  return h;
}

IngressCounts SqliteTransaction::ingressCounts(const IngressQuery& w) {
  IngressCounts counts;
  {
    Query q = c_.query(
        "SELECT block, admitted, 0 FROM admitted_count WHERE bizcode = ?1 "
        "UNION ALL SELECT block, 0, inside FROM inside_count WHERE bizcode = ?1");
    q.bind(1, w.bizCode);
    while (q.step()) {
      if (auto b = blockIndex(q.text(0))) {
        counts.admitted[*b] += q.integer(1);
        counts.inside[*b] += q.integer(2);
      }
    }
  }
  {
    Query q = c_.query(
        "SELECT minute, block, entries, exits FROM ingress_flow WHERE bizcode = ?1 AND minute >= ?2 "
        "ORDER BY minute");
    q.bind(1, w.bizCode).bind(2, w.flowSince);
    while (q.step())
      if (auto b = blockIndex(q.text(1))) counts.flow.push_back(IngressFlow{q.integer(0), *b, q.integer(2), q.integer(3)});
  }
  {
    Query q = c_.query(
        "SELECT reason, sum(refusals) FROM ingress_refusal WHERE bizcode = ?1 AND minute >= ?2 "
        "GROUP BY reason ORDER BY 2 DESC, 1");
    q.bind(1, w.bizCode).bind(2, w.refusalsSince);
    while (q.step()) counts.refusals.emplace_back(q.text(0), q.integer(1));
  }
  {
    Query q = c_.query(
        "SELECT source, max(last_at), sum(CASE WHEN minute >= ?2 THEN checks ELSE 0 END), "
        "sum(CASE WHEN minute >= ?2 THEN refusals ELSE 0 END) FROM ingress_gate_minute "
        "WHERE bizcode = ?1 AND minute >= ?3 GROUP BY source ORDER BY source");
    q.bind(1, w.bizCode).bind(2, w.gatesSince).bind(3, w.gatesSeenSince);
    while (q.step()) counts.gates.push_back(IngressGate{q.text(0), q.integer(2), q.integer(3), q.integer(1)});
  }
  {
    Query q = c_.query(
        "SELECT source, minute, '', checks FROM ingress_gate_minute WHERE bizcode = ?1 AND minute >= ?2 "
        "UNION ALL SELECT source, minute, reason, refusals FROM ingress_gate_refusal WHERE bizcode = ?1 AND minute >= ?2");
    q.bind(1, w.bizCode).bind(2, w.gateMinutesSince);
    while (q.step()) counts.gateMinutes.push_back(IngressGateMinute{q.text(0), q.integer(1), q.text(2), q.integer(3)});
  }
  return counts;
}

BlockCapacity SqliteTransaction::eventCapacity(const std::string& bizCode) {
  BlockCapacity capacity{};
  Query q = c_.query("SELECT block, capacity FROM event_capacity WHERE bizcode = ?1");
  q.bind(1, bizCode);
  while (q.step())
    if (auto b = blockIndex(q.text(0))) capacity[*b] = q.integer(1);
  return capacity;
}

namespace {

// The scan log's columns in ScanRecord's order, and the records a query of them steps through.
constexpr const char* kScanColumns =
    "SELECT id, at, kind, bizcode, mode, block, ticket_no, operator_id, place_code, code, message, outcome, "
    "source, session, idempotency_key FROM scan_log ";

std::vector<ScanRecord> scanRecordsOf(Query& q) {
  std::vector<ScanRecord> out;
  while (q.step())
    out.push_back(ScanRecord{q.integer(0), q.integer(1), q.text(2), q.text(3), q.text(4), q.text(5),
                             q.text(6), q.text(7), q.text(8), q.text(9), q.text(10), q.text(11),
                             q.text(12), q.integer(13), q.text(14)});
  return out;
}

}  // namespace

std::vector<ScanRecord> SqliteTransaction::scanLog(std::int64_t afterId, std::size_t limit) {
  static const std::string sql = std::string(kScanColumns) + "WHERE id > ?1 ORDER BY id LIMIT ?2";
  Query q = c_.query(sql.c_str());
  q.bind(1, afterId).bind(2, static_cast<std::int64_t>(limit));
  return scanRecordsOf(q);
}

std::optional<SessionRecord> SqliteTransaction::findSession(const std::string& tokenHash) {
  static const std::string sql = std::string("SELECT ") + kSessionColumns + " FROM session WHERE token_hash = ?1";
  const SessionRecord* cached = cache_ ? cache_->session(tokenHash) : nullptr;
  return cachedRow(cached, sql.c_str(), tokenHash, readSession);
}

std::vector<StationRecord> SqliteTransaction::allStations() {
  Query q = c_.query(
      "SELECT id, place_code, name, block, key_hash, created, last_seen, removed FROM station ORDER BY id");
  std::vector<StationRecord> out;
  while (q.step())
    out.push_back(StationRecord{q.integer(0), q.text(1), q.text(2), q.text(3), q.text(4), q.integer(5),
                                q.optInteger(6), q.optInteger(7)});
  return out;
}

std::optional<SessionRecord> SqliteTransaction::latestStationSession(std::int64_t stationId) {
  static const std::string sql =
      std::string("SELECT ") + kSessionColumns + " FROM session WHERE station = ?1 AND station <> 0 ORDER BY id DESC LIMIT 1";
  Query q = c_.query(sql.c_str());
  q.bind(1, stationId);
  if (!q.step()) return std::nullopt;
  return readSession(q);
}

std::vector<ScanRecord> SqliteTransaction::lockoutLines(const std::string& operatorId, TimeMs after) {
  static const std::string unlock(kOutcomeUnlock), lockout(kOutcomeLockout), lockoutAll(kOutcomeLockoutAll);
  static const std::string sql = std::string(kScanColumns) +
                                 "WHERE kind = 'login' AND operator_id = ?1 AND at > ?2 AND outcome IN (?3, ?4, ?5) "
                                 "ORDER BY at, id";
  Query q = c_.query(sql.c_str());
  q.bind(1, operatorId).bind(2, after).bind(3, unlock).bind(4, lockout).bind(5, lockoutAll);
  return scanRecordsOf(q);
}

std::vector<Ticket> SqliteTransaction::ticketsByHolder(const std::string& bizCode, const std::string& from,
                                             const std::string& to, std::size_t limit) {
  // Text compares byte for byte here (the BINARY collation), as the range expects; the index
  // ticket_holder holds the rowid too, so it gives the rows in this order.
  static const std::string sql = std::string("SELECT ") + kTicketColumns +
                                 " FROM ticket WHERE bizcode = ?1 AND cust_name >= ?2 AND cust_name < ?3 "
                                 "ORDER BY cust_name, id LIMIT ?4";
  Query q = c_.query(sql.c_str());
  q.bind(1, bizCode).bind(2, from).bind(3, to).bind(4, static_cast<std::int64_t>(limit));
  std::vector<Ticket> out;
  while (q.step()) out.push_back(readTicket(q));
  return out;
}

namespace {

// The ticket's history among its lines, word for word as the partial index scan_log_ticket_history
// says it (schema.cpp): SQLite uses that index only for a query that repeats its condition.
constexpr const char* kTicketHistory =
    "bizcode = ?1 AND ticket_no = ?2 AND outcome NOT IN ('no-session', 'not-session-operator') ";

}  // namespace

std::vector<ScanRecord> SqliteTransaction::ticketLog(const std::string& bizCode, const std::string& ticketNo,
                                                     std::int64_t beforeId, std::size_t limit) {
  static const std::string sql = "SELECT * FROM (" + std::string(kScanColumns) + "WHERE " + kTicketHistory +
                                 "AND id < ?3 ORDER BY id DESC LIMIT ?4) ORDER BY id";
  Query q = c_.query(sql.c_str());
  q.bind(1, bizCode).bind(2, ticketNo).bind(3, beforeId).bind(4, static_cast<std::int64_t>(limit));
  return scanRecordsOf(q);
}

std::vector<ScanRecord> SqliteTransaction::ticketLogAfter(const std::string& bizCode, const std::string& ticketNo,
                                                          std::int64_t afterId, std::size_t limit) {
  static const std::string sql =
      std::string(kScanColumns) + "WHERE " + kTicketHistory + "AND id > ?3 ORDER BY id LIMIT ?4";
  Query q = c_.query(sql.c_str());
  q.bind(1, bizCode).bind(2, ticketNo).bind(3, afterId).bind(4, static_cast<std::int64_t>(limit));
  return scanRecordsOf(q);
}

std::optional<ScanRecord> SqliteTransaction::keyedCheckLine(const std::string& bizCode, const std::string& ticketNo,
                                                           const std::string& key) {
  static const std::string sql =
      std::string(kScanColumns) + "WHERE " + kTicketHistory + "AND idempotency_key = ?3 ORDER BY id LIMIT 1";
  Query q = c_.query(sql.c_str());
  q.bind(1, bizCode).bind(2, ticketNo).bind(3, key);
  std::vector<ScanRecord> found = scanRecordsOf(q);
  if (found.empty()) return std::nullopt;
  return found.front();
}

void SqliteTransaction::annulEntry(const Ticket& t, TimeMs entryAt, std::optional<TimeMs> previousEntry) {
  // Going out counts an exit at the ticket's last exit (ticket_inside_update): with no last exit
  // for that statement nothing is counted, and the last exit comes back in one that no counter
  // watches.
  {
    Query q = c_.query(
        "UPDATE ticket SET inside = 0, entry_count = entry_count - 1, "
        "first_entry = CASE WHEN entry_count > 1 THEN first_entry END, last_entry = ?2, last_exit = NULL, "
        "version = version + 1 WHERE id = ?1");
    q.bind(1, t.id).bind(2, previousEntry).run();
  }
  if (t.lastExit) {
    Query q = c_.query("UPDATE ticket SET last_exit = ?2 WHERE id = ?1");
    q.bind(1, t.id).bind(2, *t.lastExit).run();
  }
  Query q = c_.query(
      "UPDATE ingress_flow SET entries = entries - 1 WHERE bizcode = ?1 AND minute = ?2 / 60000 AND block = ?3");
  q.bind(1, t.bizCode).bind(2, entryAt).bind(3, t.block).run();
}

std::int64_t SqliteTransaction::insertStation(const StationRecord& st) {
  Query q = c_.query(
      "INSERT INTO station(place_code, name, block, key_hash, created, last_seen, removed) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  q.bind(1, st.placeCode).bind(2, st.name).bind(3, st.block).bind(4, st.keyHash).bind(5, st.created);
  q.bind(6, st.lastSeen).bind(7, st.removed).run();
  return sqlite3_last_insert_rowid(c_.handle());
}

void SqliteTransaction::restoreStation(const StationRecord& st) {
  Query q = c_.query(
      "INSERT INTO station(id, place_code, name, block, key_hash, created, last_seen, removed) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  q.bind(1, st.id).bind(2, st.placeCode).bind(3, st.name).bind(4, st.block).bind(5, st.keyHash);
  q.bind(6, st.created).bind(7, st.lastSeen).bind(8, st.removed).run();
}

void SqliteTransaction::removeStation(std::int64_t stationId, TimeMs at) {
  if (cache_) cache_->clearSessions();
  {
    Query q = c_.query("UPDATE station SET removed = ?2 WHERE id = ?1 AND removed IS NULL");
    q.bind(1, stationId).bind(2, at).run();
  }
  Query q = c_.query("DELETE FROM session WHERE station = ?1 AND station <> 0");
  q.bind(1, stationId).run();
}

void SqliteTransaction::touchStation(std::int64_t stationId, TimeMs at) {
  Query q = c_.query("UPDATE station SET last_seen = ?2 WHERE id = ?1 AND (last_seen IS NULL OR last_seen < ?2)");
  q.bind(1, stationId).bind(2, at).run();
}

std::int64_t SqliteTransaction::insertSession(const SessionRecord& s, TimeMs idleBefore, TimeMs createdBefore) {
  if (cache_) cache_->clearSessions();  // the ended ones go below
  {
    Query q = c_.query("DELETE FROM session WHERE last_use < ?1 OR created < ?2");
    q.bind(1, idleBefore).bind(2, createdBefore).run();
  }
  Query q = c_.query(
      "INSERT INTO session(token_hash, operator_id, place_code, role, source, created, last_use, station) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  q.bind(1, s.tokenHash).bind(2, s.operatorId).bind(3, s.placeCode).bind(4, std::string(roleName(s.role)));
  q.bind(5, s.source).bind(6, s.created).bind(7, s.lastUse).bind(8, s.station).run();
  return sqlite3_last_insert_rowid(c_.handle());
}

void SqliteTransaction::touchSession(const SessionRecord& s, TimeMs at) {
  Query q = c_.query("UPDATE session SET last_use = ?2 WHERE id = ?1 AND last_use < ?2");
  q.bind(1, s.id).bind(2, at).run();
  if (cache_)
    if (SessionRecord* cached = cache_->session(s.tokenHash)) cached->lastUse = std::max(cached->lastUse, at);
}

std::size_t SqliteTransaction::endSessions(const std::optional<std::string>& operatorId) {
  if (cache_) cache_->clearSessions();
  if (operatorId) {
    Query q = c_.query("DELETE FROM session WHERE operator_id = ?1");
    q.bind(1, *operatorId).run();
  } else {
    c_.query("DELETE FROM session").run();
  }
  return static_cast<std::size_t>(sqlite3_changes(c_.handle()));
}

std::vector<Venue> SqliteTransaction::allVenues() {
  Query q = c_.query("SELECT place_code, theater_name FROM venue ORDER BY place_code");
  std::vector<Venue> out;
  while (q.step()) out.push_back(Venue{q.text(0), q.text(1)});
  return out;
}

std::vector<Event> SqliteTransaction::allEvents() {
  static const std::string sql = std::string("SELECT ") + kEventColumns + " FROM event e ORDER BY bizcode";
  Query q = c_.query(sql.c_str());
  std::vector<Event> out;
  while (q.step()) out.push_back(readEvent(q));
  return out;
}

std::vector<Operator> SqliteTransaction::allOperators() {
  Query q = c_.query(
      "SELECT operator_id, password_hash, place_code, active, role FROM operator ORDER BY operator_id");
  std::vector<Operator> out;
  while (q.step()) out.push_back(readOperator(q));
  return out;
}

std::vector<Ticket> SqliteTransaction::tickets(std::int64_t afterId, std::size_t limit) {
  static const std::string sql =
      std::string("SELECT ") + kTicketColumns + " FROM ticket WHERE id > ?1 ORDER BY id LIMIT ?2";
  Query q = c_.query(sql.c_str());
  q.bind(1, afterId).bind(2, static_cast<std::int64_t>(limit));
  std::vector<Ticket> out;
  while (q.step()) out.push_back(readTicket(q));
  return out;
}

void SqliteTransaction::restoreTicket(const Ticket& t) {
  static const std::string sql = std::string("INSERT INTO ticket(") + kTicketColumns +
                                 ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, "
                                 "?14, ?15, ?16, ?17, ?18)";
  Query q = c_.query(sql.c_str());
  q.bind(1, t.id).bind(2, t.bizCode).bind(3, t.ticketNo).bind(4, t.custName).bind(5, t.goodsName);
  q.bind(6, t.playDate).bind(7, t.placeName).bind(8, t.seatGradeName).bind(9, t.seatInfo);
  q.bind(10, t.block).bind(11, std::string(t.cancelled ? "cancelled" : "valid"));
  q.bind(12, std::int64_t{t.inside ? 1 : 0}).bind(13, t.entryCount).bind(14, t.firstEntry);
  q.bind(15, t.lastEntry).bind(16, t.lastExit).bind(17, t.version);
  q.bind(18, std::int64_t{t.cancelledHere ? 1 : 0}).run();
}

void SqliteTransaction::restoreScanRecord(const ScanRecord& r) {
  Query q = c_.query(
      "INSERT INTO scan_log(id, at, kind, bizcode, mode, block, ticket_no, operator_id, place_code, "
      "code, message, outcome, source, session, idempotency_key) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)");
  bindScanRecord(q.bind(1, r.id), 2, r).run();
  // A live check's entry or exit reaches the dashboard's counters through its ticket's change; a
  // restored one through its line.
  if (r.kind == "check" && (r.outcome == "entry" || r.outcome == "reentry" || r.outcome == "exit")) {
    Query flow = c_.query(
        "INSERT INTO ingress_flow(bizcode, minute, block, entries, exits) "
        "SELECT ?1, ?2 / 60000, block, ?3 <> 'exit', ?3 = 'exit' FROM ticket WHERE bizcode = ?1 AND ticket_no = ?4 "
        "ON CONFLICT(bizcode, minute, block) DO UPDATE "
        "SET entries = entries + excluded.entries, exits = exits + excluded.exits");
    flow.bind(1, r.bizCode).bind(2, r.at).bind(3, r.outcome).bind(4, r.ticketNo).run();
  }
}

void SqliteTransaction::recordEntry(std::int64_t ticketId, TimeMs at) {
  Query q = c_.query(
      "UPDATE ticket SET inside = 1, entry_count = entry_count + 1, "
      "first_entry = coalesce(first_entry, ?2), last_entry = ?2, version = version + 1 WHERE id = ?1");
  q.bind(1, ticketId).bind(2, at).run();
}

void SqliteTransaction::recordExit(std::int64_t ticketId, TimeMs at) {
  Query q = c_.query("UPDATE ticket SET inside = 0, last_exit = ?2, version = version + 1 WHERE id = ?1");
  q.bind(1, ticketId).bind(2, at).run();
}

void SqliteTransaction::claimCheckKey(const std::string& key) {
  Query q = c_.query(
      "SELECT key, operator_id, mode, bizcode, block, ticket_no, code, message, ticket_version, at "
      "FROM check_key WHERE key = ?1");
  q.bind(1, key);
  claimed_.reset();
  if (q.step())
    claimed_ = CheckKeyRecord{q.text(0), q.text(1), q.text(2), q.text(3), q.text(4), q.text(5),
                              q.text(6), q.text(7), q.optInteger(8), q.integer(9)};
}

void SqliteTransaction::keepCheckKey(const CheckKeyRecord& k) {
  Query q = c_.query(
      "INSERT OR REPLACE INTO check_key(key, operator_id, mode, bizcode, block, ticket_no, code, message, "
      "ticket_version, at) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
  q.bind(1, k.key).bind(2, k.operatorId).bind(3, k.mode).bind(4, k.bizCode).bind(5, k.block).bind(6, k.ticketNo);
  q.bind(7, k.code).bind(8, k.message).bind(9, k.ticketVersion).bind(10, k.at).run();
}

std::size_t SqliteTransaction::forgetCheckKeys(TimeMs from, TimeMs to, std::size_t limit) {
  // The time is tested before the limit: the first keys by rowid may be ones that stay (stamped
  // ahead of a clock stepped back since), and a limit taken first would end each purge on them.
  // Rows are in the order they were kept, so the keys due come first in the usual case; when fewer
  // than the limit are due the rest of the table is read once (about 20 ms at 100,000 keys), which
  // costs less than an index on the time that every check would write to.
  Query q = c_.query(
      "DELETE FROM check_key WHERE id IN (SELECT id FROM check_key WHERE at < ?1 OR at > ?2 ORDER BY id LIMIT ?3)");
  q.bind(1, from).bind(2, to).bind(3, static_cast<std::int64_t>(limit)).run();
  return static_cast<std::size_t>(sqlite3_changes(c_.handle()));
}

void SqliteTransaction::appendScanLog(const ScanRecord& r) {
  Query q = c_.query(
      "INSERT INTO scan_log(at, kind, bizcode, mode, block, ticket_no, operator_id, place_code, "
      "code, message, outcome, source, session, idempotency_key) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)");
  bindScanRecord(q, 1, r).run();
}

void SqliteTransaction::insertVenue(const Venue& v) {
  forget();
  Query q = c_.query("INSERT INTO venue(place_code, theater_name) VALUES(?1, ?2)");
  q.bind(1, v.placeCode).bind(2, v.theaterName).run();
}

void SqliteTransaction::insertEvent(const Event& e) {
  forget();
  Query q = c_.query(
      "INSERT INTO event(bizcode, place_code, goods_name, play_date, active, offline, offline_max_age, offline_key) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  q.bind(1, e.bizCode).bind(2, e.placeCode).bind(3, e.goodsName).bind(4, e.playDate);
  q.bind(5, std::int64_t{e.active ? 1 : 0}).bind(6, std::int64_t{e.offline ? 1 : 0}).bind(7, e.offlineMaxAgeMinutes);
  q.bind(8, e.offlineKey.empty() ? newOfflineKey() : e.offlineKey).run();
}

void SqliteTransaction::deactivateEvents(const std::string& placeCode) {
  forget();
  Query q = c_.query("UPDATE event SET active = 0 WHERE place_code = ?1 AND active = 1");
  q.bind(1, placeCode).run();
}

void SqliteTransaction::insertOperator(const Operator& o) {
  forget();
  Query q = c_.query(
      "INSERT INTO operator(operator_id, password_hash, place_code, active, role) VALUES(?1, ?2, ?3, ?4, ?5)");
  q.bind(1, o.id).bind(2, o.passwordHash).bind(3, o.placeCode);
  q.bind(4, std::int64_t{o.active ? 1 : 0}).bind(5, std::string(roleName(o.role))).run();
}

bool SqliteTransaction::insertTicket(const Ticket& t) {
  Query q = c_.query(
      "INSERT INTO ticket(bizcode, ticket_no, cust_name, goods_name, play_date, place_name, "
      "seat_grade_name, seat_info, block, status) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) "
      "ON CONFLICT(bizcode, ticket_no) DO NOTHING");
  q.bind(1, t.bizCode).bind(2, t.ticketNo).bind(3, t.custName).bind(4, t.goodsName);
  q.bind(5, t.playDate).bind(6, t.placeName).bind(7, t.seatGradeName).bind(8, t.seatInfo);
  q.bind(9, t.block).bind(10, std::string(t.cancelled ? "cancelled" : "valid")).run();
  return sqlite3_changes(c_.handle()) == 1;
}

void SqliteTransaction::setEventActive(const std::string& bizCode, bool active) {
  forget();
  Query q = c_.query("UPDATE event SET active = ?2 WHERE bizcode = ?1");
  q.bind(1, bizCode).bind(2, std::int64_t{active ? 1 : 0}).run();
}

void SqliteTransaction::setEventOffline(const std::string& bizCode, bool offline, std::int64_t maxAgeMinutes) {
  forget();
  Query q = c_.query("UPDATE event SET offline = ?2, offline_max_age = ?3 WHERE bizcode = ?1");
  q.bind(1, bizCode).bind(2, std::int64_t{offline ? 1 : 0}).bind(3, maxAgeMinutes).run();
}

void SqliteTransaction::noteOfflineList(const OfflineListFetch& f) {
  Query q = c_.query(
      "INSERT INTO offline_lists(station, bizcode, block, fetched_at) VALUES(?1, ?2, ?3, ?4) "
      "ON CONFLICT(station, bizcode, block) DO UPDATE SET fetched_at = max(fetched_at, excluded.fetched_at)");
  q.bind(1, f.station).bind(2, f.bizCode).bind(3, f.block).bind(4, f.fetchedAt).run();
}

std::vector<OfflineListFetch> SqliteTransaction::offlineListFetches(std::int64_t stationId) {
  Query q = c_.query(
      "SELECT station, bizcode, block, fetched_at FROM offline_lists WHERE station = ?1 ORDER BY bizcode, block");
  q.bind(1, stationId);
  std::vector<OfflineListFetch> out;
  while (q.step()) out.push_back(OfflineListFetch{q.integer(0), q.text(1), q.text(2), q.integer(3)});
  return out;
}

std::int64_t SqliteTransaction::acknowledgedSequence(std::int64_t stationId) {
  Query q = c_.query("SELECT acknowledged FROM station_handover WHERE station = ?1");
  q.bind(1, stationId);
  return q.step() ? q.integer(0) : 0;
}

std::optional<EnrolmentRecord> SqliteTransaction::findEnrolment(const std::string& codeHash) {
  Query q = c_.query(
      "SELECT code_hash, place_code, name, block, created, expires, station FROM station_enrolment WHERE code_hash = ?1");
  q.bind(1, codeHash);
  if (!q.step()) return std::nullopt;
  return EnrolmentRecord{q.text(0), q.text(1), q.text(2), q.text(3), q.integer(4), q.integer(5), q.integer(6)};
}

std::set<std::int64_t> SqliteTransaction::enrolledStations() {
  Query q = c_.query("SELECT station FROM station_enrolment WHERE station <> 0");
  std::set<std::int64_t> out;
  while (q.step()) out.insert(q.integer(0));
  return out;
}

void SqliteTransaction::insertEnrolment(const EnrolmentRecord& e, TimeMs expiredBefore) {
  {
    Query q = c_.query("DELETE FROM station_enrolment WHERE station = 0 AND expires < ?1");
    q.bind(1, expiredBefore).run();
  }
  Query q = c_.query(
      "INSERT INTO station_enrolment(code_hash, place_code, name, block, created, expires, station) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
  q.bind(1, e.codeHash).bind(2, e.placeCode).bind(3, e.name).bind(4, e.block).bind(5, e.created);
  q.bind(6, e.expires).bind(7, e.station).run();
}

void SqliteTransaction::redeemEnrolment(const std::string& codeHash, std::int64_t stationId) {
  Query q = c_.query("UPDATE station_enrolment SET station = ?2 WHERE code_hash = ?1");
  q.bind(1, codeHash).bind(2, stationId).run();
}

void SqliteTransaction::acknowledgeSequence(std::int64_t stationId, std::int64_t sequence) {
  Query q = c_.query(
      "INSERT INTO station_handover(station, acknowledged) VALUES(?1, ?2) "
      "ON CONFLICT(station) DO UPDATE SET acknowledged = max(acknowledged, excluded.acknowledged)");
  q.bind(1, stationId).bind(2, sequence).run();
}

namespace {

constexpr const char* kConflictColumns =
    "id, alarm, handed_at, bizcode, ticket_no, block, reason, gate, at, other_gate, other_at, why";

}  // namespace

std::vector<OfflineConflict> SqliteTransaction::offlineConflicts(const std::string& bizCode) {
  static const std::string sql =
      std::string("SELECT ") + kConflictColumns + " FROM offline_conflict WHERE bizcode = ?1 ORDER BY id";
  Query q = c_.query(sql.c_str());
  q.bind(1, bizCode);
  std::vector<OfflineConflict> out;
  while (q.step())
    out.push_back(OfflineConflict{q.integer(0), q.integer(1), q.integer(2), q.text(3), q.text(4), q.text(5),
                                  q.text(6), q.text(7), q.integer(8), q.text(9), q.optInteger(10), q.text(11)});
  return out;
}

std::int64_t SqliteTransaction::keepOfflineConflict(const OfflineConflict& k) {
  static const std::string sql = std::string("INSERT INTO offline_conflict(") + kConflictColumns +
                                 ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)";
  Query q = c_.query(sql.c_str());
  q.bind(1, k.id != 0 ? std::optional<std::int64_t>(k.id) : std::nullopt).bind(2, k.alarm).bind(3, k.handedAt);
  q.bind(4, k.bizCode).bind(5, k.ticketNo).bind(6, k.block).bind(7, k.reason).bind(8, k.gate).bind(9, k.at);
  q.bind(10, k.otherGate).bind(11, k.otherAt).bind(12, k.why).run();
  const std::int64_t id = sqlite3_last_insert_rowid(c_.handle());
  if (k.alarm == 0) {
    Query own = c_.query("UPDATE offline_conflict SET alarm = id WHERE id = ?1");
    own.bind(1, id).run();
  }
  return id;
}

void SqliteTransaction::countPassage(const std::string& bizCode, const std::string& block, TimeMs at, bool exit) {
  Query q = c_.query(
      "INSERT INTO ingress_flow(bizcode, minute, block, entries, exits) VALUES(?1, ?2 / 60000, ?3, ?4, ?5) "
      "ON CONFLICT(bizcode, minute, block) DO UPDATE "
      "SET entries = entries + excluded.entries, exits = exits + excluded.exits");
  q.bind(1, bizCode).bind(2, at).bind(3, block).bind(4, std::int64_t{exit ? 0 : 1}).bind(5, std::int64_t{exit ? 1 : 0});
  q.run();
}

std::vector<TicketState> SqliteTransaction::ticketStates(const std::string& bizCode, const std::string& block,
                                                         std::int64_t afterId, std::size_t limit) {
  // Through ticket_event_block, whose rows end with the rowid: in id order without a sort.
  Query q = c_.query(
      "SELECT id, ticket_no, block, status, inside, entry_count, last_entry FROM ticket INDEXED BY ticket_event_block "
      "WHERE bizcode = ?1 AND block = ?2 AND id > ?3 ORDER BY id LIMIT ?4");
  q.bind(1, bizCode).bind(2, block).bind(3, afterId).bind(4, static_cast<std::int64_t>(limit));
  std::vector<TicketState> out;
  while (q.step())
    out.push_back(TicketState{q.integer(0), q.text(1), q.text(2), q.text(3) == "cancelled", q.integer(4) != 0,
                              q.integer(5), q.optInteger(6)});
  return out;
}

void SqliteTransaction::setEventCapacity(const std::string& bizCode, const BlockCapacity& capacity) {
  Query clear = c_.query("DELETE FROM event_capacity WHERE bizcode = ?1");
  clear.bind(1, bizCode).run();
  for (std::size_t b = 0; b < kBlocks.size(); ++b) {
    if (capacity[b] <= 0) continue;
    Query q = c_.query("INSERT INTO event_capacity(bizcode, block, capacity) VALUES(?1, ?2, ?3)");
    q.bind(1, bizCode).bind(2, kBlocks[b]).bind(3, capacity[b]).run();
  }
}

void SqliteTransaction::setTicketCancelled(std::int64_t ticketId, bool cancelled) {
  Query q = c_.query("UPDATE ticket SET status = ?2, cancelled_here = ?3, version = version + 1 WHERE id = ?1");
  q.bind(1, ticketId).bind(2, std::string(cancelled ? "cancelled" : "valid")).bind(3, std::int64_t{cancelled ? 1 : 0});
  q.run();
}

void SqliteTransaction::updateTicket(std::int64_t ticketId, const Ticket& t) {
  Query q = c_.query(
      "UPDATE ticket SET cust_name = ?2, goods_name = ?3, play_date = ?4, place_name = ?5, seat_grade_name = ?6, "
      "seat_info = ?7, block = ?8, status = ?9, cancelled_here = ?10, version = version + 1 WHERE id = ?1");
  q.bind(1, ticketId).bind(2, t.custName).bind(3, t.goodsName).bind(4, t.playDate).bind(5, t.placeName);
  q.bind(6, t.seatGradeName).bind(7, t.seatInfo).bind(8, t.block).bind(9, std::string(t.cancelled ? "cancelled" : "valid"));
  q.bind(10, std::int64_t{t.cancelledHere ? 1 : 0}).run();
}

// With secure_delete on for the statement, the old values are zeroed in the pages rather than
// left in their free space; the store's eraseRemovedData() deals with the log and older pages.
std::size_t SqliteTransaction::eraseHolderDetails(const std::string& bizCode) {
  c_.exec("PRAGMA secure_delete = ON");
  try {
    Query q = c_.query(
        "UPDATE ticket SET cust_name = '', seat_info = '' WHERE bizcode = ?1 AND (cust_name <> '' OR seat_info <> '')");
    q.bind(1, bizCode).run();
  } catch (...) {
    c_.execQuietly("PRAGMA secure_delete = OFF");
    throw;
  }
  c_.exec("PRAGMA secure_delete = OFF");
  return static_cast<std::size_t>(sqlite3_changes64(c_.handle()));
}

void SqliteTransaction::setOperatorPassword(const std::string& id, const std::string& passwordHash) {
  forget();
  Query q = c_.query("UPDATE operator SET password_hash = ?2 WHERE operator_id = ?1");
  q.bind(1, id).bind(2, passwordHash).run();
}

void SqliteTransaction::setOperatorActive(const std::string& id, bool active) {
  forget();
  Query q = c_.query("UPDATE operator SET active = ?2 WHERE operator_id = ?1");
  q.bind(1, id).bind(2, std::int64_t{active ? 1 : 0}).run();
}

}  // namespace tav::server::sqlite
