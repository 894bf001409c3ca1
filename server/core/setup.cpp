// Venue setup: venues, events, operators and the all-or-nothing ticket import from CSV.
#include "server/core/setup.h"

#include <fstream>
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
    return "the play date must be 12 digits (YYYYMMDDHHMM)";
  return {};
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
  if (std::string p = playDateProblem(t.playDate); !p.empty()) return "PlayDate: " + p;
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
  if (password.empty()) throw SetupError("The password is empty.");
  if (!isValidUtf8(password)) throw SetupError("The password is not valid UTF-8.");
  // Hashed before the write: argon2 takes a tenth of a second and the writer serves every station.
  const std::string hash = hashPassword(password);
  store.write([&](Transaction& tx) {
    if (!tx.findVenue(placeCode)) throw SetupError("There is no venue " + placeCode + ".");
    if (tx.findOperator(id)) throw SetupError("The operator " + id + " already exists.");
    tx.insertOperator(Operator{id, hash, placeCode, true, role});
  });
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

std::size_t importTickets(Store& store, const std::string& bizCode, const std::string& csvPath) {
  const std::string data = readFile(csvPath);
  std::vector<CsvRecord> records = parseCsv(data, csvPath);
  auto where = [&](std::size_t line) { return csvPath + ":" + std::to_string(line) + ": "; };
  if (records.empty() || records.front().line != 1 || records.front().fields != kCsvHeader)
    throw SetupError(where(1) + "the first line must be the header TicketNo,CustName,GoodsName,"
                     "PlayDate,PlaceName,SeatGradeName,SeatInfo,Block,Status.");

  std::vector<Ticket> tickets(records.size() - 1);
  std::unordered_map<std::string, std::size_t> seen;
  for (std::size_t k = 1; k < records.size(); ++k) {
    const CsvRecord& rec = records[k];
    if (std::string problem = rowToTicket(rec, bizCode, tickets[k - 1]); !problem.empty())
      throw SetupError(where(rec.line) + problem + ".");
    auto [it, fresh] = seen.emplace(tickets[k - 1].ticketNo, rec.line);
    if (!fresh)
      throw SetupError(where(rec.line) + "ticket " + tickets[k - 1].ticketNo +
                       " already appears on line " + std::to_string(it->second) + ".");
  }

  store.write([&](Transaction& tx) {
    if (!tx.findEvent(bizCode)) throw SetupError("There is no event " + bizCode + ".");
    for (std::size_t k = 0; k < tickets.size(); ++k)
      if (!tx.insertTicket(tickets[k]))
        throw SetupError(where(records[k + 1].line) + "ticket " + tickets[k].ticketNo +
                         " is already in event " + bizCode + ".");
  });
  return tickets.size();
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
