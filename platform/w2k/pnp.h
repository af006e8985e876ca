// The plug-and-play and power managers of a Windows 2000 machine, and the bus drivers that stand in for
// PCI, the root enumerator and a PCMCIA socket. The managers keep a tree of device nodes, one per
// physical device object a bus reports; they ask each new node for its identity, capabilities and
// resources as Windows does, load the function driver its hardware ID names in the registry's
// critical device database, call its add-device routine, start it with its resources, and carry the
// stop, remove, surprise removal, usage notification and power sequences down each node's stack.
#pragma once

#include "platform/nt/kernel.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace w2k {

// What a bus stand-in knows of one device it reports.
struct BusDevice {
    std::u16string deviceId;   // enumerator\id, e.g. PCI\VEN_10B5&DEV_0020&SUBSYS_...&REV_01
    std::u16string instanceId; // unique below the device ID
    std::vector<std::u16string> hardwareIds, compatibleIds;
    std::u16string description, location;
    INTERFACE_TYPE legacyBus = Internal;
    ULONG busNumber = 0;
    GUID busType{};
    ULONG address = 0xFFFFFFFF;
    bool removable = false, surpriseRemovalOk = false, rawDeviceOk = false, uniqueId = true;
    // The resources the bus assigns it (raw); the manager translates and claims them.
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> resources;
    // For a bus device: the devices behind it, asked for when its bus relations are queried.
    std::function<std::vector<PDEVICE_OBJECT>()> children;
};

// A driver of the machine that owns physical device objects and answers their plug-and-play and
// power requests from a BusDevice record (PCI, root enumerator, PCMCIA socket).
class BusStandIn {
public:
    BusStandIn(nt::Kernel& kernel, std::u16string driverName, std::u16string devicePrefix);
    ~BusStandIn();
    BusStandIn(const BusStandIn&) = delete;
    BusStandIn& operator=(const BusStandIn&) = delete;

    PDEVICE_OBJECT create(BusDevice device);
    void destroy(PDEVICE_OBJECT pdo);
    BusDevice* recordOf(PDEVICE_OBJECT pdo) const;
    PDRIVER_OBJECT driver() { return &driver_; }

private:
    static NTSTATUS dispatchPnp(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS dispatchPower(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS dispatchOther(PDEVICE_OBJECT device, PIRP irp);

    nt::Kernel& kernel_;
    DRIVER_OBJECT driver_{};
    DRIVER_EXTENSION extension_{};
    std::u16string driverName_, devicePrefix_;
    unsigned next_ = 0;
    std::map<PDEVICE_OBJECT, std::unique_ptr<BusDevice>> devices_;
};

enum class NodeState { Initialized, Started, StopPending, Stopped, RemovePending, SurpriseRemoved, Removed };
std::string_view toString(NodeState state);

// Problem codes a device manager shows (CM_PROB_...).
inline constexpr ULONG kProblemNone = 0;
inline constexpr ULONG kProblemFailedStart = 10;
inline constexpr ULONG kProblemDisabled = 22;
inline constexpr ULONG kProblemFailedInstall = 28; // no driver for the device
inline constexpr ULONG kProblemFailedAdd = 31;
inline constexpr ULONG kProblemFailedDriverEntry = 37;

struct DeviceNode {
    DeviceNode* parent = nullptr;
    std::vector<std::unique_ptr<DeviceNode>> children;
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string deviceId, instanceId;
    std::vector<std::u16string> hardwareIds, compatibleIds;
    std::u16string description, location;
    DEVICE_CAPABILITIES capabilities{};
    std::optional<PNP_BUS_INFORMATION> busInformation;
    std::string service;      // the function driver, empty when none is installed
    std::u16string classGuid; // "{...}"
    std::u16string className; // e.g. "Ports"
    std::u16string driverKey; // "{class guid}\0000"
    NodeState state = NodeState::Initialized;
    ULONG problem = kProblemNone;
    bool driverAdded = false; // the function driver's add-device routine attached to the stack
    bool present = true;      // the bus still reports it
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw, translated;
    INTERFACE_TYPE resourceBus = Internal;
    ULONG resourceBusNumber = 0;
    bool claimed = false;
    DEVICE_POWER_STATE devicePower = PowerDeviceD0;
    ULONG pagingCount = 0;

    std::u16string instancePath() const { return deviceId + u"\\" + instanceId; }
    std::string enumKey() const; // \Registry\Machine\System\CurrentControlSet\Enum\<instance path>
};

// One device interface a driver registered.
struct DeviceInterface {
    GUID classGuid{};
    std::u16string symbolicLink; // \??\<instance path>#{guid}
    std::u16string registryKey;  // under Control\DeviceClasses
    DeviceNode* node = nullptr;
    bool enabled = false;
};

// The outcome of a request the manager made, with the device that vetoed it, if one did.
struct PnpResult {
    NTSTATUS status = STATUS_SUCCESS;
    DeviceNode* vetoedBy = nullptr;
    bool ok() const { return NT_SUCCESS(status); }
};

class PnpManager final : public nt::DeviceManagerHooks {
public:
    explicit PnpManager(nt::Kernel& kernel);
    ~PnpManager() override;
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    static PnpManager& of(nt::Kernel& kernel, const char* call);

    // The root of the tree and the devices the root enumerator reports below it; the bus drivers whose
    // devices the manager may find gone.
    DeviceNode& root() { return *root_; }
    void addBus(BusStandIn& bus);
    void addRootDevice(PDEVICE_OBJECT pdo);
    // A class installer, run for every device of its class (a "{...}" GUID) when the device is installed
    // with its driver, before the driver is loaded; it must leave a device it installed before as it is.
    void setClassInstaller(std::u16string classGuid, std::function<void(DeviceNode&)> installer);

    // Builds the tree from the root: every new node is identified, given its driver and started.
    void boot();
    // Asks a node's stack for its bus relations again: new devices join, missing ones are removed.
    void reenumerate(DeviceNode& node);

    // The stop sequence (query stop, then stop, children first) and a start again.
    PnpResult stop(DeviceNode& node);
    PnpResult start(DeviceNode& node);
    // The remove sequence (query remove, then remove, children first); `disable` keeps the node
    // (a device manager's "Disable"), otherwise the device is uninstalled from the tree.
    PnpResult remove(DeviceNode& node, bool disable = false);
    // A device's properties changed: its subtree is removed (with the queries) and started again.
    PnpResult restart(DeviceNode& node);
    // The machine goes away: every device below the root is removed (no queries), so that every
    // driver unloads.
    void shutdown();
    // The device is gone: surprise removal down the subtree, then removal once no handle is open.
    void surpriseRemove(DeviceNode& node);
    // A paging, hibernation or dump file enters or leaves a device's path.
    NTSTATUS usageNotification(DeviceNode& node, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath);

    // System power: query and set a sleeping state for every node, then the devices' D3, children
    // first; waking sets D0 and the working state, parents first.
    PnpResult sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
    PnpResult wake();

    // Lookups.
    DeviceNode* nodeOf(PDEVICE_OBJECT pdo) const;
    DeviceNode* findByInstancePath(std::u16string_view path) const;
    std::vector<DeviceNode*> nodes() const; // depth first, parents before children
    const std::vector<std::unique_ptr<DeviceInterface>>& interfaces() const { return interfaces_; }
    DeviceInterface* interfaceByLink(std::u16string_view link) const;

    // Backing for the DDK calls.
    NTSTATUS deviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, std::vector<uint8_t>& out);
    NTSTATUS openDeviceKey(PDEVICE_OBJECT pdo, ULONG keyType, ACCESS_MASK access, PHANDLE handle);
    NTSTATUS registerInterface(PDEVICE_OBJECT pdo, const GUID& guid, std::u16string reference,
                               std::u16string& link);
    NTSTATUS setInterfaceState(std::u16string_view link, bool enable);
    NTSTATUS openInterfaceKey(std::u16string_view link, ACCESS_MASK access, PHANDLE handle);
    // Power bookkeeping: every driver a power request reaches must call PoStartNextPowerIrp for it
    // before it completes; PoSetPowerState records a stack's device state on its node.
    void startNextPowerIrp(PIRP irp);
    void setDevicePowerState(PDEVICE_OBJECT device, DEVICE_POWER_STATE state);
    // How often a driver let a power request go without PoStartNextPowerIrp.
    size_t powerIrpsWithoutStartNext() const { return powerIrpsWithoutStartNext_; }
    // A power request a driver asked for (PoRequestPowerIrp) or a bus driver carried out, for the log.
    void logPower(const char* who, UCHAR minor, ULONG state, PDEVICE_OBJECT device);

    // The requests the manager sent, one line each (minor function and device), for tests and cvsim.
    const std::vector<std::string>& requestLog() const { return requestLog_; }
    void clearRequestLog() { requestLog_.clear(); }

    // DeviceManagerHooks.
    void deviceDeleted(PDEVICE_OBJECT device) override;
    void lastHandleClosed(PDEVICE_OBJECT device) override;
    void requestFinished(PIRP irp, UCHAR major) override;
    void dispatching(PIRP irp, PDEVICE_OBJECT device) override;

private:
    struct Sent {
        NTSTATUS status;
        ULONG_PTR information;
    };
    Sent sendPnp(DeviceNode& node, UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& parameters);
    Sent sendPower(DeviceNode& node, UCHAR minor, POWER_STATE_TYPE type, ULONG state);
    DeviceNode& adopt(DeviceNode& parent, PDEVICE_OBJECT pdo);
    void identify(DeviceNode& node);
    void writeEnumKey(DeviceNode& node);
    void bindDriver(DeviceNode& node);
    void assignResources(DeviceNode& node);
    void releaseResources(DeviceNode& node);
    bool startNode(DeviceNode& node);
    void enumerateChildren(DeviceNode& node);
    void removeSubtree(DeviceNode& node, bool surprise);
    void finishRemoval(DeviceNode& node, bool keepNode);
    void disableInterfaces(DeviceNode& node);
    // A node about to leave the tree: nothing may keep pointing at it.
    void forgetNode(DeviceNode& node);
    void unloadIfUnused(const std::string& service);
    bool subtreeHasOpenHandles(DeviceNode& node) const;
    std::u16string nameOf(PDEVICE_OBJECT device) const;
    void log(const std::string& what, DeviceNode& node);

    nt::Kernel& kernel_;
    std::unique_ptr<DeviceNode> root_;
    std::vector<PDEVICE_OBJECT> rootDevices_;
    std::vector<BusStandIn*> buses_;
    std::vector<std::unique_ptr<DeviceInterface>> interfaces_;
    // Per power request in flight: the devices it reached, and those whose driver started the next.
    std::map<PIRP, std::set<PDEVICE_OBJECT>> powerReached_, startedNext_;
    size_t powerIrpsWithoutStartNext_ = 0;
    std::vector<DeviceNode*> awaitingRemoval_;
    std::vector<std::string> requestLog_;
    std::map<std::u16string, std::function<void(DeviceNode&)>> classInstallers_; // by upper-case GUID
    ULONG deviceReferences_ = 0;
};

// The GUID in registry form, "{4855010F-0C01-4120-B4AA-8E932B23814E}", and back.
std::u16string guidText(const GUID& guid);
std::optional<GUID> parseGuid(std::u16string_view text);

} // namespace w2k
