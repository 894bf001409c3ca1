// Many stations checking the same tickets at the same moment over keep-alive connections:
// exactly one entry (and then one exit) per ticket, in the answers and in the store.
#include <gtest/gtest.h>

#include <string>

#include "server/core/service.h"
#include "server/core/setup.h"
#include "server/core/store.h"
#include "tests/server/race_checks.h"
#include "tests/server/server_process.h"
#include "server/tools/open_store.h"

namespace tav::test {
namespace {

constexpr int kStations = 32;
constexpr int kTickets = 120;

TEST(ConcurrentChecks, AdmitAndLetOutEachTicketExactlyOnce) {
  TestVenue venue(kTickets);
  ServerProcess server(venue.store, {"--threads", "64"});
  server.start();

  for (const std::string mode : {"I", "O"}) {
    SCOPED_TRACE(mode);
    expectOneAcceptanceEach(checkFromEveryStation({&server}, kStations, kTickets, mode), kStations);
  }
  auto client = server.signedInClient();
  const wire::Recordset stats = answerOf(*client, kBookingProc + "'S','BIZ1','','',''");
  EXPECT_EQ(fieldText(stats, "Total"), std::to_string(kTickets));
  client.reset();
  ASSERT_EQ(server.stop(), 0);

  auto store = server::openStore(venue.store, false);
  const auto events = server::listEvents(*store, TestVenue::kPlace);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].admitted, static_cast<std::size_t>(kTickets));
  EXPECT_EQ(events[0].inside, 0u);
  expectEachTicketEnteredAndLeftOnce(*store, kStations, kTickets);
}

}  // namespace
}  // namespace tav::test
