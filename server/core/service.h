// What the HTTP layer calls on the back-end: run one command text against a store.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "server/core/errors.h"
#include "wire/recordset.h"

namespace tav::server {

class Store;

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

}  // namespace tav::server
