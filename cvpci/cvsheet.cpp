// The property sheet of a port: the General page (COM number), the Port Settings page (the line settings
// Windows keeps for the port, and the FIFO settings of the Advanced Settings dialog) and the Resources
// page (what the port and its card claimed).
#include "CvPci.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Bus names of the Resources page, by interface type.
const char* const kResourceBusNames[] = {
    "internel", "ISA",  "Eisa",   "Micro Channel", "Turbo Channel", "PCI",      "VME",    "NuBus",
    "PCMCIA",   "CBus", "MPIBus", "MPSABus",       "prointernal",   "powerbus", "PnP ISA"};

// The slider positions of a level that is not given or out of range (what Restore Defaults writes).
constexpr int kDefaultTxLevel = 75;
constexpr int kDefaultRxLevel = 50;

int LevelOr(int level, int fallback) {
    return level >= 0 && level <= 100 ? level : fallback;
}

// ---------------------------------------------------------------------------------------------
// General page
// ---------------------------------------------------------------------------------------------

class CGeneralPage : public CPropertyPage {
public:
    CGeneralPage(CPortList& list, int nSlot) : CPropertyPage(IDD_GENERAL), m_list(list), m_nSlot(nSlot) {}

protected:
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, IDC_COMNUMBER, m_com); }

    BOOL OnInitDialog() override {
        CPropertyPage::OnInitDialog();
        CPortInfo& port = *m_list.m_apPorts[m_nSlot];
        // Hardware: the description and the firmware revision (the low five bits of the device ID).
        std::string hardware = AfxLoadString(IDS_NOHARDWAREINFO);
        if (!port.m_strDescription.empty())
            hardware = port.m_ulDeviceID != 0xFFFFFFFF
                           ? port.m_strDescription + "\n" + AfxLoadString(IDS_FIRMWARE) +
                                 AfxFormat(" %d", static_cast<int>((port.m_ulDeviceID & 0x1F) + 1))
                           : port.m_strDescription + "\n" + AfxLoadString(IDS_FIRMWARE) + " " +
                                 AfxLoadString(IDS_NA);
        SetDlgItemText(IDC_HARDWAREINFO, hardware);
        SetDlgItemText(IDC_DRIVERNAME, port.m_strDriverKey.empty()
                                           ? AfxLoadString(IDS_NOTAVAILABLE)
                                           : AfxFormat("%s.sys", port.m_strDriverKey.c_str()));
        ShowDlgItem(IDC_CVPORTICON, port.IsCvNtPort() ? SW_SHOW : SW_HIDE);
        ShowDlgItem(IDC_OTHERPORTICON, port.IsCvNtPort() ? SW_HIDE : SW_SHOW);
        if (!port.IsCvNtPort()) {
            m_com.SetItemData(m_com.AddString(AfxFormat("COM%d", port.m_nCom)),
                              static_cast<DWORD_PTR>(port.m_nCom));
            m_com.SetCurSel(0);
        } else {
            FillComNumbers(port);
        }
        if (!m_list.m_bAdministrator) {
            m_com.EnableWindow(FALSE);
            EnableDlgItem(IDC_DISABLED, FALSE);
            EnableDlgItem(IDC_INVISIBLE, FALSE);
        }
        // Visibility is not offered; its boxes stay unchecked.
        ShowDlgItem(IDC_VISIBILITY, SW_HIDE);
        ShowDlgItem(IDC_DISABLED, SW_HIDE);
        ShowDlgItem(IDC_INVISIBLE, SW_HIDE);
        m_nReference = m_com.GetCurSel();
        return TRUE;
    }

    // Every number the port may take: not one of another driver's ports, nor one another CvNt port holds
    // fixed; its own number first marked as automatic or fixed.
    void FillComNumbers(const CPortInfo& port) {
        if (port.m_bFixedCom)
            m_com.SetItemData(m_com.AddString("(Auto)"), 0);
        for (int n = 1; n <= CV_COM_SLOTS; ++n) {
            const CPortInfo* holder = m_list.m_apPorts[n - 1].get();
            if (holder && holder != &port && (!holder->IsCvNtPort() || holder->m_bFixedCom))
                continue;
            std::string text = AfxFormat("COM%d", n);
            if (n == port.m_nCom && !port.m_bFixedCom)
                text += " (Auto)";
            int index = m_com.AddString(text);
            m_com.SetItemData(index, static_cast<DWORD_PTR>(n));
            if (n == port.m_nCom)
                m_com.SetCurSel(index);
        }
    }

    BOOL OnCommand(WORD nID, WORD nCode, HWND hControl) override {
        if (nID == IDC_COMNUMBER && nCode == CBN_SELCHANGE) {
            m_list.Raise(CHANGE_GENERAL);
            SetModified(TRUE);
            return TRUE;
        }
        return CPropertyPage::OnCommand(nID, nCode, hControl);
    }

    BOOL OnApply() override {
        if (!m_list.m_bAdministrator)
            return TRUE;
        CPortInfo& port = *m_list.m_apPorts[m_nSlot];
        int selected = m_com.GetCurSel();
        if (selected != m_nReference && selected >= 0) {
            MessageBox(AfxLoadString(IDS_MODEMWARNING), AfxLoadString(IDS_MODEMWARNINGCAPTION),
                       MB_OK | MB_ICONEXCLAMATION);
            port.SetComNumber(static_cast<int>(m_com.GetItemData(selected)));
            m_nReference = selected;
        }
        // The visibility values follow their (hidden, unchecked) boxes.
        port.SetPortValue("Disable", IsDlgButtonChecked(IDC_DISABLED), FALSE);
        port.SetPortValue("AdminOnly", IsDlgButtonChecked(IDC_INVISIBLE), FALSE);
        port.m_bAdminOnly = FALSE;
        SetModified(FALSE);
        return TRUE;
    }

private:
    CPortList& m_list;
    int m_nSlot;
    CComboBox m_com;
    int m_nReference = -1;
};

// ---------------------------------------------------------------------------------------------
// Advanced Settings dialog
// ---------------------------------------------------------------------------------------------

class CAdvancedDlg : public CDialog {
public:
    CAdvancedDlg(HWND hParent, CPortList& list, const CPortInfo& port)
        : CDialog(IDD_ADVANCED, hParent), m_list(list), m_bFifoControls(port.IsCvNtPort()),
          m_bFifosOn(!port.m_bFifoDisabled), m_nTx(LevelOr(port.m_nSoftTxLimit, kDefaultTxLevel)),
          m_nRx(LevelOr(port.m_nRxTriggerLevel, kDefaultRxLevel)), m_bRs485(port.m_bRs485) {}

private:
    CPortList& m_list;

public:
    BOOL m_bFifoControls;
    int m_bFifosOn;
    int m_nTx, m_nRx;
    BOOL m_bRs485;
    int m_bForceCts = 0;
    int m_bFullDuplex = 1;

protected:
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        m_list.m_anChange[CHANGE_ADVANCED] = 50;
        static const int kFifo[] = {IDC_FIFOGROUP, IDC_ENABLEFIFOS, IDC_TXMIN,    IDC_TXMAX,
                                    IDC_RXMIN,     IDC_RXMAX,       IDC_TXSLIDER, IDC_RXSLIDER};
        for (int id : kFifo)
            EnableDlgItem(id, m_bFifoControls);
        for (int id : {IDC_RS485GROUP, IDC_HALFDUPLEX, IDC_FULLDUPLEX, IDC_FORCECTS})
            EnableDlgItem(id, m_bRs485);
        CheckDlgButton(IDC_FULLDUPLEX, BST_CHECKED);
        if (m_bFifoControls) {
            CheckDlgButton(IDC_ENABLEFIFOS, m_bFifosOn ? BST_CHECKED : BST_UNCHECKED);
            for (int id : {IDC_TXSLIDER, IDC_RXSLIDER})
                SendDlgItemMessageA(m_hWnd, id, TBM_SETRANGE, TRUE, MAKELPARAM(0, 100));
            SendDlgItemMessageA(m_hWnd, IDC_TXSLIDER, TBM_SETPOS, TRUE, m_nTx);
            SendDlgItemMessageA(m_hWnd, IDC_RXSLIDER, TBM_SETPOS, TRUE, m_nRx);
            ApplyCheckBoxRule();
        }
        return TRUE;
    }

    // The sliders and their labels follow the Enable Fifos box.
    void ApplyCheckBoxRule() const {
        BOOL on = IsDlgButtonChecked(IDC_ENABLEFIFOS) == BST_CHECKED;
        for (int id : {IDC_TXSLIDER, IDC_RXSLIDER, IDC_TXLABEL, IDC_TXMIN, IDC_TXMAX, IDC_RXLABEL, IDC_RXMIN,
                       IDC_RXMAX})
            EnableDlgItem(id, on);
    }

    BOOL OnCommand(WORD nID, WORD nCode, HWND hControl) override {
        if (nID == IDC_ENABLEFIFOS && nCode == BN_CLICKED) {
            ApplyCheckBoxRule();
            return TRUE;
        }
        return CDialog::OnCommand(nID, nCode, hControl);
    }

    void OnOK() override {
        m_bFifosOn = IsDlgButtonChecked(IDC_ENABLEFIFOS) == BST_CHECKED;
        m_nTx = static_cast<int>(SendDlgItemMessageA(m_hWnd, IDC_TXSLIDER, TBM_GETPOS, 0, 0));
        m_nRx = static_cast<int>(SendDlgItemMessageA(m_hWnd, IDC_RXSLIDER, TBM_GETPOS, 0, 0));
        m_bFullDuplex = IsDlgButtonChecked(IDC_FULLDUPLEX) == BST_CHECKED;
        m_bForceCts = IsDlgButtonChecked(IDC_FORCECTS) == BST_CHECKED;
        EndDialog(IDOK);
    }
};

// ---------------------------------------------------------------------------------------------
// Port Settings page
// ---------------------------------------------------------------------------------------------

class CPortSettingsPage : public CPropertyPage {
public:
    CPortSettingsPage(CPortList& list, int nSlot)
        : CPropertyPage(IDD_PORTSETTINGS), m_list(list), m_nSlot(nSlot) {}

protected:
    BOOL OnInitDialog() override {
        CPropertyPage::OnInitDialog();
        static const char* const kBauds[] = {"75",    "110",   "134",   "150",   "300",    "600",
                                             "1200",  "1800",  "2400",  "4800",  "7200",   "9600",
                                             "14400", "19200", "38400", "57600", "115200", "230400"};
        static const char* const kData[] = {"8", "7", "6", "5"};
        static const char* const kParity[] = {"Odd", "Even", "None", "Mark", "Space"};
        static const char* const kStop[] = {"1", "1.5", "2"};
        static const char* const kFlow[] = {"Hardware", "None", "Xon/Xoff"};
        auto fill = [&](int id, const auto& items) {
            for (const char* item : items)
                SendDlgItemMessageA(m_hWnd, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
        };
        fill(IDC_BAUDRATE, kBauds);
        fill(IDC_DATABITS, kData);
        fill(IDC_PARITY, kParity);
        fill(IDC_STOPBITS, kStop);
        fill(IDC_FLOWCONTROL, kFlow);
        ReadPortsValue();
        EnableDlgItem(IDC_ADVANCED, Port().IsCvNtPort());
        return TRUE;
    }

    CPortInfo& Port() const { return *m_list.m_apPorts[m_nSlot]; }

    void Select(int id, const std::string& prefix) const {
        int index = static_cast<int>(SendDlgItemMessageA(m_hWnd, id, CB_FINDSTRING, static_cast<WPARAM>(-1),
                                                         reinterpret_cast<LPARAM>(prefix.c_str())));
        if (index >= 0)
            SendDlgItemMessageA(m_hWnd, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }

    // "baud,parity,data,stop[,flow]" under Windows' Ports key, selected in the five lists.
    void ReadPortsValue() const {
        HKEY hKey = nullptr;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, CV_KEY_PORTS, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
            return;
        char text[15] = {0};
        DWORD type = 0, size = sizeof text;
        LONG r = ::RegQueryValueExA(hKey, AfxFormat("COM%d:", Port().m_nCom).c_str(), nullptr, &type,
                                    reinterpret_cast<LPBYTE>(text), &size);
        ::RegCloseKey(hKey);
        text[sizeof text - 1] = '\0';
        int baud = 0;
        char parity = 0, data = 0, stop[16] = {0};
        if (r != ERROR_SUCCESS || std::sscanf(text, "%d,%c,%c,%15s", &baud, &parity, &data, stop) != 4)
            return;
        const size_t length = std::strlen(stop);
        const char stopLetter = length > 1 && stop[1] == '.' ? '.' : stop[0];
        const char flow = length > 1 && stop[length - 2] == ',' ? stop[length - 1] : 0;
        Select(IDC_BAUDRATE, AfxFormat("%d", baud));
        Select(IDC_PARITY, AfxFormat("%c", parity));
        Select(IDC_DATABITS, AfxFormat("%c", data));
        Select(IDC_STOPBITS, stopLetter == '.' ? std::string("1.5") : AfxFormat("%c", stopLetter));
        Select(IDC_FLOWCONTROL, flow == 'P' || flow == 'p'   ? "Hard"
                                : flow == 'X' || flow == 'x' ? "X"
                                                             : "No");
    }

    std::string Selected(int id) const {
        int index = static_cast<int>(SendDlgItemMessageA(m_hWnd, id, CB_GETCURSEL, 0, 0));
        if (index < 0)
            return {};
        char text[32] = {0};
        SendDlgItemMessageA(m_hWnd, id, CB_GETLBTEXT, static_cast<WPARAM>(index),
                            reinterpret_cast<LPARAM>(text));
        return text;
    }

    void WritePortsValue() const {
        std::string baudText = Selected(IDC_BAUDRATE), parityText = Selected(IDC_PARITY),
                    dataText = Selected(IDC_DATABITS), stopText = Selected(IDC_STOPBITS);
        int flowIndex = static_cast<int>(SendDlgItemMessageA(m_hWnd, IDC_FLOWCONTROL, CB_GETCURSEL, 0, 0));
        const int baud = baudText.empty() ? 9600 : std::atoi(baudText.c_str());
        const char parity = parityText.empty() ? 'n' : parityText[0];
        const char data = dataText.empty() ? '8' : dataText[0];
        const char stop = stopText.empty() ? '1' : stopText == "1.5" ? '.' : stopText[0];
        const char flow = flowIndex == 0 ? 'p' : flowIndex == 2 ? 'x' : 0;
        const std::string stopField = stop == '.' ? std::string("1.5") : std::string(1, stop);
        std::string value = flow ? AfxFormat("%d,%c,%c,%s,%c", baud, parity, data, stopField.c_str(), flow)
                                 : AfxFormat("%d,%c,%c,%s", baud, parity, data, stopField.c_str());
        HKEY hKey = nullptr;
        DWORD disposition = 0;
        if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, CV_KEY_PORTS, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &hKey, &disposition) != ERROR_SUCCESS)
            return;
        ::RegSetValueExA(hKey, AfxFormat("COM%d:", Port().m_nCom).c_str(), 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(value.c_str()), static_cast<DWORD>(value.size() + 1));
        ::RegCloseKey(hKey);
    }

    BOOL OnCommand(WORD nID, WORD nCode, HWND hControl) override {
        if (nID >= IDC_BAUDRATE && nID <= IDC_FLOWCONTROL && nCode == CBN_SELCHANGE) {
            m_list.Raise(CHANGE_PORTSETTINGS);
            SetModified(TRUE);
            return TRUE;
        }
        if (nID == IDC_RESTOREDEFAULTS && nCode == BN_CLICKED) {
            OnRestoreDefaults();
            return TRUE;
        }
        if (nID == IDC_ADVANCED && nCode == BN_CLICKED) {
            OnAdvanced();
            return TRUE;
        }
        return CPropertyPage::OnCommand(nID, nCode, hControl);
    }

    void OnRestoreDefaults() {
        m_list.Raise(CHANGE_PORTSETTINGS);
        SetModified(TRUE);
        const std::pair<int, int> kDefaults[] = {
            {IDC_BAUDRATE, 11}, {IDC_PARITY, 2}, {IDC_DATABITS, 0}, {IDC_STOPBITS, 0}, {IDC_FLOWCONTROL, 1}};
        for (auto [id, index] : kDefaults)
            SendDlgItemMessageA(m_hWnd, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        // The FIFO levels go back at once; whether FIFOs are used stays.
        CPortInfo& port = Port();
        port.SetTxTriggerLevel();
        port.SetSoftTxLimit(kDefaultTxLevel);
        port.SetRxTriggerLevel(kDefaultRxLevel);
    }

    void OnAdvanced() {
        CPortInfo& port = Port();
        CAdvancedDlg dlg(::GetParent(m_hWnd), m_list, port);
        if (dlg.DoModal() != IDOK)
            return;
        int& counter = m_list.m_anChange[CHANGE_PORTSETTINGS];
        if (dlg.m_bFifosOn == port.m_bFifoDisabled) { // on differs from "not disabled"
            counter += 10;
            port.SetFifoDisabled(!dlg.m_bFifosOn);
            SetModified(TRUE);
        }
        // A position of 0 is stored as 1: 0 and a stored 1 are the same setting.
        auto differs = [](int position, int stored) {
            return !(position == stored || (position == 0 && stored == 1));
        };
        if (differs(dlg.m_nTx, port.m_nSoftTxLimit)) {
            counter += 20;
            port.SetSoftTxLimit(dlg.m_nTx == 0 ? 1 : dlg.m_nTx);
            SetModified(TRUE);
        }
        port.SetTxTriggerLevel();
        SetModified(TRUE);
        if (differs(dlg.m_nRx, port.m_nRxTriggerLevel)) {
            counter += 30;
            port.SetRxTriggerLevel(dlg.m_nRx == 0 ? 1 : dlg.m_nRx);
            SetModified(TRUE);
        }
        // Duplex and CTS are written only for ports able to run RS-485, and no port is marked so.
        if (port.m_bRs485) {
            port.SetPortValue("HalfDuplex", dlg.m_bFullDuplex ? 0 : 1, FALSE);
            port.SetPortValue("ForceCTS", static_cast<DWORD>(dlg.m_bForceCts), FALSE);
        }
    }

    BOOL OnApply() override {
        if (m_list.m_anChange[CHANGE_PORTSETTINGS] >= 0)
            WritePortsValue();
        return TRUE;
    }

    void OnReset() override { m_list.m_anChange[CHANGE_PORTSETTINGS] = CV_UNSET; }

private:
    CPortList& m_list;
    int m_nSlot;
};

// ---------------------------------------------------------------------------------------------
// Resources page
// ---------------------------------------------------------------------------------------------

class CResourcesPage : public CPropertyPage {
public:
    CResourcesPage(CPortList& list, int nSlot) : CPropertyPage(IDD_RESOURCES), m_list(list), m_nSlot(nSlot) {}

protected:
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, IDC_RESOURCELIST, m_resources); }

    BOOL OnInitDialog() override {
        CPropertyPage::OnInitDialog();
        CPortInfo& port = *m_list.m_apPorts[m_nSlot];
        std::string bus = AfxLoadString(IDS_NA);
        if (port.m_nBus >= 0 && port.m_nBus < static_cast<int>(std::size(kResourceBusNames)))
            bus = kResourceBusNames[port.m_nBus];
        else if (port.m_nBus != CV_UNSET)
            bus = AfxFormat("%d", port.m_nBus);
        SetDlgItemText(IDC_BUSTYPE, bus);
        auto numberOrNa = [](int n) { return n == CV_UNSET ? AfxLoadString(IDS_NA) : AfxFormat("%d", n); };
        SetDlgItemText(IDC_BUSNUMBER, numberOrNa(port.m_nBusNumber));
        SetDlgItemText(IDC_SLOTNUMBER, numberOrNa(port.m_nSlot));
        SetDlgItemText(IDC_PORTNUMBER, numberOrNa(port.m_nPort));
        const std::string type = AfxLoadString(IDS_RESOURCETYPE), setting = AfxLoadString(IDS_SETTING);
        m_resources.InsertColumn(0, type, LVCFMT_LEFT, m_resources.GetStringWidth(type) + 5);
        m_resources.InsertColumn(1, setting, LVCFMT_LEFT, m_resources.GetStringWidth(setting) + 5);
        m_images.Create(IDB_RESOURCES, 16, 10, RGB(255, 255, 0));
        m_resources.SetImageList(&m_images, LVSIL_SMALL);
        CheckDlgButton(IDC_VIEWPORT, BST_CHECKED);
        ShowPort();
        EnableDlgItem(IDC_VIEWPORT, port.IsCvNtPort());
        EnableDlgItem(IDC_VIEWCARD, port.IsCvNtPort());
        return TRUE;
    }

    // One row at the top of the list: the type's name and image, and the setting.
    void AddRow(int type, const std::string& setting) {
        static const UINT kNames[] = {IDS_TYPE_UNKNOWN, IDS_TYPE_IO,  IDS_TYPE_INTERRUPT,
                                      IDS_TYPE_MEMORY,  IDS_TYPE_DMA, IDS_TYPE_DEVICESPECIFIC};
        const bool known = type >= 0 && type < static_cast<int>(std::size(kNames));
        m_resources.InsertItem(0, AfxLoadString(known ? kNames[type] : IDS_TYPE_UNKNOWN), known ? type : 0);
        m_resources.SetItemText(0, 1, setting);
    }

    void AddDescriptor(const BYTE* d) {
        // CM_PARTIAL_RESOURCE_DESCRIPTOR: type, share, flags (16 bits), then the 12 bytes of its union.
        const int type = d[0];
        DWORD a = 0, b = 0, c = 0;
        std::memcpy(&a, d + 4, 4);
        std::memcpy(&b, d + 8, 4);
        std::memcpy(&c, d + 12, 4);
        switch (type) {
        case 1:
        case 3:
            AddRow(type, AfxFormat("%X - %X", a, a + c - 1));
            break;
        case 2:
            AddRow(type, AfxFormat("%d", static_cast<int>(b)));
            break;
        case 4:
            AddRow(type, AfxFormat("%d", static_cast<int>(a)));
            break;
        default:
            AddRow(type, AfxLoadString(IDS_UNKNOWN));
            break;
        }
    }

    // The first descriptor of a type in the resource list, or null.
    const BYTE* FirstOfType(int type) const {
        const auto& list = m_list.m_apPorts[m_nSlot]->m_resourceList;
        const BYTE* found = nullptr;
        Walk(list, 1000, [&](const BYTE* d) {
            if (!found && d[0] == type)
                found = d;
        });
        return found;
    }

    template <typename F>
    static void Walk(const std::vector<BYTE>& list, int limit, F&& visit) {
        // CM_RESOURCE_LIST: a count of full descriptors, each an interface type, a bus number, a version,
        // a revision and a count of 16-byte partial descriptors, the next full descriptor right behind.
        if (list.size() < 4)
            return;
        DWORD fulls = 0;
        std::memcpy(&fulls, list.data(), 4);
        size_t at = 4;
        int shown = 0;
        for (DWORD f = 0; f < fulls && at + 16 <= list.size(); ++f) {
            DWORD partials = 0;
            std::memcpy(&partials, list.data() + at + 12, 4);
            at += 16;
            for (DWORD p = 0; p < partials && at + 16 <= list.size(); ++p, at += 16) {
                if (shown++ >= limit)
                    return;
                visit(list.data() + at);
            }
        }
    }

    void ShowPort() {
        CPortInfo& port = *m_list.m_apPorts[m_nSlot];
        m_resources.DeleteAllItems();
        if (port.IsCvNtPort() || port.m_nPortAddress != CV_UNSET) {
            AddRow(1, AfxFormat("%X - %X", port.m_nPortAddress, port.m_nPortAddress + 7));
        } else if (const BYTE* d = FirstOfType(1)) {
            DWORD start = 0;
            std::memcpy(&start, d + 4, 4);
            port.m_nPortAddress = static_cast<int>(start);
            AddDescriptor(d);
        }
        if (port.IsCvNtPort() || port.m_nInterrupt != CV_UNSET) {
            AddRow(2, AfxFormat("%d", port.m_nInterrupt));
        } else if (const BYTE* d = FirstOfType(2)) {
            DWORD vector = 0;
            std::memcpy(&vector, d + 8, 4);
            port.m_nInterrupt = static_cast<int>(vector);
            AddDescriptor(d);
        }
        SizeColumns();
    }

    void ShowCard() {
        m_resources.DeleteAllItems();
        Walk(m_list.m_apPorts[m_nSlot]->m_resourceList, 10, [&](const BYTE* d) { AddDescriptor(d); });
        SizeColumns();
    }

    void SizeColumns() const {
        m_resources.SetColumnWidth(0, LVSCW_AUTOSIZE);
        m_resources.SetColumnWidth(1, LVSCW_AUTOSIZE);
        RECT client{};
        ::GetClientRect(m_resources, &client);
        int together = m_resources.GetColumnWidth(0) + m_resources.GetColumnWidth(1);
        if (together < client.right)
            m_resources.SetColumnWidth(1, client.right - m_resources.GetColumnWidth(0));
    }

    BOOL OnCommand(WORD nID, WORD nCode, HWND hControl) override {
        if (nCode == BN_CLICKED && (nID == IDC_VIEWPORT || nID == IDC_VIEWCARD)) {
            if (nID == IDC_VIEWPORT)
                ShowPort();
            else
                ShowCard();
            return TRUE;
        }
        return CPropertyPage::OnCommand(nID, nCode, hControl);
    }

private:
    CPortList& m_list;
    int m_nSlot;
    CListCtrl m_resources;
    CImageList m_images;
};

} // namespace

void RunPortSheet(HWND hParent, CPortList& list, int nSlot, const std::string& comName) {
    CGeneralPage general(list, nSlot);
    CPortSettingsPage settings(list, nSlot);
    CResourcesPage resources(list, nSlot);
    CPropertySheet sheet(AfxLoadString(IDS_SHEETCAPTION) + AfxFormat(" %s", comName.c_str()), hParent);
    sheet.AddPage(&general);
    sheet.AddPage(&settings);
    sheet.AddPage(&resources);
    sheet.DoModal();

    // Every PCI port the driver published gets its key in the Parameters tree.
    HKEY bus = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, CV_KEY_CURRENTCONFIG "\\BUS5", 0, KEY_READ, &bus) !=
        ERROR_SUCCESS)
        return;
    for (int card = static_cast<int>(SubkeyCount(bus)); card >= 1; --card) {
        HKEY cardKey = nullptr;
        if (::RegOpenKeyExA(bus, AfxFormat("Card%d", card).c_str(), 0, KEY_READ, &cardKey) != ERROR_SUCCESS)
            continue;
        const DWORD ports = SubkeyCount(cardKey);
        ::RegCloseKey(cardKey);
        for (DWORD port = 1; port <= ports; ++port) {
            HKEY created = nullptr;
            DWORD disposition = 0;
            std::string path = AfxFormat(CV_KEY_PARAMETERS "\\Bus5\\Card%d\\ComPort%u", card, port);
            if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &created, &disposition) == ERROR_SUCCESS)
                ::RegCloseKey(created);
        }
    }
    ::RegCloseKey(bus);
}
