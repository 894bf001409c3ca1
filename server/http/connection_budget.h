// How many connections the server may hold under its open-file limit, and which to close first
// when it nears that: the longest idle, those without a session before those with one.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>

namespace tav::server {

// A connection the budget may close.
class Evictable {
 public:
  virtual ~Evictable() = default;
  // Closes the connection if it is still idle; from any thread (the connection takes it to its own).
  virtual void evict() = 0;
};

// Thread-safe. Every connection is a member from its accept to its end; while it waits for a
// request (or reads one slowly) it stands in line, the longest idle first.
class ConnectionBudget {
 public:
  // A connection's place; owned by the connection, which must leave() before it goes.
  struct Member {
    std::weak_ptr<Evictable> connection;
    std::list<Member*>::iterator at;
    int line = -1;  // -1: busy; otherwise kStranger or kSigned
  };

  // `budget` connections at most before the longest idle are closed (at least 1).
  explicit ConnectionBudget(std::size_t budget);

  // The budget that leaves a reserve of descriptors (store files, database connections, logs)
  // under the process's open-file limit; raises the soft limit to the hard one first.
  static std::size_t underOpenFileLimit();

  void join(Member& member, std::weak_ptr<Evictable> connection);
  void leave(Member& member);
  // The connection waits for a request from now on; `signedIn` when its last request came with a
  // session or a station key.
  void idle(Member& member, bool signedIn);
  // The connection is answering a request: it is not closed for the budget meanwhile.
  void busy(Member& member);

  // True when the connections open have reached the budget.
  bool full() const;
  // Closes up to `count` of the longest-idle connections, strangers first; returns how many.
  std::size_t reclaim(std::size_t count);
  // How many to close at once when full: a few at a time, so that not every accept reclaims.
  std::size_t batch() const { return batch_; }

  std::size_t budget() const { return budget_; }
  std::size_t open() const;

 private:
  static constexpr int kStranger = 0, kSigned = 1;
  void unlist(Member& member);

  const std::size_t budget_, batch_;
  mutable std::mutex mutex_;
  std::size_t open_ = 0;
  std::list<Member*> lines_[2];  // each from the longest idle to the latest
};

}  // namespace tav::server
