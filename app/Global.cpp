// Module Global: the four window references, the window-closing routines, and what one window's
// signals do to the others.
#include "app/Global.h"

#include <QPointer>
#include <QRect>
#include <exception>

#include "backend/gateway.h"
#include "forms/common/Controls.h"
#include "forms/frm01/frm01.h"
#include "forms/frm02/frm02.h"
#include "forms/frm03/frm03.h"
#include "forms/frmTAV/frmTAV.h"
#include "platform/platform.h"

namespace Global {

namespace {

// The check screen loaded, sized to the primary display and shown, as the sign-in window asked;
// the sign-in window hears how it went. The start-up runs while the screen is still hidden.
void openCheckScreen(::frmTAV& signIn) {
  QPointer<::frm01> screen = frm01().instance();
  try {
    screen->load();
  } catch (const std::exception& e) {
    signIn.checkScreenFailed(e);
    // Discarded: the reference creates a new screen at the next "TAV OPEN".
    if (screen) screen->unload();
    return;
  }
  // A start-up that closed the program leaves nothing to size or show.
  if (!screen || !screen->isLoaded() || frm01().peek() != screen) return;

  const QRect display = tav::platform().primaryScreen();
  screen->resize(display.width(), screen->height());
  screen->resize(screen->width(), display.height());
  screen->show();
  signIn.checkScreenShown();
}

// One shared block dialog, modeless and without owner: checking goes on while it is open.
void openBlockDialog() {
  ::frm02& dialog = *frm02();
  dialog.show();
  dialog.raise();
  dialog.activateWindow();
  dialog.Form2Show();
}

// One shared statistics window, modeless and without owner: shown first, then queried.
void openStatistics(::frm01& screen) {
  ::frm03& statistics = *frm03();
  statistics.show();
  statistics.raise();
  statistics.activateWindow();
  try {
    statistics.Form3Show();
  } catch (const tav::backend::BackendError&) {
    screen.statisticsFailed();
    return;
  }
  screen.statisticsShown();
}

// Every reaction below runs as the window's own handlers do (tav::runClick): a failure ends it at
// the failing step, since Qt cannot carry an exception back to the window that emitted.
void connectWindow(::frmTAV& signIn) {
  QObject::connect(&signIn, &::frmTAV::checkScreenRequested, &signIn,
                   [w = &signIn] { tav::runClick([w] { openCheckScreen(*w); }); });
  QObject::connect(&signIn, &::frmTAV::stationCloseRequested, &signIn, &Form1Unload);
}

void connectWindow(::frm01& screen) {
  QObject::connect(&screen, &::frm01::blockDialogRequested, &screen, [] { tav::runClick(openBlockDialog); });
  QObject::connect(&screen, &::frm01::statisticsRequested, &screen,
                   [s = &screen] { tav::runClick([s] { openStatistics(*s); }); });
  QObject::connect(&screen, &::frm01::stationCloseRequested, &screen, &Form1Unload);
}

// The check screen is looked at, never created, when the dialog or the statistics window goes:
// a screen closed while they stayed open stays closed.
void connectWindow(::frm02& dialog) {
  QObject::connect(&dialog, &::frm02::blockChosen, &dialog, [](const QString& block) {
    tav::runClick([&block] {
      QPointer<::frm01> screen = frm01().loaded();
      Form2Unload();
      if (screen) screen->takeBlock(block);
    });
  });
}

void connectWindow(::frm03& statistics) {
  QObject::connect(&statistics, &::frm03::exited, &statistics, [] {
    tav::runClick([] {
      Form3Unload();
      if (::frm01* screen = frm01().loaded()) screen->statisticsClosed();
    });
  });
}

// The one reference of window T. A reference whose window was unloaded (close box, or an unload
// without clearing) must not hand out that discarded window again: the next use creates it afresh.
template <class T>
tav::FormRef<T>& reference() {
  static tav::FormRef<T> ref(&connectWindow);
  if (T* w = ref.peek(); w && w->isDiscarded()) ref.clear();
  return ref;
}

// Unloads the window of `ref` when it is loaded, then clears the reference. A window that was
// created but never loaded goes with it; clearing alone would leave it behind.
template <class T>
void unloadAndClear(tav::FormRef<T>& ref) {
  T* w = ref.peek();
  if (w && w->isLoaded())
    w->unload();
  else if (w && !w->isDiscarded())
    w->deleteLater();
  ref.clear();
}

}  // namespace

tav::FormRef<::frmTAV>& frmTAV() { return reference<::frmTAV>(); }
tav::FormRef<::frm01>& frm01() { return reference<::frm01>(); }
tav::FormRef<::frm02>& frm02() { return reference<::frm02>(); }
tav::FormRef<::frm03>& frm03() { return reference<::frm03>(); }

void Form1Unload() {
  unloadAndClear(frm01());
  unloadAndClear(frmTAV());
}

void Form2Unload() { unloadAndClear(frm02()); }

void Form3Unload() { unloadAndClear(frm03()); }

}  // namespace Global
