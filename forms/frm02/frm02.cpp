// The block selection dialog: a choice becomes the check screen's block filter.
#include "forms/frm02/frm02.h"

#include "backend/commands.h"
#include "forms/common/ClickLabel.h"
#include "forms/common/Controls.h"
#include "ui_frm02.h"
#include "wire/stands.h"

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

void frm02::Command1_Click() { chooseBlock(0); }
void frm02::Command2_Click() { chooseBlock(1); }
void frm02::Command3_Click() { chooseBlock(2); }
void frm02::Command4_Click() { chooseBlock(3); }

void frm02::chooseBlock(std::size_t index) { emit blockChosen(tav::backend::wireName(tav::wire::kBlocks[index])); }
