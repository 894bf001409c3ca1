// The session's strings and the back-end address that every window shares.
#include "forms/common/Globals.h"

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

}  // namespace

QString serverAddress() { return serverAddressStore(); }
void setServerAddress(const QString& url) { serverAddressStore() = url; }

QString CutAtNull(const QString& text) {
  const qsizetype nul = text.indexOf(QChar(u'\0'));
  return nul < 0 ? QString() : text.left(nul);
}

}  // namespace Global
