// One HTTP connection of tav-server: reads requests within the limits, hands each to the service
// and writes its answer, on the connection's strand and without a thread of its own.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "server/http/connection_budget.h"
#include "server/http/metrics.h"
#include "server/http/responses.h"
#include "server/http/source_limits.h"

namespace tav::server {

// The writing end of an event stream: a connection whose answer's head is sent and whose body goes
// on until either side ends it. Safe from any thread; a stream holds no thread between writes.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Queues `bytes` for the client. When the client has not yet taken what was pushed before, only
  // the latest bytes wait: every push is meant to stand on its own.
  virtual void push(std::shared_ptr<const std::string> bytes) = 0;
  // Closes the connection.
  virtual void end() = 0;
};

// Told the open stream once its head has been sent; not told at all when the client went first.
using StreamOpened = std::function<void(const std::shared_ptr<EventSink>&)>;

// The connection's side of an exchange; see Reply.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  virtual ~Connection() = default;
  virtual boost::asio::any_io_executor executor() = 0;
  // Writes the answer to the request under way; runs on the connection's strand only.
  virtual void deliver(HttpResponse response) = 0;
  virtual void deliver(FileResponse response) = 0;
  // The request under way came with a session or station key that was checked: `verified` when it
  // was good. From any thread, before the answer is sent. A connection whose last request's
  // credentials were verified is closed for the budget after strangers; one whose credentials
  // were not, or were never looked at, counts as a stranger's.
  virtual void vouch(bool verified) = 0;
  // Writes `head` (status line and fields, with the blank line) and keeps the connection as an
  // event stream; the connection counts as idle for the service from then on.
  virtual void openStream(std::string head, StreamOpened opened) = 0;
  // True once the client has closed its end while its request was being handled: nobody will read
  // the answer. Safe from any thread.
  virtual bool gone() const = 0;
};

// The way back to the connection for the answer to one request. Exactly one of send() or later()
// is called, once, from any thread; the connection holds itself open until then.
//
// Copies of a Reply may travel into the store's queues and outlive the answer there for a
// moment; every copy is counted in `live`, so that the service can wait for the last one to go
// before it tears down the connections' io_context (a copy still holding a connection would
// otherwise end it there). A used Reply lets go of its connection at once.
class Reply {
 public:
  Reply(std::shared_ptr<Connection> connection, std::atomic<int>& live)
      : connection_(std::move(connection)), live_(&live) {
    live_->fetch_add(1, std::memory_order_relaxed);
  }
  Reply(const Reply& other) : connection_(other.connection_), live_(other.live_) {
    live_->fetch_add(1, std::memory_order_relaxed);
  }
  Reply(Reply&& other) noexcept : connection_(std::move(other.connection_)), live_(other.live_) {
    live_->fetch_add(1, std::memory_order_relaxed);
  }
  Reply& operator=(const Reply&) = delete;
  Reply& operator=(Reply&&) = delete;
  ~Reply() {
    connection_.reset();  // may end the connection: before this copy stops being counted
    live_->fetch_sub(1, std::memory_order_release);
  }

  template <class Response>
  void send(Response response) {
    const std::shared_ptr<Connection> c = std::move(connection_);
    boost::asio::post(c->executor(), [c, r = std::move(response)]() mutable { c->deliver(std::move(r)); });
  }

  // See Connection::vouch; before send() or later().
  void vouch(bool verified) {
    if (connection_) connection_->vouch(verified);
  }

  // Turns the answer into an event stream; see Connection::openStream.
  void stream(std::string head, StreamOpened opened) {
    const std::shared_ptr<Connection> c = std::move(connection_);
    boost::asio::post(c->executor(), [c, h = std::move(head), o = std::move(opened)]() mutable {
      c->openStream(std::move(h), std::move(o));
    });
  }

  // True when the client went away before its answer: the work for it may be dropped.
  bool clientGone() const { return connection_ && connection_->gone(); }

  // `make` builds the answer on the connection's strand, so that a store thread that hands an
  // answer back spends no time encoding it.
  template <class Make>
  void later(Make&& make) {
    const std::shared_ptr<Connection> c = std::move(connection_);
    boost::asio::post(c->executor(), [c, m = std::forward<Make>(make)]() mutable { c->deliver(m()); });
  }

 private:
  std::shared_ptr<Connection> connection_;
  std::atomic<int>* live_;
};

// Whom a connection serves. `carried`: a trusted proxy's header named the address, so it is never
// taken for loopback (this machine) whatever it says.
struct Peer {
  SourceLimits::Address address;
  bool carried = false;
};

// What every connection shares: the service that answers requests. Outlives its connections.
class ConnectionHost {
 public:
  virtual ~ConnectionHost() = default;
  // A request read whole from `from`; answers it through `reply`. Runs on the connection's strand.
  virtual void handle(HttpRequest&& request, const Peer& from, Reply reply) = 0;
  virtual Metrics& metrics() = 0;
  virtual SourceLimits& limits() = 0;
  // Counts a connection of `from` in limits() under the cap in force; false, with the refusal
  // counted and logged, when `from` holds as many as it may.
  virtual bool admitConnection(const SourceLimits::Address& from) = 0;
  // An error answer of `status` to `source` is on its way: logged, a flood of them in a few lines.
  virtual void errorAnswered(unsigned status, const SourceLimits::Address& source, const std::string& line) = 0;
  // A connection closed for its PROXY header (missing, malformed, late, or from an address that is
  // not a trusted proxy): counted, and logged now and then with `why`.
  virtual void proxyHeaderRefused(const SourceLimits::Address& from, const std::string& why) = 0;
  virtual ConnectionBudget& budget() = 0;
  // True once the service stops: connections answer what they have read and close.
  virtual bool stopping() const = 0;
  // Brackets every request from its last byte read to its answer written (or the connection's end).
  virtual void requestBegun() = 0;
  virtual void requestEnded() = 0;
  // The count of Reply copies alive; see Reply.
  virtual std::atomic<int>& liveReplies() = 0;
};

// Serves an accepted connection of `from` until it closes; the connection keeps itself alive
// through its pending operations. Without `viaProxy` the connection is already admitted by
// host.admitConnection(). With it, `from` is a trusted proxy: the connection must begin with a
// PROXY protocol version 2 header (before TLS, in the clear), and the address it carries is
// admitted and served in place of the proxy's.
void startPlainConnection(boost::asio::ip::tcp::socket socket, const SourceLimits::Address& from, bool viaProxy,
                       ConnectionHost& host);
void startTlsConnection(boost::asio::ip::tcp::socket socket, const SourceLimits::Address& from, bool viaProxy,
                     ConnectionHost& host, boost::asio::ssl::context& tls);

}  // namespace tav::server
