// libFuzzer target for the command-text grammar: any bytes either parse or raise BadCommand, and
// what parses survives the station's quoting unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/core/command_parser.h"
#include "server/core/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  tav::server::ParsedCommand cmd;
  try {
    cmd = tav::server::parseCommand(text);
  } catch (const tav::server::BadCommand&) {
    return 0;
  }
  // Accepted text is UTF-8 without NUL, so are its values; quoting them again gives the same values.
  std::string again = "Exec " + std::string(cmd.name) + " ";
  for (std::size_t i = 0; i < cmd.args.size(); ++i) {
    if (!tav::server::isValidUtf8(cmd.args[i]) || cmd.args[i].find('\0') != std::string::npos) std::abort();
    again += (i ? ",'" : "'") + tav::server::quoteArgument(cmd.args[i]) + "'";
  }
  tav::server::ParsedCommand reparsed = tav::server::parseCommand(again);
  if (reparsed.procedure != cmd.procedure || reparsed.args != cmd.args) std::abort();
  return 0;
}
