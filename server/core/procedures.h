// The business object's two procedures, written against the store interface only.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <utility>

#include "server/core/caller.h"
#include "server/core/sign_in.h"
#include "server/core/store.h"
#include "wire/recordset.h"

namespace tav::server {

// The name a request goes by in the scan log, a session and the lockout: its station when the
// key named one, else the client's address.
std::string loggedSource(const Caller& caller);

// Operator sign-in: one row ErrCode, ErrMsg, bizcode, TheaterName, GoodsName. "0" with the
// venue's active event when the operator exists, is active, the password verifies, the ID is not
// locked out (from the caller's address, or everywhere) and the venue has an active event;
// otherwise "-1" with empty details, a lockout answered as a wrong password is. Every attempt is
// written to the scan log before the answer returns. The password is verified on every attempt,
// known ID or not, locked or not, outside the store's write path, so that the answer's time tells
// nothing. A "0" answer opens a session: its token goes to `sessionToken` when given.
wire::Recordset loginOperator(Store& store, const std::string& operatorId, const std::string& password,
                              const Caller& caller = {}, std::string* sessionToken = nullptr);

// Venue sign-in: the same row; needs the caller's live session of an operator of that venue
// ("-1" "다시 로그인하세요" without one, "-1" "미등록 운영자" for another venue's), then "0" with the
// venue's active event, "-1" for a venue without an active event.
wire::Recordset loginPlace(Store& store, const std::string& placeCode, const Caller& caller = {});

// How long a check's idempotency key is kept: a retry later than this is decided afresh.
inline constexpr TimeMs kCheckKeyLifetimeMs = 15 * 60 * 1000;

// The scan log's outcome for a check answered again from its idempotency key, not decided again.
inline constexpr const char* kOutcomeRepeat = "repeat";

struct CheckRequest {
  std::string mode, bizCode, block, ticketNo, operatorId;
};

// Ticket check (mode "I" entry, "O" exit): one row ErrCode, ErrMsg, CustName, TicketNo,
// GoodsName, PlayDate, PlaceName, SeatGradeName, SeatInfo, decided and written with its scan-log
// line in one transaction; returns once that is durable. Before anything else it needs the
// caller's live session, of the operator the command names and of the event's venue; without one
// only the refusal's scan-log line is written, and with the caller's tally only for the first few
// of its address and minute (the rest are counted there and write nothing). An event that is not its venue's active one is
// refused after the operator.
//
// With the caller's idempotency key the check first claims the key. A key an earlier check of the
// same command and operator kept, within kCheckKeyLifetimeMs, while the ticket is as that check
// left it, gets that check's answer again (the details read from the ticket), logged as a repeat
// and not decided again; otherwise the check is decided and the key keeps its answer. A key kept
// for another command or operator throws KeyMismatch, and nothing is written.
wire::Recordset checkTicket(Store& store, const CheckRequest& request, const Caller& caller = {});

// The same check without holding the caller's thread: `done` runs once, on a thread of the store,
// with the answer once it is durable, or with what checkTicket would have thrown.
void checkTicketAsync(Store& store, CheckRequest request, Caller caller,
                      std::function<void(wire::Recordset, std::exception_ptr)> done);

// Statistics (mode "S"): one row Total and each of kBlocks (integers): tickets of the event admitted
// at least once. Throws NotSignedIn without the caller's live session of the event's venue. An
// unknown business code gets the ticket check's "-1" refusal row.
wire::Recordset statistics(Store& store, const std::string& bizCode, const Caller& caller = {});

// Forgets the idempotency keys stamped more than kCheckKeyLifetimeMs from now, either way (a clock
// set back leaves keys stamped ahead of it); returns how many.
std::size_t forgetOldCheckKeys(Store& store);

// "HH:MM" of `at` in the server's local time.
std::string clockTime(TimeMs at);

}  // namespace tav::server
