// The server's one route table: which handler answers a method on a path, looked up once per
// request, with the 404 and 405 answers of the paths and methods no handler takes.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "server/http/connection.h"
#include "server/http/responses.h"

namespace tav::server {

// What a route's pattern matched: each "{}" segment percent-decoded, and the rest a "*" stood for.
struct RouteMatch {
  std::vector<std::string> params;
  std::string_view rest;
};

using RouteHandler = std::function<void(const HttpRequest&, const Peer&, Reply&, const RouteMatch&)>;

// The methods a route serves: GET (and HEAD, answered as GET without the body) or POST.
enum class RouteMethod { Get, Post };

// What a method the route does not serve is answered: 405 naming the route's method, or 404 as if
// the route were not there (what the health and metrics probes have always been answered).
enum class OtherMethods { NotAllowed, NotFound };

class Routes {
 public:
  // `pattern` is a path of segments that are literal text, "{}" for any one non-empty segment, or
  // a last "*" for the non-empty rest of the path ("/api/v1/tickets/{}/{}", "/dashboard/*").
  // `ignoreCase`: literal segments match whatever their case. Routes are tried in the order added.
  void add(RouteMethod method, std::string_view pattern, RouteHandler handler, bool ignoreCase = false,
           OtherMethods other = OtherMethods::NotAllowed);

  // Hands the request to the first route that matches its path and method; answers 405 when a
  // route matches the path but not the method, 404 when none matches the path.
  void answer(const HttpRequest& request, const Peer& from, Reply& reply) const;

 private:
  struct Route {
    RouteMethod method;
    std::vector<std::string> segments;
    RouteHandler handler;
    bool ignoreCase;
    OtherMethods other;
  };
  static bool matches(const Route& route, std::string_view path, RouteMatch& match);
  std::vector<Route> routes_;
};

// The path of a request target, without its query string.
std::string_view targetPath(std::string_view target);

// The value of `name` in the target's query string, percent-decoded ('+' a space); empty when absent.
std::string queryValue(std::string_view target, std::string_view name);

}  // namespace tav::server
