// The card properties page: what it reads when the device manager asks for it, its rows of ports, and
// the buttons that open the card's and a port's settings.
#include "CvCard.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const int kListIds[CV_MAX_PORTS] = {IDC_PORTLIST1, IDC_PORTLIST2, IDC_PORTLIST3, IDC_PORTLIST4,
                                    IDC_PORTLIST5, IDC_PORTLIST6, IDC_PORTLIST7, IDC_PORTLIST8};
const int kLabelIds[CV_MAX_PORTS] = {IDC_ROWLABEL1, IDC_ROWLABEL2, IDC_ROWLABEL3, IDC_ROWLABEL4,
                                     IDC_ROWLABEL5, IDC_ROWLABEL6, IDC_ROWLABEL7, IDC_ROWLABEL8};
const int kAddressIds[CV_MAX_PORTS] = {IDC_ADDRESS1, IDC_ADDRESS2, IDC_ADDRESS3, IDC_ADDRESS4,
                                       IDC_ADDRESS5, IDC_ADDRESS6, IDC_ADDRESS7, IDC_ADDRESS8};
const int kIrqIds[CV_MAX_PORTS] = {IDC_IRQ1, IDC_IRQ2, IDC_IRQ3, IDC_IRQ4,
                                   IDC_IRQ5, IDC_IRQ6, IDC_IRQ7, IDC_IRQ8};
const int kButtonIds[CV_MAX_PORTS] = {IDC_PORTBUTTON1, IDC_PORTBUTTON2, IDC_PORTBUTTON3, IDC_PORTBUTTON4,
                                      IDC_PORTBUTTON5, IDC_PORTBUTTON6, IDC_PORTBUTTON7, IDC_PORTBUTTON8};

// Help topics of the page's controls.
const int kHelpTopics[][2] = {
    {IDC_PORTLIST1, 1001},   {IDC_PORTLIST2, 1001},   {IDC_PORTLIST3, 1001},   {IDC_PORTLIST4, 1001},
    {IDC_PORTLIST5, 1001},   {IDC_PORTLIST6, 1001},   {IDC_PORTLIST7, 1001},   {IDC_PORTLIST8, 1001},
    {IDC_ADDRESS1, 1000},    {IDC_ADDRESS2, 1000},    {IDC_ADDRESS3, 1000},    {IDC_ADDRESS4, 1000},
    {IDC_ADDRESS5, 1000},    {IDC_ADDRESS6, 1000},    {IDC_ADDRESS7, 1000},    {IDC_ADDRESS8, 1000},
    {IDC_IRQ1, 1002},        {IDC_IRQ2, 1002},        {IDC_IRQ3, 1002},        {IDC_IRQ4, 1002},
    {IDC_IRQ5, 1002},        {IDC_IRQ6, 1002},        {IDC_IRQ7, 1002},        {IDC_IRQ8, 1002},
    {IDC_PORTBUTTON1, 1004}, {IDC_PORTBUTTON2, 1004}, {IDC_PORTBUTTON3, 1004}, {IDC_PORTBUTTON4, 1004},
    {IDC_PORTBUTTON5, 1004}, {IDC_PORTBUTTON6, 1004}, {IDC_PORTBUTTON7, 1004}, {IDC_PORTBUTTON8, 1004},
    {IDC_ADVANCED, 1006}};

std::string ReadText(HKEY hKey, const char* pszName, DWORD dwLimit) {
    char szText[512] = {};
    DWORD dwType = 0, dwSize = dwLimit < sizeof szText ? dwLimit : sizeof szText - 1;
    if (RegQueryValueExA(hKey, pszName, nullptr, &dwType, reinterpret_cast<BYTE*>(szText), &dwSize) !=
            ERROR_SUCCESS ||
        dwType != REG_SZ)
        return {};
    return std::string(szText, strnlen(szText, dwSize));
}

} // namespace

CCardPropertiesPage::CCardPropertiesPage(HKEY hDeviceKey, HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
    : CPropertyPage(IDD_CARDPROPERTIES), m_hDeviceKey(hDeviceKey), m_hDevInfo(hDevInfo),
      m_pDevInfoData(pDevInfoData) {}

CCardPropertiesPage::~CCardPropertiesPage() {
    RegCloseKey(m_hDeviceKey);
    delete[] m_pArbiter;
}

BOOL CCardPropertiesPage::Prepare() {
    // The device manager restarts the card once its sheet closes, so that renamed ports take their names.
    SP_DEVINSTALL_PARAMS_A Params{};
    Params.cbSize = sizeof Params;
    if (!SetupDiGetDeviceInstallParamsA(m_hDevInfo, m_pDevInfoData, &Params))
        return FALSE;
    Params.Flags |= DI_PROPERTIES_CHANGE;
    if (!SetupDiSetDeviceInstallParamsA(m_hDevInfo, m_pDevInfoData, &Params))
        return FALSE;
    if (!ReadArbiterTable())
        return FALSE;
    ReadPresentTables();
    if (!ReadIdentity())
        return FALSE;
    if (!CvReadDword(m_hDeviceKey, "nCom", m_dwComCount) ||
        !CvReadDword(m_hDeviceKey, "nLpt", m_dwLptCount) || m_dwComCount > CV_MAX_PORTS ||
        m_dwLptCount > CV_MAX_PORTS || m_dwComCount + m_dwLptCount > CV_MAX_PORTS)
        return FALSE;
    HKEY hDriver = SetupDiOpenDevRegKey(m_hDevInfo, m_pDevInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (hDriver != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE)) {
        m_strTitle = ReadText(hDriver, "DriverDesc", 256);
        RegCloseKey(hDriver);
    }
    char szBase[160];
    if (m_Card.dwBusType == CV_BUS_PCI) {
        char szSlot[32];
        std::snprintf(szSlot, sizeof szSlot, "%x%x", m_Card.dwBusNumber, m_Card.dwSlotNumber);
        for (char* p = szSlot; *p; ++p)
            *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
        std::snprintf(szBase, sizeof szBase, "SYSTEM\\CurrentControlSet\\Enum\\Ports\\QuorvelPciPort%s",
                      szSlot);
    } else {
        std::snprintf(szBase, sizeof szBase, "System\\CurrentControlSet\\Enum\\Ports\\Quorvel%sPort%x",
                      m_Card.dwBusType == CV_BUS_ISA ? "Isa" : "Pcmcia", m_Card.dwDeviceReference);
    }
    m_strEnumBase = szBase;
    const int nPorts = static_cast<int>(m_dwComCount + m_dwLptCount);
    for (int n = 1; n <= nPorts; ++n) {
        if (!FindPortNumber(n, n <= static_cast<int>(m_dwComCount), m_anCurrent[n - 1]))
            return FALSE;
        m_anStarting[n - 1] = m_anCurrent[n - 1];
    }
    return TRUE;
}

BOOL CCardPropertiesPage::ReadArbiterTable() {
    HCOMDB hDatabase = nullptr;
    if (ComDBOpen(&hDatabase) != ERROR_SUCCESS || hDatabase == HCOMDB_INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD dwSize = 0;
    LONG lResult = ComDBGetCurrentPortUsage(hDatabase, nullptr, 0, CDB_REPORT_BYTES, &dwSize);
    if (lResult == ERROR_SUCCESS && dwSize > 0 && dwSize <= COMDB_MAX_PORTS_ARBITRATED) {
        m_pArbiter = new BYTE[dwSize]();
        m_dwArbiterLength = dwSize;
        lResult = ComDBGetCurrentPortUsage(hDatabase, m_pArbiter, dwSize, CDB_REPORT_BYTES, &dwSize);
    } else if (lResult == ERROR_SUCCESS) {
        lResult = ERROR_INVALID_DATA;
    }
    ComDBClose(hDatabase);
    return lResult == ERROR_SUCCESS;
}

void CCardPropertiesPage::ReadPresentTables() {
    char szTarget[1024];
    for (int i = 1; i <= CV_MAX_DOS_NUMBER; ++i) {
        char szName[16];
        std::snprintf(szName, sizeof szName, "COM%d", i);
        m_abComPresent[i - 1] = QueryDosDeviceA(szName, szTarget, sizeof szTarget) != 0;
        std::snprintf(szName, sizeof szName, "LPT%d", i);
        m_abLptPresent[i - 1] = QueryDosDeviceA(szName, szTarget, sizeof szTarget) != 0;
    }
}

BOOL CCardPropertiesPage::ReadIdentity() {
    if (!CvReadDword(m_hDeviceKey, "BusType", m_Card.dwBusType))
        return FALSE;
    if (m_Card.dwBusType == CV_BUS_ISA || m_Card.dwBusType == CV_BUS_PCMCIA) {
        m_Card.strHardwareID = ReadText(m_hDeviceKey, "HardwareID", 256);
        return CvReadDword(m_hDeviceKey, "DeviceReference", m_Card.dwDeviceReference) &&
               !m_Card.strHardwareID.empty();
    }
    if (m_Card.dwBusType == CV_BUS_PCI)
        return CvReadDword(m_hDeviceKey, "VendorID", m_Card.dwVendorID) &&
               CvReadDword(m_hDeviceKey, "DeviceID", m_Card.dwDeviceID) &&
               CvReadDword(m_hDeviceKey, "BusNumber", m_Card.dwBusNumber) &&
               CvReadDword(m_hDeviceKey, "SlotNumber", m_Card.dwSlotNumber);
    return FALSE;
}

HKEY CCardPropertiesPage::OpenActiveInstance(int nPort, REGSAM samDesired) const {
    const std::string strKey = m_strEnumBase + std::to_string(nPort);
    HKEY hPort = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, strKey.c_str(), 0, KEY_READ, &hPort) != ERROR_SUCCESS)
        return nullptr;
    HKEY hFound = nullptr;
    char szInstance[256];
    for (DWORD i = 0; !hFound; ++i) {
        DWORD dwLength = sizeof szInstance;
        if (RegEnumKeyExA(hPort, i, szInstance, &dwLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY hInstance = nullptr;
        if (RegOpenKeyExA(hPort, szInstance, 0, samDesired | KEY_READ, &hInstance) != ERROR_SUCCESS)
            continue;
        HKEY hControl = nullptr;
        DWORD dwReference = 0;
        const BOOL bActive = !ReadText(hInstance, "FriendlyName", 256).empty() &&
                             RegOpenKeyExA(hInstance, "Control", 0, KEY_READ, &hControl) == ERROR_SUCCESS &&
                             CvReadDword(hControl, "DeviceReference", dwReference);
        if (hControl)
            RegCloseKey(hControl);
        if (bActive)
            hFound = hInstance;
        else
            RegCloseKey(hInstance);
    }
    RegCloseKey(hPort);
    return hFound;
}

BOOL CCardPropertiesPage::FindPortNumber(int nPort, BOOL bSerial, int& nNumber) const {
    HKEY hInstance = OpenActiveInstance(nPort, KEY_READ);
    if (!hInstance)
        return FALSE;
    const std::string strName = ReadText(hInstance, "FriendlyName", 256);
    RegCloseKey(hInstance);
    const size_t nMarker = strName.find(bSerial ? "(COM" : "(LPT");
    if (strName.size() < 6 || nMarker == std::string::npos)
        return FALSE;
    nNumber = std::atoi(strName.c_str() + nMarker + 4);
    return nNumber > 0 && nNumber <= CV_MAX_DOS_NUMBER;
}

UINT CALLBACK CCardPropertiesPage::PageCallback(HWND hWnd, UINT uMsg, PROPSHEETPAGEA* pPage) {
    (void)hWnd;
    if (uMsg == PSPCB_RELEASE)
        delete reinterpret_cast<CCardPropertiesPage*>(pPage->lParam);
    return 1;
}

HPROPSHEETPAGE CCardPropertiesPage::Create() {
    PROPSHEETPAGEA Page{};
    Page.dwSize = sizeof Page;
    Page.dwFlags = PSP_USECALLBACK;
    Page.hInstance = CvCardInstance();
    Page.pszTemplate = MAKEINTRESOURCE(IDD_CARDPROPERTIES);
    Page.pfnDlgProc = CDialog::DialogProc;
    Page.lParam = reinterpret_cast<LPARAM>(this);
    Page.pfnCallback = PageCallback;
    return CreatePropertySheetPageA(&Page);
}

BOOL CCardPropertiesPage::OnInitDialog() {
    SetDlgItemText(IDC_CARDTITLE, m_strTitle);
    const int nPorts = static_cast<int>(m_dwComCount + m_dwLptCount);
    for (int r = 0; r < nPorts; ++r) {
        const BOOL bSerial = r < static_cast<int>(m_dwComCount);
        ShowDlgItem(kLabelIds[r], SW_SHOW);
        ShowDlgItem(kListIds[r], SW_SHOW);
        EnableDlgItem(kListIds[r], TRUE);
        ShowDlgItem(kAddressIds[r], SW_SHOW);
        ShowDlgItem(kIrqIds[r], SW_SHOW);
        if (bSerial)
            ShowDlgItem(kButtonIds[r], SW_SHOW);
        FillList(r);
        FillRow(r);
    }
    return TRUE;
}

void CCardPropertiesPage::FillList(int nRow) {
    const BOOL bSerial = nRow < static_cast<int>(m_dwComCount);
    CComboBox List;
    List.m_hWnd = GetDlgItem(kListIds[nRow]);
    m_bFilling = TRUE;
    List.ResetContent();
    const int nOwn = m_anCurrent[nRow];
    const int nLast = bSerial ? static_cast<int>(m_dwArbiterLength) : CV_MAX_DOS_NUMBER;
    const BOOL* pPresent = bSerial ? m_abComPresent : m_abLptPresent;
    int nSelect = -1;
    for (int i = 1; i <= nLast || (i == nOwn && nSelect < 0); ++i) {
        const BOOL bTaken = i <= CV_MAX_DOS_NUMBER && pPresent[i - 1];
        if (bTaken && i != nOwn)
            continue;
        const int nIndex = List.AddString(AfxFormat(bSerial ? "COM%d" : "LPT%d", i));
        if (i == nOwn)
            nSelect = nIndex;
    }
    List.SetCurSel(nSelect);
    m_bFilling = FALSE;
}

void CCardPropertiesPage::FillRow(int nRow) {
    const BOOL bSerial = nRow < static_cast<int>(m_dwComCount);
    DWORD dwStart = 0, dwRange = 0, dwIrq = 0;
    char szName[32], szRange[32];
    std::snprintf(szName, sizeof szName, "BaseAddress%d", nRow + 1);
    std::snprintf(szRange, sizeof szRange, "BaseAddressRange%d", nRow + 1);
    std::string strAddress;
    if (CvReadDword(m_hDeviceKey, szName, dwStart) && CvReadDword(m_hDeviceKey, szRange, dwRange))
        strAddress = AfxFormat("%08X - %08X", dwStart, dwStart + dwRange - 1);
    SetDlgItemText(kAddressIds[nRow], strAddress);
    std::string strIrq = CvCardString(IDS_NOT_AVAILABLE);
    std::snprintf(szName, sizeof szName, "Irq%d", nRow + 1);
    if (bSerial && CvReadDword(m_hDeviceKey, szName, dwIrq) && dwIrq != 0)
        strIrq = AfxFormat("%u", dwIrq);
    SetDlgItemText(kIrqIds[nRow], strIrq);
}

BOOL CCardPropertiesPage::OnCommand(WORD nID, WORD nCode, HWND hControl) {
    if (nID == IDC_ADVANCED && nCode == BN_CLICKED) {
        OpenCardSettings();
        return TRUE;
    }
    for (int r = 0; r < CV_MAX_PORTS; ++r) {
        if (nID == kButtonIds[r] && nCode == BN_CLICKED && r < static_cast<int>(m_dwComCount)) {
            OpenPortSettings(r + 1);
            return TRUE;
        }
        if (nID == kListIds[r] && nCode == CBN_SELCHANGE) {
            if (!m_bFilling)
                OnListChange(r);
            return TRUE;
        }
    }
    return CPropertyPage::OnCommand(nID, nCode, hControl);
}

void CCardPropertiesPage::OnListChange(int nRow) {
    CComboBox List;
    List.m_hWnd = GetDlgItem(kListIds[nRow]);
    const int nSelected = List.GetCurSel();
    if (nSelected < 0)
        return;
    const std::string strText = List.GetLBText(nSelected);
    const int nNew = strText.size() > 3 ? std::atoi(strText.c_str() + 3) : 0;
    const int nOld = m_anCurrent[nRow];
    if (nNew == 0 || nNew == nOld)
        return;
    if (RenamePort(nRow, nOld, nNew)) {
        for (int r = 0; r < static_cast<int>(m_dwComCount + m_dwLptCount); ++r)
            FillList(r);
        return;
    }
    // The old name stays in force.
    FillList(nRow);
}

void CCardPropertiesPage::OnReset() {
    // Cancel: every port gets back the name it had when the page opened, serial ports first.
    for (int r = 0; r < static_cast<int>(m_dwComCount + m_dwLptCount); ++r)
        if (m_anCurrent[r] != m_anStarting[r])
            RenamePort(r, m_anCurrent[r], m_anStarting[r]);
}

BOOL CCardPropertiesPage::OnHelpInfo(HELPINFO* pHelpInfo) {
    return CvShowContextHelp(pHelpInfo, kHelpTopics,
                             static_cast<int>(sizeof kHelpTopics / sizeof kHelpTopics[0]));
}

void CCardPropertiesPage::OpenCardSettings() {
    if (!CvClaimDialog())
        return; // another CvCard dialog is open
    auto* pDialog =
        new CCardSettingsDialog(m_hDeviceKey, m_Card, m_anCurrent, static_cast<int>(m_dwComCount));
    if (!pDialog->Prepare()) {
        delete pDialog;
        CvReleaseDialog();
        return;
    }
    pDialog->m_hPage = m_hWnd;
    CvRunDialogThread(pDialog);
}

BOOL CCardPropertiesPage::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    (void)wParam;
    (void)lParam;
    if (message != CV_WM_REFRESH_ADDRESSES)
        return FALSE;
    for (int r = 0; r < static_cast<int>(m_dwComCount); ++r)
        FillRow(r);
    *pResult = 0;
    return TRUE;
}

void CCardPropertiesPage::OpenPortSettings(int nPort) {
    if (!CvClaimDialog())
        return;
    auto* pDialog =
        new CPortSettingsDialog(m_hDeviceKey, m_Card, nPort, m_anCurrent, static_cast<int>(m_dwComCount));
    if (!pDialog->Prepare()) {
        delete pDialog;
        CvReleaseDialog();
        return;
    }
    CvRunDialogThread(pDialog);
}
