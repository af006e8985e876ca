// What the page and the dialogs share: the library's instance and strings, CvInstal's Parameters tree,
// telling the driver and the ports to take new settings, and the one-dialog-at-a-time rule with the
// dialogs' own threads.
#include "CvCard.h"
#include "CvCardModule.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

HINSTANCE g_hInstance = nullptr;
const char kDialogMutex[] = "CvCardMutex_Dialog1";
BOOL g_bDialogOpen = FALSE; // a card settings or port settings dialog is open

// The device interface class of each kind of card.
const GUID kPciInterface = {0x4855010F, 0x0C01, 0x4120, {0xB4, 0xAA, 0x8E, 0x93, 0x2B, 0x23, 0x81, 0x4E}};
const GUID kPcmciaInterface = {0xECE42DDC, 0xA00C, 0x42B3, {0xB9, 0x78, 0x1F, 0x49, 0x50, 0xCB, 0xAA, 0x1F}};
const GUID kIsaInterface = {0x7C4B9CC6, 0x7ABF, 0x47AE, {0x92, 0xEE, 0xD3, 0x42, 0x92, 0xE8, 0xA7, 0x41}};

BOOL WriteString(HKEY hKey, const char* pszName, const std::string& strValue) {
    return RegSetValueExA(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(strValue.c_str()),
                          static_cast<DWORD>(strValue.size() + 1)) == ERROR_SUCCESS;
}

// Whether a card key under Parameters is this card's.
BOOL IsCardKey(HKEY hKey, const CV_CARD_IDENTITY& Card) {
    DWORD a = 0, b = 0, c = 0, d = 0;
    if (Card.dwBusType == CV_BUS_PCI)
        return CvReadDword(hKey, "VendorID", a) && CvReadDword(hKey, "DeviceID", b) &&
               CvReadDword(hKey, "nBus", c) && CvReadDword(hKey, "nSlot", d) && a == Card.dwVendorID &&
               b == Card.dwDeviceID && c == Card.dwBusNumber && d == Card.dwSlotNumber;
    return CvReadDword(hKey, "DeviceReference", a) && a == Card.dwDeviceReference;
}

// Writes the values that make a new card key this card's.
BOOL WriteCardIdentity(HKEY hKey, const CV_CARD_IDENTITY& Card) {
    if (Card.dwBusType == CV_BUS_PCI)
        return CvWriteDword(hKey, "VendorID", Card.dwVendorID) &&
               CvWriteDword(hKey, "DeviceID", Card.dwDeviceID) &&
               CvWriteDword(hKey, "nSlot", Card.dwSlotNumber) && CvWriteDword(hKey, "nBus", Card.dwBusNumber);
    return CvWriteDword(hKey, "DeviceReference", Card.dwDeviceReference) &&
           WriteString(hKey, "HardwareID", Card.strHardwareID);
}

// A new card key: made and given the card's identity, or removed again.
HKEY CreateCardKey(HKEY hBus, const char* pszName, const CV_CARD_IDENTITY& Card) {
    HKEY hCard = nullptr;
    if (RegCreateKeyExA(hBus, pszName, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &hCard,
                        nullptr) != ERROR_SUCCESS)
        return nullptr;
    if (!WriteCardIdentity(hCard, Card)) {
        RegCloseKey(hCard);
        RegDeleteKeyA(hBus, pszName);
        return nullptr;
    }
    return hCard;
}

DWORD WINAPI DialogThread(LPVOID pDialog) {
    AfxSetResourceHandle(g_hInstance);
    // The dialog goes with its thread, also when the program ends while it is open.
    std::unique_ptr<CDialog> pRun(static_cast<CDialog*>(pDialog));
    pRun->DoModal();
    pRun.reset();
    // The thread ends: the next dialog may open.
    CvReleaseDialog();
    return 0;
}

} // namespace

HINSTANCE CvCardInstance() {
    return g_hInstance;
}

void CvCardAttach(HINSTANCE hInstance, bool bLoad) {
    g_hInstance = bLoad ? hInstance : nullptr;
    if (!bLoad)
        g_bDialogOpen = FALSE;
}

std::string CvCardString(UINT nID) {
    char szText[512] = {};
    const int nLength = LoadStringA(g_hInstance, nID, szText, sizeof szText);
    return std::string(szText, nLength > 0 ? nLength : 0);
}

BOOL CvReadDword(HKEY hKey, const char* pszName, DWORD& dwValue) {
    DWORD dwType = 0, dwData = 0, dwSize = sizeof dwData;
    if (RegQueryValueExA(hKey, pszName, nullptr, &dwType, reinterpret_cast<BYTE*>(&dwData), &dwSize) !=
            ERROR_SUCCESS ||
        dwType != REG_DWORD || dwSize != sizeof dwData)
        return FALSE;
    dwValue = dwData;
    return TRUE;
}

BOOL CvWriteDword(HKEY hKey, const char* pszName, DWORD dwValue) {
    return RegSetValueExA(hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                          sizeof dwValue) == ERROR_SUCCESS;
}

HKEY CvOpenCardParametersKey(const CV_CARD_IDENTITY& Card) {
    const char* pszBus = Card.dwBusType == CV_BUS_PCI      ? "Parameters\\Bus5"
                         : Card.dwBusType == CV_BUS_ISA    ? "Parameters\\Bus1"
                         : Card.dwBusType == CV_BUS_PCMCIA ? "Parameters\\Bus8"
                                                           : nullptr;
    HKEY hService = nullptr;
    if (!pszBus ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, CV_SERVICE_KEY, 0, KEY_ALL_ACCESS, &hService) != ERROR_SUCCESS)
        return nullptr;
    HKEY hBus = nullptr;
    HKEY hCard = nullptr;
    if (RegOpenKeyExA(hService, pszBus, 0, KEY_ALL_ACCESS, &hBus) != ERROR_SUCCESS) {
        // No card has parameters yet: this card's key is the first.
        if (RegCreateKeyExA(hService, pszBus, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                            &hBus, nullptr) == ERROR_SUCCESS)
            hCard = CreateCardKey(hBus, "Card1", Card);
    } else {
        // "Card1", "Card2", ... up to the first that does not open; this card's, else a new one there.
        // A key of another card is never touched.
        int nFree = 0;
        for (int n = 1; n <= CV_MAX_DOS_NUMBER && !hCard; ++n) {
            char szName[16];
            std::snprintf(szName, sizeof szName, "Card%d", n);
            HKEY hTry = nullptr;
            if (RegOpenKeyExA(hBus, szName, 0, KEY_ALL_ACCESS, &hTry) != ERROR_SUCCESS) {
                nFree = n;
                break;
            }
            if (IsCardKey(hTry, Card))
                hCard = hTry;
            else
                RegCloseKey(hTry);
        }
        if (!hCard && nFree) {
            char szName[16];
            std::snprintf(szName, sizeof szName, "Card%d", nFree);
            hCard = CreateCardKey(hBus, szName, Card);
        }
    }
    if (hBus)
        RegCloseKey(hBus);
    RegCloseKey(hService);
    return hCard;
}

HKEY CvOpenPortParametersKey(HKEY hCard, int nPort) {
    HKEY hPort = nullptr;
    for (int n = 1; n <= nPort; ++n) {
        if (hPort)
            RegCloseKey(hPort);
        char szName[32];
        std::snprintf(szName, sizeof szName, "ComPort%d", n);
        if (RegCreateKeyExA(hCard, szName, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                            &hPort, nullptr) != ERROR_SUCCESS)
            return nullptr;
    }
    return hPort;
}

void CvNotifyDriver(const CV_CARD_IDENTITY& Card) {
    const GUID* pClass = Card.dwBusType == CV_BUS_PCI      ? &kPciInterface
                         : Card.dwBusType == CV_BUS_PCMCIA ? &kPcmciaInterface
                                                           : &kIsaInterface;
    HDEVINFO hSet = SetupDiGetClassDevsA(pClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (hSet == INVALID_HANDLE_VALUE)
        return;
    SP_DEVICE_INTERFACE_DATA Interface{};
    Interface.cbSize = sizeof Interface;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(hSet, nullptr, pClass, i, &Interface); ++i) {
        HKEY hKey = SetupDiOpenDeviceInterfaceRegKey(hSet, &Interface, 0, KEY_READ);
        if (hKey == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE))
            continue;
        DWORD a = 0, b = 0, c = 0, d = 0;
        BOOL bMatch;
        if (Card.dwBusType == CV_BUS_PCI)
            bMatch = CvReadDword(hKey, "VendorID", a) && CvReadDword(hKey, "DeviceID", b) &&
                     CvReadDword(hKey, "BusNumber", c) && CvReadDword(hKey, "SlotNumber", d) &&
                     a == Card.dwVendorID && b == Card.dwDeviceID && c == Card.dwBusNumber &&
                     d == Card.dwSlotNumber;
        else
            bMatch = CvReadDword(hKey, "DeviceReference", a) && a == Card.dwDeviceReference;
        RegCloseKey(hKey);
        if (!bMatch)
            continue;
        DWORD dwSize = 0;
        SetupDiGetDeviceInterfaceDetailA(hSet, &Interface, nullptr, 0, &dwSize, nullptr);
        std::vector<char> Detail(dwSize > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
                                     ? dwSize
                                     : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
        auto* pDetail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(Detail.data());
        pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(hSet, &Interface, pDetail, static_cast<DWORD>(Detail.size()),
                                             nullptr, nullptr)) {
            // Opening the interface is the signal: the driver reads its parameters again.
            HANDLE hDevice =
                CreateFileA(pDetail->DevicePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (hDevice != INVALID_HANDLE_VALUE)
                CloseHandle(hDevice);
        }
        break;
    }
    SetupDiDestroyDeviceInfoList(hSet);
}

void CvUpdatePort(HWND hOwner, int nCom) {
    char szName[32];
    std::snprintf(szName, sizeof szName, "\\\\.\\com%d", nCom);
    HANDLE hPort = CreateFileA(szName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hPort != INVALID_HANDLE_VALUE) {
        CloseHandle(hPort);
        return;
    }
    ::MessageBoxA(hOwner, AfxFormat(CvCardString(IDS_PORT_NOT_ACCESSED).c_str(), nCom).c_str(),
                  CWnd(hOwner).GetWindowText().c_str(), MB_OK | MB_ICONINFORMATION);
}

BOOL CvClaimDialog() {
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, kDialogMutex);
    if (!hMutex)
        return FALSE;
    WaitForSingleObject(hMutex, INFINITE);
    const BOOL bClaimed = !g_bDialogOpen;
    g_bDialogOpen = TRUE;
    ReleaseMutex(hMutex);
    CloseHandle(hMutex);
    return bClaimed;
}

void CvReleaseDialog() {
    HANDLE hMutex = CreateMutexA(nullptr, FALSE, kDialogMutex);
    if (!hMutex)
        return;
    WaitForSingleObject(hMutex, INFINITE);
    g_bDialogOpen = FALSE;
    ReleaseMutex(hMutex);
    CloseHandle(hMutex);
}

void CvRunDialogThread(CDialog* pDialog) {
    if (!CreateThread(nullptr, 0, DialogThread, pDialog, 0, nullptr)) {
        delete pDialog;
        CvReleaseDialog();
    }
}

BOOL CvShowContextHelp(const HELPINFO* pHelpInfo, const int (*pTopics)[2], int nTopics) {
    if (!pHelpInfo || pHelpInfo->iContextType != HELPINFO_WINDOW)
        return FALSE;
    for (int i = 0; i < nTopics; ++i)
        if (pTopics[i][0] == pHelpInfo->iCtrlId) {
            WinHelpA(static_cast<HWND>(pHelpInfo->hItemHandle), CvCardString(IDS_HELP_FILE).c_str(),
                     HELP_CONTEXTPOPUP, static_cast<ULONG_PTR>(pTopics[i][1]));
            return TRUE;
        }
    return FALSE;
}

// ---------------------------------------------------------------------------------------------
// The library's exports
// ---------------------------------------------------------------------------------------------

extern "C" BOOL CALLBACK CvExtensionPropSheetPageProc(PVOID pInfo, LPFNADDPROPSHEETPAGE pfnAddPage,
                                                      LPARAM lParam) {
    auto* pRequest = static_cast<PSP_PROPSHEETPAGE_REQUEST>(pInfo);
    if (!pRequest || !pfnAddPage || pRequest->cbSize != sizeof(SP_PROPSHEETPAGE_REQUEST))
        return FALSE;
    HKEY hKey = SetupDiOpenDevRegKey(pRequest->DeviceInfoSet, pRequest->DeviceInfoData, DICS_FLAG_GLOBAL, 0,
                                     DIREG_DEV, KEY_READ | KEY_WRITE);
    if (hKey == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE))
        return FALSE;
    auto* pPage = new CCardPropertiesPage(hKey, pRequest->DeviceInfoSet, pRequest->DeviceInfoData);
    if (!pPage->Prepare()) {
        delete pPage;
        return FALSE;
    }
    HPROPSHEETPAGE hPage = pPage->Create(); // from here on the page belongs to its sheet page
    if (!hPage) {
        delete pPage;
        return FALSE;
    }
    if (!pfnAddPage(hPage, lParam)) {
        DestroyPropertySheetPage(hPage);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL CALLBACK CvPortAdvancedButton(HWND hParent, BOOL bHidePolling, HDEVINFO hDevInfo,
                                              PSP_DEVINFO_DATA pDevInfoData, PVOID pReserved) {
    (void)bHidePolling;
    (void)hDevInfo;
    (void)pDevInfoData;
    (void)pReserved;
    ::MessageBoxA(hParent, CvCardString(IDS_ADVANCED_UNDER_CARD).c_str(),
                  CWnd(hParent).GetWindowText().c_str(), MB_OK);
    return TRUE;
}
