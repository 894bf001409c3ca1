// The station when the network is gone: the real check screen offscreen, a real tav-server on
// SQLite, and a fault proxy between them that refuses, black-holes or swallows answers.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <QSysInfo>
#include <QTemporaryDir>

#include "backend/gateway.h"
#include "backend/idempotency.h"
#include "backend/offline_station.h"
#include "offline/engine.h"
#include "offline/list.h"
#include "server/core/store.h"
#include "server/tools/open_store.h"
#include "tests/support/StationFixture.h"
#include "tests/support/fault_proxy.h"

using namespace tav::test;
using Mode = FaultProxy::Mode;
Q_DECLARE_METATYPE(Mode)

namespace {

// Valid tickets N01..N30 of the E석 block, and one cancelled, C01: each test takes its own.
QByteArray tickets() {
  QByteArray csv;
  for (int i = 1; i <= 30; ++i)
    csv += QStringLiteral("N%1,가,빅매치 2024,202405161830,잠실종합운동장,R석,E석 %1번,E석,valid\n")
               .arg(i, 2, 10, QChar(u'0'))
               .toUtf8();
  return csv + QStringLiteral("C01,나,빅매치 2024,202405161830,잠실종합운동장,R석,E석 99번,E석,cancelled\n").toUtf8();
}
QString n(int i) { return QStringLiteral("N%1").arg(i, 2, 10, QChar(u'0')); }

const QString kCheckFailed = QStringLiteral("확인 실패 · 다시 스캔");
const QString kNotInList = QStringLiteral("목록에 없음");
const QString kOfflineStatus = QStringLiteral("오프라인 검표 중 (목록 0분 전)");

// The gateway's longest check: both attempts within 10 s.
constexpr int kCallMs = 10'000;
// Back online: the hand-over, then two probes 10 s apart, each probe 5 s after the last.
constexpr int kBackOnlineMs = 25'000;
// An outage of the tests: longer than one second for each decision made in it.
constexpr int kSilenceMs = 7'000;

QString statusLine(QWidget* screen) { return screen->findChild<QLabel*>(QStringLiteral("lblOffline"))->text(); }

struct TicketInStore {
  bool inside = false;
  std::int64_t entries = 0;
  int conflicts = 0;
};

}  // namespace

class TestOffline : public QObject, public StationFixture {
  Q_OBJECT

 private slots:
  void initTestCase() {
    const QByteArray csv = tickets();
    startServer(csv.constData());
    server_->setup({"set-event", "--bizcode", kBizCode, "--offline", "on"});
    otherKey_ = registerStation(QStringLiteral("다른 게이트"));
    tav::backend::offlineStation().setHandOverDelayLimit(std::chrono::milliseconds(0));
  }
  // Each test is a gate PC of its own: its own registration, its own journal.
  void init() {
    stationKey_ = registerStation(QStringLiteral("게이트 %1").arg(++stations_));
    initStation();
    install_->writeFile(QStringLiteral("station.key"), stationKey_);
    journals_ = std::make_unique<QTemporaryDir>();
    tav::backend::OfflineStation::setJournalFolder(journals_->path());
  }
  void cleanup() {
    cleanupStation();
    tav::backend::offlineStation().forget();
  }

  // An outage found by a check that the back-end never saw: the station goes offline with that
  // check, decides the next ones from its list without the network, and is back online once its
  // decisions are handed over.
  void outageAndBack_data() {
    QTest::addColumn<Mode>("fault");
    QTest::addColumn<int>("first");  // the first of the row's three tickets
    QTest::newRow("refused") << Mode::Refuse << 1;
    QTest::newRow("black hole") << Mode::BlackHole << 4;
  }
  void outageAndBack() {
    QFETCH(Mode, fault);
    QFETCH(int, first);
    const QString before = n(first), during = n(first + 1), later = n(first + 2);
    FaultProxy proxy(0, "127.0.0.1", static_cast<std::uint16_t>(QUrl(server_->url()).port()));
    openSignedIn(proxy);

    QCOMPARE(checkOnline(before), QStringLiteral("0"));
    proxy.setMode(fault);
    scan(screen_, during);
    QVERIFY(caption(screen_, QStringLiteral("lbl_BookingInfo")) != kCheckFailed);
    QCOMPARE(statusLine(screen_), kOfflineStatus);
    QCOMPARE(platform_.sounds().back(), kOkWav);
    QCOMPARE(caption(screen_, QStringLiteral("lbl_TicketNo")), during);

    // Every later check is decided at once, the network untouched, while the worker's probes
    // wait on the fault.
    const long long seen = proxy.connectionsSeen();
    const QString admitted = caption(screen_, QStringLiteral("lbl_BookingInfo"));
    for (const auto& [ticket, sound, answer] :
         std::vector<std::tuple<QString, QString, QString>>{{during, kNoWav, QString()},  // inside now
                                                            {before, kNoWav, QString()},  // let in online
                                                            {QStringLiteral("C01"), kNoWav, QString()},
                                                            {QStringLiteral("NOPE1"), kNoWav, kNotInList},
                                                            {later, kOkWav, admitted}}) {
      scan(screen_, ticket);
      QCOMPARE(platform_.sounds().back(), sound);
      const QString shown = caption(screen_, QStringLiteral("lbl_BookingInfo"));
      QVERIFY2(shown != kCheckFailed && !shown.isEmpty(), qPrintable(ticket));
      if (!answer.isEmpty()) QCOMPARE(shown, answer);
    }
    QCOMPARE(caption(screen_, QStringLiteral("lbl_BookingInfo")), admitted);
    QVERIFY(proxy.connectionsSeen() - seen <= 2);  // the worker's probes at most, no check

    endOutage(proxy);
    for (const QString& ticket : {during, later}) {
      const TicketInStore t = inStore(ticket);
      QVERIFY2(t.inside && t.entries == 1 && t.conflicts == 0, qPrintable(ticket));
    }
    QCOMPARE(checkOnline(later), QStringLiteral("-2"));
  }

  // The back-end decided the check but its answer was lost on both attempts: the station decides
  // it again offline under the same key, and the hand-over finds it the same check, also once the
  // back-end's table of recent keys no longer holds it.
  void droppedAnswerIsOneEntry_data() {
    QTest::addColumn<bool>("keysPurged");
    QTest::newRow("keys kept") << false;
    QTest::newRow("keys purged") << true;
  }
  void droppedAnswerIsOneEntry() {
    QFETCH(bool, keysPurged);
    const QString ticket = keysPurged ? n(10) : n(11);
    FaultProxy proxy(0, "127.0.0.1", static_cast<std::uint16_t>(QUrl(server_->url()).port()));
    openSignedIn(proxy);
    proxy.setMode(Mode::DropAnswer);
    scan(screen_, ticket);
    QCOMPARE(statusLine(screen_), kOfflineStatus);
    QCOMPARE(platform_.sounds().back(), kOkWav);
    QVERIFY(proxy.answersDropped() >= 1);
    if (keysPurged) {
      const auto store = tav::server::openStore(server_->storePath().toStdString(), false);
      // Every key is older than a window that starts now.
      const auto now = tav::server::Store::systemNow();
      std::size_t forgotten = 0;
      store->write([&](tav::server::Transaction& tx) { forgotten = tx.forgetCheckKeys(now + 1, now + 2, 1000); });
      QVERIFY(forgotten >= 1);
    }
    endOutage(proxy);
    const TicketInStore t = inStore(ticket);
    QVERIFY(t.inside);
    QCOMPARE(t.entries, 1);
    QCOMPARE(t.conflicts, 0);
  }

  // A copy of a ticket let in online at another gate while this one was cut off: the one the
  // back-end kept stands, this station's entry is reported as one conflict.
  void copyAdmittedElsewhereIsOneConflict() {
    FaultProxy proxy(0, "127.0.0.1", static_cast<std::uint16_t>(QUrl(server_->url()).port()));
    openSignedIn(proxy);
    proxy.setMode(Mode::Refuse);
    scan(screen_, QStringLiteral("C01"));  // the outage, found with a cancelled ticket
    QCOMPARE(statusLine(screen_), kOfflineStatus);
    QCOMPARE(platform_.sounds().back(), kNoWav);
    scan(screen_, n(20));
    QCOMPARE(platform_.sounds().back(), kOkWav);
    QCOMPARE(checkElsewhere(n(20)), QStringLiteral("0"));
    endOutage(proxy);
    const TicketInStore t = inStore(n(20));
    QCOMPARE(t.entries, 1);
    QCOMPARE(t.conflicts, 1);
  }

  // Decisions of a station killed outright are on its disk, and go to the back-end when the
  // station is started and signed in again.
  void journalOfAKilledStationIsHandedOverAtSignIn() {
    FaultProxy proxy(0, "127.0.0.1", static_cast<std::uint16_t>(QUrl(server_->url()).port()));
    openSignedIn(proxy);
    const QByteArray list = fetchList(proxy);
    QVERIFY(!list.isEmpty());
    cleanupStation();
    tav::backend::offlineStation().forget();

    // The station's engine in a process of its own, killed once its decision is on the disk.
    const pid_t child = ::fork();
    if (child == 0) {
      using namespace tav::offline;
      const auto now = std::chrono::steady_clock::now();
      Engine engine(Journal::open(QFile::encodeName(journals_->path()).toStdString(),
                                  QSysInfo::machineHostName().toStdString()));
      engine.signedIn(now, kBizCode.toStdString(), kOperator.toStdString(), "");
      engine.listFetched(decodeList(list.toStdString()), now);
      const bool offline = engine.connectionFailed(now);
      const std::string key = tav::backend::newIdempotencyKey();
      const auto answer = engine.decide(now, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::system_clock::now().time_since_epoch())
                                                 .count(),
                                        {"I", n(25).toStdString(), key});
      if (offline && answer.decision.code == "0") ::kill(::getpid(), SIGKILL);
      ::_exit(1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    QVERIFY(!inStore(n(25)).inside);
    // A PC is started again after a while; its silence is what its decisions are judged against.
    QTest::qWait(kSilenceMs);

    initStation();
    install_->writeFile(QStringLiteral("station.key"), stationKey_);
    openSignedIn(proxy);
    QTRY_VERIFY_WITH_TIMEOUT(inStore(n(25)).inside, kCallMs);
    QCOMPARE(inStore(n(25)).entries, 1);
  }

 private:
  // The key file's bytes of a new station of the test venue.
  QByteArray registerStation(const QString& name) {
    QTemporaryDir keys;
    const QString keyFile = keys.filePath(QStringLiteral("station.key"));
    server_->setup({"add-station", "--place", kPlace, "--name", name, "--key-file", keyFile});
    QFile f(keyFile);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }

  // The network back after an outage long enough for the decisions made in it (the back-end
  // takes no more than one a second of a station's silence), and the station online again.
  void endOutage(FaultProxy& proxy) {
    QTest::qWait(kSilenceMs);
    proxy.setMode(Mode::Pass);
    QTRY_VERIFY_WITH_TIMEOUT(!statusLine(screen_).startsWith(QStringLiteral("오프라인")), kBackOnlineMs);
  }

  // The operator signed in and the check screen open through `proxy`, with the event's list
  // fetched.
  void openSignedIn(FaultProxy& proxy) {
    proxy.setMode(Mode::Pass);
    const QString url = QStringLiteral("http://127.0.0.1:%1").arg(proxy.port());
    Global::setServerAddress(url);
    signInAndOpen();
    QTRY_COMPARE_WITH_TIMEOUT(statusLine(screen_), QStringLiteral("목록 0분 전"), kCallMs);
  }

  // A check sent through this station's gateway, bypassing the window: its code.
  QString checkOnline(const QString& ticket) {
    tav::backend::BusinessObject object(tav::backend::kProgId, g_ServerUrl);
    auto rs = object.Query(
        tav::backend::ticketCheckCommand(tav::backend::kEntryMode, kBizCode, QString(), ticket, kOperator));
    return rs->fields().Item(QStringLiteral("ErrCode")).text();
  }

  // A check of another gate, another PC with its own key and session, straight to the back-end:
  // its code.
  QString checkElsewhere(const QString& ticket) {
    httplib::Client other(server_->url().toStdString());
    other.set_default_headers({{std::string(tav::wire::kStationHeader), otherKey_.trimmed().toStdString()}});
    const std::string path = "/objects/" + tav::backend::kProgId.toStdString() + "/Query";
    const auto signIn =
        other.Post(path, tav::backend::operatorSignInCommand(kOperator, kPassword).toStdString(), "text/plain");
    if (!signIn) return QStringLiteral("no sign-in");
    const std::string cookie = signIn->get_header_value("Set-Cookie");
    const auto check = other.Post(
        path,
        {{"Cookie", cookie.substr(0, cookie.find(';'))},
         {std::string(tav::wire::kIdempotencyHeader), tav::backend::newIdempotencyKey()}},
        tav::backend::ticketCheckCommand(tav::backend::kEntryMode, kBizCode, QString(), ticket, kOperator).toStdString(),
        "text/plain");
    if (!check || check->status != 200) return QStringLiteral("no answer");
    return QString::fromStdString(std::get<std::string>(tav::wire::decode(check->body).rows.at(0).at(0)));
  }

  QByteArray fetchList(FaultProxy& proxy) {
    const tav::backend::HttpReply reply = tav::backend::backendRequest(
        QStringLiteral("http://127.0.0.1:%1").arg(proxy.port()), "GET",
        std::string(tav::wire::kOfflineListPath) + "?bizcode=" + kBizCode.toStdString() + "&block=" +
            QUrl::toPercentEncoding(QStringLiteral("전체")).toStdString(),
        {}, {}, std::chrono::seconds(3), std::chrono::seconds(10));
    return reply.status == 200 ? QByteArray::fromStdString(reply.body) : QByteArray();
  }

  TicketInStore inStore(const QString& ticket) {
    TicketInStore t;
    const auto store = tav::server::openStore(server_->storePath().toStdString(), false);
    store->read([&](tav::server::Reader& r) {
      const auto found = r.findTicket(kBizCode.toStdString(), ticket.toStdString());
      if (!found) return;
      t.inside = found->inside;
      t.entries = found->entryCount;
      for (const auto& line : r.ticketLog(kBizCode.toStdString(), ticket.toStdString(), tav::server::kPastEveryLine, 100))
        t.conflicts += line.outcome == "offline-conflict";
    });
    return t;
  }

  int stations_ = 0;
  QByteArray stationKey_, otherKey_;
  std::unique_ptr<QTemporaryDir> journals_;
};

QTEST_MAIN(TestOffline)
#include "tst_offline.moc"
