// The session cookie on the wire: read from a request's Cookie fields, written as Set-Cookie.
#pragma once

#include <string>

#include "server/http/responses.h"

namespace tav::server {

// The value of the request's tav_session cookie; empty when it has none.
std::string sessionToken(const HttpRequest& request);

// The Set-Cookie value that hands a new session's token to the client: for every path of this
// server, out of scripts' reach, never sent by another site's page, and over https only where the
// server speaks https.
std::string sessionCookie(const std::string& token, bool https);

}  // namespace tav::server
