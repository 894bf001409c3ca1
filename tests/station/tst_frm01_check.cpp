// Ticket validation on the check screen: real tickets against a real tav-server, and exact
// command texts and answer cases against a back-end that records what it receives.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <atomic>
#include <thread>

#include "tests/support/StationFixture.h"

using namespace tav::test;

namespace {

// Tickets of the test event: number, customer, play date, block, status.
const char* const kTickets =
    "T0001,홍길동,빅매치 2024,202405161830,잠실종합운동장,VIP석,E석 3열 12번,E석,valid\n"
    "T0002,김철수,빅매치 2024,202412310905,잠실종합운동장,R석,N석 1열 1번,N석,valid\n"
    "T0003,이영희,빅매치 2024,202405161830,잠실종합운동장,S석,S석 9열 9번,S석,cancelled\n"
    "T0004,박민수,빅매치 2024,202405161830,잠실종합운동장,A석,W석 2열 5번,W석,valid\n"
    "T0005,최지우,빅매치 2024,202405161830,잠실종합운동장,A석,W석 2열 6번,W석,valid\n"
    "T0006,정우성,빅매치 2024,202405161830,잠실종합운동장,A석,W석 2열 7번,W석,valid\n"
    "AP'01,O'Neil,빅매치 2024,202405161830,잠실종합운동장,VIP석,E석 1열 1번,E석,valid\n"
    "LONG00000000015,장길산,빅매치 2024,202405161830,잠실종합운동장,R석,N석 5열 5번,N석,valid\n"
    "B0001,가,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n"
    "B0002,나,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n"
    "B0003,다,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n"
    "B0004,라,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n"
    "B0005,마,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n"
    "M0001,바,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n"
    "K0001,사,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n"
    "K0002,아,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n"
    "K0003,자,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n"
    "F0001,차,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n"
    "F0002,카,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n"
    "M0002,하,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n"
    "M0003,거,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n"
    "P0001,타,빅매치 2024,202405161830,잠실종합운동장,R석,E석,E석,valid\n";

const QStringList kT0001Details = {QStringLiteral("홍길동"),       QStringLiteral("T0001"),
                                   QStringLiteral("빅매치 2024"),  QStringLiteral("2024년 5월16일 18시 30분 "),
                                   QStringLiteral("잠실종합운동장"), QStringLiteral("VIP석"),
                                   QStringLiteral("E석 3열 12번")};
const QStringList kEmptyDetails = QStringList(7, QString());
const QString kCheckFailed = QStringLiteral("확인 실패 · 다시 스캔");

// A loopback forwarder to a back-end that loses the answer to the first call through it: the
// request reaches the back-end, which decides and answers, and the station's connection is then
// closed without that answer, as when a proxy or a server dies at the wrong moment. Later calls
// are forwarded whole. It serves on its own thread, since the station blocks while it waits.
class AnswerDroppingProxy {
 public:
  explicit AnswerDroppingProxy(const QString& backEnd) : backEnd_(static_cast<quint16>(QUrl(backEnd).port())) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      qFatal("the proxy cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~AnswerDroppingProxy() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }

  QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(port_); }
  int connections() const { return connections_; }

 private:
  static sockaddr_in loopback(quint16 port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
  }

  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int client = ::accept(fd_, nullptr, nullptr);
      if (client < 0) continue;
      relay(client, connections_++ == 0);
      ::close(client);
    }
  }

  // Copies both ways until the back-end ends the exchange; its bytes go nowhere when `dropAnswer`.
  void relay(int client, bool dropAnswer) {
    const int upstream = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in addr = loopback(backEnd_);
    if (::connect(upstream, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(upstream);
      return;
    }
    char buf[4096];
    for (bool open = true; open && !stop_;) {
      pollfd p[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
      if (::poll(p, 2, 50) <= 0) continue;
      for (int i = 0; i < 2 && open; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
        if (n <= 0) open = false;
        else if (i == 0) ::send(upstream, buf, size_t(n), MSG_NOSIGNAL);
        else if (!dropAnswer) ::send(client, buf, size_t(n), MSG_NOSIGNAL);
      }
    }
    ::close(upstream);
  }

  quint16 backEnd_;
  int fd_ = -1;
  quint16 port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
};

}  // namespace

class tst_frm01_check : public QObject, public StationFixture {
  Q_OBJECT

  // A screen that shows an accepted ticket, so that a later failure can be seen to leave it.
  void showPreviousTicket() {
    capture_->answerWith(bookingAnswer({s("0"), s("입장 확인"), s("A"), s("B"), s("C"), s("202401020304"),
                                        s("D"), s("E"), s("F")}));
    scan(screen_, QStringLiteral("PREV"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    capture_->reset();
    platform_.clear();
  }

 private slots:
  void initTestCase() { startServer(kTickets); }
  void init() { initStation(); }
  void cleanup() { cleanupStation(); }

  void entryThenTheSameTicketAgain() {
    signInAndOpen();  // the operator's session lets the station sign the venue in and check tickets
    platform_.clear();
    scan(screen_, QStringLiteral("T0001"));
    QCOMPARE(platform_.sounds(), QStringList{kOkWav});
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    QCOMPARE(details(screen_), kT0001Details);
    QCOMPARE(ticketBox(screen_)->text(), QString());
    QCOMPARE(screen_->focusWidget(), ticketBox(screen_));
    QCOMPARE(g_GateMode, QStringLiteral("I"));

    scan(screen_, QStringLiteral("T0001"));
    QCOMPARE(platform_.sounds(), (QStringList{kOkWav, kNoWav}));
    static const QRegularExpression already(QStringLiteral("^이미 입장 \\(\\d\\d:\\d\\d\\)$"));
    QVERIFY2(already.match(caption(screen_, QStringLiteral("lbl_BookingInfo"))).hasMatch(),
             qPrintable(caption(screen_, QStringLiteral("lbl_BookingInfo"))));
    QCOMPARE(details(screen_), kEmptyDetails);
    QCOMPARE(ticketBox(screen_)->text(), QString());
    QVERIFY(platform_.messages().isEmpty());
  }

  // Each kind of ticket the demo shows, through entry and exit.
  void ticketKinds_data() {
    QTest::addColumn<QString>("ticket");
    QTest::addColumn<QString>("block");  // caption of txtBlock
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("cancelled") << "T0003" << "전체" << "취소된 티켓입니다" << false;
    QTest::newRow("unknown") << "NOPE99" << "전체" << "등록되지 않은 티켓입니다" << false;
    QTest::newRow("other block") << "T0002" << "E석" << "입장 구역 아님 (N석)" << false;
    QTest::newRow("its own block") << "T0002" << "N석" << "입장 확인" << true;
    QTest::newRow("apostrophe in the number") << "AP'01" << "전체" << "입장 확인" << true;
    QTest::newRow("blanks only are sent") << "   " << "전체" << "등록되지 않은 티켓입니다" << false;
  }

  void ticketKinds() {
    QFETCH(QString, ticket);
    QFETCH(QString, block);
    QFETCH(QString, message);
    QFETCH(bool, accepted);
    signInAndOpen();  // the operator's session lets the station sign the venue in and check tickets
    platform_.clear();
    label(screen_, QStringLiteral("txtBlock"))->setCaption(block);
    scan(screen_, ticket);
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), message);
    QCOMPARE(platform_.sounds(), QStringList{accepted ? kOkWav : kNoWav});
    if (accepted)
      QCOMPARE(caption(screen_, QStringLiteral("lbl_TicketNo")), ticket);
    else
      QCOMPARE(details(screen_), kEmptyDetails);
    QCOMPARE(ticketBox(screen_)->text(), QString());
  }

  void exitAndReentry() {
    signInAndOpen();  // the operator's session lets the station sign the venue in and check tickets
    platform_.clear();
    scan(screen_, QStringLiteral("T0004"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));

    click(screen_, QStringLiteral("btnMode"));
    QCOMPARE(g_GateMode, QStringLiteral("O"));
    scan(screen_, QStringLiteral("T0004"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("퇴장 확인"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_CustName")), QStringLiteral("박민수"));
    scan(screen_, QStringLiteral("T0004"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 기록 없음"));
    scan(screen_, QStringLiteral("T0005"));  // never entered
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 기록 없음"));

    click(screen_, QStringLiteral("btnMode"));
    QCOMPARE(g_GateMode, QStringLiteral("I"));
    scan(screen_, QStringLiteral("T0004"));
    // Re-entry is "-3": accepted, with the acceptance sound and every detail.
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("재입장 확인"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_SeatInfo")), QStringLiteral("W석 2열 5번"));
    QCOMPARE(platform_.sounds(), (QStringList{kOkWav, kOkWav, kNoWav, kNoWav, kOkWav}));
  }

  void inputLongerThanFifteenIsCutFromTheLeft() {
    signInAndOpen();  // the operator's session lets the station sign the venue in and check tickets
    platform_.clear();
    scan(screen_, QStringLiteral("JUNK1LONG00000000015"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_TicketNo")), QStringLiteral("LONG00000000015"));
  }

  // The back-end gone for good: after the gateway's retry the screen says the fan was not
  // checked, never the previous fan's answer, and the text waits selected for the rescan.
  void backEndStoppedMidSession_data() {
    QTest::addColumn<bool>("byClick");
    QTest::addColumn<QString>("previous");  // admitted before the back-end stops
    QTest::addColumn<QString>("ticket");
    QTest::newRow("Enter") << false << "T0006" << "M0001";
    QTest::newRow("click on the check button") << true << "M0003" << "M0002";
  }

  void backEndStoppedMidSession() {
    QFETCH(bool, byClick);
    QFETCH(QString, previous);
    QFETCH(QString, ticket);
    signInAndOpen();  // the operator's session lets the station sign the venue in and check tickets
    platform_.clear();
    scan(screen_, previous);
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    platform_.clear();

    server_->stop();
    QLineEdit* box = ticketBox(screen_);
    QTest::keyClicks(box, ticket);
    QElapsedTimer clock;
    clock.start();
    if (byClick)
      click(screen_, QStringLiteral("btnSave"));
    else
      QTest::keyClick(box, Qt::Key_Return);
    // A guard against a call that waits out both attempts' full time-outs, not a speed target.
    QVERIFY2(clock.elapsed() < 12'000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), kCheckFailed);
    QCOMPARE(details(screen_), kEmptyDetails);
    QCOMPARE(platform_.sounds(), QStringList{kNoWav});
    QVERIFY(platform_.messages().isEmpty());
    QCOMPARE(box->text(), ticket);
    QCOMPARE(box->selectedText(), ticket);
    QVERIFY(screen_->isLoaded() && screen_->isVisible());

    // The back-end back, the next Enter works again, with what the box still holds.
    server_->start();
    Global::setServerAddress(server_->url());
    QTest::keyClick(box, Qt::Key_Return);
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_TicketNo")), ticket);
  }

  // A check that fails leaves its text selected: the next scan replaces it and is checked whole.
  void nextScanAfterAFailedCheck() {
    signInAndOpen();  // the operator's session lets the station sign the venue in and check tickets
    platform_.clear();
    server_->stop();
    scan(screen_, QStringLiteral("F0001"));
    QLineEdit* box = ticketBox(screen_);
    QCOMPARE(box->text(), QStringLiteral("F0001"));
    QCOMPARE(box->selectedText(), QStringLiteral("F0001"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), kCheckFailed);

    server_->start();
    Global::setServerAddress(server_->url());
    scan(screen_, QStringLiteral("F0002"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_TicketNo")), QStringLiteral("F0002"));
    QCOMPARE(box->text(), QString());
    // The failed ticket was never admitted: scanned again, it is.
    scan(screen_, QStringLiteral("F0001"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
  }

  // The server keeps a check but its answer is lost on the way: the gateway's retry, with the
  // same key, brings back the decision already taken, so the fan sees an admission, never
  // "already inside" for the entry that this very scan made.
  void lostAnswerIsNotAnAdmissionRefused() {
    signInAndOpen();  // the operator's session lets the station sign the venue in and check tickets
    platform_.clear();
    AnswerDroppingProxy proxy(server_->url());
    Global::setServerAddress(proxy.url());
    scan(screen_, QStringLiteral("P0001"));
    QCOMPARE(proxy.connections(), 2);
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_CustName")), QStringLiteral("타"));
    QCOMPARE(platform_.sounds(), QStringList{kOkWav});
    // Admitted once: a new scan of the ticket is a new check, and finds the fan inside.
    scan(screen_, QStringLiteral("P0001"));
    QVERIFY(caption(screen_, QStringLiteral("lbl_BookingInfo")).startsWith(QStringLiteral("이미 입장 (")));
  }

  // Keys that arrive while a check is under way wait in the event queue; they make the next
  // ticket, whether the check under way succeeds or fails.
  void keysDuringACheckMakeTheNextTicket_data() {
    QTest::addColumn<bool>("firstFails");
    QTest::newRow("after an admission") << false;
    QTest::newRow("after a failed check") << true;
  }

  void keysDuringACheckMakeTheNextTicket() {
    QFETCH(bool, firstFails);
    openWithCapture();
    if (firstFails)
      capture_->answerStatus(500, "{\"error\":\"The store failed.\"}");
    else
      capture_->answerWith(admittedAnswer());
    capture_->answerWith(admittedAnswer());
    QLineEdit* box = ticketBox(screen_);
    QTest::keyClicks(box, QStringLiteral("FIRST1"));
    for (const Qt::Key k : {Qt::Key_N, Qt::Key_E, Qt::Key_X, Qt::Key_T, Qt::Key_2, Qt::Key_Return}) {
      const QString text = k == Qt::Key_Return ? QStringLiteral("\r") : QString(QChar(k));
      QCoreApplication::postEvent(box, new QKeyEvent(QEvent::KeyPress, k, Qt::NoModifier, text));
      QCoreApplication::postEvent(box, new QKeyEvent(QEvent::KeyRelease, k, Qt::NoModifier, text));
    }
    QTest::keyClick(box, Qt::Key_Return);  // the check runs before the queued keys arrive
    QCOMPARE(capture_->commands().size(), 1);
    QCoreApplication::processEvents();
    QStringList sent;
    for (const QString& c : capture_->commands()) sent << c.section(u'\'', 7, 7);
    QCOMPARE(sent, (QStringList{QStringLiteral("FIRST1"), QStringLiteral("NEXT2")}));
    QCOMPARE(platform_.sounds(), (QStringList{firstFails ? kNoWav : kOkWav, kOkWav}));
    QCOMPARE(box->text(), QString());
  }

  void barcodeBurstValidatesEachOnceInOrder() {
    openWithCapture();
    capture_->answerWith(admittedAnswer());
    const QStringList numbers = {QStringLiteral("B0001"), QStringLiteral("B0002"), QStringLiteral("B0003"),
                                 QStringLiteral("B0004"), QStringLiteral("B0005")};
    QLineEdit* box = ticketBox(screen_);
    for (const QString& n : numbers) {  // typed without a pause, as a scanner does
      QTest::keyClicks(box, n);
      QTest::keyClick(box, Qt::Key_Return);
    }
    QStringList sent;
    for (const QString& c : capture_->commands()) sent << c.section(u'\'', 7, 7);
    QCOMPARE(sent, numbers);
    QCOMPARE(platform_.sounds(), QStringList(5, kOkWav));
    QCOMPARE(box->text(), QString());
  }

  void barcodeBurstAgainstTheRealBackEnd() {
    signInAndOpen();  // the operator's session lets the station sign the venue in and check tickets
    platform_.clear();
    QLineEdit* box = ticketBox(screen_);
    for (const QString& n : {QStringLiteral("K0001"), QStringLiteral("K0002"), QStringLiteral("K0003")}) {
      QTest::keyClicks(box, n);
      QTest::keyClick(box, Qt::Key_Return);
    }
    QCOMPARE(platform_.sounds(), QStringList(3, kOkWav));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_TicketNo")), QStringLiteral("K0003"));
    // Each was admitted exactly once: a second pass is refused for all three.
    for (const QString& n : {QStringLiteral("K0001"), QStringLiteral("K0002"), QStringLiteral("K0003")}) {
      scan(screen_, n);
      QVERIFY(caption(screen_, QStringLiteral("lbl_BookingInfo")).startsWith(QStringLiteral("이미 입장 (")));
    }
  }

  void enterKeys_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("Enter") << int(Qt::Key_Return) << int(Qt::NoModifier);
    QTest::newRow("Shift+Enter") << int(Qt::Key_Return) << int(Qt::ShiftModifier);
    QTest::newRow("Ctrl+Enter") << int(Qt::Key_Return) << int(Qt::ControlModifier);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
  }

  void enterKeys() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    openWithCapture();
    scan(screen_, QStringLiteral("T1"), Qt::KeyboardModifiers(modifiers), Qt::Key(key));
    QCOMPARE(capture_->commands().size(), 1);
  }

  void otherKeysDoNotValidate() {
    openWithCapture();
    QLineEdit* box = ticketBox(screen_);
    QTest::keyClicks(box, QStringLiteral("T1"));
    for (Qt::Key k : {Qt::Key_Tab, Qt::Key_Escape, Qt::Key_Space, Qt::Key_F5, Qt::Key_M})
      QTest::keyClick(box, k);
    QVERIFY(capture_->commands().isEmpty());
    QVERIFY(platform_.events().isEmpty());
  }

  void emptyInputSendsNothing() {
    openWithCapture();
    showPreviousTicket();
    g_GateMode.clear();
    QTest::keyClick(ticketBox(screen_), Qt::Key_Return);
    QVERIFY(capture_->commands().isEmpty());
    QCOMPARE(platform_.sounds(), QStringList{kNoWav});
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("인증 실패"));
    QCOMPARE(details(screen_), (QStringList{"A", "B", "C", "2024년 1월2일 3시 4분 ", "D", "E", "F"}));
    QCOMPARE(g_GateMode, QStringLiteral("I"));
    QCOMPARE(screen_->focusWidget(), ticketBox(screen_));
  }

  // The command text for the station's state, byte for byte.
  void commandText_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("block");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("adminId");
    QTest::addColumn<QString>("command");
    const QString exec = QStringLiteral("Exec Proc_WMRS_Admin_GetAdminTAV_BookingInfo ");
    QTest::newRow("mode not chosen yet, all blocks")
        << "" << "전체" << "T0001" << "op1" << exec + "'I','EV2024','','T0001', 'op1'";
    QTest::newRow("exit, block E") << "O" << "E석" << "T0001" << "op1" << exec + "'O','EV2024','E석','T0001', 'op1'";
    QTest::newRow("empty block caption sent empty")
        << "I" << "" << "T0001" << "op1" << exec + "'I','EV2024','','T0001', 'op1'";
    QTest::newRow("rightmost 15 characters")
        << "I" << "전체" << "abcde123456789012345" << "op1" << exec + "'I','EV2024','','123456789012345', 'op1'";
    QTest::newRow("blanks kept") << "I" << "전체" << " T1 " << " op 1 " << exec + "'I','EV2024','',' T1 ', ' op 1 '";
    QTest::newRow("apostrophes doubled")
        << "I" << "전체" << "A'B''C" << "o'p" << exec + "'I','EV2024','','A''B''''C', 'o''p'";
    QTest::newRow("Korean ticket text") << "I" << "W석" << "티켓1" << "관리자" << exec + "'I','EV2024','W석','티켓1', '관리자'";
  }

  void commandText() {
    QFETCH(QString, mode);
    QFETCH(QString, block);
    QFETCH(QString, input);
    QFETCH(QString, adminId);
    QFETCH(QString, command);
    openWithCapture();
    g_GateMode = mode;
    g_AdminID = adminId;
    label(screen_, QStringLiteral("txtBlock"))->setCaption(block);
    scan(screen_, input);
    QCOMPARE(capture_->commands(), QStringList{command});
    QCOMPARE(capture_->requestLines(), QStringList{QStringLiteral("POST /objects/Nuvrel.member/Query HTTP/1.1")});
  }

  // The answer's code decides: "-1", "-2" or no row refuse; everything else accepts.
  void decision_data() {
    QTest::addColumn<wire::Recordset>("answer");
    QTest::addColumn<QString>("sound");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("shown");
    const QStringList filled = {"고객", "TK1", "공연", "2024년 5월16일 18시 30분 ", "공연장", "R석", "1열"};
    auto row = [](wire::Value code) {
      return bookingAnswer({std::move(code), s(" 메시지 "), s(" 고객 "), s("TK1"), s("공연"), s("202405161830"),
                            s("공연장"), s("R석"), s("1열 ")});
    };
    QTest::newRow("0") << row(s("0")) << kOkWav << "메시지" << filled;
    QTest::newRow("-1") << row(s("-1")) << kNoWav << "메시지" << kEmptyDetails;
    QTest::newRow("-1 with blanks") << row(s("  -1  ")) << kNoWav << "메시지" << kEmptyDetails;
    QTest::newRow("-1 as a number") << row(std::int64_t{-1}) << kNoWav << "메시지" << kEmptyDetails;
    QTest::newRow("-2") << row(s("-2")) << kNoWav << "메시지" << kEmptyDetails;
    QTest::newRow("-3 accepts") << row(s("-3")) << kOkWav << "메시지" << filled;
    QTest::newRow("empty code accepts") << row(s("")) << kOkWav << "메시지" << filled;
    QTest::newRow("-1x accepts") << row(s("-1x")) << kOkWav << "메시지" << filled;
    QTest::newRow("no row") << noRows({"ErrCode", "ErrMsg"}) << kNoWav << "인증 실패" << kEmptyDetails;
  }

  void decision() {
    QFETCH(wire::Recordset, answer);
    QFETCH(QString, sound);
    QFETCH(QString, message);
    QFETCH(QStringList, shown);
    openWithCapture();
    showPreviousTicket();
    capture_->answerWith(answer);
    scan(screen_, QStringLiteral("TK1"));
    QCOMPARE(platform_.sounds(), QStringList{sound});
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), message);
    QCOMPARE(details(screen_), shown);
    QCOMPARE(ticketBox(screen_)->text(), QString());
    QCOMPARE(screen_->focusWidget(), ticketBox(screen_));
    QVERIFY(platform_.messages().isEmpty());
  }

  void playDate_data() {
    QTest::addColumn<QString>("playDate");
    QTest::addColumn<QString>("shown");
    QTest::newRow("leading zeros dropped") << "202405161830" << "2024년 5월16일 18시 30분 ";
    QTest::newRow("two-digit pieces kept") << "202412310905" << "2024년 12월31일 9시 5분 ";
    QTest::newRow("zeros") << "202401010000" << "2024년 1월1일 0시 0분 ";
    QTest::newRow("characters after the twelfth ignored") << "202412310905XYZ" << "2024년 12월31일 9시 5분 ";
    QTest::newRow("blanks around trimmed") << "  202405161830 " << "2024년 5월16일 18시 30분 ";
    QTest::newRow("piece that is not a number as it stands") << "2024AB161830" << "2024년 AB월16일 18시 30분 ";
    QTest::newRow("short value") << "20240516" << "2024년 5월16일 시 분 ";
    QTest::newRow("no value") << "" << "";
  }

  void playDate() {
    QFETCH(QString, playDate);
    QFETCH(QString, shown);
    openWithCapture();
    capture_->answerWith(bookingAnswer({s("0"), s("입장 확인"), s("c"), s("t"), s("g"), playDate.toStdString(),
                                        s("p"), s("s"), s("i")}));
    scan(screen_, QStringLiteral("TK1"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_PlayDate")), shown);
  }

  // A field without value ends the validation at the label that needs it: the sound has started,
  // the labels before it are written, the rest and the input stay as they were.
  void failureEndsAtItsStep_data() {
    QTest::addColumn<int>("nullField");  // index into the answer's fields
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("byClick");
    QTest::newRow("accepted, null message") << 1 << "0" << false;
    QTest::newRow("accepted, null customer") << 2 << "0" << false;
    QTest::newRow("accepted, null seat info") << 8 << "0" << false;
    QTest::newRow("accepted, null seat info, by click") << 8 << "0" << true;
    QTest::newRow("refused, null message") << 1 << "-1" << false;
    QTest::newRow("refused, null message, by click") << 1 << "-1" << true;
  }

  void failureEndsAtItsStep() {
    QFETCH(int, nullField);
    QFETCH(QString, code);
    QFETCH(bool, byClick);
    openWithCapture();
    showPreviousTicket();
    const QStringList previous = QStringList{caption(screen_, QStringLiteral("lbl_BookingInfo"))} + details(screen_);

    std::vector<wire::Value> values = {code.toStdString(), s("새 메시지"), s("새 고객"), s("NEW1"), s("새 공연"),
                                       s("202405161830"), s("새 공연장"), s("새 등급"), s("새 좌석")};
    values[static_cast<std::size_t>(nullField)] = std::monostate{};
    capture_->answerWith(bookingAnswer(values));
    QTest::keyClicks(ticketBox(screen_), QStringLiteral("NEW1"));
    if (byClick)
      click(screen_, QStringLiteral("btnSave"));
    else
      QTest::keyClick(ticketBox(screen_), Qt::Key_Return);

    const bool accepted = code == u"0";
    QCOMPARE(platform_.sounds(), QStringList{accepted ? kOkWav : kNoWav});
    QVERIFY(platform_.messages().isEmpty());
    QCOMPARE(ticketBox(screen_)->text(), QStringLiteral("NEW1"));
    const QStringList now = QStringList{caption(screen_, QStringLiteral("lbl_BookingInfo"))} + details(screen_);
    const QStringList fresh = {"새 메시지", "새 고객", "NEW1", "새 공연", "2024년 5월16일 18시 30분 ",
                               "새 공연장", "새 등급", "새 좌석"};
    for (int i = 0; i < now.size(); ++i) {
      // Label i shows field i+1; those before the null field are written, the others kept.
      const bool written = i + 1 < nullField;
      QCOMPARE(now[i], written ? fresh[i] : previous[i]);
    }
  }

  // A play date without value is an empty line; the validation goes on to the end.
  void nullPlayDateShowsAnEmptyLine() {
    openWithCapture();
    showPreviousTicket();
    capture_->answerWith(bookingAnswer({s("0"), s("입장 확인"), s("고객"), s("NEW1"), s("공연"), std::monostate{},
                                        s("공연장"), s("R석"), s("1열")}));
    scan(screen_, QStringLiteral("NEW1"));
    QCOMPARE(platform_.sounds(), QStringList{kOkWav});
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("입장 확인"));
    QCOMPARE(details(screen_), (QStringList{"고객", "NEW1", "공연", "", "공연장", "R석", "1열"}));
    QCOMPARE(ticketBox(screen_)->text(), QString());
  }

  // An answer the screen cannot read a decision from fails the check as no answer does; a refusal
  // of the call itself is not retried, an answer that says the call was not taken is.
  void unreadableAnswersFailTheCheck_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("requests");
    QTest::newRow("500") << 500 << QByteArray("{\"error\":\"The store failed.\"}") << 1;
    QTest::newRow("400") << 400 << QByteArray("{\"error\":\"Malformed command.\"}") << 1;
    QTest::newRow("422") << 422 << QByteArray("{\"error\":\"The key belongs to another check.\"}") << 1;
    QTest::newRow("503 twice") << 503 << QByteArray("{\"error\":\"Not checked.\"}") << 2;
    QTest::newRow("not a recordset") << 200 << QByteArray("<html>hello</html>") << 1;
    QTest::newRow("missing ErrCode") << 200 << QByteArray("{\"fields\":[\"ErrMsg\"],\"rows\":[[\"x\"]]}") << 1;
    QTest::newRow("null ErrCode") << 200 << QByteArray("{\"fields\":[\"ErrCode\"],\"rows\":[[null]]}") << 1;
  }

  void unreadableAnswersFailTheCheck() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, requests);
    openWithCapture();
    showPreviousTicket();
    capture_->answerStatus(status, body);
    scan(screen_, QStringLiteral("X1"));
    QCOMPARE(capture_->commands().size(), requests);
    QCOMPARE(platform_.sounds(), QStringList{kNoWav});
    QVERIFY(platform_.messages().isEmpty());
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), kCheckFailed);
    QCOMPARE(details(screen_), kEmptyDetails);
    QCOMPARE(ticketBox(screen_)->selectedText(), QStringLiteral("X1"));
  }

  void onlyTheFirstRowIsRead() {
    openWithCapture();
    wire::Recordset two = bookingAnswer({s("0"), s("첫째"), s("a"), s("b"), s("c"), s("202405161830"), s("d"),
                                         s("e"), s("f")});
    two.rows.push_back({s("-1"), s("둘째"), s(""), s(""), s(""), s(""), s(""), s(""), s("")});
    capture_->answerWith(two);
    scan(screen_, QStringLiteral("TK1"));
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), QStringLiteral("첫째"));
    QCOMPARE(platform_.sounds(), QStringList{kOkWav});
  }

  void resultLineGrowsWithItsText() {
    openWithCapture();
    capture_->answerWith(bookingAnswer({s("-1"), s("이미 입장한 티켓입니다 (18:30)"), s(""), s(""), s(""), s(""),
                                        s(""), s(""), s("")}));
    scan(screen_, QStringLiteral("TK1"));
    tav::ClickLabel* line = label(screen_, QStringLiteral("lbl_BookingInfo"));
    QCOMPARE(line->pos(), QPoint(58, 256));
    QCOMPARE(line->size(), line->sizeHint());
  }
};

QTEST_MAIN(tst_frm01_check)
#include "tst_frm01_check.moc"
