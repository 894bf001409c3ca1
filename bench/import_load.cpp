// Import benchmark: writes a ticket CSV of N rows, imports it with the real `tav-server
// import-tickets` into a fresh store, and prints the rows, the seconds and the import process's
// peak resident memory. Prints figures; exits 0.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "wire/stands.h"

namespace {

using tav::wire::kBlocks;

struct Settings {
  std::size_t rows = 15000000;
  std::string dir;  // where the file and the store go; a temporary folder when empty
};

Settings parseArgs(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--rows" && i + 1 < argc) {
      s.rows = std::strtoull(argv[++i], nullptr, 10);
    } else if (opt == "--dir" && i + 1 < argc) {
      s.dir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: bench_import [--rows N (default 15000000)] [--dir FOLDER]\n");
      std::exit(2);
    }
  }
  return s;
}

struct Run {
  int exitCode = -1;
  double seconds = 0;
  long maxRssKb = 0;
};

// Runs tav-server to its end with its own output, and measures it alone (wait4, not the children
// of this whole program).
Run runServer(const std::vector<std::string>& args) {
  std::vector<std::string> all{TAV_SERVER_BIN};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("tav-server cannot be started.");
  if (pid == 0) {
    // Its report lines would mix with the figures; its errors still show.
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Run r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.maxRssKb = usage.ru_maxrss;
  return r;
}

void mustRun(const std::vector<std::string>& args) {
  if (runServer(args).exitCode != 0) {
    std::fprintf(stderr, "tav-server %s failed\n", args.at(0).c_str());
    std::exit(1);
  }
}

// Rows like a ticket seller's export: Korean names and seats, the four blocks, a few cancelled.
void writeCsv(const std::string& path, std::size_t rows) {
  static const char* const kNames[] = {"김민준", "이서연", "박도윤", "최지우", "정하은", "강시우"};
  std::ofstream out(path, std::ios::binary);
  out << "TicketNo,CustName,GoodsName,PlayDate,PlaceName,SeatGradeName,SeatInfo,Block,Status\r\n";
  std::string line;
  for (std::size_t i = 0; i < rows; ++i) {
    line = "T";
    line += std::to_string(100000000 + i);
    line += ',';
    line += kNames[i % 6];
    line += ",개막전,202604041400,잠실종합운동장,R석,\"";
    line += kBlocks[i % kBlocks.size()];
    line += " ";
    line += std::to_string(i % 30 + 1);
    line += "층, ";
    line += std::to_string(i % 40 + 1);
    line += "열\",";
    line += kBlocks[i % kBlocks.size()];
    line += i % 97 == 0 ? ",cancelled\r\n" : ",valid\r\n";
    out << line;
  }
  if (!out.flush()) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Settings s = parseArgs(argc, argv);
  std::string dir = s.dir;
  if (dir.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tav-bench-import-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
      std::fprintf(stderr, "no temporary folder can be made\n");
      return 1;
    }
    dir = pattern;
  }
  const std::string csv = dir + "/bench-tickets.csv", store = dir + "/bench-import.db";
  for (const std::string& f : {store, store + "-wal", store + "-shm"}) std::filesystem::remove(f);

  auto start = std::chrono::steady_clock::now();
  writeCsv(csv, s.rows);
  const double writeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("csv: %zu rows, %.1f MB, written in %.1f s\n", s.rows,
              static_cast<double>(std::filesystem::file_size(csv)) / 1e6, writeSeconds);

  mustRun({"init", "--store", store});
  mustRun({"add-venue", "--store", store, "--place", "BENCH", "--name", "잠실종합운동장"});
  mustRun({"add-event", "--store", store, "--place", "BENCH", "--bizcode", "B1", "--name", "개막전", "--play-date",
           "202604041400"});
  // A command that reads nothing: what the program itself takes.
  const Run bare = runServer({"list", "--store", store});
  const Run import = runServer({"import-tickets", "--store", store, "--bizcode", "B1", "--csv", csv});
  std::printf("import-tickets: exit %d, %zu rows in %.1f s (%.0f rows/s), peak resident %.1f MB "
              "(the same program listing the venues: %.1f MB)\n",
              import.exitCode, s.rows, import.seconds, static_cast<double>(s.rows) / import.seconds,
              static_cast<double>(import.maxRssKb) / 1024.0, static_cast<double>(bare.maxRssKb) / 1024.0);
  std::printf("store: %.1f MB\n", static_cast<double>(std::filesystem::file_size(store)) / 1e6);
  for (const std::string& f : {csv, store, store + "-wal", store + "-shm"}) std::filesystem::remove(f);
  if (s.dir.empty()) std::filesystem::remove(dir);
  return 0;
}
