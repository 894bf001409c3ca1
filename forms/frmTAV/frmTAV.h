// The sign-in and launcher window: the operator signs in, then opens the check screen or ends
// the program.
#pragma once

#include <QList>
#include <exception>
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

  // Asks for the check screen when `index` is 1 (the primary display); any other value does nothing.
  void frmInit(short index);

  // The opener's answers to checkScreenRequested(). The check screen is up on the primary
  // display: this window steps aside, unless the start-up closed it.
  void checkScreenShown();
  // The check screen's start-up failed with `error`: the operator is told, this window stays.
  void checkScreenFailed(const std::exception& error);

 signals:
  // "TAV OPEN" for the primary display: the check screen is to be loaded, sized to the
  // primary display and shown; the answer is checkScreenShown() or checkScreenFailed().
  void checkScreenRequested();
  // "TAV CLOSE", or a sign-in that failed for this station's own reasons: the check screen and
  // this window are to be unloaded.
  void stationCloseRequested();

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
