// A venue's own sound files through the Qt platform: every WAV format the Windows call plays
// reaches the sound effect as 16-bit PCM that it loads, and anything else plays the default sound.
#include <QFile>
#include <QSoundEffect>
#include <QtTest>
#include <cstdint>
#include <utility>

#include "assets/sounds.h"
#include "platform/qt/QtPlatform.h"
#include "tests/support/RecordingPlatform.h"

using Samples = QList<int>;
Q_DECLARE_METATYPE(Samples)

namespace {

const QString kOkWav = QStringLiteral("C:\\ORLTAV\\ok.wav");

void put(QByteArray& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Samples of format `tag` and `size` bytes: integers (A-law and mu-law bytes too) or floats.
QByteArray encode(int tag, int size, const QList<double>& values) {
  QByteArray out;
  for (double v : values) {
    const float f = static_cast<float>(v);
    if (tag == 3)
      out.append(size == 4 ? reinterpret_cast<const char*>(&f) : reinterpret_cast<const char*>(&v), size);
    else
      put(out, static_cast<std::uint64_t>(static_cast<qint64>(v)), size);
  }
  return out;
}

// A WAV file: format `tag` (in an extensible chunk when asked), a LIST chunk before the data.
QByteArray wav(int tag, int channels, int rate, int sampleBytes, const QList<double>& values, bool extensible = false) {
  const QByteArray data = encode(tag, sampleBytes, values);
  QByteArray fmt;
  put(fmt, extensible ? 0xFFFE : static_cast<std::uint64_t>(tag), 2);
  put(fmt, static_cast<std::uint64_t>(channels), 2);
  put(fmt, static_cast<std::uint64_t>(rate), 4);
  put(fmt, static_cast<std::uint64_t>(rate * channels * sampleBytes), 4);
  put(fmt, static_cast<std::uint64_t>(channels * sampleBytes), 2);
  put(fmt, static_cast<std::uint64_t>(sampleBytes * 8), 2);
  if (extensible) {
    put(fmt, 22, 2);
    put(fmt, static_cast<std::uint64_t>(sampleBytes * 8), 2);  // valid bits
    put(fmt, channels == 2 ? 3 : 4, 4);                         // channel mask
    put(fmt, static_cast<std::uint64_t>(tag), 2);               // sub-format GUID, its first part
    fmt.append("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
  }
  QByteArray body = "WAVE";
  body += "fmt ";
  put(body, static_cast<std::uint64_t>(fmt.size()), 4);
  body += fmt;
  body += "LIST";
  put(body, 5, 4);
  body += QByteArray("INFOx\0", 6);  // an odd chunk size, padded
  body += "data";
  put(body, static_cast<std::uint64_t>(data.size()), 4);
  body += data;
  QByteArray file = "RIFF";
  put(file, static_cast<std::uint64_t>(body.size()), 4);
  return file + body;
}

// The 16-bit PCM file the platform should hand to the sound effect.
QByteArray pcm16(int channels, int rate, const Samples& samples) {
  QByteArray data;
  for (int v : samples) put(data, static_cast<std::uint64_t>(v), 2);
  QByteArray file = "RIFF";
  put(file, static_cast<std::uint64_t>(36 + data.size()), 4);
  file += "WAVEfmt ";
  for (auto [v, n] : {std::pair{16, 4}, {1, 2}, {channels, 2}, {rate, 4}, {rate * channels * 2, 4}, {channels * 2, 2}, {16, 2}})
    put(file, static_cast<std::uint64_t>(v), n);
  file += "data";
  put(file, static_cast<std::uint64_t>(data.size()), 4);
  return file + data;
}

QByteArray sourceBytes(const tav::QtPlatform& qt) {
  QFile f(qt.soundEffect()->source().toLocalFile());
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

class tst_sounds : public QObject {
  Q_OBJECT

 private slots:
  void formats_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("channels");  // of the playable file
    QTest::addColumn<int>("rate");
    QTest::addColumn<Samples>("samples");
    const Samples full = {0, 16384, -16384, 32767, -32768};
    QTest::newRow("8-bit mono 11025 Hz") << wav(1, 1, 11025, 1, {128, 192, 64, 255, 0}) << 1 << 11025
                                         << Samples{0, 16384, -16384, 32512, -32768};
    QTest::newRow("16-bit stereo 44100 Hz") << wav(1, 2, 44100, 2, {0, 1, -1, 32767, -32768, 7}) << 2 << 44100
                                            << Samples{0, 1, -1, 32767, -32768, 7};
    QTest::newRow("24-bit mono 48000 Hz") << wav(1, 1, 48000, 3, {0, 0x400000, -0x400000, 0x7FFFFF, -0x800000})
                                          << 1 << 48000 << full;
    QTest::newRow("32-bit mono 22050 Hz")
        << wav(1, 1, 22050, 4, {0, 0x40000000, -0x40000000, 0x7FFFFFFF, -2147483648.0}) << 1 << 22050 << full;
    QTest::newRow("32-bit float stereo, over full scale clipped") << wav(3, 2, 44100, 4, {0, 0.5, -0.5, 1, -1, 2})
                                                                  << 2 << 44100
                                                                  << Samples{0, 16384, -16384, 32767, -32767, 32767};
    QTest::newRow("64-bit float mono 8000 Hz") << wav(3, 1, 8000, 8, {0, 0.5, -1.5}) << 1 << 8000
                                               << Samples{0, 16384, -32767};
    QTest::newRow("24-bit extensible stereo 96000 Hz") << wav(1, 2, 96000, 3, {0x400000, -0x400000}, true) << 2
                                                       << 96000 << Samples{16384, -16384};
    QTest::newRow("float extensible mono") << wav(3, 1, 32000, 4, {0.5}, true) << 1 << 32000 << Samples{16384};
    QTest::newRow("A-law") << wav(6, 1, 8000, 1, {0xD5, 0xAA, 0x2A}) << 1 << 8000 << Samples{8, 32256, -32256};
    QTest::newRow("mu-law") << wav(7, 1, 8000, 1, {0xFF, 0x80, 0x00}) << 1 << 8000 << Samples{0, 32124, -32124};
    QTest::newRow("four channels keep the first two") << wav(1, 4, 44100, 2, {1, 2, 3, 4, 5, 6, 7, 8}) << 2 << 44100
                                                      << Samples{1, 2, 5, 6};
    QTest::newRow("last frame cut short is dropped") << wav(1, 2, 44100, 2, {1, 2, 3}) << 2 << 44100
                                                     << Samples{1, 2};
  }

  void formats() {
    QFETCH(QByteArray, file);
    QFETCH(int, channels);
    QFETCH(int, rate);
    QFETCH(Samples, samples);
    tav::test::InstallFolder folder;
    folder.writeFile(QStringLiteral("ok.wav"), file);
    tav::QtPlatform qt;
    qt.playSound(kOkWav);

    QCOMPARE(sourceBytes(qt), pcm16(channels, rate, samples));
    QTRY_COMPARE(qt.soundEffect()->status(), QSoundEffect::Ready);
  }

  // What the Windows call cannot play gives the default sound, as a missing file does.
  void unplayableFilesGiveTheDefaultSound_data() {
    QTest::addColumn<QByteArray>("file");  // empty: no file at all
    QTest::newRow("missing") << QByteArray();
    QTest::newRow("not a WAV file") << QByteArray("ID3\x03\x00 an MP3 file named ok.wav");
    QTest::newRow("ADPCM") << wav(2, 1, 8000, 1, {17, 17, 17, 17});
    QTest::newRow("no data chunk") << wav(1, 1, 8000, 2, {}).left(50);
    QTest::newRow("no channels") << wav(1, 0, 8000, 2, {0, 0});
    QTest::newRow("cut inside the header") << wav(1, 1, 8000, 2, {0, 0}).left(30);
  }

  void unplayableFilesGiveTheDefaultSound() {
    QFETCH(QByteArray, file);
    tav::test::InstallFolder folder;
    if (file.isEmpty())
      folder.removeFile(QStringLiteral("ok.wav"));
    else
      folder.writeFile(QStringLiteral("ok.wav"), file);
    tav::QtPlatform qt;
    qt.playSound(kOkWav);
    QCOMPARE(sourceBytes(qt), tav::assets::defaultSound());
  }

  // A file replaced while the station runs plays as it is now.
  void replacedFileIsReadAgain() {
    tav::test::InstallFolder folder;
    folder.writeFile(QStringLiteral("ok.wav"), wav(1, 1, 8000, 1, {192}));
    tav::QtPlatform qt;
    qt.playSound(kOkWav);
    QCOMPARE(sourceBytes(qt), pcm16(1, 8000, {16384}));
    folder.writeFile(QStringLiteral("ok.wav"), wav(1, 2, 8000, 2, {5, 6}));
    qt.playSound(kOkWav);
    QCOMPARE(sourceBytes(qt), pcm16(2, 8000, {5, 6}));
  }
};

QTEST_MAIN(tst_sounds)
#include "tst_sounds.moc"
