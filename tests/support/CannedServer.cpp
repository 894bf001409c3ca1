// The canned loopback back-end of the station's tests, on plain sockets in its own thread.
#include "tests/support/CannedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>

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

// A loopback socket listening on a port the system chose.
int listenOnLoopback(quint16& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd >= 0) ::close(fd);
    throw std::runtime_error("The canned server cannot listen on 127.0.0.1.");
  }
  port = ntohs(addr.sin_port);
  return fd;
}

QString loopbackUrl(quint16 port) { return QStringLiteral("http://127.0.0.1:%1").arg(port); }

}  // namespace

CannedServer::CannedServer() {
  fd_ = listenOnLoopback(port_);
  thread_ = std::thread([this] { serve(); });
}

CannedServer::CannedServer(QByteArray answer) : CannedServer() { answers_.push_back(std::move(answer)); }

CannedServer::~CannedServer() {
  stop_ = true;
  thread_.join();
  ::close(fd_);
}

QString CannedServer::url() const { return loopbackUrl(port_); }

QString CannedServer::unusedUrl() {
  quint16 port = 0;
  ::close(listenOnLoopback(port));
  return loopbackUrl(port);
}

void CannedServer::answer(const QByteArray& raw) {
  std::lock_guard<std::mutex> lock(mutex_);
  answers_.push_back(raw);
}

void CannedServer::answerStatus(int status, const QByteArray& body) {
  answer("HTTP/1.1 " + QByteArray::number(status) +
         " X\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body);
}

QByteArray CannedServer::lastRequest() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.empty() ? QByteArray() : received_.back();
}

QStringList CannedServer::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  QStringList out;
  for (const QByteArray& r : received_) {
    const qsizetype head = r.indexOf("\r\n\r\n");
    out << QString::fromUtf8(head < 0 ? QByteArray() : r.mid(head + 4));
  }
  return out;
}

QStringList CannedServer::requestLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  QStringList out;
  for (const QByteArray& r : received_) out << QString::fromUtf8(r.left(r.indexOf("\r\n")));
  return out;
}

QList<QByteArrayList> CannedServer::headerValues(const QByteArray& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const QByteArray wanted = name.toLower() + ':';
  QList<QByteArrayList> out;
  for (const QByteArray& r : received_) {
    QByteArrayList values;
    const qsizetype head = r.indexOf("\r\n\r\n");
    // The first line is the request line, never a header.
    const QList<QByteArray> lines = r.left(head < 0 ? r.size() : head).split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
      const QByteArray line = lines[i].trimmed();
      if (line.toLower().startsWith(wanted)) values << line.mid(wanted.size()).trimmed();
    }
    out << values;
  }
  return out;
}

void CannedServer::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.clear();
  answers_.clear();
}

QByteArray CannedServer::ok(const QByteArray& body, const QByteArray& type) {
  return "HTTP/1.1 200 OK\r\nContent-Type: " + type +
         "\r\nContent-Length: " + QByteArray::number(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray CannedServer::ok(const wire::Recordset& rs) {
  return ok(QByteArray::fromStdString(wire::encode(rs)));
}

QByteArray CannedServer::withHeaders(const QByteArray& raw, const QByteArrayList& lines) {
  const qsizetype end = raw.indexOf("\r\n");
  if (end < 0 || lines.isEmpty()) return raw;
  return raw.left(end + 2) + lines.join("\r\n") + "\r\n" + raw.mid(end + 2);
}

QByteArray CannedServer::nextAnswer() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (answers_.empty()) return ok(noRows({"ErrCode"}));
  QByteArray a = answers_.front();
  if (answers_.size() > 1) answers_.pop_front();
  return a;
}

void CannedServer::serve() {
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int client = ::accept(fd_, nullptr, nullptr);
    if (client < 0) continue;
    const int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const QByteArray in = readRequest(client);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(in);
    }
    ++requests_;
    const QByteArray out = nextAnswer();
    for (qsizetype sent = 0; sent < out.size();) {
      const ssize_t n = ::send(client, out.constData() + sent, static_cast<size_t>(out.size() - sent), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += n;
    }
    ::shutdown(client, SHUT_RDWR);
    ::close(client);
  }
}

// ---- Answers ----

wire::Recordset signInAnswer(const wire::Value& code, const wire::Value& bizCode,
                             const wire::Value& theater, const wire::Value& goods) {
  return wire::Recordset{{"ErrCode", "ErrMsg", "bizcode", "TheaterName", "GoodsName"},
                         {{code, std::string(), bizCode, theater, goods}}};
}

wire::Recordset bookingAnswer(const std::vector<wire::Value>& values) {
  return wire::Recordset{{"ErrCode", "ErrMsg", "CustName", "TicketNo", "GoodsName", "PlayDate",
                          "PlaceName", "SeatGradeName", "SeatInfo"},
                         {values}};
}

wire::Recordset noRows(std::vector<std::string> fields) { return wire::Recordset{std::move(fields), {}}; }

}  // namespace tav::test
