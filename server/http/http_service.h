// The HTTP face of the back-end: the business object's Query route, health and metrics.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/http/log.h"  // the serving program writes its own lines to the same log
#include "server/http/metrics.h"

namespace tav::server {

class Store;

struct ServeOptions {
  std::string host = "127.0.0.1";
  int port = 8470;                           // 0: the system chooses a free port
  std::size_t threads = 0;                   // I/O threads; 0: one per core
  std::string tlsCert, tlsKey;               // both set: HTTPS
  std::size_t maxConnectionsPerSource = 512;  // more from one address are closed at once
  std::size_t maxSignInsPerMinute = 120;      // per source address; more are answered 429
  std::vector<std::string> metricsFrom;       // "ADDR[/BITS]" that may read /metrics besides loopback
  bool requireStationKey = false;             // a station request without a valid key is answered 403
  std::vector<std::string> trustedProxies;    // exact addresses whose connections begin with a PROXY v2 header
};

// Splits "host:port" or "[v6-host]:port". Throws std::invalid_argument with one sentence when
// the text is not an address with a port between 0 and 65535.
void parseListenAddress(std::string_view text, std::string& host, int& port);

// Serves one store. Construct, bind(), then run() on some thread; stop() from any thread
// (a signal watcher, a test) makes run() return. A few I/O threads serve every connection; a
// ticket check waits for its commit as a completion, and the other commands run on two small
// pools of their own (operator sign-ins, which hash a password, and the rest). Logs each error
// answer as one line with the client's address; never logs a command text or any of its values.
class HttpService {
 public:
  // Throws std::runtime_error with one sentence when the TLS certificate or key cannot be used, a
  // --metrics-from network is not one, or a --trusted-proxy is not one IP address.
  HttpService(Store& store, ServeOptions options);
  ~HttpService();
  HttpService(const HttpService&) = delete;
  HttpService& operator=(const HttpService&) = delete;

  // Opens the listening socket. Throws std::runtime_error with one sentence when it cannot.
  void bind();
  int port() const;
  // "http://HOST:PORT" or "https://HOST:PORT", with the bound port.
  std::string url() const;
  // How many I/O threads run() starts.
  std::size_t threads() const;
  // How many connections it holds at most before it closes the longest idle.
  std::size_t connectionBudget() const;

  // Accepts and answers until stop(). Returns false when serving failed rather than stopped.
  bool run();
  // Stops accepting, lets the answers under way be written, then makes run() return; harmless
  // before or after run().
  void stop();

  Metrics& metrics();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tav::server
