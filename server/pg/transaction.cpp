// The PostgreSQL store's statements: what each typed operation of a PgTransaction runs.
#include "server/pg/transaction.h"

#include <algorithm>
#include <limits>
#include <tuple>

namespace tav::server::pg {
namespace {

// Restored rows are sent to the server in COPY batches of about this size.
constexpr std::size_t kCopyBatchBytes = 1 << 20;

constexpr const char* kTicketColumns =
    "id, bizcode, ticket_no, cust_name, goods_name, play_date, place_name, seat_grade_name, "
    "seat_info, block, status, inside, entry_count, first_entry, last_entry, last_exit, version, cancelled_here";
constexpr const char* kScanColumns =
    "id, at, kind, bizcode, mode, block, ticket_no, operator_id, place_code, code, message, outcome, source, session, "
    "idempotency_key";
// An event's columns in Event's order, from the table aliased `e` where a query joins others.
const std::string kEventSelect =
    "SELECT e.bizcode, e.place_code, e.goods_name, e.play_date, e.active, e.offline, e.offline_max_age, e.offline_key";
constexpr int kEventColumnCount = 8;

Ticket readTicket(const Result& r, int row) {
  Ticket t;
  t.id = r.integer(row, 0);
  t.bizCode = r.text(row, 1);
  t.ticketNo = r.text(row, 2);
  t.custName = r.text(row, 3);
  t.goodsName = r.text(row, 4);
  t.playDate = r.text(row, 5);
  t.placeName = r.text(row, 6);
  t.seatGradeName = r.text(row, 7);
  t.seatInfo = r.text(row, 8);
  t.block = r.text(row, 9);
  t.cancelled = r.text(row, 10) == "cancelled";
  t.inside = r.boolean(row, 11);
  t.entryCount = r.integer(row, 12);
  t.firstEntry = r.optInteger(row, 13);
  t.lastEntry = r.optInteger(row, 14);
  t.lastExit = r.optInteger(row, 15);
  t.version = r.integer(row, 16);
  t.cancelledHere = r.boolean(row, 17);
  return t;
}

Event readEvent(const Result& r, int row) {
  return Event{r.text(row, 0),    r.text(row, 1),    r.text(row, 2),   r.text(row, 3), r.boolean(row, 4),
               r.boolean(row, 5), r.integer(row, 6), r.text(row, 7)};
}

// A LIMIT value: SIZE_MAX means no limit, which PostgreSQL spells as the largest bigint.
std::int64_t rowLimit(std::size_t limit) {
  return static_cast<std::int64_t>(std::min<std::size_t>(limit, std::numeric_limits<std::int64_t>::max()));
}

// One CSV field of a COPY row: text quoted with its quotes doubled, NULL as nothing.
void csvText(std::string& out, const std::string& v) {
  out.push_back('"');
  for (char c : v) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out += "\",";
}
void csvInteger(std::string& out, const std::optional<std::int64_t>& v) {
  if (v) out += std::to_string(*v);
  out.push_back(',');
}
void endCsvRow(std::string& out) { out.back() = '\n'; }

bool same(const std::optional<Event>& a, const std::optional<Event>& b) {
  if (!a || !b) return !a && !b;
  return std::tie(a->bizCode, a->placeCode, a->goodsName, a->playDate, a->active, a->offline, a->offlineMaxAgeMinutes,
                  a->offlineKey) ==
         std::tie(b->bizCode, b->placeCode, b->goodsName, b->playDate, b->active, b->offline, b->offlineMaxAgeMinutes,
                  b->offlineKey);
}

bool same(const std::optional<Operator>& a, const std::optional<Operator>& b) {
  if (!a || !b) return !a && !b;
  return std::tie(a->id, a->passwordHash, a->placeCode, a->active, a->role) ==
         std::tie(b->id, b->passwordHash, b->placeCode, b->active, b->role);
}

const std::string kFindEvent = kEventSelect + " FROM event e WHERE bizcode = $1";
bool same(const std::optional<SessionRecord>& a, const std::optional<SessionRecord>& b) {
  if (!a || !b) return !a && !b;
  return std::tie(a->id, a->tokenHash, a->operatorId, a->placeCode, a->role, a->source, a->created, a->lastUse,
                  a->station) ==
         std::tie(b->id, b->tokenHash, b->operatorId, b->placeCode, b->role, b->source, b->created, b->lastUse,
                  b->station);
}

constexpr const char* kFindSession =
    "SELECT id, token_hash, operator_id, place_code, role, source, created, last_use, station FROM session "
    "WHERE token_hash = $1";
constexpr const char* kFindOperator =
    "SELECT operator_id, password_hash, place_code, active, role FROM operator WHERE operator_id = $1";

std::optional<Event> eventOf(const Result& r) { return r.rows() ? std::optional<Event>(readEvent(r, 0)) : std::nullopt; }
std::optional<Operator> operatorOf(const Result& r) {
  if (r.rows() == 0) return std::nullopt;
  return Operator{r.text(0, 0), r.text(0, 1), r.text(0, 2), r.boolean(0, 3), roleNamed(r.text(0, 4))};
}

std::optional<SessionRecord> sessionOf(const Result& r) {
  if (r.rows() == 0) return std::nullopt;
  return SessionRecord{r.integer(0, 0), r.text(0, 1),    r.text(0, 2),    r.text(0, 3),
                       roleNamed(r.text(0, 4)), r.text(0, 5), r.integer(0, 6), r.integer(0, 7), r.integer(0, 8)};
}

}  // namespace

std::optional<Venue> PgTransaction::findVenue(const std::string& placeCode) {
  Result r = run("SELECT place_code, theater_name FROM venue WHERE place_code = $1", Params().text(placeCode));
  if (r.rows() == 0) return std::nullopt;
  return Venue{r.text(0, 0), r.text(0, 1)};
}

std::optional<Event> PgTransaction::findEvent(const std::string& bizCode) {
  return cachedRow<Event>(kFindEvent.c_str(), bizCode, cache_.event(bizCode), eventOf);
}

std::optional<Event> PgTransaction::findActiveEvent(const std::string& placeCode) {
  Result r = run(kEventSelect + " FROM event e WHERE place_code = $1 AND active", Params().text(placeCode));
  if (r.rows() == 0) return std::nullopt;
  return readEvent(r, 0);
}

std::optional<Operator> PgTransaction::findOperator(const std::string& id) {
  return cachedRow<Operator>(kFindOperator, id, cache_.op(id), operatorOf);
}

std::optional<Ticket> PgTransaction::findTicket(const std::string& bizCode, const std::string& ticketNo) {
  static const std::string sql =
      std::string("SELECT ") + kTicketColumns + " FROM ticket WHERE bizcode = $1 AND ticket_no = $2";
  return oneTicket(sql, bizCode, ticketNo);
}

std::optional<Ticket> PgTransaction::lockTicket(const std::string& bizCode, const std::string& ticketNo) {
  static const std::string sql = std::string("SELECT ") + kTicketColumns +
                                 " FROM ticket WHERE bizcode = $1 AND ticket_no = $2 FOR NO KEY UPDATE";
  return oneTicket(sql, bizCode, ticketNo);
}

AdmittedCounts PgTransaction::countAdmitted(const std::string& bizCode) {
  Result r = run("SELECT block, sum(admitted) FROM ingress_count WHERE bizcode = $1 GROUP BY block",
                 Params().text(bizCode));
  AdmittedCounts counts;
  for (int i = 0; i < r.rows(); ++i) {
    if (auto b = blockIndex(r.text(i, 0))) counts.byBlock[*b] = r.integer(i, 1);
    counts.total += r.integer(i, 1);
  }
  return counts;
}

std::vector<EventCounts> PgTransaction::listEvents(const std::string& placeCode) {
  Result r = run(
      kEventSelect + ", count(t.id), "
      "count(t.id) FILTER (WHERE t.status = 'cancelled'), count(t.id) FILTER (WHERE t.entry_count > 0), "
      "count(t.id) FILTER (WHERE t.inside) "
      "FROM event e LEFT JOIN ticket t ON t.bizcode = e.bizcode "
      "WHERE e.place_code = $1 GROUP BY e.bizcode ORDER BY e.bizcode COLLATE \"C\"",
      Params().text(placeCode));
  std::vector<EventCounts> out;
  for (int i = 0; i < r.rows(); ++i)
    out.push_back(EventCounts{readEvent(r, i), r.integer(i, kEventColumnCount), r.integer(i, kEventColumnCount + 1),
                              r.integer(i, kEventColumnCount + 2), r.integer(i, kEventColumnCount + 3)});
  return out;
}

LoginHistory PgTransaction::loginHistory(const LoginQuery& w) {
  LoginHistory h;
  std::optional<std::int64_t> unlocked;
  Result last = run(
      "SELECT (SELECT max(at) FROM scan_log WHERE kind = 'login' AND operator_id = $1 AND outcome = $3), "
      "(SELECT max(at) FROM scan_log WHERE kind = 'login' AND operator_id = $1 AND source = $2 "
      "AND outcome = $4 AND at > $6::bigint), "
      "(SELECT max(at) FROM scan_log WHERE kind = 'login' AND operator_id = $1 AND outcome = $5 AND at > $7::bigint)",
      Params().text(w.operatorId).text(w.source).text(std::string(kOutcomeUnlock)).text(std::string(kOutcomeLockout))
          .text(std::string(kOutcomeLockoutAll)).integer(w.sourceLockoutsAfter).integer(w.globalLockoutsAfter));
  if (last.rows() > 0) {
    unlocked = last.optInteger(0, 0);
    h.sourceLockout = last.optInteger(0, 1);
    h.globalLockout = last.optInteger(0, 2);
  }
  const TimeMs floor = unlocked.value_or(std::numeric_limits<TimeMs>::min());
  if (h.sourceLockout && *h.sourceLockout <= floor) h.sourceLockout.reset();
  if (h.globalLockout && *h.globalLockout <= floor) h.globalLockout.reset();
  const TimeMs sourceAfter = std::max({w.sourceFailuresAfter, h.sourceLockout.value_or(floor), floor});
  const TimeMs globalAfter = std::max({w.globalFailuresAfter, h.globalLockout.value_or(floor), floor});
  Result failures = run(
      "SELECT count(*) FILTER (WHERE source = $2 AND at > $3::bigint), count(*) FILTER (WHERE at > $4::bigint) "
      "FROM scan_log WHERE kind = 'login' AND operator_id = $1 AND at > least($3::bigint, $4::bigint) "
      "AND starts_with(outcome, $5)",
      Params().text(w.operatorId).text(w.source).integer(sourceAfter).integer(globalAfter)
          .text(std::string(kOutcomeFailedPrefix)));
  if (failures.rows() > 0) {
    h.sourceFailures = failures.integer(0, 0);
    h.globalFailures = failures.integer(0, 1);
  }
  return h;
}

IngressCounts PgTransaction::ingressCounts(const IngressQuery& w) {
  IngressCounts counts;
  Result blocks = run("SELECT block, sum(admitted), sum(inside) FROM ingress_count WHERE bizcode = $1 GROUP BY block",
                      Params().text(w.bizCode));
  for (int i = 0; i < blocks.rows(); ++i) {
    if (auto b = blockIndex(blocks.text(i, 0))) {
      counts.admitted[*b] = blocks.integer(i, 1);
      counts.inside[*b] = blocks.integer(i, 2);
    }
  }
  Result flow = run(
      "SELECT minute, block, sum(entries), sum(exits) FROM ingress_flow WHERE bizcode = $1 AND minute >= $2 "
      "GROUP BY minute, block ORDER BY minute",
      Params().text(w.bizCode).integer(w.flowSince));
  for (int i = 0; i < flow.rows(); ++i)
    if (auto b = blockIndex(flow.text(i, 1)))
      counts.flow.push_back(IngressFlow{flow.integer(i, 0), *b, flow.integer(i, 2), flow.integer(i, 3)});
  Result refusals = run(
      "SELECT reason, sum(refusals) FROM ingress_refusal WHERE bizcode = $1 AND minute >= $2 "
      "GROUP BY reason ORDER BY 2 DESC, 1",
      Params().text(w.bizCode).integer(w.refusalsSince));
  for (int i = 0; i < refusals.rows(); ++i) counts.refusals.emplace_back(refusals.text(i, 0), refusals.integer(i, 1));
  Result gates = run(
      "SELECT source, max(last_at), coalesce(sum(checks) FILTER (WHERE minute >= $2), 0), "
      "coalesce(sum(refusals) FILTER (WHERE minute >= $2), 0) FROM ingress_gate_minute "
      "WHERE bizcode = $1 AND minute >= $3 GROUP BY source ORDER BY source",
      Params().text(w.bizCode).integer(w.gatesSince).integer(w.gatesSeenSince));
  for (int i = 0; i < gates.rows(); ++i)
    counts.gates.push_back(IngressGate{gates.text(i, 0), gates.integer(i, 2), gates.integer(i, 3), gates.integer(i, 1)});
  Result minutes = run(
      "SELECT source, minute, '', sum(checks) FROM ingress_gate_minute WHERE bizcode = $1 AND minute >= $2 "
      "GROUP BY source, minute UNION ALL SELECT source, minute, reason, sum(refusals) FROM ingress_gate_refusal "
      "WHERE bizcode = $1 AND minute >= $2 GROUP BY source, minute, reason",
      Params().text(w.bizCode).integer(w.gateMinutesSince));
  for (int i = 0; i < minutes.rows(); ++i)
    counts.gateMinutes.push_back(
        IngressGateMinute{minutes.text(i, 0), minutes.integer(i, 1), minutes.text(i, 2), minutes.integer(i, 3)});
  return counts;
}

BlockCapacity PgTransaction::eventCapacity(const std::string& bizCode) {
  BlockCapacity capacity{};
  Result r = run("SELECT block, capacity FROM event_capacity WHERE bizcode = $1", Params().text(bizCode));
  for (int i = 0; i < r.rows(); ++i)
    if (auto b = blockIndex(r.text(i, 0))) capacity[*b] = r.integer(i, 1);
  return capacity;
}

namespace {

// The records of a query of kScanColumns.
std::vector<ScanRecord> scanRecordsOf(const Result& r) {
  std::vector<ScanRecord> out;
  for (int i = 0; i < r.rows(); ++i)
    out.push_back(ScanRecord{r.integer(i, 0), r.integer(i, 1), r.text(i, 2), r.text(i, 3), r.text(i, 4),
                             r.text(i, 5), r.text(i, 6), r.text(i, 7), r.text(i, 8), r.text(i, 9),
                             r.text(i, 10), r.text(i, 11), r.text(i, 12), r.integer(i, 13), r.text(i, 14)});
  return out;
}

}  // namespace

std::vector<ScanRecord> PgTransaction::scanLog(std::int64_t afterId, std::size_t limit) {
  static const std::string sql =
      std::string("SELECT ") + kScanColumns + " FROM scan_log WHERE id > $1 ORDER BY id LIMIT $2";
  Result r = run(sql, Params().integer(afterId).integer(rowLimit(limit)));
  return scanRecordsOf(r);
}

std::optional<SessionRecord> PgTransaction::findSession(const std::string& tokenHash) {
  return cachedRow<SessionRecord>(kFindSession, tokenHash, cache_.session(tokenHash), sessionOf);
}

std::int64_t PgTransaction::insertSession(const SessionRecord& s, TimeMs idleBefore, TimeMs createdBefore) {
  run("DELETE FROM session WHERE last_use < $1 OR created < $2",
      Params().integer(idleBefore).integer(createdBefore));
  Result r = run(
      "INSERT INTO session(token_hash, operator_id, place_code, role, source, created, last_use, station) "
      "VALUES($1, $2, $3, $4, $5, $6, $7, $8) RETURNING id",
      Params().text(s.tokenHash).text(s.operatorId).text(s.placeCode).text(roleName(s.role)).text(s.source)
          .integer(s.created).integer(s.lastUse).integer(s.station));
  return r.integer(0, 0);
}

void PgTransaction::touchSession(const SessionRecord& s, TimeMs at) {
  queue("UPDATE session SET last_use = $2 WHERE id = $1 AND last_use < $2", Params().integer(s.id).integer(at),
        "record a session's use");
  SessionRecord touched = s;
  touched.lastUse = at;
  updates_.put(s.tokenHash, std::optional<SessionRecord>(touched));
}

std::size_t PgTransaction::endSessions(const std::optional<std::string>& operatorId) {
  changedCachedRows();
  Result r = operatorId ? run("DELETE FROM session WHERE operator_id = $1", Params().text(*operatorId))
                        : run("DELETE FROM session", Params());
  return static_cast<std::size_t>(r.changed());
}

std::vector<StationRecord> PgTransaction::allStations() {
  Result r = run("SELECT id, place_code, name, block, key_hash, created, last_seen, removed FROM station ORDER BY id",
                 Params());
  std::vector<StationRecord> out;
  for (int i = 0; i < r.rows(); ++i)
    out.push_back(StationRecord{r.integer(i, 0), r.text(i, 1), r.text(i, 2), r.text(i, 3), r.text(i, 4),
                                r.integer(i, 5), r.optInteger(i, 6), r.optInteger(i, 7)});
  return out;
}

std::optional<SessionRecord> PgTransaction::latestStationSession(std::int64_t stationId) {
  Result r = run(
      "SELECT id, token_hash, operator_id, place_code, role, source, created, last_use, station FROM session "
      "WHERE station = $1 AND station <> 0 ORDER BY id DESC LIMIT 1",
      Params().integer(stationId));
  return sessionOf(r);
}

std::vector<ScanRecord> PgTransaction::lockoutLines(const std::string& operatorId, TimeMs after) {
  static const std::string sql = std::string("SELECT ") + kScanColumns +
                                 " FROM scan_log WHERE kind = 'login' AND operator_id = $1 AND at > $2::bigint "
                                 "AND outcome IN ($3, $4, $5) ORDER BY at, id";
  Result r = run(sql, Params().text(operatorId).integer(after).text(std::string(kOutcomeUnlock))
                          .text(std::string(kOutcomeLockout)).text(std::string(kOutcomeLockoutAll)));
  return scanRecordsOf(r);
}

std::vector<Ticket> PgTransaction::ticketsByHolder(const std::string& bizCode, const std::string& from,
                                             const std::string& to, std::size_t limit) {
  // The "C" collation compares bytes, as the range expects and as the index ticket_holder is built.
  static const std::string sql = std::string("SELECT ") + kTicketColumns +
                                 " FROM ticket WHERE bizcode = $1 AND cust_name COLLATE \"C\" >= $2 "
                                 "AND cust_name COLLATE \"C\" < $3 ORDER BY cust_name COLLATE \"C\", id LIMIT $4";
  Result r = run(sql, Params().text(bizCode).text(from).text(to).integer(rowLimit(limit)));
  std::vector<Ticket> out;
  for (int i = 0; i < r.rows(); ++i) out.push_back(readTicket(r, i));
  return out;
}

namespace {

// The ticket's history among its lines, as the partial index scan_log_ticket_history says it
// (schema.cpp): the planner uses that index only for a query whose condition implies its own.
constexpr const char* kTicketHistory =
    " FROM scan_log WHERE bizcode = $1 AND ticket_no = $2 AND outcome NOT IN ('no-session', 'not-session-operator') ";

}  // namespace

std::vector<ScanRecord> PgTransaction::ticketLog(const std::string& bizCode, const std::string& ticketNo,
                                                 std::int64_t beforeId, std::size_t limit) {
  static const std::string sql = std::string("SELECT * FROM (SELECT ") + kScanColumns + kTicketHistory +
                                 "AND id < $3 ORDER BY id DESC LIMIT $4) newest ORDER BY id";
  Result r = run(sql, Params().text(bizCode).text(ticketNo).integer(beforeId).integer(rowLimit(limit)));
  return scanRecordsOf(r);
}

std::vector<ScanRecord> PgTransaction::ticketLogAfter(const std::string& bizCode, const std::string& ticketNo,
                                                      std::int64_t afterId, std::size_t limit) {
  static const std::string sql =
      std::string("SELECT ") + kScanColumns + kTicketHistory + "AND id > $3 ORDER BY id LIMIT $4";
  Result r = run(sql, Params().text(bizCode).text(ticketNo).integer(afterId).integer(rowLimit(limit)));
  return scanRecordsOf(r);
}

std::optional<ScanRecord> PgTransaction::keyedCheckLine(const std::string& bizCode, const std::string& ticketNo,
                                                       const std::string& key) {
  static const std::string sql =
      std::string("SELECT ") + kScanColumns + kTicketHistory + "AND idempotency_key = $3 ORDER BY id LIMIT 1";
  std::vector<ScanRecord> found = scanRecordsOf(run(sql, Params().text(bizCode).text(ticketNo).text(key)));
  if (found.empty()) return std::nullopt;
  return found.front();
}

void PgTransaction::annulEntry(const Ticket& t, TimeMs entryAt, std::optional<TimeMs> previousEntry) {
  // Going out counts an exit at the ticket's last exit (ticket_ingress): with no last exit for
  // that statement nothing is counted, and the last exit comes back in one that no trigger watches.
  queue("UPDATE ticket SET inside = false, entry_count = entry_count - 1, "
        "first_entry = CASE WHEN entry_count > 1 THEN first_entry END, last_entry = $2, last_exit = NULL, "
        "version = version + 1 WHERE id = $1",
        Params().integer(t.id).integer(previousEntry), "annul an entry");
  if (t.lastExit)
    queue("UPDATE ticket SET last_exit = $2 WHERE id = $1", Params().integer(t.id).integer(*t.lastExit),
          "annul an entry");
  queue("INSERT INTO ingress_flow AS f(bizcode, minute, block, shard, entries, exits) "
        "VALUES($1, $2, $3, pg_backend_pid(), -1, 0) "
        "ON CONFLICT(bizcode, minute, block, shard) DO UPDATE SET entries = f.entries - 1",
        Params().text(t.bizCode).integer(entryAt / 60000).text(t.block), "annul an entry");
}

std::int64_t PgTransaction::insertStation(const StationRecord& st) {
  Result r = run(
      "INSERT INTO station(place_code, name, block, key_hash, created, last_seen, removed) "
      "VALUES($1, $2, $3, $4, $5, $6, $7) RETURNING id",
      Params().text(st.placeCode).text(st.name).text(st.block).text(st.keyHash).integer(st.created)
          .integer(st.lastSeen).integer(st.removed));
  return r.integer(0, 0);
}

void PgTransaction::restoreStation(const StationRecord& st) {
  run("INSERT INTO station(id, place_code, name, block, key_hash, created, last_seen, removed) "
      "VALUES($1, $2, $3, $4, $5, $6, $7, $8)",
      Params().integer(st.id).text(st.placeCode).text(st.name).text(st.block).text(st.keyHash).integer(st.created)
          .integer(st.lastSeen).integer(st.removed));
  run("SELECT setval(pg_get_serial_sequence('station', 'id'), max(id)) FROM station", Params());
}

void PgTransaction::removeStation(std::int64_t stationId, TimeMs at) {
  changedCachedRows();
  run("UPDATE station SET removed = $2 WHERE id = $1 AND removed IS NULL", Params().integer(stationId).integer(at));
  run("DELETE FROM session WHERE station = $1 AND station <> 0", Params().integer(stationId));
}

void PgTransaction::touchStation(std::int64_t stationId, TimeMs at) {
  queue("UPDATE station SET last_seen = $2 WHERE id = $1 AND (last_seen IS NULL OR last_seen < $2)",
        Params().integer(stationId).integer(at), "record a station's last request");
}

std::vector<Venue> PgTransaction::allVenues() {
  Result r = run("SELECT place_code, theater_name FROM venue ORDER BY place_code COLLATE \"C\"", Params());
  std::vector<Venue> out;
  for (int i = 0; i < r.rows(); ++i) out.push_back(Venue{r.text(i, 0), r.text(i, 1)});
  return out;
}

std::vector<Event> PgTransaction::allEvents() {
  Result r = run(kEventSelect + " FROM event e ORDER BY bizcode COLLATE \"C\"", Params());
  std::vector<Event> out;
  for (int i = 0; i < r.rows(); ++i) out.push_back(readEvent(r, i));
  return out;
}

std::vector<Operator> PgTransaction::allOperators() {
  Result r = run(
      "SELECT operator_id, password_hash, place_code, active, role FROM operator ORDER BY operator_id COLLATE \"C\"",
      Params());
  std::vector<Operator> out;
  for (int i = 0; i < r.rows(); ++i)
    out.push_back(Operator{r.text(i, 0), r.text(i, 1), r.text(i, 2), r.boolean(i, 3), roleNamed(r.text(i, 4))});
  return out;
}

std::vector<Ticket> PgTransaction::tickets(std::int64_t afterId, std::size_t limit) {
  static const std::string sql =
      std::string("SELECT ") + kTicketColumns + " FROM ticket WHERE id > $1 ORDER BY id LIMIT $2";
  Result r = run(sql, Params().integer(afterId).integer(rowLimit(limit)));
  std::vector<Ticket> out;
  for (int i = 0; i < r.rows(); ++i) out.push_back(readTicket(r, i));
  return out;
}

void PgTransaction::recordEntry(std::int64_t ticketId, TimeMs at) {
  queue("UPDATE ticket SET inside = true, entry_count = entry_count + 1, "
        "first_entry = coalesce(first_entry, $2), last_entry = $2, version = version + 1 WHERE id = $1",
        Params().integer(ticketId).integer(at), "record an entry");
}

void PgTransaction::recordExit(std::int64_t ticketId, TimeMs at) {
  queue("UPDATE ticket SET inside = false, last_exit = $2, version = version + 1 WHERE id = $1", Params().integer(ticketId).integer(at),
        "record an exit");
}

void PgTransaction::claimCheckKey(const std::string& key) {
  auto claim = std::make_shared<Claim>();
  claim_ = claim;
  if (!updates_.readCheckKeys) {
    claim->answered = true;
    return;
  }
  queue("SELECT key, operator_id, mode, bizcode, block, ticket_no, code, message, ticket_version, at "
        "FROM check_key WHERE key = $1",
        Params().text(key), "read an idempotency key",
        [claim](const Result& r) {
          claim->answered = true;
          if (r.rows() == 0) return;
          claim->kept = CheckKeyRecord{r.text(0, 0), r.text(0, 1), r.text(0, 2),      r.text(0, 3),
                                       r.text(0, 4), r.text(0, 5), r.text(0, 6),      r.text(0, 7),
                                       r.optInteger(0, 8), r.integer(0, 9)};
        },
        Plan::EachRun);
}

std::optional<CheckKeyRecord> PgTransaction::claimedCheckKey() {
  if (!claim_) return std::nullopt;
  // Only a check refused before it read its ticket gets here with the claim still on its way.
  if (!claim_->answered) run("SELECT 1", Params());
  return claim_->kept;
}

void PgTransaction::keepCheckKey(const CheckKeyRecord& k) {
  const bool known = claim_ && claim_->kept;
  updates_.newCheckKey = updates_.newCheckKey || !known;
  static const std::string insert =
      "INSERT INTO check_key(key, operator_id, mode, bizcode, block, ticket_no, code, message, ticket_version, at) "
      "VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)";
  static const std::string replace =
      insert + " ON CONFLICT (key) DO UPDATE SET operator_id = excluded.operator_id, mode = excluded.mode, "
               "bizcode = excluded.bizcode, block = excluded.block, ticket_no = excluded.ticket_no, "
               "code = excluded.code, message = excluded.message, ticket_version = excluded.ticket_version, "
               "at = excluded.at";
  queue(known ? replace : insert,
        Params().text(k.key).text(k.operatorId).text(k.mode).text(k.bizCode).text(k.block).text(k.ticketNo)
            .text(k.code).text(k.message).integer(k.ticketVersion).integer(k.at),
        "keep an idempotency key");
}

std::size_t PgTransaction::forgetCheckKeys(TimeMs from, TimeMs to, std::size_t limit) {
  // Both ends through the block-range index check_key_at: keys stamped ahead of a clock that was
  // stepped back since are found as the old ones are, and the limit counts only keys that go.
  Result r = run("DELETE FROM check_key WHERE key IN (SELECT key FROM check_key WHERE at < $1 OR at > $2 LIMIT $3)",
                 Params().integer(from).integer(to).integer(static_cast<std::int64_t>(limit)));
  return static_cast<std::size_t>(r.changed());
}

void PgTransaction::appendScanLog(const ScanRecord& l) {
  queue("INSERT INTO scan_log(at, kind, bizcode, mode, block, ticket_no, operator_id, place_code, code, "
        "message, outcome, source, session, idempotency_key) "
        "VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, $14)",
        Params().integer(l.at).text(l.kind).text(l.bizCode).text(l.mode).text(l.block).text(l.ticketNo)
            .text(l.operatorId).text(l.placeCode).text(l.code).text(l.message).text(l.outcome).text(l.source)
            .integer(l.session).text(l.idempotencyKey),
        "write the scan log");
}

void PgTransaction::holdSignIns(const std::string& operatorId) {
  queue("SELECT pg_advisory_xact_lock(1413568076, hashtext($1))", Params().text(operatorId), "hold sign-ins");
}

void PgTransaction::insertVenue(const Venue& v) {
  changedCachedRows();
  queue("INSERT INTO venue(place_code, theater_name) VALUES($1, $2)", Params().text(v.placeCode).text(v.theaterName),
        "add a venue");
}

void PgTransaction::insertEvent(const Event& e) {
  changedCachedRows();
  queue("INSERT INTO event(bizcode, place_code, goods_name, play_date, active, offline, offline_max_age, offline_key) "
        "VALUES($1, $2, $3, $4, $5, $6, $7, $8)",
        Params().text(e.bizCode).text(e.placeCode).text(e.goodsName).text(e.playDate).boolean(e.active)
            .boolean(e.offline).integer(e.offlineMaxAgeMinutes).text(e.offlineKey.empty() ? newOfflineKey() : e.offlineKey),
        "add an event");
}

void PgTransaction::deactivateEvents(const std::string& placeCode) {
  changedCachedRows();
  queue("UPDATE event SET active = false WHERE place_code = $1 AND active", Params().text(placeCode),
        "deactivate the venue's events");
}

void PgTransaction::insertOperator(const Operator& o) {
  changedCachedRows();
  queue("INSERT INTO operator(operator_id, password_hash, place_code, active, role) VALUES($1, $2, $3, $4, $5)",
        Params().text(o.id).text(o.passwordHash).text(o.placeCode).boolean(o.active).text(roleName(o.role)),
        "add an operator");
}

bool PgTransaction::insertTicket(const Ticket& t) {
  Result r = run(
      "INSERT INTO ticket(bizcode, ticket_no, cust_name, goods_name, play_date, place_name, seat_grade_name, "
      "seat_info, block, status) VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) "
      "ON CONFLICT (bizcode, ticket_no) DO NOTHING",
      Params().text(t.bizCode).text(t.ticketNo).text(t.custName).text(t.goodsName).text(t.playDate)
          .text(t.placeName).text(t.seatGradeName).text(t.seatInfo).text(t.block)
          .text(t.cancelled ? "cancelled" : "valid"));
  return r.changed() == 1;
}

void PgTransaction::setEventActive(const std::string& bizCode, bool active) {
  changedCachedRows();
  queue("UPDATE event SET active = $2 WHERE bizcode = $1", Params().text(bizCode).boolean(active),
        "change whether the event is active");
}

void PgTransaction::setEventOffline(const std::string& bizCode, bool offline, std::int64_t maxAgeMinutes) {
  changedCachedRows();
  queue("UPDATE event SET offline = $2, offline_max_age = $3 WHERE bizcode = $1",
        Params().text(bizCode).boolean(offline).integer(maxAgeMinutes), "change the event's offline checking");
}

void PgTransaction::noteOfflineList(const OfflineListFetch& f) {
  queue("INSERT INTO offline_lists AS l(station, bizcode, block, fetched_at) VALUES($1, $2, $3, $4) "
        "ON CONFLICT (station, bizcode, block) DO UPDATE SET fetched_at = greatest(l.fetched_at, excluded.fetched_at)",
        Params().integer(f.station).text(f.bizCode).text(f.block).integer(f.fetchedAt), "note an offline list's fetch");
}

std::vector<OfflineListFetch> PgTransaction::offlineListFetches(std::int64_t stationId) {
  Result r = run("SELECT station, bizcode, block, fetched_at FROM offline_lists WHERE station = $1 "
                 "ORDER BY bizcode COLLATE \"C\", block COLLATE \"C\"",
                 Params().integer(stationId));
  std::vector<OfflineListFetch> out;
  for (int i = 0; i < r.rows(); ++i)
    out.push_back(OfflineListFetch{r.integer(i, 0), r.text(i, 1), r.text(i, 2), r.integer(i, 3)});
  return out;
}

std::int64_t PgTransaction::acknowledgedSequence(std::int64_t stationId) {
  Result r = run("SELECT acknowledged FROM station_handover WHERE station = $1", Params().integer(stationId));
  return r.rows() > 0 ? r.integer(0, 0) : 0;
}

std::optional<EnrolmentRecord> PgTransaction::findEnrolment(const std::string& codeHash) {
  Result r = run("SELECT code_hash, place_code, name, block, created, expires, station FROM station_enrolment "
                 "WHERE code_hash = $1",
                 Params().text(codeHash));
  if (r.rows() == 0) return std::nullopt;
  return EnrolmentRecord{r.text(0, 0), r.text(0, 1), r.text(0, 2), r.text(0, 3), r.integer(0, 4), r.integer(0, 5),
                         r.integer(0, 6)};
}

std::set<std::int64_t> PgTransaction::enrolledStations() {
  Result r = run("SELECT station FROM station_enrolment WHERE station <> 0", Params());
  std::set<std::int64_t> out;
  for (int i = 0; i < r.rows(); ++i) out.insert(r.integer(i, 0));
  return out;
}

void PgTransaction::insertEnrolment(const EnrolmentRecord& e, TimeMs expiredBefore) {
  run("DELETE FROM station_enrolment WHERE station = 0 AND expires < $1", Params().integer(expiredBefore));
  run("INSERT INTO station_enrolment(code_hash, place_code, name, block, created, expires, station) "
      "VALUES($1, $2, $3, $4, $5, $6, $7)",
      Params().text(e.codeHash).text(e.placeCode).text(e.name).text(e.block).integer(e.created).integer(e.expires)
          .integer(e.station));
}

void PgTransaction::redeemEnrolment(const std::string& codeHash, std::int64_t stationId) {
  run("UPDATE station_enrolment SET station = $2 WHERE code_hash = $1", Params().text(codeHash).integer(stationId));
}

void PgTransaction::acknowledgeSequence(std::int64_t stationId, std::int64_t sequence) {
  queue("INSERT INTO station_handover AS h(station, acknowledged) VALUES($1, $2) "
        "ON CONFLICT (station) DO UPDATE SET acknowledged = greatest(h.acknowledged, excluded.acknowledged)",
        Params().integer(stationId).integer(sequence), "acknowledge a station's offline decisions");
}

namespace {

constexpr const char* kConflictColumns =
    "id, alarm, handed_at, bizcode, ticket_no, block, reason, gate, at, other_gate, other_at, why";

}  // namespace

std::vector<OfflineConflict> PgTransaction::offlineConflicts(const std::string& bizCode) {
  static const std::string sql =
      std::string("SELECT ") + kConflictColumns + " FROM offline_conflict WHERE bizcode = $1 ORDER BY id";
  Result r = run(sql, Params().text(bizCode));
  std::vector<OfflineConflict> out;
  for (int i = 0; i < r.rows(); ++i)
    out.push_back(OfflineConflict{r.integer(i, 0), r.integer(i, 1), r.integer(i, 2), r.text(i, 3), r.text(i, 4),
                                  r.text(i, 5), r.text(i, 6), r.text(i, 7), r.integer(i, 8), r.text(i, 9),
                                  r.optInteger(i, 10), r.text(i, 11)});
  return out;
}

std::int64_t PgTransaction::keepOfflineConflict(const OfflineConflict& k) {
  // The id is taken first, so that the first conflict of a hand-over names itself as its alarm.
  const std::int64_t id =
      k.id != 0 ? k.id
                : run("SELECT nextval(pg_get_serial_sequence('offline_conflict', 'id'))", Params()).integer(0, 0);
  static const std::string sql = std::string("INSERT INTO offline_conflict(") + kConflictColumns +
                                 ") VALUES($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12)";
  queue(sql,
        Params().integer(id).integer(k.alarm != 0 ? k.alarm : id).integer(k.handedAt).text(k.bizCode).text(k.ticketNo)
            .text(k.block).text(k.reason).text(k.gate).integer(k.at).text(k.otherGate).integer(k.otherAt).text(k.why),
        "keep an offline conflict");
  if (k.id != 0)
    queue("SELECT setval(pg_get_serial_sequence('offline_conflict', 'id'), max(id)) FROM offline_conflict", Params(),
          "continue the row numbering");
  return id;
}

void PgTransaction::countPassage(const std::string& bizCode, const std::string& block, TimeMs at, bool exit) {
  queue("INSERT INTO ingress_flow AS f(bizcode, minute, block, shard, entries, exits) "
        "VALUES($1, $2, $3, pg_backend_pid(), $4, $5) "
        "ON CONFLICT(bizcode, minute, block, shard) DO UPDATE "
        "SET entries = f.entries + excluded.entries, exits = f.exits + excluded.exits",
        Params().text(bizCode).integer(at / 60000).text(block).integer(exit ? 0 : 1).integer(exit ? 1 : 0),
        "count an offline decision's passage");
}

std::vector<TicketState> PgTransaction::ticketStates(const std::string& bizCode, const std::string& block,
                                                     std::int64_t afterId, std::size_t limit) {
  Result r = run("SELECT id, ticket_no, block, status, inside, entry_count, last_entry FROM ticket "
                 "WHERE bizcode = $1 AND block = $2 AND id > $3 ORDER BY id LIMIT $4",
                 Params().text(bizCode).text(block).integer(afterId).integer(rowLimit(limit)));
  std::vector<TicketState> out;
  for (int i = 0; i < r.rows(); ++i)
    out.push_back(TicketState{r.integer(i, 0), r.text(i, 1), r.text(i, 2), r.text(i, 3) == "cancelled",
                              r.boolean(i, 4), r.integer(i, 5), r.optInteger(i, 6)});
  return out;
}

void PgTransaction::setEventCapacity(const std::string& bizCode, const BlockCapacity& capacity) {
  queue("DELETE FROM event_capacity WHERE bizcode = $1", Params().text(bizCode), "change the event's capacities");
  for (std::size_t b = 0; b < kBlocks.size(); ++b)
    if (capacity[b] > 0)
      queue("INSERT INTO event_capacity(bizcode, block, capacity) VALUES($1, $2, $3)",
            Params().text(bizCode).text(kBlocks[b]).integer(capacity[b]), "change the event's capacities");
}

void PgTransaction::setTicketCancelled(std::int64_t ticketId, bool cancelled) {
  queue("UPDATE ticket SET status = $2, cancelled_here = $3, version = version + 1 WHERE id = $1",
        Params().integer(ticketId).text(cancelled ? "cancelled" : "valid").boolean(cancelled),
        "change the ticket's status");
}

void PgTransaction::updateTicket(std::int64_t ticketId, const Ticket& t) {
  queue("UPDATE ticket SET cust_name = $2, goods_name = $3, play_date = $4, place_name = $5, seat_grade_name = $6, "
        "seat_info = $7, block = $8, status = $9, cancelled_here = $10, version = version + 1 WHERE id = $1",
        Params().integer(ticketId).text(t.custName).text(t.goodsName).text(t.playDate).text(t.placeName)
            .text(t.seatGradeName).text(t.seatInfo).text(t.block).text(t.cancelled ? "cancelled" : "valid")
            .boolean(t.cancelledHere),
        "change the ticket's details");
}

std::size_t PgTransaction::eraseHolderDetails(const std::string& bizCode) {
  Result r = run("UPDATE ticket SET cust_name = '', seat_info = '' WHERE bizcode = $1 AND (cust_name <> '' OR seat_info <> '')",
                 Params().text(bizCode));
  return static_cast<std::size_t>(r.changed());
}

void PgTransaction::setOperatorPassword(const std::string& id, const std::string& passwordHash) {
  changedCachedRows();
  queue("UPDATE operator SET password_hash = $2 WHERE operator_id = $1", Params().text(id).text(passwordHash),
        "change the operator's password");
}

void PgTransaction::setOperatorActive(const std::string& id, bool active) {
  changedCachedRows();
  queue("UPDATE operator SET active = $2 WHERE operator_id = $1", Params().text(id).boolean(active),
        "change whether the operator is active");
}

void PgTransaction::restoreTicket(const Ticket& t) {
  std::string& out = pendingCopy(Pending::Tickets);
  csvInteger(out, t.id);
  for (const std::string* v : {&t.bizCode, &t.ticketNo, &t.custName, &t.goodsName, &t.playDate, &t.placeName,
                               &t.seatGradeName, &t.seatInfo, &t.block})
    csvText(out, *v);
  csvText(out, t.cancelled ? "cancelled" : "valid");
  out += t.inside ? "t," : "f,";
  csvInteger(out, t.entryCount);
  csvInteger(out, t.firstEntry);
  csvInteger(out, t.lastEntry);
  csvInteger(out, t.lastExit);
  csvInteger(out, t.version);
  out += t.cancelledHere ? "t," : "f,";
  endCsvRow(out);
  if (out.size() >= kCopyBatchBytes) flush();
}

void PgTransaction::restoreScanRecord(const ScanRecord& l) {
  std::string& out = pendingCopy(Pending::ScanLog);
  csvInteger(out, l.id);
  csvInteger(out, l.at);
  for (const std::string* v : {&l.kind, &l.bizCode, &l.mode, &l.block, &l.ticketNo, &l.operatorId, &l.placeCode,
                               &l.code, &l.message, &l.outcome, &l.source})
    csvText(out, *v);
  csvInteger(out, l.session);
  csvText(out, l.idempotencyKey);
  endCsvRow(out);
  if (out.size() >= kCopyBatchBytes) flush();
}

void PgTransaction::flush() {
  if (pending_ == Pending::None) return;
  const bool tickets = pending_ == Pending::Tickets;
  const std::string data = std::move(copyData_);
  copyData_.clear();
  pending_ = Pending::None;
  // Row by row, the dashboard's counter triggers would update the same few rows once per restored
  // row in one transaction; in bulk, statement triggers add each COPY's rows up at once.
  if (!bulkCounting_) {
    c_.queue("SELECT set_config('tav.bulk', 'on', true)", Params(), "count restored rows in bulk");
    bulkCounting_ = true;
  }
  c_.copyIn(std::string("COPY ") + (tickets ? "ticket(" : "scan_log(") + (tickets ? kTicketColumns : kScanColumns) +
                ") FROM STDIN (FORMAT csv)",
            data);
  // Identities the store assigns later continue after the restored ones.
  c_.queue(tickets ? "SELECT setval(pg_get_serial_sequence('ticket', 'id'), max(id)) FROM ticket"
                   : "SELECT setval(pg_get_serial_sequence('scan_log', 'id'), max(id)) FROM scan_log",
           Params(), "continue the row numbering");
}

Result PgTransaction::run(const std::string& sql, const Params& params) {
  flush();
  return c_.run(sql, params);
}

void PgTransaction::queue(const std::string& sql, const Params& params, const char* what, Validator validate, Plan plan) {
  flush();
  c_.queue(sql, params, what, std::move(validate), plan);
}

template <class Row>
std::optional<Row> PgTransaction::cachedRow(const char* sql, const std::string& key, const std::optional<std::optional<Row>>& cached,
                             std::optional<Row> (*rowOf)(const Result&)) {
  if (cached) {
    RowCache& cache = cache_;  // the check runs after this object is gone, at the commit
    queue(sql, Params().text(key), "read a cached row", [&cache, key, expected = *cached, rowOf](const Result& r) {
      if (same(rowOf(r), expected)) return;
      cache.forget(key, expected);
      throw StaleCache();
    });
    return *cached;
  }
  const std::optional<Row> row = rowOf(run(sql, Params().text(key)));
  updates_.put(key, row);
  return row;
}

void PgTransaction::changedCachedRows() {
  cache_.clear();
  updates_.changed();
}

std::optional<Ticket> PgTransaction::oneTicket(const std::string& sql, const std::string& bizCode, const std::string& ticketNo) {
  Result r = run(sql, Params().text(bizCode).text(ticketNo));
  if (r.rows() == 0) return std::nullopt;
  return readTicket(r, 0);
}

std::string& PgTransaction::pendingCopy(Pending kind) {
  if (pending_ != kind) flush();
  pending_ = kind;
  return copyData_;
}

}  // namespace tav::server::pg
