// Scan latency of the check screen against tav-server on 127.0.0.1: from the Enter key to the
// last label written (sound started), p50 and p99, and the station's peak memory.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QLineEdit>
#include <QtTest>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/Global.h"
#include "backend/commands.h"
#include "backend/gateway.h"
#include "backend/offline_station.h"
#include "forms/common/ClickLabel.h"
#include "forms/frm01/frm01.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestServer.h"
#include "wire/stands.h"

namespace {

// Peak resident memory of this process (VmHWM), in kB; the station's windows all live here.
long peakMemoryKb() {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
  return -1;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

int argValue(const QStringList& args, const QString& name, int fallback) {
  const qsizetype i = args.indexOf(name);
  return i >= 0 && i + 1 < args.size() ? args[i + 1].toInt() : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Without an audio device the sound service warns on every new sound; the figures are the output.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type != QtDebugMsg && type != QtWarningMsg && type != QtInfoMsg)
      std::fprintf(stderr, "%s\n", qPrintable(msg));
  });
  QApplication app(argc, argv);
  const QStringList args = app.arguments();
  if (args.contains(QStringLiteral("--help"))) {
    std::puts("usage: bench_station [--scans N] [--tickets N] [--offline]\n"
              "Scans N tickets (default 2000; one in ten unknown) on the check screen against a\n"
              "tav-server on 127.0.0.1 holding --tickets imported tickets (default 3000). --offline:\n"
              "a registered station with offline checking on, its list fetched, then the server\n"
              "stopped; the scans are decided offline, each flushed to the journal on this disk.");
    return 0;
  }
  const int scans = std::max(1, argValue(args, QStringLiteral("--scans"), 2000));
  const int tickets = std::max(scans, argValue(args, QStringLiteral("--tickets"), 3000));
  const bool offline = args.contains(QStringLiteral("--offline"));

  try {
    // The store: one venue, its active event, the tickets spread over the four blocks.
    tav::test::TestServer server;
    server.addVenue(QStringLiteral("BENCH01"), QStringLiteral("벤치 경기장"));
    server.addEvent(QStringLiteral("BENCH01"), QStringLiteral("BEV1"), QStringLiteral("벤치 경기"),
                    QStringLiteral("202405161830"));
    server.addOperator(QStringLiteral("bench"), QStringLiteral("bench-pw"), QStringLiteral("BENCH01"));
    QString csv;
    for (int i = 0; i < tickets; ++i)
      csv += QStringLiteral("BT%1,관객%1,벤치 경기,202405161830,벤치 경기장,R석,%2 %3열,%2,valid\n")
                 .arg(i, 6, 10, QLatin1Char('0'))
                 .arg(QString::fromStdString(tav::wire::kBlocks[i % tav::wire::kBlocks.size()]))
                 .arg(i % 40);
    server.importTickets(QStringLiteral("BEV1"), csv);
    server.start();

    // The install folder with the real pictures and sounds; the Qt platform plays the sounds.
    tav::test::InstallFolder install(QStringLiteral("BENCH01"));
    tav::setPlatform(nullptr);
    Global::setServerAddress(server.url());
    g_AdminID = QStringLiteral("bench");
    g_BizCode = QStringLiteral("BEV1");
    QTemporaryDir journals;
    if (offline) {
      // A registered station whose operator signed in, as the list is given to no other.
      server.setup({QStringLiteral("set-event"), QStringLiteral("--bizcode"), QStringLiteral("BEV1"),
                    QStringLiteral("--offline"), QStringLiteral("on")});
      const QString keyFile = journals.filePath(QStringLiteral("station.key"));
      server.setup({QStringLiteral("add-station"), QStringLiteral("--place"), QStringLiteral("BENCH01"),
                    QStringLiteral("--name"), QStringLiteral("벤치"), QStringLiteral("--key-file"), keyFile});
      QFile key(keyFile);
      if (!key.open(QIODevice::ReadOnly)) throw std::runtime_error("The station key was not written.");
      install.writeFile(QStringLiteral("station.key"), key.readAll());
      tav::backend::OfflineStation::setJournalFolder(journals.path());
      tav::backend::BusinessObject signIn(tav::backend::kProgId, server.url());
      signIn.Query(tav::backend::operatorSignInCommand(QStringLiteral("bench"), QStringLiteral("bench-pw")));
    }

    ::frm01* screen = &*Global::frm01();
    if (!screen->isLoaded()) throw std::runtime_error("The check screen did not start.");
    screen->show();
    QLineEdit* box = screen->findChild<QLineEdit*>(QStringLiteral("txtTicketNo"));
    auto* result = screen->findChild<tav::ClickLabel*>(QStringLiteral("lbl_BookingInfo"));
    if (offline) {
      QElapsedTimer waited;
      waited.start();
      while (!tav::backend::offlineStation().status().text.startsWith(QStringLiteral("목록"))) {
        if (waited.elapsed() > 60'000) throw std::runtime_error("The station got no offline list within a minute.");
        QTest::qWait(50);
      }
      server.stop();
      // The check that finds the outage waits for its two attempts; the ones after it are measured.
      QTest::keyClicks(box, QStringLiteral("XX-OUTAGE"));
      QTest::keyClick(box, Qt::Key_Return);
      if (!tav::backend::offlineStation().status().text.startsWith(QStringLiteral("오프라인 검표 중")))
        throw std::runtime_error("The station did not go offline when the server stopped.");
    }

    std::vector<double> ms;
    ms.reserve(static_cast<std::size_t>(scans));
    int accepted = 0;
    QElapsedTimer t;
    for (int i = 0; i < scans; ++i) {
      const QString number = i % 10 == 9 ? QStringLiteral("XX%1").arg(i) : QStringLiteral("BT%1").arg(i, 6, 10, QLatin1Char('0'));
      QTest::keyClicks(box, number);
      t.start();
      QTest::keyClick(box, Qt::Key_Return);
      ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
      if (result->caption() == QStringLiteral("입장 확인")) ++accepted;
      QCoreApplication::processEvents();  // the sound service's own events, between scans
    }

    std::printf("bench_station: %d scans (%d accepted) %s on %s, %d tickets\n", scans, accepted,
                offline ? "decided offline, the server stopped," : "against tav-server", qPrintable(server.url()),
                tickets);
    std::printf("  Enter to last label: p50 %.2f ms, p99 %.2f ms, max %.2f ms (target p99 < %d ms)\n",
                percentile(ms, 0.50), percentile(ms, 0.99), *std::max_element(ms.begin(), ms.end()),
                offline ? 5 : 10);
    std::printf("  station peak memory (VmHWM): %.1f MB (target < 80 MB)\n", static_cast<double>(peakMemoryKb()) / 1024.0);
    Global::Form1Unload();
    QCoreApplication::processEvents();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_station: %s\n", e.what());
    return 1;
  }
  return 0;
}
