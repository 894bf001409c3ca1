// The SQLite store file: schema, migrations and the checks that keep SQLite away from files that
// are not ours.
#pragma once

#include <memory>
#include <string>

#include "server/sqlite/connection.h"

namespace tav::server::sqlite {

class StoreLock;

// The schema version this build writes and reads.
int schemaVersion();

// Opens the writer's connection on the store file at `path` (creating the file when `create` is
// set and it does not exist or is empty) and applies pending migrations. Throws StoreRejected when
// the file is not one of ours or comes from a newer schema; such a file is left untouched.
// With `lock`, a log left beside the file that was written for another file is refused before
// SQLite reads it, and the file's identity is recorded in the lock for the next open to check.
std::unique_ptr<Connection> openWriter(const std::string& path, bool create, StoreLock* lock = nullptr);

// Gives the store file on `c` a new identity: a copy of a store is a file of its own.
void renewIdentity(Connection& c);

}  // namespace tav::server::sqlite
