// The sign-in and launcher window of the station.
#pragma once

#include "forms/common/Form.h"

class frmTAV : public tav::Form {
  Q_OBJECT
 public:
  explicit frmTAV(QWidget* parent = nullptr) : tav::Form(parent) {}
};
