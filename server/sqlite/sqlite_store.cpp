// The SQLite store's engine: a pool of read connections, one writer thread that commits the work
// of concurrent callers together (group commit), a syncer that flushes each commit's log to the
// disk before its callers are answered, and a checkpointer that keeps the log short.
#include "server/sqlite/sqlite_store.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <semaphore.h>
#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "server/core/errors.h"
#include "server/sqlite/connection.h"
#include "server/sqlite/schema.h"
#include "server/sqlite/session.h"

namespace tav::server {
namespace {

using sqlite::Connection;
using sqlite::LookupCache;
using sqlite::Session;

class SqliteStore final : public Store {
 public:
  SqliteStore(std::string path, std::unique_ptr<Connection> writer, SqliteLogOptions logOptions)
      : path_(std::move(path)), writer_(std::move(writer)), logOptions_(logOptions) {
    // Checkpoints run beside the writer, so that no commit waits for the database file's fsync.
    writer_->exec("PRAGMA wal_autocheckpoint = 0");
    // Commits do not wait for the disk: the syncer flushes the log after each commit and no caller
    // is answered before that flush (see writerLoop), which is as durable as synchronous=FULL.
    // Checkpoints still flush the log before they copy it and the database file after.
    writer_->exec("PRAGMA synchronous = NORMAL");
    sqlite3_wal_hook(writer_->handle(), &SqliteStore::walHook, this);
    checkpointer_ = std::thread([this] {
      pthread_setname_np(pthread_self(), "tav-checkpoint");
      checkpointLoop();
    });
    syncer_ = std::thread([this] {
      pthread_setname_np(pthread_self(), "tav-sync");
      syncLoop();
    });
    thread_ = std::thread([this] {
      // Named so that top -H and the load benchmark can tell the writer's share of the CPU.
      pthread_setname_np(pthread_self(), "tav-writer");
      writerLoop();
    });
  }

  ~SqliteStore() override {
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      stopping_ = true;
    }
    queueCv_.notify_all();
    thread_.join();
    {
      std::lock_guard<std::mutex> lock(syncMutex_);
      syncStop_ = true;
    }
    syncCv_.notify_all();
    syncer_.join();
    if (logFd_ >= 0) ::close(logFd_);
    {
      std::lock_guard<std::mutex> lock(checkpointMutex_);
      checkpointStop_ = true;
    }
    checkpointCv_.notify_all();
    checkpointer_.join();
    // The writer's connection closes last and folds the log into the database file.
    idle_.clear();
  }

  // A check reads a page of the ticket table and of its ticket-number index that no check before
  // it may have read: on a server that has just started, each such page costs a fault into the
  // writer's map, and the first minutes of a gate opening would run slower than the rest. Reading
  // both once, on the writer's connection, maps them all before the first station connects
  // (about a quarter of a second for a million tickets).
  void warmUp() override {
    write([](Transaction& tx) { static_cast<Session&>(tx).readAllTickets(); });
  }

  void write(const std::function<void(Transaction&)>& work) override {
    Job job(work);
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      if (stopping_) throw StoreUnavailable("The store is closing.");
      queue_.push_back(&job);
    }
    queueCv_.notify_one();
    job.wait();
    if (job.error) std::rethrow_exception(job.error);
  }

  void read(const std::function<void(Reader&)>& work) override {
    std::unique_ptr<Connection> c = acquireReader();
    try {
      c->run("BEGIN");
      Session session(*c);
      work(session);
      c->run("COMMIT");
    } catch (...) {
      if (c->inTransaction()) c->execQuietly("ROLLBACK");
      releaseReader(std::move(c));
      throw;
    }
    releaseReader(std::move(c));
    // A read may have seen commits whose log is still being flushed (any commit begun before now);
    // it answers only once they are on the disk, so that nothing it reports can vanish in a power cut.
    waitDurable(committing_.load(std::memory_order_acquire));
  }

 private:
  // One caller's work; its own signal, so that a commit wakes only the callers it served.
  // A semaphore rather than a mutex and condition variable: the writer's post is the only wake-up
  // the caller gets (a notify under a mutex wakes it a second time when it finds the mutex taken),
  // and the caller may end the job as soon as its wait returns.
  struct Job {
    explicit Job(const std::function<void(Transaction&)>& w) : work(&w) { sem_init(&done, 0, 0); }
    ~Job() { sem_destroy(&done); }
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    void finish() { sem_post(&done); }
    void wait() {
      while (sem_wait(&done) != 0) {
        // EINTR: a signal arrived while waiting; the job is still under way.
      }
    }

    const std::function<void(Transaction&)>* work;
    std::exception_ptr error;
    sem_t done;
  };

  static int walHook(void* self, sqlite3*, const char*, int pages) {
    constexpr int kCheckpointPages = 1000;
    if (pages >= kCheckpointPages) static_cast<SqliteStore*>(self)->requestCheckpoint();
    return SQLITE_OK;
  }

  void requestCheckpoint() {
    {
      std::lock_guard<std::mutex> lock(checkpointMutex_);
      checkpointWanted_ = true;
    }
    checkpointCv_.notify_one();
  }

  // The log starts again from its beginning only when a write begins with every frame already
  // copied into the database file. Under a steady stream of checks the checkpointer never quite
  // gets there (each batch adds frames while it copies), and the log would grow without end. So
  // once the log is long, the checkpointer runs pass after pass, each shorter than the one before,
  // until only a short tail is left, and then leaves that tail to the writer (finishLog).
  void checkpointLoop() {
    std::unique_ptr<Connection> c;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(checkpointMutex_);
        checkpointCv_.wait(lock, [&] { return checkpointStop_ || checkpointWanted_; });
        if (checkpointStop_) return;
        checkpointWanted_ = false;
      }
      try {
        if (!c) {
          c = std::make_unique<Connection>(path_, SQLITE_OPEN_READWRITE);
          // A connection that has read nothing does not know the file is in WAL mode, and its
          // checkpoints do nothing at all: read the header once.
          c->pragmaInt("PRAGMA schema_version");
        }
        int copiedBefore = -1;
        // While the writer is about to copy the tail, a pass here would only make one of them busy.
        while (!tailForWriter_.load(std::memory_order_acquire) && !stopRequested()) {
          int logFrames = 0, copied = 0;
          // PASSIVE never blocks the writer or readers; what it cannot copy now, a later one will.
          if (sqlite3_wal_checkpoint_v2(c->handle(), "main", SQLITE_CHECKPOINT_PASSIVE, &logFrames,
                                        &copied) != SQLITE_OK ||
              logFrames < logOptions_.restartFrames || copied <= copiedBefore)
            break;  // short enough, or held back by a reader: wait for the next commit
          if (logFrames - copied <= logOptions_.tailFrames) {
            tailForWriter_.store(true, std::memory_order_release);
            break;
          }
          copiedBefore = copied;
        }
      } catch (const StoreUnavailable&) {
        c.reset();
      }
    }
  }

  bool stopRequested() {
    std::lock_guard<std::mutex> lock(checkpointMutex_);
    return checkpointStop_;
  }

  // Between two batches: copies the last frames of a long log, so that the next batch's write
  // starts the log again from its beginning. Costs one short checkpoint now and then; a failure
  // only leaves the log as long as it was.
  void finishLog() {
    if (!tailForWriter_.load(std::memory_order_acquire)) return;
    sqlite3_wal_checkpoint_v2(writer_->handle(), "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    tailForWriter_.store(false, std::memory_order_release);
  }

  std::unique_ptr<Connection> acquireReader() {
    {
      std::lock_guard<std::mutex> lock(poolMutex_);
      if (!idle_.empty()) {
        auto c = std::move(idle_.back());
        idle_.pop_back();
        return c;
      }
    }
    auto c = std::make_unique<Connection>(path_, SQLITE_OPEN_READWRITE);
    c->exec("PRAGMA query_only = ON");
    c->exec(sqlite::kMapWholeFile);
    return c;
  }

  void releaseReader(std::unique_ptr<Connection> c) {
    constexpr std::size_t kMaxIdle = 16;
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (idle_.size() < kMaxIdle) idle_.push_back(std::move(c));
  }

  // The writer commits without waiting for the disk (synchronous=NORMAL), hands the batch to the
  // syncer and starts on the next one while the syncer flushes the log: the next batch's work and
  // this batch's fsync overlap. The log is only ever appended to, so one flush after a commit makes
  // that commit and every earlier one durable; no caller is answered before its commit's flush.
  void writerLoop() {
    std::vector<Job*> batch;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(queueMutex_);
        queueCv_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        batch.swap(queue_);
      }
      if (failed_.load(std::memory_order_acquire)) {
        for (Job* job : batch) job->error = failedError();
      } else {
        std::uint64_t seq = 0;
        const bool committed = runBatch(batch, seq);
        if (seq != 0) {
          {
            std::lock_guard<std::mutex> lock(syncMutex_);
            if (committed) unsynced_.insert(unsynced_.end(), batch.begin(), batch.end());
            syncWanted_ = seq;
          }
          syncCv_.notify_one();
          if (committed) batch.clear();
        }
      }
      // Nothing of a job is touched after its finish(): its caller may already have ended it.
      for (Job* job : batch) job->finish();
      batch.clear();
      finishLog();
    }
  }

  void syncLoop() {
    std::vector<Job*> jobs;
    for (;;) {
      std::uint64_t seq;
      {
        std::unique_lock<std::mutex> lock(syncMutex_);
        syncCv_.wait(lock, [&] { return syncStop_ || syncWanted_ > synced_; });
        if (syncWanted_ == synced_) return;
        seq = syncWanted_;
        jobs.swap(unsynced_);
      }
      if (!syncLogFile()) {
        // After a failed flush the kernel may drop the unwritten pages and report the next flush
        // clean: what is committed can no longer be trusted to be on the disk, so the store stops
        // taking writes until the server is restarted and recovers from what the disk holds.
        failed_.store(true, std::memory_order_release);
        for (Job* job : jobs)
          if (!job->error) job->error = failedError();
      }
      {
        std::lock_guard<std::mutex> lock(syncMutex_);
        synced_ = seq;
      }
      durableCv_.notify_all();
      for (Job* job : jobs) job->finish();
      jobs.clear();
    }
  }

  // Flushes the log file; false when the disk refused it. The log file stays the same file while
  // the writer's connection is open (SQLite removes it only when the last connection closes).
  bool syncLogFile() {
    if (logFd_ < 0) logFd_ = ::open((path_ + "-wal").c_str(), O_RDONLY | O_CLOEXEC);
    if (logFd_ < 0) return false;
    int (*sync)(int) = logOptions_.syncLog ? logOptions_.syncLog : ::fdatasync;
    while (sync(logFd_) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  }

  void waitDurable(std::uint64_t seq) {
    std::unique_lock<std::mutex> lock(syncMutex_);
    durableCv_.wait(lock, [&] { return synced_ >= seq || syncStop_; });
  }

  static std::exception_ptr failedError() {
    return std::make_exception_ptr(StoreUnavailable(
        "The store could not flush its log to the disk; restart the server once the disk is sound."));
  }

  // One transaction for the whole batch, one savepoint per job, one commit; true when it committed.
  // `seq` is the number of the commit it tried, or stays 0 when it got no further than the jobs.
  bool runBatch(std::vector<Job*>& batch, std::uint64_t& seq) {
    Connection& c = *writer_;
    try {
      c.run("BEGIN IMMEDIATE");
      lookups_.revalidate(c.pragmaInt("PRAGMA data_version"));
    } catch (...) {
      if (c.inTransaction()) c.execQuietly("ROLLBACK");
      for (Job* job : batch) job->error = std::current_exception();
      return false;
    }
    Session session(c, &lookups_);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      Job* job = batch[i];
      try {
        c.run("SAVEPOINT job");
        (*job->work)(session);
        c.run("RELEASE job");
      } catch (...) {
        job->error = std::current_exception();
        // What the job read or changed may be undone with it.
        lookups_.clear();
        if (c.inTransaction()) {
          c.execQuietly("ROLLBACK TO job");
          c.execQuietly("RELEASE job");
        }
        if (!c.inTransaction()) {
          // SQLite gave up the whole transaction (I/O error, disk full): nothing of the batch stays.
          auto lost = std::make_exception_ptr(
              StoreUnavailable("The store lost the transaction of this request."));
          for (std::size_t k = 0; k < batch.size(); ++k)
            if (k != i && (k > i || !batch[k]->error)) batch[k]->error = lost;
          return false;
        }
      }
    }
    // Counted before it is made: a reader that may see this commit waits for its flush, and a
    // commit that fails is flushed past all the same (there is nothing of it to flush).
    seq = committing_.fetch_add(1, std::memory_order_acq_rel) + 1;
    try {
      c.run("COMMIT");
    } catch (const std::exception& e) {
      c.execQuietly("ROLLBACK");
      lookups_.clear();
      auto failed = std::make_exception_ptr(StoreUnavailable(e.what()));
      for (Job* job : batch)
        if (!job->error) job->error = failed;
      return false;
    }
    return true;
  }

  std::string path_;
  std::unique_ptr<Connection> writer_;
  LookupCache lookups_;  // the writer thread's alone

  std::mutex poolMutex_;
  std::vector<std::unique_ptr<Connection>> idle_;

  std::mutex queueMutex_;
  std::condition_variable queueCv_;
  std::vector<Job*> queue_;
  bool stopping_ = false;
  std::thread thread_;

  SqliteLogOptions logOptions_;
  std::mutex checkpointMutex_;
  std::condition_variable checkpointCv_;
  bool checkpointWanted_ = false, checkpointStop_ = false;
  std::atomic<bool> tailForWriter_{false};
  std::thread checkpointer_;

  std::atomic<std::uint64_t> committing_{0};  // commits begun by the writer
  std::atomic<bool> failed_{false};            // a flush failed: no more writes
  std::mutex syncMutex_;
  std::condition_variable syncCv_;     // the syncer waits on it
  std::condition_variable durableCv_;  // readers wait on it
  std::vector<Job*> unsynced_;  // committed, waiting for the flush
  std::uint64_t syncWanted_ = 0, synced_ = 0;
  bool syncStop_ = false;
  int logFd_ = -1;  // the syncer's alone
  std::thread syncer_;
};

}  // namespace

int sqliteSchemaVersion() { return sqlite::schemaVersion(); }

std::unique_ptr<Store> openSqliteStore(const std::string& path, bool create, const SqliteLogOptions& logOptions) {
  // Without memory statistics SQLite takes no global lock per allocation. It only applies when
  // this runs before the library's first use in the process; later it is refused and harmless.
  static std::once_flag configured;
  std::call_once(configured, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
  return std::make_unique<SqliteStore>(path, sqlite::openWriter(path, create), logOptions);
}

}  // namespace tav::server
