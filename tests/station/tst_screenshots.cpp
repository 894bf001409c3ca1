// Screenshots of the four windows on a real X display (a private Xvfb this program starts), each
// compared with its reference image in tests/station/reference/ within a small tolerance, so that
// a control, picture or font that moves or changes fails the test.
//
// Every run writes what it saw to screenshots/ in the working folder, with a difference image for
// each window that does not match. After a deliberate change of the layout or the pictures, look
// at those, then run once with TAV_UPDATE_SCREENSHOTS=1 in the environment: that rewrites the
// references and the README's pictures in docs/screenshots/ from this run.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <QCursor>
#include <QDir>
#include <QImage>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/Startup.h"
#include "forms/frm03/frm03.h"
#include "tests/support/StationFixture.h"

using namespace tav::test;

#ifndef TAV_SOURCE_DIR
#error "TAV_SOURCE_DIR names the source tree that holds the reference images"
#endif

namespace {

// Tickets of the test event; the screenshots show E-01 admitted and the statistics of four entries.
const char* const kTickets =
    "E-01,김민준,빅매치 2024,202405161830,잠실종합운동장,VIP석,E석 3열 12번,E석,valid\n"
    "E-02,이서연,빅매치 2024,202405161830,잠실종합운동장,R석,E석 1열 2번,E석,valid\n"
    "N-01,박지호,빅매치 2024,202405161830,잠실종합운동장,R석,N석 1열 1번,N석,valid\n"
    "W-01,최하은,빅매치 2024,202405161830,잠실종합운동장,S석,W석 1열 1번,W석,valid\n";

// How far a screenshot may stray from its reference. Font rasterising on another machine may
// shift edge pixels all over a window, a little each; a control or caption that moves or changes
// changes many pixels in one place. So besides the mean and the share of differing pixels, no
// 16 x 16 tile may hold more than a few of them (a digit moved by 3 px changes about 40).
constexpr double kMaxMeanDifference = 1.0;    // mean absolute difference per channel, 0..255
constexpr double kMaxDifferingShare = 0.002;  // share of pixels off by more than kPixelTolerance
constexpr int kPixelTolerance = 40;
constexpr int kTile = 16;
constexpr int kMaxDifferingPerTile = 12;

struct Difference {
  double mean = 0;
  double share = 0;
  int worstTile = 0;  // differing pixels in the worst 16 x 16 tile
  QImage picture;     // differing pixels in red over a faded copy of the reference
};

Difference compare(const QImage& reference, const QImage& shot) {
  const QImage a = reference.convertToFormat(QImage::Format_RGB32);
  const QImage b = shot.convertToFormat(QImage::Format_RGB32);
  Difference d;
  d.picture = a;
  qint64 sum = 0;
  qint64 differing = 0;
  const int tilesAcross = (a.width() + kTile - 1) / kTile;
  std::vector<int> tiles(static_cast<std::size_t>(tilesAcross * ((a.height() + kTile - 1) / kTile)), 0);
  for (int y = 0; y < a.height(); ++y) {
    const auto* ra = reinterpret_cast<const QRgb*>(a.constScanLine(y));
    const auto* rb = reinterpret_cast<const QRgb*>(b.constScanLine(y));
    auto* out = reinterpret_cast<QRgb*>(d.picture.scanLine(y));
    for (int x = 0; x < a.width(); ++x) {
      const int dr = std::abs(qRed(ra[x]) - qRed(rb[x]));
      const int dg = std::abs(qGreen(ra[x]) - qGreen(rb[x]));
      const int db = std::abs(qBlue(ra[x]) - qBlue(rb[x]));
      sum += dr + dg + db;
      const bool off = std::max({dr, dg, db}) > kPixelTolerance;
      differing += off;
      tiles[static_cast<std::size_t>((y / kTile) * tilesAcross + x / kTile)] += off;
      const int faded = 200 + qGray(ra[x]) / 5;
      out[x] = off ? qRgb(255, 0, 0) : qRgb(faded, faded, faded);
    }
  }
  const double pixels = static_cast<double>(a.width()) * a.height();
  d.mean = static_cast<double>(sum) / (pixels * 3);
  d.share = static_cast<double>(differing) / pixels;
  d.worstTile = *std::max_element(tiles.begin(), tiles.end());
  return d;
}

QString sourcePath(const QString& relative) { return QStringLiteral(TAV_SOURCE_DIR "/") + relative; }

}  // namespace

class tst_screenshots : public QObject, public StationFixture {
  Q_OBJECT

  // Compares `window`'s client area with reference `name`.png and keeps what was seen.
  void check(QWidget* window, const QString& name) {
    QVERIFY(window && window->isVisible());
    // Whether a window has the keyboard when the picture is taken is a matter of timing on a
    // busy display; the caret and the focus frame are left out of the picture.
    if (QWidget* focused = QApplication::focusWidget()) focused->clearFocus();
    QTest::qWait(50);  // lets the display deliver the last paint events
    const QImage shot = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QDir().mkpath(QStringLiteral("screenshots"));
    const QString seen = QDir(QStringLiteral("screenshots")).absoluteFilePath(name + QStringLiteral(".png"));
    QVERIFY(shot.save(seen));

    const QString reference = sourcePath(QStringLiteral("tests/station/reference/%1.png").arg(name));
    if (qEnvironmentVariable("TAV_UPDATE_SCREENSHOTS") == QLatin1String("1")) {
      QDir().mkpath(sourcePath(QStringLiteral("tests/station/reference")));
      QDir().mkpath(sourcePath(QStringLiteral("docs/screenshots")));
      QVERIFY(shot.save(reference));
      QVERIFY(shot.save(sourcePath(QStringLiteral("docs/screenshots/%1.png").arg(name))));
      qInfo("%s: reference and README picture rewritten", qPrintable(name));
      return;
    }
    const QImage expected(reference);
    QVERIFY2(!expected.isNull(), qPrintable(QStringLiteral("no reference image %1 (see the top of this file)").arg(reference)));
    QVERIFY2(expected.size() == shot.size(),
             qPrintable(QStringLiteral("%1 is %2 x %3, its reference %4 x %5; seen: %6")
                            .arg(name).arg(shot.width()).arg(shot.height())
                            .arg(expected.width()).arg(expected.height()).arg(seen)));
    const Difference d = compare(expected, shot);
    const QString figures =
        QStringLiteral("%1: mean difference %2 per channel, %3 % of the pixels differ, at most %4 in one tile")
            .arg(name).arg(d.mean, 0, 'f', 3).arg(d.share * 100, 0, 'f', 3).arg(d.worstTile);
    qInfo("%s", qPrintable(figures));
    if (d.mean > kMaxMeanDifference || d.share > kMaxDifferingShare || d.worstTile > kMaxDifferingPerTile) {
      const QString diff = QDir(QStringLiteral("screenshots")).absoluteFilePath(name + QStringLiteral("-difference.png"));
      d.picture.save(diff);
      QFAIL(qPrintable(figures + QStringLiteral("; seen: %1, differences: %2").arg(seen, diff)));
    }
  }

  ::frmTAV* signIn() {
    ::frmTAV* window = signInOperator();
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window)) qWarning("the sign-in window did not become active");
    return window;
  }

  ::frm01* openActiveScreen() {
    pressOpen(signIn());
    ::frm01* screen = Global::frm01().peek();
    if (!screen || !screen->isVisible()) return nullptr;
    screen->activateWindow();
    if (!QTest::qWaitForWindowActive(screen)) qWarning("the check screen did not become active");
    return screen;
  }

 private slots:
  void initTestCase() {
    tav::prepareApplication();
    // A steady caret, should one be drawn: a blinking one would make a picture a matter of timing.
    QApplication::setCursorFlashTime(0);
    // The pointer rests in a corner no window of these pictures reaches, so nothing is hovered.
    QCursor::setPos(1023, 767);
    platform_.setPrimaryScreen(QRect(0, 0, 1024, 768));
    platform_.setMonitorCount(1);
  }

  // A fresh store for each window, so what each screenshot shows does not depend on the others.
  void init() {
    startServer(kTickets);
    initStation();
  }

  void cleanup() {
    cleanupStation();
    server_.reset();
  }

  // The sign-in window after a successful sign-in.
  void signInWindow() {
    ::frmTAV* window = signIn();
    QCOMPARE(window->findChild<QLabel*>(QStringLiteral("lbl_LoginInfo"))->text(),
             QStringLiteral("잠실종합운동장에서 로그인 되었습니다"));
    check(window, QStringLiteral("frmTAV"));
  }

  // The check screen right after a ticket was admitted.
  void checkScreen() {
    ::frm01* screen = openActiveScreen();
    QVERIFY(screen);
    scan(screen, QStringLiteral("E-01"));
    QCOMPARE(caption(screen, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    check(screen, QStringLiteral("frm01"));
  }

  // The block dialog as btnBlock opens it.
  void blockDialog() {
    ::frm01* screen = openActiveScreen();
    QVERIFY(screen);
    click(screen, QStringLiteral("btnBlock"));
    ::frm02* dialog = Global::frm02().peek();
    QVERIFY(dialog && dialog->isVisible());
    if (!QTest::qWaitForWindowExposed(dialog)) qWarning("the block dialog was not exposed");
    check(dialog, QStringLiteral("frm02"));
  }

  // The statistics window after four admissions in three blocks.
  void statistics() {
    ::frm01* screen = openActiveScreen();
    QVERIFY(screen);
    for (const char* ticket : {"E-01", "E-02", "N-01", "W-01"}) {
      scan(screen, QString::fromLatin1(ticket));
      QCOMPARE(caption(screen, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    }
    click(screen, QStringLiteral("btnScore"));
    ::frm03* window = Global::frm03().peek();
    QVERIFY(window && window->isVisible());
    if (!QTest::qWaitForWindowExposed(window)) qWarning("the statistics window was not exposed");
    QCOMPARE(caption(window, QStringLiteral("lbl_Total")), QStringLiteral("4"));
    QCOMPARE(caption(window, QStringLiteral("lbl_E")), QStringLiteral("2"));
    check(window, QStringLiteral("frm03"));
  }
};

namespace {

// A private X server for this run: Xvfb picks a free display number and writes it to a pipe.
pid_t startXvfb() {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // no X server left behind by a test that crashed
    ::close(fds[0]);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    const std::string fd = std::to_string(fds[1]);
    ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    return -1;
  }
  std::string display;
  pollfd p{fds[0], POLLIN, 0};
  char c = 0;
  while (::poll(&p, 1, 10000) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') display += c;
  ::close(fds[0]);
  if (display.empty()) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }
  ::setenv("DISPLAY", (":" + display).c_str(), 1);
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  const pid_t xvfb = startXvfb();
  if (xvfb < 0) {
    std::fputs("tst_screenshots: Xvfb (Debian package xvfb) cannot be started.\n", stderr);
    return 1;
  }
  // The real X platform, at the 96 dots per inch the layouts' twips and points are measured at.
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  ::setenv("QT_FONT_DPI", "96", 1);
  int status = 1;
  {
    QApplication app(argc, argv);
    tst_screenshots test;
    status = QTest::qExec(&test, argc, argv);
  }
  ::kill(xvfb, SIGTERM);
  ::waitpid(xvfb, nullptr, 0);
  return status;
}

#include "tst_screenshots.moc"
