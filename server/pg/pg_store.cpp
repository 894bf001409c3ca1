// The PostgreSQL store: each write and read in a transaction on a pooled connection, run again when
// the connection was lost before the commit or a cached row turned out stale. Checks lock their
// ticket row, so that any number of servers on one database admit a ticket once.
#include "server/pg/pg_store.h"

#include <libpq-fe.h>

#include <atomic>
#include <stdexcept>
#include <cstring>
#include <functional>
#include <mutex>

#include "server/core/errors.h"
#include "server/pg/connection.h"
#include "server/pg/pool.h"
#include "server/pg/schema.h"
#include "server/pg/session.h"

namespace tav::server {
namespace {

using pg::Connection;
using pg::RowCache;
using pg::Session;
using pg::StaleCache;

class PgStore final : public Store {
 public:
  PgStore(std::string uri, std::size_t poolSize, std::unique_ptr<Connection> first)
      : pool_(std::move(uri), poolSize, std::move(first)) {}

  // libpq blocks, so asynchronous writes run write() on the base class's threads; those still
  // queued run before the pool and the cache go.
  ~PgStore() override { finishAsyncWrites(); }

  // Read committed with the ticket row locked: a check waits only for checks of the same ticket.
  // The commit returns once PostgreSQL has flushed it (synchronous_commit), and concurrent
  // commits share their flushes.
  void write(const std::function<void(Transaction&)>& work) override {
    try {
      inTransaction("", true, [&](Connection& c, RowCache::Updates& updates) {
        Session session(c, cache_, updates);
        work(session);
        session.flush();
      });
    } catch (const OutcomeUnknown&) {
      setFault("The connection to the database was lost while a commit was on its way.");
      throw;
    } catch (const StoreUnavailable& e) {
      const auto* failure = dynamic_cast<const pg::Failure*>(&e);
      // Without an SQLSTATE of its own the failure is the pool's: no connection to be had.
      if (!failure || failure->databaseFault()) setFault(e.what());
      throw;
    }
    if (faulty_.load(std::memory_order_acquire)) setFault({});
  }

  std::string writeFault() const override {
    std::lock_guard<std::mutex> lock(faultMutex_);
    return fault_;
  }

  void backupTo(const std::string&) override {
    throw std::runtime_error(
        "A PostgreSQL store is backed up with PostgreSQL's own tools: pg_dump --format=custom "
        "--file=tav.dump DATABASE, restored with pg_restore.");
  }

  void read(const std::function<void(Reader&)>& work) override {
    inTransaction("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", false, [&](Connection& c, RowCache::Updates& updates) {
      Session session(c, cache_, updates);
      work(session);
    });
  }

 private:
  // Runs `body` between `begin` and COMMIT on a pooled connection. When the connection turns out
  // to be dead before the commit was sent (the database restarted since it was last used), the
  // database has undone everything, and `body` runs once more on a new connection. When a cached
  // row it relied on had changed, it runs again on the current rows. Any other failure undoes
  // the transaction and reaches the caller, but for a connection of a write lost while its commit
  // was on its way: the database may have kept the write or not, and the caller is told so.
  void inTransaction(const std::string& begin, bool writes,
                     const std::function<void(Connection&, RowCache::Updates&)>& body) {
    int lost = 0, stale = 0;
    for (;;) {
      std::unique_ptr<Connection> c = pool_.acquire(lost > 0);
      RowCache::Updates updates;
      bool committing = false;
      try {
        c->begin(begin);
        body(*c, updates);
        committing = true;
        c->commit();
        cache_.apply(updates);
      } catch (const StaleCache&) {
        pool_.finish(std::move(c));
        if (++stale < kMaxStaleRuns) continue;
        // 40001, as a serialization failure: the request met changes, the database did not fail.
        throw pg::Failure("The store's rows kept changing while the request read them.", "40001");
      } catch (const StoreUnavailable& e) {
        const bool alive = pool_.finish(std::move(c));
        if (!alive && !committing && ++lost == 1) continue;
        // A key this transaction found new was kept by another server meanwhile: run again and
        // find it (23505, unique violation; nothing of this run was kept).
        if (alive && updates.newCheckKey && isUniqueViolation(e) && ++stale < kMaxStaleRuns) continue;
        if (!alive && committing && writes) throw OutcomeUnknown();
        throw;
      } catch (...) {
        const bool rerun = c->readStaleRows() && ++stale < kMaxStaleRuns;
        pool_.finish(std::move(c));
        if (rerun) continue;
        throw;
      }
      pool_.release(std::move(c));
      return;
    }
  }

  static bool isUniqueViolation(const StoreUnavailable& e) {
    const auto* failure = dynamic_cast<const pg::Failure*>(&e);
    return failure && failure->sqlState() == "23505";
  }

  // Runs of one request that may end on a changed cached row before it counts as failed.
  static constexpr int kMaxStaleRuns = 4;

  void setFault(const std::string& sentence) {
    std::lock_guard<std::mutex> lock(faultMutex_);
    fault_ = sentence;
    faulty_.store(!sentence.empty(), std::memory_order_release);
  }

  RowCache cache_;
  pg::ConnectionPool pool_;
  // The last write's failure to reach or commit to the database, until a write succeeds.
  mutable std::mutex faultMutex_;
  std::string fault_;
  std::atomic<bool> faulty_{false};
};

}  // namespace

int postgresSchemaVersion() { return pg::schemaVersion(); }

std::unique_ptr<Store> openPostgresStore(const std::string& uri, PgOpen mode, std::size_t poolSize) {
  const std::string where = maskedLocation(uri);
  std::unique_ptr<Connection> c;
  try {
    c = std::make_unique<Connection>(uri);
  } catch (const StoreUnavailable& e) {
    throw StoreRejected("The store " + where + " cannot be used. " + e.what());
  }
  if (PQserverVersion(c->handle()) < 110000)
    throw StoreRejected("The database " + where + " runs a PostgreSQL older than 11, which tav-server does not support.");
  const char* encoding = PQparameterStatus(c->handle(), "server_encoding");
  if (!encoding || std::strcmp(encoding, "UTF8") != 0)
    throw StoreRejected("The database " + where + " does not use the UTF8 encoding; create it with ENCODING 'UTF8'.");
  try {
    pg::migrate(*c, where, mode);
  } catch (const StoreUnavailable& e) {
    throw StoreRejected("The store " + where + " cannot be used. " + e.what());
  }
  return std::make_unique<PgStore>(uri, poolSize, std::move(c));
}

}  // namespace tav::server
