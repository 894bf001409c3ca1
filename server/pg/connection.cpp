// Connection: connecting, the pipeline of a transaction, and reading the database's answers.
#include "server/pg/connection.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

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
  // Settings before "dbname" are defaults the URI may override; those after it are ours. A
  // database that does not answer is given up on within seconds: a connection attempt after 2 s
  // (per host), data it does not acknowledge after 3 s, a silent peer after 2 + 2 x 1 s. A stalled
  // database whose machine still acknowledges is caught by the deadlines of the waits instead.
  const char* keys[] = {"connect_timeout", "tcp_user_timeout", "keepalives", "keepalives_idle",
                        "keepalives_interval", "keepalives_count", "application_name", "dbname",
                        "client_encoding", nullptr};
  const char* values[] = {"2", "3000", "1", "2", "1", "2", "tav-server", uri.c_str(), "UTF8", nullptr};
  conn_ = PQconnectdbParams(keys, values, 1);
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
    const std::string why = conn_ ? firstLine(PQerrorMessage(conn_)) : "out of memory";
    PQfinish(conn_);
    conn_ = nullptr;
    // 08001, as libpq's own: no host of the URI could be reached or took writes.
    throw Failure("The database cannot be reached: " + scrubbed(why, uri) + ".", kUnreachable);
  }
  // The server's notices (a shutdown under way, a warning) are not ours to print.
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
  // Sending never blocks: a database that stops reading is caught by the deadline like one that
  // stops answering.
  if (PQsetnonblocking(conn_, 1) != 0) {
    PQfinish(conn_);
    conn_ = nullptr;
    throw StoreUnavailable("The database connection cannot be made non-blocking.");
  }
}

Result Connection::exec(const char* sql, const char* what) {
  if (PQsendQuery(conn_, sql) != 1) fail(nullptr, what);
  return finishStatement(what);
}

Result Connection::execParams(const char* sql, const Params& params, const char* what) {
  const std::vector<const char*> values = params.pointers();
  if (PQsendQueryParams(conn_, sql, params.size(), nullptr, values.data(), nullptr, nullptr, 0) != 1)
    fail(nullptr, what);
  return finishStatement(what);
}

Result Connection::finishStatement(const char* what) {
  flushOut(what);
  Result kept(nullptr);
  bool failed = false;
  while (PGresult* r = nextResult(what)) {
    if (failed) {
      PQclear(r);
      continue;
    }
    kept = Result(r);
    failed = kept.status() != PGRES_COMMAND_OK && kept.status() != PGRES_TUPLES_OK;
  }
  if (!kept.get()) fail(nullptr, what);
  if (failed) fail(kept.get(), what);
  return kept;
}

void Connection::flushOut(const char* what) {
  for (;;) {
    const int left = PQflush(conn_);
    if (left == 0) return;
    if (left < 0) fail(nullptr, what);
    // The database may be waiting for its answers to be read before it reads more.
    awaitSocket(POLLIN | POLLOUT, what);
  }
}

PGresult* Connection::nextResult(const char* what) {
  for (;;) {
    const int unsent = PQflush(conn_);
    if (unsent < 0) fail(nullptr, what);
    if (unsent == 0 && PQisBusy(conn_) == 0) return PQgetResult(conn_);
    awaitSocket(unsent ? POLLIN | POLLOUT : POLLIN, what);
  }
}

void Connection::awaitSocket(short events, const char* what) {
  pollfd p{PQsocket(conn_), events, 0};
  if (p.fd < 0) fail(nullptr, what);
  for (;;) {
    int waitMs = -1;
    if (deadline_) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - Clock::now()).count();
      if (left <= 0) break;
      waitMs = static_cast<int>(left);
    }
    const int ready = ::poll(&p, 1, waitMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) fail(nullptr, what);
    if (ready == 0) break;
    if ((p.revents & (POLLIN | POLLERR | POLLHUP)) && PQconsumeInput(conn_) != 1) fail(nullptr, what);
    return;
  }
  expired_ = true;
  throw Expired();
}

void Connection::begin(const std::string& beginSql) {
  commitSent_ = false;
  if (PQenterPipelineMode(conn_) != 1) fail(nullptr, "start a transaction");
  explicit_ = !beginSql.empty();
  if (explicit_) queue(beginSql, Params(), "start a transaction");
}

void Connection::queue(const std::string& sql, const Params& params, const char* what, Validator validate,
                       Plan plan) {
  send(sql, params, what, std::move(validate), plan);
  if (pending_.size() >= kMaxQueued) settle();
}

Result Connection::run(const std::string& sql, const Params& params, const char* what) {
  send(sql, params, what);
  if (PQsendFlushRequest(conn_) != 1) fail(nullptr, what);
  flushOut(what);
  while (pending_.size() > 1) take();
  return take();
}

void Connection::commit() {
  // Cached rows a decision rests on are confirmed before the database commits it.
  if (validating()) settle();
  commitSent_ = true;
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
  commitSent_ = false;
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
    exec("ROLLBACK", "roll back");
    exec("DEALLOCATE ALL", "forget the prepared statements");
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
  // A bulk copy of the setup tool's: the rows go out as fast as the database takes them.
  PQsetnonblocking(conn_, 0);
  Result start(PQexec(conn_, copySql.c_str()));
  if (start.status() != PGRES_COPY_IN) fail(start.get(), "copy rows");
  if (PQputCopyData(conn_, data.data(), static_cast<int>(data.size())) != 1 ||
      PQputCopyEnd(conn_, nullptr) != 1)
    fail(nullptr, "copy rows");
  Result end(PQgetResult(conn_));
  while (PGresult* more = PQgetResult(conn_)) PQclear(more);
  if (end.status() != PGRES_COMMAND_OK) fail(end.get(), "copy rows");
  if (PQsetnonblocking(conn_, 1) != 0 || PQenterPipelineMode(conn_) != 1) fail(nullptr, "copy rows");
}

void Connection::send(const std::string& sql, const Params& params, const char* what, Validator validate, Plan plan) {
  if (plan == Plan::EachRun) {
    const std::vector<const char*> values = params.pointers();
    if (PQsendQueryParams(conn_, sql.c_str(), params.size(), nullptr, values.data(), nullptr, nullptr, 0) != 1)
      fail(nullptr, what);
    pending_.push_back({what, std::move(validate)});
    return;
  }
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
  if (PQsendFlushRequest(conn_) != 1) fail(nullptr, "run a statement");
  flushOut("run a statement");
  while (!pending_.empty()) take();
}

void Connection::sync() {
  if (PQpipelineSync(conn_) != 1) fail(nullptr, "run a statement");
  ++unreadSyncs_;
}

Result Connection::take() {
  Pending p = std::move(pending_.front());
  pending_.pop_front();
  Result r(nextResult(p.what));
  if (r.get())
    while (PGresult* more = nextResult(p.what)) PQclear(more);
  if (r.status() != PGRES_COMMAND_OK && r.status() != PGRES_TUPLES_OK) fail(r.get(), p.what);
  if (p.validate) p.validate(r);
  return r;
}

void Connection::drainOne() {
  if (PGresult* r = nextResult("end a transaction")) {
    PQclear(r);
    while (PGresult* more = nextResult("end a transaction")) PQclear(more);
  }
}

void Connection::endSync() {
  --unreadSyncs_;
  Result r(nextResult("end a transaction"));
  if (r.status() != PGRES_PIPELINE_SYNC) fail(r.get(), "end a transaction");
}

[[noreturn]] void Connection::fail(const PGresult* r, const char* what) {
  const char* primary = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  throw Failure(std::string("The store could not ") + what + ": " +
                    firstLine(primary ? primary : PQerrorMessage(conn_)) + ".",
                state ? state : "");
}

}  // namespace tav::server::pg
