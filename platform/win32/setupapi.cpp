// The device installer's calls over the plug-and-play manager: a device information set is a list of
// device instances (and of their interfaces) taken when it is made; every call looks the instance up
// again, so a device that went away since is refused rather than touched. Device properties and keys are
// the instance's values in the machine's registry, reached through the registry API with the caller's
// rights.
#include "platform/win32/desktop.h"
#include "platform/win32/text.h"
#include "platform/win32/include/setupapi.h"

#include "platform/w2k/pnp.h"

#include <cstddef>
#include <cstring>

using win32::Desktop;

namespace {

using win32::Narrow;
using win32::SameText;

struct InfoSet {
    struct Device {
        std::u16string instancePath;
        GUID classGuid{};
        SP_DEVINSTALL_PARAMS_A params{};
    };
    struct Interface {
        std::u16string link;
        GUID guid{};
        size_t device = 0;
        bool active = false;
    };
    std::vector<Device> devices;
    std::vector<Interface> interfaces;
};

bool ParseGuid(const std::string& text, GUID& g) {
    unsigned d[11];
    if (text.size() != 38 ||
        std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2], &d[3],
                    &d[4], &d[5], &d[6], &d[7], &d[8], &d[9], &d[10]) != 11)
        return false;
    g.Data1 = d[0];
    g.Data2 = static_cast<uint16_t>(d[1]);
    g.Data3 = static_cast<uint16_t>(d[2]);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<uint8_t>(d[3 + i]);
    return true;
}

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

w2k::PnpManager* Manager(Desktop& desktop) {
    return dynamic_cast<w2k::PnpManager*>(desktop.kernel().deviceManager());
}

std::shared_ptr<InfoSet> SetOf(Desktop& desktop, HDEVINFO handle) {
    auto set = std::static_pointer_cast<InfoSet>(desktop.handle(handle, "devinfo"));
    if (!set)
        desktop.setLastError(ERROR_INVALID_HANDLE);
    return set;
}

// The set's device a caller's record names, if the device is still there; its node in `node`.
InfoSet::Device* DeviceOf(Desktop& desktop, InfoSet& set, PSP_DEVINFO_DATA data, w2k::DeviceNode** node) {
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        desktop.setLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    if (data->DevInst == 0 || data->DevInst > set.devices.size()) {
        desktop.setLastError(ERROR_NO_SUCH_DEVINST);
        return nullptr;
    }
    InfoSet::Device& device = set.devices[data->DevInst - 1];
    w2k::PnpManager* pnp = Manager(desktop);
    w2k::DeviceNode* found = pnp ? pnp->findByInstancePath(device.instancePath) : nullptr;
    if (!found) {
        desktop.setLastError(ERROR_NO_SUCH_DEVINST);
        return nullptr;
    }
    if (node)
        *node = found;
    return &device;
}

// A node's key path below HKEY_LOCAL_MACHINE.
std::string MachineRelative(const std::string& kernelPath) {
    const std::string prefix = "\\Registry\\Machine\\";
    return SameText(kernelPath.substr(0, prefix.size()), prefix) ? kernelPath.substr(prefix.size())
                                                                 : kernelPath;
}

size_t AddDevice(InfoSet& set, const w2k::DeviceNode& node) {
    for (size_t i = 0; i < set.devices.size(); ++i)
        if (set.devices[i].instancePath == node.instancePath())
            return i;
    InfoSet::Device device;
    device.instancePath = node.instancePath();
    ParseGuid(Narrow(node.classGuid), device.classGuid);
    device.params.cbSize = sizeof device.params;
    set.devices.push_back(device);
    return set.devices.size() - 1;
}

bool Present(const w2k::DeviceNode& node) {
    return node.present && node.state != w2k::NodeState::Removed &&
           node.state != w2k::NodeState::SurpriseRemoved;
}

LONG CopyOut(const std::vector<BYTE>& data, PBYTE buffer, DWORD size, PDWORD required) {
    if (required)
        *required = static_cast<DWORD>(data.size());
    if (!buffer || size < data.size())
        return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, data.data(), data.size());
    return ERROR_SUCCESS;
}

} // namespace

HDEVINFO SetupDiGetClassDevsA(const GUID* ClassGuid, LPCSTR Enumerator, HWND hwndParent, DWORD Flags) {
    (void)hwndParent;
    Desktop& desktop = Desktop::require("SetupDiGetClassDevs");
    w2k::PnpManager* pnp = Manager(desktop);
    const bool all = (Flags & DIGCF_ALLCLASSES) != 0;
    if (!pnp || (!ClassGuid && !all)) {
        desktop.setLastError(pnp ? ERROR_INVALID_PARAMETER : ERROR_INVALID_CLASS);
        return INVALID_HANDLE_VALUE;
    }
    const bool present = (Flags & DIGCF_PRESENT) != 0;
    const std::string enumerator = Enumerator ? Enumerator : "";
    auto set = std::make_shared<InfoSet>();
    auto enumeratedBy = [&](const w2k::DeviceNode& node) {
        const std::string id = Narrow(node.deviceId);
        return enumerator.empty() || SameText(id.substr(0, id.find('\\')), enumerator);
    };
    if (Flags & DIGCF_DEVICEINTERFACE) {
        for (const auto& entry : pnp->interfaces()) {
            if ((!all && !SameGuid(entry->classGuid, *ClassGuid)) || !entry->node ||
                !enumeratedBy(*entry->node))
                continue;
            if (present && (!entry->enabled || !Present(*entry->node)))
                continue;
            size_t device = AddDevice(*set, *entry->node);
            set->interfaces.push_back({entry->symbolicLink, entry->classGuid, device, entry->enabled});
        }
    } else {
        for (w2k::DeviceNode* node : pnp->nodes()) {
            if (!node->parent || !enumeratedBy(*node) || (present && !Present(*node)))
                continue;
            GUID guid{};
            const bool hasClass = ParseGuid(Narrow(node->classGuid), guid);
            if (all || (hasClass && SameGuid(guid, *ClassGuid)))
                AddDevice(*set, *node);
        }
    }
    return desktop.addHandle(set, "devinfo");
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    Desktop& desktop = Desktop::require("SetupDiDestroyDeviceInfoList");
    if (!SetOf(desktop, DeviceInfoSet))
        return FALSE;
    desktop.closeHandle(DeviceInfoSet);
    return TRUE;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
    Desktop& desktop = Desktop::require("SetupDiEnumDeviceInfo");
    auto set = SetOf(desktop, DeviceInfoSet);
    if (!set)
        return FALSE;
    if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        desktop.setLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (MemberIndex >= set->devices.size()) {
        desktop.setLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    DeviceInfoData->ClassGuid = set->devices[MemberIndex].classGuid;
    DeviceInfoData->DevInst = MemberIndex + 1;
    DeviceInfoData->Reserved = MemberIndex + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 LPSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
    Desktop& desktop = Desktop::require("SetupDiGetDeviceInstanceId");
    auto set = SetOf(desktop, DeviceInfoSet);
    InfoSet::Device* device = set ? DeviceOf(desktop, *set, DeviceInfoData, nullptr) : nullptr;
    if (!device)
        return FALSE;
    const std::string id = Narrow(device->instancePath);
    if (RequiredSize)
        *RequiredSize = static_cast<DWORD>(id.size() + 1);
    if (!DeviceInstanceId || DeviceInstanceIdSize < id.size() + 1) {
        desktop.setLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInstanceId, id.c_str(), id.size() + 1);
    return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                       DWORD PropertyBufferSize, PDWORD RequiredSize) {
    Desktop& desktop = Desktop::require("SetupDiGetDeviceRegistryProperty");
    auto set = SetOf(desktop, DeviceInfoSet);
    w2k::DeviceNode* node = nullptr;
    if (!set || !DeviceOf(desktop, *set, DeviceInfoData, &node))
        return FALSE;
    auto text = [](const std::string& s) {
        std::vector<BYTE> data(s.begin(), s.end());
        data.push_back(0);
        return data;
    };
    std::vector<BYTE> data;
    DWORD type = REG_SZ;
    const char* value = nullptr;
    switch (Property) {
    case SPDRP_FRIENDLYNAME:
        value = "FriendlyName";
        break;
    case SPDRP_DEVICEDESC:
        value = "DeviceDesc";
        break;
    case SPDRP_HARDWAREID:
        type = REG_MULTI_SZ;
        for (const auto& id : node->hardwareIds) {
            std::vector<BYTE> one = text(Narrow(id));
            data.insert(data.end(), one.begin(), one.end());
        }
        data.push_back(0);
        break;
    case SPDRP_SERVICE:
        data = text(node->service);
        break;
    case SPDRP_CLASS:
        data = text(Narrow(node->className));
        break;
    case SPDRP_CLASSGUID:
        data = text(Narrow(node->classGuid));
        break;
    case SPDRP_DRIVER:
        data = text(Narrow(node->driverKey));
        break;
    default:
        desktop.setLastError(ERROR_INVALID_REG_PROPERTY);
        return FALSE;
    }
    if (value) {
        HKEY key = nullptr;
        const std::string path = MachineRelative(node->enumKey());
        DWORD size = 0;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS ||
            RegQueryValueExA(key, value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
            if (key)
                RegCloseKey(key);
            desktop.setLastError(ERROR_INVALID_DATA); // the device has no such property
            return FALSE;
        }
        data.resize(size);
        RegQueryValueExA(key, value, nullptr, &type, data.data(), &size);
        RegCloseKey(key);
    }
    if (PropertyRegDataType)
        *PropertyRegDataType = type;
    LONG result = CopyOut(data, PropertyBuffer, PropertyBufferSize, RequiredSize);
    if (result != ERROR_SUCCESS) {
        desktop.setLastError(result);
        return FALSE;
    }
    return TRUE;
}

BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                       DWORD Property, const BYTE* PropertyBuffer, DWORD PropertyBufferSize) {
    Desktop& desktop = Desktop::require("SetupDiSetDeviceRegistryProperty");
    auto set = SetOf(desktop, DeviceInfoSet);
    w2k::DeviceNode* node = nullptr;
    if (!set || !DeviceOf(desktop, *set, DeviceInfoData, &node))
        return FALSE;
    if (Property != SPDRP_FRIENDLYNAME && Property != SPDRP_DEVICEDESC) {
        desktop.setLastError(ERROR_INVALID_REG_PROPERTY);
        return FALSE;
    }
    HKEY key = nullptr;
    const std::string path = MachineRelative(node->enumKey());
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key);
    if (result == ERROR_SUCCESS) {
        const char* value = Property == SPDRP_FRIENDLYNAME ? "FriendlyName" : "DeviceDesc";
        result = PropertyBuffer ? RegSetValueExA(key, value, 0, REG_SZ, PropertyBuffer, PropertyBufferSize)
                                : RegDeleteValueA(key, value);
        RegCloseKey(key);
    }
    if (result != ERROR_SUCCESS) {
        desktop.setLastError(result);
        return FALSE;
    }
    return TRUE;
}

HKEY SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                          DWORD HwProfile, DWORD KeyType, REGSAM samDesired) {
    (void)HwProfile;
    Desktop& desktop = Desktop::require("SetupDiOpenDevRegKey");
    auto set = SetOf(desktop, DeviceInfoSet);
    w2k::DeviceNode* node = nullptr;
    if (!set || !DeviceOf(desktop, *set, DeviceInfoData, &node))
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    if (Scope != DICS_FLAG_GLOBAL || (KeyType != DIREG_DEV && KeyType != DIREG_DRV)) {
        desktop.setLastError(ERROR_INVALID_FLAGS);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    std::string path;
    if (KeyType == DIREG_DEV)
        path = MachineRelative(node->enumKey()) + "\\Device Parameters";
    else if (!node->driverKey.empty())
        path = "SYSTEM\\CurrentControlSet\\Control\\Class\\" + Narrow(node->driverKey);
    HKEY key = nullptr;
    LONG result = path.empty() ? ERROR_FILE_NOT_FOUND
                               : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, samDesired, &key);
    if (result != ERROR_SUCCESS) {
        desktop.setLastError(result == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DOES_NOT_EXIST : result);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return key;
}

BOOL SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                    PSP_DEVINSTALL_PARAMS_A DeviceInstallParams) {
    Desktop& desktop = Desktop::require("SetupDiGetDeviceInstallParams");
    auto set = SetOf(desktop, DeviceInfoSet);
    InfoSet::Device* device = set ? DeviceOf(desktop, *set, DeviceInfoData, nullptr) : nullptr;
    if (!device)
        return FALSE;
    if (!DeviceInstallParams || DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A)) {
        desktop.setLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    *DeviceInstallParams = device->params;
    return TRUE;
}

BOOL SetupDiSetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                    PSP_DEVINSTALL_PARAMS_A DeviceInstallParams) {
    Desktop& desktop = Desktop::require("SetupDiSetDeviceInstallParams");
    auto set = SetOf(desktop, DeviceInfoSet);
    InfoSet::Device* device = set ? DeviceOf(desktop, *set, DeviceInfoData, nullptr) : nullptr;
    if (!device)
        return FALSE;
    if (!DeviceInstallParams || DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A)) {
        desktop.setLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    device->params = *DeviceInstallParams;
    return TRUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    Desktop& desktop = Desktop::require("SetupDiEnumDeviceInterfaces");
    auto set = SetOf(desktop, DeviceInfoSet);
    if (!set)
        return FALSE;
    if (!InterfaceClassGuid || !DeviceInterfaceData ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        desktop.setLastError(InterfaceClassGuid ? ERROR_INVALID_USER_BUFFER : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    size_t onlyDevice = SIZE_MAX;
    if (DeviceInfoData) {
        if (!DeviceOf(desktop, *set, DeviceInfoData, nullptr))
            return FALSE;
        onlyDevice = DeviceInfoData->DevInst - 1;
    }
    DWORD index = 0;
    for (size_t i = 0; i < set->interfaces.size(); ++i) {
        const auto& entry = set->interfaces[i];
        if (!SameGuid(entry.guid, *InterfaceClassGuid) ||
            (onlyDevice != SIZE_MAX && entry.device != onlyDevice))
            continue;
        if (index++ != MemberIndex)
            continue;
        DeviceInterfaceData->InterfaceClassGuid = entry.guid;
        DeviceInterfaceData->Flags = entry.active ? SPINT_ACTIVE : 0;
        DeviceInterfaceData->Reserved = i + 1;
        return TRUE;
    }
    desktop.setLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

namespace {

const InfoSet::Interface* InterfaceOf(Desktop& desktop, InfoSet& set, PSP_DEVICE_INTERFACE_DATA data) {
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        desktop.setLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    if (data->Reserved == 0 || data->Reserved > set.interfaces.size()) {
        desktop.setLastError(ERROR_NO_SUCH_DEVICE_INTERFACE);
        return nullptr;
    }
    return &set.interfaces[data->Reserved - 1];
}

} // namespace

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    Desktop& desktop = Desktop::require("SetupDiGetDeviceInterfaceDetail");
    auto set = SetOf(desktop, DeviceInfoSet);
    const InfoSet::Interface* entry = set ? InterfaceOf(desktop, *set, DeviceInterfaceData) : nullptr;
    if (!entry)
        return FALSE;
    // The path a program opens: the link's \??\ becomes \\?\.
    const std::string path = "\\\\?\\" + Narrow(std::u16string_view(entry->link).substr(4));
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (RequiredSize)
        *RequiredSize = needed;
    if (DeviceInterfaceDetailData &&
        DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        desktop.setLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!DeviceInterfaceDetailData || DeviceInterfaceDetailDataSize < needed) {
        desktop.setLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
    if (DeviceInfoData) {
        if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            desktop.setLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        DeviceInfoData->ClassGuid = set->devices[entry->device].classGuid;
        DeviceInfoData->DevInst = static_cast<DWORD>(entry->device + 1);
        DeviceInfoData->Reserved = entry->device + 1;
    }
    return TRUE;
}

HKEY SetupDiOpenDeviceInterfaceRegKey(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      DWORD Reserved, REGSAM samDesired) {
    (void)Reserved;
    Desktop& desktop = Desktop::require("SetupDiOpenDeviceInterfaceRegKey");
    auto set = SetOf(desktop, DeviceInfoSet);
    const InfoSet::Interface* entry = set ? InterfaceOf(desktop, *set, DeviceInterfaceData) : nullptr;
    w2k::PnpManager* pnp = Manager(desktop);
    const w2k::DeviceInterface* known = entry && pnp ? pnp->interfaceByLink(entry->link) : nullptr;
    if (!known) {
        if (entry)
            desktop.setLastError(ERROR_NO_SUCH_DEVICE_INTERFACE);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    // The key the driver reaches with IoOpenDeviceInterfaceRegistryKey.
    const std::string path = MachineRelative(Narrow(known->registryKey)) + "\\Device Parameters";
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, samDesired, &key);
    if (result != ERROR_SUCCESS) {
        desktop.setLastError(result == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DOES_NOT_EXIST : result);
        return reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return key;
}
