// The fault proxy's one thread: a poll loop over the listener and every client's pair of sockets.
#include "tests/support/fault_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <stdexcept>
#include <vector>

namespace tav::test {
namespace {

// Bytes held per direction before the proxy stops reading from the sender, as a network would.
constexpr std::size_t kBufferLimit = 256 * 1024;

sockaddr_in addressOf(const std::string& host, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1)
    throw std::runtime_error("The fault proxy takes IPv4 addresses only, not \"" + host + "\".");
  return a;
}

// A socket bound to the proxy's port that other sockets of this process may share.
int boundSocket(const sockaddr_in& address) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Closes with an RST instead of a FIN: the peer sees a reset connection, not an end of stream.
void reset(int& fd) {
  if (fd < 0) return;
  const linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
  fd = -1;
}

void closeQuietly(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// One client's connection and the proxy's connection to the target for it.
struct Link {
  int client = -1, server = -1;
  bool connected = false;          // the target accepted the proxy's connection
  bool clientEnded = false, serverEnded = false;
  bool upShut = false, downShut = false;  // the end of stream passed on
  bool held = false;               // open during a black hole: never forwarded again
  std::string up, down;            // client → target, target → client
  bool done() const { return client < 0 && server < 0; }
  void resetBoth() {
    reset(client);
    reset(server);
  }
};

// Reads what is there into `into`; false at the end of stream or on an error.
bool readInto(int fd, std::string& into) {
  char chunk[16384];
  for (;;) {
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n > 0) {
      into.append(chunk, static_cast<std::size_t>(n));
      if (into.size() >= kBufferLimit) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
}

// Writes what the socket takes; false on an error.
bool writeFrom(int fd, std::string& from) {
  while (!from.empty()) {
    const ssize_t n = send(fd, from.data(), from.size(), MSG_NOSIGNAL);
    if (n > 0) {
      from.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return true;
}

}  // namespace

FaultProxy::FaultProxy(std::uint16_t listenPort, std::string targetHost, std::uint16_t targetPort,
                       std::string listenHost)
    : targetHost_(std::move(targetHost)), targetPort_(targetPort), listenHost_(std::move(listenHost)) {
  addressOf(targetHost_, targetPort_);
  holder_ = boundSocket(addressOf(listenHost_, listenPort));
  if (holder_ < 0)
    throw std::runtime_error("The fault proxy cannot listen on " + listenHost_ + ":" + std::to_string(listenPort) +
                             ": " + std::strerror(errno) + ".");
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(holder_, reinterpret_cast<sockaddr*>(&bound), &length);
  port_ = ntohs(bound.sin_port);
  // Listening before the constructor returns: the first client must not find the port refusing.
  listener_ = boundSocket(addressOf(listenHost_, port_));
  if (listener_ < 0 || listen(listener_, SOMAXCONN) != 0 || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    closeQuietly(listener_);
    closeQuietly(holder_);
    throw std::runtime_error("The fault proxy cannot listen on " + listenHost_ + ":" + std::to_string(port_) + ".");
  }
  thread_ = std::thread([this] { loop(); });
}

FaultProxy::~FaultProxy() {
  stop_ = true;
  const char byte = 0;
  if (write(wake_[1], &byte, 1) < 0) { /* the pipe is full: the thread wakes anyway */ }
  thread_.join();
  closeQuietly(holder_);
  closeQuietly(wake_[0]);
  closeQuietly(wake_[1]);
}

void FaultProxy::setMode(Mode mode) {
  std::unique_lock lock(changeMutex_);
  mode_ = mode;
  const long long ticket = ++changesAsked_;
  const char byte = 0;
  if (write(wake_[1], &byte, 1) < 0) { /* the pipe is full: the thread wakes anyway */ }
  // Returns once the thread has acted on it, so that the next connect already meets the new mode.
  changeApplied_.wait(lock, [&] { return changesDone_ >= ticket; });
}

void FaultProxy::loop() {
  const sockaddr_in listenAddress = addressOf(listenHost_, port_);
  const sockaddr_in target = addressOf(targetHost_, targetPort_);
  int listener = listener_;
  std::list<Link> links;
  Mode applied = Mode::Pass;
  bool first = true;

  const auto openListener = [&] {
    if (listener >= 0) return;
    listener = boundSocket(listenAddress);
    if (listener >= 0 && listen(listener, SOMAXCONN) != 0) closeQuietly(listener);
  };
  const auto accept = [&](Mode mode) {
    for (;;) {
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) return;
      ++connections_;
      Link& link = links.emplace_back();
      link.client = fd;
      if (mode == Mode::BlackHole) {
        link.held = true;
        continue;
      }
      link.server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (link.server < 0) {
        link.resetBoth();
        continue;
      }
      // From the client's own address, so that the target still tells clients apart.
      const int yes = 1;
      setsockopt(link.server, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &yes, sizeof yes);
      from.sin_port = 0;
      bind(link.server, reinterpret_cast<const sockaddr*>(&from), sizeof from);
      if (connect(link.server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) link.connected = true;
      else if (errno != EINPROGRESS) link.resetBoth();
    }
  };

  std::vector<pollfd> fds;
  std::vector<Link*> owners;  // per pollfd from index 2: its link
  while (!stop_) {
    // Apply a new mode before anything else is read or forwarded.
    const Mode mode = mode_.load();
    if (first || mode != applied) {
      if (mode == Mode::Refuse) {
        closeQuietly(listener);  // queued connects are reset with it; new ones meet the unlistening holder
        for (Link& l : links) l.resetBoth();
      } else {
        openListener();
      }
      if (mode == Mode::BlackHole)
        for (Link& l : links) l.held = true;
      if (applied == Mode::BlackHole && mode != Mode::BlackHole)
        for (Link& l : links)
          if (l.held) l.resetBoth();
      applied = mode;
      first = false;
    }
    {
      std::lock_guard lock(changeMutex_);
      if (changesDone_ != changesAsked_ && mode_.load() == applied) {
        changesDone_ = changesAsked_;
        changeApplied_.notify_all();
      }
    }
    links.remove_if([](const Link& l) { return l.done(); });

    fds.clear();
    owners.clear();
    fds.push_back({wake_[0], POLLIN, 0});
    fds.push_back({listener, static_cast<short>(listener >= 0 ? POLLIN : 0), 0});
    for (Link& l : links) {
      if (l.held) continue;  // silence: not even an end of stream is noticed
      short clientEvents = 0, serverEvents = 0;
      if (!l.clientEnded && l.up.size() < kBufferLimit) clientEvents |= POLLIN;
      if (!l.down.empty()) clientEvents |= POLLOUT;
      if (!l.connected) serverEvents |= POLLOUT;
      else {
        if (!l.serverEnded && l.down.size() < kBufferLimit) serverEvents |= POLLIN;
        if (!l.up.empty()) serverEvents |= POLLOUT;
      }
      fds.push_back({l.client, clientEvents, 0});
      owners.push_back(&l);
      fds.push_back({l.server, serverEvents, 0});
      owners.push_back(&l);
    }
    const int timeout = listener < 0 && applied != Mode::Refuse ? 100 : -1;  // a listener to open again
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    if (fds[0].revents) {
      char drain[64];
      while (read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    if (mode_.load() != applied) continue;
    if (fds[1].revents && listener >= 0) accept(applied);

    for (std::size_t i = 2; i < fds.size(); i += 2) {
      Link& l = *owners[i - 2];
      const short clientReady = fds[i].revents, serverReady = fds[i + 1].revents;
      if (l.client < 0 || l.server < 0) continue;
      if (!l.connected && serverReady) {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(l.server, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
          l.resetBoth();  // the target refused: so does the proxy
          continue;
        }
        l.connected = true;
      }
      if (clientReady & (POLLIN | POLLHUP | POLLERR)) {
        if (!readInto(l.client, l.up)) {
          if (clientReady & POLLERR) {
            l.resetBoth();
            continue;
          }
          l.clientEnded = true;
        }
      }
      if (l.connected && (serverReady & (POLLIN | POLLHUP | POLLERR))) {
        const std::size_t before = l.down.size();
        const bool open = readInto(l.server, l.down);
        if (applied == Mode::DropAnswer && l.down.size() > before) {
          // The target has answered, so the request was carried out; the client never learns it.
          ++answersDropped_;
          l.resetBoth();
          continue;
        }
        if (!open) {
          if (serverReady & POLLERR) {
            l.resetBoth();
            continue;
          }
          l.serverEnded = true;
        }
      }
      if (l.connected && !writeFrom(l.server, l.up)) {
        l.resetBoth();
        continue;
      }
      if (!writeFrom(l.client, l.down)) {
        l.resetBoth();
        continue;
      }
      if (l.connected && l.clientEnded && l.up.empty() && !l.upShut) {
        shutdown(l.server, SHUT_WR);
        l.upShut = true;
      }
      if (l.serverEnded && l.down.empty() && !l.downShut) {
        shutdown(l.client, SHUT_WR);
        l.downShut = true;
      }
      if (l.upShut && l.downShut) {
        closeQuietly(l.client);
        closeQuietly(l.server);
      }
    }
  }
  for (Link& l : links) l.resetBoth();
  closeQuietly(listener);
  std::lock_guard lock(changeMutex_);
  changesDone_ = changesAsked_;
  changeApplied_.notify_all();
}

FaultProxy::Mode parseMode(std::string_view word) {
  if (word == "pass") return FaultProxy::Mode::Pass;
  if (word == "refuse") return FaultProxy::Mode::Refuse;
  if (word == "blackhole") return FaultProxy::Mode::BlackHole;
  if (word == "dropanswer") return FaultProxy::Mode::DropAnswer;
  throw std::invalid_argument("The fault proxy's mode is one of pass, refuse, blackhole and dropanswer, not \"" +
                              std::string(word) + "\".");
}

const char* modeName(FaultProxy::Mode mode) {
  switch (mode) {
    case FaultProxy::Mode::Pass: return "pass";
    case FaultProxy::Mode::Refuse: return "refuse";
    case FaultProxy::Mode::BlackHole: return "blackhole";
    case FaultProxy::Mode::DropAnswer: return "dropanswer";
  }
  return "?";
}

}  // namespace tav::test
