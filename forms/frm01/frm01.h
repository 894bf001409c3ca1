// Stand-in for the window frm01 until it is built.
#pragma once

#include "forms/common/Form.h"

class frm01 : public tav::Form {
  Q_OBJECT
 public:
  explicit frm01(QWidget* parent = nullptr) : tav::Form(parent) {}
};
