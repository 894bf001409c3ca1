// The pictures, sounds and settings file the station ships: sizes, formats and what they must say.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <cmath>

#include "assets/install.h"
#include "assets/pictures.h"
#include "assets/sounds.h"
#include "platform/profile.h"
#include "tests/support/Pixels.h"

using namespace tav::test;

namespace {

struct Wav {
  int channels = 0, rate = 0, bits = 0, format = 0;
  std::vector<qint16> samples;
};

// A strict reader: RIFF header, a 16-byte fmt chunk and a data chunk whose size matches the file.
Wav parseWav(const QByteArray& b) {
  Wav w;
  if (b.size() < 44 || !b.startsWith("RIFF") || b.mid(8, 4) != "WAVE" || b.mid(12, 4) != "fmt ") return w;
  const auto* d = reinterpret_cast<const uchar*>(b.constData());
  if (qFromLittleEndian<quint32>(d + 4) != static_cast<quint32>(b.size() - 8)) return w;
  if (qFromLittleEndian<quint32>(d + 16) != 16 || b.mid(36, 4) != "data") return w;
  if (qFromLittleEndian<quint32>(d + 40) != static_cast<quint32>(b.size() - 44)) return w;
  w.format = qFromLittleEndian<quint16>(d + 20);
  w.channels = qFromLittleEndian<quint16>(d + 22);
  w.rate = static_cast<int>(qFromLittleEndian<quint32>(d + 24));
  w.bits = qFromLittleEndian<quint16>(d + 34);
  for (qsizetype i = 44; i + 1 < b.size(); i += 2) w.samples.push_back(qFromLittleEndian<qint16>(d + i));
  return w;
}

// Sign changes per second over [from, to) seconds: a rough measure of pitch.
double crossingsPerSecond(const Wav& w, double from, double to) {
  const auto a = static_cast<std::size_t>(from * w.rate);
  const auto z = std::min(w.samples.size(), static_cast<std::size_t>(to * w.rate));
  int n = 0;
  for (std::size_t i = a + 1; i < z; ++i) n += (w.samples[i - 1] < 0) != (w.samples[i] < 0);
  return n / (to - from);
}

}  // namespace

class tst_assets : public QObject {
  Q_OBJECT

 private slots:
  void pictureSizes_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::newRow("entry face") << "btn3on.jpg" << QSize(113, 57);
    QTest::newRow("exit face") << "btn4on.jpg" << QSize(113, 57);
    QTest::newRow("block chosen") << "btn2off.jpg" << QSize(114, 58);
    QTest::newRow("statistics open") << "btn5off.jpg" << QSize(91, 58);
    QTest::newRow("statistics closed") << "btn5on.jpg" << QSize(91, 58);
    QTest::newRow("file names ignore case") << "BTN3ON.JPG" << QSize(113, 57);
    QTest::newRow("check screen backdrop") << "frm01/background" << QSize(1024, 768);
    QTest::newRow("close image") << "frm01/Command2" << QSize(48, 45);
    QTest::newRow("mode switch") << "frm01/btnMode" << QSize(116, 58);
    QTest::newRow("block button") << "frm01/btnBlock" << QSize(114, 58);
    QTest::newRow("statistics button") << "frm01/btnScore" << QSize(91, 58);
  }

  void pictureSizes() {
    QFETCH(QString, name);
    QFETCH(QSize, size);
    QCOMPARE(tav::assets::picture(name).size(), size);
  }

  void unknownPictureIsNull() {
    QVERIFY(tav::assets::picture(QStringLiteral("btn9on.jpg")).isNull());
    QVERIFY(tav::assets::picture(QStringLiteral("frm01/nothing")).isNull());
    QVERIFY(tav::assets::picture(QString()).isNull());
  }

  void entryAndExitFacesDifferInColour() {
    const QRect body(4, 8, 10, 40);  // left edge of the face, beside the arrow
    const QColor entry = meanColour(tav::assets::picture(QStringLiteral("btn3on.jpg")), body);
    const QColor exit = meanColour(tav::assets::picture(QStringLiteral("btn4on.jpg")), body);
    QVERIFY2(entry.green() > entry.red() + 40, qPrintable(entry.name()));
    QVERIFY2(exit.red() > exit.green() + 60, qPrintable(exit.name()));
  }

  void backdropTitlesEachDetailRowBesideItsLabel_data() {
    QTest::addColumn<int>("top");
    QTest::addColumn<int>("height");
    // Tops and heights of the seven detail labels on the check screen, in pixels.
    QTest::newRow("customer") << 368 << 49;
    QTest::newRow("ticket number") << 416 << 41;
    QTest::newRow("event") << 464 << 41;
    QTest::newRow("play date") << 504 << 49;
    QTest::newRow("place") << 552 << 41;
    QTest::newRow("seat grade") << 592 << 49;
    QTest::newRow("seat info") << 640 << 49;
  }

  void backdropTitlesEachDetailRowBesideItsLabel() {
    QFETCH(int, top);
    QFETCH(int, height);
    static const QImage bg = tav::assets::picture(QStringLiteral("frm01/background"));
    QVERIFY(inkPixels(bg, QRect(20, top + 4, 180, height - 8)) > 60);
    // The label's own area stays clear, so the details read without clutter.
    QCOMPARE(inkPixels(bg, QRect(210, top + 6, 760, height - 12)), 0);
  }

  void sounds_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("accept") << "ok.wav";
    QTest::newRow("refuse") << "no.wav";
    QTest::newRow("default") << "";
  }

  void sounds() {
    QFETCH(QString, name);
    const QByteArray bytes = name.isEmpty() ? tav::assets::defaultSound() : tav::assets::sound(name);
    const Wav w = parseWav(bytes);
    QCOMPARE(w.format, 1);  // PCM: the only kind the sound service decodes
    QCOMPARE(w.channels, 1);
    QCOMPARE(w.bits, 16);
    QVERIFY(w.rate >= 8000);
    const double seconds = static_cast<double>(w.samples.size()) / w.rate;
    QVERIFY2(seconds > 0.15 && seconds < 1.0, qPrintable(QString::number(seconds)));
    int peak = 0;
    for (qint16 s : w.samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
    QVERIFY(peak > 16000 && peak < 32767);  // loud, never clipped
  }

  void chimeRisesAndBuzzIsLow() {
    const Wav ok = parseWav(tav::assets::sound(QStringLiteral("ok.wav")));
    const Wav no = parseWav(tav::assets::sound(QStringLiteral("no.wav")));
    const double okStart = crossingsPerSecond(ok, 0.01, 0.07);
    const double okEnd = crossingsPerSecond(ok, 0.20, 0.30);
    QVERIFY2(okEnd > okStart * 1.2, qPrintable(QStringLiteral("%1 -> %2").arg(okStart).arg(okEnd)));
    QVERIFY(okStart > 1500);  // bright: above 750 Hz
    // The buzz's fundamental is low; its overtones add crossings but stay well below the chime's.
    QVERIFY2(crossingsPerSecond(no, 0.02, 0.20) < okStart / 2,
             qPrintable(QString::number(crossingsPerSecond(no, 0.02, 0.20))));
    QVERIFY(tav::assets::sound(QStringLiteral("other.wav")).isEmpty());
  }

  void installFolderHoldsEveryFile() {
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("orltav"));
    tav::assets::writeInstallFolder(folder, QStringLiteral("잠실01"));

    QStringList expected = tav::assets::pictureFiles() + tav::assets::soundFiles();
    expected << QStringLiteral("tav.ini");
    QStringList present = QDir(folder).entryList(QDir::Files);
    expected.sort();
    present.sort();
    QCOMPARE(present, expected);

    for (const QString& name : tav::assets::pictureFiles()) {
      QFile f(QDir(folder).filePath(name));
      QVERIFY(f.open(QIODevice::ReadOnly));
      const QByteArray bytes = f.readAll();
      QVERIFY2(bytes.startsWith("\xFF\xD8\xFF"), qPrintable(name));  // JPEG, as the file name says
      const QImage img = QImage::fromData(bytes);
      QCOMPARE(img.size(), tav::assets::picture(name).size());
    }
    for (const QString& name : tav::assets::soundFiles()) {
      QFile f(QDir(folder).filePath(name));
      QVERIFY(f.open(QIODevice::ReadOnly));
      QCOMPARE(f.readAll(), tav::assets::sound(name));
    }

    // The station's own reader finds the code, and it decodes from code page 949.
    char buffer[255];
    const QByteArray ini = QFile::encodeName(QDir(folder).filePath(QStringLiteral("tav.ini")));
    const int n = tav::readProfileString("Marovex", "PlaceCode", "", buffer, 255, ini.constData());
    QStringDecoder fromAnsi("windows-949");
    QCOMPARE(QString(fromAnsi(QByteArray(buffer, n))), QStringLiteral("잠실01"));
  }

  void installFolderReplacesOldFiles() {
    QTemporaryDir dir;
    tav::assets::writeInstallFolder(dir.path(), QStringLiteral("FIRST"));
    tav::assets::writeInstallFolder(dir.path(), QStringLiteral("SECOND"));
    QFile f(dir.filePath(QStringLiteral("tav.ini")));
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("[Marovex]\r\nPlaceCode=SECOND\r\n"));
  }

  void unwritableCodeIsRefused_data() {
    QTest::addColumn<QString>("code");
    QTest::newRow("line break") << QStringLiteral("A\nPlaceCode=B");
    QTest::newRow("carriage return") << QStringLiteral("A\rB");
    QTest::newRow("outside code page 949") << QStringLiteral("A\U0001F600");
  }

  void unwritableCodeIsRefused() {
    QFETCH(QString, code);
    QTemporaryDir dir;
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, tav::assets::writeInstallFolder(dir.path(), code));
    QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());  // nothing written
  }

  // tav-assets --station-key takes only a file that add-station wrote, and installs the key alone.
  void stationKeyFile_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("taken");
    const QByteArray key("AbCdEfGhIjKlMnOpQrStUvWxYz0123456789-_AbCdE");
    QTest::newRow("as add-station writes it") << key + "\n" << true;
    QTest::newRow("saved with a Windows line end") << key + "\r\n" << true;
    QTest::newRow("one character short") << key.left(42) + "\n" << false;
    QTest::newRow("not base64url") << QByteArray(key).replace('A', '+') << false;
    QTest::newRow("a certificate") << QByteArray("-----BEGIN CERTIFICATE-----\nMIIB\n") << false;
    QTest::newRow("two keys") << key + "\n" + key + "\n" << false;
  }

  void stationKeyFile() {
    QFETCH(QByteArray, file);
    QFETCH(bool, taken);
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("gate3.key"));
    QFile f(source);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(file);
    f.close();
    const QString folder = dir.filePath(QStringLiteral("orltav"));
    if (!taken) {
      QVERIFY_THROWS_EXCEPTION(std::invalid_argument, tav::assets::stationKeyFile(source));
      return;
    }
    tav::assets::writeInstallFolder(folder, QStringLiteral("JAMSIL"), {}, tav::assets::stationKeyFile(source));
    QFile installed(QDir(folder).filePath(QStringLiteral("station.key")));
    QVERIFY(installed.open(QIODevice::ReadOnly));
    QCOMPARE(installed.readAll(), file.trimmed() + "\n");
  }

  void unwritableFolderIsReported() {
    QTemporaryDir dir;
    QFile blocker(dir.filePath(QStringLiteral("file")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                             tav::assets::writeInstallFolder(dir.filePath(QStringLiteral("file/sub")),
                                                             QStringLiteral("X")));
  }
};

QTEST_MAIN(tst_assets)
#include "tst_assets.moc"
