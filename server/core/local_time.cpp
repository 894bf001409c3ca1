// Reading and showing the machine's local time: the time zone is read here and nowhere else.
#include "server/core/local_time.h"

#include <ctime>
#include <regex>

#include "server/core/errors.h"

namespace tav::server {
namespace {

std::tm localParts(TimeMs at) {
  const std::time_t seconds = static_cast<std::time_t>(at / 1000);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  return tm;
}

std::string formatted(const std::tm& tm, const char* format) {
  char buf[64];
  return std::string(buf, std::strftime(buf, sizeof buf, format, &tm));
}

}  // namespace

TimeMs parseLocalTime(const std::string& text, const std::string& what) {
  static const std::regex dashed(R"((\d{4})-(\d{2})-(\d{2})(?:[ T](\d{2}):(\d{2})(?::(\d{2}))?)?)");
  static const std::regex compact(R"((\d{4})(\d{2})(\d{2})(\d{2})(\d{2}))");
  std::smatch m;
  const bool ok = std::regex_match(text, m, dashed) || std::regex_match(text, m, compact);
  const auto part = [&](std::size_t i) { return i < m.size() && m[i].matched ? std::stoi(m[i].str()) : 0; };
  std::tm tm{};
  if (ok) {
    tm.tm_year = part(1) - 1900;
    tm.tm_mon = part(2) - 1;
    tm.tm_mday = part(3);
    tm.tm_hour = part(4);
    tm.tm_min = part(5);
    tm.tm_sec = part(6);
    tm.tm_isdst = -1;
  }
  std::tm asked = tm;
  const std::time_t t = ok ? std::mktime(&tm) : -1;
  // mktime moves 31 April to 1 May: a time it had to move was not a real one.
  if (!ok || t == -1 || tm.tm_mday != asked.tm_mday || tm.tm_mon != asked.tm_mon || tm.tm_min != asked.tm_min ||
      tm.tm_sec != asked.tm_sec)
    throw SetupError(what + " \"" + text + "\" is not a local time such as 2026-04-04 or 2026-04-04 18:30.");
  return static_cast<TimeMs>(t) * 1000;
}

std::string formatLocalTime(TimeMs at, const char* format) { return formatted(localParts(at), format); }

LocalZone localZone(TimeMs at) {
  const std::tm tm = localParts(at);
  return {formatted(tm, "%Z (%z)"), static_cast<std::int64_t>(tm.tm_gmtoff / 60)};
}

}  // namespace tav::server
