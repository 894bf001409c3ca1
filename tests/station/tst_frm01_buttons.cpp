// The check screen's picture buttons: the entry/exit switch and its pictures, the block dialog,
// the close picture and the system close command.
#include "tests/support/StationFixture.h"

using namespace tav::test;

namespace {

// The picture btnSave shows, compared with the install-folder file of that name.
bool showsFile(QWidget* screen, const QString& fileName) {
  const QImage file = installFile(fileName);
  return !file.isNull() && asRgb(label(screen, QStringLiteral("btnSave"))->pixmap()) == file;
}

// A double click as the mouse gives it: two presses and releases in quick succession, sent to the
// window so that Qt itself makes the second press a double click.
void doubleClick(QWidget* window, const QString& name) {
  QWidget* w = label(window, name);
  QTest::mouseDClick(window->windowHandle(), Qt::LeftButton, Qt::NoModifier, w->mapTo(window, w->rect().center()));
}

}  // namespace

class tst_frm01_buttons : public QObject, public StationFixture {
  Q_OBJECT

  // The check screen against a canned back-end that admits every ticket.
  void open(bool venueSignedIn = true) {
    openWithCapture(venueSignedIn);
    capture_->answerWith(admittedAnswer());
  }

 private slots:
  void init() { initStation(); }
  void cleanup() { cleanupStation(); }

  void modeToggle_data() {
    QTest::addColumn<QString>("startMode");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QStringList>("pictures");
    QTest::addColumn<QString>("shownFile");
    QTest::newRow("first click from start: exit") << "" << 1 << "O" << QStringList{kExitPicture} << "btn4on.jpg";
    QTest::newRow("two clicks: entry") << "" << 2 << "I" << QStringList{kExitPicture, kEntryPicture} << "btn3on.jpg";
    QTest::newRow("three clicks: exit") << "" << 3 << "O"
                                        << QStringList{kExitPicture, kEntryPicture, kExitPicture} << "btn4on.jpg";
    QTest::newRow("from entry after a validation") << "I" << 1 << "O" << QStringList{kExitPicture} << "btn4on.jpg";
    QTest::newRow("from exit") << "O" << 1 << "I" << QStringList{kEntryPicture} << "btn3on.jpg";
  }

  void modeToggle() {
    QFETCH(QString, startMode);
    QFETCH(int, clicks);
    QFETCH(QString, mode);
    QFETCH(QStringList, pictures);
    QFETCH(QString, shownFile);
    open();
    QVERIFY(showsFile(screen_, QStringLiteral("btn3on.jpg")));
    g_GateMode = startMode;
    QTest::keyClicks(ticketBox(screen_), QStringLiteral("HALF"));
    for (int i = 0; i < clicks; ++i) click(screen_, QStringLiteral("btnMode"));

    QCOMPARE(g_GateMode, mode);
    QCOMPARE(platform_.pictures(), pictures);
    QVERIFY(showsFile(screen_, shownFile));
    // Nothing sent, nothing cleared, the focus back in the ticket box.
    QVERIFY(capture_->commands().isEmpty());
    QCOMPARE(ticketBox(screen_)->text(), QStringLiteral("HALF"));
    QCOMPARE(screen_->focusWidget(), ticketBox(screen_));
    QVERIFY(QApplication::focusWidget() == ticketBox(screen_));
    // btnMode keeps its own face.
    QCOMPARE(label(screen_, QStringLiteral("btnMode"))->pixmap().size(), QSize(116, 58));
  }

  void exitModeIsSentAfterTheSwitch() {
    open();
    click(screen_, QStringLiteral("btnMode"));
    scan(screen_, QStringLiteral("T1"));
    QCOMPARE(capture_->commands().value(0).section(u'\'', 1, 1), QStringLiteral("O"));
    click(screen_, QStringLiteral("btnMode"));
    scan(screen_, QStringLiteral("T1"));
    QCOMPARE(capture_->commands().value(1).section(u'\'', 1, 1), QStringLiteral("I"));
  }

  void missingPictureFileShowsTheBuiltInCopy() {
    open();
    install_->removeFile(QStringLiteral("btn4on.jpg"));
    click(screen_, QStringLiteral("btnMode"));
    QCOMPARE(g_GateMode, QStringLiteral("O"));
    const QPixmap shown = label(screen_, QStringLiteral("btnSave"))->pixmap();
    QCOMPARE(shown.size(), QSize(113, 57));
    // The exit face, not the entry one: its left edge is orange-red.
    const QColor edge = shown.toImage().pixelColor(6, 28);
    QVERIFY2(edge.red() > edge.green() + 60, qPrintable(edge.name()));
  }

  void afterRefusedVenueTheFirstSwitchGivesThePicture() {
    open(false);
    QVERIFY(label(screen_, QStringLiteral("btnSave"))->pixmap().isNull());
    click(screen_, QStringLiteral("btnMode"));
    QCOMPARE(g_GateMode, QStringLiteral("O"));
    QVERIFY(showsFile(screen_, QStringLiteral("btn4on.jpg")));
  }

  void btnSaveClickValidates() {
    open();
    QTest::keyClicks(ticketBox(screen_), QStringLiteral("T1"));
    click(screen_, QStringLiteral("btnSave"));
    QCOMPARE(capture_->commands().size(), 1);
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    QCOMPARE(platform_.sounds(), QStringList{kOkWav});
  }

  // A double click runs the click handler once; the double click has no handler of its own.
  void doubleClickIsOneClick_data() {
    QTest::addColumn<QString>("button");
    QTest::newRow("btnSave") << "btnSave";
    QTest::newRow("btnMode") << "btnMode";
  }

  void doubleClickIsOneClick() {
    QFETCH(QString, button);
    open();
    QSignalSpy clicks(label(screen_, button), &tav::ClickLabel::clicked);
    QSignalSpy doubles(label(screen_, button), &tav::ClickLabel::doubleClicked);
    QTest::keyClicks(ticketBox(screen_), QStringLiteral("T1"));
    doubleClick(screen_, button);
    QCOMPARE(clicks.size(), 1);
    QCOMPARE(doubles.size(), 1);
    if (button == u"btnSave") {
      QCOMPARE(capture_->commands().size(), 1);
      QCOMPARE(platform_.sounds(), QStringList{kOkWav});
      QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    } else {
      QCOMPARE(g_GateMode, QStringLiteral("O"));
      QVERIFY(showsFile(screen_, QStringLiteral("btn4on.jpg")));
    }
  }

  void blockDialogIsOneModelessWindow() {
    open();
    click(screen_, QStringLiteral("btnBlock"));
    ::frm02* dialog = Global::frm02().peek();
    QVERIFY(dialog && dialog->isLoaded() && dialog->isVisible());
    QCOMPARE(dialog->windowTitle(), QStringLiteral("구역선택"));
    QVERIFY(dialog->parentWidget() == nullptr);
    QVERIFY(!dialog->isModal());

    click(screen_, QStringLiteral("btnBlock"));
    QCOMPARE(Global::frm02().peek(), dialog);
    QCOMPARE(liveWindows<::frm02>(), 1);
    // btnBlock keeps its face; the check screen goes on validating while the dialog is open.
    QCOMPARE(label(screen_, QStringLiteral("btnBlock"))->pixmap().size(), QSize(114, 58));
    scan(screen_, QStringLiteral("T1"));
    QCOMPARE(capture_->commands().size(), 1);

    // Closed, then clicked again: a new dialog.
    Global::Form2Unload();
    settle();
    QCOMPARE(liveWindows<::frm02>(), 0);
    click(screen_, QStringLiteral("btnBlock"));
    QVERIFY(Global::frm02().peek() && Global::frm02().peek()->isVisible());
    QCOMPARE(liveWindows<::frm02>(), 1);
  }

  void closePictureEndsTheProgram() {
    ::frmTAV* signIn = &*Global::frmTAV();  // loaded and hidden, as after "TAV OPEN"
    signIn->hide();
    open();
    click(screen_, QStringLiteral("Command2"));
    QVERIFY(!Global::frm01().isLoaded());
    QVERIFY(!Global::frmTAV().isLoaded());
    QVERIFY(capture_->commands().isEmpty());
    QVERIFY(platform_.messages().isEmpty());
    settle();
    QCOMPARE(platform_.endCount(), 1);
  }

  // A title long enough to reach the close picture: every part of the picture still closes.
  void closePictureUnderALongTitle_data() {
    QTest::addColumn<QPoint>("offset");  // from the picture's top left corner
    QTest::newRow("top left") << QPoint(0, 0);
    QTest::newRow("centre") << QPoint(24, 22);
    QTest::newRow("bottom left") << QPoint(0, 44);
    QTest::newRow("bottom right") << QPoint(47, 44);
  }

  void closePictureUnderALongTitle() {
    QFETCH(QPoint, offset);
    open();
    tav::ClickLabel* title = label(screen_, QStringLiteral("lbl_GoodsNameInfo"));
    title->setCaption(QStringLiteral("2024 한국시리즈 7차전 결승 — 잠실 라이벌 빅매치 특별 기념 경기"));
    const QRect picture = label(screen_, QStringLiteral("Command2"))->geometry();
    QVERIFY(title->geometry().intersects(picture));
    clickAt(screen_, picture.topLeft() + offset);
    QVERIFY(!Global::frm01().isLoaded());
  }

  void closePictureWithBlockDialogOpenKeepsTheProgram() {
    open();
    click(screen_, QStringLiteral("btnBlock"));
    click(screen_, QStringLiteral("Command2"));
    settle();
    QVERIFY(!Global::frm01().isLoaded());
    QCOMPARE(platform_.endCount(), 0);
    Global::Form2Unload();
    settle();
    QCOMPARE(platform_.endCount(), 1);
  }

  void systemCloseDoesWhatTheClosePictureDoes() {
    ::frmTAV* signIn = &*Global::frmTAV();
    signIn->hide();
    open();
    QVERIFY(screen_->close());  // Alt+F4
    QVERIFY(!Global::frm01().isLoaded());
    QVERIFY(!Global::frmTAV().isLoaded());
    settle();
    QCOMPARE(platform_.endCount(), 1);
  }
};

QTEST_MAIN(tst_frm01_buttons)
#include "tst_frm01_buttons.moc"
