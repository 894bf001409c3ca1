// The real tav-server for the back-end's tests: setup commands run as child processes, a served
// store on a free 127.0.0.1 port, a temporary folder, and a venue made through the command line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "server/tools/open_store.h"
#include "tests/server/store_session.h"
#include "wire/recordset.h"
#include "wire/stands.h"

namespace tav::test {

inline const std::string kQueryPath = "/objects/Nuvrel.member/Query";
inline const std::string kLoginProc = "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo ";
inline const std::string kBookingProc = "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo ";

// A folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tav-server-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("No temporary folder can be made.");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("Cannot write " + path);
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

namespace detail {

// fork + exec of tav-server with the three standard streams on pipes; the child dies with the
// test process even when the test crashes.
// Limits the child's resources before the exec: what a test gives the server to run within.
struct ChildLimits {
  rlim_t openFiles = 0;                  // soft and hard; 0: this process's own
  rlim_t addressSpace = RLIM_INFINITY;   // bytes the child may map
};

inline pid_t spawnServer(const std::vector<std::string>& args, int& in, int& out, int& err,
                         const ChildLimits& limits = {}) {
  int pin[2], pout[2], perr[2];
  if (pipe2(pin, O_CLOEXEC) || pipe2(pout, O_CLOEXEC) || pipe2(perr, O_CLOEXEC))
    throw std::runtime_error("No pipe for tav-server.");
  std::vector<std::string> all{TAV_SERVER_BIN};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("tav-server cannot be started.");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(pin[0], 0);
    dup2(pout[1], 1);
    dup2(perr[1], 2);
    if (limits.openFiles > 0) {
      const rlimit files{limits.openFiles, limits.openFiles};
      if (setrlimit(RLIMIT_NOFILE, &files) != 0) {
        static const char why[] = "The open-file limit asked for is above this process's hard limit.\n";
        if (write(2, why, sizeof why - 1) < 0) _exit(126);
        _exit(126);
      }
    }
    if (limits.addressSpace != RLIM_INFINITY) {
      const rlimit space{limits.addressSpace, limits.addressSpace};
      setrlimit(RLIMIT_AS, &space);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pin[0]);
  close(pout[1]);
  close(perr[1]);
  in = pin[1];
  out = pout[0];
  err = perr[0];
  return pid;
}

inline int exitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace detail

struct ToolResult {
  int exitCode = -1;
  std::string out, err;
};

// Runs `tav-server <args...>` to its end with `input` on its standard input (a pipe, never a
// terminal), and at most `addressSpace` bytes of memory.
inline ToolResult runTool(const std::vector<std::string>& args, const std::string& input = {},
                          rlim_t addressSpace = RLIM_INFINITY) {
  int in, out, err;
  const pid_t pid = detail::spawnServer(args, in, out, err, detail::ChildLimits{0, addressSpace});
  ToolResult result;
  std::size_t written = 0;
  if (input.empty()) {
    close(in);
    in = -1;
  }
  signal(SIGPIPE, SIG_IGN);
  while (out >= 0 || err >= 0) {
    pollfd fds[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {in, POLLOUT, 0}};
    if (poll(fds, 3, -1) < 0) break;
    char buf[4096];
    for (int k = 0; k < 2; ++k) {
      int& fd = k == 0 ? out : err;
      if (fd >= 0 && (fds[k].revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
          (k == 0 ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
        } else {
          close(fd);
          fd = -1;
        }
      }
    }
    if (in >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = write(in, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n <= 0 || written == input.size()) {
        close(in);
        in = -1;
      }
    }
  }
  if (in >= 0) close(in);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = detail::exitCodeOf(status);
  return result;
}

// Like runTool, but a non-zero exit fails with the command's error output.
inline std::string setupTool(const std::vector<std::string>& args, const std::string& input = {}) {
  ToolResult r = runTool(args, input);
  if (r.exitCode != 0) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    throw std::runtime_error("tav-server " + line + "failed: " + r.err);
  }
  return r.out;
}

// `tav-server serve` on a store, on 127.0.0.1 with a port the system chooses.
inline std::string signIn(httplib::Client& client, const std::string& id, const std::string& password);
inline std::string signIn(httplib::Client& client);

class ServerProcess {
 public:
  explicit ServerProcess(std::string store, std::vector<std::string> extra = {})
      : store_(std::move(store)), extra_(std::move(extra)) {}
  ~ServerProcess() {
    if (pid_ > 0) kill();
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // The open-file limit of the servers start() starts from now on (LimitNOFILE of the package's
  // unit); 0 leaves them this process's.
  void limitOpenFiles(rlim_t files) { openFiles_ = files; }

  // Starts the server and waits for its start line. Throws with the server's output when it
  // ends instead.
  void start() {
    std::vector<std::string> args{"serve", "--store", store_, "--listen", "127.0.0.1:0"};
    args.insert(args.end(), extra_.begin(), extra_.end());
    int in, out;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      log_.clear();
      ended_ = false;
    }
    pid_ = detail::spawnServer(args, in, out, err_, detail::ChildLimits{openFiles_});
    close(in);
    close(out);
    reader_ = std::thread([this] { readLog(); });
    static const std::regex startLine(R"(listening on (https?)://([0-9.]+):([0-9]+))");
    std::unique_lock<std::mutex> lock(mutex_);
    std::smatch m;
    // The deadline only guards against a hang; a healthy server starts in milliseconds.
    const bool up = changed_.wait_for(lock, std::chrono::seconds(60), [&] {
      return ended_ || std::regex_search(log_, m, startLine);
    });
    if (!up || ended_) {
      const std::string why = log_;
      lock.unlock();
      kill();
      throw std::runtime_error("tav-server did not start: " + why);
    }
    scheme_ = m[1];
    port_ = std::stoi(m[3]);
  }

  // Sends `sig` and waits for the end; returns the exit code (128 + signal when killed).
  int stopWith(int sig) { return signalAndWait(sig); }
  int stop() { return signalAndWait(SIGTERM); }
  // SIGKILL: the process ends at once, mid-request if it is answering one.
  int kill() { return signalAndWait(SIGKILL); }
  // SIGTERM, then SIGKILL when the server has not ended within `grace`: the time it took to end,
  // or nothing when it had to be killed.
  std::optional<std::chrono::milliseconds> stopWithin(std::chrono::milliseconds grace) {
    if (pid_ <= 0) return std::nullopt;
    const auto start = std::chrono::steady_clock::now();
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() - start > grace) {
        kill();
        return std::nullopt;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    if (reader_.joinable()) reader_.join();
    close(err_);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  }

  int port() const { return port_; }
  std::string url() const { return scheme_ + "://127.0.0.1:" + std::to_string(port_); }
  pid_t pid() const { return pid_; }
  std::string log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  // The log once `text` stands in it `times` times: the server writes a line before it answers,
  // but this process reads its log on a thread of its own. The deadline only guards against a hang.
  std::string logWith(const std::string& text, int times = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] {
      int seen = 0;
      for (auto at = log_.find(text); at != std::string::npos; at = log_.find(text, at + text.size())) ++seen;
      return seen >= times || ended_;
    });
    return log_;
  }

  // A keep-alive client with the settings the stations use; with a session token it sends that
  // session's cookie with every request.
  std::unique_ptr<httplib::Client> client(const std::string& sessionToken = {}) const {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", port_);
    c->set_tcp_nodelay(true);
    c->set_keep_alive(true);
    c->set_connection_timeout(3);
    c->set_read_timeout(30);
    if (!sessionToken.empty()) c->set_default_headers({{"Cookie", "tav_session=" + sessionToken}});
    return c;
  }

  // A client of a station whose operator (the test venue's, unless told) has signed in: the
  // first call signs in, later ones share its session.
  std::unique_ptr<httplib::Client> signedInClient() const {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    if (session_.empty()) session_ = signIn(*client());
    return client(session_);
  }

 private:
  void readLog() {
    char buf[4096];
    for (;;) {
      const ssize_t n = read(err_, buf, sizeof buf);
      std::lock_guard<std::mutex> lock(mutex_);
      if (n <= 0) {
        ended_ = true;
        changed_.notify_all();
        return;
      }
      log_.append(buf, static_cast<std::size_t>(n));
      changed_.notify_all();
    }
  }

  int signalAndWait(int sig) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, sig);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (reader_.joinable()) reader_.join();
    close(err_);
    return detail::exitCodeOf(status);
  }

  std::string store_;
  std::vector<std::string> extra_;
  rlim_t openFiles_ = 0;
  pid_t pid_ = -1;
  int err_ = -1;
  int port_ = 0;
  std::string scheme_ = "http";
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string log_;
  bool ended_ = false;
  mutable std::mutex sessionMutex_;
  mutable std::string session_;
};

inline const std::string kCsvHeader =
    "TicketNo,CustName,GoodsName,PlayDate,PlaceName,SeatGradeName,SeatInfo,Block,Status\n";
inline const auto& kTestBlocks = wire::kBlocks;

// Ticket number i of a test venue: the blocks rotate E, N, S, W.
inline std::string ticketNo(int i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "T%08d", i);
  return buf;
}
inline std::string blockOf(int i) { return kTestBlocks[static_cast<std::size_t>(i) % kTestBlocks.size()]; }

// A store with venue PLACE1 (theater 잠실종합운동장), its active event BIZ1 with `tickets` valid
// tickets T00000000.. (the last `cancelled` of them cancelled), and operator gate1 / "pa's wörd".
// The store is a file in the venue's own folder, or the empty store at `location`.
struct TestVenue {
  static constexpr const char* kPlace = "PLACE1";
  static constexpr const char* kBizCode = "BIZ1";
  static constexpr const char* kGoods = "2024 K리그 개막전";
  static constexpr const char* kOperator = "gate1";
  static constexpr const char* kPassword = "pa's wörd";

  explicit TestVenue(int tickets, int cancelled = 0, std::string location = {}) : count(tickets) {
    store = location.empty() ? dir.file("venue.db") : std::move(location);
    setupTool({"init", "--store", store});
    setupTool({"add-venue", "--store", store, "--place", kPlace, "--name", "잠실종합운동장"});
    setupTool({"add-event", "--store", store, "--place", kPlace, "--bizcode", kBizCode, "--name", kGoods,
               "--play-date", "202405011830"});
    setupTool({"add-operator", "--store", store, "--place", kPlace, "--id", kOperator},
              std::string(kPassword) + "\n");
    std::string csv = kCsvHeader;
    for (int i = 0; i < tickets; ++i) {
      csv += ticketNo(i) + ",홍길동" + std::to_string(i) + "," + kGoods + ",202405011830,잠실종합운동장,R석," +
             "1층 " + std::to_string(i % 30 + 1) + "열 " + std::to_string(i % 20 + 1) + "번," + blockOf(i) +
             (i >= tickets - cancelled ? ",cancelled\n" : ",valid\n");
    }
    writeFile(dir.file("tickets.csv"), csv);
    setupTool({"import-tickets", "--store", store, "--bizcode", kBizCode, "--csv", dir.file("tickets.csv")});
  }

  TempDir dir;
  std::string store;
  int count;
};

// The ticket check command exactly as the station builds it (one blank after the fourth comma).
inline std::string checkText(const std::string& mode, const std::string& ticket,
                             const std::string& block = "", const std::string& op = TestVenue::kOperator) {
  return kBookingProc + "'" + mode + "','" + TestVenue::kBizCode + "','" + block + "','" + ticket + "', '" +
         op + "'";
}

// POSTs a command text to the business object's Query route.
inline httplib::Result query(httplib::Client& client, const std::string& text) {
  return client.Post(kQueryPath.c_str(), text, "text/plain; charset=utf-8");
}

// The text of a field (matched without regard to case) in the first row, as the station reads it.
inline std::string fieldText(const wire::Recordset& rs, const std::string& name) {
  if (rs.rows.empty()) throw std::runtime_error("The answer has no row.");
  for (std::size_t i = 0; i < rs.fields.size(); ++i) {
    if (strcasecmp(rs.fields[i].c_str(), name.c_str()) != 0) continue;
    const wire::Value& v = rs.rows[0][i];
    if (const auto* s = std::get_if<std::string>(&v)) return *s;
    if (const auto* n = std::get_if<std::int64_t>(&v)) return std::to_string(*n);
    throw std::runtime_error("The field " + name + " is null.");
  }
  throw std::runtime_error("The answer has no field " + name + ".");
}

// A value between apostrophes as the station sends it: each apostrophe doubled.
inline std::string quoted(const std::string& value) {
  std::string out = "'";
  for (char c : value) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// The tav_session token a Set-Cookie field hands out, or "".
inline std::string sessionTokenOf(const httplib::Result& res) {
  static const std::regex cookie("tav_session=([A-Za-z0-9_-]+)");
  std::smatch m;
  const std::string header = res ? res->get_header_value("Set-Cookie") : std::string();
  return std::regex_search(header, m, cookie) ? std::string(m[1]) : std::string();
}

// Signs the client in as the operator and has it send the session's cookie with every later
// request, as the station's gateway does. Returns the session's token; throws when refused.
inline std::string signIn(httplib::Client& client, const std::string& id, const std::string& password) {
  auto res = query(client, kLoginProc + quoted(id) + "," + quoted(password));
  const std::string token = sessionTokenOf(res);
  if (!res || res->status != 200 || token.empty())
    throw std::runtime_error("The operator " + id + " could not sign in.");
  client.set_default_headers({{"Cookie", "tav_session=" + token}});
  return token;
}

// A session of the operator made in the store itself, as a sign-in would make it, for tests in
// which a sign-in over HTTP would count (in the metrics, against the per-source limit).
inline std::string sessionInStore(const std::string& store, const std::string& operatorId = TestVenue::kOperator) {
  return sessionOf(*server::openStore(store, false), operatorId);
}

// Signs in as the test venue's operator.
inline std::string signIn(httplib::Client& client) {
  return signIn(client, TestVenue::kOperator, TestVenue::kPassword);
}

// Runs a command and returns the first row's ErrCode; throws unless the answer is 200 JSON.
inline wire::Recordset answerOf(httplib::Client& client, const std::string& text) {
  auto res = query(client, text);
  if (!res) throw std::runtime_error("No answer: " + httplib::to_string(res.error()));
  if (res->status != 200) throw std::runtime_error("Status " + std::to_string(res->status) + ": " + res->body);
  return wire::decode(res->body);
}

inline std::string codeOf(httplib::Client& client, const std::string& text) {
  return fieldText(answerOf(client, text), "ErrCode");
}

// The value of one sample line of a Prometheus text ("name{labels}"), 0 when absent.
inline double metricValue(const std::string& exposition, const std::string& sample) {
  std::istringstream in(exposition);
  for (std::string line; std::getline(in, line);) {
    if (line.size() > sample.size() && line.compare(0, sample.size(), sample) == 0 && line[sample.size()] == ' ')
      return std::stod(line.substr(sample.size() + 1));
  }
  return 0;
}

}  // namespace tav::test
