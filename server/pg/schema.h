// The PostgreSQL store's schema: its migrations and the checks that leave other databases alone.
#pragma once

#include <string>

#include "server/pg/connection.h"
#include "server/pg/open_mode.h"

namespace tav::server::pg {

// The schema version this build writes and reads.
int schemaVersion();

// The schema versions a migrate() found and left.
struct SchemaChange {
  int from = 0, to = 0;
};

// Checks what the database's current schema holds, in one transaction under an advisory lock, so
// that servers starting together take turns: an empty database gets the schema (when `mode` allows
// it); an older store of ours is brought to schemaVersion() only with PgOpen::Upgrade, since
// servers of the older version may still be using it. Throws SchemaMismatch when this build cannot
// work with the store's schema, StoreRejected when the schema is not ours or does not fit `mode`
// (the database is left as it was), StoreUnavailable when the database fails meanwhile. `where`
// names the database in messages. `upTo` stops at an older version: what an older build made.
SchemaChange migrate(Connection& c, const std::string& where, PgOpen mode, int upTo = schemaVersion());

}  // namespace tav::server::pg
