// The hand-over's messages: the decisions a station made offline, sent to the back-end in a request
// of POST /api/v1/offline/checks, and the back-end's answer line by line. One codec for the server,
// the station and the drill.
//
//   request: {"lines":[{"seq":1,"key":"…","utcMs":…,"monoMs":…,"bizCode":"…","mode":"I","block":"E석",
//             "ticketNo":"…","operator":"…","outcome":"entry"}]}
//   answer:  {"results":[{"seq":1,"result":"accepted","why":"…"}],"acknowledgedUpTo":1,"gap":[from,to]|null}
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "offline/journal.h"

namespace tav::offline {

// At most this many lines a request, and a request body of at most this many bytes.
inline constexpr std::size_t kMaxHandoverLines = 50;
inline constexpr std::size_t kMaxHandoverBytes = 64 * 1024;

// What the back-end made of a line.
inline constexpr std::string_view kResultAccepted = "accepted";  // recorded as what happened
inline constexpr std::string_view kResultSame = "same";          // already kept: nothing written
inline constexpr std::string_view kResultConflict = "conflict";  // kept as an offline conflict
inline constexpr std::string_view kResultRefused = "refused";    // not kept; never to be sent again

// A hand-over message that is not one, in one sentence naming what is wrong (and the line's index).
class HandoverError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct HandoverResult {
  std::int64_t sequence = 0;
  std::string result;  // one of the kResult words
  std::string why;     // one sentence

  bool operator==(const HandoverResult& other) const;
};

struct HandoverAnswer {
  std::vector<HandoverResult> results;
  // Every line of the station up to this sequence is with the back-end: the journal's marker.
  std::int64_t acknowledgedUpTo = 0;
  // Sequences the back-end never got, from and to (inclusive), when the request skipped some.
  std::optional<std::pair<std::int64_t, std::int64_t>> gap;

  bool operator==(const HandoverAnswer& other) const;
};

// The request's body for `lines` (at most kMaxHandoverLines, not checked here).
std::string encodeHandover(const std::vector<Decision>& lines);
// The lines of a request's body, checked: 1 to kMaxHandoverLines lines, each with every member of
// its type, a well-formed key, mode entry or exit, sequences from 1 rising strictly. Throws
// HandoverError otherwise.
std::vector<Decision> decodeHandover(std::string_view body);

std::string encodeHandoverAnswer(const HandoverAnswer& answer);
// Throws HandoverError for text that is not such an answer.
HandoverAnswer decodeHandoverAnswer(std::string_view body);

}  // namespace tav::offline
