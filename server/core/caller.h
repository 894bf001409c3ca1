// Who sent a request: what every procedure is told about the client besides the command.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

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
  // sign-ins locked, by its station rather than its address, and a session opened through a
  // station serves requests with that station's key only. The directory may be a moment behind a
  // removal; the procedures ask the store where that matters.
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

}  // namespace tav::server
