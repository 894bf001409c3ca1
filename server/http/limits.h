// What a client may send the server, and how long it may take to send it or to read the answer.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "offline/handover.h"
#include "wire/protocol.h"

namespace tav::server {

// Largest command text accepted; anything longer is answered 413.
inline constexpr std::size_t kMaxCommandBytes = 8 * 1024;
// Largest body a request may carry, whatever its transfer coding: no route takes more than a
// command text.
inline constexpr std::size_t kMaxBodyBytes = kMaxCommandBytes;
// The one exception: a hand-over of offline decisions carries up to offline::kMaxHandoverLines lines.
inline std::size_t bodyLimit(std::string_view path) {
  return path == wire::kOfflineChecksPath ? offline::kMaxHandoverBytes : kMaxBodyBytes;
}
// The parser reads a header under this limit, and its path's own limit applies once it is known.
inline constexpr std::size_t kLargestBodyBytes = offline::kMaxHandoverBytes;
// What a body over its path's limit is answered with.
inline std::string bodyTooLong(std::string_view path) {
  return path == wire::kOfflineChecksPath ? "The hand-over is longer than 64 KiB; send fewer lines a request."
                                    : "The command text is longer than 8 KiB.";
}
// Header block (request line and fields) at most this long, else 431.
inline constexpr std::size_t kMaxHeaderBytes = 8 * 1024;
// A request must arrive whole within this time of its first byte.
inline constexpr std::chrono::seconds kRequestDeadline{10};
// A keep-alive connection that sends nothing for this long is closed.
inline constexpr std::chrono::seconds kIdleDeadline{60};
// A client that takes nothing of its answer or stream for this long is closed: a reader that never
// reads holds no more than the socket's send buffer, and that only this long.
inline constexpr std::chrono::seconds kWriteDeadline{10};
// A whole answer must be taken within this, however steadily: the largest page file, compressed,
// reaches a phone on a poor link in a few seconds, and a reader that takes a byte now and then
// to hold its connection and send buffer is closed.
inline constexpr std::chrono::seconds kAnswerDeadline{30};

}  // namespace tav::server
