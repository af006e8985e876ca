// What CvPci's library exports to the machine that loads it: its resources, its Control Panel entry and
// the call made when the library is loaded and freed (its DllMain).
#pragma once

#include "cpl.h"
#include "platform/win32/resources.h"

extern const win32::ModuleResources CvPciResources;
extern "C" LONG APIENTRY CPlApplet(HWND hwndCPl, UINT uMsg, LPARAM lParam1, LPARAM lParam2);
void CvPciAttach(HINSTANCE hInstance, bool bLoad);
