// Stand-in for the block selection dialog until it is built.
#pragma once

#include "forms/common/Form.h"

class frm02 : public tav::Form {
  Q_OBJECT
 public:
  explicit frm02(QWidget* parent = nullptr) : tav::Form(parent) {}
};
