// The strict grammar of the command texts the stations send; values come out as plain strings.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "wire/protocol.h"

namespace tav::server {

// The procedures the business object hosts.
enum class ProcedureId { LoginInfo, BookingInfo };


// Longest value a command text may carry, in characters: the longest ticket number, name or
// password any station sends is far shorter, and nothing longer reaches the store or its log.
inline constexpr std::size_t kMaxValueChars = 200;

struct ParsedCommand {
  ProcedureId procedure = ProcedureId::LoginInfo;
  std::string_view name;           // canonical spelling of the procedure name
  std::vector<std::string> args;   // unquoted: '' inside a value became one apostrophe
};

// Parses `ws* "Exec" ws+ name ws* [ arg ( ws* "," ws* arg )* ] ws*` where an arg is a value between
// apostrophes with '' standing for one apostrophe; Exec and the name are matched without regard to
// case. Throws BadCommand (one sentence) on a NUL byte, invalid UTF-8, any text outside the
// grammar, a value over kMaxValueChars characters, an unknown procedure or a wrong number of
// arguments.
ParsedCommand parseCommand(std::string_view text);

// What a command asks for: all the HTTP layer needs to know of a command text for its limits. The
// sign-ins (operator or venue) are limited per source address; the operator sign-in (ID and
// password) verifies a password, which takes a while.
enum class CommandKind { TicketCheck, Statistics, PlaceSignIn, OperatorSignIn };

CommandKind commandKind(const ParsedCommand& command);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

// Number of code points of well-formed UTF-8 text.
std::size_t utf8Length(std::string_view text);

// The value written between apostrophes in a command text: every apostrophe doubled.
std::string quoteArgument(std::string_view value);

}  // namespace tav::server
