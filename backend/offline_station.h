// The station's offline checking: the offline engine on the gate PC's journal, and the worker that
// fetches lists, probes the back-end and hands decisions over, so that the window's thread never
// waits on the network for any of it. The ticket check itself stays the gateway's.
#pragma once

#include <QString>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "backend/commands.h"
#include "offline/engine.h"
#include "wire/recordset.h"

namespace tav::backend {

class OfflineStation {
 public:
  using Clock = std::chrono::steady_clock;

  // How the status line reads: as usual, checking offline, or unable to check offline.
  enum class Tone { Normal, Offline, Refused };
  struct Status {
    QString text;
    Tone tone = Tone::Normal;
  };

  // A whole list again this often while online.
  static constexpr std::chrono::minutes kListRefresh{2};
  // While offline, the back-end's /health is asked this often.
  static constexpr std::chrono::seconds kProbeInterval{5};
  // A hand-over starts after a random delay of up to this, so that the stations of a venue whose
  // network came back do not all hand over in the same second.
  static constexpr std::chrono::seconds kHandOverDelayLimit{10};

  OfflineStation();
  ~OfflineStation();  // stops the worker, releases the journal
  OfflineStation(const OfflineStation&) = delete;
  OfflineStation& operator=(const OfflineStation&) = delete;

  // The venue signed in at the back-end `url`. A station without a station key in its install
  // folder checks online only and none of this applies. Otherwise it opens the journal in journalFolder() the first
  // time (one station process holds it), tells the engine (its test write), and has the worker
  // fetch the event's list and hand over whatever the journal holds unacknowledged. A journal that
  // cannot be opened or written leaves the station checking online only, and the status says why.
  void signedIn(const QString& url, const QString& bizCode, const QString& operatorId, const QString& goodsName,
                const QString& shownBlock);
  // The operator chose another block: the worker fetches that block's list.
  void blockChosen(const QString& shownBlock);
  // The check screen closed: the worker makes no more calls until the next sign-in.
  void signedOut();

  // For the gateway, with the check's idempotency key. The answer of a check this station decides
  // itself before asking the back-end (offline, or a ticket with decisions not handed over yet);
  // none when the back-end is to be asked. A check that must be decided locally and cannot be
  // (its list too old, its journal failing) is answered with the failure line: throws BackendError.
  std::optional<wire::Recordset> decideLocally(const TicketCheck& check, const std::string& key);
  // Both attempts of the check failed at the connection level: its answer decided offline, or none
  // (offline not allowed now: the failure line).
  std::optional<wire::Recordset> connectionFailed(const TicketCheck& check, const std::string& key);
  // The back-end answered the check with `code`.
  void checkAnswered(const TicketCheck& check, const std::string& code);

  // What the status line shows now; empty text while online without a list.
  Status status() const;

  // The folder of the journal: the program's local application data folder (~/.local/share/tav
  // on Debian, %LOCALAPPDATA%\tav on Windows) unless a test named another.
  static QString journalFolder();
  static void setJournalFolder(const QString& folder);
  // As at the program's start: the sign-in forgotten and the journal closed, its lock released.
  void forget();
  // The longest random delay before a hand-over; tests shorten it.
  void setHandOverDelayLimit(std::chrono::milliseconds limit);

 private:
  void work();
  // Each runs on the worker with no lock held while it waits on the network.
  void fetchList();
  void probe();
  void handOver();
  wire::Recordset answerOf(const TicketCheck& check, const offline::OfflineAnswer& answer) const;
  std::optional<wire::Recordset> decide(const TicketCheck& check, const std::string& key);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::unique_ptr<offline::Engine> engine_;
  std::string journalRefusal_;  // why the journal could not be opened, when it could not
  QString url_;
  std::string bizCode_, goodsName_;
  bool signedIn_ = false;
  bool offlineOn_ = false;      // the event's last list fetch was answered with a list
  bool probeAnswered_ = false;  // the last /health probe while offline was answered
  bool stopping_ = false;
  bool listWanted_ = false;
  std::optional<Clock::time_point> nextList_, nextProbe_, handOverAt_;
  std::chrono::milliseconds handOverDelayLimit_ = kHandOverDelayLimit;
  std::thread thread_;
};

// The one offline station of this program, as it has one session cookie.
OfflineStation& offlineStation();

}  // namespace tav::backend
