// The machine's local time as the server reads and shows it: one reading of the time zone for
// every export, message, dashboard figure and command line output.
#pragma once

#include <cstdint>
#include <string>

#include "server/core/store.h"

namespace tav::server {

// A local date and time as --since and --until take it: "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]"
// (or with a T between) or "YYYYMMDDHHMM"; SetupError naming `what` when it is none of them or
// not a real time.
TimeMs parseLocalTime(const std::string& text, const std::string& what);

// `at` in the machine's local time, by strftime's `format` ("YYYY-MM-DD HH:MM:SS" unless given):
// the one way the server shows a time.
std::string formatLocalTime(TimeMs at, const char* format = "%Y-%m-%d %H:%M:%S");

// The machine's time zone as it stands at a moment (summer time changes the offset).
struct LocalZone {
  std::string name;                  // as "KST (+0900)"
  std::int64_t utcOffsetMinutes = 0;  // east of UTC
};
LocalZone localZone(TimeMs at);

}  // namespace tav::server
