// Dashboards for the load benchmarks: pages on tav-server's ingress event stream, read by one
// thread over plain sockets, counting the snapshots they receive.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tav::bench {

class EventStreams {
 public:
  // `cookie` is "tav_session=<token>" of an admin's session.
  EventStreams(int port, const std::string& cookie, int count) {
    const std::string request = "GET /api/v1/ingress/stream HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
                                "Cookie: " + cookie + "\r\n\r\n";
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < count; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) continue;
      if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        fds_.push_back(fd);
      } else {
        close(fd);
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

}  // namespace tav::bench
