// Log lines from many threads, never interleaved.
#include "server/http/log.h"

#include <cstdio>
#include <mutex>

#include "server/core/match_day.h"
#include "server/core/store.h"

namespace tav::server {

void logLine(const std::string& message) {
  static std::mutex logMutex;
  const std::string stamp = formatLocalTime(Store::systemNow());
  std::lock_guard<std::mutex> lock(logMutex);
  std::fprintf(stderr, "%s tav-server: %s\n", stamp.c_str(), message.c_str());
  std::fflush(stderr);
}

}  // namespace tav::server
