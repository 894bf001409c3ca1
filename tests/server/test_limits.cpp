// tav-server's connection limits against the real binary on 127.0.0.1: stations keep checking
// beside thousands of slow and idle connections, and each limit refuses with its status, its
// sentence, its log line and its counter, writing nothing.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/core/store.h"
#include "server/http/connection_budget.h"
#include "server/http/source_limits.h"
#include "server/tools/open_store.h"
#include "tests/server/hostile_crowd.h"
#include "tests/server/server_process.h"

namespace tav::test {
namespace {

using Clock = std::chrono::steady_clock;

// A guard against a hang, never a measure of speed.
constexpr int kGuardMs = 30000;

struct RawAnswer {
  int status = 0;  // 0: the server closed the connection without an answer
  std::string head, body;
};

// One connection written and read byte for byte, for what an HTTP library would not send.
class RawClient {
 public:
  RawClient(int port, const std::string& source = "127.0.0.1") : fd_(connectFrom(port, source)) {}
  ~RawClient() { close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

  // Reads one answer (its body by Content-Length); status 0 when the connection ends first.
  RawAnswer read() {
    RawAnswer a;
    std::size_t headEnd;
    while ((headEnd = in_.find("\r\n\r\n")) == std::string::npos)
      if (!fill()) return a;
    a.head = in_.substr(0, headEnd);
    std::sscanf(a.head.c_str(), "HTTP/1.1 %d", &a.status);
    std::size_t length = 0;
    if (const auto at = a.head.find("Content-Length: "); at != std::string::npos)
      length = std::stoul(a.head.substr(at + 16));
    while (in_.size() < headEnd + 4 + length)
      if (!fill()) return RawAnswer{};
    a.body = in_.substr(headEnd + 4, length);
    in_.erase(0, headEnd + 4 + length);
    return a;
  }

  // True once the server has closed the connection (end of stream or reset); false when it
  // keeps it open past the guard.
  bool closedByServer() {
    try {
      while (fill()) {
      }
      return true;
    } catch (const std::runtime_error&) {
      return false;
    }
  }

 private:
  bool fill() {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kGuardMs) <= 0) throw std::runtime_error("The server neither answered nor closed.");
    char buf[4096];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    in_.append(buf, static_cast<std::size_t>(n));
    return true;
  }

  int fd_;
  std::string in_;
};

std::string post(const std::string& extraHeaders, const std::string& body) {
  return "POST " + kQueryPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain; charset=utf-8\r\n" +
         extraHeaders + "\r\n" + body;
}

std::string chunked(const std::string& body) {
  std::string out;
  for (std::size_t at = 0; at < body.size(); at += 1000) {
    const std::string part = body.substr(at, 1000);
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", part.size());
    out += size + part + "\r\n";
  }
  return out + "0\r\n\r\n";
}

std::string withLength(const std::string& body) { return "Content-Length: " + std::to_string(body.size()) + "\r\n"; }

double scrape(const ServerProcess& server, const std::string& sample) {
  auto res = server.client()->Get("/metrics");
  if (!res || res->status != 200) throw std::runtime_error("No metrics.");
  return metricValue(res->body, sample);
}

bool isSentence(const std::string& body) {
  const std::string sentence = wire::decodeError(body);
  return !sentence.empty() && sentence.back() == '.';
}

std::string refusals(const std::string& limit) { return "tav_limit_refusals_total{limit=\"" + limit + "\"}"; }

// Waits until `holds` is true, re-checking every 50 ms; false after the guard.
template <class Predicate>
bool eventually(Predicate holds) {
  const auto until = Clock::now() + std::chrono::milliseconds(kGuardMs);
  while (!holds()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

TEST(ServerLimits, StationsKeepCheckingBesideSlowAndIdleCrowds) {
  constexpr int kSlow = 2000, kIdle = 5000, kStations = 16;
  ASSERT_GT(raiseOpenFileLimit(), rlim_t{kSlow + kIdle + 200}) << "this test needs more open files";

  TestVenue venue(400);
  ServerProcess server(venue.store);
  server.start();
  const long rssBefore = statusKb(server.pid(), "VmRSS");
  HostileCrowd crowd(server.port(), kSlow, kIdle);
  ASSERT_TRUE(eventually([&] { return scrape(server, "tav_open_connections") >= kSlow + kIdle; }));

  // Long enough that the slow connections' deadline passes while the stations check.
  const auto until = Clock::now() + std::chrono::seconds(11);
  std::vector<int> answered(kStations, 0), failed(kStations, 0);
  std::vector<std::thread> stations;
  for (int s = 0; s < kStations; ++s) {
    stations.emplace_back([&, s] {
      auto client = server.client();
      for (int i = 0; Clock::now() < until; ++i) {
        const std::string mode = i % 2 == 0 ? "I" : "O";
        bool ok = false;
        try {
          ok = !codeOf(*client, checkText(mode, ticketNo(s + kStations * (i / 2 % 25)))).empty();
        } catch (const std::exception&) {
        }
        ++(ok ? answered : failed)[static_cast<std::size_t>(s)];
      }
    });
  }
  for (auto& t : stations) t.join();
  for (int s = 0; s < kStations; ++s) {
    EXPECT_GT(answered[static_cast<std::size_t>(s)], 0) << "station " << s;
    EXPECT_EQ(failed[static_cast<std::size_t>(s)], 0) << "station " << s;
  }
  EXPECT_TRUE(eventually([&] { return scrape(server, refusals("request_timeout")) >= kSlow; }));
  EXPECT_GE(scrape(server, "tav_open_connections"), kIdle) << "the idle connections are held";
  const long grownMb = (statusKb(server.pid(), "VmHWM") - rssBefore) / 1024;
  EXPECT_LT(grownMb, 150) << "the crowd costs the server " << grownMb << " MB";
}

// A server of its own per test, with small limits so that reaching them is quick.
class LimitsFixture : public ::testing::Test {
 protected:
  static constexpr int kPerSource = 8, kSignIns = 3;
  void SetUp() override {
    server_ = std::make_unique<ServerProcess>(
        venue_.store, std::vector<std::string>{"--max-connections-per-source", std::to_string(kPerSource),
                                               "--max-signins-per-minute", std::to_string(kSignIns)});
    server_->start();
  }

  // Scan log lines and tickets inside, as the store holds them beside the running server.
  std::pair<std::size_t, std::string> storeSnapshot() {
    auto store = server::openStore(venue_.store, false);
    std::pair<std::size_t, std::string> snapshot;
    store->read([&](server::Reader& r) {
      snapshot.first = r.scanLog(0, 1000000).size();
      for (int i = 0; i < venue_.count; ++i) {
        auto t = r.findTicket(TestVenue::kBizCode, ticketNo(i));
        snapshot.second += t && t->inside ? 'i' : 'o';
      }
    });
    return snapshot;
  }

  TestVenue venue_{8};
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(LimitsFixture, RefusesOversizedEncodedAndMalformedRequestsAndWritesNothing) {
  struct Case {
    std::string what, request;
    int status;
    std::string limit;  // the counter it raises, if any
  };
  const std::string padded = checkText("I", ticketNo(1)) + std::string(9000, ' ');  // blanks are allowed there
  const std::string check2 = checkText("I", ticketNo(2)), check3 = checkText("I", ticketNo(3));
  const std::vector<Case> cases = {
      {"chunked body over 8 KiB", post("Transfer-Encoding: chunked\r\n", chunked(padded)), 413, "body_size"},
      {"declared body over 8 KiB", post(withLength(padded), padded), 413, "body_size"},
      {"compressed body", post("Content-Encoding: gzip\r\n" + withLength(check3), check3), 415, "content_encoding"},
      {"compressed chunks", post("Transfer-Encoding: gzip, chunked\r\n", chunked(check3)), 415, "content_encoding"},
      {"header block over 8 KiB", post("X-Pad: " + std::string(8300, 'h') + "\r\n" + withLength(check3), check3), 431,
       "header_size"},
      {"value of 201 characters", post(withLength(checkText("I", std::string(201, 'T'))), checkText("I", std::string(201, 'T'))),
       400, ""},
      // The same paths within their limits: answered, and written.
      {"chunked body within 8 KiB", post("Transfer-Encoding: chunked\r\n", chunked(check2)), 200, ""},
      {"value of 200 characters", post(withLength(checkText("I", std::string(200, 'T'))), checkText("I", std::string(200, 'T'))),
       200, ""},
  };
  std::map<std::string, double> before;
  for (const auto& c : cases) before[c.limit] = scrape(*server_, refusals(c.limit));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto stored = storeSnapshot();
    RawClient client(server_->port());
    client.send(c.request);
    const RawAnswer a = client.read();
    ASSERT_EQ(a.status, c.status) << a.head;
    const auto after = storeSnapshot();
    if (c.status == 200) {
      EXPECT_EQ(after.first, stored.first + 1) << "an answered check is logged";
      continue;
    }
    EXPECT_NE(a.head.find("Content-Type: application/json"), std::string::npos) << a.head;
    EXPECT_TRUE(isSentence(a.body)) << a.body;
    EXPECT_EQ(after, stored);
  }
  for (const auto& [limit, count] : before) {
    if (limit.empty()) continue;
    const auto expected = std::count_if(cases.begin(), cases.end(), [&](const Case& c) { return c.limit == limit; });
    EXPECT_EQ(scrape(*server_, refusals(limit)) - count, expected) << limit;
  }
}

TEST_F(LimitsFixture, ClosesConnectionsOverTheCapOfOneSourceAndServesOthers) {
  const std::string health = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::vector<std::unique_ptr<RawClient>> held;
  for (int i = 0; i < kPerSource; ++i) {
    held.push_back(std::make_unique<RawClient>(server_->port(), "127.0.0.2"));
    held.back()->send(health);
    ASSERT_EQ(held.back()->read().status, 200) << "connection " << i + 1;
  }
  RawClient over(server_->port(), "127.0.0.2");
  over.send(health);
  EXPECT_EQ(over.read().status, 0) << "connection " << kPerSource + 1 << " is closed unanswered";
  EXPECT_EQ(scrape(*server_, refusals("connections_per_source")), 1);

  auto other = server_->client(sessionInStore(venue_.store));  // another source, the stations' 127.0.0.1
  EXPECT_EQ(codeOf(*other, checkText("I", ticketNo(4))), "0");
  held.back()->send(health);
  EXPECT_EQ(held.back()->read().status, 200) << "the connections within the cap stay served";
  EXPECT_NE(server_->logWith("refused a connection from 127.0.0.2").find("refused a connection from 127.0.0.2"),
            std::string::npos);

  held.pop_back();  // once one closes, the source may open another
  EXPECT_TRUE(eventually([&] {
    RawClient again(server_->port(), "127.0.0.2");
    again.send(health);
    return again.read().status == 200;
  }));
}

TEST_F(LimitsFixture, AnswersSignInsOverTheRateOfOneSourceWith429) {
  auto client = server_->client(sessionInStore(venue_.store));
  const std::string venueSignIn = kLoginProc + "'" + TestVenue::kPlace + "'";
  for (int i = 0; i < kSignIns; ++i) ASSERT_EQ(codeOf(*client, venueSignIn), "0") << "sign-in " << i + 1;
  for (const std::string& text : {venueSignIn, kLoginProc + "'gate1','pa''s wörd'"}) {
    auto res = query(*client, text);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 429);
    EXPECT_TRUE(isSentence(res->body)) << res->body;
    const int retry = std::atoi(res->get_header_value("Retry-After").c_str());
    EXPECT_GE(retry, 1);
    EXPECT_LE(retry, 60);
  }
  EXPECT_EQ(codeOf(*client, checkText("I", ticketNo(5))), "0") << "checks are not sign-ins";

  RawClient elsewhere(server_->port(), "127.0.0.3");
  elsewhere.send(post(withLength(venueSignIn), venueSignIn));
  EXPECT_EQ(elsewhere.read().status, 200) << "another source has a rate of its own";
  EXPECT_EQ(scrape(*server_, refusals("signins_per_minute")), 2);
  const std::string log = server_->logWith("error 429", 2);
  EXPECT_NE(log.find("error 429 POST " + kQueryPath + " from 127.0.0.1: "), std::string::npos) << log;
}

TEST_F(LimitsFixture, ClosesARequestStalledMidHeaderAfterItsDeadline) {
  RawClient stalled(server_->port(), "127.0.0.5");
  stalled.send("POST " + kQueryPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n");
  const RawAnswer a = stalled.read();  // about ten seconds
  EXPECT_EQ(a.status, 408) << a.head;
  EXPECT_TRUE(isSentence(a.body)) << a.body;
  EXPECT_TRUE(stalled.closedByServer());
  EXPECT_EQ(scrape(*server_, refusals("request_timeout")), 1);
  const std::string log = server_->logWith("error 408");
  EXPECT_NE(log.find("error 408 POST " + kQueryPath + " from 127.0.0.5: "), std::string::npos) << log;
}

// The open-file limit of a real package is tens of thousands; 1,024 shows the same within a test.
// A crowd of idle connections from many addresses passes it, each sent one request first: none,
// or one with a made-up session cookie and station key, which must win it nothing; beside it, two
// more addresses flood cheap requests. A station checking on a new connection for every check (its
// own way) has each answered within its 10 s, keyless or with its registered key.
struct BudgetAttack {
  std::string what;
  std::string firstRequest;
  bool flood = false;
  bool stationKey = false;
};

class BudgetUnderAttack : public ::testing::TestWithParam<BudgetAttack> {};

TEST_P(BudgetUnderAttack, EveryCheckOfAStationOnNewConnectionsIsAnswered) {
  const BudgetAttack& attack = GetParam();
  constexpr rlim_t kServerFiles = 1024;
  constexpr int kIdle = 1600, kChecks = 150;
  ASSERT_GT(raiseOpenFileLimit(), rlim_t{kIdle + 400}) << "this test needs more open files";
  TestVenue venue(kChecks);
  std::string key;
  if (attack.stationKey) {
    const std::string file = venue.dir.file("gate.key");
    setupTool({"add-station", "--store", venue.store, "--place", TestVenue::kPlace, "--name", "1번 게이트",
               "--key-file", file});
    std::getline(std::ifstream(file), key);
  }
  ServerProcess server(venue.store);
  server.limitOpenFiles(kServerFiles);
  server.start();
  CrowdPlan idle;
  idle.idle = kIdle;
  idle.firstRequest = attack.firstRequest;
  HostileCrowd crowd(server.port(), idle);  // from four addresses, each under its cap
  std::unique_ptr<HostileCrowd> flood;
  if (attack.flood) {
    CrowdPlan cheap;
    cheap.churn = 128;
    cheap.perSource = 64;
    cheap.firstSource = "127.4.0.1";
    cheap.churnRequest = getRequest("/dashboard/none", "Cookie: tav_session=" + std::string(43, 'A') + "\r\n");
    flood = std::make_unique<HostileCrowd>(server.port(), cheap);
  }
  ASSERT_TRUE(eventually([&] { return scrape(server, refusals("connection_budget")) > 0; }));

  const std::string session = sessionInStore(venue.store);
  int answered = 0;
  for (int i = 0; i < kChecks; ++i) {
    auto station = server.client(session);
    station->set_keep_alive(false);
    station->set_read_timeout(10, 0);
    if (!key.empty()) station->set_default_headers({{"Tav-Station", key}, {"Cookie", "tav_session=" + session}});
    try {
      answered += codeOf(*station, checkText("I", ticketNo(i))) == "0";
    } catch (const std::exception& e) {
      ADD_FAILURE() << "check " << i << ": " << e.what();
    }
  }
  EXPECT_EQ(answered, kChecks);
  EXPECT_GT(crowd.reopened(), 0u) << "the server closed idle connections to make room";
  if (flood) {
    EXPECT_GT(flood->churned(), 100u) << "the flood was answered meanwhile";
  }
  EXPECT_LE(scrape(server, "tav_open_connections"), static_cast<double>(kServerFiles));
  EXPECT_NE(server.logWith("of the longest-idle connections").find("of the longest-idle connections"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    ServerLimits, BudgetUnderAttack,
    ::testing::Values(
        BudgetAttack{"IdleCrowd", ""},
        BudgetAttack{"MadeUpCookiesAndAFlood",
                     getRequest("/dashboard/none", "Cookie: tav_session=" + std::string(43, 'x') + "\r\nTav-Station: " +
                                               std::string(43, 'y') + "\r\n"),
                     true},
        BudgetAttack{"MadeUpCookiesAndAFloodBesideAKeyedStation",
                     getRequest("/dashboard/none", "Cookie: tav_session=" + std::string(43, 'x') + "\r\n"), true, true}),
    [](const auto& test) { return test.param.what; });

// Forty addresses send 110 wrong sign-ins a minute each, under the per-address rate: more password
// checks than two cores make. The operator at its usual address still signs in, and the server
// stops at once.
TEST(ServerLimits, AnOperatorSignsInThroughAFloodOfSignInsAndTheServerStopsAtOnce) {
  constexpr int kFlooders = 40;
  constexpr auto kEvery = std::chrono::milliseconds(60000 / 110);
  TestVenue venue(4);
  ServerProcess server(venue.store);
  server.start();
  std::atomic<bool> stop{false};
  std::atomic<int> busy{0};
  std::vector<std::thread> flood;
  struct Joiner {
    std::atomic<bool>& stop;
    std::vector<std::thread>& threads;
    ~Joiner() {
      stop = true;
      for (auto& t : threads) t.join();
    }
  } joiner{stop, flood};
  for (int a = 0; a < kFlooders; ++a) {
    flood.emplace_back([&, a] {
      const std::string text = kLoginProc + "'nobody" + std::to_string(a) + "','wrong password'";
      for (auto next = Clock::now() + kEvery * a / kFlooders; !stop; next += kEvery) {
        std::this_thread::sleep_until(next);
        try {
          RawClient c(server.port(), "127.3.0." + std::to_string(a + 1));
          c.send(post(withLength(text), text));
          if (c.read().status == 503) ++busy;
        } catch (const std::exception&) {
        }
      }
    });
  }
  // Every flooder has signed in a few times by then, as a flood that has gone on for a while has.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ASSERT_GT(busy, 0) << "the flood outruns the password checks";

  for (int attempt = 0; attempt < 3; ++attempt) {
    auto station = server.client();
    const auto started = Clock::now();
    auto res = query(*station, kLoginProc + quoted(TestVenue::kOperator) + "," + quoted(TestVenue::kPassword));
    const auto took = Clock::now() - started;
    ASSERT_TRUE(res) << "sign-in " << attempt + 1;
    EXPECT_EQ(res->status, 200) << res->body;
    EXPECT_FALSE(sessionTokenOf(res).empty()) << res->body;
    EXPECT_LT(took, std::chrono::seconds(3)) << "sign-in " << attempt + 1;
  }
  EXPECT_GT(scrape(server, refusals("signin_queue_full")) + scrape(server, refusals("signin_queue_wait")), 0);

  const auto stopping = Clock::now();
  EXPECT_EQ(server.stop(), 0) << server.log();
  EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(2)) << "stopping waits for no queue";
}

TEST_F(LimitsFixture, RefusesWhatAnotherSitesPageSendsAndWritesNothing) {
  const std::string own = "http://127.0.0.1:" + std::to_string(server_->port());
  const std::string cookie = "Cookie: tav_session=" + sessionInStore(venue_.store) + "\r\n";
  struct Case {
    std::string what, headers;
    int status;
  };
  const std::vector<Case> cases = {
      {"a page on another port", "Origin: http://127.0.0.1:9\r\n", 403},
      {"an opaque origin", "Origin: null\r\n", 403},
      {"another scheme", "Origin: https://127.0.0.1:" + std::to_string(server_->port()) + "\r\n", 403},
      {"a cross-site fetch", "Sec-Fetch-Site: cross-site\r\n", 403},
      {"a same-site fetch", "Sec-Fetch-Site: same-site\r\n", 403},
      {"the server's own page", "Origin: " + own + "\r\nSec-Fetch-Site: same-origin\r\n", 200},
      {"the station, which names no page", "", 200},
  };
  int ticket = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto stored = storeSnapshot();
    const std::string text = checkText("I", ticketNo(ticket++ % venue_.count));
    RawClient client(server_->port());
    client.send("POST " + kQueryPath + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server_->port()) + "\r\n" +
                cookie + c.headers + withLength(text) + "\r\n" + text);
    const RawAnswer a = client.read();
    ASSERT_EQ(a.status, c.status) << a.head << a.body;
    if (c.status == 403) {
      EXPECT_TRUE(isSentence(a.body)) << a.body;
      EXPECT_EQ(storeSnapshot(), stored);
    }
  }
  EXPECT_EQ(scrape(*server_, refusals("foreign_origin")), 5);
}

// A client that asks for the dashboard's largest file again and again and never reads holds the
// server's fixed send buffer for at most the write deadline.
TEST_F(LimitsFixture, ClosesAConnectionThatStopsReadingItsAnswers) {
  RawClient reader(server_->port(), "127.0.0.6");
  std::string requests;
  for (int i = 0; i < 100; ++i) requests += "GET /dashboard/chart.min.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  reader.send(requests);
  ASSERT_TRUE(eventually([&] { return scrape(*server_, refusals("stalled_response")) >= 1; }));
  EXPECT_TRUE(reader.closedByServer());
}

// The sockets of the server's port that no process holds any more (closed, inode 0) and the bytes
// still queued in them for their clients, from /proc/net/tcp: what closing left in the kernel.
std::pair<long, long> closedButUnsent(int port) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);  // the heading
  long sockets = 0, bytes = 0;
  while (std::getline(in, line)) {
    char local[64] = "", queues[64] = "";
    unsigned long inode = 1;
    if (std::sscanf(line.c_str(), "%*s %63s %*s %*s %63s %*s %*s %*s %*s %lu", local, queues, &inode) != 3) continue;
    const char* colon = std::strchr(local, ':');
    if (!colon || std::strtol(colon + 1, nullptr, 16) != port || inode != 0) continue;
    const long unsent = std::strtol(queues, nullptr, 16);
    if (unsent > 0) {
      ++sockets;
      bytes += unsent;
    }
  }
  return {sockets, bytes};
}

// Slow readers ask for the dashboard's largest file and never read it. The server sends every
// answer from the one copy of the file, refuses more of them once their send buffers together
// reach its limit, and resets the stalled ones, so that neither its memory nor the kernel's keeps
// what they never took, even while the readers hold their ends open.
TEST(ServerLimits, SlowReadersOfTheLargestFileLeaveNeitherServerNorKernelMemoryBehind) {
  constexpr int kReaders = 1600, kPerSource = 400;
  ASSERT_GT(raiseOpenFileLimit(), rlim_t{kReaders + 200}) << "this test needs more open files";
  TestVenue venue(4);
  ServerProcess server(venue.store);
  server.start();
  const long rssBefore = statusKb(server.pid(), "VmRSS");
  std::vector<int> readers;
  const std::string request = getRequest("/dashboard/chart.min.js");
  for (int i = 0; i < kReaders; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, sourceAfter("127.5.0.1", static_cast<std::uint32_t>(i / kPerSource)).c_str(), &from.sin_addr);
    to.sin_port = htons(static_cast<std::uint16_t>(server.port()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    readers.push_back(fd);
  }
  // Each answer is stalled or put off; none is written whole.
  ASSERT_TRUE(eventually([&] {
    return scrape(server, refusals("stalled_response")) + scrape(server, refusals("queued_bytes")) >= kReaders;
  }));
  EXPECT_GT(scrape(server, refusals("queued_bytes")), 0) << "the send buffers of all together are bounded";
  const long grownMb = (statusKb(server.pid(), "VmHWM") - rssBefore) / 1024;
  EXPECT_LT(grownMb, 60) << "the readers cost the server " << grownMb << " MB at most";
  const auto [sockets, bytes] = closedButUnsent(server.port());
  EXPECT_EQ(sockets, 0) << "closed sockets still holding " << bytes << " bytes for readers that stalled";
  for (const int fd : readers) close(fd);
  EXPECT_LT((statusKb(server.pid(), "VmRSS") - rssBefore) / 1024, 60);

  // A browser that takes gzip gets the file compressed, from the same one copy.
  RawClient browser(server.port());
  browser.send(getRequest("/dashboard/chart.min.js", "Accept-Encoding: gzip, br\r\n"));
  const RawAnswer gz = browser.read();
  EXPECT_EQ(gz.status, 200);
  EXPECT_NE(gz.head.find("Content-Encoding: gzip"), std::string::npos) << gz.head;
  EXPECT_GT(gz.body.size(), 1000u);
  EXPECT_LT(gz.body.size(), 120u * 1024) << "compressed";
}

// A flood of each kind of error answer, from several addresses, writes a few lines of each in
// full and counts the rest in one line per kind and window; the counts add up to what was sent.
TEST_F(LimitsFixture, AFloodOfErrorAnswersWritesABoundedNumberOfLogLines) {
  constexpr int kEach = 300, kSources = 6;
  const std::string foreign = "Origin: http://127.0.0.1:9\r\n";
  const std::string stats = "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'S','" + std::string(TestVenue::kBizCode) + "','','',''";
  struct Kind {
    int status;
    std::string request;
  };
  const std::vector<Kind> kinds = {
      {404, getRequest("/no/such/route")},
      {400, post(withLength("Exec nothing("), "Exec nothing(")},
      {403, post(foreign + withLength(checkText("I", ticketNo(0))), checkText("I", ticketNo(0)))},
      {401, post(withLength(stats), stats)},
      {429, post(withLength(kLoginProc + "'nobody','wrong'"), kLoginProc + "'nobody','wrong'")},
  };
  std::map<int, int> sent;
  for (int i = 0; i < kEach; ++i) {
    for (const Kind& k : kinds) {
      RawClient client(server_->port(), sourceAfter("127.6.0.1", static_cast<std::uint32_t>(i % kSources)));
      client.send(k.request);
      sent[client.read().status] += 1;
    }
  }
  for (const Kind& k : kinds) EXPECT_GE(sent[k.status], k.status == 429 ? kEach - kSources * kSignIns : kEach);
  ASSERT_EQ(server_->stop(), 0);  // the window under way is summed up on the way out

  std::map<int, long> logged;
  int lines = 0;
  std::istringstream log(server_->log());
  for (std::string line; std::getline(log, line);) {
    int status = 0;
    long more = 0;
    const auto at = line.find("tav-server: error ");
    if (at == std::string::npos) continue;
    ++lines;
    const char* text = line.c_str() + at + 18;
    if (std::sscanf(text, "%d: %ld more", &status, &more) == 2)
      logged[status] += more;
    else if (std::sscanf(text, "%d", &status) == 1)
      logged[status] += 1;
  }
  for (const auto& [status, count] : sent) {
    if (status < 400) continue;
    EXPECT_EQ(logged[status], count) << "error " << status;
  }
  EXPECT_LT(lines, 120) << "for " << kEach * static_cast<int>(kinds.size()) << " error answers";
}

// The budget's order: strangers and new connections silent past their grace, the longest idle
// first, then the verified; new connections within their grace only when descriptors ran out.
// Verified connections count apart under an address's cap. The bytes of page files queued for
// slow readers are bounded; a check's answer always goes.
TEST(ConnectionBudget, ClosesStrangersFirstSparesNewConnectionsAndBoundsQueuedBytes) {
  struct Conn : server::Evictable {
    std::string name;
    std::vector<std::string>* closed;
    void evict() override { closed->push_back(name); }
  };
  using Budget = server::ConnectionBudget;
  Budget budget(4, std::chrono::milliseconds(200));
  std::vector<std::string> closed;
  std::map<std::string, std::pair<std::shared_ptr<Conn>, Budget::Member>> conns;
  auto join = [&](const std::string& name) -> Budget::Member& {
    auto& [conn, member] = conns[name];
    conn = std::make_shared<Conn>();
    conn->name = name;
    conn->closed = &closed;
    budget.join(member, conn);
    return member;
  };
  join("silent");
  budget.idle(join("stranger"), false);
  budget.idle(join("verified"), true);
  join("late-silent");
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  join("new");
  EXPECT_TRUE(budget.full());
  EXPECT_EQ(budget.reclaim(3), 3u);
  EXPECT_EQ(budget.reclaim(1), 1u);
  EXPECT_EQ(budget.reclaim(1), 0u) << "a new connection within its grace";
  EXPECT_EQ(budget.reclaim(1, true), 1u);
  EXPECT_EQ(closed, (std::vector<std::string>{"silent", "stranger", "late-silent", "verified", "new"}));
  for (auto& [name, c] : conns) budget.leave(c.second);

  std::size_t files = 0;
  while (budget.queue(64 * 1024)) ++files;
  EXPECT_EQ(files, Budget::kQueuedBytesLimit / (64 * 1024));
  EXPECT_TRUE(budget.queue(512)) << "a check's answer";
  EXPECT_TRUE(budget.queue(64 * 1024, false)) << "an answer already decided";
  budget.unqueue(512 + 2 * 64 * 1024);
  EXPECT_TRUE(budget.queue(64 * 1024)) << "room again once answers are written";

  server::SourceLimits limits(2, 10);
  const auto venue = boost::asio::ip::make_address("127.0.0.9");
  ASSERT_TRUE(limits.openConnection(venue));
  ASSERT_TRUE(limits.openConnection(venue));
  EXPECT_FALSE(limits.openConnection(venue)) << "two unverified at most";
  limits.markVerified(venue, true);
  EXPECT_TRUE(limits.openConnection(venue)) << "a verified one counts apart";
  EXPECT_FALSE(limits.openConnection(venue));
  limits.markVerified(venue, false);
  EXPECT_FALSE(limits.openConnection(venue, 4)) << "a connection that lost its standing counts again";
}

TEST(ServerLimits, MetricsNetworksTakeTheirAddressesOnly) {
  struct Case {
    std::string network, address;
    bool inside;
  };
  const std::vector<Case> cases = {
      {"10.0.3.0/24", "10.0.3.17", true},   {"10.0.3.0/24", "10.0.4.17", false},
      {"10.0.3.5", "10.0.3.5", true},       {"10.0.3.5", "10.0.3.6", false},
      {"10.0.0.0/8", "::ffff:10.9.9.9", true}, {"fd00:1::/64", "fd00:1::abcd", true},
      {"fd00:1::/64", "fd00:2::1", false},  {"0.0.0.0/0", "192.168.1.1", true},
      {"fd00::/8", "10.0.0.1", false},
  };
  for (const Case& c : cases) {
    const server::Network n = server::parseNetwork(c.network);
    EXPECT_EQ(n.contains(boost::asio::ip::make_address(c.address)), c.inside) << c.network << " " << c.address;
  }
  for (const char* bad : {"10.0.3.0/33", "10.0.3", "host.example/8", "fd00::/129", "10.0.0.0/"})
    EXPECT_THROW(server::parseNetwork(bad), std::invalid_argument) << bad;
}

}  // namespace
}  // namespace tav::test
