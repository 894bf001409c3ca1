// The block selection dialog: a choice becomes the check screen's block filter (seen through real
// tickets at a real tav-server), the click areas over the backdrop, and the title-bar close box.
#include "tests/support/StationFixture.h"

using namespace tav::test;

namespace {

const QString kBlockChosenPicture = QStringLiteral("C:\\ORLTAV\\btn2off.jpg");

// The dialog's click areas as the layout gives them, in twips (15 to the pixel).
struct Area {
  const char* name;
  int left, top, width, height;
  const char* block;
  QRect pixels() const { return QRect(left / 15, top / 15, width / 15, height / 15); }
};
const Area kAreas[] = {{"Command1", 1680, 1560, 1695, 975, "E석"},
                       {"Command2", 3840, 1560, 1695, 975, "N석"},
                       {"Command3", 1680, 2880, 1695, 975, "S석"},
                       {"Command4", 3720, 2880, 1695, 975, "W석"}};

// Tickets of the test event, three per block: one each for the tests that admit a ticket.
const char* const kTickets =
    "E-01,가,빅매치 2024,202405161830,잠실종합운동장,R석,E석 1열 1번,E석,valid\n"
    "E-02,나,빅매치 2024,202405161830,잠실종합운동장,R석,E석 1열 2번,E석,valid\n"
    "N-01,다,빅매치 2024,202405161830,잠실종합운동장,R석,N석 1열 1번,N석,valid\n"
    "N-02,라,빅매치 2024,202405161830,잠실종합운동장,R석,N석 1열 2번,N석,valid\n"
    "S-01,마,빅매치 2024,202405161830,잠실종합운동장,R석,S석 1열 1번,S석,valid\n"
    "S-02,바,빅매치 2024,202405161830,잠실종합운동장,R석,S석 1열 2번,S석,valid\n"
    "W-01,사,빅매치 2024,202405161830,잠실종합운동장,R석,W석 1열 1번,W석,valid\n"
    "W-02,아,빅매치 2024,202405161830,잠실종합운동장,R석,W석 1열 2번,W석,valid\n";

::frm02* dialog() { return Global::frm02().peek(); }

}  // namespace

class tst_frm02 : public QObject, public StationFixture {
  Q_OBJECT

  ::frm02* openDialog() {
    click(screen_, QStringLiteral("btnBlock"));
    ::frm02* d = dialog();
    if (!d || !d->isVisible()) qWarning("the block dialog did not open");
    return d;
  }

  void choose(const Area& area) {
    ::frm02* d = openDialog();
    QVERIFY(d);
    QTest::mouseClick(label(d, QString::fromLatin1(area.name)), Qt::LeftButton);
  }

 private slots:
  void initTestCase() { startServer(kTickets); }
  void init() { initStation(); }
  void cleanup() { cleanupStation(); }

  void layout() {
    openWithCapture();
    ::frm02* d = openDialog();
    QVERIFY(d);
    QCOMPARE(d->windowTitle(), QStringLiteral("구역선택"));
    QCOMPARE(d->size(), QSize(477, 328));
    QCOMPARE(d->minimumSize(), d->maximumSize());
    const Qt::WindowFlags flags = d->windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(d->parentWidget() == nullptr);
    QVERIFY(!d->isModal());
    for (const Area& a : kAreas) {
      tav::ClickLabel* c = label(d, QString::fromLatin1(a.name));
      QVERIFY2(c, a.name);
      QCOMPARE(c->geometry(), a.pixels());
      // Invisible click areas: no text, no picture, nothing painted of their own.
      QVERIFY(c->caption().isEmpty());
      QVERIFY(c->pixmap().isNull());
      QVERIFY(!c->autoFillBackground());
    }
    // The dialog has no control of its own besides the four areas.
    QCOMPARE(d->findChildren<QWidget*>().size(), 4);
    QVERIFY(platform_.pictures().isEmpty());
  }

  // Each painted stand button lies exactly under its click area.
  void backdropButtonsLieUnderTheAreas() {
    openWithCapture();
    ::frm02* d = openDialog();
    QVERIFY(d);
    const QImage shown = d->grab().toImage();
    for (const Area& a : kAreas) {
      const QRect r = a.pixels();
      const int midY = r.center().y();
      const int midX = r.center().x();
      for (const QPoint inside : {QPoint(r.left() + 6, midY), QPoint(r.right() - 6, midY)})
        QVERIFY2(qGray(shown.pixel(inside)) < 190, qPrintable(QStringLiteral("%1 not painted at %2,%3")
                                                                  .arg(a.name).arg(inside.x()).arg(inside.y())));
      for (const QPoint outside : {QPoint(r.left() - 3, midY), QPoint(r.right() + 3, midY),
                                   QPoint(midX, r.top() - 3), QPoint(midX, r.bottom() + 3)})
        QVERIFY2(qGray(shown.pixel(outside)) > 230, qPrintable(QStringLiteral("%1 painted beyond its area at %2,%3")
                                                                   .arg(a.name).arg(outside.x()).arg(outside.y())));
    }
  }

  // Every choice against the real back-end: the label, the dialog, the focus, the picture, and
  // the next validations refuse a ticket of another block and admit one of the chosen block.
  void choiceBecomesTheFilter_data() {
    QTest::addColumn<int>("area");
    QTest::addColumn<QString>("otherTicket");
    QTest::addColumn<QString>("otherBlock");
    QTest::addColumn<QString>("ownTicket");
    QTest::newRow("Command1 E") << 0 << "N-01" << "N석" << "E-01";
    QTest::newRow("Command2 N") << 1 << "S-01" << "S석" << "N-01";
    QTest::newRow("Command3 S") << 2 << "W-01" << "W석" << "S-01";
    QTest::newRow("Command4 W") << 3 << "E-01" << "E석" << "W-01";
  }

  void choiceBecomesTheFilter() {
    QFETCH(int, area);
    QFETCH(QString, otherTicket);
    QFETCH(QString, otherBlock);
    QFETCH(QString, ownTicket);
    const Area& a = kAreas[area];
    const QString block = QString::fromUtf8(a.block);
    signInAndOpen();  // the operator's session lets the station sign the venue in and check tickets
    platform_.clear();
    screen_->activateWindow();  // as the window system does with the screen that "TAV OPEN" shows
    QVERIFY(QTest::qWaitForWindowActive(screen_));
    label(screen_, QStringLiteral("lbl_BookingInfo"))->setCaption(QStringLiteral("이전 결과"));
    QTest::keyClicks(ticketBox(screen_), QStringLiteral("KEEP"));

    ::frm02* d = openDialog();
    QVERIFY(d);
    QPointer<::frm02> chosenFrom = d;
    QTest::mouseClick(label(d, QString::fromLatin1(a.name)), Qt::LeftButton);

    QCOMPARE(caption(screen_, QStringLiteral("txtBlock")), block);
    QVERIFY(!d->isVisible());
    QVERIFY(!d->isLoaded());
    QVERIFY(!Global::frm02().exists());
    QCOMPARE(screen_->focusWidget(), ticketBox(screen_));
    QCOMPARE(QApplication::focusWidget(), ticketBox(screen_));
    QCOMPARE(platform_.pictures(), QStringList{kBlockChosenPicture});
    QCOMPARE(asRgb(label(screen_, QStringLiteral("btnBlock"))->pixmap()), installFile(QStringLiteral("btn2off.jpg")));
    // Nothing else on the screen moved.
    QCOMPARE(ticketBox(screen_)->text(), QStringLiteral("KEEP"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("이전 결과"));
    QVERIFY(platform_.messages().isEmpty());
    settle();
    QVERIFY(chosenFrom.isNull());
    QCOMPARE(platform_.endCount(), 0);

    ticketBox(screen_)->clear();
    scan(screen_, otherTicket);
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 구역 아님 (%1)").arg(otherBlock));
    scan(screen_, ownTicket);
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_TicketNo")), ownTicket);
  }

  // The block travels in the ticket check's third value; a choice itself sends nothing.
  void choiceIsSentWithTheNextCheck_data() {
    QTest::addColumn<QList<int>>("choices");
    QTest::addColumn<QString>("sent");
    QTest::newRow("one choice") << QList<int>{1} << "N석";
    QTest::newRow("the second replaces the first") << QList<int>{0, 3} << "W석";
    QTest::newRow("the same twice") << QList<int>{2, 2} << "S석";
  }

  void choiceIsSentWithTheNextCheck() {
    QFETCH(QList<int>, choices);
    QFETCH(QString, sent);
    openWithCapture();
    for (int c : choices) choose(kAreas[c]);
    QVERIFY(capture_->commands().isEmpty());
    QCOMPARE(caption(screen_, QStringLiteral("txtBlock")), sent);
    QCOMPARE(platform_.pictures(), QStringList(choices.size(), kBlockChosenPicture));
    scan(screen_, QStringLiteral("T1"));
    QCOMPARE(capture_->commands().size(), 1);
    QCOMPARE(capture_->commands().value(0),
             QStringLiteral("Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'I','EV2024','%1','T1', 'op1'").arg(sent));
  }

  // Each area reacts over its whole rectangle and not beyond it.
  void clickAreas_data() {
    QTest::addColumn<QPoint>("point");  // in the dialog, pixels
    QTest::addColumn<QString>("block");  // "" for no reaction
    for (const Area& a : kAreas) {
      const QRect r = a.pixels();
      const struct {
        const char* where;
        QPoint at;
      } points[] = {{"top left", r.topLeft()},       {"top right", r.topRight()},
                    {"bottom left", r.bottomLeft()}, {"bottom right", r.bottomRight()},
                    {"centre", r.center()}};
      for (const auto& p : points)
        QTest::addRow("%s %s", a.name, p.where) << p.at << QString::fromUtf8(a.block);
    }
    QTest::newRow("left of E") << QPoint(111, 130) << "";
    QTest::newRow("above N") << QPoint(300, 103) << "";
    QTest::newRow("between E and N") << QPoint(240, 130) << "";
    QTest::newRow("between S and W") << QPoint(236, 220) << "";
    QTest::newRow("under N, right of W") << QPoint(365, 220) << "";
    QTest::newRow("below W") << QPoint(300, 257) << "";
    QTest::newRow("title") << QPoint(238, 40) << "";
  }

  void clickAreas() {
    QFETCH(QPoint, point);
    QFETCH(QString, block);
    openWithCapture();
    ::frm02* d = openDialog();
    QVERIFY(d);
    clickAt(d, point);
    if (block.isEmpty()) {
      QCOMPARE(caption(screen_, QStringLiteral("txtBlock")), QStringLiteral("전체"));
      QVERIFY(d->isLoaded() && d->isVisible());
      QVERIFY(platform_.pictures().isEmpty());
    } else {
      QCOMPARE(caption(screen_, QStringLiteral("txtBlock")), block);
      QVERIFY(!d->isLoaded());
    }
  }

  // The title-bar close box unloads the dialog and changes nothing on the check screen.
  void titleBarCloseChangesNothing() {
    openWithCapture();
    choose(kAreas[1]);  // N, so that btnBlock already shows the chosen face
    QTest::keyClicks(ticketBox(screen_), QStringLiteral("KEEP"));
    const QImage faceBefore = asRgb(label(screen_, QStringLiteral("btnBlock"))->pixmap());
    platform_.clear();

    QPointer<::frm02> d = openDialog();
    QVERIFY(d);
    QVERIFY(d->close());
    QVERIFY(!d->isVisible());
    QVERIFY(!d->isLoaded());
    QCOMPARE(caption(screen_, QStringLiteral("txtBlock")), QStringLiteral("N석"));
    QCOMPARE(asRgb(label(screen_, QStringLiteral("btnBlock"))->pixmap()), faceBefore);
    QCOMPARE(ticketBox(screen_)->text(), QStringLiteral("KEEP"));
    QVERIFY(platform_.events().isEmpty());
    QVERIFY(capture_->commands().isEmpty());

    // Opened again: a new dialog, loaded afresh, and its choices work.
    settle();
    QVERIFY(d.isNull());
    QCOMPARE(platform_.endCount(), 0);
    ::frm02* again = openDialog();
    QVERIFY(again && again->isLoaded());
    QCOMPARE(liveWindows<::frm02>(), 1);
    QTest::mouseClick(label(again, QStringLiteral("Command3")), Qt::LeftButton);
    QCOMPARE(caption(screen_, QStringLiteral("txtBlock")), QStringLiteral("S석"));
  }

  // Until the first choice btnBlock keeps its layout face; a missing file still gives the chosen face.
  void missingPictureFileShowsTheBuiltInCopy() {
    openWithCapture();
    QCOMPARE(asRgb(label(screen_, QStringLiteral("btnBlock"))->pixmap()), builtIn(QStringLiteral("frm01/btnBlock")));
    install_->removeFile(QStringLiteral("btn2off.jpg"));
    choose(kAreas[0]);
    QCOMPARE(caption(screen_, QStringLiteral("txtBlock")), QStringLiteral("E석"));
    QCOMPARE(platform_.pictures(), QStringList{kBlockChosenPicture});
    QCOMPARE(asRgb(label(screen_, QStringLiteral("btnBlock"))->pixmap()), builtIn(QStringLiteral("btn2off.jpg")));
    QCOMPARE(screen_->focusWidget(), ticketBox(screen_));
  }
};

QTEST_MAIN(tst_frm02)
#include "tst_frm02.moc"
