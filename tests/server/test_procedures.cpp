// The procedures through execute() on a real store: the ticket-check decision table, statistics,
// both sign-ins, the lockout, apostrophes, refused commands and the admission race.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "server/core/command_parser.h"
#include "server/core/local_time.h"
#include "server/core/procedures.h"
#include "store_fixture.h"

namespace tav::storetest {
namespace {

using server::BadCommand;
using namespace std::string_literals;

using ProcedureTest = StoreTest;

const std::vector<std::string> kDetailFields{"CustName",  "TicketNo",      "GoodsName", "PlayDate",
                                             "PlaceName", "SeatGradeName", "SeatInfo"};

struct CheckCase {
  const char* name;
  std::vector<std::string> before;  // ticket checks run first, one minute apart
  std::string command;
  std::string code, message;
  bool details;                     // the booking details of the ticket, or all empty
  bool insideAfter, enteredAfter;   // the ticket's state afterwards (T1 unless the case says)
};

using DecisionTable = StoreCaseTest<CheckCase>;

TEST_P(DecisionTable, AnswersLogsAndUpdates) {
  setUpVenues();
  const CheckCase& c = testCase();
  const TimeMs start = now_;
  for (const auto& cmd : c.before) {
    run(cmd);
    now_ += 60'000;
  }
  const auto logBefore = scanLog();

  wire::Recordset rs = run(c.command);

  ASSERT_EQ(rs.fields, (std::vector<std::string>{"ErrCode", "ErrMsg", "CustName", "TicketNo", "GoodsName",
                                                 "PlayDate", "PlaceName", "SeatGradeName", "SeatInfo"}));
  ASSERT_EQ(rs.rows.size(), 1u);
  for (const auto& v : rs.rows[0]) EXPECT_TRUE(std::holds_alternative<std::string>(v));
  EXPECT_EQ(field(rs, "ErrCode"), c.code);
  // "-2" for a ticket inside names the time of its last entry, the first of the checks before.
  std::string message = c.message;
  if (auto at = message.find("HH:MM"); at != std::string::npos)
    message.replace(at, 5, server::formatLocalTime(start, "%H:%M"));
  EXPECT_EQ(field(rs, "ErrMsg"), message);

  auto parsed = server::parseCommand(c.command);
  const std::string ticketNo = parsed.args[3];
  const std::string biz = parsed.args[1];
  std::optional<server::Ticket> t = ticket(biz, ticketNo);
  for (const auto& f : kDetailFields) {
    std::string expected;
    if (c.details) {
      ASSERT_TRUE(t.has_value());
      expected = f == "CustName" ? t->custName : f == "TicketNo" ? t->ticketNo
               : f == "GoodsName" ? t->goodsName : f == "PlayDate" ? t->playDate
               : f == "PlaceName" ? t->placeName : f == "SeatGradeName" ? t->seatGradeName : t->seatInfo;
      EXPECT_FALSE(expected.empty()) << f;
    }
    EXPECT_EQ(field(rs, f), expected) << f;
  }

  auto logAfter = scanLog();
  ASSERT_EQ(logAfter.size(), logBefore.size() + 1);
  const auto& line = logAfter.back();
  EXPECT_EQ(line.kind, "check");
  EXPECT_EQ(line.code, c.code);
  EXPECT_EQ(line.message, message);
  EXPECT_EQ(line.ticketNo, ticketNo);
  EXPECT_EQ(line.mode, parsed.args[0]);
  // An ID that is no operator's is never kept in clear: it may be a password typed in its box.
  const bool isOperator = parsed.args[4] == "admin" || parsed.args[4] == "other" || parsed.args[4] == "retired";
  EXPECT_EQ(line.operatorId, isOperator ? parsed.args[4] : "?");
  EXPECT_EQ(line.at, now_.load());

  std::optional<server::Ticket> t1 = ticket("BIZ", "T1");
  ASSERT_TRUE(t1.has_value());
  EXPECT_EQ(t1->inside, c.insideAfter);
  EXPECT_EQ(t1->entryCount > 0, c.enteredAfter);
}

std::string chk(const std::string& mode, const std::string& biz, const std::string& block,
                const std::string& ticketNo, const std::string& op) {
  return checkText(mode, biz, block, ticketNo, op);
}

const std::string kIn1 = chk("I", "BIZ", "", "T1", "admin");
const std::string kOut1 = chk("O", "BIZ", "", "T1", "admin");

INSTANTIATE_TEST_SUITE_P(
    Checks, DecisionTable,
    onEveryStore<CheckCase>({
        // Requests the procedure does not know.
        CheckCase{"ModeUnknown", {}, chk("X", "BIZ", "", "T1", "admin"), "-1", "잘못된 요청입니다", false, false, false},
        CheckCase{"ModeLowerCase", {}, chk("i", "BIZ", "", "T1", "admin"), "-1", "잘못된 요청입니다", false, false, false},
        CheckCase{"ModeEmpty", {}, chk("", "BIZ", "", "T1", "admin"), "-1", "잘못된 요청입니다", false, false, false},
        CheckCase{"BizCodeUnknown", {}, chk("I", "NOPE", "", "T1", "admin"), "-1", "잘못된 요청입니다", false, false, false},
        CheckCase{"BizCodeEmpty", {}, chk("I", "", "", "T1", "admin"), "-1", "잘못된 요청입니다", false, false, false},
        // Who asks comes before what is asked: the session's operator before the mode.
        CheckCase{"OperatorBeforeBadMode", {}, chk("X", "BIZ", "", "T1", "nobody"), "-1", "미등록 운영자", false, false, false},
        // The operator.
        CheckCase{"OperatorUnknown", {}, chk("I", "BIZ", "", "T1", "nobody"), "-1", "미등록 운영자", false, false, false},
        CheckCase{"OperatorEmpty", {}, chk("I", "BIZ", "", "T1", ""), "-1", "미등록 운영자", false, false, false},
        CheckCase{"OperatorInactive", {}, chk("I", "BIZ", "", "T1", "retired"), "-1", "미등록 운영자", false, false, false},
        CheckCase{"OperatorOfOtherVenue", {}, chk("I", "BIZ", "", "T1", "other"), "-1", "미등록 운영자", false, false, false},
        CheckCase{"OperatorIdCaseMatters", {}, chk("I", "BIZ", "", "T1", "ADMIN"), "-1", "미등록 운영자", false, false, false},
        CheckCase{"OperatorBeforeTicket", {}, chk("I", "BIZ", "", "NOPE", "nobody"), "-1", "미등록 운영자", false, false, false},
        // The ticket. The decision on its state is the rule's, tested on the rule itself
        // (tests/rule); here one case of each of its outcomes, through the store and the scan log.
        CheckCase{"TicketUnknown", {}, chk("I", "BIZ", "", "NOPE", "admin"), "-1", "등록되지 않은 티켓입니다", false, false, false},
        CheckCase{"TicketOfOtherEvent", {}, chk("I", "BIZ", "", "X1", "admin"), "-1", "등록되지 않은 티켓입니다", false, false, false},
        CheckCase{"TicketWithBlank", {}, chk("I", "BIZ", "", "T1 ", "admin"), "-1", "등록되지 않은 티켓입니다", false, false, false},
        CheckCase{"TicketCancelled", {}, chk("I", "BIZ", "", "T2", "admin"), "-1", "취소된 티켓입니다", false, false, false},
        CheckCase{"WrongBlock", {}, chk("I", "BIZ", "N석", "T1", "admin"), "-1", "입장 구역 아님 (E석)", false, false, false},
        // Entry.
        CheckCase{"FirstEntry", {}, kIn1, "0", "입장 확인", true, true, true},
        CheckCase{"EntryWithoutStatusColumn", {}, chk("I", "BIZ", "S석", "T3", "admin"), "0", "입장 확인", true, false, false},
        CheckCase{"AlreadyInside", {kIn1}, kIn1, "-2", "이미 입장 (HH:MM)", false, true, true},
        CheckCase{"EntryAfterExit", {kIn1, kOut1}, kIn1, "-3", "재입장 확인", true, true, true},
        // Exit.
        CheckCase{"ExitNeverEntered", {}, kOut1, "-2", "입장 기록 없음", false, false, false},
        CheckCase{"ExitInside", {kIn1}, kOut1, "0", "퇴장 확인", true, false, true}}),
    CaseOnStoreName());

TEST_P(ProcedureTest, AlreadyInsideShowsLocalClockOfLastEntry) {
  setUpVenues();
  now_ = localTime(2026, 4, 4, 9, 7);
  run(check("I", "BIZ", "", "T4", "admin"));
  now_ = localTime(2026, 4, 4, 21, 30);
  EXPECT_EQ(field(run(check("I", "BIZ", "", "T4", "admin")), "ErrMsg"), "이미 입장 (09:07)");
}

TEST_P(ProcedureTest, EntryKeepsFirstAndLastTimes) {
  setUpVenues();
  const TimeMs t0 = now_;
  run(check("I", "BIZ", "", "T1", "admin"));
  now_ += 1000;
  run(check("O", "BIZ", "", "T1", "admin"));
  now_ += 1000;
  run(check("I", "BIZ", "", "T1", "admin"));
  auto t = ticket("BIZ", "T1");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->entryCount, 2);
  EXPECT_EQ(t->firstEntry, t0);
  EXPECT_EQ(t->lastEntry, t0 + 2000);
  EXPECT_EQ(t->lastExit, t0 + 1000);
  EXPECT_TRUE(t->inside);
}

TEST_P(ProcedureTest, ApostropheReachesTheStoreAsOne) {
  setUpVenues();
  // The station doubles the apostrophe of O'Neil; the ticket is found and admitted as O'Neil.
  wire::Recordset rs = run(check("I", "BIZ", "", "O''Neil", "admin"));
  EXPECT_EQ(field(rs, "ErrCode"), "0");
  EXPECT_EQ(field(rs, "TicketNo"), "O'Neil");
  EXPECT_EQ(field(rs, "CustName"), "Sean O'Neil");
  EXPECT_EQ(scanLog().back().ticketNo, "O'Neil");
  // Sent undoubled it is not a command at all; the ticket stays inside, nothing is logged.
  const auto logSize = scanLog().size();
  EXPECT_THROW(run(check("O", "BIZ", "", "O'Neil", "admin")), BadCommand);
  EXPECT_EQ(scanLog().size(), logSize);
  EXPECT_TRUE(ticket("BIZ", "O'Neil")->inside);
  // A doubled apostrophe that makes another number is that other number.
  EXPECT_EQ(field(run(check("I", "BIZ", "", "O''''Neil", "admin")), "ErrMsg"), "등록되지 않은 티켓입니다");
  EXPECT_EQ(scanLog().back().ticketNo, "O''Neil");
}

TEST_P(ProcedureTest, OperatorWithApostropheSignsInAndChecks) {
  setUpVenues();
  server::addOperator(store(), "o'brien", "pa'ss-word", "P1");
  wire::Recordset rs = run(kLogin + "'o''brien','pa''ss-word'");
  EXPECT_EQ(field(rs, "ErrCode"), "0");
  EXPECT_EQ(field(run(check("I", "BIZ", "", "T1", "o''brien")), "ErrCode"), "0");
  EXPECT_EQ(scanLog().back().operatorId, "o'brien");
}

TEST_P(ProcedureTest, RefusedCommandsChangeNothing) {
  setUpVenues();
  run(check("I", "BIZ", "", "T1", "admin"));
  const auto logBefore = scanLog();
  const auto t1Before = ticket("BIZ", "T1");
  const std::vector<std::string> bad{
      "",
      "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'O','BIZ','','T1'",
      "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'O','BIZ','','T1', 'admin','x'",
      "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'O','BIZ','','T1', 'admin'; DELETE FROM ticket",
      "Exec Proc_Unknown 'O','BIZ','','T1', 'admin'",
      "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'O','BIZ','','T1\xFF', 'admin'",
      "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'O','BIZ','','T1\0', 'admin'"s,
      "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'admin','secret-pw','x'",
      "UPDATE ticket SET inside = 0",
  };
  for (const auto& text : bad) EXPECT_THROW(run(text), BadCommand) << text;
  const auto logAfter = scanLog();
  EXPECT_EQ(logAfter.size(), logBefore.size());
  const auto t1After = ticket("BIZ", "T1");
  ASSERT_TRUE(t1After);
  EXPECT_EQ(t1After->inside, t1Before->inside);
  EXPECT_EQ(t1After->entryCount, t1Before->entryCount);
  EXPECT_EQ(t1After->lastExit, t1Before->lastExit);
}

TEST_P(ProcedureTest, StatisticsCountTicketsAdmittedAtLeastOnce) {
  setUpVenues();
  auto stats = [&] { return run(kBooking + "'S','BIZ','','',''"); };
  wire::Recordset rs = stats();
  ASSERT_EQ(rs.fields, (std::vector<std::string>{"Total", "E석", "N석", "S석", "W석"}));
  ASSERT_EQ(rs.rows.size(), 1u);
  for (const auto& v : rs.rows[0]) EXPECT_EQ(std::get<std::int64_t>(v), 0);

  run(check("I", "BIZ", "", "T1", "admin"));        // E석
  run(check("O", "BIZ", "", "T1", "admin"));        // left again: still admitted once
  run(check("I", "BIZ", "", "T1", "admin"));        // re-entry: not a second ticket
  run(check("I", "BIZ", "", "O''Neil", "admin"));   // E석
  run(check("I", "BIZ", "", "T3", "admin"));        // S석
  run(check("I", "BIZ", "", "T2", "admin"));        // cancelled: refused, not counted
  run(check("I", "BIZ", "N석", "T4", "admin"));     // wrong block: refused
  run(check("I", "BIZ2", "", "X1", "other"));       // another event
  rs = stats();
  const std::map<std::string, std::int64_t> expected{
      {"Total", 3}, {"E석", 2}, {"N석", 0}, {"S석", 1}, {"W석", 0}};
  for (std::size_t i = 0; i < rs.fields.size(); ++i)
    EXPECT_EQ(std::get<std::int64_t>(rs.rows[0][i]), expected.at(rs.fields[i])) << rs.fields[i];
  const std::string statsText = kBooking + "'S','BIZ','','',''";
  EXPECT_EQ(server::execute(store(), statsText, server::Caller{"", sessionFor(statsText)}).code, "");

  // Statistics read nothing but the business code, and write nothing.
  const auto logSize = scanLog().size();
  EXPECT_EQ(field(run(kBooking + "'S','BIZ2','ignored','x','y'"), "Total"), "1");
  EXPECT_EQ(scanLog().size(), logSize);
}

TEST_P(ProcedureTest, StatisticsOfUnknownEventIsARefusal) {
  setUpVenues();
  wire::Recordset rs = run(kBooking + "'S','NOPE','','',''");
  EXPECT_EQ(field(rs, "ErrCode"), "-1");
  EXPECT_EQ(field(rs, "ErrMsg"), "잘못된 요청입니다");
}

struct LoginCase {
  const char* name;
  std::string command;
  std::string code, bizCode, theater, goods;
  std::string outcome;
};

using SignIn = StoreCaseTest<LoginCase>;

TEST_P(SignIn, AnswersAndLogs) {
  setUpVenues();
  server::addVenue(store(), "P3", "빈 경기장");
  server::addOperator(store(), "idle", "idle-pass", "P3");
  const LoginCase& c = testCase();
  wire::Recordset rs = run(c.command);
  ASSERT_EQ(rs.fields, (std::vector<std::string>{"ErrCode", "ErrMsg", "bizcode", "TheaterName", "GoodsName"}));
  ASSERT_EQ(rs.rows.size(), 1u);
  EXPECT_EQ(field(rs, "ErrCode"), c.code);
  EXPECT_EQ(field(rs, "bizcode"), c.bizCode);
  EXPECT_EQ(field(rs, "TheaterName"), c.theater);
  EXPECT_EQ(field(rs, "GoodsName"), c.goods);
  EXPECT_FALSE(field(rs, "ErrMsg").empty());
  const auto log = scanLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().outcome, c.outcome);
  EXPECT_EQ(log.back().code, c.code);
  for (const auto& line : log)
    for (const std::string* s : {&line.operatorId, &line.message, &line.outcome, &line.placeCode})
      EXPECT_EQ(s->find("secret-pw"), std::string::npos) << "a password reached the scan log";
}

INSTANTIATE_TEST_SUITE_P(
    Procedures, SignIn,
    onEveryStore<LoginCase>({
        LoginCase{"Operator", kLogin + "'admin','secret-pw'", "0", "BIZ", "잠실종합운동장", "프로야구 개막전", "ok"},
        LoginCase{"OperatorOfSecondVenue", kLogin + "'other','secret2-pw'", "0", "BIZ2", "사직야구장", "사직 경기", "ok"},
        LoginCase{"WrongPassword", kLogin + "'admin','secreT'", "-1", "", "", "", "failed:bad-password"},
        LoginCase{"EmptyPassword", kLogin + "'admin',''", "-1", "", "", "", "failed:bad-password"},
        LoginCase{"OtherOperatorsPassword", kLogin + "'admin','secret2-pw'", "-1", "", "", "", "failed:bad-password"},
        LoginCase{"UnknownOperator", kLogin + "'nobody','secret-pw'", "-1", "", "", "", "failed:unknown-operator"},
        LoginCase{"IdCaseMatters", kLogin + "'Admin','secret-pw'", "-1", "", "", "", "failed:unknown-operator"},
        LoginCase{"InactiveOperator", kLogin + "'retired','retiredpw'", "-1", "", "", "", "failed:inactive-operator"},
        LoginCase{"VenueWithoutActiveEvent", kLogin + "'idle','idle-pass'", "-1", "", "", "", "no-event"},
        LoginCase{"Place", kLogin + "'P1'", "0", "BIZ", "잠실종합운동장", "프로야구 개막전", "ok"},
        LoginCase{"PlaceUnknown", kLogin + "'P9'", "-1", "", "", "", "unknown-place"},
        LoginCase{"PlaceCaseMatters", kLogin + "'p1'", "-1", "", "", "", "unknown-place"},
        LoginCase{"PlaceWithoutActiveEvent", kLogin + "'P3'", "-1", "", "", "", "no-event"}}),
    CaseOnStoreName());

TEST_P(ProcedureTest, SignInFollowsTheActiveEvent) {
  setUpVenues();
  server::addEvent(store(), "P1", "BIZ-NEXT", "다음 경기", "202604111400", true);
  EXPECT_EQ(field(run(kLogin + "'P1'"), "bizcode"), "BIZ-NEXT");
  EXPECT_EQ(field(run(kLogin + "'admin','secret-pw'"), "GoodsName"), "다음 경기");
  // Tickets of the earlier event are refused once it is no longer the active one.
  wire::Recordset rs = run(check("I", "BIZ", "", "T1", "admin"));
  EXPECT_EQ(field(rs, "ErrCode"), "-1");
  EXPECT_EQ(field(rs, "ErrMsg"), "진행 중인 공연 아님");
  EXPECT_FALSE(ticket("BIZ", "T1")->inside);
}

// An event that is not its venue's active one refuses every check after the operator's, before
// the ticket is even looked at; the next active event's tickets pass.
TEST_P(ProcedureTest, ChecksOfAnInactiveEventAreRefusedAfterTheOperator) {
  setUpVenues();
  server::addEvent(store(), "P1", "OLD", "지난 경기", "202603281400", false);
  server::importTickets(store(), "OLD", csv("Z1,고객,지난 경기,202603281400,잠실,R석,E석 1층 1열 1번,E석,valid\n", "old.csv"));
  struct Row {
    std::string command, code, message;
  };
  const std::vector<Row> rows{
      {check("I", "OLD", "", "Z1", "admin"), "-1", "진행 중인 공연 아님"},
      {check("O", "OLD", "", "Z1", "admin"), "-1", "진행 중인 공연 아님"},
      {check("I", "OLD", "", "NOPE", "admin"), "-1", "진행 중인 공연 아님"},
      {check("I", "OLD", "W석", "T2", "admin"), "-1", "진행 중인 공연 아님"},
      {check("I", "OLD", "", "Z1", "nobody"), "-1", "미등록 운영자"},
      {check("I", "OLD", "", "Z1", "other"), "-1", "미등록 운영자"},
      {check("X", "OLD", "", "Z1", "admin"), "-1", "잘못된 요청입니다"},
      {check("I", "BIZ", "", "T1", "admin"), "0", "입장 확인"},
  };
  for (const Row& r : rows) {
    wire::Recordset rs = run(r.command);
    EXPECT_EQ(field(rs, "ErrCode"), r.code) << r.command;
    EXPECT_EQ(field(rs, "ErrMsg"), r.message) << r.command;
    EXPECT_EQ(field(rs, "CustName"), r.code == "0" ? "홍길동" : "") << r.command;
    EXPECT_EQ(scanLog().back().message, r.message) << r.command;
  }
  EXPECT_FALSE(ticket("OLD", "Z1")->inside);
  EXPECT_EQ(ticket("OLD", "Z1")->entryCount, 0);
}

// Each scan-log line names the client's address; an ID that is no operator's, in a sign-in or a
// check, is logged as "?" and is nowhere in the store.
TEST_P(ProcedureTest, ScanLogNamesTheSourceAndNeverAnUnknownId) {
  setUpVenues();
  const std::string typedPassword = "Hunter2-Typed-In-Id";
  runFrom("192.0.2.7", check("I", "BIZ", "", "T1", "admin"));
  runFrom("2001:db8::5", kLogin + "'admin','secret-pw'");
  runFrom("198.51.100.3", kLogin + "'P1'");
  runFrom("192.0.2.8", kLogin + "'" + typedPassword + "','x'");
  runFrom("192.0.2.9", check("I", "BIZ", "", "T3", typedPassword));
  runFrom("192.0.2.10", check("X", "BIZ", "", "T3", typedPassword));
  run(check("I", "BIZ", "", "T4", "admin"));
  const auto log = scanLog();
  ASSERT_EQ(log.size(), 7u);
  const std::vector<std::pair<std::string, std::string>> expected{
      {"192.0.2.7", "admin"}, {"2001:db8::5", "admin"}, {"198.51.100.3", "admin"}, {"192.0.2.8", "?"},
      {"192.0.2.9", "?"},     {"192.0.2.10", "?"},       {"", "admin"}};
  for (std::size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].source, expected[i].first) << i;
    EXPECT_EQ(log[i].operatorId, expected[i].second) << i;
  }
  EXPECT_EQ(log[3].outcome, "failed:unknown-operator");
  EXPECT_EQ(log[4].message, "미등록 운영자");
  // Each line names the session it came with; the sign-in's line names the session it opened.
  EXPECT_NE(log[0].session, 0);
  EXPECT_EQ(log[2].session, log[0].session);
  EXPECT_NE(log[1].session, 0);
  EXPECT_NE(log[1].session, log[0].session);
  EXPECT_EQ(log[3].session, 0);
  EXPECT_FALSE(space().keeps(typedPassword));
}

class Lockout : public StoreTest {
 protected:
  std::string login(const std::string& password) {
    return field(run(kLogin + "'admin','" + password + "'"), "ErrCode");
  }
  std::string loginFrom(const std::string& source, const std::string& password) {
    return field(runFrom(source, kLogin + "'admin','" + password + "'"), "ErrCode");
  }
};

TEST_P(Lockout, FiveFailuresWithinTenMinutesLockForTenMinutes) {
  setUpVenues();
  const TimeMs t0 = now_;
  for (int i = 0; i < 4; ++i) {
    now_ = t0 + i * 60'000;
    EXPECT_EQ(login("wrong"), "-1");
  }
  now_ = t0 + 4 * 60'000;
  EXPECT_EQ(login("secret-pw"), "0") << "four failures do not lock";
  now_ = t0 + 9 * 60'000;
  EXPECT_EQ(login("wrong"), "-1");  // the fifth failure within ten minutes
  const TimeMs lockedAt = now_;
  EXPECT_EQ(scanLog().back().outcome, server::kOutcomeLockout);
  now_ = lockedAt + 1;
  EXPECT_EQ(login("secret-pw"), "-1") << "the right password is refused while locked";
  EXPECT_EQ(scanLog().back().outcome, "locked");
  now_ = lockedAt + server::kLockoutMs - 1;
  EXPECT_EQ(login("secret-pw"), "-1");
  // Other operators are not affected.
  EXPECT_EQ(field(run(kLogin + "'other','secret2-pw'"), "ErrCode"), "0");
  now_ = lockedAt + server::kLockoutMs;
  EXPECT_EQ(login("secret-pw"), "0") << "the lock ends after ten minutes";
  // Failures before the lock do not count again: one new failure does not lock.
  EXPECT_EQ(login("wrong"), "-1");
  EXPECT_EQ(login("secret-pw"), "0");
}

TEST_P(Lockout, FailuresSpreadOverMoreThanTenMinutesDoNotLock) {
  setUpVenues();
  const TimeMs t0 = now_;
  for (int i = 0; i < 8; ++i) {
    now_ = t0 + i * 3 * 60'000;  // never five within ten minutes
    EXPECT_EQ(login("wrong"), "-1");
  }
  EXPECT_EQ(login("secret-pw"), "0");
}

TEST_P(Lockout, UnknownIdsLockNothing) {
  setUpVenues();
  // Logged as "?", an unknown ID's attempts cannot be counted; there is no operator to protect.
  for (int i = 0; i < 6; ++i) EXPECT_EQ(field(run(kLogin + "'ghost','x'"), "ErrCode"), "-1");
  const SignInOutcomes o = signInOutcomes(scanLog());
  EXPECT_EQ(o.failures, 6);
  EXPECT_EQ(o.lockouts + o.locked, 0);
  server::addOperator(store(), "ghost", "boo-boo-boo", "P1");
  EXPECT_EQ(field(run(kLogin + "'ghost','boo-boo-boo'"), "ErrCode"), "0");
}

TEST_P(Lockout, AStrangersFailuresFromAnotherAddressDoNotLockTheOperatorOut) {
  setUpVenues();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(loginFrom("203.0.113.66", "guess" + std::to_string(i)), "-1");
  EXPECT_EQ(scanLog().back().outcome, server::kOutcomeLockout);
  EXPECT_EQ(loginFrom("10.1.2.3", "secret-pw"), "0") << "the operator's own station";
  // The stranger's address stays locked, even with the right password, and is told nothing new.
  wire::Recordset rs = runFrom("203.0.113.66", kLogin + "'admin','secret-pw'");
  EXPECT_EQ(field(rs, "ErrCode"), "-1");
  EXPECT_EQ(field(rs, "ErrMsg"), field(runFrom("10.1.2.3", kLogin + "'admin','wrong'"), "ErrMsg"));
  EXPECT_EQ(scanLog()[scanLog().size() - 2].outcome, "locked");
}

TEST_P(Lockout, FiveFailuresFromTheOperatorsOwnAddressLockIt) {
  setUpVenues();
  const TimeMs t0 = now_;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(loginFrom("10.1.2.3", "wrong"), "-1");
  EXPECT_EQ(loginFrom("10.9.9.9", "wrong"), "-1") << "another address's failure is not the fifth";
  EXPECT_EQ(loginFrom("10.1.2.3", "secret-pw"), "0");
  EXPECT_EQ(loginFrom("10.1.2.3", "wrong"), "-1");
  EXPECT_EQ(scanLog().back().outcome, server::kOutcomeLockout);
  EXPECT_EQ(loginFrom("10.1.2.3", "secret-pw"), "-1");
  EXPECT_EQ(loginFrom("10.1.2.4", "secret-pw"), "0") << "only that address is locked";
  now_ = t0 + server::kLockoutMs;
  EXPECT_EQ(loginFrom("10.1.2.3", "secret-pw"), "0");
}

struct SpreadCase {
  const char* name;
  int failures;  // one from each of this many addresses, a minute apart
  bool locked;
};

using SpreadLockout = StoreCaseTest<SpreadCase>;

TEST_P(SpreadLockout, FiftyFailuresFromAllAddressesWithinAnHourLockEverywhere) {
  setUpVenues();
  const SpreadCase& c = testCase();
  const TimeMs t0 = now_;
  for (int i = 0; i < c.failures; ++i) {
    now_ = t0 + i * 60'000 / 2;  // fifty within 25 minutes
    EXPECT_EQ(field(runFrom("198.18.0." + std::to_string(i + 1), kLogin + "'admin','x'"), "ErrCode"), "-1");
  }
  const TimeMs last = now_;
  EXPECT_EQ(scanLog().back().outcome, c.locked ? server::kOutcomeLockoutAll : "failed:bad-password");
  now_ = last + 1;
  EXPECT_EQ(field(runFrom("10.1.2.3", kLogin + "'admin','secret-pw'"), "ErrCode"), c.locked ? "-1" : "0")
      << "an address that never failed";
  EXPECT_EQ(field(runFrom("10.1.2.3", kLogin + "'other','secret2-pw'"), "ErrCode"), "0") << "other IDs are free";
  now_ = last + server::kLockoutEverywhereMs;
  EXPECT_EQ(field(runFrom("10.1.2.3", kLogin + "'admin','secret-pw'"), "ErrCode"), "0") << "the lock ends";
}

INSTANTIATE_TEST_SUITE_P(Procedures, SpreadLockout,
                         onEveryStore<SpreadCase>({SpreadCase{"FortyNine", 49, false},
                                                   SpreadCase{"Fifty", 50, true}}),
                         CaseOnStoreName());

TEST_P(Lockout, FailuresSpreadOverMoreThanAnHourDoNotLockEverywhere) {
  setUpVenues();
  const TimeMs t0 = now_;
  for (int i = 0; i < 60; ++i) {
    now_ = t0 + i * 75'000;  // at most 48 within any hour
    runFrom("198.18.1." + std::to_string(i + 1), kLogin + "'admin','x'");
  }
  EXPECT_EQ(signInOutcomes(scanLog()).failures, 60);
  EXPECT_EQ(loginFrom("10.1.2.3", "secret-pw"), "0");
}

TEST_P(Lockout, UnlockEndsBothLockouts) {
  setUpVenues();
  for (int i = 0; i < 5; ++i) loginFrom("10.1.2.3", "wrong");
  ASSERT_EQ(loginFrom("10.1.2.3", "secret-pw"), "-1");
  const auto logSize = scanLog().size();
  server::unlockOperator(store(), "admin", server::Caller{"local", {}});
  now_ += 1;
  const auto log = scanLog();
  ASSERT_EQ(log.size(), logSize + 1) << "an unlock adds one line and changes none";
  EXPECT_EQ(log.back().outcome, server::kOutcomeUnlock);
  EXPECT_EQ(log.back().source, "local");
  EXPECT_EQ(loginFrom("10.1.2.3", "secret-pw"), "0");
  // Failures before the unlock do not count toward the next lockout.
  for (int i = 0; i < 4; ++i) loginFrom("10.1.2.3", "wrong");
  EXPECT_EQ(loginFrom("10.1.2.3", "secret-pw"), "0");

  for (int i = 0; i < 50; ++i) runFrom("198.18.2." + std::to_string(i + 1), kLogin + "'admin','x'");
  ASSERT_EQ(loginFrom("10.1.2.3", "secret-pw"), "-1");
  server::unlockOperator(store(), "admin", server::Caller{"local", {}});
  now_ += 1;
  EXPECT_EQ(loginFrom("10.1.2.3", "secret-pw"), "0");
  EXPECT_EQ(loginFrom("198.18.2.1", "secret-pw"), "0");

  EXPECT_THROW(server::unlockOperator(store(), "nobody", server::Caller{"local", {}}), server::SetupError);
}

TEST_P(Lockout, ConcurrentFailuresLockAfterExactlyFive) {
  setUpVenues();
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&] { login("wrong"); });
  for (auto& t : threads) t.join();
  const SignInOutcomes o = signInOutcomes(scanLog());
  EXPECT_EQ(o.failures, 4);
  EXPECT_EQ(o.lockouts, 1);
  EXPECT_EQ(o.locked, 3);
}

// Many stations check the same tickets at once: each ticket is admitted exactly once.
TEST_P(ProcedureTest, ConcurrentChecksAdmitEachTicketOnce) {
  setUpVenues();
  constexpr int kTickets = 200, kThreads = 16;
  std::string rows;
  for (int i = 0; i < kTickets; ++i)
    rows += "R" + std::to_string(i) + ",고객,경기,202604041400,잠실,R석,E석 1층 1열 1번," +
            server::kBlocks[static_cast<std::size_t>(i) % 4] + ",valid\n";
  server::importTickets(store(), "BIZ", csv(rows, "race.csv"));
  const auto logStart = scanLog().size();

  std::vector<std::map<std::string, int>> codes(kThreads);
  std::vector<std::thread> threads;
  const server::Caller station{"", sessionFor(check("I", "BIZ", "", "R0", "admin"))};
  for (int k = 0; k < kThreads; ++k)
    threads.emplace_back([&, k] {
      for (int i = 0; i < kTickets; ++i) {
        // Half the threads go through the tickets backwards, so the same ticket meets itself mid-way.
        int n = k % 2 ? kTickets - 1 - i : i;
        ++codes[static_cast<std::size_t>(k)]
              [server::execute(store(), check("I", "BIZ", "", "R" + std::to_string(n), "admin"), station).code];
      }
    });
  for (auto& t : threads) t.join();

  int admitted = 0, refused = 0;
  for (const auto& c : codes) {
    for (const auto& [code, count] : c) {
      if (code == "0") admitted += count;
      else if (code == "-2") refused += count;
      else ADD_FAILURE() << "unexpected code " << code;
    }
  }
  EXPECT_EQ(admitted, kTickets);
  EXPECT_EQ(refused, kTickets * (kThreads - 1));

  const auto log = scanLog();
  ASSERT_EQ(log.size(), logStart + kTickets * kThreads);
  std::map<std::string, int> admissionsPerTicket;
  for (std::size_t i = logStart; i < log.size(); ++i)
    if (log[i].code == "0") ++admissionsPerTicket[log[i].ticketNo];
  EXPECT_EQ(admissionsPerTicket.size(), static_cast<std::size_t>(kTickets));
  for (const auto& [no, n] : admissionsPerTicket) EXPECT_EQ(n, 1) << no;
  for (int i = 0; i < kTickets; ++i) {
    auto t = ticket("BIZ", "R" + std::to_string(i));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->entryCount, 1);
    EXPECT_TRUE(t->inside);
  }
  EXPECT_EQ(field(run(kBooking + "'S','BIZ','','',''"), "Total"), std::to_string(kTickets));
}

INSTANTIATE_TEST_SUITE_P(Procedures, ProcedureTest, ::testing::ValuesIn(storeKinds()), storeName);
INSTANTIATE_TEST_SUITE_P(Procedures, Lockout, ::testing::ValuesIn(storeKinds()), storeName);

}  // namespace
}  // namespace tav::storetest
