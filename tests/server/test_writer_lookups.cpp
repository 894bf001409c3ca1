// The writer may keep what it read of events and operators between checks: a change to them, made
// by another program, by the store itself or undone with failed work, still decides the next check.
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/server/store_fixture.h"

namespace tav::storetest {
namespace {

const std::string kUnknownOperator = "미등록 운영자";

struct OutsideChange {
  const char* name;
  const char* warmOperator;  // checks T1 first, so that the writer has read this operator and BIZ
  const char* sql;           // run by another program between the two checks
  const char* nextOperator;  // then checks T3
  const char* code;
  const char* message;
};

// Booleans are written as comparisons so that the same text runs on every store.
const std::vector<OutsideChange> kOutsideChanges{
    {"OperatorDeactivated", "admin", "UPDATE operator SET active = (1 = 0) WHERE operator_id = 'admin'",
     "admin", "-1", "미등록 운영자"},
    {"OperatorMovedToAnotherVenue", "admin", "UPDATE operator SET place_code = 'P2' WHERE operator_id = 'admin'",
     "admin", "-1", "미등록 운영자"},
    {"RetiredOperatorReactivated", "retired", "UPDATE operator SET active = (1 = 1) WHERE operator_id = 'retired'",
     "retired", "0", "입장 확인"},
    {"OperatorAdded", "admin",
     "INSERT INTO operator(operator_id, password_hash, place_code, active) VALUES('late', 'x', 'P1', (1 = 1))",
     "late", "0", "입장 확인"},
    {"EventMovedToAnotherVenue", "admin",
     "UPDATE event SET active = (1 = 0), place_code = 'P2' WHERE bizcode = 'BIZ'", "admin", "-1",
     "미등록 운영자"},
};

void PrintTo(const OutsideChange& c, std::ostream* os) { *os << c.name; }

using OutsideChangeTest = StoreCaseTest<OutsideChange>;

TEST_P(OutsideChangeTest, DecidesTheNextCheck) {
  const OutsideChange& c = testCase();
  setUpVenues();
  run(check("I", "BIZ", "", "T1", c.warmOperator));
  ASSERT_EQ(space().rawExec(c.sql), "");
  const wire::Recordset rs = run(check("I", "BIZ", "", "T3", c.nextOperator));
  EXPECT_EQ(field(rs, "ErrCode"), c.code);
  EXPECT_EQ(field(rs, "ErrMsg"), c.message);
}

INSTANTIATE_TEST_SUITE_P(Stores, OutsideChangeTest, onEveryStore(kOutsideChanges), CaseOnStoreName());

class WriterLookupTest : public StoreTest {};

TEST_P(WriterLookupTest, ChangeOfAnEarlierWriteIsSeenByTheNext) {
  setUpVenues();
  run(check("I", "BIZ", "", "T1", "admin"));
  store().write([](server::Transaction& tx) {
    ASSERT_TRUE(tx.findEvent("BIZ"));
    tx.deactivateEvents("P1");
  });
  store().write([](server::Transaction& tx) {
    const auto event = tx.findEvent("BIZ");
    ASSERT_TRUE(event);
    EXPECT_FALSE(event->active);
  });
  store().write([](server::Transaction& tx) {
    tx.insertOperator(server::Operator{"fresh", "x", "P1", true});
    const auto op = tx.findOperator("fresh");
    ASSERT_TRUE(op);
    EXPECT_TRUE(op->active);
  });
  // The fresh operator passes and the deactivated event refuses: both changes were seen.
  EXPECT_EQ(field(run(check("I", "BIZ", "", "T3", "fresh")), "ErrMsg"), "진행 중인 공연 아님");
}

TEST_P(WriterLookupTest, WhatFailedWorkReadOrChangedIsForgotten) {
  setUpVenues();
  run(check("I", "BIZ", "", "T1", "admin"));
  EXPECT_THROW(store().write([](server::Transaction& tx) {
    tx.insertEvent(server::Event{"BIZ9", "P1", "취소될 경기", "202604061800", false, false, server::kDefaultOfflineMaxAgeMinutes, ""});
    tx.insertOperator(server::Operator{"ghost", "x", "P1", true});
    ASSERT_TRUE(tx.findEvent("BIZ9"));
    ASSERT_TRUE(tx.findOperator("ghost"));
    tx.deactivateEvents("P1");
    ASSERT_FALSE(tx.findEvent("BIZ")->active);
    throw std::runtime_error("the work fails after its reads");
  }), std::runtime_error);
  store().write([](server::Transaction& tx) {
    EXPECT_FALSE(tx.findEvent("BIZ9"));
    EXPECT_FALSE(tx.findOperator("ghost"));
    const auto event = tx.findEvent("BIZ");
    ASSERT_TRUE(event);
    EXPECT_TRUE(event->active);
  });
  const wire::Recordset rs = run(check("I", "BIZ", "", "T3", "ghost"));
  EXPECT_EQ(field(rs, "ErrMsg"), kUnknownOperator);
  EXPECT_EQ(field(run(check("I", "BIZ", "", "T3", "admin")), "ErrMsg"), "입장 확인");
}

INSTANTIATE_TEST_SUITE_P(Stores, WriterLookupTest, ::testing::ValuesIn(storeKinds()), storeName);

}  // namespace
}  // namespace tav::storetest
