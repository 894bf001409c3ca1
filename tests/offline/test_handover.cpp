// The hand-over's codec: a request and an answer read back as written, and every malformed request
// refused with a sentence naming its line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "offline/handover.h"

namespace tav::offline {
namespace {

Decision line(std::int64_t seq) {
  return {seq, "abcdefghijklmnopqrstu" + std::to_string(seq % 10), 1'700'000'000'000 + seq, 500 * seq, "B2024",
          seq % 2 ? "I" : "O", seq % 3 ? "E석" : "", "T\"" + std::to_string(seq), "gate1", "entry"};
}

TEST(HandoverCodec, RequestAndAnswerReadBackAsWritten) {
  const std::vector<Decision> lines{line(3), line(4), line(9)};
  EXPECT_EQ(decodeHandover(encodeHandover(lines)), lines);
  for (const HandoverAnswer& a :
       {HandoverAnswer{{{3, std::string(kResultAccepted), "Kept."}, {4, std::string(kResultConflict), "Both."}}, 4,
                       std::nullopt},
        HandoverAnswer{{{9, std::string(kResultRefused), "No."}}, 9, std::make_pair(5, 8)}})
    EXPECT_EQ(decodeHandoverAnswer(encodeHandoverAnswer(a)), a);
}

TEST(HandoverCodec, MalformedRequestsAreRefusedNamingTheirLine) {
  const std::string good = encodeHandover({line(1)});
  const auto with = [&](const std::string& from, const std::string& to) {
    std::string body = good;
    const auto at = body.find(from);
    if (at == std::string::npos) throw std::logic_error(from);
    return body.replace(at, from.size(), to);
  };
  std::vector<Decision> fiftyOne;
  for (int i = 1; i <= 51; ++i) fiftyOne.push_back(line(i));
  struct Case {
    std::string body, sentence;
  };
  for (const Case& c : std::vector<Case>{
           {"[1]", "The hand-over is not a JSON object."},
           {"{\"lines\":", "The hand-over is not well-formed JSON."},
           {"{\"lines\":[]}", "The hand-over's \"lines\" must be a list of 1 to 50 lines."},
           {encodeHandover(fiftyOne), "The hand-over's \"lines\" must be a list of 1 to 50 lines."},
           {encodeHandover({line(2), line(2)}), "Line 2 of the hand-over has a sequence that is not above the line's "
                                                "before it (and at least 1)."},
           {with("\"seq\":1", "\"seq\":0"), "Line 1 of the hand-over has a sequence that is not above the line's "
                                            "before it (and at least 1)."},
           {with("\"seq\":1", "\"seq\":\"1\""), "Line 1 of the hand-over's \"seq\" is not a whole number."},
           {with("\"mode\":\"I\"", "\"mode\":\"X\""), "Line 1 of the hand-over has a mode other than entry (I) or exit (O)."},
           {with("abcdefghijklmnopqrstu1", "short"), "Line 1 of the hand-over has a malformed key."},
           {with("\"operator\":\"gate1\",", ""), "Line 1 of the hand-over has no \"operator\"."},
           {with("\"operator\":\"gate1\"", "\"operator\":\"\""),
            "Line 1 of the hand-over leaves its event, ticket, operator or outcome empty."}}) {
    try {
      decodeHandover(c.body);
      ADD_FAILURE() << "taken: " << c.body;
    } catch (const HandoverError& e) {
      EXPECT_EQ(std::string(e.what()), c.sentence) << c.body;
    }
  }
}

}  // namespace
}  // namespace tav::offline
