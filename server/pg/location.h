// Where a PostgreSQL store lives, as a URI, and the same URI with its password kept out of sight.
#pragma once

#include <string>

namespace tav::server::pg {

// `message` with every password that `uri` carries replaced by "***".
std::string scrubbed(std::string message, const std::string& uri);

}  // namespace tav::server::pg
