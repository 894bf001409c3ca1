// purgeEvent: the rules on which events may lose their holders' details, over the store interface.
#include "server/core/purge.h"

#include "server/core/local_time.h"
#include "server/core/setup.h"
#include "server/core/store.h"

namespace tav::server {

std::size_t purgeEvent(Store& store, const std::string& bizCode, bool force) {
  std::size_t erased = 0;
  store.write([&](Transaction& tx) {
    const std::optional<Event> event = tx.findEvent(bizCode);
    if (!event) throw SetupError("There is no event " + bizCode + ".");
    if (!force) {
      if (event->active)
        throw SetupError("The event " + bizCode +
                         " is its venue's active event; its holders' details are still needed at the gates (give "
                         "--force to remove them all the same).");
      const TimeMs played = parseLocalTime(event->playDate, "The event's play date");
      const TimeMs allowed = played + std::chrono::duration_cast<std::chrono::milliseconds>(kPurgeAfter).count();
      if (store.now() < allowed)
        throw SetupError("The event " + bizCode + " was played on " + formatLocalTime(played, "%Y-%m-%d") +
                         "; its holders' details are kept until " + formatLocalTime(allowed, "%Y-%m-%d %H:%M") +
                         " (give --force to remove them sooner).");
    }
    erased = tx.eraseHolderDetails(bizCode);
  });
  store.eraseRemovedData();
  return erased;
}

}  // namespace tav::server
