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

// A reference whose window was unloaded (close box, or an unload without clearing) must not hand
// out that discarded window again: the next use creates it afresh.
template <class T>
tav::FormRef<T>& live(tav::FormRef<T>& ref) {
  if (T* w = ref.peek(); w && w->isDiscarded()) ref.clear();
  return ref;
}

// Unloads the window of `ref` (creating the instance when there is none, without loading it).
template <class T>
void unloadWindow(tav::FormRef<T>& ref) {
  T* w = ref.instance();
  if (w->isLoaded()) w->unload();
}

// Clearing a reference to a window that was created but never loaded would leave it behind.
template <class T>
void clearReference(tav::FormRef<T>& ref) {
  if (T* w = ref.peek(); w && !w->isLoaded() && !w->isDiscarded()) w->deleteLater();
  ref.clear();
}

}  // namespace

QString serverAddress() { return serverAddressStore(); }
void setServerAddress(const QString& url) { serverAddressStore() = url; }

tav::FormRef<::frmTAV>& frmTAV() {
  static tav::FormRef<::frmTAV> ref;
  return live(ref);
}
tav::FormRef<::frm01>& frm01() {
  static tav::FormRef<::frm01> ref;
  return live(ref);
}
tav::FormRef<::frm02>& frm02() {
  static tav::FormRef<::frm02> ref;
  return live(ref);
}
tav::FormRef<::frm03>& frm03() {
  static tav::FormRef<::frm03> ref;
  return live(ref);
}

void Form1Unload() {
  unloadWindow(frm01());
  unloadWindow(frmTAV());
  clearReference(frm01());
  clearReference(frmTAV());
}

void Form2Unload() {
  unloadWindow(frm02());
  clearReference(frm02());
}

void Form3Unload() {
  unloadWindow(frm03());
  clearReference(frm03());
}

QString CutAtNull(const QString& text) {
  const qsizetype nul = text.indexOf(QChar(u'\0'));
  return nul < 0 ? QString() : text.left(nul);
}

}  // namespace Global
