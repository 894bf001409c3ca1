// The session cookies on the wire: read from a request's Cookie fields, written as Set-Cookie.
#pragma once

#include <string>
#include <string_view>

#include "server/http/responses.h"

namespace tav::server {

// The station page's own cookies. Its session is apart from the dashboard's tav_session (which is
// for every path), so that a dashboard sign-in in the same browser never replaces the gate's.
inline constexpr std::string_view kStationPagePath = "/station";
inline constexpr std::string_view kStationPageSessionCookie = "tav_station_session";
// A browser station's key, set by the server when the page redeems an enrolment code.
inline constexpr std::string_view kStationKeyCookie = "tav_station_key";
// How long a browser keeps its station key unused; every use renews it.
inline constexpr int kStationKeyCookieSeconds = 24 * 60 * 60;

// The value of the request's cookie `name`; empty when it has none.
std::string cookieValue(const HttpRequest& request, std::string_view name);

// The value of the request's tav_session cookie; empty when it has none.
std::string sessionToken(const HttpRequest& request);

// The Set-Cookie value that hands a new session's token to the client: for every path of this
// server, out of scripts' reach, never sent by another site's page, and over https only where the
// server speaks https.
std::string sessionCookie(const std::string& token, bool https);

// The same for the station page's session: sent back only to the station page's paths.
std::string stationPageSessionCookie(const std::string& token, bool https);

// A browser station's key, for the station page's paths, kept kStationKeyCookieSeconds from now;
// an empty key removes the cookie.
std::string stationKeyCookie(const std::string& key, bool https);

}  // namespace tav::server
