// The INI reader on real files: the lookups a venue's tav.ini can need, byte for byte.
#include <cstring>

#include <QFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QtTest>

#include "platform/profile.h"

class tst_profile : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;

  QByteArray writeIni(const QByteArray& content) {
    static int n = 0;
    const QString path = dir_.filePath(QStringLiteral("tav%1.ini").arg(++n));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) qFatal("cannot write the test file");
    f.write(content);
    return QFile::encodeName(path);
  }

 private slots:
  void lookup_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("defaultValue");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray dflt = "DFLT";
    QTest::newRow("plain") << QByteArray("[Marovex]\nPlaceCode=JAMSIL01\n") << QByteArray("Marovex")
                           << QByteArray("PlaceCode") << dflt << QByteArray("JAMSIL01");
    QTest::newRow("CRLF lines") << QByteArray("[Marovex]\r\nPlaceCode=JAMSIL01\r\nOther=x\r\n")
                                << QByteArray("Marovex") << QByteArray("PlaceCode") << dflt
                                << QByteArray("JAMSIL01");
    QTest::newRow("no final newline") << QByteArray("[Marovex]\nPlaceCode=AB") << QByteArray("Marovex")
                                      << QByteArray("PlaceCode") << dflt << QByteArray("AB");
    QTest::newRow("section and key in other case")
        << QByteArray("[MAROVEX]\nplacecode=AB\n") << QByteArray("Marovex") << QByteArray("PlaceCode")
        << dflt << QByteArray("AB");
    QTest::newRow("blanks around key, value and section name")
        << QByteArray("  [ Marovex ]  \n \t PlaceCode \t=  A B \t\n") << QByteArray("Marovex")
        << QByteArray("PlaceCode") << dflt << QByteArray("A B");
    QTest::newRow("double quotes dropped") << QByteArray("[Marovex]\nPlaceCode=\" AB \"\n")
                                           << QByteArray("Marovex") << QByteArray("PlaceCode") << dflt
                                           << QByteArray(" AB ");
    QTest::newRow("single quotes dropped") << QByteArray("[Marovex]\nPlaceCode='AB'\n")
                                           << QByteArray("Marovex") << QByteArray("PlaceCode") << dflt
                                           << QByteArray("AB");
    QTest::newRow("only one pair of quotes dropped")
        << QByteArray("[Marovex]\nPlaceCode=''AB''\n") << QByteArray("Marovex")
        << QByteArray("PlaceCode") << dflt << QByteArray("'AB'");
    QTest::newRow("unmatched quotes kept") << QByteArray("[Marovex]\nPlaceCode='AB\"\n")
                                           << QByteArray("Marovex") << QByteArray("PlaceCode") << dflt
                                           << QByteArray("'AB\"");
    QTest::newRow("a lone quote kept") << QByteArray("[Marovex]\nPlaceCode=\"\n") << QByteArray("Marovex")
                                       << QByteArray("PlaceCode") << dflt << QByteArray("\"");
    QTest::newRow("empty value is found, not the default")
        << QByteArray("[Marovex]\nPlaceCode=\n") << QByteArray("Marovex") << QByteArray("PlaceCode")
        << dflt << QByteArray("");
    QTest::newRow("first key of a name wins")
        << QByteArray("[Marovex]\nPlaceCode=FIRST\nPLACECODE=SECOND\n") << QByteArray("Marovex")
        << QByteArray("PlaceCode") << dflt << QByteArray("FIRST");
    QTest::newRow("first section of a name wins")
        << QByteArray("[Marovex]\nPlaceCode=FIRST\n[marovex]\nPlaceCode=SECOND\n")
        << QByteArray("Marovex") << QByteArray("PlaceCode") << dflt << QByteArray("FIRST");
    QTest::newRow("a key only in the second section of the name is not found")
        << QByteArray("[Marovex]\nOther=1\n[Marovex]\nPlaceCode=SECOND\n") << QByteArray("Marovex")
        << QByteArray("PlaceCode") << dflt << QByteArray("DFLT");
    QTest::newRow("key of another section not taken")
        << QByteArray("[Other]\nPlaceCode=WRONG\n[Marovex]\nPlaceCode=RIGHT\n") << QByteArray("Marovex")
        << QByteArray("PlaceCode") << dflt << QByteArray("RIGHT");
    QTest::newRow("missing section gives the default")
        << QByteArray("[Other]\nPlaceCode=WRONG\n") << QByteArray("Marovex") << QByteArray("PlaceCode")
        << dflt << QByteArray("DFLT");
    QTest::newRow("missing key gives the default")
        << QByteArray("[Marovex]\nPlace=WRONG\nPlaceCodeX=WRONG\n") << QByteArray("Marovex")
        << QByteArray("PlaceCode") << dflt << QByteArray("DFLT");
    QTest::newRow("key before any section not taken")
        << QByteArray("PlaceCode=WRONG\n[Marovex]\n") << QByteArray("Marovex") << QByteArray("PlaceCode")
        << QByteArray("") << QByteArray("");
    QTest::newRow("default loses trailing blanks")
        << QByteArray("") << QByteArray("Marovex") << QByteArray("PlaceCode") << QByteArray(" D  ")
        << QByteArray(" D");
    QTest::newRow("equals sign inside the value kept")
        << QByteArray("[Marovex]\nPlaceCode=A=B\n") << QByteArray("Marovex") << QByteArray("PlaceCode")
        << dflt << QByteArray("A=B");
    QTest::newRow("UTF-8 byte order mark before the first section")
        << QByteArray("\xEF\xBB\xBF[Marovex]\nPlaceCode=AB\n") << QByteArray("Marovex")
        << QByteArray("PlaceCode") << dflt << QByteArray("AB");
    // 잠실종합운동장 in code page 949, copied as the bytes stand.
    QTest::newRow("code page 949 bytes copied unchanged")
        << QByteArray("[Marovex]\nPlaceCode=\xC0\xE1\xBD\xC7\xC1\xBE\xC7\xD5\xBF\xEE\xB5\xBF\xC0\xE5\r\n")
        << QByteArray("Marovex") << QByteArray("PlaceCode") << dflt
        << QByteArray("\xC0\xE1\xBD\xC7\xC1\xBE\xC7\xD5\xBF\xEE\xB5\xBF\xC0\xE5");
  }

  void lookup() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, section);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, defaultValue);
    QFETCH(QByteArray, expected);

    const QByteArray path = writeIni(content);
    char buffer[255];
    std::memset(buffer, 'x', sizeof buffer);
    const int n = tav::readProfileString(section.constData(), key.constData(), defaultValue.constData(),
                                         buffer, 255, path.constData());
    QCOMPARE(n, expected.size());
    QCOMPARE(QByteArray(buffer, n), expected);
    QCOMPARE(buffer[n], '\0');
  }

  void koreanValueDecodesFromCodePage949() {
    const QString venue = QStringLiteral("잠실종합운동장");
    QStringEncoder toAnsi("windows-949");
    QVERIFY(toAnsi.isValid());
    const QByteArray path = writeIni("[Marovex]\r\nPlaceCode=" + QByteArray(toAnsi(venue)) + "\r\n");
    char buffer[255];
    const int n = tav::readProfileString("Marovex", "PlaceCode", "", buffer, 255, path.constData());
    QStringDecoder fromAnsi("windows-949");
    QCOMPARE(QString(fromAnsi(QByteArray(buffer, n))), venue);
  }

  void missingFileGivesDefault() {
    char buffer[255];
    const QByteArray path = QFile::encodeName(dir_.filePath(QStringLiteral("absent.ini")));
    QCOMPARE(tav::readProfileString("Marovex", "PlaceCode", "", buffer, 255, path.constData()), 0);
    QCOMPARE(buffer[0], '\0');
    QCOMPARE(tav::readProfileString("Marovex", "PlaceCode", "ZZ", buffer, 255, path.constData()), 2);
    QCOMPARE(QByteArray(buffer), QByteArray("ZZ"));
  }

  void longValueCutToBufferLessOne_data() {
    QTest::addColumn<int>("valueLength");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("expectedLength");
    QTest::newRow("254 bytes fit") << 254 << 255 << 254;
    QTest::newRow("255 bytes cut to 254") << 255 << 255 << 254;
    QTest::newRow("600 bytes cut to 254") << 600 << 255 << 254;
    QTest::newRow("buffer of one holds only the NUL") << 10 << 1 << 0;
  }

  void longValueCutToBufferLessOne() {
    QFETCH(int, valueLength);
    QFETCH(int, size);
    QFETCH(int, expectedLength);
    QByteArray value;
    for (int i = 0; i < valueLength; ++i) value.append(static_cast<char>('A' + i % 26));
    const QByteArray path = writeIni("[Marovex]\nPlaceCode=" + value + "\n");
    QByteArray buffer(size + 8, 'x');
    const int n = tav::readProfileString("Marovex", "PlaceCode", "", buffer.data(), size, path.constData());
    QCOMPARE(n, expectedLength);
    QCOMPARE(buffer.left(n), value.left(expectedLength));
    QCOMPARE(buffer[n], '\0');
    QCOMPARE(buffer[size], 'x');  // nothing written past the buffer
  }

  // tav.ini as editors save it: with a byte-order mark the file is decoded and the value comes
  // back in code page 949; without one the bytes are code page 949 already.
  void savedEncodings_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");
    const QString ini = QStringLiteral("; 경기장 설정\r\n[Marovex]\r\nPlaceCode = 잠실01\r\n");
    auto utf16 = [](const QString& text, QStringConverter::Encoding e) {
      QStringEncoder encode(e, QStringConverter::Flag::WriteBom);
      return QByteArray(encode(text));
    };
    QStringEncoder toAnsi("windows-949");
    QTest::newRow("UTF-8 with BOM") << "\xEF\xBB\xBF" + ini.toUtf8() << QStringLiteral("잠실01");
    QTest::newRow("UTF-16 LE with BOM") << utf16(ini, QStringConverter::Utf16LE) << QStringLiteral("잠실01");
    QTest::newRow("UTF-16 BE with BOM") << utf16(ini, QStringConverter::Utf16BE) << QStringLiteral("잠실01");
    QTest::newRow("code page 949") << QByteArray(toAnsi(ini)) << QStringLiteral("잠실01");
    QTest::newRow("ASCII") << QByteArray("[Marovex]\nPlaceCode=JAMSIL01\n") << QStringLiteral("JAMSIL01");
    QTest::newRow("UTF-16 LE, a character code page 949 lacks")
        << utf16(QStringLiteral("[Marovex]\r\nPlaceCode=Sơn01\r\n"), QStringConverter::Utf16LE)
        << QStringLiteral("S?n01");
    QTest::newRow("UTF-16 LE, quoted value in a later section")
        << utf16(QStringLiteral("[Other]\r\nPlaceCode=X\r\n[MAROVEX]\r\nplacecode=\"고척 돔\"\r\n"),
                 QStringConverter::Utf16LE)
        << QStringLiteral("고척 돔");
  }

  void savedEncodings() {
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    const QByteArray path = writeIni(content);
    char buffer[255];
    const int n = tav::readProfileString("Marovex", "PlaceCode", "", buffer, 255, path.constData());
    QStringEncoder toAnsi("windows-949");
    QCOMPARE(QByteArray(buffer, n), QByteArray(toAnsi(expected)));
  }

  // A value of double-byte characters longer than the buffer: cut before a character that would
  // not fit whole, in every encoding the file may have.
  void longDoubleByteValueCutOnACharacter_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("expectedLength");
    QString value = QStringLiteral("A");  // one byte first: the 254-byte cut falls inside a character
    for (int i = 0; i < 150; ++i) value += QChar(u'가' + i);
    const QString ini = QStringLiteral("[Marovex]\r\nPlaceCode=") + value + QStringLiteral("\r\n");
    QStringEncoder toAnsi("windows-949");
    const QByteArray ansiValue = toAnsi(value);
    QVERIFY(ansiValue.size() == 301);
    QStringEncoder toUtf16(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    QTest::newRow("code page 949, 301 bytes") << QByteArray(toAnsi(ini)) << 253;
    QTest::newRow("UTF-8 with BOM") << "\xEF\xBB\xBF" + ini.toUtf8() << 253;
    QTest::newRow("UTF-16 LE with BOM") << QByteArray(toUtf16(ini)) << 253;
    QTest::newRow("code page 949, 300 bytes")
        << QByteArray(toAnsi(QStringLiteral("[Marovex]\r\nPlaceCode=") + value.mid(1) + QStringLiteral("\r\n")))
        << 254;
  }

  void longDoubleByteValueCutOnACharacter() {
    QFETCH(QByteArray, content);
    QFETCH(int, expectedLength);
    const QByteArray path = writeIni(content);
    QByteArray buffer(255 + 8, 'x');
    const int n = tav::readProfileString("Marovex", "PlaceCode", "", buffer.data(), 255, path.constData());
    QCOMPARE(n, expectedLength);
    QCOMPARE(buffer[n], '\0');
    QStringDecoder fromAnsi("windows-949");
    const QString text = fromAnsi(buffer.left(n));
    QVERIFY(!fromAnsi.hasError());
    QVERIFY(!text.contains(QChar::ReplacementCharacter));
  }
};

QTEST_GUILESS_MAIN(tst_profile)
#include "tst_profile.moc"
