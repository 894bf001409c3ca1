// The fault proxy seen by a plain client in front of a tiny HTTP target: what each mode does to a
// new connection and to one opened before the change, and what reaches the target.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fault_proxy.h"

namespace tav::test {
namespace {

using Mode = FaultProxy::Mode;
constexpr int kSilenceMs = 400;  // the client's own time-out; silence is waiting this long for nothing
const std::string kRequest = "GET /health HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Answers each request on its own connection with "ok", counting the requests it read whole.
class HttpTarget {
 public:
  HttpTarget() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t length = sizeof a;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 64) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
      throw std::runtime_error("The test's HTTP target cannot listen.");
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      for (int c; (c = accept(fd_, nullptr, nullptr)) >= 0;) connections_.emplace_back([this, c] { serve(c); });
    });
  }
  ~HttpTarget() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
    for (auto& t : connections_) t.join();
  }
  std::uint16_t port() const { return port_; }
  std::atomic<int> requests{0};

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::vector<std::thread> connections_;  // each waits on its own client, as a real server's would

  void serve(int c) {
    std::string in;
    char chunk[1024];
    ssize_t n;
    while (in.find("\r\n\r\n") == std::string::npos && (n = recv(c, chunk, sizeof chunk, 0)) > 0)
      in.append(chunk, static_cast<std::size_t>(n));
    if (in.find("\r\n\r\n") != std::string::npos) {
      ++requests;
      const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
      send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    close(c);
  }
};

enum class Seen { Answer, Refused, Reset, Silence };

const char* nameOf(Seen s) {
  switch (s) {
    case Seen::Answer: return "answer";
    case Seen::Refused: return "refused";
    case Seen::Reset: return "reset";
    case Seen::Silence: return "silence";
  }
  return "?";
}

class Client {
 public:
  // Connects to the proxy; a refused connect leaves the client without a socket.
  explicit Client(std::uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(port);
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      refused_ = errno == ECONNREFUSED;
      close(fd_);
      fd_ = -1;
    }
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  // Sends the request and tells what came back within the client's time-out.
  Seen ask() {
    if (fd_ < 0) return refused_ ? Seen::Refused : Seen::Reset;
    if (send(fd_, kRequest.data(), kRequest.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(kRequest.size()))
      return Seen::Reset;
    std::string answer;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, kSilenceMs) == 0) return answer.empty() ? Seen::Silence : Seen::Reset;
      char chunk[1024];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n < 0) return Seen::Reset;
      if (n == 0) return answer.rfind("HTTP/1.1 200 OK", 0) == 0 && answer.find("\r\n\r\nok") != std::string::npos
                             ? Seen::Answer
                             : Seen::Reset;
      answer.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  bool refused_ = false;
};

struct Case {
  Mode mode;
  Seen fresh;      // a connection made after the change
  Seen open;       // a connection made in pass mode, its request sent after the change
  int reached;     // requests the target read, of the two
  int dropped;     // answers the proxy swallowed
};

class FaultProxyModes : public testing::TestWithParam<Case> {};

TEST_P(FaultProxyModes, EachModeAsAClientSeesItAndBackToPass) {
  const Case c = GetParam();
  HttpTarget target;
  FaultProxy proxy(0, "127.0.0.1", target.port());
  ASSERT_EQ(Client(proxy.port()).ask(), Seen::Answer);
  ASSERT_EQ(target.requests, 1);

  Client open(proxy.port());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the proxy has connected it to the target
  proxy.setMode(c.mode);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_STREQ(nameOf(Client(proxy.port()).ask()), nameOf(c.fresh)) << "new connection in " << modeName(c.mode);
  if (c.fresh == Seen::Refused || c.fresh == Seen::Reset) {
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(kSilenceMs)) << "not at once";
  }
  EXPECT_STREQ(nameOf(open.ask()), nameOf(c.open)) << "open connection in " << modeName(c.mode);

  // Back to pass: whatever was held in the black hole never reaches the target later.
  proxy.setMode(Mode::Pass);
  EXPECT_EQ(Client(proxy.port()).ask(), Seen::Answer);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(target.requests, 1 + c.reached + 1);
  EXPECT_EQ(proxy.answersDropped(), c.dropped);
  EXPECT_EQ(proxy.connectionsSeen(), c.mode == Mode::Refuse ? 3 : 4);
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultProxyModes,
                         testing::Values(Case{Mode::Pass, Seen::Answer, Seen::Answer, 2, 0},
                                         Case{Mode::Refuse, Seen::Refused, Seen::Reset, 0, 0},
                                         Case{Mode::BlackHole, Seen::Silence, Seen::Silence, 0, 0},
                                         Case{Mode::DropAnswer, Seen::Reset, Seen::Reset, 2, 2}),
                         [](const auto& row) { return std::string(modeName(row.param.mode)); });

TEST(FaultProxyModeWords, ReadBackAndUnknownRefused) {
  for (Mode m : {Mode::Pass, Mode::Refuse, Mode::BlackHole, Mode::DropAnswer}) EXPECT_EQ(parseMode(modeName(m)), m);
  EXPECT_THROW(parseMode("drop"), std::invalid_argument);
}

}  // namespace
}  // namespace tav::test
