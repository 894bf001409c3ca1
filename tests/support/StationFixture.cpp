// The shared state and helpers of the station's window tests.
#include "tests/support/StationFixture.h"

#include "assets/pictures.h"
#include "backend/idempotency.h"
#include "platform/pathmap.h"

namespace tav::test {

const QStringList& detailLabels() {
  static const QStringList names = {QStringLiteral("lbl_CustName"),      QStringLiteral("lbl_TicketNo"),
                                    QStringLiteral("lbl_GoodsName"),     QStringLiteral("lbl_PlayDate"),
                                    QStringLiteral("lbl_PlaceName"),     QStringLiteral("lbl_SeatGradeName"),
                                    QStringLiteral("lbl_SeatInfo")};
  return names;
}

void makeVenue(TestServer& server, const QString& csvRows) {
  server.addVenue(kPlace, kVenueName);
  server.addEvent(kPlace, kBizCode, kEventName, QStringLiteral("202405161830"));
  server.addOperator(kOperator, kPassword, kPlace);
  server.addVenue(QStringLiteral("EMPTY01"), QStringLiteral("빈 경기장"));
  if (!csvRows.isEmpty()) server.importTickets(kBizCode, csvRows);
}

wire::Recordset admittedAnswer() {
  return bookingAnswer({s("0"), s("입장 확인"), s("c"), s("t"), s("g"), s("202405161830"), s("p"), s("s"), s("i")});
}

QLineEdit* ticketBox(QWidget* screen) { return screen->findChild<QLineEdit*>(QStringLiteral("txtTicketNo")); }

ClickLabel* label(QWidget* window, const QString& name) { return window->findChild<ClickLabel*>(name); }

QString caption(QWidget* window, const QString& name) {
  ClickLabel* l = label(window, name);
  return l ? l->caption() : QStringLiteral("<no %1>").arg(name);
}

QStringList details(QWidget* screen) {
  QStringList out;
  for (const QString& n : detailLabels()) out << caption(screen, n);
  return out;
}

void scan(QWidget* screen, const QString& number, Qt::KeyboardModifiers mods, Qt::Key enter) {
  QLineEdit* box = ticketBox(screen);
  bool ascii = true;
  for (QChar c : number) ascii = ascii && c.unicode() < 0x80;
  // Qt Test types ASCII only; other text arrives as an input method would commit it.
  if (ascii)
    QTest::keyClicks(box, number);
  else
    box->insert(number);
  QTest::keyClick(box, enter, mods);
}

void click(QWidget* window, const QString& name) {
  QWidget* w = label(window, name);
  if (!w) qFatal("no control %s", qPrintable(name));
  QTest::mouseClick(w, Qt::LeftButton);
}

void clickAt(QWidget* window, QPoint pos) {
  QWidget* target = window->childAt(pos);
  if (!target) target = window;
  QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier, target->mapFrom(window, pos));
}

void settle() {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void resetStation(RecordingPlatform& platform) {
  Global::Form2Unload();
  Global::Form3Unload();
  Global::Form1Unload();
  settle();
  g_BizCode.clear();
  g_AdminID.clear();
  g_GoodsName.clear();
  g_GateMode.clear();
  g_ServerUrl.clear();
  tav::backend::unansweredChecks().clear();
  platform.clear();
}

::frm01* openCheckScreen() {
  ::frm01* screen = &*Global::frm01();
  if (screen->isLoaded()) {
    screen->show();
    screen->activateWindow();
    if (!QTest::qWaitForWindowActive(screen)) qWarning("the check screen did not become active");
  }
  return screen;
}

::frmTAV* signInOperator() {
  ::frmTAV* signIn = &*Global::frmTAV();
  signIn->show();
  signIn->findChild<QLineEdit*>(QStringLiteral("txtID"))->setText(kOperator);
  signIn->findChild<QLineEdit*>(QStringLiteral("txtPass"))->setText(kPassword);
  signIn->findChild<QPushButton*>(QStringLiteral("btnLogin"))->click();
  return signIn;
}

void pressOpen(::frmTAV* signIn) { signIn->findChild<QPushButton*>(QStringLiteral("btnTAVOpen"))->click(); }

QImage asRgb(const QPixmap& picture) { return picture.toImage().convertToFormat(QImage::Format_RGB32); }

QImage installFile(const QString& name) {
  return QImage(mapPath(QStringLiteral("C:\\ORLTAV\\") + name)).convertToFormat(QImage::Format_RGB32);
}

QImage builtIn(const QString& name) { return assets::picture(name).convertToFormat(QImage::Format_RGB32); }

// ---- StationFixture ----

void StationFixture::startServer(const char* tickets) {
  server_ = std::make_unique<TestServer>();
  makeVenue(*server_, QString::fromUtf8(tickets));
  server_->start();
}

void StationFixture::initStation() {
  install_ = std::make_unique<InstallFolder>(kPlace);
  if (server_) Global::setServerAddress(server_->url());
}

void StationFixture::cleanupStation() {
  platform_.onMessageBox({});
  platform_.onPicture({});
  resetStation(platform_);
  screen_ = nullptr;
  capture_.reset();
  install_.reset();
}

void StationFixture::openScreen(const QString& url, bool venueSignedIn) {
  g_AdminID = kOperator;
  Global::setServerAddress(url);
  screen_ = openCheckScreen();
  QVERIFY(screen_->isLoaded());
  if (venueSignedIn) {
    QCOMPARE(g_BizCode, kBizCode);
    QCOMPARE(caption(screen_, QStringLiteral("txtBlock")), QStringLiteral("전체"));
  }
  if (capture_) capture_->reset();
  platform_.clear();
}

void StationFixture::openWithCapture(bool venueSignedIn) {
  capture_ = std::make_unique<CannedServer>();
  capture_->answerWith(venueSignedIn ? signInAnswer(s("0"), kBizCode.toStdString(), kVenueName.toStdString(),
                                                    kEventName.toStdString())
                                     : signInAnswer(s("-1"), s(""), s(""), s("")));
  openScreen(capture_->url(), venueSignedIn);
}

void StationFixture::signInAndOpen() {
  ::frmTAV* signIn = signInOperator();
  QCOMPARE(g_BizCode, kBizCode);
  platform_.clear();
  pressOpen(signIn);
  screen_ = Global::frm01().peek();
  QVERIFY(screen_ && screen_->isLoaded() && screen_->isVisible());
  QVERIFY(!signIn->isVisible());
}

}  // namespace tav::test
