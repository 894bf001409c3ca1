// Load generator: N gate stations on keep-alive connections against tav-server on a durable
// SQLite store, beside a bare cpp-httplib server that answers the same requests with a fixed
// body, and the same checks through execute() in this process (the store's own limit); then the
// big store over TLS, beside 100 live dashboards streaming, under a hostile crowd of slow and
// idle connections, and at the package's open-file limit with it used up from many addresses
// beside a sign-in flood. Prints figures; exits 0.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/server/event_streams.h"
#include "bench/lean_station.h"
#include "bench/proc_stat.h"
#include "server/core/demo_data.h"
#include "server/core/service.h"
#include "server/core/sessions.h"
#include "server/core/setup.h"
#include "server/core/store.h"
#include "tests/server/hostile_crowd.h"
#include "tests/server/server_process.h"
#include "wire/recordset.h"
#include "server/tools/open_store.h"

namespace {

using tav::bench::firstValue;
using tav::bench::LeanStation;
using tav::bench::StationLink;
using tav::bench::processCpuSeconds;
using tav::bench::statCpuSeconds;

using Clock = std::chrono::steady_clock;
using tav::test::ServerProcess;
using tav::test::statusKb;
using tav::test::TempDir;

constexpr int kExitEvery = 5;  // one ticket in five is also let out again
constexpr std::size_t kServerThreads = 256;  // the reference server's pool: one per station
constexpr rlim_t kPackageOpenFiles = 65536;  // LimitNOFILE of the package's systemd unit

// Loopback addresses of the many-addresses phase: each kind of client from addresses of its own.
const std::string kCrowdFrom = "127.1.0.1", kFloodFrom = "127.2.0.1", kStationsFrom = "127.3.0.1",
                  kOperatorFrom = "127.4.0.1";
constexpr int kCrowdPerSource = 500;  // idle connections to an address, under the server's cap of 512
constexpr auto kSignInEvery = std::chrono::seconds(2);  // the real operator's
constexpr std::chrono::milliseconds kStopGrace{10000};  // then a server that has not ended is killed

// The venue's targets for the many-addresses phase.
constexpr double kCheckP99TargetMs = 50, kSignInP99TargetMs = 2000, kGrowthTargetMb = 200;

struct Settings {
  double seconds = 4;
  double warmup = 1;  // stations check for this long before the figures start
  std::size_t bigTickets = 1000000;
  std::size_t smallTickets = 10000;
  std::vector<int> stations{1, 16, 128};
  bool storeAlone = true;
  bool leanClient = true;  // false: the stations are cpp-httplib clients
  int rounds = 3;           // of each phase; the median is reported
  bool tls = true;          // the big store over TLS too
  int hostileStations = 128;  // stations checking while the crowd below holds its connections
  double pace = 0;          // seconds from one check of a station to its next; 0: as fast as it can
  int slowConnections = 2000, idleConnections = 10000;
  // Slow readers of the dashboard's largest file beside the crowds of the hostile and the
  // many-addresses phases, whose idle connections each send a request with a made-up session
  // cookie and station key first.
  int slowReaders = 1000;
  int dashboards = 100;     // live dashboards streaming beside the most stations; 0 skips the phase
  bool keys = true;         // the most stations with and without idempotency keys
  double manySeconds = 60;  // the many-addresses phase's length; 0 skips it
  double manyPace = 1;      // its stations' pace: a scan a second at each gate, so that the figures
                            // show the crowd and the flood rather than the stations' own load
  int manyIdle = 0;         // its idle connections; 0: enough to pass the server's open-file limit
  int floodSources = 40, floodPerMinute = 110;  // its sign-in flood
  rlim_t serverFiles = kPackageOpenFiles;  // every tav-server's open-file limit
  std::vector<std::string> serverArgs;  // more options for every tav-server serve
};

struct PhaseResult {
  double seconds = 0;
  std::size_t checks = 0, admissions = 0, failures = 0;
  std::map<std::string, std::size_t> codes;
  double p50 = 0, p99 = 0, max = 0;  // milliseconds
  double ownCpu = 0, serverCpu = 0;   // CPU seconds of this process and of tav-server
  double serverSwitches = 0;          // context switches of tav-server's threads
  double writerCpu = 0;               // CPU seconds of tav-server's writer thread
  double checkpointCpu = 0;           // and of its checkpointer
};

double ownCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of the thread of a process with the given name (the first such).
double threadCpuSeconds(int pid, const std::string& name) {
  if (pid <= 0) return 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string taskName;
    std::getline(comm, taskName);
    if (taskName == name) return statCpuSeconds(task.path() / "stat");
  }
  return 0;
}

// Voluntary and involuntary context switches of every thread of a process, from /proc.
double processSwitches(int pid) {
  if (pid <= 0) return 0;
  double total = 0;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);)
      if (line.find("ctxt_switches:") != std::string::npos) total += std::atof(line.c_str() + line.find(':') + 1);
  }
  return total;
}


std::string checkText(const std::string& mode, const std::string& ticket, const std::string& op) {
  return "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo '" + mode + "','" + tav::server::kDemoBizCode + "','','" +
         ticket + "', '" + op + "'";
}

double percentile(std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const auto i = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1));
  return sorted[i];
}

// One station's way to send a command text: returns the answer's ErrCode, or "failed (why)".
using Send = std::function<std::string(const std::string& text)>;
// Makes a station; runs on the station's own thread, before the clock starts.
using MakeStation = std::function<Send()>;

// A gate station as a cpp-httplib client on its own keep-alive connection.
MakeStation httplibStations(int port, const std::string& session) {
  return [port, session] {
    auto client = std::make_shared<httplib::Client>("127.0.0.1", port);
    client->set_keep_alive(true);
    client->set_tcp_nodelay(true);
    client->set_read_timeout(30);
    if (!session.empty()) client->set_default_headers({{"Cookie", "tav_session=" + session}});
    client->Get("/health");
    return Send([client](const std::string& text) {
      auto res = client->Post(tav::test::kQueryPath.c_str(), {{"Idempotency-Key", tav::bench::nextIdempotencyKey()}},
                              text, "text/plain; charset=utf-8");
      if (!res) return "failed (" + httplib::to_string(res.error()) + ")";
      if (res->status != 200) return "failed (" + std::to_string(res->status) + ")";
      return firstValue(res->body);
    });
  };
}


MakeStation leanStations(int port, const std::string& session, SSL_CTX* tls = nullptr, bool keys = true) {
  return [port, session, tls, keys] {
    StationLink link;
    link.idempotencyKeys = keys;
    auto station = std::make_shared<LeanStation>(port, tls, session, link);
    return Send([station](const std::string& text) { return station->post(text); });
  };
}

// A caller of execute() in this process: the store and its group commit without HTTP.
MakeStation storeStations(tav::server::Store& store, const std::string& session) {
  return [&store, session] {
    return Send([&store, caller = tav::server::Caller{"127.0.0.1", session}](const std::string& text) {
      try {
        return tav::server::execute(store, text, caller).code;
      } catch (const std::exception& e) {
        return std::string("failed (") + e.what() + ")";
      }
    });
  };
}

// Tickets in the order the stations meet them, with where each one is (inside or not) as the
// answers so far left it.
struct TicketRound {
  std::vector<std::string> numbers;
  std::unique_ptr<std::atomic<bool>[]> inside;
  std::size_t cursor = 0;  // the next visit

  explicit TicketRound(std::vector<std::string> n)
      : numbers(std::move(n)), inside(new std::atomic<bool>[numbers.size()]) {
    for (std::size_t i = 0; i < numbers.size(); ++i) inside[i] = false;
  }
};

// `stations` threads visit tickets in turn (round and round when there are fewer tickets than
// visits) for `warmup` + `seconds`; figures count only what starts after the warm-up. A ticket
// met outside is let in, and one in kExitEvery let out again at once; a ticket met inside (a
// small store's second round) is let out. So every check changes a ticket, whatever the store's size.
PhaseResult runPhase(const MakeStation& makeStation, int stations, const Settings& settings, TicketRound& round,
                     const std::string& op, int serverPid = 0) {
  std::atomic<std::size_t> next{round.cursor};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::vector<double>> latencies(static_cast<std::size_t>(stations));
  std::vector<std::map<std::string, std::size_t>> codes(static_cast<std::size_t>(stations));
  std::vector<std::size_t> failures(static_cast<std::size_t>(stations), 0);
  Clock::time_point measureFrom, deadline;
  const auto toDuration = [](double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
  };
  std::vector<std::thread> threads;
  for (int s = 0; s < stations; ++s) {
    threads.emplace_back([&, s] {
      const auto me = static_cast<std::size_t>(s);
      const Send send = makeStation();
      latencies[me].reserve(65536);
      ++ready;
      while (!go) std::this_thread::yield();
      // Paced stations start spread over one interval, as gates are not in step.
      auto nextCheck = Clock::now() + toDuration(settings.pace * s / stations);
      const auto timed = [&](const char* mode, const std::string& ticket) {
        if (settings.pace > 0) {
          std::this_thread::sleep_until(nextCheck);
          nextCheck = std::max(nextCheck + toDuration(settings.pace), Clock::now());
        }
        const auto t0 = Clock::now();
        std::string code = send(checkText(mode, ticket, op));
        if (t0 >= measureFrom) {
          latencies[me].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
          if (code.rfind("failed", 0) == 0) ++failures[me];
          ++codes[me][std::string(mode) + " " + code];
        }
        return code;
      };
      while (Clock::now() < deadline) {
        const std::size_t visit = next++;
        const std::size_t t = visit % round.numbers.size();
        const std::string& ticket = round.numbers[t];
        if (round.inside[t]) {
          if (timed("O", ticket) == "0") round.inside[t] = false;
          continue;
        }
        const std::string in = timed("I", ticket);
        if (in != "0" && in != "-3") continue;
        round.inside[t] = true;
        if (visit % kExitEvery == 0 && timed("O", ticket) == "0") round.inside[t] = false;
      }
    });
  }
  while (ready < stations) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  measureFrom = Clock::now() + toDuration(settings.warmup);
  deadline = measureFrom + toDuration(settings.seconds);
  go = true;
  std::this_thread::sleep_until(measureFrom);
  const double ownBefore = ownCpuSeconds(), serverBefore = processCpuSeconds(serverPid);
  const double switchesBefore = processSwitches(serverPid);
  const double writerBefore = threadCpuSeconds(serverPid, "tav-writer");
  const double checkpointBefore = threadCpuSeconds(serverPid, "tav-checkpoint");
  const auto started = Clock::now();
  for (auto& t : threads) t.join();
  round.cursor = next.load();

  PhaseResult r;
  r.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  r.ownCpu = ownCpuSeconds() - ownBefore;
  r.serverCpu = processCpuSeconds(serverPid) - serverBefore;
  r.serverSwitches = processSwitches(serverPid) - switchesBefore;
  r.writerCpu = threadCpuSeconds(serverPid, "tav-writer") - writerBefore;
  r.checkpointCpu = threadCpuSeconds(serverPid, "tav-checkpoint") - checkpointBefore;
  std::vector<double> all;
  for (std::size_t s = 0; s < latencies.size(); ++s) {
    all.insert(all.end(), latencies[s].begin(), latencies[s].end());
    r.failures += failures[s];
    for (const auto& [code, n] : codes[s]) r.codes[code] += n;
  }
  std::sort(all.begin(), all.end());
  r.checks = all.size();
  for (const char* admitted : {"I 0", "I -3"})
    if (r.codes.count(admitted)) r.admissions += r.codes.at(admitted);
  r.p50 = percentile(all, 0.50);
  r.p99 = percentile(all, 0.99);
  r.max = all.empty() ? 0 : all.back();
  return r;
}

std::string codeMix(const PhaseResult& r) {
  std::string out;
  for (const auto& [code, n] : r.codes) out += (out.empty() ? "" : ", ") + code + ": " + std::to_string(n);
  return out;
}

// The reference: the same requests answered with one fixed recordset, no store behind it.
class ReferenceServer {
 public:
  ReferenceServer() {
    tav::wire::Recordset rs;
    rs.fields = {"ErrCode", "ErrMsg", "CustName", "TicketNo", "GoodsName", "PlayDate", "PlaceName", "SeatGradeName",
                 "SeatInfo"};
    rs.rows.push_back({std::string("0"), std::string("입장 확인"), std::string("김민준"), std::string("T00000000001"),
                       std::string(tav::server::kDemoGoodsName), std::string(tav::server::kDemoPlayDate),
                       std::string(tav::server::kDemoTheaterName), std::string("R석"), std::string("1층 12열 7번")});
    body_ = tav::wire::encode(rs);
    server_.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    server_.set_tcp_nodelay(true);
    server_.set_keep_alive_max_count(1000000);
    server_.set_payload_max_length(8192);
    // As tav-server does: a backlog of more than httplib's 5, or 128 stations connecting at once
    // lose SYNs and wait a second.
    server_.set_socket_options([this](socket_t sock) {
      int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
      socket_ = sock;
    });
    server_.Post(tav::test::kQueryPath, [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(body_, "application/json");
    });
    server_.Get("/health", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
    port_ = server_.bind_to_any_port("127.0.0.1");
    ::listen(socket_, SOMAXCONN);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~ReferenceServer() {
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }

 private:
  httplib::Server server_;
  std::string body_;
  int port_ = 0;
  socket_t socket_ = -1;
  std::thread thread_;
};

struct Row {
  std::size_t tickets;
  int stations;
  PhaseResult result, reference;  // the reference measured just before, with the same stations
  long peakKb, anonKb;
};

// A demo store in a temporary folder, and its valid tickets in the order stations meet them.
struct DemoStore {
  TempDir dir;
  std::string path = dir.file("bench.db");
  std::string op;
  std::string session;  // the operator's, shared by every station as stations behind one sign-in
  std::pair<std::string, std::string> gateOperator;  // the other demo operator's ID and password
  std::unique_ptr<TicketRound> round;

  explicit DemoStore(std::size_t count) {
    const auto t0 = Clock::now();
    {
      auto store = tav::server::openStore(path, true);
      const auto operators = tav::server::loadDemo(*store, count).operators;
      op = operators.at(0).first;
      gateOperator = operators.at(1);
      session = tav::test::sessionOf(*store, op);
    }
    std::vector<std::string> tickets;
    for (std::size_t i = 0; i < count; ++i)
      if (!tav::server::demoTicketCancelled(i)) tickets.push_back(tav::server::demoTicketNumber(i));
    std::shuffle(tickets.begin(), tickets.end(), std::mt19937(20260404));
    round = std::make_unique<TicketRound>(std::move(tickets));
    std::printf("  demo store of %zu tickets (%.0f MB) made in %.1f s\n", count,
                static_cast<double>(std::filesystem::file_size(path)) / 1e6,
                std::chrono::duration<double>(Clock::now() - t0).count());
  }
};

// The reference server and the tickets its stations send: the same texts tav-server gets.
struct Reference {
  ReferenceServer server;
  TicketRound round{[] {
    std::vector<std::string> tickets;
    for (std::size_t i = 0; i < 1000000; ++i) tickets.push_back(tav::server::demoTicketNumber(i));
    return tickets;
  }()};
};

MakeStation stationsFor(int port, const Settings& settings, const std::string& session) {
  return settings.leanClient ? leanStations(port, session) : httplibStations(port, session);
}

// Checks per second of a phase.
double rate(const PhaseResult& r) { return static_cast<double>(r.checks) / std::max(r.seconds, 1e-9); }

// One phase of tav-server on a demo store, in a server process of its own.
Row measureOnce(DemoStore& demo, std::size_t count, int n, const Settings& settings, const PhaseResult& ref) {
  ServerProcess server(demo.path, settings.serverArgs);
  server.limitOpenFiles(settings.serverFiles);
  server.start();
  const PhaseResult r = runPhase(stationsFor(server.port(), settings, demo.session), n, settings, *demo.round, demo.op,
                                 server.pid());
  Row row{count, n, r, ref, statusKb(server.pid(), "VmHWM"), statusKb(server.pid(), "RssAnon")};
  server.stop();
  std::printf("  %zu tickets, N=%d: %.0f checks/s (reference %.0f/s); answers %s; %zu failed\n", count, n,
              rate(r), rate(ref),
              codeMix(r).c_str(), r.failures);
  return row;
}

// The round with the median rate (the reference's median apart), with the highest peak memory of
// all rounds.
Row median(std::vector<Row> rounds) {
  std::sort(rounds.begin(), rounds.end(), [](const Row& a, const Row& b) { return rate(a.result) < rate(b.result); });
  Row mid = rounds[rounds.size() / 2];
  std::sort(rounds.begin(), rounds.end(),
            [](const Row& a, const Row& b) { return rate(a.reference) < rate(b.reference); });
  mid.reference = rounds[rounds.size() / 2].reference;
  for (const Row& r : rounds) {
    mid.peakKb = std::max(mid.peakKb, r.peakKb);
    mid.anonKb = std::max(mid.anonKb, r.anonKb);
  }
  return mid;
}

// For each station count, rounds of: the reference, the big store, the small store, one right after
// the other, so that all three meet the same load from the machine's other users; a slow stretch
// of the machine then shows in one round of each, and the median round of each is reported.
std::vector<Row> measureStores(std::vector<std::pair<std::size_t, DemoStore*>>& stores, const Settings& settings,
                               Reference& reference) {
  std::vector<Row> rows;
  for (int n : settings.stations) {
    std::vector<std::vector<Row>> rounds(stores.size());
    for (int round = 0; round < settings.rounds; ++round) {
      const PhaseResult ref = runPhase(stationsFor(reference.server.port(), settings, ""), n, settings, reference.round, "op");
      for (std::size_t k = 0; k < stores.size(); ++k)
        rounds[k].push_back(measureOnce(*stores[k].second, stores[k].first, n, settings, ref));
    }
    for (auto& r : rounds) rows.push_back(median(std::move(r)));
  }
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.tickets > b.tickets; });
  return rows;
}

// The same load on the store alone, in this process: what the HTTP layer adds. Returns the median
// rate of the rounds for each station count.
std::map<int, double> measureStoreAlone(DemoStore& demo, std::size_t count, const Settings& settings) {
  auto store = tav::server::openStore(demo.path, false);
  store->warmUp();
  std::map<int, double> rates;
  for (int n : settings.stations) {
    std::vector<PhaseResult> rounds;
    for (int round = 0; round < settings.rounds; ++round)
      rounds.push_back(runPhase(storeStations(*store, demo.session), n, settings, *demo.round, demo.op));
    std::sort(rounds.begin(), rounds.end(), [](const PhaseResult& a, const PhaseResult& b) { return rate(a) < rate(b); });
    const PhaseResult& r = rounds[rounds.size() / 2];
    rates[n] = rate(r);
    std::printf("  %zu tickets, N=%d, execute() without HTTP: %.0f checks/s, p50 %.2f ms, p99 %.2f ms, "
                "%.0f us CPU per check; answers %s\n",
                count, n, rate(r), r.p50, r.p99,
                1e6 * r.ownCpu / static_cast<double>(std::max<std::size_t>(r.checks, 1)), codeMix(r).c_str());
  }
  return rates;
}

// What checking the session adds to each check, in microseconds: the token's hash, the lookup and
// the liveness test that every check runs first in its transaction, on the thread that decides
// every check (the last use is written once a minute, too rarely to count). Measured alone, many
// times over in one transaction on the demo store, since a server that skips it is not built.
double sessionCheckMicros(DemoStore& demo) {
  auto store = tav::server::openStore(demo.path, false);
  constexpr int kLookups = 200000;
  const tav::server::TimeMs now = store->now();
  double seconds = 0;
  store->write([&](tav::server::Transaction& tx) {
    const auto t0 = Clock::now();
    for (int i = 0; i < kLookups; ++i)
      if (!tav::server::liveSession(tx, demo.session, now)) throw std::runtime_error("the bench's session ended");
    seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  });
  return 1e6 * seconds / kLookups;
}

// A self-signed certificate for 127.0.0.1 in `dir`; false when openssl could not make one.
bool makeCertificate(const TempDir& dir) {
  const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 "
                              "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
                              dir.file("key.pem") + "' -out '" + dir.file("cert.pem") + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

// The big store served over TLS (keep-alive: one handshake per station), median of the rounds.
PhaseResult measureTls(DemoStore& demo, int n, const Settings& settings) {
  TempDir dir;
  if (!makeCertificate(dir)) {
    std::printf("  TLS: openssl could not make a certificate; skipped\n");
    return {};
  }
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);  // the stations check it; here only the cost counts
  std::vector<PhaseResult> rounds;
  for (int round = 0; round < settings.rounds; ++round) {
    std::vector<std::string> args{"--tls-cert", dir.file("cert.pem"), "--tls-key", dir.file("key.pem")};
    args.insert(args.end(), settings.serverArgs.begin(), settings.serverArgs.end());
    ServerProcess server(demo.path, args);
    server.limitOpenFiles(settings.serverFiles);
    server.start();
    rounds.push_back(runPhase(leanStations(server.port(), demo.session, ctx), n, settings, *demo.round, demo.op, server.pid()));
    server.stop();
    std::printf("  TLS, N=%d: %.0f checks/s; answers %s; %zu failed\n", n, rate(rounds.back()),
                codeMix(rounds.back()).c_str(), rounds.back().failures);
  }
  SSL_CTX_free(ctx);
  std::sort(rounds.begin(), rounds.end(), [](const PhaseResult& a, const PhaseResult& b) { return rate(a) < rate(b); });
  return rounds[rounds.size() / 2];
}

// The median phase by check rate.
PhaseResult medianPhase(std::vector<PhaseResult> phases) {
  std::sort(phases.begin(), phases.end(), [](const PhaseResult& a, const PhaseResult& b) { return rate(a) < rate(b); });
  return phases[phases.size() / 2];
}

// Two ways of running the big store's stations on one server, in rounds where they take turns at
// going first; `phase(port, second)` runs one of them. The median of each.
std::pair<PhaseResult, PhaseResult> takeTurns(DemoStore& demo, const Settings& settings, const char* what,
                                              const std::function<PhaseResult(ServerProcess&, bool)>& phase) {
  ServerProcess server(demo.path, settings.serverArgs);
  server.limitOpenFiles(settings.serverFiles);
  server.start();
  std::vector<PhaseResult> first, second;
  for (int round = 0; round < settings.rounds; ++round) {
    for (int half = 0; half < 2; ++half) {
      const bool isSecond = (round + half) % 2 == 1;
      (isSecond ? second : first).push_back(phase(server, isSecond));
    }
    std::printf("  %s: %.0f checks/s against %.0f\n", what, rate(second.back()), rate(first.back()));
  }
  server.stop();
  return {medianPhase(first), medianPhase(second)};
}

struct DashboardResult {
  PhaseResult without, with;  // medians of the rounds
  double snapshotsPerSecond = 0;  // received by all the pages together
};

// The big store's stations with and without live dashboards on the event stream.
DashboardResult measureDashboards(DemoStore& demo, int n, const Settings& settings) {
  std::size_t received = 0;
  double streamed = 0;
  const std::string what = "dashboards, N=" + std::to_string(n) + ", with " + std::to_string(settings.dashboards) +
                           " streaming";
  auto [without, with] = takeTurns(demo, settings, what.c_str(), [&](ServerProcess& server, bool pagesOpen) {
    if (!pagesOpen)
      return runPhase(leanStations(server.port(), demo.session), n, settings, *demo.round, demo.op, server.pid());
    tav::test::EventStreams pages(server.port(), "tav_session=" + demo.session, settings.dashboards);
    const std::size_t before = pages.events();
    const auto t0 = Clock::now();
    PhaseResult r = runPhase(leanStations(server.port(), demo.session), n, settings, *demo.round, demo.op, server.pid());
    received += pages.events() - before;
    streamed += std::chrono::duration<double>(Clock::now() - t0).count();
    return r;
  });
  return DashboardResult{without, with, static_cast<double>(received) / std::max(streamed, 1e-9)};
}

// The big store's stations with an idempotency key on every check and without one.
std::pair<PhaseResult, PhaseResult> measureKeys(DemoStore& demo, int n, const Settings& settings) {
  const std::string what = "idempotency keys, N=" + std::to_string(n) + ", with";
  return takeTurns(demo, settings, what.c_str(), [&](ServerProcess& server, bool keyed) {
    return runPhase(leanStations(server.port(), demo.session, nullptr, keyed), n, settings, *demo.round, demo.op,
                    server.pid());
  });
}

struct HostileResult {
  PhaseResult phase;
  std::size_t held = 0, reopened = 0;
  double growthMb = 0;  // tav-server's resident memory at its highest during the phase, less before
};

// What a hostile crowd holds in the hostile and many-addresses phases: its idle connections each
// first send a request with a made-up session cookie and station key, which must earn them
// nothing, and slow readers take the largest page file a little at a time.
tav::test::CrowdPlan crowdPlan(int slow, int idle, const Settings& settings) {
  tav::test::CrowdPlan plan;
  plan.slow = slow;
  plan.idle = idle;
  plan.firstRequest = tav::test::getRequest("/dashboard/none", "Cookie: tav_session=" + std::string(43, 'x') +
                                                           "\r\nTav-Station: " + std::string(43, 'y') + "\r\n");
  plan.readers = settings.slowReaders;
  plan.readerRequest = tav::test::getRequest("/dashboard/chart.min.js");
  return plan;
}

// Stations checking while a hostile crowd holds its slow and idle connections open.
HostileResult measureHostile(DemoStore& demo, const Settings& settings) {
  ServerProcess server(demo.path, settings.serverArgs);
  server.limitOpenFiles(settings.serverFiles);
  server.start();
  const long before = statusKb(server.pid(), "VmRSS");
  HostileResult h;
  {
    tav::test::HostileCrowd crowd(server.port(),
                                  crowdPlan(settings.slowConnections, settings.idleConnections, settings));
    std::atomic<bool> done{false};
    long peak = before;
    std::thread watch([&] {
      while (!done) {
        peak = std::max(peak, statusKb(server.pid(), "VmRSS"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
    h.phase = runPhase(leanStations(server.port(), demo.session), settings.hostileStations, settings, *demo.round, demo.op,
                       server.pid());
    h.held = crowd.connected();
    h.reopened = crowd.reopened();
    done = true;
    watch.join();
    h.growthMb = static_cast<double>(peak - before) / 1024.0;
  }
  server.stop();
  return h;
}

// Stations each on an address of its own, counted up from `firstSource`, with a session of its
// own, and a new connection for every check, as the real station makes one.
MakeStation stationsApart(int port, std::vector<std::string> sessions, const std::string& firstSource) {
  auto next = std::make_shared<std::atomic<std::size_t>>(0);
  return [port, sessions = std::move(sessions), firstSource, next] {
    const std::size_t i = (*next)++;
    auto station = std::make_shared<LeanStation>(
        port, nullptr, sessions[i % sessions.size()],
        StationLink{tav::test::sourceAfter(firstSource, static_cast<std::uint32_t>(i)), true});
    return Send([station](const std::string& text) { return station->post(text); });
  };
}

// The real operator at a gate: signs in with the right password every kSignInEvery from an
// address of its own, on a new connection each time, and times each sign-in from connect to answer.
class OperatorSignIns {
 public:
  OperatorSignIns(int port, const std::pair<std::string, std::string>& idAndPassword)
      : thread_([this, port, text = tav::test::kLoginProc + tav::test::quoted(idAndPassword.first) + "," +
                                    tav::test::quoted(idAndPassword.second)] {
          LeanStation station(port, nullptr, "", StationLink{kOperatorFrom, true});
          for (auto next = Clock::now(); !stop_; next += kSignInEvery) {
            std::unique_lock<std::mutex> lock(mutex_);
            if (stopped_.wait_until(lock, next, [this] { return stop_.load(); })) break;
            lock.unlock();
            const auto t0 = Clock::now();
            const std::string code = station.post(text);
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            lock.lock();
            times_.push_back(ms);
            ++answers_[code == "0" ? "ok" : code];
            next = std::max(next, Clock::now() - kSignInEvery);  // one that took longer delays the next
          }
        }) {}
  ~OperatorSignIns() { stop(); }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    stopped_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  // The sign-ins' times in milliseconds, sorted, and their answers ("ok", or the ErrCode or
  // "failed (why)" of one that failed).
  std::vector<double> times() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<double> sorted = times_;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }
  std::map<std::string, std::size_t> answers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  std::atomic<bool> stop_{false};
  std::vector<double> times_;
  std::map<std::string, std::size_t> answers_;
  std::thread thread_;  // last: it starts once the rest is made
};

struct ManyAddressesResult {
  PhaseResult checks;
  rlim_t serverFiles = 0;
  std::size_t idle = 0, crowdSources = 0, connected = 0, waiting = 0, closedByServer = 0;
  std::size_t floodSent = 0;
  std::map<std::string, std::size_t> flood, signIns;
  std::size_t signInsOk = 0, signInsFailed = 0;
  double signInP50 = 0, signInP99 = 0;
  double growthMb = 0;  // tav-server's peak resident memory during the phase, less before it
  std::optional<std::chrono::milliseconds> stopped;  // how long SIGTERM took to end it; none: killed
};

// The many-addresses phase's idle connections: unless told, a thousand past the server's open-file
// limit, so that its descriptors are all taken and its listen queue holds more.
std::size_t crowdSize(const Settings& settings) {
  return settings.manyIdle > 0 ? static_cast<std::size_t>(settings.manyIdle) : settings.serverFiles + 1000;
}

// The descriptors this process needs for that phase: the crowd, the flood's connections waiting
// for their answers, the stations', and a margin for the rest.
std::size_t manyAddressesFiles(const Settings& settings) {
  const auto patienceSeconds = std::chrono::duration_cast<std::chrono::seconds>(tav::test::FloodPlan{}.patience).count();
  return crowdSize(settings) + static_cast<std::size_t>(settings.slowReaders) +
         static_cast<std::size_t>(settings.floodSources * settings.floodPerMinute * patienceSeconds / 60) +
         static_cast<std::size_t>(settings.hostileStations) + 256;
}

// At the package's open-file limit: idle connections from as many addresses as it takes to pass
// it, a sign-in flood from other addresses, stations checking on a new connection per check, and
// the real operator signing in now and then; what the stations and the operator get.
ManyAddressesResult measureManyAddresses(DemoStore& demo, const Settings& settings) {
  ManyAddressesResult m;
  m.serverFiles = settings.serverFiles;
  std::vector<std::string> sessions;
  {
    auto store = tav::server::openStore(demo.path, false);
    for (int s = 0; s < settings.hostileStations; ++s)
      sessions.push_back(tav::test::sessionOf(*store, demo.op,
                                              tav::test::sourceAfter(kStationsFrom, static_cast<std::uint32_t>(s))));
  }
  ServerProcess server(demo.path, settings.serverArgs);
  server.limitOpenFiles(settings.serverFiles);
  server.start();
  const long before = statusKb(server.pid(), "VmRSS");
  m.idle = crowdSize(settings);
  {
    tav::test::CrowdPlan crowdPlanned = crowdPlan(0, static_cast<int>(m.idle), settings);
    crowdPlanned.perSource = kCrowdPerSource;
    crowdPlanned.firstSource = kCrowdFrom;
    tav::test::HostileCrowd crowd(server.port(), crowdPlanned);
    tav::test::FloodPlan plan;
    plan.sources = settings.floodSources;
    plan.perMinute = settings.floodPerMinute;
    plan.firstSource = kFloodFrom;
    plan.operatorId = demo.op;
    tav::test::SignInFlood flood(server.port(), plan);
    OperatorSignIns signIns(server.port(), demo.gateOperator);
    Settings timing = settings;
    timing.seconds = settings.manySeconds;
    timing.pace = settings.manyPace;
    m.checks = runPhase(stationsApart(server.port(), sessions, kStationsFrom), settings.hostileStations, timing,
                        *demo.round, demo.op, server.pid());
    signIns.stop();
    m.crowdSources = crowd.sources();
    m.connected = crowd.connected();
    m.waiting = crowd.waiting();
    m.closedByServer = crowd.reopened();
    m.flood = flood.answers();  // before the count sent, which is never behind it
    m.floodSent = flood.sent();
    m.signIns = signIns.answers();
    std::vector<double> times = signIns.times();
    m.signInsOk = m.signIns.count("ok") ? m.signIns.at("ok") : 0;
    m.signInsFailed = times.size() - m.signInsOk;
    m.signInP50 = percentile(times, 0.50);
    m.signInP99 = percentile(times, 0.99);
  }
  // The high-water mark: a password check's memory comes and goes between two samples.
  m.growthMb = static_cast<double>(statusKb(server.pid(), "VmHWM") - before) / 1024.0;
  m.stopped = server.stopWithin(kStopGrace);
  return m;
}

std::string countsText(const std::map<std::string, std::size_t>& counts) {
  std::string out;
  for (const auto& [what, n] : counts) out += (out.empty() ? "" : ", ") + what + ": " + std::to_string(n);
  return out.empty() ? "none" : out;
}

// The phase's figures as a Markdown table, each target met or not.
void printManyAddresses(const ManyAddressesResult& m, const Settings& settings, std::size_t tickets) {
  const PhaseResult& c = m.checks;
  const auto met = [](bool ok) { return ok ? "met" : "NOT met"; };
  std::printf("\nmany addresses: %zu tickets, %.0f s (the last check ended %.0f s after the first), tav-server "
              "at %llu open files\n\n",
              tickets, settings.manySeconds, c.seconds, static_cast<unsigned long long>(m.serverFiles));
  std::printf("| What | Figure | Target |\n|---|---|---|\n");
  std::printf("| addresses used | %zu idle crowd, %d flood, %d stations, 1 operator | |\n", m.crowdSources,
              settings.floodSources, settings.hostileStations);
  std::printf("| idle connections (%d per address, a made-up cookie and station key first) and %d slow "
              "readers of chart.min.js | %zu opened; at the end %zu connected, %zu waiting to "
              "connect; %zu closed by the server and opened again | |\n",
              kCrowdPerSource, settings.slowReaders, m.idle, m.connected, m.waiting, m.closedByServer);
  std::size_t floodDone = 0;
  for (const auto& [status, n] : m.flood) floodDone += n;
  std::printf("| sign-in flood (%d a minute per address) | %zu sent; answers by status: %s; %zu still waiting at "
              "the end | |\n",
              settings.floodPerMinute, m.floodSent, countsText(m.flood).c_str(), m.floodSent - floodDone);
  char pace[64] = "";
  if (settings.manyPace > 0) std::snprintf(pace, sizeof pace, ", one every %g s per station", settings.manyPace);
  std::printf("| checks, a new connection each%s | %zu answered, %zu failed (%s) | no failed check: %s |\n",
              pace,
              c.checks - c.failures, c.failures, codeMix(c).c_str(), met(c.failures == 0 && c.checks > 0));
  std::printf("| check p50 / p99 / max | %.1f / %.1f / %.0f ms | p99 < %.0f ms: %s |\n", c.p50, c.p99, c.max,
              kCheckP99TargetMs, met(c.checks > 0 && c.p99 < kCheckP99TargetMs));
  std::printf("| operator sign-ins, every %lld s | %zu ok, %zu failed (%s) | |\n",
              static_cast<long long>(kSignInEvery.count()), m.signInsOk, m.signInsFailed,
              countsText(m.signIns).c_str());
  std::printf("| operator sign-in p50 / p99 | %.0f / %.0f ms | none failed, p99 < %.0f s: %s |\n", m.signInP50,
              m.signInP99,
              kSignInP99TargetMs / 1000,
              met(m.signInsOk > 0 && m.signInsFailed == 0 && m.signInP99 < kSignInP99TargetMs));
  std::printf("| tav-server memory growth | %+.0f MB | < %.0f MB: %s |\n", m.growthMb, kGrowthTargetMb,
              met(m.growthMb < kGrowthTargetMb));
  if (m.stopped)
    std::printf("| tav-server's stop (SIGTERM) right after | %.1f s | |\n", static_cast<double>(m.stopped->count()) / 1000);
  else
    std::printf("| tav-server's stop (SIGTERM) right after | not ended within %.0f s: killed | |\n",
                static_cast<double>(kStopGrace.count()) / 1000);
}

Settings parseArgs(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; i += 2) {
    // An option without its value (--help among them) gets the usage line.
    const std::string value = i + 1 < argc ? argv[i + 1] : "";
    const std::string opt = value.empty() ? "" : argv[i];
    if (opt == "--seconds") {
      s.seconds = std::atof(value.c_str());
    } else if (opt == "--tickets") {
      s.bigTickets = std::strtoul(value.c_str(), nullptr, 10);
    } else if (opt == "--small-tickets") {
      s.smallTickets = std::strtoul(value.c_str(), nullptr, 10);
    } else if (opt == "--rounds") {
      s.rounds = std::max(1, std::atoi(value.c_str()));
    } else if (opt == "--warmup") {
      s.warmup = std::atof(value.c_str());
    } else if (opt == "--store-alone") {
      s.storeAlone = value != "no";
    } else if (opt == "--client") {
      s.leanClient = value != "httplib";
    } else if (opt == "--server-threads") {
      s.serverArgs = {"--threads", value};
    } else if (opt == "--tls") {
      s.tls = value != "no";
    } else if (opt == "--keys") {
      s.keys = value == "yes";
    } else if (opt == "--dashboards") {
      s.dashboards = std::atoi(value.c_str());
    } else if (opt == "--hostile") {
      // "SLOW,IDLE" connections; "0,0" skips the hostile phase.
      s.slowConnections = std::atoi(value.c_str());
      s.idleConnections = value.find(',') == std::string::npos ? 0 : std::atoi(value.c_str() + value.find(',') + 1);
    } else if (opt == "--slow-readers") {
      s.slowReaders = std::atoi(value.c_str());
    } else if (opt == "--many-addresses") {
      s.manySeconds = std::atof(value.c_str());
    } else if (opt == "--many-pace") {
      s.manyPace = std::atof(value.c_str());
    } else if (opt == "--many-idle") {
      s.manyIdle = std::atoi(value.c_str());
    } else if (opt == "--flood") {
      // "ADDRESSES,PER_MINUTE"
      s.floodSources = std::atoi(value.c_str());
      s.floodPerMinute = value.find(',') == std::string::npos ? s.floodPerMinute
                                                              : std::atoi(value.c_str() + value.find(',') + 1);
    } else if (opt == "--server-files") {
      s.serverFiles = std::strtoul(value.c_str(), nullptr, 10);
    } else if (opt == "--stations" && value == "none") {
      s.stations.clear();  // only the phases after the table
    } else if (opt == "--stations") {
      s.stations.clear();
      for (std::size_t pos = 0; pos < value.size();) {
        const std::size_t comma = value.find(',', pos);
        s.stations.push_back(std::atoi(value.substr(pos, comma - pos).c_str()));
        pos = comma == std::string::npos ? value.size() : comma + 1;
      }
    } else {
      std::fprintf(stderr,
                   "usage: bench_server [--seconds S] [--warmup S] [--rounds R] [--tickets N] [--small-tickets N] "
                   "[--stations 1,16,128] [--store-alone yes|no] [--client lean|httplib] [--tls yes|no] "
                   "[--hostile SLOW,IDLE] [--slow-readers N] [--dashboards N] [--keys yes|no] [--server-threads N] [--many-addresses SECONDS] "
                   "[--many-pace S] [--many-idle N] [--flood ADDRESSES,PER_MINUTE] [--server-files N]\n"
                   "  --stations none measures no station counts; --hostile 0,0, --many-addresses 0, --dashboards 0, "
                   "--keys no, --tls no and --store-alone no skip those phases\n");
      std::exit(2);
    }
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const Settings settings = parseArgs(argc, argv);
  // The crowds and the stations are all this process's descriptors: well above the server's.
  const rlim_t ownFiles = tav::test::raiseOpenFileLimit(2 * settings.serverFiles + 16384);
  if (ownFiles < settings.serverFiles) {
    std::fprintf(stderr,
                 "This process may open only %llu files, and its servers cannot be given the %llu they should have: "
                 "run it as root with CAP_SYS_RESOURCE, or give a smaller --server-files.\n",
                 static_cast<unsigned long long>(ownFiles), static_cast<unsigned long long>(settings.serverFiles));
    return 2;
  }
  std::printf("tav-server load: %.1f s per phase after %.1f s of warm-up, %zu station counts, %d rounds (medians "
              "shown), %s stations, %u cores\n",
              settings.seconds, settings.warmup, settings.stations.size(), settings.rounds,
              settings.leanClient ? "lean" : "cpp-httplib", std::thread::hardware_concurrency());

  Reference reference;
  std::vector<std::unique_ptr<DemoStore>> demos;
  std::vector<std::pair<std::size_t, DemoStore*>> stores;
  for (std::size_t count : {settings.bigTickets, settings.smallTickets}) {
    if (count == 0) continue;
    demos.push_back(std::make_unique<DemoStore>(count));
    stores.emplace_back(count, demos.back().get());
  }
  const std::vector<Row> rows = measureStores(stores, settings, reference);
  std::map<std::size_t, std::map<int, double>> alone;  // tickets -> stations -> checks/s
  if (settings.storeAlone)
    for (auto& [count, demo] : stores) alone[count] = measureStoreAlone(*demo, count, settings);
  const int topStations =
      settings.stations.empty() ? 0 : *std::max_element(settings.stations.begin(), settings.stations.end());
  PhaseResult tls;
  if (settings.tls && !stores.empty()) tls = measureTls(*stores.front().second, topStations, settings);
  const double sessionUs = stores.empty() ? 0 : sessionCheckMicros(*stores.front().second);
  DashboardResult dashboards;
  const bool dashboardPhase = settings.dashboards > 0 && !stores.empty();
  if (dashboardPhase) dashboards = measureDashboards(*stores.front().second, topStations, settings);
  std::pair<PhaseResult, PhaseResult> keys;
  const bool keysPhase = settings.keys && !stores.empty();
  if (keysPhase) keys = measureKeys(*stores.front().second, topStations, settings);
  HostileResult hostile;
  const bool hostilePhase = settings.slowConnections + settings.idleConnections > 0 && !stores.empty();
  if (hostilePhase) hostile = measureHostile(*stores.front().second, settings);
  ManyAddressesResult many;
  const bool manyPhase = settings.manySeconds > 0 && !stores.empty();
  if (manyPhase && ownFiles < manyAddressesFiles(settings)) {
    std::printf("  many addresses: skipped, this process may open %llu files and needs %zu for a server at %llu: "
                "run it as root with CAP_SYS_RESOURCE, or give a smaller --server-files\n",
                static_cast<unsigned long long>(ownFiles), manyAddressesFiles(settings),
                static_cast<unsigned long long>(settings.serverFiles));
  } else if (manyPhase) {
    many = measureManyAddresses(*stores.front().second, settings);
  }

  if (!rows.empty())
    std::printf("\n%9s %4s %9s %9s %7s %7s %7s %9s %6s %7s %7s %7s %7s %7s %6s %6s %6s\n", "tickets", "N", "checks/s",
                "admits/s", "p50 ms", "p99 ms", "max ms", "ref req/s", "ratio", "peak MB", "anon MB", "srv us",
                "ref us", "cli us", "srv cs", "wr us", "ck us");
  for (const Row& row : rows) {
    const PhaseResult& r = row.result;
    const PhaseResult& ref = row.reference;
    const double checksPerSecond = rate(r);
    const double refRate = rate(ref);
    // CPU per request: tav-server's own; the stations' (this process during the tav-server
    // phase); the reference server's (this process during the reference phase, less the stations').
    const double checks = static_cast<double>(std::max<std::size_t>(r.checks, 1));
    const double clientUs = 1e6 * r.ownCpu / checks;
    const double refUs = 1e6 * ref.ownCpu / static_cast<double>(std::max<std::size_t>(ref.checks, 1)) - clientUs;
    std::printf("%9zu %4d %9.0f %9.0f %7.2f %7.2f %7.1f %9.0f %5.0f%% %7.1f %7.1f %7.0f %7.0f %7.0f %6.2f %6.1f %6.1f\n",
                row.tickets, row.stations, checksPerSecond, static_cast<double>(r.admissions) / r.seconds, r.p50, r.p99, r.max,
                refRate, 100.0 * checksPerSecond / refRate, static_cast<double>(row.peakKb) / 1024.0,
                static_cast<double>(row.anonKb) / 1024.0, 1e6 * r.serverCpu / checks, refUs, clientUs,
                r.serverSwitches / checks, 1e6 * r.writerCpu / checks, 1e6 * r.checkpointCpu / checks);
  }
  if (!rows.empty()) {
    std::printf("\nreference latency (ms): ");
    for (const Row& row : rows)
      if (row.tickets == rows.front().tickets)
        std::printf("N=%d p50 %.2f p99 %.2f max %.1f; ", row.stations, row.reference.p50, row.reference.p99,
                    row.reference.max);
    std::printf("\n");
  }

  // What HTTP costs against the store alone, in the same run.
  for (const Row& row : rows) {
    const auto in = alone.find(row.tickets);
    if (in == alone.end() || !in->second.count(row.stations)) continue;
    std::printf("%zu tickets, N=%d: served over HTTP at %.0f checks/s, %.1f%% of execute() in this process (%.0f/s)\n",
                row.tickets, row.stations, rate(row.result), 100.0 * rate(row.result) / in->second.at(row.stations),
                in->second.at(row.stations));
  }
  for (const Row& row : rows) {
    if (row.tickets != rows.front().tickets || row.stations != topStations || row.result.checks == 0) continue;
    const double checks = static_cast<double>(row.result.checks);
    const double writerUs = 1e6 * row.result.writerCpu / checks, serverUs = 1e6 * row.result.serverCpu / checks;
    const double share = sessionUs / std::max(writerUs, 1e-9);
    std::printf("session check, %zu tickets, N=%d: %.2f us per check, %.1f%% of the deciding thread's %.1f us and "
                "%.1f%% of tav-server's %.0f us of CPU per check: %.0f checks/s with it, at most %.0f/s without it\n",
                row.tickets, topStations, sessionUs, 100.0 * share, writerUs, 100.0 * sessionUs / serverUs, serverUs,
                rate(row.result), rate(row.result) / (1.0 - std::min(share, 0.99)));
  }
  for (const Row& row : rows) {
    if (tls.checks == 0 || row.tickets != rows.front().tickets || row.stations != topStations) continue;
    std::printf("TLS, %zu tickets, N=%d: %.0f checks/s, %.0f admissions/s, p50 %.2f ms, p99 %.2f ms: %.1f%% of plain "
                "HTTP (%.0f/s); %zu failed\n",
                row.tickets, topStations, rate(tls), static_cast<double>(tls.admissions) / tls.seconds, tls.p50, tls.p99,
                100.0 * rate(tls) / rate(row.result), rate(row.result), tls.failures);
  }
  if (dashboardPhase) {
    const PhaseResult& a = dashboards.without;
    const PhaseResult& b = dashboards.with;
    const auto cpuUs = [](const PhaseResult& r) {
      return 1e6 * r.serverCpu / static_cast<double>(std::max<std::size_t>(r.checks, 1));
    };
    std::printf("dashboards, %zu tickets, N=%d: %.0f checks/s with %d dashboards streaming against %.0f without "
                "(%+.1f%%); tav-server's CPU per check %.1f us against %.1f us; p99 %.2f ms against %.2f ms; the "
                "pages received %.1f snapshots/s in all\n",
                stores.front().first, topStations, rate(b), settings.dashboards,
                rate(a), 100.0 * (rate(b) - rate(a)) / std::max(rate(a), 1e-9), cpuUs(b), cpuUs(a), b.p99, a.p99,
                dashboards.snapshotsPerSecond);
  }
  if (keysPhase) {
    const auto& [without, with] = keys;
    const auto cpuUs = [](const PhaseResult& r) {
      return 1e6 * r.serverCpu / static_cast<double>(std::max<std::size_t>(r.checks, 1));
    };
    std::printf("idempotency keys, %zu tickets, N=%d: %.0f checks/s with a key on every check against %.0f without "
                "(%+.1f%%); tav-server's CPU per check %.1f us against %.1f us; p99 %.2f ms against %.2f ms\n",
                stores.front().first, topStations, rate(with), rate(without),
                100.0 * (rate(with) - rate(without)) / std::max(rate(without), 1e-9), cpuUs(with), cpuUs(without),
                with.p99, without.p99);
  }
  if (hostilePhase) {
    const PhaseResult& r = hostile.phase;
    const auto met = [](bool ok) { return ok ? "met" : "NOT met"; };
    std::printf("hostile, %zu tickets, N=%d beside %d slow-header and %d idle connections (a made-up cookie and "
                "station key first) and %d slow readers of chart.min.js (%zu held at the end, %zu opened again): "
                "%.0f checks/s, %.0f admissions/s, p50 %.2f ms, p99 %.2f ms, max %.1f ms; %zu failed (target 0: %s); "
                "p99 under %.0f ms: %s; tav-server memory %+.1f MB (target under %.0f MB: %s)\n",
                stores.front().first, settings.hostileStations, settings.slowConnections, settings.idleConnections,
                settings.slowReaders, hostile.held, hostile.reopened, rate(r),
                static_cast<double>(r.admissions) / r.seconds, r.p50, r.p99, r.max, r.failures,
                met(r.failures == 0), kCheckP99TargetMs, met(r.p99 < kCheckP99TargetMs), hostile.growthMb,
                kGrowthTargetMb, met(hostile.growthMb < kGrowthTargetMb));
  }

  // Same station count, small store against big store: the cost of a check must not grow.
  for (const Row& big : rows) {
    for (const Row& small : rows) {
      if (big.tickets != settings.bigTickets || small.tickets != settings.smallTickets ||
          big.stations != small.stations || big.tickets == small.tickets)
        continue;
      const double a = rate(big.result);
      const double b = rate(small.result);
      const double ca = big.result.serverCpu / static_cast<double>(std::max<std::size_t>(big.result.checks, 1));
      const double cb = small.result.serverCpu / static_cast<double>(std::max<std::size_t>(small.result.checks, 1));
      std::printf("N=%d: %zu tickets at %.1f%% of the rate at %zu tickets; tav-server CPU per check %.1f%% of it\n",
                  big.stations, big.tickets, 100.0 * a / b, small.tickets, 100.0 * ca / cb);
    }
  }
  if (manyPhase && many.idle > 0) printManyAddresses(many, settings, stores.front().first);
  return 0;
}
