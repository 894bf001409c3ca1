// The canned loopback HTTP server of the station's tests, on plain sockets in its own thread (the
// station's calls block the test's thread).
#include "tests/support/CannedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace tav::test {

namespace {

// Reads one request: headers, then as many body bytes as Content-Length names.
QByteArray readRequest(int client) {
  QByteArray in;
  char buf[4096];
  for (;;) {
    const qsizetype head = in.indexOf("\r\n\r\n");
    if (head >= 0) {
      const QByteArray headers = in.left(head).toLower();
      const qsizetype at = headers.indexOf("content-length:");
      qsizetype body = 0;
      if (at >= 0) {
        const qsizetype end = headers.indexOf('\r', at);
        body = headers.mid(at + 15, end < 0 ? -1 : end - at - 15).trimmed().toLongLong();
      }
      if (in.size() >= head + 4 + body) return in;
    }
    pollfd p{client, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return in;
    const ssize_t n = ::read(client, buf, sizeof buf);
    if (n <= 0) return in;
    in.append(buf, n);
  }
}

}  // namespace

CannedServer::CannedServer(QByteArray answer) : answer_(std::move(answer)) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      ::listen(fd_, 8) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("The canned server cannot listen on 127.0.0.1.");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { serve(); });
}

CannedServer::~CannedServer() {
  stop_ = true;
  thread_.join();
  ::close(fd_);
}

QString CannedServer::url() const { return QStringLiteral("http://127.0.0.1:%1").arg(port_); }

QByteArray CannedServer::lastRequest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return request_;
}

QByteArray CannedServer::ok(const QByteArray& body, const QByteArray& type) {
  return "HTTP/1.1 200 OK\r\nContent-Type: " + type +
         "\r\nContent-Length: " + QByteArray::number(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray CannedServer::signInRow(const QByteArray& code, const QByteArray& bizCode,
                                   const QByteArray& theater, const QByteArray& goods) {
  return ok(R"({"fields":["ErrCode","ErrMsg","bizcode","TheaterName","GoodsName"],"rows":[[")" +
            code + R"(","",")" + bizCode + R"(",")" + theater + R"(",")" + goods + R"("]]})");
}

void CannedServer::serve() {
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int client = ::accept(fd_, nullptr, nullptr);
    if (client < 0) continue;
    const QByteArray in = readRequest(client);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request_ = in;
    }
    ++requests_;
    if (!answer_.isEmpty()) {
      qsizetype sent = 0;
      while (sent < answer_.size()) {
        const ssize_t n =
            ::write(client, answer_.constData() + sent, static_cast<size_t>(answer_.size() - sent));
        if (n <= 0) break;
        sent += n;
      }
    }
    ::shutdown(client, SHUT_RDWR);
    ::close(client);
  }
}

}  // namespace tav::test
