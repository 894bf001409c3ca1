// The offline engine on real journal files and encoded lists: what it decides from list and
// overlay, when it goes offline and back, and that every answer is on the disk first.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <functional>
#include <unordered_map>

#include "offline/engine.h"
#include "rule/texts.h"
#include "wire/protocol.h"

namespace tav::offline {
namespace {

namespace fs = std::filesystem;
using std::chrono::minutes;
using std::chrono::seconds;

const HashKey kKey{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr rule::TimeMs kUtc = 1'700'000'000'000;  // 2023-11-14 22:13:20 UTC, 07:13 the next day in Seoul
const SteadyTime kT0{std::chrono::hours(1)};

// Two ticket numbers of one hash under kKey.
std::pair<std::string, std::string> sharedHash() {
  std::unordered_map<std::uint32_t, std::string> seen;
  for (int i = 0;; ++i) {
    std::string number = "S" + std::to_string(i);
    const auto [it, fresh] = seen.emplace(ticketHash(kKey, number), number);
    if (!fresh) return {it->second, number};
  }
}

std::string key(int i) {
  std::string k = "k" + std::to_string(i);
  return k + std::string(wire::kIdempotencyKeyLength - k.size(), 'x');
}

struct Ticket {
  std::string number;
  std::size_t block = 0;  // E석
  bool cancelled = false, inside = false;
  int entries = 0;
};

// A list of the event as tav-server sends it, decoded as the station does; entries at kUtc - 1 h.
TicketList listOf(const std::vector<Ticket>& tickets, std::string_view block = kAllBlocks) {
  std::vector<ListRecord> records;
  for (const Ticket& t : tickets)
    records.push_back(listRecord(ticketHash(kKey, t.number), t.block, t.cancelled, t.inside, t.entries,
                                 t.entries ? kUtc - 3'600'000 : 0));
  return decodeList(encodeList({"B1", std::string(block), kUtc, 540, kKey}, std::move(records)));
}

class EngineTest : public testing::Test {
 protected:
  fs::path folder;
  std::optional<Engine> engine;
  int scans = 0;

  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tav-engine-test-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(pattern.data()));
    folder = pattern;
    engine.emplace(Journal::open(folder, "gate"));
  }
  void TearDown() override {
    engine.reset();
    fs::remove_all(folder);
  }
  fs::path file() const { return folder / journalFileName("gate"); }
  // Signed in with block E석 and a fresh list at kT0, ready to go offline.
  void ready(const std::vector<Ticket>& tickets) {
    ASSERT_EQ(engine->signedIn(kT0, "B1", "gate01", "E석"), std::nullopt);
    engine->listFetched(listOf(tickets), kT0);
  }
  // A scan decided offline at kT0 + `at`, at the UTC time as far past kUtc.
  OfflineAnswer scan(std::string_view mode, const std::string& ticketNo, std::chrono::milliseconds at = minutes(1)) {
    return engine->decide(kT0 + at, kUtc + at.count(), {mode, ticketNo, key(++scans)});
  }
};

struct DecisionCase {
  const char* name;
  std::vector<Ticket> list;
  std::vector<std::pair<std::string_view, std::string>> onlineBefore, offlineBefore;  // mode, ticket
  std::string_view mode;
  std::string ticketNo;
  std::string_view outcome;
  std::string message;
};

TEST_F(EngineTest, DecidesFromTheListOverlaidWithWhatTheStationSawAndJournalsFirst) {
  const auto [x, y] = sharedHash();
  const std::string I(wire::kModeEntry), O(wire::kModeExit);
  const std::vector<DecisionCase> cases{
      {"entry", {{"T1"}}, {}, {}, I, "T1", rule::kOutcomeEntry, rule::kAdmitted},
      {"inside in the list", {{"T1", 0, false, true, 1}}, {}, {}, I, "T1", rule::kOutcomeAlreadyInside,
       rule::alreadyInside("06:13")},
      {"inside after an offline entry", {{"T1"}}, {}, {{I, "T1"}}, I, "T1", rule::kOutcomeAlreadyInside,
       rule::alreadyInside("07:14")},
      {"inside after an online entry", {{"T1"}}, {{I, "T1"}}, {}, I, "T1", rule::kOutcomeAlreadyInside,
       rule::alreadyInside("07:13")},
      {"exit", {{"T1", 0, false, true, 1}}, {}, {}, O, "T1", rule::kOutcomeExit, rule::kLeft},
      {"exit after an offline exit", {{"T1", 0, false, true, 1}}, {}, {{O, "T1"}}, O, "T1", rule::kOutcomeNotInside,
       rule::kNotInside},
      {"re-entry after an offline exit", {{"T1", 0, false, true, 1}}, {}, {{O, "T1"}}, I, "T1",
       rule::kOutcomeReentry, rule::kReadmitted},
      {"cancelled", {{"T1", 0, true}}, {}, {}, I, "T1", rule::kOutcomeCancelled, rule::kCancelled},
      {"another block", {{"T1", 1}}, {}, {}, I, "T1", rule::kOutcomeWrongBlock, rule::wrongBlock("N석")},
      {"not in the list", {{"T1"}}, {}, {}, I, "T2", rule::kOutcomeNotInList, rule::kNotInList},
      {"one hash, records alike", {{x}, {y}}, {}, {}, I, y, rule::kOutcomeEntry, rule::kAdmitted},
      {"one hash, records differ", {{x}, {y, 0, false, true, 1}}, {}, {}, I, y, rule::kOutcomeNotInList,
       rule::kNotInList},
      {"one hash, the other one's entry", {{x}, {y}}, {}, {{I, x}}, I, y, rule::kOutcomeEntry, rule::kAdmitted},
  };
  for (const DecisionCase& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    ready(c.list);
    for (const auto& [mode, ticketNo] : c.onlineBefore)
      engine->checkAnswered(kT0, kUtc, ticketNo, mode, wire::kCodeOk);
    ASSERT_TRUE(engine->connectionFailed(kT0));
    for (const auto& [mode, ticketNo] : c.offlineBefore) scan(mode, ticketNo);
    const OfflineAnswer answer = scan(c.mode, c.ticketNo, minutes(2));
    EXPECT_EQ(answer.decision.outcome, c.outcome);
    EXPECT_EQ(answer.decision.message, c.message);
    // On the disk, as another reader finds it, by the time the answer is back.
    const Decision last = readJournal(file()).decisions.back();
    EXPECT_EQ(last, answer.recorded);
    EXPECT_EQ(last.outcome, c.outcome);
    EXPECT_EQ(last.ticketNo, c.ticketNo);
    EXPECT_EQ(last.sinceOnlineMs, 120'000);
    EXPECT_EQ(last.block, "E석");
  }
}

TEST_F(EngineTest, GoesOfflineOnlyOnConnectionFailuresWithAYoungListAndAWritableJournal) {
  ready({{"T1"}});
  engine->checkAnswered(kT0, kUtc, "T1", wire::kModeEntry, wire::kCodeRefused);  // a live server's refusal
  EXPECT_EQ(engine->mode(), Engine::Mode::Online);
  EXPECT_EQ(engine->statusText(kT0 + minutes(5)), "목록 5분 전");
  EXPECT_THROW(scan(wire::kModeEntry, "T1"), OfflineError);  // online, nothing local
  EXPECT_TRUE(readJournal(file()).decisions.empty());

  // The max age, to the millisecond: offline while younger, the failure line from then on.
  EXPECT_FALSE(engine->connectionFailed(kT0 + minutes(30)));
  EXPECT_EQ(engine->statusText(kT0 + minutes(30)), "오프라인 검표 불가 (목록 30분 전)");
  EXPECT_EQ(engine->mode(), Engine::Mode::Online);
  EXPECT_TRUE(engine->connectionFailed(kT0 + minutes(30) - std::chrono::milliseconds(1)));
  EXPECT_EQ(engine->statusText(kT0 + minutes(29)), "오프라인 검표 중 (목록 29분 전)");
  EXPECT_EQ(scan(wire::kModeEntry, "T1", minutes(29)).decision.outcome, rule::kOutcomeEntry);
  EXPECT_THROW(scan(wire::kModeEntry, "T2", minutes(30)), OfflineError);
  EXPECT_FALSE(engine->connectionFailed(kT0 + minutes(30)));
  EXPECT_EQ(engine->statusText(kT0 + minutes(31)), "오프라인 검표 불가 (목록 31분 전)");

  // Each missing condition keeps the station online.
  const std::vector<std::pair<const char*, std::function<void()>>> refusals{
      {"no list", [&] { ASSERT_EQ(engine->signedIn(kT0, "B1", "gate01", "E석"), std::nullopt); }},
      {"a list of another block", [&] {
         ASSERT_EQ(engine->signedIn(kT0, "B1", "gate01", "E석"), std::nullopt);
         engine->listFetched(listOf({}, "E석"), kT0);
         engine->blockChosen("N석");
       }},
      {"a journal whose test write failed", [&] {
         fs::rename(file(), folder / "moved");
         EXPECT_NE(engine->signedIn(kT0, "B1", "gate01", "E석"), std::nullopt);
         engine->listFetched(listOf({}), kT0);
       }},
  };
  for (const auto& [name, arrange] : refusals) {
    SCOPED_TRACE(name);
    TearDown();
    SetUp();
    arrange();
    EXPECT_FALSE(engine->connectionFailed(kT0));
    EXPECT_EQ(engine->mode(), Engine::Mode::Online);
  }
  EXPECT_EQ(engine->statusText(kT0), "오프라인 검표 불가 (기록 실패)");
  EXPECT_THROW(engine->listFetched(listOf({}, "N석"), kT0), std::invalid_argument);
}

TEST_F(EngineTest, AJournalThatCannotBeWrittenRefusesTheAnswer) {
  ready({{"T1"}, {"T2"}});
  ASSERT_TRUE(engine->connectionFailed(kT0));
  scan(wire::kModeEntry, "T1");
  // The file may grow no further: the next line's write fails, as on a full disk.
  signal(SIGXFSZ, SIG_IGN);
  rlimit before{};
  getrlimit(RLIMIT_FSIZE, &before);
  rlimit capped = before;
  capped.rlim_cur = fs::file_size(file());
  setrlimit(RLIMIT_FSIZE, &capped);
  try {
    scan(wire::kModeEntry, "T2");
    ADD_FAILURE() << "a decision was answered without its journal line";
  } catch (const OfflineError& e) {
    EXPECT_TRUE(e.outcomeUnknown);
  }
  setrlimit(RLIMIT_FSIZE, &before);
  EXPECT_FALSE(engine->offlineAllowed(kT0));
  EXPECT_EQ(engine->statusText(kT0), "오프라인 검표 불가 (기록 실패)");
  EXPECT_THROW(scan(wire::kModeEntry, "T2"), OfflineError);
  EXPECT_EQ(readJournal(file()).decisions.size(), 1u);
}

TEST_F(EngineTest, HandsOverInBatchesAndComesBackOnlyAfterwardsAndAfterTwoProbes) {
  ready({{"T1", 0, false, true, 1}, {"T2"}});
  ASSERT_TRUE(engine->connectionFailed(kT0));
  scan(wire::kModeExit, "T1");  // sequence 1
  for (int i = 0; i < 119; ++i) scan(wire::kModeEntry, "N" + std::to_string(i));
  ASSERT_EQ(engine->handOverBatch().size(), kMaxHandoverLines);
  EXPECT_EQ(engine->handOverBatch().front().sequence, 1);

  // A station restarted now still decides its unacknowledged tickets itself.
  engine.reset();
  engine.emplace(Journal::open(folder, "gate"));
  ready({{"T1", 0, false, true, 1}, {"T2"}});
  EXPECT_TRUE(engine->localDecisionFor("T1"));
  EXPECT_FALSE(engine->localDecisionFor("T2"));
  EXPECT_EQ(scan(wire::kModeExit, "T1").decision.outcome, rule::kOutcomeNotInside);  // online, decided here
  ASSERT_TRUE(engine->connectionFailed(kT0));

  engine->acknowledged(kT0 + minutes(2), 50);
  EXPECT_EQ(engine->handOverBatch().front().sequence, 51);
  EXPECT_EQ(engine->handOverBatch().size(), kMaxHandoverLines);
  EXPECT_EQ(readJournal(file()).acknowledgedUpTo, 50);
  EXPECT_FALSE(engine->probeAnswered(kT0 + minutes(3)));
  EXPECT_FALSE(engine->probeAnswered(kT0 + minutes(3) + seconds(10)));  // steady, but 71 left to hand over
  engine->acknowledged(kT0 + minutes(4), 100);
  EXPECT_TRUE(engine->localDecisionFor("T1"));  // its last decision, 121, is not acknowledged yet
  engine->probeFailed();
  engine->acknowledged(kT0 + minutes(4), 121);
  EXPECT_TRUE(engine->handOverBatch().empty());
  EXPECT_FALSE(engine->localDecisionFor("T1"));
  EXPECT_FALSE(engine->probeAnswered(kT0 + minutes(5)));
  EXPECT_FALSE(engine->probeAnswered(kT0 + minutes(5) + seconds(9)));
  EXPECT_EQ(engine->mode(), Engine::Mode::Offline);
  EXPECT_TRUE(engine->probeAnswered(kT0 + minutes(5) + seconds(10)));

  // The list from before the outage does not know T1 left: the overlay still does. What the
  // overlay adds stays until a list asked for after the back-end held it.
  ASSERT_TRUE(engine->connectionFailed(kT0 + minutes(6)));
  EXPECT_EQ(scan(wire::kModeExit, "T1", minutes(6)).decision.outcome, rule::kOutcomeNotInside);
  EXPECT_EQ(scan(wire::kModeEntry, "T2", minutes(6)).decision.outcome, rule::kOutcomeEntry);
  engine->acknowledged(kT0 + minutes(7), 123);
  engine->listFetched(listOf({{"T1", 0, false, false, 1}, {"T2"}}), kT0 + minutes(7) - seconds(1));
  EXPECT_EQ(scan(wire::kModeEntry, "T2", minutes(8)).decision.outcome, rule::kOutcomeAlreadyInside);
  engine->acknowledged(kT0 + minutes(8), 124);
  engine->listFetched(listOf({{"T1", 0, false, false, 1}, {"T2", 0, false, false, 1}}), kT0 + minutes(8));
  EXPECT_EQ(scan(wire::kModeEntry, "T2", minutes(9)).decision.outcome, rule::kOutcomeReentry);
}

}  // namespace
}  // namespace tav::offline
