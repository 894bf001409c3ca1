// The SQLite store file: schema, migrations and the checks that keep SQLite away from files that
// are not ours.
#pragma once

#include <memory>
#include <string>

#include "server/sqlite/connection.h"

namespace tav::server::sqlite {

// The schema version this build writes and reads.
int schemaVersion();

// Opens the writer's connection on the store file at `path` (creating the file when `create` is
// set and it does not exist or is empty) and applies pending migrations. Throws StoreRejected when
// the file is not one of ours or comes from a newer schema; such a file is left untouched.
std::unique_ptr<Connection> openWriter(const std::string& path, bool create);

}  // namespace tav::server::sqlite
