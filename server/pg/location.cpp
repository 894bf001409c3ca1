// PostgreSQL URIs: which locations are ones, and their passwords masked in what is shown or logged.
#include "server/pg/location.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>
#include <vector>


namespace tav::server {
namespace {

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Where the password stands in a URI, as libpq reads it: between the first ':' and the '@' of
// the user part, and as the value of every "password" parameter.
std::vector<std::pair<std::size_t, std::size_t>> passwordSpans(const std::string& uri) {
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  const std::size_t start = uri.find("://") + 3;
  const std::size_t stop = uri.find_first_of("@/", start);
  if (stop != std::string::npos && uri[stop] == '@') {
    const std::size_t colon = uri.find(':', start);
    if (colon < stop) spans.emplace_back(colon + 1, stop);
  }
  std::size_t pos = uri.find('?', stop == std::string::npos ? start : stop);
  while (pos != std::string::npos && pos < uri.size()) {
    const std::size_t keyStart = pos + 1;
    const std::size_t end = std::min(uri.find('&', keyStart), uri.size());
    const std::size_t eq = uri.find('=', keyStart);
    if (eq < end && strncasecmp(uri.c_str() + keyStart, "password", eq - keyStart) == 0 &&
        eq - keyStart == std::strlen("password"))
      spans.emplace_back(eq + 1, end);
    pos = end;
  }
  return spans;
}

std::string percentDecoded(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

}  // namespace

namespace pg {

// libpq's messages may quote pieces of the URI; no password leaves through them.
std::string scrubbed(std::string message, const std::string& uri) {
  for (const auto& [from, to] : passwordSpans(uri)) {
    if (to <= from) continue;
    const std::string raw = uri.substr(from, to - from);
    for (const std::string& secret : {raw, percentDecoded(raw)}) {
      if (secret.empty()) continue;
      for (std::size_t at = message.find(secret); at != std::string::npos; at = message.find(secret, at + 3))
        message.replace(at, secret.size(), "***");
    }
  }
  return message;
}

}  // namespace pg

bool isPostgresUri(const std::string& location) {
  return startsWith(location, "postgresql://") || startsWith(location, "postgres://");
}

std::string maskedLocation(const std::string& location) {
  if (!isPostgresUri(location)) return location;
  std::string out = location;
  auto spans = passwordSpans(location);
  // Replaced from the back, so that the earlier spans keep their offsets.
  std::sort(spans.rbegin(), spans.rend());
  for (const auto& [from, to] : spans) out.replace(from, to - from, "***");
  return out;
}

}  // namespace tav::server
