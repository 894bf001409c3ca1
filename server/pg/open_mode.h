// What opening a PostgreSQL store may do to the database it finds, and the schema it cannot use.
#pragma once

#include <string>

#include "server/core/errors.h"

namespace tav::server {

enum class PgOpen {
  Existing,       // the database must already hold a store of ours
  CreateIfEmpty,  // an empty database gets the schema; a store of ours is opened as it is
  CreateNew,      // only an empty database, which gets the schema
  Upgrade,        // a store of ours, brought to this build's schema
};

// The database holds a store of ours whose schema this build cannot work with: an older one (until
// "tav-server migrate") or a newer one that servers of this version may not use. what() names the
// database; sentence() says the same without naming it, for answers that anyone may read.
class SchemaMismatch : public StoreRejected {
 public:
  SchemaMismatch(const std::string& where, const std::string& reason)
      : StoreRejected("The store " + where + " cannot be used: " + reason + "."),
        sentence_("Not checked: " + reason + ".") {}
  const std::string& sentence() const { return sentence_; }

 private:
  std::string sentence_;
};

}  // namespace tav::server
