// What the offline tests and the hand-over bench write as a station would: a value in a URL's
// query, and an offline entry of the station's journal.
#pragma once

#include <cctype>
#include <cstdint>
#include <string>

#include "offline/journal.h"

namespace tav::test {

// Every byte but the unreserved ones percent-encoded, as a station puts a block's name in a URL.
inline std::string urlEncoded(const std::string& text) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// An entry the station decided offline at `at` (ms since 1970 UTC), with a key made of its sequence.
inline offline::Decision offlineEntry(std::int64_t seq, const std::string& ticket, std::int64_t at,
                                      const std::string& bizCode, const std::string& operatorId,
                                      const std::string& block = "E석") {
  offline::Decision d;
  d.sequence = seq;
  d.idempotencyKey = std::string(18, 'H') + std::to_string(1000 + seq);
  d.utcMs = at;
  d.bizCode = bizCode;
  d.mode = "I";
  d.block = block;
  d.ticketNo = ticket;
  d.operatorId = operatorId;
  d.outcome = "entry";
  return d;
}

}  // namespace tav::test
