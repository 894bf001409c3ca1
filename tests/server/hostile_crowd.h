// A hostile crowd on the venue network, for the limits tests and the load benchmark: connections
// that send a request's header a line every few seconds and never finish it, connections opened
// and left idle, and wrong sign-ins on a schedule, from many loopback source addresses.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
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

// Raises this process's open-file limit to its hard limit, or to `wanted` when that is higher and
// this process may raise its hard limit (root may, up to fs.nr_open); returns the limit now in
// force: the crowd and the stations' connections are all this process's descriptors.
inline rlim_t raiseOpenFileLimit(rlim_t wanted = 0) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  if (wanted > files.rlim_max) {
    std::ifstream nrOpen("/proc/sys/fs/nr_open");
    rlim_t ceiling = wanted;
    if (nrOpen >> ceiling) wanted = std::min(wanted, ceiling);
    const rlimit raised{wanted, wanted};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return wanted;
  }
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

// The source address `n` steps after `first` (127.1.0.255 is followed by 127.1.1.0, all of 127/8
// being loopback), in dotted form.
inline std::string sourceAfter(const std::string& first, std::uint32_t n) {
  in_addr a{};
  inet_pton(AF_INET, first.c_str(), &a);
  a.s_addr = htonl(ntohl(a.s_addr) + n);
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

// A non-blocking socket from `source` whose connect to the server is under way (or done); -1 when
// this process has no descriptor or port left. The port is chosen at connect, so that one address
// may also reuse its ports' TIME_WAIT on loopback.
inline int startConnect(int port, const std::string& source, int receiveBuffer = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int yes = 1;
  setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &yes, sizeof yes);
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
    close(fd);
    return -1;
  }
  return fd;
}

// True once a connect that poll() reported on has succeeded.
inline bool connectSucceeded(int fd) {
  int error = 0;
  socklen_t size = sizeof error;
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// What a hostile crowd is made of: `slow` slow-header and `idle` idle connections, `perSource` to
// a source address (under tav-server's default cap of 512 per source, so that the cap does not
// simply close them), the addresses counted up from `firstSource`.
struct CrowdPlan {
  int slow = 0, idle = 0;
  int perSource = 400;
  std::string firstSource = "127.1.0.1";
  // Sent once by each idle connection as soon as it is connected (a request with a made-up
  // session cookie, say); its answer is read and the connection stays idle.
  std::string firstRequest;
  // Connections that send `churnRequest`, close at the first byte of the answer and connect again
  // at once: a cheap request flood. They come after the slow and idle ones.
  int churn = 0;
  std::string churnRequest;
  // Connections that send `readerRequest` (a large file's) and take its answer a little at a
  // time, through a small receive buffer: slow readers. They come last.
  int readers = 0;
  std::string readerRequest;
};

// A whole request for `path`, with `headers` (each ending in CRLF).
inline std::string getRequest(const std::string& path, const std::string& headers = {}) {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}

// A crowd that holds its connections open; one the server closes is opened again at once. The
// connects do not block, so a crowd larger than the server's open-file limit waits in the listen
// queue and behind it, as a real one would. Throws when this process cannot make the sockets.
class HostileCrowd {
 public:
  static constexpr auto kLineEvery = std::chrono::seconds(3);

  HostileCrowd(int port, int slow, int idle) : HostileCrowd(port, plan(slow, idle)) {}
  HostileCrowd(int port, const CrowdPlan& plan) : port_(port), plan_(plan) {
    const int total = plan.slow + plan.idle + plan.churn + plan.readers;
    for (int i = 0; i < total; ++i) {
      const auto source = static_cast<std::uint32_t>(i / std::max(plan.perSource, 1));
      const Kind kind = i < plan.slow                           ? Kind::Slow
                        : i < plan.slow + plan.idle              ? Kind::Idle
                        : i < plan.slow + plan.idle + plan.churn ? Kind::Churn
                                                                 : Kind::Reader;
      conns_.push_back({-1, kind, false, sourceAfter(plan.firstSource, source), {}});
      sources_ = source + 1;
      if (!open(conns_.back())) {
        for (const Conn& c : conns_)
          if (c.fd >= 0) close(c.fd);
        throw std::runtime_error("The crowd cannot connect from " + conns_.back().source +
                                 ": this process is out of descriptors or ports.");
      }
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

  // Connections whose connect has completed (the server has them, or its listen queue does).
  std::size_t connected() const { return connected_; }
  // Connections still waiting for their connect: the server's queue is full.
  std::size_t waiting() const { return waiting_; }
  // Connections the server closed after they were made, each opened again.
  std::size_t reopened() const { return reopened_; }
  // Answers the churning connections have had.
  std::size_t churned() const { return churned_; }
  std::size_t sources() const { return sources_; }

 private:
  static CrowdPlan plan(int slow, int idle) {
    CrowdPlan p;
    p.slow = slow;
    p.idle = idle;
    return p;
  }

  enum class Kind { Slow, Idle, Churn, Reader };
  static constexpr int kReaderBuffer = 4096;
  static constexpr std::size_t kReadEach = 512;
  struct Conn {
    int fd;
    Kind kind;
    bool up;
    std::string source;
    std::chrono::steady_clock::time_point nextLine;
  };

  bool open(Conn& c) {
    c.up = false;
    c.fd = startConnect(port_, c.source, c.kind == Kind::Reader ? kReaderBuffer : 0);  // -1: tried again later
    return c.fd >= 0;
  }

  // The connect completed: a slow connection starts its request, the others send theirs.
  void connected(Conn& c) {
    c.up = true;
    const std::string& request = c.kind == Kind::Churn    ? plan_.churnRequest
                                 : c.kind == Kind::Reader ? plan_.readerRequest
                                                          : plan_.firstRequest;
    c.nextLine = std::chrono::steady_clock::now() + kLineEvery;
    if (c.kind != Kind::Slow) {
      if (!request.empty()) ::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL);
      return;
    }
    const std::string start = "POST " + kQueryPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    ::send(c.fd, start.data(), start.size(), MSG_NOSIGNAL);
    c.nextLine = std::chrono::steady_clock::now() + kLineEvery;
  }

  void run() {
    std::vector<pollfd> fds(conns_.size());
    while (!stop_) {
      std::size_t up = 0, waiting = 0;
      for (std::size_t i = 0; i < conns_.size(); ++i) {
        const Conn& c = conns_[i];
        // A slow reader is not woken by its answer, only by its end (POLLHUP, POLLERR).
        const short wanted = !c.up ? POLLOUT : c.kind == Kind::Reader ? POLLRDHUP : POLLIN;
        fds[i] = pollfd{c.fd, wanted, 0};
        up += c.fd >= 0 && c.up;
        waiting += c.fd >= 0 && !c.up;
      }
      connected_ = up;
      waiting_ = waiting;
      poll(fds.data(), fds.size(), 200);
      const auto now = std::chrono::steady_clock::now();
      for (std::size_t i = 0; i < conns_.size(); ++i) {
        Conn& c = conns_[i];
        const short events = fds[i].revents;
        bool closed = c.fd < 0;
        if (!closed && !c.up && events) {
          closed = !connectSucceeded(c.fd);
          if (!closed) connected(c);
        } else if (!closed && c.up) {
          char sink[kReadEach];
          const bool due = c.kind == Kind::Reader && now >= c.nextLine;
          const bool woken = events & (POLLIN | POLLHUP | POLLERR | POLLRDHUP);
          const ssize_t n = woken || due ? recv(c.fd, sink, sizeof sink, MSG_DONTWAIT) : -1;
          closed = (woken && n <= 0) || (due && n == 0);
          if (due) c.nextLine = now + kLineEvery;
          if (!closed && c.kind == Kind::Slow && now >= c.nextLine) {
            closed = ::send(c.fd, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL | MSG_DONTWAIT) < 0;
            c.nextLine = now + kLineEvery;
          }
          if (closed) ++reopened_;
          if (!closed && n > 0 && c.kind == Kind::Churn) {
            ++churned_;
            closed = true;
          }
        }
        if (closed) {
          if (c.fd >= 0) close(c.fd);
          open(c);
        }
      }
    }
  }

  int port_;
  CrowdPlan plan_;
  std::vector<Conn> conns_;
  std::size_t sources_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> connected_{0}, waiting_{0}, reopened_{0}, churned_{0};
  std::thread thread_;
};

// What a sign-in flood is: `sources` addresses counted up from `firstSource`, each sending
// `perMinute` operator sign-ins for `operatorId` with a wrong password, each on a new connection,
// on its own schedule whatever the answers (as a script does), and waiting `patience` for each
// answer.
struct FloodPlan {
  int sources = 40;
  int perMinute = 110;  // under tav-server's default 120 sign-ins a minute per source
  std::string firstSource = "127.2.0.1";
  std::string operatorId;
  std::string password = "wrong-password";
  std::chrono::milliseconds patience{10000};
};

// A flood of wrong operator sign-ins from many addresses, the command text as the station builds
// it; the answers counted by HTTP status ("200", "429", "503", ...), "no connection" for a
// connect that failed or did not complete within the patience, "no answer" for a connection that
// ended, or whose wait ran out, without one.
class SignInFlood {
 public:
  SignInFlood(int port, const FloodPlan& plan) : port_(port), plan_(plan) {
    const std::string text = kLoginProc + quoted(plan.operatorId) + "," + quoted(plan.password);
    request_ = "POST " + kQueryPath + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
               "\r\nConnection: close\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
               std::to_string(text.size()) + "\r\n\r\n" + text;
    thread_ = std::thread([this] { run(); });
  }
  ~SignInFlood() {
    stop_ = true;
    thread_.join();
    for (const Attempt& a : attempts_) close(a.fd);
  }
  SignInFlood(const SignInFlood&) = delete;
  SignInFlood& operator=(const SignInFlood&) = delete;

  std::map<std::string, std::size_t> answers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_;
  }
  std::size_t sent() const { return sent_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Attempt {
    int fd;
    bool up;
    Clock::time_point giveUp;
    std::string answer;
  };

  void count(const std::string& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++answers_[status];
  }

  void run() {
    const int sources = std::max(plan_.sources, 1);
    const auto every = std::chrono::duration_cast<Clock::duration>(std::chrono::minutes(1)) / std::max(plan_.perMinute, 1);
    // The addresses' schedules spread over one interval, not all at once.
    std::vector<Clock::time_point> next(static_cast<std::size_t>(sources));
    for (int s = 0; s < sources; ++s) next[static_cast<std::size_t>(s)] = Clock::now() + every * s / sources;
    std::vector<pollfd> fds;
    while (!stop_) {
      auto now = Clock::now();
      Clock::time_point wake = now + std::chrono::milliseconds(200);
      for (int s = 0; s < sources; ++s) {
        auto& due = next[static_cast<std::size_t>(s)];
        for (; due <= now; due += every) {
          ++sent_;
          const int fd = startConnect(port_, sourceAfter(plan_.firstSource, static_cast<std::uint32_t>(s)));
          if (fd < 0) {
            count("no connection");
          } else {
            attempts_.push_back({fd, false, now + plan_.patience, {}});
          }
        }
        wake = std::min(wake, due);
      }
      fds.resize(attempts_.size());
      for (std::size_t i = 0; i < attempts_.size(); ++i)
        fds[i] = pollfd{attempts_[i].fd, static_cast<short>(attempts_[i].up ? POLLIN : POLLOUT), 0};
      const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
      poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(waitMs, 0) + 1));
      now = Clock::now();
      std::size_t kept = 0;
      for (std::size_t i = 0; i < attempts_.size(); ++i) {
        Attempt& a = attempts_[i];
        std::string result;  // empty while the attempt goes on
        if (fds[i].revents && !a.up) {
          a.up = connectSucceeded(a.fd) &&
                 ::send(a.fd, request_.data(), request_.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request_.size());
          if (!a.up) result = "no connection";
        } else if (fds[i].revents) {
          char chunk[512];
          const ssize_t n = recv(a.fd, chunk, sizeof chunk, MSG_DONTWAIT);
          if (n > 0) a.answer.append(chunk, static_cast<std::size_t>(n));
          // The status line is all that is counted.
          if (a.answer.size() >= 12) result = a.answer.substr(9, 3);
          else if (n == 0 || (n < 0 && errno != EAGAIN)) result = "no answer";
        }
        if (result.empty() && now >= a.giveUp) result = a.up ? "no answer" : "no connection";
        if (result.empty()) {
          attempts_[kept++] = std::move(a);
          continue;
        }
        close(a.fd);
        count(result);
      }
      attempts_.resize(kept);
    }
  }

  int port_;
  FloodPlan plan_;
  std::string request_;
  std::vector<Attempt> attempts_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> sent_{0};
  mutable std::mutex mutex_;
  std::map<std::string, std::size_t> answers_;
  std::thread thread_;
};

}  // namespace tav::test
