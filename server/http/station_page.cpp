// The station page's routes: its files, with the headers that keep it to this server's own
// content and out of every cache, and its settings as JSON.
#include "server/http/station_page.h"

#include <boost/beast/http/field.hpp>

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "server/core/errors.h"
#include "server/core/sessions.h"
#include "server/core/stations.h"
#include "server/core/store.h"
#include "server/http/cookies.h"
#include "server/http/routes.h"

namespace tav::server {

namespace http = boost::beast::http;

namespace {

const std::string kSettingsPath = "/station/settings";
const std::string kRedeemPath = "/station/enrol";
const std::string kMakeEnrolmentPath = "/api/v1/stations/enrol";
const std::string kNeedsAdmin = "Enrolment codes are made by a venue's admin; sign in as one.";
const std::string kBadEnrolment =
    "The body must be JSON with the station's \"name\" and, optionally, its \"block\" (E석, N석, S석 or W석).";

// The page may load only what this server sends it: its scripts, styles and sounds, and the
// decoder's WebAssembly, which the browser compiles.
const std::string kPagePolicy =
    "default-src 'none'; script-src 'self' 'wasm-unsafe-eval'; style-src 'self'; img-src 'self' data:; "
    "media-src 'self'; connect-src 'self'; form-action 'none'; frame-ancestors 'none'; base-uri 'none'";

void answerFile(const HttpRequest& request, std::string_view name, Reply& reply) {
  const std::optional<std::string_view> bytes = stationPageFile(name);
  if (!bytes) return reply.send(notFoundResponse());
  // The sounds are compressed already as far as gzip goes; the text files shrink to a fifth.
  const bool gzip = acceptsGzip(request) && contentTypeOf(name).rfind("text/", 0) == 0;
  const std::string_view body = gzip ? gzippedFile(*bytes) : *bytes;
  FileResponse response{http::status::ok, 11};
  response.set(http::field::content_type, contentTypeOf(name));
  // Never kept: after an upgrade every page loads the new files, and no service worker is there
  // to hold old ones.
  response.set(http::field::cache_control, "no-store");
  response.set(http::field::vary, "Accept-Encoding");
  if (gzip) response.set(http::field::content_encoding, "gzip");
  response.set("X-Content-Type-Options", "nosniff");
  response.set("Content-Security-Policy", kPagePolicy);
  response.set("X-Frame-Options", "DENY");
  response.set("Referrer-Policy", "no-referrer");
  response.set("Permissions-Policy", "camera=(self), microphone=()");
  response.body() = {body.data(), body.size()};
  reply.send(std::move(response));
}

HttpResponse jsonResponse(const nlohmann::json& body) {
  HttpResponse response{http::status::ok, 11};
  response.set(http::field::content_type, "application/json");
  response.set(http::field::cache_control, "no-store");
  response.body() = body.dump();
  return response;
}

// The page's settings; a browser station's key cookie is renewed with them, as with every check.
void answerSettings(const std::optional<StationInfo>& station, const std::string& key, bool https, Reply& reply) {
  nlohmann::json body{{"version", stationPageVersion()}, {"place", nullptr}, {"station", nullptr}, {"block", nullptr}};
  if (station) {
    body["place"] = station->placeCode;
    body["station"] = station->name;
    body["block"] = station->block;
  }
  HttpResponse response = jsonResponse(body);
  response.set(std::string(kStationVersionHeader), std::string(stationPageVersion()));
  // A key of a removed station is taken back: the page is a keyless station from then on.
  if (station || !key.empty()) response.set(http::field::set_cookie, stationKeyCookie(station ? key : "", https));
  reply.send(std::move(response));
}

}  // namespace

std::string_view stationPageVersion() {
  static const std::string version = std::string(TAV_VERSION) + "+" + std::string(stationPageFilesDigest());
  return version;
}

void addStationPageRoutes(Routes& routes, Store& store, StationDirectory& stations,
                          std::function<void(std::function<void()>)> runner, bool https) {
  using M = RouteMethod;
  const std::string base(kStationPagePath);
  // "/station" alone would leave the page's relative paths one folder too high.
  routes.add(M::Get, base, [base](const HttpRequest&, const Peer&, Reply& reply, const RouteMatch&) {
    HttpResponse response{http::status::moved_permanently, 11};
    response.set(http::field::location, base + "/");
    response.set(http::field::cache_control, "no-store");
    reply.send(std::move(response));
  });
  routes.add(M::Get, base + "/", [](const HttpRequest& request, const Peer&, Reply& reply, const RouteMatch&) {
    answerFile(request, "index.html", reply);
  });
  // The place of the station the page's key names, when it has one; the page asks for one otherwise.
  routes.add(M::Get, kSettingsPath,
             [&stations, runner, https](const HttpRequest& request, const Peer&, Reply& reply, const RouteMatch&) {
               std::optional<StationInfo> station;
               const std::string key = cookieValue(request, kStationKeyCookie);
               const bool settled = stations.lookup(
                   key, station, [runner, reply, key, https](std::optional<StationInfo> found) {
                     runner([reply, found = std::move(found), key, https]() mutable {
                       answerSettings(found, key, https, reply);
                     });
                   });
               if (settled) answerSettings(station, key, https, reply);
             });
  // The page redeems an enrolment code with its operator's session and gets the station's key,
  // which its scripts never see.
  routes.add(M::Post, kRedeemPath,
             [&store, runner, https](const HttpRequest& request, const Peer&, Reply& reply, const RouteMatch&) {
               runner([&store, https, reply, code = request.body(),
                       token = cookieValue(request, kStationPageSessionCookie)]() mutable {
                 try {
                   const AddedStation added = redeemEnrolment(store, code, token);
                   HttpResponse response = jsonResponse({{"station", added.station.name},
                                                         {"place", added.station.placeCode},
                                                         {"block", added.station.block}});
                   response.set(http::field::set_cookie, stationKeyCookie(added.key, https));
                   reply.send(std::move(response));
                 } catch (...) {
                   reply.send(failureResponse(std::current_exception()));
                 }
               });
             });
  // An admin makes a code for a named station of the admin's venue.
  routes.add(M::Post, kMakeEnrolmentPath,
             [&store, runner](const HttpRequest& request, const Peer&, Reply& reply, const RouteMatch&) {
               runner([&store, reply, body = request.body(), token = sessionToken(request)]() mutable {
                 try {
                   const std::optional<SessionInfo> session = findLiveSession(store, token);
                   if (!session || session->role != OperatorRole::Admin)
                     return reply.send(errorResponse(401, kNeedsAdmin));
                   const nlohmann::json asked = nlohmann::json::parse(body, nullptr, false);
                   if (!asked.is_object() || !asked.contains("name") || !asked["name"].is_string() ||
                       (asked.contains("block") && !asked["block"].is_string()))
                     return reply.send(errorResponse(400, kBadEnrolment));
                   const std::string name = asked["name"], block = asked.value("block", std::string());
                   const Enrolment made = makeEnrolment(store, session->placeCode, name, block);
                   reply.vouch(true);
                   reply.send(jsonResponse({{"code", made.code}, {"expires", made.expires}, {"name", name},
                                            {"block", block}, {"minutes", kEnrolmentLifeMs / 60000}}));
                 } catch (const SetupError& e) {
                   reply.send(errorResponse(400, e.what()));
                 } catch (...) {
                   reply.send(failureResponse(std::current_exception(), kNeedsAdmin));
                 }
               });
             });
  routes.add(M::Get, base + "/*", [](const HttpRequest& request, const Peer&, Reply& reply, const RouteMatch& m) {
    answerFile(request, m.rest, reply);
  });
}

}  // namespace tav::server
