// Offline checking over a real store of each kind: set-event's switches and list's columns from
// the command line, the list read from the store with each ticket's state and its fetch noted, a
// keyed check's scan-log line keeping its key, and a store from before offline checking brought up.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "offline/list.h"
#include "server/core/demo_data.h"
#include "server/core/match_day.h"
#include "server/core/offline_list.h"
#include "server/core/stations.h"
#include "tests/server/pg_test_server.h"
#include "tests/server/server_process.h"
#include "tests/server/store_fixture.h"

namespace tav::storetest {
namespace {

using server::OfflineListRefusal;

class OfflineStore : public StoreTest {
 protected:
  // A caller at a registered station of P1 whose operator "admin" signed in.
  server::Caller stationCaller() {
    if (station_ == 0) station_ = server::addStation(store(), "P1", "1번 게이트", "E석").station.id;
    server::Caller caller{"10.0.0.1", openSessionOf("admin")};
    caller.station = station_;
    caller.stationPlace = "P1";
    return caller;
  }
  server::OfflineListAnswer fetch(const std::string& biz, const std::string& block) {
    return server::fetchOfflineList(store(), biz, block, stationCaller());
  }
  std::vector<server::OfflineListFetch> fetches() {
    std::vector<server::OfflineListFetch> out;
    store().read([&](server::Reader& r) { out = r.offlineListFetches(station_); });
    return out;
  }
  server::Event event(const std::string& biz) {
    std::optional<server::Event> e;
    store().read([&](server::Reader& r) { e = r.findEvent(biz); });
    if (!e) throw std::runtime_error("no event " + biz);
    return *e;
  }

  std::int64_t station_ = 0;
};

TEST_P(OfflineStore, ListCarriesEachTicketsStateAndItsFetchIsNoted) {
  setUpVenues();
  EXPECT_EQ(field(run(check("I", "BIZ", "", "T1", "admin")), "ErrCode"), "0");
  const server::Event on = server::setEventOffline(store(), "BIZ", {true, 45});
  EXPECT_TRUE(on.offline);
  EXPECT_EQ(on.offlineMaxAgeMinutes, 45);
  EXPECT_EQ(event("BIZ").offlineMaxAgeMinutes, 45);

  const server::OfflineListAnswer all = fetch("BIZ", std::string(offline::kAllBlocks));
  ASSERT_EQ(all.refusal, OfflineListRefusal::None) << all.sentence;
  const offline::TicketList list = offline::decodeList(all.list);
  EXPECT_EQ(list.header.bizCode, "BIZ");
  EXPECT_EQ(list.header.serverTimeMs, now_.load());
  EXPECT_EQ(offline::hashKeyHex(list.header.hashKey), event("BIZ").offlineKey);
  EXPECT_EQ(list.records.size(), 5u);
  struct Expected {
    const char* ticket;
    std::uint8_t block;
    bool cancelled, inside;
    std::uint8_t entries;
    std::uint32_t lastEntry;
  };
  const auto at = static_cast<std::uint32_t>(now_.load() / 1000);
  for (const Expected& e : {Expected{"T1", 0, false, true, 1, at}, Expected{"T2", 1, true, false, 0, 0},
                            Expected{"T4", 3, false, false, 0, 0}, Expected{"O'Neil", 0, false, false, 0, 0}}) {
    const std::vector<offline::ListRecord> found = offline::findTicket(list, e.ticket);
    ASSERT_EQ(found.size(), 1u) << e.ticket;
    EXPECT_EQ(found[0], offline::listRecord(found[0].hash, e.block, e.cancelled, e.inside, e.entries,
                                            std::int64_t{e.lastEntry} * 1000))
        << e.ticket;
  }
  EXPECT_TRUE(offline::findTicket(list, "X1").empty()) << "another event's ticket";

  const server::OfflineListAnswer east = fetch("BIZ", "E석");
  ASSERT_EQ(east.refusal, OfflineListRefusal::None);
  EXPECT_EQ(offline::decodeList(east.list).records.size(), 2u);
  const TimeMs first = now_;
  now_ += 120000;
  fetch("BIZ", "E석");
  const std::vector<server::OfflineListFetch> noted = fetches();
  ASSERT_EQ(noted.size(), 2u);
  EXPECT_EQ(noted[0].block, "E석");
  EXPECT_EQ(noted[0].fetchedAt, first + 120000) << "the last fetch of each list is kept";
  EXPECT_EQ(noted[1].block, offline::kAllBlocks);
  EXPECT_EQ(noted[1].fetchedAt, first);

  // Refused before any ticket is read, and nothing noted.
  struct Refusal {
    std::string biz, block;
    OfflineListRefusal why;
  };
  for (const Refusal& r : {Refusal{"BIZ", "Z석", OfflineListRefusal::BadRequest},
                           Refusal{"", "E석", OfflineListRefusal::BadRequest},
                           Refusal{"NOPE", "E석", OfflineListRefusal::UnknownEvent},
                           Refusal{"BIZ2", "E석", OfflineListRefusal::NotAllowed}}) {
    const server::OfflineListAnswer a = fetch(r.biz, r.block);
    EXPECT_EQ(a.refusal, r.why) << r.biz << " " << r.block;
    EXPECT_TRUE(a.list.empty());
    EXPECT_EQ(a.sentence.back(), '.') << a.sentence;
  }
  server::Caller keyless = stationCaller();
  keyless.station = 0;
  EXPECT_EQ(server::fetchOfflineList(store(), "BIZ", "E석", keyless).refusal, OfflineListRefusal::NotAllowed);
  server::setEventOffline(store(), "BIZ", {false, std::nullopt});
  EXPECT_EQ(fetch("BIZ", "E석").refusal, OfflineListRefusal::OfflineOff);
  EXPECT_EQ(event("BIZ").offlineMaxAgeMinutes, 45) << "turning it off keeps the max age";
  EXPECT_EQ(fetches().size(), 2u);
  EXPECT_THROW(server::setEventOffline(store(), "BIZ", {true, 1441}), server::SetupError);
  EXPECT_THROW(server::setEventOffline(store(), "NOPE", {true, std::nullopt}), server::SetupError);
  EXPECT_FALSE(event("BIZ").offline);
}

TEST_P(OfflineStore, AKeyedChecksLineKeepsItsKey) {
  setUpVenues();
  const std::string key = "AAAAAAAAAAAAAAAAAAAAAw", other = "BBBBBBBBBBBBBBBBBBBBBw";
  server::Caller keyed{"10.0.0.1", openSessionOf("admin")};
  keyed.idempotencyKey = key;
  server::execute(store(), check("I", "BIZ", "", "T1", "admin"), keyed);
  server::execute(store(), check("I", "BIZ", "", "T1", "admin"), keyed);  // a retry: a repeat of that check
  server::execute(store(), check("I", "BIZ", "", "T3", "admin"), server::Caller{"10.0.0.1", keyed.sessionToken});
  server::Caller stranger{"10.0.0.9", ""};
  stranger.idempotencyKey = other;
  server::execute(store(), check("I", "BIZ", "", "T4", "admin"), stranger);

  const std::vector<server::ScanRecord> log = scanLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].idempotencyKey, key);
  EXPECT_EQ(log[1].outcome, "repeat");
  EXPECT_EQ(log[1].idempotencyKey, key);
  EXPECT_EQ(log[2].idempotencyKey, "") << "a check without a key";
  EXPECT_EQ(log[3].idempotencyKey, "") << "a key without a session is claimed by nobody";

  std::optional<server::ScanRecord> found, elsewhere, strangers;
  store().read([&](server::Reader& r) {
    found = r.keyedCheckLine("BIZ", "T1", key);
    elsewhere = r.keyedCheckLine("BIZ", "T3", key);
    strangers = r.keyedCheckLine("BIZ", "T4", other);
  });
  ASSERT_TRUE(found);
  EXPECT_EQ(found->id, log[0].id);
  EXPECT_EQ(found->outcome, "entry");
  EXPECT_FALSE(elsewhere);
  EXPECT_FALSE(strangers);
}

// A store from before offline checking: each event has it off, with the default max age and a key
// of its own; the scan log's lines keep no key; and it can be turned on at once.
TEST_P(OfflineStore, OlderStoreGainsOfflineCheckingOffWithAKeyPerEvent) {
  setUpVenues();
  run(check("I", "BIZ", "", "T1", "admin"));
  const bool sqlite = std::string(kind().name) == "SQLite";
  const int version = sqlite ? server::sqliteSchemaVersion() : server::postgresSchemaVersion();
  const std::string previous = std::to_string(version - 1);
  ASSERT_EQ(space().rawExec(dropOfflineChecking() + "DELETE FROM schema_version WHERE version > " + previous +
                            (sqlite ? "; PRAGMA user_version = " + previous : std::string())),
            "");
  reopenMigrated();
  std::set<std::string> keys;
  for (const char* biz : {"BIZ", "BIZ2"}) {
    const server::Event e = event(biz);
    EXPECT_FALSE(e.offline) << biz;
    EXPECT_EQ(e.offlineMaxAgeMinutes, server::kDefaultOfflineMaxAgeMinutes) << biz;
    EXPECT_TRUE(std::regex_match(e.offlineKey, std::regex("[0-9a-f]{32}"))) << e.offlineKey;
    keys.insert(e.offlineKey);
  }
  EXPECT_EQ(keys.size(), 2u) << "each event has a key of its own";
  for (const server::ScanRecord& line : scanLog()) EXPECT_EQ(line.idempotencyKey, "");
  server::setEventOffline(store(), "BIZ", {true, std::nullopt});
  EXPECT_EQ(fetch("BIZ", "W석").refusal, OfflineListRefusal::None);
}

INSTANTIATE_TEST_SUITE_P(Offline, OfflineStore, ::testing::ValuesIn(storeKinds()), storeName);

// set-event's switches and list's columns from the command line, on each store; what it refuses
// leaves the event as it was.
class OfflineCommands : public ::testing::TestWithParam<const char*> {};

TEST_P(OfflineCommands, SetEventSwitchesOfflineCheckingAndListShowsIt) {
  const bool postgres = std::string(GetParam()) == "PostgreSQL";
  if (postgres && pgtest::serverUri().empty()) GTEST_SKIP() << pgtest::notConfigured();
  std::unique_ptr<pgtest::ScratchSchema> schema;
  if (postgres) schema = std::make_unique<pgtest::ScratchSchema>();
  test::TestVenue venue(4, 0, postgres ? schema->uri() : std::string());
  const auto tool = [&](std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--store", venue.store});
    return test::runTool(args);
  };
  const auto list = [&] { return tool({"list", "--place", test::TestVenue::kPlace}).out; };
  const auto row = [](const std::string& state) { return std::regex("\\nBIZ1 +yes .* " + state + " +2024 K리그"); };
  EXPECT_TRUE(std::regex_search(list(), std::regex("INSIDE OFFLINE +MAX AGE  NAME\\n"))) << list();
  EXPECT_TRUE(std::regex_search(list(), row("off +30 min"))) << list();

  const std::string before = list();
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"set-event", "--bizcode", "BIZ1", "--offline", "yes"},
                                             {"set-event", "--bizcode", "BIZ1", "--offline-max-age", "0"},
                                             {"set-event", "--bizcode", "BIZ1", "--offline-max-age", "1441"},
                                             {"set-event", "--bizcode", "BIZ1", "--offline", "on", "--offline-max-age", "9m"},
                                             {"set-event", "--bizcode", "NOPE", "--offline", "on"}}) {
    const test::ToolResult r = tool(bad);
    EXPECT_EQ(r.exitCode, 1) << bad[4];
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  EXPECT_EQ(list(), before) << "a refused change changes nothing";

  const test::ToolResult on = tool({"set-event", "--bizcode", "BIZ1", "--offline", "on", "--offline-max-age", "45"});
  EXPECT_EQ(on.exitCode, 0) << on.err;
  EXPECT_EQ(on.out, "Offline checking of BIZ1 is on; a station's list serves 45 minutes after its last refresh.\n");
  EXPECT_TRUE(std::regex_search(list(), row("on +45 min"))) << list();
  EXPECT_EQ(tool({"set-event", "--bizcode", "BIZ1", "--offline", "off"}).exitCode, 0);
  EXPECT_TRUE(std::regex_search(list(), row("off +45 min"))) << "the event stays active, the max age stays";
  EXPECT_EQ(tool({"set-event", "--bizcode", "BIZ1", "--offline-max-age", "1440"}).exitCode, 0);
  EXPECT_TRUE(std::regex_search(list(), row("off +1440 min"))) << list();
}

TEST(OfflineCommands, TheDemoTurnsItOn) {
  test::TempDir dir;
  const std::string store = dir.file("demo.db");
  test::setupTool({"demo", "--store", store, "--tickets", "40"});
  const std::string listed = test::setupTool({"list", "--store", store, "--place", server::kDemoPlaceCode});
  EXPECT_TRUE(std::regex_search(listed, std::regex(std::string(server::kDemoBizCode) + " .* on +30 min "))) << listed;
}

INSTANTIATE_TEST_SUITE_P(Offline, OfflineCommands, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const ::testing::TestParamInfo<const char*>& row) { return std::string(row.param); });

}  // namespace
}  // namespace tav::storetest
