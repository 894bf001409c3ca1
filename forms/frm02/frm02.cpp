// The block selection dialog: a choice becomes the check screen's block filter.
#include "forms/frm02/frm02.h"

#include <QPointer>

#include "app/Global.h"
#include "forms/common/ClickLabel.h"
#include "forms/common/Controls.h"
#include "forms/frm01/frm01.h"
#include "platform/platform.h"
#include "ui_frm02.h"

namespace {

const QString kBlockChosenPicture = QStringLiteral("C:\\ORLTAV\\btn2off.jpg");

}  // namespace

frm02::frm02(QWidget* parent) : tav::Form(parent), ui(std::make_unique<Ui::frm02>()) {
  ui->setupUi(this);
  useFixedFrame();
  setBackdrop(QStringLiteral("frm02/background"));

  connect(ui->Command1, &tav::ClickLabel::clicked, this, [this] { tav::runClick([this] { Command1_Click(); }); });
  connect(ui->Command2, &tav::ClickLabel::clicked, this, [this] { tav::runClick([this] { Command2_Click(); }); });
  connect(ui->Command3, &tav::ClickLabel::clicked, this, [this] { tav::runClick([this] { Command3_Click(); }); });
  connect(ui->Command4, &tav::ClickLabel::clicked, this, [this] { tav::runClick([this] { Command4_Click(); }); });
}

frm02::~frm02() = default;

void frm02::Form2Show() {}

void frm02::Command1_Click() { chooseBlock(QStringLiteral("E석")); }
void frm02::Command2_Click() { chooseBlock(QStringLiteral("N석")); }
void frm02::Command3_Click() { chooseBlock(QStringLiteral("S석")); }
void frm02::Command4_Click() { chooseBlock(QStringLiteral("W석")); }

void frm02::chooseBlock(const QString& block) {
  // Looked at, never created: a check screen closed while the dialog stayed open stays closed.
  QPointer<::frm01> screen = Global::frm01().loaded();

  if (screen) screen->setBlockCaption(block);
  // This dialog is discarded only after the handler returns, so the steps below still run.
  Global::Form2Unload();
  if (!screen) return;
  screen->activateWindow();
  screen->focusTicketBox();
  screen->setBlockPicture(tav::platform().loadPicture(kBlockChosenPicture));
}
