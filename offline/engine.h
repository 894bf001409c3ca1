// The station's offline engine: when a gate may decide without the back-end, what it decides from
// its list and its own offline decisions, and when it checks online again. No Qt, no HTTP, no
// threads: its user owns the transport, tells it what the network did, and passes the clocks in.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "offline/handover.h"
#include "offline/journal.h"
#include "offline/list.h"
#include "rule/decision.h"

namespace tav::offline {

using SteadyTime = std::chrono::steady_clock::time_point;

// How long a station decides offline after its list's last refresh when the event says nothing.
inline constexpr std::chrono::minutes kDefaultMaxAge{30};
// Two answered health probes at least this far apart show the back-end is steadily back.
inline constexpr std::chrono::seconds kProbeSpacing{10};

// Why the engine cannot decide a check: the station shows its failure line. `outcomeUnknown` is
// set when the journal's write failed after it may have reached the disk: the decision may be
// handed over later, so the fan is asked to scan again rather than told nothing was kept.
class OfflineError : public std::runtime_error {
 public:
  OfflineError(const std::string& sentence, bool unknown) : std::runtime_error(sentence), outcomeUnknown(unknown) {}
  bool outcomeUnknown;
};

// A check the station decides itself.
struct OfflineCheck {
  std::string_view mode;  // wire::kModeEntry or wire::kModeExit
  std::string_view ticketNo;
  std::string_view idempotencyKey;  // the scan's key; for the check that found the outage, the key of its attempts
};

// What a check decided offline answers, and the journal's line that holds it.
struct OfflineAnswer {
  rule::Decision decision;
  Decision recorded;
};

class Engine {
 public:
  enum class Mode { Online, Offline };

  // Takes the station's journal (Journal::open). Decisions it holds that the back-end has not
  // acknowledged, from an earlier run, are decided locally again until they are handed over.
  explicit Engine(Journal journal);

  // The operator signed in to the event on the back-end, with the station's block filter (one of
  // wire::kBlocks, empty for all): an online answer. Makes the journal's test write; offline is
  // allowed only while it succeeded, and the sentence saying why not is returned otherwise. A
  // held list of another event or block is dropped. std::invalid_argument for an empty business
  // code or operator, or a block that is none of wire::kBlocks; nothing changes then.
  std::optional<std::string> signedIn(SteadyTime now, std::string bizCode, std::string operatorId, std::string block);
  // The operator chose another block filter: the held list no longer serves until one of that
  // block is fetched. std::invalid_argument for a block that is none of wire::kBlocks.
  void blockChosen(std::string block);

  // A list arrived (of the station's block, or of every block, which serves any filter); `requestedAt` is when its request was sent, so that every answer received
  // before it is in the list, and its age counts from then. `maxAge` is the event's
  // --offline-max-age. std::invalid_argument (the held list stays) for a list of another event
  // or block than the station signed in with, or a max age of zero or less.
  void listFetched(TicketList list, SteadyTime requestedAt, std::chrono::milliseconds maxAge = kDefaultMaxAge);

  // A check was answered online: an online answer. An entry or exit the answer admitted (codes
  // "0" and "-3") is kept in the overlay until a list requested after it arrives, so that the
  // ticket is decided rightly if the network goes before then.
  void checkAnswered(SteadyTime now, rule::TimeMs utcMs, std::string_view ticketNo, std::string_view mode,
                     std::string_view code);

  // Both attempts of a check failed at the connection level (no connection, reset, no answer in
  // time); an answer of a live server, a 503 included, is never one. The station goes offline
  // when offline is allowed. True when the check is to be decided offline now (with `decide` and
  // the key of its attempts); false: the failure line.
  bool connectionFailed(SteadyTime now);

  // A list of the signed-in event and block is held, younger than its max age, and the journal's
  // test write at sign-in succeeded with no write failing since.
  bool offlineAllowed(SteadyTime now) const;
  Mode mode() const { return mode_; }
  // The station's block filter: empty for all blocks.
  const std::string& block() const { return block_; }
  // True when the ticket has decisions of this station that the back-end has not acknowledged:
  // the station decides it offline (`decide`) even when online, rather than ask the back-end.
  bool localDecisionFor(std::string_view ticketNo) const;
  // True when a check of the ticket is decided here: offline, or a ticket with local decisions.
  bool decidesLocally(std::string_view ticketNo) const { return mode_ == Mode::Offline || localDecisionFor(ticketNo); }

  // Decides a check from the list's record of the ticket overlaid with what this station learned
  // since the list (its own offline decisions, entries and exits admitted online), by the rule,
  // and appends it to the journal before returning it. A hash several records share decides only
  // when each of them decides alike (one outcome); otherwise, as for none, "목록에 없음".
  // OfflineError when offline deciding is not allowed now or the journal's write failed (the
  // journal then refuses everything until the station opens it again); std::invalid_argument for
  // a mode other than entry or exit, an empty ticket number or a malformed key (nothing kept).
  OfflineAnswer decide(SteadyTime now, rule::TimeMs utcMs, const OfflineCheck& check);

  // The station's status line: "오프라인 검표 중 (목록 N분 전)" while offline, "목록 N분 전" online with
  // a list, "오프라인 검표 불가 (...)" when offline is not allowed although the station is offline or
  // holds a list, or its journal failed; empty online without a list.
  std::string statusText(SteadyTime now) const;

  // The next hand-over request: the first kMaxHandoverLines decisions not acknowledged yet, in
  // sequence order; empty when everything is handed over.
  std::vector<Decision> handOverBatch() const;
  // The back-end acknowledged every decision up to `upToSequence`: an online answer. The
  // journal's marker is appended (JournalError as Journal::acknowledge says), and the station
  // goes online again if the probes allow it.
  void acknowledged(SteadyTime now, std::int64_t upToSequence);

  // A health probe answered, or failed. The station goes back online once nothing is left to
  // hand over and two probes at least kProbeSpacing apart answered with no failure between them.
  // Returns whether the station is online.
  bool probeAnswered(SteadyTime now);
  void probeFailed();

  const Journal& journal() const { return journal_; }

 private:
  // An entry or exit the list does not show yet.
  struct Change {
    bool entered = false;  // else left
    rule::TimeMs at = 0;
    std::int64_t sequence = 0;         // the journal's, 0 for one admitted online
    std::optional<SteadyTime> settled;  // when the back-end held it: answered, or acknowledged
  };
  struct Local {
    std::vector<Change> changes;
    std::int64_t lastSequence = 0;  // this station's last offline decision of the ticket
  };

  bool listServes() const;
  std::string overlayKey(std::string_view ticketNo) const;
  void remember(const Decision& decision, std::optional<bool> entered);
  void dropSettled();
  void tryBackOnline();

  Journal journal_;
  Mode mode_ = Mode::Online;
  std::string bizCode_, operatorId_, block_;
  bool journalWritable_ = false;
  std::optional<TicketList> list_;
  SteadyTime listRequestedAt_{};
  std::chrono::milliseconds maxAge_ = kDefaultMaxAge;
  SteadyTime lastOnlineAnswer_{};
  std::optional<SteadyTime> firstProbe_;
  bool probesSteady_ = false;
  // By event and ticket number.
  std::map<std::string, Local, std::less<>> overlay_;
};

}  // namespace tav::offline
