// tav-fault-proxy: the fault proxy as a program, for scripts such as the drill, steered by a file.
//
//   tav-fault-proxy --listen 127.0.0.1:PORT --to 127.0.0.1:PORT --mode-file FILE
//
// FILE holds one word, pass, refuse, blackhole or dropanswer, read again every 100 ms; a missing
// file means pass. Mode changes are reported on standard error; SIGTERM or SIGINT ends it.
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include "tests/support/fault_proxy.h"

namespace {

volatile std::sig_atomic_t stopAsked = 0;

std::pair<std::string, std::uint16_t> hostAndPort(const std::string& option, const std::string& text) {
  const auto colon = text.rfind(':');
  int port = -1;
  try {
    if (colon != std::string::npos) port = std::stoi(text.substr(colon + 1));
  } catch (const std::exception&) {
  }
  if (colon == std::string::npos || colon == 0 || port < 0 || port > 65535)
    throw std::runtime_error("--" + option + " must be an IPv4 address and port, such as 127.0.0.1:8472, not \"" +
                             text + "\".");
  return {text.substr(0, colon), static_cast<std::uint16_t>(port)};
}

// The file's first word, or "pass" when there is no file.
std::string modeWord(const std::string& file) {
  std::ifstream in(file);
  std::string word;
  if (!in) return "pass";
  in >> word;
  return word;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    std::map<std::string, std::string> options;
    for (int i = 1; i < argc; i += 2) {
      const std::string name = argv[i];
      if (name.rfind("--", 0) != 0 || i + 1 >= argc)
        throw std::runtime_error("usage: tav-fault-proxy --listen ADDR:PORT --to ADDR:PORT --mode-file FILE");
      options[name.substr(2)] = argv[i + 1];
    }
    for (const char* required : {"listen", "to", "mode-file"})
      if (!options.count(required)) throw std::runtime_error(std::string("--") + required + " is required.");
    const auto [listenHost, listenPort] = hostAndPort("listen", options["listen"]);
    const auto [targetHost, targetPort] = hostAndPort("to", options["to"]);
    const std::string modeFile = options["mode-file"];

    // Every client holds a socket here, and a drill has many clients.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
      files.rlim_cur = files.rlim_max;
      setrlimit(RLIMIT_NOFILE, &files);
    }
    std::signal(SIGTERM, [](int) { stopAsked = 1; });
    std::signal(SIGINT, [](int) { stopAsked = 1; });
    std::signal(SIGPIPE, SIG_IGN);

    tav::test::FaultProxy proxy(listenPort, targetHost, targetPort, listenHost);
    std::cerr << "tav-fault-proxy: " << listenHost << ":" << proxy.port() << " -> " << targetHost << ":" << targetPort
              << std::endl;
    std::string shown = "pass";
    while (!stopAsked) {
      const std::string word = modeWord(modeFile);
      if (word != shown) {
        shown = word;
        try {
          proxy.setMode(tav::test::parseMode(word));
          std::cerr << "tav-fault-proxy: " << word << " (" << proxy.connectionsSeen() << " connections so far, "
                    << proxy.answersDropped() << " answers dropped)" << std::endl;
        } catch (const std::invalid_argument& e) {
          std::cerr << "tav-fault-proxy: " << e.what() << " The mode stays " << tav::test::modeName(proxy.mode())
                    << "." << std::endl;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "tav-fault-proxy: " << e.what() << "\n";
    return 2;
  }
}
