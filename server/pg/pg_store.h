// The PostgreSQL store: the embedded store's schema and operations on a shared database, so that
// several tav-server processes can serve the stations of one or many venues.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "server/core/store.h"
#include "server/pg/open_mode.h"

namespace tav::server {

// Connections one store keeps open at most; a request waits for a free one.
inline constexpr std::size_t kPgPoolSize = 32;

// True for the locations this store opens: "postgresql://..." and "postgres://..." URIs.
bool isPostgresUri(const std::string& location);

// The location as it may be shown or logged: a password in the URI's user part or in a
// "password=" parameter is replaced by "***". Other locations come back unchanged.
std::string maskedLocation(const std::string& location);

// The schema version this build writes and reads; an older database is brought to it only by
// migratePostgresStore(), so that servers of the older version keep working meanwhile.
int postgresSchemaVersion();

// How often a server whose database did not answer at start tries it again.
inline constexpr std::chrono::milliseconds kReconnectInterval{1500};

// The database named by a store's URI did not answer (no connection, or it broke off).
class DatabaseUnreachable : public StoreRejected {
 public:
  using StoreRejected::StoreRejected;
};

// Connects to the database named by `uri` (the password from the URI, PGPASSFILE or
// PGPASSWORD), checks that its current schema is ours or, as `mode` allows, empty (giving it the
// schema, or with PgOpen::Upgrade applying pending migrations) and returns a store that keeps up to `poolSize` connections. Throws
// StoreRejected with one sentence when the database holds other tables, SchemaMismatch when its
// schema is one this build cannot work with, StoreRejected when it does not fit `mode` (such a database is left as it was), DatabaseUnreachable when it cannot be
// reached. A `serving` store holds every transaction to kTransactionLimit and every wait for a
// connection to kWriteTurnLimit; the setup tool's bulk work is not held to them.
std::unique_ptr<Store> openPostgresStore(const std::string& uri, PgOpen mode,
                                         std::size_t poolSize = kPgPoolSize, bool serving = false);

// The store a server serves: openPostgresStore's serving store of an existing store of ours. When
// the database cannot be reached, returns at once a store that answers every request
// StoreUnavailable ("not checked") and its health "not answering", and opens the database in the
// background, trying every kReconnectInterval, as soon as it answers. So too while the store's
// schema is one this build cannot work with (older until migrated, or newer): requests are answered
// with SchemaMismatch's sentence. `note` is told, in one line each, that the server waits for its
// database and that the database answers again. A database that answers but holds no store of ours
// throws StoreRejected here; met later, it goes to the store's fatal handler.
// Brings the store at `uri` to this build's schema with additive changes only, so that servers of
// the older version keep working; returns the schema versions before and after. Throws as
// openPostgresStore does.
std::pair<int, int> migratePostgresStore(const std::string& uri);

std::unique_ptr<Store> servePostgresStore(const std::string& uri, std::function<void(const std::string&)> note);

}  // namespace tav::server
