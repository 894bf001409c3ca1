// Load generator for the PostgreSQL store: N gate stations on keep-alive connections against one
// and two tav-server processes on one PostgreSQL database, beside one tav-server on the SQLite
// file of the same venue, all with durable commits; then PostgreSQL alone through pgbench and a
// transaction shaped like a check, in the same run, as the bound. Prints figures; exits 0.
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/lean_station.h"
#include "bench/proc_stat.h"
#include "server/core/copy_store.h"
#include "server/core/demo_data.h"
#include "server/pg/pg_store.h"
#include "server/core/service.h"
#include "server/core/setup.h"
#include "server/core/store.h"
#include "tests/server/pg_test_server.h"
#include "tests/server/server_process.h"
#include "tests/server/store_session.h"
#include "server/tools/open_store.h"

namespace {

using tav::bench::processCpuSeconds;

using Clock = std::chrono::steady_clock;
using tav::test::ServerProcess;
using tav::test::TempDir;

constexpr std::size_t kExitEvery = 5;  // one ticket in five is also let out again
constexpr const char* kPgbench = "/usr/lib/postgresql/15/bin/pgbench";

struct Settings {
  double seconds = 4;
  std::size_t tickets = 1000000;
  std::vector<int> stations{16, 128};
  std::string pgUri;  // empty: a throwaway server of the benchmark's own
  bool socket = false;  // the throwaway server through its unix socket instead of TCP
  std::vector<std::string> runs{"sqlite", "pg", "pg2", "pgbench"};  // which stores and server counts to measure
};

std::vector<std::string> commaList(const std::string& value) {
  std::vector<std::string> out;
  for (std::size_t pos = 0; pos < value.size();) {
    const std::size_t comma = value.find(',', pos);
    out.push_back(value.substr(pos, comma - pos));
    pos = comma == std::string::npos ? value.size() : comma + 1;
  }
  return out;
}

struct Phase {
  std::string store;
  int servers = 1, stations = 0;
  bool keys = true;  // every check carried an idempotency key
  double seconds = 0;
  std::size_t checks = 0, admissions = 0, failures = 0;
  double p50 = 0, p99 = 0, max = 0;  // milliseconds
  double serverCpu = 0, databaseCpu = 0;  // CPU seconds of the tav-server processes and of PostgreSQL
  double walBytes = 0, walPageImages = 0;  // what PostgreSQL wrote to its log during the phase
};

// PostgreSQL's log so far: bytes and full-page images (a page's first change after a checkpoint).
std::pair<double, double> walSoFar(const std::string& uri) {
  tav::pgtest::RawConnection c(uri);
  return {std::atof(c.scalar("SELECT wal_bytes FROM pg_stat_wal").c_str()),
          std::atof(c.scalar("SELECT wal_fpi FROM pg_stat_wal").c_str())};
}

// The CPU time of every process whose name starts with "postgres" (the server and its backends).
double postgresCpuSeconds() {
  double total = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream comm(entry.path() / "comm");
    std::string command;
    std::getline(comm, command);
    if (command.rfind("postgres", 0) == 0) total += processCpuSeconds(std::stol(name));
  }
  return total;
}

std::string checkText(const std::string& mode, const std::string& ticket, const std::string& op) {
  return "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo '" + mode + "','" + tav::server::kDemoBizCode + "','','" +
         ticket + "', '" + op + "'";
}

// `stations` threads, spread over the servers' ports, scan distinct tickets from `cursor` on for
// `seconds`: entry, then exit for one in kExitEvery.
Phase runPhase(const std::vector<int>& ports, const std::vector<long>& pids, int stations, double seconds,
               const std::vector<std::string>& tickets, const std::string& op, const std::string& session,
               std::size_t& cursor, bool keys) {
  std::atomic<std::size_t> next{cursor};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::vector<double>> latencies(static_cast<std::size_t>(stations));
  std::vector<std::size_t> admitted(static_cast<std::size_t>(stations)), failed(static_cast<std::size_t>(stations));
  Clock::time_point deadline;
  std::vector<std::thread> threads;
  for (int s = 0; s < stations; ++s) {
    threads.emplace_back([&, s] {
      const auto me = static_cast<std::size_t>(s);
      httplib::Client client("127.0.0.1", ports[me % ports.size()]);
      client.set_keep_alive(true);
      client.set_tcp_nodelay(true);
      client.set_read_timeout(30);
      client.set_default_headers({{"Cookie", "tav_session=" + session}});
      client.Get("/health");
      latencies[me].reserve(65536);
      ++ready;
      while (!go) std::this_thread::yield();
      auto timed = [&](const std::string& text) {
        const auto t0 = Clock::now();
        httplib::Headers headers;
        if (keys) headers.emplace("Idempotency-Key", tav::bench::nextIdempotencyKey());
        auto res = client.Post(tav::test::kQueryPath.c_str(), headers, text, "text/plain; charset=utf-8");
        latencies[me].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (!res || res->status != 200) {
          ++failed[me];
          return std::string("failed");
        }
        return tav::bench::firstValue(res->body);
      };
      while (Clock::now() < deadline) {
        const std::size_t visit = next++;
        if (visit >= tickets.size()) break;
        const std::string in = timed(checkText("I", tickets[visit], op));
        if (in == "0" || in == "-3") ++admitted[me];
        if (visit % kExitEvery == 0 && in == "0") timed(checkText("O", tickets[visit], op));
      }
    });
  }
  while (ready < stations) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  auto serverCpu = [&] {
    double total = 0;
    for (long pid : pids) total += processCpuSeconds(pid);
    return total;
  };
  const double serverBefore = serverCpu(), databaseBefore = postgresCpuSeconds();
  const auto started = Clock::now();
  deadline = started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  go = true;
  for (auto& t : threads) t.join();
  cursor = std::min(next.load(), tickets.size());

  Phase p;
  p.serverCpu = serverCpu() - serverBefore;
  p.databaseCpu = postgresCpuSeconds() - databaseBefore;
  p.stations = stations;
  p.keys = keys;
  p.servers = static_cast<int>(ports.size());
  p.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::vector<double> all;
  for (std::size_t s = 0; s < latencies.size(); ++s) {
    all.insert(all.end(), latencies[s].begin(), latencies[s].end());
    p.admissions += admitted[s];
    p.failures += failed[s];
  }
  std::sort(all.begin(), all.end());
  p.checks = all.size();
  auto at = [&](double q) { return all.empty() ? 0 : all[static_cast<std::size_t>(q * static_cast<double>(all.size() - 1))]; };
  p.p50 = at(0.50);
  p.p99 = at(0.99);
  p.max = all.empty() ? 0 : all.back();
  return p;
}

// The output of a shell command, or "" when it fails.
std::string commandOutput(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
    if (pclose(pipe) != 0) out.clear();
  }
  return out;
}

// PostgreSQL alone: pgbench's clients run the check-shaped transaction of bench/pg_check.sql
// (lock a row, change it, append a log line, commit durably) for `seconds`; its transactions per
// second, or -1. Its tables live in a schema of their own beside the venue's.
double pgbenchRate(const std::string& uri, int clients, double seconds) {
  const std::string own = uri + (uri.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3Dpgbench_check";
  static bool initialised = false;
  if (!initialised) {
    tav::pgtest::RawConnection(uri).exec("CREATE SCHEMA IF NOT EXISTS pgbench_check");
    if (std::system((std::string(kPgbench) + " -i -q -s 10 '" + own + "' >/dev/null 2>&1").c_str()) != 0) return -1;
    initialised = true;
  }
  const std::string out = commandOutput(std::string(kPgbench) + " -M prepared -f " + TAV_SOURCE_DIR +
                                        "/bench/pg_check.sql -c " + std::to_string(clients) + " -j 2 -T " +
                                        std::to_string(std::max(1, static_cast<int>(seconds))) + " '" + own + "' 2>/dev/null");
  const auto at = out.find("tps = ");
  return at == std::string::npos ? -1 : std::atof(out.c_str() + at + 6);
}

double loadAverage() {
  double one = -1;
  std::ifstream("/proc/loadavg") >> one;
  return one;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: bench_pg [--seconds S] [--tickets N] [--stations 16,128] [--runs sqlite,pg,pg2,pgbench]\n"
               "                [--pg-uri postgresql://... | --pg-via tcp|socket]\n"
               "Without --pg-uri the benchmark runs a PostgreSQL server of its own; a given database must be "
               "empty.\n");
  std::exit(2);
}

Settings parseArgs(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) usage();
    const std::string opt = argv[i], value = argv[i + 1];
    if (opt == "--seconds") {
      s.seconds = std::atof(value.c_str());
    } else if (opt == "--tickets") {
      s.tickets = std::strtoul(value.c_str(), nullptr, 10);
    } else if (opt == "--pg-uri") {
      s.pgUri = value;
    } else if (opt == "--pg-via") {
      if (value != "tcp" && value != "socket") usage();
      s.socket = value == "socket";
    } else if (opt == "--stations") {
      s.stations.clear();
      for (const std::string& n : commaList(value)) s.stations.push_back(std::atoi(n.c_str()));
    } else if (opt == "--runs") {
      s.runs = commaList(value);
      for (const std::string& r : s.runs)
        if (r != "sqlite" && r != "pg" && r != "pg2" && r != "pgbench") usage();
    } else {
      usage();
    }
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const Settings settings = parseArgs(argc, argv);
  std::printf("PostgreSQL store load: %.1f s per phase, %zu tickets, %u cores, load average %.2f at start\n",
              settings.seconds, settings.tickets, std::thread::hardware_concurrency(), loadAverage());

  // One demo venue on SQLite, copied to PostgreSQL before any check: both stores start equal.
  TempDir dir;
  const std::string sqlite = dir.file("bench.db");
  std::unique_ptr<tav::pgtest::ThrowawayServer> throwaway;
  if (settings.pgUri.empty()) throwaway = std::make_unique<tav::pgtest::ThrowawayServer>();
  const std::string pg = !settings.pgUri.empty() ? settings.pgUri
                         : settings.socket      ? throwaway->socketUri()
                                                : throwaway->uri();
  std::printf("  PostgreSQL at %s\n", tav::server::maskedLocation(pg).c_str());
  std::string op;
  // Sessions stay with the store that made them: each store gets its own, shared by its stations.
  std::map<std::string, std::string> sessions;  // store -> the operator's session there
  {
    auto t0 = Clock::now();
    auto source = tav::server::openStore(sqlite, true);
    op = tav::server::loadDemo(*source, settings.tickets).operators.at(0).first;
    const double made = std::chrono::duration<double>(Clock::now() - t0).count();
    t0 = Clock::now();
    auto target = tav::server::openStore(pg, true);
    tav::server::copyStore(*source, *target);
    const double copied = std::chrono::duration<double>(Clock::now() - t0).count();
    sessions[sqlite] = tav::test::sessionOf(*source, op);
    sessions[pg] = tav::test::sessionOf(*target, op);
    // What an operator runs after a bulk load, so that autovacuum does not do it in the middle of
    // a measurement.
    t0 = Clock::now();
    tav::pgtest::RawConnection(pg).exec("VACUUM (ANALYZE)");
    std::printf("  demo venue made on SQLite in %.1f s, copied to PostgreSQL in %.1f s, vacuumed in %.1f s\n", made,
                copied, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  std::vector<std::string> tickets;
  for (std::size_t i = 0; i < settings.tickets; ++i)
    if (!tav::server::demoTicketCancelled(i)) tickets.push_back(tav::server::demoTicketNumber(i));
  std::shuffle(tickets.begin(), tickets.end(), std::mt19937(20260404));

  struct Setup {
    const char* run;
    const char* name;
    std::string store;
    int servers;
  };
  const std::vector<Setup> setups{{"sqlite", "SQLite", sqlite, 1}, {"pg", "PostgreSQL", pg, 1}, {"pg2", "PostgreSQL", pg, 2}};
  std::vector<Phase> phases;
  std::map<std::string, std::size_t> cursors;
  for (const Setup& setup : setups) {
    if (std::find(settings.runs.begin(), settings.runs.end(), setup.run) == settings.runs.end()) continue;
    std::vector<std::unique_ptr<ServerProcess>> servers;
    std::vector<int> ports;
    std::vector<long> pids;
    for (int k = 0; k < setup.servers; ++k) {
      servers.push_back(std::make_unique<ServerProcess>(setup.store));
      servers.back()->start();
      ports.push_back(servers.back()->port());
      pids.push_back(servers.back()->pid());
    }
    // Each station count with a key on every check, as the station sends them, and without: what
    // the key costs a check. In the order with, without, without, with, so that neither gains from
    // going first (cold caches) or last (a checkpoint under way).
    for (int n : settings.stations) {
      for (const bool keys : {true, false, false, true}) {
        const bool onPg = setup.store == pg;
        const auto walBefore = onPg ? walSoFar(pg) : std::pair<double, double>{};
        Phase p = runPhase(ports, pids, n, settings.seconds, tickets, op, sessions.at(setup.store), cursors[setup.name],
                           keys);
        p.store = setup.name;
        if (onPg) {
          const auto walAfter = walSoFar(pg);
          p.walBytes = walAfter.first - walBefore.first;
          p.walPageImages = walAfter.second - walBefore.second;
        }
        std::printf("  %s, %d server(s), N=%d, %s keys: %.0f admissions/s, p50 %.2f ms, p99 %.2f ms, %zu failed\n",
                    setup.name, setup.servers, n, keys ? "with" : "without", static_cast<double>(p.admissions) / p.seconds,
                    p.p50, p.p99, p.failures);
        phases.push_back(p);
        if (cursors[setup.name] >= tickets.size()) std::printf("  (the tickets ran out: raise --tickets)\n");
      }
    }
    for (auto& s : servers) s->stop();
  }

  // CPU per check: the tav-server processes' and PostgreSQL's (its server and backends).
  std::printf("\n%-11s %7s %4s %4s %9s %11s %7s %7s %7s %7s %7s %7s %7s %7s\n", "store", "servers", "N", "keys", "checks/s",
              "admissions/s", "p50 ms", "p99 ms", "max ms", "failed", "srv us", "db us", "wal B", "fpi %");
  for (const Phase& p : phases) {
    const double checks = static_cast<double>(std::max<std::size_t>(p.checks, 1));
    std::printf("%-11s %7d %4d %4s %9.0f %11.0f %7.2f %7.2f %7.1f %7zu %7.0f %7.0f %7.0f %7.0f\n", p.store.c_str(),
                p.servers, p.stations, p.keys ? "yes" : "no", static_cast<double>(p.checks) / p.seconds,
                static_cast<double>(p.admissions) / p.seconds, p.p50, p.p99, p.max, p.failures,
                1e6 * p.serverCpu / checks, 1e6 * p.databaseCpu / checks, p.walBytes / checks,
                100.0 * p.walPageImages / checks);
  }

  // What a key costs: each setup's rate with keys against its rate without, at each station count.
  // The rate of all the phases of one setup and station count with or without keys.
  const auto rateOf = [&phases](const Phase& like, bool keys) {
    double checks = 0, seconds = 0;
    for (const Phase& p : phases)
      if (p.keys == keys && p.store == like.store && p.servers == like.servers && p.stations == like.stations) {
        checks += static_cast<double>(p.checks);
        seconds += p.seconds;
      }
    return checks / std::max(seconds, 1e-9);
  };
  for (std::size_t i = 0; i < phases.size(); ++i) {
    const Phase& p = phases[i];
    const bool first = std::none_of(phases.begin(), phases.begin() + static_cast<std::ptrdiff_t>(i), [&](const Phase& q) {
      return q.store == p.store && q.servers == p.servers && q.stations == p.stations;
    });
    if (!first) continue;
    const double with = rateOf(p, true), without = rateOf(p, false);
    std::printf("idempotency keys, %s, %d server(s), N=%d: %.0f checks/s with a key on every check, %.0f without "
                "(%+.1f%%)\n",
                p.store.c_str(), p.servers, p.stations, with, without, 100.0 * (with - without) / without);
  }

  // tav-server on PostgreSQL against PostgreSQL alone, through the same kind of transaction.
  if (std::find(settings.runs.begin(), settings.runs.end(), "pgbench") != settings.runs.end()) {
    for (int n : settings.stations) {
      const double bound = pgbenchRate(pg, n, settings.seconds);
      if (bound <= 0) {
        std::printf("pgbench, %d clients: could not run %s\n", n, kPgbench);
        continue;
      }
      std::printf("pgbench, %d clients, check-shaped transaction: %.0f tps", n, bound);
      const auto served = std::find_if(phases.begin(), phases.end(), [n](const Phase& p) {
        return p.store == "PostgreSQL" && p.servers == 1 && p.stations == n;
      });
      if (served != phases.end()) {
        const double keyed = rateOf(*served, true);
        std::printf("; one tav-server at N=%d, a key on every check: %.0f checks/s, %.1f%% of it", n, keyed,
                    100.0 * keyed / bound);
      }
      std::printf("\n");
    }
  }
  std::printf("load average at the end %.2f\n", loadAverage());
  return 0;
}
