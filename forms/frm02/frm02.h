// The block selection dialog as the check screen opens it; its choices come with the dialog's own work.
#pragma once

#include "forms/common/Form.h"

class frm02 : public tav::Form {
  Q_OBJECT
 public:
  explicit frm02(QWidget* parent = nullptr) : tav::Form(parent) {
    setWindowTitle(QStringLiteral("구역선택"));
    setFixedSize(477, 328);
  }

  // Called by the check screen after showing the dialog; it has no effect.
  void Form2Show() {}
};
