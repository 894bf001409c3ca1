// The PostgreSQL store: each write and read in a transaction on a pooled connection, run again when
// the connection was lost before the commit or a cached row turned out stale. Checks lock their
// ticket row, so that any number of servers on one database admit a ticket once.
#include "server/pg/pg_store.h"

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "server/core/errors.h"
#include "server/pg/connection.h"
#include "server/pg/pool.h"
#include "server/pg/schema.h"
#include "server/pg/transaction.h"

namespace tav::server {
namespace {

using SteadyClock = std::chrono::steady_clock;
using pg::Connection;
using pg::RowCache;
using pg::PgTransaction;
using pg::StaleCache;

class PgStore final : public Store {
 public:
  PgStore(std::string uri, std::size_t poolSize, std::unique_ptr<Connection> first, bool serving)
      : uri_(uri), serving_(serving), pool_(std::move(uri), poolSize, std::move(first)) {}

  // libpq blocks, so asynchronous writes run write() on the base class's threads; those still
  // queued run before the pool and the cache go.
  ~PgStore() override { finishAsyncWrites(); }

  // Read committed with the ticket row locked: a check waits only for checks of the same ticket.
  // The commit returns once PostgreSQL has flushed it (synchronous_commit), and concurrent
  // commits share their flushes.
  void write(const std::function<void(Transaction&)>& work) override { writeQueued(work, SteadyClock::now()); }

  void writeQueued(const std::function<void(Transaction&)>& work, SteadyClock::time_point queued) override {
    try {
      inTransaction("", true, queued + kWriteTurnLimit, [&](Connection& c, RowCache::Updates& updates) {
        PgTransaction tx(c, cache_, updates);
        work(tx);
        tx.flush();
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

  // Plain VACUUM frees the old row versions' space without locking the checks out; what stays
  // in PostgreSQL's own write-ahead log and backups, docs/venue.md says.
  void eraseRemovedData() override {
    std::unique_ptr<Connection> c = pool_.acquire(false, SteadyClock::now() + kWriteTurnLimit);
    try {
      c->exec("VACUUM ticket", "vacuum the tickets");
    } catch (...) {
      pool_.finish(std::move(c));
      throw;
    }
    pool_.release(std::move(c));
  }

  void read(const std::function<void(Reader&)>& work) override {
    inTransaction("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", false, SteadyClock::now() + kWriteTurnLimit,
                  [&](Connection& c, RowCache::Updates& updates) {
      PgTransaction tx(c, cache_, updates);
      work(tx);
    });
  }

 private:
  // Runs `body` between `begin` and COMMIT on a pooled connection. When the connection turns out
  // to be dead before the commit was sent (the database restarted since it was last used), the
  // database has undone everything, and `body` runs once more on a new connection. When a cached
  // row it relied on had changed, it runs again on the current rows. Any other failure undoes
  // the transaction and reaches the caller, but for a connection of a write lost while its commit
  // was on its way: the database may have kept the write or not, and the caller is told so.
  //
  // A serving store gives the whole request, runs again included, kTransactionLimit from its first
  // start; past it the connection is dropped and the caller told: "not checked" while the commit
  // had not been sent, the outcome unknown after.
  void inTransaction(const std::string& begin, bool writes, SteadyClock::time_point turnEnds,
                     const std::function<void(Connection&, RowCache::Updates&)>& body) {
    int lost = 0, stale = 0;
    bool keyClash = false;
    // A new connection, not an idle one, right after a connection found dead: the idle ones most
    // likely died with it. Not after waiting for the database, whose idle connections are new.
    bool fresh = false;
    std::optional<SteadyClock::time_point> deadline;
    for (;;) {
      std::unique_ptr<Connection> c;
      try {
        c = pool_.acquire(fresh, deadline ? *deadline : turnEnds);
      } catch (const pg::Failure& e) {
        if (e.sqlState() != pg::kUnreachable || !awaitPrimary(turnEnds)) throw;
        ++lost;
        fresh = false;
        deadline.reset();
        continue;
      }
      if (serving_ && !deadline) deadline = std::min(SteadyClock::now() + kTransactionLimit, turnEnds + kAfterAwaitLimit);
      c->setDeadline(deadline);
      RowCache::Updates updates;
      updates.readCheckKeys = keyClash;
      try {
        c->begin(begin);
        body(*c, updates);
        c->commit();
        cache_.apply(updates);
      } catch (const pg::Expired&) {
        const bool sent = c->commitSent();
        pool_.finish(std::move(c));
        if (writes && sent) throw OutcomeUnknown();
        if (writes) throw notChecked();
        throw;
      } catch (const StaleCache&) {
        pool_.finish(std::move(c));
        if (++stale < kMaxStaleRuns) continue;
        // 40001, as a serialization failure: the request met changes, the database did not fail.
        throw pg::Failure("The store's rows kept changing while the request read them.", "40001");
      } catch (const StoreUnavailable& e) {
        const bool sent = c->commitSent();
        const bool alive = pool_.finish(std::move(c));
        if (!alive && !sent) {
          // Nothing of this run was kept. A dead idle connection is replaced at once; a database
          // lost again is being replaced itself, and is awaited.
          fresh = ++lost == 1;
          if (fresh) continue;
          if (awaitPrimary(turnEnds)) {
            deadline.reset();
            continue;
          }
        }
        // A key this transaction took for new was kept before, or by another server meanwhile:
        // run again, reading it first (23505, unique violation; nothing of this run was kept).
        if (alive && updates.newCheckKey && isUniqueViolation(e) && ++stale < kMaxStaleRuns) {
          keyClash = true;
          continue;
        }
        if (!alive && sent && writes) throw OutcomeUnknown();
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

  // With no database taking writes (the primary died or stalled, and Patroni is promoting its
  // standby, which takes a few seconds) a serving store lets the request wait for the new primary
  // within its turn, trying again every kAwaitPause: the gate is answered once, a little late,
  // instead of failing and being scanned again. False when the turn leaves no time for it.
  bool awaitPrimary(SteadyClock::time_point turnEnds) const {
    if (!serving_ || SteadyClock::now() + kAwaitPause >= turnEnds) return false;
    std::this_thread::sleep_for(kAwaitPause);
    return true;
  }
  static constexpr std::chrono::milliseconds kAwaitPause{250};
  // A run that starts after such a wait ends at most this long after the turn, so that the
  // answer still comes within the station's 7 s wait for it.
  static constexpr std::chrono::milliseconds kAfterAwaitLimit{1000};

  static bool isUniqueViolation(const StoreUnavailable& e) {
    const auto* failure = dynamic_cast<const pg::Failure*>(&e);
    return failure && failure->sqlState() == "23505";
  }

  // Asks on a connection of its own, never one of the pool's, whether the database answers and
  // takes writes: a primary, not a standby. A connection found dead is made again (a URI naming
  // several hosts then finds the current primary). The last write's fault ends when the database
  // answers: the next write will find out for itself.
  StoreHealth probeHealth() override {
    std::lock_guard<std::mutex> lock(probeMutex_);
    const SteadyClock::time_point deadline = SteadyClock::now() + kHealthLimit;
    bool standby = false, readOnly = false;
    try {
      if (prober_ && prober_->broken()) prober_.reset();
      if (!prober_) prober_ = std::make_unique<Connection>(uri_);
      prober_->setDeadline(deadline);
      const pg::Result r = prober_->exec("SELECT pg_is_in_recovery(), current_setting('transaction_read_only')",
                                         "ask the database how it is");
      standby = r.boolean(0, 0);
      readOnly = r.text(0, 1) == "on";
    } catch (const std::exception& e) {
      prober_.reset();
      return {StoreHealth::State::NotAnswering, e.what()};
    }
    if (standby) return {StoreHealth::State::NotWritable, "The database is a standby in recovery: it takes no writes."};
    if (readOnly) return {StoreHealth::State::NotWritable, "The database takes no writes (transaction_read_only is on)."};
    if (faulty_.load(std::memory_order_acquire)) setFault({});
    return {};
  }

  // Runs of one request that may end on a changed cached row before it counts as failed.
  static constexpr int kMaxStaleRuns = 4;

  void setFault(const std::string& sentence) {
    std::lock_guard<std::mutex> lock(faultMutex_);
    fault_ = sentence;
    faulty_.store(!sentence.empty(), std::memory_order_release);
  }

  const std::string uri_;
  const bool serving_;
  RowCache cache_;
  pg::ConnectionPool pool_;
  std::mutex probeMutex_;
  std::unique_ptr<Connection> prober_;  // the health probe's own
  // The last write's failure to reach or commit to the database, until a write succeeds.
  mutable std::mutex faultMutex_;
  std::string fault_;
  std::atomic<bool> faulty_{false};
};

}  // namespace

int postgresSchemaVersion() { return pg::schemaVersion(); }

namespace {

// A connection to the database at `uri` whose schema fits `mode` (see pg::migrate), with what
// migrate found and left.
std::unique_ptr<Connection> openSchema(const std::string& uri, PgOpen mode, pg::SchemaChange& change) {
  const std::string where = maskedLocation(uri);
  std::unique_ptr<Connection> c;
  try {
    c = std::make_unique<Connection>(uri);
  } catch (const StoreUnavailable& e) {
    throw DatabaseUnreachable("The store " + where + " cannot be used. " + e.what());
  }
  if (PQserverVersion(c->handle()) < 110000)
    throw StoreRejected("The database " + where + " runs a PostgreSQL older than 11, which tav-server does not support.");
  const char* encoding = PQparameterStatus(c->handle(), "server_encoding");
  if (!encoding || std::strcmp(encoding, "UTF8") != 0)
    throw StoreRejected("The database " + where + " does not use the UTF8 encoding; create it with ENCODING 'UTF8'.");
  try {
    change = pg::migrate(*c, where, mode);
  } catch (const pg::Failure& e) {
    if (e.databaseFault()) throw DatabaseUnreachable("The store " + where + " cannot be used. " + e.what());
    throw StoreRejected("The store " + where + " cannot be used. " + e.what());
  } catch (const StoreUnavailable& e) {
    throw StoreRejected("The store " + where + " cannot be used. " + e.what());
  }
  return c;
}

}  // namespace

std::unique_ptr<Store> openPostgresStore(const std::string& uri, PgOpen mode, std::size_t poolSize, bool serving) {
  pg::SchemaChange change;
  std::unique_ptr<Connection> c = openSchema(uri, mode, change);
  return std::make_unique<PgStore>(uri, poolSize, std::move(c), serving);
}

std::pair<int, int> migratePostgresStore(const std::string& uri) {
  pg::SchemaChange change;
  openSchema(uri, PgOpen::Upgrade, change);
  return {change.from, change.to};
}

namespace {

constexpr const char* kNotAnswering = "Not checked: the server's database is not answering yet; try again.";

// The store of a server whose database did not answer at start, or held a schema this build
// cannot work with. Until a thread of its own has opened the database, every request is answered
// "not checked" (with why, when it is the schema) and health "not answering"; from
// then on everything goes to the opened store, which the server warms up as it would at start.
class AwaitedStore final : public Store {
 public:
  AwaitedStore(std::string uri, std::function<void(const std::string&)> note, std::string why, std::string answer)
      : uri_(std::move(uri)), note_(std::move(note)), why_(std::move(why)), answer_(std::move(answer)) {
    opener_ = std::thread([this] { openWhenAnswering(); });
  }

  ~AwaitedStore() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    opener_.join();
  }

  void write(const std::function<void(Transaction&)>& work) override { opened().write(work); }

  void writeAsync(std::function<void(Transaction&)> work, Done done) override {
    if (Store* s = inner_.load(std::memory_order_acquire)) return s->writeAsync(std::move(work), std::move(done));
    done(std::make_exception_ptr(notYet()));
  }

  std::string writeFault() const override {
    if (Store* s = inner_.load(std::memory_order_acquire)) return s->writeFault();
    std::lock_guard<std::mutex> lock(mutex_);
    return why_;
  }

  void read(const std::function<void(Reader&)>& work) override { opened().read(work); }

  void warmUp() override {
    if (Store* s = inner_.load(std::memory_order_acquire)) s->warmUp();
  }

  StoreHealth probeHealth() override {
    if (Store* s = inner_.load(std::memory_order_acquire)) return s->probeHealth();
    std::lock_guard<std::mutex> lock(mutex_);
    return {StoreHealth::State::NotAnswering, why_};
  }

  void backupTo(const std::string& path) override { opened().backupTo(path); }
  void eraseRemovedData() override { opened().eraseRemovedData(); }

 private:
  StoreUnavailable notYet() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return StoreUnavailable(answer_);
  }

  Store& opened() {
    if (Store* s = inner_.load(std::memory_order_acquire)) return *s;
    throw notYet();
  }

  void openWhenAnswering() {
    const std::string where = maskedLocation(uri_);
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, kReconnectInterval, [&] { return stopping_; })) return;
      }
      try {
        std::unique_ptr<Store> store = openPostgresStore(uri_, PgOpen::Existing, kPgPoolSize, true);
        store->setFatalHandler([this](const std::string& sentence) { reportFatal(sentence); });
        store->warmUp();
        owned_ = std::move(store);
        inner_.store(owned_.get(), std::memory_order_release);
        note_("the database " + where + " answers again: the store is open and serving");
        return;
      } catch (const DatabaseUnreachable& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        why_ = e.what();
        answer_ = kNotAnswering;
      } catch (const SchemaMismatch& e) {
        // Waited for as a database that does not answer: "tav-server migrate" ends an older one.
        bool changed = false;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          changed = why_ != e.what();
          why_ = e.what();
          answer_ = e.sentence();
        }
        if (changed) note_(std::string(e.what()) + " Requests are answered 503 until then.");
      } catch (const std::exception& e) {
        // A database that answers but holds no store of ours is a configuration error, as at start.
        reportFatal(e.what());
        return;
      }
    }
  }

  const std::string uri_;
  const std::function<void(const std::string&)> note_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::string why_;     // why the database was not opened on the last try
  std::string answer_;  // what requests are answered meanwhile
  bool stopping_ = false;
  std::unique_ptr<Store> owned_;
  std::atomic<Store*> inner_{nullptr};
  std::thread opener_;
};

}  // namespace

std::unique_ptr<Store> servePostgresStore(const std::string& uri, std::function<void(const std::string&)> note) {
  try {
    return openPostgresStore(uri, PgOpen::Existing, kPgPoolSize, true);
  } catch (const DatabaseUnreachable& e) {
    note(std::string("waiting for the database: ") + e.what() + " Requests are answered 503 until it answers.");
    return std::make_unique<AwaitedStore>(uri, std::move(note), e.what(), kNotAnswering);
  } catch (const SchemaMismatch& e) {
    note(std::string("waiting for the store's schema: ") + e.what() + " Requests are answered 503 until then.");
    return std::make_unique<AwaitedStore>(uri, std::move(note), e.what(), e.sentence());
  }
}

}  // namespace tav::server
