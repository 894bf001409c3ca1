// Connection: opening, plain statements and the preparation behind its statement cache.
#include "server/sqlite/connection.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace tav::server::sqlite {

void fail(sqlite3* db, const std::string& what) {
  // SQLite's want of memory is the process's: the caller says it in one sentence, as for any other.
  if ((sqlite3_extended_errcode(db) & 0xff) == SQLITE_NOMEM) throw std::bad_alloc();
  throw Failure("The store could not " + what + ": " + sqlite3_errmsg(db) + ".", sqlite3_extended_errcode(db),
                sqlite3_system_errno(db));
}

std::string Failure::diskFault(const std::string& path) const {
  const bool noRoom = systemErrno_ == ENOSPC || systemErrno_ == EDQUOT;
  switch (code_ & 0xff) {
    case SQLITE_FULL:
      return "The disk holding the store " + path + " is full.";
    case SQLITE_IOERR:
      if (noRoom) return "The disk holding the store " + path + " is full.";
      if (systemErrno_ == EFBIG) return "The store " + path + " has grown to the largest file this system allows.";
      return "The disk refused to read or write the store " + path +
             (systemErrno_ ? " (" + std::string(std::strerror(systemErrno_)) + ")." : ".");
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return "The store file " + path + " is damaged: SQLite reads it as \"" + sqlite3_errstr(code_) + "\".";
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
      return "The store " + path + " can no longer be written (" + sqlite3_errstr(code_) + ").";
    default:
      return {};
  }
}

Connection::Connection(const std::string& path, int flags) {
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw StoreUnavailable("The store " + path + " could not be opened: " + msg + ".");
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, 5000);
}

Connection::~Connection() {
  for (auto& [sql, stmt] : cache_) sqlite3_finalize(stmt);
  sqlite3_close_v2(db_);
}

void Connection::exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(db_, "run a statement");
}

sqlite3_stmt* Connection::prepare(const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK)
    fail(db_, "prepare a statement");
  return stmt;
}

}  // namespace tav::server::sqlite
