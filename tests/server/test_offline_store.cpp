// Offline checking over a real store of each kind: set-event's switches and list's columns from
// the command line, the list read from the store with each ticket's state and its fetch noted, a
// keyed check's scan-log line keeping its key, and a store from before offline checking brought up.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <sstream>
#include <regex>
#include <tuple>
#include <set>
#include <string>
#include <vector>

#include "offline/handover.h"
#include "offline/list.h"
#include "server/core/copy_store.h"
#include "server/core/demo_data.h"
#include "server/core/ingress.h"
#include "server/core/match_day.h"
#include "server/core/offline_handover.h"
#include "server/core/offline_list.h"
#include "server/core/stations.h"
#include "server/tools/open_store.h"
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

// A hand-over taken into the store line by line: what happened is kept once, counted as the gate's
// entries; a replay, a key the scan log holds and a sequence below the acknowledged one change
// nothing; a copy admitted online meanwhile is one conflict; what the gap or the event does not
// allow is refused; another operator's session hands over nothing.
TEST_P(OfflineStore, HandOverKeepsWhatHappenedOnce) {
  setUpVenues();
  server::setEventOffline(store(), "BIZ", {true, std::nullopt});
  ASSERT_EQ(fetch("BIZ", std::string(offline::kAllBlocks)).refusal, OfflineListRefusal::None);
  const server::Caller station = stationCaller();
  // Online, before the outage: T3 with a key whose record is purged since, T4 without one.
  const std::string onlineKey = "AAAAAAAAAAAAAAAAAAAAAw";
  server::Caller keyed = station;
  keyed.idempotencyKey = onlineKey;
  EXPECT_EQ(field(server::execute(store(), check("I", "BIZ", "", "T3", "admin"), keyed).recordset, "ErrCode"), "0");
  EXPECT_EQ(field(run(check("I", "BIZ", "", "T4", "admin")), "ErrCode"), "0");
  store().write([&](server::Transaction& tx) { tx.forgetCheckKeys(now_ + 1, now_ + 2, 100); });
  const TimeMs outage = now_;
  now_ += 600000;
  const server::HandoverGap gap{outage, now_.load(), 0};

  const auto line = [](std::int64_t seq, const char* ticket, const char* mode, const char* outcome, TimeMs at,
                       std::string key = {}) {
    offline::Decision d;
    d.sequence = seq;
    d.idempotencyKey = key.empty() ? std::string(21, 'K') + static_cast<char>('a' + seq) : key;
    d.utcMs = at;
    d.bizCode = ticket[0] == 'X' ? "BIZ2" : "BIZ";
    d.mode = mode;
    d.ticketNo = ticket;
    d.operatorId = "admin";
    d.outcome = outcome;
    return d;
  };
  const std::vector<offline::Decision> lines{
      line(1, "T1", "I", "entry", outage + 60000),
      line(2, "T3", "I", "entry", outage + 1000, onlineKey),
      line(3, "T4", "I", "entry", outage + 120000),
      line(4, "O'Neil", "O", "not-inside", outage - 99000),  // before the gap: clamped into it
      line(5, "X1", "I", "entry", outage + 180000)};
  struct Expected {
    std::string_view result;
    std::string outcome;  // the scan-log line's, empty for none written
  };
  const std::vector<Expected> expected{{offline::kResultAccepted, "entry"},
                                       {offline::kResultSame, ""},
                                       {offline::kResultConflict, std::string(server::kOutcomeOfflineConflict)},
                                       {offline::kResultAccepted, "not-inside"},
                                       {offline::kResultRefused, ""}};
  const std::size_t logged = scanLog().size();
  const server::HandoverOutcome first = server::handOver(store(), station, lines, gap);
  ASSERT_EQ(first.refusal, server::HandoverRefusal::None) << first.sentence;
  ASSERT_EQ(first.answer.results.size(), lines.size());
  EXPECT_EQ(first.answer.acknowledgedUpTo, 5);
  EXPECT_FALSE(first.answer.gap);
  const std::vector<server::ScanRecord> log = scanLog();
  ASSERT_EQ(log.size(), logged + 3);
  std::size_t next = logged;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(first.answer.results[i].result, expected[i].result) << lines[i].ticketNo << ": " << first.answer.results[i].why;
    if (expected[i].outcome.empty()) continue;
    const server::ScanRecord& l = log[next++];
    EXPECT_EQ(l.ticketNo, lines[i].ticketNo);
    EXPECT_EQ(l.outcome, expected[i].outcome);
    EXPECT_EQ(l.code, server::kHandoverCode);
    EXPECT_EQ(l.idempotencyKey, lines[i].idempotencyKey);
    EXPECT_EQ(l.source, server::stationSource(station.station));
    EXPECT_EQ(l.at, std::clamp(lines[i].utcMs, gap.from, gap.to));
  }
  EXPECT_NE(log[logged + 1].message.find("already-inside"), std::string::npos) << log[logged + 1].message;
  EXPECT_EQ(ticket("BIZ", "T1")->lastEntry, outage + 60000);
  EXPECT_TRUE(ticket("BIZ", "T1")->inside);
  std::int64_t admitted = 0, entries = 0;
  store().read([&](server::Reader& r) {
    admitted = r.countAdmitted("BIZ").total;
    for (const server::IngressFlow& f : r.ingressCounts(server::IngressQuery{"BIZ"}).flow) entries += f.entries;
  });
  EXPECT_EQ(admitted, 3) << "T1 offline, T3 and T4 online";
  EXPECT_EQ(entries, 4) << "the dashboard counts the offline entry as an entry, and T4's copy let in while T4 was "
                           "inside as a second person's";

  // A replay changes nothing; a later request that skips sequences shows them as a gap.
  const server::HandoverOutcome replay = server::handOver(store(), station, lines, gap);
  for (const offline::HandoverResult& r : replay.answer.results) EXPECT_EQ(r.result, offline::kResultSame);
  EXPECT_EQ(replay.answer.acknowledgedUpTo, 5);
  EXPECT_EQ(scanLog().size(), logged + 3);

  // An exit older than the ticket's last change is kept but changes nothing; once the gap is used
  // up, or with offline checking off, lines are refused; a skipped sequence shows as a gap.
  const server::HandoverOutcome late =
      server::handOver(store(), station, {line(8, "T1", "O", "exit", outage + 30000)}, gap);
  EXPECT_EQ(late.answer.gap, std::make_pair(std::int64_t{6}, std::int64_t{7}));
  EXPECT_EQ(late.answer.results.at(0).result, offline::kResultAccepted);
  EXPECT_TRUE(ticket("BIZ", "T1")->inside) << "the entry after it stands";
  const server::HandoverOutcome forged = server::handOver(store(), station, {line(9, "T1", "O", "exit", now_)},
                                                           server::HandoverGap{now_ - 900, now_.load(), 0});
  EXPECT_EQ(forged.answer.results.at(0).result, offline::kResultRefused) << forged.answer.results.at(0).why;
  server::setEventOffline(store(), "BIZ", {false, std::nullopt});
  const server::HandoverOutcome off = server::handOver(store(), station, {line(10, "T1", "O", "exit", now_)}, gap);
  EXPECT_EQ(off.answer.results.at(0).result, offline::kResultRefused);
  EXPECT_TRUE(ticket("BIZ", "T1")->inside);
  EXPECT_EQ(off.answer.acknowledgedUpTo, 10) << "refused lines are not sent again";

  server::Caller stranger = station;
  stranger.sessionToken = openSessionOf("other");
  const std::size_t before = scanLog().size();
  EXPECT_EQ(server::handOver(store(), stranger, {line(11, "T1", "O", "exit", now_)}, gap).refusal,
            server::HandoverRefusal::NotAllowed);
  EXPECT_EQ(scanLog().size(), before);
  std::int64_t acknowledged = 0;
  store().read([&](server::Reader& r) { acknowledged = r.acknowledgedSequence(station.station); });
  EXPECT_EQ(acknowledged, 10);
}

// Conflicts reach the control room: one alarm per hand-over naming each conflict's ticket, both
// gates and both times, and each refused decision with why; a holder let in while the ticket was
// inside counts in the stand and in its minute; each station's list makes it offline ready until
// the event's max age; and copy-store moves the conflicts, the noted lists and the acknowledged
// sequence.
TEST_P(OfflineStore, ConflictsMakeOneAlarmPerHandOverAndCountInTheStand) {
  setUpVenues();
  server::setEventOffline(store(), "BIZ", {true, std::nullopt});
  const TimeMs listed = now_;
  ASSERT_EQ(fetch("BIZ", std::string(offline::kAllBlocks)).refusal, OfflineListRefusal::None);
  const server::Caller station = stationCaller();
  const std::string gate = server::stationSource(station.station);
  EXPECT_EQ(field(runFrom("127.0.0.7", check("I", "BIZ", "", "T1", "admin")), "ErrCode"), "0");
  const TimeMs outage = now_;
  now_ += 600000;
  const server::HandoverGap gap{outage, now_.load(), 0};
  const auto line = [](std::int64_t seq, const char* ticket, TimeMs at) {
    offline::Decision d;
    d.sequence = seq;
    d.idempotencyKey = std::string(21, 'C') + static_cast<char>('a' + seq);
    d.utcMs = at;
    d.bizCode = "BIZ";
    d.mode = "I";
    d.ticketNo = ticket;
    d.operatorId = "admin";
    d.outcome = "entry";
    return d;
  };
  const server::HandoverOutcome first = server::handOver(
      store(), station,
      {line(1, "T1", outage + 60000), line(2, "T2", outage + 120000), line(3, "T3", outage + 180000),
       line(4, "NOPE", outage + 240000)},
      gap);
  const server::HandoverOutcome second = server::handOver(store(), station, {line(5, "T3", outage + 300000)}, gap);
  const server::HandoverOutcome none = server::handOver(store(), station, {line(6, "T4", outage + 360000)}, gap);
  EXPECT_EQ(none.conflictAlarm, 0) << "a hand-over without conflicts raises nothing";
  // Refused: a decision the station's silence cannot hold, reported; another venue's, told to the
  // station alone.
  offline::Decision elsewhere = line(8, "X1", outage);
  elsewhere.bizCode = "BIZ2";
  const server::HandoverOutcome refused = server::handOver(store(), station, {line(7, "T1", now_ - 100), elsewhere},
                                                           server::HandoverGap{now_ - 900, now_.load(), 0});
  ASSERT_EQ(refused.answer.results.size(), 2u);
  EXPECT_EQ(refused.answer.results[0].result, offline::kResultRefused);
  EXPECT_EQ(refused.answer.results[1].result, offline::kResultRefused);

  struct Expected {
    const char* ticket;
    const char* block;
    const char* reason;
    TimeMs at;
    std::string otherGate;
    std::optional<TimeMs> otherAt;
    std::int64_t alarm;
  };
  const std::vector<Expected> expected{
      {"T1", "E석", "already-inside", outage + 60000, "127.0.0.7", outage, first.conflictAlarm},
      {"T2", "N석", "cancelled", outage + 120000, "", std::nullopt, first.conflictAlarm},
      {"NOPE", "", "unknown-ticket", outage + 240000, "", std::nullopt, first.conflictAlarm},
      {"T3", "S석", "already-inside", outage + 300000, gate, outage + 180000, second.conflictAlarm},
      {"T1", "", "refused", gap.to - 100, "", std::nullopt, refused.conflictAlarm}};
  std::vector<server::OfflineConflict> kept;
  store().read([&](server::Reader& r) { kept = r.offlineConflicts("BIZ"); });
  ASSERT_EQ(kept.size(), expected.size());
  EXPECT_EQ(kept[0].id, first.conflictAlarm) << "a hand-over's alarm is its first conflict";
  EXPECT_NE(second.conflictAlarm, first.conflictAlarm);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Expected& e = expected[i];
    const server::OfflineConflict& c = kept[i];
    EXPECT_EQ(std::tie(c.ticketNo, c.block, c.reason, c.gate, c.at, c.otherGate, c.otherAt, c.alarm, c.handedAt),
              std::tie(e.ticket, e.block, e.reason, gate, e.at, e.otherGate, e.otherAt, e.alarm, gap.to))
        << e.ticket;
    EXPECT_EQ(c.why.empty(), c.reason != server::kOfflineRefused) << c.why;
  }
  store().read([&](server::Reader& r) { EXPECT_TRUE(r.offlineConflicts("BIZ2").empty()); });

  // The snapshot: the two alarms with their gates by name, two second persons in the stands.
  const auto snapshot = [&] { return server::takeIngressSnapshot(store(), "P1", "BIZ"); };
  server::IngressSnapshot s = snapshot();
  std::vector<const server::IngressAlarm*> alarms;
  for (const server::IngressAlarm& a : s.alarms)
    if (a.kind == "offline-handover") alarms.push_back(&a);
  ASSERT_EQ(alarms.size(), 3u);
  EXPECT_EQ(std::make_pair(alarms[0]->count, alarms[0]->of), std::make_pair(std::int64_t{3}, std::int64_t{0}));
  EXPECT_EQ(std::make_pair(alarms[1]->count, alarms[1]->of), std::make_pair(std::int64_t{1}, std::int64_t{0}));
  EXPECT_EQ(std::make_pair(alarms[2]->count, alarms[2]->of), std::make_pair(std::int64_t{0}, std::int64_t{1}));
  EXPECT_EQ(alarms[0]->subject, "1번 게이트");
  EXPECT_EQ(alarms[0]->since, gap.to);
  EXPECT_EQ(alarms[0]->conflicts.at(0).gate, "1번 게이트");
  EXPECT_EQ(alarms[0]->conflicts.at(0).otherGate, "127.0.0.7");
  EXPECT_EQ(alarms[1]->conflicts.at(0).otherGate, "1번 게이트");
  EXPECT_EQ(s.insideTwice, (std::array<std::int64_t, server::kBlockCount>{1, 0, 1, 0}));
  EXPECT_EQ(s.counts.inside, (std::array<std::int64_t, server::kBlockCount>{2, 0, 2, 1}))
      << "T1 and its copy, T3 and its copy, T4";
  std::map<std::pair<std::int64_t, std::size_t>, std::int64_t> entries;  // by minute and block
  for (const server::IngressFlow& f : s.counts.flow) entries[{f.minute, f.block}] += f.entries;
  const auto minute = [](TimeMs at) { return at / server::kMinuteMs; };
  EXPECT_EQ(entries, (std::map<std::pair<std::int64_t, std::size_t>, std::int64_t>{
                         {{minute(outage), 0}, 1},
                         {{minute(outage + 60000), 0}, 1},
                         {{minute(outage + 180000), 2}, 1},
                         {{minute(outage + 300000), 2}, 1},
                         {{minute(outage + 360000), 3}, 1}}))
      << "each offline decision at its own minute";
  ASSERT_EQ(s.stations.size(), 1u);
  EXPECT_TRUE(s.stations[0].offlineReady);
  EXPECT_EQ(s.stations[0].listFetchedAt, listed);

  // Past the event's max age the list is stale; past the alarm's time the conflicts are no alarm,
  // while the second persons stay counted.
  now_ = listed + server::kDefaultOfflineMaxAgeMinutes * server::kMinuteMs + 1;
  EXPECT_FALSE(snapshot().stations.at(0).offlineReady);
  now_ = gap.to + server::kConflictAlarmMs + 1;
  s = snapshot();
  EXPECT_TRUE(std::none_of(s.alarms.begin(), s.alarms.end(),
                           [](const server::IngressAlarm& a) { return a.kind == "offline-handover"; }));
  EXPECT_EQ(s.insideTwice[0], 1);

  // copy-store moves the conflicts, the noted lists, the acknowledged sequence and the counts.
  test::TempDir dir;
  auto copy = server::openStore(dir.file("copy.db"), true);
  server::copyStore(store(), *copy);
  const auto describe = [](server::Store& from, std::int64_t stationId) {
    std::ostringstream out;
    from.read([&](server::Reader& r) {
      for (const server::OfflineConflict& c : r.offlineConflicts("BIZ"))
        out << c.id << " " << c.alarm << " " << c.handedAt << " " << c.ticketNo << " " << c.block << " " << c.reason
            << " " << c.gate << " " << c.at << " " << c.otherGate << " " << c.otherAt.value_or(-1) << " " << c.why
            << "\n";
      for (const server::OfflineListFetch& f : r.offlineListFetches(stationId))
        out << f.bizCode << " " << f.block << " " << f.fetchedAt << "\n";
      out << "acknowledged " << r.acknowledgedSequence(stationId) << "\n";
      server::IngressQuery q{"BIZ"};
      const server::IngressCounts counts = r.ingressCounts(q);
      for (const server::IngressFlow& f : counts.flow) out << f.minute << " " << f.block << " " << f.entries << "\n";
    });
    return out.str();
  };
  EXPECT_EQ(describe(*copy, station.station), describe(store(), station.station));
  EXPECT_NE(describe(*copy, station.station).find("acknowledged 8"), std::string::npos);
}

// A store from before offline checking: each event has it off, with the default max age and a key
// of its own; the scan log's lines keep no key; and it can be turned on at once.
TEST_P(OfflineStore, OlderStoreGainsOfflineCheckingOffWithAKeyPerEvent) {
  setUpVenues();
  run(check("I", "BIZ", "", "T1", "admin"));
  const bool sqlite = std::string(kind().name) == "SQLite";
  const int version = sqlite ? server::sqliteSchemaVersion() : server::postgresSchemaVersion();
  const std::string previous = std::to_string(version - kSchemaVersionsSinceOfflineChecking);
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
