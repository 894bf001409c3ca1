// What the check screen's tests share: a back-end stand-in that records each command text and
// answers a chosen recordset, a real tav-server with a venue made for the tests, and helpers to
// open, drive and close the real check screen.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/Global.h"
#include "forms/common/ClickLabel.h"
#include "forms/frm01/frm01.h"
#include "forms/frm02/frm02.h"
#include "forms/frmTAV/frmTAV.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestServer.h"
#include "wire/recordset.h"

Q_DECLARE_METATYPE(tav::wire::Recordset)

namespace frm01test {

namespace wire = tav::wire;

// An HTTP back-end on 127.0.0.1 that answers every request with the next queued answer (the last
// one again when the queue runs dry) and records the request bodies: the exact command texts.
// It runs on its own thread, since the station blocks its UI thread while it waits.
class CaptureServer {
 public:
  struct Answer {
    int status = 200;
    std::string body;
  };

  CaptureServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd_, 16) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      qFatal("the capturing back-end cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }

  ~CaptureServer() {
    ::shutdown(fd_, SHUT_RDWR);  // wakes the accept() of the serving thread
    thread_.join();
    ::close(fd_);
  }

  QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(port_); }

  void answerWith(const wire::Recordset& rs) { push({200, wire::encode(rs)}); }
  void answerStatus(int status, const std::string& body) { push({status, body}); }

  QStringList commands() const {
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
  }
  QStringList paths() const {
    std::lock_guard<std::mutex> lock(mu_);
    return paths_;
  }
  void reset() {
    std::lock_guard<std::mutex> lock(mu_);
    commands_.clear();
    paths_.clear();
    answers_.clear();
  }

 private:
  void push(Answer a) {
    std::lock_guard<std::mutex> lock(mu_);
    answers_.push_back(std::move(a));
  }

  void serve() {
    for (;;) {
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      const int one = 1;
      ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      handle(c);
      ::close(c);
    }
  }

  void handle(int c) {
    std::string in;
    char buf[4096];
    std::size_t headEnd;
    while ((headEnd = in.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) return;
      in.append(buf, static_cast<std::size_t>(n));
    }
    std::string head = in.substr(0, headEnd);
    for (char& ch : head) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    std::size_t length = 0;
    if (const std::size_t at = head.find("content-length:"); at != std::string::npos)
      length = std::stoul(head.substr(at + 15));
    std::string body = in.substr(headEnd + 4);
    while (body.size() < length) {
      const ssize_t n = ::recv(c, buf, sizeof buf, 0);
      if (n <= 0) return;
      body.append(buf, static_cast<std::size_t>(n));
    }
    const std::string requestLine = in.substr(0, in.find("\r\n"));

    Answer a{200, wire::encode(wire::Recordset{{"ErrCode"}, {}})};
    {
      std::lock_guard<std::mutex> lock(mu_);
      commands_ << QString::fromStdString(body);
      paths_ << QString::fromStdString(requestLine);
      if (!answers_.empty()) {
        a = answers_.front();
        if (answers_.size() > 1) answers_.pop_front();
      }
    }
    const std::string out = "HTTP/1.1 " + std::to_string(a.status) +
                            " X\r\nContent-Type: application/json\r\nContent-Length: " +
                            std::to_string(a.body.size()) + "\r\nConnection: close\r\n\r\n" + a.body;
    ::send(c, out.data(), out.size(), MSG_NOSIGNAL);
  }

  int fd_ = -1;
  quint16 port_ = 0;
  std::thread thread_;
  mutable std::mutex mu_;
  std::deque<Answer> answers_;
  QStringList commands_;
  QStringList paths_;
};

// One row of the booking answer, fields in the order the back-end sends them.
inline wire::Recordset bookingAnswer(const std::vector<wire::Value>& values) {
  return wire::Recordset{{"ErrCode", "ErrMsg", "CustName", "TicketNo", "GoodsName", "PlayDate",
                          "PlaceName", "SeatGradeName", "SeatInfo"},
                         {values}};
}

inline wire::Recordset noRows(std::vector<std::string> fields) {
  return wire::Recordset{std::move(fields), {}};
}

inline wire::Recordset signInAnswer(const wire::Value& code, const wire::Value& bizcode,
                                    const wire::Value& goods) {
  return wire::Recordset{{"ErrCode", "ErrMsg", "bizcode", "TheaterName", "GoodsName"},
                         {{code, std::string(), bizcode, std::string("잠실"), goods}}};
}

// The venue every test store holds.
const QString kPlace = QStringLiteral("JAMSIL01");
const QString kBizCode = QStringLiteral("EV2024");
const QString kEventName = QStringLiteral("빅매치 2024");
const QString kOperator = QStringLiteral("op1");
const QString kPassword = QStringLiteral("pw-1");
const QString kNoPlaceCodeMessage = QStringLiteral("▶ tav.ini 파일의 PlaceCode 확인해주세요");

const QString kOkWav = QStringLiteral("C:\\ORLTAV\\ok.wav");
const QString kNoWav = QStringLiteral("C:\\ORLTAV\\no.wav");
const QString kEntryPicture = QStringLiteral("C:\\ORLTAV\\btn3on.jpg");
const QString kExitPicture = QStringLiteral("C:\\ORLTAV\\\\btn4on.jpg");

// The seven detail labels, in the order the validation writes them.
inline const QStringList& detailLabels() {
  static const QStringList names = {QStringLiteral("lbl_CustName"),      QStringLiteral("lbl_TicketNo"),
                                    QStringLiteral("lbl_GoodsName"),     QStringLiteral("lbl_PlayDate"),
                                    QStringLiteral("lbl_PlaceName"),     QStringLiteral("lbl_SeatGradeName"),
                                    QStringLiteral("lbl_SeatInfo")};
  return names;
}

// A tav-server with the test venue: one active event, one operator, the given tickets; and a
// second venue without an active event.
inline void makeVenue(tav::test::TestServer& server, const QString& csvRows) {
  server.addVenue(kPlace, QStringLiteral("잠실종합운동장"));
  server.addEvent(kPlace, kBizCode, kEventName, QStringLiteral("202405161830"));
  server.addOperator(kOperator, kPassword, kPlace);
  server.addVenue(QStringLiteral("EMPTY01"), QStringLiteral("빈 경기장"));
  if (!csvRows.isEmpty()) server.importTickets(kBizCode, csvRows);
}

// The check screen's controls, found by name.
inline QLineEdit* ticketBox(QWidget* screen) { return screen->findChild<QLineEdit*>(QStringLiteral("txtTicketNo")); }
inline tav::ClickLabel* label(QWidget* screen, const QString& name) {
  return screen->findChild<tav::ClickLabel*>(name);
}
inline QString caption(QWidget* screen, const QString& name) {
  tav::ClickLabel* l = label(screen, name);
  return l ? l->caption() : QStringLiteral("<no %1>").arg(name);
}
inline QStringList details(QWidget* screen) {
  QStringList out;
  for (const QString& n : detailLabels()) out << caption(screen, n);
  return out;
}

// Types a number and presses Enter in the ticket box, as a scanner does.
inline void scan(QWidget* screen, const QString& number, Qt::KeyboardModifiers mods = Qt::NoModifier,
                 Qt::Key enter = Qt::Key_Return) {
  QLineEdit* box = ticketBox(screen);
  bool ascii = true;
  for (QChar c : number) ascii = ascii && c.unicode() < 0x80;
  // Qt Test types ASCII only; other text arrives as an input method would commit it.
  if (ascii)
    QTest::keyClicks(box, number);
  else
    box->insert(number);
  QTest::keyClick(box, enter, mods);
}

inline void click(QWidget* screen, const QString& name) {
  QWidget* w = label(screen, name);
  if (!w) qFatal("no control %s", qPrintable(name));
  QTest::mouseClick(w, Qt::LeftButton);
}

// Closes every window, lets the deferred deletes and the end-of-program check run, and clears
// the globals, so the next test starts like a fresh station.
inline void resetStation(tav::test::RecordingPlatform& platform) {
  Global::Form2Unload();
  Global::Form3Unload();
  Global::Form1Unload();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  g_BizCode.clear();
  g_AdminID.clear();
  g_GoodsName.clear();
  g_GateMode.clear();
  g_ServerUrl.clear();
  platform.clear();
}

// Runs pending timers and deletes: the end-of-program check runs after the handler returned.
inline void settle() {
  QCoreApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents();
}

// The check screen loaded through its shared reference, as the opener loads it, and shown.
inline ::frm01* openCheckScreen() {
  ::frm01* screen = &*Global::frm01();
  if (screen->isLoaded()) {
    screen->show();
    screen->activateWindow();
    if (!QTest::qWaitForWindowActive(screen)) qWarning("the check screen did not become active");
  }
  return screen;
}

// The sign-in window shown and the test operator signed in through it.
inline ::frmTAV* signInOperator() {
  ::frmTAV* signIn = &*Global::frmTAV();
  signIn->show();
  signIn->findChild<QLineEdit*>(QStringLiteral("txtID"))->setText(kOperator);
  signIn->findChild<QLineEdit*>(QStringLiteral("txtPass"))->setText(kPassword);
  signIn->findChild<QPushButton*>(QStringLiteral("btnLogin"))->click();
  return signIn;
}

inline void pressOpen(::frmTAV* signIn) {
  signIn->findChild<QPushButton*>(QStringLiteral("btnTAVOpen"))->click();
}

}  // namespace frm01test
