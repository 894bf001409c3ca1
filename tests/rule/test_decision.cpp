// The decision on a ticket's state, called directly: its table of cases, what holds for every
// state and mode, the offline list's own refusal and the offline clock.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "rule/decision.h"

namespace tav::rule {

// Failures name the states they compare.
void PrintTo(const TicketState& s, std::ostream* os) {
  *os << "{" << s.block << (s.cancelled ? " cancelled" : "") << (s.inside ? " inside" : " outside") << " entries "
      << s.entryCount << " lastEntry " << (s.lastEntry ? std::to_string(*s.lastEntry) : "none") << " lastExit "
      << (s.lastExit ? std::to_string(*s.lastExit) : "none") << "}";
}

namespace {

constexpr TimeMs kAt = 1'775'311'500'000;  // the check
constexpr TimeMs kEarlier = kAt - 3'600'000;
constexpr TimeMs kEarliest = kAt - 7'200'000;

// A clock that names the moment it is asked for, so that a message shows which time it was given.
std::string namedMoment(TimeMs at) { return "@" + std::to_string(at); }

TicketState fresh() { return {"E석", false, false, 0, std::nullopt, std::nullopt}; }
TicketState insideSince(TimeMs entry, std::int64_t entries = 1, std::optional<TimeMs> exit = std::nullopt) {
  return {"E석", false, true, entries, entry, exit};
}
TicketState outAfter(TimeMs entry, TimeMs exit, std::int64_t entries = 1) {
  return {"E석", false, false, entries, entry, exit};
}
TicketState cancelledTicket(bool inside) {
  TicketState s = inside ? insideSince(kEarlier) : fresh();
  s.cancelled = true;
  return s;
}

struct RuleCase {
  const char* name;
  std::string mode, block;
  std::optional<TicketState> ticket;
  std::string_view outcome, code;
  std::string message;
  bool details;
  std::optional<TicketState> after;  // none: the ticket does not change
};

void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }

class DecisionTable : public ::testing::TestWithParam<RuleCase> {};

struct CaseName {
  std::string operator()(const ::testing::TestParamInfo<RuleCase>& param) const { return param.param.name; }
};

TEST_P(DecisionTable, AnswersAndChanges) {
  const RuleCase& c = GetParam();
  std::vector<TimeMs> asked;
  const Decision d = decide({c.mode, c.block, c.ticket, kAt}, [&](TimeMs at) {
    asked.push_back(at);
    return namedMoment(at);
  });
  EXPECT_EQ(d.outcome, c.outcome);
  EXPECT_EQ(d.code, c.code);
  EXPECT_EQ(d.message, c.message);
  EXPECT_EQ(d.withDetails, c.details);
  EXPECT_EQ(d.after, c.after);
  // The clock is asked only for a text that shows it.
  EXPECT_EQ(asked.size(), d.outcome == kOutcomeAlreadyInside ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, DecisionTable,
    ::testing::ValuesIn(std::vector<RuleCase>{
        // Modes that are no check's, whatever the ticket.
        {"ModeUnknown", "X", "", fresh(), kOutcomeBadMode, "-1", "잘못된 요청입니다", false, std::nullopt},
        {"ModeLowerCase", "i", "", fresh(), kOutcomeBadMode, "-1", "잘못된 요청입니다", false, std::nullopt},
        {"ModeEmpty", "", "", fresh(), kOutcomeBadMode, "-1", "잘못된 요청입니다", false, std::nullopt},
        {"ModeStatistics", "S", "", fresh(), kOutcomeBadMode, "-1", "잘못된 요청입니다", false, std::nullopt},
        {"ModeBeforeTicket", "X", "", std::nullopt, kOutcomeBadMode, "-1", "잘못된 요청입니다", false, std::nullopt},
        // The ticket.
        {"TicketUnknown", "I", "", std::nullopt, kOutcomeUnknownTicket, "-1", "등록되지 않은 티켓입니다", false,
         std::nullopt},
        {"TicketUnknownOnExit", "O", "", std::nullopt, kOutcomeUnknownTicket, "-1", "등록되지 않은 티켓입니다",
         false, std::nullopt},
        {"TicketUnknownBeforeBlock", "I", "N석", std::nullopt, kOutcomeUnknownTicket, "-1",
         "등록되지 않은 티켓입니다", false, std::nullopt},
        {"TicketCancelled", "I", "", cancelledTicket(false), kOutcomeCancelled, "-1", "취소된 티켓입니다", false,
         std::nullopt},
        {"CancelledBeforeBlock", "I", "N석", cancelledTicket(false), kOutcomeCancelled, "-1", "취소된 티켓입니다",
         false, std::nullopt},
        {"CancelledOnExit", "O", "", cancelledTicket(true), kOutcomeCancelled, "-1", "취소된 티켓입니다", false,
         std::nullopt},
        {"CancelledBeforeInside", "I", "", cancelledTicket(true), kOutcomeCancelled, "-1", "취소된 티켓입니다",
         false, std::nullopt},
        {"WrongBlock", "I", "N석", fresh(), kOutcomeWrongBlock, "-1", "입장 구역 아님 (E석)", false, std::nullopt},
        {"WrongBlockOnExit", "O", "W석", insideSince(kEarlier), kOutcomeWrongBlock, "-1", "입장 구역 아님 (E석)",
         false, std::nullopt},
        {"WrongBlockBeforeInside", "I", "S석", insideSince(kEarlier), kOutcomeWrongBlock, "-1",
         "입장 구역 아님 (E석)", false, std::nullopt},
        {"BlockLooksLikeAll", "I", "전체", fresh(), kOutcomeWrongBlock, "-1", "입장 구역 아님 (E석)", false,
         std::nullopt},
        {"BlockWithBlank", "I", "E석 ", fresh(), kOutcomeWrongBlock, "-1", "입장 구역 아님 (E석)", false,
         std::nullopt},
        // Entry.
        {"FirstEntry", "I", "", fresh(), kOutcomeEntry, "0", "입장 확인", true, insideSince(kAt)},
        {"FirstEntryMatchingBlock", "I", "E석", fresh(), kOutcomeEntry, "0", "입장 확인", true, insideSince(kAt)},
        {"AlreadyInside", "I", "", insideSince(kEarlier), kOutcomeAlreadyInside, "-2",
         "이미 입장 (" + namedMoment(kEarlier) + ")", false, std::nullopt},
        {"AlreadyInsideNamesLastEntry", "I", "", insideSince(kEarlier, 2, kEarliest), kOutcomeAlreadyInside, "-2",
         "이미 입장 (" + namedMoment(kEarlier) + ")", false, std::nullopt},
        {"AlreadyInsideWithoutEntryTime", "I", "", TicketState{"E석", false, true, 0, std::nullopt, std::nullopt},
         kOutcomeAlreadyInside, "-2", "이미 입장 (" + namedMoment(0) + ")", false, std::nullopt},
        {"EntryAfterExit", "I", "", outAfter(kEarliest, kEarlier), kOutcomeReentry, "-3", "재입장 확인", true,
         insideSince(kAt, 2, kEarlier)},
        {"SecondReentry", "I", "E석", outAfter(kEarliest, kEarlier, 2), kOutcomeReentry, "-3", "재입장 확인", true,
         insideSince(kAt, 3, kEarlier)},
        // Exit.
        {"ExitNeverEntered", "O", "", fresh(), kOutcomeNotInside, "-2", "입장 기록 없음", false, std::nullopt},
        {"ExitAfterExit", "O", "", outAfter(kEarliest, kEarlier), kOutcomeNotInside, "-2", "입장 기록 없음", false,
         std::nullopt},
        {"ExitInside", "O", "", insideSince(kEarlier), kOutcomeExit, "0", "퇴장 확인", true,
         outAfter(kEarlier, kAt)},
        {"ExitMatchingBlock", "O", "E석", insideSince(kEarlier), kOutcomeExit, "0", "퇴장 확인", true,
         outAfter(kEarlier, kAt)},
        {"ExitAfterReentry", "O", "", insideSince(kEarlier, 2, kEarliest), kOutcomeExit, "0", "퇴장 확인", true,
         outAfter(kEarlier, kAt, 2)},
    }),
    CaseName());

// Across every mode, filter and state: details go with an answer exactly when the ticket changes,
// which is an entry or an exit of a valid ticket of the filter's block, and only the entry or exit
// moves.
TEST(Rule, OnlyAnEntryOrAnExitChangesTheTicket) {
  std::vector<std::optional<TicketState>> tickets{std::nullopt};
  for (bool cancelled : {false, true})
    for (TicketState s : {fresh(), insideSince(kEarlier), outAfter(kEarliest, kEarlier), insideSince(kEarlier, 3, kEarliest)}) {
      s.cancelled = cancelled;
      tickets.push_back(s);
    }
  int changes = 0;
  for (const char* mode : {"I", "O", "S", ""})
    for (const char* block : {"", "E석", "N석"})
      for (const auto& ticket : tickets) {
        const Decision d = decide({mode, block, ticket, kAt}, namedMoment);
        SCOPED_TRACE(std::string(mode) + "/" + block + "/" + std::string(d.outcome));
        EXPECT_EQ(d.withDetails, d.after.has_value());
        EXPECT_EQ(d.code == "0" || d.code == "-3", d.after.has_value());
        if (!d.after) continue;
        ++changes;
        ASSERT_TRUE(ticket && !ticket->cancelled && (std::string(block).empty() || ticket->block == block));
        TicketState expected = *ticket;
        expected.inside = !ticket->inside;
        if (expected.inside) {
          EXPECT_EQ(std::string(mode), "I");
          ++expected.entryCount;
          expected.lastEntry = kAt;
        } else {
          EXPECT_EQ(std::string(mode), "O");
          expected.lastExit = kAt;
        }
        EXPECT_EQ(*d.after, expected);
      }
  // Two filters that hold the ticket, four valid states, each with the one mode that moves it.
  EXPECT_EQ(changes, 2 * 4);
}

TEST(Rule, ATicketTheOfflineListDoesNotHoldIsRefusedWithItsOwnText) {
  const Decision d = notInList();
  EXPECT_EQ(d.outcome, "not-in-list");
  EXPECT_EQ(d.code, "-1");
  EXPECT_EQ(d.message, "목록에 없음");
  EXPECT_FALSE(d.withDetails);
  EXPECT_FALSE(d.after);
}

TEST(Rule, ClockAtOffsetIsTheMinuteOfTheDayAtThatOffset) {
  struct Case {
    TimeMs at;
    std::int64_t offset;
    const char* hhmm;
  };
  constexpr TimeMs kMinute = 60'000, kDay = 24 * 60 * kMinute;
  for (const Case& c : std::vector<Case>{
           {0, 0, "00:00"},
           {0, 540, "09:00"},                            // Seoul
           {0, 330, "05:30"},                            // a half-hour zone
           {0, -300, "19:00"},                           // west of UTC: the day before
           {kDay - 1, 0, "23:59"},                       // the last millisecond of a day
           {-1, 0, "23:59"},                             // before 1970
           {-kMinute, 540, "08:59"},
           {20'000 * kDay + 15 * 60 * kMinute + 7 * kMinute + 59'999, 540, "00:07"},  // past midnight there
       }) {
    EXPECT_EQ(clockAtOffset(c.at, c.offset), c.hhmm) << c.at << " at " << c.offset;
  }
  // As a station offline passes it to the rule.
  const Decision d = decide({"I", "", insideSince(7 * kMinute), kAt},
                            [](TimeMs at) { return clockAtOffset(at, 540); });
  EXPECT_EQ(d.message, "이미 입장 (09:07)");
}

}  // namespace
}  // namespace tav::rule
