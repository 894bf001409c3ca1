// cpp-httplib routes of tav-server: parse nothing here, hand the command text to execute().
#include "server/http/http_service.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <thread>

#include "server/core/service.h"
#include "server/core/store.h"
#include "wire/protocol.h"
#include "wire/recordset.h"

namespace tav::server {

namespace {

const std::string kObjectName(wire::kProgId);
const std::string kMethodName(wire::kQueryMethod);
constexpr const char* kQueryRoute = R"(/objects/([^/]+)/([^/]+))";
constexpr time_t kKeepAliveSeconds = 5;
constexpr std::size_t kKeepAliveRequests = 1000000;

// The route pattern of the Query path exactly as named above (its dots escaped).
std::string exactQueryRoute() {
  std::string pattern = "/objects/";
  for (char c : kObjectName) pattern += c == '.' ? std::string("\\.") : std::string(1, c);
  return pattern + "/" + kMethodName;
}

bool sameName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// ProgIDs and late-bound method names are matched without regard to case, as COM does.
bool isQueryRoute(const httplib::Request& req) {
  return req.matches.size() == 3 && sameName(req.matches[1], kObjectName) &&
         sameName(req.matches[2], kMethodName);
}

void answerError(httplib::Response& res, int status, const std::string& sentence) {
  res.status = status;
  res.set_content(wire::encodeError(sentence), "application/json");
}

// The sentence of an error answer that no handler filled (httplib's own refusals).
std::string defaultSentence(int status) {
  switch (status) {
    case 400: return "The request is not a well-formed HTTP request.";
    case 404: return "There is no such object or route on this server.";
    case 405: return "This route only answers POST.";
    case 413: return "The command text is longer than 8 KiB.";
    case 414: return "The request target is too long.";
    case 503: return "The store is not answering.";
    default: return "The server could not answer the request.";
  }
}

// A request path may hold anything a client sent; keep the log line one printable line.
std::string printable(const std::string& s) {
  std::string out;
  for (char c : s.substr(0, 120)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
  return out;
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

void logLine(const std::string& message) {
  static std::mutex logMutex;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::lock_guard<std::mutex> lock(logMutex);
  std::fprintf(stderr, "%s tav-server: %s\n", stamp, message.c_str());
  std::fflush(stderr);
}

HttpService::HttpService(Store& store, ServeOptions options)
    : store_(store), options_(std::move(options)) {
  if (!options_.tlsCert.empty() || !options_.tlsKey.empty()) {
    if (options_.tlsCert.empty() || options_.tlsKey.empty())
      throw std::runtime_error("HTTPS needs both --tls-cert and --tls-key.");
    auto tls = std::make_unique<httplib::SSLServer>(options_.tlsCert.c_str(), options_.tlsKey.c_str());
    if (!tls->is_valid())
      throw std::runtime_error("The TLS certificate or key cannot be loaded, or they do not match.");
    server_ = std::move(tls);
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  const std::size_t threads = options_.threads == 0 ? 1 : options_.threads;
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server_->set_tcp_nodelay(true);
  // httplib's default also sets SO_REUSEPORT, which lets a second server bind the same port and
  // silently share the stations; keep only SO_REUSEADDR for quick restarts.
  server_->set_socket_options([this](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listenSocket_ = sock;
  });
  server_->set_keep_alive_max_count(kKeepAliveRequests);
  server_->set_keep_alive_timeout(kKeepAliveSeconds);
  server_->set_payload_max_length(kMaxCommandBytes);
  installRoutes();
}

HttpService::~HttpService() { stop(); }

void HttpService::installRoutes() {
  httplib::Server& svr = *server_;

  const auto answerQuery = [this](const httplib::Request& req, httplib::Response& res) {
    const auto started = std::chrono::steady_clock::now();
    metrics_.recordRequest();
    try {
      Answer answer = execute(store_, req.body);
      res.set_content(wire::encode(answer.recordset), "application/json");
      metrics_.recordAnswer(answer.procedure, answer.code);
    } catch (const BadCommand& e) {
      answerError(res, 400, e.what());
    } catch (const StoreUnavailable& e) {
      answerError(res, 503, e.what());
    } catch (const std::exception& e) {
      logLine(std::string("internal failure: ") + e.what());
      answerError(res, 500, defaultSentence(500));
    }
    metrics_.recordLatency(std::chrono::steady_clock::now() - started);
  };
  // The path every station sends, spelled as the stations spell it, first: its match needs no
  // captured names and no comparison of them. Other spellings of the names come to the second.
  svr.Post(exactQueryRoute(), answerQuery);
  svr.Post(kQueryRoute, [answerQuery](const httplib::Request& req, httplib::Response& res) {
    if (!isQueryRoute(req)) {
      answerError(res, 404, defaultSentence(404));
      return;
    }
    answerQuery(req, res);
  });

  // Every other method on the business object's route: 405, as long as the route names it.
  const auto notPost = [](const httplib::Request& req, httplib::Response& res) {
    if (!isQueryRoute(req)) {
      answerError(res, 404, defaultSentence(404));
      return;
    }
    res.set_header("Allow", "POST");
    answerError(res, 405, defaultSentence(405));
  };
  svr.Get(kQueryRoute, notPost);  // HEAD is routed here too
  svr.Put(kQueryRoute, notPost);
  svr.Patch(kQueryRoute, notPost);
  svr.Delete(kQueryRoute, notPost);
  svr.Options(kQueryRoute, notPost);

  svr.Get("/health", [this](const httplib::Request&, httplib::Response& res) {
    if (storeAnswers()) {
      res.set_content("ok", "text/plain; charset=utf-8");
    } else {
      answerError(res, 503, defaultSentence(503));
    }
  });

  svr.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content(metrics_.render(), "text/plain; version=0.0.4; charset=utf-8");
  });

  svr.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "unknown exception";
        try {
          if (ep) std::rethrow_exception(ep);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        logLine("internal failure: " + what);
        answerError(res, 500, defaultSentence(500));
      });

  // Runs for every answer of 400 and above, ours and httplib's own (bad request line, 413, 404).
  svr.set_error_handler(httplib::Server::HandlerWithResponse(
      [this](const httplib::Request& req, httplib::Response& res) {
    metrics_.recordError(res.status);
    const bool filled = !res.body.empty();
    if (!filled) res.set_content(wire::encodeError(defaultSentence(res.status)), "application/json");
    logLine("error " + std::to_string(res.status) + " " + printable(req.method) + " " +
            printable(req.path) + " from " + req.remote_addr + ": " + wire::decodeError(res.body));
    return filled ? httplib::Server::HandlerResponse::Unhandled
                  : httplib::Server::HandlerResponse::Handled;
      }));
}

bool HttpService::storeAnswers() {
  try {
    store_.read([](Reader& reader) { reader.findVenue(""); });
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void HttpService::bind() {
  bool ok;
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port(options_.host);
    ok = port_ > 0;
  } else {
    ok = server_->bind_to_port(options_.host, options_.port);
    if (ok) port_ = options_.port;
  }
  // httplib listens with a backlog of 5: when a gate's stations all connect at once (opening
  // time, a server restart) the rest of their SYNs are dropped and each waits a second or more
  // to retry. Listening again on the bound socket only raises the backlog.
  if (ok && listenSocket_ >= 0) ::listen(listenSocket_, SOMAXCONN);
  if (!ok) {
    throw std::runtime_error("Cannot listen on " + options_.host + ":" +
                             std::to_string(options_.port) +
                             ": the address is in use or not available on this machine.");
  }
}

std::string HttpService::url() const {
  const bool v6 = options_.host.find(':') != std::string::npos;
  const std::string host = v6 ? "[" + options_.host + "]" : options_.host;
  return std::string(options_.tlsCert.empty() ? "http" : "https") + "://" + host + ":" +
         std::to_string(port_);
}

bool HttpService::run() {
  runState_ = 1;
  bool ok = true;
  if (!stopRequested_) ok = server_->listen_after_bind() || stopRequested_;
  runState_ = 2;
  return ok;
}

void HttpService::stop() {
  stopRequested_ = true;
  // httplib ignores stop() until its accept loop runs; wait for that if run() is on its way.
  while (runState_ == 1 && !server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  server_->stop();
}

}  // namespace tav::server
