// The station's offline checking: its engine behind one lock, and the worker thread that talks to
// the back-end for it.
#include "backend/offline_station.h"

#include <QFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "backend/errors.h"
#include "backend/gateway.h"
#include "offline/handover.h"
#include "offline/list.h"
#include "wire/protocol.h"

namespace tav::backend {

namespace {

using namespace std::chrono_literals;

// The worker's calls: short, since the gate's network answers in milliseconds, and a list of a
// full stadium is under a megabyte.
constexpr auto kConnectTimeout = 3s;
constexpr auto kProbeTimeout = 3s;
constexpr auto kCallTimeout = 10s;
// A list that could not be fetched is asked for again this soon.
constexpr auto kListRetry = 30s;
// A 503 without a usable Retry-After, and the longest a Retry-After is waited for.
constexpr auto kDeferredDefault = 2s;
constexpr auto kDeferredLongest = 30s;

std::mutex folderMutex;
QString folderOverride;

void say(const std::string& sentence) { std::fprintf(stderr, "tav: offline checking: %s\n", sentence.c_str()); }

std::string utf8(const QString& text) { return text.toStdString(); }

std::int64_t utcNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string encoded(const std::string& value) {
  return QUrl::toPercentEncoding(QString::fromStdString(value)).toStdString();
}

std::chrono::seconds retryAfter(const std::string& header) {
  try {
    std::size_t used = 0;
    const long seconds = std::stol(header, &used);
    if (used == header.size() && seconds >= 0)
      return std::min<std::chrono::seconds>(std::chrono::seconds(seconds), kDeferredLongest);
  } catch (const std::exception&) {
  }
  return kDeferredDefault;
}

}  // namespace

OfflineStation::OfflineStation() = default;

OfflineStation::~OfflineStation() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  // A call under way ends within its own time-outs.
  if (thread_.joinable()) thread_.join();
}

QString OfflineStation::journalFolder() {
  std::lock_guard<std::mutex> lock(folderMutex);
  if (!folderOverride.isEmpty()) return folderOverride;
  return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

void OfflineStation::setJournalFolder(const QString& folder) {
  std::lock_guard<std::mutex> lock(folderMutex);
  folderOverride = folder;
}

void OfflineStation::forget() {
  std::lock_guard<std::mutex> lock(mutex_);
  signedIn_ = false;
  engine_.reset();
  journalRefusal_.clear();
  offlineOn_ = probeAnswered_ = listWanted_ = false;
  nextList_.reset();
  nextProbe_.reset();
  handOverAt_.reset();
}

void OfflineStation::setHandOverDelayLimit(std::chrono::milliseconds limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  handOverDelayLimit_ = limit;
}

void OfflineStation::signedIn(const QString& url, const QString& bizCode, const QString& operatorId,
                              const QString& goodsName, const QString& shownBlock) {
  // Only a registered station is given a list: an unregistered one would ask for nothing.
  if (!stationRegistered()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  url_ = url;
  bizCode_ = utf8(bizCode);
  goodsName_ = utf8(goodsName);
  if (!engine_) {
    try {
      // Named after the PC, so that a journal copied off a dead PC says which gate it was.
      const std::filesystem::path folder(QFile::encodeName(journalFolder()).toStdString());
      engine_ = std::make_unique<offline::Engine>(
          offline::Journal::open(folder, utf8(QSysInfo::machineHostName())));
      journalRefusal_.clear();
    } catch (const offline::JournalError& e) {
      journalRefusal_ = e.what();
      say(journalRefusal_);
    }
  }
  if (engine_) {
    // The engine's status line says that offline checking is refused; the log says why.
    try {
      if (std::optional<std::string> refused =
              engine_->signedIn(Clock::now(), bizCode_, utf8(operatorId), utf8(blockFilter(shownBlock))))
        say(*refused);
    } catch (const std::invalid_argument& e) {
      say(e.what());
    }
  }
  signedIn_ = true;
  listWanted_ = true;
  handOverAt_.reset();
  if (!thread_.joinable()) thread_ = std::thread([this] { work(); });
  lock.unlock();
  wake_.notify_all();
}

void OfflineStation::blockChosen(const QString& shownBlock) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!engine_) return;
  try {
    engine_->blockChosen(utf8(blockFilter(shownBlock)));
  } catch (const std::invalid_argument& e) {
    say(e.what());
  }
  listWanted_ = true;
  lock.unlock();
  wake_.notify_all();
}

void OfflineStation::signedOut() {
  std::lock_guard<std::mutex> lock(mutex_);
  signedIn_ = false;
}

std::optional<wire::Recordset> OfflineStation::decide(const TicketCheck& check, const std::string& key) {
  const std::string mode = utf8(check.mode), ticketNo = utf8(check.ticketNo);
  const offline::OfflineAnswer answer = engine_->decide(Clock::now(), utcNowMs(), {mode, ticketNo, key});
  return answerOf(check, answer);
}

std::optional<wire::Recordset> OfflineStation::decideLocally(const TicketCheck& check, const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!engine_ || !signedIn_ || !engine_->decidesLocally(utf8(check.ticketNo))) return std::nullopt;
  // Asking the back-end now could admit a fan this station already let in offline.
  try {
    return decide(check, key);
  } catch (const std::exception& e) {
    throw BackendError(std::string("The ticket is decided by this station and cannot be now: ") + e.what());
  }
}

std::optional<wire::Recordset> OfflineStation::connectionFailed(const TicketCheck& check, const std::string& key) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!engine_ || !signedIn_ || !engine_->connectionFailed(Clock::now())) return std::nullopt;
  nextProbe_ = Clock::now() + kProbeInterval;
  probeAnswered_ = false;
  std::optional<wire::Recordset> answer;
  try {
    answer = decide(check, key);
  } catch (const std::exception& e) {
    say(e.what());
  }
  lock.unlock();
  wake_.notify_all();
  return answer;
}

void OfflineStation::checkAnswered(const TicketCheck& check, const std::string& code) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (engine_) engine_->checkAnswered(Clock::now(), utcNowMs(), utf8(check.ticketNo), utf8(check.mode), code);
}

wire::Recordset OfflineStation::answerOf(const TicketCheck& check, const offline::OfflineAnswer& answer) const {
  wire::Recordset rs;
  for (std::string_view field : wire::kBookingFields) rs.fields.emplace_back(field);
  std::vector<wire::Value> row(rs.fields.size(), std::string());
  row[0] = std::string(answer.decision.code);
  row[1] = answer.decision.message;
  // Offline the station knows the number and the event, not the holder or the seat.
  if (answer.decision.withDetails) {
    row[3] = utf8(check.ticketNo);
    row[4] = goodsName_;
  }
  rs.rows.push_back(std::move(row));
  return rs;
}

OfflineStation::Status OfflineStation::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!engine_) {
    // Said only where offline checking is on for the event, as it is nothing to others.
    if (!journalRefusal_.empty() && offlineOn_) return {QStringLiteral("오프라인 검표 불가 (기록 실패)"), Tone::Refused};
    return {};
  }
  const auto now = Clock::now();
  const QString text = QString::fromStdString(engine_->statusText(now));
  if (engine_->mode() == offline::Engine::Mode::Offline)
    return {text, engine_->offlineAllowed(now) ? Tone::Offline : Tone::Refused};
  return {text, text.startsWith(QStringLiteral("오프라인")) ? Tone::Refused : Tone::Normal};
}

// ---- the worker ----

void OfflineStation::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  std::mt19937 random{std::random_device{}()};
  while (!stopping_) {
    if (!signedIn_) {
      wake_.wait(lock);
      continue;
    }
    const auto now = Clock::now();
    std::optional<Clock::time_point> next;
    const auto due = [&](const std::optional<Clock::time_point>& at) {
      if (!at) return false;
      if (*at <= now) return true;
      next = next ? std::min(*next, *at) : *at;
      return false;
    };
    const bool offline = engine_ && engine_->mode() == offline::Engine::Mode::Offline;
    if (offline) {
      if (!nextProbe_) nextProbe_ = now;
      if (due(nextProbe_)) {
        nextProbe_ = now + kProbeInterval;
        lock.unlock();
        probe();
        lock.lock();
        continue;
      }
    } else if (listWanted_ || !nextList_ || due(nextList_)) {
      listWanted_ = false;
      nextList_ = now + kListRefresh;
      lock.unlock();
      fetchList();
      lock.lock();
      continue;
    }
    // Offline, a hand-over waits for a probe to find the back-end answering again.
    if (engine_ && (!offline || probeAnswered_) && !engine_->handOverBatch().empty()) {
      if (!handOverAt_) {
        const auto limit = std::max<std::int64_t>(handOverDelayLimit_.count(), 0);
        handOverAt_ = now + std::chrono::milliseconds(std::uniform_int_distribution<std::int64_t>(0, limit)(random));
      }
      if (due(handOverAt_)) {
        lock.unlock();
        handOver();
        lock.lock();
        continue;
      }
    } else {
      handOverAt_.reset();
    }
    if (next)
      wake_.wait_until(lock, *next);
    else
      wake_.wait(lock);
  }
}

void OfflineStation::fetchList() {
  std::unique_lock<std::mutex> lock(mutex_);
  const QString url = url_;
  const std::string block =
      engine_ && !engine_->block().empty() ? engine_->block() : std::string(offline::kAllBlocks);
  const std::string path = std::string(wire::kOfflineListPath) + "?bizcode=" + encoded(bizCode_) +
                           "&block=" + encoded(block);
  lock.unlock();

  const auto requestedAt = Clock::now();
  HttpReply reply;
  try {
    reply = backendRequest(url, "GET", path, {}, {}, kConnectTimeout, kCallTimeout);
  } catch (const BackendError& e) {
    say(e.what());
  }

  lock.lock();
  if (reply.status == 0 || reply.status >= 500) {
    nextList_ = Clock::now() + kListRetry;
    return;
  }
  offlineOn_ = reply.status == 200;
  if (reply.status != 200 || !engine_) return;
  try {
    offline::TicketList list = offline::decodeList(reply.body);
    const std::chrono::minutes maxAge{list.header.maxAgeMinutes};
    engine_->listFetched(std::move(list), requestedAt, maxAge);
  } catch (const std::invalid_argument& e) {
    // A list of a block left meanwhile, or a damaged one: the next fetch mends it.
    say(e.what());
  }
}

void OfflineStation::probe() {
  std::unique_lock<std::mutex> lock(mutex_);
  const QString url = url_;
  lock.unlock();
  HttpReply reply;
  try {
    reply = backendRequest(url, "GET", std::string(wire::kHealthPath), {}, {}, kConnectTimeout, kProbeTimeout);
  } catch (const BackendError& e) {
    say(e.what());
  }
  lock.lock();
  if (!engine_) return;
  probeAnswered_ = reply.status == 200;
  if (probeAnswered_)
    engine_->probeAnswered(Clock::now());
  else
    engine_->probeFailed();
}

void OfflineStation::handOver() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!engine_) return;
  const std::vector<offline::Decision> batch = engine_->handOverBatch();
  const QString url = url_;
  lock.unlock();
  if (batch.empty()) return;

  HttpReply reply;
  try {
    reply = backendRequest(url, "POST", std::string(wire::kOfflineChecksPath), offline::encodeHandover(batch), {},
                           kConnectTimeout, kCallTimeout);
  } catch (const BackendError& e) {
    say(e.what());
  }

  lock.lock();
  const auto now = Clock::now();
  if (reply.status == 200) {
    try {
      const offline::HandoverAnswer answer = offline::decodeHandoverAnswer(reply.body);
      for (const offline::HandoverResult& r : answer.results)
        if (r.result != offline::kResultAccepted && r.result != offline::kResultSame)
          say("decision " + std::to_string(r.sequence) + " handed over: " + r.result + ": " + r.why);
      if (answer.gap)
        say("the back-end misses decisions " + std::to_string(answer.gap->first) + " to " +
            std::to_string(answer.gap->second) + " of this station.");
      // A back-end that holds more of this station than its journal (a journal started afresh on
      // a PC registered before) acknowledges no decision the journal does not have.
      const std::int64_t highest = engine_->journal().contents().highestSequence();
      if (answer.acknowledgedUpTo > highest)
        say("the back-end holds decisions up to " + std::to_string(answer.acknowledgedUpTo) +
            " of this station, more than its journal; was the journal replaced?");
      engine_->acknowledged(now, std::min(answer.acknowledgedUpTo, highest));
      handOverAt_ = now;  // the next batch at once
    } catch (const std::exception& e) {
      say(std::string("the hand-over's answer cannot be taken: ") + e.what());
      handOverAt_ = now + kListRefresh;
    }
  } else if (reply.status == 503) {
    // Live checks queue at the back-end: they go first.
    handOverAt_ = now + retryAfter(reply.retryAfter);
  } else if (reply.status == 0) {
    probeAnswered_ = false;
    engine_->probeFailed();
    handOverAt_.reset();
  } else {
    say("the back-end refused the hand-over with status " + std::to_string(reply.status) + ": " +
        wire::decodeError(reply.body));
    handOverAt_ = now + kListRefresh;
  }
}

OfflineStation& offlineStation() {
  static OfflineStation station;
  return station;
}

}  // namespace tav::backend
