// The offline journal's lines, their checksum and checks, and the few calls to the operating
// system that make an append durable and the file one process's (JournalFile, the one place a
// Windows port changes).
#include "offline/journal.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>
#include <tuple>
#include <utility>

#include "wire/protocol.h"
#include "wire/stands.h"

#ifdef _WIN32
#error "The offline journal's file calls are POSIX only: port JournalFile (LockFileEx, FlushFileBuffers, SetEndOfFile)."
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tav::offline {

namespace fs = std::filesystem;

namespace {

// Written in this order, so that a person reading the file sees the kind and the sequence first.
using LineJson = nlohmann::ordered_json;

constexpr std::string_view kKindDecision = "decision";
constexpr std::string_view kKindAcknowledged = "acknowledged";
constexpr std::string_view kKindTest = "test";

// Every line ends in `,"crc":"` eight lowercase hex digits `"}`; the checksum is taken over the
// line with that member cut out.
constexpr std::string_view kCrcMember = ",\"crc\":\"";
constexpr std::size_t kCrcDigits = 8;
constexpr std::size_t kCrcSuffixLength = kCrcMember.size() + kCrcDigits + 2;

std::string errnoText() { return std::error_code(errno, std::generic_category()).message(); }

std::string quoted(const fs::path& file) { return "\"" + file.string() + "\""; }

// ---- The operating system ------------------------------------------------------------------

// The open journal file, holding its exclusive lock until destroyed. Every call to the operating
// system the journal makes beyond standard C++ is here.
class JournalFile {
 public:
  // Opens or creates `file` (mode 0600: it names operators and tickets) and takes its lock without
  // waiting. flock, not fcntl: its lock belongs to this open file, so a second open in the same
  // process is refused too, and O_CLOEXEC keeps it from programs the station starts.
  static JournalFile openLocked(const fs::path& file) {
    JournalFile opened;
    opened.fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (opened.fd_ < 0)
      throw JournalError("The offline journal " + quoted(file) + " cannot be opened: " + errnoText() + ".");
    if (::flock(opened.fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK)
        throw JournalError("Another station process holds the offline journal " + quoted(file) +
                           ": only one may write it at a time.");
      throw JournalError("The offline journal " + quoted(file) + " cannot be locked: " + errnoText() + ".");
    }
    return opened;
  }

  // A new file's name is durable only once its folder is flushed too.
  static void syncFolder(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    const std::string reason = synced ? "" : errnoText();
    if (fd >= 0) ::close(fd);
    if (!synced)
      throw JournalError("The folder " + quoted(folder) + " of the offline journal cannot be flushed: " + reason + ".");
  }

  JournalFile(JournalFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  JournalFile& operator=(JournalFile&&) = delete;
  ~JournalFile() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }

  std::string readAll(const fs::path& file) const {
    std::string bytes;
    char buffer[65536];
    for (off_t at = 0;;) {
      const ssize_t n = ::pread(fd_, buffer, sizeof buffer, at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw JournalError("The offline journal " + quoted(file) + " cannot be read: " + errnoText() + ".");
      if (n == 0) return bytes;
      bytes.append(buffer, static_cast<std::size_t>(n));
      at += n;
    }
  }

  // Writes all of `bytes` at the end and flushes them to the disk before returning.
  void append(std::string_view bytes, const fs::path& file) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw JournalError("The offline journal " + quoted(file) + " cannot be written: " + errnoText() + ".");
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    flush(file);
  }

  // Cuts the file to its first `length` bytes, on the disk before returning.
  void cutTo(std::uint64_t length, const fs::path& file) {
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0)
      throw JournalError("The torn last line of the offline journal " + quoted(file) +
                         " cannot be cut off: " + errnoText() + ".");
    flush(file);
  }

  // True while `file` still names this open file: not removed, renamed or replaced.
  bool stillAt(const fs::path& file) const {
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd_, &opened) == 0 && opened.st_nlink > 0 && ::stat(file.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
  }

 private:
  JournalFile() = default;

  void flush(const fs::path& file) {
    // The data and the file's length, which an append changes; not its times.
    if (::fdatasync(fd_) != 0)
      throw JournalError("The offline journal " + quoted(file) + " cannot be flushed to the disk: " + errnoText() + ".");
  }

  int fd_ = -1;
};

// ---- Lines ------------------------------------------------------------------------------------

std::string crcText(std::string_view bytes) {
  const auto crc = crc32_z(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
  char text[kCrcDigits + 1];
  std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(crc));
  return text;
}

// The line of `body` with its checksum and newline. Throws JournalError for text that is not UTF-8.
std::string sealed(const LineJson& body) {
  std::string line;
  try {
    line = body.dump();
  } catch (const nlohmann::json::exception&) {
    throw JournalError("The line was not journaled: one of its values is not valid UTF-8 text.");
  }
  const std::string crc = crcText(line);
  line.pop_back();  // the closing brace, put back after the checksum
  line.append(kCrcMember).append(crc).append("\"}\n");
  return line;
}

// The body a line's checksum was taken over, or none when the line has no checksum member or
// it does not match.
std::optional<std::string> unsealed(std::string_view line) {
  if (line.size() < kCrcSuffixLength + 2 || line.substr(line.size() - 2) != "\"}") return std::nullopt;
  const std::size_t member = line.size() - kCrcSuffixLength;
  if (line.substr(member, kCrcMember.size()) != kCrcMember) return std::nullopt;
  std::string body(line.substr(0, member));
  body.push_back('}');
  if (crcText(body) != line.substr(member + kCrcMember.size(), kCrcDigits)) return std::nullopt;
  return body;
}

bool isOutcomeWord(std::string_view word) {
  // Lowercase words joined by hyphens: the rule names its outcomes so ("already-inside").
  if (word.empty() || word.front() == '-' || word.back() == '-') return false;
  return std::all_of(word.begin(), word.end(), [](char c) { return (c >= 'a' && c <= 'z') || c == '-'; });
}

// What is wrong with a decision's fields (not its sequence), as a clause; none when nothing is.
std::optional<std::string> problemOf(const Decision& d) {
  if (!wire::isIdempotencyKey(d.idempotencyKey))
    return "its idempotency key is not " + std::to_string(wire::kIdempotencyKeyLength) + " characters of base64url";
  if (d.utcMs <= 0) return std::string("its UTC time is not after 1970");
  if (d.sinceOnlineMs < 0) return std::string("its time since the last online answer is negative");
  if (d.bizCode.empty()) return std::string("it names no business code");
  if (d.mode != wire::kModeEntry && d.mode != wire::kModeExit) return std::string("its mode is neither I nor O");
  if (!d.block.empty() && !wire::blockIndex(d.block)) return std::string("its block is none of the stand blocks");
  if (d.ticketNo.empty()) return std::string("it has no ticket number");
  if (d.operatorId.empty()) return std::string("it names no operator");
  if (!isOutcomeWord(d.outcome)) return std::string("its outcome is not one of the rule's words");
  return std::nullopt;
}

LineJson decisionLine(const Decision& d) {
  return LineJson{{"kind", kKindDecision},      {"seq", d.sequence},
                  {"key", d.idempotencyKey},    {"utcMs", d.utcMs},
                  {"sinceOnlineMs", d.sinceOnlineMs}, {"bizcode", d.bizCode},
                  {"mode", d.mode},             {"block", d.block},
                  {"ticketNo", d.ticketNo},     {"operatorId", d.operatorId},
                  {"outcome", d.outcome}};
}

// A line that is whole but not what a journal holds, said as the rest of "Line N of ... <reason>".
struct BadLine {
  std::string reason;
};

const nlohmann::json& member(const nlohmann::json& line, const char* name) {
  const auto it = line.find(name);
  if (it == line.end()) throw BadLine{std::string("has no \"") + name + "\""};
  return *it;
}

std::string textMember(const nlohmann::json& line, const char* name) {
  const auto& value = member(line, name);
  if (!value.is_string()) throw BadLine{std::string("has a \"") + name + "\" that is not text"};
  return value.get<std::string>();
}

std::int64_t numberMember(const nlohmann::json& line, const char* name) {
  const auto& value = member(line, name);
  if (!value.is_number_integer() || (value.is_number_unsigned() && value.get<std::uint64_t>() > INT64_MAX))
    throw BadLine{std::string("has a \"") + name + "\" that is not a whole number"};
  return value.get<std::int64_t>();
}

void expectMembers(const nlohmann::json& line, std::size_t count) {
  // The checksum only vouches for what was written; a member nobody reads is a line we did not write.
  if (line.size() != count) throw BadLine{"has members a journal line does not have"};
}

// Adds the whole, checksummed line `body` to `contents`; throws BadLine.
void apply(const std::string& body, JournalContents& contents) {
  const auto line = nlohmann::json::parse(body, nullptr, false);
  if (!line.is_object()) throw BadLine{"is not a JSON object"};
  const std::string kind = textMember(line, "kind");
  const std::int64_t highest = contents.highestSequence();
  if (kind == kKindDecision) {
    expectMembers(line, 11);
    Decision d;
    d.sequence = numberMember(line, "seq");
    d.idempotencyKey = textMember(line, "key");
    d.utcMs = numberMember(line, "utcMs");
    d.sinceOnlineMs = numberMember(line, "sinceOnlineMs");
    d.bizCode = textMember(line, "bizcode");
    d.mode = textMember(line, "mode");
    d.block = textMember(line, "block");
    d.ticketNo = textMember(line, "ticketNo");
    d.operatorId = textMember(line, "operatorId");
    d.outcome = textMember(line, "outcome");
    if (d.sequence != highest + 1)
      throw BadLine{"has sequence " + std::to_string(d.sequence) + " where " + std::to_string(highest + 1) +
                    " comes next"};
    if (const auto problem = problemOf(d)) throw BadLine{"holds a bad decision: " + *problem};
    contents.decisions.push_back(std::move(d));
  } else if (kind == kKindAcknowledged) {
    expectMembers(line, 2);
    const std::int64_t upTo = numberMember(line, "upTo");
    if (upTo < 1 || upTo > highest)
      throw BadLine{"acknowledges sequence " + std::to_string(upTo) + " where the decisions before it go up to " +
                    std::to_string(highest)};
    contents.acknowledgedUpTo = std::max(contents.acknowledgedUpTo, upTo);
  } else if (kind == kKindTest) {
    expectMembers(line, 2);
    numberMember(line, "utcMs");
  } else {
    throw BadLine{"is of a kind \"" + kind + "\" no journal writes"};
  }
}

struct Parsed {
  JournalContents contents;
  std::size_t wholeLength = 0;  // the bytes up to the end of the last line read
};

// Reads the bytes of a journal. The last line is torn when it does not end in a newline or its
// checksum does not match: an append that was cut short (the station killed, the power gone)
// never returned, so it was never an answer. Any other bad line throws JournalError.
Parsed parse(std::string_view bytes, const fs::path& file) {
  Parsed parsed;
  std::size_t lineNumber = 0;
  for (std::size_t at = 0; at < bytes.size();) {
    ++lineNumber;
    const std::size_t newline = bytes.find('\n', at);
    const bool ended = newline != std::string_view::npos;
    std::string_view line = bytes.substr(at, (ended ? newline : bytes.size()) - at);
    // A copy that went through a Windows tool may end its lines in CR LF.
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t next = ended ? newline + 1 : bytes.size();
    const std::optional<std::string> body = unsealed(line);
    if (next == bytes.size() && (!ended || !body)) {
      parsed.contents.tornLine = lineNumber;
      break;
    }
    const auto fail = [&](const std::string& reason) {
      return JournalError("Line " + std::to_string(lineNumber) + " of the offline journal " + quoted(file) + " " +
                          reason + ".");
    };
    if (!body) throw fail("is damaged: its checksum does not match");
    try {
      apply(*body, parsed.contents);
    } catch (const BadLine& bad) {
      throw fail(bad.reason);
    }
    parsed.wholeLength = next;
    at = next;
  }
  return parsed;
}

}  // namespace

// ---- Reading ----------------------------------------------------------------------------------

bool Decision::operator==(const Decision& o) const {
  const auto fields = [](const Decision& d) {
    return std::tie(d.sequence, d.idempotencyKey, d.utcMs, d.sinceOnlineMs, d.bizCode, d.mode, d.block, d.ticketNo,
                    d.operatorId, d.outcome);
  };
  return fields(*this) == fields(o);
}

std::int64_t JournalContents::highestSequence() const {
  return decisions.empty() ? 0 : decisions.back().sequence;
}

std::vector<Decision> JournalContents::unacknowledged() const {
  // Sequences are 1, 2, ... with no gap, so the first unacknowledged one is at acknowledgedUpTo.
  const auto first = decisions.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(
                                              static_cast<std::size_t>(acknowledgedUpTo), decisions.size()));
  return {first, decisions.end()};
}

std::string journalFileName(std::string_view stationName) {
  std::string name = stationName.empty() ? std::string("station") : std::string(stationName);
  for (char& c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || std::strchr("/\\:*?\"<>|", c)) c = '_';
  }
  return "offline-journal-" + name + ".log";
}

JournalContents readJournal(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw JournalError("The offline journal " + quoted(file) + " cannot be read: " + errnoText() + ".");
  const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw JournalError("The offline journal " + quoted(file) + " cannot be read to its end.");
  return parse(bytes, file).contents;
}

// ---- Writing ----------------------------------------------------------------------------------

struct Journal::State {
  fs::path path;
  JournalFile file;
  JournalContents contents;
  std::string failure;  // why a write or flush failed; the journal refuses every call after one

  void checkUsable() const {
    if (!failure.empty())
      throw JournalError("The offline journal " + quoted(path) + " failed earlier and must be opened again: " +
                         failure);
  }

  void write(const std::string& line) {
    try {
      file.append(line, path);
    } catch (const JournalError& e) {
      failure = e.what();
      throw;
    }
  }
};

Journal::Journal(std::unique_ptr<State> state) : state_(std::move(state)) {}
Journal::Journal(Journal&&) noexcept = default;
Journal& Journal::operator=(Journal&&) noexcept = default;
Journal::~Journal() = default;

Journal Journal::open(const fs::path& folder, std::string_view stationName) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error)
    throw JournalError("The folder " + quoted(folder) + " for the offline journal cannot be made: " +
                       error.message() + ".");
  const fs::path path = folder / fs::u8path(journalFileName(stationName));
  JournalFile file = JournalFile::openLocked(path);
  JournalFile::syncFolder(folder);
  Parsed parsed = parse(file.readAll(path), path);
  if (parsed.contents.tornLine) file.cutTo(parsed.wholeLength, path);
  return Journal(std::unique_ptr<State>(new State{path, std::move(file), std::move(parsed.contents), {}}));
}

Decision Journal::append(Decision decision) {
  State& s = *state_;
  s.checkUsable();
  if (const auto problem = problemOf(decision)) throw JournalError("The decision was not journaled: " + *problem + ".");
  decision.sequence = s.contents.highestSequence() + 1;
  s.write(sealed(decisionLine(decision)));
  s.contents.decisions.push_back(decision);
  return decision;
}

void Journal::acknowledge(std::int64_t sequence) {
  State& s = *state_;
  s.checkUsable();
  const std::int64_t highest = s.contents.highestSequence();
  if (sequence < 1 || sequence > highest)
    throw JournalError("Sequence " + std::to_string(sequence) + " cannot be acknowledged: the journal " +
                       quoted(s.path) + " holds decisions 1 to " + std::to_string(highest) + ".");
  if (sequence <= s.contents.acknowledgedUpTo) return;
  s.write(sealed(LineJson{{"kind", kKindAcknowledged}, {"upTo", sequence}}));
  s.contents.acknowledgedUpTo = sequence;
}

void Journal::testWrite() {
  State& s = *state_;
  s.checkUsable();
  if (!s.file.stillAt(s.path))
    throw JournalError("The offline journal " + quoted(s.path) +
                       " was removed or replaced while the station held it; restart the station.");
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  s.write(sealed(LineJson{{"kind", kKindTest}, {"utcMs", static_cast<std::int64_t>(now.count())}}));
}

const JournalContents& Journal::contents() const { return state_->contents; }

const fs::path& Journal::path() const { return state_->path; }

}  // namespace tav::offline
