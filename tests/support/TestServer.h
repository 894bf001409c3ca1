// A real tav-server for the station's tests: a store in a temporary folder, set up through the
// server's own setup commands, served on a free 127.0.0.1 port.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace tav::test {

class TestServer {
 public:
  // Creates the temporary folder and an empty store in it (`tav-server init`).
  TestServer();
  ~TestServer();  // stops the server

  // Runs `tav-server <args...> --store <store>`; `input` goes to its standard input.
  // Returns standard output; throws std::runtime_error with the server's stderr on a non-zero exit.
  QByteArray setup(const QStringList& args, const QByteArray& input = {});

  // The setup commands the tests use: a venue, its active event, an operator, tickets.
  void addVenue(const QString& placeCode, const QString& theaterName);
  void addEvent(const QString& placeCode, const QString& bizCode, const QString& goodsName,
                const QString& playDate);
  void addOperator(const QString& id, const QString& password, const QString& placeCode);
  // CSV rows under the header TicketNo,CustName,GoodsName,PlayDate,PlaceName,SeatGradeName,SeatInfo,Block,Status
  void importTickets(const QString& bizCode, const QString& csvRows);

  void start();  // `tav-server serve` on 127.0.0.1, port chosen by the server; waits until it answers
  // `tav-server serve` over HTTPS with the given PEM files; url() then starts with https://.
  void startTls(const QString& certPem, const QString& keyPem);
  void stop();   // SIGTERM and wait
  QString url() const { return url_; }
  QString storePath() const;

 private:
  void startServing(const QStringList& extraArgs, bool tls);

  QTemporaryDir dir_;
  std::unique_ptr<QProcess> proc_;
  QString url_;
};

}  // namespace tav::test
