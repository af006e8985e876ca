// A port of the list: read from its SERIALCOMM entry, the driver's CurrentConfig and Parameters trees,
// the templates and the resource map; and the writes into the driver's Parameters tree.
#include "CvPci.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

// A registry key opened for the length of a block.
class CKey {
public:
    CKey() = default;
    CKey(HKEY hParent, const std::string& path, REGSAM sam = KEY_READ) { Open(hParent, path, sam); }
    ~CKey() { Close(); }
    CKey(const CKey&) = delete;
    CKey& operator=(const CKey&) = delete;
    BOOL Open(HKEY hParent, const std::string& path, REGSAM sam = KEY_READ) {
        Close();
        return ::RegOpenKeyExA(hParent, path.c_str(), 0, sam, &m_hKey) == ERROR_SUCCESS ||
               (m_hKey = nullptr, FALSE);
    }
    BOOL Create(HKEY hParent, const std::string& path) {
        Close();
        DWORD disposition = 0;
        return ::RegCreateKeyExA(hParent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                 nullptr, &m_hKey, &disposition) == ERROR_SUCCESS ||
               (m_hKey = nullptr, FALSE);
    }
    void Close() {
        if (m_hKey)
            ::RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
    operator HKEY() const { return m_hKey; }
    explicit operator bool() const { return m_hKey != nullptr; }

private:
    HKEY m_hKey = nullptr;
};

// A subkey's name by index, "" past the last one.
std::string SubkeyName(HKEY hKey, DWORD index) {
    char name[256];
    DWORD length = sizeof name;
    if (::RegEnumKeyExA(hKey, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return {};
    return std::string(name, length);
}

// The number behind a prefix ("Bus5" after "Bus"), or -1 when the name does not start with it.
int NumberAfter(const std::string& name, const char* prefix) {
    size_t n = std::strlen(prefix);
    if (name.size() <= n || strncasecmp(name.c_str(), prefix, n) != 0)
        return CV_UNSET;
    return std::atoi(name.c_str() + n);
}

void ReadInt(HKEY hKey, const char* name, int& field) {
    DWORD value = 0;
    if (ReadDword(hKey, name, value))
        field = static_cast<int>(value);
}

} // namespace

BOOL ReadDword(HKEY hKey, const char* pszName, DWORD& dwValue) {
    DWORD type = 0, value = 0, size = sizeof value;
    if (::RegQueryValueExA(hKey, pszName, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return FALSE;
    dwValue = value;
    return TRUE;
}

BOOL WriteDword(HKEY hKey, const char* pszName, DWORD dwValue) {
    return ::RegSetValueExA(hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                            sizeof dwValue) == ERROR_SUCCESS;
}

DWORD SubkeyCount(HKEY hKey) {
    DWORD count = 0;
    if (::RegQueryInfoKeyA(hKey, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return 0;
    return count;
}

void DeleteSubkeysOf(HKEY hKey) {
    for (std::string name; !(name = SubkeyName(hKey, 0)).empty();) {
        {
            CKey sub(hKey, name, KEY_ALL_ACCESS);
            if (!sub)
                return;
            DeleteSubkeysOf(sub);
        }
        if (::RegDeleteKeyA(hKey, name.c_str()) != ERROR_SUCCESS)
            return; // a key that cannot go would be found again and again
    }
}

BOOL CopyKey(HKEY hFrom, HKEY hTo) {
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof name, type = 0, size = 0;
        LONG r = ::RegEnumValueA(hFrom, i, name, &nameLength, nullptr, &type, nullptr, &size);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        std::vector<BYTE> data(size);
        nameLength = sizeof name;
        if (r != ERROR_SUCCESS ||
            ::RegEnumValueA(hFrom, i, name, &nameLength, nullptr, &type, data.data(), &size) !=
                ERROR_SUCCESS ||
            ::RegSetValueExA(hTo, name, 0, type, data.data(), size) != ERROR_SUCCESS)
            return FALSE; // a value that cannot be read or written stops the copy
    }
    for (DWORD i = 0;; ++i) {
        std::string name = SubkeyName(hFrom, i);
        if (name.empty())
            return TRUE;
        CKey from(hFrom, name), to;
        if (!from || !to.Create(hTo, name) || !CopyKey(from, to))
            return FALSE;
    }
}

CPortInfo::CPortInfo()
    : m_bValid(FALSE), m_nKind(CV_UNSET), m_nCom(CV_UNSET), m_nSerialIndex(CV_UNSET), m_nBus(CV_UNSET),
      m_nCard(CV_UNSET), m_nPort(CV_UNSET), m_nSlot(CV_UNSET), m_nBusNumber(CV_UNSET),
      m_ulDeviceID(0xFFFFFFFF), m_ulVendorID(0xFFFFFFFF), m_nInterrupt(CV_UNSET), m_nPortAddress(CV_UNSET),
      m_nTxTriggerLevel(CV_UNSET), m_nRxTriggerLevel(CV_UNSET), m_nSoftTxLimit(CV_UNSET), m_bFixedCom(FALSE),
      m_bFifoDisabled(FALSE), m_bAdminOnly(FALSE), m_bRs485(FALSE), m_bHalfDuplex(FALSE), m_bCtsForced(FALSE),
      m_bChanged(FALSE) {}

BOOL CPortInfo::ParseSerialComm(const std::string& serialName) {
    // "Serial%d" exactly: a leading zero or anything after the number makes another name.
    if (serialName.size() <= 6 || strncasecmp(serialName.c_str(), "serial", 6) != 0)
        return FALSE;
    int n = std::atoi(serialName.c_str() + 6);
    if (n < 0 || strcasecmp(AfxFormat("Serial%d", n).c_str(), serialName.c_str()) != 0)
        return FALSE;
    m_nSerialIndex = n;
    CKey key(HKEY_LOCAL_MACHINE, CV_KEY_SERIALCOMM, KEY_QUERY_VALUE);
    if (!key)
        return FALSE;
    // Serial drivers write the name without its terminator: the text ends where the data does.
    char data[7] = {0};
    DWORD type = 0, size = sizeof data;
    if (::RegQueryValueExA(key, AfxFormat("Serial%d", n).c_str(), nullptr, &type,
                           reinterpret_cast<LPBYTE>(data), &size) != ERROR_SUCCESS ||
        type != REG_SZ || size <= 3 || strncasecmp(data, "COM", 3) != 0)
        return FALSE;
    data[std::min<DWORD>(size, sizeof data - 1)] = '\0';
    m_nCom = std::atoi(data + 3);
    return m_nCom > 0;
}

BOOL CPortInfo::FindInCurrentConfig() {
    CKey config(HKEY_LOCAL_MACHINE, CV_KEY_CURRENTCONFIG);
    if (!config)
        return FALSE;
    const std::string wanted = AfxFormat("%d", m_nCom);
    for (DWORD b = 0;; ++b) {
        std::string busName = SubkeyName(config, b);
        if (busName.empty())
            return FALSE;
        int bus = NumberAfter(busName, "Bus");
        CKey busKey(config, busName);
        if (bus == CV_UNSET || !busKey)
            continue;
        for (DWORD c = 0;; ++c) {
            std::string cardName = SubkeyName(busKey, c);
            if (cardName.empty())
                break;
            int card = NumberAfter(cardName, "Card");
            CKey cardKey(busKey, cardName);
            if (card == CV_UNSET || !cardKey || SubkeyCount(cardKey) == 0)
                continue;
            for (DWORD p = 0;; ++p) {
                std::string portName = SubkeyName(cardKey, p);
                if (portName.empty())
                    break;
                int port = NumberAfter(portName, "ComPort");
                CKey portKey(cardKey, portName);
                DWORD nCom = 0;
                if (port == CV_UNSET || !portKey || !ReadDword(portKey, "nCom", nCom))
                    continue;
                if (AfxFormat("%u", nCom) == wanted) {
                    m_nBus = bus;
                    m_nCard = card;
                    m_nPort = port;
                    return TRUE;
                }
            }
        }
    }
}

void CPortInfo::ReadCurrentConfig() {
    CKey card(HKEY_LOCAL_MACHINE, AfxFormat(CV_KEY_CURRENTCONFIG "\\Bus%d\\Card%d", m_nBus, m_nCard));
    if (!card)
        return;
    DWORD value = 0;
    if (ReadDword(card, "DeviceID", value))
        m_ulDeviceID = value;
    ReadInt(card, "nBus", m_nBusNumber);
    if (ReadDword(card, "VendorID", value))
        m_ulVendorID = value;
    ReadInt(card, "nSlot", m_nSlot);
    ReadInt(card, "InterruptVector", m_nInterrupt);
    CKey port(card, AfxFormat("ComPort%d", m_nPort));
    if (!port)
        return;
    ReadInt(port, "InterruptVector", m_nInterrupt);
    ReadInt(port, "ComPortAddress", m_nPortAddress);
    ReadInt(port, "TxTriggerLevel", m_nTxTriggerLevel);
    ReadInt(port, "SoftTxLimit", m_nSoftTxLimit);
    ReadInt(port, "RxTriggerLevel", m_nRxTriggerLevel);
}

void CPortInfo::ReadTemplateDescription() {
    if (m_ulDeviceID == 0xFFFFFFFF)
        return; // a card without a device ID (ISA) has no template to name it
    CKey bus(HKEY_LOCAL_MACHINE, AfxFormat(CV_KEY_TEMPLATES "\\Bus%d", m_nBus));
    if (!bus)
        return;
    auto readDescription = [&](HKEY hKey) {
        DWORD type = 0, size = 0;
        if (::RegQueryValueExA(hKey, "Description", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
            size == 0)
            return FALSE;
        std::string text(size, '\0');
        if (::RegQueryValueExA(hKey, "Description", nullptr, &type, reinterpret_cast<LPBYTE>(text.data()),
                               &size) != ERROR_SUCCESS)
            return FALSE;
        m_strDescription = std::string(text.c_str());
        return TRUE;
    };
    for (DWORD t = 0;; ++t) {
        std::string name = SubkeyName(bus, t);
        if (name.empty())
            return;
        CKey card(bus, name);
        DWORD device = 0;
        if (!card || !ReadDword(card, "DeviceID", device) || (device & 0xFFE0) != (m_ulDeviceID & 0xFFE0))
            continue;
        // A revision template below it may name this very revision.
        for (DWORD r = 0;; ++r) {
            std::string revisionName = SubkeyName(card, r);
            if (revisionName.empty())
                break;
            CKey revision(card, revisionName);
            DWORD revisionDevice = 0;
            if (revision && ReadDword(revision, "DeviceID", revisionDevice) &&
                (revisionDevice & 0x1F) == (m_ulDeviceID & 0x1F)) {
                readDescription(revision);
                return;
            }
        }
        readDescription(card);
        return;
    }
}

void CPortInfo::ReadParameters() {
    CKey port(HKEY_LOCAL_MACHINE,
              AfxFormat(CV_KEY_PARAMETERS "\\Bus%d\\Card%d\\ComPort%d", m_nBus, m_nCard, m_nPort));
    if (!port)
        return;
    DWORD value = 0;
    DWORD type = 0, size = 0;
    m_bFixedCom = ::RegQueryValueExA(port, "nCom", nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    m_bFifoDisabled = ReadDword(port, "DisableFifo", value) ? value != 0 : FALSE;
    NormalisePciFifos();
}

void CPortInfo::NormalisePciFifos() {
    // A PCI port whose FIFOs are off keeps its trigger values at 0, so that the driver does not set up
    // FIFO levels it will not use: the first such port of each card is put right.
    CKey bus(HKEY_LOCAL_MACHINE, CV_KEY_PARAMETERS "\\Bus5");
    if (!bus)
        return;
    for (int n = static_cast<int>(SubkeyCount(bus)); n >= 0; --n) {
        CKey card(HKEY_LOCAL_MACHINE, AfxFormat(CV_KEY_PARAMETERS "\\Bus5\\Card%d", n));
        DWORD ports = card ? SubkeyCount(card) : 0;
        for (DWORD p = 1; p <= ports; ++p) {
            CKey port(HKEY_LOCAL_MACHINE, AfxFormat(CV_KEY_PARAMETERS "\\Bus5\\Card%d\\Comport%u", n, p),
                      KEY_ALL_ACCESS);
            DWORD disabled = 0;
            if (port && ReadDword(port, "DisableFifo", disabled) && disabled == 1) {
                WriteDword(port, "TxTriggerLevel", 0);
                WriteDword(port, "RxTriggerLevel", 0);
                break;
            }
        }
    }
}

void CPortInfo::ReadResourceMap() {
    // A CvNt port's claim: its PCI card's, or (ISA) its own under the device name CvNt gave it.
    const bool cvnt = m_nKind == CV_KIND_CVNT;
    CKey map(HKEY_LOCAL_MACHINE, cvnt ? "HARDWARE\\RESOURCEMAP\\CORVANE"
                                      : "HARDWARE\\RESOURCEMAP\\LOADED SERIAL DRIVER RESOURCES");
    if (!map)
        return;
    const std::string valueName = cvnt && m_nBus == CV_BUS_PCI
                                      ? AfxFormat("\\Device\\CvNtPciCard%d.Raw", m_nCard)
                                      : AfxFormat("\\Device\\Serial%d.Raw", m_nSerialIndex);
    for (DWORD i = 0; i < 256; ++i) {
        std::string name = SubkeyName(map, i);
        if (name.empty())
            break;
        CKey driver(map, name);
        DWORD type = 0, size = 0;
        if (!driver ||
            ::RegQueryValueExA(driver, valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            continue;
        std::vector<BYTE> data(size);
        if (::RegQueryValueExA(driver, valueName.c_str(), nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS)
            continue;
        m_strDriverKey = name;
        m_resourceList = std::move(data);
    }
    // CM_RESOURCE_LIST: its count of full descriptors, then the first one's InterfaceType and BusNumber.
    DWORD count = 0;
    if (m_resourceList.size() >= 12 && (std::memcpy(&count, m_resourceList.data(), 4), count != 0)) {
        DWORD interfaceType = 0, busNumber = 0;
        std::memcpy(&interfaceType, m_resourceList.data() + 4, 4);
        std::memcpy(&busNumber, m_resourceList.data() + 8, 4);
        m_nBus = static_cast<int>(interfaceType);
        m_nBusNumber = static_cast<int>(busNumber);
    }
}

BOOL CPortInfo::LoadPortInfo(const std::string& serialName) {
    *this = CPortInfo();
    m_strDescription = AfxLoadString(IDS_COMMUNICATIONSPORT);
    if (!ParseSerialComm(serialName))
        return FALSE;
    m_bValid = TRUE;
    if (FindInCurrentConfig()) {
        m_nKind = CV_KIND_CVNT;
        ReadCurrentConfig();
        ReadTemplateDescription();
        ReadParameters();
    } else {
        m_nKind = CV_KIND_OTHER;
        m_strDescription = AfxLoadString(IDS_COMMUNICATIONSPORT);
    }
    ReadResourceMap();
    return TRUE;
}

BOOL CPortInfo::SetPortValue(const char* pszName, DWORD dwValue, BOOL bDelete) {
    if (!IsCvNtPort())
        return FALSE;
    CKey parameters(HKEY_LOCAL_MACHINE, CV_KEY_PARAMETERS, KEY_ALL_ACCESS);
    CKey bus, card, port;
    if (!parameters || !bus.Create(parameters, AfxFormat("Bus%d", m_nBus)) ||
        !card.Create(bus, AfxFormat("Card%d", m_nCard)))
        return FALSE;
    WriteDword(card, "DeviceID", m_ulDeviceID);
    WriteDword(card, "nBus", static_cast<DWORD>(m_nBusNumber));
    WriteDword(card, "nSlot", static_cast<DWORD>(m_nSlot));
    WriteDword(card, "VendorID", m_ulVendorID);
    if (!port.Create(card, AfxFormat("ComPort%d", m_nPort)))
        return FALSE;
    BOOL ok =
        bDelete ? ::RegDeleteValueA(port, pszName) == ERROR_SUCCESS : WriteDword(port, pszName, dwValue);
    if (ok)
        m_bChanged = TRUE;
    return ok;
}

BOOL CPortInfo::SetFifoDisabled(BOOL bDisabled) {
    if (!SetPortValue("DisableFifo", bDisabled ? 1 : 0, FALSE))
        return FALSE;
    m_bFifoDisabled = bDisabled;
    return TRUE;
}

BOOL CPortInfo::SetSoftTxLimit(int nLevel) {
    if (nLevel < 0 || nLevel > 100 || !SetPortValue("SoftTxLimit", static_cast<DWORD>(nLevel), FALSE))
        return FALSE;
    m_nSoftTxLimit = nLevel;
    return TRUE;
}

BOOL CPortInfo::SetTxTriggerLevel() {
    return SetPortValue("TxTriggerLevel", static_cast<DWORD>(m_nTxTriggerLevel), FALSE);
}

BOOL CPortInfo::SetRxTriggerLevel(int nLevel) {
    if (nLevel < 0 || nLevel > 100 || !SetPortValue("RxTriggerLevel", static_cast<DWORD>(nLevel), FALSE))
        return FALSE;
    m_nRxTriggerLevel = nLevel;
    return TRUE;
}

CPortList::CPortList() {
    ClearChanges();
}

BOOL CPortList::AnyChange() const {
    for (int n : m_anChange)
        if (n >= 0)
            return TRUE;
    return FALSE;
}

void CPortList::ClearChanges() {
    for (int& n : m_anChange)
        n = CV_UNSET;
}

BOOL IsUserAdministrator() {
    HANDLE hToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken))
        return FALSE;
    DWORD size = 0;
    ::GetTokenInformation(hToken, TokenGroups, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    BOOL admin = FALSE;
    PSID administrators = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (size && ::GetTokenInformation(hToken, TokenGroups, buffer.data(), size, &size) &&
        ::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                   0, 0, &administrators)) {
        auto* groups = reinterpret_cast<PTOKEN_GROUPS>(buffer.data());
        for (DWORD i = 0; i < groups->GroupCount && !admin; ++i)
            admin = ::EqualSid(groups->Groups[i].Sid, administrators) &&
                    (groups->Groups[i].Attributes & SE_GROUP_ENABLED);
        ::FreeSid(administrators);
    }
    ::CloseHandle(hToken);
    return admin;
}
