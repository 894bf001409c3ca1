// Dashboards on tav-server's ingress event stream over plain sockets, for the dashboard's tests
// and the load benchmarks: one page, or many read by one thread that counts their snapshots.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/server/hostile_crowd.h"

namespace tav::test {

// A page's event stream, its request sent; `cookie` is "tav_session=<token>" of an admin's
// session. Throws when it cannot be opened.
inline int openEventStream(int port, const std::string& cookie) {
  const std::string request = "GET /api/v1/ingress/stream HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
                              "Cookie: " + cookie + "\r\n\r\n";
  const int fd = connectFrom(port, "127.0.0.1");
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    close(fd);
    throw std::runtime_error("The event stream could not be opened.");
  }
  return fd;
}

class EventStreams {
 public:
  // `count` pages of the admin session `cookie`; a page that cannot be opened is left out.
  EventStreams(int port, const std::string& cookie, int count) {
    for (int i = 0; i < count; ++i) {
      try {
        fds_.push_back(openEventStream(port, cookie));
      } catch (const std::runtime_error&) {
      }
    }
    reader_ = std::thread([this] { read(); });
  }
  ~EventStreams() {
    stop_ = true;
    reader_.join();
    for (int fd : fds_) close(fd);
  }
  EventStreams(const EventStreams&) = delete;
  EventStreams& operator=(const EventStreams&) = delete;

  // Snapshots received by all the pages so far.
  std::size_t events() const { return events_.load(); }
  std::size_t open() const { return fds_.size(); }

 private:
  void read() {
    std::vector<pollfd> polls;
    for (int fd : fds_) polls.push_back({fd, POLLIN, 0});
    std::vector<char> buf(1 << 16);
    while (!stop_) {
      if (poll(polls.data(), polls.size(), 100) <= 0) continue;
      for (auto& p : polls) {
        if (!(p.revents & POLLIN)) continue;
        const ssize_t n = recv(p.fd, buf.data(), buf.size(), 0);
        if (n <= 0) {
          p.fd = -1;  // poll skips it from now on
          continue;
        }
        for (ssize_t i = 0; i + 5 < n; ++i)
          if (std::string_view(buf.data() + i, 6) == "data: ") events_.fetch_add(1);
      }
    }
  }

  std::vector<int> fds_;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> events_{0};
};

}  // namespace tav::test
