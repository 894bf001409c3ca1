// The block selection dialog: four click areas over its backdrop restrict the check screen's
// ticket checks to one stand block.
#pragma once

#include <QString>
#include <memory>

#include "forms/common/Form.h"

namespace Ui {
class frm02;
}

class frm02 : public tav::Form {
  Q_OBJECT
 public:
  explicit frm02(QWidget* parent = nullptr);
  ~frm02() override;

  // Called by the check screen right after showing the dialog; it has no effect.
  void Form2Show();

 private:
  void Command1_Click();
  void Command2_Click();
  void Command3_Click();
  void Command4_Click();

  // Writes `block` into the check screen's block label, unloads this dialog, gives the focus to
  // the ticket box and marks btnBlock as chosen. Without a check screen it only unloads the
  // dialog: nothing brings the closed screen back.
  void chooseBlock(const QString& block);

  std::unique_ptr<Ui::frm02> ui;
};
