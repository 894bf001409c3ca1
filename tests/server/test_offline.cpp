// The offline list's and the hand-over's routes on a real tav-server: who is turned away and with
// which status, a list fetched and decoded with the station's codec finding each ticket's state,
// its fetch noted in the store, the Date every answer carries; a hand-over's lines judged by the
// station's silence, its larger body limit; and import-journal on a journal the station wrote.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <map>
#include <utility>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "offline/handover.h"
#include "offline/journal.h"
#include "offline/list.h"
#include "server/core/store.h"
#include "server/tools/open_store.h"
#include "tests/server/offline_lines.h"
#include "tests/server/server_process.h"

namespace tav::test {
namespace {

using TimeMsForTest = std::int64_t;

const std::regex kHttpDate(R"([A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} GMT)");

// A station of the venue registered with the command line; its key, as its install folder holds it.
std::string addStation(TestVenue& venue, const std::string& place, const std::string& name) {
  const std::string file = venue.dir.file(name + ".key");
  setupTool({"add-station", "--store", venue.store, "--place", place, "--name", name, "--block", "E석", "--key-file",
             file});
  std::string key;
  std::getline(std::ifstream(file), key);
  return key;
}

struct Fetched {
  int status = 0;
  std::string body, contentType, cacheControl, date;
};

Fetched fetchList(const ServerProcess& server, const std::string& session, const std::string& key,
                  const std::string& biz, const std::string& block) {
  httplib::Headers headers;
  if (!session.empty()) headers.emplace("Cookie", "tav_session=" + session);
  if (!key.empty()) headers.emplace("Tav-Station", key);
  auto res = server.client()->Get(("/api/v1/offline/list?bizcode=" + urlEncoded(biz) + "&block=" + urlEncoded(block)).c_str(),
                                  headers);
  if (!res) throw std::runtime_error("No answer: " + httplib::to_string(res.error()));
  return Fetched{res->status, res->body, res->get_header_value("Content-Type"), res->get_header_value("Cache-Control"),
                 res->get_header_value("Date")};
}

TEST(OfflineList, RefusedWithoutAStationAndSessionOfTheVenueOrWhileOffAndGivenOtherwise) {
  TestVenue venue(12, 1);  // T00000000..T00000011, the blocks in turn, the last one cancelled
  const std::string key = addStation(venue, TestVenue::kPlace, "1번 게이트");
  setupTool({"add-event", "--store", venue.store, "--place", TestVenue::kPlace, "--bizcode", "BIZ2", "--name",
             "다음 경기", "--play-date", "202405081830", "--inactive"});
  setupTool({"add-venue", "--store", venue.store, "--place", "PLACE2", "--name", "사직야구장"});
  setupTool({"add-operator", "--store", venue.store, "--place", "PLACE2", "--id", "other"}, "other's password\n");
  const std::string otherKey = addStation(venue, "PLACE2", "사직 1번");
  setupTool({"set-event", "--store", venue.store, "--bizcode", TestVenue::kBizCode, "--offline", "on",
             "--offline-max-age", "20"});
  ServerProcess server(venue.store);
  server.start();
  const std::string session = sessionInStore(venue.store), otherSession = sessionInStore(venue.store, "other");
  std::string madeUp = key;
  madeUp.back() = madeUp.back() == 'A' ? 'B' : 'A';

  struct Refusal {
    const char* what;
    std::string session, key, biz, block;
    int status;
  };
  const std::string all(offline::kAllBlocks), biz(TestVenue::kBizCode);
  for (const Refusal& r : std::vector<Refusal>{
           {"no session", "", key, biz, all, 403},
           {"no station key", session, "", biz, all, 403},
           {"a key no station has (it waits for the stations' next read)", session, madeUp, biz, all, 403},
           {"another venue's operator", otherSession, otherKey, biz, all, 403},
           {"another venue's station", session, otherKey, biz, all, 403},
           {"a block that is none", session, key, biz, "Z석", 400},
           {"an unknown event", session, key, "NOPE", all, 404},
           {"an event with offline checking off", session, key, "BIZ2", all, 409}}) {
    const Fetched f = fetchList(server, r.session, r.key, r.biz, r.block);
    EXPECT_EQ(f.status, r.status) << r.what << ": " << f.body;
    EXPECT_FALSE(wire::decodeError(f.body).empty()) << r.what << ": " << f.body;
    EXPECT_TRUE(std::regex_match(f.date, kHttpDate)) << r.what << ": " << f.date;
  }

  // One ticket in, then the list of every block and of one.
  auto station = server.client(session);
  station->set_default_headers({{"Cookie", "tav_session=" + session}, {"Tav-Station", key}});
  const auto before = server::Store::systemNow();
  EXPECT_EQ(codeOf(*station, checkText("I", ticketNo(0))), "0");
  const auto after = server::Store::systemNow();

  const Fetched whole = fetchList(server, session, key, biz, all);
  ASSERT_EQ(whole.status, 200) << whole.body;
  EXPECT_EQ(whole.contentType, "application/octet-stream");
  EXPECT_EQ(whole.cacheControl, "no-store");
  EXPECT_TRUE(std::regex_match(whole.date, kHttpDate)) << whole.date;
  const offline::TicketList list = offline::decodeList(whole.body);
  EXPECT_EQ(list.header.bizCode, biz);
  EXPECT_EQ(list.header.block, all);
  EXPECT_GE(list.header.serverTimeMs, after);
  EXPECT_EQ(list.header.maxAgeMinutes, 20) << "the event's --offline-max-age goes with its list";
  ASSERT_EQ(list.records.size(), 12u);
  const std::vector<offline::ListRecord> in = offline::findTicket(list, ticketNo(0));
  ASSERT_EQ(in.size(), 1u);
  EXPECT_TRUE(in[0].inside);
  EXPECT_EQ(in[0].entryCount, 1);
  EXPECT_EQ(in[0].block, 0);
  EXPECT_GE(in[0].lastEntrySeconds, before / 1000);
  EXPECT_LE(in[0].lastEntrySeconds, after / 1000);
  const std::vector<offline::ListRecord> cancelled = offline::findTicket(list, ticketNo(11));
  ASSERT_EQ(cancelled.size(), 1u);
  EXPECT_TRUE(cancelled[0].cancelled);
  EXPECT_EQ(cancelled[0].block, 3);
  const std::vector<offline::ListRecord> out = offline::findTicket(list, ticketNo(5));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], offline::listRecord(out[0].hash, 1, false, false, 0, 0));

  const Fetched east = fetchList(server, session, key, biz, "E석");
  ASSERT_EQ(east.status, 200) << east.body;
  const offline::TicketList eastList = offline::decodeList(east.body);
  EXPECT_EQ(eastList.records.size(), 3u);
  EXPECT_EQ(eastList.header.hashKey, list.header.hashKey) << "one key per event, whoever fetches";
  for (const offline::ListRecord& r : eastList.records) EXPECT_EQ(r.block, 0);

  // The store knows which lists the station has.
  std::set<std::string> noted;
  server::openStore(venue.store, false)->read([&](server::Reader& r) {
    for (const server::StationRecord& st : r.allStations())
      if (st.name == "1번 게이트")
        for (const server::OfflineListFetch& f : r.offlineListFetches(st.id)) noted.insert(f.bizCode + " " + f.block);
  });
  EXPECT_EQ(noted, (std::set<std::string>{biz + " " + all, biz + " E석"}));
}

offline::Decision decision(std::int64_t seq, const std::string& ticket, TimeMsForTest at) {
  return offlineEntry(seq, ticket, at, TestVenue::kBizCode, TestVenue::kOperator);
}

std::int64_t admittedInStore(const std::string& store) {
  std::int64_t admitted = 0;
  server::openStore(store, false)->read([&](server::Reader& r) { admitted = r.countAdmitted(TestVenue::kBizCode).total; });
  return admitted;
}

TEST(OfflineHandover, LinesAreJudgedByTheStationsSilenceUnderALimitOfTheirOwn) {
  TestVenue venue(12);
  const std::string key = addStation(venue, TestVenue::kPlace, "1번 게이트");
  setupTool({"set-event", "--store", venue.store, "--bizcode", TestVenue::kBizCode, "--offline", "on"});
  ServerProcess server(venue.store);
  server.start();
  const std::string session = sessionInStore(venue.store);
  const auto handOver = [&](const std::string& cookie, const std::string& stationKey, const std::string& body) {
    httplib::Headers headers;
    if (!cookie.empty()) headers.emplace("Cookie", "tav_session=" + cookie);
    if (!stationKey.empty()) headers.emplace("Tav-Station", stationKey);
    auto res = server.client()->Post("/api/v1/offline/checks", headers, body, "application/json");
    if (!res) throw std::runtime_error("No answer: " + httplib::to_string(res.error()));
    return std::make_pair(res->status, res->body);
  };
  ASSERT_EQ(fetchList(server, session, key, TestVenue::kBizCode, "E석").status, 200);
  const TimeMsForTest fetched = server::Store::systemNow();

  // Right after the list's fetch the station has had no silence: a decision now is implausible.
  const std::string one = offline::encodeHandover({decision(1, ticketNo(0), fetched)});
  struct Refusal {
    const char* what;
    std::string session, key, body;
    int status;
  };
  std::vector<offline::Decision> tooMany;
  for (int i = 1; i <= 51; ++i) tooMany.push_back(decision(i, ticketNo(0), fetched));
  for (const Refusal& r : std::vector<Refusal>{
           {"no session", "", key, one, 403},
           {"no station key", session, "", one, 403},
           {"not JSON", session, key, "lines", 400},
           {"51 lines", session, key, offline::encodeHandover(tooMany), 400},
           {"over 64 KiB", session, key, std::string(70 * 1024, ' '), 413}}) {
    const auto [status, body] = handOver(r.session, r.key, r.body);
    EXPECT_EQ(status, r.status) << r.what << ": " << body;
  }
  const auto [forgedStatus, forgedBody] = handOver(session, key, one);
  ASSERT_EQ(forgedStatus, 200) << forgedBody;
  const offline::HandoverAnswer forged = offline::decodeHandoverAnswer(forgedBody);
  EXPECT_EQ(forged.results.at(0).result, offline::kResultRefused) << forged.results.at(0).why;
  EXPECT_EQ(forged.acknowledgedUpTo, 1);
  EXPECT_EQ(admittedInStore(venue.store), 0);

  // Two seconds on, the same hand-over's gap allows two decisions: 50 lines, more than 8 KiB.
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  std::vector<offline::Decision> fifty;
  for (int i = 2; i <= 51; ++i) fifty.push_back(decision(i, ticketNo(0), fetched + 1000));
  const std::string body = offline::encodeHandover(fifty);
  ASSERT_GT(body.size(), 8u * 1024);
  const auto [status, answerBody] = handOver(session, key, body);
  ASSERT_EQ(status, 200) << answerBody;
  const offline::HandoverAnswer answer = offline::decodeHandoverAnswer(answerBody);
  ASSERT_EQ(answer.results.size(), 50u);
  EXPECT_EQ(answer.acknowledgedUpTo, 51);
  std::map<std::string, int> results;
  for (const offline::HandoverResult& r : answer.results) ++results[r.result];
  EXPECT_EQ(results, (std::map<std::string, int>{{"accepted", 1}, {"conflict", 1}, {"refused", 48}})) << answerBody;
  EXPECT_EQ(admittedInStore(venue.store), 1) << "the second entry of one ticket is a conflict, not an entry";
}

// A server that never saw the station (restarted during the outage, or another server of the
// store) judges its hand-over by the silence since the store's last sighting of it.
TEST(OfflineHandover, AServerStartedDuringTheOutageCountsItFromTheStoresLastSighting) {
  TestVenue venue(12);
  const std::string key = addStation(venue, TestVenue::kPlace, "1번 게이트");
  setupTool({"set-event", "--store", venue.store, "--bizcode", TestVenue::kBizCode, "--offline", "on"});
  const std::string session = sessionInStore(venue.store);
  TimeMsForTest fetched = 0;
  {
    ServerProcess before(venue.store);
    before.start();
    ASSERT_EQ(fetchList(before, session, key, TestVenue::kBizCode, "E석").status, 200);
    fetched = server::Store::systemNow();
    // The directory writes a first sighting at once.
    const auto lastSeen = [&] {
      std::optional<TimeMsForTest> seen;
      server::openStore(venue.store, false)->read([&](server::Reader& r) {
        for (const server::StationRecord& s : r.allStations()) seen = s.lastSeen;
      });
      return seen;
    };
    for (int i = 0; i < 100 && !lastSeen(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(lastSeen());
    before.kill();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  ServerProcess after(venue.store);
  after.start();
  httplib::Headers headers{{"Cookie", "tav_session=" + session}, {"Tav-Station", key}};
  const auto res = after.client()->Post(
      "/api/v1/offline/checks", headers,
      offline::encodeHandover({decision(1, ticketNo(0), fetched + 500), decision(2, ticketNo(4), fetched + 1000)}),
      "application/json");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  for (const offline::HandoverResult& r : offline::decodeHandoverAnswer(res->body).results)
    EXPECT_EQ(r.result, offline::kResultAccepted) << r.why;
  EXPECT_EQ(admittedInStore(venue.store), 2);
}

TEST(OfflineHandover, ImportJournalTakesTheUnacknowledgedLinesOnce) {
  TestVenue venue(12);
  const std::string key = addStation(venue, TestVenue::kPlace, "1번 게이트");
  const std::string session = sessionInStore(venue.store);
  setupTool({"set-event", "--store", venue.store, "--bizcode", TestVenue::kBizCode, "--offline", "on"});
  {
    ServerProcess server(venue.store);
    server.start();
    ASSERT_EQ(fetchList(server, session, key, TestVenue::kBizCode, "E석").status, 200);
  }
  const TimeMsForTest at = server::Store::systemNow() - 60000;
  const std::string folder = venue.dir.file("journal");
  {
    offline::Journal journal = offline::Journal::open(folder, "1번 게이트");
    // The journal numbers its decisions itself; the sequence given here only tells their keys apart.
    const std::vector<std::string> tickets{ticketNo(0), ticketNo(4), ticketNo(4), ticketNo(1)};  // T1: N석 at E석
    for (std::size_t i = 0; i < tickets.size(); ++i)
      journal.append(decision(static_cast<std::int64_t>(i + 1), tickets[i], at));
    journal.acknowledge(1);  // handed over, the journal says, to a store other than this one
  }
  const std::string file = folder + "/" + offline::journalFileName("1번 게이트");
  const std::vector<std::string> import{"import-journal", "--store", venue.store, "--station", "1번 게이트",
                                        "--place", TestVenue::kPlace, file};
  const ToolResult first = runTool(import);
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(std::count(first.out.begin(), first.out.end(), '\n'), 4) << first.out;
  EXPECT_NE(first.out.find("The store never took decisions 1 to 1, which the journal marks as handed over."),
            std::string::npos)
      << first.out;
  EXPECT_NE(first.out.find("conflict: decision 3: "), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("conflict: decision 4: "), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("Handed over 3 decisions of " + file + ": 1 accepted, 0 already kept, 2 conflicts, "
                           "0 refused; acknowledged up to 4."),
            std::string::npos)
      << first.out;
  EXPECT_EQ(admittedInStore(venue.store), 1) << "decision 1 was acknowledged: not taken again";
  std::vector<server::OfflineConflict> reported;
  server::openStore(venue.store, false)->read(
      [&](server::Reader& r) { reported = r.offlineConflicts(TestVenue::kBizCode); });
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(reported[0].alarm, reported[1].alarm) << "one alarm for the control room per run";
  const ToolResult again = runTool(import);
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_NE(again.out.find(": 0 accepted, 3 already kept, 0 conflicts, 0 refused"), std::string::npos) << again.out;
  const ToolResult unnamed = runTool({"import-journal", "--store", venue.store, file});
  EXPECT_EQ(unnamed.exitCode, 0) << unnamed.err;
  EXPECT_NE(unnamed.out.find(": 0 accepted, 3 already kept, 0 conflicts, 0 refused"), std::string::npos)
      << "known again by their keys: " << unnamed.out;
  server::openStore(venue.store, false)->read([&](server::Reader& r) {
    EXPECT_EQ(r.offlineConflicts(TestVenue::kBizCode).size(), 2u) << "what was kept already raises nothing again";
  });
  const ToolResult noStation = runTool({"import-journal", "--store", venue.store, "--station", "9번", "--place",
                                        TestVenue::kPlace, file});
  EXPECT_EQ(noStation.exitCode, 1);
  EXPECT_EQ(std::count(noStation.err.begin(), noStation.err.end(), '\n'), 1) << noStation.err;
}

// What the control room sees of a hand-over with conflicts on a real tav-server: one alarm naming
// each conflict's ticket, both gates and both times; the copies let in while their tickets were
// inside counted in the stand; the station offline ready; a ticket's history and the export marking
// the decisions made offline; the stand's entries at the minutes the gate decided them.
TEST(OfflineHandover, TheControlRoomSeesTheConflictsOfAHandOver) {
  TestVenue venue(12);  // T00000000, T00000004 and T00000008 in E석
  const std::string key = addStation(venue, TestVenue::kPlace, "1번 게이트");
  setupTool({"add-operator", "--store", venue.store, "--place", TestVenue::kPlace, "--id", "boss", "--admin"},
            "boss's password\n");
  setupTool({"set-event", "--store", venue.store, "--bizcode", TestVenue::kBizCode, "--offline", "on"});
  ServerProcess server(venue.store);
  server.start();
  const std::string session = sessionInStore(venue.store), admin = sessionInStore(venue.store, "boss");
  ASSERT_EQ(fetchList(server, session, key, TestVenue::kBizCode, "E석").status, 200);
  const TimeMsForTest fetched = server::Store::systemNow();
  // Online, at a gate without a key, while the station is cut off: T0 goes in.
  auto online = server.client(session);
  online->set_default_headers({{"Cookie", "tav_session=" + session}});
  ASSERT_EQ(codeOf(*online, checkText("I", ticketNo(0))), "0");
  // The station's silence must allow its three decisions, one a second.
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));

  // T0 let in offline too; T4 in, and its copy after it.
  const std::vector<offline::Decision> lines{decision(1, ticketNo(0), fetched + 500),
                                             decision(2, ticketNo(4), fetched + 1000),
                                             decision(3, ticketNo(4), fetched + 1500)};
  httplib::Headers headers{{"Cookie", "tav_session=" + session}, {"Tav-Station", key}};
  auto res = server.client()->Post("/api/v1/offline/checks", headers, offline::encodeHandover(lines), "application/json");
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  std::vector<std::string> results;
  for (const offline::HandoverResult& r : offline::decodeHandoverAnswer(res->body).results) results.push_back(r.result);
  EXPECT_EQ(results, (std::vector<std::string>{"conflict", "accepted", "conflict"})) << res->body;

  const auto adminGet = [&](const std::string& path) {
    auto got = server.client()->Get(path.c_str(), httplib::Headers{{"Cookie", "tav_session=" + admin}});
    if (!got || got->status != 200) throw std::runtime_error("GET " + path + " failed");
    return nlohmann::json::parse(got->body);
  };
  // The online entry's line, from T0's history: what the first conflict clashes with.
  const nlohmann::json story = adminGet("/api/v1/tickets/" + std::string(TestVenue::kBizCode) + "/" + ticketNo(0));
  ASSERT_EQ(story["lines"].size(), 2u) << story.dump();
  const nlohmann::json& onlineLine = story["lines"][0];
  EXPECT_EQ(onlineLine["gate"], "127.0.0.1");
  EXPECT_EQ(onlineLine["offline"], false);
  EXPECT_EQ(story["lines"][1]["gate"], "1번 게이트");
  EXPECT_EQ(story["lines"][1]["offline"], true) << "the history marks the decision made offline";
  EXPECT_EQ(story["lines"][1]["at"], lines[0].utcMs) << "at the gate's own time";
  const TimeMsForTest onlineAt = onlineLine["at"];

  const nlohmann::json snapshot = adminGet("/api/v1/ingress?bizcode=" + std::string(TestVenue::kBizCode));
  std::vector<nlohmann::json> alarms;
  for (const nlohmann::json& a : snapshot["alarms"])
    if (a["kind"] == "offline-handover") alarms.push_back(a);
  ASSERT_EQ(alarms.size(), 1u) << snapshot["alarms"].dump();
  EXPECT_EQ(alarms[0]["subject"], "1번 게이트");
  EXPECT_EQ(alarms[0]["count"], 2);
  EXPECT_EQ(alarms[0]["of"], 0) << "nothing refused";
  struct Conflict {
    std::string ticket, gate, otherGate;
    TimeMsForTest at, otherAt;
  };
  const std::vector<Conflict> expected{{ticketNo(0), "1번 게이트", "127.0.0.1", lines[0].utcMs, onlineAt},
                                       {ticketNo(4), "1번 게이트", "1번 게이트", lines[2].utcMs, lines[1].utcMs}};
  ASSERT_EQ(alarms[0]["conflicts"].size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const nlohmann::json& c = alarms[0]["conflicts"][i];
    EXPECT_EQ(c["ticketNo"], expected[i].ticket);
    EXPECT_EQ(c["reason"], "already-inside");
    EXPECT_EQ(c["gate"], expected[i].gate);
    EXPECT_EQ(c["at"], expected[i].at);
    EXPECT_EQ(c["otherGate"], expected[i].otherGate);
    EXPECT_EQ(c["otherAt"], expected[i].otherAt);
  }
  const nlohmann::json& east = snapshot["blocks"][0];
  EXPECT_EQ(east["insideTwice"], 2);
  EXPECT_EQ(east["inside"], 4) << "T0 and T4, and a second person on each";
  EXPECT_EQ(snapshot["offline"]["on"], true);
  ASSERT_EQ(snapshot["stations"].size(), 1u);
  EXPECT_EQ(snapshot["stations"][0]["offlineReady"], true);
  EXPECT_EQ(snapshot["stations"][0]["silent"], false);
  // Every entry of the stand at the minute it was decided.
  std::map<TimeMsForTest, int> wanted, shown;
  for (TimeMsForTest at : {onlineAt, lines[0].utcMs, lines[1].utcMs, lines[2].utcMs}) ++wanted[at / 60000 * 60000];
  const TimeMsForTest first = snapshot["flow"]["firstMinute"];
  const nlohmann::json& entries = snapshot["flow"]["entries"][0];
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (entries[i].get<int>() != 0) shown[first + static_cast<TimeMsForTest>(i) * 60000] = entries[i];
  EXPECT_EQ(shown, wanted);

  // The export marks the three decisions made offline.
  const std::string csv = setupTool({"export-scans", "--store", venue.store, "--place", TestVenue::kPlace,
                                     "--bizcode", TestVenue::kBizCode, "--csv", "-"});
  std::istringstream rows(csv);
  std::map<std::string, int> kinds;  // of T0's and T4's lines
  for (std::string row; std::getline(rows, row);) {
    if (row.find(ticketNo(0)) == std::string::npos && row.find(ticketNo(4)) == std::string::npos) continue;
    const std::size_t kind = row.find(',') + 1;
    ++kinds[row.substr(kind, row.find(',', kind) - kind)];
  }
  EXPECT_EQ(kinds, (std::map<std::string, int>{{"check", 1}, {"check (offline)", 3}})) << csv;
}

}  // namespace
}  // namespace tav::test
