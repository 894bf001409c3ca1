// What the HTTP layer and the setup tool call on the back-end: open a store, run one command text.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "wire/recordset.h"

namespace tav::server {

class Store;

// A command text that the grammar, the procedure catalogue or the argument count rejects (HTTP 400).
class BadCommand : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The store could not answer: I/O error, busy, lost connection (HTTP 503). Nothing was written.
class StoreUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The store file cannot be used: not ours, from a newer schema, unreadable. Raised at open.
class StoreRejected : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The answer to one command, with what the metrics need to know about it.
struct Answer {
  wire::Recordset recordset;
  std::string procedure;  // canonical procedure name, e.g. "Proc_WMRS_Admin_GetAdminTAV_BookingInfo"
  std::string code;       // ErrCode of the row ("" for statistics)
};

// Parses the command text strictly and runs its procedure on the store. Returns only once every
// change the answer reports is durable. Throws BadCommand or StoreUnavailable; on either, nothing
// was written.
Answer execute(Store& store, std::string_view commandText);

// Opens (creating it when `create` is set) the store at `location` and applies pending migrations.
// `location` is a file path for SQLite, or a postgresql:// (postgres://) URI for PostgreSQL, where
// creating means giving an empty database the schema. Throws StoreRejected, leaving a foreign or
// newer file or database untouched.
std::unique_ptr<Store> openStore(const std::string& location, bool create);

}  // namespace tav::server
