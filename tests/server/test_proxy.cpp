// tav-server behind a proxy that sends the PROXY protocol (version 2), against the real binary on
// 127.0.0.1: the proxy is 127.0.0.2, strangers are other 127/8 addresses, and the clients the
// headers carry are addresses of any kind.
#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "server/core/store.h"
#include "server/http/proxy_protocol.h"
#include "server/tools/open_store.h"
#include "tests/server/hostile_crowd.h"
#include "tests/server/server_process.h"

namespace tav::test {
namespace {

const std::string kProxy = "127.0.0.2";
const std::string kStranger = "127.0.0.3";
const std::string kSignature{"\r\n\r\n\0\r\nQUIT\n", 12};

// A header with its length filled in: `verCmd` 0x21 is version 2 PROXY, 0x20 LOCAL.
std::string header(unsigned char verCmd, unsigned char family, const std::string& rest) {
  return kSignature + std::string{static_cast<char>(verCmd), static_cast<char>(family),
                                  static_cast<char>(rest.size() >> 8), static_cast<char>(rest.size() & 0xff)} +
         rest;
}

// The address block of a TCP connection from `client` (IPv4 or IPv6) to the server, port 8470.
std::string addressBlock(const boost::asio::ip::address& client) {
  std::string block;
  if (client.is_v4()) {
    for (unsigned char b : client.to_v4().to_bytes()) block += static_cast<char>(b);
    block += std::string("\x7f\0\0\x01", 4);
  } else {
    for (unsigned char b : client.to_v6().to_bytes()) block += static_cast<char>(b);
    block += std::string(15, '\0') + "\x01";
  }
  return block + std::string("\xc3\x50\x21\x16", 4);  // ports 50000 and 8470
}

// What HAProxy's send-proxy-v2 sends for a client's connection.
std::string proxied(const std::string& client) {
  const auto address = boost::asio::ip::make_address(client);
  return header(0x21, address.is_v4() ? 0x11 : 0x21, addressBlock(address));
}

// What its health checks send (check-send-proxy).
std::string local() { return header(0x20, 0x00, ""); }

std::string request(const std::string& method, const std::string& path, const std::string& body = "",
                    const std::string& token = "") {
  std::string out = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!token.empty()) out += "Cookie: tav_session=" + token + "\r\n";
  if (!body.empty())
    out += "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  return out + "\r\n" + body;
}

std::string queryRequest(const std::string& text, const std::string& token = "") {
  return request("POST", kQueryPath, text, token);
}

void sendAll(int fd, const std::string& bytes) {
  if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("The request could not be sent.");
}

// Sends `bytes` on a new connection from `from` and returns all the server sent until it closed
// (empty: closed unanswered). Every request here asks for the connection to be closed after it.
std::string exchange(int port, const std::string& from, const std::string& bytes) {
  const int fd = connectFrom(port, from);
  std::string in;
  try {
    sendAll(fd, bytes);
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      // A guard against a hang, never a measure of speed.
      if (poll(&p, 1, 30000) <= 0) throw std::runtime_error("The server neither answered nor closed.");
      char buf[4096];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      in.append(buf, static_cast<std::size_t>(n));
    }
  } catch (...) {
    close(fd);
    throw;
  }
  close(fd);
  return in;
}

int statusOf(const std::string& answer) {
  int status = 0;
  std::sscanf(answer.c_str(), "HTTP/1.1 %d", &status);
  return status;
}

std::string bodyOf(const std::string& answer) {
  const auto at = answer.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : answer.substr(at + 4);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

TEST(ProxyHeader, TakesVersionTwoOverTcpAndRefusesTheRest) {
  const auto v4 = boost::asio::ip::make_address("10.1.2.3");
  struct Case {
    std::string what, bytes;
    bool taken;
    std::string source;  // what a taken header carries; "" for LOCAL
  };
  const std::string tlv = std::string("\x04\x00\x03", 3) + "abc";  // a NOOP TLV with three bytes
  const std::vector<Case> cases = {
      {"PROXY over TCP/IPv4", proxied("10.1.2.3"), true, "10.1.2.3"},
      {"PROXY over TCP/IPv6", proxied("2001:db8::7"), true, "2001:db8::7"},
      {"PROXY with a TLV after the addresses", header(0x21, 0x11, addressBlock(v4) + tlv), true, "10.1.2.3"},
      {"LOCAL without addresses", local(), true, ""},
      {"LOCAL with the proxy's addresses", header(0x20, 0x11, addressBlock(v4)), true, ""},
      {"version 1 text", "PROXY TCP4 10.1.2.3 127.0.0.1 50000 8470\r\n", false, ""},
      {"version 3", header(0x31, 0x11, addressBlock(v4)), false, ""},
      {"a command neither PROXY nor LOCAL", header(0x22, 0x11, addressBlock(v4)), false, ""},
      {"PROXY without a family", header(0x21, 0x00, ""), false, ""},
      {"PROXY over UDP", header(0x21, 0x12, addressBlock(v4)), false, ""},
      {"PROXY over a UNIX socket", header(0x21, 0x31, std::string(216, '\0')), false, ""},
      {"IPv4 address block cut short", header(0x21, 0x11, addressBlock(v4).substr(0, 8)), false, ""},
      {"a TLV past the end", header(0x21, 0x11, addressBlock(v4) + tlv.substr(0, 5)), false, ""},
      {"longer than 536 bytes", header(0x21, 0x11, addressBlock(v4) + std::string("\x04\x01\xfe", 3) +
                                                       std::string(510, 'x')), false, ""},
      {"shorter than it says", proxied("10.1.2.3").substr(0, 20), false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      const server::ProxyHeader parsed = server::parseProxyHeader(c.bytes);
      ASSERT_TRUE(c.taken);
      EXPECT_EQ(parsed.source ? parsed.source->to_string() : "", c.source);
    } catch (const std::invalid_argument& e) {
      EXPECT_FALSE(c.taken) << e.what();
      const std::string sentence = e.what();
      EXPECT_EQ(sentence.back(), '.') << sentence;
    }
  }
  // The largest header taken, and what a stranger's first bytes are looked at for.
  EXPECT_EQ(server::proxyHeaderRest(header(0x21, 0x11, std::string(520, '\0'))), 520u);
  EXPECT_TRUE(server::startsWithProxySignature(local()));
  EXPECT_TRUE(server::startsWithProxySignature("PROXY TCP4 "));
  EXPECT_FALSE(server::startsWithProxySignature("POST /objects/Nuvrel.member/Query"));
  EXPECT_FALSE(server::startsWithProxySignature(kSignature.substr(0, 11)));
}

// A server that trusts 127.0.0.2 as its proxy, with small per-address limits.
class ProxyFixture : public ::testing::Test {
 protected:
  static constexpr int kPerSource = 2, kSignIns = 2;
  void SetUp() override {
    server_ = std::make_unique<ServerProcess>(
        venue_.store, std::vector<std::string>{"--trusted-proxy", kProxy, "--trusted-proxy", "::1",
                                               "--max-connections-per-source", std::to_string(kPerSource),
                                               "--max-signins-per-minute", std::to_string(kSignIns)});
    server_->start();
  }

  std::string send(const std::string& from, const std::string& bytes) { return exchange(server_->port(), from, bytes); }

  double refusals() {
    auto res = server_->client()->Get("/metrics");
    if (!res || res->status != 200) throw std::runtime_error("No metrics.");
    return metricValue(res->body, "tav_limit_refusals_total{limit=\"proxy_header\"}");
  }

  TestVenue venue_{4};
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(ProxyFixture, TakesHeadersFromTheTrustedProxyOnlyAndNeverAsLoopback) {
  struct Case {
    std::string what, from, bytes;
    int status;  // 0: closed unanswered
  };
  const std::string health = request("GET", "/health"), metrics = request("GET", "/metrics");
  const std::vector<Case> cases = {
      {"the proxy's own health check (LOCAL)", kProxy, local() + health, 200},
      {"a client through the proxy", kProxy, proxied("10.1.2.3") + health, 200},
      {"a stranger without a header", kStranger, health, 200},
      {"the proxy without a header", kProxy, health, 0},
      {"the proxy with a version 1 header", kProxy, "PROXY TCP4 10.1.2.3 127.0.0.1 50000 8470\r\n" + health, 0},
      {"the proxy with a malformed header", kProxy, header(0x21, 0x00, "") + health, 0},
      {"a client's own header behind the proxy's", kProxy, proxied("10.1.2.3") + proxied("10.9.9.9") + health, 0},
      {"a stranger with a version 2 header", kStranger, proxied("10.1.2.3") + health, 0},
      // Every address here is loopback; the one a header carries never counts as this machine.
      {"loopback carried by the proxy, for /metrics", kProxy, proxied("127.0.0.1") + metrics, 403},
      {"::1 carried by the proxy, for /metrics", kProxy, proxied("::1") + metrics, 403},
      {"the proxy itself (LOCAL), for /metrics", kProxy, local() + metrics, 200},
      // Last: it waits for the request's deadline of 10 s.
      {"the proxy with a header cut short", kProxy, proxied("10.1.2.3").substr(0, 20), 0},
  };
  const auto started = std::chrono::steady_clock::now();
  const double before = refusals();
  int closed = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(statusOf(send(c.from, c.bytes)), c.status);
    closed += c.status == 0;
  }
  EXPECT_EQ(refusals() - before, closed);
  const std::string log = server_->logWith("closed a connection from ");
  EXPECT_NE(log.find("closed a connection from 127.0.0.2: The connection does not begin with a PROXY protocol "
                     "version 2 header."),
            std::string::npos)
      << log;
  // One line per 10 s at most, however many are closed.
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
  EXPECT_LE(occurrences(log, "closed a connection from "), 1 + seconds.count() / 10) << log;
}

TEST_F(ProxyFixture, TheCarriedAddressSignsInChecksAndIsLimited) {
  const std::string signIn = kLoginProc + quoted(TestVenue::kOperator) + "," + quoted(TestVenue::kPassword);
  const std::string first = send(kProxy, proxied("10.1.2.3") + queryRequest(signIn));
  ASSERT_EQ(statusOf(first), 200) << first;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(first, m, std::regex("tav_session=([A-Za-z0-9_-]+)")));
  const std::string token = m[1];
  const std::string check = send(kProxy, proxied("10.1.2.3") + queryRequest(checkText("I", ticketNo(0)), token));
  ASSERT_EQ(statusOf(check), 200);
  EXPECT_EQ(fieldText(wire::decode(bodyOf(check)), "ErrCode"), "0");

  std::vector<server::ScanRecord> log;
  server::openStore(venue_.store, false)->read([&](server::Reader& r) { log = r.scanLog(0, 1000); });
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].kind, "login");
  EXPECT_EQ(log[0].source, "10.1.2.3");
  EXPECT_EQ(log[1].kind, "check");
  EXPECT_EQ(log[1].source, "10.1.2.3");

  // Sign-ins: each carried address has an allowance of its own, the proxy's connections none.
  EXPECT_EQ(statusOf(send(kProxy, proxied("10.1.2.3") + queryRequest(signIn))), 200);
  EXPECT_EQ(statusOf(send(kProxy, proxied("10.1.2.3") + queryRequest(signIn))), 429);
  EXPECT_EQ(statusOf(send(kProxy, proxied("10.1.2.4") + queryRequest(signIn))), 200);
  const std::string errors = server_->logWith("error 429");
  EXPECT_NE(errors.find("error 429 POST " + kQueryPath + " from 10.1.2.3: "), std::string::npos) << errors;

  // Connections: the cap counts the carried address, once its header is read, never the proxy.
  std::vector<int> held;
  for (int i = 0; i < kPerSource; ++i) {
    held.push_back(connectFrom(server_->port(), kProxy));
    sendAll(held.back(), proxied("10.7.7.7") + "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    pollfd p{held.back(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 30000), 1) << "the held connection " << i + 1 << " is answered";
  }
  EXPECT_EQ(statusOf(send(kProxy, proxied("10.7.7.7") + request("GET", "/health"))), 0);
  EXPECT_EQ(statusOf(send(kProxy, proxied("10.7.7.8") + request("GET", "/health"))), 200);
  for (int fd : held) close(fd);
}

// Sends `preamble` in the clear on a new connection from `from`, then `request` over TLS (the
// server's certificate is not checked: only the order of the bytes is). Returns all the server
// sent until it closed; empty when the handshake failed.
std::string tlsExchange(int port, const std::string& from, const std::string& preamble, const std::string& request) {
  const int fd = connectFrom(port, from);
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
  std::string in;
  if (!preamble.empty()) sendAll(fd, preamble);
  SSL_set_fd(ssl.get(), fd);
  if (SSL_connect(ssl.get()) == 1 && SSL_write(ssl.get(), request.data(), static_cast<int>(request.size())) > 0) {
    char buf[4096];
    for (int n; (n = SSL_read(ssl.get(), buf, sizeof buf)) > 0;) in.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  return in;
}

TEST(ProxyTls, TheHeaderComesBeforeTheClientHelloInTheClear) {
  TestVenue venue(1);
  const std::string tls = venue.dir.file("tls");
  setupTool({"tls-init", "--dir", tls, "--host", "127.0.0.1"});
  ServerProcess server(venue.store, {"--tls-cert", tls + "/server.pem", "--tls-key", tls + "/server-key.pem",
                                     "--trusted-proxy", kProxy});
  server.start();
  struct Case {
    std::string what, from, preamble, path;
    int status;  // 0: closed, the handshake failed
  };
  const std::vector<Case> cases = {
      {"the proxy's own health check (LOCAL)", kProxy, local(), "/health", 200},
      {"loopback carried by the proxy, for /metrics", kProxy, proxied("127.0.0.1"), "/metrics", 403},
      {"the proxy without a header", kProxy, "", "/health", 0},
      {"a stranger with a header", kStranger, proxied("10.1.2.3"), "/health", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(statusOf(tlsExchange(server.port(), c.from, c.preamble, request("GET", c.path))), c.status);
  }
}

TEST(ProxyOptions, ABadTrustedProxyIsAStartError) {
  TestVenue venue(1);
  for (const char* bad : {"10.0.0.0/8", "proxy.example", "10.0.0"}) {
    const ToolResult r =
        runTool({"serve", "--store", venue.store, "--listen", "127.0.0.1:0", "--trusted-proxy", bad});
    EXPECT_NE(r.exitCode, 0) << bad;
    EXPECT_NE(r.err.find("--trusted-proxy: \"" + std::string(bad) + "\" is not one IPv4 or IPv6 address."),
              std::string::npos)
        << r.err;
  }
}

}  // namespace
}  // namespace tav::test
