// A sign-in through a station while the station's removal is under way, on each store: it waits
// for the removal and opens nothing, where it would otherwise open a session the removal missed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "server/core/stations.h"
#include "tests/server/store_fixture.h"

namespace tav::storetest {
namespace {

using StationRace = StoreTest;

TEST_P(StationRace, ASignInDuringTheRemovalOfItsStationOpensNoSession) {
  setUpVenues();
  const std::int64_t station = server::addStation(store(), "P1", "3번 게이트", "").station.id;
  server::Caller caller("10.0.0.1");
  caller.station = station;
  caller.stationPlace = "P1";

  // The removal is written and not yet committed while the sign-in comes.
  std::promise<void> removing, commit;
  std::shared_future<void> committing = commit.get_future().share();
  std::atomic<bool> told{false};
  std::thread remover([&] {
    store().write([&](server::Transaction& tx) {
      tx.removeStation(station, store().now());
      if (!told.exchange(true)) removing.set_value();
      committing.wait();
    });
  });
  removing.get_future().wait();
  std::string token;
  auto signIn = std::async(std::launch::async, [&] {
    return server::loginOperator(store(), "admin", "secret-pw", caller, &token);
  });
  // Time for the sign-in to verify its password and reach the station the removal holds.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  commit.set_value();
  remover.join();
  const wire::Recordset answer = signIn.get();

  EXPECT_EQ(field(answer, "ErrCode"), "-1");
  EXPECT_TRUE(token.empty());
  store().read([&](server::Reader& r) {
    const std::optional<server::SessionRecord> opened = r.latestStationSession(station);
    EXPECT_FALSE(opened) << "a session through the removed station outlived it";
  });
}

INSTANTIATE_TEST_SUITE_P(Stations, StationRace, ::testing::ValuesIn(storeKinds()), storeName);

}  // namespace
}  // namespace tav::storetest
