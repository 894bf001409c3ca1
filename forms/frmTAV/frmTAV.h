// The sign-in and launcher window: the operator signs in, then opens the check screen or ends
// the program.
#pragma once

#include <QList>
#include <memory>

#include "forms/common/Form.h"

namespace Ui {
class frmTAV;
}

class frmTAV : public tav::Form {
  Q_OBJECT
 public:
  explicit frmTAV(QWidget* parent = nullptr);
  ~frmTAV() override;

  // Opens the check screen when `index` is 1 (the primary display); any other value does nothing.
  void frmInit(short index);

 protected:
  void Form_Load() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void btnLogin_Click();
  void btnTAVOpen_Click();
  void btnTAVClose_Click();
  void ClearLogin();

  // Moves `control` to place `index` of the focus order; the controls in between move up by one.
  void setTabIndex(QWidget* control, int index);

  std::unique_ptr<Ui::frmTAV> ui;
  // Every control in its tab-index order, also those that take no focus.
  QList<QWidget*> tabOrder_;
};
