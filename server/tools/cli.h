// The tav-server command line: the venue setup commands and `serve`.
#pragma once

namespace tav::server {

// Runs one tav-server command. Returns the process exit code: 0 done, 1 the command failed,
// 2 the command line itself is wrong. Messages go to stdout (results) and stderr (one-sentence
// errors).
int runCli(int argc, char** argv);

}  // namespace tav::server
