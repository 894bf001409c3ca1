// A real tav-server for the station's tests, run through its own command line.
#include "tests/support/TestServer.h"

#include <sys/prctl.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <csignal>
#include <stdexcept>

#ifndef TAV_SERVER_BIN
#define TAV_SERVER_BIN ""
#endif

namespace tav::test {

namespace {

constexpr int kSetupTimeoutMs = 300'000;  // the demo store takes a while on a shared machine
constexpr int kStartTimeoutMs = 30'000;

QString serverBinary() {
  const QString bin = QStringLiteral(TAV_SERVER_BIN);
  if (bin.isEmpty() || !QFile::exists(bin))
    throw std::runtime_error("tav-server has not been built, so the tests cannot start it.");
  return bin;
}

// A server started by a test dies with the test, even when the test crashes.
void tieToParent(QProcess& proc) {
  proc.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

bool accepts(const QString& host, quint16 port) {
  QTcpSocket socket;
  socket.connectToHost(host, port);
  return socket.waitForConnected(1000);
}

// GET /health answered 200.
bool healthy(const QString& host, quint16 port) {
  QTcpSocket socket;
  socket.connectToHost(host, port);
  if (!socket.waitForConnected(1000)) return false;
  socket.write("GET /health HTTP/1.1\r\nHost: " + host.toUtf8() + "\r\nConnection: close\r\n\r\n");
  QByteArray answer;
  while (socket.waitForReadyRead(2000)) answer += socket.readAll();
  answer += socket.readAll();
  return answer.startsWith("HTTP/1.1 200");
}

}  // namespace

TestServer::TestServer() {
  if (!dir_.isValid())
    throw std::runtime_error("No temporary folder can be created for the store.");
  setup({QStringLiteral("init")});
}

TestServer::~TestServer() { stop(); }

QString TestServer::storePath() const { return dir_.filePath(QStringLiteral("store.db")); }

QByteArray TestServer::setup(const QStringList& args, const QByteArray& input) {
  QProcess proc;
  tieToParent(proc);
  proc.start(serverBinary(), args + QStringList{QStringLiteral("--store"), storePath()});
  if (!proc.waitForStarted())
    throw std::runtime_error("tav-server cannot be started: " + proc.errorString().toStdString());
  proc.write(input);
  proc.closeWriteChannel();
  if (!proc.waitForFinished(kSetupTimeoutMs)) {
    proc.kill();
    proc.waitForFinished();
    throw std::runtime_error("tav-server " + args.join(u' ').toStdString() + " did not finish.");
  }
  if (proc.exitStatus() != QProcess::NormalExit || proc.exitCode() != 0)
    throw std::runtime_error("tav-server " + args.join(u' ').toStdString() +
                             " failed: " + proc.readAllStandardError().trimmed().toStdString());
  return proc.readAllStandardOutput();
}

void TestServer::addVenue(const QString& placeCode, const QString& theaterName) {
  setup({QStringLiteral("add-venue"), QStringLiteral("--place"), placeCode,
         QStringLiteral("--name"), theaterName});
}

void TestServer::addEvent(const QString& placeCode, const QString& bizCode,
                          const QString& goodsName, const QString& playDate) {
  setup({QStringLiteral("add-event"), QStringLiteral("--place"), placeCode,
         QStringLiteral("--bizcode"), bizCode, QStringLiteral("--name"), goodsName,
         QStringLiteral("--play-date"), playDate});
}

void TestServer::addOperator(const QString& id, const QString& password, const QString& placeCode) {
  setup({QStringLiteral("add-operator"), QStringLiteral("--place"), placeCode,
         QStringLiteral("--id"), id},
        password.toUtf8() + '\n');
}

void TestServer::importTickets(const QString& bizCode, const QString& csvRows) {
  const QString csv = dir_.filePath(QStringLiteral("tickets.csv"));
  QFile f(csv);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
    throw std::runtime_error("The ticket file cannot be written.");
  f.write("TicketNo,CustName,GoodsName,PlayDate,PlaceName,SeatGradeName,SeatInfo,Block,Status\n");
  f.write(csvRows.toUtf8());
  if (!csvRows.endsWith(u'\n')) f.write("\n");
  f.close();
  setup({QStringLiteral("import-tickets"), QStringLiteral("--bizcode"), bizCode,
         QStringLiteral("--csv"), csv});
}

void TestServer::start() { startServing({}, false); }

void TestServer::startTls(const QString& certPem, const QString& keyPem) {
  startServing({QStringLiteral("--tls-cert"), certPem, QStringLiteral("--tls-key"), keyPem}, true);
}

void TestServer::startServing(const QStringList& extraArgs, bool tls) {
  if (proc_) return;
  proc_ = std::make_unique<QProcess>();
  tieToParent(*proc_);
  proc_->start(serverBinary(),
               QStringList{QStringLiteral("serve"), QStringLiteral("--store"), storePath(),
                           QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")} +
                   extraArgs);
  if (!proc_->waitForStarted()) {
    const std::string why = proc_->errorString().toStdString();
    proc_.reset();
    throw std::runtime_error("tav-server cannot be started: " + why);
  }

  // The start line names the port the system chose.
  static const QRegularExpression listening(
      QStringLiteral("listening on (https?://127\\.0\\.0\\.1:(\\d+))"));
  const QDeadlineTimer deadline(kStartTimeoutMs);
  QByteArray log;
  QRegularExpressionMatch m;
  while (!deadline.hasExpired()) {
    m = listening.match(QString::fromUtf8(log));
    if (m.hasMatch() || proc_->state() != QProcess::Running) break;
    proc_->waitForReadyRead(static_cast<int>(std::min<qint64>(deadline.remainingTime(), 500)));
    log += proc_->readAllStandardError();
  }
  if (!m.hasMatch()) {
    stop();
    throw std::runtime_error("tav-server did not say where it listens: " +
                             log.trimmed().toStdString());
  }
  url_ = m.captured(1);
  const auto port = static_cast<quint16>(m.captured(2).toUInt());
  // Over TLS an accepted connection is the sign of life; in plain HTTP the health route answers.
  while (tls ? !accepts(QStringLiteral("127.0.0.1"), port)
             : !healthy(QStringLiteral("127.0.0.1"), port)) {
    if (deadline.hasExpired() || proc_->state() != QProcess::Running) {
      stop();
      throw std::runtime_error("tav-server does not answer on " + url_.toStdString() + ".");
    }
    proc_->waitForFinished(100);
  }
}

void TestServer::stop() {
  if (!proc_) return;
  if (proc_->state() != QProcess::NotRunning) {
    proc_->terminate();
    if (!proc_->waitForFinished(10'000)) {
      proc_->kill();
      proc_->waitForFinished();
    }
  }
  proc_.reset();
}

}  // namespace tav::test
