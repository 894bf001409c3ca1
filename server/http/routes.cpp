// Route lookup: the path is walked segment by segment against each pattern, without copying it.
#include "server/http/routes.h"

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/verb.hpp>

namespace tav::server {

namespace http = boost::beast::http;

namespace {

const std::string kAnySegment = "{}";
const std::string kRest = "*";

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// '+' stands for a space in a query string only: in a path it is itself.
std::string percentDecoded(std::string_view raw, bool plusIsSpace) {
  std::string out;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (plusIsSpace && raw[i] == '+') {
      out += ' ';
    } else if (raw[i] == '%' && i + 2 < raw.size() && hexDigit(raw[i + 1]) >= 0 && hexDigit(raw[i + 2]) >= 0) {
      out += static_cast<char>(hexDigit(raw[i + 1]) * 16 + hexDigit(raw[i + 2]));
      i += 2;
    } else {
      out += raw[i];
    }
  }
  return out;
}

bool serves(RouteMethod method, http::verb verb) {
  if (method == RouteMethod::Post) return verb == http::verb::post;
  return verb == http::verb::get || verb == http::verb::head;
}

}  // namespace

void Routes::add(RouteMethod method, std::string_view pattern, RouteHandler handler, bool ignoreCase,
                 OtherMethods other) {
  Route route{method, {}, std::move(handler), ignoreCase, other};
  // "/a/b/" is the segments "a", "b" and "": a trailing slash is a path of its own.
  for (std::string_view rest = pattern; !rest.empty();) {
    rest.remove_prefix(1);
    const std::size_t slash = rest.find('/');
    route.segments.emplace_back(rest.substr(0, slash));
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
  }
  routes_.push_back(std::move(route));
}

bool Routes::matches(const Route& route, std::string_view path, RouteMatch& match) {
  match.params.clear();
  match.rest = {};
  for (const std::string& segment : route.segments) {
    if (path.empty() || path.front() != '/') return false;
    path.remove_prefix(1);
    if (segment == kRest) {
      match.rest = path;
      return !path.empty();
    }
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash);
    if (segment == kAnySegment) {
      if (part.empty()) return false;
      match.params.push_back(percentDecoded(part, false));
    } else if (route.ignoreCase ? !boost::beast::iequals(part, segment) : part != segment) {
      return false;
    }
  }
  return path.empty();
}

void Routes::answer(const HttpRequest& request, const Peer& from, Reply& reply) const {
  const std::string_view path = targetPath(request.target());
  const Route* otherMethod = nullptr;
  RouteMatch match;
  for (const Route& route : routes_) {
    if (!matches(route, path, match)) continue;
    if (serves(route.method, request.method())) return route.handler(request, from, reply, match);
    if (!otherMethod && route.other == OtherMethods::NotAllowed) otherMethod = &route;
  }
  if (!otherMethod) return reply.send(notFoundResponse());
  const bool post = otherMethod->method == RouteMethod::Post;
  HttpResponse response = errorResponse(405, post ? "This route only answers POST." : "This route only answers GET.");
  response.set(http::field::allow, post ? "POST" : "GET");
  reply.send(std::move(response));
}

std::string_view targetPath(std::string_view target) { return target.substr(0, target.find('?')); }

std::string queryValue(std::string_view target, std::string_view name) {
  const std::size_t q = target.find('?');
  if (q == std::string_view::npos) return {};
  std::string_view rest = target.substr(q + 1);
  while (!rest.empty()) {
    const std::size_t amp = rest.find('&');
    const std::string_view pair = rest.substr(0, amp);
    rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
    const std::size_t eq = pair.find('=');
    if (pair.substr(0, eq) != name || eq == std::string_view::npos) continue;
    return percentDecoded(pair.substr(eq + 1), true);
  }
  return {};
}

}  // namespace tav::server
