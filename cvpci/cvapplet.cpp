// The applet's entry: the Control Panel's messages, answered by the one applet object.
#include "CvPci.h"
#include "CvPciModule.h"

#include <cstring>

namespace {

// The applet object: one for the library's lifetime.
class CControlPanelApplet {
public:
    LONG OnMessage(HWND hwndCPl, UINT uMsg, LPARAM lParam2) {
        switch (uMsg) {
        case CPL_INIT:
            return 1;
        case CPL_GETCOUNT:
            return 1;
        case CPL_INQUIRE:
            return 0;
        case CPL_SELECT:
            return 1;
        case CPL_DBLCLK: {
            CPortListDlg dlg(hwndCPl);
            dlg.DoModal();
            return 0;
        }
        case CPL_STOP:
            return 1;
        case CPL_EXIT:
            return 0;
        case CPL_NEWINQUIRE:
            NewInquire(reinterpret_cast<LPNEWCPLINFOA>(lParam2));
            return 0;
        default:
            return 1;
        }
    }

private:
    static void NewInquire(LPNEWCPLINFOA info) {
        std::memset(info, 0, sizeof *info);
        info->dwSize = sizeof *info;
        info->hIcon = ::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCE(IDI_CORVANE));
        std::strncpy(info->szName, "Corvane", sizeof info->szName - 1);
        std::string text = AfxLoadString(IDS_APPLETINFO);
        std::strncpy(info->szInfo, text.c_str(), sizeof info->szInfo - 1);
    }
};

CControlPanelApplet theApplet;

} // namespace

extern "C" LONG APIENTRY CPlApplet(HWND hwndCPl, UINT uMsg, LPARAM lParam1, LPARAM lParam2) {
    (void)lParam1;
    return theApplet.OnMessage(hwndCPl, uMsg, lParam2);
}

void CvPciAttach(HINSTANCE hInstance, bool bLoad) {
    AfxSetResourceHandle(bLoad ? hInstance : nullptr);
}
