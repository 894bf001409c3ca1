// openStore(): the location's form picks the store.
#include "server/tools/open_store.h"

#include "server/pg/pg_store.h"
#include "server/sqlite/sqlite_store.h"

namespace tav::server {

std::unique_ptr<Store> openStore(const std::string& location, bool create, const SqliteLockOptions& lock) {
  if (isPostgresUri(location))
    return openPostgresStore(location, create ? PgOpen::CreateIfEmpty : PgOpen::Existing);
  return openSqliteStore(location, create, {}, lock);
}

}  // namespace tav::server
