// Module Global: the shared globals, the window references and the window-closing routines.
#pragma once

#include <QString>

#include "app/FormRef.h"

class frmTAV;
class frm01;
class frm02;
class frm03;

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

// Window references.
tav::FormRef<::frmTAV>& frmTAV();
tav::FormRef<::frm01>& frm01();
tav::FormRef<::frm02>& frm02();
tav::FormRef<::frm03>& frm03();

// Unloads frm01 then frmTAV, and clears both references.
void Form1Unload();
// Unloads frm02 and clears its reference.
void Form2Unload();
// Unloads frm03 and clears its reference.
void Form3Unload();

// The characters before the first NUL of `text`; "" when it has none.
QString CutAtNull(const QString& text);

}  // namespace Global
