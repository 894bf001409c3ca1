// The block selection dialog: four click areas over its backdrop restrict the check screen's
// ticket checks to one stand block.
#pragma once

#include <QString>
#include <cstddef>
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

  // Called by the opener right after showing the dialog; it has no effect.
  void Form2Show();

 signals:
  // One of the four click areas chose `block`: the dialog is to be unloaded and the choice
  // becomes the check screen's block filter, if a check screen is still up.
  void blockChosen(const QString& block);

 private:
  void Command1_Click();
  void Command2_Click();
  void Command3_Click();
  void Command4_Click();

  // The stand block of click area `index` (0 to 3, in the stands' order), told as chosen.
  void chooseBlock(std::size_t index);

  std::unique_ptr<Ui::frm02> ui;
};
