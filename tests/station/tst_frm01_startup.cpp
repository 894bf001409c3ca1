// The check screen's start-up: the venue code from tav.ini, the venue sign-in and its outcomes,
// opened through the launcher as an operator does, and on its own through its shared reference.
#include "backend/gateway.h"
#include "tests/support/StationFixture.h"

using namespace tav::test;

class tst_frm01_startup : public QObject, public StationFixture {
  Q_OBJECT

 private slots:
  void initTestCase() {
    startServer();
    platform_.setPrimaryScreen(QRect(0, 0, 1280, 1024));
  }

  void init() { initStation(); }
  void cleanup() { cleanupStation(); }

  void opensSignedInToTheVenue() {
    signInAndOpen();
    ::frm01* screen = Global::frm01().peek();
    QVERIFY(screen && screen->isLoaded());
    QVERIFY(screen->isVisible());
    QVERIFY(platform_.messages().isEmpty());
    // Covers the primary display exactly, with no border.
    QCOMPARE(screen->geometry(), QRect(0, 0, 1280, 1024));
    QVERIFY(screen->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(!Global::frmTAV().peek()->isVisible());

    QCOMPARE(g_BizCode, kBizCode);
    QCOMPARE(g_GoodsName, kEventName);
    QCOMPARE(g_GateMode, QString());  // entry mode, not chosen yet
    QCOMPARE(caption(screen, QStringLiteral("lbl_GoodsNameInfo")), kEventName);
    QCOMPARE(caption(screen, QStringLiteral("txtBlock")), QStringLiteral("전체"));
    QCOMPARE(platform_.pictures(), QStringList{kEntryPicture});
    QVERIFY(!label(screen, QStringLiteral("btnSave"))->pixmap().isNull());
    QCOMPARE(ticketBox(screen)->text(), QString());
    QCOMPARE(screen->focusWidget(), ticketBox(screen));
  }

  void withoutVenueCodeTheProgramEnds_data() {
    QTest::addColumn<QByteArray>("ini");  // "-" for no file at all
    QTest::newRow("no tav.ini") << QByteArray("-");
    QTest::newRow("no section") << QByteArray("[Other]\r\nPlaceCode=JAMSIL01\r\n");
    QTest::newRow("no key") << QByteArray("[Marovex]\r\nPlace=JAMSIL01\r\n");
    QTest::newRow("empty value") << QByteArray("[Marovex]\r\nPlaceCode=\r\n");
    QTest::newRow("empty quotes") << QByteArray("[Marovex]\r\nPlaceCode=\"\"\r\n");
  }

  void withoutVenueCodeTheProgramEnds() {
    QFETCH(QByteArray, ini);
    if (ini == "-")
      install_->removeFile(QStringLiteral("tav.ini"));
    else
      install_->writeFile(QStringLiteral("tav.ini"), ini);
    capture_ = std::make_unique<CannedServer>();

    // Signed in at the real server, then the venue sign-in would go to the capturing one.
    ::frmTAV* signIn = signInOperator();
    Global::setServerAddress(capture_->url());
    platform_.clear();

    bool screenShownDuringMessage = true;
    platform_.onMessageBox([&](const QString&) {
      screenShownDuringMessage = Global::frm01().peek() && Global::frm01().peek()->isVisible();
    });
    pressOpen(signIn);
    platform_.onMessageBox({});

    QCOMPARE(platform_.messages(), QStringList{kNoPlaceCodeMessage});
    QVERIFY(!screenShownDuringMessage);
    QVERIFY(capture_->commands().isEmpty());  // no command was sent
    QVERIFY(!Global::frm01().isLoaded());
    QVERIFY(!Global::frmTAV().isLoaded());
    for (QWidget* w : QApplication::topLevelWidgets()) QVERIFY2(!w->isVisible(), qPrintable(w->objectName()));
    settle();
    QCOMPARE(platform_.endCount(), 1);
    QVERIFY(platform_.pictures().isEmpty());
  }

  void refusedVenueOpensWithoutVenueData_data() {
    QTest::addColumn<QString>("placeCode");
    QTest::newRow("unknown venue") << QStringLiteral("NOWHERE");
    QTest::newRow("venue without an active event") << QStringLiteral("EMPTY01");
  }

  void refusedVenueOpensWithoutVenueData() {
    QFETCH(QString, placeCode);
    install_->writeIni(placeCode);
    signInAndOpen();

    QCOMPARE(platform_.messages(), QStringList{kNoPlaceCodeMessage});
    ::frm01* screen = Global::frm01().peek();
    QVERIFY(screen && screen->isLoaded() && screen->isVisible());
    // The operator sign-in's values stay; the layout's empty captions and missing picture stay.
    QCOMPARE(g_BizCode, kBizCode);
    QCOMPARE(g_GoodsName, kEventName);
    QCOMPARE(caption(screen, QStringLiteral("txtBlock")), QString());
    QCOMPARE(caption(screen, QStringLiteral("lbl_GoodsNameInfo")), QString());
    QVERIFY(label(screen, QStringLiteral("btnSave"))->pixmap().isNull());
    QVERIFY(platform_.pictures().isEmpty());
    QCOMPARE(screen->focusWidget(), ticketBox(screen));
    settle();
    QCOMPARE(platform_.endCount(), 0);
  }

  void unreachableBackEndRaisesOutOfTheLoad() {
    Global::setServerAddress(CannedServer::unusedUrl());
    ::frm01* screen = Global::frm01().instance();
    QVERIFY_THROWS_EXCEPTION(tav::backend::BackendError, screen->load());
    QVERIFY(platform_.messages().isEmpty());  // reporting it is the opener's business
  }

  void unreachableBackEndThroughTheLauncher() {
    ::frmTAV* signIn = signInOperator();
    Global::setServerAddress(CannedServer::unusedUrl());
    platform_.clear();
    pressOpen(signIn);
    QCOMPARE(platform_.messages(), QStringList{QStringLiteral("서버에 연결할 수 없습니다")});
    QVERIFY(!Global::frm01().isLoaded());
    QVERIFY(signIn->isVisible());
    settle();
    QCOMPARE(platform_.endCount(), 0);
  }

  // The code as the INI holds it, what GetPlaceCode makes of it, and the command text that must
  // reach the back-end.
  void venueSignInCommand_data() {
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("command");
    const QString exec = QStringLiteral("Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo ");
    QTest::newRow("plain") << QByteArray("[Marovex]\r\nPlaceCode=JAMSIL01\r\n") << "JAMSIL01"
                           << exec + "'JAMSIL01'";
    QTest::newRow("quoted, other letter case")
        << QByteArray("[MAROVEX]\r\n placecode = \"JAMSIL01\" \r\n") << "JAMSIL01" << exec + "'JAMSIL01'";
    QTest::newRow("inner blanks kept") << QByteArray("[Marovex]\nPlaceCode=' A B '\n") << " A B "
                                       << exec + "' A B '";
    QTest::newRow("apostrophe doubled") << QByteArray("[Marovex]\r\nPlaceCode=O'NEIL\r\n") << "O'NEIL"
                                        << exec + "'O''NEIL'";
    QTest::newRow("Korean code from code page 949")
        << QByteArray("[Marovex]\r\nPlaceCode=\xC0\xE1\xBD\xC7" "01\r\n") << "잠실01" << exec + "'잠실01'";
    QTest::newRow("over 254 bytes cut")
        << QByteArray("[Marovex]\r\nPlaceCode=" + QByteArray(250, 'A') + "BCDEFGH\r\n")
        << QString(250, u'A') + "BCDE" << exec + "'" + QString(250, u'A') + "BCDE'";
  }

  void venueSignInCommand() {
    QFETCH(QByteArray, ini);
    QFETCH(QString, code);
    QFETCH(QString, command);
    install_->writeFile(QStringLiteral("tav.ini"), ini);
    capture_ = std::make_unique<CannedServer>();
    capture_->answerWith(signInAnswer(s("0"), s("EV9"), s("잠실"), s("이벤트")));
    Global::setServerAddress(capture_->url());

    ::frm01* screen = openCheckScreen();
    QCOMPARE(screen->GetPlaceCode(), code);
    QCOMPARE(capture_->commands(), QStringList{command});
    QCOMPARE(capture_->requestLines(), QStringList{QStringLiteral("POST /objects/Nuvrel.member/Query HTTP/1.1")});
  }

  // What the venue sign-in answers, and whether the station takes it as signed in.
  void venueSignInAnswer_data() {
    QTest::addColumn<wire::Recordset>("answer");
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<QString>("bizCode");
    QTest::addColumn<QString>("goodsName");
    QTest::newRow("0") << signInAnswer(s("0"), s("EV9"), s("잠실"), s("이벤트")) << true << "EV9" << "이벤트";
    QTest::newRow("-1 refused") << signInAnswer(s("-1"), s(""), s("잠실"), s("")) << false << "OPBIZ" << "운영자 이벤트";
    QTest::newRow("-1 with blanks refused") << signInAnswer(s("  -1 "), s("X"), s("잠실"), s("Y")) << false << "OPBIZ"
                                            << "운영자 이벤트";
    QTest::newRow("-1 as a number refused") << signInAnswer(std::int64_t{-1}, s("X"), s("잠실"), s("Y")) << false << "OPBIZ"
                                            << "운영자 이벤트";
    QTest::newRow("-2 signs in") << signInAnswer(s("-2"), s("EV9"), s("잠실"), s("이벤트")) << true << "EV9" << "이벤트";
    QTest::newRow("empty code signs in") << signInAnswer(s(""), s("EV9"), s("잠실"), s("이벤트")) << true << "EV9" << "이벤트";
    QTest::newRow("-1x signs in") << signInAnswer(s("-1x"), s("EV9"), s("잠실"), s("이벤트")) << true << "EV9" << "이벤트";
    QTest::newRow("blanks trimmed from the venue data")
        << signInAnswer(s("0"), s("  EV9 "), s("잠실"), s("  큰 경기  ")) << true << "EV9" << "큰 경기";
    QTest::newRow("no row refused") << noRows({"ErrCode", "bizcode", "GoodsName"}) << false << "OPBIZ"
                                    << "운영자 이벤트";
  }

  void venueSignInAnswer() {
    QFETCH(wire::Recordset, answer);
    QFETCH(bool, signedIn);
    QFETCH(QString, bizCode);
    QFETCH(QString, goodsName);
    capture_ = std::make_unique<CannedServer>();
    capture_->answerWith(answer);
    Global::setServerAddress(capture_->url());
    g_BizCode = QStringLiteral("OPBIZ");  // as the operator sign-in left them
    g_GoodsName = QStringLiteral("운영자 이벤트");

    ::frm01* screen = openCheckScreen();
    QVERIFY(screen->isLoaded());
    QCOMPARE(g_BizCode, bizCode);
    QCOMPARE(g_GoodsName, goodsName);
    QCOMPARE(platform_.messages(), signedIn ? QStringList() : QStringList{kNoPlaceCodeMessage});
    QCOMPARE(caption(screen, QStringLiteral("lbl_GoodsNameInfo")), signedIn ? goodsName : QString());
    QCOMPARE(caption(screen, QStringLiteral("txtBlock")), signedIn ? QStringLiteral("전체") : QString());
    QCOMPARE(platform_.pictures(), signedIn ? QStringList{kEntryPicture} : QStringList());
  }

  void nullInTheAnswerFailsTheLoad() {
    capture_ = std::make_unique<CannedServer>();
    capture_->answerWith(signInAnswer(s("0"), std::monostate{}, s("잠실"), s("이벤트")));
    Global::setServerAddress(capture_->url());
    ::frm01* screen = Global::frm01().instance();
    QVERIFY_THROWS_EXCEPTION(tav::backend::BackendError, screen->load());
  }

  void missingEntryPictureShowsTheBuiltInCopy() {
    install_->removeFile(QStringLiteral("btn3on.jpg"));
    ::frm01* screen = openCheckScreen();
    QCOMPARE(platform_.pictures(), QStringList{kEntryPicture});
    QCOMPARE(label(screen, QStringLiteral("btnSave"))->pixmap().size(), QSize(113, 57));
  }

  void getPlaceCodeReadsAfreshEachTime() {
    ::frm01* screen = openCheckScreen();
    QCOMPARE(screen->GetPlaceCode(), kPlace);
    install_->writeIni(QStringLiteral("잠실02"));
    QCOMPARE(screen->GetPlaceCode(), QStringLiteral("잠실02"));
    install_->removeFile(QStringLiteral("tav.ini"));
    QCOMPARE(screen->GetPlaceCode(), QString());
  }

  // Each control where the layout puts it, in pixels, with its font.
  void layout_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<qreal>("points");  // 0: no font of its own
    QTest::addColumn<bool>("bold");
    QTest::newRow("Command2") << "Command2" << QRect(960, 16, 48, 45) << 0.0 << false;
    QTest::newRow("btnMode") << "btnMode" << QRect(24, 152, 116, 58) << 0.0 << false;
    QTest::newRow("btnBlock") << "btnBlock" << QRect(152, 152, 114, 58) << 0.0 << false;
    QTest::newRow("txtBlock") << "txtBlock" << QRect(272, 160, 121, 49) << 30.0 << true;
    QTest::newRow("txtTicketNo") << "txtTicketNo" << QRect(520, 152, 249, 57) << 30.0 << false;
    QTest::newRow("btnSave") << "btnSave" << QRect(776, 152, 113, 57) << 0.0 << false;
    QTest::newRow("btnScore") << "btnScore" << QRect(904, 152, 91, 58) << 0.0 << false;
    QTest::newRow("lbl_BookingInfo") << "lbl_BookingInfo" << QRect(58, 256, 909, 80) << 60.0 << true;
    QTest::newRow("lbl_CustName") << "lbl_CustName" << QRect(208, 368, 761, 49) << 27.0 << false;
    QTest::newRow("lbl_TicketNo") << "lbl_TicketNo" << QRect(208, 416, 761, 41) << 27.0 << false;
    QTest::newRow("lbl_GoodsName") << "lbl_GoodsName" << QRect(208, 464, 761, 41) << 27.0 << false;
    QTest::newRow("lbl_PlayDate") << "lbl_PlayDate" << QRect(208, 504, 761, 49) << 27.0 << false;
    QTest::newRow("lbl_PlaceName") << "lbl_PlaceName" << QRect(208, 552, 761, 41) << 27.0 << false;
    QTest::newRow("lbl_SeatGradeName") << "lbl_SeatGradeName" << QRect(208, 592, 761, 49) << 24.75 << false;
    QTest::newRow("lbl_SeatInfo") << "lbl_SeatInfo" << QRect(208, 640, 761, 49) << 24.75 << false;
  }

  void layout() {
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(qreal, points);
    QFETCH(bool, bold);
    install_->writeIni(QStringLiteral("NOWHERE"));  // refused: the layout's own state stays
    ::frm01* screen = openCheckScreen();
    QWidget* w = screen->findChild<QWidget*>(name);
    QVERIFY(w);
    QCOMPARE(w->geometry(), geometry);
    if (points > 0) {
      QCOMPARE(w->font().pointSizeF(), points);
      QCOMPARE(w->font().bold(), bold);
      QCOMPARE(w->font().family(), QStringLiteral("Gulim"));
    }
  }

  void picturesAndTitle() {
    ::frm01* screen = openCheckScreen();
    QCOMPARE(screen->windowTitle(), QStringLiteral("Form2"));
    QCOMPARE(label(screen, QStringLiteral("Command2"))->pixmap().size(), QSize(48, 45));
    QCOMPARE(label(screen, QStringLiteral("btnMode"))->pixmap().size(), QSize(116, 58));
    QCOMPARE(label(screen, QStringLiteral("btnBlock"))->pixmap().size(), QSize(114, 58));
    QCOMPARE(label(screen, QStringLiteral("btnScore"))->pixmap().size(), QSize(91, 58));
    // The result line is red; the event title grows to its text from its stored left edge.
    QCOMPARE(label(screen, QStringLiteral("lbl_BookingInfo"))->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    QCOMPARE(label(screen, QStringLiteral("lbl_GoodsNameInfo"))->x(), 531);
    QVERIFY(label(screen, QStringLiteral("lbl_GoodsNameInfo"))->width() > 100);
    // The event title is drawn in a face that has Hangul.
    const QFontInfo shown(label(screen, QStringLiteral("lbl_GoodsNameInfo"))->font());
    QVERIFY2(shown.family().contains(QStringLiteral("Nanum")), qPrintable(shown.family()));
  }

  void onlyTheTicketBoxTakesTheFocus() {
    ::frm01* screen = openCheckScreen();
    QList<QWidget*> focusable;
    for (QWidget* w : screen->findChildren<QWidget*>())
      if (w->focusPolicy() != Qt::NoFocus) focusable << w;
    QCOMPARE(focusable, QList<QWidget*>{ticketBox(screen)});
    QCOMPARE(screen->focusPolicy(), Qt::NoFocus);
  }
};

QTEST_MAIN(tst_frm01_startup)
#include "tst_frm01_startup.moc"
