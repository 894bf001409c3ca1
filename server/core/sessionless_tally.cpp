// The tally of requests without a session: per address and minute, closed into summary lines.
#include "server/core/sessionless_tally.h"

#include <algorithm>

#include "server/core/errors.h"

namespace tav::server {
namespace {

std::size_t indexOf(SessionlessKind kind) { return static_cast<std::size_t>(kind); }

// Busiest first; the address decides a tie, so that the lines and the list do not flicker.
template <typename Ranked>
void rank(Ranked& ranked) {
  std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
    const std::int64_t ta = a.second.total(), tb = b.second.total();
    return ta != tb ? ta > tb : a.first < b.first;
  });
}

}  // namespace

void SessionlessTally::Count::add(const Count& other) {
  for (std::size_t k = 0; k < kSessionlessKinds; ++k) requests[k] += other.requests[k];
  ownLines += other.ownLines;
  lastSeen = std::max(lastSeen, other.lastSeen);
}

std::string SessionlessTally::summaryMessage(const std::array<std::int64_t, kSessionlessKinds>& requests,
                                             std::int64_t ownLines) {
  const std::int64_t total = requests[0] + requests[1] + requests[2];
  std::string text = "로그인 없이 " + std::to_string(total) + "건: 확인 " +
                     std::to_string(requests[indexOf(SessionlessKind::Check)]) + ", 장소 " +
                     std::to_string(requests[indexOf(SessionlessKind::PlaceSignIn)]) + ", 통계 " +
                     std::to_string(requests[indexOf(SessionlessKind::Statistics)]);
  if (ownLines > 0) text += " (개별 기록 " + std::to_string(ownLines) + "건)";
  return text;
}

bool SessionlessTally::note(const std::string& address, SessionlessKind kind, TimeMs now) {
  const std::int64_t minute = now / kMinuteMs;
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_ && current_->minute < minute) {
    close(*current_);
    current_.reset();
  }
  if (!current_) {
    current_.emplace(Minute{minute, {}, {}, 0});
  }
  // A request whose clock was read just before the minute turned counts in the new one.
  Minute& m = *current_;
  Count* count = nullptr;
  bool apart = true;
  if (auto it = m.addresses.find(address); it != m.addresses.end()) {
    count = &it->second;
  } else if (m.addresses.size() < kSessionlessAddressesPerMinute) {
    count = &m.addresses[address];
  } else {
    count = &m.beyond;
    apart = false;
  }
  ++count->requests[indexOf(kind)];
  count->lastSeen = std::max(count->lastSeen, now);
  const bool ownLine = apart && kind != SessionlessKind::Statistics && count->ownLines < kSessionlessLinesPerAddress &&
                       m.ownLines < kSessionlessLinesPerMinute;
  if (ownLine) {
    ++count->ownLines;
    ++m.ownLines;
  }
  return ownLine;
}

void SessionlessTally::close(Minute& m) {
  Ranked ranked;
  ranked.reserve(m.addresses.size());
  for (auto& [address, count] : m.addresses) ranked.emplace_back(address, count);
  rank(ranked);

  auto summary = [&](const std::string& source, const Count& c) {
    ScanRecord line;
    line.at = m.minute * kMinuteMs;
    line.kind = "check";
    line.source = source;
    line.outcome = std::string(kOutcomeSessionlessCount);
    line.message = summaryMessage(c.requests, c.ownLines);
    pending_.push_back(std::move(line));
  };
  // Only addresses with requests that got no line of their own need a summary.
  std::size_t needing = 0;
  for (const auto& [address, count] : ranked) needing += count.total() > count.ownLines ? 1 : 0;
  const bool allApart = needing <= kSessionlessSummariesPerMinute && m.beyond.total() == 0;
  const std::size_t apart = allApart ? needing : kSessionlessSummariesPerMinute - 1;
  std::size_t written = 0;
  Count others = m.beyond;
  for (const auto& [address, count] : ranked) {
    if (count.total() == count.ownLines) continue;
    if (written < apart) {
      summary(address, count);
      ++written;
    } else {
      others.add(count);
    }
  }
  if (others.total() > 0) summary(std::string(kOtherAddresses), others);
  while (pending_.size() > kSessionlessPendingLines) pending_.pop_front();

  // The dashboard lists at most kStrangerRows over its window: each minute's busiest twice over
  // are enough to find them.
  if (ranked.size() > 2 * kStrangerRows) ranked.resize(2 * kStrangerRows);
  if (m.beyond.total() > 0) ranked.emplace_back(std::string(kOtherAddresses), m.beyond);
  finished_.emplace_back(m.minute, std::move(ranked));
  while (!finished_.empty() && finished_.front().first <= m.minute - kStrangerMinutes) finished_.pop_front();
}

void SessionlessTally::flush(Store& store, bool everything) {
  const std::int64_t minute = store.now() / kMinuteMs;
  std::vector<ScanRecord> lines;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_ && (everything || current_->minute < minute)) {
      close(*current_);
      current_.reset();
    }
    lines.assign(std::make_move_iterator(pending_.begin()), std::make_move_iterator(pending_.end()));
    pending_.clear();
  }
  if (lines.empty()) return;
  try {
    store.write([&](Transaction& tx) {
      for (const ScanRecord& line : lines) tx.appendScanLog(line);
    });
  } catch (const OutcomeUnknown&) {
    throw;  // they may have been kept: written again they might stand twice
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.insert(pending_.begin(), std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
    while (pending_.size() > kSessionlessPendingLines) pending_.pop_front();
    throw;
  }
}

std::vector<Stranger> SessionlessTally::strangers(TimeMs now) const {
  const std::int64_t first = now / kMinuteMs - kStrangerMinutes + 1;
  std::unordered_map<std::string, Count> sums;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [minute, ranked] : finished_)
      if (minute >= first)
        for (const auto& [address, count] : ranked) sums[address].add(count);
    if (current_ && current_->minute >= first) {
      for (const auto& [address, count] : current_->addresses) sums[address].add(count);
      if (current_->beyond.total() > 0) sums[std::string(kOtherAddresses)].add(current_->beyond);
    }
  }
  Ranked ranked(sums.begin(), sums.end());
  rank(ranked);
  if (ranked.size() > kStrangerRows) ranked.resize(kStrangerRows);
  std::vector<Stranger> out;
  for (const auto& [address, count] : ranked) out.push_back(Stranger{address, count.requests, count.lastSeen});
  return out;
}

}  // namespace tav::server
