// HTTP dates, written by hand: strftime's day and month names follow the locale.
#include "server/http/http_date.h"

#include <cstdio>
#include <ctime>

namespace tav::server {

std::string httpDate(std::chrono::system_clock::time_point at) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t t = std::chrono::system_clock::to_time_t(at);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7], tm.tm_mday,
                kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

const std::string& httpDateNow() {
  thread_local std::time_t second = -1;
  thread_local std::string text;
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  if (t != second) {
    second = t;
    text = httpDate(now);
  }
  return text;
}

}  // namespace tav::server
