// ConnectionBudget: three lines of idle connections and the bytes queued for slow readers, under one lock.
#include "server/http/connection_budget.h"

#include <sys/resource.h>

#include <algorithm>
#include <vector>

namespace tav::server {

namespace {

// Descriptors kept back from connections: the store's files and connections, the log, the
// listening socket, and room for accept() to hand over one more while the budget reclaims.
constexpr std::size_t kMinReserve = 64;
constexpr std::size_t kReserveShare = 16;  // and a sixteenth of the limit beyond that
// Above any real limit: RLIM_INFINITY is counted as this.
constexpr rlim_t kLargestLimit = 1 << 20;

}  // namespace

ConnectionBudget::ConnectionBudget(std::size_t budget, Clock::duration grace)
    : budget_(std::max<std::size_t>(budget, 1)),
      batch_(std::clamp<std::size_t>(budget / 64, 1, 256)),
      grace_(grace) {}

std::size_t ConnectionBudget::underOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024 - kMinReserve;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = std::min(limit.rlim_max, kLargestLimit);
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  const std::size_t files = static_cast<std::size_t>(std::min(limit.rlim_cur, kLargestLimit));
  const std::size_t reserve = kMinReserve + files / kReserveShare;
  return files > reserve * 2 ? files - reserve : files / 2;
}

void ConnectionBudget::join(Member& member, std::weak_ptr<Evictable> connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  member.connection = std::move(connection);
  ++open_;
  enlist(member, kNew);
}

void ConnectionBudget::leave(Member& member) {
  std::lock_guard<std::mutex> lock(mutex_);
  unlist(member);
  --open_;
}

void ConnectionBudget::idle(Member& member, bool verified) {
  std::lock_guard<std::mutex> lock(mutex_);
  unlist(member);
  enlist(member, verified ? kVerified : kStranger);
}

void ConnectionBudget::busy(Member& member) {
  std::lock_guard<std::mutex> lock(mutex_);
  unlist(member);
}

void ConnectionBudget::enlist(Member& member, int line) {
  member.line = line;
  member.since = Clock::now();
  member.at = lines_[line].insert(lines_[line].end(), &member);
}

void ConnectionBudget::unlist(Member& member) {
  if (member.line < 0) return;
  lines_[member.line].erase(member.at);
  member.line = -1;
}

bool ConnectionBudget::full() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_ >= budget_;
}

std::size_t ConnectionBudget::open() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

bool ConnectionBudget::queue(std::size_t bytes, bool refusable) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (refusable && bytes > kSmallAnswerBytes && queued_ + bytes > kQueuedBytesLimit) return false;
  queued_ += bytes;
  return true;
}

void ConnectionBudget::unqueue(std::size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_ -= std::min(bytes, queued_);
}

std::size_t ConnectionBudget::queued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queued_;
}

ConnectionBudget::Member* ConnectionBudget::nextToClose(Clock::time_point now) {
  const auto& fresh = lines_[kNew];
  const auto& strangers = lines_[kStranger];
  Member* silent = !fresh.empty() && now - fresh.front()->since >= grace_ ? fresh.front() : nullptr;
  Member* stranger = strangers.empty() ? nullptr : strangers.front();
  if (silent && stranger) return silent->since <= stranger->since ? silent : stranger;
  if (silent || stranger) return silent ? silent : stranger;
  return lines_[kVerified].empty() ? nullptr : lines_[kVerified].front();
}

std::size_t ConnectionBudget::reclaim(std::size_t count, bool force) {
  std::vector<std::shared_ptr<Evictable>> closing;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    while (closing.size() < count) {
      Member* member = nextToClose(now);
      if (!member && force && !lines_[kNew].empty()) member = lines_[kNew].front();
      if (!member) break;
      // Out of line at once, so that the next reclaim does not pick it again before it closes.
      unlist(*member);
      if (auto connection = member->connection.lock()) closing.push_back(std::move(connection));
    }
  }
  // Outside the lock: a connection going away here leaves the budget from its destructor.
  for (const auto& connection : closing) connection->evict();
  return closing.size();
}

}  // namespace tav::server
