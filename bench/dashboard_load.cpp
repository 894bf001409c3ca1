// Load figures of the live dashboard: how long one snapshot takes on a store of 1,000,000 tickets
// and 2,000,000 scan-log lines checked at 40 registered gates, with the control room's alarms in
// force (a silent gate, a refusal spike, a full stand), how long a control-room lookup takes (SQLite
// and PostgreSQL), what 100 dashboards streaming cost the check rate of 128 stations on tav-server,
// and what the counters behind them cost; and what the offline list of 60,000 tickets weighs and
// takes to fetch from tav-server. Prints figures; exits 0.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/lean_station.h"
#include "bench/proc_stat.h"
#include "server/core/control_room.h"
#include "server/core/copy_store.h"
#include "server/core/demo_data.h"
#include "server/core/ingress.h"
#include "server/core/offline_list.h"
#include "offline/list.h"
#include "server/core/setup.h"
#include "server/core/stations.h"
#include "server/core/store.h"
#include "server/tools/open_store.h"
#include "tests/server/pg_test_server.h"
#include "tests/server/event_streams.h"
#include "tests/server/server_process.h"
#include "tests/server/store_session.h"

namespace {

using Clock = std::chrono::steady_clock;
using tav::server::Store;
using tav::server::TimeMs;
using tav::test::ServerProcess;
using tav::test::TempDir;

struct Settings {
  std::size_t tickets = 1000000, scanLines = 2000000;
  std::size_t gates = 40;      // registered stations the evening is checked at
  int snapshots = 50;          // timed snapshots per store
  int stations = 128, dashboards = 100;
  double seconds = 4, warmup = 1;
  int rounds = 5;              // of each streaming phase, alternating; medians reported
  bool postgres = true;
  int lookups = 300;           // timed lookups of each kind per store
  bool streaming = true;
  std::size_t offlineTickets = 60000;  // the offline list's event; 0 leaves that phase out
  int offlineFetches = 30;
  bool offlineOnly = false;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The scan log of a busy evening on the demo store, all within the dashboard's three hours:
// every ticket checked in once (cancelled ones refused), then half of them out again and the
// other half scanned a second time at the gate (refused as already inside), at the registered
// gates; the last gate stops six minutes before the end and the second refuses a burst of fake
// tickets at the end; the north stand's capacity is what it holds at the end (the east one is
// empty by then: its tickets are those that went out again).
void playEvening(Store& store, const Settings& s) {
  std::vector<std::string> gates;
  for (std::size_t g = 0; g < s.gates; ++g)
    gates.push_back(tav::server::stationSource(
        tav::server::addStation(store, tav::server::kDemoPlaceCode, std::to_string(g + 1) + "번 게이트",
                                tav::server::kBlocks[g % 4]).station.id));
  const TimeMs now = Store::systemNow();
  const TimeMs start = now - 3 * 60 * 60 * 1000 + 60 * 1000;
  const double step = (3.0 * 60 * 60 * 1000 - 2 * 60 * 1000) / static_cast<double>(s.scanLines);
  constexpr std::size_t kBatch = 20000;
  for (std::size_t from = 0; from < s.scanLines; from += kBatch) {
    store.write([&](tav::server::Transaction& tx) {
      for (std::size_t i = from; i < std::min(s.scanLines, from + kBatch); ++i) {
        const std::size_t k = i % s.tickets;
        const bool second = i >= s.tickets;
        const TimeMs at = start + static_cast<TimeMs>(step * static_cast<double>(i));
        tav::server::ScanRecord line;
        line.at = at;
        line.kind = "check";
        line.bizCode = tav::server::kDemoBizCode;
        line.ticketNo = tav::server::demoTicketNumber(k);
        line.operatorId = "gate01";
        line.placeCode = tav::server::kDemoPlaceCode;
        const bool quiet = i % s.gates == s.gates - 1 && at > now - 6 * 60 * 1000;
        line.source = gates[quiet ? 0 : i % s.gates];
        line.session = 1;
        const auto ticket = tx.lockTicket(line.bizCode, line.ticketNo);
        if (ticket && ticket->cancelled) {
          line.mode = "I", line.code = "-1", line.message = "취소된 티켓입니다", line.outcome = "cancelled";
        } else if (!second) {
          tx.recordEntry(ticket->id, at);
          line.mode = "I", line.code = "0", line.message = "입장 확인", line.outcome = "entry";
        } else if (k % 2 == 0) {
          tx.recordExit(ticket->id, at);
          line.mode = "O", line.code = "0", line.message = "퇴장 확인", line.outcome = "exit";
        } else {
          line.mode = "I", line.code = "-2", line.message = "이미 입장", line.outcome = "already-inside";
        }
        tx.appendScanLog(line);
      }
    });
  }
  store.write([&](tav::server::Transaction& tx) {
    for (int k = 0; k < 300; ++k) {
      tav::server::ScanRecord line;
      line.at = now - 60 * 1000 + k * 100;
      line.kind = "check";
      line.bizCode = tav::server::kDemoBizCode;
      line.ticketNo = "FAKE" + std::to_string(k);
      line.operatorId = "gate01";
      line.placeCode = tav::server::kDemoPlaceCode;
      line.mode = "I", line.code = "-1", line.message = "등록되지 않은 티켓입니다", line.outcome = "unknown-ticket";
      line.source = gates[1 % gates.size()];
      line.session = 1;
      tx.appendScanLog(line);
    }
  });
  tav::server::CapacityChange full;
  store.read([&](tav::server::Reader& r) {
    full.byBlock[1] = std::max<std::int64_t>(1, r.ingressCounts({tav::server::kDemoBizCode}).inside[1]);
  });
  tav::server::setEventCapacity(store, tav::server::kDemoBizCode, full);
}

// Times `count` snapshots of the demo's active event; prints median, 95th percentile and maximum.
void timeSnapshots(Store& store, const char* name, const Settings& s) {
  std::vector<double> ms;
  std::int64_t admitted = 0, inside = 0;
  std::size_t gates = 0;
  std::string alarms;
  for (int i = 0; i < s.snapshots + 3; ++i) {
    const auto t0 = Clock::now();
    const auto snap = tav::server::takeIngressSnapshot(store, tav::server::kDemoPlaceCode, "");
    const double took = seconds(Clock::now() - t0) * 1000;
    if (!snap.hasEvent) {
      std::printf("  %s: the demo event is missing\n", name);
      return;
    }
    admitted = inside = 0;
    for (std::size_t b = 0; b < 4; ++b) admitted += snap.counts.admitted[b], inside += snap.counts.inside[b];
    gates = snap.counts.gates.size();
    alarms.clear();
    for (const auto& a : snap.alarms) alarms += (alarms.empty() ? "" : ", ") + a.kind + " " + a.subject;
    if (i >= 3) ms.push_back(took);  // the first few warm the caches
  }
  std::sort(ms.begin(), ms.end());
  std::printf("  %-10s snapshot: median %.2f ms, p95 %.2f ms, max %.2f ms over %d (admitted %lld, inside %lld, "
              "%zu gates, alarms: %s)\n",
              name, ms[ms.size() / 2], ms[ms.size() * 95 / 100], ms.back(), s.snapshots,
              static_cast<long long>(admitted), static_cast<long long>(inside), gates, alarms.c_str());
}

// Times the control room's lookups as an admin does them: by ticket number, by a holder's surname
// (one syllable: thousands match, the first 50 are listed), by a whole name, and a ticket's story.
void timeLookups(Store& store, const char* name, const Settings& s) {
  const tav::server::ControlCaller admin{tav::test::sessionOf(store, "admin"), "bench"};
  const std::string biz = tav::server::kDemoBizCode;
  std::mt19937 random(20260404);
  std::vector<std::string> numbers, names;
  for (int i = 0; i < s.lookups; ++i) {
    numbers.push_back(tav::server::demoTicketNumber(random() % s.tickets));
    store.read([&](tav::server::Reader& r) { names.push_back(r.findTicket(biz, numbers.back())->custName); });
  }
  const auto surname = [](const std::string& n) { return n.substr(0, 3); };  // one Hangul syllable
  struct Kind {
    const char* what;
    std::function<std::size_t(int)> run;  // how many tickets the i-th lookup found
  };
  const std::vector<Kind> kinds{
      {"by number", [&](int i) { return tav::server::findTickets(store, admin, biz, numbers[i]).size(); }},
      {"by surname", [&](int i) { return tav::server::findTickets(store, admin, biz, surname(names[i])).size(); }},
      {"by whole name", [&](int i) { return tav::server::findTickets(store, admin, biz, names[i]).size(); }},
      {"story", [&](int i) { return tav::server::ticketStory(store, admin, biz, numbers[i]).lines.size(); }},
  };
  for (const Kind& k : kinds) {
    std::vector<double> ms;
    std::size_t found = 0;
    for (int i = 0; i < s.lookups; ++i) {
      const auto t0 = Clock::now();
      found += k.run(i);
      ms.push_back(seconds(Clock::now() - t0) * 1000);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("  %-10s lookup %-13s median %.2f ms, p99 %.2f ms, max %.2f ms over %d (%.1f found each)\n", name,
                k.what, ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back(), s.lookups,
                static_cast<double>(found) / s.lookups);
  }
}

// --- the streaming phase ------------------------------------------------------------------------

struct Rate {
  double checks = 0;      // per second
  double serverUs = 0;    // tav-server's CPU per check, in microseconds: what the machine's other
                          // users disturb least
};

// Checks per second of `stations` stations over `s.seconds`, after `s.warmup`, with the CPU time
// tav-server (`pid`) spent on them.
Rate checkRate(std::vector<std::unique_ptr<tav::bench::LeanStation>>& stations, const std::vector<std::string>& tickets,
               std::atomic<std::size_t>& next, const Settings& s, long pid) {
  std::atomic<std::size_t> counted{0};
  std::atomic<int> phase{0};  // 0 warm-up, 1 counted, 2 done
  std::vector<std::thread> threads;
  for (auto& st : stations) {
    threads.emplace_back([&, station = st.get()] {
      while (phase.load() < 2) {
        const std::string& t = tickets[next.fetch_add(1) % tickets.size()];
        const std::string code = station->post(tav::test::kBookingProc + "'I','" + tav::server::kDemoBizCode +
                                               "','','" + t + "', 'gate01'");
        if (code.rfind("failed", 0) != 0 && phase.load() == 1) counted.fetch_add(1);
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(s.warmup));
  phase = 1;
  const auto t0 = Clock::now();
  const double cpu0 = tav::bench::processCpuSeconds(pid);
  std::this_thread::sleep_for(std::chrono::duration<double>(s.seconds));
  const std::size_t n = counted.load();
  const double cpu = tav::bench::processCpuSeconds(pid) - cpu0;
  const double took = seconds(Clock::now() - t0);
  phase = 2;
  for (auto& t : threads) t.join();
  return Rate{static_cast<double>(n) / took, 1e6 * cpu / static_cast<double>(std::max<std::size_t>(n, 1))};
}

// The medians of a few phases' rates and CPU per check.
Rate median(std::vector<Rate> rates) {
  std::sort(rates.begin(), rates.end(), [](const Rate& a, const Rate& b) { return a.checks < b.checks; });
  Rate m;
  m.checks = rates[rates.size() / 2].checks;
  std::sort(rates.begin(), rates.end(), [](const Rate& a, const Rate& b) { return a.serverUs < b.serverUs; });
  m.serverUs = rates[rates.size() / 2].serverUs;
  return m;
}

// A fresh demo store served by tav-server, with its stations signed in (a session each) and their
// tickets in the order they meet them.
struct Served {
  TempDir dir;
  std::string path = dir.file("served.db");
  std::unique_ptr<ServerProcess> server;
  std::vector<std::unique_ptr<tav::bench::LeanStation>> stations;
  std::string adminCookie;
  std::atomic<std::size_t> next{0};

  // `counters`: false drops the triggers that keep the dashboard's counters.
  Served(const Settings& s, bool counters) {
    std::vector<std::string> sessions;
    {
      auto store = tav::server::openStore(path, true);
      tav::server::loadDemo(*store, s.tickets);
      for (int i = 0; i < s.stations; ++i) sessions.push_back(tav::test::sessionOf(*store, "gate01"));
      adminCookie = "tav_session=" + tav::test::sessionOf(*store, "admin");
    }
    if (!counters) {
      sqlite3* db = nullptr;
      sqlite3_open(path.c_str(), &db);
      sqlite3_exec(db,
                   "DROP TRIGGER scan_log_ingress; DROP TRIGGER ticket_inside_insert; "
                   "DROP TRIGGER ticket_inside_delete; DROP TRIGGER ticket_inside_update;",
                   nullptr, nullptr, nullptr);
      sqlite3_close(db);
    }
    server = std::make_unique<ServerProcess>(path);
    server->start();
    for (const std::string& session : sessions)
      stations.push_back(std::make_unique<tav::bench::LeanStation>(server->port(), nullptr, session));
  }
  ~Served() { server->stop(); }

  Rate run(const std::vector<std::string>& tickets, const Settings& s) {
    return checkRate(stations, tickets, next, s, server->pid());
  }
};

// 128 stations on a store with the dashboard's counters, without and with 100 dashboards
// streaming, and on a store without the counters; the three phases take turns at going first in
// each round, and each store meets its tickets in the same order.
void measureStreaming(const Settings& s) {
  std::vector<std::string> tickets;
  for (std::size_t i = 0; i < s.tickets; ++i)
    if (!tav::server::demoTicketCancelled(i)) tickets.push_back(tav::server::demoTicketNumber(i));
  std::shuffle(tickets.begin(), tickets.end(), std::mt19937(20260404));
  Served counted(s, true), bare(s, false);
  const std::string& cookie = counted.adminCookie;

  counted.run(tickets, s);  // the stores' caches and the servers' threads warm up
  bare.run(tickets, s);
  std::vector<Rate> without, with, uncounted;
  std::size_t received = 0;
  double streamedSeconds = 0;
  for (int round = 0; round < s.rounds; ++round) {
    for (int k = 0; k < 3; ++k) {
      switch ((round + k) % 3) {
        case 0:
          without.push_back(counted.run(tickets, s));
          break;
        case 1: {
          tav::test::EventStreams pages(counted.server->port(), cookie, s.dashboards);
          const std::size_t before = pages.events();
          const auto t0 = Clock::now();
          with.push_back(counted.run(tickets, s));
          received += pages.events() - before;
          streamedSeconds += seconds(Clock::now() - t0);
          break;
        }
        default:
          uncounted.push_back(bare.run(tickets, s));
      }
    }
    std::printf("  round %d: %.0f checks/s (%.1f us of tav-server's CPU each), %.0f (%.1f us) with %d dashboards "
                "streaming, %.0f (%.1f us) without the counters\n",
                round + 1, without.back().checks, without.back().serverUs, with.back().checks, with.back().serverUs,
                s.dashboards, uncounted.back().checks, uncounted.back().serverUs);
  }
  const Rate a = median(without), b = median(with), c = median(uncounted);
  std::printf("  %d stations, %zu tickets, medians: %.0f checks/s without dashboards, %.0f with %d dashboards "
              "streaming (%+.1f%%); tav-server's CPU per check %.1f us without, %.1f us with (%+.1f%%); the pages "
              "received %.1f snapshots/s in all (%.2f per page per second)\n",
              s.stations, s.tickets, a.checks, b.checks, s.dashboards, 100.0 * (b.checks - a.checks) / a.checks,
              a.serverUs, b.serverUs, 100.0 * (b.serverUs - a.serverUs) / a.serverUs,
              static_cast<double>(received) / streamedSeconds,
              static_cast<double>(received) / streamedSeconds / s.dashboards);
  std::printf("  without the dashboard's counters (their triggers dropped): %.0f checks/s, %.1f us of tav-server's "
              "CPU per check; the counters cost %.1f%% of the check rate and %.1f us per check\n",
              c.checks, c.serverUs, 100.0 * (c.checks - a.checks) / c.checks, a.serverUs - c.serverUs);
}

// A registered station of the demo venue fetches the offline list of every block, and of one,
// `offlineFetches` times each from tav-server on a demo store; prints the list's size and the
// fetch times (the request's whole round trip: the store read, the hashing, the note of the fetch
// written durably, the transfer over loopback).
void measureOfflineList(const Settings& s) {
  TempDir dir;
  const std::string path = dir.file("offline.db");
  std::string key, session;
  {
    auto store = tav::server::openStore(path, true);
    tav::server::loadDemo(*store, s.offlineTickets);
    key = tav::server::addStation(*store, tav::server::kDemoPlaceCode, "1번 게이트", "").key;
    session = tav::test::sessionOf(*store, "gate01");
  }
  ServerProcess server(path);
  server.start();
  auto client = server.client(session);
  client->set_default_headers({{"Cookie", "tav_session=" + session}, {"Tav-Station", key}});
  for (const char* block : {"%EC%A0%84%EC%B2%B4", "E%EC%84%9D"}) {  // 전체, E석, URL-encoded
    const std::string target = "/api/v1/offline/list?bizcode=" + std::string(tav::server::kDemoBizCode) + "&block=" + block;
    std::vector<double> ms;
    std::size_t bytes = 0, records = 0;
    for (int i = 0; i <= s.offlineFetches; ++i) {
      const auto t0 = Clock::now();
      auto res = client->Get(target.c_str());
      const double took = seconds(Clock::now() - t0) * 1000;
      if (!res || res->status != 200) {
        std::printf("  offline list: the fetch failed (%s)\n", res ? res->body.c_str() : "no answer");
        return;
      }
      if (i == 0) continue;  // the store's cache warms up
      ms.push_back(took);
      bytes = res->body.size();
      records = tav::offline::decodeList(res->body).records.size();
    }
    std::sort(ms.begin(), ms.end());
    std::printf("  offline list of %s, %zu tickets in the event: %zu records, %zu bytes (%.1f per ticket); fetched "
                "in median %.1f ms, p90 %.1f ms, max %.1f ms over %d\n",
                block[0] == 'E' ? "one block" : "every block", s.offlineTickets, records, bytes,
                static_cast<double>(bytes) / static_cast<double>(records), ms[ms.size() / 2],
                ms[ms.size() * 9 / 10], ms.back(), s.offlineFetches);
  }
  server.stop();
  // The same list made in this process, without HTTP: what the store's read, the hashing and the
  // durable note cost of the whole.
  auto store = tav::server::openStore(path, false);
  tav::server::Caller caller{"127.0.0.1", session};
  store->read([&](tav::server::Reader& r) {
    for (const tav::server::StationRecord& st : r.allStations()) caller.station = st.id;
  });
  caller.stationPlace = tav::server::kDemoPlaceCode;
  std::vector<double> ms;
  for (int i = 0; i <= s.offlineFetches; ++i) {
    const auto t0 = Clock::now();
    tav::server::fetchOfflineList(*store, tav::server::kDemoBizCode, std::string(tav::offline::kAllBlocks), caller);
    if (i > 0) ms.push_back(seconds(Clock::now() - t0) * 1000);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("  the same list of every block made in this process (no HTTP): median %.1f ms, max %.1f ms\n",
              ms[ms.size() / 2], ms.back());
}

Settings parseArgs(int argc, char** argv) {
  Settings s;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i], value = argv[i + 1];
    if (opt == "--tickets") s.tickets = std::strtoul(value.c_str(), nullptr, 10);
    else if (opt == "--scan-lines") s.scanLines = std::strtoul(value.c_str(), nullptr, 10);
    else if (opt == "--seconds") s.seconds = std::atof(value.c_str());
    else if (opt == "--rounds") s.rounds = std::max(1, std::atoi(value.c_str()));
    else if (opt == "--dashboards") s.dashboards = std::atoi(value.c_str());
    else if (opt == "--stations") s.stations = std::atoi(value.c_str());
    else if (opt == "--postgres") s.postgres = value != "no";
    else if (opt == "--snapshots") s.snapshots = std::atoi(value.c_str());
    else if (opt == "--lookups") s.lookups = std::max(1, std::atoi(value.c_str()));
    else if (opt == "--streaming") s.streaming = value != "no";
    else if (opt == "--gates") s.gates = std::max<std::size_t>(2, std::strtoul(value.c_str(), nullptr, 10));
    else if (opt == "--offline-tickets") s.offlineTickets = std::strtoul(value.c_str(), nullptr, 10);
    else if (opt == "--offline-fetches") s.offlineFetches = std::max(1, std::atoi(value.c_str()));
    else if (opt == "--offline-only") s.offlineOnly = value != "no";
    else {
      std::fprintf(stderr, "usage: bench_dashboard [--tickets N] [--scan-lines N] [--seconds S] [--rounds R] "
                           "[--stations N] [--dashboards N] [--postgres yes|no] [--snapshots N, 0: the streaming phase alone] "
                           "[--lookups N] [--streaming yes|no] [--gates N] [--offline-tickets N, 0: none] "
                           "[--offline-fetches N] [--offline-only yes|no]\n");
      std::exit(2);
    }
  }
  if ((argc - 1) % 2 != 0) {
    std::fprintf(stderr, "usage: bench_dashboard [--option value]...\n");
    std::exit(2);
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const Settings s = parseArgs(argc, argv);
  if (s.offlineTickets > 0) measureOfflineList(s);
  if (s.offlineOnly) return 0;
  if (s.snapshots == 0) {  // the streaming phase alone
    measureStreaming(s);
    return 0;
  }
  std::printf("dashboard load: %zu tickets, %zu scan-log lines in the last three hours, %u cores\n", s.tickets,
              s.scanLines, std::thread::hardware_concurrency());
  TempDir dir;
  const std::string sqlite = dir.file("evening.db");
  {
    auto t0 = Clock::now();
    auto store = tav::server::openStore(sqlite, true);
    tav::server::loadDemo(*store, s.tickets);
    const double made = seconds(Clock::now() - t0);
    t0 = Clock::now();
    playEvening(*store, s);
    std::printf("  SQLite store made in %.1f s, its evening played in %.1f s\n", made, seconds(Clock::now() - t0));
    timeSnapshots(*store, "SQLite", s);
    timeLookups(*store, "SQLite", s);
    if (s.postgres) {
      tav::pgtest::ThrowawayServer pg;
      t0 = Clock::now();
      auto target = tav::server::openStore(pg.uri(), true);
      tav::server::copyStore(*store, *target);
      tav::pgtest::RawConnection(pg.uri()).exec("VACUUM (ANALYZE)");
      std::printf("  copied to PostgreSQL and vacuumed in %.1f s\n", seconds(Clock::now() - t0));
      timeSnapshots(*target, "PostgreSQL", s);
      timeLookups(*target, "PostgreSQL", s);
    }
  }
  if (s.streaming) measureStreaming(s);
  return 0;
}
