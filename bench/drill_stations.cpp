// Gate stations for the failover drill (scripts/drill.sh): each signs in once, then scans tickets
// of its own through HAProxy as the station's gateway does, and writes one line per scan.
//
//   drill_stations signin --proxy ADDR:PORT --stations N --operator ID --sessions OUT   (password on stdin)
//   drill_stations run --proxy ADDR:PORT --sessions FILE --first-ticket I --seconds S [--per-station N] [--interval-ms MS] --log OUT
//
// Station i connects from 127.0.1.(i+1), so that HAProxy's PROXY header gives every station an
// address of its own. A `run` line: station, kind (scan, rescan, probe), ticket, key, start and end
// (ms since the epoch), then "answer<TAB>code<TAB>message", "failed<TAB><TAB>why" or "http<TAB>status<TAB>why".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "server/core/demo_data.h"
#include "wire/recordset.h"

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

long long epochMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string quoted(const std::string& value) {
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

struct Reply {
  enum Kind { Answer, Failed, Http } kind = Failed;
  int status = 0;
  std::string code, message, cookie;
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
Reply exchange(const std::string& source, const sockaddr_in& proxy, const std::string& request, Clock::time_point callEnd) {
  Reply r;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    r.message = "socket";
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
    r.message = "bind";
    return r;
  }
  const auto connectEnd = std::min(callEnd, Clock::now() + kConnectTimeout);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&proxy), sizeof proxy) != 0 && errno != EINPROGRESS) {
    r.message = "connect refused";
    return r;
  }
  int error = 0;
  socklen_t len = sizeof error;
  if (!waitFor(fd, POLLOUT, connectEnd) || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
    r.message = "connect";
    return r;
  }
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    r.message = "send";
    return r;
  }
  std::string buffer;
  auto readEnd = std::min(callEnd, Clock::now() + kFirstReadTimeout);
  for (;;) {
    if (!waitFor(fd, POLLIN, readEnd)) {
      r.message = "time-out";
      return r;
    }
    char chunk[8192];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    buffer.append(chunk, static_cast<std::size_t>(n));
    readEnd = callEnd;
  }
  const auto headerEnd = buffer.find("\r\n\r\n");
  if (buffer.size() < 12 || headerEnd == std::string::npos) {
    r.message = buffer.empty() ? "closed" : "cut";
    return r;
  }
  r.status = std::atoi(buffer.c_str() + 9);
  const std::string head = buffer.substr(0, headerEnd), body = buffer.substr(headerEnd + 4);
  static const std::regex cookie("tav_session=([A-Za-z0-9_-]+)", std::regex::icase);
  std::smatch m;
  if (std::regex_search(head, m, cookie)) r.cookie = m[1];
  if (r.status != 200) {
    r.kind = Reply::Http;
    r.message = tav::wire::decodeError(body);
    return r;
  }
  try {
    const auto rs = tav::wire::decode(body);
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

std::string httpRequest(const std::string& host, const std::string& cookie, const std::string& key,
                        const std::string& text) {
  return "POST " + kQueryPath + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n" +
         (cookie.empty() ? "" : "Cookie: tav_session=" + cookie + "\r\n") +
         (key.empty() ? "" : "Idempotency-Key: " + key + "\r\n") +
         "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n" +
         text;
}

// A call with the gateway's one retry: the same request once more after 0.3 s when the first got
// no answer or a 502/503, both within the call's 10 s.
Reply call(const std::string& source, const sockaddr_in& proxy, const std::string& request) {
  const auto callEnd = Clock::now() + kCallBudget;
  Reply r = exchange(source, proxy, request, callEnd);
  if (!r.retryable() || Clock::now() + kRetryPause >= callEnd) return r;
  std::this_thread::sleep_for(kRetryPause);
  return exchange(source, proxy, request, callEnd);
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

// One session per station: sign-ins a few at a time, each tried again while the server is busy.
int signIn(const Options& o) {
  const auto proxy = proxyAddress(o.need("proxy"));
  const int stations = std::stoi(o.need("stations"));
  const std::string op = o.need("operator");
  std::string password;
  std::getline(std::cin, password);
  std::vector<std::string> sessions(stations);
  std::atomic<int> next{0}, failed{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w)
    workers.emplace_back([&] {
      for (int s; (s = next++) < stations;) {
        const std::string request = httpRequest(o.need("proxy"), "", "", kLoginProc + quoted(op) + "," + quoted(password));
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

int run(const Options& o) {
  const std::string host = o.need("proxy");
  const auto proxy = proxyAddress(host);
  std::vector<std::string> sessions;
  {
    std::ifstream in(o.need("sessions"));
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) sessions.push_back(line);
  }
  if (sessions.empty()) throw std::runtime_error("The sessions file names no session.");
  const std::size_t first = std::stoul(o.need("first-ticket"));
  const auto interval = std::chrono::milliseconds(std::stoi(o.get("interval-ms", "200")));
  const auto runEnd = Clock::now() + std::chrono::seconds(std::stoi(o.need("seconds")));
  // Every station draws from its own stride of demo tickets, skipping the cancelled ones.
  const std::size_t perStation = std::stoul(o.get("per-station", "400"));
  std::ofstream log(o.need("log"), std::ios::trunc);
  std::mutex logMutex;

  std::vector<std::thread> threads;
  for (std::size_t s = 0; s < sessions.size(); ++s)
    threads.emplace_back([&, s] {
      std::mt19937_64 random(std::random_device{}() ^ (s << 32));
      const std::string source = sourceOf(static_cast<int>(s));
      std::size_t index = first + s * perStation;
      std::deque<Pending> pending;
      const auto record = [&](const char* kind, const std::string& ticket, const std::string& key, long long start,
                              const Reply& r) {
        std::ostringstream line;
        line << s << '\t' << kind << '\t' << ticket << '\t' << key << '\t' << start << '\t' << epochMs() << '\t'
             << (r.kind == Reply::Answer ? "answer" : r.kind == Reply::Http ? "http" : "failed") << '\t'
             << (r.kind == Reply::Http ? std::to_string(r.status) : r.code) << '\t' << r.message << '\n';
        std::lock_guard lock(logMutex);
        log << line.str();
      };
      const auto check = [&](const char* kind, const std::string& mode, const std::string& ticket,
                             const std::string& key) {
        const long long start = epochMs();
        const Reply r = call(source, proxy,
                             httpRequest(host, sessions[s], key,
                                         kBookingProc + "'" + mode + "','" + tav::server::kDemoBizCode + "','','" +
                                             ticket + "', '" + o.need("operator") + "'"));
        record(kind, ticket, key, start, r);
        if (r.retryable()) pending.push_back({ticket, key, Clock::now() + kRescanAfter});
      };
      // Stations start spread over one interval, so that the checks come at a steady pace.
      std::this_thread::sleep_for(interval * s / sessions.size());
      auto nextScan = Clock::now();
      while (Clock::now() < runEnd) {
        std::this_thread::sleep_until(nextScan);
        nextScan += interval;
        if (!pending.empty() && pending.front().due <= Clock::now()) {
          const Pending p = pending.front();
          pending.pop_front();
          check("rescan", "I", p.ticket, p.key);
          continue;
        }
        while (tav::server::demoTicketCancelled(index)) ++index;
        check("scan", "I", tav::server::demoTicketNumber(index++), newKey(random));
      }
      while (!pending.empty() && Clock::now() < runEnd + kRescanGrace) {
        const Pending p = pending.front();
        pending.pop_front();
        std::this_thread::sleep_until(p.due);
        check("rescan", "I", p.ticket, p.key);
      }
      // Does the station's session still open the gate? An exit scan of a ticket nobody let in
      // changes nothing and needs a live session.
      while (tav::server::demoTicketCancelled(index)) ++index;
      const long long start = epochMs();
      const Reply r = call(source, proxy,
                           httpRequest(host, sessions[s], newKey(random),
                                       kBookingProc + "'O','" + tav::server::kDemoBizCode + "','','" +
                                           tav::server::demoTicketNumber(index) + "', '" + o.need("operator") + "'"));
      record("probe", tav::server::demoTicketNumber(index), "", start, r);
    });
  for (auto& t : threads) t.join();
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
