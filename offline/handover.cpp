// The hand-over's JSON, written and read in one place so that the server, the station and the
// drill cannot drift apart.
#include "offline/handover.h"

#include <nlohmann/json.hpp>

#include "wire/protocol.h"

namespace tav::offline {
namespace {

using Json = nlohmann::ordered_json;

const Json& member(const Json& object, const char* name, const std::string& where) {
  const auto it = object.find(name);
  if (it == object.end()) throw HandoverError(where + " has no \"" + name + "\".");
  return *it;
}

std::string text(const Json& object, const char* name, const std::string& where) {
  const Json& v = member(object, name, where);
  if (!v.is_string()) throw HandoverError(where + "'s \"" + name + "\" is not a string.");
  return v.get<std::string>();
}

std::int64_t integer(const Json& object, const char* name, const std::string& where) {
  const Json& v = member(object, name, where);
  if (!v.is_number_integer()) throw HandoverError(where + "'s \"" + name + "\" is not a whole number.");
  return v.get<std::int64_t>();
}

Json parse(std::string_view body, const char* what) {
  try {
    Json j = Json::parse(body.begin(), body.end());
    if (!j.is_object()) throw HandoverError(std::string(what) + " is not a JSON object.");
    return j;
  } catch (const Json::exception&) {
    throw HandoverError(std::string(what) + " is not well-formed JSON.");
  }
}

}  // namespace

bool HandoverResult::operator==(const HandoverResult& o) const {
  return sequence == o.sequence && result == o.result && why == o.why;
}

bool HandoverAnswer::operator==(const HandoverAnswer& o) const {
  return results == o.results && acknowledgedUpTo == o.acknowledgedUpTo && gap == o.gap;
}

std::string encodeHandover(const std::vector<Decision>& lines) {
  Json out = Json::array();
  for (const Decision& d : lines)
    out.push_back(Json{{"seq", d.sequence},       {"key", d.idempotencyKey}, {"utcMs", d.utcMs},
                       {"monoMs", d.sinceOnlineMs}, {"bizCode", d.bizCode},  {"mode", d.mode},
                       {"block", d.block},          {"ticketNo", d.ticketNo}, {"operator", d.operatorId},
                       {"outcome", d.outcome}});
  return Json{{"lines", std::move(out)}}.dump();
}

std::vector<Decision> decodeHandover(std::string_view body) {
  const Json j = parse(body, "The hand-over");
  const Json& lines = member(j, "lines", "The hand-over");
  if (!lines.is_array() || lines.empty() || lines.size() > kMaxHandoverLines)
    throw HandoverError("The hand-over's \"lines\" must be a list of 1 to " + std::to_string(kMaxHandoverLines) +
                        " lines.");
  std::vector<Decision> out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string where = "Line " + std::to_string(i + 1) + " of the hand-over";
    const Json& l = lines[i];
    if (!l.is_object()) throw HandoverError(where + " is not a JSON object.");
    Decision d;
    d.sequence = integer(l, "seq", where);
    d.idempotencyKey = text(l, "key", where);
    d.utcMs = integer(l, "utcMs", where);
    d.sinceOnlineMs = integer(l, "monoMs", where);
    d.bizCode = text(l, "bizCode", where);
    d.mode = text(l, "mode", where);
    d.block = text(l, "block", where);
    d.ticketNo = text(l, "ticketNo", where);
    d.operatorId = text(l, "operator", where);
    d.outcome = text(l, "outcome", where);
    if (d.sequence < 1 || (!out.empty() && d.sequence <= out.back().sequence))
      throw HandoverError(where + " has a sequence that is not above the line's before it (and at least 1).");
    if (!wire::isIdempotencyKey(d.idempotencyKey)) throw HandoverError(where + " has a malformed key.");
    if (d.mode != wire::kModeEntry && d.mode != wire::kModeExit)
      throw HandoverError(where + " has a mode other than entry (I) or exit (O).");
    if (d.bizCode.empty() || d.ticketNo.empty() || d.operatorId.empty() || d.outcome.empty())
      throw HandoverError(where + " leaves its event, ticket, operator or outcome empty.");
    out.push_back(std::move(d));
  }
  return out;
}

std::string encodeHandoverAnswer(const HandoverAnswer& a) {
  Json results = Json::array();
  for (const HandoverResult& r : a.results)
    results.push_back(Json{{"seq", r.sequence}, {"result", r.result}, {"why", r.why}});
  Json gap = a.gap ? Json::array({a.gap->first, a.gap->second}) : Json(nullptr);
  return Json{{"results", std::move(results)}, {"acknowledgedUpTo", a.acknowledgedUpTo}, {"gap", std::move(gap)}}
      .dump();
}

HandoverAnswer decodeHandoverAnswer(std::string_view body) {
  const Json j = parse(body, "The hand-over's answer");
  const std::string where = "The hand-over's answer";
  HandoverAnswer a;
  const Json& results = member(j, "results", where);
  if (!results.is_array()) throw HandoverError(where + "'s \"results\" is not a list.");
  for (std::size_t i = 0; i < results.size(); ++i) {
    const std::string at = where + "'s result " + std::to_string(i + 1);
    if (!results[i].is_object()) throw HandoverError(at + " is not a JSON object.");
    a.results.push_back(HandoverResult{integer(results[i], "seq", at), text(results[i], "result", at),
                                       text(results[i], "why", at)});
  }
  a.acknowledgedUpTo = integer(j, "acknowledgedUpTo", where);
  const Json& gap = member(j, "gap", where);
  if (!gap.is_null()) {
    if (!gap.is_array() || gap.size() != 2 || !gap[0].is_number_integer() || !gap[1].is_number_integer())
      throw HandoverError(where + "'s \"gap\" is neither null nor [from, to].");
    a.gap = std::make_pair(gap[0].get<std::int64_t>(), gap[1].get<std::int64_t>());
  }
  return a;
}

}  // namespace tav::offline
