// StoreFile: the path's inode and size compared with the file the store opened.
#include "server/sqlite/store_file.h"

#include <sys/stat.h>

#include <cerrno>

namespace tav::server::sqlite {

StoreFile::StoreFile(std::string path) : path_(std::move(path)) {
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0) {
    device_ = st.st_dev;
    inode_ = st.st_ino;
    size_ = st.st_size;
  }
}

StoreFile::Change StoreFile::check() {
  struct stat st {};
  const bool seen = ::stat(path_.c_str(), &st) == 0;
  const bool gone = !seen && errno == ENOENT;
  std::lock_guard<std::mutex> lock(mutex_);
  // A file that cannot be looked at for another reason (a search permission gone) proves nothing.
  if (change_ != Change::None || (!seen && !gone)) return change_;
  if (gone || st.st_dev != device_ || st.st_ino != inode_) {
    change_ = Change::Replaced;
    sentence_ = "The store file " + path_ + (gone ? " was removed" : " was replaced by another file") +
                " while the server was running; it takes no more writes until the server is restarted.";
  } else if (st.st_size < size_ && !shrinking_) {
    change_ = Change::Truncated;
    sentence_ = "The store file " + path_ + " was cut short while the server was running (from " +
                std::to_string(size_) + " to " + std::to_string(st.st_size) +
                " bytes); it takes no more writes: restore it from a backup and restart the server.";
  } else {
    size_ = st.st_size;
  }
  return change_;
}

void StoreFile::expectShrinking(bool expected) {
  check();
  std::lock_guard<std::mutex> lock(mutex_);
  shrinking_ = expected;
}

StoreFile::Change StoreFile::change() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return change_;
}

std::string StoreFile::sentence() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sentence_;
}

}  // namespace tav::server::sqlite
