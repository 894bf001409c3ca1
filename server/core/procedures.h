// The business object's two procedures, written against the store interface only.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "server/core/store.h"
#include "wire/recordset.h"

namespace tav::server {

// Five failed sign-ins of one operator ID within the window lock that ID for the duration.
inline constexpr int kMaxFailedLogins = 5;
inline constexpr TimeMs kLoginWindowMs = 10 * 60 * 1000;
inline constexpr TimeMs kLockoutMs = 10 * 60 * 1000;

// Operator sign-in: one row ErrCode, ErrMsg, bizcode, TheaterName, GoodsName. "0" with the
// venue's active event when the operator exists, is active, the password verifies, the ID is not
// locked out and the venue has an active event; otherwise "-1" with empty details. Every attempt
// is written to the scan log before the answer returns. The password hash is checked outside the
// store's write path.
wire::Recordset loginOperator(Store& store, const std::string& operatorId, const std::string& password);

// Venue sign-in: the same row; "0" with the venue's active event, "-1" for an unknown place code
// or a venue without an active event.
wire::Recordset loginPlace(Store& store, const std::string& placeCode);

struct CheckRequest {
  std::string mode, bizCode, block, ticketNo, operatorId;
};

// Ticket check (mode "I" entry, "O" exit): one row ErrCode, ErrMsg, CustName, TicketNo,
// GoodsName, PlayDate, PlaceName, SeatGradeName, SeatInfo, decided and written with its scan-log
// line in one transaction; returns once that is durable.
wire::Recordset checkTicket(Store& store, const CheckRequest& request);

// The same check without holding the caller's thread: `done` runs once, on a thread of the store,
// with the answer once it is durable, or with what checkTicket would have thrown.
void checkTicketAsync(Store& store, CheckRequest request,
                      std::function<void(wire::Recordset, std::exception_ptr)> done);

// Statistics (mode "S"): one row Total, E석, N석, S석, W석 (integers): tickets of the event admitted
// at least once. An unknown business code gets the ticket check's "-1" refusal row.
wire::Recordset statistics(Store& store, const std::string& bizCode);

// "HH:MM" of `at` in the server's local time.
std::string clockTime(TimeMs at);

}  // namespace tav::server
