// Connection: opening, plain statements and the preparation behind its statement cache.
#include "server/sqlite/connection.h"

namespace tav::server::sqlite {

void fail(sqlite3* db, const std::string& what) {
  throw StoreUnavailable("The store could not " + what + ": " + sqlite3_errmsg(db) + ".");
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
