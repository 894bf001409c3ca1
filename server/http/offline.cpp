// The offline list's route: read who asks and for what off the request, find the station by its
// key, make the list on a worker and send it as it is.
#include "server/http/offline.h"

#include <boost/beast/http/field.hpp>

#include <optional>
#include <string>

#include "offline/handover.h"
#include "server/core/caller.h"
#include "server/core/offline_handover.h"
#include "server/core/offline_list.h"
#include "server/core/stations.h"
#include "server/http/cookies.h"
#include "server/http/routes.h"
#include "wire/protocol.h"

namespace tav::server {

namespace http = boost::beast::http;

namespace {

unsigned statusOf(OfflineListRefusal refusal) {
  switch (refusal) {
    case OfflineListRefusal::BadRequest:
      return 400;
    case OfflineListRefusal::NotAllowed:
      return 403;
    case OfflineListRefusal::UnknownEvent:
      return 404;
    case OfflineListRefusal::OfflineOff:
      return 409;
    case OfflineListRefusal::None:
      break;
  }
  return 200;
}

// What a request for a list carries past the look-up of its key, which may wait: the request itself
// is the connection's, and only this is kept.
struct PendingList {
  std::string bizCode, block;
  Caller caller;
};

void answerList(Store& store, OfflineFetches& fetches, const PendingList& pending,
                const std::optional<StationInfo>& station, Reply& reply) {
  Caller caller = pending.caller;
  if (station) {
    caller.station = station->id;
    caller.stationPlace = station->placeCode;
  }
  try {
    const OfflineListAnswer answer = fetchOfflineList(store, pending.bizCode, pending.block, caller, &fetches);
    reply.vouch(answer.refusal == OfflineListRefusal::None);
    if (answer.refusal != OfflineListRefusal::None)
      return reply.send(errorResponse(statusOf(answer.refusal), answer.sentence));
    HttpResponse response{http::status::ok, 11};
    response.set(http::field::content_type, "application/octet-stream");
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.body() = answer.list;
    reply.send(std::move(response));
  } catch (...) {
    reply.send(failureResponse(std::current_exception()));
  }
}

struct PendingHandover {
  std::vector<offline::Decision> lines;
  Caller caller;
};

void answerHandover(Store& store, StationDirectory& stations, HandoverGaps& gaps, const PendingHandover& pending,
                    const std::optional<StationInfo>& station, Reply& reply) {
  try {
    if (!station) {
      reply.vouch(false);
      return reply.send(errorResponse(403, "Offline decisions are handed over by a registered station only."));
    }
    Caller caller = pending.caller;
    caller.station = station->id;
    caller.stationPlace = station->placeCode;
    const TimeMs now = store.now();
    // The silence is only looked at here: a hand-over deferred or refused leaves it for the next
    // attempt, however late that comes, which is then judged by the real outage.
    const HandoverGap gap = gaps.open(station->id, now, stations.longestSilence(station->id));
    const HandoverOutcome outcome = handOver(store, caller, pending.lines, gap);
    reply.vouch(outcome.refusal != HandoverRefusal::NotAllowed);
    if (outcome.refusal == HandoverRefusal::NotAllowed) return reply.send(errorResponse(403, outcome.sentence));
    if (outcome.refusal == HandoverRefusal::Deferred) {
      HttpResponse response = errorResponse(503, outcome.sentence);
      response.set(http::field::retry_after, std::to_string(kHandoverRetryAfterSeconds));
      return reply.send(std::move(response));
    }
    stations.takeLongestSilence(station->id);
    gaps.used(station->id, now, gap.used + outcome.taken);
    HttpResponse response{http::status::ok, 11};
    response.set(http::field::content_type, "application/json");
    response.set(http::field::cache_control, "no-store");
    response.body() = offline::encodeHandoverAnswer(outcome.answer);
    reply.send(std::move(response));
  } catch (...) {
    reply.send(failureResponse(std::current_exception()));
  }
}

}  // namespace

std::shared_ptr<OfflineFetches> addOfflineRoutes(Routes& routes, Store& store, StationDirectory& stations,
                                                 std::function<void(std::function<void()>)> runner) {
  auto fetches = std::make_shared<OfflineFetches>();
  routes.add(RouteMethod::Get, wire::kOfflineListPath,
             [&store, &stations, runner, fetches](const HttpRequest& request, const Peer& from, Reply& reply,
                                                  const RouteMatch&) {
               const std::string_view target = request.target();
               auto pending = std::make_shared<PendingList>(
                   PendingList{queryValue(target, "bizcode"), queryValue(target, "block"),
                               Caller(from.address.to_string(), sessionToken(request))});
               const std::string key(request[wire::kStationHeader]);
               std::optional<StationInfo> station;
               // A known key is settled from memory; one the list does not hold is answered on the
               // directory's thread once the stations are read again. Either way the list is made on
               // a worker.
               const bool settled = stations.lookup(
                   key, station, [&store, runner, fetches, pending, reply](std::optional<StationInfo> found) {
                     runner([&store, fetches, pending, reply, found = std::move(found)]() mutable {
                       answerList(store, *fetches, *pending, found, reply);
                     });
                   });
               if (settled)
                 runner([&store, fetches, pending, reply = std::move(reply), station]() mutable {
                   answerList(store, *fetches, *pending, station, reply);
                 });
             });
  auto gaps = std::make_shared<HandoverGaps>();
  routes.add(RouteMethod::Post, wire::kOfflineChecksPath,
             [&store, &stations, runner, gaps](const HttpRequest& request, const Peer& from, Reply& reply,
                                               const RouteMatch&) {
               auto pending = std::make_shared<PendingHandover>();
               try {
                 pending->lines = offline::decodeHandover(request.body());
               } catch (const offline::HandoverError& e) {
                 return reply.send(errorResponse(400, e.what()));
               }
               pending->caller = Caller(from.address.to_string(), sessionToken(request));
               const std::string key(request[wire::kStationHeader]);
               std::optional<StationInfo> station;
               const bool settled = stations.lookup(
                   key, station, [&store, &stations, runner, gaps, pending, reply](std::optional<StationInfo> found) {
                     runner([&store, &stations, gaps, pending, reply, found = std::move(found)]() mutable {
                       answerHandover(store, stations, *gaps, *pending, found, reply);
                     });
                   });
               if (settled)
                 runner([&store, &stations, gaps, pending, reply = std::move(reply), station]() mutable {
                   answerHandover(store, stations, *gaps, *pending, station, reply);
                 });
             });
  return fetches;
}

}  // namespace tav::server
