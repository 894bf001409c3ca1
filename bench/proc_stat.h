// CPU time of processes and threads read from /proc, shared by the load benchmarks.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace tav::bench {

// utime + stime from a /proc stat file (clock-tick resolution); 0 when it is gone.
inline double statCpuSeconds(const std::filesystem::path& statFile) {
  std::ifstream in(statFile);
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (stat.empty()) return 0;
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;  // fields 3..13
  double utime = 0, stime = 0;
  fields >> utime >> stime;
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU seconds of a process; 0 when it is gone or the pid is not one.
inline double processCpuSeconds(long pid) {
  return pid > 0 ? statCpuSeconds("/proc/" + std::to_string(pid) + "/stat") : 0;
}

}  // namespace tav::bench
