// StoreLock: flock(2) on STORE.lock, the identity record kept in it, and the store file's own
// identity read past SQLite's log.
#include "server/sqlite/store_lock.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "server/core/errors.h"

namespace tav::server::sqlite {
namespace {

// A lock file made by root (a restore, a setup command run with sudo) belongs to the store's owner,
// so that the server, running as that owner, can take it too.
int openLockFile(const std::string& storePath) {
  const std::string path = StoreLock::pathFor(storePath);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    struct stat store {};
    if (::stat(storePath.c_str(), &store) == 0 && (store.st_uid != ::geteuid() || store.st_gid != ::getegid())) {
      // Only root may give a file away; anyone else who may open the store shares the lock anyway.
      const bool given = ::fchown(fd, store.st_uid, store.st_gid) == 0;
      (void)given;
    }
    return fd;
  }
  if (errno != EEXIST) return -1;
  return ::open(path.c_str(), O_RDWR | O_CLOEXEC);
}

int lockRetrying(int fd, int operation) {
  int rc;
  do rc = ::flock(fd, operation);
  while (rc != 0 && errno == EINTR);
  return rc;
}

// A file: URI for `path`, with the characters a URI gives a meaning to escaped.
std::string fileUri(const std::string& path) {
  std::string uri = "file:";
  for (const char ch : path) {
    if (ch == '%' || ch == '?' || ch == '#') {
      static const char kHex[] = "0123456789ABCDEF";
      uri += '%';
      uri += kHex[static_cast<unsigned char>(ch) >> 4];
      uri += kHex[static_cast<unsigned char>(ch) & 15];
    } else {
      uri += ch;
    }
  }
  return uri;
}

// An identity is 32 lowercase hex digits (16 random bytes, as the schema makes it).
bool wellFormed(const std::string& id) {
  return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

// immutable: SQLite reads the file as it lies on the disk and neither reads nor touches its log.
std::string immutableUri(const std::string& path) { return fileUri(path) + "?immutable=1"; }

std::unique_ptr<StoreLock> StoreLock::shared(const std::string& storePath,
                                             const std::function<void(const std::string&)>& waiting) {
  const int fd = openLockFile(storePath);
  if (fd < 0) return nullptr;
  if (lockRetrying(fd, LOCK_SH | LOCK_NB) != 0) {
    if (waiting) waiting("waiting for " + storePath + ", which a restore or purge-event holds, before opening it");
    if (lockRetrying(fd, LOCK_SH) != 0) {
      ::close(fd);
      return nullptr;
    }
  }
  return std::unique_ptr<StoreLock>(new StoreLock(fd));
}

std::unique_ptr<StoreLock> StoreLock::exclusive(const std::string& storePath) {
  const int fd = openLockFile(storePath);
  if (fd < 0)
    throw std::runtime_error("The lock file " + pathFor(storePath) + " cannot be made: " + std::strerror(errno) + ".");
  if (lockRetrying(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK)
      throw std::runtime_error("The store " + storePath +
                               " is open in another tav-server process (serve, or a command still running); stop "
                               "it first (systemctl stop tav-server), then run this again.");
    throw std::runtime_error("The store " + storePath + " cannot be locked: " + std::strerror(error) + ".");
  }
  return std::unique_ptr<StoreLock>(new StoreLock(fd));
}

StoreLock::~StoreLock() { ::close(fd_); }

std::optional<std::string> StoreLock::recordedIdentity() const {
  char buf[64];
  const ssize_t n = ::pread(fd_, buf, sizeof buf, 0);
  if (n <= 0) return std::nullopt;
  std::string text(buf, static_cast<std::size_t>(n));
  if (const auto end = text.find('\n'); end != std::string::npos) text.resize(end);
  if (!wellFormed(text)) return std::nullopt;
  return text;
}

void StoreLock::recordIdentity(const std::string& identity) {
  if (recordedIdentity() == identity) return;
  // Processes that share the lock record the same file's identity, so their writes never differ.
  const std::string line = identity + "\n";
  if (::pwrite(fd_, line.data(), line.size(), 0) != static_cast<ssize_t>(line.size()) ||
      ::ftruncate(fd_, static_cast<off_t>(line.size())) != 0 || ::fdatasync(fd_) != 0)
    throw StoreUnavailable("The store's lock file could not be written: " + std::string(std::strerror(errno)) + ".");
}

FileIdentity readFileIdentity(const std::string& path) {
  FileIdentity result;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(immutableUri(path).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int64(stmt, 0) > 0) {
      sqlite3_finalize(stmt);
      stmt = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT id FROM file_identity", -1, &stmt, nullptr) != SQLITE_OK) {
        result.kind = FileIdentity::Kind::None;
      } else if (sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        result.kind = FileIdentity::Kind::Id;
        result.id = text ? text : "";
      } else {
        result.kind = FileIdentity::Kind::None;
      }
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close_v2(db);
  return result;
}

// The record names the file whose identity was on the disk when a process last opened the store
// here, and a file's identity never changes while it is the store: a log left by a crash was
// written for that file. A file put in its place since (a backup copied over it) has an identity
// of its own, because every backup and every restored copy is given a new one, or none at all (a
// backup from before identities). Reading the file with SQLite's log set aside is what makes the
// comparison safe: SQLite itself would read the stale log into the file's pages.
void checkLogBelongs(const std::string& path, const StoreLock& lock) {
  const std::optional<std::string> recorded = lock.recordedIdentity();
  if (!recorded) return;
  const FileIdentity file = readFileIdentity(path);
  if (file.kind == FileIdentity::Kind::Unknown) return;
  if (file.kind == FileIdentity::Kind::Id && file.id == *recorded) return;
  throw StoreRejected(path + "-wal was not written for " + path + "; move it away if " + path +
                      " was put in place by hand, or put the backup in place with tav-server restore.");
}

}  // namespace tav::server::sqlite
