// The four windows as they stand when they load: one table of every control (kind, place in
// twips, caption, font, colours, attributes, tab index), checked against the real windows, plus
// the windows themselves, their backdrops, auto-size labels and click areas.
#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>
#include <map>
#include <memory>

#include "app/Startup.h"
#include "assets/pictures.h"
#include "forms/common/ClickLabel.h"
#include "forms/frm01/frm01.h"
#include "forms/frm02/frm02.h"
#include "forms/frm03/frm03.h"
#include "forms/frmTAV/frmTAV.h"
#include "tests/support/Pixels.h"
#include "tests/support/RecordingPlatform.h"

using tav::test::meanDifference;

namespace {

// Colours as the layouts write them: 0x00BBGGRR, blue in the high byte; or a system colour.
constexpr quint32 kDefault = 0xFF000000;     // the usual colour of the control kind
constexpr quint32 kWindowText = 0xFF000001;  // system colour "window text"
constexpr quint32 kWindowBack = 0xFF000002;  // system colour "window background"

QColor fromBgr(quint32 bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF), static_cast<int>((bgr >> 16) & 0xFF));
}

QRect pixels(const QRect& twips) {
  return QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15);
}

const char* className(const QString& kind) {
  if (kind == QLatin1String("label") || kind == QLatin1String("image")) return "tav::ClickLabel";
  if (kind == QLatin1String("text box")) return "QLineEdit";
  if (kind == QLatin1String("command button")) return "QPushButton";
  if (kind == QLatin1String("frame")) return "QGroupBox";
  return "?";
}

// Whether a control draws anything of its own where it lies (else the backdrop shows through).
bool drawsItself(QWidget* w) {
  if (auto* l = qobject_cast<tav::ClickLabel*>(w)) return !l->text().isEmpty() || !l->pixmap().isNull();
  return true;
}

// The first and last columns of `area` where `form` shows something other than its backdrop.
std::pair<int, int> inkColumns(QWidget* form, const QRect& area) {
  const QImage shown = form->grab().toImage().convertToFormat(QImage::Format_RGB32);
  QImage backdrop;
  if (qobject_cast<::frm01*>(form)) backdrop = tav::assets::picture(QStringLiteral("frm01/background"));
  if (qobject_cast<::frm03*>(form)) backdrop = tav::assets::picture(QStringLiteral("frm03/background"));
  backdrop = backdrop.convertToFormat(QImage::Format_RGB32);
  int first = -1, last = -1;
  const QRect r = area.intersected(shown.rect()).intersected(backdrop.rect());
  for (int x = r.left(); x <= r.right(); ++x)
    for (int y = r.top(); y <= r.bottom(); ++y) {
      const QRgb a = shown.pixel(x, y), b = backdrop.pixel(x, y);
      if (std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b)) > 120) {
        if (first < 0) first = x;
        last = x;
        break;
      }
    }
  return {first, last};
}

}  // namespace

class tst_layout : public QObject {
  Q_OBJECT

  tav::test::RecordingPlatform platform_;
  std::unique_ptr<tav::test::InstallFolder> install_;
  // The windows as they are made, before any load: the layout's own state.
  std::map<QString, std::unique_ptr<QWidget>> windows_;

  QWidget* window(const QString& name) {
    auto it = windows_.find(name);
    return it == windows_.end() ? nullptr : it->second.get();
  }

 private slots:
  void initTestCase() {
    tav::prepareApplication();
    install_ = std::make_unique<tav::test::InstallFolder>(QStringLiteral("LAYOUT01"));
    windows_[QStringLiteral("frmTAV")] = std::make_unique<::frmTAV>();
    windows_[QStringLiteral("frm01")] = std::make_unique<::frm01>();
    windows_[QStringLiteral("frm02")] = std::make_unique<::frm02>();
    windows_[QStringLiteral("frm03")] = std::make_unique<::frm03>();
    for (auto& [name, w] : windows_) {
      // Clicks are looked at as signals here; the windows' handlers are for the windows' tests.
      for (tav::ClickLabel* l : w->findChildren<tav::ClickLabel*>()) QObject::disconnect(l, &tav::ClickLabel::clicked, nullptr, nullptr);
      w->show();
      QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    }
  }

  void cleanupTestCase() {
    windows_.clear();
    install_.reset();
  }

  void windows_data() {
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QSize>("twips");  // client area
    QTest::addColumn<bool>("titleBar");
    QTest::addColumn<QString>("background");
    QTest::addColumn<QSize>("backgroundSize");
    QTest::addColumn<quint32>("backColour");
    QTest::addColumn<QSize>("icon");
    QTest::newRow("frmTAV") << "frmTAV" << "Marovex TAV" << QSize(4800, 5430) << true << "frmTAV/background"
                            << QSize(320, 360) << 0x00FFFFFFu << QSize(36, 35);
    QTest::newRow("frm01") << "frm01" << "Form2" << QSize(15375, 11535) << false << "frm01/background"
                           << QSize(1024, 768) << kWindowBack << QSize();
    QTest::newRow("frm02") << "frm02" << "구역선택" << QSize(7155, 4920) << true << "frm02/background"
                           << QSize(477, 328) << kDefault << QSize();
    QTest::newRow("frm03") << "frm03" << "입장현황" << QSize(7140, 5055) << true << "frm03/background"
                           << QSize(477, 338) << kDefault << QSize();
  }

  void windows() {
    QFETCH(QString, window);
    QFETCH(QString, title);
    QFETCH(QSize, twips);
    QFETCH(bool, titleBar);
    QFETCH(QString, background);
    QFETCH(QSize, backgroundSize);
    QFETCH(quint32, backColour);
    QFETCH(QSize, icon);
    QWidget* w = this->window(window);
    QVERIFY(w);
    QCOMPARE(w->windowTitle(), title);
    QCOMPARE(w->size(), twips / 15);
    QVERIFY(w->parentWidget() == nullptr);
    const Qt::WindowFlags flags = w->windowFlags();
    if (titleBar) {
      // Fixed border, title bar with the close box only.
      QVERIFY(flags & Qt::WindowTitleHint);
      QVERIFY(flags & Qt::WindowCloseButtonHint);
      QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
      QCOMPARE(w->minimumSize(), w->maximumSize());
    } else {
      QVERIFY(flags & Qt::FramelessWindowHint);
    }
    if (icon.isValid())
      QVERIFY(w->windowIcon().availableSizes().contains(icon));
    else
      QVERIFY(w->windowIcon().isNull());

    // The backdrop lies at the top left corner at its natural size: wherever no control draws,
    // the window shows exactly the picture, invisible click areas included.
    const QImage picture = tav::assets::picture(background).convertToFormat(QImage::Format_RGB32);
    QCOMPARE(picture.size(), backgroundSize);
    const QImage shown = w->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QRegion bare(QRect(QPoint(0, 0), backgroundSize).intersected(w->rect()));
    for (QWidget* c : w->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
      if (drawsItself(c)) bare -= c->geometry();
    QVERIFY(!bare.isEmpty());
    QVERIFY2(meanDifference(shown, picture, bare) < 0.5, qPrintable(QString::number(meanDifference(shown, picture, bare))));
    // Beyond the picture the window shows its own colour.
    if (w->width() > backgroundSize.width() || w->height() > backgroundSize.height()) {
      const QPoint outside = w->width() > backgroundSize.width() ? QPoint(w->width() - 1, 5) : QPoint(5, w->height() - 1);
      const QColor expected = backColour == kWindowBack ? QApplication::palette().color(QPalette::Base) : fromBgr(backColour);
      QCOMPARE(shown.pixelColor(outside), expected);
    }
  }

  // Every control of every window. Twips are divided by 15 for pixels; colours are 0x00BBGGRR.
  // "other": transparent, centred, auto-size, flat, password, picture WxH, no picture.
  void controls_data() {
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<double>("points");  // 0: the window's standard font
    QTest::addColumn<bool>("bold");
    QTest::addColumn<quint32>("foreColour");
    QTest::addColumn<quint32>("backColour");
    QTest::addColumn<QString>("other");
    QTest::addColumn<int>("tabIndex");  // -1: the control has none
    const QString none;
    auto row = [](const char* window, const char* name, const char* kind, const QString& caption, QRect twips,
                  double points, bool bold, quint32 fore, quint32 back, const char* other, int tab) {
      QTest::addRow("%s.%s", window, name) << QString::fromLatin1(window) << QString::fromLatin1(name)
                                           << QString::fromLatin1(kind) << caption << twips << points << bold << fore
                                           << back << QString::fromLatin1(other) << tab;
    };
    // frmTAV: sign-in and launcher.
    row("frmTAV", "Label1", "label", "Marovex TAV", {480, 360, 2655, 495}, 15.75, true, kWindowText, kDefault, "transparent", 3);
    row("frmTAV", "lblID", "label", "ID", {480, 1560, 375, 255}, 9, true, kWindowText, kDefault, "transparent", 6);
    row("frmTAV", "txtID", "text box", none, {1080, 1560, 1575, 270}, 0, false, kDefault, kDefault, "flat", 7);
    row("frmTAV", "txtPass", "text box", none, {1080, 1920, 1575, 270}, 0, false, kDefault, kDefault, "flat,password", 9);
    row("frmTAV", "lblPWD", "label", "PWD", {480, 2040, 495, 255}, 9, true, kDefault, kDefault, "transparent", 8);
    row("frmTAV", "btnLogin", "command button", QStringLiteral("로그인"), {3120, 1920, 975, 255}, 0, false, kDefault, kDefault, "", 5);
    row("frmTAV", "lbl_LoginInfo", "label", none, {600, 2520, 3615, 375}, 9, true, 0x00FF0000, kDefault, "transparent", 10);
    row("frmTAV", "Frame1", "frame", QStringLiteral("TAV 화면 디스플레이"), {480, 3120, 3855, 1215}, 0, false, kWindowText, kWindowBack, "flat", 2);
    row("frmTAV", "btnTAVOpen", "command button", "TAV OPEN", {720, 3480, 1335, 615}, 0, false, kDefault, 0x00FFFFFF, "", 0);
    row("frmTAV", "btnTAVClose", "command button", "TAV CLOSE", {2640, 3480, 1335, 615}, 0, false, kDefault, 0x00E0E0E0, "", 1);
    row("frmTAV", "Label2", "label", QStringLiteral("TAV화면을 닫으려면 Ctrl + Alt + F7을 눌러주세요"), {480, 4680, 3975, 375}, 9, true, 0x00400000, kDefault, "transparent", 4);
    // frm01: the check screen.
    row("frm01", "Command2", "image", none, {14400, 240, 720, 675}, 0, false, kDefault, kDefault, "picture 48x45", -1);
    row("frm01", "lbl_GoodsNameInfo", "label", none, {7965, 600, 285, 795}, 39.75, false, kDefault, kDefault, "centred,auto-size,transparent", 8);
    row("frm01", "btnMode", "image", none, {360, 2280, 1740, 870}, 0, false, kDefault, kDefault, "picture 116x58", -1);
    row("frm01", "btnBlock", "image", none, {2280, 2280, 1710, 870}, 0, false, kDefault, kDefault, "picture 114x58", -1);
    row("frm01", "txtBlock", "label", none, {4080, 2400, 1815, 735}, 30, true, kDefault, kDefault, "centred,transparent", 9);
    row("frm01", "txtTicketNo", "text box", none, {7800, 2280, 3735, 855}, 30, false, kDefault, kDefault, "", 10);
    row("frm01", "btnSave", "image", none, {11640, 2280, 1695, 855}, 0, false, kDefault, kDefault, "no picture", -1);
    row("frm01", "btnScore", "image", none, {13560, 2280, 1365, 870}, 0, false, kDefault, kDefault, "picture 91x58", -1);
    row("frm01", "lbl_BookingInfo", "label", none, {870, 3840, 13635, 1200}, 60, true, 0x000000FF, kDefault, "centred,auto-size,transparent", 7);
    row("frm01", "lbl_CustName", "label", none, {3120, 5520, 11415, 735}, 27, false, kDefault, kDefault, "transparent", 0);
    row("frm01", "lbl_TicketNo", "label", none, {3120, 6240, 11415, 615}, 27, false, kDefault, kDefault, "transparent", 1);
    row("frm01", "lbl_GoodsName", "label", none, {3120, 6960, 11415, 615}, 27, false, kDefault, kDefault, "transparent", 2);
    row("frm01", "lbl_PlayDate", "label", none, {3120, 7560, 11415, 735}, 27, false, kDefault, kDefault, "transparent", 3);
    row("frm01", "lbl_PlaceName", "label", none, {3120, 8280, 11415, 615}, 27, false, kDefault, kDefault, "transparent", 4);
    row("frm01", "lbl_SeatGradeName", "label", none, {3120, 8880, 11415, 735}, 24.75, false, kDefault, kDefault, "transparent", 5);
    row("frm01", "lbl_SeatInfo", "label", none, {3120, 9600, 11415, 735}, 24.75, false, kDefault, kDefault, "transparent", 6);
    // frm02: the block dialog's four click areas (the right column is not aligned).
    row("frm02", "Command1", "label", none, {1680, 1560, 1695, 975}, 0, false, kDefault, kDefault, "transparent", 0);
    row("frm02", "Command2", "image", none, {3840, 1560, 1695, 975}, 0, false, kDefault, kDefault, "no picture", -1);
    row("frm02", "Command3", "image", none, {1680, 2880, 1695, 975}, 0, false, kDefault, kDefault, "no picture", -1);
    row("frm02", "Command4", "image", none, {3720, 2880, 1695, 975}, 0, false, kDefault, kDefault, "no picture", -1);
    // frm03: the statistics window.
    row("frm03", "btnExit", "label", none, {6360, 120, 615, 615}, 0, false, kDefault, kDefault, "transparent", 0);
    row("frm03", "lbl_Total", "label", none, {3960, 1440, 135, 405}, 20.25, false, kDefault, kDefault, "auto-size,transparent", 1);
    row("frm03", "lbl_E", "label", none, {3960, 2160, 135, 405}, 20.25, false, kDefault, kDefault, "auto-size,transparent", 2);
    row("frm03", "lbl_N", "label", none, {3960, 2760, 135, 405}, 20.25, false, kDefault, kDefault, "auto-size,transparent", 3);
    row("frm03", "lbl_S", "label", none, {3960, 3480, 135, 405}, 20.25, false, kDefault, kDefault, "auto-size,transparent", 4);
    row("frm03", "lbl_W", "label", none, {3960, 4080, 135, 405}, 20.25, false, kDefault, kDefault, "auto-size,transparent", 5);
  }

  void controls() {
    QFETCH(QString, window);
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);
    QFETCH(double, points);
    QFETCH(bool, bold);
    QFETCH(quint32, foreColour);
    QFETCH(quint32, backColour);
    QFETCH(QString, other);
    QFETCH(int, tabIndex);
    const QStringList attributes = other.split(u',', Qt::SkipEmptyParts);
    QWidget* form = this->window(window);
    QVERIFY(form);
    auto* w = form->findChild<QWidget*>(name);
    QVERIFY2(w, qPrintable(name));

    // Kind and place: directly on the window.
    QCOMPARE(w->metaObject()->className(), className(kind));
    QCOMPARE(w->parentWidget(), form);
    QCOMPARE(w->geometry(), pixels(twips));

    // Caption.
    if (auto* l = qobject_cast<QLabel*>(w)) QCOMPARE(l->text(), caption);
    if (auto* e = qobject_cast<QLineEdit*>(w)) QCOMPARE(e->text(), caption);
    if (auto* b = qobject_cast<QPushButton*>(w)) QCOMPARE(b->text(), caption);
    if (auto* g = qobject_cast<QGroupBox*>(w)) QCOMPARE(g->title(), caption);

    // Font: Gulim at the layout's size and weight, drawn in a face that has Hangul.
    if (points > 0) {
      QCOMPARE(w->font().family(), QStringLiteral("Gulim"));
      QCOMPARE(w->font().pointSizeF(), points);
      QCOMPARE(w->font().weight(), bold ? QFont::Bold : QFont::Normal);
      QVERIFY2(QFontInfo(w->font()).family().contains(QStringLiteral("Nanum")), qPrintable(QFontInfo(w->font()).family()));
    } else {
      QVERIFY(!w->testAttribute(Qt::WA_SetFont));  // the window's standard font
    }

    // Colours.
    const QPalette::ColorRole textRole = qobject_cast<QLineEdit*>(w) ? QPalette::Text : w->foregroundRole();
    const QColor text = w->palette().color(textRole);
    if (foreColour == kDefault || foreColour == kWindowText)
      QCOMPARE(text, QApplication::palette(w).color(textRole));
    else
      QCOMPARE(text, fromBgr(foreColour));
    if (auto* b = qobject_cast<QPushButton*>(w)) {
      const QColor face = b->palette().color(QPalette::Button);
      QCOMPARE(face, backColour == kDefault ? QApplication::palette(b).color(QPalette::Button) : fromBgr(backColour));
    } else if (backColour == kWindowBack) {
      // An opaque control in the system's window background colour, inside its border.
      const QImage drawn = w->grab().toImage();
      QCOMPARE(drawn.pixelColor(w->width() / 2, w->height() - 4), QApplication::palette().color(QPalette::Base));
    }

    // Attributes.
    auto* label = qobject_cast<tav::ClickLabel*>(w);
    if (label) {
      QCOMPARE(!label->autoFillBackground(), kind == QLatin1String("image") || attributes.contains(QStringLiteral("transparent")));
      QCOMPARE(label->autoSize(), attributes.contains(QStringLiteral("auto-size")));
      // Text starts at the top of a label, centred or from its left edge.
      QCOMPARE(label->alignment() & Qt::AlignHorizontal_Mask,
               attributes.contains(QStringLiteral("centred")) ? Qt::AlignHCenter : Qt::AlignLeft);
      if (!label->text().isEmpty() || attributes.contains(QStringLiteral("centred")))
        QCOMPARE(label->alignment() & Qt::AlignVertical_Mask, Qt::AlignTop);
      QVERIFY(!label->hasScaledContents());  // pictures at their natural size
      QVERIFY(!label->wordWrap());
    }
    for (const QString& a : attributes) {
      if (a.startsWith(QLatin1String("picture "))) {
        const QStringList wh = a.mid(8).split(u'x');
        QVERIFY(label);
        QCOMPARE(label->pixmap().size(), QSize(wh[0].toInt(), wh[1].toInt()));
        QCOMPARE(label->pixmap().size(), label->size());  // each picture fills its control exactly
      }
    }
    if (attributes.contains(QStringLiteral("no picture"))) QVERIFY(label && label->pixmap().isNull());
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
      if (attributes.contains(QStringLiteral("password"))) {
        QCOMPARE(e->echoMode(), QLineEdit::Password);
        e->setText(QStringLiteral("ab1"));
        QCOMPARE(e->displayText(), QStringLiteral("***"));
        e->clear();
      } else {
        QCOMPARE(e->echoMode(), QLineEdit::Normal);
      }
      if (attributes.contains(QStringLiteral("flat"))) {
        // A single dark line around a white field, no sunken bevel.
        const QImage drawn = w->grab().toImage();
        const int mid = w->height() / 2;
        QVERIFY(qGray(drawn.pixel(0, mid)) < 60);
        QVERIFY(qGray(drawn.pixel(w->width() - 1, mid)) < 60);
        QVERIFY(qGray(drawn.pixel(1, mid)) > 200);
        QVERIFY(qGray(drawn.pixel(w->width() / 2, 1)) > 200);
      }
    }
    if (auto* g = qobject_cast<QGroupBox*>(w)) {
      QCOMPARE(g->isFlat(), attributes.contains(QStringLiteral("flat")));
      // A one-pixel line for its border.
      const QImage drawn = w->grab().toImage();
      const int mid = w->height() / 2;
      QVERIFY(qGray(drawn.pixel(0, mid)) < 200);
      QVERIFY(qGray(drawn.pixel(1, mid)) > 240);
    }

    // Tab index: every control has its place; only text boxes and command buttons take focus.
    if (tabIndex < 0)
      QVERIFY(!w->property("tabIndex").isValid());
    else
      QCOMPARE(w->property("tabIndex").toInt(), tabIndex);
    const bool takesFocus = kind == QLatin1String("text box") || kind == QLatin1String("command button");
    QCOMPARE(w->focusPolicy() != Qt::NoFocus, takesFocus);
    if (auto* b = qobject_cast<QPushButton*>(w)) QVERIFY(!b->autoDefault() && !b->isDefault());

    // Labels and images raise clicks over their whole rectangle, and nothing lies over them.
    if (label) {
      QSignalSpy clicks(label, &tav::ClickLabel::clicked);
      const QRect r = label->geometry();
      const QPoint corners[] = {r.topLeft(), r.topRight(), r.bottomLeft(), r.bottomRight(), r.center()};
      for (const QPoint& at : corners) {
        // The layout lets some detail rows overlap their neighbour by a pixel; there the later
        // label lies on top.
        QWidget* top = form->childAt(at);
        QVERIFY(top == label || (qobject_cast<tav::ClickLabel*>(top) && top->geometry().contains(at)));
        QTest::mouseClick(label, Qt::LeftButton, Qt::NoModifier, label->mapFrom(form, at));
      }
      QCOMPARE(clicks.count(), 5);
      // Just outside it is something else.
      for (const QPoint& at : {r.topLeft() - QPoint(1, 0), r.bottomRight() + QPoint(1, 1)})
        QVERIFY(form->childAt(at) != label);
      // Another button than the left one does not click.
      QTest::mouseClick(label, Qt::RightButton, Qt::NoModifier, label->rect().center());
      QCOMPARE(clicks.count(), 5);
    }
  }

  // Each window has exactly the controls of the table.
  void noOtherControls_data() {
    QTest::addColumn<QString>("window");
    QTest::addColumn<int>("count");
    QTest::newRow("frmTAV") << "frmTAV" << 11;
    QTest::newRow("frm01") << "frm01" << 17;  // with the offline status line
    QTest::newRow("frm02") << "frm02" << 4;
    QTest::newRow("frm03") << "frm03" << 6;
  }

  void noOtherControls() {
    QFETCH(QString, window);
    QFETCH(int, count);
    QWidget* w = this->window(window);
    QVERIFY(w);
    QCOMPARE(w->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).size(), count);
  }

  // When the sign-in window loads, the two text boxes move to the head of the tab order and the
  // other controls keep their order behind them.
  void signInTabIndexesAfterLoad() {
    QPointer<::frmTAV> w = new ::frmTAV;
    w->load();
    const QStringList expected = {"txtID", "txtPass", "btnTAVOpen", "btnTAVClose", "Frame1", "Label1",
                                  "Label2", "btnLogin", "lblID", "lblPWD", "lbl_LoginInfo"};
    for (int i = 0; i < expected.size(); ++i) {
      QWidget* c = w->findChild<QWidget*>(expected[i]);
      QVERIFY2(c, qPrintable(expected[i]));
      QCOMPARE(c->property("tabIndex").toInt(), i);
    }
    w->unload();  // the window deletes itself
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(w.isNull());
  }

  // An auto-size label takes the size of its text from its stored left and top edges whenever its
  // caption is set, and the layout's size again when it is emptied; other labels keep their size.
  void autoSize_data() {
    QTest::addColumn<QString>("window");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("grows");
    QTest::newRow("event title") << "frm01" << "lbl_GoodsNameInfo" << QStringLiteral("서울 대 부산") << true;
    QTest::newRow("short event title") << "frm01" << "lbl_GoodsNameInfo" << QStringLiteral("A") << true;
    QTest::newRow("result line") << "frm01" << "lbl_BookingInfo" << QStringLiteral("입장 구역이 아닙니다 (N석)") << true;
    QTest::newRow("short result") << "frm01" << "lbl_BookingInfo" << QStringLiteral("입장 확인") << true;
    QTest::newRow("total") << "frm03" << "lbl_Total" << QStringLiteral("1234567") << true;
    QTest::newRow("E") << "frm03" << "lbl_E" << QStringLiteral("0") << true;
    QTest::newRow("N") << "frm03" << "lbl_N" << QStringLiteral("98765") << true;
    QTest::newRow("S") << "frm03" << "lbl_S" << QStringLiteral("12") << true;
    QTest::newRow("W") << "frm03" << "lbl_W" << QStringLiteral("300000") << true;
    QTest::newRow("detail, not auto-size") << "frm01" << "lbl_CustName" << QStringLiteral("아주 긴 이름") << false;
    QTest::newRow("block, not auto-size") << "frm01" << "txtBlock" << QStringLiteral("전체") << false;
  }

  void autoSize() {
    QFETCH(QString, window);
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(bool, grows);
    QWidget* form = this->window(window);
    QVERIFY(form);
    auto* l = form->findChild<tav::ClickLabel*>(name);
    QVERIFY(l);
    const QRect stored = l->geometry();

    l->setCaption(caption);
    QCOMPARE(l->pos(), stored.topLeft());
    if (grows) {
      // The size of the text, give or take the rounding of fractional font metrics.
      const QFontMetricsF fm(l->font());
      QVERIFY2(std::abs(l->width() - fm.horizontalAdvance(caption)) <= 1.0, qPrintable(QString::number(l->width())));
      QVERIFY2(std::abs(l->height() - fm.height()) <= 1.0, qPrintable(QString::number(l->height())));
      // The text is drawn where the label now stands: from the stored left edge to its new right.
      const auto [first, last] = inkColumns(form, l->geometry());
      QVERIFY2(first >= stored.left() && first <= stored.left() + 8, qPrintable(QString::number(first)));
      QVERIFY2(last <= l->geometry().right() && last >= l->geometry().right() - 8, qPrintable(QString::number(last)));
    } else {
      QCOMPARE(l->size(), stored.size());
    }
    l->setCaption(caption + caption);
    if (grows) QVERIFY(std::abs(l->width() - QFontMetricsF(l->font()).horizontalAdvance(caption + caption)) <= 1.0);
    QCOMPARE(l->pos(), stored.topLeft());

    l->setCaption(QString());
    QCOMPARE(l->geometry(), stored);
  }
};

QTEST_MAIN(tst_layout)
#include "tst_layout.moc"
