// The typed SQL of the SQLite store: the Transaction and Reader operations on one connection, and
// the writer's cache of the events and operators that every check looks up.
#pragma once

#include <cstdint>
#include <string>
#include <optional>
#include <unordered_map>
#include <vector>

#include "server/core/store.h"
#include "server/sqlite/connection.h"

namespace tav::server::sqlite {

// Events, operators and sessions as the writer last read them. Events and operators change only
// through setup commands, sessions through sign-ins and revocations: on the writer itself, which
// keeps this up to date, or from another process, which the writer notices by the file's data
// version before each batch. Every check looks all three up, so this saves three statements per
// check on the one thread that all checks queue for.
class LookupCache {
 public:
  // Clears everything when another connection has committed since the last call.
  void revalidate(std::int64_t dataVersion) {
    if (dataVersion != version_) clear();
    version_ = dataVersion;
  }
  void clear() {
    events_.clear();
    operators_.clear();
    sessions_.clear();
  }
  void clearSessions() { sessions_.clear(); }

  const Event* event(const std::string& bizCode) const { return find(events_, bizCode); }
  const Operator* op(const std::string& id) const { return find(operators_, id); }
  SessionRecord* session(const std::string& tokenHash) {
    auto it = sessions_.find(tokenHash);
    return it == sessions_.end() ? nullptr : &it->second;
  }
  void keep(const Event& e) { put(events_, e.bizCode, e); }
  void keep(const Operator& o) { put(operators_, o.id, o); }
  void keep(const SessionRecord& s) { put(sessions_, s.tokenHash, s); }

 private:
  // Bounded, since the keys come from requests; a full map starts again rather than evicting.
  static constexpr std::size_t kMaxEntries = 4096;

  template <typename T>
  static const T* find(const std::unordered_map<std::string, T>& map, const std::string& key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
  }
  template <typename T>
  static void put(std::unordered_map<std::string, T>& map, const std::string& key, const T& value) {
    if (map.size() >= kMaxEntries) map.clear();
    map.insert_or_assign(key, value);
  }

  std::unordered_map<std::string, Event> events_;
  std::unordered_map<std::string, Operator> operators_;
  std::unordered_map<std::string, SessionRecord> sessions_;  // found ones only: a sign-in adds
  std::int64_t version_ = -1;
};

// The typed operations on one connection; the caller owns the transaction around them. The
// writer's transaction serves events, operators and sessions from its cache and keeps the cache in
// step with its own changes to them.
class SqliteTransaction final : public Transaction {
 public:
  explicit SqliteTransaction(Connection& c, LookupCache* cache = nullptr) : c_(c), cache_(cache) {}

  // Reads every page of the ticket table and of its ticket-number index.
  void readAllTickets();

  std::optional<Venue> findVenue(const std::string& placeCode) override;
  std::optional<Event> findEvent(const std::string& bizCode) override;
  std::optional<Event> findActiveEvent(const std::string& placeCode) override;
  std::optional<Operator> findOperator(const std::string& id) override;
  std::optional<Ticket> findTicket(const std::string& bizCode, const std::string& ticketNo) override;
  // SQLite has one writer at a time: the row cannot change before the transaction ends.
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
  void restoreTicket(const Ticket& t) override;
  void restoreScanRecord(const ScanRecord& r) override;
  void recordEntry(std::int64_t ticketId, TimeMs at) override;
  void recordExit(std::int64_t ticketId, TimeMs at) override;
  // One writer at a time: the claim is a read, and what it finds stays so until the commit.
  void claimCheckKey(const std::string& key) override;
  std::optional<CheckKeyRecord> claimedCheckKey() override { return claimed_; }
  void keepCheckKey(const CheckKeyRecord& record) override;
  std::size_t forgetCheckKeys(TimeMs from, TimeMs to, std::size_t limit) override;
  void appendScanLog(const ScanRecord& r) override;
  // One writer at a time already: a write transaction sees every sign-in committed before it.
  void holdSignIns(const std::string&) override {}
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

 private:
  void forget() {
    if (cache_) cache_->clear();
  }
  // The row `cached` points to, or else the one `sql` finds by `key` (its one parameter), kept in
  // the writer's cache when found.
  template <class Row>
  std::optional<Row> cachedRow(const Row* cached, const char* sql, const std::string& key,
                               Row (*rowOf)(const Query&));

  Connection& c_;
  LookupCache* cache_;
  std::optional<CheckKeyRecord> claimed_;
};

}  // namespace tav::server::sqlite
