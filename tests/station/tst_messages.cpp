// Every message the back-end may send fits the check screen's result line: measured in the font of
// the real screen's lbl_BookingInfo, offscreen.
#include <QFontInfo>
#include <QFontMetrics>
#include <QtTest>
#include <memory>

#include "app/Startup.h"
#include "forms/common/ClickLabel.h"
#include "forms/frm01/frm01.h"
#include "server/core/messages.h"
#include "tests/support/RecordingPlatform.h"

namespace {

// The result line's room on a 1024 x 768 display.
constexpr int kMaxWidth = 900;

}  // namespace

class tst_messages : public QObject {
  Q_OBJECT

  std::unique_ptr<tav::test::InstallFolder> install_;
  std::unique_ptr<::frm01> screen_;
  QFont font_;

  int width(const QString& text) const { return QFontMetrics(font_).horizontalAdvance(text); }

 private slots:
  void initTestCase() {
    tav::prepareApplication();
    install_ = std::make_unique<tav::test::InstallFolder>(QStringLiteral("MSG01"));
    screen_ = std::make_unique<::frm01>();
    screen_->show();
    QVERIFY(QTest::qWaitForWindowExposed(screen_.get()));
    auto* line = screen_->findChild<tav::ClickLabel*>(QStringLiteral("lbl_BookingInfo"));
    QVERIFY(line);
    font_ = line->font();
    QCOMPARE(font_.pointSize(), 60);
    QVERIFY(font_.bold());
    QVERIFY2(QFontInfo(font_).family().contains(QStringLiteral("Nanum")), qPrintable(QFontInfo(font_).family()));
  }

  void cleanupTestCase() {
    screen_.reset();
    install_.reset();
  }

  // The measure tells a message that does not fit: the result line's old already-inside text.
  void aTooLongMessageIsSeen() { QVERIFY(width(QStringLiteral("이미 입장한 티켓입니다 (18:30)")) > kMaxWidth); }

  void everyMessageFits_data() {
    QTest::addColumn<QString>("message");
    for (const std::string& m : tav::server::messages::everyMessage()) {
      const QString text = QString::fromStdString(m);
      QTest::newRow(m.c_str()) << text;
    }
    // And the lines the station writes there itself.
    for (const char* own : {"인증 실패", "확인 실패 · 다시 스캔"}) QTest::newRow(own) << QString::fromUtf8(own);
  }

  void everyMessageFits() {
    QFETCH(QString, message);
    QVERIFY(!message.isEmpty());
    QVERIFY2(width(message) <= kMaxWidth,
             qPrintable(QStringLiteral("%1 px: %2").arg(width(message)).arg(message)));
  }
};

QTEST_MAIN(tst_messages)
#include "tst_messages.moc"
