// Module Global: the shared globals, the four window references and the window-closing routines.
#include "app/Global.h"

#include "forms/frm01/frm01.h"
#include "forms/frm02/frm02.h"
#include "forms/frm03/frm03.h"
#include "forms/frmTAV/frmTAV.h"

QString g_BizCode;
QString g_AdminID;
QString g_GoodsName;
QString g_GateMode;
QString g_ServerUrl;

namespace Global {

namespace {

QString& serverAddressStore() {
  static QString address = QStringLiteral(TAV_SERVER_URL);
  return address;
}

// The one reference of window T. A reference whose window was unloaded (close box, or an unload
// without clearing) must not hand out that discarded window again: the next use creates it afresh.
template <class T>
tav::FormRef<T>& reference() {
  static tav::FormRef<T> ref;
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

QString serverAddress() { return serverAddressStore(); }
void setServerAddress(const QString& url) { serverAddressStore() = url; }

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

QString CutAtNull(const QString& text) {
  const qsizetype nul = text.indexOf(QChar(u'\0'));
  return nul < 0 ? QString() : text.left(nul);
}

}  // namespace Global
