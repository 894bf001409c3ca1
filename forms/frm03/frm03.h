// The entry statistics window: the back-end's entry counts of the event, in total and per block.
#pragma once

#include <memory>

#include "forms/common/Form.h"

namespace Ui {
class frm03;
}

class frm03 : public tav::Form {
  Q_OBJECT
 public:
  explicit frm03(QWidget* parent = nullptr);
  ~frm03() override;

  // Asks the back-end for the statistics of g_BizCode and shows the first row's figures, trimmed
  // and as delivered, in lbl_Total, lbl_E, lbl_N, lbl_S and lbl_W. An answer without a row leaves
  // the labels as they are. Throws tav::backend::BackendError when the query fails or a figure is
  // missing or null; the labels then keep what they showed.
  void Form3Show();

 signals:
  // The exit picture: the window is to be unloaded and the check screen, if still up, takes the
  // focus back. The close box unloads the window alone and tells nobody.
  void exited();

 private:
  void btnExit_Click();

  std::unique_ptr<Ui::frm03> ui;
};
