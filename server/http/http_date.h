// The Date header every answer carries: the time in the one form HTTP dates take.
#pragma once

#include <chrono>
#include <string>

namespace tav::server {

// `at` in the IMF-fixdate form of RFC 9110 ("Sun, 06 Nov 1994 08:49:37 GMT"), in English whatever
// the machine's locale.
std::string httpDate(std::chrono::system_clock::time_point at);

// The date of now, formatted at most once a second per thread: every answer asks for it.
const std::string& httpDateNow();

}  // namespace tav::server
