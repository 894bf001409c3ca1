// Load generator: the hand-over of offline decisions beside live checking. Live gate stations check
// on keep-alive connections against tav-server on a durable SQLite demo store while other
// registered stations, cut off after fetching their block's offline list, decide checks with the
// station's offline engine and journal, then hand them over as a station does; prints the live
// checks' latency before and during the hand-over, how long it took, its deferrals, and what the
// store kept. Exits 0.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/lean_station.h"
#include "offline/engine.h"
#include "offline/handover.h"
#include "server/core/demo_data.h"
#include "server/core/offline_handover.h"
#include "server/core/setup.h"
#include "server/core/stations.h"
#include "server/core/store.h"
#include "server/http/offline.h"
#include "server/tools/open_store.h"
#include "tests/server/hostile_crowd.h"
#include "tests/server/offline_lines.h"
#include "tests/server/server_process.h"
#include "tests/server/store_session.h"
#include "wire/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
using tav::bench::LeanStation;
using tav::test::ServerProcess;
using tav::test::TempDir;
using tav::test::urlEncoded;

constexpr int kExitEvery = 5;  // as bench_server: one live ticket in five is let out again at once
// The station's random wait before it hands over, so that gates back at once do not come at once.
constexpr std::chrono::seconds kMaxHandoverDelay{10};
// How long the silence lasts past what the decisions need of it (one a second: the server's rule).
constexpr std::chrono::seconds kSilenceMargin{10};

struct Settings {
  std::size_t tickets = 60000;
  int live = 128;       // stations checking online throughout
  int offline = 48;     // stations cut off, then handing over
  int decisions = 300;  // each offline station's
  double pace = 0;      // seconds from one live check of a station to its next; 0: as fast as it can
  double warmup = 2;    // live checks before this are not counted
  double patience = 900;  // seconds after the silence before the benchmark stops waiting
};

double sinceMs(Clock::time_point from, Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(t - from).count();
}

struct Latencies {
  double p50 = 0, p99 = 0, max = 0;
  std::size_t checks = 0, failed = 0;
};

// A live check: when it started (ms from the benchmark's zero), how long it took, whether it failed.
struct Sample {
  float startMs, tookMs;
  bool failed;
};

Latencies within(const std::vector<std::vector<Sample>>& all, double fromMs, double toMs) {
  std::vector<double> took;
  Latencies l;
  for (const auto& station : all)
    for (const Sample& s : station)
      if (s.startMs >= fromMs && s.startMs < toMs) {
        took.push_back(s.tookMs);
        if (s.failed) ++l.failed;
      }
  if (took.empty()) return l;
  std::sort(took.begin(), took.end());
  l.checks = took.size();
  l.p50 = took[took.size() / 2];
  l.p99 = took[static_cast<std::size_t>(0.99 * static_cast<double>(took.size() - 1))];
  l.max = took.back();
  return l;
}

// One registered station that goes offline: its engine and journal, the tickets its fans bring,
// and what its hand-over met.
struct OfflineStation {
  std::string name, block, key;
  std::vector<std::string> tickets;
  std::optional<tav::offline::Engine> engine;
  std::size_t requests = 0, deferred = 0, failedRequests = 0;
  std::map<std::string, std::size_t> results;  // by the answer's word
  std::vector<double> takenMs;                 // the round trips of the requests taken
  std::int64_t acknowledged = 0;
  std::optional<Clock::time_point> firstRequest, lastAcknowledged;
  std::string fault;  // why it stopped early, if it did
};

// The demo store with `offline` registered stations, one block each in turn, and the session of the
// operator every station works under.
struct Venue {
  TempDir dir;
  std::string path = dir.file("handover.db");
  std::string op, session;
  std::vector<std::string> liveTickets;
  std::vector<OfflineStation> stations;

  explicit Venue(const Settings& s) : stations(static_cast<std::size_t>(s.offline)) {
    const std::size_t blocks = tav::server::kBlocks.size();
    const std::size_t perBlock = (static_cast<std::size_t>(s.offline) + blocks - 1) / blocks;
    const std::size_t reserved = perBlock * blocks * static_cast<std::size_t>(s.decisions);
    if (reserved >= s.tickets) throw std::runtime_error("Too few tickets for the offline stations' fans and the live ones.");
    auto store = tav::server::openStore(path, true);
    op = tav::server::loadDemo(*store, s.tickets).operators.at(1).first;
    session = tav::test::sessionOf(*store, op);
    // The offline stations' fans are the first tickets, each at a station of its block, and
    // nobody else's: whatever the store then holds of them came through the hand-over.
    std::vector<std::size_t> nextOfBlock(blocks, 0);
    for (std::size_t i = 0; i < stations.size(); ++i) {
      OfflineStation& st = stations[i];
      const std::size_t b = i % blocks;
      st.name = std::to_string(i + 1) + "번 게이트";
      st.block = tav::server::kBlocks[b];
      st.key = tav::server::addStation(*store, tav::server::kDemoPlaceCode, st.name, st.block).key;
      for (int d = 0; d < s.decisions; ++d, ++nextOfBlock[b])
        st.tickets.push_back(tav::server::demoTicketNumber(nextOfBlock[b] * blocks + b));
    }
    for (std::size_t i = reserved; i < s.tickets; ++i)
      if (!tav::server::demoTicketCancelled(i)) liveTickets.push_back(tav::server::demoTicketNumber(i));
    std::shuffle(liveTickets.begin(), liveTickets.end(), std::mt19937(20261208));
  }
};

// The live stations, checking from `zero` until `stop`, each sample kept.
class LiveStations {
 public:
  LiveStations(int port, const Venue& venue, const Settings& s, Clock::time_point zero)
      : samples_(static_cast<std::size_t>(s.live)), inside_(new std::atomic<bool>[venue.liveTickets.size()]) {
    for (std::size_t i = 0; i < venue.liveTickets.size(); ++i) inside_[i] = false;
    for (int n = 0; n < s.live; ++n)
      threads_.emplace_back([this, port, &venue, &s, zero, n] { run(port, venue, s, zero, n); });
  }
  ~LiveStations() { stop(); }
  void stop() {
    stop_ = true;
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }
  const std::vector<std::vector<Sample>>& samples() const { return samples_; }

 private:
  void run(int port, const Venue& venue, const Settings& s, Clock::time_point zero, int n) {
    LeanStation station(port, nullptr, venue.session);
    std::vector<Sample>& mine = samples_[static_cast<std::size_t>(n)];
    const auto step = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s.pace));
    auto next = zero + step * n / std::max(s.live, 1);  // gates are not in step
    const auto timed = [&](const char* mode, const std::string& ticket) {
      if (s.pace > 0) {
        std::this_thread::sleep_until(next);
        next = std::max(next + step, Clock::now());
      }
      const auto t0 = Clock::now();
      const std::string code = station.post(tav::test::kBookingProc + "'" + mode + "','" + tav::server::kDemoBizCode +
                                            "','','" + ticket + "', '" + venue.op + "'");
      mine.push_back(Sample{static_cast<float>(sinceMs(zero, t0)), static_cast<float>(sinceMs(t0, Clock::now())),
                            code.rfind("failed", 0) == 0});
      return code;
    };
    while (!stop_) {
      const std::size_t visit = next_++;
      const std::size_t t = visit % venue.liveTickets.size();
      const std::string& ticket = venue.liveTickets[t];
      if (inside_[t]) {
        if (timed("O", ticket) == "0") inside_[t] = false;
        continue;
      }
      const std::string in = timed("I", ticket);
      if (in != "0" && in != "-3") continue;
      inside_[t] = true;
      if (visit % kExitEvery == 0 && timed("O", ticket) == "0") inside_[t] = false;
    }
  }

  std::vector<std::vector<Sample>> samples_;
  std::unique_ptr<std::atomic<bool>[]> inside_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

std::unique_ptr<httplib::Client> stationClient(int port, const Venue& venue, const OfflineStation& st) {
  auto c = std::make_unique<httplib::Client>("127.0.0.1", port);
  c->set_keep_alive(true);
  c->set_tcp_nodelay(true);  // as the stations: a body sent after its headers is not held back
  c->set_connection_timeout(3);
  c->set_read_timeout(30);
  c->set_default_headers({{"Cookie", "tav_session=" + venue.session}, {std::string(tav::wire::kStationHeader), st.key}});
  return c;
}

// Signs the station's engine in and gives it its block's list from tav-server: the station's last
// answered request before its silence. Throws with the server's answer when the list is refused.
void fetchList(int port, const Venue& venue, OfflineStation& st, const std::filesystem::path& journals) {
  st.engine.emplace(tav::offline::Journal::open(journals, st.name));
  const auto requested = Clock::now();
  if (auto why = st.engine->signedIn(requested, tav::server::kDemoBizCode, venue.op, st.block))
    throw std::runtime_error(st.name + ": " + *why);
  const std::string target = std::string(tav::wire::kOfflineListPath) + "?bizcode=" + tav::server::kDemoBizCode +
                             "&block=" + urlEncoded(st.block);
  auto res = stationClient(port, venue, st)->Get(target.c_str());
  if (!res || res->status != 200)
    throw std::runtime_error(st.name + ": the offline list was refused: " +
                             (res ? std::to_string(res->status) + " " + res->body : httplib::to_string(res.error())));
  st.engine->listFetched(tav::offline::decodeList(res->body), requested);
}

// The station's outage from `from` to `until`: its decisions spread over it, each journaled by the
// engine, with the station's own clock. Then, after the random wait, the hand-over in requests of
// kHandOverBatch, each 503 waited out for its Retry-After, until every decision is acknowledged
// or `giveUpAt`.
void playOutage(int port, const Venue& venue, OfflineStation& st, Clock::time_point from, Clock::time_point until,
                Clock::time_point giveUpAt, unsigned seed) {
  try {
    if (!st.engine->connectionFailed(from)) throw std::runtime_error("the engine would not go offline");
    const auto step = (until - from) / static_cast<int>(st.tickets.size() + 1);
    for (std::size_t i = 0; i < st.tickets.size(); ++i) {
      std::this_thread::sleep_until(from + step * static_cast<int>(i + 1));
      st.engine->decide(Clock::now(), tav::server::Store::systemNow(),
                        {tav::wire::kModeEntry, st.tickets[i], tav::bench::nextIdempotencyKey()});
    }
    std::mt19937 random(seed);
    std::this_thread::sleep_until(
        until + std::chrono::milliseconds(std::uniform_int_distribution<int>(
                    0, static_cast<int>(std::chrono::milliseconds(kMaxHandoverDelay).count()))(random)));
    auto client = stationClient(port, venue, st);
    for (std::vector<tav::offline::Decision> batch = st.engine->handOverBatch(); !batch.empty();
         batch = st.engine->handOverBatch()) {
      if (Clock::now() > giveUpAt) throw std::runtime_error("not handed over within the patience given");
      if (!st.firstRequest) st.firstRequest = Clock::now();
      ++st.requests;
      const auto sent = Clock::now();
      auto res = client->Post(std::string(tav::wire::kOfflineChecksPath), tav::offline::encodeHandover(batch),
                              "application/json");
      if (res && res->status == 503 && res->has_header("Retry-After")) {
        ++st.deferred;
        std::this_thread::sleep_for(std::chrono::seconds(std::atoi(res->get_header_value("Retry-After").c_str())));
        continue;
      }
      if (!res || res->status != 200) {
        ++st.failedRequests;  // what a station meets on a bad network: it tries again a little later
        std::this_thread::sleep_for(std::chrono::seconds(1));
        continue;
      }
      st.takenMs.push_back(sinceMs(sent, Clock::now()));
      const tav::offline::HandoverAnswer answer = tav::offline::decodeHandoverAnswer(res->body);
      for (const auto& r : answer.results) ++st.results[r.result];
      st.engine->acknowledged(Clock::now(), answer.acknowledgedUpTo);
      st.acknowledged = answer.acknowledgedUpTo;
      st.lastAcknowledged = Clock::now();
    }
  } catch (const std::exception& e) {
    st.fault = e.what();
  }
}

// What the store holds of the offline stations' tickets afterwards: their hand-over lines by
// outcome, and how many tickets have none (lost) or more than one (kept twice): each was decided once.
struct Kept {
  std::map<std::string, std::size_t> byOutcome;
  std::size_t lines = 0, lost = 0, twice = 0;
};

Kept keptInStore(const Venue& venue) {
  Kept kept;
  tav::server::openStore(venue.path, false)->read([&](tav::server::Reader& r) {
    kept = Kept{};
    for (const OfflineStation& st : venue.stations)
      for (const std::string& ticket : st.tickets) {
        std::size_t lines = 0;
        for (const tav::server::ScanRecord& line :
             r.ticketLog(tav::server::kDemoBizCode, ticket, tav::server::kPastEveryLine, 16))
          if (line.code == tav::server::kHandoverCode) {
            ++kept.byOutcome[line.outcome];
            ++lines;
          }
        kept.lines += lines;
        kept.lost += lines == 0 ? 1 : 0;
        kept.twice += lines > 1 ? 1 : 0;
      }
  });
  return kept;
}

std::string countsText(const std::map<std::string, std::size_t>& counts) {
  std::string out;
  for (const auto& [what, n] : counts) out += (out.empty() ? "" : ", ") + what + " " + std::to_string(n);
  return out.empty() ? "none" : out;
}

Settings parseArgs(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; i += 2) {
    const std::string value = i + 1 < argc ? argv[i + 1] : "";
    const std::string opt = value.empty() ? "" : argv[i];
    if (opt == "--tickets") {
      s.tickets = std::strtoul(value.c_str(), nullptr, 10);
    } else if (opt == "--live") {
      s.live = std::max(0, std::atoi(value.c_str()));
    } else if (opt == "--offline") {
      s.offline = std::max(1, std::atoi(value.c_str()));
    } else if (opt == "--decisions") {
      s.decisions = std::max(1, std::atoi(value.c_str()));
    } else if (opt == "--pace") {
      s.pace = std::atof(value.c_str());
    } else if (opt == "--warmup") {
      s.warmup = std::atof(value.c_str());
    } else if (opt == "--patience") {
      s.patience = std::atof(value.c_str());
    } else {
      std::fprintf(stderr,
                   "usage: bench_handover [--tickets N] [--live N] [--offline N] [--decisions N] [--pace S] "
                   "[--warmup S] [--patience S]\n"
                   "  the offline stations are silent for a second a decision and %lld s more, then hand over\n",
                   static_cast<long long>(kSilenceMargin.count()));
      std::exit(2);
    }
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const Settings s = parseArgs(argc, argv);
  tav::test::raiseOpenFileLimit(4096);
  const auto silence = std::chrono::milliseconds(s.decisions * tav::server::kHandoverMsPerDecision) + kSilenceMargin;
  char pace[64] = "as fast as they can";
  if (s.pace > 0) std::snprintf(pace, sizeof pace, "a check every %g s each", s.pace);
  std::printf("hand-over: %d stations x %d offline decisions beside %d live stations (%s), %zu tickets; silent "
              "%.0f s, then each hands over after a random wait of up to %lld s; %u cores\n",
              s.offline, s.decisions, s.live, pace, s.tickets, std::chrono::duration<double>(silence).count(),
              static_cast<long long>(kMaxHandoverDelay.count()), std::thread::hardware_concurrency());
  Venue venue(s);
  TempDir journals;
  ServerProcess server(venue.path);
  server.start();

  for (OfflineStation& st : venue.stations) fetchList(server.port(), venue, st, journals.file("journals"));
  const auto zero = Clock::now();
  const auto handOverAt = zero + silence;
  const auto giveUpAt = handOverAt + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s.patience));
  std::vector<std::vector<Sample>> samples;
  {
    LiveStations live(server.port(), venue, s, zero);
    std::vector<std::thread> outages;
    for (std::size_t i = 0; i < venue.stations.size(); ++i)
      outages.emplace_back([&, i] {
        playOutage(server.port(), venue, venue.stations[i], zero, handOverAt, giveUpAt, 31u * static_cast<unsigned>(i) + 7);
      });
    for (std::thread& t : outages) t.join();
    // A little more live checking after the last acknowledgement, so that "during" ends inside it.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    live.stop();
    samples = live.samples();
  }
  server.stop();

  std::optional<Clock::time_point> first, last;
  std::size_t requests = 0, deferred = 0, failedRequests = 0, decided = 0, unacknowledged = 0;
  std::map<std::string, std::size_t> results;
  std::vector<double> takenMs;
  for (const OfflineStation& st : venue.stations) {
    takenMs.insert(takenMs.end(), st.takenMs.begin(), st.takenMs.end());
    if (st.firstRequest) first = std::min(first.value_or(*st.firstRequest), *st.firstRequest);
    if (st.lastAcknowledged) last = std::max(last.value_or(*st.lastAcknowledged), *st.lastAcknowledged);
    requests += st.requests;
    deferred += st.deferred;
    failedRequests += st.failedRequests;
    decided += static_cast<std::size_t>(st.engine->journal().contents().highestSequence());
    unacknowledged += st.engine->journal().contents().unacknowledged().size();
    for (const auto& [word, n] : st.results) results[word] += n;
    if (!st.fault.empty()) std::printf("  %s stopped: %s\n", st.name.c_str(), st.fault.c_str());
  }
  const double warm = s.warmup * 1000;
  const double firstMs = first ? sinceMs(zero, *first) : sinceMs(zero, handOverAt);
  const double lastMs = last ? sinceMs(zero, *last) : firstMs;
  const Latencies before = within(samples, warm, firstMs), during = within(samples, firstMs, lastMs);
  const Kept kept = keptInStore(venue);

  std::printf("\n| What | Figure |\n|---|---|\n");
  std::printf("| live checks before the hand-over (%.0f s) | %zu, p50 %.2f ms, p99 %.2f ms, max %.1f ms, %zu failed |\n",
              (firstMs - warm) / 1000, before.checks, before.p50, before.p99, before.max, before.failed);
  std::printf("| live checks during the hand-over | %zu, p50 %.2f ms, p99 %.2f ms, max %.1f ms, %zu failed |\n",
              during.checks, during.p50, during.p99, during.max, during.failed);
  std::printf("| the hand-over, first request to last acknowledgement | %.1f s |\n", (lastMs - firstMs) / 1000);
  std::printf("| hand-over requests | %zu, of which %zu deferred with 503 and %zu failed otherwise |\n", requests,
              deferred, failedRequests);
  std::sort(takenMs.begin(), takenMs.end());
  if (!takenMs.empty())
    std::printf("| a request taken (up to %zu lines), from sending to its answer | p50 %.1f ms, max %.1f ms |\n",
                tav::offline::kMaxHandoverLines, takenMs[takenMs.size() / 2], takenMs.back());
  std::printf("| decisions journaled by the stations | %zu, %zu not acknowledged at the end |\n", decided,
              unacknowledged);
  std::printf("| the back-end's answers per line | %s |\n", countsText(results).c_str());
  std::printf("| hand-over lines in the store afterwards, by outcome | %zu: %s |\n", kept.lines,
              countsText(kept.byOutcome).c_str());
  std::printf("| decisions lost (no line in the store) / kept twice | %zu / %zu |\n", kept.lost, kept.twice);
  return 0;
}
