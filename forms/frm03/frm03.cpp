// The entry statistics window: one query per opening or refresh, figures shown as the back-end
// counts them.
#include "forms/frm03/frm03.h"

#include <array>

#include "backend/commands.h"
#include "backend/gateway.h"
#include "forms/common/ClickLabel.h"
#include "forms/common/Controls.h"
#include "forms/common/Globals.h"
#include "ui_frm03.h"
#include "wire/stands.h"

frm03::frm03(QWidget* parent) : tav::Form(parent), ui(std::make_unique<Ui::frm03>()) {
  ui->setupUi(this);
  useFixedFrame();
  setBackdrop(QStringLiteral("frm03/background"));

  connect(ui->btnExit, &tav::ClickLabel::clicked, this, [this] { tav::runClick([this] { btnExit_Click(); }); });
}

frm03::~frm03() = default;

void frm03::Form3Show() {
  using namespace tav::backend;

  g_ServerUrl = Global::serverAddress();
  DataSpace dataSpace;
  std::unique_ptr<BusinessObject> object = dataSpace.CreateObject(kProgId, g_ServerUrl);
  std::unique_ptr<Recordset> rs = BackendQuery(*object, statisticsCommand(g_BizCode));

  if (!rs->isEOF()) {
    struct Figure {
      QString field;
      tav::ClickLabel* label;
    };
    const std::array<Figure, 5> figures = {{
        {wireName(tav::wire::kFieldTotal), ui->lbl_Total},
        {wireName(tav::wire::kBlocks[0]), ui->lbl_E},
        {wireName(tav::wire::kBlocks[1]), ui->lbl_N},
        {wireName(tav::wire::kBlocks[2]), ui->lbl_S},
        {wireName(tav::wire::kBlocks[3]), ui->lbl_W},
    }};
    // Every figure is read before any is shown: a row that lacks one must not leave the window
    // mixing this answer's counts with the previous one's.
    std::array<QString, figures.size()> texts;
    for (std::size_t i = 0; i < figures.size(); ++i) texts[i] = trimSpaces(rs->fields().Item(figures[i].field).text());
    for (std::size_t i = 0; i < figures.size(); ++i) figures[i].label->setCaption(texts[i]);
  }
  rs->Close();
  rs.reset();
  object.reset();
}

void frm03::btnExit_Click() { emit exited(); }
