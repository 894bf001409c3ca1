// Connection: connecting, the pipeline of a transaction, and reading the database's answers.
#include "server/pg/connection.h"

#include <algorithm>

#include "server/core/errors.h"
#include "server/pg/location.h"

namespace tav::server::pg {
namespace {

// The first line of a libpq message, without its trailing line break.
std::string firstLine(const char* message) {
  std::string s = message ? message : "";
  s = s.substr(0, s.find('\n'));
  while (!s.empty() && (s.back() == ' ' || s.back() == '.')) s.pop_back();
  return s.empty() ? "no answer from the database" : s;
}

}  // namespace

bool Failure::databaseFault() const {
  // Without an SQLSTATE the failure was libpq's own: the connection or the network.
  if (sqlState_.size() < 2) return true;
  const std::string kind = sqlState_.substr(0, 2);
  // Connection exception, insufficient resources (disk full), operator intervention (shutdown),
  // system error (I/O), internal error.
  return kind == "08" || kind == "53" || kind == "57" || kind == "58" || kind == "XX";
}

Connection::Connection(const std::string& uri) {
  // Settings before "dbname" are defaults the URI may override; those after it are ours.
  const char* keys[] = {"connect_timeout", "keepalives_idle", "keepalives_interval",
                        "keepalives_count", "application_name", "dbname", "client_encoding", nullptr};
  const char* values[] = {"5", "30", "10", "3", "tav-server", uri.c_str(), "UTF8", nullptr};
  conn_ = PQconnectdbParams(keys, values, 1);
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
    const std::string why = conn_ ? firstLine(PQerrorMessage(conn_)) : "out of memory";
    PQfinish(conn_);
    conn_ = nullptr;
    throw StoreUnavailable("The database cannot be reached: " + scrubbed(why, uri) + ".");
  }
  // The server's notices (a shutdown under way, a warning) are not ours to print.
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
}

Result Connection::execParams(const char* sql, const Params& params, const char* what) {
  const std::vector<const char*> values = params.pointers();
  return check(PQexecParams(conn_, sql, params.size(), nullptr, values.data(), nullptr, nullptr, 0), what);
}

void Connection::begin(const std::string& beginSql) {
  if (PQenterPipelineMode(conn_) != 1) fail(nullptr, "start a transaction");
  explicit_ = !beginSql.empty();
  if (explicit_) queue(beginSql, Params(), "start a transaction");
}

void Connection::queue(const std::string& sql, const Params& params, const char* what, Validator validate) {
  send(sql, params, what, std::move(validate));
  if (pending_.size() >= kMaxQueued) settle();
}

Result Connection::run(const std::string& sql, const Params& params, const char* what) {
  send(sql, params, what);
  if (PQsendFlushRequest(conn_) != 1 || PQflush(conn_) != 0) fail(nullptr, what);
  while (pending_.size() > 1) take();
  return take();
}

void Connection::commit() {
  // Cached rows a decision rests on are confirmed before the database commits it.
  if (validating()) settle();
  if (explicit_) send("COMMIT", Params(), "commit");
  sync();
  Result last(nullptr);
  while (!pending_.empty()) last = take();
  // An aborted explicit transaction "commits" as a ROLLBACK without an error.
  // 25P02: a statement of the transaction had failed, so the database ended it.
  if (explicit_ && last.command() != "COMMIT") throw Failure("The store did not keep the transaction.", "25P02");
  // The implicit one commits at the sync point; a failure there is its answer.
  endSync();
  if (PQexitPipelineMode(conn_) != 1) fail(nullptr, "commit");
}

bool Connection::readStaleRows() noexcept {
  if (!validating()) return false;
  try {
    settle();
  } catch (const StaleCache&) {
    return true;
  } catch (...) {
  }
  return false;
}

bool Connection::abandon() noexcept {
  if (broken()) return false;
  try {
    if (PQpipelineStatus(conn_) != PQ_PIPELINE_OFF) {
      if (unreadSyncs_ == 0) {
        // A sync point commits an implicit transaction: undo it first.
        if (!explicit_) send("ROLLBACK", Params(), "roll back");
        sync();
      }
      while (!pending_.empty()) {
        pending_.pop_front();
        drainOne();
      }
      while (unreadSyncs_ > 0) endSync();
      if (PQexitPipelineMode(conn_) != 1) return false;
    }
    PQclear(PQexec(conn_, "ROLLBACK"));
    PQclear(PQexec(conn_, "DEALLOCATE ALL"));
    prepared_.clear();
    return !broken() && PQtransactionStatus(conn_) == PQTRANS_IDLE;
  } catch (const std::exception&) {
    return false;
  }
}

void Connection::copyIn(const std::string& copySql, const std::string& data) {
  // The sync point that leaving pipeline mode needs would commit an implicit transaction;
  // BEGIN turns it into an explicit one, with what it did so far.
  if (!explicit_) {
    send("BEGIN", Params(), "start a transaction");
    explicit_ = true;
  }
  sync();
  while (!pending_.empty()) take();
  endSync();
  if (PQexitPipelineMode(conn_) != 1) fail(nullptr, "copy rows");
  Result start(PQexec(conn_, copySql.c_str()));
  if (start.status() != PGRES_COPY_IN) fail(start.get(), "copy rows");
  if (PQputCopyData(conn_, data.data(), static_cast<int>(data.size())) != 1 ||
      PQputCopyEnd(conn_, nullptr) != 1)
    fail(nullptr, "copy rows");
  Result end(PQgetResult(conn_));
  while (PGresult* more = PQgetResult(conn_)) PQclear(more);
  if (end.status() != PGRES_COMMAND_OK) fail(end.get(), "copy rows");
  if (PQenterPipelineMode(conn_) != 1) fail(nullptr, "copy rows");
}

void Connection::send(const std::string& sql, const Params& params, const char* what, Validator validate) {
  auto it = prepared_.find(sql);
  if (it == prepared_.end()) {
    std::string name = "s" + std::to_string(prepared_.size());
    if (PQsendPrepare(conn_, name.c_str(), sql.c_str(), params.size(), nullptr) != 1)
      fail(nullptr, "prepare a statement");
    pending_.push_back({"prepare a statement", nullptr});
    it = prepared_.emplace(sql, std::move(name)).first;
  }
  const std::vector<const char*> values = params.pointers();
  if (PQsendQueryPrepared(conn_, it->second.c_str(), params.size(), values.data(), nullptr, nullptr, 0) != 1)
    fail(nullptr, what);
  pending_.push_back({what, std::move(validate)});
}

bool Connection::validating() const {
  return std::any_of(pending_.begin(), pending_.end(), [](const Pending& p) { return p.validate != nullptr; });
}

void Connection::settle() {
  if (PQsendFlushRequest(conn_) != 1 || PQflush(conn_) != 0) fail(nullptr, "run a statement");
  while (!pending_.empty()) take();
}

void Connection::sync() {
  if (PQpipelineSync(conn_) != 1) fail(nullptr, "run a statement");
  ++unreadSyncs_;
}

Result Connection::take() {
  Pending p = std::move(pending_.front());
  pending_.pop_front();
  Result r(PQgetResult(conn_));
  if (r.get())
    while (PGresult* more = PQgetResult(conn_)) PQclear(more);
  if (r.status() != PGRES_COMMAND_OK && r.status() != PGRES_TUPLES_OK) fail(r.get(), p.what);
  if (p.validate) p.validate(r);
  return r;
}

void Connection::drainOne() {
  if (PGresult* r = PQgetResult(conn_)) {
    PQclear(r);
    while (PGresult* more = PQgetResult(conn_)) PQclear(more);
  }
}

void Connection::endSync() {
  --unreadSyncs_;
  Result r(PQgetResult(conn_));
  if (r.status() != PGRES_PIPELINE_SYNC) fail(r.get(), "end a transaction");
}

Result Connection::check(PGresult* r, const char* what) {
  const ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return Result(r);
  Result owner(r);
  fail(r, what);
}

[[noreturn]] void Connection::fail(const PGresult* r, const char* what) {
  const char* primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  throw Failure(std::string("The store could not ") + what + ": " +
                    firstLine(primary ? primary : PQerrorMessage(conn_)) + ".",
                state ? state : "");
}

}  // namespace tav::server::pg
