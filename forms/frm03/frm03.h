// Stand-in for the window frm03 until it is built.
#pragma once

#include "forms/common/Form.h"

class frm03 : public tav::Form {
  Q_OBJECT
 public:
  explicit frm03(QWidget* parent = nullptr) : tav::Form(parent) {}
};
