// One served connection, for plain TCP and TLS alike: an idle connection holds only its socket
// and a timer; the parser, the buffers and the TLS stream exist while a request is read or answered.
#include "server/http/connection.h"

#include <openssl/bio.h>
#include <openssl/ssl.h>

#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <climits>
#include <optional>
#include <string_view>

#include "server/http/http_date.h"
#include "server/http/limits.h"
#include "server/http/log.h"
#include "server/http/proxy_protocol.h"
#include "wire/protocol.h"
#include "wire/recordset.h"

namespace tav::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

// Unparsed bytes the read buffer may hold: a whole header block and a read's worth beyond it.
constexpr std::size_t kBufferLimit = kMaxHeaderBytes + 16 * 1024;
// After a refusal the rest of what the client sends is read and dropped for at most this long,
// so that closing with unread bytes does not reset the connection before the client has read
// its answer.
constexpr std::chrono::seconds kLingerDeadline{2};
// What an answer costs in the kernel while its client reads it: at most a full send buffer
// (SO_SNDBUF as the kernel doubles it), however large the answer.
constexpr std::size_t kKernelBytesPerAnswer = 64 * 1024;

const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

bool isIdentity(std::string_view value) { return beast::iequals(value, "identity"); }

// Only an uncompressed body is accepted: a Content-Encoding other than identity, or a transfer
// coding other than chunked, is refused rather than passed on undecoded.
bool hasForeignCoding(const HttpRequest& request) {
  for (auto [it, end] = request.equal_range(http::field::content_encoding); it != end; ++it) {
    for (auto const& coding : http::token_list(it->value()))
      if (!isIdentity(coding)) return true;
  }
  for (auto [it, end] = request.equal_range(http::field::transfer_encoding); it != end; ++it) {
    for (auto const& coding : http::token_list(it->value()))
      if (!beast::iequals(coding, "chunked") && !isIdentity(coding)) return true;
  }
  return false;
}

// A request path may hold anything a client sent; keep the log line one printable line.
std::string printable(std::string_view s) {
  std::string out;
  for (char c : s.substr(0, 120)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
  return out;
}

// A served connection. A TLS connection holds asio's TLS stream (with its two record buffers)
// only while a request is read or answered: between requests only OpenSSL's state of the TLS
// connection stays, and before its first byte nothing of TLS at all.
template <bool kTls>
class SocketConnection final : public Connection, public EventSink, public Evictable {
 public:
  using Parser = http::request_parser<http::string_body>;
  using Serializer = http::response_serializer<http::string_body>;
  using FileSerializer = http::response_serializer<http::span_body<const char>>;
  using TlsStream = asio::ssl::stream<beast::tcp_stream&>;

  SocketConnection(asio::ip::tcp::socket socket, const SourceLimits::Address& from, bool viaProxy, ConnectionHost& host,
          asio::ssl::context* tls)
      : host_(host),
        tcp_(std::move(socket)),
        timer_(tcp_.get_executor()),
        from_{from, false},
        context_(tls),
        viaProxy_(viaProxy),
        counted_(!viaProxy) {
    host_.metrics().connectionOpened();
  }

  ~SocketConnection() override {
    host_.budget().leave(member_);
    host_.budget().unqueue(queued_);
    tls_.reset();
    if (parked_) SSL_free(parked_);
    if (busy_) host_.requestEnded();
    if (counted_) host_.limits().closeConnection(from_.address, verified_);
    host_.metrics().connectionClosed();
  }

  asio::any_io_executor executor() override { return tcp_.get_executor(); }

  void openStream(std::string head, StreamOpened opened) override {
    if (phase_ == Phase::Closed) return;
    phase_ = Phase::Streaming;
    disarm();
    keepAlive_ = false;
    if (busy_) {
      busy_ = false;
      host_.requestEnded();
    }
    method_.clear();
    path_.clear();
    // A dashboard's stream holds its connection for as long as the page is open: it is closed for
    // the budget like an idle connection with a session (the page reconnects by itself).
    host_.budget().idle(member_, true);
    streamBytes_ = std::make_shared<const std::string>(std::move(head));
    arm(kWriteDeadline);
    io([this, opened = std::move(opened)](auto& stream) {
      asio::async_write(stream, asio::buffer(*streamBytes_),
                        [self = self(), opened](error_code ec, std::size_t) {
        self->disarm();
        self->streamBytes_.reset();
        if (ec || self->phase_ != Phase::Streaming) return self->closeNow();
        // Whatever the client sends now, or its end of the connection, ends the stream.
        self->socket().async_wait(asio::socket_base::wait_read, [self](error_code) { self->closeNow(); });
        opened(self);
      });
    });
  }

  void push(std::shared_ptr<const std::string> bytes) override {
    asio::post(tcp_.get_executor(), [self = self(), bytes = std::move(bytes)]() mutable {
      if (self->phase_ != Phase::Streaming) return;
      // A page still taking the last snapshot when the next is ready has fallen behind: its
      // connection goes, rather than its backlog growing in the kernel; the page reconnects.
      if (self->streamBytes_) {
        self->host_.metrics().recordRefusal(Limit::StalledResponse);
        return self->closeNow();
      }
      self->streamBytes_ = std::move(bytes);
      self->writeStream();
    });
  }

  void end() override {
    asio::post(tcp_.get_executor(), [self = self()] { self->closeNow(); });
  }

  void start() {
    host_.budget().join(member_, std::weak_ptr<Evictable>(self()));
    if (viaProxy_) return readProxyHeader();
    awaitRequest();
  }

  void evict() override {
    asio::post(tcp_.get_executor(), [self = self()] {
      switch (self->phase_) {
        case Phase::ProxyHeader:
        case Phase::Idle:
        case Phase::Handshake:
        case Phase::Reading:
        case Phase::Streaming:
          self->host_.metrics().recordRefusal(Limit::ConnectionBudget);
          self->closeNow();
          break;
        default:
          break;  // it took up a request meanwhile; it stands in line again once answered
      }
    });
  }

  bool gone() const override { return gone_.load(std::memory_order_relaxed); }

  void vouch(bool verified) override { vouched_.store(verified ? 1 : 0, std::memory_order_relaxed); }

  void deliver(HttpResponse response) override {
    if (phase_ == Phase::Closed) return;
    const unsigned status = response.result_int();
    if (status >= 400) {
      host_.metrics().recordError(static_cast<int>(status));
      host_.errorAnswered(status, from_.address,
                          "error " + std::to_string(status) + (method_.empty() ? "" : " " + method_ + " " + path_) +
                              " from " + from_.address.to_string() + ": " + wire::decodeError(response.body()));
    }
    // The body is this answer's own copy: the server's memory holds it until it is written.
    const std::size_t body = response.body().size();
    prepare(response, body + std::min(body, kKernelBytesPerAnswer));
    response_ = std::make_unique<HttpResponse>(std::move(response));
    serializer_ = std::make_unique<Serializer>(*response_);
    writeSome(*serializer_);
  }

  // A shared body costs nothing of the server's memory per answer, only the kernel's send buffer;
  // once those of all slow readers together reach the budget's limit, the file waits for later.
  void deliver(FileResponse response) override {
    if (phase_ == Phase::Closed) return;
    const std::size_t cost = std::min<std::size_t>(response.body().size(), kKernelBytesPerAnswer);
    if (!host_.budget().queue(cost)) {
      host_.metrics().recordRefusal(Limit::QueuedBytes);
      HttpResponse busy = errorResponse(503, "The server has too many answers waiting for slow readers; try again shortly.");
      busy.set(http::field::retry_after, "5");
      return deliver(std::move(busy));
    }
    queued_ += cost;
    prepare(response, 0);
    fileResponse_ = std::make_unique<FileResponse>(std::move(response));
    fileSerializer_ = std::make_unique<FileSerializer>(*fileResponse_);
    writeSome(*fileSerializer_);
  }

 private:
  enum class Phase { ProxyHeader, Idle, Handshake, Reading, Handling, Writing, Streaming, Closing, Closed };

  // The head of every answer, and its bytes counted in the budget (`queued`, on top of what a
  // shared body costs) until it is written.
  template <class Response>
  void prepare(Response& response, std::size_t queued) {
    phase_ = Phase::Writing;
    disarm();
    keepAlive_ = keepAlive_ && !closeAfter_ && !host_.stopping();
    response.version(version_);
    response.keep_alive(keepAlive_);
    response.set(http::field::date, httpDateNow());
    response.prepare_payload();
    if (head_) {
      const auto length = response.payload_size().value_or(0);
      response.body() = {};
      response.content_length(length);
    }
    if constexpr (kTls) response.set(http::field::strict_transport_security, "max-age=31536000");
    host_.budget().queue(queued, false);  // what was decided is always sent
    queued_ += queued;
    answerDue_ = Clock::now() + kAnswerDeadline;
  }

  std::shared_ptr<SocketConnection> self() { return std::static_pointer_cast<SocketConnection>(shared_from_this()); }
  asio::ip::tcp::socket& socket() { return tcp_.socket(); }

  // Runs `f` with the stream that requests travel on.
  template <class F>
  void io(F&& f) {
    if constexpr (kTls) {
      f(*tls_);
    } else {
      f(tcp_);
    }
  }

  // --- deadlines: one timer, re-armed for each phase; a stale expiry is told apart by its number.

  void arm(std::chrono::steady_clock::duration after) {
    const unsigned armed = ++deadline_;
    timer_.expires_after(after);
    timer_.async_wait([self = self(), armed](error_code ec) {
      if (!ec && armed == self->deadline_) self->onDeadline();
    });
  }

  void disarm() {
    ++deadline_;
    timer_.cancel();
  }

  void onDeadline() {
    switch (phase_) {
      case Phase::ProxyHeader:
        refuseProxyHeader("The PROXY protocol header did not arrive within " +
                          std::to_string(kRequestDeadline.count()) + " seconds.");
        break;
      case Phase::Idle:
        host_.metrics().recordRefusal(Limit::IdleTimeout);
        closeNow();
        break;
      case Phase::Handshake:
        host_.metrics().recordRefusal(Limit::RequestTimeout);
        closeNow();
        break;
      case Phase::Reading: {
        // The pending read ends with operation_aborted and finds deadlineHit_; the socket stays
        // open so that the client can still be told why.
        deadlineHit_ = true;
        error_code ignored;
        socket().cancel(ignored);
        break;
      }
      case Phase::Writing:
      case Phase::Streaming:
        // Only armed while bytes wait for the client: it stopped reading them.
        host_.metrics().recordRefusal(Limit::StalledResponse);
        closeNow();
        break;
      case Phase::Closing: {
        // A client still taking the tail of its last answer is given the time to, within the
        // answer's deadline; one that takes nothing more is reset.
        const int left = unsentBytes();
        if (left > 0 && left < lastUnsent_ && Clock::now() < answerDue_) {
          lastUnsent_ = left;
          arm(kLingerDeadline);
          break;
        }
        closeNow();
        break;
      }
      default:
        break;
    }
  }

  // --- waiting: a connection between requests costs its socket and this small object.

  void awaitRequest() {
    if (host_.stopping()) return closeNow();
    if (bytesWaiting()) return readHeader();
    buffer_.clear();
    buffer_.shrink_to_fit();
    if constexpr (kTls) {
      if (tls_) park();
    }
    // Nothing is allocated for the next request before its first byte.
    phase_ = Phase::Idle;
    host_.budget().idle(member_, verified_);
    arm(kIdleDeadline);
    socket().async_wait(asio::socket_base::wait_read, [self = self()](error_code ec) {
      if (!ec && self->phase_ == Phase::Idle) self->onBytes();
    });
  }

  void onBytes() {
    if (fresh_) {
      fresh_ = false;
      if (beginsWithProxySignature()) {
        return refuseProxyHeader(viaProxy_ ? "The proxy relayed a second PROXY protocol header, the client's own."
                                           : "A PROXY protocol header came from an address that is not a trusted proxy.");
      }
    }
    if constexpr (kTls) {
      if (!tls_ && !parked_) return handshake();
      if (!tls_) unpark();
    }
    readHeader();
  }

  // True when bytes of the next request are already read (a client that sends its requests
  // back to back, or TLS records taken in with the last one): the socket may never become
  // readable again for them.
  bool bytesWaiting() {
    if (buffer_.size() > 0) return true;
    if constexpr (kTls) {
      if (!tls_) return false;
      SSL* ssl = tls_->native_handle();
      return SSL_pending(ssl) > 0 || SSL_has_pending(ssl) || BIO_ctrl_pending(SSL_get_rbio(ssl)) > 0;
    }
    return false;
  }

  // Keeps only OpenSSL's state of the connection: asio's stream, its record buffers and the BIO pair go.
  // Called with nothing pending in either direction (bytesWaiting() false, the last answer sent).
  void park() {
    SSL* ssl = tls_->native_handle();
    SSL_up_ref(ssl);  // the stream's destructor drops its reference; this one stays
    tls_.reset();
    SSL_set_bio(ssl, nullptr, nullptr);
    parked_ = ssl;
  }

  void unpark() {
    tls_.emplace(tcp_, parked_);  // the stream takes the reference over
    parked_ = nullptr;
  }

  void handshake() {
    tls_.emplace(tcp_, *context_);
    phase_ = Phase::Handshake;
    arm(kRequestDeadline);
    tls_->async_handshake(asio::ssl::stream_base::server, [self = self()](error_code ec) {
      if (ec) return self->closeNow();
      self->disarm();
      self->awaitRequest();
    });
  }

  // --- the PROXY protocol: a trusted proxy's connection begins with the client's address.

  // Read in exact steps (the fixed part, then the length it gives), so that not one byte of the
  // TLS or HTTP after it is taken from the socket here.
  void readProxyHeader() {
    phase_ = Phase::ProxyHeader;
    arm(kRequestDeadline);
    proxyHeader_ = std::make_unique<std::string>(kProxyHeaderFixedBytes, '\0');
    asio::async_read(tcp_, asio::buffer(*proxyHeader_), [self = self()](error_code ec, std::size_t) {
      if (self->phase_ != Phase::ProxyHeader) return;
      if (ec) return self->closeNow();  // the proxy went away: it is owed nothing
      std::size_t rest = 0;
      try {
        rest = proxyHeaderRest(*self->proxyHeader_);
      } catch (const std::invalid_argument& e) {
        return self->refuseProxyHeader(e.what());
      }
      if (rest == 0) return self->onProxyHeader();
      self->proxyHeader_->resize(kProxyHeaderFixedBytes + rest);
      asio::async_read(self->tcp_, asio::buffer(&(*self->proxyHeader_)[kProxyHeaderFixedBytes], rest),
                       [self](error_code restError, std::size_t) {
        if (self->phase_ != Phase::ProxyHeader) return;
        if (restError) return self->closeNow();
        self->onProxyHeader();
      });
    });
  }

  void onProxyHeader() {
    ProxyHeader header;
    try {
      header = parseProxyHeader(*proxyHeader_);
    } catch (const std::invalid_argument& e) {
      return refuseProxyHeader(e.what());
    }
    proxyHeader_.reset();
    disarm();
    // LOCAL (the proxy's own health check) stays the proxy's connection.
    if (header.source) from_ = Peer{plainAddress(*header.source), true};
    if (!host_.admitConnection(from_.address)) return closeNow();
    counted_ = true;
    awaitRequest();
  }

  // A connection's first bytes, looked at without taking them from the socket.
  bool beginsWithProxySignature() {
    char first[kProxyHeaderFixedBytes];
    const ssize_t n = ::recv(socket().native_handle(), first, sizeof first, MSG_PEEK | MSG_DONTWAIT);
    return n > 0 && startsWithProxySignature(std::string_view(first, static_cast<std::size_t>(n)));
  }

  void refuseProxyHeader(const std::string& why) {
    host_.proxyHeaderRefused(from_.address, why);
    closeNow();
  }

  // --- reading: header first, so that its codings can be refused before any body is read.

  void readHeader() {
    phase_ = Phase::Reading;
    deadlineHit_ = false;
    closeAfter_ = false;
    arm(kRequestDeadline);
    parser_ = std::make_unique<Parser>();
    parser_->header_limit(static_cast<std::uint32_t>(kMaxHeaderBytes));
    parser_->body_limit(kLargestBodyBytes);
    io([this](auto& stream) {
      http::async_read_header(stream, buffer_, *parser_, [self = self()](error_code ec, std::size_t) { self->onHeader(ec); });
    });
  }

  void onHeader(error_code ec) {
    // A header that completed just as the deadline passed gets no fresh deadline for its body.
    if (ec || deadlineHit_) return readFailed(ec);
    const HttpRequest& request = parser_->get();
    noteRequestLine(request);
    // The parser judged a declared length against the largest limit; the path's own holds from here.
    const std::size_t limit = bodyLimit(path_);
    if (const auto length = parser_->content_length(); length && *length > limit)
      return readFailed(http::error::body_limit);
    if (!parser_->is_done()) parser_->body_limit(limit);
    if (hasForeignCoding(request)) {
      return refuse(415, Limit::ContentEncoding,
                    "The request body must be sent uncompressed, with no transfer coding but chunked.");
    }
    if (beast::iequals(request[http::field::expect], "100-continue") && !parser_->is_done()) {
      io([this](auto& stream) {
        asio::async_write(stream, asio::buffer(kContinue), [self = self()](error_code wec, std::size_t) {
          if (wec) return self->closeNow();
          self->readBody();
        });
      });
      return;
    }
    readBody();
  }

  void readBody() {
    io([this](auto& stream) {
      http::async_read(stream, buffer_, *parser_, [self = self()](error_code ec, std::size_t) { self->onRequest(ec); });
    });
  }

  void onRequest(error_code ec) {
    if (ec) return readFailed(ec);
    phase_ = Phase::Handling;
    disarm();
    HttpRequest request = parser_->release();
    parser_.reset();
    keepAlive_ = request.keep_alive();
    presented_ = request.count(http::field::cookie) > 0 || request.count(wire::kStationHeader) > 0;
    vouched_.store(-1, std::memory_order_relaxed);
    host_.budget().busy(member_);
    gone_.store(false, std::memory_order_relaxed);
    watchForHangUp();
    busy_ = true;
    host_.requestBegun();
    host_.handle(std::move(request), from_, Reply(shared_from_this(), host_.liveReplies()));
  }

  // While its request is handled the connection reads nothing; a client that hangs up meanwhile
  // is noticed here, so that work queued for it (a password check) can be dropped.
  void watchForHangUp() {
    if (bytesWaiting()) return;
    socket().async_wait(asio::socket_base::wait_read, [self = self()](error_code ec) {
      if (self->phase_ != Phase::Handling) return;
      char byte;
      const ssize_t n = ::recv(self->socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
      if (ec || n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
        self->gone_.store(true, std::memory_order_relaxed);
    });
  }

  void noteRequestLine(const HttpRequest& request) {
    version_ = request.version() == 10 ? 10 : 11;
    head_ = request.method() == http::verb::head;
    method_ = printable(request.method_string());
    const std::string_view target = request.target();
    path_ = printable(target.substr(0, target.find('?')));
  }

  void readFailed(error_code ec) {
    if (deadlineHit_) {
      return refuse(408, Limit::RequestTimeout, "The request did not arrive whole within " +
                                                    std::to_string(kRequestDeadline.count()) + " seconds.");
    }
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
      // 431 rather than 400: the request may be fine but for the size of its header block.
      return refuse(431, Limit::HeaderSize, "The request's header block is longer than 8 KiB.");
    }
    if (ec == http::error::body_limit) {
      // A declared length over every limit fails before onHeader: the path is read here then.
      if (parser_ && !parser_->get().method_string().empty()) noteRequestLine(parser_->get());
      return refuse(413, Limit::BodySize, bodyTooLong(path_));
    }
    // A client that went away, before or in the middle of a request, is owed nothing; so is one
    // whose socket or TLS failed.
    const bool parseError = ec.category() == error_code(http::error::bad_method).category() &&
                            ec != http::error::end_of_stream && ec != http::error::partial_message;
    if (!parseError) return closeNow();
    refuse(400, std::nullopt, "The request is not a well-formed HTTP request.");
  }

  // Answers `status` and closes: the rest of the request is never read.
  void refuse(unsigned status, std::optional<Limit> limit, const std::string& sentence) {
    if (limit) host_.metrics().recordRefusal(*limit);
    // The parser holds the request line as soon as it is whole, before the rest of the header.
    if (method_.empty() && parser_ && !parser_->get().method_string().empty()) noteRequestLine(parser_->get());
    parser_.reset();
    closeAfter_ = true;
    deliver(errorResponse(status, sentence));
  }

  // --- writing and closing.

  // The answer goes out piece by piece, each within the write deadline and the whole within the
  // answer's: a large answer to a slow but reading client is fine, a client that stops reading,
  // or reads a byte now and then, is not.
  template <class S>
  void writeSome(S& serializer) {
    arm(std::min<Clock::duration>(kWriteDeadline, answerDue_ - Clock::now()));
    io([this, &serializer](auto& stream) {
      http::async_write_some(stream, serializer, [self = self(), &serializer](error_code ec, std::size_t) {
        if (self->phase_ != Phase::Writing) return;
        if (ec || serializer.is_done()) return self->onWritten(ec);
        self->writeSome(serializer);
      });
    });
  }

  // One stream write at a time; see push().
  void writeStream() {
    arm(kWriteDeadline);
    io([this](auto& stream) {
      asio::async_write(stream, asio::buffer(*streamBytes_), [self = self()](error_code ec, std::size_t) {
        if (self->phase_ != Phase::Streaming) return;
        self->disarm();
        self->streamBytes_.reset();
        if (ec) return self->closeNow();
      });
    });
  }

  void onWritten(error_code ec) {
    disarm();
    serializer_.reset();
    response_.reset();
    fileSerializer_.reset();
    fileResponse_.reset();
    host_.budget().unqueue(queued_);
    queued_ = 0;
    method_.clear();
    path_.clear();
    if (busy_) {
      busy_ = false;
      host_.requestEnded();
    }
    settleVerification();
    if (ec) return closeNow();
    if (!keepAlive_) return closeGracefully();
    awaitRequest();
  }

  // A request that came with credentials decides the connection's standing by what was found of
  // them; one without leaves it as it was.
  void settleVerification() {
    if (!presented_) return;
    presented_ = false;
    const bool verified = vouched_.load(std::memory_order_relaxed) == 1;
    if (verified == verified_) return;
    verified_ = verified;
    if (counted_) host_.limits().markVerified(from_.address, verified);
  }

  // Bytes written to the socket that the client has not yet taken.
  int unsentBytes() {
    int unsent = 0;
    if (!socket().is_open() || ::ioctl(socket().native_handle(), SIOCOUTQ, &unsent) != 0) return 0;
    return unsent;
  }

  void closeGracefully() {
    phase_ = Phase::Closing;
    lastUnsent_ = INT_MAX;
    disarm();
    buffer_.clear();
    buffer_.shrink_to_fit();
    arm(kLingerDeadline);
    if constexpr (kTls) {
      tls_->async_shutdown([self = self()](error_code) { self->closeNow(); });
    } else {
      error_code ignored;
      socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
      drain_ = std::make_unique<std::array<char, 1024>>();
      drain();
    }
  }

  void drain() {
    tcp_.async_read_some(asio::buffer(*drain_), [self = self()](error_code ec, std::size_t) {
      if (ec) return self->closeNow();
      self->drain();
    });
  }

  // A socket closed with bytes its client never took would keep them in the kernel for minutes,
  // retransmitting to a reader that stalled on purpose: such a connection is reset instead, which
  // frees them at once.
  void closeNow() {
    phase_ = Phase::Closed;
    disarm();
    error_code ignored;
    if (unsentBytes() > 0) {
      socket().set_option(asio::socket_base::linger(true, 0), ignored);
    } else {
      socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    }
    socket().close(ignored);
  }

  ConnectionHost& host_;
  beast::tcp_stream tcp_;
  std::optional<TlsStream> tls_;  // over tcp_, so declared after it
  SSL* parked_ = nullptr;         // the TLS state between requests, one reference owned
  asio::steady_timer timer_;
  Peer from_;  // the proxy's until its header names the client
  asio::ssl::context* const context_;
  const bool viaProxy_;
  bool counted_;       // from_ is counted in host_.limits()
  bool fresh_ = true;  // the connection's first bytes are still to be looked at
  std::unique_ptr<std::string> proxyHeader_;  // while it is read
  beast::flat_buffer buffer_{kBufferLimit};
  std::unique_ptr<Parser> parser_;
  std::unique_ptr<HttpResponse> response_;
  std::unique_ptr<Serializer> serializer_;  // over response_, while it is written
  std::unique_ptr<FileResponse> fileResponse_;
  std::unique_ptr<FileSerializer> fileSerializer_;  // over fileResponse_, while it is written
  std::size_t queued_ = 0;  // counted in the budget's queued bytes
  Clock::time_point answerDue_;  // the answer under way must be written by then
  int lastUnsent_ = 0;  // while closing: what the client had not yet taken at the last look
  std::unique_ptr<std::array<char, 1024>> drain_;
  std::shared_ptr<const std::string> streamBytes_;  // the stream's write under way
  std::string method_, path_;  // of the request under way, for the log
  Phase phase_ = Phase::Idle;
  unsigned deadline_ = 0;
  unsigned version_ = 11;
  bool head_ = false, keepAlive_ = false, closeAfter_ = false, deadlineHit_ = false, busy_ = false;
  bool presented_ = false;  // the request under way came with a session cookie or a station key
  bool verified_ = false;   // the last request that came with either had them verified
  std::atomic<int> vouched_{-1};  // for the request under way: -1 not looked at, 0 refused, 1 verified
  std::atomic<bool> gone_{false};
  ConnectionBudget::Member member_;
};

}  // namespace

void startPlainConnection(asio::ip::tcp::socket socket, const SourceLimits::Address& from, bool viaProxy,
                       ConnectionHost& host) {
  std::make_shared<SocketConnection<false>>(std::move(socket), from, viaProxy, host, nullptr)->start();
}

void startTlsConnection(asio::ip::tcp::socket socket, const SourceLimits::Address& from, bool viaProxy,
                     ConnectionHost& host, asio::ssl::context& tls) {
  std::make_shared<SocketConnection<true>>(std::move(socket), from, viaProxy, host, &tls)->start();
}

}  // namespace tav::server
