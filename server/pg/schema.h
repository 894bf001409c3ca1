// The PostgreSQL store's schema: its migrations and the checks that leave other databases alone.
#pragma once

#include <string>

#include "server/pg/connection.h"
#include "server/pg/pg_store.h"

namespace tav::server::pg {

// The schema version this build writes and reads.
int schemaVersion();

// Checks what the database's current schema holds and brings it to schemaVersion(), all in one
// transaction under an advisory lock, so that servers starting together do it once. Throws
// StoreRejected when the schema is not ours, is newer or does not fit `mode`, and leaves it as it
// was; StoreUnavailable when the database fails meanwhile. `where` names the database in messages.
void migrate(Connection& c, const std::string& where, PgOpen mode);

}  // namespace tav::server::pg
