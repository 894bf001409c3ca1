// Retried ticket checks: a check sent again with its idempotency key gets its first answer and is
// not decided again, on both stores and across servers on one database; a key used for another
// check is refused.
#include <gtest/gtest.h>

#include <thread>

#include "server/core/errors.h"
#include "server/core/match_day.h"
#include "server/core/procedures.h"
#include "server/core/service.h"
#include "server/core/setup.h"
#include "tests/server/pg_test_server.h"
#include "tests/server/server_process.h"
#include "tests/server/store_fixture.h"

namespace tav::storetest {
namespace {

constexpr const char* kKey = "AAAAAAAAAAAAAAAAAAAAAA";

// What happens to the ticket between a check and its retry.
enum class Between { Nothing, Exit, Cancellation, KeyLifetime, ClockBack };

struct RetryCase {
  const char* name;
  Between between;
  std::string code, outcome;  // the retry's answer and its scan-log outcome
  std::int64_t entries;       // the ticket's entry count afterwards
};

// The fixture's checks with the idempotency key a station's retry carries.
template <class Base>
class Keyed : public Base {
 protected:
  wire::Recordset keyed(const std::string& command) {
    server::Caller caller{"10.0.0.1", this->sessionFor(command)};
    caller.idempotencyKey = kKey;
    return server::execute(this->store(), command, caller).recordset;
  }
};
using Retries = Keyed<StoreCaseTest<RetryCase>>;
using KeyBinding = Keyed<StoreTest>;

TEST_P(Retries, AreTheSameCheckWhileTheTicketIsUnchanged) {
  setUpVenues();
  const RetryCase& c = testCase();
  const std::string command = check("I", "BIZ", "", "T1", "admin");
  const wire::Recordset first = keyed(command);
  ASSERT_EQ(field(first, "ErrMsg"), "입장 확인");
  switch (c.between) {
    case Between::Nothing: break;
    case Between::Exit: run(check("O", "BIZ", "", "T1", "admin")); break;
    case Between::Cancellation: server::setTicketCancelled(store(), "BIZ", "T1", true); break;
    case Between::KeyLifetime: now_ += server::kCheckKeyLifetimeMs + 1000; break;
    // The clock was ahead when the key was kept and has been set right since.
    case Between::ClockBack: now_ -= server::kCheckKeyLifetimeMs + 1000; break;
  }
  const auto logBefore = scanLog().size();

  const wire::Recordset retry = keyed(command);

  EXPECT_EQ(field(retry, "ErrCode"), c.code);
  if (c.outcome == server::kOutcomeRepeat) EXPECT_EQ(retry.rows, first.rows);
  const auto log = scanLog();
  ASSERT_EQ(log.size(), logBefore + 1);
  EXPECT_EQ(log.back().outcome, c.outcome);
  EXPECT_EQ(log.back().code, c.code);
  EXPECT_EQ(ticket("BIZ", "T1")->entryCount, c.entries);
}

const std::vector<RetryCase> kRetryCases{
    {"Unchanged", Between::Nothing, "0", server::kOutcomeRepeat, 1},
    {"LeftInBetween", Between::Exit, "-3", "reentry", 2},
    {"CancelledInBetween", Between::Cancellation, "-1", "cancelled", 1},
    {"KeyExpired", Between::KeyLifetime, "-2", "already-inside", 1},
    {"KeyFromAheadOfTheClock", Between::ClockBack, "-2", "already-inside", 1},
};
INSTANTIATE_TEST_SUITE_P(Check, Retries, onEveryStore(kRetryCases), CaseOnStoreName());

// A key is bound to its command and its operator; reused for anything else it is refused and
// nothing is written. The first attempt's own retry still gets its answer afterwards.
TEST_P(KeyBinding, AKeyReusedForAnotherCheckIsRefused) {
  setUpVenues();
  const std::string command = check("I", "BIZ", "", "T1", "admin");
  keyed(command);
  const auto logBefore = scanLog().size();
  for (const std::string& other : {check("I", "BIZ", "", "T4", "admin"), check("O", "BIZ", "", "T1", "admin"),
                                   check("I", "BIZ", "E석", "T1", "admin"), check("I", "BIZ2", "", "X1", "other")}) {
    SCOPED_TRACE(other);
    EXPECT_THROW(keyed(other), server::KeyMismatch);
  }
  EXPECT_EQ(scanLog().size(), logBefore);
  EXPECT_EQ(ticket("BIZ", "T4")->entryCount, 0);
  EXPECT_EQ(field(keyed(command), "ErrCode"), "0");
}
// Keys kept while the clock was far ahead, first in the order they were kept, then keys past
// their lifetime: one purge forgets both, however many there are, and keeps every key within its
// lifetime either way of now.
TEST_P(KeyBinding, ThePurgeForgetsKeysOutsideTheirLifetimeEitherWay) {
  const TimeMs lifetime = server::kCheckKeyLifetimeMs, minute = server::kMinuteMs;
  const std::vector<std::pair<TimeMs, int>> stamped{
      {lifetime + 60 * minute, 2500}, {-lifetime - minute, 1000}, {lifetime - minute, 100}, {-lifetime + minute, 100}};
  store().write([&](server::Transaction& tx) {
    int n = 0;
    for (const auto& [offset, count] : stamped)
      for (int i = 0; i < count; ++i, ++n)
        tx.keepCheckKey({"key" + std::to_string(n), "admin", "I", "BIZ", "", "T1", "0", "ok", 1, now_ + offset});
  });
  const auto kept = [&] {
    const std::string sql = "SELECT count(*) FROM check_key";
    return server::isPostgresUri(space().location()) ? pgtest::RawConnection(space().location()).scalar(sql)
                                                      : sqliteScalar(space().location(), sql);
  };
  EXPECT_EQ(server::forgetOldCheckKeys(store()), 3500u);
  EXPECT_EQ(kept(), "200");
  EXPECT_EQ(server::forgetOldCheckKeys(store()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Store, KeyBinding, ::testing::ValuesIn(storeKinds()), storeName);

}  // namespace
}  // namespace tav::storetest

namespace tav::test {
namespace {

constexpr const char* kKey = "retry-key_0123456789ab";

httplib::Result keyedQuery(httplib::Client& client, const std::string& text, const std::string& key) {
  return client.Post(kQueryPath.c_str(), {{"Idempotency-Key", key}}, text, "text/plain; charset=utf-8");
}

// Each ticket's check sent with one key to every server at once, as a station's retry may reach
// another server before the first attempt has committed: every attempt is answered "입장 확인",
// each ticket is admitted once, and every attempt but one is logged as a repeat.
void sameKeyAtOnce(const std::vector<const ServerProcess*>& servers, const std::string& store, int tickets) {
  std::vector<std::unique_ptr<httplib::Client>> clients;
  const std::string token = sessionInStore(store);
  for (const ServerProcess* s : servers) {
    clients.push_back(std::make_unique<httplib::Client>(s->url()));
    clients.back()->set_default_headers({{"Cookie", "tav_session=" + token}});
  }
  for (int i = 0; i < tickets; ++i) {
    const std::string key = "key" + std::string(19 - std::to_string(i).size(), '0') + std::to_string(i);
    std::vector<std::string> messages(clients.size() * 2);
    std::vector<std::thread> attempts;
    for (std::size_t k = 0; k < messages.size(); ++k)
      attempts.emplace_back([&, k] {
        auto res = keyedQuery(*clients[k % clients.size()], checkText("I", ticketNo(i)), key);
        messages[k] = res && res->status == 200 ? fieldText(wire::decode(res->body), "ErrMsg") : "no answer";
      });
    for (auto& t : attempts) t.join();
    for (const std::string& m : messages) EXPECT_EQ(m, "입장 확인") << ticketNo(i);
  }
  std::vector<server::ScanRecord> log;
  server::openStore(store, false)->read([&](server::Reader& r) { log = r.scanLog(0, 100000); });
  int entries = 0, repeats = 0;
  for (const auto& line : log) {
    entries += line.outcome == "entry";
    repeats += line.outcome == server::kOutcomeRepeat;
  }
  EXPECT_EQ(entries, tickets);
  EXPECT_EQ(repeats, tickets * (static_cast<int>(servers.size()) * 2 - 1));
}

TEST(RetriedChecks, OverHttpAnswerOnceAndRefuseABadOrReusedKey) {
  TestVenue venue(20);
  ServerProcess server(venue.store);
  server.start();
  sameKeyAtOnce({&server}, venue.store, 10);

  httplib::Client client(server.url());
  signIn(client);
  const auto reused = keyedQuery(client, checkText("I", ticketNo(11)), "key0000000000000000000");
  ASSERT_TRUE(reused);
  EXPECT_EQ(reused->status, 422);
  const auto malformed = keyedQuery(client, checkText("I", ticketNo(11)), "too short");
  ASSERT_TRUE(malformed);
  EXPECT_EQ(malformed->status, 400);
  EXPECT_EQ(codeOf(client, checkText("I", ticketNo(11))), "0");
}

TEST(RetriedChecks, ReachingTwoServersOnOnePostgreSQLDatabaseAnswerOnce) {
  if (pgtest::serverUri().empty()) GTEST_SKIP() << pgtest::notConfigured();
  pgtest::ScratchSchema schema;
  TestVenue venue(20, 0, schema.uri());
  ServerProcess a(venue.store), b(venue.store);
  a.start();
  b.start();
  sameKeyAtOnce({&a, &b}, venue.store, 20);
}

}  // namespace
}  // namespace tav::test
