// Opening a store by its location: an SQLite file or a PostgreSQL URI.
#pragma once

#include <memory>
#include <string>

#include "server/sqlite/sqlite_store.h"

namespace tav::server {

class Store;

// Opens (creating it when `create` is set) the store at `location` and applies pending migrations.
// `location` is a file path for SQLite, or a postgresql:// (postgres://) URI for PostgreSQL, where
// creating means giving an empty database the schema. Throws StoreRejected, leaving a foreign or
// newer file or database untouched.
// An SQLite store takes the lock beside its file as `lock` says (see openSqliteStore).
std::unique_ptr<Store> openStore(const std::string& location, bool create, const SqliteLockOptions& lock = {});

}  // namespace tav::server
