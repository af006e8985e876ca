// The device manager stand-in: a device's property sheet with its own pages and its driver's provider
// pages, and the restart a page asks for.
#include "platform/win32/devmgr.h"
#include "platform/win32/text.h"

#include "platform/win32/devmgr/resource.h"
#include "platform/win32/include/setupapi.h"

#include "platform/w2k/pnp.h"

#include <cstring>

extern const win32::ModuleResources DeviceManagerResources;

namespace win32 {

namespace {

constexpr int kMaxPages = 16;

// What the device manager's pages show and act on.
struct SheetContext {
    HDEVINFO set = nullptr;
    SP_DEVINFO_DATA device{};
    std::string name, className, location, status, portName;
    std::vector<HPROPSHEETPAGE> pages;
};

std::string StringValue(HKEY key, const char* name) {
    char data[512] = {};
    DWORD type = 0, size = sizeof data - 1;
    if (key == reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE) ||
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return {};
    return std::string(data, strnlen(data, size));
}

// A provider named "library,entry" in the device's driver key.
FARPROC Provider(SheetContext& context, const char* value, HMODULE& library) {
    HKEY key = SetupDiOpenDevRegKey(context.set, &context.device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    std::string text = StringValue(key, value);
    if (key != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE))
        RegCloseKey(key);
    size_t comma = text.find(',');
    if (comma == std::string::npos)
        return nullptr;
    auto trim = [](std::string s) {
        while (!s.empty() && s.front() == ' ')
            s.erase(s.begin());
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        return s;
    };
    library = LoadLibraryA(trim(text.substr(0, comma)).c_str());
    FARPROC entry = library ? GetProcAddress(library, trim(text.substr(comma + 1)).c_str()) : nullptr;
    if (!entry && library) {
        FreeLibrary(library);
        library = nullptr;
    }
    return entry;
}

SheetContext* ContextOf(HWND page) {
    return reinterpret_cast<SheetContext*>(GetWindowLongPtrA(page, DWLP_USER));
}

INT_PTR CALLBACK GeneralPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)wParam;
    if (message != WM_INITDIALOG)
        return FALSE;
    auto* context = reinterpret_cast<SheetContext*>(reinterpret_cast<PROPSHEETPAGEA*>(lParam)->lParam);
    SetWindowLongPtrA(page, DWLP_USER, reinterpret_cast<LONG_PTR>(context));
    SetDlgItemTextA(page, IDC_DM_NAME, context->name.c_str());
    SetDlgItemTextA(page, IDC_DM_CLASS, context->className.c_str());
    SetDlgItemTextA(page, IDC_DM_LOCATION, context->location.c_str());
    SetDlgItemTextA(page, IDC_DM_STATUS, context->status.c_str());
    return TRUE;
}

INT_PTR CALLBACK PortSettingsPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* context = reinterpret_cast<SheetContext*>(reinterpret_cast<PROPSHEETPAGEA*>(lParam)->lParam);
        SetWindowLongPtrA(page, DWLP_USER, reinterpret_cast<LONG_PTR>(context));
        SetDlgItemTextA(page, IDC_DM_PORTNAME, context->portName.c_str());
        return TRUE;
    }
    if (message == WM_COMMAND && LOWORD(wParam) == IDC_DM_ADVANCED && HIWORD(wParam) == BN_CLICKED) {
        SheetContext* context = ContextOf(page);
        HMODULE library = nullptr;
        auto dialog = reinterpret_cast<PPORT_ADVANCED_DIALOG>(
            reinterpret_cast<void*>(Provider(*context, "EnumAdvancedDialog", library)));
        if (dialog)
            dialog(page, FALSE, context->set, &context->device, nullptr);
        else
            MessageBoxA(page, "This port has no advanced settings.", "Port Settings",
                        MB_OK | MB_ICONINFORMATION);
        if (library)
            FreeLibrary(library);
        return TRUE;
    }
    return FALSE;
}

BOOL CALLBACK AddPage(HPROPSHEETPAGE page, LPARAM lParam) {
    auto* context = reinterpret_cast<SheetContext*>(lParam);
    if (!page || static_cast<int>(context->pages.size()) >= kMaxPages)
        return FALSE;
    context->pages.push_back(page);
    return TRUE;
}

HPROPSHEETPAGE OwnPage(HINSTANCE self, int templateId, DLGPROC proc, SheetContext& context) {
    PROPSHEETPAGEA psp{};
    psp.dwSize = sizeof psp;
    psp.hInstance = self;
    psp.pszTemplate = MAKEINTRESOURCE(templateId);
    psp.pfnDlgProc = proc;
    psp.lParam = reinterpret_cast<LPARAM>(&context);
    return CreatePropertySheetPageA(&psp);
}

std::string StatusOf(const w2k::DeviceNode& node) {
    if (node.state == w2k::NodeState::Started)
        return "This device is working properly.";
    if (node.problem == w2k::kProblemDisabled)
        return "This device is disabled. (Code 22)";
    if (node.problem == w2k::kProblemFailedInstall)
        return "The drivers for this device are not installed. (Code 28)";
    return "This device cannot start. (Code " + std::to_string(node.problem ? node.problem : 10) + ")";
}

w2k::DeviceNode* FindDevice(w2k::PnpManager& pnp, const std::string& which) {
    for (w2k::DeviceNode* node : pnp.nodes()) {
        if (!node->parent || !node->pdo)
            continue;
        std::string friendly;
        if (auto value = Desktop::require("device manager")
                             .kernel()
                             .registry()
                             .string(node->enumKey(), "FriendlyName"))
            friendly = *value;
        if (SameText(Narrow(node->instancePath()), which) ||
            (!friendly.empty() && SameText(friendly, which)) || SameText(Narrow(node->description), which))
            return node;
    }
    return nullptr;
}

// The set's member for the device, in `context.device`.
bool Member(SheetContext& context, const std::string& instancePath) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(context.set, i, &data); ++i) {
        char id[512];
        if (SetupDiGetDeviceInstanceIdA(context.set, &data, id, sizeof id, nullptr) &&
            SameText(id, instancePath)) {
            context.device = data;
            return true;
        }
    }
    return false;
}

} // namespace

DevicePropertiesResult RunDeviceProperties(const std::string& which) {
    DevicePropertiesResult result;
    Desktop& desktop = Desktop::require("the device manager");
    auto* pnp = dynamic_cast<w2k::PnpManager*>(desktop.kernel().deviceManager());
    w2k::DeviceNode* node = pnp ? FindDevice(*pnp, which) : nullptr;
    if (!node) {
        MessageBoxA(nullptr, ("There is no device \"" + which + "\" on this computer.").c_str(),
                    "Device Manager", MB_OK | MB_ICONEXCLAMATION);
        return result;
    }
    result.found = true;
    const std::string instancePath = Narrow(node->instancePath());
    SheetContext context;
    context.set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (context.set == INVALID_HANDLE_VALUE || !Member(context, instancePath))
        return result;
    auto& registry = desktop.kernel().registry();
    context.name = registry.string(node->enumKey(), "FriendlyName").value_or(Narrow(node->description));
    context.className = Narrow(node->className.empty() ? u"Other devices" : node->className);
    context.location = Narrow(node->location);
    context.status = StatusOf(*node);

    HINSTANCE self = desktop.loadModule("devmgr.dll");
    context.pages.push_back(OwnPage(self, IDD_DM_GENERAL, GeneralPageProc, context));
    HKEY deviceKey =
        SetupDiOpenDevRegKey(context.set, &context.device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    context.portName = StringValue(deviceKey, "PortName");
    if (deviceKey != reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE))
        RegCloseKey(deviceKey);
    if (node->className == u"Ports" && context.portName.rfind("COM", 0) == 0)
        context.pages.push_back(OwnPage(self, IDD_DM_PORTSETTINGS, PortSettingsPageProc, context));

    HMODULE provider = nullptr;
    if (auto entry = reinterpret_cast<LPFNADDPROPSHEETPAGES>(
            reinterpret_cast<void*>(Provider(context, "EnumPropPages32", provider)))) {
        SP_PROPSHEETPAGE_REQUEST request{sizeof request, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, context.set,
                                         &context.device};
        entry(&request, AddPage, reinterpret_cast<LPARAM>(&context));
    }
    result.pages = static_cast<int>(context.pages.size());

    PROPSHEETHEADERA header{};
    header.dwSize = sizeof header;
    header.dwFlags = PSH_NOAPPLYNOW;
    header.hInstance = self;
    const std::string caption = context.name + " Properties";
    header.pszCaption = caption.c_str();
    header.nPages = static_cast<UINT>(context.pages.size());
    header.phpage = context.pages.data();
    result.sheetResult = PropertySheetA(&header);

    // A page that changed the device's settings asked for its restart.
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof params;
    if (SetupDiGetDeviceInstallParamsA(context.set, &context.device, &params) &&
        (params.Flags & (DI_PROPERTIES_CHANGE | DI_NEEDRESTART))) {
        if (w2k::DeviceNode* current = pnp->findByInstancePath(node->instancePath())) {
            w2k::PnpResult restarted = pnp->restart(*current);
            result.restarted = restarted.ok();
            if (!restarted.ok()) {
                result.vetoedBy =
                    restarted.vetoedBy ? Narrow(restarted.vetoedBy->instancePath()) : instancePath;
                MessageBoxA(nullptr,
                            "Your hardware settings have changed. You must restart your computer for these "
                            "changes to take effect.",
                            "System Settings Change", MB_OK | MB_ICONINFORMATION);
            }
        }
    }
    SetupDiDestroyDeviceInfoList(context.set);
    if (provider)
        FreeLibrary(provider);
    desktop.freeModule(self);
    return result;
}

Module DeviceManagerModule() {
    return Module{"devmgr.dll", &DeviceManagerResources, {}, nullptr};
}

} // namespace win32
