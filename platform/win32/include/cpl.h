// Control Panel applets: the messages a Control Panel sends to an applet library's CPlApplet and the
// records it fills, with the names, values and layouts of the Windows header.
#pragma once

#include "windows.h"

#define CPL_INIT 1
#define CPL_GETCOUNT 2
#define CPL_INQUIRE 3
#define CPL_SELECT 4
#define CPL_DBLCLK 5
#define CPL_STOP 6
#define CPL_EXIT 7
#define CPL_NEWINQUIRE 8
#define CPL_DYNAMIC_RES 0

typedef LONG(APIENTRY* APPLET_PROC)(HWND hwndCpl, UINT msg, LPARAM lParam1, LPARAM lParam2);

typedef struct tagCPLINFO {
    int idIcon;
    int idName;
    int idInfo;
    LONG_PTR lData;
} CPLINFO, *LPCPLINFO;

typedef struct tagNEWCPLINFOA {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwHelpContext;
    LONG_PTR lData;
    HICON hIcon;
    CHAR szName[32];
    CHAR szInfo[64];
    CHAR szHelpFile[128];
} NEWCPLINFOA, *LPNEWCPLINFOA;
typedef NEWCPLINFOA NEWCPLINFO;
typedef LPNEWCPLINFOA LPNEWCPLINFO;
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(NEWCPLINFOA) == 244, "the record as the 32-bit Control Panel reads it");
#endif
