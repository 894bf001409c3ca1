// The block dialog and the statistics window next to the check screen: checking goes on while
// they are open, and once the check screen is closed their buttons close them, recreate nothing
// and let the program end with the last window.
#include "forms/frm03/frm03.h"
#include "tests/support/StationFixture.h"

using namespace tav::test;

namespace {

const char* const kTickets =
    "E-01,가,빅매치 2024,202405161830,잠실종합운동장,R석,E석 1열 1번,E석,valid\n"
    "W-01,나,빅매치 2024,202405161830,잠실종합운동장,R석,W석 1열 1번,W석,valid\n"
    "W-02,다,빅매치 2024,202405161830,잠실종합운동장,R석,W석 1열 2번,W석,valid\n";

// Windows of the station that still exist, loaded or not, once deferred deletions have run.
QStringList remainingWindows() {
  QStringList names;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* f = qobject_cast<tav::Form*>(w))
      names << QStringLiteral("%1%2%3").arg(QString::fromLatin1(f->metaObject()->className()),
                                            f->isVisible() ? QStringLiteral(" shown") : QStringLiteral(" hidden"),
                                            f->isLoaded() ? QStringLiteral(" loaded") : QString());
  return names;
}

}  // namespace

class tst_windows_lifecycle : public QObject, public StationFixture {
  Q_OBJECT

  ::frm02* openDialog() {
    click(screen_, QStringLiteral("btnBlock"));
    return Global::frm02().peek();
  }

  ::frm03* openStatistics() {
    click(screen_, QStringLiteral("btnScore"));
    return Global::frm03().peek();
  }

 private slots:
  void initTestCase() {
    startServer(kTickets);
    platform_.setPrimaryScreen(QRect(0, 0, 1280, 1024));
  }

  void init() { initStation(); }

  void cleanup() {
    cleanupStation();
    QVERIFY2(remainingWindows().isEmpty(), qPrintable(remainingWindows().join(u',')));
  }

  // Neither window blocks the check screen: it validates with the chosen block while both are open.
  void checkingGoesOnWhileBothAreOpen() {
    signInAndOpen();
    QVERIFY(openDialog());
    QTest::mouseClick(label(Global::frm02().peek(), QStringLiteral("Command4")), Qt::LeftButton);
    QCOMPARE(caption(screen_, QStringLiteral("txtBlock")), QStringLiteral("W석"));

    ::frm02* dialog = openDialog();
    ::frm03* stats = openStatistics();
    QVERIFY(dialog && dialog->isVisible() && !dialog->isModal() && !dialog->parentWidget());
    QVERIFY(stats && stats->isVisible() && !stats->isModal() && !stats->parentWidget());
    const int westBefore = caption(stats, QStringLiteral("lbl_W")).toInt();
    const int totalBefore = caption(stats, QStringLiteral("lbl_Total")).toInt();

    scan(screen_, QStringLiteral("W-01"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    scan(screen_, QStringLiteral("E-01"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 구역 아님 (E석)"));
    QVERIFY(dialog->isVisible() && stats->isVisible());

    QCOMPARE(openStatistics(), stats);
    QCOMPARE(caption(stats, QStringLiteral("lbl_W")).toInt(), westBefore + 1);
    QCOMPARE(caption(stats, QStringLiteral("lbl_Total")).toInt(), totalBefore + 1);
    QCOMPARE(caption(stats, QStringLiteral("lbl_E")), QStringLiteral("0"));
    QVERIFY(platform_.messages().isEmpty());
  }

  // The check screen closed by its close picture while one window stays open; that window's own
  // way out then closes it alone, and the program ends with it.
  void closedScreenThenTheLastWindow_data() {
    QTest::addColumn<bool>("statistics");  // else the block dialog
    QTest::addColumn<QString>("how");      // a control of the window, or "" for its close box
    QTest::newRow("block choice") << false << "Command1";
    QTest::newRow("block choice W") << false << "Command4";
    QTest::newRow("dialog close box") << false << "";
    QTest::newRow("statistics exit") << true << "btnExit";
    QTest::newRow("statistics close box") << true << "";
  }

  void closedScreenThenTheLastWindow() {
    QFETCH(bool, statistics);
    QFETCH(QString, how);
    signInAndOpen();
    QPointer<tav::Form> window = statistics ? static_cast<tav::Form*>(openStatistics()) : openDialog();
    QVERIFY(window && window->isVisible());
    platform_.clear();

    click(screen_, QStringLiteral("Command2"));
    settle();
    QVERIFY(!Global::frm01().exists());
    QVERIFY(!Global::frmTAV().exists());
    QCOMPARE(platform_.endCount(), 0);
    QVERIFY(window && window->isLoaded() && window->isVisible());
    QCOMPARE(remainingWindows().size(), 1);

    if (how.isEmpty())
      QVERIFY(window->close());
    else
      QTest::mouseClick(label(window, how), Qt::LeftButton);
    QVERIFY(!window->isLoaded());
    QVERIFY(!window->isVisible());
    // Nothing was recreated, nothing touched on a screen that is gone.
    QVERIFY(!Global::frm01().exists());
    QVERIFY(!Global::frmTAV().exists());
    QVERIFY(platform_.pictures().isEmpty());
    QVERIFY(platform_.messages().isEmpty());
    QCOMPARE(platform_.endCount(), 0);  // not before the handler has returned
    settle();
    QCOMPARE(platform_.endCount(), 1);
    QVERIFY(window.isNull());
    QVERIFY2(remainingWindows().isEmpty(), qPrintable(remainingWindows().join(u',')));
  }

  // With both windows open the first one closed keeps the program; the second ends it.
  void bothOpenWhenTheScreenCloses() {
    signInAndOpen();
    ::frm02* dialog = openDialog();
    ::frm03* stats = openStatistics();
    QVERIFY(dialog && stats);
    click(screen_, QStringLiteral("Command2"));
    settle();
    QCOMPARE(remainingWindows().size(), 2);

    QTest::mouseClick(label(dialog, QStringLiteral("Command2")), Qt::LeftButton);
    settle();
    QCOMPARE(platform_.endCount(), 0);
    QVERIFY(stats->isLoaded() && stats->isVisible());
    QVERIFY(!Global::frm01().exists());

    QTest::mouseClick(label(stats, QStringLiteral("btnExit")), Qt::LeftButton);
    settle();
    QCOMPARE(platform_.endCount(), 1);
    QVERIFY(!Global::frm01().exists());
    QVERIFY2(remainingWindows().isEmpty(), qPrintable(remainingWindows().join(u',')));
  }

  // Windows closed while the screen was still open leave nothing that outlives the screen's close.
  void aWindowClosedBeforeTheScreenLeavesNothingBehind() {
    signInAndOpen();
    QVERIFY(openDialog());
    QVERIFY(Global::frm02().peek()->close());
    QVERIFY(openStatistics());
    QTest::mouseClick(label(Global::frm03().peek(), QStringLiteral("btnExit")), Qt::LeftButton);
    settle();
    QCOMPARE(remainingWindows().size(), 2);  // the check screen, and the sign-in window it hid
    click(screen_, QStringLiteral("Command2"));
    settle();
    QCOMPARE(platform_.endCount(), 1);
    QVERIFY2(remainingWindows().isEmpty(), qPrintable(remainingWindows().join(u',')));
  }
};

QTEST_MAIN(tst_windows_lifecycle)
#include "tst_windows_lifecycle.moc"
