// The offline decision's time from call to result on a list of 60,000 tickets, with the journal's
// flush to the disk, and the same lookup and rule without the journal to show what the disk costs.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "offline/engine.h"
#include "wire/protocol.h"
#include "wire/stands.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tav::offline::kAllBlocks;

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

void print(const char* what, const std::vector<double>& micros) {
  std::printf("%-34s p50 %8.1f us   p99 %8.1f us   max %8.1f us\n", what, percentile(micros, 0.5),
              percentile(micros, 0.99), *std::max_element(micros.begin(), micros.end()));
}

double microsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  int tickets = 60'000, decisions = 2'000;
  fs::path parent = fs::temp_directory_path();
  bool usage = argc % 2 == 0;  // an option without its value
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--tickets") tickets = std::max(1, std::atoi(argv[i + 1]));
    else if (opt == "--decisions") decisions = std::max(1, std::atoi(argv[i + 1]));
    else if (opt == "--folder") parent = argv[i + 1];
    else usage = true;
  }
  if (usage) {
    std::fprintf(stderr, "usage: bench_offline [--tickets N] [--decisions N] [--folder DIR]\n"
                         "Decides N checks offline (default 2000) against a list of --tickets (default 60000),\n"
                         "journaled in a new folder under DIR (default the temporary folder: put it on the\n"
                         "disk a gate PC's user data lives on).\n");
    return 2;
  }

  // The list as the back-end sends it: every block, a third of the tickets inside, a few cancelled.
  const tav::offline::HashKey key{7, 1, 7, 1, 7, 1, 7, 1, 7, 1, 7, 1, 7, 1, 7, 1};
  constexpr std::int64_t kNow = 1'700'000'000'000;
  std::vector<tav::offline::ListRecord> records;
  for (int i = 0; i < tickets; ++i)
    records.push_back(tav::offline::listRecord(tav::offline::ticketHash(key, "T" + std::to_string(i)),
                                               static_cast<std::size_t>(i) % tav::wire::kBlocks.size(), i % 50 == 0,
                                               i % 3 == 0, i % 3 == 0 ? 1 : 0, i % 3 == 0 ? kNow - 600'000 : 0));
  const tav::offline::TicketList list = tav::offline::decodeList(
      tav::offline::encodeList({"BENCH", std::string(kAllBlocks), kNow, 540, key}, std::move(records)));

  std::string pattern = (parent / "tav-bench-offline-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path folder = pattern;
  std::mt19937 random(31);
  std::vector<double> whole, memoryOnly;
  {
    tav::offline::Engine engine(tav::offline::Journal::open(folder, "bench"));
    const auto start = Clock::now();
    if (const auto problem = engine.signedIn(start, "BENCH", "gate01", "")) {
      std::fprintf(stderr, "%s\n", problem->c_str());
      return 1;
    }
    engine.listFetched(list, start);
    engine.connectionFailed(start);
    for (int i = 0; i < decisions; ++i) {
      // One scan in twenty is of a ticket the list does not hold.
      const int n = static_cast<int>(random() % static_cast<unsigned>(tickets + tickets / 20));
      const std::string ticketNo = "T" + std::to_string(n);
      const std::string_view mode = i % 4 ? tav::wire::kModeEntry : tav::wire::kModeExit;
      std::string idKey = std::to_string(i);
      idKey.resize(tav::wire::kIdempotencyKeyLength, 'x');

      auto t = Clock::now();
      const auto answer = engine.decide(Clock::now(), kNow + i, {mode, ticketNo, idKey});
      whole.push_back(microsSince(t));

      // The same lookup and rule, without the journal.
      t = Clock::now();
      std::size_t found = 0;
      for (const auto& record : tav::offline::findTicket(list, ticketNo)) {
        tav::rule::TicketState state{tav::wire::kBlocks[record.block], record.cancelled, record.inside,
                                     record.entryCount, std::nullopt, std::nullopt};
        found += tav::rule::decide({mode, "", state, kNow + i},
                                   [](tav::rule::TimeMs at) { return tav::rule::clockAtOffset(at, 540); })
                     .message.size();
      }
      memoryOnly.push_back(microsSince(t));
      if (answer.recorded.sequence == 0 && found == 0) std::puts("");  // keeps both results alive
    }
  }
  // What the disk alone costs: a line of the journal's size appended and flushed the same way.
  std::vector<double> diskOnly;
  {
    const std::string line(225, 'x');
    const int fd = ::open((folder / "disk-only").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    for (int i = 0; fd >= 0 && i < decisions; ++i) {
      const auto t = Clock::now();
      if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()) || ::fdatasync(fd) != 0) break;
      diskOnly.push_back(microsSince(t));
    }
    if (fd >= 0) ::close(fd);
  }
  std::printf("offline decisions: %d on a list of %d tickets (%zu bytes encoded), journal in %s\n", decisions,
              tickets, tav::offline::kRecordBytes * static_cast<std::size_t>(tickets), folder.c_str());
  print("decide, journal flushed (call->result)", whole);
  print("lookup and rule only (no journal)", memoryOnly);
  if (!diskOnly.empty()) print("disk only: write + fdatasync", diskOnly);
  std::printf("journal after the run: %ju bytes\n",
              static_cast<std::uintmax_t>(fs::file_size(folder / tav::offline::journalFileName("bench"))));
  fs::remove_all(folder);
  return 0;
}
