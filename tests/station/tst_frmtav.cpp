// The sign-in and launcher window driven as an operator would: typing, clicking, keys, against a
// real tav-server, with every message box and the end of the program seen through the platform.
#include <QGroupBox>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "app/Global.h"
#include "app/Startup.h"
#include "forms/common/ClickLabel.h"
#include "forms/frm01/frm01.h"
#include "forms/frmTAV/frmTAV.h"
#include "tests/support/StationFixture.h"

using tav::test::CannedServer;
using tav::test::PlatformEvent;
using tav::test::settle;

namespace {

const QString kPlace = QStringLiteral("JAMSIL");
const QString kVenue = QStringLiteral("잠실종합운동장");
const QString kBizCode = QStringLiteral("B2024");
const QString kGoods = QStringLiteral("가을 야구 결승");
const QString kOperator = QStringLiteral("gate01");
const QString kPassword = QStringLiteral("s3cret-pw");

const QByteArray kRetryBytes = "▶ 입력한 정보를 확인하시고 \r     다시 로그인해주세요";
const QString kSignInFailed = QStringLiteral("시스템의 문제로 인해 로그인을 하지 못했습니다");

// A 200 answer to the operator sign-in with one row.
QByteArray signInRow(const char* code, const char* bizCode, const char* theater, const char* goods) {
  return CannedServer::ok(tav::test::signInAnswer(code, bizCode, theater, goods));
}

}  // namespace

class TestFrmTAV : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

  void layout_data();
  void layout();
  void focusOrder();

  void signIn();
  void answers_data();
  void answers();
  void refusal_data();
  void refusal();
  void refusalAfterSuccessKeepsStation();
  void emptyFields_data();
  void emptyFields();
  void blanksAreSent();
  void enterInTextBoxDoesNotSignIn();
  void keysOnButtonSignIn_data();
  void keysOnButtonSignIn();
  void retryTextShowsItsTwoLines();
  void signInWithoutTheServer_data();
  void signInWithoutTheServer();

  void openBeforeSignIn();
  void closeEndsWithoutCheckScreen();
  void closeBoxEndsProgram();
  void openCoversPrimaryDisplay_data();
  void openCoversPrimaryDisplay();
  void startUpWithoutVenueEndsProgram();
  void serverUnreachableAtStartUp();

 private:
  template <class T>
  T* control(const char* name) {
    T* c = window_->findChild<T*>(QString::fromLatin1(name));
    if (!c) qFatal("frmTAV has no control %s", name);
    return c;
  }
  QLineEdit* txtID() { return control<QLineEdit>("txtID"); }
  QLineEdit* txtPass() { return control<QLineEdit>("txtPass"); }
  QPushButton* btnLogin() { return control<QPushButton>("btnLogin"); }
  QString status() { return control<tav::ClickLabel>("lbl_LoginInfo")->caption(); }
  void type(const QString& id, const QString& password) {
    QTest::keyClicks(txtID(), id);
    QTest::keyClicks(txtPass(), password);
  }
  void signInAs(const QString& id, const QString& password) {
    type(id, password);
    QTest::mouseClick(btnLogin(), Qt::LeftButton);
  }
  void restartServer() {
    server_->start();
    Global::setServerAddress(server_->url());
  }

  std::unique_ptr<tav::test::TestServer> server_;
  std::unique_ptr<tav::test::InstallFolder> folder_;
  std::unique_ptr<tav::test::RecordingPlatform> rec_;
  QPointer<frmTAV> window_;
};

void TestFrmTAV::initTestCase() {
  tav::prepareApplication();
  server_ = std::make_unique<tav::test::TestServer>();
  server_->addVenue(kPlace, kVenue);
  server_->addEvent(kPlace, kBizCode, kGoods, "202410051830");
  server_->addOperator(kOperator, kPassword, kPlace);
  // One operator per refusal case, so that the lock after repeated failures never interferes.
  for (const char* id : {"gate02", "gate03", "gate04", "gate05"})
    server_->addOperator(id, kPassword, kPlace);
  restartServer();
  folder_ = std::make_unique<tav::test::InstallFolder>(kPlace);
}

void TestFrmTAV::init() {
  rec_ = std::make_unique<tav::test::RecordingPlatform>();
  // As the station starts: the sign-in window shown through its reference.
  window_ = Global::frmTAV().operator->();
  window_->show();
  QVERIFY(QTest::qWaitForWindowExposed(window_));
}

void TestFrmTAV::cleanup() {
  tav::test::resetStation(*rec_);
  QCOMPARE(tav::Form::loadedCount(), 0);
  rec_.reset();
  folder_->writeIni(kPlace);
  Global::setServerAddress(server_->url());
}

void TestFrmTAV::layout_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("kind");
  QTest::addColumn<QRect>("geometry");
  QTest::addColumn<QString>("caption");
  QTest::addColumn<double>("points");  // 0: the window's standard font
  QTest::addColumn<bool>("bold");
  // Twips / 15 = pixels.
  QTest::newRow("Label1") << "Label1"
                          << "tav::ClickLabel" << QRect(32, 24, 177, 33) << "Marovex TAV" << 15.75
                          << true;
  QTest::newRow("lblID") << "lblID"
                         << "tav::ClickLabel" << QRect(32, 104, 25, 17) << "ID" << 9.0 << true;
  QTest::newRow("txtID") << "txtID"
                         << "QLineEdit" << QRect(72, 104, 105, 18) << "" << 0.0 << false;
  QTest::newRow("txtPass") << "txtPass"
                           << "QLineEdit" << QRect(72, 128, 105, 18) << "" << 0.0 << false;
  QTest::newRow("lblPWD") << "lblPWD"
                          << "tav::ClickLabel" << QRect(32, 136, 33, 17) << "PWD" << 9.0 << true;
  QTest::newRow("btnLogin") << "btnLogin"
                            << "QPushButton" << QRect(208, 128, 65, 17) << "로그인" << 0.0 << false;
  QTest::newRow("lbl_LoginInfo") << "lbl_LoginInfo"
                                 << "tav::ClickLabel" << QRect(40, 168, 241, 25) << "" << 9.0
                                 << true;
  QTest::newRow("Frame1") << "Frame1"
                          << "QGroupBox" << QRect(32, 208, 257, 81) << "TAV 화면 디스플레이" << 0.0
                          << false;
  QTest::newRow("btnTAVOpen") << "btnTAVOpen"
                              << "QPushButton" << QRect(48, 232, 89, 41) << "TAV OPEN" << 0.0
                              << false;
  QTest::newRow("btnTAVClose") << "btnTAVClose"
                               << "QPushButton" << QRect(176, 232, 89, 41) << "TAV CLOSE" << 0.0
                               << false;
  QTest::newRow("Label2") << "Label2"
                          << "tav::ClickLabel" << QRect(32, 312, 265, 25)
                          << "TAV화면을 닫으려면 Ctrl + Alt + F7을 눌러주세요" << 9.0 << true;
}

void TestFrmTAV::layout() {
  QFETCH(QString, name);
  QFETCH(QString, kind);
  QFETCH(QRect, geometry);
  QFETCH(QString, caption);
  QFETCH(double, points);
  QFETCH(bool, bold);

  QCOMPARE(window_->windowTitle(), QStringLiteral("Marovex TAV"));
  QCOMPARE(window_->size(), QSize(320, 362));

  auto* w = window_->findChild<QWidget*>(name);
  QVERIFY(w);
  QCOMPARE(QString::fromLatin1(w->metaObject()->className()), kind);
  QCOMPARE(w->parentWidget(), window_.data());  // every control lies directly on the window
  QCOMPARE(w->geometry(), geometry);
  if (auto* label = qobject_cast<QLabel*>(w)) QCOMPARE(label->text(), caption);
  if (auto* edit = qobject_cast<QLineEdit*>(w)) QCOMPARE(edit->text(), caption);
  if (auto* button = qobject_cast<QPushButton*>(w)) {
    QCOMPARE(button->text(), caption);
    QVERIFY(!button->autoDefault());
    QVERIFY(!button->isDefault());
  }
  if (auto* frame = qobject_cast<QGroupBox*>(w)) QCOMPARE(frame->title(), caption);
  if (points > 0) {
    QCOMPARE(w->font().family(), QStringLiteral("Gulim"));
    QCOMPARE(w->font().pointSizeF(), points);
    QCOMPARE(w->font().bold(), bold);
  }
  QCOMPARE(txtPass()->echoMode(), QLineEdit::Password);
}

void TestFrmTAV::focusOrder() {
  window_->activateWindow();
  QTRY_COMPARE(QApplication::focusWidget(), txtID());
  const QStringList expected = {"txtPass", "btnTAVOpen", "btnTAVClose", "btnLogin", "txtID"};
  QStringList seen;
  for (int i = 0; i < expected.size(); ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    seen << QApplication::focusWidget()->objectName();
  }
  QCOMPARE(seen, expected);
}

void TestFrmTAV::signIn() {
  signInAs(kOperator, kPassword);
  QCOMPARE(status(), kVenue + QStringLiteral("에서 로그인 되었습니다"));
  QCOMPARE(g_BizCode, kBizCode);
  QCOMPARE(g_GoodsName, kGoods);
  QCOMPARE(g_AdminID, kOperator);
  QCOMPARE(g_ServerUrl, server_->url());
  // The typed texts stay; nothing else happened.
  QCOMPARE(txtID()->text(), kOperator);
  QVERIFY(rec_->events().isEmpty());
  QVERIFY(window_->isVisible());
}

void TestFrmTAV::answers_data() {
  QTest::addColumn<QString>("id");
  QTest::addColumn<QByteArray>("answer");
  QTest::addColumn<QString>("shown");  // status line; empty with the failure exit
  QTest::addColumn<QString>("bizCode");
  QTest::addColumn<bool>("failureExit");
  const QString retry = QString::fromUtf8(kRetryBytes);
  const QByteArray fields =
      R"({"fields":["ErrCode","ErrMsg","bizcode","TheaterName","GoodsName"],)";

  QTest::newRow("-2 signs in") << kOperator << signInRow("-2", "B9", "경기장", "G")
                               << "경기장에서 로그인 되었습니다"
                               << "B9" << false;
  QTest::newRow("-3 signs in") << kOperator << signInRow("-3", "B9", "경기장", "G")
                               << "경기장에서 로그인 되었습니다"
                               << "B9" << false;
  QTest::newRow("-1 followed by a letter signs in")
      << kOperator << signInRow("-1a", "B9", "경기장", "G")
      << "경기장에서 로그인 되었습니다"
      << "B9" << false;
  QTest::newRow("-1 with blanks refuses")
      << kOperator << signInRow("  -1 ", "B9", "경기장", "G") << retry << "" << false;
  QTest::newRow("no row refuses") << kOperator << CannedServer::ok(fields + R"("rows":[]})")
                                  << retry << "" << false;
  QTest::newRow("values trimmed of blanks only")
      << kOperator << signInRow("0", "  B9  ", "  경기장 ", " G ")
      << "경기장에서 로그인 되었습니다"
      << "B9" << false;
  QTest::newRow("empty venue name")
      << kOperator << signInRow("0", "B9", "", "G") << "에서 로그인 되었습니다"
      << "B9" << false;
  QTest::newRow("ID with blanks stored as typed")
      << " gate01 " << signInRow("0", "B9", "경기장", "G")
      << "경기장에서 로그인 되었습니다"
      << "B9" << false;
  QTest::newRow("only the first row read")
      << kOperator
      << CannedServer::ok(fields +
                          R"("rows":[["0","","B1","첫째","G"],["-1","","B2","둘째","G"]]})")
      << "첫째에서 로그인 되었습니다"
      << "B1" << false;
  QTest::newRow("blank business code")
      << kOperator << signInRow("0", "   ", "경기장", "G") << ""
      << "" << true;
  QTest::newRow("business code null")
      << kOperator << CannedServer::ok(fields + R"("rows":[["0","",null,"경기장","G"]]})") << ""
      << "" << true;
  QTest::newRow("event name missing")
      << kOperator
      << CannedServer::ok(
             R"({"fields":["ErrCode","bizcode","TheaterName"],"rows":[["0","B9","V"]]})")
      << ""
      << "" << true;
  QTest::newRow("not a recordset") << kOperator << CannedServer::ok("[]") << ""
                                   << "" << true;
  QTest::newRow("500") << kOperator
                       << QByteArray("HTTP/1.1 500 X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n") << ""
                       << "" << true;
}

void TestFrmTAV::answers() {
  QFETCH(QString, id);
  QFETCH(QByteArray, answer);
  QFETCH(QString, shown);
  QFETCH(QString, bizCode);
  QFETCH(bool, failureExit);
  CannedServer backEnd(answer);
  Global::setServerAddress(backEnd.url());
  signInAs(id, kPassword);
  QCOMPARE(backEnd.requestCount(), 1);

  if (failureExit) {
    QCOMPARE(rec_->messages(), QStringList{kSignInFailed});
    QVERIFY(!window_->isLoaded());
    settle();
    QCOMPARE(rec_->endCount(), 1);
    return;
  }
  QVERIFY(rec_->events().isEmpty());
  QCOMPARE(status(), shown);
  QCOMPARE(g_BizCode, bizCode);
  if (bizCode.isEmpty()) {
    QVERIFY(g_AdminID.isEmpty());
    QCOMPARE(txtID()->text(), QString());
  } else {
    QCOMPARE(g_AdminID, id);  // not trimmed
    QCOMPARE(g_GoodsName, QStringLiteral("G"));
  }
}

void TestFrmTAV::refusal_data() {
  QTest::addColumn<QString>("id");
  QTest::addColumn<QString>("password");
  QTest::newRow("wrong password") << "gate03"
                                  << "wrong";
  QTest::newRow("unknown operator") << "nobody" << kPassword;
  QTest::newRow("apostrophes") << "gate04' --"
                               << "' OR '1'='1";
  QTest::newRow("blanks around the ID") << " gate05 " << kPassword;
}

void TestFrmTAV::refusal() {
  QFETCH(QString, id);
  QFETCH(QString, password);
  type(id, password);
  txtPass()->setFocus();
  btnLogin()->click();  // pressed without taking the focus

  QCOMPARE(status().toUtf8(), kRetryBytes);
  QCOMPARE(txtID()->text(), QString());
  QCOMPARE(txtPass()->text(), QString());
  QVERIFY(g_BizCode.isEmpty());
  QVERIFY(g_AdminID.isEmpty());
  QVERIFY(g_GoodsName.isEmpty());
  QVERIFY(rec_->events().isEmpty());
  // A refusal does not move the focus.
  QCOMPARE(window_->focusWidget(), txtPass());
}

void TestFrmTAV::refusalAfterSuccessKeepsStation() {
  signInAs(kOperator, kPassword);
  QCOMPARE(g_BizCode, kBizCode);
  txtID()->clear();
  txtPass()->clear();
  signInAs(kOperator, QStringLiteral("wrong"));
  QCOMPARE(status().toUtf8(), kRetryBytes);
  QCOMPARE(g_BizCode, kBizCode);
  QCOMPARE(g_AdminID, kOperator);
  QCOMPARE(g_GoodsName, kGoods);

  // Still signed in: TAV OPEN opens the check screen.
  QTest::mouseClick(control<QPushButton>("btnTAVOpen"), Qt::LeftButton);
  QVERIFY(Global::frm01().isLoaded());
  QVERIFY(Global::frm01().peek()->isVisible());
  QVERIFY(!window_->isVisible());
  QVERIFY(window_->isLoaded());
}

void TestFrmTAV::emptyFields_data() {
  QTest::addColumn<QString>("id");
  QTest::addColumn<QString>("password");
  QTest::newRow("no password") << kOperator << "";
  QTest::newRow("no ID") << "" << kPassword;
  QTest::newRow("neither") << ""
                           << "";
}

void TestFrmTAV::emptyFields() {
  QFETCH(QString, id);
  QFETCH(QString, password);
  CannedServer backEnd(signInRow("0", "B9", "V", "G"));
  Global::setServerAddress(backEnd.url());
  signInAs(id, password);
  QCOMPARE(backEnd.requestCount(), 0);
  QCOMPARE(status(), QStringLiteral("▶ 로그인 정보를 입력하세요"));
  QCOMPARE(txtID()->text(), id);
  QCOMPARE(txtPass()->text(), password);
  QVERIFY(rec_->events().isEmpty());
  QVERIFY(g_BizCode.isEmpty());
  settle();
  QVERIFY(window_->isLoaded());
}

void TestFrmTAV::blanksAreSent() {
  // Blanks are not empty: the command goes out with them.
  CannedServer backEnd(signInRow("-1", "", "", ""));
  Global::setServerAddress(backEnd.url());
  signInAs(QStringLiteral("   "), QStringLiteral(" "));
  QCOMPARE(backEnd.requestCount(), 1);
  QVERIFY(backEnd.lastRequest().endsWith("Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo '   ',' '"));
  QCOMPARE(status().toUtf8(), kRetryBytes);
}

void TestFrmTAV::enterInTextBoxDoesNotSignIn() {
  type(kOperator, kPassword);
  QTest::keyClick(txtID(), Qt::Key_Return);
  QTest::keyClick(txtPass(), Qt::Key_Return);
  QTest::keyClick(txtPass(), Qt::Key_Enter);
  QCOMPARE(status(), QString());
  QVERIFY(g_BizCode.isEmpty());
  QVERIFY(rec_->events().isEmpty());
}

void TestFrmTAV::keysOnButtonSignIn_data() {
  QTest::addColumn<int>("key");
  QTest::addColumn<int>("modifiers");
  QTest::newRow("Enter") << int(Qt::Key_Return) << int(Qt::NoModifier);
  // A keypad key arrives with the keypad flag set.
  QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
  QTest::newRow("space") << int(Qt::Key_Space) << int(Qt::NoModifier);
}

void TestFrmTAV::keysOnButtonSignIn() {
  QFETCH(int, key);
  QFETCH(int, modifiers);
  type(kOperator, kPassword);
  window_->activateWindow();
  btnLogin()->setFocus();
  QTRY_COMPARE(QApplication::focusWidget(), btnLogin());
  QTest::keyClick(btnLogin(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
  QCOMPARE(g_BizCode, kBizCode);
  QCOMPARE(status(), kVenue + QStringLiteral("에서 로그인 되었습니다"));
}

// The refusal's text has two lines: each must fit the label's width, both its height, and the
// label must still end above the frame under it.
void TestFrmTAV::retryTextShowsItsTwoLines() {
  auto* info = control<tav::ClickLabel>("lbl_LoginInfo");
  const QRect layout = info->geometry();
  signInAs(QStringLiteral("gate02"), QStringLiteral("wrong"));
  QCOMPARE(status().toUtf8(), kRetryBytes);

  const QStringList lines = info->text().split(u'\n');
  QCOMPARE(lines.size(), 2);
  const QFontMetrics metrics(info->font());
  for (const QString& line : lines)
    QVERIFY2(metrics.horizontalAdvance(line) <= info->width(), qPrintable(line));
  QVERIFY(metrics.boundingRect(info->rect(), int(info->alignment()), info->text()).height() <= info->height());
  QCOMPARE(info->pos(), layout.topLeft());
  QCOMPARE(info->width(), layout.width());
  QVERIFY(info->geometry().bottom() < control<QGroupBox>("Frame1")->geometry().top());

  // The next sign-in's one-line message gives the label back its layout height.
  signInAs(kOperator, kPassword);
  QCOMPARE(info->geometry(), layout);
}

// A back-end out of reach, or one whose certificate the station cannot trust, is said on the
// status line in one line; the station stays up and signs in once the back-end is there.
void TestFrmTAV::signInWithoutTheServer_data() {
  QTest::addColumn<QString>("backEnd");
  QTest::addColumn<QString>("shown");
  const QString unreachable = QStringLiteral("서버에 연결할 수 없습니다");
  QTest::newRow("server stopped") << "stopped" << unreachable;
  QTest::newRow("503 from the server or a proxy") << "503" << unreachable;
  QTest::newRow("certificate not trusted") << "untrusted" << QStringLiteral("서버 인증서를 확인할 수 없습니다");
}

void TestFrmTAV::signInWithoutTheServer() {
  QFETCH(QString, backEnd);
  QFETCH(QString, shown);
  CannedServer busy;
  busy.answerStatus(503, R"({"error":"The server is busy."})");
  std::unique_ptr<tav::test::TestServer> tls;
  QTemporaryDir certs;
  if (backEnd == u"stopped") {
    server_->stop();
  } else if (backEnd == u"503") {
    Global::setServerAddress(busy.url());
  } else {
    // A certificate from a CA of its own that no ca.pem in the install folder vouches for.
    QProcess init;
    init.start(QStringLiteral(TAV_SERVER_BIN), {"tls-init", "--dir", certs.path(), "--host", "127.0.0.1"});
    QVERIFY(init.waitForFinished(60000) && init.exitCode() == 0);
    tls = std::make_unique<tav::test::TestServer>();
    tls->startTls(certs.filePath("server.pem"), certs.filePath("server-key.pem"));
    Global::setServerAddress(tls->url());
  }
  signInAs(kOperator, kPassword);
  restartServer();

  QCOMPARE(status(), shown);
  const auto* line = control<tav::ClickLabel>("lbl_LoginInfo");
  QVERIFY(QFontMetrics(line->font()).horizontalAdvance(shown) <= line->width());
  QVERIFY(rec_->events().isEmpty());
  QVERIFY(g_BizCode.isEmpty());
  QVERIFY(window_->isLoaded() && window_->isVisible());
  settle();
  QCOMPARE(rec_->endCount(), 0);

  // The typed details are still there: the next press signs in.
  QTest::mouseClick(btnLogin(), Qt::LeftButton);
  QCOMPARE(status(), kVenue + QStringLiteral("에서 로그인 되었습니다"));
  QCOMPARE(g_BizCode, kBizCode);
}

void TestFrmTAV::openBeforeSignIn() {
  QTest::mouseClick(control<QPushButton>("btnTAVOpen"), Qt::LeftButton);
  QCOMPARE(rec_->messages(), QStringList{QStringLiteral("로그인 후에 TAV 화면을 열어주세요")});
  QVERIFY(!Global::frm01().exists());
  QVERIFY(window_->isVisible());
  settle();
  QCOMPARE(rec_->endCount(), 0);
}

void TestFrmTAV::closeEndsWithoutCheckScreen() {
  signInAs(kOperator, kPassword);
  QTest::mouseClick(control<QPushButton>("btnTAVClose"), Qt::LeftButton);
  QVERIFY(!Global::frmTAV().exists());
  QVERIFY(!Global::frm01().exists());
  settle();
  // No check-screen start-up: no venue sign-in, no picture loaded, no message.
  QCOMPARE(rec_->events(), (QList<PlatformEvent>{{PlatformEvent::EndProgram, {}}}));
  QVERIFY(window_.isNull());
}

void TestFrmTAV::closeBoxEndsProgram() {
  QVERIFY(window_->close());
  QVERIFY(!window_->isLoaded());
  settle();
  QCOMPARE(rec_->endCount(), 1);
  QVERIFY(!Global::frmTAV().exists());
}

void TestFrmTAV::openCoversPrimaryDisplay_data() {
  QTest::addColumn<int>("monitors");
  QTest::addColumn<QRect>("display");
  QTest::newRow("one monitor") << 1 << QRect(0, 0, 1024, 768);
  QTest::newRow("two monitors") << 2 << QRect(0, 0, 1920, 1080);
  QTest::newRow("no monitor counted") << 0 << QRect(0, 0, 1280, 1024);
  QTest::newRow("error count") << -1 << QRect(0, 0, 1366, 768);
  QTest::newRow("primary right of another") << 2 << QRect(1920, 0, 1280, 1024);
  QTest::newRow("primary left of and above another") << 2 << QRect(-1024, -200, 1024, 768);
}

void TestFrmTAV::openCoversPrimaryDisplay() {
  QFETCH(int, monitors);
  QFETCH(QRect, display);
  rec_->setMonitorCount(monitors);
  rec_->setPrimaryScreen(display);
  signInAs(kOperator, kPassword);
  QTest::mouseClick(control<QPushButton>("btnTAVOpen"), Qt::LeftButton);

  frm01* screen = Global::frm01().peek();
  QVERIFY(screen);
  QVERIFY(screen->isLoaded());
  QVERIFY(screen->isVisible());
  QCOMPARE(screen->size(), display.size());
  QCOMPARE(screen->pos(), display.topLeft());
  QCOMPARE(screen->parentWidget(), nullptr);  // no owner
  QVERIFY(!window_->isVisible());
  QVERIFY(window_->isLoaded());
  QVERIFY(rec_->messages().isEmpty());
  settle();
  QCOMPARE(rec_->endCount(), 0);
}

void TestFrmTAV::startUpWithoutVenueEndsProgram() {
  signInAs(kOperator, kPassword);
  folder_->removeFile("tav.ini");
  QTest::mouseClick(control<QPushButton>("btnTAVOpen"), Qt::LeftButton);

  // The start-up closed the station: the opening stops there.
  QCOMPARE(rec_->messages().size(), 1);
  QVERIFY(!Global::frm01().exists());
  QVERIFY(!Global::frmTAV().exists());
  QVERIFY(!window_->isLoaded());
  settle();
  QCOMPARE(rec_->endCount(), 1);
  QCOMPARE(rec_->events().last().kind, PlatformEvent::EndProgram);
}

void TestFrmTAV::serverUnreachableAtStartUp() {
  signInAs(kOperator, kPassword);
  server_->stop();
  QPushButton* open = control<QPushButton>("btnTAVOpen");
  QTest::mouseClick(open, Qt::LeftButton);

  QCOMPARE(rec_->messages(), QStringList{QStringLiteral("서버에 연결할 수 없습니다")});
  QVERIFY(!Global::frm01().exists());
  QVERIFY(window_->isLoaded());
  QVERIFY(window_->isVisible());
  settle();
  QCOMPARE(rec_->endCount(), 0);
  QCOMPARE(tav::Form::loadedCount(), 1);

  // Once the back-end is back, TAV OPEN works.
  restartServer();
  QTest::mouseClick(open, Qt::LeftButton);
  QVERIFY(Global::frm01().isLoaded());
  QVERIFY(Global::frm01().peek()->isVisible());
  QVERIFY(!window_->isVisible());
}

QTEST_MAIN(TestFrmTAV)
#include "tst_frmtav.moc"
