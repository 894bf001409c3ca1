// Module Global and the platform layer: window references, closing routines, the end rule,
// CutAtNull, path mapping, display metrics and the Qt platform's message box and pictures.
#include <QGuiApplication>
#include <QAbstractButton>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QtTest>
#include <stdexcept>

#include "app/Global.h"
#include "platform/qt/QtPlatform.h"
#include "app/Startup.h"
#include "forms/common/cMontionInfo.h"
#include "assets/pictures.h"
#include "forms/frm01/frm01.h"
#include "forms/frm02/frm02.h"
#include "forms/frm03/frm03.h"
#include "forms/frmTAV/frmTAV.h"
#include "platform/pathmap.h"
#include "tests/support/StationFixture.h"

using tav::test::PlatformEvent;
using tav::test::settle;

namespace {

// A window whose start-up fails, to show that it can still be unloaded.
class FailingForm : public tav::Form {
 protected:
  void Form_Load() override { throw std::runtime_error("start-up failed"); }
};

}  // namespace

class TestGlobal : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();

  void referenceCreatesThenLoads();
  void closingRoutinesClearReferences();
  void form1UnloadDoesNotLoadCheckScreen();
  void endRuleWaitsForLastWindow();
  void endRuleWaitsForHandler();
  void windowLoadedAgainKeepsProgram();
  void closeBoxUnloadsAndClears();
  void failingLoadCanBeUnloaded();

  void cutAtNull_data();
  void cutAtNull();
  void mapPath_data();
  void mapPath();

  void displayMetrics();
  void qtMessageBox();
  void qtPictures();
  void qtProfileString();

 private:
  std::unique_ptr<tav::test::RecordingPlatform> rec_;
};

void TestGlobal::initTestCase() { tav::prepareApplication(); }

void TestGlobal::init() { rec_ = std::make_unique<tav::test::RecordingPlatform>(); }

void TestGlobal::cleanup() {
  tav::test::resetStation(*rec_);
  QCOMPARE(tav::Form::loadedCount(), 0);
  rec_.reset();
}

void TestGlobal::referenceCreatesThenLoads() {
  auto& ref = Global::frm03();
  QVERIFY(!ref.exists());
  frm03* created = ref.instance();
  QVERIFY(ref.exists());
  QVERIFY(!created->isLoaded());
  QCOMPARE(tav::Form::loadedCount(), 0);

  // Use of the window loads it; every use names the same instance.
  QCOMPARE(Global::frm03().operator->(), created);
  QVERIFY(created->isLoaded());
  QCOMPARE(tav::Form::loadedCount(), 1);
  QCOMPARE(Global::frm03().operator->(), created);
  QCOMPARE(tav::Form::loadedCount(), 1);
}

void TestGlobal::closingRoutinesClearReferences() {
  QPointer<frm02> dialog = Global::frm02().operator->();
  QPointer<frm03> stats = Global::frm03().operator->();
  QCOMPARE(tav::Form::loadedCount(), 2);

  Global::Form2Unload();
  QVERIFY(!dialog->isLoaded());
  QVERIFY(!Global::frm02().exists());
  QVERIFY(stats->isLoaded());

  Global::Form3Unload();
  QVERIFY(!Global::frm03().exists());
  settle();
  QVERIFY(dialog.isNull());
  QVERIFY(stats.isNull());

  // After its reference was cleared, a window is created afresh.
  frm02* again = Global::frm02().operator->();
  QVERIFY(again);
  QVERIFY(again->isLoaded());
}

void TestGlobal::form1UnloadDoesNotLoadCheckScreen() {
  QPointer<frmTAV> signIn = Global::frmTAV().operator->();
  signIn->show();
  QVERIFY(!Global::frm01().exists());

  Global::Form1Unload();
  QVERIFY(!signIn->isVisible());
  QVERIFY(!Global::frm01().exists());
  QVERIFY(!Global::frmTAV().exists());
  settle();
  QVERIFY(signIn.isNull());
  // The check screen's start-up (venue sign-in, pictures) never ran.
  QVERIFY(rec_->pictures().isEmpty());
  QVERIFY(rec_->messages().isEmpty());
  QCOMPARE(rec_->events(), (QList<PlatformEvent>{{PlatformEvent::EndProgram, {}}}));
}

void TestGlobal::endRuleWaitsForLastWindow() {
  Global::frmTAV()->show();
  Global::frm03()->show();
  Global::Form1Unload();
  settle();
  // The statistics window keeps the program running.
  QCOMPARE(rec_->endCount(), 0);
  QVERIFY(Global::frm03().isLoaded());

  Global::Form3Unload();
  settle();
  QCOMPARE(rec_->endCount(), 1);
  settle();
  QCOMPARE(rec_->endCount(), 1);
}

void TestGlobal::endRuleWaitsForHandler() {
  Global::frm02()->show();
  Global::Form2Unload();
  // Still inside the handler that unloaded the last window: the end comes after it returns.
  QCOMPARE(rec_->endCount(), 0);
  settle();
  QCOMPARE(rec_->endCount(), 1);
}

void TestGlobal::windowLoadedAgainKeepsProgram() {
  Global::frm02()->show();
  Global::Form2Unload();
  // The same handler loads another window before it returns.
  Global::frm03()->show();
  settle();
  QCOMPARE(rec_->endCount(), 0);
}

void TestGlobal::closeBoxUnloadsAndClears() {
  QPointer<frm03> first = Global::frm03().operator->();
  first->show();
  QVERIFY(first->close());
  QVERIFY(!first->isLoaded());
  QVERIFY(!first->isVisible());

  // The next use does not revive the discarded window.
  frm03* second = Global::frm03().instance();
  QVERIFY(second != first.data());
  QVERIFY(!second->isLoaded());
  settle();
  QVERIFY(first.isNull());
  QCOMPARE(rec_->endCount(), 1);
}

void TestGlobal::failingLoadCanBeUnloaded() {
  QPointer<FailingForm> w = new FailingForm;
  QVERIFY_THROWS_EXCEPTION(std::runtime_error, w->load());
  QVERIFY(w->isLoaded());
  QCOMPARE(tav::Form::loadedCount(), 1);
  w->unload();
  QCOMPARE(tav::Form::loadedCount(), 0);
  settle();
  QVERIFY(w.isNull());
  QCOMPARE(rec_->endCount(), 1);
}

void TestGlobal::cutAtNull_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("cut");
  QTest::newRow("value then NUL padding") << QString::fromUtf16(u"JAMSIL\0\0\0", 9) << "JAMSIL";
  QTest::newRow("NUL first") << QString::fromUtf16(u"\0abc", 4) << "";
  QTest::newRow("text after NUL dropped") << QString::fromUtf16(u"ab\0cd\0", 6) << "ab";
  QTest::newRow("no NUL") << "JAMSIL"
                          << "";
  QTest::newRow("empty") << ""
                         << "";
}

void TestGlobal::cutAtNull() {
  QFETCH(QString, text);
  QFETCH(QString, cut);
  QCOMPARE(Global::CutAtNull(text), cut);
}

void TestGlobal::mapPath_data() {
  QTest::addColumn<QString>("folder");
  QTest::addColumn<QString>("path");
  QTest::addColumn<QString>("mapped");
  QTest::newRow("sound") << "/srv/tav/"
                         << "C:\\ORLTAV\\ok.wav"
                         << "/srv/tav/ok.wav";
  QTest::newRow("doubled separator") << "/srv/tav/"
                                     << "C:\\ORLTAV\\\\btn4on.jpg"
                                     << "/srv/tav/btn4on.jpg";
  QTest::newRow("letter case") << "/srv/tav/"
                               << "c:\\orltav\\tav.ini"
                               << "/srv/tav/tav.ini";
  QTest::newRow("folder without slash") << "/srv/tav"
                                        << "C:\\ORLTAV\\no.wav"
                                        << "/srv/tav/no.wav";
  QTest::newRow("sub-folder") << "/srv/tav/"
                              << "C:\\ORLTAV\\a\\b.jpg"
                              << "/srv/tav/a/b.jpg";
  QTest::newRow("file name case kept") << "/srv/tav/"
                                       << "C:\\ORLTAV\\Btn3On.JPG"
                                       << "/srv/tav/Btn3On.JPG";
  QTest::newRow("outside the install folder") << "/srv/tav/"
                                              << "D:\\other\\x.wav"
                                              << "D:/other/x.wav";
}

void TestGlobal::mapPath() {
  QFETCH(QString, folder);
  QFETCH(QString, path);
  QFETCH(QString, mapped);
  const QString previous = tav::installFolder();
  tav::setInstallFolder(folder);
  const QString result = tav::mapPath(path);
  tav::setInstallFolder(previous);
  QCOMPARE(result, mapped);
}

void TestGlobal::displayMetrics() {
  const cMontionInfo info;
  const QList<QScreen*> screens = QGuiApplication::screens();
  QRect all;
  for (const QScreen* s : screens) all = all.united(s->geometry());
  QCOMPARE(info.DisplayMonitorCount(), screens.size());
  QCOMPARE(info.VirtualScreenWidth(), all.width());
  QCOMPARE(info.VirtualScreenHeight(), all.height());
  QCOMPARE(info.IsSameDisplayFormat(), 1);
  QCOMPARE(tav::QtPlatform::instance().systemMetric(0), 0);
  QCOMPARE(tav::QtPlatform::instance().primaryScreen(),
           QGuiApplication::primaryScreen()->geometry());

  // Read on every access, from the platform in force.
  rec_->setMonitorCount(3);
  QCOMPARE(info.DisplayMonitorCount(), 3);
  rec_->setMonitorCount(0);
  QCOMPARE(info.DisplayMonitorCount(), 0);
}

void TestGlobal::qtMessageBox() {
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::Critical;
  QMessageBox::StandardButtons buttons;
  bool modal = false;
  QTimer::singleShot(0, this, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    QVERIFY(box);
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    buttons = box->standardButtons();
    modal = box->isModal();
    box->button(QMessageBox::Ok)->click();
  });
  tav::QtPlatform::instance().messageBox(QStringLiteral("로그인 후에 TAV 화면을 열어주세요"));
  QCOMPARE(title, QStringLiteral("TAV"));
  QCOMPARE(text, QStringLiteral("로그인 후에 TAV 화면을 열어주세요"));
  QCOMPARE(icon, QMessageBox::NoIcon);
  QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  QVERIFY(modal);
}

void TestGlobal::qtPictures() {
  tav::test::InstallFolder folder;
  tav::QtPlatform& qt = tav::QtPlatform::instance();

  // The file as it lies in the install folder.
  const QImage custom(40, 30, QImage::Format_RGB32);
  QVERIFY(custom.save(folder.filePath("btn3on.jpg")));
  QCOMPARE(qt.loadPicture("C:\\ORLTAV\\btn3on.jpg").size(), QSize(40, 30));

  // Missing or unreadable: the built-in copy.
  const QSize builtIn = tav::assets::picture("btn4on.jpg").size();
  QVERIFY(!builtIn.isEmpty());
  folder.removeFile("btn4on.jpg");
  QCOMPARE(qt.loadPicture("C:\\ORLTAV\\\\btn4on.jpg").size(), builtIn);
  folder.writeFile("btn4on.jpg", "not a picture");
  QCOMPARE(qt.loadPicture("C:\\ORLTAV\\btn4on.jpg").size(), builtIn);

  // No file and no built-in copy.
  QVERIFY_THROWS_EXCEPTION(std::runtime_error, qt.loadPicture("C:\\ORLTAV\\nothing.jpg"));

  // The recording platform still hands out the real picture.
  QCOMPARE(rec_->loadPicture("C:\\ORLTAV\\btn3on.jpg").size(), QSize(40, 30));
  QCOMPARE(rec_->pictures(), QStringList{"C:\\ORLTAV\\btn3on.jpg"});
}

void TestGlobal::qtProfileString() {
  tav::test::InstallFolder folder("JAMSIL");
  char buffer[256];
  const int n = tav::QtPlatform::instance().profileString("Marovex", "PlaceCode", "", buffer,
                                                          sizeof buffer, "C:\\ORLTAV\\tav.ini");
  QCOMPARE(QByteArray(buffer, n), QByteArray("JAMSIL"));
  folder.removeFile("tav.ini");
  const int none = tav::QtPlatform::instance().profileString("Marovex", "PlaceCode", "", buffer,
                                                             sizeof buffer, "C:\\ORLTAV\\tav.ini");
  QCOMPARE(none, 0);
}

QTEST_MAIN(TestGlobal)
#include "tst_global.moc"
