// The lock beside an SQLite store file that serve and the other commands share and restore takes
// alone, and the file's identity recorded in it, which tells a write-ahead log left by a crash of
// this store from one left by a file that has since been put in its place.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tav::server::sqlite {

// A lock on STORE.lock (flock(2), so that it never mixes with SQLite's own locks on the store file):
// every process that opens the store holds it shared; restore holds it alone while it puts a
// backup in place. The file is never replaced, so the lock always names one file whatever becomes
// of the store beside it.
class StoreLock {
 public:
  // Waits for a restore under way to end; `waiting` is told once, with one sentence, when it has
  // to. None when the lock file cannot be made (a folder this user may not write to): the store
  // is then opened unguarded, as SQLite alone would.
  static std::unique_ptr<StoreLock> shared(const std::string& storePath,
                                           const std::function<void(const std::string&)>& waiting);
  // Never waits: throws std::runtime_error saying who holds it, or why it cannot be taken.
  static std::unique_ptr<StoreLock> exclusive(const std::string& storePath);

  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  ~StoreLock();

  // The identity of the store file that the log beside it was last written for; none when no
  // store has been opened here since the lock file was made, or its record is unreadable.
  std::optional<std::string> recordedIdentity() const;
  // Made durable before it returns.
  void recordIdentity(const std::string& identity);

  static std::string pathFor(const std::string& storePath) { return storePath + ".lock"; }

 private:
  explicit StoreLock(int fd) : fd_(fd) {}
  int fd_;
};

// A URI that opens the file at `path` as it lies on the disk, read only, without its log.
std::string immutableUri(const std::string& path);

// What the store file at `path` says of itself, read from the file alone, never from its log.
struct FileIdentity {
  enum class Kind { Unknown, None, Id };
  Kind kind = Kind::Unknown;  // Unknown: unreadable, or a file without tables yet; None: a store
                              // from before files had an identity
  std::string id;
};
FileIdentity readFileIdentity(const std::string& path);

// Throws StoreRejected when the log beside `path` was written for another file than the one at
// `path` now: the file was replaced (a backup copied over it) after a crash left the log.
// A log whose store cannot be told (nothing recorded, an unreadable file) is let through.
void checkLogBelongs(const std::string& path, const StoreLock& lock);

}  // namespace tav::server::sqlite
