// The gateway and the command texts: byte-exact texts and answer rules, the HTTP form of a call
// against a canned server for malformed answers and the session cookie, and against a real tav-server.
#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

#include "backend/commands.h"
#include "backend/gateway.h"
#include "backend/idempotency.h"
#include "tests/support/CannedServer.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestServer.h"

using namespace tav::backend;
using tav::test::CannedServer;
using tav::test::noRows;
using tav::test::signInAnswer;

Q_DECLARE_METATYPE(BackendError::Kind)

namespace {

std::unique_ptr<Recordset> query(const QString& url, const QString& command,
                                 const QString& progId = kProgId) {
  DataSpace dataSpace;
  std::unique_ptr<BusinessObject> object = dataSpace.CreateObject(progId, url);
  return BackendQuery(*object, command);
}

// The kind of failure `call` raised; Kind::Other with a note when it raised none.
template <class Call>
BackendError::Kind failureOf(Call&& call) {
  try {
    call();
  } catch (const BackendError& e) {
    return e.kind();
  }
  qWarning("the call did not fail");
  return BackendError::Kind::Other;
}

// A function, not a constant: the command texts' own constants are made at start-up too.
QString entryCheck() { return ticketCheckCommand("I", "B2024", "", "T0001", "gate01"); }
const QByteArray kKeyHeader = QByteArray::fromStdString(std::string(tav::wire::kIdempotencyHeader));

// The idempotency key each request carried, "" for a request without one; a request with more
// than one fails the test at the comparison.
QByteArrayList keysSent(const CannedServer& server) {
  QByteArrayList keys;
  for (const QByteArrayList& values : server.headerValues(kKeyHeader))
    keys << (values.size() == 1 ? values.front() : values.join(" | "));
  return keys;
}

}  // namespace

class TestBackend : public QObject {
  Q_OBJECT

 private slots:
  // Every case starts without a session, as the program does.
  void init() {
    sessionCookie().clear();
    unansweredChecks().clear();
  }

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

  void retries_data();
  void retries();
  void unansweredCheckKeepsItsKey();
  void unansweredChecksAreBounded();
  void silentServerStaysWithinTheCallsTime();

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

// Each row: the command, the first answer (the second is a recordset), how many requests the
// call made, and the kind of failure the caller sees (none when the retry was answered).
void TestBackend::retries_data() {
  QTest::addColumn<QString>("command");
  QTest::addColumn<QByteArray>("first");
  QTest::addColumn<int>("requests");
  QTest::addColumn<bool>("fails");
  QTest::addColumn<BackendError::Kind>("kind");
  auto status = [](int code) {
    return "HTTP/1.1 " + QByteArray::number(code) +
           " X\r\nContent-Type: application/json\r\nContent-Length: 17\r\nConnection: close\r\n\r\n"
           "{\"error\":\"Busy.\"}";
  };
  using K = BackendError::Kind;
  QTest::newRow("check, connection closed unanswered") << entryCheck() << QByteArray() << 2 << false << K::Other;
  QTest::newRow("check, 502") << entryCheck() << status(502) << 2 << false << K::Other;
  QTest::newRow("check, 503") << entryCheck() << status(503) << 2 << false << K::Other;
  QTest::newRow("exit check, connection closed")
      << ticketCheckCommand("O", "B2024", "N석", "T0001", "gate01") << QByteArray() << 2 << false << K::Other;
  for (int code : {400, 401, 403, 413, 422, 429, 500})
    QTest::newRow(qPrintable(QStringLiteral("check, %1").arg(code))) << entryCheck() << status(code) << 1 << true << K::Other;
  QTest::newRow("check, not a recordset") << entryCheck() << CannedServer::ok("<html/>", "text/html") << 1 << true
                                          << K::Other;
  QTest::newRow("sign-in, connection closed")
      << operatorSignInCommand("gate01", "pw") << QByteArray() << 1 << true << K::NoAnswer;
  QTest::newRow("sign-in, 503") << operatorSignInCommand("gate01", "pw") << status(503) << 1 << true
                                << K::NoAnswer;
  QTest::newRow("sign-in, 500") << operatorSignInCommand("gate01", "pw") << status(500) << 1 << true
                                << K::Other;
  QTest::newRow("statistics, connection closed") << statisticsCommand("B2024") << QByteArray() << 1 << true
                                                 << K::NoAnswer;
}

void TestBackend::retries() {
  QFETCH(QString, command);
  QFETCH(QByteArray, first);
  QFETCH(int, requests);
  QFETCH(bool, fails);
  QFETCH(BackendError::Kind, kind);
  CannedServer server;
  server.answer(first);
  server.answer(CannedServer::ok(noRows({"ErrCode"})));
  if (fails)
    QCOMPARE(failureOf([&] { query(server.url(), command); }), kind);
  else
    QVERIFY(query(server.url(), command)->isEOF());
  QCOMPARE(server.requestCount(), requests);
  // Every attempt of a check carries the call's one key; nothing else carries one.
  const QByteArrayList keys = keysSent(server);
  QCOMPARE(QSet<QByteArray>(keys.begin(), keys.end()).size(), 1);
  QCOMPARE(tav::wire::isIdempotencyKey(keys.front().toStdString()), isTicketCheck(command));
  // Only a check that stayed unanswered is remembered.
  QCOMPARE(unansweredChecks().size(), std::size_t{0});
}

// A fan whose check got no answer is set aside, others are scanned, then the fan again: the
// rescan carries the first key; once answered, the next scan of that fan gets a new one.
void TestBackend::unansweredCheckKeepsItsKey() {
  CannedServer server;
  server.answer(QByteArray());  // the fan's two attempts
  server.answer(QByteArray());
  server.answer(CannedServer::ok(noRows({"ErrCode"})));
  const QString other = ticketCheckCommand("I", "B2024", "", "T0002", "gate01");
  QCOMPARE(failureOf([&] { query(server.url(), entryCheck()); }), BackendError::Kind::NoAnswer);
  QCOMPARE(unansweredChecks().size(), std::size_t{1});
  query(server.url(), other);
  query(server.url(), entryCheck());
  query(server.url(), entryCheck());

  const QByteArrayList keys = keysSent(server);
  QCOMPARE(keys.size(), 5);
  QCOMPARE(keys[1], keys[0]);
  QCOMPARE(keys[3], keys[0]);
  QVERIFY(keys[2] != keys[0]);
  QVERIFY(keys[4] != keys[0]);
  QCOMPARE(unansweredChecks().size(), std::size_t{0});
}

// At most 50 unanswered checks, each for 30 minutes: a station that lost its back-end for the
// length of a match keeps neither every scan nor stale keys.
void TestBackend::unansweredChecksAreBounded() {
  UnansweredChecks memory;
  const auto t0 = UnansweredChecks::Clock::now();
  auto command = [](int i) { return "check " + std::to_string(i); };
  for (int i = 0; i <= int(UnansweredChecks::kCapacity); ++i)
    memory.remember(command(i), "key" + std::to_string(i), t0 + std::chrono::seconds(i));
  QCOMPARE(memory.size(), UnansweredChecks::kCapacity);
  const auto later = t0 + std::chrono::minutes(1);
  QVERIFY(memory.keyFor(command(0), later) != "key0");  // the oldest went
  QCOMPARE(memory.keyFor(command(1), later), std::string("key1"));
  QCOMPARE(memory.keyFor(command(50), later), std::string("key50"));

  // Remembered again, a check is the newest and its time starts again.
  memory.remember(command(1), "key1", later);
  const auto expired = t0 + UnansweredChecks::kKeptFor + std::chrono::seconds(30);
  QCOMPARE(memory.keyFor(command(1), expired), std::string("key1"));
  QVERIFY(memory.keyFor(command(2), expired) != "key2");
  QCOMPARE(memory.size(), std::size_t{21});  // checks 31 to 50, and 1

  memory.forget(command(1));
  QVERIFY(memory.keyFor(command(1), expired) != "key1");
}

// A back-end that takes the connection and never answers: the first attempt stops waiting early
// enough for the retry, and the call ends within the station's 10 s. The bound only guards
// against a call that waits for both attempts' full time-outs.
void TestBackend::silentServerStaysWithinTheCallsTime() {
  QTcpServer silent;
  QVERIFY(silent.listen(QHostAddress::LocalHost));
  const QString url = QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort());
  QElapsedTimer clock;
  clock.start();
  QCOMPARE(failureOf([&] { query(url, entryCheck()); }), BackendError::Kind::NoAnswer);
  QVERIFY2(clock.elapsed() < 12'000, qPrintable(QString::number(clock.elapsed())));
  QCOMPARE(unansweredChecks().size(), std::size_t{1});
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
