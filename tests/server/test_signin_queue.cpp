// The sign-in queue's order and the memory of addresses it ranks by: a venue's known addresses sign
// in before a crowd of new ones, however many addresses the crowd has, in bounded memory.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "server/http/source_limits.h"
#include "tests/server/hostile_crowd.h"
#include "tests/server/server_process.h"

namespace tav::test {
namespace {

using server::AddressHistory;
using server::AddressStanding;
using Clock = std::chrono::steady_clock;
using std::chrono::minutes;

boost::asio::ip::address addr(const std::string& text) { return boost::asio::ip::make_address(text); }

TEST(AddressHistory, StandsByWhenAnAddressWasFirstSeenAndKeepsItsOldAddressesWhenFull) {
  AddressHistory history(3, 2);
  const auto t0 = Clock::now();
  struct Step {
    const char* what;
    std::string address;
    Clock::duration at;
    AddressStanding standing;  // what the attempt finds
  };
  const std::vector<Step> steps = {
      {"first seen", "10.0.0.1", {}, AddressStanding::New},
      {"seen a moment before", "10.0.0.1", minutes(9), AddressStanding::New},
      {"first seen long enough ago", "10.0.0.1", server::kAddressSettles, AddressStanding::Settled},
      {"an IPv6 client counts as its /64", "fd00:1::1", {}, AddressStanding::New},
      {"another host of that /64", "fd00:1::2", minutes(10), AddressStanding::Settled},
      {"the memory's last room", "10.0.0.2", minutes(1), AddressStanding::New},
      {"a crowd's address once full", "10.0.0.3", minutes(1), AddressStanding::New},
      {"still not remembered", "10.0.0.3", minutes(20), AddressStanding::New},
      {"the old ones stay", "10.0.0.1", minutes(20), AddressStanding::Settled},
      {"unseen for a day: forgotten, room made", "10.0.0.3", minutes(20) + server::kAddressForgotten,
       AddressStanding::New},
      {"remembered now", "10.0.0.3", minutes(30) + server::kAddressForgotten, AddressStanding::Settled},
  };
  for (const Step& s : steps) EXPECT_EQ(history.noteAttempt(addr(s.address), t0 + s.at), s.standing) << s.what;

  // An operator's sign-in ranks its address first, remembered or not; the oldest makes room.
  history.noteSignedIn(addr("10.0.0.9"), t0);
  history.noteSignedIn(addr("10.0.0.8"), t0 + minutes(1));
  EXPECT_EQ(history.noteAttempt(addr("10.0.0.9"), t0 + minutes(2)), AddressStanding::SignedIn);
  history.noteSignedIn(addr("10.0.0.7"), t0 + minutes(3));
  EXPECT_EQ(history.noteAttempt(addr("10.0.0.9"), t0 + minutes(4)), AddressStanding::New) << "made room";
  EXPECT_EQ(history.noteAttempt(addr("10.0.0.8"), t0 + minutes(4)), AddressStanding::SignedIn);
}

// 2,500 addresses, each guessing twice a minute (so that none has signed in more in the last
// minute than the gate has), keep the password checks busy; the gate's address, from which its
// operator signed in before the flood, still signs in at every try.
TEST(SignInQueue, AnAddressThatSignedInBeforeSignsInThroughAFloodFromThousandsOfAddresses) {
  raiseOpenFileLimit(8192);
  TestVenue venue(4);
  ServerProcess server(venue.store);
  server.start();
  auto gate = server.client();
  ASSERT_FALSE(signIn(*gate).empty());

  FloodPlan plan;
  plan.sources = 2500;
  plan.perMinute = 2;
  plan.firstSource = "127.4.0.1";
  plan.operatorId = "nobody";  // an unknown ID locks nothing
  SignInFlood flood(server.port(), plan);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto res = query(*gate, kLoginProc + quoted(TestVenue::kOperator) + "," + quoted(TestVenue::kPassword));
    ASSERT_TRUE(res) << "sign-in " << attempt + 1;
    EXPECT_EQ(res->status, 200) << "sign-in " << attempt + 1 << ": " << res->body;
  }
  const auto answers = flood.answers();
  EXPECT_GT(answers.count("503") ? answers.at("503") : 0, 0u) << "the flood outruns the password checks";
}

}  // namespace
}  // namespace tav::test
