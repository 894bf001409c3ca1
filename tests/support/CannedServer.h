// A loopback HTTP server that answers every request with the same raw bytes, for answers a real
// back-end never gives (malformed bodies, dropped connections, unusual codes).
#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <mutex>
#include <thread>

namespace tav::test {

class CannedServer {
 public:
  // `answer` is the whole HTTP answer; an empty one closes the connection without a word.
  explicit CannedServer(QByteArray answer);
  ~CannedServer();
  CannedServer(const CannedServer&) = delete;
  CannedServer& operator=(const CannedServer&) = delete;

  QString url() const;
  // The last request read, headers and body; empty until one arrived.
  QByteArray lastRequest() const;
  int requestCount() const { return requests_; }

  // A 200 answer with `body`.
  static QByteArray ok(const QByteArray& body, const QByteArray& type = "application/json");
  // A 200 answer with a one-row sign-in recordset (ErrCode, bizcode, TheaterName, GoodsName).
  static QByteArray signInRow(const QByteArray& code, const QByteArray& bizCode,
                              const QByteArray& theater, const QByteArray& goods);

 private:
  void serve();

  QByteArray answer_;
  int fd_ = -1;
  quint16 port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  mutable std::mutex mutex_;
  QByteArray request_;
  std::thread thread_;
};

}  // namespace tav::test
