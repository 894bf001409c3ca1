// One libpq connection: statements prepared once, transactions in pipeline mode, and every failure
// turned into StoreUnavailable with the database's reason.
#pragma once

#include <libpq-fe.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/core/errors.h"

namespace tav::server::pg {

// A failure of a statement or of the connection, with the database's SQLSTATE when it gave one.
// The SQLSTATE of a connection that could not be made (sqlclient_unable_to_establish_sqlconnection).
inline constexpr const char* kUnreachable = "08001";

class Failure : public StoreUnavailable {
 public:
  Failure(const std::string& sentence, std::string sqlState)
      : StoreUnavailable(sentence), sqlState_(std::move(sqlState)) {}
  const std::string& sqlState() const { return sqlState_; }

  // True when the database or the way to it failed (lost connection, full disk, shutdown, I/O
  // error), false when the request broke a rule (a constraint, the scan log's triggers).
  bool databaseFault() const;

 private:
  std::string sqlState_;
};

// Parameters of one statement, sent as text; std::nullopt is SQL NULL.
class Params {
 public:
  Params& text(const std::string& v) {
    values_.emplace_back(v);
    return *this;
  }
  Params& integer(std::int64_t v) {
    values_.emplace_back(std::to_string(v));
    return *this;
  }
  Params& integer(const std::optional<std::int64_t>& v) {
    values_.push_back(v ? std::optional<std::string>(std::to_string(*v)) : std::nullopt);
    return *this;
  }
  Params& boolean(bool v) {
    values_.emplace_back(v ? "t" : "f");
    return *this;
  }
  int size() const { return static_cast<int>(values_.size()); }
  std::vector<const char*> pointers() const {
    std::vector<const char*> p;
    for (const auto& v : values_) p.push_back(v ? v->c_str() : nullptr);
    return p;
  }

 private:
  std::vector<std::optional<std::string>> values_;
};

// The rows of one statement's answer, read as text.
class Result {
 public:
  explicit Result(PGresult* r) : r_(r, &PQclear) {}
  int rows() const { return PQntuples(r_.get()); }
  bool null(int row, int col) const { return PQgetisnull(r_.get(), row, col) != 0; }
  std::string text(int row, int col) const {
    return std::string(PQgetvalue(r_.get(), row, col),
                       static_cast<std::size_t>(PQgetlength(r_.get(), row, col)));
  }
  std::int64_t integer(int row, int col) const {
    const char* p = PQgetvalue(r_.get(), row, col);
    std::int64_t v = 0;
    std::from_chars(p, p + PQgetlength(r_.get(), row, col), v);
    return v;
  }
  std::optional<std::int64_t> optInteger(int row, int col) const {
    if (null(row, col)) return std::nullopt;
    return integer(row, col);
  }
  bool boolean(int row, int col) const { return PQgetvalue(r_.get(), row, col)[0] == 't'; }
  // Rows the statement changed ("INSERT 0 1" gives 1).
  std::int64_t changed() const { return std::atoll(PQcmdTuples(r_.get())); }
  std::string command() const { return r_ ? PQcmdStatus(r_.get()) : ""; }
  ExecStatusType status() const { return r_ ? PQresultStatus(r_.get()) : PGRES_FATAL_ERROR; }
  PGresult* get() const { return r_.get(); }

 private:
  std::unique_ptr<PGresult, decltype(&PQclear)> r_;
};

// The database did not answer before the connection's deadline. The connection is of no further
// use: what it sent may still be under way, and a stalled database would hold it for as long as
// it stalls (its TCP peer stays alive and acknowledges what it is sent).
class Expired : public Failure {
 public:
  Expired() : Failure("The database did not answer in time.", "") {}
};

// Raised when a row the store served from its cache turned out to have changed in the database:
// the transaction is undone and its work runs again on the current rows.
class StaleCache : public std::exception {
 public:
  const char* what() const noexcept override { return "a cached row changed in the database"; }
};

// How a statement is planned: once per connection (prepared), or at every run with its values. A
// lookup in a table that grows from empty within minutes is planned at every run: a plan made
// once, while the table was small, would go on reading it whole once it is big.
enum class Plan { Once, EachRun };

// Checks the answer to a statement queued to confirm a cached row; throws StaleCache.
using Validator = std::function<void(const Result&)>;


// One libpq connection. A transaction runs in pipeline mode: statements whose answer the caller
// does not need (BEGIN, the writes of a check, the confirmation of cached rows, COMMIT) travel
// with the next one it waits for, so that a ticket check costs two round trips to the database.
//
// The socket is non-blocking and every wait for the database is a poll() with the time left
// before the connection's deadline, if it has one: past it the wait ends with Expired.
class Connection {
 public:
  using Clock = std::chrono::steady_clock;

  // Throws StoreUnavailable with libpq's reason, the password scrubbed from it. The URI's own
  // settings of the timeouts and keep-alives below win over ours.
  explicit Connection(const std::string& uri);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() { PQfinish(conn_); }

  PGconn* handle() const { return conn_; }
  bool broken() const { return expired_ || PQstatus(conn_) != CONNECTION_OK; }

  // Every wait from now on ends by `deadline` (none: as long as the database takes).
  void setDeadline(std::optional<Clock::time_point> deadline) { deadline_ = deadline; }

  // True once the commit of the transaction under way has been handed to the socket: from then
  // on a failure leaves its outcome unknown.
  bool commitSent() const { return commitSent_; }

  // Which set of connections the pool counts this one in; see ConnectionPool.
  std::uint64_t generation = 0;

  // Outside a transaction: a statement without parameters (several, separated by semicolons).
  Result exec(const char* sql, const char* what);

  // Outside a transaction: a statement with parameters.
  Result execParams(const char* sql, const Params& params, const char* what);

  // Starts a transaction: with `beginSql` (e.g. for another isolation level), or else the
  // implicit one that the database keeps around the statements up to the commit's sync point,
  // which spares a check the BEGIN and COMMIT statements. Nothing is sent before the first
  // run() or commit().
  void begin(const std::string& beginSql);

  // A statement whose answer only has to say that it worked (and pass `validate`, when given); a
  // failure shows at the next run() or commit(), and always before the commit takes place.
  void queue(const std::string& sql, const Params& params, const char* what, Validator validate = nullptr,
             Plan plan = Plan::Once);

  // A statement whose rows the caller needs now; the statements queued before it are checked first.
  Result run(const std::string& sql, const Params& params, const char* what = "run a statement");

  // Commits; returns once the database has the transaction durably (synchronous_commit).
  void commit();

  // After `work` failed: true when a cached row it read had changed, so that its failure may have
  // come from the stale row rather than from the request.
  bool readStaleRows() noexcept;

  // After a failure inside a transaction: reads what is still on its way, rolls back and forgets
  // the prepared statements (a failed pipeline may have skipped preparing some). False when the
  // connection is no longer fit for use.
  bool abandon() noexcept;

  // Inside a transaction: sends `data` (CSV rows) to a "COPY ... FROM STDIN" statement, which
  // cannot run in pipeline mode.
  void copyIn(const std::string& copySql, const std::string& data);

 private:
  // Statements queued without reading their answers; beyond this many the answers are read, so
  // that neither side's buffers fill up.
  static constexpr std::size_t kMaxQueued = 64;

  struct Pending {
    const char* what;
    Validator validate;
  };

  void send(const std::string& sql, const Params& params, const char* what, Validator validate = nullptr,
            Plan plan = Plan::Once);
  bool validating() const;

  // Reads the answers to the statements queued so far.
  void settle();
  void sync();

  // The answer to the oldest statement on its way; throws when it failed.
  Result take();
  void drainOne();

  // Reads the sync point's own answer, which follows the answers to all statements before it.
  void endSync();

  // Sends everything libpq holds for the database.
  void flushOut(const char* what);
  // The next answer, once it has arrived whole (null between statements and when none is due).
  PGresult* nextResult(const char* what);
  // Waits for the socket to become ready for `events`, then reads what arrived. Throws Expired
  // past the deadline.
  void awaitSocket(short events, const char* what);
  // The last answer of a statement sent outside a pipeline, or its first failure.
  Result finishStatement(const char* what);

  [[noreturn]] void fail(const PGresult* r, const char* what);

  PGconn* conn_ = nullptr;
  std::unordered_map<std::string, std::string> prepared_;  // SQL text -> statement name
  std::deque<Pending> pending_;                            // the statements on their way
  int unreadSyncs_ = 0;                                    // sync points whose answer is still to come
  bool explicit_ = false;                                  // the transaction began with BEGIN
  std::optional<Clock::time_point> deadline_;
  bool expired_ = false;
  bool commitSent_ = false;
};

}  // namespace tav::server::pg
