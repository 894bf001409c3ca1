// The PostgreSQL store's connections: up to a fixed number open, handed out in order of arrival,
// and replaced when the database has dropped them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/pg/connection.h"

namespace tav::server::pg {

class ConnectionPool {
 public:
  // Keeps `first` (already open) and opens up to `size` connections to `uri` in all.
  ConnectionPool(std::string uri, std::size_t size, std::unique_ptr<Connection> first);

  // An idle connection, or a new one while fewer than the pool's size are open; `fresh` skips the
  // idle ones. Waits its turn for a connection to come back; throws notChecked() when it has none
  // by `turnEnds`, StoreUnavailable when the database cannot be reached.
  std::unique_ptr<Connection> acquire(bool fresh, Connection::Clock::time_point turnEnds);

  // Hands a connection in good order back, to the first waiter or to the idle ones; one opened
  // before the pool last found a connection dead is closed instead.
  void release(std::unique_ptr<Connection> c);

  // After a failure: the connection goes back to the pool when it can be made clean again.
  // False when it was lost.
  bool finish(std::unique_ptr<Connection> c);

 private:
  // A request waiting for a connection. Waiters are served in their order of arrival, so that
  // under load no station waits much longer than the others.
  struct Waiter {
    bool fresh = false;                  // wants a new connection, not an idle one
    std::unique_ptr<Connection> handed;  // an idle connection passed on by release()
    bool mayOpen = false;                // or leave to open a new one
    std::condition_variable cv;
  };

  // Lets the first waiters open connections while the pool has room. Needs mutex_.
  void grantFreeSlots();

  // A dead connection is closed, and with it the idle ones: whatever killed it (a restart, a
  // failover, a stalled database) has most likely killed them too, and the ones in use are closed
  // as they come back. None lingers on a deposed primary.
  void discard(std::unique_ptr<Connection> c);

  // Closes a connection the pool no longer counts on. Needs mutex_.
  void forget();

  std::string uri_;
  std::size_t size_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> idle_;
  std::deque<Waiter*> waiters_;
  std::size_t open_ = 0;
  std::uint64_t generation_ = 0;  // counts the connections found dead
};

}  // namespace tav::server::pg
