// tav-server's listener and the station's routes on Boost.Asio: read nothing of a command text
// here, hand it to the core, which parses it and says what kind it is, and send back its answer.
#include "server/http/http_service.h"

#include <pthread.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "server/core/health_probe.h"
#include "server/core/service.h"
#include "server/core/sessionless_tally.h"
#include "server/core/stations.h"
#include "server/core/match_day.h"
#include "server/core/store.h"
#include "server/core/worker_pool.h"
#include "server/http/cookies.h"
#include "server/http/connection.h"
#include "server/http/dashboard.h"
#include "server/http/log.h"
#include "server/http/offline.h"
#include "server/http/routes.h"
#include "server/http/signin_queue.h"
#include "server/http/source_limits.h"
#include "wire/protocol.h"
#include "wire/recordset.h"

namespace tav::server {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using boost::system::error_code;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// Pending connections the kernel may queue: a gate's stations connect at once at opening time
// and after a restart. The kernel caps it at net.core.somaxconn.
constexpr int kListenBacklog = 65535;
// Venue sign-ins, statistics and health read the store and may wait on it; a few threads keep
// one slow read from holding the others up.
constexpr std::size_t kOtherThreads = 4;
// How long the acceptor rests after the system refused it a descriptor, so that it does not spin
// on a connection it cannot take; shorter when idle connections were just closed to make room.
constexpr auto kAcceptPause = std::chrono::milliseconds(50);
constexpr auto kReclaimPause = std::chrono::milliseconds(2);
// Each connection's kernel send buffer (the kernel doubles it for its bookkeeping). Fixed, so that
// the kernel does not grow the buffer of a client that never reads to megabytes; an answer to a
// check is a few hundred bytes, and the dashboard's largest file passes in a few round trips.
constexpr int kSendBufferBytes = 32 * 1024;
// Connections one address may open while the connection budget is used up: more than a gate's
// stations behind one NAT hold at once (each holds one for the length of a check).
constexpr std::size_t kConnectionsPerSourceWhenFull = 64;
// Operator sign-ins waiting for a password check: a few per core (eight: a gate team's stations
// signing in together at opening time), none longer than kSignInWait; past either the sign-in is
// answered 503 at once, with this Retry-After.
constexpr std::size_t kSignInsWaitingPerCore = 8;
constexpr auto kSignInWait = std::chrono::seconds(3);
constexpr int kSignInRetryAfterSeconds = 2;
// TLS 1.2 suites offered: forward-secret AEAD ones only (every TLS 1.3 suite is AEAD already).
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
// At most one log line per this interval about connections closed by the per-source cap.
constexpr auto kCapLogInterval = std::chrono::seconds(1);
// At most one log line per this interval about connections closed for their PROXY header.
constexpr auto kProxyLogInterval = std::chrono::seconds(10);
// How often the summary lines of requests without a session are written: a finished minute's
// reach the scan log within this.
constexpr auto kSessionlessFlushInterval = std::chrono::seconds(5);

// Error answers: in each window the first few of a status from one address, and the first few
// dozen in all, are logged one by one; the rest in one line per status.
constexpr auto kErrorLogWindow = std::chrono::seconds(10);
constexpr std::size_t kErrorLinesPerSource = 3;
constexpr std::size_t kErrorLinesPerWindow = 30;

// How often the idempotency keys past their lifetime are forgotten.
constexpr auto kCheckKeyPurgeInterval = std::chrono::seconds(60);

const std::string kPrometheusType = "text/plain; version=0.0.4; charset=utf-8";
const std::string kForeignOrigin =
    "This request comes from another site's page; the server acts only on its own pages' requests.";
const std::string kMetricsRefused = "The metrics are served to loopback and the --metrics-from addresses only.";
const std::string kBadIdempotencyKey =
    "The Idempotency-Key header must be 22 characters of base64url: 16 random bytes made for one scan.";
const std::string kNoStationKey =
    "This server answers registered stations only, and the request carries no valid station key.";

HttpResponse textResponse(unsigned status, std::string body, const std::string& type) {
  HttpResponse response{static_cast<http::status>(status), 11};
  response.set(http::field::content_type, type);
  response.body() = std::move(body);
  return response;
}

// Errors of accept() that pass: the system is out of descriptors or memory for a moment, or the
// client gave up before it was accepted.
bool isPassingAcceptError(const error_code& ec) {
  return ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
         ec == asio::error::no_memory || ec == asio::error::connection_aborted ||
         ec == asio::error::connection_reset || ec == asio::error::try_again ||
         ec == asio::error::interrupted || ec == boost::system::errc::too_many_files_open_in_system ||
         ec == boost::system::errc::protocol_error || ec == boost::system::errc::operation_not_permitted;
}

}  // namespace

void parseListenAddress(std::string_view text, std::string& host, int& port) {
  const std::string bad = "The listen address must be HOST:PORT with a port from 0 to 65535.";
  std::size_t colon;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
      throw std::invalid_argument(bad);
    host = std::string(text.substr(1, close - 1));
    colon = close + 1;
  } else {
    colon = text.rfind(':');
    if (colon == std::string_view::npos) throw std::invalid_argument(bad);
    host = std::string(text.substr(0, colon));
    if (host.find(':') != std::string::npos) throw std::invalid_argument(bad);
  }
  const std::string_view digits = text.substr(colon + 1);
  if (host.empty() || digits.empty() || digits.size() > 5) throw std::invalid_argument(bad);
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') throw std::invalid_argument(bad);
    value = value * 10 + (c - '0');
  }
  if (value > 65535) throw std::invalid_argument(bad);
  port = value;
}

class HttpService::Impl final : public ConnectionHost {
 public:
  Impl(Store& store, ServeOptions options)
      : store_(store),
        options_(std::move(options)),
        threads_(options_.threads > 0 ? options_.threads : std::max(1u, std::thread::hardware_concurrency())),
        limits_(options_.maxConnectionsPerSource, options_.maxSignInsPerMinute),
        budget_(ConnectionBudget::underOpenFileLimit()) {
    if (!options_.tlsCert.empty() || !options_.tlsKey.empty()) loadTls();
    for (const std::string& text : options_.metricsFrom) {
      try {
        metricsFrom_.push_back(parseNetwork(text));
      } catch (const std::invalid_argument& e) {
        throw std::runtime_error(std::string("--metrics-from: ") + e.what());
      }
    }
    for (const std::string& text : options_.trustedProxies) {
      error_code ec;
      const auto address = asio::ip::make_address(text, ec);
      if (ec) throw std::runtime_error("--trusted-proxy: \"" + text + "\" is not one IPv4 or IPv6 address.");
      trustedProxies_.push_back(plainAddress(address));
    }
    ioc_ = std::make_unique<asio::io_context>(static_cast<int>(threads_));
    acceptor_.emplace(asio::make_strand(*ioc_));
    acceptPause_.emplace(acceptor_->get_executor());
    work_.emplace(ioc_->get_executor());
    // Password checks take a core each for a while: never more of them at once than cores.
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    signIns_ = std::make_unique<SignInQueue>(cores, cores * kSignInsWaitingPerCore, kSignInWait, "tav-signin");
    others_ = std::make_unique<WorkerPool>(kOtherThreads, "tav-reads");
    otherRunner_ = [pool = others_.get()](std::function<void()> task) { pool->post(std::move(task)); };
    dashboard_ = std::make_unique<Dashboard>(store_, ioc_->get_executor(), otherRunner_, &sessionless_);
    addRoutes();
    dashboard_->addRoutes(routes_);
    sessionlessFlush_.emplace(asio::make_strand(*ioc_));
    awaitSessionlessFlush();
    stations_ = std::make_unique<StationDirectory>(store_);
    addOfflineRoutes(routes_, store_, *stations_, otherRunner_);
    health_ = std::make_unique<HealthProbe>(store_);
  }

  ~Impl() override {
    stop();
    // The pools may still hold answers to post; the connections that the io_context drops on
    // its way out still reach this object's limits and metrics. Keys still waiting for the
    // station directory go on to the other pool, whose requests may still queue sign-ins.
    stations_.reset();
    others_.reset();
    signIns_.reset();
    health_.reset();
    dashboard_.reset();
    sessionlessFlush_.reset();
    // A store thread may still be dropping its copy of an answered request's Reply.
    while (liveReplies_.load(std::memory_order_acquire) > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    acceptPause_.reset();
    acceptor_.reset();
    ioc_.reset();
  }

  void bind() {
    const std::string where = options_.host + ":" + std::to_string(options_.port);
    try {
      tcp::resolver resolver(*ioc_);
      const auto found = resolver.resolve(options_.host, std::to_string(options_.port),
                                          tcp::resolver::passive | tcp::resolver::numeric_service);
      const tcp::endpoint endpoint = found.begin()->endpoint();
      acceptor_->open(endpoint.protocol());
      // Only SO_REUSEADDR, for quick restarts: SO_REUSEPORT would let a second server bind the
      // same port and silently share the stations.
      acceptor_->set_option(asio::socket_base::reuse_address(true));
      acceptor_->bind(endpoint);
      acceptor_->listen(kListenBacklog);
      port_ = acceptor_->local_endpoint().port();
    } catch (const std::exception&) {
      error_code ignored;
      acceptor_->close(ignored);
      throw std::runtime_error("Cannot listen on " + where +
                               ": the address is in use or not available on this machine.");
    }
  }

  int port() const { return port_; }
  std::size_t threads() const { return threads_; }
  std::size_t connectionBudget() const { return budget_.budget(); }

  std::string url() const {
    const bool v6 = options_.host.find(':') != std::string::npos;
    const std::string host = v6 ? "[" + options_.host + "]" : options_.host;
    return std::string(tls_ ? "https" : "http") + "://" + host + ":" + std::to_string(port_);
  }

  bool run() {
    runState_ = 1;
    if (!stopping_ && acceptor_->is_open()) {
      asio::post(acceptor_->get_executor(), [this] { accept(); });
      std::vector<std::thread> helpers;
      for (std::size_t i = 1; i < threads_; ++i) helpers.emplace_back([this] { runLoop(); });
      runLoop();
      for (auto& t : helpers) t.join();
    }
    const bool served = port_ > 0;
    runState_ = 2;
    return served;
  }

  void stop() {
    std::lock_guard<std::mutex> lock(stopMutex_);
    if (stopped_) return;
    stopping_ = true;
    // Sign-ins still waiting for a password check are answered now: stopping waits for none.
    signIns_->stop();
    dashboard_->stop();
    asio::post(acceptor_->get_executor(), [this] {
      error_code ignored;
      acceptor_->close(ignored);
      acceptPause_->cancel();
    });
    // Answers under way are written first; each ends at the latest with its write deadline,
    // and the store completes every check it was given.
    while (runState_ == 1 && busy_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    work_.reset();
    ioc_->stop();
    flushSessionless(true);
    errorLog_.flush(true);
    stopped_ = true;
  }

  Metrics& metrics() override { return metrics_; }
  SourceLimits& limits() override { return limits_; }
  ConnectionBudget& budget() override { return budget_; }
  bool stopping() const override { return stopping_; }
  void requestBegun() override { busy_.fetch_add(1); }
  void requestEnded() override { busy_.fetch_sub(1); }
  std::atomic<int>& liveReplies() override { return liveReplies_; }

  void handle(HttpRequest&& request, const Peer& peer, Reply reply) override {
    const bool get = request.method() == http::verb::get || request.method() == http::verb::head;
    // Whatever may act (every method but GET and HEAD) is refused when another site's page sent
    // it: a signed-in admin's browser must not admit a ticket for a page on another port.
    if (!get && fromOtherSite(request)) {
      metrics_.recordRefusal(Limit::ForeignOrigin);
      return reply.send(errorResponse(403, kForeignOrigin));
    }
    routes_.answer(request, peer, reply);
  }

 private:
  void loadTls() {
    if (options_.tlsCert.empty() || options_.tlsKey.empty())
      throw std::runtime_error("HTTPS needs both --tls-cert and --tls-key.");
    tls_.emplace(asio::ssl::context::tls_server);
    tls_->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                      asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                      asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
    // An idle TLS connection then keeps no read or write buffer of OpenSSL's.
    SSL_CTX_set_mode(tls_->native_handle(), SSL_MODE_RELEASE_BUFFERS);
    if (SSL_CTX_set_cipher_list(tls_->native_handle(), kTls12Ciphers) != 1)
      throw std::runtime_error("The TLS library offers none of the AEAD cipher suites for TLS 1.2.");
    error_code ec;
    tls_->use_certificate_chain_file(options_.tlsCert, ec);
    if (ec)
      throw std::runtime_error("The TLS certificate " + options_.tlsCert + " cannot be loaded: it is missing, "
                               "unreadable or not a PEM certificate.");
    tls_->use_private_key_file(options_.tlsKey, asio::ssl::context::pem, ec);
    if (ec)
      throw std::runtime_error("The TLS key " + options_.tlsKey + " cannot be loaded, or it does not match "
                               "the certificate " + options_.tlsCert + ".");
  }

  void runLoop() {
    pthread_setname_np(pthread_self(), "tav-io");
    for (;;) {
      try {
        ioc_->run();
        return;
      } catch (const std::exception& e) {
        logLine(std::string("internal failure: ") + e.what());
      } catch (...) {
        logLine("internal failure: an unknown exception");
      }
    }
  }

  // The tally's summary lines are written off the I/O threads; the next wait starts once they are.
  void awaitSessionlessFlush() {
    sessionlessFlush_->expires_after(kSessionlessFlushInterval);
    sessionlessFlush_->async_wait([this](error_code ec) {
      if (ec || stopping_) return;
      others_->post([this] {
        flushSessionless(false);
        errorLog_.flush();
        forgetOldKeys();
        awaitSessionlessFlush();
      });
    });
  }

  void flushSessionless(bool everything) {
    try {
      sessionless_.flush(store_, everything);
    } catch (const std::exception& e) {
      logLine(std::string("error: the counts of requests without a session could not be written: ") + e.what());
    }
  }

  // Checks' idempotency keys past their lifetime go about once a minute, in one short write.
  void forgetOldKeys() {
    const auto now = Clock::now();
    if (now - lastKeyPurge_ < kCheckKeyPurgeInterval) return;
    lastKeyPurge_ = now;
    try {
      forgetOldCheckKeys(store_);
    } catch (const std::exception& e) {
      logLine(std::string("error: old idempotency keys could not be forgotten: ") + e.what());
    }
  }

  // --- accepting (on the acceptor's strand) ---------------------------------------------------

  void accept() {
    acceptor_->async_accept(asio::make_strand(*ioc_), [this](error_code ec, tcp::socket socket) {
      onAccept(ec, std::move(socket));
    });
  }

  void onAccept(error_code ec, tcp::socket socket) {
    if (!acceptor_->is_open()) return;
    if (ec) {
      if (!isPassingAcceptError(ec)) logLine("error: a connection could not be accepted: " + ec.message());
      std::size_t reclaimed = 0;
      if (ec == asio::error::no_descriptors || ec == boost::system::errc::too_many_files_open_in_system) {
        // Something else holds descriptors too (the store, another process): make room now.
        reclaimed = budget_.reclaim(budget_.batch(), true);
        noteOutOfDescriptors(reclaimed);
      }
      acceptPause_->expires_after(reclaimed > 0 ? kReclaimPause : kAcceptPause);
      acceptPause_->async_wait([this](error_code waitError) {
        if (!waitError && acceptor_->is_open()) accept();
      });
      return;
    }
    error_code ignored;
    const tcp::endpoint peer = socket.remote_endpoint(ignored);
    if (!ignored) {
      const SourceLimits::Address from = plainAddress(peer.address());
      // A trusted proxy holds the connections of many clients: each is admitted under the address
      // its header carries, once that is read.
      const bool viaProxy = std::find(trustedProxies_.begin(), trustedProxies_.end(), from) != trustedProxies_.end();
      if (viaProxy || admitConnection(from)) {
        socket.set_option(tcp::no_delay(true), ignored);
        socket.set_option(asio::socket_base::send_buffer_size(kSendBufferBytes), ignored);
        if (tls_) {
          startTlsConnection(std::move(socket), from, viaProxy, *this, *tls_);
        } else {
          startPlainConnection(std::move(socket), from, viaProxy, *this);
        }
        // Room for the next station is made before it comes, by closing the longest idle.
        if (budget_.full()) noteReclaimed(budget_.reclaim(budget_.open() - budget_.budget() + 1));
      } else {
        socket.close(ignored);
      }
    }
    accept();
  }

  bool admitConnection(const SourceLimits::Address& from) override {
    // Once the budget is used up, an address that already holds many connections is closed at
    // once rather than given another's place: a crowd that reconnects as fast as it is closed
    // then costs an accept and a close, and the stations' places are not taken from them.
    const std::size_t cap = budget_.full() ? kConnectionsPerSourceWhenFull : SIZE_MAX;
    if (limits_.openConnection(from, cap)) return true;
    metrics_.recordRefusal(Limit::ConnectionsPerSource);
    noteCapRefusal(from, std::min(limits_.maxConnections(), cap));
    return false;
  }

  void errorAnswered(unsigned status, const SourceLimits::Address& source, const std::string& line) override {
    errorLog_.note("error " + std::to_string(status), source.to_string(), line);
  }

  // A proxy that sends no header, or a stranger that sends one, may do so thousands of times.
  void proxyHeaderRefused(const SourceLimits::Address& from, const std::string& why) override {
    metrics_.recordRefusal(Limit::ProxyHeader);
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(noteMutex_);
    if (now - lastProxyLog_ < kProxyLogInterval) {
      ++proxyUnlogged_;
      return;
    }
    std::string line = "closed a connection from " + from.to_string() + ": " + why;
    if (proxyUnlogged_ > 0)
      line += " (" + std::to_string(proxyUnlogged_) + " more closed for their PROXY header since the last such line)";
    logLine(line);
    lastProxyLog_ = now;
    proxyUnlogged_ = 0;
  }

  // Closing thousands of connections of one source must not write thousands of lines. Called on
  // the acceptor's strand and, for the clients of a proxy, on their connections'.
  void noteCapRefusal(const SourceLimits::Address& from, std::size_t held) {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(noteMutex_);
    if (now - lastCapLog_ < kCapLogInterval) {
      ++capUnlogged_;
      return;
    }
    std::string line = "refused a connection from " + from.to_string() + ": that address already holds " +
                       std::to_string(held) + " connections" +
                       (held < limits_.maxConnections() ? " and the server's connection budget is used up" : "");
    if (capUnlogged_ > 0) line += " (" + std::to_string(capUnlogged_) + " more refused since the last such line)";
    logLine(line);
    lastCapLog_ = now;
    capUnlogged_ = 0;
  }

  void noteOutOfDescriptors(std::size_t reclaimed) {
    const auto now = Clock::now();
    if (now - lastDescriptorLog_ < std::chrono::seconds(10)) return;
    lastDescriptorLog_ = now;
    logLine("error: out of file descriptors with " + std::to_string(budget_.open()) + " connections open; closed " +
            std::to_string(reclaimed) + " idle ones to make room");
  }

  // Closing idle connections for the budget is logged at most once every 10 s, with how many.
  void noteReclaimed(std::size_t closed) {
    reclaimedUnlogged_ += closed;
    const auto now = Clock::now();
    if (reclaimedUnlogged_ == 0 || now - lastReclaimLog_ < std::chrono::seconds(10)) return;
    lastReclaimLog_ = now;
    logLine("closed " + std::to_string(reclaimedUnlogged_) + " of the longest-idle connections to keep room for " +
            "new ones (at most " + std::to_string(budget_.budget()) + " open under the open-file limit)");
    reclaimedUnlogged_ = 0;
  }

  // --- who may ask what ------------------------------------------------------------------------

  // A browser names the page that sent a request: Origin (scheme, host and port) or Sec-Fetch-Site.
  // The station and the command-line tools send neither.
  bool fromOtherSite(const HttpRequest& request) const {
    const std::string_view site = request["Sec-Fetch-Site"];
    if (boost::beast::iequals(site, "cross-site") || boost::beast::iequals(site, "same-site")) return true;
    const std::string_view origin = request[http::field::origin];
    if (origin.empty()) return false;
    const std::string own = std::string(tls_ ? "https://" : "http://") + std::string(request[http::field::host]);
    return !boost::beast::iequals(origin, own);
  }

  // A proxy's header may say anything, loopback too: only a connection of this machine's own is.
  bool mayReadMetrics(const Peer& from) const {
    if (from.address.is_loopback() && !from.carried) return true;
    return std::any_of(metricsFrom_.begin(), metricsFrom_.end(),
                       [&](const Network& n) { return n.contains(from.address); });
  }

  // --- answering (on the connection's strand) -------------------------------------------------

  // The station's routes. The path every station sends is the Query route's; any other spelling of
  // the object and method names (matched without regard to case, as COM does) reaches it too.
  // Health and metrics answer other methods as if they were not there.
  void addRoutes() {
    const std::string query = "/objects/" + std::string(wire::kProgId) + "/" + std::string(wire::kQueryMethod);
    routes_.add(RouteMethod::Post, query, [this](const HttpRequest& request, const Peer& from, Reply& reply,
                                                 const RouteMatch&) { answerQuery(request, from.address, reply); },
                true);
    routes_.add(RouteMethod::Get, wire::kHealthPath,
                [this](const HttpRequest&, const Peer&, Reply& reply, const RouteMatch&) { answerHealth(reply); },
                false, OtherMethods::NotFound);
    routes_.add(RouteMethod::Get, "/metrics",
                [this](const HttpRequest&, const Peer& from, Reply& reply, const RouteMatch&) {
                  if (!mayReadMetrics(from)) return reply.send(errorResponse(403, kMetricsRefused));
                  reply.send(textResponse(200, metrics_.render(), kPrometheusType));
                },
                false, OtherMethods::NotFound);
  }

  // What a Query request carries past the look-up of its station key, which may wait: the
  // request itself is the connection's, and only this is kept.
  struct PendingQuery {
    ParsedCommand command;
    SourceLimits::Address from;
    std::string sessionToken;
    std::optional<std::string> idempotencyKey;
    Clock::time_point started;
    Reply reply;
    bool keySent = false;  // it named a station key, good or not
  };

  void answerQuery(const HttpRequest& request, const SourceLimits::Address& from, Reply& reply) {
    const std::string& text = request.body();
    metrics_.recordRequest();
    const auto started = Clock::now();
    ParsedCommand command;
    try {
      command = parseCommand(text);
    } catch (const BadCommand&) {
      metrics_.recordLatency(Clock::now() - started);
      return reply.send(failureResponse(std::current_exception()));
    }
    auto query = std::make_shared<PendingQuery>(
        PendingQuery{std::move(command), from, sessionToken(request), std::nullopt, started, std::move(reply), false});
    if (request.count(wire::kIdempotencyHeader) > 0)
      query->idempotencyKey = std::string(request[wire::kIdempotencyHeader]);
    // The station the key names, from memory: a known key costs no store read. A key the list
    // does not hold waits for the list's next read (shared, a few a second at most) and goes on
    // on a worker, never holding an I/O thread: a station registered a moment ago is known at its
    // first request, and a made-up key costs a short wait.
    std::optional<StationInfo> station;
    const std::string stationKey(request[wire::kStationHeader]);
    query->keySent = !stationKey.empty();
    const bool settled = stations_->lookup(stationKey, station, [this, query](std::optional<StationInfo> found) {
      others_->post([this, query, found = std::move(found)] { judgeQuery(*query, found); });
    });
    if (settled) judgeQuery(*query, station);
  }

  // The rest of a Query request once its station is known: the limits, then the procedure.
  void judgeQuery(PendingQuery& query, const std::optional<StationInfo>& station) {
    const CommandKind kind = commandKind(query.command);
    const Clock::time_point started = query.started;
    Reply& reply = query.reply;
    // `keyed` is what the sign-in queue lets go ahead of strangers.
    const bool keyed = station.has_value();
    // A key that names no live station leaves the connection a stranger's, whatever its session.
    const bool keyRefused = query.keySent && !keyed;
    // The dashboard's sign-in carries no key and cannot be told from a script's by anything a
    // client sends; so every keyless operator sign-in goes on to the procedure, which opens a
    // session only for an admin (the password verified first, so it tells a stranger nothing).
    // Everything else a keyless client asks is refused here, before anything is written.
    if (options_.requireStationKey && !keyed && kind != CommandKind::OperatorSignIn) {
      metrics_.recordLatency(Clock::now() - started);
      return reply.send(errorResponse(403, kNoStationKey));
    }
    std::chrono::seconds retryAfter{};
    std::size_t recent = 0;
    const bool signIn = kind == CommandKind::OperatorSignIn || kind == CommandKind::PlaceSignIn;
    if (signIn && !limits_.admitSignIn(query.from, started, retryAfter, &recent)) {
      metrics_.recordRefusal(Limit::SignInsPerMinute);
      metrics_.recordLatency(Clock::now() - started);
      HttpResponse response = errorResponse(
          429, "This address has signed in " + std::to_string(limits_.maxSignInsPerMinute()) +
                   " times in the last minute; try again in " + std::to_string(retryAfter.count()) + " seconds.");
      response.set(http::field::retry_after, std::to_string(retryAfter.count()));
      return reply.send(std::move(response));
    }
    Caller caller(query.from.to_string(), std::move(query.sessionToken));
    if (query.idempotencyKey) {
      caller.idempotencyKey = std::move(*query.idempotencyKey);
      if (!wire::isIdempotencyKey(caller.idempotencyKey)) {
        metrics_.recordLatency(Clock::now() - started);
        return reply.send(errorResponse(400, kBadIdempotencyKey));
      }
    }
    caller.sourceGroup = sourceGroup(query.from).to_string();
    if (keyed) {
      caller.station = station->id;
      caller.stationPlace = station->placeCode;
    }
    caller.stationRequired = options_.requireStationKey && !keyed;
    caller.sessionless = &sessionless_;
    const Vouch vouch{keyed, keyRefused, !caller.sessionToken.empty()};
    if (kind == CommandKind::OperatorSignIn)
      return queueSignIn(std::move(query.command), std::move(caller), query.from, recent, reply, started, vouch);
    executeAsync(store_, std::move(query.command), std::move(caller), otherRunner_,
                 answering(std::move(reply), started, vouch));
  }

  // What the station route knows of a request's credentials before its procedure runs.
  struct Vouch {
    bool keyed = false;       // its station key names a live station
    bool keyRefused = false;  // it sent a key that names none
    bool session = false;     // it sent a session token, which the procedure checks
  };

  // The connection is spared by the budget once the request's credentials were verified: a good
  // key, and a live session if it sent one.
  AnswerDone answering(Reply reply, Clock::time_point started, Vouch vouch) {
    return [this, reply = std::move(reply), started, vouch](Answer answer, std::exception_ptr error) mutable {
      reply.vouch(!error && !vouch.keyRefused && (vouch.session ? answer.signedIn : vouch.keyed));
      reply.later([this, answer = std::move(answer), error, started]() mutable {
        return answerResponse(answer, error, started);
      });
    };
  }

  // An operator sign-in waits its turn for a password check; see SignInQueue for the order. The
  // addresses that operators sign in from are remembered, to rank before a crowd of new ones.
  void queueSignIn(ParsedCommand command, Caller caller, const SourceLimits::Address& from, std::size_t recent,
                   Reply& reply, Clock::time_point started, Vouch vouch) {
    struct Pending {
      ParsedCommand command;
      Caller caller;
      Reply reply;
    };
    auto pending = std::make_shared<Pending>(Pending{std::move(command), std::move(caller), std::move(reply)});
    SignInQueue::Job job;
    job.fromStation = pending->caller.station != 0;
    job.standing = addresses_.noteAttempt(from, started);
    job.recentFromSource = recent;
    job.gone = [pending] { return pending->reply.clientGone(); };
    job.run = [this, pending, from, started, vouch] {
      const SlowRunner here = [](std::function<void()> task) { task(); };
      executeAsync(store_, std::move(pending->command), std::move(pending->caller), here,
                   [this, from, done = answering(std::move(pending->reply), started, vouch)](
                       Answer answer, std::exception_ptr error) {
                     if (!error && !answer.sessionToken.empty()) addresses_.noteSignedIn(from, Clock::now());
                     done(std::move(answer), error);
                   });
    };
    job.refuse = [this, pending, started](SignInQueue::Refusal why) {
      metrics_.recordLatency(Clock::now() - started);
      pending->reply.send(signInRefusal(why));
    };
    signIns_->submit(std::move(job));
  }

  HttpResponse signInRefusal(SignInQueue::Refusal why) {
    const std::string again = "; try again in " + std::to_string(kSignInRetryAfterSeconds) + " seconds.";
    std::string sentence;
    switch (why) {
      case SignInQueue::Refusal::Full:
        metrics_.recordRefusal(Limit::SignInQueueFull);
        sentence = "The server has more sign-ins waiting than it can check at once" + again;
        break;
      case SignInQueue::Refusal::Late:
        metrics_.recordRefusal(Limit::SignInQueueWait);
        sentence = "The sign-in waited over " + std::to_string(kSignInWait.count()) + " seconds for its turn" + again;
        break;
      case SignInQueue::Refusal::Gone:
        sentence = "The client went away before its sign-in was checked.";
        break;
      case SignInQueue::Refusal::Stopping:
        sentence = "The server is stopping" + again;
        break;
    }
    HttpResponse response = errorResponse(503, sentence);
    response.set(http::field::retry_after, std::to_string(kSignInRetryAfterSeconds));
    return response;
  }

  HttpResponse answerResponse(Answer& answer, const std::exception_ptr& error, Clock::time_point started) {
    HttpResponse response;
    if (!error) {
      response = textResponse(200, wire::encode(answer.recordset), "application/json");
      if (!answer.sessionToken.empty()) {
        response.set(http::field::set_cookie, sessionCookie(answer.sessionToken, tls_.has_value()));
        metrics_.sessionOpened();
      }
      metrics_.recordAnswer(answer.procedure, answer.code);
    } else {
      response = failureResponse(error);
    }
    metrics_.recordLatency(Clock::now() - started);
    return response;
  }

  // A fresh look at the store, shared with whoever asks meanwhile, on the probe's own thread: never
  // on an I/O thread, never behind checks or sign-ins. The answer says what is wrong in general
  // words; where (the file, the database host) goes to the log.
  void answerHealth(Reply& reply) {
    health_->check([this, reply = std::move(reply)](const StoreHealth& health) mutable {
      noteHealth(health.detail);
      switch (health.state) {
        case StoreHealth::State::Ok:
          return reply.send(textResponse(200, "ok", "text/plain; charset=utf-8"));
        case StoreHealth::State::NotWritable:
          return reply.send(errorResponse(503, "The store cannot take writes."));
        case StoreHealth::State::NotAnswering:
          return reply.send(errorResponse(503, "The store is not answering."));
      }
    });
  }

  // Each new reason of an unhealthy store is logged once, not at every check of a proxy.
  void noteHealth(const std::string& detail) {
    std::lock_guard<std::mutex> lock(healthMutex_);
    if (detail == lastHealthDetail_) return;
    lastHealthDetail_ = detail;
    if (!detail.empty()) logLine("health: " + detail);
  }

  Store& store_;
  const ServeOptions options_;
  const std::size_t threads_;
  Metrics metrics_;
  SourceLimits limits_;
  AddressHistory addresses_;  // where operators' sign-ins came from, for the sign-in queue's order
  std::optional<asio::ssl::context> tls_;
  std::unique_ptr<asio::io_context> ioc_;
  std::optional<tcp::acceptor> acceptor_;
  std::optional<asio::steady_timer> acceptPause_;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
  ConnectionBudget budget_;
  std::vector<Network> metricsFrom_;
  std::vector<SourceLimits::Address> trustedProxies_;
  std::unique_ptr<SignInQueue> signIns_;
  std::unique_ptr<WorkerPool> others_;
  SlowRunner otherRunner_;
  // Declared before the dashboard, which lists its strangers, and outlives every request.
  SessionlessTally sessionless_;
  std::optional<asio::steady_timer> sessionlessFlush_;
  std::unique_ptr<Dashboard> dashboard_;
  Routes routes_;
  std::unique_ptr<StationDirectory> stations_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> busy_{0};
  std::atomic<int> liveReplies_{0};
  std::atomic<int> runState_{0};  // 0 not started, 1 running, 2 returned
  std::mutex stopMutex_;
  bool stopped_ = false;
  int port_ = -1;
  Clock::time_point lastCapLog_{}, lastDescriptorLog_{}, lastReclaimLog_{}, lastKeyPurge_{};
  std::size_t capUnlogged_ = 0, reclaimedUnlogged_ = 0;
  std::mutex noteMutex_;  // over the refusal lines' times and counts, written from several strands
  Clock::time_point lastProxyLog_{};
  std::size_t proxyUnlogged_ = 0;
  ThrottledLog errorLog_{kErrorLogWindow, kErrorLinesPerSource, kErrorLinesPerWindow};
  std::mutex healthMutex_;
  std::string lastHealthDetail_;
  std::unique_ptr<HealthProbe> health_;
};

HttpService::HttpService(Store& store, ServeOptions options)
    : impl_(std::make_unique<Impl>(store, std::move(options))) {}
HttpService::~HttpService() = default;
void HttpService::bind() { impl_->bind(); }
int HttpService::port() const { return impl_->port(); }
std::string HttpService::url() const { return impl_->url(); }
std::size_t HttpService::threads() const { return impl_->threads(); }
std::size_t HttpService::connectionBudget() const { return impl_->connectionBudget(); }
bool HttpService::run() { return impl_->run(); }
void HttpService::stop() { impl_->stop(); }
Metrics& HttpService::metrics() { return impl_->metrics(); }

}  // namespace tav::server
