// copy-store: one read snapshot of the source, one write transaction on the target.
#include "server/core/copy_store.h"

#include "rule/decision.h"
#include "server/core/setup.h"
#include "server/core/store.h"

namespace tav::server {
namespace {

// Rows read from the source at a time: large enough to be quick, small enough for any memory.
constexpr std::size_t kPage = 10000;

bool holdsAnything(Reader& r) {
  return !r.allVenues().empty() || !r.allEvents().empty() || !r.allOperators().empty() ||
         !r.tickets(0, 1).empty() || !r.scanLog(0, 1).empty() || !r.allStations().empty();
}

}  // namespace

CopySummary copyStore(Store& from, Store& to) {
  CopySummary summary;
  from.read([&](Reader& source) {
    to.write([&](Transaction& target) {
      summary = CopySummary{};
      if (holdsAnything(target))
        throw SetupError("The target store is not empty; copy-store only fills an empty store.");
      // Parents before children, so that every reference finds its row.
      for (const Venue& v : source.allVenues()) {
        target.insertVenue(v);
        ++summary.venues;
      }
      for (const Event& e : source.allEvents()) {
        target.insertEvent(e);
        target.setEventCapacity(e.bizCode, source.eventCapacity(e.bizCode));
        ++summary.events;
      }
      for (const Operator& o : source.allOperators()) {
        target.insertOperator(o);
        ++summary.operators;
      }
      // Ids kept: the scan log names stations by id, and so do the lists they fetched and the
      // offline decisions the back-end acknowledged, which a hand-over to the copy goes on from.
      for (const StationRecord& st : source.allStations()) {
        target.restoreStation(st);
        for (const OfflineListFetch& f : source.offlineListFetches(st.id)) target.noteOfflineList(f);
        if (const std::int64_t acknowledged = source.acknowledgedSequence(st.id); acknowledged > 0)
          target.acknowledgeSequence(st.id, acknowledged);
      }
      for (std::int64_t after = 0;;) {
        const std::vector<Ticket> page = source.tickets(after, kPage);
        for (const Ticket& t : page) target.restoreTicket(t);
        summary.tickets += page.size();
        if (page.size() < kPage) break;
        after = page.back().id;
      }
      for (std::int64_t after = 0;;) {
        const std::vector<ScanRecord> page = source.scanLog(after, kPage);
        for (const ScanRecord& line : page) target.restoreScanRecord(line);
        summary.scanLines += page.size();
        if (page.size() < kPage) break;
        after = page.back().id;
      }
      // The control room's conflicts, ids kept as their alarms name them. The copied scan log
      // counted every offline entry and exit in its minute; a conflict's second person in the
      // stand is counted here, as the hand-over counted it.
      for (const Event& e : source.allEvents()) {
        for (const OfflineConflict& c : source.offlineConflicts(e.bizCode)) {
          target.keepOfflineConflict(c);
          if (c.reason == rule::kOutcomeAlreadyInside) target.countPassage(c.bizCode, c.block, c.at, false);
        }
      }
    });
  });
  return summary;
}

}  // namespace tav::server
