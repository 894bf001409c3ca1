// The part of module Global that the windows read and write: the signed-in session's strings, the
// back-end address and CutAtNull. It lies below the windows so that none of them needs app/.
#pragma once

#include <QString>

// All strings, empty meaning unset; none is stored across runs.
extern QString g_BizCode;
extern QString g_AdminID;
extern QString g_GoodsName;
extern QString g_GateMode;
extern QString g_ServerUrl;

namespace Global {

// The back-end address every caller writes into g_ServerUrl before a call: the build-time
// TAV_SERVER_URL unless a test set another.
QString serverAddress();
void setServerAddress(const QString& url);

// The characters before the first NUL of `text`; "" when it has none.
QString CutAtNull(const QString& text);

}  // namespace Global
