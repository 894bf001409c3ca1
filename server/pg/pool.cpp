// ConnectionPool: handing connections out and taking them back.
#include "server/pg/pool.h"

#include <algorithm>
#include <chrono>

#include "server/core/errors.h"
#include "server/core/store.h"

namespace tav::server::pg {

ConnectionPool::ConnectionPool(std::string uri, std::size_t size, std::unique_ptr<Connection> first)
    : uri_(std::move(uri)), size_(std::max<std::size_t>(size, 1)) {
  idle_.push_back(std::move(first));
  open_ = 1;
}

std::unique_ptr<Connection> ConnectionPool::acquire(bool fresh, Connection::Clock::time_point turnEnds) {
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
      if (!me.cv.wait_until(lock, turnEnds, [&] { return me.handed || me.mayOpen; })) {
        waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &me));
        throw notChecked();
      }
      if (me.handed) return std::move(me.handed);
    }
  }
  std::unique_ptr<Connection> c;
  try {
    c = std::make_unique<Connection>(uri_);
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex_);
    forget();
    throw;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    c->generation = generation_;
  }
  // A connection made slowly (the database answers late) would start its work after its caller's
  // turn: it goes to the next caller instead.
  if (Connection::Clock::now() > turnEnds) {
    release(std::move(c));
    throw notChecked();
  }
  return c;
}

void ConnectionPool::forget() {
  --open_;
  grantFreeSlots();
}

void ConnectionPool::release(std::unique_ptr<Connection> c) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (c->generation != generation_) {
    forget();
    return;  // closed as `c` goes, with the lock held for a moment: closing does not wait
  }
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
    ++generation_;
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
