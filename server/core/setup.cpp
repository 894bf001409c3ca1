// Venue setup: venues, events, operators and the all-or-nothing ticket import from CSV, streamed.
#include "server/core/setup.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string_view>
#include <tuple>
#include <unordered_map>

#include "server/core/caller.h"
#include "server/core/command_parser.h"
#include "server/core/password.h"
#include "server/core/sign_in.h"
#include "server/core/store.h"

namespace tav::server {
namespace {

// The station sends only the rightmost 15 characters of what was scanned.
constexpr std::size_t kMaxTicketNoLength = 15;
constexpr std::size_t kMaxCodeLength = 64;
constexpr std::size_t kMaxTextLength = 200;

const std::vector<std::string> kCsvHeader{"TicketNo",  "CustName",      "GoodsName",
                                          "PlayDate",  "PlaceName",     "SeatGradeName",
                                          "SeatInfo",  "Block",         "Status"};

bool hasControl(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  return false;
}

bool hasOuterBlank(const std::string& s) {
  return !s.empty() && (s.front() == ' ' || s.back() == ' ');
}

// The reason a text is unusable as `what`, or "" when it is fine.
std::string textProblem(const std::string& what, const std::string& value, std::size_t maxLength,
                        bool mayBeEmpty) {
  if (!isValidUtf8(value)) return what + " is not valid UTF-8";
  if (value.empty()) return mayBeEmpty ? std::string() : what + " is empty";
  if (hasControl(value)) return what + " contains a control character";
  if (utf8Length(value) > maxLength)
    return what + " is longer than " + std::to_string(maxLength) + " characters";
  return {};
}

void requireText(const std::string& what, const std::string& value, std::size_t maxLength) {
  std::string problem = textProblem(what, value, maxLength, false);
  if (problem.empty() && hasOuterBlank(value)) problem = what + " begins or ends with a blank";
  if (!problem.empty()) throw SetupError("The " + problem + ".");
}

std::string playDateProblem(const std::string& value) {
  if (value.size() != 12 || value.find_first_not_of("0123456789") != std::string::npos)
    return "play date must be 12 digits (YYYYMMDDHHMM)";
  const int year = std::stoi(value.substr(0, 4)), month = std::stoi(value.substr(4, 2)),
            day = std::stoi(value.substr(6, 2)), hour = std::stoi(value.substr(8, 2)),
            minute = std::stoi(value.substr(10, 2));
  static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap))
    return "play date " + value + " is not a real date";
  if (hour > 23 || minute > 59) return "play date " + value + " is not a real time of day";
  return {};
}

// A set of store ids, as one bit each in blocks of 64K ids: the ids of tickets run in sequence, so
// that millions of them take a few megabytes.
class IdSet {
 public:
  // False when the id was in the set already.
  bool insert(std::int64_t id) {
    std::vector<std::uint64_t>& block = blocks_[id >> kBlockBits];
    if (block.empty()) block.resize((std::size_t{1} << kBlockBits) / 64);
    const std::uint64_t bit = std::uint64_t{1} << (id & 63);
    std::uint64_t& word = block[static_cast<std::size_t>(id & ((std::int64_t{1} << kBlockBits) - 1)) / 64];
    const bool fresh = (word & bit) == 0;
    word |= bit;
    return fresh;
  }

 private:
  static constexpr int kBlockBits = 16;
  std::unordered_map<std::int64_t, std::vector<std::uint64_t>> blocks_;
};

// At most this many bad rows are reported at once: enough to mend a file in one round, few
// enough to read.
constexpr std::size_t kMaxReportedRows = 20;

// Collects the bad rows of one import and throws them all as one SetupError.
class BadRows {
 public:
  explicit BadRows(std::string file) : file_(std::move(file)) {}
  // Counts every bad row; true when this one is among those named.
  bool add(std::size_t line, const std::string& reason) {
    ++count_;
    if (lines_.size() >= kMaxReportedRows) return false;
    lines_.push_back(file_ + ":" + std::to_string(line) + ": " + reason + ".");
    return true;
  }
  bool empty() const { return lines_.empty(); }
  // Gives the reason of a row added with an empty one, once it is known.
  void explain(std::size_t line, const std::string& reason) {
    const std::string prefix = file_ + ":" + std::to_string(line) + ": ";
    for (std::string& l : lines_)
      if (l == prefix + ".") l = prefix + reason + ".";
  }
  [[noreturn]] void raise() const {
    std::string text;
    for (const std::string& l : lines_) text += (text.empty() ? "" : "\n") + l;
    if (count_ > lines_.size())
      text += "\n" + file_ + ": " + std::to_string(count_) + " bad rows in all; the first " +
              std::to_string(kMaxReportedRows) + " are shown.";
    if (lines_.size() > 1) text += "\nNothing was imported.";
    throw SetupError(text);
  }

 private:
  std::string file_;
  std::vector<std::string> lines_;
  std::size_t count_ = 0;
};

// How many bytes the UTF-8 character that starts with `lead` takes.
std::size_t utf8Bytes(unsigned char lead) { return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1; }

// The ticket file's text as UTF-8, read a chunk at a time so that a file of any size costs the
// same memory: converted from code page 949 when asked, refused with the encoding to give when it is
// not UTF-8. A character cut by the end of a chunk waits for the next one.
class TicketText {
 public:
  TicketText(const std::string& path, TicketEncoding encoding) : path_(path), encoding_(encoding) {
    in_.open(path, std::ios::binary);
    if (!in_) throw SetupError("The file " + path + " cannot be read: " + std::strerror(errno) + ".");
    if (encoding == TicketEncoding::Cp949) {
      cd_ = iconv_open("UTF-8", "CP949");
      if (cd_ == reinterpret_cast<iconv_t>(-1)) throw SetupError("This system cannot convert from code page 949.");
    }
  }
  ~TicketText() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  TicketText(const TicketText&) = delete;
  TicketText& operator=(const TicketText&) = delete;

  // The next byte of text, or -1 at the end of the file.
  int peek() { return pos_ < text_.size() || refill() ? static_cast<unsigned char>(text_[pos_]) : -1; }
  int get() {
    const int c = peek();
    if (c >= 0) ++pos_;
    return c;
  }

  // Passes over `prefix` when the text still to come starts with it; only at the start of the file.
  void skipPrefix(std::string_view prefix) {
    if (peek() >= 0 && std::string_view(text_).substr(pos_).substr(0, prefix.size()) == prefix) pos_ += prefix.size();
  }

 private:
  static constexpr std::size_t kChunk = 1 << 20;

  // Decodes the next chunk into text_; false at the end of the file.
  bool refill() {
    text_.clear();
    pos_ = 0;
    while (text_.empty()) {
      const std::size_t held = raw_.size();
      raw_.resize(held + kChunk);
      in_.read(raw_.data() + held, static_cast<std::streamsize>(kChunk));
      if (in_.bad()) throw SetupError("The file " + path_ + " cannot be read: " + std::strerror(errno) + ".");
      raw_.resize(held + static_cast<std::size_t>(in_.gcount()));
      const bool end = in_.gcount() == 0;
      if (end && raw_.empty()) return false;
      const std::size_t used = encoding_ == TicketEncoding::Cp949 ? fromCp949(end) : fromUtf8(end);
      rawLines_ += static_cast<std::size_t>(std::count(raw_.begin(), raw_.begin() + static_cast<long>(used), '\n'));
      rawOffset_ += used;
      raw_.erase(0, used);
    }
    return true;
  }

  // The line of the file that the raw byte `at` (of raw_) stands on.
  std::size_t lineAt(std::size_t at) const {
    return rawLines_ + 1 + static_cast<std::size_t>(std::count(raw_.begin(), raw_.begin() + static_cast<long>(at), '\n'));
  }

  std::size_t fromUtf8(bool end) {
    std::size_t cut = raw_.size();
    if (!end) {
      // Hold back a character whose last bytes are still in the file.
      std::size_t lead = cut;
      while (lead > 0 && cut - lead < 4 && (static_cast<unsigned char>(raw_[lead - 1]) & 0xC0) == 0x80) --lead;
      if (lead > 0) {
        if (cut - (lead - 1) < utf8Bytes(static_cast<unsigned char>(raw_[lead - 1]))) cut = lead - 1;
      }
    }
    const std::string_view text(raw_.data(), cut);
    if (!isValidUtf8(text)) {
      std::size_t start = 0;
      for (;;) {
        const std::size_t nl = text.find('\n', start);
        const std::size_t stop = nl == std::string_view::npos ? text.size() : nl;
        if (!isValidUtf8(text.substr(start, stop - start)) || nl == std::string_view::npos) break;
        start = nl + 1;
      }
      throw SetupError(path_ + ":" + std::to_string(lineAt(start)) +
                       ": the file is not UTF-8; for Korean Excel's plain \"CSV\" give --encoding cp949, or save it "
                       "as \"CSV UTF-8\".");
    }
    text_.assign(text);
    return cut;
  }

  std::size_t fromCp949(bool end) {
    // Each byte of code page 949 becomes at most 1.5 bytes of UTF-8.
    text_.resize(raw_.size() * 3 / 2 + 16);
    char* in = raw_.data();
    std::size_t inLeft = raw_.size();
    char* to = text_.data();
    std::size_t outLeft = text_.size();
    const std::size_t rc = iconv(cd_, &in, &inLeft, &to, &outLeft);
    const int error = errno;
    text_.resize(text_.size() - outLeft);
    const std::size_t used = raw_.size() - inLeft;
    if (rc == static_cast<std::size_t>(-1) && (error != EINVAL || end))
      throw SetupError(path_ + ":" + std::to_string(lineAt(used)) + ": the file is not in code page 949 (byte " +
                       std::to_string(rawOffset_ + used + 1) + "); leave out --encoding for a UTF-8 file.");
    return used;
  }

  std::string path_;
  TicketEncoding encoding_;
  std::ifstream in_;
  iconv_t cd_ = reinterpret_cast<iconv_t>(-1);
  std::string raw_;   // bytes read but not yet decoded
  std::string text_;  // decoded text, read up to pos_
  std::size_t pos_ = 0;
  std::size_t rawOffset_ = 0, rawLines_ = 0;  // bytes decoded so far, and the line feeds among them
};

// What the ticketing system says of a ticket besides its status: its holder, event, seat and block.
bool sameDetails(const Ticket& a, const Ticket& b) {
  return std::tie(a.custName, a.goodsName, a.playDate, a.placeName, a.seatGradeName, a.seatInfo, a.block) ==
         std::tie(b.custName, b.goodsName, b.playDate, b.placeName, b.seatGradeName, b.seatInfo, b.block);
}

bool sameContent(const Ticket& a, const Ticket& b) {
  return std::tie(a.custName, a.goodsName, a.playDate, a.placeName, a.seatGradeName, a.seatInfo, a.block,
                  a.cancelled) ==
         std::tie(b.custName, b.goodsName, b.playDate, b.placeName, b.seatGradeName, b.seatInfo, b.block,
                  b.cancelled);
}

// A field is kept up to this many bytes: any longer one is a bad row anyway (more than
// kMaxTextLength characters of at most 4 bytes), and a file that never closes a quote or never
// breaks a line must not fill the memory.
constexpr std::size_t kMaxFieldBytes = 4 * kMaxTextLength + 8;

struct CsvRecord {
  std::size_t line = 0;
  std::size_t count = 0;            // fields in the row
  bool blank = true;                // every field of the row is empty, however many
  std::vector<std::string> fields;  // the first of them, one more than a ticket row has
};

// RFC 4180 records, one at a time: commas between fields, CRLF or LF between records, fields
// between double quotes may hold commas, line breaks and doubled quotes. Blank lines are skipped,
// and a byte-order mark from spreadsheet tools is passed over.
class CsvReader {
 public:
  CsvReader(const std::string& path, TicketEncoding encoding) : text_(path, encoding), file_(path) {
    text_.skipPrefix("\xEF\xBB\xBF");
  }

  // Reads the next record into `rec`; false at the end of the file.
  bool next(CsvRecord& rec) {
    for (;;) {
      const int c = text_.peek();
      if (c < 0) return false;
      if (c == '\n') {
        text_.get();
        ++line_;
      } else if (c == '\r') {
        text_.get();
        if (text_.peek() != '\n') throw SetupError(where(line_) + "a carriage return stands alone.");
      } else {
        break;
      }
    }
    rec.line = line_;
    rec.count = 0;
    rec.blank = true;
    for (;;) {
      std::string scratch;
      std::string& field = rec.count < kCsvHeader.size() + 1 ? slot(rec) : scratch;
      field.clear();
      std::size_t bytes = 0;  // of the field in the file; more than it keeps when it is cut
      if (text_.peek() == '"') {
        text_.get();
        for (;;) {
          const int c = text_.get();
          if (c < 0) throw SetupError(where(rec.line) + "a quoted field is not closed.");
          if (c == '"') {
            if (text_.peek() != '"') break;
            text_.get();
          } else if (c == '\n') {
            ++line_;
          }
          keep(field, static_cast<char>(c), bytes);
        }
        const int after = text_.peek();
        if (after >= 0 && after != ',' && after != '\n' && after != '\r')
          throw SetupError(where(line_) + "text follows a closing quote.");
      } else {
        for (int c = text_.peek(); c >= 0 && c != ',' && c != '\n' && c != '\r'; c = text_.peek()) {
          if (c == '"') throw SetupError(where(line_) + "a quote stands inside an unquoted field.");
          keep(field, static_cast<char>(text_.get()), bytes);
        }
      }
      if (bytes > field.size()) {
        // A cut field ends with whole characters, so that it reads as too long, not as bad UTF-8.
        std::size_t lead = field.size();
        while (lead > 0 && (static_cast<unsigned char>(field[lead - 1]) & 0xC0) == 0x80) --lead;
        if (lead > 0 && utf8Bytes(static_cast<unsigned char>(field[lead - 1])) > field.size() - (lead - 1))
          field.resize(lead - 1);
      }
      ++rec.count;
      rec.blank = rec.blank && bytes == 0;
      const int c = text_.get();
      if (c == ',') continue;
      if (c == '\r' && text_.get() != '\n') throw SetupError(where(line_) + "a carriage return stands alone.");
      if (c >= 0) ++line_;
      break;
    }
    rec.fields.resize(std::min(rec.count, kCsvHeader.size() + 1));
    return true;
  }

 private:
  std::string where(std::size_t line) const { return file_ + ":" + std::to_string(line) + ": "; }

  // The record's next field, reusing the string of the record before.
  static std::string& slot(CsvRecord& rec) {
    if (rec.fields.size() <= rec.count) rec.fields.resize(rec.count + 1);
    return rec.fields[rec.count];
  }

  static void keep(std::string& field, char c, std::size_t& bytes) {
    if (++bytes <= kMaxFieldBytes) field.push_back(c);
  }

  TicketText text_;
  std::string file_;
  std::size_t line_ = 1;
};

// One CSV row as a ticket, or the reason it is not one.
std::string rowToTicket(const CsvRecord& rec, const std::string& bizCode, Ticket& t) {
  if (rec.count != kCsvHeader.size())
    return "the row has " + std::to_string(rec.count) + " fields, not " +
           std::to_string(kCsvHeader.size());
  for (std::size_t k = 0; k < rec.fields.size(); ++k) {
    const std::string& f = rec.fields[k];
    if (!isValidUtf8(f)) return kCsvHeader[k] + " is not valid UTF-8";
    if (hasControl(f)) return kCsvHeader[k] + " contains a control character";
    if (utf8Length(f) > kMaxTextLength)
      return kCsvHeader[k] + " is longer than " + std::to_string(kMaxTextLength) + " characters";
  }
  const auto& f = rec.fields;
  t = Ticket{};
  t.bizCode = bizCode;
  t.ticketNo = f[0];
  t.custName = f[1];
  t.goodsName = f[2];
  t.playDate = f[3];
  t.placeName = f[4];
  t.seatGradeName = f[5];
  t.seatInfo = f[6];
  t.block = f[7];
  if (t.ticketNo.empty()) return "TicketNo is empty";
  if (hasOuterBlank(t.ticketNo)) return "TicketNo begins or ends with a blank";
  if (utf8Length(t.ticketNo) > kMaxTicketNoLength)
    return "TicketNo is longer than " + std::to_string(kMaxTicketNoLength) + " characters";
  if (std::string p = playDateProblem(t.playDate); !p.empty()) return "PlayDate: the " + p;
  if (!blockIndex(t.block)) return "Block \"" + t.block + "\" is not one of " + blockNames(", ");
  if (f[8] == "cancelled") {
    t.cancelled = true;
  } else if (f[8] != "valid" && !f[8].empty()) {
    return "Status \"" + f[8] + "\" is neither valid nor cancelled";
  }
  return {};
}

// How many tickets the event holds.
std::int64_t eventTickets(Transaction& tx, const std::string& bizCode) {
  const std::optional<Event> event = tx.findEvent(bizCode);
  for (const EventCounts& c : tx.listEvents(event.value().placeCode))
    if (c.event.bizCode == bizCode) return c.tickets;
  return 0;
}

// Gives the ticket `there` what the export's row `row` says of it, but for a cancellation made here
// while the export says valid, and counts what changed.
void syncTicket(Transaction& tx, const Ticket& there, const Ticket& row, ImportSummary& summary) {
  Ticket want = there;
  want.custName = row.custName;
  want.goodsName = row.goodsName;
  want.playDate = row.playDate;
  want.placeName = row.placeName;
  want.seatGradeName = row.seatGradeName;
  want.seatInfo = row.seatInfo;
  want.block = row.block;
  if (row.cancelled) {
    // The export now says so too: from here on the cancellation is the ticketing system's.
    want.cancelled = true;
    want.cancelledHere = false;
    if (!there.cancelled) summary.cancelled.add(there.ticketNo);
  } else if (there.cancelled && there.cancelledHere) {
    summary.keptCancelled.add(there.ticketNo);
  } else if (there.cancelled) {
    want.cancelled = false;
    summary.restored.add(there.ticketNo);
  }
  const bool detailsChanged = !sameDetails(there, want);
  if (detailsChanged) summary.changed.add(there.ticketNo);
  if (detailsChanged || want.cancelled != there.cancelled || want.cancelledHere != there.cancelledHere)
    tx.updateTicket(there.id, want);
  else
    ++summary.skipped;
}

}  // namespace

std::string blockNames(const std::string& last) {
  std::string names;
  for (std::size_t i = 0; i < kBlocks.size(); ++i)
    names += (i == 0 ? "" : i + 1 == kBlocks.size() ? last : ", ") + kBlocks[i];
  return names;
}

std::size_t knownBlock(const std::string& block) {
  if (const std::optional<std::size_t> b = blockIndex(block)) return *b;
  throw SetupError("The block \"" + block + "\" is none of " + blockNames(" and ") + ".");
}

void addVenue(Store& store, const std::string& placeCode, const std::string& theaterName) {
  requireText("place code", placeCode, kMaxCodeLength);
  requireText("theater name", theaterName, kMaxTextLength);
  store.write([&](Transaction& tx) {
    if (tx.findVenue(placeCode)) throw SetupError("The venue " + placeCode + " already exists.");
    tx.insertVenue(Venue{placeCode, theaterName});
  });
}

void addEvent(Store& store, const std::string& placeCode, const std::string& bizCode,
              const std::string& goodsName, const std::string& playDate, bool makeActive) {
  requireText("place code", placeCode, kMaxCodeLength);
  requireText("business code", bizCode, kMaxCodeLength);
  requireText("event name", goodsName, kMaxTextLength);
  if (std::string p = playDateProblem(playDate); !p.empty()) throw SetupError("The " + p + ".");
  store.write([&](Transaction& tx) {
    if (!tx.findVenue(placeCode)) throw SetupError("There is no venue " + placeCode + ".");
    if (tx.findEvent(bizCode)) throw SetupError("The event " + bizCode + " already exists.");
    if (makeActive) tx.deactivateEvents(placeCode);
    Event event;
    event.bizCode = bizCode;
    event.placeCode = placeCode;
    event.goodsName = goodsName;
    event.playDate = playDate;
    event.active = makeActive;
    tx.insertEvent(event);
  });
}

// No stand holds more; a larger figure is a typing slip.
constexpr std::int64_t kMaxCapacity = 1000000;

CapacityChange parseCapacity(const std::string& text) {
  CapacityChange change;
  bool any = false;
  std::string_view rest = text;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string item(rest.substr(0, comma));
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos)
      throw SetupError("The capacity \"" + item + "\" is not of the form BLOCK=NUMBER, such as E석=12000.");
    const std::string block = item.substr(0, eq), figure = item.substr(eq + 1);
    std::string named = block;
    for (const std::string& b : kBlocks)
      if (block.size() == 1 && b[0] == block[0]) named = b;
    const std::size_t b = knownBlock(named);
    if (change.byBlock[b]) throw SetupError("The block " + kBlocks[b] + " is given two capacities.");
    if (figure.empty() || figure.size() > 7 || figure.find_first_not_of("0123456789") != std::string::npos ||
        std::stoll(figure) > kMaxCapacity)
      throw SetupError("The capacity of " + kBlocks[b] + " must be a whole number from 0 to " +
                       std::to_string(kMaxCapacity) + ".");
    change.byBlock[b] = std::stoll(figure);
    any = true;
    if (comma == std::string_view::npos) break;
    rest = rest.substr(comma + 1);
  }
  if (!any) throw SetupError("Give at least one capacity, such as E석=12000.");
  return change;
}

BlockCapacity setEventCapacity(Store& store, const std::string& bizCode, const CapacityChange& change) {
  BlockCapacity capacity{};
  store.write([&](Transaction& tx) {
    if (!tx.findEvent(bizCode)) throw SetupError("There is no event " + bizCode + ".");
    capacity = tx.eventCapacity(bizCode);
    for (std::size_t b = 0; b < kBlocks.size(); ++b)
      if (change.byBlock[b]) capacity[b] = *change.byBlock[b];
    tx.setEventCapacity(bizCode, capacity);
  });
  return capacity;
}

void addOperator(Store& store, const std::string& id, const std::string& password,
                 const std::string& placeCode, OperatorRole role) {
  requireText("operator ID", id, kMaxCodeLength);
  requireText("place code", placeCode, kMaxCodeLength);
  // The scan log writes IDs that are no operator's as "?": an operator of that name would be
  // blamed for all of them.
  if (id == kUnknownIdInLog) throw SetupError("The operator ID ? is kept for unknown IDs in the scan log.");
  requireNewPassword(password);
  // Hashed before the write: argon2 takes a tenth of a second and the writer serves every station.
  const std::string hash = hashPassword(password);
  store.write([&](Transaction& tx) {
    if (!tx.findVenue(placeCode)) throw SetupError("There is no venue " + placeCode + ".");
    if (tx.findOperator(id)) throw SetupError("The operator " + id + " already exists.");
    tx.insertOperator(Operator{id, hash, placeCode, true, role});
  });
}

void requireNewPassword(const std::string& password) {
  if (password.empty()) throw SetupError("The password is empty.");
  if (!isValidUtf8(password)) throw SetupError("The password is not valid UTF-8.");
  if (utf8Length(password) < kMinPasswordLength)
    throw SetupError("The password is too short: it needs at least " + std::to_string(kMinPasswordLength) +
                     " characters.");
}

ScanRecord unlockLine(const std::string& id, TimeMs at, const std::string& source) {
  ScanRecord line;
  line.at = at;
  line.kind = "login";
  line.operatorId = id;
  line.outcome = std::string(kOutcomeUnlock);
  line.source = source;
  return line;
}

void unlockOperator(Store& store, const std::string& id, const Caller& caller) {
  store.write([&](Transaction& tx) {
    if (!tx.findOperator(id)) throw SetupError("There is no operator " + id + ".");
    tx.appendScanLog(unlockLine(id, store.now(), caller.source));
  });
}

ImportSummary importTickets(Store& store, const std::string& bizCode, const std::string& csvPath,
                            const ImportOptions& options) {
  ImportSummary summary;
  // The file is read row by row inside the one transaction, so that it is imported whole or not
  // at all and the memory it takes does not grow with it. A number the file repeats is found by the
  // store's own uniqueness (insertTicket refuses it), not by a set of every number.
  store.write([&](Transaction& tx) {
    summary = ImportSummary{};
    if (!tx.findEvent(bizCode)) throw SetupError("There is no event " + bizCode + ".");
    CsvReader csv(csvPath, options.encoding);
    CsvRecord rec;
    if (!csv.next(rec) || rec.line != 1 || rec.count != kCsvHeader.size() ||
        !std::equal(kCsvHeader.begin(), kCsvHeader.end(), rec.fields.begin()))
      throw SetupError(csvPath + ":1: the first line must be the header TicketNo,CustName,GoodsName,"
                       "PlayDate,PlaceName,SeatGradeName,SeatInfo,Block,Status.");
    BadRows bad(csvPath);
    // Tickets this import inserts get ids from firstNew on (insertTicket gives each an id above
    // all before it); the tickets that were there before and that a row of the file has met are
    // marked in `met`. A row that meets either one repeats a number of the file.
    std::optional<std::int64_t> firstNew;
    IdSet met;
    std::vector<std::pair<std::size_t, std::string>> repeats;  // reported rows: line, ticket number
    std::size_t metBefore = 0;  // tickets there before that a row met, with sync
    const std::int64_t ticketsBefore = options.sync ? eventTickets(tx, bizCode) : 0;
    Ticket t;
    while (csv.next(rec)) {
      // A spreadsheet saves the rows it once formatted as rows of empty cells: they hold no ticket.
      if (rec.blank) continue;
      if (std::string problem = rowToTicket(rec, bizCode, t); !problem.empty()) {
        bad.add(rec.line, problem);
        continue;
      }
      if (tx.insertTicket(t)) {
        ++summary.imported;
        if (!firstNew) firstNew = tx.findTicket(bizCode, t.ticketNo).value().id;
        continue;
      }
      const std::optional<Ticket> there = tx.findTicket(bizCode, t.ticketNo);
      if (there && ((firstNew && there->id >= *firstNew) || !met.insert(there->id))) {
        if (bad.add(rec.line, "")) repeats.emplace_back(rec.line, t.ticketNo);
        continue;
      }
      if (options.sync && there) {
        ++metBefore;
        syncTicket(tx, *there, t, summary);
        continue;
      }
      if (options.newOnly && there && sameContent(*there, t)) {
        ++summary.skipped;
        continue;
      }
      const std::string reason = "ticket " + t.ticketNo + " is already in event " + bizCode +
                                 (options.newOnly ? " with other content" : "");
      bad.add(rec.line, reason);
    }
    if (bad.empty()) {
      summary.absent = static_cast<std::size_t>(ticketsBefore) - metBefore;
      return;
    }
    // Only the reported repeats need the line they repeat: a second reading finds them.
    std::map<std::string, std::size_t> firstLine;
    for (const auto& r : repeats) firstLine.emplace(r.second, 0);
    if (!repeats.empty()) {
      CsvReader again(csvPath, options.encoding);
      again.next(rec);
      Ticket u;
      while (again.next(rec) && rec.line < repeats.back().first) {
        if (!rowToTicket(rec, bizCode, u).empty()) continue;
        auto it = firstLine.find(u.ticketNo);
        if (it != firstLine.end() && it->second == 0) it->second = rec.line;
      }
    }
    for (const auto& [line, ticketNo] : repeats)
      bad.explain(line, "ticket " + ticketNo + " already appears on line " + std::to_string(firstLine[ticketNo]));
    bad.raise();
  });
  return summary;
}

std::size_t importTickets(Store& store, const std::string& bizCode, const std::string& csvPath) {
  return importTickets(store, bizCode, csvPath, ImportOptions{}).imported;
}

std::vector<EventSummary> listEvents(Store& store, const std::string& placeCode) {
  std::vector<EventSummary> out;
  store.read([&](Reader& r) {
    if (!r.findVenue(placeCode)) throw SetupError("There is no venue " + placeCode + ".");
    for (const EventCounts& c : r.listEvents(placeCode)) {
      EventSummary s;
      s.bizCode = c.event.bizCode;
      s.goodsName = c.event.goodsName;
      s.playDate = c.event.playDate;
      s.active = c.event.active;
      s.offline = c.event.offline;
      s.offlineMaxAgeMinutes = c.event.offlineMaxAgeMinutes;
      s.tickets = static_cast<std::size_t>(c.tickets);
      s.cancelled = static_cast<std::size_t>(c.cancelled);
      s.admitted = static_cast<std::size_t>(c.admitted);
      s.inside = static_cast<std::size_t>(c.inside);
      out.push_back(std::move(s));
    }
  });
  return out;
}

std::vector<OperatorSummary> listOperators(Store& store, const std::string& placeCode) {
  std::vector<OperatorSummary> out;
  store.read([&](Reader& r) {
    if (!r.findVenue(placeCode)) throw SetupError("There is no venue " + placeCode + ".");
    // Operators number in the tens, so the list reads them all rather than the store growing a query.
    for (const Operator& o : r.allOperators())
      if (o.placeCode == placeCode) out.push_back(OperatorSummary{o.id, o.role, o.active});
  });
  return out;
}

}  // namespace tav::server
