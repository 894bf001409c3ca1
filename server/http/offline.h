// The offline list's route: a registered station whose operator is signed in fetches the list of
// an event's tickets it checks from while the back-end is out of reach (server/core/offline_list.h).
#pragma once

#include <functional>
#include <memory>
#include <string_view>

namespace tav::server {

class OfflineFetches;
class Routes;
class StationDirectory;
class Store;

// Adds the routes (wire::kOfflineListPath, wire::kOfflineChecksPath). The hand-over answers 200 with the answer's JSON, 400 for a body that is no
// hand-over, 403 without a station and its operator's session, 503 with Retry-After while live
// checks queue or the store cannot answer.
// The list's route: The station's key is looked up as a ticket check's is (a key the directory does
// not hold waits for its next read); the list is then made on `runner`'s workers, never on an I/O
// thread. Answers 200 application/octet-stream with the list, or 400, 403, 404 or 409 with one
// sentence, 503 when the store cannot answer. Returns what the route remembers of the lists it gave
// out, shared with whatever else of the server comes to need it. The store and the directory
// outlive every request.
std::shared_ptr<OfflineFetches> addOfflineRoutes(Routes& routes, Store& store, StationDirectory& stations,
                                                 std::function<void(std::function<void()>)> runner);

}  // namespace tav::server
