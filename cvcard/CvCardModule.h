// What CvCard's library exports to the machine that loads it: its resources, the device manager's
// property page entry, the port page's Advanced button entry, and the call made when the library is
// loaded and freed (its DllMain).
#pragma once

#include "platform/win32/resources.h"
#include "setupapi.h"

extern const win32::ModuleResources CvCardResources;
extern "C" BOOL CALLBACK CvExtensionPropSheetPageProc(PVOID pInfo, LPFNADDPROPSHEETPAGE pfnAddPage,
                                                      LPARAM lParam);
extern "C" BOOL CALLBACK CvPortAdvancedButton(HWND hParent, BOOL bHidePolling, HDEVINFO hDevInfo,
                                              PSP_DEVINFO_DATA pDevInfoData, PVOID pReserved);
void CvCardAttach(HINSTANCE hInstance, bool bLoad);
