// Statistics read counters of admitted tickets that the store keeps as tickets change: every way a
// ticket is admitted, moved or copied in counts it once, and stores made before the counters
// existed open with the same figures.
#include <gtest/gtest.h>

#include <array>

#include "tests/server/store_fixture.h"
#include "server/tools/open_store.h"

namespace tav::storetest {
namespace {

// Total, E석, N석, S석, W석 of the event, as the statistics answer gives them.
using Figures = std::array<std::string, 5>;

class AdmittedCountTest : public StoreTest {
 protected:
  Figures figures(const std::string& biz = "BIZ") {
    const wire::Recordset rs = run(kBooking + "'S','" + biz + "','','',''");
    return {field(rs, "Total"), field(rs, "E석"), field(rs, "N석"), field(rs, "S석"), field(rs, "W석")};
  }
  std::string admit(const std::string& ticketNo) { return field(run(check("I", "BIZ", "", ticketNo, "admin")), "ErrCode"); }
  std::string letOut(const std::string& ticketNo) { return field(run(check("O", "BIZ", "", ticketNo, "admin")), "ErrCode"); }
};

TEST_P(AdmittedCountTest, EntriesCountEachTicketOnceWhateverFollows) {
  setUpVenues();
  EXPECT_EQ(figures(), (Figures{"0", "0", "0", "0", "0"}));
  ASSERT_EQ(admit("T1"), "0");
  ASSERT_EQ(admit("T3"), "0");
  ASSERT_EQ(admit("O''Neil"), "0");
  EXPECT_EQ(figures(), (Figures{"3", "2", "0", "1", "0"}));
  ASSERT_EQ(admit("T1"), "-2");      // already inside
  ASSERT_EQ(letOut("T1"), "0");      // still counted: it was admitted
  ASSERT_EQ(admit("T1"), "-3");      // re-entry
  ASSERT_EQ(admit("T2"), "-1");      // cancelled
  ASSERT_EQ(admit("NOPE"), "-1");    // unknown
  EXPECT_EQ(figures(), (Figures{"3", "2", "0", "1", "0"}));
  ASSERT_EQ(admit("T4"), "0");
  EXPECT_EQ(figures(), (Figures{"4", "2", "0", "1", "1"}));
  EXPECT_EQ(figures("BIZ2"), (Figures{"0", "0", "0", "0", "0"}));
}

TEST_P(AdmittedCountTest, TicketsCopiedInWithTheirEntriesAreCounted) {
  setUpVenues();
  ASSERT_EQ(admit("T1"), "0");
  store().write([](server::Transaction& tx) {
    server::Ticket t;
    t.id = 9001;
    t.bizCode = "BIZ";
    t.ticketNo = "C1";
    t.custName = "정하늘";
    t.goodsName = "프로야구 개막전";
    t.playDate = "202604041400";
    t.placeName = "잠실종합운동장";
    t.seatGradeName = "R석";
    t.seatInfo = "N석 1층 1열 1번";
    t.block = "N석";
    t.inside = true;
    t.entryCount = 2;
    t.firstEntry = t.lastEntry = 1775280000000;
    tx.restoreTicket(t);
    t.id = 9002;
    t.ticketNo = "C2";
    t.inside = false;
    t.entryCount = 0;
    t.firstEntry = t.lastEntry = std::nullopt;
    tx.restoreTicket(t);
  });
  EXPECT_EQ(figures(), (Figures{"2", "1", "1", "0", "0"}));
  ASSERT_EQ(admit("C2"), "0");
  EXPECT_EQ(figures(), (Figures{"3", "1", "2", "0", "0"}));
}

// Another program changing tickets by hand: the counters follow the tickets they count.
TEST_P(AdmittedCountTest, TicketsChangedByHandMoveTheirCount) {
  setUpVenues();
  ASSERT_EQ(admit("T1"), "0");
  ASSERT_EQ(admit("T3"), "0");
  ASSERT_EQ(space().rawExec("UPDATE ticket SET block = 'W석' WHERE ticket_no = 'T1'"), "");
  EXPECT_EQ(figures(), (Figures{"2", "0", "0", "1", "1"}));
  ASSERT_EQ(space().rawExec("UPDATE ticket SET entry_count = 0, inside = (1 = 0) WHERE ticket_no = 'T3'"), "");
  EXPECT_EQ(figures(), (Figures{"1", "0", "0", "0", "1"}));
  ASSERT_EQ(space().rawExec("UPDATE ticket SET entry_count = 1 WHERE ticket_no = 'T4'"), "");
  EXPECT_EQ(figures(), (Figures{"2", "0", "0", "0", "2"}));
  ASSERT_EQ(space().rawExec("DELETE FROM ticket WHERE ticket_no = 'T1'"), "");
  EXPECT_EQ(figures(), (Figures{"1", "0", "0", "0", "1"}));
}

INSTANTIATE_TEST_SUITE_P(Stores, AdmittedCountTest, ::testing::ValuesIn(storeKinds()), storeName);

// A store file from before the counters: an index of admitted tickets and schema version 1.
TEST(AdmittedCountMigration, OlderStoreOpensWithTheSameFigures) {
  SqliteSpace space;
  Figures before;
  {
    auto store = server::openStore(space.location(), true);
    server::addVenue(*store, "P1", "잠실종합운동장");
    server::addEvent(*store, "P1", "BIZ", "프로야구 개막전", "202604041400", true);
    server::addOperator(*store, "admin", "secret-pw", "P1");
    store->write([](server::Transaction& tx) {
      for (int i = 0; i < 40; ++i) {
        server::Ticket t;
        t.bizCode = "BIZ";
        t.ticketNo = "M" + std::to_string(i);
        t.custName = t.goodsName = t.playDate = t.placeName = t.seatGradeName = t.seatInfo = "-";
        t.block = server::kBlocks[static_cast<std::size_t>(i) % 4];
        tx.insertTicket(t);
      }
    });
    const server::Caller station = signedIn(*store);
    for (int i = 0; i < 40; i += 3)
      server::execute(*store, checkText("I", "BIZ", "", "M" + std::to_string(i), "admin"), station);
    const wire::Recordset rs = server::execute(*store, kBooking + "'S','BIZ','','',''", station).recordset;
    before = {field(rs, "Total"), field(rs, "E석"), field(rs, "N석"), field(rs, "S석"), field(rs, "W석")};
  }
  ASSERT_EQ(before, (Figures{"14", "4", "3", "3", "4"}));
  ASSERT_EQ(space.rawExec(dropDashboardCounters(true) + "DROP TRIGGER ticket_admitted_insert; DROP TRIGGER ticket_admitted_delete; "
                          "DROP TRIGGER ticket_admitted_update; DROP TABLE admitted_count; "
                          "CREATE INDEX ticket_admitted ON ticket(bizcode, block) WHERE entry_count > 0; "
                          "DROP TABLE session; ALTER TABLE scan_log DROP COLUMN session; "
                          "ALTER TABLE operator DROP COLUMN role; ALTER TABLE scan_log DROP COLUMN source; "
                          "DELETE FROM schema_version WHERE version > 1; PRAGMA user_version = 1;"),
            "");

  auto store = server::openStore(space.location(), false);
  const server::Caller station = signedIn(*store);
  const wire::Recordset rs = server::execute(*store, kBooking + "'S','BIZ','','',''", station).recordset;
  EXPECT_EQ((Figures{field(rs, "Total"), field(rs, "E석"), field(rs, "N석"), field(rs, "S석"), field(rs, "W석")}),
            before);
  server::execute(*store, checkText("I", "BIZ", "", "M1", "admin"), station);
  const wire::Recordset after = server::execute(*store, kBooking + "'S','BIZ','','',''", station).recordset;
  EXPECT_EQ(field(after, "Total"), "15");
  EXPECT_EQ(field(after, "N석"), "4");
}

}  // namespace
}  // namespace tav::storetest
