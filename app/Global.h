// Module Global: the window references, the window-closing routines and the connections between
// the windows; the shared globals the windows read lie below them (forms/common/Globals.h).
#pragma once

#include "app/FormRef.h"
#include "forms/common/Globals.h"

class frmTAV;
class frm01;
class frm02;
class frm03;

namespace Global {

// Window references. A window is tied to the others when its reference creates it: what one
// window asks for or tells reaches the other through these references, never directly.
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

}  // namespace Global
