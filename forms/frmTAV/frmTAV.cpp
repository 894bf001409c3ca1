// The sign-in and launcher window: operator sign-in at the back-end, opening the check screen on
// the primary display, and closing the station.
#include "forms/frmTAV/frmTAV.h"

#include <QIcon>
#include <QKeyEvent>
#include <algorithm>

#include "backend/commands.h"
#include "backend/gateway.h"
#include "forms/common/Globals.h"
#include "forms/common/cMontionInfo.h"
#include "platform/platform.h"
#include "ui_frmTAV.h"

namespace be = tav::backend;

namespace {

const QString kEnterDetails = QStringLiteral("▶ 로그인 정보를 입력하세요");
// Two parts: a carriage return alone and five blanks set the second part under the first.
const QString kRetry = QStringLiteral("▶ 입력한 정보를 확인하시고 ") + QChar(u'\r') +
                       QStringLiteral("     ") + QStringLiteral("다시 로그인해주세요");
const QString kSignedInAt = QStringLiteral("에서 로그인 되었습니다");
const QString kSignInFailed = QStringLiteral("시스템의 문제로 인해 로그인을 하지 못했습니다");
const QString kSignInFirst = QStringLiteral("로그인 후에 TAV 화면을 열어주세요");
const QString kServerUnreachable = QStringLiteral("서버에 연결할 수 없습니다");
const QString kServerUntrusted = QStringLiteral("서버 인증서를 확인할 수 없습니다");
const QString kCannotOpen = QStringLiteral("TAV 화면을 열 수 없습니다");

}  // namespace

frmTAV::frmTAV(QWidget* parent) : tav::Form(parent), ui(std::make_unique<Ui::frmTAV>()) {
  ui->setupUi(this);
  useFixedFrame();
  setBackdrop(QStringLiteral("frmTAV/background"));
  setWindowIcon(QIcon(builtInPicture(QStringLiteral("frmTAV/icon"))));

  // The layout gives every control its place in the tab order, also those that take no focus.
  for (QWidget* w : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
    if (w->property("tabIndex").isValid()) tabOrder_ << w;
  std::stable_sort(tabOrder_.begin(), tabOrder_.end(), [](const QWidget* a, const QWidget* b) {
    return a->property("tabIndex").toInt() < b->property("tabIndex").toInt();
  });

  // Enter on a focused push button presses it, as on the station's home platform; there is
  // still no default button, so Enter in a text box does nothing.
  for (QPushButton* b : {ui->btnLogin, ui->btnTAVOpen, ui->btnTAVClose})
    b->installEventFilter(this);

  connect(ui->btnLogin, &QPushButton::clicked, this, &frmTAV::btnLogin_Click);
  connect(ui->btnTAVOpen, &QPushButton::clicked, this, &frmTAV::btnTAVOpen_Click);
  connect(ui->btnTAVClose, &QPushButton::clicked, this, &frmTAV::btnTAVClose_Click);
}

frmTAV::~frmTAV() = default;

bool frmTAV::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    // The keypad's Enter carries the keypad flag; it is the same key to the station.
    if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
        (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
      if (auto* button = qobject_cast<QPushButton*>(watched)) {
        button->click();
        return true;
      }
    }
  }
  return tav::Form::eventFilter(watched, event);
}

void frmTAV::setTabIndex(QWidget* control, int index) {
  tabOrder_.removeOne(control);
  tabOrder_.insert(index, control);
  // Each control's tabIndex says where it stands now, as the layout's did at first.
  for (qsizetype i = 0; i < tabOrder_.size(); ++i) tabOrder_[i]->setProperty("tabIndex", static_cast<int>(i));
  QWidget* previous = nullptr;
  for (QWidget* w : tabOrder_) {
    if (w->focusPolicy() == Qt::NoFocus) continue;
    if (previous) setTabOrder(previous, w);
    previous = w;
  }
}

void frmTAV::Form_Load() {
  setTabIndex(ui->txtID, 0);
  setTabIndex(ui->txtPass, 1);
  // First in the focus order: holds the focus when the window is first shown.
  ui->txtID->setFocus();
}

void frmTAV::btnLogin_Click() {
  try {
    ui->lbl_LoginInfo->setCaption(QString());

    g_ServerUrl = Global::serverAddress();
    be::DataSpace dataSpace;
    std::unique_ptr<be::BusinessObject> object = dataSpace.CreateObject(be::kProgId, g_ServerUrl);

    const QString id = ui->txtID->text();
    const QString password = ui->txtPass->text();
    if (id.isEmpty() || password.isEmpty()) {
      ui->lbl_LoginInfo->setCaption(kEnterDetails);
      return;
    }

    std::unique_ptr<be::Recordset> rs =
        be::BackendQuery(*object, be::operatorSignInCommand(id, password));
    if (rs->isEOF() || be::signInRefused(be::trimSpaces(rs->fields().Item(be::wireName(tav::wire::kFieldErrCode)).text()))) {
      rs->Close();
      rs.reset();
      object.reset();
      ClearLogin();
      ui->lbl_LoginInfo->setCaption(kRetry);
      return;
    }

    g_BizCode = be::trimSpaces(rs->fields().Item(be::wireName(tav::wire::kFieldBizCode)).text());
    const QString venue = be::trimSpaces(rs->fields().Item(be::wireName(tav::wire::kFieldTheaterName)).text());
    g_GoodsName = be::trimSpaces(rs->fields().Item(be::wireName(tav::wire::kFieldGoodsName)).text());
    g_AdminID = id;

    if (!g_BizCode.isEmpty()) {
      ui->lbl_LoginInfo->setCaption(venue + kSignedInAt);
      return;
    }
    rs->Close();
  } catch (const be::BackendError& e) {
    // A back-end out of reach, or one whose certificate cannot be trusted, is the site's network
    // or set-up, not this station's fault: the operator is told on the status line and may try
    // again, rather than losing the station.
    if (e.kind() != be::BackendError::Kind::Other) {
      ui->lbl_LoginInfo->setCaption(e.kind() == be::BackendError::Kind::NoAnswer ? kServerUnreachable
                                                                                 : kServerUntrusted);
      return;
    }
  } catch (const std::exception&) {
    // Every other failure of the sign-in takes the failure exit below.
  }
  tav::platform().messageBox(kSignInFailed);
  emit stationCloseRequested();
}

void frmTAV::ClearLogin() {
  ui->txtID->setText(QString());
  ui->txtPass->setText(QString());
  ui->lbl_LoginInfo->setCaption(QString());
}

void frmTAV::btnTAVOpen_Click() {
  const cMontionInfo info;
  const std::int32_t monitors = info.DisplayMonitorCount();
  if (g_BizCode.isEmpty()) {
    tav::platform().messageBox(kSignInFirst);
    return;
  }
  // A platform that cannot count its monitors answers below 1: the primary display is still there.
  const short index = static_cast<short>(monitors > 1 || monitors < 1 ? 1 : monitors);
  frmInit(index);
}

void frmTAV::frmInit(short index) {
  if (index != 1) return;
  emit checkScreenRequested();
}

void frmTAV::checkScreenShown() {
  // The sign-in window waits hidden behind the check screen, loaded, for the end of the program.
  if (isLoaded()) hide();
}

void frmTAV::checkScreenFailed(const std::exception& error) {
  tav::platform().messageBox(dynamic_cast<const be::BackendError*>(&error) ? kServerUnreachable : kCannotOpen);
}

void frmTAV::btnTAVClose_Click() { emit stationCloseRequested(); }
