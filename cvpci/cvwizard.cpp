// The ISA card wizard: the card's template, its jumper settings, interrupts and shared interrupt status
// register, confirmed and written as a new card under the driver's Parameters\Bus1 key.
#include "CvPci.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// Where each jumper position puts a port: COM1 to COM8 (BANK follows the bank address).
constexpr DWORD kPositionAddress[8] = {0x3F8, 0x2F8, 0x3E8, 0x2E8, 0x1A0, 0x1A8, 0x1B0, 0x1B8};
constexpr int kColumns = 4;
constexpr WORD kBankBit = 0x8000;
constexpr DWORD kDefaultClock = 1843200; // a UART's usual crystal when the template names none

struct Column {
    int com8; // the COM8 position; COM(k+1) is com8 + 7 - k
    int bank, irqLabel, irq, group, title;
    int Position(int k) const { return com8 + 7 - k; }
};
constexpr Column kColumn[kColumns] = {
    {IDC_COL1_COM8, IDC_COL1_BANK, IDC_COL1_IRQLABEL, IDC_COL1_IRQ, IDC_COL1_GROUP, IDC_COL1_TITLE},
    {IDC_COL2_COM8, IDC_COL2_BANK, IDC_COL2_IRQLABEL, IDC_COL2_IRQ, IDC_COL2_GROUP, IDC_COL2_TITLE},
    {IDC_COL3_COM8, IDC_COL3_BANK, IDC_COL3_IRQLABEL, IDC_COL3_IRQ, IDC_COL3_GROUP, IDC_COL3_TITLE},
    {IDC_COL4_COM8, IDC_COL4_BANK, IDC_COL4_IRQLABEL, IDC_COL4_IRQ, IDC_COL4_GROUP, IDC_COL4_TITLE},
};

struct IsaPortSetting {
    DWORD dwAddress = 0;
    int nIrq = CV_UNSET; // -1: the card's shared interrupt
    int nCom = CV_UNSET;
};

// What the three pages share.
struct IsaCardData {
    std::vector<BYTE> config; // the template's ConfigData
    std::vector<std::unique_ptr<IsaPortSetting>> ports;
    DWORD dwSisrAddress = 0;
    int nSharedIrq = CV_UNSET;
    int nPorts = 0;
    DWORD dwDeviceID = 0;
    DWORD dwClock = kDefaultClock;
    std::string description;

    // Word n of the configuration block; words beyond the stored data are 0.
    WORD Word(int n) const {
        size_t at = static_cast<size_t>(n) * 2;
        return at + 1 < config.size() ? static_cast<WORD>(config[at] | config[at + 1] << 8) : 0;
    }
    void FreeCard() {
        description.clear();
        config.clear();
    }
};

// A hexadecimal address typed in a field: 0x100 to 0x3FF and a multiple of 8, else 0.
DWORD ReadAddress(HWND hDlg, int id) {
    char text[51] = {0};
    ::GetDlgItemTextA(hDlg, id, text, sizeof text);
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 16);
    if (text[0] == '\0' || *end != '\0' || value < 0x100 || value > 0x3FF || value % 8 != 0)
        return 0;
    return static_cast<DWORD>(value);
}

class CSelectCardPage : public CPropertyPage {
public:
    explicit CSelectCardPage(IsaCardData& data) : CPropertyPage(IDD_WIZARD_SELECT), m_data(data) {}

protected:
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, IDC_CARDLIST, m_cards); }

    BOOL OnInitDialog() override {
        CPropertyPage::OnInitDialog();
        HKEY bus = nullptr;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, CV_KEY_TEMPLATES "\\Bus1", 0, KEY_READ, &bus) ==
            ERROR_SUCCESS) {
            for (DWORD i = 0;; ++i) {
                char name[256];
                DWORD length = sizeof name;
                if (::RegEnumKeyExA(bus, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                    ERROR_SUCCESS)
                    break;
                std::string description;
                if (Description(bus, name, description))
                    m_cards.AddString(description);
            }
            ::RegCloseKey(bus);
        }
        m_cards.SetCurSel(0);
        return TRUE;
    }

    // A template's Description when it is shorter than 120 bytes.
    static BOOL Description(HKEY bus, const char* name, std::string& text) {
        HKEY card = nullptr;
        if (::RegOpenKeyExA(bus, name, 0, KEY_READ, &card) != ERROR_SUCCESS)
            return FALSE;
        char buffer[120];
        DWORD type = 0, size = sizeof buffer;
        LONG r =
            ::RegQueryValueExA(card, "Description", nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
        ::RegCloseKey(card);
        if (r != ERROR_SUCCESS || type != REG_SZ)
            return FALSE;
        text.assign(buffer, strnlen(buffer, size));
        return TRUE;
    }

    BOOL OnSetActive() override {
        GetParentSheet()->SetWizardButtons(PSWIZB_NEXT);
        return TRUE;
    }

    LRESULT OnWizardNext() override {
        int selected = m_cards.GetCurSel();
        m_data.description = selected >= 0 ? m_cards.GetText(selected) : std::string();
        HKEY bus = nullptr;
        if (selected >= 0 && ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, CV_KEY_TEMPLATES "\\Bus1", 0, KEY_READ,
                                             &bus) == ERROR_SUCCESS) {
            char name[256];
            DWORD length = sizeof name;
            std::string description;
            if (::RegEnumKeyExA(bus, static_cast<DWORD>(selected), name, &length, nullptr, nullptr, nullptr,
                                nullptr) == ERROR_SUCCESS &&
                Description(bus, name, description) && description == m_data.description)
                ReadTemplate(bus, name);
            ::RegCloseKey(bus);
        }
        return 0;
    }

    void ReadTemplate(HKEY bus, const char* name) {
        HKEY card = nullptr;
        if (::RegOpenKeyExA(bus, name, 0, KEY_READ, &card) != ERROR_SUCCESS)
            return;
        DWORD value = 0;
        m_data.dwDeviceID = ReadDword(card, "DeviceID", value) ? value : 0;
        m_data.nPorts = ReadDword(card, "nComPorts", value) ? static_cast<int>(value) : 0;
        m_data.dwClock = ReadDword(card, "ClockFrequency", value) && value ? value : kDefaultClock;
        DWORD type = 0, size = 0;
        if (::RegQueryValueExA(card, "ConfigData", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
            m_data.config.assign(std::max<DWORD>(size, 10), 0);
            if (::RegQueryValueExA(card, "ConfigData", nullptr, &type, m_data.config.data(), &size) !=
                ERROR_SUCCESS)
                MessageBox(AfxLoadString(IDS_CONFIGDATAWRONG), AfxLoadString(IDS_ISACAPTION), MB_OKCANCEL);
        } else {
            m_data.config.assign(10, 0);
        }
        ::RegCloseKey(card);
    }

private:
    IsaCardData& m_data;
    CListBox m_cards;
};

class CCardSettingsPage : public CPropertyPage {
public:
    CCardSettingsPage(IsaCardData& data, CPortList& list)
        : CPropertyPage(IDD_WIZARD_SETTINGS), m_data(data), m_list(list) {}

protected:
    BOOL OnInitDialog() override {
        CPropertyPage::OnInitDialog();
        for (int n = 1; n <= 256; ++n) {
            int index = static_cast<int>(
                SendDlgItemMessageA(m_hWnd, IDC_BASECOM, CB_ADDSTRING, 0,
                                    reinterpret_cast<LPARAM>(AfxFormat("COM%d", n).c_str())));
            SendDlgItemMessageA(m_hWnd, IDC_BASECOM, CB_SETITEMDATA, static_cast<WPARAM>(index), n);
        }
        return TRUE;
    }

    LRESULT Combo(int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return SendDlgItemMessageA(m_hWnd, id, message, wParam, lParam);
    }
    int AddItem(int id, const std::string& text, LPARAM data) const {
        int index = static_cast<int>(Combo(id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
        Combo(id, CB_SETITEMDATA, static_cast<WPARAM>(index), data);
        return index;
    }

    BOOL OnSetActive() override {
        SetDlgItemText(IDC_SETTINGSTEXT, AfxLoadString(IDS_ENTERSETTINGS) + m_data.description);
        std::fill(std::begin(m_anPosition), std::end(m_anPosition), CV_UNSET);
        Combo(IDC_SHAREDIRQ, CB_RESETCONTENT);
        for (int id : {IDC_SHAREDIRQ, IDC_SHAREDIRQLABEL, IDC_BANKADDRESS, IDC_BANKLABEL, IDC_SISRADDRESS,
                       IDC_SISRLABEL})
            EnableDlgItem(id, FALSE);
        SetDlgItemText(IDC_BANKADDRESS, "");
        SetDlgItemText(IDC_SISRADDRESS, "");
        for (const Column& c : kColumn) {
            for (int k = 0; k < 8; ++k)
                ShowDlgItem(c.Position(k), SW_HIDE);
            for (int id : {c.bank, c.group, c.irqLabel, c.irq, c.title})
                ShowDlgItem(id, SW_HIDE);
            Combo(c.irq, CB_RESETCONTENT);
        }
        ShowColumns();
        TakeFirstFreePositions();
        FillSharedIrq();
        ProposeBaseCom();
        GetParentSheet()->SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT);
        return TRUE;
    }

    void ShowColumns() {
        bool bankEnabled = false;
        for (int p = 0; p < std::min(m_data.nPorts, kColumns); ++p) {
            const Column& c = kColumn[p];
            const WORD mask = m_data.Word(4 + p);
            ShowDlgItem(c.irq, SW_SHOW);
            EnableDlgItem(c.irq, TRUE);
            for (int id : {c.group, c.irqLabel, c.title})
                ShowDlgItem(id, SW_SHOW);
            EnableDlgItem(c.irqLabel, TRUE);
            CheckDlgButton(c.bank, BST_UNCHECKED);
            if (mask & kBankBit) {
                ShowDlgItem(c.bank, SW_SHOW);
                EnableDlgItem(c.bank, TRUE);
                CheckDlgButton(c.bank, BST_CHECKED);
                EnableDlgItem(IDC_BANKADDRESS, TRUE);
                EnableDlgItem(IDC_BANKLABEL, TRUE);
                bankEnabled = true;
            }
            if (bankEnabled)
                AddItem(c.irq, "Sh", CV_UNSET);
            for (int n = 0; n < 16; ++n)
                if (m_data.Word(0) & (1u << n))
                    AddItem(c.irq, AfxFormat("%d", n), n);
            for (int k = 0; k < 8; ++k) {
                CheckDlgButton(c.Position(k), BST_UNCHECKED);
                if (mask & (1u << k)) {
                    EnableDlgItem(c.Position(k), TRUE);
                    ShowDlgItem(c.Position(k), SW_SHOW);
                }
            }
            if (Combo(c.irq, CB_GETCOUNT) < 2) {
                EnableDlgItem(c.irq, FALSE);
                EnableDlgItem(c.irqLabel, FALSE);
            }
            Combo(c.irq, CB_SETCURSEL, 0);
            if (std::popcount(static_cast<unsigned>(mask)) == 1) // the only choice
                EnableDlgItem((mask & kBankBit) ? c.bank
                                                : c.Position(std::countr_zero(static_cast<unsigned>(mask))),
                              FALSE);
        }
    }

    void TakeFirstFreePositions() {
        std::vector<int> taken;
        for (int p = 0; p < std::min(m_data.nPorts, kColumns); ++p) {
            const WORD mask = m_data.Word(4 + p);
            if (mask & kBankBit)
                continue;
            for (int k = 0; k < 8; ++k)
                if ((mask & (1u << k)) && std::find(taken.begin(), taken.end(), k) == taken.end()) {
                    taken.push_back(k);
                    CheckDlgButton(kColumn[p].Position(k), BST_CHECKED);
                    PositionRule(p);
                    break;
                }
        }
    }

    void FillSharedIrq() {
        for (int n = 0; n < 16; ++n)
            if (m_data.Word(1) & (1u << n))
                AddItem(IDC_SHAREDIRQ, AfxFormat("%d", n), n);
        const int entries = static_cast<int>(Combo(IDC_SHAREDIRQ, CB_GETCOUNT));
        if (entries > 1) {
            EnableDlgItem(IDC_SHAREDIRQ, TRUE);
            EnableDlgItem(IDC_SHAREDIRQLABEL, TRUE);
        }
        Combo(IDC_SHAREDIRQ, CB_SETCURSEL, 0);
        if (entries > 0 && m_data.Word(3) == 0) {
            EnableDlgItem(IDC_SISRADDRESS, TRUE);
            EnableDlgItem(IDC_SISRLABEL, TRUE);
        } else if (entries > 0) {
            EnableDlgItem(IDC_SISRLABEL, TRUE);
        }
    }

    // The first gap in the used COM numbers wide enough for the card, else the number after the last.
    void ProposeBaseCom() {
        std::vector<int> used = m_list.m_usedCom;
        std::sort(used.begin(), used.end());
        int proposal = used.empty() ? 0 : used.back() + 1;
        for (size_t i = 0; i + 1 < used.size(); ++i)
            if (used[i + 1] - used[i] > m_data.nPorts) {
                proposal = used[i] + 1;
                break;
            }
        Combo(IDC_BASECOM, CB_SETCURSEL, static_cast<WPARAM>(std::min(proposal, 255)));
    }

    // Column c's position: 0 for BANK, k + 1 for COM(k+1); -1 for none.
    int CheckedPosition(int c) const {
        if (IsDlgButtonChecked(kColumn[c].bank) == BST_CHECKED)
            return 0;
        for (int k = 0; k < 8; ++k)
            if (IsDlgButtonChecked(kColumn[c].Position(k)) == BST_CHECKED)
                return k + 1;
        return CV_UNSET;
    }

    int PositionId(int column, int position) const {
        return position == 0 ? kColumn[column].bank : kColumn[column].Position(position - 1);
    }

    // A COM position is one port's at most; BANK may be every port's.
    void PositionRule(int c) {
        int now = CheckedPosition(c);
        if (now == CV_UNSET)
            return;
        for (int other = 0; other < kColumns; ++other) {
            if (other == c)
                continue;
            if (m_anPosition[c] != CV_UNSET)
                EnableDlgItem(PositionId(other, m_anPosition[c]), TRUE);
            if (now != 0)
                EnableDlgItem(PositionId(other, now), FALSE);
        }
        m_anPosition[c] = now;
    }

    BOOL OnCommand(WORD nID, WORD nCode, HWND hControl) override {
        if (nCode == BN_CLICKED)
            for (int c = 0; c < kColumns; ++c)
                if ((nID >= kColumn[c].com8 && nID <= kColumn[c].com8 + 7) || nID == kColumn[c].bank) {
                    PositionRule(c);
                    return TRUE;
                }
        if (nID == IDC_BANKADDRESS && nCode == EN_CHANGE) {
            if (Combo(IDC_SHAREDIRQ, CB_GETCOUNT) > 0 && m_data.Word(3) != 0) {
                char text[51] = {0};
                ::GetDlgItemTextA(m_hWnd, IDC_BANKADDRESS, text, sizeof text);
                SetDlgItemText(
                    IDC_SISRADDRESS,
                    AfxFormat("%X", static_cast<unsigned>(std::strtoul(text, nullptr, 16) + m_data.Word(3))));
            }
            return TRUE;
        }
        return CPropertyPage::OnCommand(nID, nCode, hControl);
    }

    LRESULT OnWizardNext() override {
        m_list.Raise(CHANGE_CARDSETTINGS);
        bool refused = false;
        DWORD bank = 0;
        if (::IsWindowEnabled(GetDlgItem(IDC_BANKADDRESS)) &&
            (bank = ReadAddress(m_hWnd, IDC_BANKADDRESS)) == 0) {
            MessageBox(AfxLoadString(IDS_BANKINVALID), AfxLoadString(IDS_BANKCAPTION), MB_OK | MB_ICONSTOP);
            refused = true;
        }
        const int count = static_cast<int>(Combo(IDC_BASECOM, CB_GETCOUNT));
        const int base = static_cast<int>(Combo(IDC_BASECOM, CB_GETCURSEL));
        if (count - base < m_data.nPorts) {
            MessageBox(AfxLoadString(IDS_BASECOMINVALID), AfxLoadString(IDS_BASECOMCAPTION),
                       MB_OK | MB_ICONSTOP);
            refused = true;
        }
        m_data.ports.clear();
        for (int i = 0; i < std::min(m_data.nPorts, kColumns); ++i) {
            auto setting = std::make_unique<IsaPortSetting>();
            int position = CheckedPosition(i);
            if (position == CV_UNSET) {
                // A port without a jumper position has no address: the page asks for one.
                MessageBox(AfxFormat(AfxLoadString(IDS_NOPOSITION).c_str(), i + 1),
                           AfxLoadString(IDS_ISACAPTION), MB_OK | MB_ICONSTOP);
                refused = true;
                break;
            }
            setting->dwAddress =
                position == 0 ? bank + 8u * static_cast<DWORD>(i) : kPositionAddress[position - 1];
            int irq = static_cast<int>(Combo(kColumn[i].irq, CB_GETCURSEL));
            setting->nIrq =
                irq >= 0 ? static_cast<int>(Combo(kColumn[i].irq, CB_GETITEMDATA, static_cast<WPARAM>(irq)))
                         : CV_UNSET;
            setting->nCom =
                base >= 0 && base + i < count
                    ? static_cast<int>(Combo(IDC_BASECOM, CB_GETITEMDATA, static_cast<WPARAM>(base + i)))
                    : CV_UNSET;
            m_data.ports.push_back(std::move(setting));
        }
        if (!refused && static_cast<int>(m_data.ports.size()) < m_data.nPorts) {
            MessageBox(AfxLoadString(IDS_INTERNALERROR), AfxLoadString(IDS_ISACAPTION), MB_OK | MB_ICONSTOP);
            refused = true;
        }
        int shared = static_cast<int>(Combo(IDC_SHAREDIRQ, CB_GETCURSEL));
        m_data.nSharedIrq =
            shared >= 0 ? static_cast<int>(Combo(IDC_SHAREDIRQ, CB_GETITEMDATA, static_cast<WPARAM>(shared)))
                        : CV_UNSET;
        // A card with a shared interrupt has its status register: read whenever the card offers the
        // interrupt, also when there is only one to offer and its list stays disabled.
        m_data.dwSisrAddress = 0;
        if (Combo(IDC_SHAREDIRQ, CB_GETCOUNT) > 0 &&
            (m_data.dwSisrAddress = ReadAddress(m_hWnd, IDC_SISRADDRESS)) == 0) {
            MessageBox(AfxLoadString(IDS_SISRINVALID), AfxLoadString(IDS_SISRCAPTION), MB_OK | MB_ICONSTOP);
            refused = true;
        }
        return refused ? -1 : 0;
    }

    LRESULT OnWizardBack() override {
        m_data.FreeCard();
        return 0;
    }

private:
    IsaCardData& m_data;
    CPortList& m_list;
    int m_anPosition[kColumns] = {CV_UNSET, CV_UNSET, CV_UNSET, CV_UNSET};
};

class CConfirmPage : public CPropertyPage {
public:
    explicit CConfirmPage(IsaCardData& data) : CPropertyPage(IDD_WIZARD_CONFIRM), m_data(data) {}

protected:
    BOOL OnSetActive() override {
        SetDlgItemText(IDC_CONFIRMCARD, AfxFormat("%s", m_data.description.c_str()));
        const std::string port = AfxLoadString(IDS_PORT), address = AfxLoadString(IDS_ADDRESS),
                          irq = AfxLoadString(IDS_IRQ), shared = AfxLoadString(IDS_SHARED);
        // Port 1 - COM5 - Address 3f8, IRQ 5 (or Shared), one line per port.
        std::string text;
        for (size_t i = 0; i < m_data.ports.size(); ++i) {
            const IsaPortSetting& s = *m_data.ports[i];
            text += AfxFormat("%s %d - COM%d - %s %x, %s ", port.c_str(), static_cast<int>(i + 1), s.nCom,
                              address.c_str(), s.dwAddress, irq.c_str());
            text += (s.nIrq == CV_UNSET ? shared : AfxFormat("%d", s.nIrq)) + "\n";
        }
        if (m_data.nSharedIrq != CV_UNSET)
            text += shared + " " + irq + " " + AfxFormat("%d", m_data.nSharedIrq) + "\n";
        if (m_data.Word(1) != 0)
            text +=
                AfxLoadString(IDS_SISRADDRESS) + " " + address + " " + AfxFormat("%x", m_data.dwSisrAddress);
        SetDlgItemText(IDC_CONFIRMPORTS, text);
        GetParentSheet()->SetWizardButtons(PSWIZB_BACK | PSWIZB_FINISH);
        return TRUE;
    }

    LRESULT OnWizardBack() override {
        m_data.ports.clear();
        return 0;
    }

    BOOL OnWizardFinish() override {
        WriteCard();
        m_data.ports.clear();
        m_data.FreeCard();
        return TRUE;
    }

    void WriteCard() const {
        HKEY parameters = nullptr, bus = nullptr, card = nullptr;
        DWORD disposition = 0;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, CV_KEY_PARAMETERS, 0, KEY_ALL_ACCESS, &parameters) !=
            ERROR_SUCCESS)
            return;
        if (::RegCreateKeyExA(parameters, "Bus1", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &bus, &disposition) == ERROR_SUCCESS) {
            const std::string name = AfxFormat("Card%u", SubkeyCount(bus) + 1);
            if (::RegCreateKeyExA(bus, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &card, &disposition) == ERROR_SUCCESS) {
                WriteCardValues(card);
                ::RegCloseKey(card);
            }
            ::RegCloseKey(bus);
        }
        ::RegCloseKey(parameters);
    }

    void WriteCardValues(HKEY card) const {
        WriteDword(card, "DeviceID", m_data.dwDeviceID);
        if (m_data.nSharedIrq != CV_UNSET) {
            WriteDword(card, "InterruptVector", static_cast<DWORD>(m_data.nSharedIrq));
            WriteDword(card, "InterruptLevel", static_cast<DWORD>(m_data.nSharedIrq));
        }
        if (m_data.dwSisrAddress)
            WriteDword(card, "SisrAddress", m_data.dwSisrAddress);
        // What the driver reads of an ISA card besides: its clock.
        WriteDword(card, "ClockFrequency", m_data.dwClock);
        for (size_t i = 0; i < m_data.ports.size(); ++i) {
            const IsaPortSetting& s = *m_data.ports[i];
            HKEY port = nullptr;
            DWORD disposition = 0;
            if (::RegCreateKeyExA(card, AfxFormat("ComPort%d", static_cast<int>(i + 1)).c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &port,
                                  &disposition) != ERROR_SUCCESS)
                continue;
            if (s.nIrq != CV_UNSET) {
                WriteDword(port, "InterruptVector", static_cast<DWORD>(s.nIrq));
                WriteDword(port, "InterruptLevel", static_cast<DWORD>(s.nIrq));
            }
            WriteDword(port, "ComPortAddress", s.dwAddress);
            if (s.nCom != CV_UNSET)
                WriteDword(port, "nCom", static_cast<DWORD>(s.nCom));
            WriteDword(port, "PortIndex", static_cast<DWORD>(i));
            // The names the driver reads a port's registers by.
            WriteDword(port, "BaseAddress", s.dwAddress);
            WriteDword(port, "BaseAddressRange", 8);
            WriteDword(port, "BaseAddressAlignment", 8);
            ::RegCloseKey(port);
        }
    }

private:
    IsaCardData& m_data;
};

} // namespace

void RunIsaCardWizard(HWND hParent, CPortList& list) {
    IsaCardData data;
    CSelectCardPage select(data);
    CCardSettingsPage settings(data, list);
    CConfirmPage confirm(data);
    CPropertySheet wizard("Add an ISA Card", hParent);
    wizard.AddPage(&select);
    wizard.AddPage(&settings);
    wizard.AddPage(&confirm);
    wizard.SetWizardMode();
    wizard.DoModal();
}
