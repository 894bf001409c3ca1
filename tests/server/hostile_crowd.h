// A hostile crowd on the venue network, for the limits test and the load benchmark: connections
// that send a request's header a line every few seconds and never finish it, and connections
// opened and left idle, from many loopback source addresses.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/server/server_process.h"

namespace tav::test {

// A TCP connection to the server from `source`, any address of 127/8 (all of it is loopback).
// Throws when it cannot be made.
inline int connectFrom(int port, const std::string& source) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("Cannot connect from " + source);
  }
  return fd;
}

// Raises this process's open-file limit to its hard limit, and returns the limit now in force:
// the crowd and the stations' connections are all this process's descriptors.
inline rlim_t raiseOpenFileLimit() {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  return files.rlim_cur;
}

// A field of /proc/PID/status in kB ("VmRSS", "VmHWM", "RssAnon"), or -1.
inline long statusKb(int pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  return -1;
}

// `slow` slow-header and `idle` idle connections, kPerSource to a source address (under
// tav-server's default cap of 512 per source, so that the cap does not simply close them); one the
// server closes is opened again at once. Throws when the crowd cannot connect at first.
class HostileCrowd {
 public:
  static constexpr int kPerSource = 400;
  static constexpr auto kLineEvery = std::chrono::seconds(3);

  HostileCrowd(int port, int slow, int idle) : port_(port) {
    for (int i = 0; i < slow + idle; ++i) {
      conns_.push_back({-1, i < slow, "127.1.0." + std::to_string(1 + i / kPerSource), {}});
      if (!open(conns_.back())) throw std::runtime_error("The crowd cannot connect from " + conns_.back().source);
    }
    thread_ = std::thread([this] { run(); });
  }
  ~HostileCrowd() {
    stop_ = true;
    thread_.join();
    for (const Conn& c : conns_)
      if (c.fd >= 0) close(c.fd);
  }
  HostileCrowd(const HostileCrowd&) = delete;
  HostileCrowd& operator=(const HostileCrowd&) = delete;

  std::size_t connected() const { return connected_; }
  std::size_t reopened() const { return reopened_; }

 private:
  struct Conn {
    int fd;
    bool slow;
    std::string source;
    std::chrono::steady_clock::time_point nextLine;
  };

  bool open(Conn& c) {
    try {
      c.fd = connectFrom(port_, c.source);
    } catch (const std::runtime_error&) {
      c.fd = -1;  // tried again on the next round
      return false;
    }
    if (!c.slow) return true;
    const std::string start = "POST " + kQueryPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    ::send(c.fd, start.data(), start.size(), MSG_NOSIGNAL);
    c.nextLine = std::chrono::steady_clock::now() + kLineEvery;
    return true;
  }

  void run() {
    std::vector<pollfd> fds(conns_.size());
    while (!stop_) {
      std::size_t up = 0;
      for (std::size_t i = 0; i < conns_.size(); ++i) {
        fds[i] = pollfd{conns_[i].fd, POLLIN, 0};
        up += conns_[i].fd >= 0;
      }
      connected_ = up;
      poll(fds.data(), fds.size(), 200);
      const auto now = std::chrono::steady_clock::now();
      for (std::size_t i = 0; i < conns_.size(); ++i) {
        Conn& c = conns_[i];
        char sink[512];
        bool closed = c.fd < 0 || ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) &&
                                   recv(c.fd, sink, sizeof sink, MSG_DONTWAIT) <= 0);
        if (!closed && c.slow && now >= c.nextLine) {
          closed = ::send(c.fd, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL | MSG_DONTWAIT) < 0;
          c.nextLine = now + kLineEvery;
        }
        if (closed) {
          if (c.fd >= 0) close(c.fd);
          open(c);
          ++reopened_;
        }
      }
    }
  }

  int port_;
  std::vector<Conn> conns_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> connected_{0}, reopened_{0};
  std::thread thread_;
};

}  // namespace tav::test
