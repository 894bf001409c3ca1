// The command-text grammar: the station's exact texts, what it accepts and what it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/core/command_parser.h"
#include "server/core/service.h"

namespace tav::server {
namespace {

using namespace std::string_literals;

struct Accepted {
  const char* name;
  std::string text;
  ProcedureId procedure;
  std::vector<std::string> args;
};

class ParserAccepts : public ::testing::TestWithParam<Accepted> {};

TEST_P(ParserAccepts, YieldsProcedureAndValues) {
  const Accepted& c = GetParam();
  ParsedCommand cmd = parseCommand(c.text);
  EXPECT_EQ(cmd.procedure, c.procedure);
  EXPECT_EQ(cmd.name, c.procedure == ProcedureId::LoginInfo ? wire::kLoginInfoProc : wire::kBookingInfoProc);
  EXPECT_EQ(cmd.args, c.args);
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParserAccepts,
    ::testing::Values(
        // The four texts the station sends, byte for byte.
        Accepted{"StationOperatorSignIn", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'id','pw'",
                 ProcedureId::LoginInfo, {"id", "pw"}},
        Accepted{"StationVenueSignIn", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'PLACE'",
                 ProcedureId::LoginInfo, {"PLACE"}},
        Accepted{"StationTicketCheck",
                 "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'I','BIZ','','T123', 'admin'",
                 ProcedureId::BookingInfo, {"I", "BIZ", "", "T123", "admin"}},
        Accepted{"StationStatistics", "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'S','BIZ','','',''",
                 ProcedureId::BookingInfo, {"S", "BIZ", "", "", ""}},
        Accepted{"CaseOfExecAndName", "eXeC proc_wmrs_admin_getadmintav_logininfo 'a'",
                 ProcedureId::LoginInfo, {"a"}},
        Accepted{"BlanksTabsAndLineBreaks", " \t\r\nExec\t\nProc_WMRS_Admin_GetAdminTAV_LoginInfo\n 'a' \t,\r\n'b' \n",
                 ProcedureId::LoginInfo, {"a", "b"}},
        Accepted{"NoBlankBeforeFirstArgument", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo'a'",
                 ProcedureId::LoginInfo, {"a"}},
        Accepted{"DoubledApostrophe", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'O''Neil','it''''s'''",
                 ProcedureId::LoginInfo, {"O'Neil", "it''s'"}},
        Accepted{"OnlyAnApostrophe", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo ''''",
                 ProcedureId::LoginInfo, {"'"}},
        Accepted{"KoreanBlockAndCommasInside",
                 "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'I','B,I,Z','E석','T 1', 'kim, lee'",
                 ProcedureId::BookingInfo, {"I", "B,I,Z", "E석", "T 1", "kim, lee"}},
        Accepted{"SqlLookingValueStaysAValue",
                 "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'x''; DROP TABLE ticket; --'",
                 ProcedureId::LoginInfo, {"x'; DROP TABLE ticket; --"}}),
    [](const auto& p) { return std::string(p.param.name); });

struct Refused {
  const char* name;
  std::string text;
  std::string reason;  // a piece of the one-sentence error
};

class ParserRefuses : public ::testing::TestWithParam<Refused> {};

TEST_P(ParserRefuses, WithOneSentence) {
  const Refused& c = GetParam();
  try {
    parseCommand(c.text);
    FAIL() << "accepted: " << c.text;
  } catch (const BadCommand& e) {
    std::string message = e.what();
    EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    EXPECT_EQ(message.back(), '.');
    EXPECT_EQ(message.find('\n'), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParserRefuses,
    ::testing::Values(
        Refused{"Empty", "", "must start with Exec"},
        Refused{"OnlyBlanks", "  \n ", "must start with Exec"},
        Refused{"ExecAlone", "Exec", "must start with Exec"},
        Refused{"ExecGluedToName", "ExecProc_WMRS_Admin_GetAdminTAV_LoginInfo 'a'", "must start with Exec"},
        Refused{"Execute", "Execute Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'a'", "must start with Exec"},
        Refused{"SelectStatement", "SELECT * FROM ticket", "must start with Exec"},
        Refused{"UnknownProcedure", "Exec Proc_Drop_Everything 'a'", "Proc_Drop_Everything does not exist"},
        Refused{"PrefixOfName", "Exec Proc_WMRS_Admin_GetAdminTAV_Login 'a'", "does not exist"},
        Refused{"NameGluedToText", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo;'a'", "after the procedure name"},
        Refused{"LoginWithoutArguments", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo", "takes 1 or 2 arguments, not 0"},
        Refused{"LoginWithThree", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'a','b','c'", "not 3"},
        Refused{"BookingWithFour", "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'I','B','','T'", "takes 5 arguments, not 4"},
        Refused{"BookingWithSix", "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'I','B','','T','a','b'", "not 6"},
        Refused{"UnquotedArgument", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo abc", "between apostrophes"},
        Refused{"DoubleQuotes", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo \"a\"", "between apostrophes"},
        Refused{"UnclosedArgument", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'a", "not closed"},
        Refused{"OddApostrophes", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'a''", "not closed"},
        Refused{"TrailingComma", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'a',", "ends with a comma"},
        Refused{"MissingComma", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'a' 'b'", "separated by commas"},
        Refused{"SemicolonAfter", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'a'; DROP TABLE ticket", "separated by commas"},
        Refused{"TwoCommands", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'a' Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'b'", "separated by commas"},
        Refused{"NulInsideValue", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'a\0b'"s, "NUL byte"},
        Refused{"NulAtEnd", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'a'\0"s, "NUL byte"},
        Refused{"Cp949Bytes", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo '\xB0\xA1'", "not valid UTF-8"},
        Refused{"OverlongSlash", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo '\xC0\xAF'", "not valid UTF-8"},
        Refused{"Surrogate", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo '\xED\xA0\x80'", "not valid UTF-8"},
        Refused{"TruncatedSequence", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo '\xEC\x9E'", "not valid UTF-8"},
        Refused{"AboveUnicode", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo '\xF4\x90\x80\x80'", "not valid UTF-8"},
        Refused{"ValueOver200Characters", "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo '" + std::string(201, 'x') + "'",
                "Argument 1 of the command text is longer than 200 characters"},
        Refused{"HangulValueOver200Characters",
                "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'a','" + [] { std::string s; for (int i = 0; i < 201; ++i) s += "석"; return s; }() + "'",
                "Argument 2 of the command text is longer than 200 characters"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Parser, LongUnknownNameIsShortenedInTheError) {
  std::string name(5000, 'x');
  try {
    parseCommand("Exec " + name + " 'a'");
    FAIL();
  } catch (const BadCommand& e) {
    EXPECT_LT(std::string(e.what()).size(), 200u);
  }
}

// Any value the station doubles comes back unchanged, whatever it holds.
TEST(Parser, QuotedValuesRoundTrip) {
  const std::vector<std::string> values{"", "'", "''", "O'Neil", std::string(200, '\''), "a,b", " lead", "trail ",
                                        "E석", "x'; DROP TABLE ticket; --", "\t", "'a'"};
  for (const auto& a : values)
    for (const auto& b : values) {
      std::string text = "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo '" + quoteArgument(a) + "','" +
                         quoteArgument(b) + "'";
      ParsedCommand cmd = parseCommand(text);
      EXPECT_EQ(cmd.args, (std::vector<std::string>{a, b})) << text;
    }
}

TEST(Utf8, ValidAndInvalidSequences) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("ascii"));
  EXPECT_TRUE(isValidUtf8("입장 확인"));
  EXPECT_TRUE(isValidUtf8("\xF0\x9F\x8E\xAB"));      // U+1F3AB
  EXPECT_TRUE(isValidUtf8("\xF4\x8F\xBF\xBF"));      // U+10FFFF
  EXPECT_TRUE(isValidUtf8("\xEE\x80\x80"));          // U+E000, just past the surrogates
  EXPECT_FALSE(isValidUtf8("\x80"));                 // lone continuation byte
  EXPECT_FALSE(isValidUtf8("\xC1\xBF"));             // overlong
  EXPECT_FALSE(isValidUtf8("\xE0\x9F\xBF"));         // overlong
  EXPECT_FALSE(isValidUtf8("\xF0\x8F\xBF\xBF"));     // overlong
  EXPECT_FALSE(isValidUtf8("\xED\xBF\xBF"));         // surrogate
  EXPECT_FALSE(isValidUtf8("\xF5\x80\x80\x80"));     // above U+10FFFF
  EXPECT_FALSE(isValidUtf8("\xEC\x9E\x85\x80"));     // stray continuation after a full sequence
  EXPECT_FALSE(isValidUtf8("\xEC"));                 // cut short
  EXPECT_EQ(utf8Length("E석 3층"), 5u);
}

}  // namespace
}  // namespace tav::server
