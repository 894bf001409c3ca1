// A gate station for the load benchmarks that speaks just enough HTTP/1.1, plain or over TLS,
// on a keep-alive connection or a new one per check as the real station does, and reads an
// answer's ErrCode without a JSON parser.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>

#include "tests/server/server_process.h"

namespace tav::bench {

// ErrCode is the first field of every check answer: read it without a full JSON parse, so the
// load generator spends as little of the shared CPUs as it can.
inline std::string firstValue(const std::string& body) {
  const auto start = body.find("[[\"");
  if (start == std::string::npos) return "?";
  const auto end = body.find('"', start + 3);
  return end == std::string::npos ? "?" : body.substr(start + 3, end - start - 3);
}

// A new idempotency key for a check, as the station makes one per scan: unique within this run (a
// counter) and across runs on the same store (a prefix drawn at start), without the cost of
// random bytes for every check.
inline std::string nextIdempotencyKey() {
  static const std::string prefix = [] {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::random_device random;
    std::string p;
    for (int i = 0; i < 6; ++i) p += alphabet[random() % 64];
    return p;
  }();
  static std::atomic<std::uint64_t> counter{0};
  const std::string digits = std::to_string(counter++);
  return prefix + std::string(16 - digits.size(), '0') + digits;
}

// How a station reaches the server: from which loopback address (127.0.0.1 when empty), and
// whether each request goes on a new connection, as the real station's gateway sends it, with
// the gateway's time-outs (3 s to connect, 10 s for the answer).
struct StationLink {
  std::string source;
  bool connectionPerRequest = false;
  bool idempotencyKeys = true;  // every request carries a new key, as the station's checks do
};

// A gate station that speaks just enough HTTP/1.1: one send per request and as few receives as
// the answer needs. The stations are separate machines at a gate; here they share the servers'
// two cores, so they should take as little of them as they can.
class LeanStation {
 public:
  // `tls`: a client context to speak TLS with, or null for plain HTTP; `session`: the token of the
  // signed-in operator's session, sent as its cookie.
  LeanStation(int port, SSL_CTX* tls, const std::string& session, StationLink link = {})
      : port_(port), tls_(tls), cookie_(session.empty() ? "" : "Cookie: tav_session=" + session + "\r\n"),
        link_(std::move(link)) {
    if (!link_.connectionPerRequest) connect();
  }
  ~LeanStation() { disconnect(); }
  LeanStation(const LeanStation&) = delete;
  LeanStation& operator=(const LeanStation&) = delete;

  // The answer's ErrCode, or "failed (why)". A keep-alive connection the server closed is opened
  // again once; a request on a connection of its own is tried once, as the real station does.
  std::string post(const std::string& text) {
    request_ = "POST " + tav::test::kQueryPath + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
               "\r\n" + (link_.connectionPerRequest ? "Connection: close\r\n" : "") + cookie_ +
               (link_.idempotencyKeys ? "Idempotency-Key: " + nextIdempotencyKey() + "\r\n" : "") +
               "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(text.size()) +
               "\r\n\r\n" + text;
    std::string answer;
    if (link_.connectionPerRequest) {
      if (!connect()) return "failed (connect)";
      const bool whole = exchange(answer);
      disconnect();
      return whole ? answer : answer.empty() ? "failed (connection)" : answer;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (fd_ < 0 && !connect()) return "failed (connect)";
      if (exchange(answer)) return answer;
      disconnect();
    }
    return answer.empty() ? "failed (connection)" : answer;
  }

 private:
  bool connect() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    int yes = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    // Linux bounds a blocking connect by the send time-out.
    const timeval connectTimeout{link_.connectionPerRequest ? 3 : 30, 0};
    const timeval readTimeout{link_.connectionPerRequest ? 10 : 30, 0};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &connectTimeout, sizeof connectTimeout);
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &readTimeout, sizeof readTimeout);
    if (!link_.source.empty()) {
      // The port is chosen at connect, so that a station's closed connections' TIME_WAIT may be
      // reused on loopback.
      setsockopt(fd_, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &yes, sizeof yes);
      sockaddr_in from{};
      from.sin_family = AF_INET;
      inet_pton(AF_INET, link_.source.c_str(), &from.sin_addr);
      if (bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        disconnect();
        return false;
      }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      disconnect();
      return false;
    }
    if (tls_) {
      ssl_ = SSL_new(tls_);
      SSL_set_fd(ssl_, fd_);
      if (SSL_connect(ssl_) != 1) {
        disconnect();
        return false;
      }
    }
    return true;
  }

  void disconnect() {
    if (ssl_) SSL_free(ssl_);
    ssl_ = nullptr;
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  ssize_t write(const std::string& bytes) {
    if (ssl_) return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }

  ssize_t read(char* into, std::size_t size) {
    if (ssl_) return SSL_read(ssl_, into, static_cast<int>(size));
    return recv(fd_, into, size, 0);
  }

  // False when the connection broke before a whole answer came; `answer` says why when it is
  // not worth another attempt.
  bool exchange(std::string& answer) {
    if (write(request_) != static_cast<ssize_t>(request_.size())) return false;
    buffer_.clear();
    std::size_t headerEnd = std::string::npos, total = 0;
    while (total == 0 || buffer_.size() < total) {
      char chunk[4096];
      const ssize_t n = read(chunk, sizeof chunk);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) answer = "failed (time-out)";
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(n));
      if (headerEnd == std::string::npos) {
        headerEnd = buffer_.find("\r\n\r\n");
        if (headerEnd == std::string::npos) continue;
        const std::size_t length = contentLength(headerEnd);
        if (length == std::string::npos) {
          answer = "failed (no Content-Length)";
          return true;
        }
        total = headerEnd + 4 + length;
      }
    }
    if (buffer_.compare(0, 12, "HTTP/1.1 200") != 0) {
      answer = "failed (" + buffer_.substr(9, 3) + ")";
      return true;
    }
    answer = firstValue(buffer_.substr(headerEnd + 4));
    return true;
  }

  std::size_t contentLength(std::size_t headerEnd) const {
    static const std::string name = "\r\ncontent-length:";
    for (std::size_t at = buffer_.find("\r\n"); at < headerEnd; at = buffer_.find("\r\n", at + 2)) {
      if (strncasecmp(buffer_.c_str() + at, name.c_str(), name.size()) == 0)
        return std::strtoul(buffer_.c_str() + at + name.size(), nullptr, 10);
    }
    return std::string::npos;
  }

  int port_;
  SSL_CTX* tls_;
  std::string cookie_;
  StationLink link_;
  int fd_ = -1;
  SSL* ssl_ = nullptr;
  std::string request_, buffer_;
};

}  // namespace tav::bench
