// What the station's window tests share: the test venue on a real tav-server, a canned back-end
// that records the command texts, the install folder, the recording platform, and helpers that
// open, drive and close the real windows as an operator does.
#pragma once

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <QPoint>
#include <QPushButton>
#include <QtTest>
#include <memory>
#include <string>

#include "app/Global.h"
#include "forms/common/ClickLabel.h"
#include "forms/frm01/frm01.h"
#include "forms/frm02/frm02.h"
#include "forms/frmTAV/frmTAV.h"
#include "tests/support/CannedServer.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestServer.h"
#include "wire/recordset.h"

Q_DECLARE_METATYPE(tav::wire::Recordset)

namespace tav::test {

namespace wire = tav::wire;

// A text value of an answer row.
inline std::string s(const char* text) { return text; }

// The venue every test store holds, its event and operator.
inline const QString kPlace = QStringLiteral("JAMSIL01");
inline const QString kVenueName = QStringLiteral("잠실종합운동장");
inline const QString kBizCode = QStringLiteral("EV2024");
inline const QString kEventName = QStringLiteral("빅매치 2024");
inline const QString kOperator = QStringLiteral("op1");
inline const QString kPassword = QStringLiteral("pw-1-gate");
inline const QString kNoPlaceCodeMessage = QStringLiteral("▶ tav.ini 파일의 PlaceCode 확인해주세요");

// The program's paths of the sounds and of btnSave's two faces.
inline const QString kOkWav = QStringLiteral("C:\\ORLTAV\\ok.wav");
inline const QString kNoWav = QStringLiteral("C:\\ORLTAV\\no.wav");
inline const QString kEntryPicture = QStringLiteral("C:\\ORLTAV\\btn3on.jpg");
inline const QString kExitPicture = QStringLiteral("C:\\ORLTAV\\\\btn4on.jpg");

// The seven detail labels of the check screen, in the order the validation writes them.
const QStringList& detailLabels();

// Sets up `server`'s store: the test venue with one active event, one operator and the tickets of
// `csvRows`; and a second venue, EMPTY01, without an active event.
void makeVenue(TestServer& server, const QString& csvRows);

// An admitting answer to a ticket check, for tests that need one but look only at what was sent.
wire::Recordset admittedAnswer();

// Controls of a window, found by name.
QLineEdit* ticketBox(QWidget* screen);
ClickLabel* label(QWidget* window, const QString& name);
// The caption of a label; "<no NAME>" when the window has none of that name.
QString caption(QWidget* window, const QString& name);
// The captions of the seven detail labels.
QStringList details(QWidget* screen);

// Types a number and presses Enter in the ticket box, as a scanner does.
void scan(QWidget* screen, const QString& number, Qt::KeyboardModifiers mods = Qt::NoModifier,
          Qt::Key enter = Qt::Key_Return);
// Clicks the label or image `name` of `window`.
void click(QWidget* window, const QString& name);
// Clicks `window` at `pos` on whatever lies there, as the mouse does.
void clickAt(QWidget* window, QPoint pos);

// Runs what the running handler left queued: deferred deletions and the end-of-program check.
void settle();
// Closes every window, lets the deferred deletes and the end-of-program check run, and clears
// the globals, the unanswered checks and the recording, so the next test starts like a fresh station.
void resetStation(RecordingPlatform& platform);

// The check screen loaded through its shared reference, as the opener loads it, and shown when
// its start-up left it loaded.
::frm01* openCheckScreen();
// The sign-in window shown and the test operator signed in through it.
::frmTAV* signInOperator();
// "TAV OPEN" pressed on the sign-in window.
void pressOpen(::frmTAV* signIn);

// Pictures as RGB32 images, to compare pixels: one shown, the install-folder file of that name,
// and the built-in copy of that name.
QImage asRgb(const QPixmap& picture);
QImage installFile(const QString& name);
QImage builtIn(const QString& name);

// Top-level windows of kind T that exist and are not discarded.
template <class T>
int liveWindows() {
  int n = 0;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* f = qobject_cast<T*>(w); f && !f->isDiscarded()) ++n;
  return n;
}

// The state of a window test: a second base of the test object, beside QObject.
class StationFixture {
 protected:
  // A real tav-server holding the test venue and `tickets` (CSV rows), started.
  void startServer(const char* tickets = "");
  // Before each test: a fresh install folder naming the test venue; the back-end address that of
  // the real server when there is one.
  void initStation();
  // After each test: every window closed, the globals cleared, the recording, its hooks and the
  // canned back-end dropped.
  void cleanupStation();

  // The check screen opened against `url` once the test operator has signed in, as "TAV OPEN"
  // opens it; the recording and the canned back-end's requests are cleared afterwards. When the
  // venue signs in, the event and "전체" are checked.
  void openScreen(const QString& url, bool venueSignedIn = true);
  // The same against a new canned back-end that accepts the venue sign-in with the test event,
  // or refuses it.
  void openWithCapture(bool venueSignedIn = true);
  // The operator signed in on the sign-in window, then "TAV OPEN" pressed, with the recording
  // cleared in between; the check screen must be up and the sign-in window hidden.
  void signInAndOpen();

  RecordingPlatform platform_;
  std::unique_ptr<TestServer> server_;
  std::unique_ptr<InstallFolder> install_;
  std::unique_ptr<CannedServer> capture_;
  ::frm01* screen_ = nullptr;
};

}  // namespace tav::test
