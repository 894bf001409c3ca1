// restoreSqliteStore: the copy, its checks, and the swap in an order that a crash at any point
// leaves either the old store whole or the new one whole, never a file with another's log.
#include "server/sqlite/restore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "server/core/local_time.h"
#include "server/sqlite/connection.h"
#include "server/sqlite/schema.h"
#include "server/sqlite/sqlite_store.h"
#include "server/sqlite/store_lock.h"

namespace tav::server {
namespace {

using sqlite::Connection;
using sqlite::Query;

std::runtime_error systemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno) + ".");
}

std::string folderOf(const std::string& path) {
  const std::string parent = std::filesystem::path(path).parent_path().string();
  return parent.empty() ? "." : parent;
}

// Flushes a file, or a folder (`folder` true): a rename or an unlink is durable once the folder
// holding it is flushed.
void flushToDisk(const std::string& path, bool folder) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
  if (fd < 0 || ::fsync(fd) != 0) {
    const auto error =
        systemError(std::string(folder ? "The folder " : "The file ") + path + " could not be flushed to the disk");
    if (fd >= 0) ::close(fd);
    throw error;
  }
  ::close(fd);
}

void removeIfThere(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw systemError("The file " + path + " could not be removed");
}

// The new store's file until it is renamed into place; removed, with anything SQLite made beside
// it, when the restore stops before that.
class PendingFile {
 public:
  explicit PendingFile(const std::string& store) {
    std::string pattern = store + ".restore-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);  // mode 0600 until the old file's mode is given
    if (fd_ < 0) throw systemError("A new file beside " + store + " could not be made");
    path_ = name.data();
  }
  ~PendingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (path_.empty()) return;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((path_ + suffix).c_str());
  }
  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  void closeFd() {
    ::close(fd_);
    fd_ = -1;
  }
  void placed() { path_.clear(); }

 private:
  int fd_ = -1;
  std::string path_;
};

void copyInto(const std::string& backup, PendingFile& target) {
  const int in = ::open(backup.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) throw systemError("The backup " + backup + " cannot be read");
  std::vector<char> buf(1 << 20);
  for (;;) {
    const ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const auto error = systemError("The backup " + backup + " cannot be read");
      ::close(in);
      throw error;
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(target.fd(), buf.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        const auto error = systemError("The copy of the backup beside the store cannot be written");
        ::close(in);
        throw error;
      }
      done += w;
    }
  }
  ::close(in);
  if (::fsync(target.fd()) != 0) throw systemError("The copy of the backup could not be flushed to the disk");
  target.closeFd();
}

struct ScanMark {
  std::int64_t id = 0;
  TimeMs at = 0;
};

std::optional<ScanMark> lastScanLine(Connection& c) {
  Query q = c.query("SELECT id, at FROM scan_log ORDER BY id DESC LIMIT 1");
  if (!q.step()) return std::nullopt;
  return ScanMark{q.integer(0), q.integer(1)};
}

// The copy as the backup left it, read with no log at all: a store of ours, of a schema this
// build knows, that SQLite finds whole. Returns its last scan-log line.
std::optional<ScanMark> checkBackup(const std::string& copy, const std::string& backup) {
  try {
    Connection c(sqlite::immutableUri(copy), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    const std::int64_t version = c.pragmaInt("PRAGMA user_version");
    if (c.pragmaInt("PRAGMA application_id") != kSqliteApplicationId || version < 1)
      throw std::runtime_error(backup + " is not a TAV store backup.");
    if (version > sqliteSchemaVersion())
      throw std::runtime_error(backup + " was written by a newer tav-server (schema version " + std::to_string(version) +
                               "; this one knows up to " + std::to_string(sqliteSchemaVersion()) + ").");
    std::string verdict;
    try {
      Query q = c.query("PRAGMA integrity_check(1)");
      if (q.step()) verdict = q.text(0);
    } catch (const StoreUnavailable& e) {
      verdict = e.what();
    }
    if (verdict != "ok") {
      std::replace(verdict.begin(), verdict.end(), '\n', ' ');
      throw std::runtime_error("The backup " + backup + " is damaged: SQLite finds \"" + verdict + "\".");
    }
    return lastScanLine(c);
  } catch (const StoreUnavailable& e) {
    throw std::runtime_error(backup + " is not a TAV store backup that can be read: " + e.what());
  }
}

// What the old store holds past the backup: read with its own log, which stays as it is, or alone
// when the log is another file's.
struct OldStore {
  bool readable = false;
  std::optional<ScanMark> last;
  std::size_t admissionsAfter = 0;
};

OldStore readOldStore(const std::string& store, bool withLog, const std::optional<ScanMark>& backupLast) {
  OldStore old;
  try {
    Connection c(withLog ? store : sqlite::immutableUri(store),
                 withLog ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    c.keepLogOnClose();
    if (c.pragmaInt("PRAGMA application_id") != kSqliteApplicationId) return old;
    old.last = lastScanLine(c);
    if (old.last) {
      Query q = c.query(
          "SELECT count(*) FROM scan_log WHERE kind = 'check' AND outcome IN ('entry', 'reentry') AND (id > ?1 OR at > ?2)");
      q.bind(1, backupLast ? backupLast->id : std::int64_t{0}).bind(2, backupLast ? backupLast->at : TimeMs{-1});
      if (q.step()) old.admissionsAfter = static_cast<std::size_t>(q.integer(0));
    }
    old.readable = true;
  } catch (const StoreUnavailable&) {
    old = OldStore{};
  }
  return old;
}

// Copies the old store's own log into its file, so that the file kept as STORE.before-restore is
// the whole old store once the log is gone.
void foldLog(const std::string& store) {
  Connection c(store, SQLITE_OPEN_READWRITE);
  c.pragmaInt("PRAGMA schema_version");  // a connection that has read nothing does not checkpoint
  if (sqlite3_wal_checkpoint_v2(c.handle(), "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr) != SQLITE_OK)
    sqlite::fail(c.handle(), "copy its log into " + store);
}

// Brings the checked copy to this build's schema and gives it an identity of its own, so that the
// same backup copied over the store by hand later on is told apart from it; the copy then rests on
// the disk without a log. Returns the identity.
std::string readiedCopy(const PendingFile& copy) {
  std::string identity;
  {
    std::unique_ptr<Connection> c = sqlite::openWriter(copy.path(), false);
    sqlite::renewIdentity(*c);
    Query q = c->query("SELECT id FROM file_identity");
    if (q.step()) identity = q.text(0);
  }
  for (const char* suffix : {"-wal", "-shm"}) removeIfThere(copy.path() + suffix);
  flushToDisk(copy.path(), false);
  return identity;
}

// The restored file is the service's as the old one was, and no more readable than it.
void giveOwnerAndMode(const std::string& path, const struct stat& old, const std::string& store) {
  if (::chmod(path.c_str(), old.st_mode & 07777) != 0 ||
      ((old.st_uid != ::geteuid() || old.st_gid != ::getegid()) && ::chown(path.c_str(), old.st_uid, old.st_gid) != 0))
    throw systemError("The restored store cannot be given the owner and mode of " + store +
                      " (run restore as root or as the store's owner)");
}

}  // namespace

RestoreSummary restoreSqliteStore(const std::string& backup, const std::string& store, bool discardNewer) {
  RestoreSummary summary;
  std::unique_ptr<sqlite::StoreLock> lock = sqlite::StoreLock::exclusive(store);
  const std::string keptAs = store + ".before-restore";
  struct stat old {};
  const bool hadStore = ::stat(store.c_str(), &old) == 0;
  if (!hadStore && errno != ENOENT) throw systemError("The store " + store + " cannot be looked at");
  if (hadStore && !S_ISREG(old.st_mode)) throw std::runtime_error(store + " is not a file.");
  struct stat kept {};
  if (hadStore && ::lstat(keptAs.c_str(), &kept) == 0)
    throw std::runtime_error(keptAs + " already holds the store an earlier restore replaced; move it away first.");

  PendingFile copy(store);
  copyInto(backup, copy);
  const std::optional<ScanMark> backupLast = checkBackup(copy.path(), backup);
  if (backupLast) summary.backupLastLine = backupLast->at;
  const std::string identity = readiedCopy(copy);

  if (hadStore) {
    std::error_code ec;
    const bool logged = std::filesystem::file_size(store + "-wal", ec) > 0 && !ec;
    bool foreignLog = false;
    if (logged) {
      try {
        sqlite::checkLogBelongs(store, *lock);
      } catch (const StoreRejected&) {
        foreignLog = true;
      }
    }
    // A log that belongs to another file is of no use to anyone: the file alone is compared, and
    // the log goes with the old file's own below.
    summary.foreignLogRemoved = foreignLog;
    const OldStore current = readOldStore(store, !foreignLog, backupLast);
    summary.oldUnreadable = !current.readable;
    const bool newer = current.readable && current.last &&
                       (!backupLast || current.last->id > backupLast->id || current.last->at > backupLast->at);
    if (newer && !discardNewer)
      throw std::runtime_error(
          "The store " + store + " has scan-log lines newer than the backup's (its last at " +
          formatLocalTime(current.last->at) + ", the backup's " +
          (backupLast ? "at " + formatLocalTime(backupLast->at) : std::string("has none")) + "), with " +
          std::to_string(current.admissionsAfter) +
          " admissions that would be given up; give --discard-newer to restore all the same.");
    summary.newerGivenUp = newer;
    if (newer) summary.admissionsGivenUp = current.admissionsAfter;

    giveOwnerAndMode(copy.path(), old, store);
    if (logged && !foreignLog && current.readable) {
      try {
        foldLog(store);
      } catch (const StoreUnavailable& e) {
        throw std::runtime_error(std::string(e.what()) + " Nothing was replaced.");
      }
    }
    // Left over from a kept file since removed, they would be read as the new kept file's.
    removeIfThere(keptAs + "-wal");
    removeIfThere(keptAs + "-shm");
    if (::link(store.c_str(), keptAs.c_str()) != 0) {
      if (errno == EEXIST) throw std::runtime_error(keptAs + " appeared while the restore ran; nothing was replaced.");
      if (::rename(store.c_str(), keptAs.c_str()) != 0) throw systemError("The old store could not be kept as " + keptAs);
    }
    summary.keptAs = keptAs;
    // A log of the old file's own that could not be folded (the file reads as damaged) stays with
    // it, under the name SQLite gives the kept file's log.
    if (logged && !foreignLog && !current.readable && ::rename((store + "-wal").c_str(), (keptAs + "-wal").c_str()) != 0)
      throw systemError("The old store's log could not be kept beside " + keptAs);
  }
  // The log and its index go before the new file comes (also when the file itself was gone): a
  // crash in between leaves the old file whole without them, never the new file beside the old
  // file's log.
  removeIfThere(store + "-wal");
  removeIfThere(store + "-shm");
  flushToDisk(folderOf(store), true);
  if (::rename(copy.path().c_str(), store.c_str()) != 0) throw systemError("The restored store could not be put at " + store);
  copy.placed();
  flushToDisk(folderOf(store), true);
  if (!identity.empty()) lock->recordIdentity(identity);
  return summary;
}

}  // namespace tav::server
