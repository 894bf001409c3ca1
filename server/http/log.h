// The server's log: one line at a time on stderr, whoever writes it.
#pragma once

#include <string>

namespace tav::server {

// One line on stderr, prefixed with the local time and the program name.
void logLine(const std::string& message);

}  // namespace tav::server
