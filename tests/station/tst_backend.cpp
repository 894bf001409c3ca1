// The gateway and the command texts: byte-exact texts and answer rules, the HTTP form of a call
// against a canned server for malformed answers and the session cookie, and against a real tav-server.
#include <QtTest>

#include "backend/commands.h"
#include "backend/gateway.h"
#include "tests/support/CannedServer.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestServer.h"

using namespace tav::backend;
using tav::test::CannedServer;
using tav::test::noRows;
using tav::test::signInAnswer;

namespace {

std::unique_ptr<Recordset> query(const QString& url, const QString& command,
                                 const QString& progId = kProgId) {
  DataSpace dataSpace;
  std::unique_ptr<BusinessObject> object = dataSpace.CreateObject(progId, url);
  return BackendQuery(*object, command);
}

}  // namespace

class TestBackend : public QObject {
  Q_OBJECT

 private slots:
  // Every case starts without a session, as the program does.
  void init() { tav::backend::sessionCookie().clear(); }

  void commandTexts_data();
  void commandTexts();
  void quotedValues_data();
  void quotedValues();
  void checkValues_data();
  void checkValues();
  void answerCodes_data();
  void answerCodes();
  void playDates_data();
  void playDates();
  void trimming_data();
  void trimming();

  void requestOnTheWire();
  void answerValues();
  void malformedAnswers_data();
  void malformedAnswers();
  void unusableAddresses_data();
  void unusableAddresses();
  void sessionCookieKept_data();
  void sessionCookieKept();
  void sessionCookieOutlivesFailures();
  void stationKeySent_data();
  void stationKeySent();

  void realServer();
  void realServerOverHttps();
};

void TestBackend::commandTexts_data() {
  QTest::addColumn<QString>("built");
  QTest::addColumn<QByteArray>("expected");

  QTest::newRow("operator sign-in")
      << operatorSignInCommand("gate01", "pw 1")
      << QByteArray("Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'gate01','pw 1'");
  QTest::newRow("operator sign-in, blanks kept")
      << operatorSignInCommand(" gate01 ", "   ")
      << QByteArray("Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo ' gate01 ','   '");
  QTest::newRow("operator sign-in, apostrophes doubled")
      << operatorSignInCommand("O'Neil", "a'';b")
      << QByteArray("Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'O''Neil','a'''';b'");
  QTest::newRow("venue sign-in") << venueSignInCommand("JAMSIL")
                                 << QByteArray(
                                        "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'JAMSIL'");
  QTest::newRow("venue sign-in, empty")
      << venueSignInCommand("") << QByteArray("Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo ''");
  QTest::newRow("ticket check") << ticketCheckCommand("I", "B2024", "E석", "123456789012345",
                                                      "gate01")
                                << QByteArray(
                                       "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo "
                                       "'I','B2024','E석','123456789012345', 'gate01'");
  QTest::newRow("ticket check, all blocks")
      << ticketCheckCommand("O", "B2024", "", "T1", "gate01")
      << QByteArray("Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'O','B2024','','T1', 'gate01'");
  QTest::newRow("ticket check, apostrophe in ticket")
      << ticketCheckCommand("I", "B'1", "", "1' OR '1'='1", "a'")
      << QByteArray(
             "Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'I','B''1','','1'' OR ''1''=''1', "
             "'a'''");
  QTest::newRow("statistics")
      << statisticsCommand("B2024")
      << QByteArray("Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'S','B2024','','',''");
  QTest::newRow("statistics, apostrophe")
      << statisticsCommand("'")
      << QByteArray("Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo 'S','''','','',''");
}

void TestBackend::commandTexts() {
  QFETCH(QString, built);
  QFETCH(QByteArray, expected);
  QCOMPARE(built.toUtf8(), expected);
}

void TestBackend::quotedValues_data() {
  QTest::addColumn<QString>("value");
  QTest::addColumn<QString>("expected");
  QTest::newRow("none") << "abc 석"
                        << "abc 석";
  QTest::newRow("empty") << ""
                         << "";
  QTest::newRow("one") << "'"
                       << "''";
  QTest::newRow("inside") << "O'Neil"
                          << "O''Neil";
  QTest::newRow("already doubled") << "''"
                                   << "''''";
  QTest::newRow("double quote untouched") << "a\"b"
                                          << "a\"b";
}

void TestBackend::quotedValues() {
  QFETCH(QString, value);
  QFETCH(QString, expected);
  QCOMPARE(quoted(value), expected);
}

// What the check screen shows becomes the block filter and the ticket number it sends.
void TestBackend::checkValues_data() {
  QTest::addColumn<QString>("shownBlock");
  QTest::addColumn<QString>("filter");
  QTest::addColumn<QString>("input");
  QTest::addColumn<QString>("ticketNo");
  QTest::newRow("all blocks, short number") << "전체" << "" << "T1" << "T1";
  QTest::newRow("one block, 15 characters") << "E석" << "E석" << "123456789012345" << "123456789012345";
  QTest::newRow("no caption, 16 characters") << "" << "" << "X123456789012345" << "123456789012345";
  QTest::newRow("blanks kept, cut from the left") << " 전체" << " 전체" << "scan: ABCDEFGHIJKLMNO " << "BCDEFGHIJKLMNO ";
  QTest::newRow("Korean counted as characters") << "W석" << "W석" << "가나다라마바사아자차카타파하거너" << "나다라마바사아자차카타파하거너";
  QTest::newRow("empty input") << "N석" << "N석" << "" << "";
}

void TestBackend::checkValues() {
  QFETCH(QString, shownBlock);
  QFETCH(QString, filter);
  QFETCH(QString, input);
  QFETCH(QString, ticketNo);
  QCOMPARE(blockFilter(shownBlock), filter);
  QCOMPARE(ticketNumber(input), ticketNo);
}

void TestBackend::answerCodes_data() {
  QTest::addColumn<QString>("code");
  QTest::addColumn<bool>("signInRefusal");
  QTest::addColumn<bool>("ticketRefusal");
  QTest::newRow("-1") << "-1" << true << true;
  QTest::newRow("-2") << "-2" << false << true;
  QTest::newRow("-3") << "-3" << false << false;
  QTest::newRow("0") << "0" << false << false;
  QTest::newRow("empty") << "" << false << false;
  QTest::newRow("-1a") << "-1a" << false << false;
  QTest::newRow("-01") << "-01" << false << false;
  QTest::newRow("untrimmed -1") << " -1" << false << false;
}

void TestBackend::answerCodes() {
  QFETCH(QString, code);
  QFETCH(bool, signInRefusal);
  QFETCH(bool, ticketRefusal);
  QCOMPARE(signInRefused(code), signInRefusal);
  QCOMPARE(ticketRefused(code), ticketRefusal);
}

void TestBackend::playDates_data() {
  QTest::addColumn<QString>("playDate");
  QTest::addColumn<QString>("shown");
  QTest::newRow("leading zeros dropped") << "202405161830"
                                         << "2024년 5월16일 18시 30분 ";
  QTest::newRow("end of year") << "202412310905"
                               << "2024년 12월31일 9시 5분 ";
  QTest::newRow("zeros") << "202401010000"
                         << "2024년 1월1일 0시 0분 ";
  QTest::newRow("characters after the twelfth") << "202412310905XYZ"
                                                << "2024년 12월31일 9시 5분 ";
  QTest::newRow("piece not a number") << "2024AB1618 5"
                                      << "2024년 AB월16일 18시  5분 ";
  QTest::newRow("short value") << "2024051"
                               << "2024년 5월1일 시 분 ";
  QTest::newRow("year only") << "24"
                             << "24년 월일 시 분 ";
  QTest::newRow("no value") << ""
                            << "";
}

void TestBackend::playDates() {
  QFETCH(QString, playDate);
  QFETCH(QString, shown);
  QCOMPARE(formatPlayDate(playDate), shown);
}

void TestBackend::trimming_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("trimmed");
  QTest::newRow("blanks") << "  -1  "
                          << "-1";
  QTest::newRow("inner blanks kept") << " a b "
                                     << "a b";
  QTest::newRow("only blanks") << "    "
                               << "";
  QTest::newRow("tab kept") << "\t-1"
                            << "\t-1";
  QTest::newRow("ideographic space kept")
      << QString(QChar(0x3000)) + "x" << QString(QChar(0x3000)) + "x";
  QTest::newRow("empty") << ""
                         << "";
}

void TestBackend::trimming() {
  QFETCH(QString, text);
  QFETCH(QString, trimmed);
  QCOMPARE(trimSpaces(text), trimmed);
}

void TestBackend::requestOnTheWire() {
  CannedServer server(CannedServer::ok(R"({"fields":["ErrCode"],"rows":[["0"]]})"));
  const QString command = operatorSignInCommand("운영자", "pw");
  DataSpace dataSpace;
  auto object = dataSpace.CreateObject(kProgId, server.url() + "/base/");
  // The proxy is made without a word on the network.
  QVERIFY(server.lastRequest().isEmpty());
  auto rs = BackendQuery(*object, command);
  QCOMPARE(rs->fields().Item("ErrCode").text(), QStringLiteral("0"));

  const QByteArray request = server.lastRequest();
  const qsizetype head = request.indexOf("\r\n\r\n");
  QVERIFY(head > 0);
  const QList<QByteArray> lines = request.left(head).split('\n');
  QCOMPARE(lines.first().trimmed(), QByteArray("POST /base/objects/Nuvrel.member/Query HTTP/1.1"));
  QVERIFY(request.left(head).toLower().contains("content-type: text/plain; charset=utf-8"));
  QCOMPARE(request.mid(head + 4), command.toUtf8());
  QCOMPARE(server.headerValues("Cookie"), QList<QByteArrayList>{{}});
}

void TestBackend::answerValues() {
  CannedServer server(CannedServer::ok(
      R"({"fields":["ErrCode","Total","E석","Note"],"rows":[[" -1 ",-1,42,null],["second",0,0,"x"]]})"));
  auto rs = query(server.url(), statisticsCommand("B1"));
  QVERIFY(!rs->isEOF());
  // Names match without regard to letter case; only the first row is read.
  QCOMPARE(rs->fields().Item("errcode").text(), QStringLiteral(" -1 "));
  QCOMPARE(rs->fields().Item("ERRCODE").text(), QStringLiteral(" -1 "));
  QCOMPARE(rs->fields().Item("Total").text(), QStringLiteral("-1"));
  QCOMPARE(rs->fields().Item("e석").text(), QStringLiteral("42"));
  QVERIFY(rs->fields().Item("Note").isNull());
  QVERIFY_THROWS_EXCEPTION(BackendError, rs->fields().Item("Note").text());
  QVERIFY_THROWS_EXCEPTION(BackendError, rs->fields().Item("Missing"));
  rs->Close();
  QVERIFY_THROWS_EXCEPTION(BackendError, rs->fields().Item("ErrCode"));

  CannedServer empty(CannedServer::ok(R"({"fields":["ErrCode"],"rows":[]})"));
  auto none = query(empty.url(), statisticsCommand("B1"));
  QVERIFY(none->isEOF());
  QVERIFY_THROWS_EXCEPTION(BackendError, none->fields().Item("ErrCode"));
}

void TestBackend::malformedAnswers_data() {
  QTest::addColumn<QByteArray>("answer");
  QTest::newRow("not JSON") << CannedServer::ok("<html>busy</html>", "text/html");
  QTest::newRow("no rows") << CannedServer::ok(R"({"fields":["ErrCode"]})");
  QTest::newRow("row too short") << CannedServer::ok(R"({"fields":["A","B"],"rows":[["1"]]})");
  QTest::newRow("fraction") << CannedServer::ok(R"({"fields":["A"],"rows":[[1.5]]})");
  QTest::newRow("cut short") << QByteArray(
      "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"fields\":");
  QTest::newRow("400 with reason") << QByteArray(
      "HTTP/1.1 400 Bad Request\r\nContent-Length: 26\r\n\r\n{\"error\":\"Bad command.\"}  ");
  QTest::newRow("500 without body") << QByteArray("HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n");
  QTest::newRow("no answer at all") << QByteArray();
  QTest::newRow("not HTTP") << QByteArray("hello\r\n\r\n");
}

void TestBackend::malformedAnswers() {
  QFETCH(QByteArray, answer);
  CannedServer server(answer);
  QVERIFY_THROWS_EXCEPTION(BackendError, query(server.url(), venueSignInCommand("X")));
}

void TestBackend::unusableAddresses_data() {
  QTest::addColumn<QString>("url");
  QTest::newRow("nothing listening") << CannedServer::unusedUrl();
  QTest::newRow("not a URL") << "127.0.0.1 8470";
  QTest::newRow("other scheme") << "ftp://127.0.0.1:8470";
  QTest::newRow("empty") << "";
}

void TestBackend::unusableAddresses() {
  QFETCH(QString, url);
  QVERIFY_THROWS_EXCEPTION(BackendError, query(url, venueSignInCommand("X")));
}

// Each row: the Set-Cookie lines of the answers, one answer per call in order, and the Cookie
// headers each call carried. Every call is made through a new data space and proxy, as the
// windows make them.
void TestBackend::sessionCookieKept_data() {
  QTest::addColumn<QList<QByteArrayList>>("setCookies");
  QTest::addColumn<QList<QByteArrayList>>("sent");
  using Lists = QList<QByteArrayList>;
  const QByteArray signIn = "Set-Cookie: tav_session=tok1; Path=/; HttpOnly; SameSite=Strict";
  const QByteArray first = "tav_session=tok1";

  QTest::newRow("never set") << Lists{{}, {}, {}} << Lists{{}, {}, {}};
  QTest::newRow("set on the first answer, carried after")
      << Lists{{signIn}, {}, {}} << Lists{{}, {first}, {first}};
  QTest::newRow("a new sign-in replaces it")
      << Lists{{signIn}, {"Set-Cookie: tav_session=tok2; Path=/; HttpOnly; SameSite=Strict"}, {}}
      << Lists{{}, {first}, {"tav_session=tok2"}};
  QTest::newRow("attributes over https not echoed")
      << Lists{{"Set-Cookie: tav_session=Ab-_9x; Path=/; HttpOnly; Secure; SameSite=Strict"}, {}}
      << Lists{{}, {"tav_session=Ab-_9x"}};
  QTest::newRow("header name in any case")
      << Lists{{"set-cookie: tav_session=tok1; Path=/"}, {}} << Lists{{}, {first}};
  QTest::newRow("blanks around name and value")
      << Lists{{"Set-Cookie:  tav_session = tok1 ;Path=/"}, {}} << Lists{{}, {first}};
  QTest::newRow("empty value clears")
      << Lists{{signIn}, {"Set-Cookie: tav_session=; Path=/; HttpOnly"}, {}}
      << Lists{{}, {first}, {}};
  QTest::newRow("Max-Age=0 clears")
      << Lists{{signIn}, {"Set-Cookie: tav_session=tok1; Path=/; Max-Age=0"}, {}}
      << Lists{{}, {first}, {}};
  QTest::newRow("negative max-age clears")
      << Lists{{signIn}, {"Set-Cookie: tav_session=tok2; max-age=-1"}, {}}
      << Lists{{}, {first}, {}};
  QTest::newRow("positive Max-Age keeps")
      << Lists{{"Set-Cookie: tav_session=tok1; Max-Age=43200; Path=/"}, {}}
      << Lists{{}, {first}};
  QTest::newRow("can be set again after clearing")
      << Lists{{signIn}, {"Set-Cookie: tav_session=; Max-Age=0"}, {signIn}, {}}
      << Lists{{}, {first}, {}, {first}};
  QTest::newRow("other cookies ignored")
      << Lists{{"Set-Cookie: theme=dark; Path=/", "Set-Cookie: TAV_SESSION=x", "Set-Cookie: tav_sessionx=y"}, {}}
      << Lists{{}, {}};
  QTest::newRow("session beside another cookie")
      << Lists{{"Set-Cookie: theme=dark", signIn}, {"Set-Cookie: theme=light"}, {}}
      << Lists{{}, {first}, {first}};
  QTest::newRow("last of two in one answer")
      << Lists{{signIn, "Set-Cookie: tav_session=tok2"}, {}} << Lists{{}, {"tav_session=tok2"}};
}

void TestBackend::sessionCookieKept() {
  QFETCH(QList<QByteArrayList>, setCookies);
  QFETCH(QList<QByteArrayList>, sent);
  CannedServer server;
  const QByteArray answer = CannedServer::ok(signInAnswer("0", "B2024", "잠실", "가을 야구"));
  for (const QByteArrayList& lines : setCookies) server.answer(CannedServer::withHeaders(answer, lines));
  for (qsizetype i = 0; i < setCookies.size(); ++i) {
    auto rs = query(server.url(), venueSignInCommand("JAMSIL"));
    // What the windows read is the same with or without a cookie.
    QCOMPARE(rs->fields().Item("bizcode").text(), QStringLiteral("B2024"));
  }
  QCOMPARE(server.headerValues("Cookie"), sent);
}

void TestBackend::sessionCookieOutlivesFailures() {
  CannedServer server;
  server.answer(CannedServer::withHeaders(CannedServer::ok(noRows({"ErrCode"})),
                                          {"Set-Cookie: tav_session=tok1; Path=/; HttpOnly"}));
  server.answerStatus(500, R"({"error":"Busy."})");
  server.answer(CannedServer::ok(noRows({"ErrCode"})));
  query(server.url(), venueSignInCommand("JAMSIL"));
  QVERIFY_THROWS_EXCEPTION(BackendError, query(server.url(), venueSignInCommand("JAMSIL")));
  QVERIFY_THROWS_EXCEPTION(BackendError,
                           query(CannedServer::unusedUrl(), venueSignInCommand("JAMSIL")));
  query(server.url(), venueSignInCommand("JAMSIL"));
  QCOMPARE(server.headerValues("Cookie"),
           (QList<QByteArrayList>{{}, {"tav_session=tok1"}, {"tav_session=tok1"}}));

  // A refusal may still end the session, and does.
  server.reset();
  server.answer(CannedServer::withHeaders(
      "HTTP/1.1 401 X\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
      {"Set-Cookie: tav_session=; Max-Age=0"}));
  server.answer(CannedServer::ok(noRows({"ErrCode"})));
  QVERIFY_THROWS_EXCEPTION(BackendError, query(server.url(), venueSignInCommand("JAMSIL")));
  query(server.url(), venueSignInCommand("JAMSIL"));
  QCOMPARE(server.headerValues("Cookie"), (QList<QByteArrayList>{{"tav_session=tok1"}, {}}));
}

// The install folder's station.key goes with every call as the Tav-Station header; without the
// file nothing goes, and a file that holds no key fails the call rather than going unnoticed.
void TestBackend::stationKeySent_data() {
  QTest::addColumn<QByteArray>("file");  // station.key's bytes; null: no file
  QTest::addColumn<QByteArrayList>("sent");
  QTest::addColumn<bool>("fails");
  const QByteArray key("AbCdEfGhIjKlMnOpQrStUvWxYz0123456789-_AbCdE");
  QTest::newRow("no station.key") << QByteArray() << QByteArrayList{} << false;
  QTest::newRow("as tav-assets writes it") << key + "\n" << QByteArrayList{key} << false;
  QTest::newRow("Windows line end") << key + "\r\n" << QByteArrayList{key} << false;
  QTest::newRow("not a key") << QByteArray("-----BEGIN CERTIFICATE-----\n") << QByteArrayList{} << true;
}

void TestBackend::stationKeySent() {
  QFETCH(QByteArray, file);
  QFETCH(QByteArrayList, sent);
  QFETCH(bool, fails);
  tav::test::InstallFolder install(QStringLiteral("JAMSIL"));
  if (!file.isNull()) install.writeFile(QStringLiteral("station.key"), file);
  CannedServer server;
  server.answer(CannedServer::ok(noRows({"ErrCode"})));
  server.answer(CannedServer::ok(noRows({"ErrCode"})));
  if (fails) {
    QVERIFY_THROWS_EXCEPTION(BackendError, query(server.url(), venueSignInCommand("JAMSIL")));
    QCOMPARE(server.requestCount(), 0);
    return;
  }
  query(server.url(), venueSignInCommand("JAMSIL"));
  query(server.url(), venueSignInCommand("JAMSIL"));
  QCOMPARE(server.headerValues("Tav-Station"), (QList<QByteArrayList>{sent, sent}));
}

void TestBackend::realServer() {
  tav::test::TestServer server;
  server.addVenue("JAMSIL", "잠실종합운동장");
  server.addEvent("JAMSIL", "B2024", "가을 야구", "202410051830");
  server.addOperator("gate01", "s3cret-pw", "JAMSIL");
  server.start();

  auto rs = query(server.url(), operatorSignInCommand("gate01", "s3cret-pw"));
  QVERIFY(!rs->isEOF());
  QCOMPARE(trimSpaces(rs->fields().Item("ErrCode").text()), QStringLiteral("0"));
  QCOMPARE(trimSpaces(rs->fields().Item("BIZCODE").text()), QStringLiteral("B2024"));
  QCOMPARE(trimSpaces(rs->fields().Item("theatername").text()), QStringLiteral("잠실종합운동장"));
  QCOMPARE(trimSpaces(rs->fields().Item("GoodsName").text()), QStringLiteral("가을 야구"));
  rs->Close();

  auto refused = query(server.url(), operatorSignInCommand("gate01", "wrong"));
  QVERIFY(signInRefused(trimSpaces(refused->fields().Item("ErrCode").text())));

  // An apostrophe reaches the back-end as part of the value, not as a break in the text.
  auto quotedId = query(server.url(), operatorSignInCommand("x' OR '1'='1", "s3cret-pw"));
  QVERIFY(signInRefused(trimSpaces(quotedId->fields().Item("ErrCode").text())));

  auto venue = query(server.url(), venueSignInCommand("JAMSIL"));
  QCOMPARE(trimSpaces(venue->fields().Item("bizcode").text()), QStringLiteral("B2024"));

  // An unknown business object (404) and a command the back-end cannot parse (400).
  QVERIFY_THROWS_EXCEPTION(BackendError,
                           query(server.url(), venueSignInCommand("JAMSIL"), "Other.object"));
  QVERIFY_THROWS_EXCEPTION(BackendError,
                           query(server.url(), "Exec Proc_WMRS_Admin_GetAdminTAV_LoginInfo 'a"));

  const QString url = server.url();
  server.stop();
  QVERIFY_THROWS_EXCEPTION(BackendError, query(url, venueSignInCommand("JAMSIL")));
}

void TestBackend::realServerOverHttps() {
  QTemporaryDir keys;
  const QString cert = keys.filePath("cert.pem");
  const QString key = keys.filePath("key.pem");
  QProcess openssl;
  openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                            "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                            key, "-out", cert});
  if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0)
    QSKIP("The openssl tool is needed to make a certificate for this test.");

  tav::test::TestServer server;
  server.addVenue("JAMSIL", "잠실종합운동장");
  server.addEvent("JAMSIL", "B2024", "가을 야구", "202410051830");
  server.addOperator("gate01", "s3cret00", "JAMSIL");
  server.startTls(cert, key);
  QVERIFY(server.url().startsWith("https://"));

  // The certificate is trusted through OpenSSL's default store, as a site's own CA would be.
  const QByteArray previous = qgetenv("SSL_CERT_FILE");
  qputenv("SSL_CERT_FILE", cert.toLocal8Bit());
  std::unique_ptr<Recordset> venue;
  try {
    query(server.url(), operatorSignInCommand("gate01", "s3cret00"));
    venue = query(server.url(), venueSignInCommand("JAMSIL"));
  } catch (const BackendError& e) {
    qputenv("SSL_CERT_FILE", previous);
    QFAIL(e.what());
  }
  QCOMPARE(trimSpaces(venue->fields().Item("bizcode").text()), QStringLiteral("B2024"));

  // A certificate nobody vouches for is a failed call, not a silent success.
  qputenv("SSL_CERT_FILE", keys.filePath("none.pem").toLocal8Bit());
  QVERIFY_THROWS_EXCEPTION(BackendError, query(server.url(), venueSignInCommand("JAMSIL")));
  if (previous.isNull())
    qunsetenv("SSL_CERT_FILE");
  else
    qputenv("SSL_CERT_FILE", previous);
}

QTEST_GUILESS_MAIN(TestBackend)
#include "tst_backend.moc"
