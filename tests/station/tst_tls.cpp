// The station over TLS: the real gateway against a real tav-server serving tls-init's certificate,
// trusted through the install folder's ca.pem, and tav-assets putting that ca.pem there.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <map>
#include <memory>

#include "backend/commands.h"
#include "backend/gateway.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestServer.h"

using namespace tav::backend;

namespace {

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Run {
  int exitCode = -1;
  QByteArray out, err;
};

Run run(const QString& program, const QStringList& args) {
  QProcess p;
  p.start(program, args);
  Run r;
  // The limit only guards against a hang; both tools finish in well under a second.
  if (!p.waitForFinished(60000)) return r;
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = p.readAllStandardOutput();
  r.err = p.readAllStandardError();
  return r;
}

// `tav-server tls-init` into `dir` for `hosts`; throws with its message when it fails.
void tlsInit(const QString& dir, const QStringList& hosts) {
  QStringList args{QStringLiteral("tls-init"), QStringLiteral("--dir"), dir};
  for (const QString& h : hosts) args << QStringLiteral("--host") << h;
  const Run r = run(QStringLiteral(TAV_SERVER_BIN), args);
  if (r.exitCode != 0) throw std::runtime_error("tls-init failed: " + r.err.toStdString());
}

}  // namespace

class TestTls : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanupTestCase();

  void gatewayTrustsTheServerThroughTheInstallFolderCa_data();
  void gatewayTrustsTheServerThroughTheInstallFolderCa();
  void plainHttpIgnoresTheCa();

  void assetsToolCopiesOnlyACaCertificate_data();
  void assetsToolCopiesOnlyACaCertificate();

 private:
  QTemporaryDir certs_;
  // "site": a certificate for 127.0.0.1; "misnamed": one the same kind of CA made for another name.
  std::map<QString, std::unique_ptr<tav::test::TestServer>> servers_;
};

void TestTls::initTestCase() {
  QVERIFY(certs_.isValid());
  // Only the install folder's ca.pem may vouch for these servers, never a test environment's own.
  qunsetenv("SSL_CERT_FILE");
  qunsetenv("SSL_CERT_DIR");
  tlsInit(certs_.filePath("site"), {QStringLiteral("127.0.0.1"), QStringLiteral("tav.example.org")});
  tlsInit(certs_.filePath("other"), {QStringLiteral("127.0.0.1")});
  tlsInit(certs_.filePath("misnamed"), {QStringLiteral("tav.example.org")});
  for (const QString& name : {QStringLiteral("site"), QStringLiteral("misnamed")}) {
    auto server = std::make_unique<tav::test::TestServer>();
    server->addVenue("JAMSIL", "잠실종합운동장");
    server->addEvent("JAMSIL", "B2024", "가을 야구", "202410051830");
    server->addOperator("gate01", "s3cret00", "JAMSIL");
    server->startTls(certs_.filePath(name + "/server.pem"), certs_.filePath(name + "/server-key.pem"));
    QVERIFY(server->url().startsWith("https://127.0.0.1:"));
    servers_[name] = std::move(server);
  }
}

void TestTls::cleanupTestCase() { servers_.clear(); }

void TestTls::gatewayTrustsTheServerThroughTheInstallFolderCa_data() {
  QTest::addColumn<QString>("server");
  QTest::addColumn<QString>("caPem");  // the file copied to the install folder's ca.pem; empty: none
  QTest::addColumn<bool>("accepted");
  QTest::addColumn<QString>("errorSays");

  QTest::newRow("the site's CA") << "site" << "site/ca.pem" << true << "";
  QTest::newRow("no ca.pem: the system store alone") << "site" << "" << false
                                                    << "does not trust (self-signed certificate in certificate chain)";
  QTest::newRow("another site's CA") << "site" << "other/ca.pem" << false << "does not trust";
  QTest::newRow("the site's CA, certificate for another name") << "misnamed" << "misnamed/ca.pem" << false
                                                               << "it is not made out to 127.0.0.1";
  QTest::newRow("ca.pem holds no certificate") << "site" << "site/server-key.pem" << false
                                               << "holds no PEM certificate";
}

void TestTls::gatewayTrustsTheServerThroughTheInstallFolderCa() {
  QFETCH(QString, server);
  QFETCH(QString, caPem);
  QFETCH(bool, accepted);
  QFETCH(QString, errorSays);

  tav::test::InstallFolder install(QStringLiteral("JAMSIL"));
  if (!caPem.isEmpty()) install.writeFile(QStringLiteral("ca.pem"), readAll(certs_.filePath(caPem)));

  DataSpace dataSpace;
  auto object = dataSpace.CreateObject(kProgId, servers_.at(server)->url());
  QString error;
  std::unique_ptr<Recordset> answer;
  try {
    answer = BackendQuery(*object, operatorSignInCommand("gate01", "s3cret00"));
  } catch (const BackendError& e) {
    error = QString::fromUtf8(e.what());
  }
  QCOMPARE(answer != nullptr, accepted);
  if (accepted) {
    QCOMPARE(trimSpaces(answer->fields().Item("bizcode").text()), QStringLiteral("B2024"));
  } else {
    QVERIFY2(error.contains(errorSays), qPrintable(error));
  }
}

void TestTls::plainHttpIgnoresTheCa() {
  tav::test::TestServer server;
  server.addVenue("JAMSIL", "잠실종합운동장");
  server.addEvent("JAMSIL", "B2024", "가을 야구", "202410051830");
  server.addOperator("gate01", "s3cret00", "JAMSIL");
  server.start();
  tav::test::InstallFolder install(QStringLiteral("JAMSIL"));
  install.writeFile(QStringLiteral("ca.pem"), "not a certificate");
  DataSpace dataSpace;
  auto object = dataSpace.CreateObject(kProgId, server.url());
  auto answer = BackendQuery(*object, operatorSignInCommand("gate01", "s3cret00"));
  QCOMPARE(trimSpaces(answer->fields().Item("bizcode").text()), QStringLiteral("B2024"));
}

void TestTls::assetsToolCopiesOnlyACaCertificate_data() {
  QTest::addColumn<QString>("caFile");
  QTest::addColumn<int>("exitCode");
  QTest::addColumn<QString>("errorSays");

  QTest::newRow("tls-init's ca.pem") << "site/ca.pem" << 0 << "";
  QTest::newRow("the server's chain") << "site/server.pem" << 1 << "not a CA's";
  QTest::newRow("the CA's key") << "site/ca-key.pem" << 1 << "holds a private key";
  QTest::newRow("not PEM") << "notes.txt" << 1 << "is not a PEM certificate";
  QTest::newRow("no such file") << "missing.pem" << 1 << "cannot be read";
}

void TestTls::assetsToolCopiesOnlyACaCertificate() {
  QFETCH(QString, caFile);
  QFETCH(int, exitCode);
  QFETCH(QString, errorSays);
  QFile notes(certs_.filePath("notes.txt"));
  QVERIFY(notes.open(QIODevice::WriteOnly | QIODevice::Truncate));
  notes.write("ca.pem goes on the stations\n");
  notes.close();

  QTemporaryDir dir;
  const QString folder = dir.filePath("orltav");
  const Run r = run(QStringLiteral(TAV_ASSETS_BIN), {folder, QStringLiteral("--place"), QStringLiteral("JAMSIL"),
                                                    QStringLiteral("--ca"), certs_.filePath(caFile)});
  QCOMPARE(r.exitCode, exitCode);
  if (exitCode == 0) {
    QCOMPARE(readAll(QDir(folder).filePath("ca.pem")), readAll(certs_.filePath(caFile)));
    QVERIFY(QFile::exists(QDir(folder).filePath("tav.ini")));
  } else {
    QCOMPARE(r.err.count('\n'), 1);
    QVERIFY2(QString::fromUtf8(r.err).contains(errorSays), r.err.constData());
    // Refused before anything was written.
    QVERIFY(!QDir(folder).exists());
  }
}

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
