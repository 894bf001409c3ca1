// A loopback HTTP back-end whose answers the test chooses (given recordsets, error codes, malformed
// bodies, dropped connections, extra headers such as Set-Cookie) and which records every request:
// the exact command texts and headers sent.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wire/recordset.h"

namespace tav::test {

// It serves on its own thread, since the station blocks its UI thread while it waits.
class CannedServer {
 public:
  // Nothing queued: every request is answered with a recordset of one field and no row.
  CannedServer();
  // Every request is answered with `answer`, a whole raw HTTP answer; an empty one closes the
  // connection without a word.
  explicit CannedServer(QByteArray answer);
  ~CannedServer();
  CannedServer(const CannedServer&) = delete;
  CannedServer& operator=(const CannedServer&) = delete;

  QString url() const;

  // Queues a raw HTTP answer. Requests take the queued answers in order; the last one is given
  // again once the queue runs dry.
  void answer(const QByteArray& raw);
  // Queues a 200 answer carrying `rs`.
  void answerWith(const wire::Recordset& rs) { answer(ok(rs)); }
  // Queues an answer with `status` and a JSON `body`.
  void answerStatus(int status, const QByteArray& body);

  // The last request read, headers and body; empty until one arrived.
  QByteArray lastRequest() const;
  // The bodies of the requests (the command texts), and their request lines, in order.
  QStringList commands() const;
  QStringList requestLines() const;
  // For every request in order, the values of its header lines named `name` (any letter case),
  // in the order sent; an empty list for a request without one.
  QList<QByteArrayList> headerValues(const QByteArray& name) const;
  int requestCount() const { return requests_; }
  // Forgets the requests and the queued answers.
  void reset();

  // A loopback URL on which nothing listens: a port bound, then let go.
  static QString unusedUrl();

  // A 200 answer with `body`, or with the recordset `rs`.
  static QByteArray ok(const QByteArray& body, const QByteArray& type = "application/json");
  static QByteArray ok(const wire::Recordset& rs);
  // `raw` with the header `lines` ("Set-Cookie: a=b") put right after its status line.
  static QByteArray withHeaders(const QByteArray& raw, const QByteArrayList& lines);

 private:
  void serve();
  QByteArray nextAnswer();

  int fd_ = -1;
  quint16 port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  mutable std::mutex mutex_;
  std::deque<QByteArray> answers_;
  std::vector<QByteArray> received_;
  std::thread thread_;
};

// The back-end's answers as recordsets, fields in the order it sends them.
// Sign-in: ErrCode, ErrMsg (empty), bizcode, TheaterName, GoodsName.
wire::Recordset signInAnswer(const wire::Value& code, const wire::Value& bizCode,
                             const wire::Value& theater, const wire::Value& goods);
// Ticket check: ErrCode, ErrMsg, CustName, TicketNo, GoodsName, PlayDate, PlaceName,
// SeatGradeName, SeatInfo; `values` is the one row.
wire::Recordset bookingAnswer(const std::vector<wire::Value>& values);
// A recordset with these fields and no row.
wire::Recordset noRows(std::vector<std::string> fields);

}  // namespace tav::test
