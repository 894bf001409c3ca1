// The entry statistics window: the back-end's figures after real admissions, the order of the
// opening steps, refresh, close by btnExit and by the close box, and failed queries.
#include <functional>

#include "forms/frm03/frm03.h"
#include "tests/support/StationFixture.h"

using namespace tav::test;

namespace {

const QString kOpenPicture = QStringLiteral("C:\\ORLTAV\\btn5off.jpg");
const QString kClosedPicture = QStringLiteral("C:\\ORLTAV\\btn5on.jpg");
const QString kFailed = QStringLiteral("입장현황을 불러오지 못했습니다");

// The figure labels in the order they are filled, and the field each shows.
const QStringList kFigureLabels = {QStringLiteral("lbl_Total"), QStringLiteral("lbl_E"), QStringLiteral("lbl_N"),
                                   QStringLiteral("lbl_S"), QStringLiteral("lbl_W")};
const QStringList kNoFigures = QStringList(5, QString());

const char* const kTickets =
    "E-01,가,빅매치 2024,202405161830,잠실종합운동장,R석,E석 1열 1번,E석,valid\n"
    "E-02,나,빅매치 2024,202405161830,잠실종합운동장,R석,E석 1열 2번,E석,valid\n"
    "E-03,다,빅매치 2024,202405161830,잠실종합운동장,R석,E석 1열 3번,E석,valid\n"
    "N-01,라,빅매치 2024,202405161830,잠실종합운동장,R석,N석 1열 1번,N석,valid\n"
    "N-02,마,빅매치 2024,202405161830,잠실종합운동장,R석,N석 1열 2번,N석,valid\n"
    "S-01,바,빅매치 2024,202405161830,잠실종합운동장,R석,S석 1열 1번,S석,valid\n"
    "S-09,사,빅매치 2024,202405161830,잠실종합운동장,R석,S석 9열 9번,S석,cancelled\n"
    "W-01,아,빅매치 2024,202405161830,잠실종합운동장,R석,W석 1열 1번,W석,valid\n";

tav::wire::Recordset statsAnswer(const std::vector<tav::wire::Value>& figures) {
  return tav::wire::Recordset{{"Total", "E석", "N석", "S석", "W석"}, {figures}};
}

// Calls `onShow` whenever a statistics window is shown.
class ShowWatch : public QObject {
 public:
  std::function<void(::frm03*)> onShow;
  ShowWatch() { qApp->installEventFilter(this); }
  ~ShowWatch() override { qApp->removeEventFilter(this); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && onShow)
      if (auto* w = qobject_cast<::frm03*>(watched)) onShow(w);
    return false;
  }
};

::frm03* statistics() { return Global::frm03().peek(); }

QStringList figures(QWidget* w) {
  QStringList out;
  for (const QString& n : kFigureLabels) out << caption(w, n);
  return out;
}

// The ADMITTED column of `tav-server list` for the test event.
int admittedInStore(TestServer& server) {
  const QStringList lines = QString::fromUtf8(server.setup({QStringLiteral("list"), QStringLiteral("--place"), kPlace}))
                                .split(u'\n');
  for (const QString& line : lines) {
    const QStringList cols = line.simplified().split(u' ');
    if (cols.value(0) == kBizCode) return cols.value(5).toInt();
  }
  return -1;
}

}  // namespace

class tst_frm03 : public QObject, public StationFixture {
  Q_OBJECT

  // btnScore clicked; the statistics window it opened (or showed again).
  ::frm03* score() {
    click(screen_, QStringLiteral("btnScore"));
    return statistics();
  }

 private slots:
  void initTestCase() { startServer(kTickets); }
  void init() { initStation(); }
  void cleanup() { cleanupStation(); }

  void layout() {
    openWithCapture();
    capture_->answerWith(noRows({"Total", "E석", "N석", "S석", "W석"}));
    ::frm03* w = score();
    QVERIFY(w && w->isVisible());
    QCOMPARE(w->windowTitle(), QStringLiteral("입장현황"));
    QCOMPARE(w->size(), QSize(476, 337));
    QCOMPARE(w->minimumSize(), w->maximumSize());
    QVERIFY(w->windowFlags() & Qt::WindowCloseButtonHint);
    QVERIFY(!(w->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(w->parentWidget() == nullptr);
    QVERIFY(!w->isModal());

    tav::ClickLabel* exit = label(w, QStringLiteral("btnExit"));
    QVERIFY(exit);
    QCOMPARE(exit->geometry(), QRect(6360 / 15, 120 / 15, 615 / 15, 615 / 15));
    QVERIFY(exit->caption().isEmpty() && exit->pixmap().isNull());
    const int tops[] = {1440, 2160, 2760, 3480, 4080};
    for (int i = 0; i < kFigureLabels.size(); ++i) {
      tav::ClickLabel* f = label(w, kFigureLabels[i]);
      QVERIFY2(f, qPrintable(kFigureLabels[i]));
      QCOMPARE(f->geometry(), QRect(3960 / 15, tops[i] / 15, 135 / 15, 405 / 15));
      QCOMPARE(f->font().pointSizeF(), 20.25);
      QCOMPARE(f->font().family(), QStringLiteral("Gulim"));
      QVERIFY(!f->font().bold());
      QVERIFY(f->autoSize());
      QVERIFY(!f->autoFillBackground());
    }
    QCOMPARE(figures(w), kNoFigures);
    QCOMPARE(w->findChildren<QWidget*>().size(), 6);
  }

  // Real admissions in several blocks, then the window shows what the back-end counted.
  void figuresAfterAdmissions() {
    signInAndOpen();  // the operator's session lets the station sign the venue in and check tickets
    platform_.clear();
    struct Scan {
      const char* ticket;
      const char* block;
    };
    // Refusals (a second entry, a cancelled ticket) and an exit with a re-entry count nothing new.
    const Scan scans[] = {{"E-01", "E석"}, {"E-02", "E석"}, {"N-01", "N석"}, {"W-01", "W석"},
                          {"E-01", "E석"}, {"S-09", "S석"}, {"E-03", "E석"}};
    QMap<QString, int> admitted;
    QSet<QString> inside;
    auto enter = [&](const Scan& sc) {
      scan(screen_, QString::fromLatin1(sc.ticket));
      const QString answer = caption(screen_, QStringLiteral("lbl_BookingInfo"));
      if (answer == QStringLiteral("입장 확인") || answer == QStringLiteral("재입장 확인")) {
        if (!inside.contains(QString::fromLatin1(sc.ticket))) ++admitted[QString::fromUtf8(sc.block)];
        inside.insert(QString::fromLatin1(sc.ticket));
      }
    };
    for (const Scan& sc : scans) enter(sc);
    click(screen_, QStringLiteral("btnMode"));  // exit N-01, then let it in again
    scan(screen_, QStringLiteral("N-01"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("퇴장 확인"));
    click(screen_, QStringLiteral("btnMode"));
    enter({"N-01", "N석"});
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("재입장 확인"));

    auto expected = [&] {
      int total = 0;
      for (int n : admitted) total += n;
      return QStringList{QString::number(total), QString::number(admitted.value(QStringLiteral("E석"))),
                         QString::number(admitted.value(QStringLiteral("N석"))),
                         QString::number(admitted.value(QStringLiteral("S석"))),
                         QString::number(admitted.value(QStringLiteral("W석")))};
    };
    platform_.clear();
    ::frm03* w = score();
    QVERIFY(w && w->isVisible());
    QCOMPARE(figures(w), expected());
    QCOMPARE(figures(w).value(0).toInt(), admittedInStore(*server_));
    QCOMPARE(platform_.pictures(), QStringList{kOpenPicture});
    QVERIFY(platform_.messages().isEmpty());

    // The window stays open while the screen checks on; the next click shows the counts moved.
    enter({"S-01", "S석"});
    enter({"N-02", "N석"});
    QCOMPARE(score(), w);
    QCOMPARE(figures(w), expected());
    QCOMPARE(figures(w).value(0).toInt(), admittedInStore(*server_));
    QCOMPARE(figures(w).value(3), QStringLiteral("1"));
  }

  // Shown first, then queried, then btnScore's picture: nothing of the query before the window is
  // up, and no picture before the figures are in.
  void stepsInOrder() {
    openWithCapture();
    capture_->answerWith(statsAnswer({s("7"), s("1"), s("2"), s("3"), s("1")}));
    capture_->answerWith(statsAnswer({s("8"), s("2"), s("2"), s("3"), s("1")}));
    QStringList steps;
    ShowWatch watch;
    watch.onShow = [&](::frm03* w) {
      steps << QStringLiteral("shown after %1 queries, total '%2'").arg(capture_->commands().size()).arg(caption(w, QStringLiteral("lbl_Total")));
    };
    platform_.onPicture([&](const QString& path) {
      steps << QStringLiteral("picture %1 after %2 queries, total '%3'")
                   .arg(path)
                   .arg(capture_->commands().size())
                   .arg(statistics() ? caption(statistics(), QStringLiteral("lbl_Total")) : QStringLiteral("<none>"));
    });
    ::frm03* w = score();
    QCOMPARE(steps, (QStringList{QStringLiteral("shown after 0 queries, total ''"),
                                 QStringLiteral("picture %1 after 1 queries, total '7'").arg(kOpenPicture)}));
    QCOMPARE(platform_.events(), (QList<tav::test::PlatformEvent>{{tav::test::PlatformEvent::Picture, kOpenPicture}}));
    QCOMPARE(capture_->commands(), QStringList{QStringLiteral("Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'S','EV2024','','',''")});
    QCOMPARE(capture_->requestLines(), QStringList{QStringLiteral("POST /objects/Nuvrel.member/Query HTTP/1.1")});
    QCOMPARE(g_ServerUrl, capture_->url());
    QCOMPARE(asRgb(label(screen_, QStringLiteral("btnScore"))->pixmap()), installFile(QStringLiteral("btn5off.jpg")));

    // A second click: one window, queried twice, the picture set again after the new figures.
    steps.clear();
    QCOMPARE(score(), w);
    QCOMPARE(steps, QStringList{QStringLiteral("picture %1 after 2 queries, total '8'").arg(kOpenPicture)});
    QCOMPARE(capture_->commands().size(), 2);
    QCOMPARE(capture_->commands().value(1), capture_->commands().value(0));
    QCOMPARE(figures(w), (QStringList{"8", "2", "2", "3", "1"}));
    int windows = 0;
    for (QWidget* t : QApplication::topLevelWidgets())
      if (qobject_cast<::frm03*>(t)) ++windows;
    QCOMPARE(windows, 1);
  }

  // What the window shows is the back-end's text, trimmed, read by field name from the first row.
  void figuresAsDelivered_data() {
    using tav::wire::Recordset;
    using V = std::vector<tav::wire::Value>;
    QTest::addColumn<Recordset>("answer");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("counts") << statsAnswer({s("12"), s("3"), s("4"), s("5"), s("0")})
                            << QStringList{"12", "3", "4", "5", "0"};
    QTest::newRow("blanks trimmed") << statsAnswer({s("  12 "), s(" 3"), s("4 "), s("   "), s("5")})
                                    << QStringList{"12", "3", "4", "", "5"};
    QTest::newRow("whole numbers, no separators")
        << statsAnswer({std::int64_t{1234567}, std::int64_t{1}, std::int64_t{0}, std::int64_t{1234566}, std::int64_t{0}})
        << QStringList{"1234567", "1", "0", "1234566", "0"};
    QTest::newRow("total not the sum") << statsAnswer({s("9"), s("1"), s("1"), s("1"), s("1")})
                                       << QStringList{"9", "1", "1", "1", "1"};
    QTest::newRow("leading zeros kept") << statsAnswer({s("007"), s("0"), s("00"), s("7"), s("0")})
                                        << QStringList{"007", "0", "00", "7", "0"};
    QTest::newRow("first row only") << Recordset{{"Total", "E석", "N석", "S석", "W석"},
                                                 {V{s("5"), s("1"), s("1"), s("2"), s("1")},
                                                  V{s("6"), s("6"), s("6"), s("6"), s("6")}}}
                                    << QStringList{"5", "1", "1", "2", "1"};
    QTest::newRow("fields by name, any order or case")
        << Recordset{{"w석", "TOTAL", "s석", "e석", "n석", "ErrCode"},
                     {V{s("4"), s("10"), s("3"), s("1"), s("2"), s("0")}}}
        << QStringList{"10", "1", "2", "3", "4"};
  }

  void figuresAsDelivered() {
    QFETCH(tav::wire::Recordset, answer);
    QFETCH(QStringList, shown);
    openWithCapture();
    capture_->answerWith(answer);
    ::frm03* w = score();
    QCOMPARE(figures(w), shown);
    // Auto-size: each filled figure grows to the right of its stored left edge.
    for (const QString& n : kFigureLabels) {
      tav::ClickLabel* f = label(w, n);
      QCOMPARE(f->x(), 3960 / 15);
      if (!f->caption().isEmpty()) QCOMPARE(f->width(), f->sizeHint().width());
    }
    QVERIFY(platform_.messages().isEmpty());
  }

  // An answer without a row leaves the labels as they are: empty on a fresh window.
  void noRowLeavesTheLabels() {
    openWithCapture();
    capture_->answerWith(noRows({"Total", "E석", "N석", "S석", "W석"}));
    ::frm03* w = score();
    QCOMPARE(figures(w), kNoFigures);
    QCOMPARE(platform_.pictures(), QStringList{kOpenPicture});

    capture_->reset();
    capture_->answerWith(statsAnswer({s("4"), s("1"), s("1"), s("1"), s("1")}));
    capture_->answerWith(noRows({"Total", "E석", "N석", "S석", "W석"}));
    QCOMPARE(score(), w);
    QCOMPARE(score(), w);
    QCOMPARE(capture_->commands().size(), 2);
    QCOMPARE(figures(w), (QStringList{"4", "1", "1", "1", "1"}));
    QCOMPARE(platform_.pictures(), QStringList(3, kOpenPicture));
  }

  // btnExit unloads the window, returns the focus and marks btnScore; btnScore then makes a new
  // window whose labels stay empty until the query fills them.
  void exitThenScoreGivesAFreshWindow() {
    openWithCapture();
    capture_->answerWith(statsAnswer({s("3"), s("1"), s("1"), s("1"), s("0")}));
    QTest::keyClicks(ticketBox(screen_), QStringLiteral("KEEP"));
    QPointer<::frm03> first = score();
    QVERIFY(first);
    QCOMPARE(figures(first), (QStringList{"3", "1", "1", "1", "0"}));

    QTest::mouseClick(label(first, QStringLiteral("btnExit")), Qt::LeftButton);
    QVERIFY(!first->isVisible());
    QVERIFY(!first->isLoaded());
    QVERIFY(!Global::frm03().exists());
    QCOMPARE(QApplication::focusWidget(), ticketBox(screen_));
    QCOMPARE(ticketBox(screen_)->text(), QStringLiteral("KEEP"));
    QCOMPARE(platform_.pictures(), (QStringList{kOpenPicture, kClosedPicture}));
    QCOMPARE(asRgb(label(screen_, QStringLiteral("btnScore"))->pixmap()), installFile(QStringLiteral("btn5on.jpg")));
    settle();
    QVERIFY(first.isNull());
    QCOMPARE(platform_.endCount(), 0);

    capture_->reset();
    capture_->answerWith(statsAnswer({s("5"), s("2"), s("1"), s("1"), s("1")}));
    QStringList atShow;
    ShowWatch watch;
    watch.onShow = [&](::frm03* w) { atShow = figures(w); };
    ::frm03* second = score();
    QVERIFY(second && second->isLoaded() && second->isVisible());
    QCOMPARE(atShow, kNoFigures);
    QCOMPARE(figures(second), (QStringList{"5", "2", "1", "1", "1"}));

    // And once more with an answer without a row: the fresh window keeps its empty labels.
    QTest::mouseClick(label(second, QStringLiteral("btnExit")), Qt::LeftButton);
    settle();
    capture_->reset();
    capture_->answerWith(noRows({"Total", "E석", "N석", "S석", "W석"}));
    QCOMPARE(figures(score()), kNoFigures);
  }

  // The close hot-spot reacts over its whole rectangle and not beyond it.
  void exitArea_data() {
    QTest::addColumn<QPoint>("point");
    QTest::addColumn<bool>("closes");
    const QRect r(424, 8, 41, 41);
    QTest::newRow("top left") << r.topLeft() << true;
    QTest::newRow("top right") << r.topRight() << true;
    QTest::newRow("bottom left") << r.bottomLeft() << true;
    QTest::newRow("bottom right") << r.bottomRight() << true;
    QTest::newRow("left of it") << QPoint(423, 20) << false;
    QTest::newRow("below it") << QPoint(440, 49) << false;
    QTest::newRow("a figure's row") << QPoint(300, 110) << false;
  }

  void exitArea() {
    QFETCH(QPoint, point);
    QFETCH(bool, closes);
    openWithCapture();
    capture_->answerWith(statsAnswer({s("1"), s("1"), s("0"), s("0"), s("0")}));
    ::frm03* w = score();
    clickAt(w, point);
    QCOMPARE(!w->isLoaded(), closes);
    QCOMPARE(platform_.pictures().contains(kClosedPicture), closes);
  }

  // The close box unloads the window without btnExit's steps.
  void titleBarCloseLeavesTheScreen() {
    openWithCapture();
    capture_->answerWith(statsAnswer({s("2"), s("1"), s("1"), s("0"), s("0")}));
    QPointer<::frm03> w = score();
    QVERIFY(w);
    platform_.clear();
    QWidget* focusBefore = QApplication::focusWidget();
    QVERIFY(w->close());
    QVERIFY(!w->isLoaded());
    QVERIFY(!w->isVisible());
    QVERIFY(!Global::frm03().exists());
    QVERIFY(platform_.events().isEmpty());
    QCOMPARE(QApplication::focusWidget(), focusBefore);
    QCOMPARE(asRgb(label(screen_, QStringLiteral("btnScore"))->pixmap()), installFile(QStringLiteral("btn5off.jpg")));
    settle();
    QVERIFY(w.isNull());
    QCOMPARE(platform_.endCount(), 0);

    QStringList atShow;
    ShowWatch watch;
    watch.onShow = [&](::frm03* shown) { atShow = figures(shown); };
    QVERIFY(score());
    QCOMPARE(atShow, kNoFigures);
    QCOMPARE(figures(statistics()), (QStringList{"2", "1", "1", "0", "0"}));
  }

  // A failed query: the message, the window still open with what it showed, btnScore unchanged;
  // the next click that succeeds fills the window as usual.
  void failedQueryKeepsTheWindow_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("unreachable");
    const auto rs = [](const tav::wire::Recordset& r) { return QByteArray::fromStdString(tav::wire::encode(r)); };
    QTest::newRow("server failure") << 500 << QByteArray::fromStdString(tav::wire::encodeError("The store failed."))
                                    << false;
    QTest::newRow("not a recordset") << 200 << QByteArray("<html>busy</html>") << false;
    QTest::newRow("a figure missing")
        << 200 << rs(tav::wire::Recordset{{"Total", "E석", "N석", "S석"}, {{s("9"), s("9"), s("9"), s("9")}}}) << false;
    QTest::newRow("a null figure")
        << 200 << rs(statsAnswer({s("9"), s("9"), std::monostate{}, s("9"), s("9")})) << false;
    QTest::newRow("refusal row instead of figures")
        << 200 << rs(tav::wire::Recordset{{"ErrCode", "ErrMsg"}, {{s("-1"), s("잘못된 요청입니다")}}}) << false;
    QTest::newRow("no server") << 0 << QByteArray() << true;
  }

  void failedQueryKeepsTheWindow() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, unreachable);
    openWithCapture();
    capture_->answerWith(statsAnswer({s("1"), s("2"), s("3"), s("4"), s("5")}));
    QPointer<::frm03> w = score();
    QVERIFY(w);
    const QStringList before = figures(w);
    QCOMPARE(before, (QStringList{"1", "2", "3", "4", "5"}));
    platform_.clear();
    capture_->reset();
    if (unreachable) {
      Global::setServerAddress(CannedServer::unusedUrl());
    } else {
      capture_->answerStatus(status, body);
    }
    bool shownDuringMessage = false;
    platform_.onMessageBox([&](const QString&) { shownDuringMessage = w && w->isVisible(); });

    QCOMPARE(score(), w.data());
    QCOMPARE(platform_.messages(), QStringList{kFailed});
    QVERIFY(shownDuringMessage);
    QVERIFY(w && w->isLoaded() && w->isVisible());
    QCOMPARE(figures(w), before);
    QVERIFY(platform_.pictures().isEmpty());

    // Back to a working back-end: the same window is filled and btnScore marked again.
    Global::setServerAddress(capture_->url());
    capture_->reset();
    capture_->answerWith(statsAnswer({s("6"), s("2"), s("2"), s("1"), s("1")}));
    platform_.clear();
    QCOMPARE(score(), w.data());
    QCOMPARE(figures(w), (QStringList{"6", "2", "2", "1", "1"}));
    QCOMPARE(platform_.pictures(), QStringList{kOpenPicture});
  }

  // A failure on the first opening leaves the window up with empty labels and btnScore's face as laid out.
  void failedFirstOpening() {
    openWithCapture();
    capture_->answerStatus(503, QByteArray::fromStdString(tav::wire::encodeError("The store is not ready.")));
    const QImage face = asRgb(label(screen_, QStringLiteral("btnScore"))->pixmap());
    QCOMPARE(face, builtIn(QStringLiteral("frm01/btnScore")));
    ::frm03* w = score();
    QVERIFY(w && w->isVisible());
    QCOMPARE(figures(w), kNoFigures);
    QCOMPARE(platform_.events(), (QList<tav::test::PlatformEvent>{{tav::test::PlatformEvent::MessageBox, kFailed}}));
    QCOMPARE(asRgb(label(screen_, QStringLiteral("btnScore"))->pixmap()), face);
  }

  // Missing picture files show the built-in copies of btnScore's two faces.
  void missingPictureFilesShowTheBuiltInCopies() {
    openWithCapture();
    capture_->answerWith(statsAnswer({s("1"), s("1"), s("0"), s("0"), s("0")}));
    install_->removeFile(QStringLiteral("btn5off.jpg"));
    install_->removeFile(QStringLiteral("btn5on.jpg"));
    ::frm03* w = score();
    QCOMPARE(asRgb(label(screen_, QStringLiteral("btnScore"))->pixmap()), builtIn(QStringLiteral("btn5off.jpg")));
    QTest::mouseClick(label(w, QStringLiteral("btnExit")), Qt::LeftButton);
    QCOMPARE(asRgb(label(screen_, QStringLiteral("btnScore"))->pixmap()), builtIn(QStringLiteral("btn5on.jpg")));
    QCOMPARE(platform_.pictures(), (QStringList{kOpenPicture, kClosedPicture}));
    QVERIFY(platform_.messages().isEmpty());
  }
};

QTEST_MAIN(tst_frm03)
#include "tst_frm03.moc"
