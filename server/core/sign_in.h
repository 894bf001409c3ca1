// What an operator's sign-in may try before it is locked out, and how an unknown ID is logged.
#pragma once

#include "server/core/store.h"

namespace tav::server {

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

}  // namespace tav::server
