// The typed SQL of the PostgreSQL store: the Transaction and Reader operations on one connection,
// and the cache of the events and operators that every check looks up.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "server/core/store.h"
#include "server/pg/connection.h"

namespace tav::server::pg {

// Events and operators as this server last read them, or known to be absent. They change only
// when a venue is set up, yet every check reads both; a check serves them from here and queues a
// statement that confirms them in its own transaction, which costs no round trip of its own.
class RowCache {
 public:
  // What one transaction read from the database, for the cache once it has committed: rows it
  // wrote itself must not be served to others before that, nor at all if it fails.
  struct Updates {
    bool clear = false;  // the transaction changed events or operators
    // Whether a check reads what its idempotency key holds before it decides. Most keys are new,
    // so a check does not read its key: it keeps it with a plain insert, which clashes when the
    // key was kept before (a retry), or waits for another transaction keeping it and clashes once
    // that one commits. The transaction then runs again, and that run reads the key first.
    bool readCheckKeys = false;
    // The transaction keeps a key with a plain insert (see readCheckKeys).
    bool newCheckKey = false;
    std::vector<std::pair<std::string, std::optional<Event>>> events;
    std::vector<std::pair<std::string, std::optional<Operator>>> operators;
    std::vector<std::pair<std::string, std::optional<SessionRecord>>> sessions;

    void put(const std::string& key, const std::optional<Event>& e) { events.emplace_back(key, e); }
    void put(const std::string& key, const std::optional<Operator>& o) { operators.emplace_back(key, o); }
    void put(const std::string& key, const std::optional<SessionRecord>& s) { sessions.emplace_back(key, s); }
    // Rows read before a change of the transaction's own may no longer be what it commits.
    void changed() {
      clear = true;
      events.clear();
      operators.clear();
      sessions.clear();
    }
  };

  std::optional<std::optional<Event>> event(const std::string& bizCode) { return find(events_, bizCode); }
  std::optional<std::optional<Operator>> op(const std::string& id) { return find(operators_, id); }
  std::optional<std::optional<SessionRecord>> session(const std::string& hash) { return find(sessions_, hash); }
  void forget(const std::string& key, const std::optional<Event>&) { erase(events_, key); }
  void forget(const std::string& key, const std::optional<Operator>&) { erase(operators_, key); }
  void forget(const std::string& key, const std::optional<SessionRecord>&) { erase(sessions_, key); }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    operators_.clear();
    sessions_.clear();
  }
  // After the commit of the transaction that collected `u`.
  void apply(const Updates& u) {
    if (u.clear) clear();
    for (const auto& [key, e] : u.events) store(events_, key, e);
    for (const auto& [key, o] : u.operators) store(operators_, key, o);
    for (const auto& [key, s] : u.sessions) store(sessions_, key, s);
  }

 private:
  // Codes that name nothing are kept too; a flood of them cannot grow the cache without bound.
  static constexpr std::size_t kMaxEntries = 4096;

  template <class Map>
  std::optional<typename Map::mapped_type> find(const Map& map, const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = map.find(key);
    if (it == map.end()) return std::nullopt;
    return it->second;
  }
  template <class Map>
  void store(Map& map, const std::string& key, const typename Map::mapped_type& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (map.size() >= kMaxEntries) map.clear();
    map[key] = value;
  }
  template <class Map>
  void erase(Map& map, const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    map.erase(key);
  }

  std::mutex mutex_;
  std::unordered_map<std::string, std::optional<Event>> events_;
  std::unordered_map<std::string, std::optional<Operator>> operators_;
  // Sessions change on other servers too (last use, revocation): a served row is confirmed whole,
  // last use included, so a stale one costs its check one rerun.
  std::unordered_map<std::string, std::optional<SessionRecord>> sessions_;
};

// The typed operations on one connection; the store owns the transaction around them.
class PgTransaction final : public Transaction {
 public:
  PgTransaction(Connection& c, RowCache& cache, RowCache::Updates& updates) : c_(c), cache_(cache), updates_(updates) {}

  std::optional<Venue> findVenue(const std::string& placeCode) override;
  std::optional<Event> findEvent(const std::string& bizCode) override;
  std::optional<Event> findActiveEvent(const std::string& placeCode) override;
  std::optional<Operator> findOperator(const std::string& id) override;
  std::optional<Ticket> findTicket(const std::string& bizCode, const std::string& ticketNo) override;

  // The row stays locked until the transaction ends: a check on another connection, of this
  // server or another one, waits here and then reads what this one wrote.
  std::optional<Ticket> lockTicket(const std::string& bizCode, const std::string& ticketNo) override;
  AdmittedCounts countAdmitted(const std::string& bizCode) override;
  std::vector<EventCounts> listEvents(const std::string& placeCode) override;
  LoginHistory loginHistory(const LoginQuery& query) override;
  IngressCounts ingressCounts(const IngressQuery& query) override;
  BlockCapacity eventCapacity(const std::string& bizCode) override;
  std::vector<ScanRecord> scanLog(std::int64_t afterId, std::size_t limit) override;
  std::optional<SessionRecord> findSession(const std::string& tokenHash) override;
  std::vector<Venue> allVenues() override;
  std::vector<Event> allEvents() override;
  std::vector<Operator> allOperators() override;
  std::vector<Ticket> tickets(std::int64_t afterId, std::size_t limit) override;
  std::vector<TicketState> ticketStates(const std::string& bizCode, const std::string& block, std::int64_t afterId,
                                        std::size_t limit) override;
  std::optional<ScanRecord> keyedCheckLine(const std::string& bizCode, const std::string& ticketNo,
                                           const std::string& key) override;
  std::vector<OfflineListFetch> offlineListFetches(std::int64_t stationId) override;
  std::int64_t acknowledgedSequence(std::int64_t stationId) override;
  std::optional<EnrolmentRecord> findEnrolment(const std::string& codeHash) override;
  std::set<std::int64_t> enrolledStations() override;
  void setEventOffline(const std::string& bizCode, bool offline, std::int64_t maxAgeMinutes) override;
  void noteOfflineList(const OfflineListFetch& fetch) override;
  void acknowledgeSequence(std::int64_t stationId, std::int64_t sequence) override;
  std::vector<OfflineConflict> offlineConflicts(const std::string& bizCode) override;
  std::int64_t keepOfflineConflict(const OfflineConflict& conflict) override;
  void countPassage(const std::string& bizCode, const std::string& block, TimeMs at, bool exit) override;
  void insertEnrolment(const EnrolmentRecord& enrolment, TimeMs expiredBefore) override;
  void redeemEnrolment(const std::string& codeHash, std::int64_t stationId) override;
  void recordEntry(std::int64_t ticketId, TimeMs at) override;
  void recordExit(std::int64_t ticketId, TimeMs at) override;
  // Reads what the key holds only in a run after a clash on the key (RowCache::Updates::
  // readCheckKeys), sent along with the next statement that reads (the check's ticket lock).
  void claimCheckKey(const std::string& key) override;
  std::optional<CheckKeyRecord> claimedCheckKey() override;
  void keepCheckKey(const CheckKeyRecord& record) override;
  std::size_t forgetCheckKeys(TimeMs from, TimeMs to, std::size_t limit) override;
  void appendScanLog(const ScanRecord& l) override;

  // A transaction-scoped advisory lock per ID (in a key space of its own beside the migrations'
  // lock); the reads after it, in read committed, see every sign-in committed before it was granted.
  void holdSignIns(const std::string& operatorId) override;
  void insertVenue(const Venue& v) override;
  void insertEvent(const Event& e) override;
  void deactivateEvents(const std::string& placeCode) override;
  void insertOperator(const Operator& o) override;
  bool insertTicket(const Ticket& t) override;
  void setEventActive(const std::string& bizCode, bool active) override;
  void setEventCapacity(const std::string& bizCode, const BlockCapacity& capacity) override;
  void setTicketCancelled(std::int64_t ticketId, bool cancelled) override;
  std::size_t eraseHolderDetails(const std::string& bizCode) override;
  void updateTicket(std::int64_t ticketId, const Ticket& details) override;
  void setOperatorPassword(const std::string& id, const std::string& passwordHash) override;
  void setOperatorActive(const std::string& id, bool active) override;
  std::int64_t insertSession(const SessionRecord& session, TimeMs idleBefore, TimeMs createdBefore) override;
  void touchSession(const SessionRecord& session, TimeMs at) override;
  std::size_t endSessions(const std::optional<std::string>& operatorId) override;
  std::vector<StationRecord> allStations() override;
  std::optional<SessionRecord> latestStationSession(std::int64_t stationId) override;
  std::vector<ScanRecord> lockoutLines(const std::string& operatorId, TimeMs after) override;
  std::vector<Ticket> ticketsByHolder(const std::string& bizCode, const std::string& from, const std::string& to,
                                      std::size_t limit) override;
  std::vector<ScanRecord> ticketLog(const std::string& bizCode, const std::string& ticketNo, std::int64_t beforeId,
                                    std::size_t limit) override;
  std::vector<ScanRecord> ticketLogAfter(const std::string& bizCode, const std::string& ticketNo,
                                         std::int64_t afterId, std::size_t limit) override;
  void annulEntry(const Ticket& ticket, TimeMs entryAt, std::optional<TimeMs> previousEntry) override;
  std::int64_t insertStation(const StationRecord& station) override;
  void removeStation(std::int64_t stationId, TimeMs at) override;
  void touchStation(std::int64_t stationId, TimeMs at) override;
  void restoreStation(const StationRecord& station) override;

  // Restored rows travel in COPY batches: a million tickets are one round trip per megabyte.
  void restoreTicket(const Ticket& t) override;
  void restoreScanRecord(const ScanRecord& l) override;

  // Sends the restored rows still held here; the store calls it before the commit.
  void flush();

 private:
  enum class Pending { None, Tickets, ScanLog };
  Result run(const std::string& sql, const Params& params);
  void queue(const std::string& sql, const Params& params, const char* what, Validator validate = nullptr,
             Plan plan = Plan::Once);

  // The row of `key` from the cache, confirmed by a queued statement, or read now and cached.
  template <class Row>
  std::optional<Row> cachedRow(const char* sql, const std::string& key, const std::optional<std::optional<Row>>& cached,
                               std::optional<Row> (*rowOf)(const Result&));
  void changedCachedRows();
  std::optional<Ticket> oneTicket(const std::string& sql, const std::string& bizCode, const std::string& ticketNo);
  std::string& pendingCopy(Pending kind);
  Connection& c_;
  RowCache& cache_;
  RowCache::Updates& updates_;
  bool bulkCounting_ = false;  // restored rows reach the dashboard's counters per COPY, not per row
  Pending pending_ = Pending::None;
  std::string copyData_;
  // What the key claimed last holds, once the database has answered the claim's read.
  struct Claim {
    bool answered = false;
    std::optional<CheckKeyRecord> kept;
  };
  std::shared_ptr<Claim> claim_;
};

}  // namespace tav::server::pg
