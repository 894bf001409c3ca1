// The throwaway PostgreSQL server of the tests (scripts/pg-test.sh, started by CTest): where it
// is, a schema of its own for each test, and plain SQL on it as another program would run it.
#pragma once

#include <dirent.h>
#include <libpq-fe.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tav::pgtest {

// Set by CTest for the PostgreSQL tests: the folder where pg-test.sh keeps the server's URI.
inline constexpr const char* kStateVariable = "TAV_TEST_PG_DIR";
// Or a server of one's own: a URI whose user may create schemas.
inline constexpr const char* kUriVariable = "TAV_TEST_PG_URI";

// The test server's URI (with its password), or "" when none is configured.
inline std::string serverUri() {
  if (const char* uri = std::getenv(kUriVariable); uri && *uri) return uri;
  const char* dir = std::getenv(kStateVariable);
  if (!dir || !*dir) return {};
  std::ifstream in(std::string(dir) + "/uri");
  std::string uri;
  std::getline(in, uri);
  if (uri.empty())
    throw std::runtime_error(std::string("No PostgreSQL test server is running: ") + dir + "/uri is missing.");
  return uri;
}

inline std::string notConfigured() {
  return std::string("no PostgreSQL test server: run through CTest, or set ") + kStateVariable + " or " +
         kUriVariable;
}

// `uri` with one more query parameter.
inline std::string withParameter(const std::string& uri, const std::string& parameter) {
  return uri + (uri.find('?') == std::string::npos ? "?" : "&") + parameter;
}

// One libpq connection for SQL that the store itself would never run.
class RawConnection {
 public:
  explicit RawConnection(const std::string& uri) : conn_(PQconnectdb(uri.c_str())) {
    if (PQstatus(conn_) != CONNECTION_OK)
      throw std::runtime_error(std::string("Cannot reach the PostgreSQL test server: ") + PQerrorMessage(conn_));
    PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
  }
  ~RawConnection() { PQfinish(conn_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // Runs `sql`; returns "" when it succeeded, else PostgreSQL's message.
  std::string tryExec(const std::string& sql) {
    PGresult* r = PQexec(conn_, sql.c_str());
    const ExecStatusType s = PQresultStatus(r);
    std::string error = s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK ? "" : PQerrorMessage(conn_);
    if (!error.empty() && error.back() == '\n') error.pop_back();
    PQclear(r);
    return error;
  }
  void exec(const std::string& sql) {
    const std::string error = tryExec(sql);
    if (!error.empty()) throw std::runtime_error(sql + ": " + error);
  }
  // The first value of the first row ("<null>" for NULL, "<no row>" without one).
  std::string scalar(const std::string& sql) {
    PGresult* r = PQexec(conn_, sql.c_str());
    std::string out;
    if (PQresultStatus(r) != PGRES_TUPLES_OK) {
      out = std::string("<error: ") + PQerrorMessage(conn_) + ">";
    } else if (PQntuples(r) == 0) {
      out = "<no row>";
    } else {
      out = PQgetisnull(r, 0, 0) ? "<null>" : PQgetvalue(r, 0, 0);
    }
    PQclear(r);
    return out;
  }

 private:
  PGconn* conn_;
};

// A new schema on the test server, dropped with everything in it at the end; uri() makes it
// the current schema of every connection, so that a store opened there lives in it alone.
class ScratchSchema {
 public:
  ScratchSchema() : server_(serverUri()) {
    static std::atomic<int> counter{0};
    name_ = "tavtest_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    RawConnection(server_).exec("CREATE SCHEMA " + name_);
    uri_ = withParameter(server_, "options=-csearch_path%3D" + name_);
  }
  ~ScratchSchema() {
    try {
      RawConnection(server_).tryExec("DROP SCHEMA " + name_ + " CASCADE");
    } catch (const std::exception&) {
      // The whole server is thrown away after the tests anyway.
    }
  }
  ScratchSchema(const ScratchSchema&) = delete;
  ScratchSchema& operator=(const ScratchSchema&) = delete;

  const std::string& uri() const { return uri_; }
  const std::string& name() const { return name_; }

 private:
  std::string server_, name_, uri_;
};

#ifdef TAV_PG_TEST_SCRIPT
// A PostgreSQL server of one's own (scripts/pg-test.sh), for what must not disturb the shared test
// server: restarting it under load, measuring it. Stopped and removed at the end.
class ThrowawayServer {
 public:
  ThrowawayServer() {
    char pattern[] = "/tmp/tav-pg-state.XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("No temporary folder can be made.");
    state_ = pattern;
    if (script("start") != 0) throw std::runtime_error("The PostgreSQL server of the test did not start.");
    std::ifstream in(state_ + "/uri");
    std::getline(in, uri_);
    std::ifstream socket(state_ + "/socket-uri");
    std::getline(socket, socketUri_);
  }
  ~ThrowawayServer() {
    script("stop");
    std::system(("rm -rf '" + state_ + "'").c_str());
  }
  ThrowawayServer(const ThrowawayServer&) = delete;
  ThrowawayServer& operator=(const ThrowawayServer&) = delete;

  const std::string& uri() const { return uri_; }
  // The same server through its unix socket (no TCP, no password), for clients on its machine.
  const std::string& socketUri() const { return socketUri_; }
  // pg_ctl restart with mode "fast" (sessions ended cleanly) or "immediate" (a crash: recovery
  // from the write-ahead log at the start). Returns the script's exit status.
  int restart(const std::string& mode) { return script("restart", mode); }
  // Stops the server cleanly, and starts it again on the same port with the same data.
  int halt() { return script("halt"); }
  int resume() { return script("resume"); }

  // Sends `sig` to the postmaster and every process it started: SIGSTOP stalls the database as a
  // machine that hangs would, its sockets open and acknowledging; SIGCONT lets it go on.
  void signalAll(int sig) {
    std::ifstream dirFile(state_ + "/dir");
    std::string dir;
    std::getline(dirFile, dir);
    std::ifstream pidFile(dir + "/data/postmaster.pid");
    pid_t postmaster = 0;
    pidFile >> postmaster;
    if (postmaster <= 0) throw std::runtime_error("The PostgreSQL test server has no postmaster.pid.");
    // The postmaster first, so that it starts no process after the others were listed.
    std::vector<pid_t> all{postmaster};
    if (DIR* proc = opendir("/proc")) {
      while (const dirent* e = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
        if (pid <= 0) continue;
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        std::getline(stat, line);
        // "pid (name) state ppid ...": the name may hold blanks, so read after its ')'.
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        pid_t parent = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) == 2 && parent == postmaster)
          all.push_back(pid);
      }
      closedir(proc);
    }
    if (sig == SIGCONT) std::reverse(all.begin(), all.end());  // the postmaster last
    for (pid_t pid : all) ::kill(pid, sig);
  }

 private:
  int script(const std::string& command, const std::string& extra = {}) {
    const std::string line = std::string("'") + TAV_PG_TEST_SCRIPT + "' " + command + " '" + state_ + "' " + extra +
                             " >/dev/null";
    return std::system(line.c_str());
  }

  std::string state_, uri_, socketUri_;
};
#endif

}  // namespace tav::pgtest
