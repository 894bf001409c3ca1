// The venue setup operations behind tav-server's commands: venues, events, operators, tickets, demo.
#pragma once

#include <cstddef>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "server/core/errors.h"
#include "server/core/store.h"

namespace tav::server {

struct Caller;

// The stand blocks as a sentence lists them, from kBlocks: blockNames(" or ") is
// "E석, N석, S석 or W석".
std::string blockNames(const std::string& last);

// The block's index in kBlocks; SetupError naming the blocks for any other name.
std::size_t knownBlock(const std::string& block);

void addVenue(Store& store, const std::string& placeCode, const std::string& theaterName);

// Adds an event of the venue; with makeActive it becomes the venue's one active event.
void addEvent(Store& store, const std::string& placeCode, const std::string& bizCode,
              const std::string& goodsName, const std::string& playDate, bool makeActive);

// Stand capacities as `set-event --capacity` takes them: "E석=12000,W석=9000" (a block may also be
// named by its letter, "E=12000"); 0 clears a block's capacity. Blocks not named are not given.
// SetupError for anything else.
struct CapacityChange {
  std::array<std::optional<std::int64_t>, kBlockCount> byBlock;  // in kBlocks order; empty: left as it is
};
CapacityChange parseCapacity(const std::string& text);

// Applies the change to the event's stand capacities; returns them as they are now. SetupError for
// an unknown event.
BlockCapacity setEventCapacity(Store& store, const std::string& bizCode, const CapacityChange& change);

// Stores the operator with an argon2id hash of the password (never the password), as a gate
// operator unless role says admin.
void addOperator(Store& store, const std::string& id, const std::string& password,
                 const std::string& placeCode, OperatorRole role = OperatorRole::Gate);

// Ends every lockout of the operator's ID, from one address and everywhere, by a line in the scan
// log, which is never changed. Throws SetupError when no operator has that ID.
void unlockOperator(Store& store, const std::string& id, const Caller& caller);

// The scan-log line that ends every lockout of the ID before it, written by `source`.
ScanRecord unlockLine(const std::string& id, TimeMs at, const std::string& source);

// Throws SetupError unless `password` may become an operator's password: UTF-8, and at least
// kMinPasswordLength characters.
void requireNewPassword(const std::string& password);

// How a ticket file is written: UTF-8 (with or without a byte-order mark), or code page 949, which
// Korean Excel writes as plain "CSV".
enum class TicketEncoding { Utf8, Cp949 };

struct ImportOptions {
  TicketEncoding encoding = TicketEncoding::Utf8;
  // Tickets already in the event are skipped when the row says exactly what the store holds,
  // and are bad rows when it says anything else; without it every such ticket is a bad row.
  bool newOnly = false;
  // The file is the ticketing system's full export: new tickets are added, and tickets already in
  // the event take the row's details and status, but for a cancellation made here (cancel-ticket),
  // which stays while the export says valid. Whether a ticket is inside, and its entry times and
  // count, are never touched.
  bool sync = false;
};

// At most this many ticket numbers of each kind are named in an import's summary.
inline constexpr std::size_t kMaxListedTickets = 20;

// Tickets of one kind that an import met: how many, and the first kMaxListedTickets numbers.
struct TicketList {
  std::size_t count = 0;
  std::vector<std::string> first;
  void add(const std::string& ticketNo) {
    if (count++ < kMaxListedTickets) first.push_back(ticketNo);
  }
};

struct ImportSummary {
  std::size_t imported = 0, skipped = 0;
  // With sync: tickets whose details the export changed, that it cancelled or made valid again,
  // that were cancelled here and stay so though the export says valid, and how many of the event's
  // tickets the file did not hold (left as they were).
  TicketList changed, cancelled, restored, keptCancelled;
  std::size_t absent = 0;
};

// Imports the CSV (header TicketNo,CustName,GoodsName,PlayDate,PlaceName,SeatGradeName,SeatInfo,
// Block,Status) into the event: all rows or none. A refusal names up to 20 bad rows, one
// "file:line: reason." a line.
ImportSummary importTickets(Store& store, const std::string& bizCode, const std::string& csvPath,
                            const ImportOptions& options);
// A UTF-8 file, every row new; returns the number of tickets.
std::size_t importTickets(Store& store, const std::string& bizCode, const std::string& csvPath);

struct EventSummary {
  std::string bizCode, goodsName, playDate;
  bool active = false;
  bool offline = false;
  std::int64_t offlineMaxAgeMinutes = kDefaultOfflineMaxAgeMinutes;
  std::size_t tickets = 0, cancelled = 0, admitted = 0, inside = 0;
};
std::vector<EventSummary> listEvents(Store& store, const std::string& placeCode);

// A venue's operators in ID order, without their password hashes; SetupError for an unknown venue.
struct OperatorSummary {
  std::string id;
  OperatorRole role = OperatorRole::Gate;
  bool active = true;
};
std::vector<OperatorSummary> listOperators(Store& store, const std::string& placeCode);

struct DemoInfo {
  std::string placeCode, theaterName, bizCode, goodsName;
  std::vector<std::pair<std::string, std::string>> operators;     // id, password
  std::map<std::string, std::vector<std::string>> validByBlock;   // block -> ticket numbers
  std::vector<std::string> cancelled;
};

// A demo venue with one active event, `tickets` tickets over the four blocks (a few cancelled)
// and two operators.
DemoInfo loadDemo(Store& store, std::size_t tickets = 60000);

}  // namespace tav::server
