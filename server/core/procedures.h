// The business object's two procedures, written against the store interface only.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <utility>

#include "server/core/store.h"
#include "wire/recordset.h"

namespace tav::server {

class SessionlessTally;

// Who sent a request, as far as the procedures need to know: the client's address for the scan
// log and the sign-in lockout ("local" for the setup tool, empty where nobody is to be named), the
// session token it came with, and the station its key named.
struct Caller {
  Caller() = default;
  Caller(std::string from, std::string token = {}) : source(std::move(from)), sessionToken(std::move(token)) {}

  std::string source;
  std::string sessionToken;
  std::string sourceGroup;  // what per-address counts count the client as (empty: source itself)
  // The registered station the key names (0: no key, or one that names no live station) and its
  // venue, as the server's station directory found them: such a request is logged, and its
  // sign-ins locked, by its station rather than its address.
  std::int64_t station = 0;
  std::string stationPlace;
  // The server takes no station request without a key (serve --require-station-key): an operator
  // sign-in without one may open an admin's session only, the dashboard's.
  bool stationRequired = false;
  // The ticket check's idempotency key (wire::isIdempotencyKey), or empty: a retry of a check
  // carries its first attempt's key and gets that attempt's answer.
  std::string idempotencyKey;
  // Where a server counts requests without a live session: beyond the first few of an address and
  // minute they are counted there and write nothing. Null: each writes its line.
  SessionlessTally* sessionless = nullptr;
};

// The name a request goes by in the scan log, a session and the lockout: its station when the
// key named one, else the client's address.
std::string loggedSource(const Caller& caller);

// Five failed sign-ins of one operator ID from one source address within the window lock that ID
// for that address for the duration; fifty from all addresses within an hour lock it everywhere
// for an hour. A sign-in through a registered station of the operator's venue counts by its
// station instead: five failures there lock that station's sign-ins of the ID, and failures from
// elsewhere, the fifty included, never lock it. unlockOperator (setup.h) ends them all.
inline constexpr int kMaxFailedLogins = 5;
inline constexpr TimeMs kLoginWindowMs = 10 * 60 * 1000;
inline constexpr TimeMs kLockoutMs = 10 * 60 * 1000;
inline constexpr int kMaxFailedLoginsEverywhere = 50;
inline constexpr TimeMs kLoginWindowEverywhereMs = 60 * 60 * 1000;
inline constexpr TimeMs kLockoutEverywhereMs = 60 * 60 * 1000;

// What the scan log shows for an ID that is no operator's: it may be a password typed into the
// wrong box, so it is never kept in clear.
inline constexpr const char* kUnknownIdInLog = "?";

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

// Forgets the idempotency keys older than kCheckKeyLifetimeMs; returns how many.
std::size_t forgetOldCheckKeys(Store& store);

// "HH:MM" of `at` in the server's local time.
std::string clockTime(TimeMs at);

}  // namespace tav::server
