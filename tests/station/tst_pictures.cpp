// The pictures compiled into the station: their exact sizes and file formats, the icon file, that
// the install folder gets the same bytes as the built-in copies, and what each backdrop must
// leave clear or put beside the controls that lie over it.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include "assets/catalog.h"
#include "assets/drawing.h"
#include "assets/install.h"
#include "assets/pictures.h"
#include "tests/support/Pixels.h"

using namespace tav::test;

namespace {

// The markers of a JPEG file, up to its first frame header: SOF0 (0xC0) is baseline.
struct Jpeg {
  int frameMarker = 0;
  int components = 0;
};

Jpeg readJpeg(const QByteArray& b) {
  Jpeg j;
  if (!b.startsWith("\xFF\xD8")) return j;
  qsizetype at = 2;
  while (at + 4 <= b.size() && static_cast<uchar>(b[at]) == 0xFF) {
    const int marker = static_cast<uchar>(b[at + 1]);
    const int length = qFromBigEndian<quint16>(b.constData() + at + 2);
    if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
      j.frameMarker = marker;
      j.components = static_cast<uchar>(b[at + 9]);
      return j;
    }
    at += 2 + length;
  }
  return j;
}

QRect px(int left, int top, int width, int height) { return QRect(left / 15, top / 15, width / 15, height / 15); }

}  // namespace

class tst_pictures : public QObject {
  Q_OBJECT

 private slots:
  // Every picture at the pixel size its controls are placed against, stored as its kind says.
  void pictures_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::newRow("sign-in backdrop") << "frmTAV/background" << QSize(320, 360);
    QTest::newRow("sign-in icon") << "frmTAV/icon" << QSize(36, 35);
    QTest::newRow("check screen backdrop") << "frm01/background" << QSize(1024, 768);
    QTest::newRow("close image") << "frm01/Command2" << QSize(48, 45);
    QTest::newRow("mode switch") << "frm01/btnMode" << QSize(116, 58);
    QTest::newRow("block button") << "frm01/btnBlock" << QSize(114, 58);
    QTest::newRow("statistics button") << "frm01/btnScore" << QSize(91, 58);
    QTest::newRow("block dialog backdrop") << "frm02/background" << QSize(477, 328);
    QTest::newRow("statistics backdrop") << "frm03/background" << QSize(477, 338);
    QTest::newRow("entry face") << "btn3on.jpg" << QSize(113, 57);
    QTest::newRow("exit face") << "btn4on.jpg" << QSize(113, 57);
    QTest::newRow("block chosen") << "btn2off.jpg" << QSize(114, 58);
    QTest::newRow("statistics open") << "btn5off.jpg" << QSize(91, 58);
    QTest::newRow("statistics closed") << "btn5on.jpg" << QSize(91, 58);
  }

  void pictures() {
    QFETCH(QString, name);
    QFETCH(QSize, size);
    const QByteArray bytes = tav::assets::pictureBytes(name);
    QVERIFY(!bytes.isEmpty());
    QCOMPARE(QImage::fromData(bytes).size(), size);
    QCOMPARE(tav::assets::picture(name).size(), size);
    if (name == QLatin1String("frmTAV/icon")) return;  // the icon file has a test of its own
    const Jpeg jpeg = readJpeg(bytes);
    QCOMPARE(jpeg.frameMarker, 0xC0);  // baseline
    QCOMPARE(jpeg.components, 3);      // colour
    // The compiled-in picture is what the drawing code draws and encodes now, byte for byte.
    QVERIFY2(tav::assets::encodePicture(name) == bytes, qPrintable(name));
  }

  void catalogAgreesWithTheLists() {
    QStringList all = tav::assets::pictureFiles() + tav::assets::embeddedPictures();
    QCOMPARE(all.size(), static_cast<qsizetype>(tav::assets::pictureCatalog().size()));
    for (const QString& name : all) QVERIFY2(tav::assets::findPicture(name), qPrintable(name));
    QVERIFY(tav::assets::findPicture(QStringLiteral("BTN5ON.JPG")));      // file names ignore case
    QVERIFY(!tav::assets::findPicture(QStringLiteral("FRM01/BACKGROUND")));  // window pictures do not
    QVERIFY(tav::assets::pictureBytes(QStringLiteral("btn9.jpg")).isEmpty());
    QVERIFY(tav::assets::drawPicture(QStringLiteral("btn9.jpg")).isNull());
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, tav::assets::encodePicture(QStringLiteral("btn9.jpg")));
  }

  // The sign-in window's icon: one 36 x 35 image of 256 colours with a transparency mask.
  void iconFile() {
    const QByteArray ico = tav::assets::pictureBytes(QStringLiteral("frmTAV/icon"));
    QCOMPARE(tav::assets::encodePicture(QStringLiteral("frmTAV/icon")), ico);
    const auto* d = reinterpret_cast<const uchar*>(ico.constData());
    QCOMPARE(ico.size(), 2626);  // 6 + 16 + 40 + 256 * 4 + 36 * 35 + 8 * 35 bytes
    QCOMPARE(qFromLittleEndian<quint16>(d + 2), quint16(1));  // an icon
    QCOMPARE(qFromLittleEndian<quint16>(d + 4), quint16(1));  // one image
    QCOMPARE(int(d[6]), 36);
    QCOMPARE(int(d[7]), 35);
    QCOMPARE(int(d[8]), 0);  // 256 colours
    QCOMPARE(qFromLittleEndian<quint16>(d + 12), quint16(8));
    QCOMPARE(qFromLittleEndian<quint32>(d + 14), quint32(ico.size() - 22));
    const QImage icon = QImage::fromData(ico, "ICO");
    QCOMPARE(icon.size(), QSize(36, 35));
    QVERIFY(icon.hasAlphaChannel());
    QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);     // corners show the title bar through
    QCOMPARE(qAlpha(icon.pixel(18, 17)), 255);
    // Pixel for pixel what was drawn, where it is opaque: few enough colours for an exact palette.
    const QImage drawn = tav::assets::drawPicture(QStringLiteral("frmTAV/icon"));
    for (int y = 0; y < 35; ++y)
      for (int x = 0; x < 36; ++x)
        if (qAlpha(drawn.pixel(x, y)) >= 128) QCOMPARE(qRgb(qRed(icon.pixel(x, y)), qGreen(icon.pixel(x, y)), qBlue(icon.pixel(x, y))),
                                                       qRgb(qRed(drawn.pixel(x, y)), qGreen(drawn.pixel(x, y)), qBlue(drawn.pixel(x, y))));
  }

  // More colours than a palette holds: still a 256-colour icon, close to the picture.
  void iconOfManyColours() {
    QImage rainbow(64, 48, QImage::Format_ARGB32);
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x) rainbow.setPixel(x, y, qRgba(x * 4, y * 5, (x + y) * 2, x < 4 ? 0 : 255));
    const QByteArray ico = tav::assets::icoFile(rainbow);
    QCOMPARE(ico.size(), 6 + 16 + 40 + 1024 + 64 * 48 + 8 * 48);
    const QImage back = QImage::fromData(ico, "ICO");
    QCOMPARE(back.size(), QSize(64, 48));
    QCOMPARE(qAlpha(back.pixel(2, 10)), 0);
    QCOMPARE(qAlpha(back.pixel(40, 10)), 255);
    const double error = meanDifference(back.copy(8, 0, 56, 48), rainbow.copy(8, 0, 56, 48));
    QVERIFY2(error < 12.0, qPrintable(QString::number(error)));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, tav::assets::icoFile(QImage(257, 10, QImage::Format_ARGB32)));
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, tav::assets::icoFile(QImage()));
  }

  // A station shows the same face whether it reads the install-folder file or its built-in copy.
  void installFolderHoldsTheBuiltInBytes() {
    QTemporaryDir dir;
    tav::assets::writeInstallFolder(dir.path(), QStringLiteral("DEMO01"));
    for (const QString& name : tav::assets::pictureFiles()) {
      QFile f(QDir(dir.path()).filePath(name));
      QVERIFY2(f.open(QIODevice::ReadOnly), qPrintable(name));
      QCOMPARE(f.readAll(), tav::assets::pictureBytes(name));
    }
  }

  // The entry and exit faces of the check button differ in colour and in word at a glance.
  void entryAndExitFaces() {
    const QImage entry = tav::assets::picture(QStringLiteral("btn3on.jpg"));
    const QImage exit = tav::assets::picture(QStringLiteral("btn4on.jpg"));
    const QColor in = meanColour(entry, entry.rect().adjusted(3, 3, -3, -3));
    const QColor out = meanColour(exit, exit.rect().adjusted(3, 3, -3, -3));
    QVERIFY2(in.green() > in.red() + 40, qPrintable(in.name()));
    QVERIFY2(out.red() > out.green() + 60, qPrintable(out.name()));
    // Different words (입장, 퇴장: the first syllable differs) and opposite arrows.
    int differing = 0;
    for (int y = 10; y < 47; ++y)
      for (int x = 6; x < 108; ++x) differing += (qGray(entry.pixel(x, y)) > 220) != (qGray(exit.pixel(x, y)) > 220);
    QVERIFY2(differing > 150, qPrintable(QString::number(differing)));
  }

  // Under every control of the sign-in window that draws dark text the backdrop stays light,
  // and the window's title and hint have a ground of their own.
  void signInBackdropLeavesTheControlsReadable_data() {
    QTest::addColumn<QRect>("area");
    QTest::newRow("Label1") << px(480, 360, 2655, 495);
    QTest::newRow("lblID") << px(480, 1560, 375, 255);
    QTest::newRow("lblPWD") << px(480, 2040, 495, 255);
    QTest::newRow("lbl_LoginInfo") << px(600, 2520, 3615, 375);
    QTest::newRow("Label2") << px(480, 4680, 3975, 375);
  }

  void signInBackdropLeavesTheControlsReadable() {
    QFETCH(QRect, area);
    const QImage bg = tav::assets::picture(QStringLiteral("frmTAV/background"));
    QVERIFY2(darkest(bg, area) > 200, qPrintable(QString::number(darkest(bg, area))));
  }

  // The check screen: the seven detail rows are titled beside their labels, whose own area stays
  // clear; so do the result line, the event title and the chosen block.
  void checkScreenBackdrop_data() {
    QTest::addColumn<QRect>("title");  // where a title must be lettered; empty for none
    QTest::addColumn<QRect>("clear");  // where the backdrop must stay light
    const QRect none;
    QTest::newRow("customer") << QRect(20, 368, 180, 49) << px(3120, 5520, 11415, 735);
    QTest::newRow("ticket number") << QRect(20, 416, 180, 41) << px(3120, 6240, 11415, 615);
    QTest::newRow("event") << QRect(20, 464, 180, 41) << px(3120, 6960, 11415, 615);
    QTest::newRow("play date") << QRect(20, 504, 180, 49) << px(3120, 7560, 11415, 735);
    QTest::newRow("place") << QRect(20, 552, 180, 41) << px(3120, 8280, 11415, 615);
    QTest::newRow("seat grade") << QRect(20, 592, 180, 49) << px(3120, 8880, 11415, 735);
    QTest::newRow("seat info") << QRect(20, 640, 180, 49) << px(3120, 9600, 11415, 735);
    QTest::newRow("result line") << none << QRect(58, 258, 950, 90);
    QTest::newRow("event title") << none << QRect(531, 40, 420, 60);
    QTest::newRow("chosen block") << none << px(4080, 2400, 1815, 735);
  }

  void checkScreenBackdrop() {
    QFETCH(QRect, title);
    QFETCH(QRect, clear);
    const QImage bg = tav::assets::picture(QStringLiteral("frm01/background"));
    if (!title.isNull()) QVERIFY(inkPixels(bg, title.adjusted(0, 4, 0, -4)) > 60);
    QVERIFY2(darkest(bg, clear.adjusted(2, 2, -2, -2)) > 200, qPrintable(QString::number(darkest(bg, clear))));
  }

  // The statistics window: a title left of each figure, the figures' own row clear, and a red
  // close mark under the close hot-spot.
  void statisticsBackdrop_data() {
    QTest::addColumn<int>("top");
    QTest::newRow("total") << 1440;
    QTest::newRow("E") << 2160;
    QTest::newRow("N") << 2760;
    QTest::newRow("S") << 3480;
    QTest::newRow("W") << 4080;
  }

  void statisticsBackdrop() {
    QFETCH(int, top);
    const QImage bg = tav::assets::picture(QStringLiteral("frm03/background"));
    const int y = top / 15;
    QVERIFY(inkPixels(bg, QRect(72, y, 160, 31)) > 40);
    QVERIFY(darkest(bg, QRect(3960 / 15, y, 140, 31)) > 200);
    const QColor mark = meanColour(bg, px(6360, 120, 615, 615));
    QVERIFY2(mark.red() > mark.green() + 80 && mark.red() > mark.blue() + 80, qPrintable(mark.name()));
  }
};

QTEST_MAIN(tst_pictures)
#include "tst_pictures.moc"
