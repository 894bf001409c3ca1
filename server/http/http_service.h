// The HTTP face of the back-end: the business object's Query route, health and metrics.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "server/http/metrics.h"

namespace httplib {
class Server;
}

namespace tav::server {

class Store;

// Largest command text accepted; anything longer is answered 413.
inline constexpr std::size_t kMaxCommandBytes = 8 * 1024;

struct ServeOptions {
  std::string host = "127.0.0.1";
  int port = 8470;             // 0: the system chooses a free port
  std::size_t threads = 256;   // one worker per open station connection
  std::string tlsCert, tlsKey; // both set: HTTPS
};

// Splits "host:port" or "[v6-host]:port". Throws std::invalid_argument with one sentence when
// the text is not an address with a port between 0 and 65535.
void parseListenAddress(std::string_view text, std::string& host, int& port);

// One line on stderr, prefixed with the local time and the program name.
void logLine(const std::string& message);

// Serves one store. Construct, bind(), then run() on some thread; stop() from any thread
// (a signal watcher, a test) makes run() return. Logs each error answer as one line; never logs
// a command text or any of its values.
class HttpService {
 public:
  // Throws std::runtime_error with one sentence when the TLS certificate or key cannot be used.
  HttpService(Store& store, ServeOptions options);
  ~HttpService();
  HttpService(const HttpService&) = delete;
  HttpService& operator=(const HttpService&) = delete;

  // Opens the listening socket. Throws std::runtime_error with one sentence when it cannot.
  void bind();
  int port() const { return port_; }
  // "http://HOST:PORT" or "https://HOST:PORT", with the bound port.
  std::string url() const;

  // Accepts and answers until stop(). Returns false when serving failed rather than stopped.
  bool run();
  // Makes run() return once the answers under way are sent; harmless before or after run().
  void stop();

  Metrics& metrics() { return metrics_; }

 private:
  void installRoutes();
  bool storeAnswers();

  Store& store_;
  ServeOptions options_;
  std::unique_ptr<httplib::Server> server_;
  Metrics metrics_;
  int port_ = -1;
  int listenSocket_ = -1;
  std::atomic<bool> stopRequested_{false};
  std::atomic<int> runState_{0};  // 0 not started, 1 starting or running, 2 returned
};

}  // namespace tav::server
