// The SQLite store's engine: a pool of read connections, one writer thread that commits the work
// of concurrent callers together (group commit), a syncer that flushes each commit's log to the
// disk before its callers are answered, and a checkpointer that keeps the log short and watches
// the file.
#include "server/sqlite/sqlite_store.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <semaphore.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "server/core/errors.h"
#include "server/sqlite/connection.h"
#include "server/sqlite/schema.h"
#include "server/sqlite/transaction.h"
#include "server/sqlite/store_file.h"
#include "server/sqlite/store_lock.h"

namespace tav::server {
namespace {

using sqlite::Connection;
using sqlite::LookupCache;
using sqlite::SqliteTransaction;
using sqlite::StoreFile;
using sqlite::StoreLock;

// How often the checkpointer looks whether the store file is still the one the store opened.
constexpr auto kFileCheckInterval = std::chrono::seconds(1);

// The writer's page cache after warmUp(): room for the whole file and a quarter more, within these
// bounds. Pages take memory only once read.
constexpr std::uintmax_t kMinCacheBytes = 64u << 20;
constexpr std::uintmax_t kMaxCacheBytes = 2048u << 20;

// The disk's sentence for a failure of SQLite's, when it is one; empty otherwise.
std::string diskFaultOf(const std::exception_ptr& error, const std::string& path) {
  try {
    std::rethrow_exception(error);
  } catch (const sqlite::Failure& f) {
    return f.diskFault(path);
  } catch (...) {
    return {};
  }
}

bool isUnavailable(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const StoreUnavailable&) {
    return true;
  } catch (...) {
    return false;
  }
}

std::string messageOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "The store failed for a reason it could not name.";
  }
}

class SqliteStore final : public Store {
 public:
  SqliteStore(std::string path, std::unique_ptr<StoreLock> lock, std::unique_ptr<Connection> writer,
              SqliteLogOptions logOptions)
      : lock_(std::move(lock)), path_(std::move(path)), file_(path_), writer_(std::move(writer)),
        logOptions_(logOptions) {
    // Checkpoints run beside the writer, so that no commit waits for the database file's fsync.
    writer_->exec("PRAGMA wal_autocheckpoint = 0");
    // Commits do not wait for the disk: the syncer flushes the log after each commit and no caller
    // is answered before that flush (see writerLoop), which is as durable as synchronous=FULL.
    // Checkpoints still flush the log before they copy it and the database file after.
    writer_->exec("PRAGMA synchronous = NORMAL");
    sqlite3_wal_hook(writer_->handle(), &SqliteStore::walHook, this);
    // A machine short of memory may refuse the second or third thread: the ones already started
    // are stopped before the refusal goes on, rather than left running in a store that is gone.
    try {
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
    } catch (...) {
      stopThreads();
      throw;
    }
  }

  ~SqliteStore() override {
    stopThreads();
    if (keepLog()) {
      writer_->keepLogOnClose();
      for (auto& c : idle_) c->keepLogOnClose();
      if (prober_) prober_->keepLogOnClose();
    } else if (file_.change() == StoreFile::Change::Replaced) {
      // SQLite does not fold the log into a file that has moved, and leaves the log at the path,
      // where the next start would read it as the new file's. Folded into the old file here, which
      // the store still has open, it is emptied.
      sqlite3_wal_checkpoint_v2(writer_->handle(), "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    }
    // The writer's connection closes last and, unless the log is kept, folds it into the file.
    idle_.clear();
    prober_.reset();
  }

  // A check reads a page of the ticket table and of its ticket-number index that no check before
  // it may have read: on a server that has just started, each such page costs a read from the file,
  // and the first minutes of a gate opening would run slower than the rest. Reading both once into
  // the writer's page cache, sized for the file, serves every check from memory before the first
  // station connects (about a quarter of a second for a million tickets).
  void warmUp() override {
    std::error_code ec, walEc;
    const std::uintmax_t file = std::filesystem::file_size(path_, ec);
    const std::uintmax_t log = std::filesystem::file_size(path_ + "-wal", walEc);
    const std::uintmax_t bytes = std::clamp<std::uintmax_t>(
        ((ec ? 0 : file) + (walEc ? 0 : log)) / 4 * 5, kMinCacheBytes, kMaxCacheBytes);
    const std::string cacheSize = "PRAGMA cache_size = -" + std::to_string(bytes >> 10);
    write([&](Transaction& tx) {
      writer_->exec(cacheSize.c_str());
      static_cast<SqliteTransaction&>(tx).readAllTickets();
    });
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

  std::size_t writesWaiting() const override {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return queue_.size();
  }

  void writeAsync(std::function<void(Transaction&)> work, Done done) override {
    Job* job = new Job(std::move(work), std::move(done));
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      if (!stopping_) {
        queue_.push_back(job);
        job = nullptr;
      }
    }
    if (job) {
      job->error = std::make_exception_ptr(StoreUnavailable("The store is closing."));
      job->finish();
      return;
    }
    queueCv_.notify_one();
  }

  std::string writeFault() const override {
    std::lock_guard<std::mutex> lock(faultMutex_);
    if (flushRefused_.load(std::memory_order_acquire)) return flushFault_;
    if (fileChanged_.load(std::memory_order_acquire)) return file_.sentence();
    return fault_;
  }

  // SQLite's online backup in one step: the source is read in one read transaction, a snapshot
  // that the writer's commits do not disturb and do not wait for.
  void backupTo(const std::string& target) override {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
      throw std::runtime_error(errno == EEXIST ? target + " already exists; backup only writes a new file."
                                               : "The backup file " + target + " cannot be made: " +
                                                     std::strerror(errno) + ".");
    ::close(fd);
    std::string failure;
    {
      std::unique_ptr<Connection> source = acquireReader();
      sqlite3* copy = nullptr;
      if (sqlite3_open_v2(target.c_str(), &copy, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        failure = sqlite3_errmsg(copy);
      } else if (sqlite3_backup* b = sqlite3_backup_init(copy, "main", source->handle(), "main")) {
        const int rc = sqlite3_backup_step(b, -1);
        sqlite3_backup_finish(b);
        if (rc != SQLITE_DONE) failure = sqlite3_errstr(rc);
      } else {
        failure = sqlite3_errmsg(copy);
      }
      // The copy is a file of its own: copied over the store by hand after a crash, its new
      // identity keeps the store's old log from being read into it.
      if (failure.empty() &&
          sqlite3_exec(copy, "UPDATE file_identity SET id = lower(hex(randomblob(16)))", nullptr, nullptr, nullptr) !=
              SQLITE_OK)
        failure = sqlite3_errmsg(copy);
      // The copy is one self-contained file, flushed before it is reported as made.
      if (failure.empty() && sqlite3_exec(copy, "PRAGMA journal_mode = DELETE", nullptr, nullptr, nullptr) != SQLITE_OK)
        failure = sqlite3_errmsg(copy);
      sqlite3_close(copy);
      releaseReader(std::move(source));
    }
    if (failure.empty()) {
      const int again = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
      if (again < 0 || ::fsync(again) != 0) failure = std::strerror(errno);
      if (again >= 0) ::close(again);
    }
    if (!failure.empty()) {
      ::unlink(target.c_str());
      throw std::runtime_error("The backup to " + target + " failed: " + failure + ".");
    }
  }

  // On a connection of its own that zeroes what it frees: the log is copied into the file and cut
  // to nothing (its frames hold the rows as they were), then VACUUM rebuilds the file from the live
  // rows alone, and the log that rebuild wrote is emptied in turn.
  void eraseRemovedData() override {
    Connection c(path_, SQLITE_OPEN_READWRITE);
    c.exec("PRAGMA secure_delete = ON");
    c.pragmaInt("PRAGMA schema_version");  // a connection that has read nothing does not checkpoint
    const auto emptyLog = [&] {
      int logFrames = -1, copied = -1;
      if (sqlite3_wal_checkpoint_v2(c.handle(), "main", SQLITE_CHECKPOINT_TRUNCATE, &logFrames, &copied) != SQLITE_OK ||
          logFrames != 0)
        throw StoreUnavailable("The store's log " + path_ +
                               "-wal could not be emptied while other connections used it; run this again when the "
                               "server is quiet or stopped.");
    };
    emptyLog();
    // VACUUM makes the file shorter, which is what a file cut short under the store looks like.
    file_.expectShrinking(true);
    try {
      c.exec("VACUUM");
      emptyLog();
    } catch (...) {
      file_.expectShrinking(false);
      throw;
    }
    file_.expectShrinking(false);
  }

  // A read on a connection kept for it alone, which no reader holds, without waiting for commits
  // to be flushed; then what the store knows of its writes.
  StoreHealth probeHealth() override {
    if (writesStopped()) return {StoreHealth::State::NotAnswering, writeFault()};
    try {
      std::lock_guard<std::mutex> lock(probeMutex_);
      try {
        if (!prober_) {
          prober_ = std::make_unique<Connection>(path_, SQLITE_OPEN_READWRITE);
          prober_->exec("PRAGMA query_only = ON");
          sqlite3_busy_timeout(prober_->handle(), static_cast<int>(kHealthLimit.count()));
        }
        prober_->run("BEGIN");
        SqliteTransaction(*prober_).findVenue("");
        prober_->run("COMMIT");
      } catch (...) {
        prober_.reset();
        throw;
      }
    } catch (const std::exception& e) {
      return {StoreHealth::State::NotAnswering, fileChanged() ? file_.sentence() : e.what()};
    }
    const std::string fault = writeFault();
    if (!fault.empty()) return {StoreHealth::State::NotWritable, fault};
    return {};
  }

  void read(const std::function<void(Reader&)>& work) override {
    if (writesStopped()) throw StoreUnavailable(writeFault());
    std::unique_ptr<Connection> c = acquireReader();
    try {
      c->run("BEGIN");
      SqliteTransaction tx(*c);
      work(tx);
      c->run("COMMIT");
    } catch (const sqlite::Failure&) {
      if (c->inTransaction()) c->execQuietly("ROLLBACK");
      releaseReader(std::move(c));
      // A file cut short reads as a damaged one; the caller learns what happened to it.
      if (fileChanged()) throw StoreUnavailable(file_.sentence());
      throw;
    } catch (...) {
      if (c->inTransaction()) c->execQuietly("ROLLBACK");
      releaseReader(std::move(c));
      throw;
    }
    releaseReader(std::move(c));
    // A read may have seen commits whose log is still being flushed (any commit begun before now);
    // it answers only once they are on the disk, so that nothing it reports can vanish in a power cut.
    waitDurable(committing_.load(std::memory_order_acquire));
    if (flushRefused_.load(std::memory_order_acquire)) throw StoreUnavailable(writeFault());
  }

 private:
  // Ends the writer, then the syncer (closing the log it flushes), then the checkpointer; each only
  // if it was started.
  void stopThreads() {
    {
      std::lock_guard<std::mutex> lock(queueMutex_);
      stopping_ = true;
    }
    queueCv_.notify_all();
    if (thread_.joinable()) thread_.join();
    {
      std::lock_guard<std::mutex> lock(syncMutex_);
      syncStop_ = true;
    }
    syncCv_.notify_all();
    if (syncer_.joinable()) syncer_.join();
    if (logFd_ >= 0) ::close(logFd_);
    logFd_ = -1;
    {
      std::lock_guard<std::mutex> lock(checkpointMutex_);
      checkpointStop_ = true;
    }
    checkpointCv_.notify_all();
    if (checkpointer_.joinable()) checkpointer_.join();
  }

  // One caller's work, run by the writer and finished exactly once: by the syncer once its commit
  // is durable, or by the writer when it failed before that.
  //
  // write() waits on the job's own semaphore, so that a commit wakes only the callers it served.
  // A semaphore rather than a mutex and condition variable: the post is the only wake-up the
  // caller gets (a notify under a mutex wakes it a second time when it finds the mutex taken), and
  // the caller may end the job as soon as its wait returns. writeAsync() gives the job a completion
  // instead; the job then owns its work and ends itself once the completion has run.
  class Job {
   public:
    explicit Job(const std::function<void(Transaction&)>& work) : work_(&work) { sem_init(&posted_, 0, 0); }
    Job(std::function<void(Transaction&)> work, Done done)
        : owned_(std::move(work)), work_(&owned_), done_(std::move(done)), async_(true) {}
    ~Job() {
      if (!async_) sem_destroy(&posted_);
    }
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    void run(Transaction& tx) { (*work_)(tx); }

    // Nothing of a job is touched after this: its caller may already have ended it.
    void finish() {
      if (!async_) {
        sem_post(&posted_);
        return;
      }
      const Done done = std::move(done_);
      const std::exception_ptr outcome = std::move(error);
      delete this;
      try {
        done(outcome);
      } catch (...) {
        // A completion must not throw; one that does must not stop the thread the next batch needs.
      }
    }

    void wait() {
      while (sem_wait(&posted_) != 0) {
        // EINTR: a signal arrived while waiting; the job is still under way.
      }
    }

    std::exception_ptr error;
    const std::chrono::steady_clock::time_point queued = std::chrono::steady_clock::now();

   private:
    std::function<void(Transaction&)> owned_;
    const std::function<void(Transaction&)>* work_;
    Done done_;
    bool async_ = false;
    sem_t posted_{};
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

  // Writes stop for good after a refused flush and once the file has changed under the store.
  bool writesStopped() const {
    return flushRefused_.load(std::memory_order_acquire) || fileChanged_.load(std::memory_order_acquire);
  }

  // After a refused flush the log may hold commits that the disk does not, and a file cut short
  // has lost pages that only the log can still tell about: in both cases nothing more is copied
  // into the database file, and the next start recovers from what the disk holds.
  bool keepLog() const {
    return flushRefused_.load(std::memory_order_acquire) || file_.change() == StoreFile::Change::Truncated;
  }

  // Looks at the store file; true once it has changed under the store, which then takes no writes.
  bool fileChanged() {
    if (fileChanged_.load(std::memory_order_acquire)) return true;
    if (file_.check() == StoreFile::Change::None) return false;
    fileChanged_.store(true, std::memory_order_release);
    return true;
  }

  // What a write gets once writes have stopped. After a refused flush the writes before it may or
  // may not be on the disk, and the callers are not to be told otherwise.
  std::exception_ptr refusal() {
    if (flushRefused_.load(std::memory_order_acquire)) return std::make_exception_ptr(OutcomeUnknown());
    return std::make_exception_ptr(StoreUnavailable(file_.sentence()));
  }

  // A write failed for a reason of the disk's or the file's. `seq` is the last commit number begun
  // so far (the failed commit's own, if it was one): only a durable commit after it clears the fault.
  void noteFault(const std::string& sentence, std::uint64_t seq) {
    {
      std::lock_guard<std::mutex> lock(faultMutex_);
      fault_ = sentence;
      faultSeq_ = seq;
    }
    fileChanged();
  }

  void clearFault(std::uint64_t durableSeq) {
    std::lock_guard<std::mutex> lock(faultMutex_);
    if (!fault_.empty() && durableSeq > faultSeq_) fault_.clear();
  }

  // The log starts again from its beginning only when a write begins with every frame already
  // copied into the database file. Under a steady stream of checks the checkpointer never quite
  // gets there (each batch adds frames while it copies), and the log would grow without end. So
  // once the log is long, the checkpointer runs pass after pass, each shorter than the one before,
  // until only a short tail is left, and then leaves that tail to the writer (finishLog).
  // Between checkpoints, about once a second, it looks whether the file is still the one opened.
  void checkpointLoop() {
    std::unique_ptr<Connection> c;
    for (;;) {
      bool wanted;
      {
        std::unique_lock<std::mutex> lock(checkpointMutex_);
        checkpointCv_.wait_for(lock, kFileCheckInterval, [&] { return checkpointStop_ || checkpointWanted_; });
        if (checkpointStop_) break;
        wanted = checkpointWanted_;
        checkpointWanted_ = false;
      }
      if (writesStopped() || fileChanged() || !wanted) continue;
      try {
        if (!c) {
          c = std::make_unique<Connection>(path_, SQLITE_OPEN_READWRITE);
          // A connection that has read nothing does not know the file is in WAL mode, and its
          // checkpoints do nothing at all: read the header once.
          c->pragmaInt("PRAGMA schema_version");
        }
        int copiedBefore = -1;
        // While the writer is about to copy the tail, a pass here would only make one of them busy.
        while (!tailForWriter_.load(std::memory_order_acquire) && !stopRequested() && !writesStopped()) {
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
    if (c && keepLog()) c->keepLogOnClose();
  }

  bool stopRequested() {
    std::lock_guard<std::mutex> lock(checkpointMutex_);
    return checkpointStop_;
  }

  // Between two batches: copies the last frames of a long log, so that the next batch's write
  // starts the log again from its beginning. Costs one short checkpoint now and then; a failure
  // only leaves the log as long as it was.
  void finishLog() {
    if (!tailForWriter_.load(std::memory_order_acquire) || writesStopped()) return;
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
    // A new connection opens whatever file is at the path now, which must be the store's.
    if (fileChanged()) throw StoreUnavailable(file_.sentence());
    auto c = std::make_unique<Connection>(path_, SQLITE_OPEN_READWRITE);
    c->exec("PRAGMA query_only = ON");
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
      answerLateJobs(batch);
      if (batch.empty()) continue;
      if (writesStopped()) {
        const std::exception_ptr refused = refusal();
        for (Job* job : batch) job->error = refused;
      } else {
        std::uint64_t seq = 0;
        const bool committed = runBatch(batch, seq);
        if (seq != 0) {
          {
            std::lock_guard<std::mutex> lock(syncMutex_);
            if (committed) {
              unsynced_.insert(unsynced_.end(), batch.begin(), batch.end());
              committed_ = seq;
            }
            syncWanted_ = seq;
          }
          syncCv_.notify_one();
          if (committed) batch.clear();
        }
        // The failures of a batch on a file that changed under it are told as that change.
        if (!batch.empty() && fileChanged_.load(std::memory_order_acquire)) {
          const std::exception_ptr refused = refusal();
          for (Job* job : batch)
            if (isUnavailable(job->error)) job->error = refused;
        }
      }
      for (Job* job : batch) job->finish();
      batch.clear();
      finishLog();
    }
  }

  // Jobs that waited past kWriteTurnLimit for the writer are answered without being run: their
  // stations have nearly given up on them, and an admission kept after its station stopped
  // waiting would turn the fan away at the next scan.
  static void answerLateJobs(std::vector<Job*>& batch) {
    const auto now = std::chrono::steady_clock::now();
    const auto late = std::stable_partition(batch.begin(), batch.end(),
                                            [&](const Job* job) { return now - job->queued <= kWriteTurnLimit; });
    for (auto it = late; it != batch.end(); ++it) {
      (*it)->error = std::make_exception_ptr(notChecked());
      (*it)->finish();
    }
    batch.erase(late, batch.end());
  }

  void syncLoop() {
    std::vector<Job*> jobs;
    for (;;) {
      std::uint64_t seq, committed;
      {
        std::unique_lock<std::mutex> lock(syncMutex_);
        syncCv_.wait(lock, [&] { return syncStop_ || syncWanted_ > synced_; });
        if (syncWanted_ == synced_) break;
        seq = syncWanted_;
        committed = committed_;
        jobs.swap(unsynced_);
      }
      bool refusedNow = false;
      if (flushRefused_.load(std::memory_order_acquire)) {
        failJobs(jobs);
      } else if (const int error = syncLogFile(); error != 0) {
        // After a failed flush the kernel may drop the unwritten pages and report the next flush
        // clean: what is committed can no longer be trusted to be on the disk. The store stops
        // taking writes, and the server is to be restarted and recover from what the disk holds.
        {
          std::lock_guard<std::mutex> lock(faultMutex_);
          flushFault_ = "The disk refused to flush the store's log " + path_ + "-wal (" + std::strerror(error) +
                        "); restart the server once the disk is sound.";
          flushRefused_.store(true, std::memory_order_release);
        }
        failJobs(jobs);
        refusedNow = true;
      } else {
        clearFault(committed);
      }
      {
        std::lock_guard<std::mutex> lock(syncMutex_);
        synced_ = seq;
      }
      durableCv_.notify_all();
      for (Job* job : jobs) job->finish();
      jobs.clear();
      // Told after the callers concerned have their answers, once.
      if (refusedNow) reportFatal(writeFault());
    }
  }

  // The jobs of commits whose flush was refused, or came after one that was: whether they are on
  // the disk cannot be known. A job whose own work failed kept nothing and keeps its own error.
  static void failJobs(std::vector<Job*>& jobs) {
    for (Job* job : jobs)
      if (!job->error) job->error = std::make_exception_ptr(OutcomeUnknown());
  }

  // Flushes the log file; 0, or the errno of the disk's refusal. The log file stays the same file
  // while the writer's connection is open (SQLite removes it only when the last connection closes).
  int syncLogFile() {
    if (logFd_ < 0) logFd_ = ::open((path_ + "-wal").c_str(), O_RDONLY | O_CLOEXEC);
    if (logFd_ < 0) return errno;
    int (*sync)(int) = logOptions_.syncLog ? logOptions_.syncLog : ::fdatasync;
    while (sync(logFd_) != 0) {
      if (errno != EINTR) return errno;
    }
    return 0;
  }

  void waitDurable(std::uint64_t seq) {
    std::unique_lock<std::mutex> lock(syncMutex_);
    durableCv_.wait(lock, [&] { return synced_ >= seq || syncStop_; });
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
      const std::exception_ptr error = std::current_exception();
      for (Job* job : batch) job->error = error;
      noteFault(messageOf(error), committing_.load(std::memory_order_acquire));
      return false;
    }
    SqliteTransaction tx(c, &lookups_);
    std::string diskFault;  // the first failure of a job that was the disk's, not the request's
    for (std::size_t i = 0; i < batch.size(); ++i) {
      Job* job = batch[i];
      try {
        c.run("SAVEPOINT job");
        job->run(tx);
        c.run("RELEASE job");
      } catch (...) {
        job->error = std::current_exception();
        if (diskFault.empty()) diskFault = diskFaultOf(job->error, path_);
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
          noteFault(diskFault.empty() ? messageOf(job->error) : diskFault,
                    committing_.load(std::memory_order_acquire));
          return false;
        }
      }
    }
    // Counted before it is made: a reader that may see this commit waits for its flush, and a
    // commit that fails is flushed past all the same (there is nothing of it to flush).
    seq = committing_.fetch_add(1, std::memory_order_acq_rel) + 1;
    try {
      c.run("COMMIT");
    } catch (...) {
      c.execQuietly("ROLLBACK");
      lookups_.clear();
      const std::exception_ptr failed = std::current_exception();
      for (Job* job : batch)
        if (!job->error) job->error = failed;
      const std::string fault = diskFaultOf(failed, path_);
      noteFault(fault.empty() ? messageOf(failed) : fault, seq);
      return false;
    }
    // A job that met a full disk failed alone, but the next write would meet it too.
    if (!diskFault.empty()) noteFault(diskFault, seq);
    return true;
  }

  std::unique_ptr<StoreLock> lock_;  // released last, once every connection has closed
  std::string path_;
  StoreFile file_;
  std::unique_ptr<Connection> writer_;
  LookupCache lookups_;  // the writer thread's alone

  std::mutex poolMutex_;
  std::vector<std::unique_ptr<Connection>> idle_;
  std::mutex probeMutex_;
  std::unique_ptr<Connection> prober_;  // the health probe's own

  mutable std::mutex queueMutex_;
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
  std::mutex syncMutex_;
  std::condition_variable syncCv_;     // the syncer waits on it
  std::condition_variable durableCv_;  // readers wait on it
  std::vector<Job*> unsynced_;         // committed, waiting for the flush
  std::uint64_t syncWanted_ = 0, synced_ = 0;
  std::uint64_t committed_ = 0;  // the last commit that succeeded
  bool syncStop_ = false;
  int logFd_ = -1;  // the syncer's alone
  std::thread syncer_;

  mutable std::mutex faultMutex_;
  std::string fault_;            // the last failed write's reason, until a later commit is durable
  std::uint64_t faultSeq_ = 0;
  std::string flushFault_;       // set once with flushRefused_
  std::atomic<bool> flushRefused_{false};
  std::atomic<bool> fileChanged_{false};
};

}  // namespace

int sqliteSchemaVersion() { return sqlite::schemaVersion(); }

std::unique_ptr<Store> openSqliteStore(const std::string& path, bool create, const SqliteLogOptions& logOptions,
                                       const SqliteLockOptions& lockOptions) {
  // Without memory statistics SQLite takes no global lock per allocation. It only applies when
  // this runs before the library's first use in the process; later it is refused and harmless.
  static std::once_flag configured;
  std::call_once(configured, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
  std::unique_ptr<StoreLock> lock =
      lockOptions.alone ? StoreLock::exclusive(path) : StoreLock::shared(path, lockOptions.waiting);
  std::unique_ptr<Connection> writer = sqlite::openWriter(path, create, lock.get());
  return std::make_unique<SqliteStore>(path, std::move(lock), std::move(writer), logOptions);
}

}  // namespace tav::server
