// Removing a past event's personal data once its purpose is served: the holders' names and seats
// go, the counts and the scan log stay.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace tav::server {

class Store;

// How long after its play date an event's holders may still come back with a question (a lost
// item, a disputed entry) before their details are removed without --force.
inline constexpr std::chrono::hours kPurgeAfter{24 * 7};

// Empties the holder's name and seat of every ticket of the event and then leaves no copy of them
// in the store's free space or log (Store::eraseRemovedData). Returns how many tickets still had
// either. Throws SetupError, with nothing changed, for an unknown event and, unless `force`, for
// the venue's active event or one played less than kPurgeAfter ago; StoreUnavailable when the
// copies could not be erased now (the names are gone from the tickets then; running it again
// finishes the erasing).
std::size_t purgeEvent(Store& store, const std::string& bizCode, bool force);

}  // namespace tav::server
