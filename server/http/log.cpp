// Log lines from many threads, never interleaved, and the throttle that keeps a flood's lines few.
#include "server/http/log.h"

#include <algorithm>
#include <cstdio>
#include <vector>

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

namespace {

// How many of the sources that sent most a summary names.
constexpr std::size_t kTopSources = 3;

}  // namespace

ThrottledLog::ThrottledLog(Clock::duration window, std::size_t wholePerSource, std::size_t wholePerWindow)
    : window_(window), wholePerSource_(wholePerSource), wholePerWindow_(wholePerWindow), windowStart_(Clock::now()) {}

void ThrottledLog::note(const std::string& kind, const std::string& source, const std::string& line) {
  const auto now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  flushLocked(now, false);
  Kind& k = kinds_[kind];
  std::size_t* seen = nullptr;
  if (auto it = k.bySource.find(source); it != k.bySource.end()) {
    seen = &it->second;
  } else if (k.bySource.size() < kMaxSources) {
    seen = &k.bySource[source];
  }
  if (seen && *seen < wholePerSource_ && whole_ < wholePerWindow_) {
    ++*seen;
    ++whole_;
    logLine(line);
    return;
  }
  if (seen) {
    ++*seen;
  } else {
    ++k.otherSources;
  }
  ++k.counted;
}

void ThrottledLog::flush(bool everything) {
  const auto now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  flushLocked(now, everything);
}

void ThrottledLog::flushLocked(Clock::time_point now, bool everything) {
  if (!everything && now - windowStart_ < window_) return;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - windowStart_).count();
  for (auto& [name, k] : kinds_) {
    if (k.counted == 0) continue;
    std::vector<std::pair<std::string, std::size_t>> top(k.bySource.begin(), k.bySource.end());
    const std::size_t shown = std::min(kTopSources, top.size());
    std::partial_sort(top.begin(), top.begin() + static_cast<std::ptrdiff_t>(shown), top.end(),
                      [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string line = name + ": " + std::to_string(k.counted) + " more in the last " + std::to_string(seconds) +
                       " s, not written one by one, from " +
                       std::to_string(k.bySource.size()) + (k.otherSources > 0 ? " or more" : "") + " sources";
    for (std::size_t i = 0; i < shown; ++i)
      line += (i ? ", " : "; most from ") + top[i].first + " (" + std::to_string(top[i].second) + ")";
    logLine(line);
  }
  kinds_.clear();
  whole_ = 0;
  windowStart_ = now;
}

}  // namespace tav::server
