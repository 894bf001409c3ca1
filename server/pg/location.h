// Passwords kept out of what libpq says about a PostgreSQL store's URI.
#pragma once

#include <string>

namespace tav::server::pg {

// `message` with every password that `uri` carries replaced by "***".
std::string scrubbed(std::string message, const std::string& uri);

}  // namespace tav::server::pg
