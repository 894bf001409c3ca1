// Moving a whole store to another one (SQLite to PostgreSQL, or back): venues, events,
// operators, stations, tickets with their state, the scan log and what offline checking keeps.
#pragma once

#include <cstddef>

namespace tav::server {

class Store;

struct CopySummary {
  std::size_t venues = 0, events = 0, operators = 0, tickets = 0, scanLines = 0;
};

// Copies everything `from` holds, read from one snapshot, into `to` in one transaction, keeping
// every ticket's state and every row's id. Throws SetupError, with nothing written, when `to`
// already holds anything; StoreUnavailable when either store fails (nothing of the copy is kept).
CopySummary copyStore(Store& from, Store& to);

}  // namespace tav::server
