// The station's programs from a shell, as a venue's IT person runs them: tav --version and --help
// answer without a display, and tav-assets refuses to guess the venue.
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run {
  int code = -1;
  QString out;
  QString err;
};

// Runs `program` with no display at all: a program that opened a window would fail.
Run run(const QString& program, const QStringList& args) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove(QStringLiteral("DISPLAY"));
  env.remove(QStringLiteral("WAYLAND_DISPLAY"));
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
  p.setProcessEnvironment(env);
  p.start(program, args);
  if (!p.waitForFinished(30000)) p.kill();
  return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
          QString::fromUtf8(p.readAllStandardError())};
}

}  // namespace

class tst_commandline : public QObject {
  Q_OBJECT

 private slots:
  void tavSaysWhichBuildItIs_data() {
    QTest::addColumn<QString>("option");
    QTest::addColumn<bool>("usage");
    QTest::newRow("--version") << "--version" << false;
    QTest::newRow("-v") << "-v" << false;
    QTest::newRow("--help") << "--help" << true;
    QTest::newRow("-h") << "-h" << true;
  }

  void tavSaysWhichBuildItIs() {
    QFETCH(QString, option);
    QFETCH(bool, usage);
    const Run r = run(QStringLiteral(TAV_BIN), {option});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.err, QString());
    const QString build = QStringLiteral("tav " TAV_VERSION "\nback-end: " TAV_SERVER_URL "\ninstall folder: " TAV_INSTALL_DIR "\n");
    QVERIFY2(r.out.endsWith(build), qPrintable(r.out));
    QCOMPARE(r.out.startsWith(QStringLiteral("usage: tav ")), usage);
  }

  void tavAssetsNeedsThePlace() {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("orltav"));
    const Run refused = run(QStringLiteral(TAV_ASSETS_BIN), {folder});
    QCOMPARE(refused.code, 2);
    QCOMPARE(refused.out, QString());
    QCOMPARE(refused.err.count(u'\n'), 1);
    QVERIFY2(refused.err.contains(QStringLiteral("--place")), qPrintable(refused.err));
    QVERIFY(!QDir(folder).exists());

    const Run written = run(QStringLiteral(TAV_ASSETS_BIN), {folder, QStringLiteral("--place"), QStringLiteral("JAMSIL01")});
    QCOMPARE(written.code, 0);
    QFile ini(QDir(folder).filePath(QStringLiteral("tav.ini")));
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QVERIFY(ini.readAll().contains("PlaceCode=JAMSIL01"));
  }
};

QTEST_GUILESS_MAIN(tst_commandline)
#include "tst_commandline.moc"
