// The dashboard's routes and its stream hub: who may look, which event, and one snapshot per
// interval per event however many pages watch it.
#include "server/http/dashboard.h"

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/http/field.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "server/core/control_room.h"
#include "server/core/setup.h"
#include "server/core/sessions.h"
#include "server/core/store.h"
#include "server/http/cookies.h"
#include "server/http/http_date.h"
#include "server/http/routes.h"

namespace tav::server {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using nlohmann::json;

namespace {

const std::string kPagePath = "/dashboard";
const std::string kDataPath = "/api/v1/ingress";
const std::string kStreamPath = "/api/v1/ingress/stream";
const std::string kNeedsAdmin = "The dashboard's figures need a session of a venue's admin; sign in as one.";
const std::string kNoEvent = "The venue has no event with this business code.";

// The page may load only what this server sends it.
const std::string kPagePolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "form-action 'none'; frame-ancestors 'none'; base-uri 'none'";

// The admin's venue, from the session the request carries; nothing without an admin's live session.
std::optional<std::string> adminVenue(Store& store, const std::string& token) {
  const std::optional<SessionInfo> session = findLiveSession(store, token);
  if (!session || session->role != OperatorRole::Admin) return std::nullopt;
  return session->placeCode;
}

// The same inside a read that is under way, for a stream's viewers at every snapshot.
bool stillAdminOf(Reader& reader, const std::string& token, const std::string& place, TimeMs now) {
  const std::optional<SessionInfo> session = liveSession(reader, token, now);
  return session && session->role == OperatorRole::Admin && session->placeCode == place;
}

HttpResponse bodyResponse(std::string body, const std::string& type) {
  HttpResponse response{http::status::ok, 11};
  response.set(http::field::content_type, type);
  response.set(http::field::cache_control, "no-store");
  response.set("X-Content-Type-Options", "nosniff");
  response.body() = std::move(body);
  return response;
}

json eventJson(const Event& e) {
  return json{{"bizCode", e.bizCode}, {"goodsName", e.goodsName}, {"playDate", e.playDate}, {"active", e.active}};
}

// The control room's part of a snapshot: the alarms in force and the venue's stations.
void addControlRoom(const IngressSnapshot& s, json& out) {
  json alarms = json::array();
  for (const IngressAlarm& a : s.alarms) {
    json one{{"kind", a.kind}, {"id", a.id}, {"subject", a.subject}, {"since", a.since},
             {"count", a.count}, {"of", a.of}, {"percent", a.percent}};
    if (!a.conflicts.empty()) {
      json conflicts = json::array();
      for (const OfflineConflict& c : a.conflicts)
        conflicts.push_back({{"ticketNo", c.ticketNo}, {"block", c.block}, {"reason", c.reason}, {"gate", c.gate},
                             {"at", c.at}, {"otherGate", c.otherGate},
                             {"otherAt", c.otherAt ? json(*c.otherAt) : json(nullptr)}, {"why", c.why}});
      one["conflicts"] = std::move(conflicts);
    }
    alarms.push_back(std::move(one));
  }
  json stations = json::array();
  for (const IngressStation& st : s.stations) {
    json one{{"name", st.name}, {"block", st.block}, {"operator", st.operatorId},
             {"signedInAt", st.operatorId.empty() ? json(nullptr) : json(st.signedInAt)},
             {"lastCheck", st.lastCheck ? json(*st.lastCheck) : json(nullptr)},
             {"lastSeen", st.lastSeen ? json(*st.lastSeen) : json(nullptr)}, {"silent", st.silent},
             {"listFetchedAt", st.listFetchedAt ? json(*st.listFetchedAt) : json(nullptr)},
             {"offlineReady", st.offlineReady}, {"browser", st.browser}};
    stations.push_back(std::move(one));
  }
  out["alarms"] = std::move(alarms);
  out["stations"] = std::move(stations);
  out["alarmRules"] = {{"silentMinutes", kSilentGateMs / kMinuteMs},
                       {"recentMinutes", kSilentAlarmRecentMs / kMinuteMs},
                       {"spikeMinutes", kSpikeMinutes},
                       {"spikeMinRefusals", kSpikeMinRefusals},
                       {"spikeSharePercent", kSpikeSharePercent}};
}

}  // namespace

std::string ingressJson(const IngressSnapshot& s) {
  json events = json::array();
  for (const Event& e : s.events) events.push_back(eventJson(e));
  if (!s.hasEvent)
    return json{{"serverTime", s.serverTime}, {"timeZone", s.timeZone}, {"utcOffsetMinutes", s.utcOffsetMinutes},
                {"event", nullptr}, {"events", std::move(events)}}.dump();
  json blocks = json::array(), entries = json::array(), exits = json::array();
  std::int64_t admitted = 0, inside = 0;
  for (std::size_t b = 0; b < kBlocks.size(); ++b) {
    blocks.push_back({{"block", kBlocks[b]}, {"admitted", s.counts.admitted[b]}, {"inside", s.counts.inside[b]},
                      {"insideTwice", s.insideTwice[b]}, {"capacity", s.capacity[b]}});
    admitted += s.counts.admitted[b];
    inside += s.counts.inside[b];
    entries.push_back(flowSeries(s, b, false));
    exits.push_back(flowSeries(s, b, true));
  }
  json refusals = json::array();
  for (const auto& [reason, count] : s.counts.refusals) refusals.push_back({{"reason", reason}, {"count", count}});
  json strangers = json::array();
  for (const Stranger& st : s.strangers) {
    strangers.push_back({{"source", st.source},
                         {"checks", st.requests[static_cast<std::size_t>(SessionlessKind::Check)]},
                         {"placeSignIns", st.requests[static_cast<std::size_t>(SessionlessKind::PlaceSignIn)]},
                         {"statistics", st.requests[static_cast<std::size_t>(SessionlessKind::Statistics)]},
                         {"lastSeen", st.lastSeen}});
  }
  json gates = json::array();
  for (std::size_t i = 0; i < s.counts.gates.size(); ++i) {
    const IngressGate& g = s.counts.gates[i];
    gates.push_back({{"source", g.source}, {"checks", g.checks}, {"refusals", g.refusals},
                     {"lastCheck", g.lastCheck}, {"silent", s.serverTime - g.lastCheck >= kSilentGateMs},
                     {"block", i < s.gateBlocks.size() ? s.gateBlocks[i] : std::string()}});
  }
  json out{
      {"serverTime", s.serverTime},
      {"timeZone", s.timeZone},
      {"utcOffsetMinutes", s.utcOffsetMinutes},
      {"event", eventJson(s.event)},
      {"events", std::move(events)},
      {"blocks", std::move(blocks)},
      {"total", {{"admitted", admitted}, {"inside", inside}}},
      {"flow", {{"firstMinute", s.firstMinute * kMinuteMs}, {"minutes", kFlowMinutes},
                {"entries", std::move(entries)}, {"exits", std::move(exits)}}},
      {"refusals", std::move(refusals)},
      {"refusalMinutes", kRefusalMinutes},
      {"gates", std::move(gates)},
      {"gateMinutes", kGateMinutes},
      {"silentMinutes", kSilentGateMs / kMinuteMs},
      {"strangers", std::move(strangers)},
      {"strangerMinutes", kStrangerMinutes},
      {"offline", {{"on", s.event.offline}, {"maxAgeMinutes", s.event.offlineMaxAgeMinutes}}},
  };
  addControlRoom(s, out);
  return out.dump();
}

// The open streams and the latest snapshot of each event they watch. Shared with the callbacks
// that outlive a request, so that none of them reaches a hub already gone.
struct Dashboard::Hub : std::enable_shared_from_this<Dashboard::Hub> {
  struct Viewer {
    std::weak_ptr<EventSink> sink;
    std::string place, bizCode, token;
  };
  struct Latest {
    std::shared_ptr<const std::string> message;
    std::chrono::steady_clock::time_point at;
    bool inFlight = false;
  };
  using Key = std::pair<std::string, std::string>;  // venue, event asked for ("" for the active one)

  Hub(Store& s, asio::any_io_executor executor, Runner r, const SessionlessTally* t, std::chrono::milliseconds i)
      : store(s), runner(std::move(r)), sessionless(t), interval(i), timer(asio::make_strand(executor)) {}

  // The store's snapshot, and the strangers from this server's memory.
  IngressSnapshot snapshot(const std::string& place, const std::string& bizCode, const AlsoRead& alsoRead = {}) const {
    IngressSnapshot s = takeIngressSnapshot(store, place, bizCode, alsoRead);
    if (sessionless && s.hasEvent) s.strangers = sessionless->strangers(s.serverTime);
    return s;
  }

  void start() {
    timer.expires_after(interval);
    timer.async_wait([hub = shared_from_this()](boost::system::error_code ec) {
      if (!ec) hub->tick();
    });
  }

  void tick() {
    std::set<Key> keys;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopped) return;
      std::vector<Viewer> open;
      for (Viewer& v : viewers) {
        if (v.sink.expired()) continue;
        keys.insert({v.place, v.bizCode});
        open.push_back(std::move(v));
      }
      viewers.swap(open);
      for (auto it = latest.begin(); it != latest.end();) it = keys.count(it->first) ? std::next(it) : latest.erase(it);
    }
    for (const Key& key : keys) refresh(key, false);
    start();
  }

  // Takes a new snapshot of `key` for its viewers, unless one is under way or (when `onlyIfStale`)
  // the latest is younger than the interval, in which case a new viewer gets that one.
  void refresh(const Key& key, bool onlyIfStale, const std::shared_ptr<EventSink>& newcomer = nullptr) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      Latest& l = latest[key];
      if (l.inFlight) return;
      if (onlyIfStale && l.message && std::chrono::steady_clock::now() - l.at < interval) {
        if (newcomer) newcomer->push(l.message);
        return;
      }
      l.inFlight = true;
    }
    runner([hub = shared_from_this(), key] {
      // A session that ended since its stream opened (revoked, expired, a password changed) ends
      // the stream at the next snapshot: the page then asks its viewer to sign in again.
      std::set<std::string> tokens, ended;
      {
        std::lock_guard<std::mutex> lock(hub->mutex);
        for (const Viewer& v : hub->viewers)
          if (v.place == key.first && v.bizCode == key.second) tokens.insert(v.token);
      }
      auto checkSessions = [&](Reader& reader, TimeMs now) {
        ended.clear();
        for (const std::string& token : tokens)
          if (!stillAdminOf(reader, token, key.first, now)) ended.insert(token);
      };
      std::string body;
      try {
        body = ingressJson(hub->snapshot(key.first, key.second, checkSessions));
      } catch (const std::exception& e) {
        body = json{{"serverTime", Store::systemNow()}, {"event", nullptr}, {"error", e.what()}}.dump();
      }
      auto message = std::make_shared<const std::string>("data: " + body + "\n\n");
      std::vector<std::shared_ptr<EventSink>> sinks, ending;
      {
        std::lock_guard<std::mutex> lock(hub->mutex);
        Latest& l = hub->latest[key];
        l.inFlight = false;
        l.message = message;
        l.at = std::chrono::steady_clock::now();
        for (const Viewer& v : hub->viewers) {
          if (v.place != key.first || v.bizCode != key.second) continue;
          if (auto sink = v.sink.lock()) (ended.count(v.token) ? ending : sinks).push_back(std::move(sink));
        }
      }
      for (const auto& sink : sinks) sink->push(message);
      for (const auto& sink : ending) sink->end();
    });
  }

  void add(const std::shared_ptr<EventSink>& sink, const std::string& place, const std::string& bizCode,
           const std::string& token) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopped) return sink->end();
      viewers.push_back(Viewer{sink, place, bizCode, token});
    }
    refresh({place, bizCode}, true, sink);
  }

  void stop() {
    std::vector<Viewer> ending;
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopped = true;
      ending.swap(viewers);
    }
    asio::post(timer.get_executor(), [hub = shared_from_this()] { hub->timer.cancel(); });
    for (const Viewer& v : ending)
      if (auto sink = v.sink.lock()) sink->end();
  }

  Store& store;
  const Runner runner;
  const SessionlessTally* const sessionless;
  const std::chrono::milliseconds interval;
  asio::steady_timer timer;
  std::mutex mutex;
  std::vector<Viewer> viewers;
  std::map<Key, Latest> latest;
  bool stopped = false;
};

Dashboard::Dashboard(Store& store, asio::any_io_executor executor, Runner runner,
                     const SessionlessTally* sessionless, std::chrono::milliseconds interval)
    : hub_(std::make_shared<Hub>(store, std::move(executor), std::move(runner), sessionless, interval)) {
  hub_->start();
}

Dashboard::~Dashboard() { stop(); }

void Dashboard::stop() { hub_->stop(); }

// --- the control room: ticket lookup, a ticket's story and the supervisor's actions -------------

namespace {

const std::string kTicketsPath = "/api/v1/tickets";

json optionalTime(const std::optional<TimeMs>& t) { return t ? json(*t) : json(nullptr); }

json ticketJson(const Ticket& t) {
  return json{{"ticketNo", t.ticketNo},       {"custName", t.custName},   {"goodsName", t.goodsName},
              {"playDate", t.playDate},       {"placeName", t.placeName}, {"seatGradeName", t.seatGradeName},
              {"seatInfo", t.seatInfo},       {"block", t.block},         {"cancelled", t.cancelled},
              {"inside", t.inside},           {"entryCount", t.entryCount},
              {"firstEntry", optionalTime(t.firstEntry)}, {"lastEntry", optionalTime(t.lastEntry)},
              {"lastExit", optionalTime(t.lastExit)}};
}

json storyJson(const TicketStory& story) {
  json lines = json::array();
  for (const StoryLine& s : story.lines) {
    const ScanRecord& l = s.line;
    lines.push_back({{"id", l.id}, {"at", l.at}, {"kind", l.kind}, {"operator", l.operatorId}, {"gate", s.gate},
                     {"mode", l.mode}, {"block", l.block}, {"code", l.code}, {"message", l.message},
                     {"outcome", l.outcome}, {"offline", s.offline},
                     {"annulledBy", s.annulledBy ? json(*s.annulledBy) : json(nullptr)}});
  }
  return json{{"serverTime", story.serverTime},
              {"ticket", ticketJson(story.ticket)},
              {"lines", std::move(lines)},
              {"annullable", story.annullable ? json(*story.annullable) : json(nullptr)},
              {"annulMinutes", kAnnulWindowMs / kMinuteMs}};
}

// The annul's line id from the body {"line": N}; none when the body says no such thing.
std::optional<std::int64_t> annulLineOf(const std::string& body) {
  const json parsed = json::parse(body, nullptr, false);
  if (!parsed.is_object() || !parsed.contains("line") || !parsed["line"].is_number_integer()) return std::nullopt;
  return parsed["line"].get<std::int64_t>();
}

// Answers a control-room route: a lookup (no ticket named), a ticket's story, or an action on it
// and its story after. The rules are control_room.h's: this only reads the request and writes the
// answer.
void answerTickets(Store& store, const Dashboard::Runner& runner, const HttpRequest& request, const Peer& from,
                   Reply& reply, const RouteMatch& match, const std::string& action) {
  const ControlCaller caller{sessionToken(request), from.address.to_string()};
  std::optional<std::int64_t> line;
  if (action == "annul" && !(line = annulLineOf(request.body()))) {
    return reply.send(errorResponse(400, "Name the entry to annul by its scan-log line: {\"line\": 123}."));
  }
  const std::vector<std::string>& parts = match.params;
  const std::string_view target = request.target();
  const std::string bizCode = parts.empty() ? queryValue(target, "bizcode") : parts[0];
  const std::string query = queryValue(target, "q");
  runner([&store, caller, parts, action, line, bizCode, query, reply = std::move(reply)]() mutable {
    try {
      json body;
      if (parts.empty()) {
        json tickets = json::array();
        for (const Ticket& t : findTickets(store, caller, bizCode, query)) tickets.push_back(ticketJson(t));
        body = json{{"tickets", std::move(tickets)}, {"limit", kLookupLimit}};
      } else {
        bool changed = true;
        if (action == "annul") annulEntry(store, caller, bizCode, parts[1], *line);
        if (action == "cancel" || action == "restore")
          changed = setTicketCancelledBy(store, caller, bizCode, parts[1], action == "cancel");
        body = storyJson(ticketStory(store, caller, bizCode, parts[1]));
        if (!action.empty()) body["changed"] = changed;
      }
      reply.vouch(true);  // only an admin's live session gets this far
      reply.send(bodyResponse(body.dump(), "application/json"));
    } catch (...) {
      reply.send(failureResponse(std::current_exception(), kNeedsAdmin));
    }
  });
}

// One of the page's files, with the headers that keep it to this server's own content; sent from
// the one copy of it in memory, compressed when the browser takes that.
void answerFile(const HttpRequest& request, std::string_view name, Reply& reply) {
  const std::optional<std::string_view> bytes = dashboardFile(name);
  if (!bytes) return reply.send(notFoundResponse());
  const bool gzip = acceptsGzip(request);
  const std::string_view body = gzip ? gzippedFile(*bytes) : *bytes;
  FileResponse response{http::status::ok, 11};
  response.set(http::field::content_type, contentTypeOf(name));
  response.set(http::field::cache_control, "no-store");
  response.set(http::field::vary, "Accept-Encoding");
  if (gzip) response.set(http::field::content_encoding, "gzip");
  response.set("X-Content-Type-Options", "nosniff");
  response.set("Content-Security-Policy", kPagePolicy);
  response.set("X-Frame-Options", "DENY");
  response.set("Referrer-Policy", "no-referrer");
  response.body() = {body.data(), body.size()};
  reply.send(std::move(response));
}

}  // namespace

// The routes hold the hub by a plain pointer, so that the route table keeps nothing of the
// dashboard alive: the hub's timer must go with the dashboard, before the service's io_context.
// The dashboard outlives every request the service answers.
void Dashboard::addRoutes(Routes& routes) {
  using M = RouteMethod;
  const RouteHandler page = [](const HttpRequest& request, const Peer&, Reply& reply, const RouteMatch&) {
    answerFile(request, "index.html", reply);
  };
  routes.add(M::Get, kPagePath, page);
  routes.add(M::Get, kPagePath + "/", page);
  routes.add(M::Get, kPagePath + "/*", [](const HttpRequest& request, const Peer&, Reply& reply, const RouteMatch& m) {
    answerFile(request, m.rest, reply);
  });
  // The figures, once or as a stream, for an admin's live session only.
  for (const bool stream : {false, true}) {
    routes.add(M::Get, stream ? kStreamPath : kDataPath,
               [hub = hub_.get(), stream](const HttpRequest& request, const Peer&, Reply& reply, const RouteMatch&) {
      // Who asks and for what is read off the request here: the request does not travel to the pool.
      const std::string bizCode = queryValue(request.target(), "bizcode");
      hub->runner([hub = hub->shared_from_this(), token = sessionToken(request), bizCode, stream, reply = std::move(reply)]() mutable {
        std::optional<std::string> place;
        try {
          place = adminVenue(hub->store, token);
        } catch (...) {
          return reply.send(failureResponse(std::current_exception()));
        }
        reply.vouch(place.has_value());
        if (!place) return reply.send(errorResponse(401, kNeedsAdmin));
        if (stream) {
          std::string head =
              "HTTP/1.1 200 OK\r\nDate: " + httpDateNow() +
              "\r\nContent-Type: text/event-stream; charset=utf-8\r\nCache-Control: no-store\r\n"
              "Connection: close\r\nX-Accel-Buffering: no\r\n\r\n"
              "retry: 2000\n\n";
          return reply.stream(std::move(head), [hub, place = *place, bizCode, token](const std::shared_ptr<EventSink>& sink) {
            hub->add(sink, place, bizCode, token);
          });
        }
        try {
          // Without an active event the page still gets the venue's events to choose from.
          const IngressSnapshot snapshot = hub->snapshot(*place, bizCode);
          if (!snapshot.hasEvent && !bizCode.empty()) return reply.send(errorResponse(404, kNoEvent));
          reply.send(bodyResponse(ingressJson(snapshot), "application/json"));
        } catch (...) {
          reply.send(failureResponse(std::current_exception()));
        }
      });
               });
  }
  auto tickets = [hub = hub_.get()](std::string action) {
    return [hub, action](const HttpRequest& request, const Peer& from, Reply& reply, const RouteMatch& m) {
      answerTickets(hub->store, hub->runner, request, from, reply, m, action);
    };
  };
  routes.add(M::Get, kTicketsPath, tickets(""));
  routes.add(M::Get, kTicketsPath + "/{}/{}", tickets(""));
  for (const char* action : {"annul", "cancel", "restore"})
    routes.add(M::Post, kTicketsPath + "/{}/{}/" + action, tickets(action));
}

}  // namespace tav::server
