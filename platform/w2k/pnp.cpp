#include "platform/w2k/pnp.h"

#include "platform/nt/registry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace w2k {

namespace {

const std::string kEnum = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
const std::string kControl = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\";
constexpr uint64_t kRequestLimit = 60ull * 10'000'000; // a request still pending after a minute hangs

std::string u8(std::u16string_view text) {
    return nt::toUtf8(text);
}

std::u16string u16(std::string_view text) {
    return nt::toUtf16(text);
}

// The text of a pool string a driver returned, and the block released.
std::u16string TakeString(ULONG_PTR information) {
    auto* text = reinterpret_cast<const char16_t*>(information);
    if (!text)
        return {};
    std::u16string out(text);
    ExFreePool(const_cast<char16_t*>(text));
    return out;
}

std::vector<std::u16string> TakeMultiString(ULONG_PTR information) {
    auto* text = reinterpret_cast<const char16_t*>(information);
    std::vector<std::u16string> out;
    if (!text)
        return out;
    for (const char16_t* p = text; *p; p += std::char_traits<char16_t>::length(p) + 1)
        out.emplace_back(p);
    ExFreePool(const_cast<char16_t*>(text));
    return out;
}

std::vector<PDEVICE_OBJECT> TakeRelations(ULONG_PTR information) {
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    std::vector<PDEVICE_OBJECT> out;
    if (!relations)
        return out;
    for (ULONG i = 0; i < relations->Count; ++i) {
        out.push_back(relations->Objects[i]);
        ObDereferenceObject(relations->Objects[i]);
    }
    ExFreePool(relations);
    return out;
}

// An instance path as part of a name: backslashes become #.
std::u16string Flattened(std::u16string text) {
    std::replace(text.begin(), text.end(), u'\\', u'#');
    return text;
}

std::u16string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", value);
    return u16(text);
}

// A full resource list of one bus with the given partial descriptors.
std::vector<uint8_t> ResourceList(INTERFACE_TYPE bus, ULONG busNumber,
                                  const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& partial) {
    nt::ResourceClaim claim;
    claim.interfaceType = bus;
    claim.busNumber = busNumber;
    claim.resources = partial;
    return nt::ResourceArbiter::resourceList(claim);
}

template <typename Node, typename Visit>
void PostOrder(Node& node, Visit&& visit) {
    for (auto& child : node.children)
        PostOrder(*child, visit);
    visit(node);
}

template <typename Node, typename Visit>
void PreOrder(Node& node, Visit&& visit) {
    visit(node);
    for (auto& child : node.children)
        PreOrder(*child, visit);
}

const char* MinorName(UCHAR minor) {
    static const char* const kNames[] = {"start",
                                         "query-remove",
                                         "remove",
                                         "cancel-remove",
                                         "stop",
                                         "query-stop",
                                         "cancel-stop",
                                         "query-relations",
                                         "query-interface",
                                         "query-capabilities",
                                         "query-resources",
                                         "query-requirements",
                                         "query-text",
                                         "filter-requirements",
                                         "0x0E",
                                         "read-config",
                                         "write-config",
                                         "eject",
                                         "set-lock",
                                         "query-id",
                                         "query-state",
                                         "query-bus-information",
                                         "usage-notification",
                                         "surprise-removal"};
    return minor < std::size(kNames) ? kNames[minor] : "other";
}

} // namespace

std::string_view toString(NodeState state) {
    switch (state) {
    case NodeState::Initialized:
        return "not started";
    case NodeState::Started:
        return "started";
    case NodeState::StopPending:
        return "stop pending";
    case NodeState::Stopped:
        return "stopped";
    case NodeState::RemovePending:
        return "remove pending";
    case NodeState::SurpriseRemoved:
        return "surprise removed";
    case NodeState::Removed:
        return "removed";
    }
    return "?";
}

std::string DeviceNode::enumKey() const {
    return kEnum + u8(instancePath());
}

std::u16string guidText(const GUID& g) {
    char text[48];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return u16(text);
}

std::optional<GUID> parseGuid(std::u16string_view text) {
    std::string t = u8(text);
    GUID g{};
    unsigned d[11];
    if (t.size() != 38 || std::sscanf(t.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1],
                                      &d[2], &d[3], &d[4], &d[5], &d[6], &d[7], &d[8], &d[9], &d[10]) != 11)
        return std::nullopt;
    g.Data1 = d[0];
    g.Data2 = static_cast<USHORT>(d[1]);
    g.Data3 = static_cast<USHORT>(d[2]);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<UCHAR>(d[3 + i]);
    return g;
}

PnpManager::PnpManager(nt::Kernel& kernel) : kernel_(kernel), root_(std::make_unique<DeviceNode>()) {
    root_->deviceId = u"HTREE\\ROOT";
    root_->instanceId = u"0";
    root_->description = u"Root";
    root_->state = NodeState::Started;
    kernel_.setDeviceManager(this);
}

PnpManager::~PnpManager() {
    if (kernel_.deviceManager() == this)
        kernel_.setDeviceManager(nullptr);
}

PnpManager& PnpManager::of(nt::Kernel& kernel, const char* call) {
    auto* manager = dynamic_cast<PnpManager*>(kernel.deviceManager());
    if (!manager)
        kernel.verifierStop(call,
                            "this machine runs no plug-and-play manager (it is not a Windows 2000 machine)");
    return *manager;
}

void PnpManager::log(const std::string& what, DeviceNode& node) {
    requestLog_.push_back(what + " " + u8(node.deviceId));
}

std::u16string PnpManager::nameOf(PDEVICE_OBJECT device) const {
    return kernel_.io().nameOf(device);
}

PnpManager::Sent PnpManager::sendPnp(DeviceNode& node, UCHAR minor,
                                     const std::function<void(IO_STACK_LOCATION&)>& parameters) {
    nt::KernelScope scope(kernel_);
    log(MinorName(minor), node);
    auto request =
        kernel_.io().issueSystem(node.pdo, IRP_MJ_PNP, STATUS_NOT_SUPPORTED, [&](IO_STACK_LOCATION& s) {
            s.MinorFunction = minor;
            if (parameters)
                parameters(s);
        });
    if (!request->completed &&
        !kernel_.runUntil([&] { return request->completed; }, kernel_.now() + kRequestLimit))
        kernel_.verifierStop("plug and play", std::string(MinorName(minor)) + " never completed");
    return {request->status, request->information};
}

static std::string PowerText(UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
    std::string what = minor == IRP_MN_SET_POWER     ? "set-power "
                       : minor == IRP_MN_QUERY_POWER ? "query-power "
                                                     : "power ";
    return what + (type == SystemPowerState ? "S" : "D") + std::to_string(state ? state - 1 : 0);
}

PnpManager::Sent PnpManager::sendPower(DeviceNode& node, UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
    nt::KernelScope scope(kernel_);
    requestLog_.push_back(PowerText(minor, type, state) + " " + u8(node.deviceId));
    auto request =
        kernel_.io().issueSystem(node.pdo, IRP_MJ_POWER, STATUS_NOT_SUPPORTED, [&](IO_STACK_LOCATION& s) {
            s.MinorFunction = minor;
            s.Parameters.Power.Type = type;
            s.Parameters.Power.State = state;
        });
    if (!request->completed &&
        !kernel_.runUntil([&] { return request->completed; }, kernel_.now() + kRequestLimit))
        kernel_.verifierStop("power", "a power request never completed");
    return {request->status, request->information};
}

void PnpManager::logPower(const char* who, UCHAR minor, ULONG state, PDEVICE_OBJECT device) {
    DeviceNode* node = nullptr;
    for (PDEVICE_OBJECT d = device; d && !node; d = kernel_.io().lowerOf(d))
        node = nodeOf(d);
    requestLog_.push_back(std::string(who) + " " + PowerText(minor, DevicePowerState, state) + " " +
                          (node ? u8(node->deviceId) : u8(nameOf(device))));
}

void PnpManager::addBus(BusStandIn& bus) {
    buses_.push_back(&bus);
}

void PnpManager::addRootDevice(PDEVICE_OBJECT pdo) {
    rootDevices_.push_back(pdo);
}

void PnpManager::boot() {
    nt::KernelScope scope(kernel_);
    for (PDEVICE_OBJECT pdo : rootDevices_)
        if (!nodeOf(pdo))
            startNode(adopt(*root_, pdo));
}

DeviceNode& PnpManager::adopt(DeviceNode& parent, PDEVICE_OBJECT pdo) {
    auto node = std::make_unique<DeviceNode>();
    node->parent = &parent;
    node->pdo = pdo;
    DeviceNode& added = *node;
    parent.children.push_back(std::move(node));
    identify(added);
    bindDriver(added);
    writeEnumKey(added);
    std::u16string guid = added.classGuid;
    std::transform(guid.begin(), guid.end(), guid.begin(),
                   [](char16_t c) { return c < 128 ? char16_t(std::toupper(c)) : c; });
    if (auto installer = classInstallers_.find(guid);
        installer != classInstallers_.end() && !added.service.empty())
        installer->second(added);
    return added;
}

void PnpManager::setClassInstaller(std::u16string classGuid, std::function<void(DeviceNode&)> installer) {
    std::transform(classGuid.begin(), classGuid.end(), classGuid.begin(),
                   [](char16_t c) { return c < 128 ? char16_t(std::toupper(c)) : c; });
    classInstallers_[classGuid] = std::move(installer);
}

void PnpManager::identify(DeviceNode& node) {
    auto id = [&](BUS_QUERY_ID_TYPE type) {
        return sendPnp(node, IRP_MN_QUERY_ID,
                       [type](IO_STACK_LOCATION& s) { s.Parameters.QueryId.IdType = type; });
    };
    Sent sent = id(BusQueryDeviceID);
    node.deviceId = NT_SUCCESS(sent.status) ? TakeString(sent.information) : u"UNKNOWN\\DEVICE";
    sent = id(BusQueryHardwareIDs);
    if (NT_SUCCESS(sent.status))
        node.hardwareIds = TakeMultiString(sent.information);
    sent = id(BusQueryCompatibleIDs);
    if (NT_SUCCESS(sent.status))
        node.compatibleIds = TakeMultiString(sent.information);

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    if (NT_SUCCESS(sendPnp(node, IRP_MN_QUERY_CAPABILITIES, [&](IO_STACK_LOCATION& s) {
                       s.Parameters.DeviceCapabilities.Capabilities = &caps;
                   }).status))
        node.capabilities = caps;

    // A device whose bus gives no instance ID, or no unique one, is told apart by its parent.
    sent = id(BusQueryInstanceID);
    std::u16string instance = NT_SUCCESS(sent.status) ? TakeString(sent.information) : u"";
    if (instance.empty() || !node.capabilities.UniqueID) {
        DeviceNode& parent = *node.parent;
        std::string prefixKey = parent.enumKey();
        auto prefix = kernel_.registry().string(prefixKey, "ParentIdPrefix");
        if (!prefix) {
            // A prefix made from the parent's place in the tree: the same on every boot of the machine.
            uint32_t hash = 2166136261u;
            for (char16_t c : parent.instancePath())
                hash = (hash ^ nt::upcase(c)) * 16777619u;
            int depth = 0;
            for (DeviceNode* p = &parent; p; p = p->parent)
                ++depth;
            prefix = std::to_string(depth) + "&" + u8(Hex(hash)) + "&0";
            kernel_.registry().create(prefixKey);
            kernel_.registry().setString(prefixKey, "ParentIdPrefix", *prefix);
        }
        size_t ordinal = 0;
        // Siblings gone before this one came (a restarted parent's earlier children) leave their number.
        for (const auto& sibling : parent.children)
            if (sibling.get() != &node && sibling->deviceId == node.deviceId && sibling->pdo &&
                sibling->state != NodeState::Removed)
                ++ordinal;
        instance = u16(*prefix) + u"&" + (instance.empty() ? Hex(static_cast<uint32_t>(ordinal)) : instance);
    }
    node.instanceId = instance;

    auto text = [&](DEVICE_TEXT_TYPE type) {
        Sent t = sendPnp(node, IRP_MN_QUERY_DEVICE_TEXT, [type](IO_STACK_LOCATION& s) {
            s.Parameters.QueryDeviceText.DeviceTextType = type;
            s.Parameters.QueryDeviceText.LocaleId = 0x409;
        });
        return NT_SUCCESS(t.status) ? TakeString(t.information) : std::u16string();
    };
    node.description = text(DeviceTextDescription);
    node.location = text(DeviceTextLocationInformation);

    sent = sendPnp(node, IRP_MN_QUERY_BUS_INFORMATION, nullptr);
    if (NT_SUCCESS(sent.status) && sent.information) {
        auto* info = reinterpret_cast<PPNP_BUS_INFORMATION>(sent.information);
        node.busInformation = *info;
        ExFreePool(info);
    }
}

void PnpManager::bindDriver(DeviceNode& node) {
    nt::Registry& reg = kernel_.registry();
    std::vector<std::u16string> ids = node.hardwareIds;
    ids.insert(ids.end(), node.compatibleIds.begin(), node.compatibleIds.end());
    for (const auto& id : ids) {
        std::string key = kControl + "CriticalDeviceDatabase\\" + u8(Flattened(id));
        auto service = reg.string(key, "Service");
        if (!service || service->empty())
            continue;
        node.service = *service;
        node.classGuid = u16(reg.string(key, "ClassGUID").value_or(""));
        node.className = u16(reg.string(kControl + "Class\\" + u8(node.classGuid), "Class").value_or(""));
        // The driver key keeps its number across boots, through the device's Enum key.
        auto known = reg.string(node.enumKey(), "Driver");
        if (known && !known->empty()) {
            node.driverKey = u16(*known);
        } else if (!node.classGuid.empty()) {
            std::string classKey = kControl + "Class\\" + u8(node.classGuid);
            for (int n = 0; n < 10000; ++n) {
                char number[8];
                std::snprintf(number, sizeof number, "%04d", n);
                if (!reg.exists(classKey + "\\" + number)) {
                    node.driverKey = node.classGuid + u"\\" + u16(number);
                    reg.create(classKey + "\\" + number);
                    reg.setString(classKey + "\\" + number, "DriverDesc", u8(node.description));
                    reg.setString(classKey + "\\" + number, "MatchingDeviceId", u8(id));
                    break;
                }
            }
        }
        // What the driver's INF adds to its driver key: the providers of its property pages.
        if (!node.driverKey.empty())
            for (const char* value : {"EnumPropPages32", "EnumAdvancedDialog"})
                if (auto provider = reg.string(key, value))
                    reg.setString(kControl + "Class\\" + u8(node.driverKey), value, *provider);
        return;
    }
}

void PnpManager::writeEnumKey(DeviceNode& node) {
    nt::Registry& reg = kernel_.registry();
    std::string key = node.enumKey();
    reg.create(key);
    auto multi = [](const std::vector<std::u16string>& items) {
        std::vector<std::string> out;
        for (const auto& i : items)
            out.push_back(u8(i));
        return out;
    };
    reg.setMultiString(key, "HardwareID", multi(node.hardwareIds));
    if (!node.compatibleIds.empty())
        reg.setMultiString(key, "CompatibleIDs", multi(node.compatibleIds));
    reg.setString(key, "DeviceDesc", u8(node.description));
    if (!node.location.empty())
        reg.setString(key, "LocationInformation", u8(node.location));
    ULONG capabilities =
        (node.capabilities.LockSupported ? 1 : 0) | (node.capabilities.EjectSupported ? 2 : 0) |
        (node.capabilities.Removable ? 4 : 0) | (node.capabilities.DockDevice ? 8 : 0) |
        (node.capabilities.UniqueID ? 0x10 : 0) | (node.capabilities.SilentInstall ? 0x20 : 0) |
        (node.capabilities.RawDeviceOK ? 0x40 : 0) | (node.capabilities.SurpriseRemovalOK ? 0x80 : 0);
    reg.setDword(key, "Capabilities", capabilities);
    if (!reg.dword(key, "ConfigFlags"))
        reg.setDword(key, "ConfigFlags", 0);
    if (!node.service.empty()) {
        reg.setString(key, "Service", node.service);
        reg.setString(key, "ClassGUID", u8(node.classGuid));
        if (!node.className.empty())
            reg.setString(key, "Class", u8(node.className));
        if (!node.driverKey.empty())
            reg.setString(key, "Driver", u8(node.driverKey));
    }
}

void PnpManager::assignResources(DeviceNode& node) {
    node.raw.clear();
    node.translated.clear();
    Sent sent = sendPnp(node, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, nullptr);
    if (!NT_SUCCESS(sent.status) || !sent.information)
        return;
    auto* list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(sent.information);
    node.resourceBus = list->InterfaceType;
    node.resourceBusNumber = list->BusNumber;
    const ULONG count = list->AlternativeLists ? list->List[0].Count : 0;
    for (ULONG i = 0; i < count; ++i) {
        const IO_RESOURCE_DESCRIPTOR& d = list->List[0].Descriptors[i];
        CM_PARTIAL_RESOURCE_DESCRIPTOR raw{};
        raw.Type = d.Type;
        raw.ShareDisposition = d.ShareDisposition;
        raw.Flags = d.Flags;
        CM_PARTIAL_RESOURCE_DESCRIPTOR translated = raw;
        if (d.Type == CmResourceTypeInterrupt) {
            ULONG irq = d.u.Interrupt.MinimumVector;
            raw.u.Interrupt.Level = raw.u.Interrupt.Vector = irq;
            raw.u.Interrupt.Affinity = 1;
            translated.u.Interrupt.Level = nt::IrqlForIrq(irq);
            translated.u.Interrupt.Vector = nt::VectorForIrq(irq);
            translated.u.Interrupt.Affinity = 1;
        } else if (d.Type == CmResourceTypePort || d.Type == CmResourceTypeMemory) {
            // The descriptors are packed: their 64-bit fields are copied by value, never bound by reference.
            raw.u.Generic.Start.QuadPart = d.u.Port.MinimumAddress.QuadPart;
            raw.u.Generic.Length = d.u.Port.Length;
            translated.u.Generic.Start.QuadPart = raw.u.Generic.Start.QuadPart;
            translated.u.Generic.Length = raw.u.Generic.Length;
            if (d.Type == CmResourceTypePort) {
                auto space = kernel_.translate(list->InterfaceType, list->BusNumber,
                                               static_cast<uint64_t>(d.u.Port.MinimumAddress.QuadPart),
                                               nt::Kernel::AddressSpace::Io);
                if (space == nt::Kernel::AddressSpace::Memory) {
                    translated.Type = CmResourceTypeMemory;
                    translated.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
                }
            }
        } else {
            continue;
        }
        node.raw.push_back(raw);
        node.translated.push_back(translated);
    }
    ExFreePool(list);
    nt::ResourceClaim claim;
    claim.owner = node.pdo;
    claim.className = u"PnP Manager";
    claim.driverName = u"PnpManager";
    claim.valueName = nameOf(node.pdo);
    claim.interfaceType = node.resourceBus;
    claim.busNumber = node.resourceBusNumber;
    claim.resources = node.raw;
    node.claimed = kernel_.resources().claim(claim);
}

void PnpManager::releaseResources(DeviceNode& node) {
    if (node.claimed)
        kernel_.resources().release(node.pdo);
    node.claimed = false;
}

bool PnpManager::startNode(DeviceNode& node) {
    nt::KernelScope scope(kernel_);
    if (!node.pdo)
        return false;
    if (!node.driverAdded && !node.service.empty()) {
        PDRIVER_OBJECT driver = kernel_.services().driverObject(node.service);
        if (!driver) {
            uint32_t error = kernel_.services().start(node.service);
            driver = error == nt::kErrorSuccess ? kernel_.services().driverObject(node.service) : nullptr;
        }
        if (!driver) {
            node.problem = kProblemFailedDriverEntry;
            return false;
        }
        PDRIVER_EXTENSION extension = IoDriverExtension(driver);
        NTSTATUS added = STATUS_UNSUCCESSFUL;
        if (extension && extension->AddDevice) {
            nt::ImageScope image(kernel_, kernel_.services().imageOf(node.service));
            added = extension->AddDevice(driver, node.pdo);
        }
        if (!NT_SUCCESS(added)) {
            node.problem = kProblemFailedAdd;
            unloadIfUnused(node.service);
            return false;
        }
        node.driverAdded = true;
    }
    if (!node.driverAdded && !node.capabilities.RawDeviceOK) {
        node.problem = kProblemFailedInstall;
        return false;
    }
    assignResources(node);
    std::vector<uint8_t> raw = ResourceList(node.resourceBus, node.resourceBusNumber, node.raw);
    std::vector<uint8_t> translated = ResourceList(node.resourceBus, node.resourceBusNumber, node.translated);
    bool anyResources = !node.raw.empty();
    Sent sent = sendPnp(node, IRP_MN_START_DEVICE, [&](IO_STACK_LOCATION& s) {
        s.Parameters.StartDevice.AllocatedResources =
            anyResources ? reinterpret_cast<PCM_RESOURCE_LIST>(raw.data()) : nullptr;
        s.Parameters.StartDevice.AllocatedResourcesTranslated =
            anyResources ? reinterpret_cast<PCM_RESOURCE_LIST>(translated.data()) : nullptr;
    });
    if (!NT_SUCCESS(sent.status)) {
        // A stack that failed its start is removed, as Windows removes it: its drivers let go of the
        // device, and the next start adds them again.
        removeSubtree(node, false);
        node.state = NodeState::Initialized;
        node.problem = kProblemFailedStart;
        return false;
    }
    node.problem = kProblemNone;
    node.state = NodeState::Started;
    node.devicePower = PowerDeviceD0;
    // The volatile Control key says the instance is active, and which driver serves it.
    const std::string control = node.enumKey() + "\\Control";
    kernel_.registry().create(control);
    kernel_.registry().setDword(control, "DeviceReference", ++deviceReferences_);
    if (!node.service.empty())
        kernel_.registry().setString(control, "ActiveService", node.service);
    enumerateChildren(node);
    return true;
}

void PnpManager::enumerateChildren(DeviceNode& node) {
    Sent sent = sendPnp(node, IRP_MN_QUERY_DEVICE_RELATIONS,
                        [](IO_STACK_LOCATION& s) { s.Parameters.QueryDeviceRelations.Type = BusRelations; });
    if (!NT_SUCCESS(sent.status))
        return;
    std::vector<PDEVICE_OBJECT> reported = TakeRelations(sent.information);
    for (auto& child : node.children)
        child->present = std::find(reported.begin(), reported.end(), child->pdo) != reported.end();
    // Devices the bus no longer reports are gone, as a device pulled from its slot is.
    std::vector<DeviceNode*> gone;
    for (auto& child : node.children)
        if (!child->present && child->state != NodeState::Removed)
            gone.push_back(child.get());
    for (DeviceNode* child : gone)
        surpriseRemove(*child);
    for (PDEVICE_OBJECT pdo : reported) {
        DeviceNode* known = nullptr;
        for (auto& child : node.children)
            if (child->pdo == pdo)
                known = child.get();
        if (!known)
            startNode(adopt(node, pdo));
        else if (known->state == NodeState::Initialized && known->problem == kProblemNone)
            startNode(*known);
    }
    // A node whose device object went with its parent's removal is forgotten.
    auto& children = node.children;
    for (auto& child : children)
        if (!child->pdo)
            forgetNode(*child);
    children.erase(std::remove_if(children.begin(), children.end(), [](const auto& c) { return !c->pdo; }),
                   children.end());
}

void PnpManager::reenumerate(DeviceNode& node) {
    nt::KernelScope scope(kernel_);
    if (node.state == NodeState::Started)
        enumerateChildren(node);
}

PnpResult PnpManager::stop(DeviceNode& node) {
    nt::KernelScope scope(kernel_);
    std::vector<DeviceNode*> order;
    PostOrder(node, [&](DeviceNode& n) {
        if (n.state == NodeState::Started && n.pdo)
            order.push_back(&n);
    });
    std::vector<DeviceNode*> queried;
    for (DeviceNode* n : order) {
        if (!NT_SUCCESS(sendPnp(*n, IRP_MN_QUERY_STOP_DEVICE, nullptr).status)) {
            for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
                sendPnp(**it, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
                (*it)->state = NodeState::Started;
            }
            return {STATUS_UNSUCCESSFUL, n};
        }
        n->state = NodeState::StopPending;
        queried.push_back(n);
    }
    for (DeviceNode* n : order) {
        sendPnp(*n, IRP_MN_STOP_DEVICE, nullptr);
        n->state = NodeState::Stopped;
        releaseResources(*n);
    }
    return {};
}

PnpResult PnpManager::start(DeviceNode& node) {
    nt::KernelScope scope(kernel_);
    if (node.state == NodeState::Started)
        return {};
    if (node.problem == kProblemDisabled)
        node.problem = kProblemNone;
    if (node.state == NodeState::Removed)
        node.state = NodeState::Initialized;
    if (!startNode(node))
        return {STATUS_UNSUCCESSFUL, &node};
    // Children that were stopped with it start again (the rest were enumerated by the start).
    for (auto& child : node.children)
        if (child->state == NodeState::Stopped)
            start(*child);
    return {};
}

PnpResult PnpManager::restart(DeviceNode& node) {
    PnpResult removed = remove(node, true);
    if (!removed.ok())
        return removed;
    return start(node);
}

PnpResult PnpManager::remove(DeviceNode& node, bool disable) {
    nt::KernelScope scope(kernel_);
    std::vector<DeviceNode*> order;
    PostOrder(node, [&](DeviceNode& n) {
        if (n.pdo && n.state != NodeState::Removed)
            order.push_back(&n);
    });
    std::vector<DeviceNode*> queried;
    for (DeviceNode* n : order) {
        if (n->state != NodeState::Started && n->state != NodeState::Stopped)
            continue;
        if (!NT_SUCCESS(sendPnp(*n, IRP_MN_QUERY_REMOVE_DEVICE, nullptr).status)) {
            for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
                sendPnp(**it, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
                (*it)->state = NodeState::Started;
            }
            return {STATUS_UNSUCCESSFUL, n};
        }
        n->state = NodeState::RemovePending;
        queried.push_back(n);
    }
    removeSubtree(node, false);
    if (disable && node.pdo)
        node.problem = kProblemDisabled;
    return {};
}

void PnpManager::removeSubtree(DeviceNode& node, bool surprise) {
    std::vector<DeviceNode*> order;
    PostOrder(node, [&](DeviceNode& n) {
        if (n.pdo && n.state != NodeState::Removed)
            order.push_back(&n);
    });
    for (DeviceNode* n : order) {
        if (!n->pdo)
            continue; // went with a parent already removed
        std::string service = n->service;
        bool hadDriver = n->driverAdded;
        sendPnp(*n, IRP_MN_REMOVE_DEVICE, nullptr);
        n->state = NodeState::Removed;
        kernel_.registry().removeTree(n->enumKey() + "\\Control");
        n->driverAdded = false;
        releaseResources(*n);
        disableInterfaces(*n);
        if (hadDriver)
            unloadIfUnused(service);
        // A device its bus no longer has: the bus driver deletes its device object.
        if ((surprise || !n->present) && n->pdo)
            for (BusStandIn* bus : buses_)
                if (bus->recordOf(n->pdo)) {
                    PDEVICE_OBJECT pdo = n->pdo;
                    n->pdo = nullptr;
                    bus->destroy(pdo);
                    break;
                }
    }
}

void PnpManager::shutdown() {
    nt::KernelScope scope(kernel_);
    awaitingRemoval_.clear();
    for (auto& child : root_->children)
        removeSubtree(*child, false);
}

void PnpManager::surpriseRemove(DeviceNode& node) {
    nt::KernelScope scope(kernel_);
    PostOrder(node, [&](DeviceNode& n) {
        if (n.pdo && n.state != NodeState::Removed && n.state != NodeState::SurpriseRemoved) {
            sendPnp(n, IRP_MN_SURPRISE_REMOVAL, nullptr);
            n.state = NodeState::SurpriseRemoved;
        }
        n.present = false;
    });
    // The removal itself waits until programs have closed every handle to the subtree.
    if (subtreeHasOpenHandles(node))
        awaitingRemoval_.push_back(&node);
    else
        finishRemoval(node, false);
}

void PnpManager::disableInterfaces(DeviceNode& node) {
    // What a removed device's drivers left enabled, the manager disables, as Windows does.
    for (const auto& entry : interfaces_)
        if (entry->node == &node && entry->enabled)
            setInterfaceState(entry->symbolicLink, false);
}

void PnpManager::forgetNode(DeviceNode& node) {
    PostOrder(node, [&](DeviceNode& n) {
        for (const auto& entry : interfaces_)
            if (entry->node == &n)
                entry->node = nullptr; // registered once, it stays in the registry
        awaitingRemoval_.erase(std::remove(awaitingRemoval_.begin(), awaitingRemoval_.end(), &n),
                               awaitingRemoval_.end());
    });
}

void PnpManager::finishRemoval(DeviceNode& node, bool keepNode) {
    removeSubtree(node, true);
    if (keepNode)
        return;
    forgetNode(node);
    // The bus has no such device any more: its node leaves the tree.
    if (DeviceNode* parent = node.parent) {
        auto& siblings = parent->children;
        siblings.erase(
            std::remove_if(siblings.begin(), siblings.end(), [&](const auto& c) { return c.get() == &node; }),
            siblings.end());
    }
}

bool PnpManager::subtreeHasOpenHandles(DeviceNode& node) const {
    bool open = false;
    PreOrder(node, [&](DeviceNode& n) {
        if (n.pdo && kernel_.io().openHandles(kernel_.io().topOf(n.pdo)) > 0)
            open = true;
    });
    return open;
}

void PnpManager::lastHandleClosed(PDEVICE_OBJECT) {
    std::vector<DeviceNode*> ready;
    for (DeviceNode* n : awaitingRemoval_)
        if (!subtreeHasOpenHandles(*n))
            ready.push_back(n);
    for (DeviceNode* n : ready) {
        awaitingRemoval_.erase(std::find(awaitingRemoval_.begin(), awaitingRemoval_.end(), n));
        finishRemoval(*n, false);
    }
}

void PnpManager::deviceDeleted(PDEVICE_OBJECT device) {
    // A device object a driver deleted (a card's children go with the card): its node has no stack.
    PreOrder(*root_, [&](DeviceNode& n) {
        if (n.pdo == device)
            n.pdo = nullptr;
    });
}

void PnpManager::unloadIfUnused(const std::string& service) {
    PDRIVER_OBJECT driver = kernel_.services().driverObject(service);
    if (driver && !driver->DeviceObject)
        kernel_.services().stop(service);
}

NTSTATUS PnpManager::usageNotification(DeviceNode& node, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath) {
    nt::KernelScope scope(kernel_);
    // The device and each device above it learn of the file, as their drivers pass it up in Windows.
    NTSTATUS first = STATUS_SUCCESS;
    for (DeviceNode* n = &node; n && n->pdo; n = n->parent) {
        Sent sent = sendPnp(*n, IRP_MN_DEVICE_USAGE_NOTIFICATION, [&](IO_STACK_LOCATION& s) {
            s.Parameters.UsageNotification.InPath = inPath;
            s.Parameters.UsageNotification.Type = type;
        });
        if (n == &node)
            first = sent.status;
        if (type == DeviceUsageTypePaging)
            n->pagingCount = inPath ? n->pagingCount + 1 : (n->pagingCount ? n->pagingCount - 1 : 0);
    }
    return first;
}

PnpResult PnpManager::sleep(SYSTEM_POWER_STATE state) {
    nt::KernelScope scope(kernel_);
    std::vector<DeviceNode*> order;
    PostOrder(*root_, [&](DeviceNode& n) {
        if (n.pdo && n.state == NodeState::Started)
            order.push_back(&n);
    });
    for (DeviceNode* n : order)
        if (!NT_SUCCESS(sendPower(*n, IRP_MN_QUERY_POWER, SystemPowerState, state).status))
            return {STATUS_UNSUCCESSFUL, n};
    for (DeviceNode* n : order) {
        sendPower(*n, IRP_MN_SET_POWER, SystemPowerState, state);
        sendPower(*n, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
    }
    return {};
}

PnpResult PnpManager::wake() {
    nt::KernelScope scope(kernel_);
    std::vector<DeviceNode*> order;
    PreOrder(*root_, [&](DeviceNode& n) {
        if (n.pdo && n.state == NodeState::Started)
            order.push_back(&n);
    });
    for (DeviceNode* n : order) {
        sendPower(*n, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD0);
        sendPower(*n, IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking);
    }
    return {};
}

DeviceNode* PnpManager::nodeOf(PDEVICE_OBJECT pdo) const {
    DeviceNode* found = nullptr;
    PreOrder(*root_, [&](DeviceNode& n) {
        if (pdo && n.pdo == pdo)
            found = &n;
    });
    return found;
}

DeviceNode* PnpManager::findByInstancePath(std::u16string_view path) const {
    DeviceNode* found = nullptr;
    PreOrder(*root_, [&](DeviceNode& n) {
        if (nt::namesEqual(n.instancePath(), path))
            found = &n;
    });
    return found;
}

std::vector<DeviceNode*> PnpManager::nodes() const {
    std::vector<DeviceNode*> out;
    PreOrder(*root_, [&](DeviceNode& n) { out.push_back(&n); });
    return out;
}

DeviceInterface* PnpManager::interfaceByLink(std::u16string_view link) const {
    std::u16string wanted = nt::canonicalObjectName(link);
    for (const auto& i : interfaces_)
        if (nt::canonicalObjectName(i->symbolicLink) == wanted)
            return i.get();
    return nullptr;
}

NTSTATUS PnpManager::deviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                                    std::vector<uint8_t>& out) {
    DeviceNode* node = nodeOf(pdo);
    if (!node)
        return STATUS_INVALID_DEVICE_REQUEST;
    auto sz = [&](const std::u16string& text) {
        out = nt::stringData(text);
        return STATUS_SUCCESS;
    };
    auto dword = [&](ULONG value) {
        out = nt::dwordData(value);
        return STATUS_SUCCESS;
    };
    switch (property) {
    case DevicePropertyDeviceDescription:
        return sz(node->description);
    case DevicePropertyHardwareID:
        out = nt::multiStringData(node->hardwareIds);
        return STATUS_SUCCESS;
    case DevicePropertyCompatibleIDs:
        out = nt::multiStringData(node->compatibleIds);
        return STATUS_SUCCESS;
    case DevicePropertyClassName:
        return node->className.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : sz(node->className);
    case DevicePropertyClassGuid:
        return node->classGuid.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : sz(node->classGuid);
    case DevicePropertyDriverKeyName:
        return node->driverKey.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : sz(node->driverKey);
    case DevicePropertyManufacturer:
        return sz(u"(Standard system devices)");
    case DevicePropertyFriendlyName: {
        auto name = kernel_.registry().string(node->enumKey(), "FriendlyName");
        return name ? sz(u16(*name)) : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    case DevicePropertyLocationInformation:
        return node->location.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : sz(node->location);
    case DevicePropertyPhysicalDeviceObjectName:
        return sz(nameOf(pdo));
    case DevicePropertyBusTypeGuid:
        if (!node->busInformation)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        out.resize(sizeof(GUID));
        std::memcpy(out.data(), &node->busInformation->BusTypeGuid, sizeof(GUID));
        return STATUS_SUCCESS;
    case DevicePropertyLegacyBusType:
        return node->busInformation ? dword(static_cast<ULONG>(node->busInformation->LegacyBusType))
                                    : STATUS_OBJECT_NAME_NOT_FOUND;
    case DevicePropertyBusNumber:
        return node->busInformation ? dword(node->busInformation->BusNumber) : STATUS_OBJECT_NAME_NOT_FOUND;
    case DevicePropertyEnumeratorName:
        return sz(node->deviceId.substr(0, node->deviceId.find(u'\\')));
    case DevicePropertyAddress:
        return node->capabilities.Address == 0xFFFFFFFF ? STATUS_OBJECT_NAME_NOT_FOUND
                                                        : dword(node->capabilities.Address);
    case DevicePropertyUINumber:
        return node->capabilities.UINumber == 0xFFFFFFFF ? STATUS_OBJECT_NAME_NOT_FOUND
                                                         : dword(node->capabilities.UINumber);
    default:
        return STATUS_INVALID_PARAMETER_2;
    }
}

NTSTATUS PnpManager::openDeviceKey(PDEVICE_OBJECT pdo, ULONG keyType, ACCESS_MASK access, PHANDLE handle) {
    DeviceNode* node = nodeOf(pdo);
    if (!node)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::string path;
    if (keyType & PLUGPLAY_REGKEY_DEVICE)
        path = node->enumKey() + "\\Device Parameters";
    else if (keyType & PLUGPLAY_REGKEY_DRIVER) {
        if (node->driverKey.empty())
            return STATUS_INVALID_PARAMETER;
        path = kControl + "Class\\" + u8(node->driverKey);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    auto key = kernel_.registry().create(path);
    *handle = reinterpret_cast<HANDLE>(kernel_.registry().openHandle(key, access));
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::registerInterface(PDEVICE_OBJECT pdo, const GUID& guid, std::u16string reference,
                                       std::u16string& link) {
    DeviceNode* node = nodeOf(pdo);
    if (!node)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string guidName = guidText(guid);
    std::u16string lowerGuid = guidName;
    for (char16_t& c : lowerGuid)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    link = u"\\??\\" + Flattened(node->instancePath()) + u"#" + lowerGuid;
    if (!reference.empty())
        link += u"\\" + reference;
    if (DeviceInterface* known = interfaceByLink(link)) {
        // Registered before, for this device instance: the device may have come back since.
        known->node = node;
        link = known->symbolicLink;
        return STATUS_SUCCESS;
    }
    auto entry = std::make_unique<DeviceInterface>();
    entry->classGuid = guid;
    entry->symbolicLink = link;
    entry->node = node;
    std::string classKey = kControl + "DeviceClasses\\" + u8(guidName);
    std::string key = classKey + "\\##?#" + u8(Flattened(node->instancePath())) + "#" + u8(lowerGuid);
    entry->registryKey = u16(key + "\\#" + u8(reference));
    kernel_.registry().create(key);
    kernel_.registry().setString(key, "DeviceInstance", u8(node->instancePath()));
    kernel_.registry().create(u8(entry->registryKey));
    kernel_.registry().setString(u8(entry->registryKey), "SymbolicLink", "\\\\?\\" + u8(link.substr(4)));
    interfaces_.push_back(std::move(entry));
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::setInterfaceState(std::u16string_view link, bool enable) {
    DeviceInterface* entry = interfaceByLink(link);
    if (!entry)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (entry->enabled == enable)
        return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_SUCCESS;
    UNICODE_STRING uniLink{static_cast<USHORT>(entry->symbolicLink.size() * 2),
                           static_cast<USHORT>(entry->symbolicLink.size() * 2), entry->symbolicLink.data()};
    std::string control = u8(entry->registryKey) + "\\Control";
    if (enable) {
        if (!entry->node || !entry->node->pdo)
            return STATUS_INVALID_DEVICE_REQUEST;
        std::u16string target = nameOf(entry->node->pdo);
        UNICODE_STRING uniTarget{static_cast<USHORT>(target.size() * 2),
                                 static_cast<USHORT>(target.size() * 2), target.data()};
        NTSTATUS status = kernel_.io().createLink(&uniLink, &uniTarget);
        if (!NT_SUCCESS(status))
            return status;
        kernel_.registry().create(control);
        kernel_.registry().setDword(control, "Linked", 1);
    } else {
        kernel_.io().deleteLink(&uniLink);
        kernel_.registry().removeTree(control);
    }
    entry->enabled = enable;
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::openInterfaceKey(std::u16string_view link, ACCESS_MASK access, PHANDLE handle) {
    DeviceInterface* entry = interfaceByLink(link);
    if (!entry)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    auto key = kernel_.registry().create(u8(entry->registryKey) + "\\Device Parameters");
    *handle = reinterpret_cast<HANDLE>(kernel_.registry().openHandle(key, access));
    return STATUS_SUCCESS;
}

void PnpManager::startNextPowerIrp(PIRP irp) {
    startedNext_[irp].insert(IoGetCurrentIrpStackLocation(irp)->DeviceObject);
}

void PnpManager::dispatching(PIRP irp, PDEVICE_OBJECT device) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER)
        powerReached_[irp].insert(device);
}

void PnpManager::requestFinished(PIRP irp, UCHAR major) {
    if (major != IRP_MJ_POWER)
        return;
    // A driver that lets a power request go without PoStartNextPowerIrp holds up the next one in Windows.
    const std::set<PDEVICE_OBJECT>& started = startedNext_[irp];
    for (PDEVICE_OBJECT device : powerReached_[irp])
        if (!started.count(device))
            ++powerIrpsWithoutStartNext_;
    powerReached_.erase(irp);
    startedNext_.erase(irp);
}

void PnpManager::setDevicePowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state) {
    // PoSetPowerState from any driver of a stack records the stack's state on its node.
    for (PDEVICE_OBJECT d = device; d; d = kernel_.io().lowerOf(d))
        if (DeviceNode* node = nodeOf(d)) {
            node->devicePower = state;
            return;
        }
}

} // namespace w2k
