// The port list dialog: every port SERIALCOMM lists, the commands on them, the View Settings and About
// boxes, card deletion and the restart of the CvNt service.
#include "CvPci.h"

#include <cstring>

namespace {

// Bus names of the list, by interface type.
const char* const kBusNames[] = {"internal", "ISA",     "Eisa",        "Micro Channel", "Turbo Channel",
                                 "PCI",      "VME",     "NuBus",       "PCMCIA",        "CBus",
                                 "MPIBus",   "MPSABus", "prointernel", "powrbus",       "PnP ISA"};

constexpr UINT_PTR kRefreshTimer = 1;
constexpr UINT kRefreshPeriod = 5; // milliseconds
constexpr int kRefreshTicks = 101;

std::string NumberOrNa(int value) {
    return value == CV_UNSET ? AfxLoadString(IDS_NA) : AfxFormat("%d", value);
}

// The View Settings box: the icon size of the list and whether to refresh it from the driver.
class CViewSettingsDlg : public CDialog {
public:
    CViewSettingsDlg(HWND hParent, BOOL bLarge)
        : CDialog(IDD_VIEWSETTINGS, hParent), m_nSize(bLarge ? 0 : 1) {}
    int m_nSize;        // 0 large, 1 small
    int m_bRefresh = 0; // the Refresh box

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Radio(pDX, IDC_LARGEICONS, m_nSize);
        DDX_Check(pDX, IDC_REFRESH, m_bRefresh);
    }
};

// The About box: the applet's version and the driver's build.
class CAboutDlg : public CDialog {
public:
    explicit CAboutDlg(HWND hParent) : CDialog(IDD_ABOUT, hParent) {}

protected:
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        HKEY hKey = nullptr;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Corvane\\Corvane for Windows NT", 0, KEY_READ,
                            &hKey) == ERROR_SUCCESS) {
            char name[65];
            DWORD length = sizeof name;
            if (::RegEnumKeyExA(hKey, 0, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
                SetDlgItemText(IDC_APPLETVERSION, std::string(name, length));
            ::RegCloseKey(hKey);
        }
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, CV_KEY_SERVICE, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
            DWORD build = 0;
            if (ReadDword(hKey, "BuildNumber", build))
                SetDlgItemText(IDC_DRIVERBUILD,
                               AfxLoadString(IDS_BUILD) + AfxFormat(" %d", static_cast<int>(build)));
            ::RegCloseKey(hKey);
        }
        return TRUE;
    }
};

} // namespace

CPortListDlg::CPortListDlg(HWND hParent) : CDialog(IDD_PORTLIST, hParent) {}

void CPortListDlg::DoDataExchange(CDataExchange* pDX) {
    DDX_Control(pDX, IDC_PORTLIST, m_ports);
}

BOOL CPortListDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    for (int i = 0; i < 13; ++i)
        m_astrStrings[i] = AfxLoadString(IDS_NOCARD + i);
    HICON icon = ::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCE(IDI_CORVANE));
    SetIcon(icon, TRUE);
    SetIcon(icon, FALSE);
    m_smallImages.Create(IDB_PORTS16, 16, 10, RGB(255, 255, 0));
    m_largeImages.Create(IDB_PORTS32, 32, 10, RGB(255, 255, 0));

    // Name, Card, Bus, Port No, Slot No, Bus No; each as wide as a word of its header and 10 pixels.
    const std::string no = std::string(1, ' ').append(AfxLoadString(IDS_NO));
    const std::string name = AfxLoadString(IDS_NAME), card = AfxLoadString(IDS_CARD),
                      bus = AfxLoadString(IDS_BUS), port = AfxLoadString(IDS_PORT),
                      slot = AfxLoadString(IDS_SLOT);
    m_ports.InsertColumn(0, name, LVCFMT_LEFT, m_ports.GetStringWidth(name.substr(0, 4)) + 10);
    m_ports.InsertColumn(1, card, LVCFMT_LEFT, m_ports.GetStringWidth(card) + 10);
    m_ports.InsertColumn(2, bus, LVCFMT_LEFT, m_ports.GetStringWidth(port.substr(0, 4)) + 10);
    m_ports.InsertColumn(3, port + no, LVCFMT_LEFT, m_ports.GetStringWidth(slot) + 10);
    m_ports.InsertColumn(4, slot + no, LVCFMT_LEFT, m_ports.GetStringWidth(slot) + 10);
    m_ports.InsertColumn(5, bus + no, LVCFMT_LEFT, m_ports.GetStringWidth(bus) + 10);

    FillPortList(TRUE, FALSE);
    EnableDlgItem(IDC_DELETE, FALSE);
    ShowDlgItem(IDC_CONNECT, SW_HIDE);
    m_list.m_bAdministrator = IsUserAdministrator();
    return TRUE;
}

void CPortListDlg::FillPortList(BOOL bReread, BOOL bLargeIcons) {
    if (bReread) {
        for (auto& port : m_list.m_apPorts)
            port.reset();
        HKEY hKey = nullptr;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, CV_KEY_SERIALCOMM, 0, KEY_QUERY_VALUE, &hKey) ==
            ERROR_SUCCESS) {
            for (DWORD i = 0;; ++i) {
                char name[30];
                BYTE data[10];
                DWORD nameLength = sizeof name, type = 0, size = sizeof data;
                LONG r = ::RegEnumValueA(hKey, i, name, &nameLength, nullptr, &type, data, &size);
                if (r == ERROR_NO_MORE_ITEMS)
                    break;
                if (r != ERROR_SUCCESS)
                    continue; // a name or data that does not fit is left out
                auto port = std::make_unique<CPortInfo>();
                // COM1 to COM255 have slots; a higher number has none to go into.
                if (port->LoadPortInfo(std::string(name, nameLength)) && port->m_nCom <= CV_COM_SLOTS)
                    m_list.m_apPorts[port->m_nCom - 1] = std::move(port);
            }
            ::RegCloseKey(hKey);
        }
    }
    m_ports.DeleteAllItems();
    m_list.m_usedCom.clear();
    m_ports.SetImageList(bLargeIcons ? &m_largeImages : &m_smallImages, LVSIL_SMALL);
    m_list.m_bLargeIcons = bLargeIcons;
    for (int slot = CV_COM_SLOTS - 1; slot >= 0; --slot)
        if (m_list.m_apPorts[slot])
            AddPortRow(slot);
}

void CPortListDlg::AddPortRow(int nSlot) {
    const CPortInfo& port = *m_list.m_apPorts[nSlot];
    m_list.m_usedCom.push_back(nSlot);
    m_ports.InsertItem(0, AfxFormat("COM%d", port.m_nCom), port.IsCvNtPort() ? 1 : 0);
    m_ports.SetItemData(0, static_cast<DWORD_PTR>(port.m_nCom - 1));
    m_ports.SetItemText(
        0, 1, port.m_strDescription.empty() ? AfxLoadString(IDS_COMMUNICATIONSPORT) : port.m_strDescription);
    std::string bus = AfxLoadString(IDS_NA);
    if (port.m_nBus >= 0 && port.m_nBus < static_cast<int>(std::size(kBusNames)))
        bus = kBusNames[port.m_nBus];
    else if (port.m_nBus != CV_UNSET)
        bus = AfxFormat("%d", port.m_nBus); // an interface type without a name: its number
    m_ports.SetItemText(0, 2, bus);
    m_ports.SetItemText(0, 3, NumberOrNa(port.m_nPort));
    m_ports.SetItemText(0, 4, NumberOrNa(port.m_nSlot));
    m_ports.SetItemText(0, 5, NumberOrNa(port.m_nBusNumber));
    for (int column = 0; column < 6; ++column)
        m_ports.SetColumnWidth(column, column < 3 ? LVSCW_AUTOSIZE : LVSCW_AUTOSIZE_USEHEADER);
}

int CPortListDlg::SelectedSlot() const {
    int row = m_ports.GetNextItem(-1, LVNI_SELECTED);
    if (row < 0)
        row = 0;
    return row < m_ports.GetItemCount() ? static_cast<int>(m_ports.GetItemData(row)) : CV_UNSET;
}

void CPortListDlg::OnSelectionChange() {
    EnableDlgItem(IDC_DELETE, FALSE);
    if (m_ports.GetItemCount() == 0) {
        MessageBox(m_astrStrings[0], GetWindowText(), MB_OKCANCEL);
        return;
    }
    int slot = SelectedSlot();
    const CPortInfo* port = slot >= 0 ? m_list.m_apPorts[slot].get() : nullptr;
    EnableDlgItem(IDC_DELETE, port && port->m_nBus == CV_BUS_ISA && port->IsCvNtPort());
}

void CPortListDlg::OnSettings() {
    int slot = SelectedSlot();
    if (slot < 0 || !m_list.m_apPorts[slot])
        return;
    int row = m_ports.GetNextItem(-1, LVNI_SELECTED);
    std::string name = m_ports.GetItemText(row < 0 ? 0 : row, 0).substr(0, 8);
    RunPortSheet(m_hWnd, m_list, slot, name);
    const CPortInfo* port = m_list.m_apPorts[slot].get();
    if (m_list.m_bAdministrator && port && port->IsCvNtPort() && port->m_bChanged)
        RestartDriver();
}

void CPortListDlg::OnDelete() {
    if (MessageBox(m_astrStrings[IDS_DELETEQUESTION - IDS_NOCARD],
                   m_astrStrings[IDS_DELETECAPTION - IDS_NOCARD], MB_YESNO | MB_ICONEXCLAMATION) != IDYES)
        return;
    m_list.Raise(CHANGE_PORTLIST);
    int slot = SelectedSlot();
    if (slot >= 0 && m_list.m_apPorts[slot])
        DeleteIsaCard(*m_list.m_apPorts[slot]);
    RestartDriver();
    EnableDlgItem(IDC_DELETE, FALSE);
}

void CPortListDlg::OnView() {
    CViewSettingsDlg dlg(m_hWnd, m_list.m_bLargeIcons);
    if (dlg.DoModal() != IDOK)
        return;
    FillPortList(FALSE, dlg.m_nSize == 0);
    if (dlg.m_bRefresh) {
        m_list.m_anChange[CHANGE_PORTLIST] = 99;
        RestartDriver();
    }
}

void CPortListDlg::OnAbout() {
    CAboutDlg(m_hWnd).DoModal();
}

void CPortListDlg::OnAdd() {
    RunIsaCardWizard(m_hWnd, m_list);
    RestartDriver();
}

BOOL CPortListDlg::OnCommand(WORD nID, WORD nCode, HWND hControl) {
    if (nCode == BN_CLICKED) {
        switch (nID) {
        case IDC_SETTINGS:
            OnSettings();
            return TRUE;
        case IDC_DELETE:
            OnDelete();
            return TRUE;
        case IDC_VIEW:
            OnView();
            return TRUE;
        case IDC_ABOUT:
            OnAbout();
            return TRUE;
        case IDC_ADD:
            OnAdd();
            return TRUE;
        default:
            break;
        }
    }
    return CDialog::OnCommand(nID, nCode, hControl);
}

BOOL CPortListDlg::OnNotify(NMHDR* pHeader, LRESULT* pResult) {
    if (pHeader->idFrom != IDC_PORTLIST)
        return FALSE;
    switch (pHeader->code) {
    case NM_CLICK:
    case LVN_KEYDOWN:
        OnSelectionChange();
        *pResult = 0;
        return TRUE;
    case NM_DBLCLK:
        OnSettings();
        *pResult = 0;
        return TRUE;
    default:
        return FALSE;
    }
}

void CPortListDlg::OnTimer(UINT_PTR nIDEvent) {
    if (nIDEvent != kRefreshTimer)
        return;
    AfxBeginWaitCursor();
    m_bWaiting = TRUE;
    if (++m_nTicks < kRefreshTicks)
        return;
    // The driver has had its time to start again: the list shows what it now publishes.
    FillPortList(TRUE, m_list.m_bLargeIcons);
    AfxEndWaitCursor();
    m_bWaiting = FALSE;
    KillTimer(kRefreshTimer);
    m_nTicks = 0;
}

BOOL CPortListDlg::OnSetCursor(HWND hWnd, UINT nHitTest, UINT message) {
    (void)hWnd;
    (void)nHitTest;
    (void)message;
    if (!m_bWaiting)
        return FALSE;
    AfxBeginWaitCursor();
    return TRUE;
}

BOOL CPortListDlg::StopAndStartService(DWORD& dwError) {
    dwError = 0;
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        dwError = ::GetLastError();
        return FALSE;
    }
    SC_HANDLE service = ::OpenServiceA(manager, "CvNt", SERVICE_INTERROGATE | SERVICE_STOP | SERVICE_START);
    BOOL ok = FALSE;
    SERVICE_STATUS status{};
    if (!service) {
        dwError = ::GetLastError();
    } else if (!::ControlService(service, SERVICE_CONTROL_INTERROGATE, &status)) {
        dwError = ::GetLastError(); // a service that is not running cannot be interrogated
    } else if (status.dwCurrentState == SERVICE_RUNNING) {
        if (!::ControlService(service, SERVICE_CONTROL_STOP, &status)) {
            dwError = ::GetLastError();
        } else {
            // A stopped service answers the interrogation with its state and ERROR_SERVICE_NOT_ACTIVE.
            ::ControlService(service, SERVICE_CONTROL_INTERROGATE, &status);
            if (status.dwCurrentState != SERVICE_STOPPED) {
                dwError = ::GetLastError();
            } else if (!::StartServiceA(service, 0, nullptr)) {
                dwError = ::GetLastError();
            } else if (::ControlService(service, SERVICE_CONTROL_INTERROGATE, &status) &&
                       status.dwCurrentState == SERVICE_RUNNING) {
                ok = TRUE;
            } else {
                dwError = ::GetLastError();
            }
        }
    } else {
        ok = ::StartServiceA(service, 0, nullptr);
        if (!ok)
            dwError = ::GetLastError();
    }
    if (service)
        ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);
    return ok;
}

void CPortListDlg::RestartDriver() {
    if (!m_list.AnyChange())
        return;
    AfxBeginWaitCursor();
    DWORD error = 0;
    if (!StopAndStartService(error) && error != ERROR_SERIAL_NO_DEVICE) {
        // The driver found no port and unloaded (1118): nothing to report. Anything else: try again once
        // the port is closed, or leave the change for the next start of the machine.
        std::string text =
            m_astrStrings[IDS_RESTARTFAILED - IDS_NOCARD] + AfxFormat(" %d", static_cast<int>(error));
        if (MessageBox(text, m_astrStrings[IDS_RESTARTCAPTION - IDS_NOCARD], MB_RETRYCANCEL | MB_ICONSTOP) ==
            IDRETRY) {
            m_list.m_nRestartNesting++;
            RestartDriver();
        }
    }
    if (m_list.m_nRestartNesting < 1) {
        m_nTicks = 0;
        SetTimer(kRefreshTimer, kRefreshPeriod);
    } else {
        m_list.m_nRestartNesting--;
    }
    AfxEndWaitCursor();
    m_list.ClearChanges();
}

void DeleteIsaCard(const CPortInfo& port) {
    HKEY bus = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, CV_KEY_PARAMETERS "\\Bus1", 0, KEY_ALL_ACCESS, &bus) !=
        ERROR_SUCCESS)
        return;
    const int last = static_cast<int>(SubkeyCount(bus));
    for (int n = port.m_nCard; n <= last; ++n) {
        HKEY card = nullptr;
        if (::RegOpenKeyExA(bus, AfxFormat("Card%d", n).c_str(), 0, KEY_ALL_ACCESS, &card) != ERROR_SUCCESS)
            continue;
        DeleteSubkeysOf(card);
        if (n < last) {
            // The card above moves down into this number.
            HKEY above = nullptr;
            if (::RegOpenKeyExA(bus, AfxFormat("Card%d", n + 1).c_str(), 0, KEY_READ, &above) ==
                ERROR_SUCCESS) {
                CopyKey(above, card);
                ::RegCloseKey(above);
            }
            ::RegCloseKey(card);
        } else {
            ::RegCloseKey(card);
            ::RegDeleteKeyA(bus, AfxFormat("Card%d", n).c_str());
        }
    }
    ::RegCloseKey(bus);
}
