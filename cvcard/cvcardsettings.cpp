// The card settings dialog: the maximum baud rate (the bridge's clock divisor), port or memory access
// and CvInstal's log level, read from what CvInstal published and written into its Parameters tree.
#include "CvCard.h"

namespace {

const int kHelpTopics[][2] = {{IDOK, 1024},         {IDCANCEL, 1025},   {IDC_MAXBAUDRATE, 1021},
                              {IDC_LOGLEVEL, 1023}, {IDC_PORTIO, 1022}, {IDC_MEMORYIO, 1022}};

BOOL ValidDivisor(DWORD dwDivisor) {
    return dwDivisor == 1 || dwDivisor == 2 || dwDivisor == 4 || dwDivisor == 8;
}

int Log2(DWORD dwDivisor) {
    int n = 0;
    while (dwDivisor > 1) {
        dwDivisor >>= 1;
        ++n;
    }
    return n;
}

} // namespace

CCardSettingsDialog::CCardSettingsDialog(HKEY hDeviceKey, const CV_CARD_IDENTITY& Card,
                                         const int* pComNumbers, int nComCount)
    : CDialog(IDD_CARDSETTINGS), m_hDeviceKey(hDeviceKey), m_Card(Card), m_nComCount(nComCount) {
    for (int i = 0; i < nComCount && i < CV_MAX_PORTS; ++i)
        m_anComNumbers[i] = pComNumbers[i];
}

BOOL CCardSettingsDialog::Prepare() {
    HKEY hCard = nullptr;
    if (RegOpenKeyExA(m_hDeviceKey, "Card", 0, KEY_READ, &hCard) != ERROR_SUCCESS)
        return FALSE;
    DWORD dwSwitch = 0;
    BOOL bValid = TRUE;
    m_bBaudrate = CvReadDword(hCard, "Enable_BaudrateSettings", dwSwitch) && dwSwitch == 1;
    if (m_bBaudrate)
        bValid = CvReadDword(hCard, "PlxBaudClockDivisor", m_dwDivisor) && ValidDivisor(m_dwDivisor) &&
                 CvReadDword(hCard, "MaximumBaudrate", m_dwMaximumBaudrate);
    m_bHardwareAccess = CvReadDword(hCard, "Enable_HardwareAccess", dwSwitch) && dwSwitch == 1;
    if (m_bHardwareAccess && bValid)
        bValid = CvReadDword(hCard, "UsePortSpaceAccess", m_dwUsePortSpace);
    m_bDriver = CvReadDword(hCard, "Enable_DriverSettings", dwSwitch) && dwSwitch == 1;
    RegCloseKey(hCard);
    if (!bValid || !m_bDriver)
        return FALSE;
    HKEY hService = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CV_SERVICE_KEY, 0, KEY_READ, &hService) != ERROR_SUCCESS)
        return FALSE;
    bValid = CvReadDword(hService, "LogLevel", m_dwLogLevel) && m_dwLogLevel <= 3;
    RegCloseKey(hService);
    m_nIDTemplate = m_bBaudrate ? IDD_CARDSETTINGS : IDD_CARDSETTINGS_NOBAUD;
    return bValid;
}

BOOL CCardSettingsDialog::OnInitDialog() {
    if (m_bBaudrate) {
        CComboBox Rates;
        Rates.m_hWnd = GetDlgItem(IDC_MAXBAUDRATE);
        for (DWORD dwDivisor = 1; dwDivisor <= 8; dwDivisor *= 2)
            Rates.AddString(AfxFormat("%u", m_dwMaximumBaudrate / dwDivisor));
        Rates.SetCurSel(Log2(m_dwDivisor));
    }
    if (m_bHardwareAccess) {
        CheckRadioButton(m_hWnd, IDC_PORTIO, IDC_MEMORYIO, m_dwUsePortSpace ? IDC_PORTIO : IDC_MEMORYIO);
    } else {
        CheckDlgButton(IDC_PORTIO, BST_CHECKED);
        CheckDlgButton(IDC_MEMORYIO, BST_UNCHECKED);
        EnableDlgItem(IDC_MEMORYIO, FALSE);
    }
    CComboBox Levels;
    Levels.m_hWnd = GetDlgItem(IDC_LOGLEVEL);
    for (int n = 0; n <= 3; ++n)
        Levels.AddString(AfxFormat("%d", n));
    Levels.SetCurSel(static_cast<int>(m_dwLogLevel));
    return TRUE;
}

void CCardSettingsDialog::OnOK() {
    CComboBox Rates, Levels;
    Rates.m_hWnd = GetDlgItem(IDC_MAXBAUDRATE);
    Levels.m_hWnd = GetDlgItem(IDC_LOGLEVEL);
    const int nRate = m_bBaudrate ? Rates.GetCurSel() : 0;
    const int nLevel = Levels.GetCurSel();
    const BOOL bPortIo = IsDlgButtonChecked(IDC_PORTIO) == BST_CHECKED;

    HKEY hService = nullptr;
    if (nLevel >= 0 &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, CV_SERVICE_KEY, 0, KEY_WRITE, &hService) == ERROR_SUCCESS) {
        CvWriteDword(hService, "LogLevel", static_cast<DWORD>(nLevel));
        RegCloseKey(hService);
    }
    if (HKEY hCard = CvOpenCardParametersKey(m_Card)) {
        // CvInstal reads a card's parameters only with its ports' keys.
        if (HKEY hPort = CvOpenPortParametersKey(hCard, 1))
            RegCloseKey(hPort);
        if (m_bBaudrate && nRate >= 0)
            CvWriteDword(hCard, "PlxBaudClockDivisor", 1u << nRate);
        if (m_bHardwareAccess)
            CvWriteDword(hCard, "AlwaysUsePortSpaceAccess", bPortIo ? 1 : 0);
        RegCloseKey(hCard);
    }
    CvNotifyDriver(m_Card);
    for (int i = 0; i < m_nComCount; ++i)
        CvUpdatePort(m_hWnd, m_anComNumbers[i]);
    if (m_hPage)
        ::SendMessageA(m_hPage, CV_WM_REFRESH_ADDRESSES, 0, 0);
    EndDialog(IDOK);
}

BOOL CCardSettingsDialog::OnHelpInfo(HELPINFO* pHelpInfo) {
    return CvShowContextHelp(pHelpInfo, kHelpTopics,
                             static_cast<int>(sizeof kHelpTopics / sizeof kHelpTopics[0]));
}
