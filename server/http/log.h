// The server's log: one line at a time on stderr, whoever writes it.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

namespace tav::server {

// One line on stderr, prefixed with the local time and the program name.
void logLine(const std::string& message);

// Lines that a flood would repeat by the thousand (error answers, refusals): in each window the
// first few of a kind from one source, and the first of all kinds up to a total, are written
// whole; the rest are counted and summed up in one line per kind when the window ends, with the
// sources that sent most. However many requests or addresses, a window writes at most
// `wholePerWindow` lines plus one per kind. Thread-safe.
class ThrottledLog {
 public:
  using Clock = std::chrono::steady_clock;

  ThrottledLog(Clock::duration window, std::size_t wholePerSource, std::size_t wholePerWindow);

  // `kind` names what the line is about ("error 429"); `source` whom (an address).
  void note(const std::string& kind, const std::string& source, const std::string& line);
  // Writes the summaries of a window that has ended, or of the one under way too with `everything`
  // (the server stopping); note() does it as well, and the service calls it now and then so that a
  // flood that stops is summed up without waiting for the next line.
  void flush(bool everything = false);

 private:
  struct Kind {
    std::unordered_map<std::string, std::size_t> bySource;  // every line, whole or counted
    std::size_t counted = 0;      // lines not written whole
    std::size_t otherSources = 0;  // counted lines of sources past kMaxSources
  };
  void flushLocked(Clock::time_point now, bool everything);

  // Sources remembered per kind in a window: past it, a stranger's fresh addresses are only counted.
  static constexpr std::size_t kMaxSources = 4096;
  const Clock::duration window_;
  const std::size_t wholePerSource_, wholePerWindow_;
  std::mutex mutex_;
  Clock::time_point windowStart_;
  std::size_t whole_ = 0;
  std::map<std::string, Kind> kinds_;
};

}  // namespace tav::server
