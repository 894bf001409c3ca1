// The dashboard's data routes against real stores and a real tav-server: who may read them, the
// figures after known scans on SQLite and PostgreSQL, and one snapshot per interval however many
// streams are open.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <map>
#include <thread>

#include "server/http/dashboard.h"
#include "server/http/http_service.h"
#include "server/pg/pg_store.h"
#include "server/sqlite/sqlite_store.h"
#include "server/tools/open_store.h"
#include "wire/protocol.h"
#include "tests/server/event_streams.h"
#include "tests/server/pg_test_server.h"
#include "tests/server/server_process.h"
#include "tests/server/store_fixture.h"

namespace {

using namespace tav::test;
using nlohmann::json;

constexpr const char* kAdmin = "boss";
constexpr const char* kAdminPassword = "b0ss pass word";

// Signs in through the stations' route and returns the session cookie it set ("" when none).
std::string signInCookie(httplib::Client& client, const std::string& id, const std::string& password) {
  auto res = query(client, kLoginProc + quoted(id) + "," + quoted(password));
  if (!res || res->status != 200) throw std::runtime_error("The sign-in was not answered.");
  const std::string token = sessionTokenOf(res);
  return token.empty() ? "" : "tav_session=" + token;
}

httplib::Result getWith(httplib::Client& client, const std::string& path, const std::string& cookie) {
  httplib::Headers headers;
  if (!cookie.empty()) headers.emplace("Cookie", cookie);
  return client.Get(path.c_str(), headers);
}

// Reads the stream until `done(received)` or its end (false) or `within` has passed (false).
bool readStreamUntil(int fd, std::string& received, const std::function<bool(const std::string&)>& done,
                     std::chrono::milliseconds within) {
  const auto until = std::chrono::steady_clock::now() + within;
  while (!done(received)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[65536];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    received.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

// TestVenue with an admin of its own and, at a second venue, another admin.
void addAdmins(const TestVenue& venue) {
  setupTool({"add-operator", "--store", venue.store, "--place", TestVenue::kPlace, "--id", kAdmin, "--admin"},
            std::string(kAdminPassword) + "\n");
  setupTool({"add-venue", "--store", venue.store, "--place", "PLACE2", "--name", "목동"});
  setupTool({"add-event", "--store", venue.store, "--place", "PLACE2", "--bizcode", "BIZ2", "--name", "다른 경기",
             "--play-date", "202405021830"});
  setupTool({"add-operator", "--store", venue.store, "--place", "PLACE2", "--id", "otheradmin", "--admin"},
            "other admin pw\n");
}

TEST(DashboardData, OnlyAnAdminOfTheVenueReadsTheFigures) {
  TestVenue venue(8);
  addAdmins(venue);
  ServerProcess server(venue.store);
  server.start();
  auto client = server.client();
  const std::string gate = signInCookie(*client, TestVenue::kOperator, TestVenue::kPassword);
  const std::string admin = signInCookie(*client, kAdmin, kAdminPassword);
  const std::string other = signInCookie(*client, "otheradmin", "other admin pw");
  ASSERT_FALSE(gate.empty());
  ASSERT_FALSE(admin.empty());
  const std::string revoked = signInCookie(*client, kAdmin, kAdminPassword);
  setupTool({"revoke-sessions", "--store", venue.store, "--id", kAdmin});
  const std::string fresh = signInCookie(*client, kAdmin, kAdminPassword);

  struct Case {
    const char* what;
    std::string cookie, path;
    int status;
  };
  const std::vector<Case> cases{
      {"no session", "", "/api/v1/ingress", 401},
      {"no session, stream", "", "/api/v1/ingress/stream", 401},
      {"a token nobody was given", "tav_session=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", "/api/v1/ingress", 401},
      {"a gate operator", gate, "/api/v1/ingress", 401},
      {"a gate operator, stream", gate, "/api/v1/ingress/stream", 401},
      {"an ended session", revoked, "/api/v1/ingress", 401},
      {"another venue's admin, its own event", other, "/api/v1/ingress", 200},
      {"another venue's admin, this venue's event", other, "/api/v1/ingress?bizcode=BIZ1", 404},
      {"the venue's admin", fresh, "/api/v1/ingress", 200},
      {"the venue's admin, the event named", fresh, "/api/v1/ingress?bizcode=BIZ1", 200},
      {"the venue's admin, an event of no one's", fresh, "/api/v1/ingress?bizcode=NOPE", 404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto res = getWith(*client, c.path, c.cookie);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status) << res->body;
    if (c.status == 200) {
      EXPECT_EQ(json::parse(res->body)["event"]["bizCode"], c.cookie == other ? "BIZ2" : "BIZ1");
    }
    if (c.status == 401) {
      EXPECT_NE(res->body.find("admin"), std::string::npos) << res->body;
    }
  }
  // After its match the venue has no active event: the page gets the venue's events to choose from.
  setupTool({"set-event", "--store", venue.store, "--bizcode", "BIZ2", "--inactive"});
  for (const std::string& path : {std::string("/api/v1/ingress"), std::string("/api/v1/ingress?bizcode=BIZ2")}) {
    SCOPED_TRACE(path);
    auto res = getWith(*client, path, other);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    const json d = json::parse(res->body);
    EXPECT_EQ(d["events"], json::parse(R"([{"active":false,"bizCode":"BIZ2","goodsName":"다른 경기","playDate":"202405021830"}])"));
    if (path.find("BIZ2") == std::string::npos) {
      EXPECT_TRUE(d["event"].is_null());
      EXPECT_FALSE(d.contains("blocks"));
    } else {
      EXPECT_EQ(d["event"]["bizCode"], "BIZ2");
      EXPECT_EQ(d["total"]["admitted"], 0);
    }
  }

  // A stream ends at its next snapshot once its session has ended.
  const int stream = openEventStream(server.port(), fresh);
  std::string received;
  EXPECT_TRUE(readStreamUntil(stream, received, [](const std::string& r) { return r.find("data: {") != std::string::npos; },
                              std::chrono::seconds(5)));
  setupTool({"revoke-sessions", "--store", venue.store, "--id", kAdmin});
  const auto revokedAt = std::chrono::steady_clock::now();
  EXPECT_FALSE(readStreamUntil(stream, received, [](const std::string&) { return false; }, std::chrono::seconds(15)));
  EXPECT_LT(std::chrono::steady_clock::now() - revokedAt, 5 * tav::server::kIngressInterval);
  close(stream);

  // The page itself answers everyone: without a session it shows its sign-in form.
  auto page = getWith(*client, "/dashboard", "");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("signin-form"), std::string::npos);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
  auto chart = getWith(*client, "/dashboard/chart.min.js", "");
  ASSERT_TRUE(chart);
  EXPECT_EQ(chart->status, 200);
  EXPECT_GT(chart->body.size(), 100000u);
  auto missing = getWith(*client, "/dashboard/nothing.js", "");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

// The store as a server from before the dashboard left it, with the same tickets and scan log.
std::string undoDashboardMigration(bool sqlite, int version) {
  const std::string before = std::to_string(version - tav::storetest::kSchemaVersionsSinceDashboard);
  return tav::storetest::dropDashboardCounters(sqlite) + "DELETE FROM schema_version WHERE version > " + before +
         (sqlite ? "; PRAGMA user_version = " + before : std::string());
}

void rawSqlite(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* err = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  const std::string message = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << message;
}

// Where the scans that the dashboard reads were made.
enum class Origin {
  Live,    // on the store it reads
  Older,   // by a server from before the dashboard, whose store the next one migrates
  Copied,  // on an SQLite store copied to the store at `copyTo` (copy-store)
};

// Known scans through the stations' route, then the figures the dashboard reads for them.
void expectFiguresOfKnownScans(const std::string& location, Origin origin, const std::string& copyTo = {}) {
  const bool older = origin == Origin::Older;
  TestVenue venue(20, 2, location);  // T18 and T19 cancelled; blocks rotate E, N, S, W
  addAdmins(venue);
  ServerProcess server(venue.store);
  server.start();
  auto station = server.client();
  station->set_default_headers({{"Cookie", signInCookie(*station, TestVenue::kOperator, TestVenue::kPassword)}});
  for (int i = 0; i < 12; ++i) ASSERT_EQ(codeOf(*station, checkText("I", ticketNo(i))), "0");
  for (int i = 0; i < 2; ++i) ASSERT_EQ(codeOf(*station, checkText("O", ticketNo(i))), "0");
  ASSERT_EQ(codeOf(*station, checkText("I", ticketNo(0))), std::string(tav::wire::kCodeReentry));
  for (const auto& t : {std::string("NOPE1"), std::string("NOPE2")}) ASSERT_NE(codeOf(*station, checkText("I", t)), "0");
  ASSERT_NE(codeOf(*station, checkText("I", ticketNo(18))), "0");
  ASSERT_NE(codeOf(*station, checkText("I", ticketNo(2))), "0");
  ASSERT_NE(codeOf(*station, checkText("I", ticketNo(3), "E석")), "0");

  if (older) {
    server.stop();
    if (location.empty()) {
      rawSqlite(venue.store, undoDashboardMigration(true, tav::server::sqliteSchemaVersion()));
    } else {
      tav::pgtest::RawConnection(location).exec(undoDashboardMigration(false, tav::server::postgresSchemaVersion()));
      setupTool({"migrate", "--store", location});
    }
    server.start();
  }
  std::unique_ptr<ServerProcess> copied;
  if (origin == Origin::Copied) {
    server.stop();
    setupTool({"copy-store", "--from", venue.store, "--to", copyTo});
    copied = std::make_unique<ServerProcess>(copyTo);
    copied->start();
  }
  auto page = (copied ? *copied : server).client();
  auto res = getWith(*page, "/api/v1/ingress", signInCookie(*page, kAdmin, kAdminPassword));
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  const json d = json::parse(res->body);
  std::vector<std::int64_t> admitted, inside, entries, exits;
  for (std::size_t b = 0; b < 4; ++b) {
    EXPECT_EQ(d["blocks"][b]["block"], kTestBlocks[b]);
    admitted.push_back(d["blocks"][b]["admitted"]);
    inside.push_back(d["blocks"][b]["inside"]);
    std::int64_t in = 0, out = 0;
    for (auto n : d["flow"]["entries"][b]) in += n.get<std::int64_t>();
    for (auto n : d["flow"]["exits"][b]) out += n.get<std::int64_t>();
    entries.push_back(in);
    exits.push_back(out);
  }
  using V = std::vector<std::int64_t>;
  EXPECT_EQ(admitted, (V{3, 3, 3, 3}));
  EXPECT_EQ(inside, (V{3, 2, 3, 3}));
  EXPECT_EQ(entries, (V{4, 3, 3, 3}));
  EXPECT_EQ(exits, (V{1, 1, 0, 0}));
  EXPECT_EQ(d["total"], (json{{"admitted", 12}, {"inside", 11}}));
  EXPECT_EQ(d["flow"]["entries"][0].size(), 180u);
  std::map<std::string, std::int64_t> refusals;
  for (const auto& r : d["refusals"]) refusals[r["reason"]] = r["count"];
  EXPECT_EQ(refusals, (std::map<std::string, std::int64_t>{
                          {"unknown-ticket", 2}, {"cancelled", 1}, {"already-inside", 1}, {"wrong-block", 1}}));
  ASSERT_EQ(d["gates"].size(), 1u);
  EXPECT_EQ(d["gates"][0]["source"], "127.0.0.1");
  EXPECT_EQ(d["gates"][0]["checks"], 20);
  EXPECT_EQ(d["gates"][0]["refusals"], 5);
  EXPECT_EQ(d["gates"][0]["silent"], false);
  const std::int64_t serverTime = d["serverTime"];
  EXPECT_LE(std::abs(serverTime - tav::server::Store::systemNow()), 60000);
}

TEST(DashboardData, FiguresOfKnownScansOnSqlite) { expectFiguresOfKnownScans({}, Origin::Live); }
TEST(DashboardData, FiguresOfAStoreFromBeforeTheDashboardOnSqlite) { expectFiguresOfKnownScans({}, Origin::Older); }

TEST(DashboardData, FiguresOfAStoreCopiedToAnotherSqliteFile) {
  TempDir dir;
  expectFiguresOfKnownScans({}, Origin::Copied, dir.file("copy.db"));
}

TEST(DashboardDataPostgreSQL, FiguresOfKnownScans) {
  tav::pgtest::ScratchSchema schema;
  expectFiguresOfKnownScans(schema.uri(), Origin::Live);
}

TEST(DashboardDataPostgreSQL, FiguresOfAStoreFromBeforeTheDashboard) {
  tav::pgtest::ScratchSchema schema;
  expectFiguresOfKnownScans(schema.uri(), Origin::Older);
}

TEST(DashboardDataPostgreSQL, FiguresOfAStoreCopiedFromSqlite) {
  tav::pgtest::ScratchSchema schema;
  expectFiguresOfKnownScans({}, Origin::Copied, schema.uri());
}

// The store under a served dashboard, counting its reads.
class CountingStore final : public tav::server::Store {
 public:
  explicit CountingStore(std::unique_ptr<Store> inner) : inner_(std::move(inner)) {}
  void write(const std::function<void(tav::server::Transaction&)>& work) override { inner_->write(work); }
  void writeAsync(std::function<void(tav::server::Transaction&)> work, Done done) override {
    inner_->writeAsync(std::move(work), std::move(done));
  }
  std::string writeFault() const override { return inner_->writeFault(); }
  void read(const std::function<void(tav::server::Reader&)>& work) override {
    reads.fetch_add(1);
    inner_->read(work);
  }
  std::atomic<int> reads{0};

 private:
  std::unique_ptr<Store> inner_;
};

// An event stream read over a plain socket, counting the events that arrive.
struct StreamClient {
  int fd = -1;
  std::string received;
  int events() const {
    int n = 0;
    for (auto at = received.find("data: "); at != std::string::npos; at = received.find("data: ", at + 6)) ++n;
    return n;
  }
};

TEST(DashboardStream, AHundredStreamsCostOneSnapshotPerInterval) {
  TestVenue venue(40);
  addAdmins(venue);
  CountingStore store(tav::server::openStore(venue.store, false));
  tav::server::ServeOptions options;
  options.port = 0;
  options.threads = 2;
  tav::server::HttpService service(store, options);
  service.bind();
  std::thread serving([&] { service.run(); });
  httplib::Client client("127.0.0.1", service.port());
  const std::string cookie = signInCookie(client, kAdmin, kAdminPassword);
  ASSERT_FALSE(cookie.empty());

  std::vector<StreamClient> streams(100);
  for (auto& s : streams) s.fd = openEventStream(service.port(), cookie);
  // Reads every stream until `until`.
  auto pump = [&](std::chrono::steady_clock::time_point until) {
    while (std::chrono::steady_clock::now() < until) {
      std::vector<pollfd> fds;
      for (auto& s : streams) fds.push_back({s.fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        char buf[65536];
        const ssize_t n = recv(streams[i].fd, buf, sizeof buf, 0);
        if (n > 0) streams[i].received.append(buf, static_cast<std::size_t>(n));
      }
    }
  };
  // Every stream has its first snapshot, then the store's reads are counted over five intervals.
  pump(std::chrono::steady_clock::now() + std::chrono::milliseconds(1500));
  for (const auto& s : streams) {
    ASSERT_EQ(s.received.rfind("HTTP/1.1 200", 0), 0u) << s.received.substr(0, 200);
    ASSERT_NE(s.received.find("text/event-stream"), std::string::npos);
    ASSERT_GE(s.events(), 1);
  }
  std::vector<int> before;
  for (const auto& s : streams) before.push_back(s.events());
  const int readsBefore = store.reads.load();
  const auto started = std::chrono::steady_clock::now();
  pump(started + 5 * tav::server::kIngressInterval);
  const int reads = store.reads.load() - readsBefore;
  const double intervals = std::chrono::duration<double>(std::chrono::steady_clock::now() - started) /
                           std::chrono::duration<double>(tav::server::kIngressInterval);
  // One snapshot per interval however many streams: a busy machine may delay a tick, never add one.
  EXPECT_GE(reads, 2);
  EXPECT_LE(reads, intervals + 1) << "the store was read " << reads << " times in " << intervals
                                  << " intervals for 100 streams";
  for (std::size_t i = 0; i < streams.size(); ++i) {
    const int got = streams[i].events() - before[i];
    EXPECT_GE(got, 2) << "stream " << i;
    EXPECT_LE(got, reads + 1) << "stream " << i;
  }
  // A stream is a socket, not a thread: once the streams close, the server answers as before.
  for (auto& s : streams) close(s.fd);
  auto health = client.Get("/health");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  service.stop();
  serving.join();
}

}  // namespace
