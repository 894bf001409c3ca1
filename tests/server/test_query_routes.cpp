// The Query route has a fast path for the exact spelling the stations send; every other spelling
// of the business object's path still reaches it, and near misses still do not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/server/server_process.h"

namespace tav::test {
namespace {

struct RouteCase {
  const char* path;
  int status;
};

TEST(QueryRoutes, EverySpellingOfTheObjectAndNothingElse) {
  TestVenue venue(4);
  ServerProcess server(venue.store);
  server.start();
  auto client = server.client(sessionInStore(venue.store));
  const std::vector<RouteCase> cases{
      {"/objects/Nuvrel.member/Query", 200},  {"/objects/nuvrel.MEMBER/QUERY", 200},
      {"/objects/NUVREL.member/query", 200},  {"/objects/NuvrelXmember/Query", 404},
      {"/objects/Nuvrel.member/Query/", 404}, {"/objects/Nuvrel.member/QueryX", 404},
      {"/objects/Nuvrel.members/Query", 404}, {"/xobjects/Nuvrel.member/Query", 404},
  };
  for (const RouteCase& c : cases) {
    SCOPED_TRACE(c.path);
    auto res = client->Post(c.path, kLoginProc + "'" + TestVenue::kPlace + "'", "text/plain; charset=utf-8");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    if (c.status == 200) {
      EXPECT_EQ(fieldText(wire::decode(res->body), "bizcode"), TestVenue::kBizCode);
    }
  }
  // Both routes count in the metrics alike: three answers, five refusals.
  const std::string metrics = client->Get("/metrics")->body;
  EXPECT_EQ(metricValue(metrics, "tav_query_requests_total"), 3);
  EXPECT_EQ(metricValue(metrics, "tav_http_errors_total{status=\"404\"}"), 5);
}

}  // namespace
}  // namespace tav::test
