// The PostgreSQL store: the embedded store's schema and operations on a shared database, so that
// several tav-server processes can serve the stations of one or many venues.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "server/core/store.h"

namespace tav::server {

// Connections one store keeps open at most; a request waits for a free one.
inline constexpr std::size_t kPgPoolSize = 32;

// True for the locations this store opens: "postgresql://..." and "postgres://..." URIs.
bool isPostgresUri(const std::string& location);

// The location as it may be shown or logged: a password in the URI's user part or in a
// "password=" parameter is replaced by "***". Other locations come back unchanged.
std::string maskedLocation(const std::string& location);

// The schema version this build writes and reads; older databases are migrated on open.
int postgresSchemaVersion();

enum class PgOpen {
  Existing,       // the database must already hold a store of ours
  CreateIfEmpty,  // an empty database gets the schema; a store of ours is opened as it is
  CreateNew,      // only an empty database, which gets the schema
};

// Connects to the database named by `uri` (the password from the URI, PGPASSFILE or
// PGPASSWORD), checks that its current schema is ours or, as `mode` allows, empty, applies
// pending migrations and returns a store that keeps up to `poolSize` connections. Throws
// StoreRejected with one sentence when the database cannot be reached, holds other tables or a
// newer schema, or does not fit `mode`; such a database is left as it was.
std::unique_ptr<Store> openPostgresStore(const std::string& uri, PgOpen mode,
                                         std::size_t poolSize = kPgPoolSize);

}  // namespace tav::server
