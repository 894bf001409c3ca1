// ConnectionPool: handing connections out and taking them back.
#include "server/pg/pool.h"

#include <algorithm>
#include <chrono>

#include "server/core/errors.h"

namespace tav::server::pg {
namespace {

// How long a request waits for a free connection before the store counts as not answering.
constexpr auto kAcquireWait = std::chrono::seconds(10);

}  // namespace

ConnectionPool::ConnectionPool(std::string uri, std::size_t size, std::unique_ptr<Connection> first)
    : uri_(std::move(uri)), size_(std::max<std::size_t>(size, 1)) {
  idle_.push_back(std::move(first));
  open_ = 1;
}

std::unique_ptr<Connection> ConnectionPool::acquire(bool fresh) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    bool open = false;
    if (waiters_.empty() && !fresh && !idle_.empty()) {
      auto c = std::move(idle_.back());
      idle_.pop_back();
      return c;
    }
    if (waiters_.empty() && open_ < size_) {
      ++open_;
      open = true;
    }
    if (!open) {
      Waiter me;
      me.fresh = fresh;
      waiters_.push_back(&me);
      if (!me.cv.wait_for(lock, kAcquireWait, [&] { return me.handed || me.mayOpen; })) {
        waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &me));
        throw StoreUnavailable("The store has no free database connection.");
      }
      if (me.handed) return std::move(me.handed);
    }
  }
  try {
    return std::make_unique<Connection>(uri_);
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    --open_;
    grantFreeSlots();
    throw;
  }
}

void ConnectionPool::release(std::unique_ptr<Connection> c) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
    if ((*it)->fresh) continue;
    Waiter* w = *it;
    waiters_.erase(it);
    w->handed = std::move(c);
    w->cv.notify_one();
    return;
  }
  idle_.push_back(std::move(c));
}

void ConnectionPool::grantFreeSlots() {
  while (open_ < size_ && !waiters_.empty()) {
    Waiter* w = waiters_.front();
    waiters_.pop_front();
    ++open_;
    w->mayOpen = true;
    w->cv.notify_one();
  }
}

void ConnectionPool::discard(std::unique_ptr<Connection> c) {
  std::vector<std::unique_ptr<Connection>> stale;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stale.swap(idle_);
    open_ -= stale.size() + 1;
    grantFreeSlots();
  }
  c.reset();
  stale.clear();
}

bool ConnectionPool::finish(std::unique_ptr<Connection> c) {
  if (c->abandon()) {
    release(std::move(c));
    return true;
  }
  discard(std::move(c));
  return false;
}

}  // namespace tav::server::pg
