// The station's offline engine: its modes, the list plus overlay decision, the hand-over's batches.
#include "offline/engine.h"

#include <algorithm>

#include "wire/protocol.h"
#include "wire/stands.h"

namespace tav::offline {
namespace {

constexpr std::string_view kStatusOffline = "오프라인 검표 중";
constexpr std::string_view kStatusRefused = "오프라인 검표 불가";
constexpr std::string_view kStatusNoList = "목록 없음";
constexpr std::string_view kStatusJournalFailed = "기록 실패";

std::string listAge(SteadyTime now, SteadyTime requestedAt) {
  const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(now - requestedAt).count();
  return "목록 " + std::to_string(std::max<std::int64_t>(minutes, 0)) + "분 전";
}

std::string withReason(std::string_view status, const std::string& reason) {
  return std::string(status) + " (" + reason + ")";
}

void checkBlock(const std::string& block) {
  if (!block.empty() && !wire::blockIndex(block))
    throw std::invalid_argument("The block \"" + block + "\" is none of the stand blocks.");
}

// A list of every block serves any filter: it holds the filter's tickets, and tells a ticket of
// another block by its own text rather than as one missing from the list.
bool listCovers(const ListHeader& header, const std::string& block) {
  return header.block == kAllBlocks || header.block == block;
}

rule::TicketState stateOf(const ListRecord& record) {
  rule::TicketState state;
  state.block = wire::kBlocks.at(record.block);
  state.cancelled = record.cancelled;
  state.inside = record.inside;
  state.entryCount = record.entryCount;
  if (record.lastEntrySeconds > 0) state.lastEntry = rule::TimeMs{record.lastEntrySeconds} * 1000;
  return state;
}

// What an outcome did to the ticket: entered, left, or nothing.
std::optional<bool> movement(std::string_view outcome) {
  if (outcome == rule::kOutcomeEntry || outcome == rule::kOutcomeReentry) return true;
  if (outcome == rule::kOutcomeExit) return false;
  return std::nullopt;
}

}  // namespace

Engine::Engine(Journal journal) : journal_(std::move(journal)) {
  for (const Decision& decision : journal_.contents().unacknowledged()) remember(decision, movement(decision.outcome));
}

std::optional<std::string> Engine::signedIn(SteadyTime now, std::string bizCode, std::string operatorId,
                                            std::string block) {
  if (bizCode.empty() || operatorId.empty())
    throw std::invalid_argument("A sign-in names its event and its operator.");
  checkBlock(block);
  bizCode_ = std::move(bizCode);
  operatorId_ = std::move(operatorId);
  block_ = std::move(block);
  lastOnlineAnswer_ = std::max(lastOnlineAnswer_, now);
  if (!listServes()) list_.reset();
  try {
    journal_.testWrite();
    journalWritable_ = true;
    return std::nullopt;
  } catch (const JournalError& e) {
    journalWritable_ = false;
    return e.what();
  }
}

void Engine::blockChosen(std::string block) {
  checkBlock(block);
  block_ = std::move(block);
  if (!listServes()) list_.reset();
}

void Engine::listFetched(TicketList list, SteadyTime requestedAt, std::chrono::milliseconds maxAge) {
  if (maxAge.count() <= 0) throw std::invalid_argument("The offline max age must be above zero.");
  if (list.header.bizCode != bizCode_ || !listCovers(list.header, block_))
    throw std::invalid_argument("The list is of event " + list.header.bizCode + " and block " + list.header.block +
                                ", not of the event and block the station checks.");
  list_ = std::move(list);
  listRequestedAt_ = requestedAt;
  maxAge_ = maxAge;
  lastOnlineAnswer_ = std::max(lastOnlineAnswer_, requestedAt);
  dropSettled();
}

void Engine::checkAnswered(SteadyTime now, rule::TimeMs utcMs, std::string_view ticketNo, std::string_view mode,
                           std::string_view code) {
  lastOnlineAnswer_ = std::max(lastOnlineAnswer_, now);
  const bool admitted = code == wire::kCodeOk || (mode == wire::kModeEntry && code == wire::kCodeReentry);
  if (!admitted || !rule::isCheckMode(mode) || ticketNo.empty()) return;
  overlay_[overlayKey(ticketNo)].changes.push_back(Change{mode == wire::kModeEntry, utcMs, 0, now});
}

bool Engine::connectionFailed(SteadyTime now) {
  if (mode_ == Mode::Online && offlineAllowed(now)) {
    mode_ = Mode::Offline;
    firstProbe_.reset();
    probesSteady_ = false;
  }
  return mode_ == Mode::Offline && offlineAllowed(now);
}

bool Engine::listServes() const {
  return list_ && list_->header.bizCode == bizCode_ && listCovers(list_->header, block_);
}

bool Engine::offlineAllowed(SteadyTime now) const {
  return journalWritable_ && !bizCode_.empty() && listServes() && now - listRequestedAt_ < maxAge_;
}

std::string Engine::overlayKey(std::string_view ticketNo) const {
  std::string key = bizCode_;
  key += '\n';
  key += ticketNo;
  return key;
}

bool Engine::localDecisionFor(std::string_view ticketNo) const {
  const auto it = overlay_.find(overlayKey(ticketNo));
  return it != overlay_.end() && it->second.lastSequence > journal_.contents().acknowledgedUpTo;
}

OfflineAnswer Engine::decide(SteadyTime now, rule::TimeMs utcMs, const OfflineCheck& check) {
  if (!rule::isCheckMode(check.mode)) throw std::invalid_argument("An offline check is an entry or an exit.");
  if (check.ticketNo.empty()) throw std::invalid_argument("An offline check names its ticket.");
  if (!wire::isIdempotencyKey(check.idempotencyKey))
    throw std::invalid_argument("An offline check carries the idempotency key of its scan.");
  if (!decidesLocally(check.ticketNo) || !offlineAllowed(now)) {
    if (!journalWritable_) throw OfflineError("The offline journal cannot be written, so nothing is decided offline.", false);
    if (!listServes()) throw OfflineError("The station holds no list of its event and block to decide offline from.", false);
    if (now - listRequestedAt_ >= maxAge_)
      throw OfflineError("The offline list is older than the event allows, so nothing is decided offline.", false);
    throw OfflineError("The station checks online; this ticket is not one to decide offline.", false);
  }

  const std::vector<ListRecord> records = findTicket(*list_, check.ticketNo);
  const auto local = overlay_.find(overlayKey(check.ticketNo));
  const auto clockOf = [offset = list_->header.utcOffsetMinutes](rule::TimeMs at) {
    return rule::clockAtOffset(at, offset);
  };
  // Each record the hash finds, as this station has seen it change since the list.
  std::optional<rule::Decision> decision;
  for (const ListRecord& record : records) {
    rule::TicketState state = stateOf(record);
    if (local != overlay_.end())
      for (const Change& change : local->second.changes) {
        state.inside = change.entered;
        if (change.entered) {
          ++state.entryCount;
          state.lastEntry = change.at;
        } else {
          state.lastExit = change.at;
        }
      }
    rule::Decision candidate = rule::decide({check.mode, block_, std::move(state), utcMs}, clockOf);
    if (!decision) {
      decision = std::move(candidate);
    } else if (candidate.outcome != decision->outcome) {
      // Two tickets of one hash that this check would treat differently: the list cannot say which
      // one is scanned, so it is refused as the list's blind spot rather than guessed.
      decision.reset();
      break;
    }
  }
  if (!decision) decision = rule::notInList();

  Decision line;
  line.idempotencyKey = std::string(check.idempotencyKey);
  line.utcMs = utcMs;
  line.sinceOnlineMs = std::max<std::int64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now - lastOnlineAnswer_).count(), 0);
  line.bizCode = bizCode_;
  line.mode = std::string(check.mode);
  line.block = block_;
  line.ticketNo = std::string(check.ticketNo);
  line.operatorId = operatorId_;
  line.outcome = std::string(decision->outcome);
  try {
    line = journal_.append(std::move(line));
  } catch (const JournalError& e) {
    journalWritable_ = false;
    throw OfflineError(std::string(e.what()) + " The ticket's outcome is unknown: scan it again once the station is back.",
                       true);
  }
  remember(line, movement(line.outcome));
  return {std::move(*decision), std::move(line)};
}

void Engine::remember(const Decision& decision, std::optional<bool> entered) {
  std::string key = decision.bizCode;
  key += '\n';
  key += decision.ticketNo;
  Local& local = overlay_[key];
  local.lastSequence = decision.sequence;
  if (entered) local.changes.push_back(Change{*entered, decision.utcMs, decision.sequence, std::nullopt});
}

std::string Engine::statusText(SteadyTime now) const {
  const bool offline = mode_ == Mode::Offline;
  if (!journalWritable_ && (offline || list_)) return withReason(kStatusRefused, std::string(kStatusJournalFailed));
  if (!listServes()) return offline ? withReason(kStatusRefused, std::string(kStatusNoList)) : std::string();
  const std::string age = listAge(now, listRequestedAt_);
  if (!offlineAllowed(now)) return withReason(kStatusRefused, age);
  return offline ? withReason(kStatusOffline, age) : age;
}

std::vector<Decision> Engine::handOverBatch() const {
  std::vector<Decision> batch = journal_.contents().unacknowledged();
  if (batch.size() > kMaxHandoverLines) batch.resize(kMaxHandoverLines);
  return batch;
}

void Engine::acknowledged(SteadyTime now, std::int64_t upToSequence) {
  journal_.acknowledge(upToSequence);
  lastOnlineAnswer_ = std::max(lastOnlineAnswer_, now);
  for (auto& [key, local] : overlay_)
    for (Change& change : local.changes)
      if (change.sequence > 0 && change.sequence <= upToSequence && !change.settled) change.settled = now;
  tryBackOnline();
}

void Engine::dropSettled() {
  // A change the back-end held before the list was asked for is in the list: keeping it would
  // count an entry twice.
  for (auto it = overlay_.begin(); it != overlay_.end();) {
    auto& changes = it->second.changes;
    changes.erase(std::remove_if(changes.begin(), changes.end(),
                                 [&](const Change& c) { return c.settled && *c.settled <= listRequestedAt_; }),
                  changes.end());
    if (changes.empty() && it->second.lastSequence <= journal_.contents().acknowledgedUpTo)
      it = overlay_.erase(it);
    else
      ++it;
  }
}

bool Engine::probeAnswered(SteadyTime now) {
  if (!firstProbe_) firstProbe_ = now;
  if (now - *firstProbe_ >= kProbeSpacing) probesSteady_ = true;
  tryBackOnline();
  return mode_ == Mode::Online;
}

void Engine::probeFailed() {
  firstProbe_.reset();
  probesSteady_ = false;
}

void Engine::tryBackOnline() {
  if (mode_ == Mode::Offline && probesSteady_ &&
      journal_.contents().highestSequence() == journal_.contents().acknowledgedUpTo) {
    mode_ = Mode::Online;
    firstProbe_.reset();
    probesSteady_ = false;
  }
}

}  // namespace tav::offline
