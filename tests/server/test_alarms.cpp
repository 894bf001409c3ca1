// The control room's alarms as the shared snapshot works them out, on real stores: silent gates,
// refusal spikes and full stands, when each is raised and when it keeps or changes its identity.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/core/copy_store.h"
#include "server/core/ingress.h"
#include "server/core/procedures.h"
#include "server/core/setup.h"
#include "server/tools/open_store.h"
#include "store_fixture.h"

namespace tav::storetest {
namespace {

constexpr TimeMs kMinute = 60 * 1000;
constexpr int kTickets = 800;
constexpr int kCancelledFrom = 400;  // tickets from here on are cancelled

// Checks made from one gate, some minutes before the snapshot.
enum class Scan { Admit, Unknown, Cancelled, WrongBlock };
struct Step {
  int minutesAgo;
  const char* gate;
  Scan scan;
  int count;
};

// The venue of addCheckVenue with some tickets cancelled, and the gates' scans on it. The snapshot
// is taken an hour after `start`.
class AlarmVenue {
 public:
  AlarmVenue(server::Store& store, std::atomic<TimeMs>& now) : store_(store), now_(now), start_(now.load()) {
    station_ = addCheckVenue(store, kTickets);
    store.write([&](server::Transaction& tx) {
      for (int i = kCancelledFrom; i < kTickets; ++i)
        tx.setTicketCancelled(tx.lockTicket("BIZ", checkTicketNo(i))->id, true);
    });
  }

  void scan(const Step& step) {
    at(step.minutesAgo);
    const server::Caller gate{step.gate, station_.sessionToken};
    for (int i = 0; i < step.count; ++i) server::checkTicket(store_, request(step.scan), gate);
  }

  // The snapshot's time less `minutesAgo`.
  void at(int minutesAgo) { now_ = start_ + 60 * kMinute - minutesAgo * kMinute; }

  // The alarms in force now, as "kind subject" (and the level for a stand).
  std::vector<std::string> raised() {
    std::vector<std::string> out;
    for (const server::IngressAlarm& a : alarms())
      out.push_back(a.kind + " " + a.subject + (a.percent ? " " + std::to_string(a.percent) : ""));
    return out;
  }

  std::vector<server::IngressAlarm> alarms() { return server::takeIngressSnapshot(store_, "P1", "BIZ").alarms; }

 private:
  // An east-stand ticket not yet admitted, or a refused scan of the kind.
  server::CheckRequest request(Scan scan) {
    switch (scan) {
      case Scan::Admit: return {"I", "BIZ", "", checkTicketNo(4 * admitted_++), "gate"};
      case Scan::Unknown: return {"I", "BIZ", "", "FAKE" + std::to_string(fakes_++), "gate"};
      case Scan::Cancelled: return {"I", "BIZ", "", checkTicketNo(kCancelledFrom + cancelled_++), "gate"};
      case Scan::WrongBlock: return {"I", "BIZ", "N석", checkTicketNo(4 * wrong_++ + 2), "gate"};
    }
    return {};
  }

  server::Store& store_;
  std::atomic<TimeMs>& now_;
  const TimeMs start_;
  server::Caller station_;
  int admitted_ = 0, fakes_ = 0, cancelled_ = 0, wrong_ = 0;
};

struct AlarmCase {
  const char* name;
  std::vector<Step> steps;
  std::int64_t eastCapacity;        // 0: none set
  std::vector<std::string> raised;  // in the snapshot's order: gates by name, then stands
};

const char* const kGateA = "10.0.0.2";
const char* const kGateB = "10.0.0.3";

class AlarmRules : public StoreCaseTest<AlarmCase> {};

TEST_P(AlarmRules, RaisedExactlyWhenTheRuleHolds) {
  AlarmVenue venue(store(), now_);
  if (testCase().eastCapacity) {
    server::CapacityChange change;
    change.byBlock[0] = testCase().eastCapacity;
    server::setEventCapacity(store(), "BIZ", change);
  }
  for (const Step& step : testCase().steps) venue.scan(step);
  venue.at(0);
  EXPECT_EQ(venue.raised(), testCase().raised);
}

INSTANTIATE_TEST_SUITE_P(
    Snapshot, AlarmRules,
    onEveryStore(std::vector<AlarmCase>{
        {"BeforeOpening", {}, 0, {}},
        {"SilentFiveMinutesAfterChecking",
         {{20, kGateA, Scan::Admit, 3}, {5, kGateA, Scan::Admit, 1}, {1, kGateB, Scan::Admit, 1}}, 0,
         {"silent-gate 10.0.0.2"}},
        {"StillChecking", {{20, kGateA, Scan::Admit, 3}, {4, kGateA, Scan::Admit, 1}}, 0, {}},
        {"CrowdLongIn", {{45, kGateA, Scan::Admit, 30}, {31, kGateA, Scan::Admit, 1}}, 0, {}},
        {"SpikeOverShareAndMinimum", {{2, kGateA, Scan::Admit, 20}, {1, kGateA, Scan::Unknown, 10}}, 0,
         {"refusal-spike 10.0.0.2"}},
        {"CancelledTicketsCountToo",
         {{3, kGateB, Scan::Admit, 10}, {2, kGateB, Scan::Unknown, 5}, {1, kGateB, Scan::Cancelled, 5}}, 0,
         {"refusal-spike 10.0.0.3"}},
        {"MinimumButNotShare", {{2, kGateA, Scan::Admit, 100}, {1, kGateA, Scan::Unknown, 12}}, 0, {}},
        {"ShareButNotMinimum", {{1, kGateA, Scan::Admit, 2}, {1, kGateA, Scan::Unknown, 9}}, 0, {}},
        {"OtherRefusalsDoNotCount", {{1, kGateA, Scan::Admit, 5}, {1, kGateA, Scan::WrongBlock, 15}}, 0, {}},
        {"SpikeOverFiveMinutesAgo", {{7, kGateA, Scan::Unknown, 12}, {1, kGateA, Scan::Admit, 1}}, 0, {}},
        {"StandBelow95", {{1, kGateA, Scan::Admit, 18}}, 20, {}},
        {"StandAt95", {{1, kGateA, Scan::Admit, 19}}, 20, {"capacity E석 95"}},
        {"StandFull", {{1, kGateA, Scan::Admit, 20}}, 20, {"capacity E석 100"}},
        {"SilentGateAndFullStand", {{6, kGateA, Scan::Admit, 20}}, 20, {"silent-gate 10.0.0.2", "capacity E석 100"}},
    }),
    CaseOnStoreName());

class AlarmIdentity : public StoreTest {};

// A page keeps its acknowledgement by the alarm's id: the id holds while the occurrence lasts and
// changes when the condition ends and comes again.
TEST_P(AlarmIdentity, SameWhileItLastsNewWhenItComesAgain) {
  AlarmVenue venue(store(), now_);
  auto idOf = [&](const std::string& kind) {
    for (const server::IngressAlarm& a : venue.alarms())
      if (a.kind == kind) return a.id;
    return std::string();
  };
  venue.scan({40, kGateA, Scan::Admit, 1});
  venue.scan({12, kGateA, Scan::Unknown, 12});
  venue.at(11);
  const std::string spike = idOf("refusal-spike");
  ASSERT_FALSE(spike.empty());
  venue.at(9);
  EXPECT_EQ(idOf("refusal-spike"), spike);
  venue.at(6);
  EXPECT_EQ(idOf("refusal-spike"), "") << "the spike has left the window";
  const std::string silent = idOf("silent-gate");
  ASSERT_FALSE(silent.empty());
  venue.at(4);
  EXPECT_EQ(idOf("silent-gate"), silent);

  venue.scan({3, kGateA, Scan::Unknown, 12});
  EXPECT_EQ(idOf("silent-gate"), "") << "the gate checks again";
  EXPECT_NE(idOf("refusal-spike"), "");
  EXPECT_NE(idOf("refusal-spike"), spike);
  venue.at(-3);
  EXPECT_NE(idOf("silent-gate"), "");
  EXPECT_NE(idOf("silent-gate"), silent);
}

INSTANTIATE_TEST_SUITE_P(Snapshot, AlarmIdentity, ::testing::ValuesIn(storeKinds()), storeName);

// Capacities are kept with their event, changed block by block, and moved by copy-store.
TEST_P(AlarmIdentity, CapacitiesAreKeptChangedAndCopied) {
  AlarmVenue venue(store(), now_);
  EXPECT_THROW(server::setEventCapacity(store(), "NOPE", server::parseCapacity("E=1")), server::SetupError);
  server::setEventCapacity(store(), "BIZ", server::parseCapacity("E석=12000,N석=9000"));
  const server::BlockCapacity now = server::setEventCapacity(store(), "BIZ", server::parseCapacity("N=0,W=500"));
  EXPECT_EQ(now, (server::BlockCapacity{12000, 0, 0, 500}));
  ScratchDir dir;
  auto copy = server::openStore(dir.file("copy.db"), true);
  server::copyStore(store(), *copy);
  server::BlockCapacity copied{};
  copy->read([&](server::Reader& r) { copied = r.eventCapacity("BIZ"); });
  EXPECT_EQ(copied, now);
}

// set-event --capacity: blocks by name or letter, 0 to clear; anything else one sentence.
TEST(Capacity, ParsedOrRefused) {
  const server::CapacityChange change = server::parseCapacity("E석=12000,W=0");
  EXPECT_EQ(change.byBlock[0], 12000);
  EXPECT_FALSE(change.byBlock[1]);
  EXPECT_EQ(change.byBlock[3], 0);
  for (const char* bad : {"", "E석", "X석=10", "E석=-1", "E석=1.5", "E석=10,E=20", "E석=99999999"})
    EXPECT_THROW(server::parseCapacity(bad), server::SetupError) << bad;
}

}  // namespace
}  // namespace tav::storetest
