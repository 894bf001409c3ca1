// The check screen: it shows what the back-end decides about each ticket and plays the answer.
#include "forms/frm01/frm01.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QStringDecoder>
#include <QTimer>

#include "backend/commands.h"
#include "backend/gateway.h"
#include "backend/offline_station.h"
#include "forms/common/Controls.h"
#include "forms/common/Globals.h"
#include "platform/platform.h"
#include "ui_frm01.h"

namespace {

// The program's fixed install-folder paths. The exit picture keeps its doubled backslash; the
// file functions read it as the one file btn4on.jpg.
const QString kIniPath = QStringLiteral("C:\\ORLTAV\\tav.ini");
const QString kOkSound = QStringLiteral("C:\\ORLTAV\\ok.wav");
const QString kNoSound = QStringLiteral("C:\\ORLTAV\\no.wav");
const QString kEntryPicture = QStringLiteral("C:\\ORLTAV\\btn3on.jpg");
const QString kExitPicture = QStringLiteral("C:\\ORLTAV\\\\btn4on.jpg");
const QString kBlockChosenPicture = QStringLiteral("C:\\ORLTAV\\btn2off.jpg");
const QString kStatisticsOpenPicture = QStringLiteral("C:\\ORLTAV\\btn5off.jpg");
const QString kStatisticsClosedPicture = QStringLiteral("C:\\ORLTAV\\btn5on.jpg");

const QString kNoPlaceCode = QStringLiteral("▶ tav.ini 파일의 PlaceCode 확인해주세요");
const QString kAuthFailed = QStringLiteral("인증 실패");
// A check that got no decision: never the previous fan's answer, which would read as an admission.
const QString kCheckFailed = QStringLiteral("확인 실패 · 다시 스캔");
const QString kStatisticsFailed = QStringLiteral("입장현황을 불러오지 못했습니다");

constexpr int kEnterKey = 13;  // vbKeyReturn
// The status line follows the offline engine this often; reading it takes microseconds.
constexpr int kStatusRefreshMs = 1000;
constexpr int kProfileBufferSize = 255;

// The key code the station's handlers speak (Windows virtual keys); only Enter is looked at.
int keyCodeOf(const QKeyEvent* e) {
  switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:  // the keypad's Enter is the same key to the station
      return kEnterKey;
    default:
      return e->key() >= 0x20 && e->key() <= 0x5a ? e->key() : 0;
  }
}

// Shift state as a mask: 1 Shift, 2 Ctrl, 4 Alt.
int shiftOf(const QKeyEvent* e) {
  const Qt::KeyboardModifiers m = e->modifiers();
  return (m & Qt::ShiftModifier ? 1 : 0) | (m & Qt::ControlModifier ? 2 : 0) | (m & Qt::AltModifier ? 4 : 0);
}

}  // namespace

frm01::frm01(QWidget* parent) : tav::Form(parent), ui(std::make_unique<Ui::frm01>()) {
  ui->setupUi(this);
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  // The screen's own colour is the system's window background: on a display larger than the
  // backdrop it is what shows right of and below it.
  QPalette colours = palette();
  colours.setColor(QPalette::Window, colours.color(QPalette::Base));
  setPalette(colours);

  setBackdrop(QStringLiteral("frm01/background"));
  ui->Command2->setPicture(builtInPicture(QStringLiteral("frm01/Command2")));
  ui->btnMode->setPicture(builtInPicture(QStringLiteral("frm01/btnMode")));
  ui->btnBlock->setPicture(builtInPicture(QStringLiteral("frm01/btnBlock")));
  ui->btnScore->setPicture(builtInPicture(QStringLiteral("frm01/btnScore")));
  // The event title grows to the right with its text and may reach the close picture; the picture
  // stays on top so that all of it takes clicks.
  ui->Command2->raise();

  // Key preview: the screen sees Enter before the ticket box does.
  ui->txtTicketNo->installEventFilter(this);

  connect(ui->btnSave, &tav::ClickLabel::clicked, this, [this] { validateTicket(); });
  connect(ui->btnMode, &tav::ClickLabel::clicked, this, [this] { tav::runClick([this] { btnMode_Click(); }); });
  connect(ui->btnBlock, &tav::ClickLabel::clicked, this, [this] { tav::runClick([this] { btnBlock_Click(); }); });
  connect(ui->btnScore, &tav::ClickLabel::clicked, this, [this] { tav::runClick([this] { btnScore_Click(); }); });
  connect(ui->Command2, &tav::ClickLabel::clicked, this, [this] { tav::runClick([this] { Command2_Click(); }); });

  auto* statusTimer = new QTimer(this);
  connect(statusTimer, &QTimer::timeout, this, [this] { showOfflineStatus(); });
  statusTimer->start(kStatusRefreshMs);
}

frm01::~frm01() { tav::backend::offlineStation().signedOut(); }

void frm01::showOfflineStatus() {
  using Tone = tav::backend::OfflineStation::Tone;
  const tav::backend::OfflineStation::Status status = tav::backend::offlineStation().status();
  ui->lblOffline->setVisible(!status.text.isEmpty());
  ui->lblOffline->setText(status.text);
  // Amber while checking offline, red while the station cannot, quiet otherwise.
  QPalette colours = ui->lblOffline->palette();
  const QColor back = status.tone == Tone::Offline   ? QColor(255, 191, 0)
                      : status.tone == Tone::Refused ? QColor(200, 0, 0)
                                                     : palette().color(QPalette::Window);
  colours.setColor(QPalette::Window, back);
  colours.setColor(QPalette::WindowText, status.tone == Tone::Refused ? Qt::white : Qt::black);
  ui->lblOffline->setPalette(colours);
}

QString frm01::GetPlaceCode() {
  QByteArray buffer(kProfileBufferSize, '\0');
  tav::platform().profileString("Marovex", "PlaceCode", "", buffer.data(), kProfileBufferSize, kIniPath);
  QStringDecoder fromAnsi("windows-949");
  const QString text = fromAnsi(buffer);
  return Global::CutAtNull(text);
}

void frm01::takeBlock(const QString& block) {
  ui->txtBlock->setCaption(block);
  tav::backend::offlineStation().blockChosen(block);
  activateWindow();
  ui->txtTicketNo->setFocus();
  ui->btnBlock->setPicture(tav::platform().loadPicture(kBlockChosenPicture));
}

void frm01::statisticsShown() { ui->btnScore->setPicture(tav::platform().loadPicture(kStatisticsOpenPicture)); }

void frm01::statisticsFailed() { tav::platform().messageBox(kStatisticsFailed); }

void frm01::statisticsClosed() {
  activateWindow();
  ui->txtTicketNo->setFocus();
  ui->btnScore->setPicture(tav::platform().loadPicture(kStatisticsClosedPicture));
}

void frm01::Form_Load() {
  using namespace tav::backend;
  // The primary display need not start at (0, 0) when another monitor lies left of or above it.
  move(tav::platform().primaryScreen().topLeft());

  g_ServerUrl = Global::serverAddress();
  DataSpace dataSpace;
  std::unique_ptr<BusinessObject> object = dataSpace.CreateObject(kProgId, g_ServerUrl);

  const QString placeCode = GetPlaceCode();
  if (placeCode.isEmpty()) {
    tav::platform().messageBox(kNoPlaceCode);
    // Unloads this window too: the opener finds it no longer loaded and neither sizes nor shows it.
    emit stationCloseRequested();
    return;
  }

  std::unique_ptr<Recordset> rs = BackendQuery(*object, venueSignInCommand(placeCode));
  const bool refused = rs->isEOF() || signInRefused(trimSpaces(rs->fields().Item(wireName(tav::wire::kFieldErrCode)).text()));
  if (refused) {
    tav::platform().messageBox(kNoPlaceCode);
    ui->txtTicketNo->setFocus();
    rs->Close();
    rs.reset();
    object.reset();
    ClearTicketInput();
    return;
  }

  g_BizCode = trimSpaces(rs->fields().Item(wireName(tav::wire::kFieldBizCode)).text());
  g_GoodsName = trimSpaces(rs->fields().Item(wireName(tav::wire::kFieldGoodsName)).text());
  rs->Close();
  rs.reset();
  object.reset();

  ui->txtTicketNo->setFocus();
  ui->btnSave->setPicture(tav::platform().loadPicture(kEntryPicture));
  ui->lbl_GoodsNameInfo->setCaption(g_GoodsName);
  ui->txtBlock->setCaption(kAllBlocks);
  offlineStation().signedIn(g_ServerUrl, g_BizCode, g_AdminID, g_GoodsName, kAllBlocks);
  showOfflineStatus();
}

void frm01::ClearTicketInput() {
  ui->txtTicketNo->setText(QString());
  // The ticket box is the only control in the focus chain, so it is always first in it.
}

void frm01::Form_KeyDown(int KeyCode, int /*Shift*/) {
  if (KeyCode != kEnterKey) return;
  validateTicket();
}

void frm01::validateTicket() {
  // A failure ends the validation where it happened; the screen takes the next Enter at once.
  // The ticket text stays, selected: the next scan replaces it instead of being appended to it,
  // which after the cut to 15 characters would refuse a valid ticket. Keys typed while the check
  // was under way wait in the event queue and arrive after this, on the selection or on the
  // emptied box.
  if (!tav::runClick([this] { btnSave_Click(); })) ui->txtTicketNo->selectAll();
}

void frm01::btnSave_Click() {
  using namespace tav::backend;

  // Released in reverse order of creation: recordset, business object, data space.
  g_ServerUrl = Global::serverAddress();
  DataSpace dataSpace;
  std::unique_ptr<BusinessObject> object = dataSpace.CreateObject(kProgId, g_ServerUrl);

  const QString block = blockFilter(ui->txtBlock->caption());
  const QString ticketNo = ticketNumber(ui->txtTicketNo->text());
  if (g_GateMode.isEmpty()) g_GateMode = kEntryMode;

  if (ticketNo.isEmpty()) {
    tav::platform().playSound(kNoSound);
    ui->lbl_BookingInfo->setCaption(kAuthFailed);
    ui->txtTicketNo->setFocus();
    return;
  }

  std::unique_ptr<Recordset> rs;
  bool hasRow = false;
  QString code;
  try {
    rs = BackendQuery(*object, ticketCheckCommand(g_GateMode, g_BizCode, block, ticketNo, g_AdminID));
    hasRow = !rs->isEOF();
    code = hasRow ? trimSpaces(rs->fields().Item(wireName(tav::wire::kFieldErrCode)).text()) : QString();
  } catch (const BackendError&) {
    // No decision came back (the gateway has already retried): the operator must see that this
    // fan was not checked, with the refusal sound, and scan again.
    tav::platform().playSound(kNoSound);
    ui->lbl_BookingInfo->setCaption(kCheckFailed);
    clearDetails();
    showOfflineStatus();
    throw;
  }
  ui->txtTicketNo->setFocus();
  // A check may have found the outage, or decided offline: the status line says so with its answer.
  showOfflineStatus();

  auto field = [&rs](std::string_view name) { return trimSpaces(rs->fields().Item(wireName(name)).text()); };

  if (!hasRow || ticketRefused(code)) {
    tav::platform().playSound(kNoSound);
    // A result without a row carries no message of its own.
    ui->lbl_BookingInfo->setCaption(hasRow ? field(tav::wire::kFieldErrMsg) : kAuthFailed);
    clearDetails();
    rs->Close();
    rs.reset();
    object.reset();
    ClearTicketInput();
    return;
  }

  tav::platform().playSound(kOkSound);
  ui->lbl_BookingInfo->setCaption(field(tav::wire::kFieldErrMsg));
  ui->lbl_CustName->setCaption(field(tav::wire::kFieldCustName));
  ui->lbl_TicketNo->setCaption(field(tav::wire::kFieldTicketNo));
  ui->lbl_GoodsName->setCaption(field(tav::wire::kFieldGoodsName));
  // A play date without value shows an empty line; the other fields still need theirs.
  const Field playDate = rs->fields().Item(wireName(tav::wire::kFieldPlayDate));
  ui->lbl_PlayDate->setCaption(playDate.isNull() ? QString() : formatPlayDate(trimSpaces(playDate.text())));
  ui->lbl_PlaceName->setCaption(field(tav::wire::kFieldPlaceName));
  ui->lbl_SeatGradeName->setCaption(field(tav::wire::kFieldSeatGradeName));
  ui->lbl_SeatInfo->setCaption(field(tav::wire::kFieldSeatInfo));
  rs->Close();
  rs.reset();
  object.reset();
  ui->txtTicketNo->setFocus();
  ClearTicketInput();
}

void frm01::clearDetails() {
  ui->lbl_CustName->setCaption(QString());
  ui->lbl_TicketNo->setCaption(QString());
  ui->lbl_GoodsName->setCaption(QString());
  ui->lbl_PlayDate->setCaption(QString());
  ui->lbl_PlaceName->setCaption(QString());
  ui->lbl_SeatGradeName->setCaption(QString());
  ui->lbl_SeatInfo->setCaption(QString());
}

void frm01::btnMode_Click() {
  if (g_GateMode == tav::backend::kExitMode) {
    g_GateMode = tav::backend::kEntryMode;
    ui->btnSave->setPicture(tav::platform().loadPicture(kEntryPicture));
  } else {
    g_GateMode = tav::backend::kExitMode;
    ui->btnSave->setPicture(tav::platform().loadPicture(kExitPicture));
  }
  ui->txtTicketNo->setFocus();
}

void frm01::btnBlock_Click() { emit blockDialogRequested(); }

void frm01::btnScore_Click() { emit statisticsRequested(); }

void frm01::Command2_Click() { emit stationCloseRequested(); }

bool frm01::eventFilter(QObject* watched, QEvent* event) {
  if (watched == ui->txtTicketNo && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    Form_KeyDown(keyCodeOf(key), shiftOf(key));
  }
  // The key goes on to the ticket box unchanged. The ticket box is the only control that takes
  // the focus, so every key the screen receives passes here first.
  return tav::Form::eventFilter(watched, event);
}

void frm01::closeEvent(QCloseEvent* event) {
  event->accept();
  // Left to the default, the close command would unload this window alone and leave the hidden
  // sign-in window running with nothing on screen.
  if (isLoaded()) emit stationCloseRequested();
}
