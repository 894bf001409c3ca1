// How many connections the server may hold under its open-file limit, which to close first when it
// nears that, and how many bytes of answers may wait for slow readers.
#pragma once

#include <chrono>
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
// request (or reads one slowly) it stands in one of three lines, each the longest idle first:
// - new: accepted, no request yet. For a short grace it is not closed for the budget, so that a
//   station that connects and sends at once is never the one closed; past the grace it is a
//   stranger that has sent nothing;
// - strangers: its last request carried no session or station key that was verified;
// - verified: its last request's session or station key was verified. A header that was sent but
//   not checked counts for nothing.
// Closing takes strangers (the new ones past their grace among them) before the verified, and new
// connections within their grace only when the system has run out of descriptors.
class ConnectionBudget {
 public:
  using Clock = std::chrono::steady_clock;

  // A connection's place; owned by the connection, which must leave() before it goes.
  struct Member {
    std::weak_ptr<Evictable> connection;
    std::list<Member*>::iterator at;
    int line = -1;  // -1: busy; otherwise kNew, kStranger or kVerified
    Clock::time_point since;  // when it joined its line
  };

  // `budget` connections at most before the longest idle are closed (at least 1); `grace`: how long
  // a new connection is spared before its first request.
  explicit ConnectionBudget(std::size_t budget, Clock::duration grace = kGrace);

  // The budget that leaves a reserve of descriptors (store files, database connections, logs)
  // under the process's open-file limit; raises the soft limit to the hard one first.
  static std::size_t underOpenFileLimit();

  void join(Member& member, std::weak_ptr<Evictable> connection);
  void leave(Member& member);
  // The connection waits for a request from now on; `verified` when its last request's session or
  // station key was checked and found good.
  void idle(Member& member, bool verified);
  // The connection is answering a request: it is not closed for the budget meanwhile.
  void busy(Member& member);

  // True when the connections open have reached the budget.
  bool full() const;
  // Closes up to `count` of the idle connections in the order above; returns how many. `force`: the
  // system refused a descriptor, and new connections within their grace may go too.
  std::size_t reclaim(std::size_t count, bool force = false);
  // How many to close at once when full: a few at a time, so that not every accept reclaims.
  std::size_t batch() const { return batch_; }

  std::size_t budget() const { return budget_; }
  std::size_t open() const;

  // Bytes of answers that wait to be taken by their clients: in the kernel's send buffers, and in
  // the server's own memory where an answer is not shared. A `refusable` answer larger than
  // kSmallAnswerBytes (a page file) is refused, and nothing counted, once they would pass
  // kQueuedBytesLimit; any other is always counted.
  bool queue(std::size_t bytes, bool refusable = true);
  void unqueue(std::size_t bytes);
  std::size_t queued() const;

  // A station connects and sends its request within milliseconds, or a few hundred over a slow
  // venue network with TLS.
  static constexpr Clock::duration kGrace = std::chrono::seconds(2);
  // About a thousand slow readers of the largest page file, each holding a full send buffer.
  static constexpr std::size_t kQueuedBytesLimit = 64u << 20;
  // Answers at most this large are never refused for the bytes queued.
  static constexpr std::size_t kSmallAnswerBytes = 16u << 10;

 private:
  static constexpr int kNew = 0, kStranger = 1, kVerified = 2;
  void enlist(Member& member, int line);
  void unlist(Member& member);
  // The longest idle member that may be closed now without `force`: a stranger or a new connection
  // past its grace, else a verified connection; null when none may.
  Member* nextToClose(Clock::time_point now);

  const std::size_t budget_, batch_;
  const Clock::duration grace_;
  mutable std::mutex mutex_;
  std::size_t open_ = 0, queued_ = 0;
  std::list<Member*> lines_[3];  // each from the longest idle to the latest
};

}  // namespace tav::server
