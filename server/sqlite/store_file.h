// Notices the store file changing under a running server: removed, replaced by another file, or
// cut short. Such a file can no longer be trusted with writes.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <string>

namespace tav::server::sqlite {

class StoreFile {
 public:
  enum class Change { None, Replaced, Truncated };

  // Remembers the file at `path` as it is now: the one the store has just opened.
  explicit StoreFile(std::string path);

  // Looks at the file again (one stat) and returns how it changed since it was opened, or None.
  // Once a change is seen it stays the answer. Safe to call from any thread.
  Change check();

  // While set, a shorter file is the store's own doing (VACUUM) and becomes the size to compare with.
  void expectShrinking(bool expected);

  // The change seen last, and one sentence for the log and the callers; empty while None.
  Change change() const;
  std::string sentence() const;

 private:
  const std::string path_;
  mutable std::mutex mutex_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  off_t size_ = 0;  // the largest size seen: the file only grows while the store has it open
  bool shrinking_ = false;
  Change change_ = Change::None;
  std::string sentence_;
};

}  // namespace tav::server::sqlite
