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

  // What the block dialog and the statistics window did, told by whoever opened them.
  // A block was chosen: it becomes the block filter (txtBlock's caption), the ticket box takes the
  // focus back and btnBlock shows the choice.
  void takeBlock(const QString& block);
  // The statistics window shows its figures: btnScore is marked open.
  void statisticsShown();
  // The statistics query failed: the operator is told; the window keeps what it showed, btnScore
  // its picture.
  void statisticsFailed();
  // The statistics window was left by its exit picture: the ticket box takes the focus back and
  // btnScore is marked closed.
  void statisticsClosed();

 signals:
  // btnBlock: the block dialog is wanted.
  void blockDialogRequested();
  // btnScore: the statistics window is wanted, shown and filled; the answer is statisticsShown()
  // or statisticsFailed().
  void statisticsRequested();
  // The close picture, Alt+F4, or a start-up without a venue code: this screen and the sign-in
  // window are to be unloaded.
  void stationCloseRequested();

 protected:
  // Start-up while the screen is still hidden. Without a venue code it shows the message, asks
  // for the station to close and returns with the window unloaded. A back-end that cannot be
  // reached raises tav::backend::BackendError out of here, for the opener to report.
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
  void btnScore_Click();
  void Command2_Click();
  void ClearTicketInput();
  // Empties the seven labels that show the ticket holder's details.
  void clearDetails();
  // The offline status line: the list's age, checking offline, or why the station cannot; its
  // colour says which. Hidden while there is nothing to say.
  void showOfflineStatus();

  std::unique_ptr<Ui::frm01> ui;
};
