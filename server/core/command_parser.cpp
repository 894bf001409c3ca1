// The command-text grammar: a hand-written scanner, standard C++ only so that the fuzzer can build
// it on its own.
#include "server/core/command_parser.h"

#include <array>

#include "server/core/errors.h"

namespace tav::server {
namespace {

struct CatalogueEntry {
  ProcedureId id;
  std::string_view name;
  std::size_t minArgs, maxArgs;
};

// The operator sign-in takes ID and password, the venue sign-in only the place code; the booking
// procedure always takes mode, business code, block, ticket number and operator ID.
constexpr std::array<CatalogueEntry, 2> kCatalogue{{
    {ProcedureId::LoginInfo, wire::kLoginInfoProc, 1, 2},
    {ProcedureId::BookingInfo, wire::kBookingInfoProc, 5, 5},
}};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool isNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

class Scanner {
 public:
  explicit Scanner(std::string_view text) : text_(text) {}

  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  std::size_t pos() const { return pos_; }
  void advance() { ++pos_; }

  std::size_t skipBlanks() {
    std::size_t start = pos_;
    while (!atEnd() && isBlank(peek())) ++pos_;
    return pos_ - start;
  }

  std::string_view takeName() {
    std::size_t start = pos_;
    while (!atEnd() && isNameChar(peek())) ++pos_;
    return text_.substr(start, pos_ - start);
  }

  // Reads one apostrophe-quoted value; the opening apostrophe is the current character.
  std::string takeQuoted() {
    std::string value;
    ++pos_;
    for (;;) {
      if (atEnd()) throw BadCommand("An argument of the command text is not closed by an apostrophe.");
      char c = text_[pos_++];
      if (c != '\'') {
        value.push_back(c);
      } else if (!atEnd() && peek() == '\'') {
        value.push_back('\'');
        ++pos_;
      } else {
        return value;
      }
    }
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

std::string shown(std::string_view name) {
  constexpr std::size_t kMax = 64;
  return name.size() <= kMax ? std::string(name) : std::string(name.substr(0, kMax)) + "...";
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    std::size_t len = 0;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3;
      if (b0 == 0xE0) lo = 0xA0;       // overlong
      if (b0 == 0xED) hi = 0x9F;       // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4;
      if (b0 == 0xF0) lo = 0x90;       // overlong
      if (b0 == 0xF4) hi = 0x8F;       // above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    if (b1 < lo || b1 > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if (b < 0x80 || b > 0xBF) return false;
    }
    i += len;
  }
  return true;
}

std::size_t utf8Length(std::string_view text) {
  std::size_t count = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  return count;
}

std::string quoteArgument(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  for (char c : value) {
    out.push_back(c);
    if (c == '\'') out.push_back('\'');
  }
  return out;
}

ParsedCommand parseCommand(std::string_view text) {
  if (text.find('\0') != std::string_view::npos)
    throw BadCommand("The command text contains a NUL byte.");
  if (!isValidUtf8(text)) throw BadCommand("The command text is not valid UTF-8.");

  Scanner in(text);
  in.skipBlanks();
  std::string_view exec = in.takeName();
  if (!equalsNoCase(exec, "Exec"))
    throw BadCommand("The command text must start with Exec and a procedure name.");
  if (in.skipBlanks() == 0 || in.atEnd())
    throw BadCommand("The command text must start with Exec and a procedure name.");

  std::string_view name = in.takeName();
  if (name.empty()) throw BadCommand("The procedure name of the command text is missing.");
  const CatalogueEntry* entry = nullptr;
  for (const auto& e : kCatalogue)
    if (equalsNoCase(name, e.name)) entry = &e;
  if (entry == nullptr) throw BadCommand("The procedure " + shown(name) + " does not exist.");
  // A name glued to more text ("Proc_X;drop") is not a name followed by arguments.
  if (!in.atEnd() && !isBlank(in.peek()) && in.peek() != '\'')
    throw BadCommand("Unexpected text at byte " + std::to_string(in.pos() + 1) +
                     " of the command text, after the procedure name.");

  ParsedCommand cmd;
  cmd.procedure = entry->id;
  cmd.name = entry->name;

  in.skipBlanks();
  if (!in.atEnd()) {
    for (;;) {
      if (in.peek() != '\'')
        throw BadCommand("Unexpected text at byte " + std::to_string(in.pos() + 1) +
                         " of the command text; arguments stand between apostrophes.");
      cmd.args.push_back(in.takeQuoted());
      if (utf8Length(cmd.args.back()) > kMaxValueChars)
        throw BadCommand("Argument " + std::to_string(cmd.args.size()) + " of the command text is longer than " +
                         std::to_string(kMaxValueChars) + " characters.");
      in.skipBlanks();
      if (in.atEnd()) break;
      if (in.peek() != ',')
        throw BadCommand("Unexpected text at byte " + std::to_string(in.pos() + 1) +
                         " of the command text; arguments are separated by commas.");
      in.advance();
      in.skipBlanks();
      if (in.atEnd()) throw BadCommand("The command text ends with a comma; an argument is missing.");
    }
  }
  if (cmd.args.size() < entry->minArgs || cmd.args.size() > entry->maxArgs) {
    std::string expected = entry->minArgs == entry->maxArgs
                               ? std::to_string(entry->minArgs)
                               : std::to_string(entry->minArgs) + " or " + std::to_string(entry->maxArgs);
    throw BadCommand("The procedure " + std::string(entry->name) + " takes " + expected +
                     " arguments, not " + std::to_string(cmd.args.size()) + ".");
  }
  return cmd;
}

CommandKind commandKind(const ParsedCommand& command) {
  if (command.procedure == ProcedureId::LoginInfo)
    return command.args.size() == 2 ? CommandKind::OperatorSignIn : CommandKind::PlaceSignIn;
  return command.args[0] == wire::kModeStatistics ? CommandKind::Statistics : CommandKind::TicketCheck;
}

}  // namespace tav::server
