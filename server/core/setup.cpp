// Venue setup: venues, events, operators and the all-or-nothing ticket import from CSV.
#include "server/core/setup.h"

#include <iconv.h>

#include <algorithm>
#include <fstream>
#include <tuple>
#include <sstream>
#include <unordered_map>

#include "server/core/command_parser.h"
#include "server/core/password.h"
#include "server/core/procedures.h"
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

// At most this many bad rows are reported at once: enough to mend a file in one round, few
// enough to read.
constexpr std::size_t kMaxReportedRows = 20;

// Collects the bad rows of one import and throws them all as one SetupError.
class BadRows {
 public:
  explicit BadRows(std::string file) : file_(std::move(file)) {}
  // False once the report is full and no more rows need to be looked at.
  bool add(std::size_t line, const std::string& reason) {
    if (lines_.size() < kMaxReportedRows) lines_.push_back(file_ + ":" + std::to_string(line) + ": " + reason + ".");
    else more_ = true;
    return !more_;
  }
  bool empty() const { return lines_.empty(); }
  [[noreturn]] void raise() const {
    std::string text;
    for (const std::string& l : lines_) text += (text.empty() ? "" : "\n") + l;
    if (more_) text += "\n" + file_ + ": more than " + std::to_string(kMaxReportedRows) + " bad rows; the first " +
                       std::to_string(kMaxReportedRows) + " are shown.";
    if (lines_.size() > 1) text += "\nNothing was imported.";
    throw SetupError(text);
  }

 private:
  std::string file_;
  std::vector<std::string> lines_;
  bool more_ = false;
};

// The file's text as UTF-8: converted from code page 949 when asked, refused with the encoding to
// give when it is not UTF-8.
std::string decoded(const std::string& data, const std::string& file, TicketEncoding encoding) {
  if (encoding == TicketEncoding::Cp949) {
    iconv_t cd = iconv_open("UTF-8", "CP949");
    if (cd == reinterpret_cast<iconv_t>(-1)) throw SetupError("This system cannot convert from code page 949.");
    std::string out(data.size() * 3 / 2 + 16, '\0');
    char* in = const_cast<char*>(data.data());
    std::size_t inLeft = data.size();
    char* to = out.data();
    std::size_t outLeft = out.size();
    const std::size_t rc = iconv(cd, &in, &inLeft, &to, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<std::size_t>(-1)) {
      const std::size_t at = data.size() - inLeft;
      const std::size_t line = 1 + static_cast<std::size_t>(std::count(data.begin(), data.begin() + static_cast<long>(at), '\n'));
      throw SetupError(file + ":" + std::to_string(line) + ": the file is not in code page 949 (byte " +
                       std::to_string(at + 1) + "); leave out --encoding for a UTF-8 file.");
    }
    out.resize(out.size() - outLeft);
    return out;
  }
  if (!isValidUtf8(data)) {
    std::size_t line = 1, start = 0;
    for (std::size_t end = 0; end <= data.size(); ++end) {
      if (end == data.size() || data[end] == '\n') {
        if (!isValidUtf8(std::string_view(data).substr(start, end - start))) break;
        ++line;
        start = end + 1;
      }
    }
    throw SetupError(file + ":" + std::to_string(line) +
                     ": the file is not UTF-8; for Korean Excel's plain \"CSV\" give --encoding cp949, or save it "
                     "as \"CSV UTF-8\".");
  }
  return data;
}

bool sameContent(const Ticket& a, const Ticket& b) {
  return std::tie(a.custName, a.goodsName, a.playDate, a.placeName, a.seatGradeName, a.seatInfo, a.block,
                  a.cancelled) ==
         std::tie(b.custName, b.goodsName, b.playDate, b.placeName, b.seatGradeName, b.seatInfo, b.block,
                  b.cancelled);
}

struct CsvRecord {
  std::size_t line = 0;
  std::vector<std::string> fields;
};

// RFC 4180 records: commas between fields, CRLF or LF between records, fields between double
// quotes may hold commas, line breaks and doubled quotes. Blank lines are skipped.
std::vector<CsvRecord> parseCsv(const std::string& data, const std::string& file) {
  std::vector<CsvRecord> records;
  std::size_t i = 0, line = 1;
  if (data.compare(0, 3, "\xEF\xBB\xBF") == 0) i = 3;  // a byte-order mark from spreadsheet tools
  const std::size_t n = data.size();
  auto where = [&](std::size_t l) { return file + ":" + std::to_string(l) + ": "; };

  while (i < n) {
    if (data[i] == '\n' || (data[i] == '\r' && i + 1 < n && data[i + 1] == '\n')) {
      i += data[i] == '\r' ? 2 : 1;
      ++line;
      continue;
    }
    CsvRecord rec;
    rec.line = line;
    for (;;) {
      std::string field;
      if (i < n && data[i] == '"') {
        ++i;
        for (;;) {
          if (i >= n) throw SetupError(where(rec.line) + "a quoted field is not closed.");
          char c = data[i++];
          if (c == '"') {
            if (i < n && data[i] == '"') {
              field.push_back('"');
              ++i;
            } else {
              break;
            }
          } else {
            if (c == '\n') ++line;
            field.push_back(c);
          }
        }
        if (i < n && data[i] != ',' && data[i] != '\n' && data[i] != '\r')
          throw SetupError(where(line) + "text follows a closing quote.");
      } else {
        while (i < n && data[i] != ',' && data[i] != '\n' && data[i] != '\r') {
          if (data[i] == '"') throw SetupError(where(line) + "a quote stands inside an unquoted field.");
          field.push_back(data[i++]);
        }
      }
      rec.fields.push_back(std::move(field));
      if (i < n && data[i] == ',') {
        ++i;
        continue;
      }
      if (i < n && data[i] == '\r') {
        if (i + 1 < n && data[i + 1] == '\n') {
          ++i;
        } else {
          throw SetupError(where(line) + "a carriage return stands alone.");
        }
      }
      if (i < n) {
        ++i;  // the line feed
        ++line;
      }
      break;
    }
    records.push_back(std::move(rec));
  }
  return records;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SetupError("The file " + path + " cannot be read.");
  std::ostringstream data;
  data << in.rdbuf();
  if (in.bad()) throw SetupError("The file " + path + " cannot be read.");
  return data.str();
}

// One CSV row as a ticket, or the reason it is not one.
std::string rowToTicket(const CsvRecord& rec, const std::string& bizCode, Ticket& t) {
  if (rec.fields.size() != kCsvHeader.size())
    return "the row has " + std::to_string(rec.fields.size()) + " fields, not " +
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
  bool knownBlock = false;
  for (const auto& b : kBlocks) knownBlock = knownBlock || b == t.block;
  if (!knownBlock) return "Block \"" + t.block + "\" is not one of E석, N석, S석, W석";
  if (f[8] == "cancelled") {
    t.cancelled = true;
  } else if (f[8] != "valid" && !f[8].empty()) {
    return "Status \"" + f[8] + "\" is neither valid nor cancelled";
  }
  return {};
}

}  // namespace

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
    tx.insertEvent(Event{bizCode, placeCode, goodsName, playDate, makeActive});
  });
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

void unlockOperator(Store& store, const std::string& id, const Caller& caller) {
  store.write([&](Transaction& tx) {
    if (!tx.findOperator(id)) throw SetupError("There is no operator " + id + ".");
    ScanRecord line;
    line.at = store.now();
    line.kind = "login";
    line.operatorId = id;
    line.outcome = std::string(kOutcomeUnlock);
    line.source = caller.source;
    tx.appendScanLog(line);
  });
}

ImportSummary importTickets(Store& store, const std::string& bizCode, const std::string& csvPath,
                            const ImportOptions& options) {
  const std::string data = decoded(readFile(csvPath), csvPath, options.encoding);
  std::vector<CsvRecord> records = parseCsv(data, csvPath);
  auto where = [&](std::size_t line) { return csvPath + ":" + std::to_string(line) + ": "; };
  if (records.empty() || records.front().line != 1 || records.front().fields != kCsvHeader)
    throw SetupError(where(1) + "the first line must be the header TicketNo,CustName,GoodsName,"
                     "PlayDate,PlaceName,SeatGradeName,SeatInfo,Block,Status.");

  BadRows bad(csvPath);
  std::vector<Ticket> tickets(records.size() - 1);
  std::unordered_map<std::string, std::size_t> seen;
  for (std::size_t k = 1; k < records.size(); ++k) {
    const CsvRecord& rec = records[k];
    if (std::string problem = rowToTicket(rec, bizCode, tickets[k - 1]); !problem.empty()) {
      if (!bad.add(rec.line, problem)) break;
      continue;
    }
    auto [it, fresh] = seen.emplace(tickets[k - 1].ticketNo, rec.line);
    if (!fresh && !bad.add(rec.line, "ticket " + tickets[k - 1].ticketNo + " already appears on line " +
                                         std::to_string(it->second)))
      break;
  }
  if (!bad.empty()) bad.raise();

  ImportSummary summary;
  store.write([&](Transaction& tx) {
    summary = ImportSummary{};
    BadRows clashes(csvPath);
    if (!tx.findEvent(bizCode)) throw SetupError("There is no event " + bizCode + ".");
    for (std::size_t k = 0; k < tickets.size(); ++k) {
      if (tx.insertTicket(tickets[k])) {
        ++summary.imported;
        continue;
      }
      const std::optional<Ticket> there = tx.findTicket(bizCode, tickets[k].ticketNo);
      if (options.newOnly && there && sameContent(*there, tickets[k])) {
        ++summary.skipped;
        continue;
      }
      const std::string reason = "ticket " + tickets[k].ticketNo + " is already in event " + bizCode +
                                 (options.newOnly ? " with other content" : "");
      if (!clashes.add(records[k + 1].line, reason)) break;
    }
    if (!clashes.empty()) clashes.raise();
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
