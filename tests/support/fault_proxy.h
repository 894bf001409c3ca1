// A loopback TCP proxy that breaks the network on demand, for tests and the drill: it passes,
// refuses, black-holes or swallows answers between clients and one target. No Qt.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace tav::test {

class FaultProxy {
 public:
  enum class Mode {
    Pass,        // bytes forwarded both ways
    Refuse,      // nobody listens: connects are refused, open connections are reset
    BlackHole,   // nothing passes on new or open connections; they are reset when it ends
    DropAnswer,  // the request reaches the target, and at its first answer byte the client is reset
  };

  // Listens on listenHost:listenPort (0: a port the system chooses) and forwards to
  // targetHost:targetPort, each forwarded connection from the client's own address when it can be
  // bound (any loopback address can), so that the target tells clients apart as without the proxy.
  // Throws std::runtime_error when the address cannot be listened on.
  FaultProxy(std::uint16_t listenPort, std::string targetHost, std::uint16_t targetPort,
             std::string listenHost = "127.0.0.1");
  ~FaultProxy();
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  std::uint16_t port() const { return port_; }
  // Takes effect at once, on open connections too.
  void setMode(Mode mode);
  Mode mode() const { return mode_.load(); }

  // Client connections accepted, and answers swallowed in DropAnswer mode.
  long long connectionsSeen() const { return connections_.load(); }
  long long answersDropped() const { return answersDropped_.load(); }

 private:
  void loop();

  std::string targetHost_;
  std::uint16_t targetPort_;
  std::string listenHost_;
  std::uint16_t port_ = 0;
  int holder_ = -1;  // bound to the port for the proxy's life, never listening: keeps it ours while refusing
  int listener_ = -1;  // open but in refuse mode; owned by the thread once it runs
  int wake_[2] = {-1, -1};
  std::atomic<Mode> mode_{Mode::Pass};
  std::atomic<bool> stop_{false};
  std::atomic<long long> connections_{0}, answersDropped_{0};
  std::mutex changeMutex_;
  std::condition_variable changeApplied_;
  long long changesAsked_ = 0, changesDone_ = 0;
  std::thread thread_;
};

// "pass", "refuse", "blackhole", "dropanswer"; parseMode throws std::invalid_argument naming them.
FaultProxy::Mode parseMode(std::string_view word);
const char* modeName(FaultProxy::Mode mode);

}  // namespace tav::test
