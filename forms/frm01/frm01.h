// The check screen: venue sign-in when it loads, one ticket validation per Enter, the entry/exit
// switch and the buttons that open the block dialog or close the station.
#pragma once

#include <QString>
#include <memory>

#include "forms/common/Form.h"

namespace Ui {
class frm01;
}

class frm01 : public tav::Form {
  Q_OBJECT
 public:
  explicit frm01(QWidget* parent = nullptr);
  ~frm01() override;

  // The venue code of the station's INI file ([Marovex] PlaceCode), read afresh on every call;
  // "" when the file, section or key is missing.
  QString GetPlaceCode();

  // What the block dialog and the statistics window change on this screen.
  void setBlockCaption(const QString& block);  // txtBlock's caption, the block filter
  void focusTicketBox();
  void setBlockPicture(const QPixmap& picture);  // btnBlock's face
  void setScorePicture(const QPixmap& picture);  // btnScore's face

 protected:
  // Start-up while the screen is still hidden. Without a venue code it shows the message, runs
  // Form1Unload and returns with the window unloaded. A back-end that cannot be reached raises
  // tav::backend::BackendError out of here, for the opener to report.
  void Form_Load() override;

  bool eventFilter(QObject* watched, QEvent* event) override;
  // Alt+F4 and the system close command do what the close picture does.
  void closeEvent(QCloseEvent* event) override;

 private:
  void Form_KeyDown(int KeyCode, int Shift);
  // btnSave_Click as Enter and a click on btnSave run it.
  void validateTicket();
  void btnSave_Click();
  void btnMode_Click();
  void btnBlock_Click();
  // Shows the statistics window, fills it, then marks btnScore as open. A failed query is
  // reported and ends the click there: the window keeps what it showed, btnScore its picture.
  void btnScore_Click();
  void Command2_Click();
  void ClearTicketInput();
  // Empties the seven labels that show the ticket holder's details.
  void clearDetails();

  std::unique_ptr<Ui::frm01> ui;
};
