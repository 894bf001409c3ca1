// Gate stations for the failover drill (scripts/drill.sh): each signs in once, then scans tickets
// of its own through HAProxy as the station's gateway does, and writes one line per scan.
//
//   drill_stations signin --proxy ADDR:PORT --stations N --operator ID --sessions OUT [--keys FILE]
//                         (password on stdin)
//   drill_stations run --proxy ADDR:PORT --sessions FILE --first-ticket I --seconds S [--per-station N]
//                      [--interval-ms MS] [--keys FILE] [--journals DIR [--copies N --copies-at S]] --log OUT
//
// Station i connects from 127.0.1.(i+1), so that HAProxy's PROXY header gives every station an
// address of its own. With --keys (line i: station i's key from tav-server add-station) every
// request carries the station's key. With --journals a station checks as a registered gate of a
// stand does with offline checking: it checks the tickets of its own block (wire::kBlocks[i % 4])
// with that block filter, fetches the offline list, decides through offline::Engine (its journal
// in DIR) when both attempts of a check fail at the connection level, probes /health and hands
// its decisions over when the network is back; --copies N tickets are scanned at two gates of one
// block --copies-at seconds into the run. A `run` line: station, kind (scan, rescan, copy, probe,
// list, handover, left), ticket, key, start and end (ms since the epoch), then
// "answer<TAB>code<TAB>message", "offline<TAB>code<TAB>message" (decided by the engine),
// "failed<TAB><TAB>why" or "http<TAB>status<TAB>why"; a hand-over's line per decision has its result
// word (accepted, same, conflict, refused) in place of the status, and a station's "left" line the
// decisions still not handed over at the end in place of the ticket, its block as the message.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "offline/engine.h"
#include "offline/handover.h"
#include "server/core/demo_data.h"
#include "wire/protocol.h"
#include "wire/recordset.h"
#include "wire/stands.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kQueryPath = "/objects/Nuvrel.member/Query";
const std::string kLoginProc = "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo ";
const std::string kBookingProc = "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo ";

// The gateway's times: 3 s to connect, 7 s for the first byte of the answer, 10 s for a call with
// its one retry, which follows 0.3 s after a lost answer.
constexpr auto kConnectTimeout = 3s;
constexpr auto kFirstReadTimeout = 7s;
constexpr auto kCallBudget = 10s;
constexpr auto kRetryPause = 300ms;
// An operator whose check failed scans the fan's ticket again about a second later.
constexpr auto kRescanAfter = 1s;
// How long after the run's end failed scans are still rescanned, as a gate would until it is answered.
constexpr auto kRescanGrace = 30s;
// A station checking offline: its list again this often while online, /health this often until
// it is online again, its hand-over after a random delay up to this (so that the gates of a venue
// do not all hand over at once), and again this long after the back-end deferred it.
constexpr auto kListEvery = 2min;
constexpr auto kListRetry = 5s;  // after a list that did not come
constexpr auto kProbeEvery = 10s;
constexpr auto kHandoverDelayMax = 10s;
constexpr auto kHandoverRetry = 10s;
// How long after its last scan a station waits to be online again with everything handed over.
constexpr auto kHandoverGrace = 90s;
// The tickets at the end of each station's stride kept for the copies scanned at two gates.
constexpr std::size_t kCopyReserve = 16;

long long epochMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string sqlQuoted(const std::string& value) {
  std::string out = "'";
  for (char c : value) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

std::string newKey(std::mt19937_64& random) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string key;
  for (int i = 0; i < 22; ++i) key += alphabet[random() % 64];
  return key;
}

// What one HTTP exchange gave: an answer with its status, or no answer (a connection-level failure:
// no connection, reset, time-out, a cut answer).
struct Http {
  bool answered = false;
  int status = 0;
  std::string head, body, why;
};

struct Reply {
  enum Kind { Answer, Failed, Http } kind = Failed;
  int status = 0;
  std::string code, message, cookie;
  std::string body;  // an answer other than a recordset's (lists, hand-overs)
  bool connectionLevel = false;  // every attempt failed without an answer
  bool retryable() const { return kind == Failed || (kind == Http && (status == 502 || status == 503)); }
};

// Waits for the socket to be ready until `deadline`; false on time-out or error.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// One request on a new connection, as the station's gateway sends it.
Http exchange(const std::string& source, const sockaddr_in& proxy, const std::string& request,
              Clock::time_point callEnd) {
  Http r;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    r.why = "socket";
    return r;
  }
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &yes, sizeof yes);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
    r.why = "bind";
    return r;
  }
  const auto connectEnd = std::min(callEnd, Clock::now() + kConnectTimeout);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&proxy), sizeof proxy) != 0 && errno != EINPROGRESS) {
    r.why = "connect refused";
    return r;
  }
  int error = 0;
  socklen_t len = sizeof error;
  if (!waitFor(fd, POLLOUT, connectEnd) || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
    r.why = "connect";
    return r;
  }
  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR) && waitFor(fd, POLLOUT, callEnd)) {
      continue;
    } else {
      r.why = "send";
      return r;
    }
  }
  std::string buffer;
  auto readEnd = std::min(callEnd, Clock::now() + kFirstReadTimeout);
  for (;;) {
    if (!waitFor(fd, POLLIN, readEnd)) {
      r.why = "time-out";
      return r;
    }
    char chunk[65536];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    buffer.append(chunk, static_cast<std::size_t>(n));
    readEnd = callEnd;
  }
  const auto headerEnd = buffer.find("\r\n\r\n");
  if (buffer.size() < 12 || headerEnd == std::string::npos) {
    r.why = buffer.empty() ? "closed" : "cut";
    return r;
  }
  r.answered = true;
  r.status = std::atoi(buffer.c_str() + 9);
  r.head = buffer.substr(0, headerEnd);
  r.body = buffer.substr(headerEnd + 4);
  return r;
}

// A reply as the station shows it: a recordset's ErrCode and ErrMsg, or the error's sentence.
Reply replyOf(const Http& h) {
  Reply r;
  if (!h.answered) {
    r.message = h.why;
    r.connectionLevel = true;
    return r;
  }
  r.status = h.status;
  static const std::regex cookie("tav_session=([A-Za-z0-9_-]+)", std::regex::icase);
  std::smatch m;
  if (std::regex_search(h.head, m, cookie)) r.cookie = m[1];
  if (r.status != 200) {
    r.kind = Reply::Http;
    r.message = tav::wire::decodeError(h.body);
    r.body = h.body;
    return r;
  }
  r.body = h.body;
  try {
    const auto rs = tav::wire::decode(h.body);
    const auto text = [&](const char* name) -> std::string {
      for (std::size_t i = 0; i < rs.fields.size() && !rs.rows.empty(); ++i) {
        if (strcasecmp(rs.fields[i].c_str(), name) != 0) continue;
        if (const auto* s = std::get_if<std::string>(&rs.rows[0][i])) return *s;
        if (const auto* n = std::get_if<std::int64_t>(&rs.rows[0][i])) return std::to_string(*n);
      }
      return "";
    };
    r.kind = Reply::Answer;
    r.code = text("ErrCode");
    r.message = text("ErrMsg");
  } catch (const std::exception&) {
    r.message = "not a recordset";
  }
  return r;
}

std::string httpRequest(const std::string& method, const std::string& path, const std::string& host,
                        const std::string& cookie, const std::string& stationKey, const std::string& key,
                        const std::string& contentType, const std::string& body) {
  return method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n" +
         (cookie.empty() ? "" : "Cookie: tav_session=" + cookie + "\r\n") +
         (stationKey.empty() ? "" : std::string(tav::wire::kStationHeader) + ": " + stationKey + "\r\n") +
         (key.empty() ? "" : std::string(tav::wire::kIdempotencyHeader) + ": " + key + "\r\n") +
         (method == "GET" ? std::string()
                          : "Content-Type: " + contentType + "\r\nContent-Length: " + std::to_string(body.size()) +
                                "\r\n") +
         "\r\n" + body;
}

std::string commandRequest(const std::string& host, const std::string& cookie, const std::string& stationKey,
                           const std::string& key, const std::string& text) {
  return httpRequest("POST", kQueryPath, host, cookie, stationKey, key, "text/plain; charset=utf-8", text);
}

// A call with the gateway's one retry: the same request once more after 0.3 s when the first got
// no answer or a 502/503, both within the call's 10 s. `decode` false keeps the body as it is.
Reply call(const std::string& source, const sockaddr_in& proxy, const std::string& request, bool decode = true) {
  const auto callEnd = Clock::now() + kCallBudget;
  const auto once = [&] {
    const Http h = exchange(source, proxy, request, callEnd);
    if (decode || !h.answered) return replyOf(h);
    Reply r;
    r.kind = h.status == 200 ? Reply::Answer : Reply::Http;
    r.status = h.status;
    r.body = h.body;
    if (h.status != 200) r.message = tav::wire::decodeError(h.body);
    return r;
  };
  Reply r = once();
  if (!r.retryable() || Clock::now() + kRetryPause >= callEnd) return r;
  const bool firstConnectionLevel = r.connectionLevel;
  std::this_thread::sleep_for(kRetryPause);
  r = once();
  r.connectionLevel = r.connectionLevel && firstConnectionLevel;
  return r;
}

std::string sourceOf(int station) { return "127.0.1." + std::to_string(station + 1); }

struct Options {
  std::map<std::string, std::string> values;
  std::string need(const std::string& name) const {
    const auto it = values.find(name);
    if (it == values.end()) throw std::runtime_error("--" + name + " is required.");
    return it->second;
  }
  std::string get(const std::string& name, const std::string& fallback) const {
    const auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
  }
};

sockaddr_in proxyAddress(const std::string& text) {
  const auto colon = text.rfind(':');
  sockaddr_in a{};
  a.sin_family = AF_INET;
  if (colon == std::string::npos || inet_pton(AF_INET, text.substr(0, colon).c_str(), &a.sin_addr) != 1)
    throw std::runtime_error("--proxy must be an IPv4 address and port, such as 127.0.0.40:8470.");
  a.sin_port = htons(static_cast<std::uint16_t>(std::stoi(text.substr(colon + 1))));
  return a;
}

std::vector<std::string> linesOf(const std::string& file) {
  std::ifstream in(file);
  if (!in) throw std::runtime_error("Cannot read " + file + ".");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

// Station i's key, or none without --keys.
std::vector<std::string> stationKeys(const Options& o, std::size_t stations) {
  if (!o.values.count("keys")) return std::vector<std::string>(stations);
  std::vector<std::string> keys = linesOf(o.need("keys"));
  if (keys.size() < stations)
    throw std::runtime_error("The keys file holds " + std::to_string(keys.size()) + " keys for " +
                             std::to_string(stations) + " stations.");
  for (const auto& k : keys)
    if (!tav::wire::isStationKey(k)) throw std::runtime_error("The keys file holds a line that is no station key.");
  return keys;
}

// One session per station: sign-ins a few at a time, each tried again while the server is busy.
int signIn(const Options& o) {
  const auto proxy = proxyAddress(o.need("proxy"));
  const int stations = std::stoi(o.need("stations"));
  const std::string op = o.need("operator");
  const std::vector<std::string> keys = stationKeys(o, static_cast<std::size_t>(stations));
  std::string password;
  std::getline(std::cin, password);
  std::vector<std::string> sessions(stations);
  std::atomic<int> next{0}, failed{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w)
    workers.emplace_back([&] {
      for (int s; (s = next++) < stations;) {
        const std::string request =
            commandRequest(o.need("proxy"), "", keys[s], "", kLoginProc + sqlQuoted(op) + "," + sqlQuoted(password));
        for (int attempt = 0; attempt < 20 && sessions[s].empty(); ++attempt) {
          const Reply r = call(sourceOf(s), proxy, request);
          if (!r.cookie.empty()) sessions[s] = r.cookie;
          else if (!r.retryable()) break;
          else std::this_thread::sleep_for(1s);
        }
        if (sessions[s].empty()) ++failed;
      }
    });
  for (auto& w : workers) w.join();
  if (failed) {
    std::cerr << "drill_stations: " << failed << " of " << stations << " stations could not sign in as " << op << ".\n";
    return 1;
  }
  std::ofstream out(o.need("sessions"), std::ios::trunc);
  for (const auto& s : sessions) out << s << "\n";
  return out ? 0 : 1;
}

struct Pending {
  std::string ticket, key;
  Clock::time_point due;
};

std::string percentEncoded(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') out += static_cast<char>(c);
    else out += {'%', hex[c >> 4], hex[c & 15]};
  }
  return out;
}

// A station's offline engine and what its worker does around it: the list, the probes and the
// hand-over, beside the scans of the station's own thread.
struct OfflineSide {
  std::mutex mutex;  // the engine is one station's, used from its scan thread and its worker
  std::optional<tav::offline::Engine> engine;
  std::string block;
  std::atomic<bool> stop{false};
};

int run(const Options& o) {
  const std::string host = o.need("proxy");
  const auto proxy = proxyAddress(host);
  const std::vector<std::string> sessions = linesOf(o.need("sessions"));
  if (sessions.empty()) throw std::runtime_error("The sessions file names no session.");
  const std::vector<std::string> keys = stationKeys(o, sessions.size());
  const std::size_t first = std::stoul(o.need("first-ticket"));
  const auto interval = std::chrono::milliseconds(std::stoi(o.get("interval-ms", "200")));
  const auto runStart = Clock::now();
  const auto runEnd = runStart + std::chrono::seconds(std::stoi(o.need("seconds")));
  // Every station draws from its own stride of demo tickets, skipping the cancelled ones.
  const std::size_t perStation = std::stoul(o.get("per-station", "400"));
  const std::string operatorId = o.need("operator");
  const std::optional<std::string> journals =
      o.values.count("journals") ? std::optional(o.need("journals")) : std::nullopt;
  const std::size_t copies = std::stoul(o.get("copies", "0"));
  const auto copiesAt = runStart + std::chrono::seconds(std::stoi(o.get("copies-at", "0")));
  if (journals && sessions.size() < 2 * tav::wire::kBlocks.size() && copies > 0)
    throw std::runtime_error("Copies need two stations of each block: at least 8 stations.");
  if (copies > 0 && !journals) throw std::runtime_error("--copies needs --journals: copies are scanned by block.");
  std::ofstream log(o.need("log"), std::ios::trunc);
  std::mutex logMutex;

  const auto blockOf = [&](std::size_t s) -> std::string {
    return journals ? tav::wire::kBlocks[s % tav::wire::kBlocks.size()] : std::string();
  };
  // A ticket index of the station's stride that the station may scan: of its block, not cancelled.
  const auto usable = [&](std::size_t s, std::size_t index) {
    return !tav::server::demoTicketCancelled(index) &&
           (!journals || tav::server::demoTicketBlock(index) == blockOf(s));
  };
  // Copy c is a ticket from the end of the stride of station c % 4 (block c % 4), scanned there and at
  // the next station of that block, station c % 4 + 4.
  std::vector<std::string> copyTickets;
  for (std::size_t c = 0; c < copies; ++c) {
    const std::size_t s = c % tav::wire::kBlocks.size();
    std::size_t skip = c / tav::wire::kBlocks.size();  // copies of this block before this one
    const std::size_t end = first + (s + 1) * perStation;
    std::size_t index = end;
    while (index > end - kCopyReserve && (!usable(s, index - 1) || skip-- > 0)) --index;
    if (index == end - kCopyReserve) throw std::runtime_error("Too many copies for the tickets kept for them.");
    copyTickets.push_back(tav::server::demoTicketNumber(index - 1));
  }

  std::vector<std::unique_ptr<OfflineSide>> sides(sessions.size());
  if (journals)
    for (std::size_t s = 0; s < sessions.size(); ++s) {
      sides[s] = std::make_unique<OfflineSide>();
      sides[s]->block = blockOf(s);
      sides[s]->engine.emplace(tav::offline::Journal::open(*journals, "drill-" + std::to_string(s)));
      if (const auto why = sides[s]->engine->signedIn(Clock::now(), tav::server::kDemoBizCode, operatorId, blockOf(s)))
        std::cerr << "drill_stations: station " << s << " cannot check offline: " << *why << "\n";
    }

  const auto record = [&](std::size_t s, const char* kind, const std::string& ticket, const std::string& key,
                          long long start, const std::string& status, const std::string& code,
                          const std::string& message) {
    std::ostringstream line;
    line << s << '\t' << kind << '\t' << ticket << '\t' << key << '\t' << start << '\t' << epochMs() << '\t' << status
         << '\t' << code << '\t' << message << '\n';
    std::lock_guard lock(logMutex);
    log << line.str();
  };
  const auto recordReply = [&](std::size_t s, const char* kind, const std::string& ticket, const std::string& key,
                               long long start, const Reply& r) {
    record(s, kind, ticket, key, start, r.kind == Reply::Answer ? "answer" : r.kind == Reply::Http ? "http" : "failed",
           r.kind == Reply::Http ? std::to_string(r.status) : r.code, r.message);
  };

  // The worker of a station checking offline: its list while online, then /health and the hand-over
  // while it is offline or holds decisions not handed over.
  const auto worker = [&](std::size_t s) {
    OfflineSide& side = *sides[s];
    std::mt19937_64 random(std::random_device{}() ^ (s << 40));
    const std::string source = sourceOf(static_cast<int>(s));
    std::optional<Clock::time_point> nextList = Clock::now(), nextProbe, handoverAt;
    const auto fetchList = [&]() -> bool {
      const auto requestedAt = Clock::now();
      const long long start = epochMs();
      const Reply r = call(source, proxy,
                           httpRequest("GET",
                                       "/api/v1/offline/list?bizcode=" + percentEncoded(tav::server::kDemoBizCode) +
                                           "&block=" + percentEncoded(side.block),
                                       host, sessions[s], keys[s], "", "", ""),
                           false);
      if (r.kind != Reply::Answer) {
        record(s, "list", "", "", start, r.kind == Reply::Http ? "http" : "failed",
               r.kind == Reply::Http ? std::to_string(r.status) : "", r.message);
        return false;
      }
      try {
        tav::offline::TicketList list = tav::offline::decodeList(r.body);
        const std::size_t count = list.records.size();
        const std::chrono::minutes maxAge{list.header.maxAgeMinutes};
        std::lock_guard lock(side.mutex);
        side.engine->listFetched(std::move(list), requestedAt, maxAge);
        record(s, "list", "", "", start, "answer", std::to_string(count), std::to_string(r.body.size()) + " bytes");
        return true;
      } catch (const std::exception& e) {
        record(s, "list", "", "", start, "failed", "", e.what());
        return false;
      }
    };
    const auto handOver = [&] {
      std::vector<tav::offline::Decision> batch;
      {
        std::lock_guard lock(side.mutex);
        batch = side.engine->handOverBatch();
      }
      if (batch.empty()) {
        handoverAt.reset();
        return;
      }
      const long long start = epochMs();
      const Reply r = call(source, proxy,
                           httpRequest("POST", "/api/v1/offline/checks", host, sessions[s], keys[s], "",
                                       "application/json", tav::offline::encodeHandover(batch)),
                           false);
      if (r.kind != Reply::Answer) {
        record(s, "handover", "", "", start, r.kind == Reply::Http ? "http" : "failed",
               r.kind == Reply::Http ? std::to_string(r.status) : "", r.message);
        // Deferred or refused: later again; no answer: after the next probe that answers.
        if (r.kind == Reply::Http) handoverAt = Clock::now() + kHandoverRetry;
        else handoverAt.reset();
        return;
      }
      try {
        const tav::offline::HandoverAnswer answer = tav::offline::decodeHandoverAnswer(r.body);
        for (const auto& result : answer.results)
          for (const auto& d : batch)
            if (d.sequence == result.sequence)
              record(s, "handover", d.ticketNo, d.idempotencyKey, start, result.result, d.outcome, result.why);
        std::lock_guard lock(side.mutex);
        side.engine->acknowledged(Clock::now(), answer.acknowledgedUpTo);
        handoverAt = Clock::now();  // the next batch at once
      } catch (const std::exception& e) {
        record(s, "handover", "", "", start, "failed", "", e.what());
        handoverAt = Clock::now() + kHandoverRetry;
      }
    };
    while (!side.stop) {
      const auto now = Clock::now();
      bool away;
      {
        std::lock_guard lock(side.mutex);
        away = side.engine->mode() == tav::offline::Engine::Mode::Offline || !side.engine->handOverBatch().empty();
      }
      if (!away) {
        nextProbe.reset();
        if (nextList && now >= *nextList) nextList = Clock::now() + (fetchList() ? kListEvery : kListRetry);
      } else if (!nextProbe || now >= *nextProbe) {
        nextProbe = now + kProbeEvery;
        const long long start = epochMs();
        const Http h = exchange(source, proxy, httpRequest("GET", "/health", host, "", "", "", "", ""),
                                Clock::now() + kCallBudget);
        std::lock_guard lock(side.mutex);
        if (h.answered && h.status == 200) {
          if (!handoverAt && !side.engine->handOverBatch().empty()) {
            const auto delayMs = std::chrono::milliseconds(kHandoverDelayMax).count();
            handoverAt = Clock::now() + std::chrono::milliseconds(random() % (1 + delayMs));
          }
          side.engine->probeAnswered(Clock::now());
        } else {
          side.engine->probeFailed();
        }
        record(s, "health", "", "", start, h.answered ? "http" : "failed", std::to_string(h.status), h.why);
      }
      if (handoverAt && Clock::now() >= *handoverAt) handOver();
      std::this_thread::sleep_for(100ms);
    }
  };

  std::vector<std::thread> workers;
  if (journals)
    for (std::size_t s = 0; s < sessions.size(); ++s) workers.emplace_back(worker, s);

  std::vector<std::thread> threads;
  for (std::size_t s = 0; s < sessions.size(); ++s)
    threads.emplace_back([&, s] {
      std::mt19937_64 random(std::random_device{}() ^ (s << 32));
      const std::string source = sourceOf(static_cast<int>(s));
      const std::string block = blockOf(s);
      OfflineSide* side = sides[s].get();
      std::size_t index = first + s * perStation;
      const std::size_t strideEnd = first + (s + 1) * perStation - (journals ? kCopyReserve : 0);
      std::deque<Pending> pending;
      // This station's copies, each once: the same ticket is scanned at another gate of the block.
      std::vector<std::string> ownCopies;
      for (std::size_t c = 0; c < copyTickets.size(); ++c)
        if (s == c % tav::wire::kBlocks.size() || s == c % tav::wire::kBlocks.size() + tav::wire::kBlocks.size())
          ownCopies.push_back(copyTickets[c]);
      const auto commandText = [&](const std::string& mode, const std::string& ticket) {
        return kBookingProc + "'" + mode + "','" + tav::server::kDemoBizCode + "','" + block + "','" + ticket + "', '" +
               operatorId + "'";
      };
      // Decided by the engine: it was offline already, the ticket has local decisions, or both
      // attempts just failed at the connection level (then with the key of those attempts).
      const auto decideOffline = [&](const char* kind, const std::string& ticket, const std::string& key,
                                     long long start) {
        try {
          const auto answer =
              side->engine->decide(Clock::now(), epochMs(), {tav::wire::kModeEntry, ticket, key});
          record(s, kind, ticket, key, start, "offline", std::string(answer.decision.code), answer.decision.message);
        } catch (const std::exception& e) {
          record(s, kind, ticket, key, start, "failed", "", e.what());
        }
      };
      const auto check = [&](const char* kind, const std::string& ticket, const std::string& key, bool rescan) {
        const long long start = epochMs();
        if (side) {
          std::lock_guard lock(side->mutex);
          if (side->engine->decidesLocally(ticket)) return decideOffline(kind, ticket, key, start);
        }
        const Reply r = call(source, proxy, commandRequest(host, sessions[s], keys[s], key, commandText("I", ticket)));
        if (side) {
          std::lock_guard lock(side->mutex);
          if (r.kind == Reply::Answer) {
            side->engine->checkAnswered(Clock::now(), epochMs(), ticket, tav::wire::kModeEntry, r.code);
          } else if (r.connectionLevel && side->engine->connectionFailed(Clock::now())) {
            return decideOffline(kind, ticket, key, start);
          }
        }
        recordReply(s, kind, ticket, key, start, r);
        if (rescan && r.retryable()) pending.push_back({ticket, key, Clock::now() + kRescanAfter});
      };
      // Stations start spread over one interval, so that the checks come at a steady pace.
      std::this_thread::sleep_for(interval * s / sessions.size());
      auto nextScan = Clock::now();
      while (Clock::now() < runEnd) {
        std::this_thread::sleep_until(nextScan);
        nextScan += interval;
        if (!ownCopies.empty() && Clock::now() >= copiesAt) {
          check("copy", ownCopies.back(), newKey(random), false);
          ownCopies.pop_back();
          continue;
        }
        if (!pending.empty() && pending.front().due <= Clock::now()) {
          const Pending p = pending.front();
          pending.pop_front();
          check("rescan", p.ticket, p.key, true);
          continue;
        }
        while (index < strideEnd && !usable(s, index)) ++index;
        if (index >= strideEnd) continue;  // the stride is used up: this gate has no fans left
        check("scan", tav::server::demoTicketNumber(index++), newKey(random), true);
      }
      while (!pending.empty() && Clock::now() < runEnd + kRescanGrace) {
        const Pending p = pending.front();
        pending.pop_front();
        std::this_thread::sleep_until(p.due);
        check("rescan", p.ticket, p.key, true);
      }
      if (side) {
        // Online again with every decision handed over, or what is left when the grace ends.
        const auto until = Clock::now() + kHandoverGrace;
        std::size_t left = 0;
        for (;;) {
          {
            std::lock_guard lock(side->mutex);
            left = side->engine->journal().contents().unacknowledged().size();
            if ((left == 0 && side->engine->mode() == tav::offline::Engine::Mode::Online) || Clock::now() >= until)
              break;
          }
          std::this_thread::sleep_for(200ms);
        }
        side->stop = true;
        record(s, "left", std::to_string(left), "", epochMs(), "", "", block);
      }
      // Does the station's session still open the gate? An exit scan of a ticket nobody let in
      // changes nothing and needs a live session.
      while (!usable(s, index)) ++index;
      const long long start = epochMs();
      const Reply r = call(source, proxy,
                           commandRequest(host, sessions[s], keys[s], newKey(random),
                                          commandText("O", tav::server::demoTicketNumber(index))));
      recordReply(s, "probe", tav::server::demoTicketNumber(index), "", start, r);
    });
  for (auto& t : threads) t.join();
  for (auto& w : workers) w.join();
  return log ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc < 2) throw std::runtime_error("usage: drill_stations signin|run --name value ...");
    Options o;
    for (int i = 2; i + 1 < argc; i += 2) {
      std::string name = argv[i];
      if (name.rfind("--", 0) != 0) throw std::runtime_error("Expected an option, got " + name + ".");
      o.values[name.substr(2)] = argv[i + 1];
    }
    const std::string command = argv[1];
    if (command == "signin") return signIn(o);
    if (command == "run") return run(o);
    throw std::runtime_error("Unknown command " + command + ": signin or run.");
  } catch (const std::exception& e) {
    std::cerr << "drill_stations: " << e.what() << "\n";
    return 2;
  }
}
