// The Win32 calls over the machine: the registry API on the kernel's own registry, the service control
// manager on its services, the process token of the desktop's user, files and devices through its I/O
// manager, and modules with their resources.
#include "platform/win32/window.h"

#include "platform/win32/include/cpl.h"

#include "platform/nt/registry.h"
#include "platform/nt/services.h"
#include "platform/nt/userio.h"

#include <algorithm>
#include <cstring>

namespace win32 {

namespace {

std::string Ansi(std::u16string_view text) {
    std::string out;
    for (char16_t c : text)
        out += c < 0x100 ? static_cast<char>(c) : '?';
    return out;
}

std::u16string Wide(std::string_view text) {
    std::u16string out;
    for (unsigned char c : text)
        out += static_cast<char16_t>(c);
    return out;
}

// ---- registry -------------------------------------------------------------------------------

constexpr uintptr_t kPredefinedFirst = 0x80000000u;

std::string PredefinedPath(HKEY key) {
    switch (reinterpret_cast<uintptr_t>(key) & 0xFFFFFFFFu) {
    case 0x80000000u:
        return "\\Registry\\Machine\\SOFTWARE\\Classes";
    case 0x80000001u:
        return "\\Registry\\User\\.DEFAULT";
    case 0x80000002u:
        return "\\Registry\\Machine";
    case 0x80000003u:
        return "\\Registry\\User";
    default:
        return {};
    }
}

bool IsPredefined(HKEY key) {
    uintptr_t v = reinterpret_cast<uintptr_t>(key) & 0xFFFFFFFFu;
    return v >= kPredefinedFirst && v <= kPredefinedFirst + 3;
}

constexpr REGSAM kWriteAccess = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE;

// Only administrators change the machine's part of the registry; everybody reads it.
bool MayAccess(const Desktop& desktop, const nt::RegKey& key, REGSAM access) {
    if (desktop.administrator() || !(access & kWriteAccess))
        return true;
    std::u16string path = key.path();
    return !nt::namesEqual(path.substr(0, 17), u"\\REGISTRY\\MACHINE");
}

struct KeyRef {
    std::shared_ptr<nt::RegKey> key;
    REGSAM access = 0;
};

KeyRef Resolve(Desktop& desktop, HKEY hKey) {
    nt::Registry& reg = desktop.kernel().registry();
    if (IsPredefined(hKey)) {
        std::string path = PredefinedPath(hKey);
        auto key = reg.open(path);
        if (!key)
            key = reg.create(path);
        return {key, KEY_ALL_ACCESS};
    }
    uint32_t access = 0;
    auto key = reg.handleKey(reinterpret_cast<uintptr_t>(hKey), &access);
    return {key, access};
}

// The key behind a handle, with the access a call needs; ERROR_SUCCESS or the call's error.
LONG Use(Desktop& desktop, HKEY hKey, REGSAM needed, KeyRef& ref) {
    ref = Resolve(desktop, hKey);
    if (!ref.key || ref.key->deleted)
        return ref.key ? ERROR_KEY_DELETED : ERROR_INVALID_HANDLE;
    if ((ref.access & needed) != needed || !MayAccess(desktop, *ref.key, needed))
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

HKEY NewHandle(Desktop& desktop, std::shared_ptr<nt::RegKey> key, REGSAM access) {
    return reinterpret_cast<HKEY>(desktop.kernel().registry().openHandle(std::move(key), access));
}

// A value's data as an ANSI program reads it: strings converted, everything else as stored.
std::vector<uint8_t> AnsiData(const nt::RegValue& value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ && value.type != REG_MULTI_SZ)
        return value.data;
    std::u16string wide(reinterpret_cast<const char16_t*>(value.data.data()), value.data.size() / 2);
    std::string text = Ansi(wide);
    return std::vector<uint8_t>(text.begin(), text.end());
}

LONG CopyOut(const std::vector<uint8_t>& data, LPBYTE out, LPDWORD size) {
    if (!size)
        return out ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    DWORD room = *size;
    *size = static_cast<DWORD>(data.size());
    if (!out)
        return ERROR_SUCCESS;
    if (room < data.size())
        return ERROR_MORE_DATA;
    std::memcpy(out, data.data(), data.size());
    return ERROR_SUCCESS;
}

// ---- services -------------------------------------------------------------------------------

struct ServiceHandle {
    bool manager = false;
    std::string name;
    DWORD access = 0;
};

const std::string kServices = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

// A service marked for deletion goes once it has stopped and no program holds a handle to it.
void DeleteMarkedService(Desktop& desktop, const std::string& name) {
    if (!desktop.serviceMarkedForDelete(name) || desktop.kernel().services().running(name))
        return;
    for (const auto& object : desktop.handlesOf("service")) {
        auto other = std::static_pointer_cast<ServiceHandle>(object);
        if (!other->manager && nt::namesEqual(nt::toUtf16(other->name), nt::toUtf16(name)))
            return;
    }
    desktop.kernel().registry().removeTree(kServices + name);
    desktop.forgetServiceMark(name);
}

void FillStatus(Desktop& desktop, const ServiceHandle& s, LPSERVICE_STATUS status) {
    if (!status)
        return;
    std::memset(status, 0, sizeof *status);
    status->dwServiceType = SERVICE_KERNEL_DRIVER;
    bool running = desktop.kernel().services().running(s.name);
    status->dwCurrentState = running ? SERVICE_RUNNING : SERVICE_STOPPED;
    status->dwControlsAccepted = running ? SERVICE_ACCEPT_STOP : 0;
}

// ---- security -------------------------------------------------------------------------------

struct Sid {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD SubAuthority[8];
};
size_t SidLength(const Sid& sid) {
    return 8 + 4 * static_cast<size_t>(sid.SubAuthorityCount);
}

} // namespace

} // namespace win32

using win32::Desktop;

// ---------------------------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------------------------

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    (void)ulOptions;
    Desktop& desktop = Desktop::require("RegOpenKeyEx");
    auto base = win32::Resolve(desktop, hKey);
    if (!base.key || base.key->deleted)
        return ERROR_INVALID_HANDLE;
    auto key = lpSubKey && *lpSubKey ? desktop.kernel().registry().openBelow(*base.key, win32::Wide(lpSubKey))
                                     : base.key;
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    if (!win32::MayAccess(desktop, *key, samDesired))
        return ERROR_ACCESS_DENIED;
    *phkResult = win32::NewHandle(desktop, key, samDesired);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
    (void)Reserved;
    (void)lpClass;
    (void)dwOptions;
    (void)lpSecurityAttributes;
    Desktop& desktop = Desktop::require("RegCreateKeyEx");
    auto base = win32::Resolve(desktop, hKey);
    if (!base.key || base.key->deleted)
        return ERROR_INVALID_HANDLE;
    nt::Registry& reg = desktop.kernel().registry();
    std::u16string sub = lpSubKey ? win32::Wide(lpSubKey) : u"";
    auto key = sub.empty() ? base.key : reg.openBelow(*base.key, sub);
    bool created = false;
    if (!key) {
        // Making a key takes the right to make subkeys below the key given, and the user's right to write.
        if (!(base.access & KEY_CREATE_SUB_KEY) || !win32::MayAccess(desktop, *base.key, KEY_CREATE_SUB_KEY))
            return ERROR_ACCESS_DENIED;
        key = reg.createBelow(*base.key, sub, &created);
        if (!key)
            return ERROR_FILE_NOT_FOUND;
    }
    if (!win32::MayAccess(desktop, *key, samDesired))
        return ERROR_ACCESS_DENIED;
    *phkResult = win32::NewHandle(desktop, key, samDesired);
    if (lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    (void)lpReserved;
    Desktop& desktop = Desktop::require("RegQueryValueEx");
    win32::KeyRef ref;
    if (LONG error = win32::Use(desktop, hKey, KEY_QUERY_VALUE, ref))
        return error;
    const nt::RegValue* value = ref.key->value(win32::Wide(lpValueName ? lpValueName : ""));
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    if (lpType)
        *lpType = value->type;
    return win32::CopyOut(win32::AnsiData(*value), lpData, lpcbData);
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData) {
    (void)Reserved;
    Desktop& desktop = Desktop::require("RegSetValueEx");
    win32::KeyRef ref;
    if (LONG error = win32::Use(desktop, hKey, KEY_SET_VALUE, ref))
        return error;
    std::vector<uint8_t> data(lpData, lpData + cbData);
    if (dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ) {
        std::u16string wide = win32::Wide(std::string_view(reinterpret_cast<const char*>(lpData), cbData));
        data.assign(reinterpret_cast<const uint8_t*>(wide.data()),
                    reinterpret_cast<const uint8_t*>(wide.data()) + wide.size() * 2);
    }
    std::u16string name = win32::Wide(lpValueName ? lpValueName : "");
    desktop.kernel().registry().noteWrite(ref.key->path(), name);
    ref.key->setValue(name, dwType, std::move(data));
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    (void)lpReserved;
    Desktop& desktop = Desktop::require("RegEnumKeyEx");
    win32::KeyRef ref;
    if (LONG error = win32::Use(desktop, hKey, KEY_ENUMERATE_SUB_KEYS, ref))
        return error;
    if (dwIndex >= ref.key->subkeys.size())
        return ERROR_NO_MORE_ITEMS;
    std::string name = win32::Ansi(ref.key->subkeys[dwIndex]->name);
    if (name.size() + 1 > *lpcchName)
        return ERROR_MORE_DATA;
    std::memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = static_cast<DWORD>(name.size());
    if (lpClass && lpcchClass && *lpcchClass) {
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime)
        *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    (void)lpReserved;
    Desktop& desktop = Desktop::require("RegEnumValue");
    win32::KeyRef ref;
    if (LONG error = win32::Use(desktop, hKey, KEY_QUERY_VALUE, ref))
        return error;
    if (dwIndex >= ref.key->values.size())
        return ERROR_NO_MORE_ITEMS;
    const nt::RegValue& value = ref.key->values[dwIndex];
    std::string name = win32::Ansi(value.name);
    if (name.size() + 1 > *lpcchValueName)
        return ERROR_MORE_DATA;
    std::memcpy(lpValueName, name.c_str(), name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(name.size());
    if (lpType)
        *lpType = value.type;
    return win32::CopyOut(win32::AnsiData(value), lpData, lpcbData);
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime) {
    (void)lpReserved;
    Desktop& desktop = Desktop::require("RegQueryInfoKey");
    win32::KeyRef ref;
    if (LONG error = win32::Use(desktop, hKey, 0, ref))
        return error;
    if (lpClass && lpcchClass && *lpcchClass) {
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    DWORD maxSub = 0, maxName = 0, maxData = 0;
    for (const auto& k : ref.key->subkeys)
        maxSub = std::max<DWORD>(maxSub, static_cast<DWORD>(k->name.size()));
    for (const auto& v : ref.key->values) {
        maxName = std::max<DWORD>(maxName, static_cast<DWORD>(v.name.size()));
        maxData = std::max<DWORD>(maxData, static_cast<DWORD>(v.data.size()));
    }
    if (lpcSubKeys)
        *lpcSubKeys = static_cast<DWORD>(ref.key->subkeys.size());
    if (lpcbMaxSubKeyLen)
        *lpcbMaxSubKeyLen = maxSub;
    if (lpcbMaxClassLen)
        *lpcbMaxClassLen = 0;
    if (lpcValues)
        *lpcValues = static_cast<DWORD>(ref.key->values.size());
    if (lpcbMaxValueNameLen)
        *lpcbMaxValueNameLen = maxName;
    if (lpcbMaxValueLen)
        *lpcbMaxValueLen = maxData;
    if (lpcbSecurityDescriptor)
        *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime)
        *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    Desktop& desktop = Desktop::require("RegDeleteKey");
    auto base = win32::Resolve(desktop, hKey);
    if (!base.key || base.key->deleted)
        return ERROR_INVALID_HANDLE;
    auto key = lpSubKey && *lpSubKey ? desktop.kernel().registry().openBelow(*base.key, win32::Wide(lpSubKey))
                                     : base.key;
    if (!key)
        return ERROR_FILE_NOT_FOUND;
    // NT deletes a key only when it has no subkeys of its own.
    if (!key->subkeys.empty() || !win32::MayAccess(desktop, *key, DELETE))
        return ERROR_ACCESS_DENIED;
    desktop.kernel().registry().unlink(*key);
    return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    Desktop& desktop = Desktop::require("RegDeleteValue");
    win32::KeyRef ref;
    if (LONG error = win32::Use(desktop, hKey, KEY_SET_VALUE, ref))
        return error;
    std::u16string name = win32::Wide(lpValueName ? lpValueName : "");
    return ref.key->removeValue(name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY hKey) {
    Desktop& desktop = Desktop::require("RegCloseKey");
    if (win32::IsPredefined(hKey))
        return ERROR_SUCCESS;
    return desktop.kernel().registry().closeHandle(reinterpret_cast<uintptr_t>(hKey)) ? ERROR_SUCCESS
                                                                                      : ERROR_INVALID_HANDLE;
}

// ---------------------------------------------------------------------------------------------
// Services
// ---------------------------------------------------------------------------------------------

SC_HANDLE OpenSCManagerA(LPCSTR lpMachineName, LPCSTR lpDatabaseName, DWORD dwDesiredAccess) {
    (void)lpDatabaseName;
    Desktop& desktop = Desktop::require("OpenSCManager");
    if (lpMachineName && *lpMachineName) {
        desktop.setLastError(ERROR_INVALID_NAME); // this machine has no network neighbours
        return nullptr;
    }
    if (!desktop.administrator() && (dwDesiredAccess & ~(SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                                                         SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL))) {
        desktop.setLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto handle = std::make_shared<win32::ServiceHandle>(win32::ServiceHandle{true, {}, dwDesiredAccess});
    return reinterpret_cast<SC_HANDLE>(desktop.addHandle(handle, "service"));
}

SC_HANDLE OpenServiceA(SC_HANDLE hSCManager, LPCSTR lpServiceName, DWORD dwDesiredAccess) {
    Desktop& desktop = Desktop::require("OpenService");
    auto manager = std::static_pointer_cast<win32::ServiceHandle>(desktop.handle(hSCManager, "service"));
    if (!manager || !manager->manager) {
        desktop.setLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    std::string name = lpServiceName ? lpServiceName : "";
    if (name.empty() || !desktop.kernel().registry().exists(win32::kServices + name)) {
        desktop.setLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    const DWORD userRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                             SERVICE_INTERROGATE | READ_CONTROL;
    if (!desktop.administrator() && (dwDesiredAccess & ~userRights)) {
        desktop.setLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto handle = std::make_shared<win32::ServiceHandle>(win32::ServiceHandle{false, name, dwDesiredAccess});
    return reinterpret_cast<SC_HANDLE>(desktop.addHandle(handle, "service"));
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    Desktop& desktop = Desktop::require("ControlService");
    auto s = std::static_pointer_cast<win32::ServiceHandle>(desktop.handle(hService, "service"));
    if (!s || s->manager) {
        desktop.setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    nt::ServiceManager& services = desktop.kernel().services();
    const bool running = services.running(s->name);
    switch (dwControl) {
    case SERVICE_CONTROL_INTERROGATE:
        if (!(s->access & SERVICE_INTERROGATE)) {
            desktop.setLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        win32::FillStatus(desktop, *s, lpServiceStatus);
        // NT 4 interrogates only a service that runs.
        if (!running) {
            desktop.setLastError(ERROR_SERVICE_NOT_ACTIVE);
            return FALSE;
        }
        return TRUE;
    case SERVICE_CONTROL_STOP: {
        if (!(s->access & SERVICE_STOP)) {
            desktop.setLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (!running) {
            win32::FillStatus(desktop, *s, lpServiceStatus);
            desktop.setLastError(ERROR_SERVICE_NOT_ACTIVE);
            return FALSE;
        }
        uint32_t error = services.stop(s->name);
        win32::FillStatus(desktop, *s, lpServiceStatus);
        if (error == nt::kErrorDeviceInUse) {
            // A driver with a device still open cannot be unloaded now: the stop is not valid for it.
            desktop.setLastError(ERROR_INVALID_SERVICE_CONTROL);
            return FALSE;
        }
        if (error != 0) {
            desktop.setLastError(error);
            return FALSE;
        }
        win32::DeleteMarkedService(desktop, s->name);
        return TRUE;
    }
    default:
        desktop.setLastError(ERROR_INVALID_SERVICE_CONTROL);
        return FALSE;
    }
}

BOOL StartServiceA(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCSTR* lpServiceArgVectors) {
    (void)dwNumServiceArgs;
    (void)lpServiceArgVectors;
    Desktop& desktop = Desktop::require("StartService");
    auto s = std::static_pointer_cast<win32::ServiceHandle>(desktop.handle(hService, "service"));
    if (!s || s->manager) {
        desktop.setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(s->access & SERVICE_START)) {
        desktop.setLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    uint32_t error = desktop.kernel().services().start(s->name);
    if (error != 0) {
        desktop.setLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    Desktop& desktop = Desktop::require("QueryServiceStatus");
    auto s = std::static_pointer_cast<win32::ServiceHandle>(desktop.handle(hService, "service"));
    if (!s || s->manager || !(s->access & SERVICE_QUERY_STATUS)) {
        desktop.setLastError(!s || s->manager ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    win32::FillStatus(desktop, *s, lpServiceStatus);
    return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
    Desktop& desktop = Desktop::require("DeleteService");
    auto s = std::static_pointer_cast<win32::ServiceHandle>(desktop.handle(hService, "service"));
    if (!s || s->manager) {
        desktop.setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(s->access & DELETE)) {
        desktop.setLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // NT marks the service; its key goes once it has stopped and no handle to it is open.
    if (!desktop.markServiceForDelete(s->name)) {
        desktop.setLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
        return FALSE;
    }
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    Desktop& desktop = Desktop::require("CloseServiceHandle");
    auto s = std::static_pointer_cast<win32::ServiceHandle>(desktop.handle(hSCObject, "service"));
    if (!s) {
        desktop.setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    desktop.closeHandle(hSCObject);
    if (!s->manager)
        win32::DeleteMarkedService(desktop, s->name);
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Security
// ---------------------------------------------------------------------------------------------

HANDLE GetCurrentProcess(void) {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
}

BOOL OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    (void)DesiredAccess;
    Desktop& desktop = Desktop::require("OpenProcessToken");
    if (ProcessHandle != GetCurrentProcess()) {
        desktop.setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *TokenHandle = desktop.addHandle(std::make_shared<bool>(desktop.administrator()), "token");
    return TRUE;
}

BOOL GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                         LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength) {
    Desktop& desktop = Desktop::require("GetTokenInformation");
    auto admin = std::static_pointer_cast<bool>(desktop.handle(TokenHandle, "token"));
    if (!admin) {
        desktop.setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (TokenInformationClass != TokenGroups) {
        desktop.setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Everyone, Users and, for an administrator, Administrators; every group enabled.
    std::vector<win32::Sid> sids = {{1, 1, {{0, 0, 0, 0, 0, 1}}, {0}},
                                    {1, 2, {{0, 0, 0, 0, 0, 5}}, {32, 545}}};
    if (*admin)
        sids.push_back({1, 2, {{0, 0, 0, 0, 0, 5}}, {32, 544}});
    size_t header = offsetof(TOKEN_GROUPS, Groups) + sids.size() * sizeof(SID_AND_ATTRIBUTES);
    size_t total = header;
    for (const auto& sid : sids)
        total += (win32::SidLength(sid) + 3) & ~size_t{3};
    if (ReturnLength)
        *ReturnLength = static_cast<DWORD>(total);
    if (TokenInformationLength < total || !TokenInformation) {
        desktop.setLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* groups = static_cast<PTOKEN_GROUPS>(TokenInformation);
    groups->GroupCount = static_cast<DWORD>(sids.size());
    auto* at = static_cast<uint8_t*>(TokenInformation) + header;
    for (size_t i = 0; i < sids.size(); ++i) {
        std::memcpy(at, &sids[i], win32::SidLength(sids[i]));
        groups->Groups[i].Sid = at;
        groups->Groups[i].Attributes = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
        at += (win32::SidLength(sids[i]) + 3) & ~size_t{3};
    }
    return TRUE;
}

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                              DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                              DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                              DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid) {
    if (nSubAuthorityCount > 8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* sid = new win32::Sid{1,
                               nSubAuthorityCount,
                               *pIdentifierAuthority,
                               {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                                nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7}};
    *pSid = sid;
    return TRUE;
}

BOOL EqualSid(PSID pSid1, PSID pSid2) {
    auto* a = static_cast<const win32::Sid*>(pSid1);
    auto* b = static_cast<const win32::Sid*>(pSid2);
    return a->SubAuthorityCount == b->SubAuthorityCount && std::memcmp(a, b, win32::SidLength(*a)) == 0;
}

PVOID FreeSid(PSID pSid) {
    delete static_cast<win32::Sid*>(pSid);
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Files and devices
// ---------------------------------------------------------------------------------------------

namespace {

DWORD Win32Error(NTSTATUS status) {
    switch (static_cast<uint32_t>(status)) {
    case 0xC0000034: // STATUS_OBJECT_NAME_NOT_FOUND
    case 0xC000000E: // STATUS_NO_SUCH_DEVICE
        return ERROR_FILE_NOT_FOUND;
    case 0xC000003A: // STATUS_OBJECT_PATH_NOT_FOUND
        return ERROR_PATH_NOT_FOUND;
    case 0xC0000022: // STATUS_ACCESS_DENIED
    case 0xC0000056: // STATUS_DELETE_PENDING: the device went away under the handle
        return ERROR_ACCESS_DENIED;
    case 0xC0000043: // STATUS_SHARING_VIOLATION
        return ERROR_SHARING_VIOLATION;
    case 0xC0000120: // STATUS_CANCELLED
        return ERROR_OPERATION_ABORTED;
    case 0xC000000D: // STATUS_INVALID_PARAMETER
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_GEN_FAILURE;
    }
}

std::shared_ptr<nt::UserFile> FileOf(Desktop& desktop, HANDLE h) {
    return std::static_pointer_cast<nt::UserFile>(desktop.handle(h, "file"));
}

} // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)dwDesiredAccess;
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    (void)dwFlagsAndAttributes;
    Desktop& desktop = Desktop::require("CreateFile");
    if (dwCreationDisposition != OPEN_EXISTING) {
        desktop.setLastError(ERROR_ACCESS_DENIED); // devices are opened, never created
        return INVALID_HANDLE_VALUE;
    }
    std::unique_ptr<nt::UserFile> file;
    NTSTATUS status = nt::UserFile::open(desktop.kernel(), lpFileName ? lpFileName : "", file);
    if (!NT_SUCCESS(status)) {
        desktop.setLastError(Win32Error(status));
        return INVALID_HANDLE_VALUE;
    }
    return desktop.addHandle(std::shared_ptr<nt::UserFile>(std::move(file)), "file");
}

// The device file behind a handle; none (and the error set) for any other handle.
static std::shared_ptr<nt::UserFile> OpenFileOf(Desktop& desktop, HANDLE handle) {
    auto file = FileOf(desktop, handle);
    if (!file)
        desktop.setLastError(ERROR_INVALID_HANDLE);
    return file;
}

BOOL CloseHandle(HANDLE hObject) {
    Desktop& desktop = Desktop::require("CloseHandle");
    if (auto file = FileOf(desktop, hObject))
        file->close();
    if (!desktop.closeHandle(hObject)) {
        desktop.setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    (void)lpOverlapped;
    Desktop& desktop = Desktop::require("ReadFile");
    auto file = OpenFileOf(desktop, hFile);
    if (!file)
        return FALSE;
    nt::IoResult result = file->read(nNumberOfBytesToRead);
    std::memcpy(lpBuffer, result.data.data(), result.data.size());
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = static_cast<DWORD>(result.data.size());
    if (!NT_SUCCESS(result.status)) {
        desktop.setLastError(Win32Error(result.status));
        return FALSE;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    (void)lpOverlapped;
    Desktop& desktop = Desktop::require("WriteFile");
    auto file = OpenFileOf(desktop, hFile);
    if (!file)
        return FALSE;
    auto* bytes = static_cast<const uint8_t*>(lpBuffer);
    nt::IoResult result = file->write(std::vector<uint8_t>(bytes, bytes + nNumberOfBytesToWrite));
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = static_cast<DWORD>(result.information);
    if (!NT_SUCCESS(result.status)) {
        desktop.setLastError(Win32Error(result.status));
        return FALSE;
    }
    return TRUE;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
    (void)lpOverlapped;
    Desktop& desktop = Desktop::require("DeviceIoControl");
    auto file = OpenFileOf(desktop, hDevice);
    if (!file)
        return FALSE;
    auto* in = static_cast<const uint8_t*>(lpInBuffer);
    nt::IoResult result = file->control(
        dwIoControlCode, std::vector<uint8_t>(in, in + (in ? nInBufferSize : 0)), nOutBufferSize);
    size_t n = std::min<size_t>(result.data.size(), nOutBufferSize);
    if (n)
        std::memcpy(lpOutBuffer, result.data.data(), n);
    if (lpBytesReturned)
        *lpBytesReturned = static_cast<DWORD>(n);
    if (!NT_SUCCESS(result.status)) {
        desktop.setLastError(Win32Error(result.status));
        return FALSE;
    }
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Modules and resources
// ---------------------------------------------------------------------------------------------

namespace win32 {

const DialogTemplate* ModuleResources::dialog(int id) const {
    for (size_t i = 0; i < dialogCount; ++i)
        if (dialogs[i].id == id)
            return &dialogs[i];
    return nullptr;
}

const char* ModuleResources::string(int id) const {
    for (size_t i = 0; i < stringCount; ++i)
        if (strings[i].id == id)
            return strings[i].text;
    return nullptr;
}

const ImageResource* ModuleResources::image(int id) const {
    for (size_t i = 0; i < imageCount; ++i)
        if (images[i].id == id)
            return &images[i];
    return nullptr;
}

const ImageResource* ImageOf(Desktop& desktop, uintptr_t handle, ImageKind kind) {
    Module* module = desktop.moduleOf(reinterpret_cast<HINSTANCE>(handle & ~uintptr_t{0xFFFF}));
    if (!module || !module->resources)
        return nullptr;
    const ImageResource* image = module->resources->image(static_cast<int>(handle & 0x7FFF));
    return image && image->kind == kind ? image : nullptr;
}

} // namespace win32

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
    return Desktop::require("LoadLibrary").loadModule(lpLibFileName ? lpLibFileName : "");
}

BOOL FreeLibrary(HMODULE hLibModule) {
    Desktop::require("FreeLibrary").freeModule(hLibModule);
    return TRUE;
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    Desktop& desktop = Desktop::require("GetProcAddress");
    win32::Module* module = desktop.moduleOf(hModule);
    auto it = module ? module->exports.find(lpProcName ? lpProcName : "") : decltype(module->exports.end()){};
    if (!module || it == module->exports.end()) {
        desktop.setLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(it->second);
}

int LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
    Desktop& desktop = Desktop::require("LoadString");
    win32::Module* module = desktop.moduleOf(hInstance);
    const char* text =
        module && module->resources ? module->resources->string(static_cast<int>(uID)) : nullptr;
    if (!text || cchBufferMax <= 0) {
        if (cchBufferMax > 0)
            lpBuffer[0] = '\0';
        desktop.setLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    size_t n = std::min(std::strlen(text), static_cast<size_t>(cchBufferMax - 1));
    std::memcpy(lpBuffer, text, n);
    lpBuffer[n] = '\0';
    return static_cast<int>(n);
}

HICON LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName) {
    Desktop& desktop = Desktop::require("LoadIcon");
    if (!IS_INTRESOURCE(lpIconName))
        return nullptr;
    uintptr_t handle = reinterpret_cast<uintptr_t>(hInstance) | LOWORD(lpIconName);
    return hInstance && !win32::ImageOf(desktop, handle, win32::ImageKind::Icon)
               ? nullptr
               : reinterpret_cast<HICON>(handle);
}

HBITMAP LoadBitmapA(HINSTANCE hInstance, LPCSTR lpBitmapName) {
    Desktop& desktop = Desktop::require("LoadBitmap");
    if (!IS_INTRESOURCE(lpBitmapName))
        return nullptr;
    uintptr_t base = reinterpret_cast<uintptr_t>(hInstance) | LOWORD(lpBitmapName);
    return win32::ImageOf(desktop, base, win32::ImageKind::Bitmap)
               ? reinterpret_cast<HBITMAP>(base | win32::kBitmapFlag)
               : nullptr;
}

BOOL DeleteObject(HANDLE ho) {
    (void)ho;
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Common controls: image lists
// ---------------------------------------------------------------------------------------------

void InitCommonControls(void) {}

HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int cInitial, int cGrow) {
    (void)flags;
    (void)cInitial;
    (void)cGrow;
    return Desktop::require("ImageList_Create").createImageList(cx, cy);
}

BOOL ImageList_Destroy(HIMAGELIST himl) {
    Desktop::require("ImageList_Destroy").destroyImageList(himl);
    return TRUE;
}

int ImageList_AddMasked(HIMAGELIST himl, HBITMAP hbmImage, COLORREF crMask) {
    Desktop& desktop = Desktop::require("ImageList_AddMasked");
    win32::ImageList* list = desktop.imageList(himl);
    uintptr_t handle = reinterpret_cast<uintptr_t>(hbmImage);
    const win32::ImageResource* bitmap =
        win32::ImageOf(desktop, handle & ~win32::kBitmapFlag, win32::ImageKind::Bitmap);
    if (!list || !bitmap || bitmap->size < 26)
        return -1;
    // A strip of images side by side: as many as the bitmap is wide in images (BITMAPINFOHEADER width).
    int32_t width = 0;
    std::memcpy(&width, bitmap->data + 18, sizeof width);
    int first = static_cast<int>(list->images.size());
    for (int i = 0; i < std::max(1, width / std::max(1, list->cx)); ++i)
        list->images.push_back(win32::ImageList::Image{bitmap->id, i, hbmImage});
    list->mask = crMask;
    return first;
}

int ImageList_Add(HIMAGELIST himl, HBITMAP hbmImage, HBITMAP hbmMask) {
    (void)hbmMask;
    return ImageList_AddMasked(himl, hbmImage, 0);
}

int ImageList_GetImageCount(HIMAGELIST himl) {
    win32::ImageList* list = Desktop::require("ImageList_GetImageCount").imageList(himl);
    return list ? static_cast<int>(list->images.size()) : 0;
}

// ---------------------------------------------------------------------------------------------
// The Control Panel
// ---------------------------------------------------------------------------------------------

namespace win32 {

ControlPanelResult RunControlPanel(const std::string& library, int applet) {
    Desktop& desktop = Desktop::require("the Control Panel");
    ControlPanelResult result;
    HMODULE module = LoadLibraryA(library.c_str());
    if (!module)
        return result;
    auto cpl =
        reinterpret_cast<APPLET_PROC>(reinterpret_cast<void (*)()>(GetProcAddress(module, "CPlApplet")));
    // The Control Panel's own window, the parent of what the applet shows.
    auto frame = std::make_unique<Window>();
    frame->className = "CabinetWClass"; // the Control Panel is an Explorer folder window
    frame->text = "Control Panel";
    frame->proc = ControlProc;
    HWND window = desktop.add(std::move(frame));
    if (cpl && cpl(window, CPL_INIT, 0, 0) != 0) {
        LONG count = cpl(window, CPL_GETCOUNT, 0, 0);
        std::vector<LONG_PTR> data(static_cast<size_t>(std::max<LONG>(0, count)));
        for (LONG i = 0; i < count; ++i) {
            NEWCPLINFOA info{};
            info.dwSize = sizeof info;
            cpl(window, CPL_NEWINQUIRE, i, reinterpret_cast<LPARAM>(&info));
            result.names.push_back(info.szName);
            result.infos.push_back(info.szInfo);
            data[static_cast<size_t>(i)] = info.lData;
        }
        if (applet >= 0 && applet < count) {
            cpl(window, CPL_DBLCLK, applet, data[static_cast<size_t>(applet)]);
            result.opened = true;
        }
        for (LONG i = 0; i < count; ++i)
            cpl(window, CPL_STOP, i, data[static_cast<size_t>(i)]);
        cpl(window, CPL_EXIT, 0, 0);
    }
    desktop.destroy(window);
    FreeLibrary(module);
    return result;
}

int RunProgram(const std::string& commandLine) {
    Desktop& desktop = Desktop::require("a program start");
    // The program's file: the first word, quoted or not.
    std::string file;
    size_t i = 0;
    while (i < commandLine.size() && commandLine[i] == ' ')
        ++i;
    if (i < commandLine.size() && commandLine[i] == '"') {
        size_t end = commandLine.find('"', i + 1);
        file = commandLine.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
    } else {
        file = commandLine.substr(i, commandLine.find(' ', i) - i);
    }
    HMODULE module = LoadLibraryA(file.c_str());
    if (!module)
        return -1;
    auto entry = reinterpret_cast<ProgramEntry>(reinterpret_cast<void*>(GetProcAddress(module, "WinMain")));
    int result = -1;
    if (entry) {
        desktop.setCommandLine(commandLine);
        std::string text = commandLine;
        result = entry(module, nullptr, text.data(), SW_SHOWNORMAL);
    }
    FreeLibrary(module);
    return result;
}

} // namespace win32
