// The port settings dialog: trigger levels, RS-422/485 mode, the maximum baud rate with its divisor and
// multiplier, and the UART type of one port (or of all the card's ports), as the port's driver published
// what the port can do under "Card\Port<n>", written into CvInstal's Parameters tree.
#include "CvCard.h"

#include <cstdlib>

namespace {

// The duplex modes in the order the list shows them, with the value each stands for.
struct DUPLEX_ENTRY {
    const char* pszText;
    DWORD dwValue;
};
const DUPLEX_ENTRY kDuplexEntries[] = {{"RS422/485 full-duplex mode", 7},
                                       {"RS485 half-duplex autogating mode", 0},
                                       {"RS485 half-duplex mode", 1},
                                       {"Transmit only", 5},
                                       {"Receive only", 6},
                                       {"Transmitter and Receiver both disabled", 4}};
const int kDuplexCount = static_cast<int>(sizeof kDuplexEntries / sizeof kDuplexEntries[0]);

// A maximum rate that offers its own list of multipliers.
const DWORD kHighSpeedMaximum = 15000000;
const char* const kHighSpeedMultipliers[] = {"130", "65", "40", "33", "20", "17", "10", "4", "2", "1"};
const DWORD kBaseRate = 115200;

const int kHelpTopics[][2] = {{IDOK, 1016},          {IDCANCEL, 1017},        {IDC_MAXBAUDRATE, 1012},
                              {IDC_RXTRIGGER, 1008}, {IDC_SOFTTXLIMIT, 1009}, {IDC_DUPLEX, 1010},
                              {IDC_CTSTRUE, 1011},   {IDC_MULTIPLIER, 1013},  {IDC_UARTTYPE, 1014},
                              {IDC_FIFODEPTH, 1015}, {IDC_APPLYTOALL, 1018},  {IDC_FIFOOFF, 1005}};

BOOL ValidDivisor(DWORD dwDivisor) {
    return dwDivisor == 1 || dwDivisor == 2 || dwDivisor == 4 || dwDivisor == 8;
}

const char* UartText(DWORD dwType) {
    return dwType == CV_UART_16950   ? "950"
           : dwType == CV_UART_16750 ? "750"
           : dwType == CV_UART_16550 ? "550"
                                     : "";
}

const char* FifoDepth(DWORD dwDetected) {
    return dwDetected == CV_UART_16950 ? "128" : dwDetected == CV_UART_16750 ? "64" : "16";
}

CComboBox Combo(HWND hDlg, int nID) {
    CComboBox Box;
    Box.m_hWnd = ::GetDlgItem(hDlg, nID);
    return Box;
}

} // namespace

CPortSettingsDialog::CPortSettingsDialog(HKEY hDeviceKey, const CV_CARD_IDENTITY& Card, int nPort,
                                         const int* pComNumbers, int nComCount)
    : CDialog(IDD_PORTSETTINGS_ALL), m_hDeviceKey(hDeviceKey), m_Card(Card), m_nPort(nPort),
      m_nComCount(nComCount) {
    for (int i = 0; i < nComCount && i < CV_MAX_PORTS; ++i)
        m_anComNumbers[i] = pComNumbers[i];
}

BOOL CPortSettingsDialog::Prepare() {
    HKEY hPort = nullptr;
    const std::string strKey = AfxFormat("Card\\Port%d", m_nPort);
    if (m_nPort < 1 || m_nPort > CV_MAX_PORTS ||
        RegOpenKeyExA(m_hDeviceKey, strKey.c_str(), 0, KEY_READ, &hPort) != ERROR_SUCCESS)
        return FALSE;
    auto On = [hPort](const char* pszSwitch) {
        DWORD dwSwitch = 0;
        return CvReadDword(hPort, pszSwitch, dwSwitch) && dwSwitch == 1;
    };
    BOOL bValid = On("Enable_TriggerLevel") && CvReadDword(hPort, "RxTriggerLevel", m_dwRxTriggerLevel) &&
                  CvReadDword(hPort, "SoftTxLimit", m_dwSoftTxLimit) &&
                  CvReadDword(hPort, "TxTriggerLevel", m_dwTxTriggerLevel);
    m_b422485 = On("Enable_422485Settings");
    if (m_b422485 && bValid)
        bValid = CvReadDword(hPort, "DuplexOperation", m_dwDuplexOperation) &&
                 CvReadDword(hPort, "CtsTrue", m_dwCtsTrue);
    m_bFixed = On("Enable_BaudrateSettingsFixed");
    m_bFlexible = !m_bFixed && On("Enable_BaudrateSettingsFlexible");
    if ((m_bFixed || m_bFlexible) && bValid)
        bValid = CvReadDword(hPort, "MaximumBaudrate", m_dwMaximumBaudrate) &&
                 CvReadDword(hPort, "BaudrateMultiplier", m_dwMultiplier) &&
                 (!m_bFlexible ||
                  (CvReadDword(hPort, "PlxBaudClockDivisor", m_dwDivisor) && ValidDivisor(m_dwDivisor)));
    if (m_dwMultiplier == 0)
        m_dwMultiplier = 1;
    bValid = bValid && On("Enable_UartType") && CvReadDword(hPort, "UsedUartType", m_dwUsedUartType) &&
             CvReadDword(hPort, "DetectedUartType", m_dwDetectedUartType) &&
             (m_dwUsedUartType == CV_UART_16450 || m_dwUsedUartType == CV_UART_16550 ||
              m_dwUsedUartType == CV_UART_16750 || m_dwUsedUartType == CV_UART_16950) &&
             (m_dwDetectedUartType == CV_UART_16550 || m_dwDetectedUartType == CV_UART_16750 ||
              m_dwDetectedUartType == CV_UART_16950);
    RegCloseKey(hPort);
    if (!bValid)
        return FALSE;
    m_bFifoOn = m_dwRxTriggerLevel != 0 || m_dwTxTriggerLevel != 0;
    m_nReceiverLevel = static_cast<int>(m_dwRxTriggerLevel);
    const BOOL bBaud = m_bFixed || m_bFlexible;
    m_nIDTemplate = m_b422485 ? (bBaud ? IDD_PORTSETTINGS_ALL : IDD_PORTSETTINGS_422485)
                              : (bBaud ? IDD_PORTSETTINGS_BAUD : IDD_PORTSETTINGS_BASIC);
    return TRUE;
}

void CPortSettingsDialog::SetLevelText(int nID, int nLevel, BOOL bFifoOff) {
    SetDlgItemText(nID, bFifoOff ? AfxFormat("(0%%)") : AfxFormat("(%d%%)", nLevel));
}

BOOL CPortSettingsDialog::OnInitDialog() {
    SetWindowText(AfxFormat(CvCardString(IDS_PORT_SETTINGS_CAPTION).c_str(), m_nPort));
    CSliderCtrl Receiver, Transmit;
    Receiver.m_hWnd = GetDlgItem(IDC_RXTRIGGER);
    Transmit.m_hWnd = GetDlgItem(IDC_SOFTTXLIMIT);
    Receiver.SetRange(1, 100);
    Transmit.SetRange(1, 100);
    Receiver.SetPos(m_bFifoOn ? m_nReceiverLevel : 0);
    Transmit.SetPos(static_cast<int>(m_dwSoftTxLimit));
    SetLevelText(IDC_RXTRIGGER_TEXT, m_nReceiverLevel);
    SetLevelText(IDC_SOFTTXLIMIT_TEXT, Transmit.GetPos());
    if (!m_bFifoOn) {
        Receiver.SetPos(0);
        Receiver.EnableWindow(FALSE);
    }
    CheckDlgButton(IDC_FIFOOFF, m_bFifoOn ? BST_UNCHECKED : BST_CHECKED);

    if (m_b422485) {
        CComboBox Duplex = Combo(m_hWnd, IDC_DUPLEX);
        for (const DUPLEX_ENTRY& Entry : kDuplexEntries) {
            const int nIndex = Duplex.AddString(Entry.pszText);
            if (Entry.dwValue == m_dwDuplexOperation)
                Duplex.SetCurSel(nIndex);
        }
        CheckDlgButton(IDC_CTSTRUE, m_dwCtsTrue ? BST_CHECKED : BST_UNCHECKED);
    }
    if (m_bFixed || m_bFlexible) {
        CComboBox Rates = Combo(m_hWnd, IDC_MAXBAUDRATE);
        if (m_bFixed) {
            Rates.AddString(AfxFormat("%u", m_dwMaximumBaudrate));
            Rates.SetCurSel(0);
            Rates.EnableWindow(FALSE);
        } else {
            int nSelect = 0;
            for (DWORD dwDivisor = 1; dwDivisor <= 8; dwDivisor *= 2) {
                const int nIndex = Rates.AddString(AfxFormat("%u", m_dwMaximumBaudrate / dwDivisor));
                if (dwDivisor == m_dwDivisor)
                    nSelect = nIndex;
            }
            Rates.SetCurSel(nSelect);
        }
        FillMultipliers();
    }
    CComboBox Uart = Combo(m_hWnd, IDC_UARTTYPE);
    if (m_dwDetectedUartType == CV_UART_16950)
        Uart.AddString("950");
    if (m_dwDetectedUartType > 6)
        Uart.AddString("750");
    if (m_dwDetectedUartType > 4)
        Uart.AddString("550");
    if (m_dwUsedUartType == CV_UART_16450)
        Uart.SetCurSel(0);
    else
        for (int i = 0; i < Uart.GetCount(); ++i)
            if (Uart.GetLBText(i).rfind(UartText(m_dwUsedUartType), 0) == 0) {
                Uart.SetCurSel(i);
                break;
            }
    ShowFifo();
    return TRUE;
}

void CPortSettingsDialog::FillMultipliers() {
    CComboBox Multipliers = Combo(m_hWnd, IDC_MULTIPLIER);
    if (m_dwMaximumBaudrate == kHighSpeedMaximum) {
        for (const char* pszEntry : kHighSpeedMultipliers)
            Multipliers.AddString(pszEntry);
    } else {
        const unsigned long long ullMaximum = m_dwMaximumBaudrate;
        unsigned long long ullLast = 0;
        for (unsigned long long b = 1; b <= (1ull << 40); b *= 2) {
            const unsigned long long ullStep = b * kBaseRate;
            const unsigned long long d = (ullMaximum + ullStep / 2) / ullStep; // halves up
            const unsigned long long ullRate = b * d * kBaseRate;
            if (ullRate * 100 >= ullMaximum * 99 && ullRate * 100 <= ullMaximum * 101 && d != ullLast) {
                Multipliers.AddString(AfxFormat("%llu", d));
                ullLast = d;
            }
            if (d == 0)
                break;
        }
    }
    int nSelect = 0;
    const std::string strOwn = AfxFormat("%u", m_dwMultiplier);
    for (int i = 0; i < Multipliers.GetCount(); ++i)
        if (Multipliers.GetLBText(i) == strOwn) {
            nSelect = i;
            break;
        }
    Multipliers.SetCurSel(Multipliers.GetCount() > 0 ? nSelect : -1);
}

void CPortSettingsDialog::ShowFifo() {
    SetDlgItemText(IDC_FIFODEPTH, m_bFifoOn ? FifoDepth(m_dwDetectedUartType) : "1");
}

void CPortSettingsDialog::EnableCancel() {
    EnableDlgItem(IDCANCEL, TRUE);
}

BOOL CPortSettingsDialog::OnCommand(WORD nID, WORD nCode, HWND hControl) {
    if (nID == IDC_FIFOOFF && nCode == BN_CLICKED) {
        CSliderCtrl Receiver;
        Receiver.m_hWnd = GetDlgItem(IDC_RXTRIGGER);
        if (IsDlgButtonChecked(IDC_FIFOOFF) == BST_CHECKED) {
            Receiver.SetPos(1);
            Receiver.EnableWindow(FALSE);
            m_bFifoOn = FALSE;
            m_dwTxTriggerLevel = 0;
            SetLevelText(IDC_RXTRIGGER_TEXT, 0, TRUE);
        } else {
            if (m_nReceiverLevel == 0)
                m_nReceiverLevel = 1;
            Receiver.SetPos(m_nReceiverLevel);
            Receiver.EnableWindow(TRUE);
            m_bFifoOn = TRUE;
            m_dwTxTriggerLevel = 1;
            SetLevelText(IDC_RXTRIGGER_TEXT, m_nReceiverLevel);
        }
        ShowFifo();
        return TRUE;
    }
    if (nID == IDC_APPLYTOALL && nCode == BN_CLICKED) {
        OnApplyToAll();
        return TRUE;
    }
    if ((nCode == CBN_SELCHANGE &&
         (nID == IDC_DUPLEX || nID == IDC_MAXBAUDRATE || nID == IDC_MULTIPLIER || nID == IDC_UARTTYPE)) ||
        (nID == IDC_CTSTRUE && nCode == BN_CLICKED)) {
        EnableCancel();
        return TRUE;
    }
    return CDialog::OnCommand(nID, nCode, hControl);
}

void CPortSettingsDialog::OnHScroll(UINT nCode, UINT nPos, HWND hScrollBar) {
    (void)nPos;
    const int nID = ::GetDlgCtrlID(hScrollBar);
    CSliderCtrl Slider;
    Slider.m_hWnd = hScrollBar;
    if (nID == IDC_RXTRIGGER) {
        m_nReceiverLevel = Slider.GetPos();
        SetLevelText(IDC_RXTRIGGER_TEXT, m_nReceiverLevel);
    } else if (nID == IDC_SOFTTXLIMIT) {
        SetLevelText(IDC_SOFTTXLIMIT_TEXT, Slider.GetPos());
    }
    if (nCode == TB_ENDTRACK)
        EnableCancel();
}

void CPortSettingsDialog::TakeValues(PORT_VALUES& Values) {
    CSliderCtrl Receiver, Transmit;
    Receiver.m_hWnd = GetDlgItem(IDC_RXTRIGGER);
    Transmit.m_hWnd = GetDlgItem(IDC_SOFTTXLIMIT);
    Values.dwRxTriggerLevel = static_cast<DWORD>(m_nReceiverLevel);
    Values.dwSoftTxLimit = static_cast<DWORD>(Transmit.GetPos());
    Values.dwTxTriggerLevel = m_dwTxTriggerLevel;
    Values.dwDuplexOperation = m_dwDuplexOperation; // a setting the list has no entry for stays
    Values.dwCtsTrue = m_dwCtsTrue;
    if (m_b422485) {
        const int nDuplex = Combo(m_hWnd, IDC_DUPLEX).GetCurSel();
        if (nDuplex >= 0 && nDuplex < kDuplexCount)
            Values.dwDuplexOperation = kDuplexEntries[nDuplex].dwValue;
        Values.dwCtsTrue = IsDlgButtonChecked(IDC_CTSTRUE) == BST_CHECKED ? 1 : 0;
    }
    Values.dwDivisor = m_dwDivisor;
    Values.dwMultiplier = m_dwMultiplier;
    if (m_bFixed || m_bFlexible) {
        CComboBox Multipliers = Combo(m_hWnd, IDC_MULTIPLIER);
        const int nMultiplier = Multipliers.GetCurSel();
        if (nMultiplier >= 0)
            Values.dwMultiplier =
                static_cast<DWORD>(std::strtoul(Multipliers.GetLBText(nMultiplier).c_str(), nullptr, 10));
        const int nRate = Combo(m_hWnd, IDC_MAXBAUDRATE).GetCurSel();
        if (m_bFlexible && nRate >= 0 && nRate <= 3)
            Values.dwDivisor = 1u << nRate;
    }
    Values.dwUartType = m_dwUsedUartType; // no entry selected: the type stays
    CComboBox Uart = Combo(m_hWnd, IDC_UARTTYPE);
    const int nUart = Uart.GetCurSel();
    if (nUart >= 0) {
        const std::string strUart = Uart.GetLBText(nUart);
        Values.dwUartType = strUart == "950"   ? CV_UART_16950
                            : strUart == "750" ? CV_UART_16750
                                               : CV_UART_16550;
    }
    (void)Receiver;
}

BOOL CPortSettingsDialog::WritePort(HKEY hCard, int nPort, const PORT_VALUES& Values) {
    HKEY hPort = CvOpenPortParametersKey(hCard, nPort);
    if (!hPort)
        return FALSE;
    CvWriteDword(hPort, "RxTriggerLevel", Values.dwTxTriggerLevel != 0 ? Values.dwRxTriggerLevel : 0);
    CvWriteDword(hPort, "SoftTxLimit", Values.dwSoftTxLimit);
    CvWriteDword(hPort, "TxTriggerLevel", Values.dwTxTriggerLevel);
    if (m_b422485) {
        CvWriteDword(hPort, "DuplexOperation", Values.dwDuplexOperation);
        CvWriteDword(hPort, "CtsTrue", Values.dwCtsTrue);
    }
    if (m_bFixed) {
        CvWriteDword(hPort, "BaudrateMultiplier", Values.dwMultiplier);
    } else if (m_bFlexible) {
        CvWriteDword(hPort, "PlxBaudClockDivisor", Values.dwDivisor);
        CvWriteDword(hPort, "BaudrateMultiplier", Values.dwMultiplier);
    }
    CvWriteDword(hPort, "UartType", Values.dwUartType);
    CvWriteDword(hPort, "TxTriggerLevel", Values.dwTxTriggerLevel);
    RegCloseKey(hPort);
    return TRUE;
}

void CPortSettingsDialog::OnOK() {
    PORT_VALUES Values{};
    TakeValues(Values);
    HKEY hCard = CvOpenCardParametersKey(m_Card);
    const BOOL bWritten = hCard && WritePort(hCard, m_nPort, Values);
    if (hCard)
        RegCloseKey(hCard);
    if (!bWritten)
        return; // the dialog stays open
    CvNotifyDriver(m_Card);
    CvUpdatePort(m_hWnd, m_anComNumbers[m_nPort - 1]);
    EndDialog(IDOK);
}

void CPortSettingsDialog::OnApplyToAll() {
    if (MessageBox(CvCardString(IDS_APPLY_TO_ALL), CvCardString(IDS_APPLY_TO_ALL_CAPTION),
                   MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    DWORD dwComCount = 0;
    if (!CvReadDword(m_hDeviceKey, "nCom", dwComCount) || dwComCount < 1 || dwComCount > CV_MAX_PORTS)
        return;
    PORT_VALUES Values{};
    TakeValues(Values);
    HKEY hCard = CvOpenCardParametersKey(m_Card);
    if (!hCard)
        return;
    BOOL bWritten = TRUE;
    for (int n = 1; n <= static_cast<int>(dwComCount) && bWritten; ++n)
        bWritten = WritePort(hCard, n, Values);
    RegCloseKey(hCard);
    if (!bWritten)
        return;
    CvNotifyDriver(m_Card);
    for (int n = 1; n <= static_cast<int>(dwComCount) && n <= m_nComCount; ++n)
        CvUpdatePort(m_hWnd, m_anComNumbers[n - 1]);
    EnableDlgItem(IDCANCEL, FALSE);
}

BOOL CPortSettingsDialog::OnHelpInfo(HELPINFO* pHelpInfo) {
    return CvShowContextHelp(pHelpInfo, kHelpTopics,
                             static_cast<int>(sizeof kHelpTopics / sizeof kHelpTopics[0]));
}
