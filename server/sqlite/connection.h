// One SQLite connection with its cache of prepared statements, and the statement a caller runs
// on it; every failure becomes a StoreUnavailable with SQLite's reason and result code.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "server/core/errors.h"

namespace tav::server::sqlite {

// A failure reported by SQLite. The store reads its code to tell a disk that is full or failing,
// or a file changed under it, from a request that broke a rule of the schema.
class Failure : public StoreUnavailable {
 public:
  Failure(const std::string& sentence, int code, int systemErrno)
      : StoreUnavailable(sentence), code_(code), systemErrno_(systemErrno) {}
  int code() const { return code_; }              // SQLite's extended result code
  int systemErrno() const { return systemErrno_; }  // the operating system's, for I/O errors

  // Why the store's file cannot be written, in one sentence naming `path`, when this failure says
  // so (disk full, I/O error, damaged or read-only file); empty for any other failure.
  std::string diskFault(const std::string& path) const;

 private:
  int code_, systemErrno_;
};

// Throws Failure: "The store could not <what>: <SQLite's message>."
[[noreturn]] void fail(sqlite3* db, const std::string& what);

// A cached prepared statement, reset when the query using it ends.
class Query {
 public:
  Query(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;
  ~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }

  Query& bind(int i, const std::string& v) {
    check(sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC));
    return *this;
  }
  Query& bind(int i, std::int64_t v) {
    check(sqlite3_bind_int64(stmt_, i, v));
    return *this;
  }
  Query& bind(int i, const std::optional<std::int64_t>& v) {
    check(v ? sqlite3_bind_int64(stmt_, i, *v) : sqlite3_bind_null(stmt_, i));
    return *this;
  }

  // True while there is a row to read.
  bool step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    fail(db_, "run a statement");
  }
  void run() {
    while (step()) {
    }
  }

  std::string text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
  }
  std::int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::optional<std::int64_t> optInteger(int col) const {
    if (sqlite3_column_type(stmt_, col) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_int64(stmt_, col);
  }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) fail(db_, "bind a value");
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_;
};

class Connection {
 public:
  Connection(const std::string& path, int flags);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  sqlite3* handle() const { return db_; }

  // Closing will leave the write-ahead log as it is instead of copying it into the database file,
  // even when this is the file's last connection.
  void keepLogOnClose() { sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr); }

  void exec(const char* sql);
  // For the ends of a failed transaction, where a second error has nothing to add.
  void execQuietly(const char* sql) noexcept { sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

  // `sql` must be a string literal: the cache is keyed by its address.
  Query query(const char* sql) {
    auto it = cache_.find(sql);
    if (it == cache_.end()) it = cache_.emplace(sql, prepare(sql)).first;
    return Query(db_, it->second);
  }

  // The same for the statements every transaction runs, prepared once instead of on each call.
  void run(const char* sql) { query(sql).run(); }

  std::int64_t pragmaInt(const char* sql) {
    Query q = query(sql);
    return q.step() ? q.integer(0) : 0;
  }

  bool inTransaction() const { return sqlite3_get_autocommit(db_) == 0; }

 private:
  sqlite3_stmt* prepare(const char* sql);

  sqlite3* db_ = nullptr;
  std::unordered_map<const char*, sqlite3_stmt*> cache_;
};

}  // namespace tav::server::sqlite
