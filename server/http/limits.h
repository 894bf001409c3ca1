// What a client may send the server, and how long it may take to send it or to read the answer.
#pragma once

#include <chrono>
#include <cstddef>

namespace tav::server {

// Largest command text accepted; anything longer is answered 413.
inline constexpr std::size_t kMaxCommandBytes = 8 * 1024;
// Largest body a request may carry, whatever its transfer coding: no route takes more than a
// command text.
inline constexpr std::size_t kMaxBodyBytes = kMaxCommandBytes;
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
