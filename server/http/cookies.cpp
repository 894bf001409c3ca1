// Cookie fields: "name=value" pairs separated by semicolons, possibly in several Cookie fields.
#include "server/http/cookies.h"

#include <boost/beast/http/field.hpp>

#include "server/core/sessions.h"

namespace tav::server {
namespace {

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::string cookie(std::string_view name, const std::string& value, std::string_view path, bool https) {
  std::string out = std::string(name) + "=" + value + "; Path=" + std::string(path) + "; HttpOnly; SameSite=Strict";
  if (https) out += "; Secure";
  return out;
}

}  // namespace

std::string cookieValue(const HttpRequest& request, std::string_view name) {
  const auto fields = request.equal_range(boost::beast::http::field::cookie);
  for (auto field = fields.first; field != fields.second; ++field) {
    std::string_view rest(field->value().data(), field->value().size());
    while (!rest.empty()) {
      const std::size_t end = rest.find(';');
      const std::string_view pair = trimmed(rest.substr(0, end));
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      const std::size_t eq = pair.find('=');
      if (eq != std::string_view::npos && trimmed(pair.substr(0, eq)) == name)
        return std::string(trimmed(pair.substr(eq + 1)));
    }
  }
  return {};
}

std::string sessionToken(const HttpRequest& request) { return cookieValue(request, kSessionCookie); }

std::string sessionCookie(const std::string& token, bool https) { return cookie(kSessionCookie, token, "/", https); }

std::string stationPageSessionCookie(const std::string& token, bool https) {
  return cookie(kStationPageSessionCookie, token, kStationPagePath, https);
}

std::string stationKeyCookie(const std::string& key, bool https) {
  return cookie(kStationKeyCookie, key, kStationPagePath, https) + "; Max-Age=" +
         std::to_string(key.empty() ? 0 : kStationKeyCookieSeconds);
}

}  // namespace tav::server
