// The Windows 2000 calls of the driver-facing header, served by the machine's plug-and-play and power
// managers.
#include "platform/w2k/pnp.h"

#include <cstring>

using nt::Kernel;
using w2k::PnpManager;

namespace {

std::u16string Text(PUNICODE_STRING s) {
    return s && s->Buffer ? std::u16string(s->Buffer, s->Length / sizeof(WCHAR)) : std::u16string();
}

void RequirePassive(Kernel& k, const char* call) {
    if (k.irql() != PASSIVE_LEVEL)
        k.verifierStop(call, "called above PASSIVE_LEVEL");
}

} // namespace

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    Kernel& k = Kernel::require("IoGetDeviceProperty");
    RequirePassive(k, "IoGetDeviceProperty");
    if (!ResultLength || (BufferLength && !PropertyBuffer))
        k.verifierStop("IoGetDeviceProperty", "no place for the result");
    std::vector<uint8_t> value;
    NTSTATUS status =
        PnpManager::of(k, "IoGetDeviceProperty").deviceProperty(DeviceObject, DeviceProperty, value);
    if (!NT_SUCCESS(status))
        return status;
    *ResultLength = static_cast<ULONG>(value.size());
    if (BufferLength < value.size())
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(PropertyBuffer, value.data(), value.size());
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
    Kernel& k = Kernel::require("IoOpenDeviceRegistryKey");
    RequirePassive(k, "IoOpenDeviceRegistryKey");
    return PnpManager::of(k, "IoOpenDeviceRegistryKey")
        .openDeviceKey(DeviceObject, DevInstKeyType, DesiredAccess, DevInstRegKey);
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    Kernel& k = Kernel::require("IoRegisterDeviceInterface");
    RequirePassive(k, "IoRegisterDeviceInterface");
    if (!InterfaceClassGuid || !SymbolicLinkName)
        k.verifierStop("IoRegisterDeviceInterface", "no interface class or no place for the link name");
    std::u16string link;
    NTSTATUS status =
        PnpManager::of(k, "IoRegisterDeviceInterface")
            .registerInterface(PhysicalDeviceObject, *InterfaceClassGuid, Text(ReferenceString), link);
    if (!NT_SUCCESS(status))
        return status;
    // The name is the caller's to release (RtlFreeUnicodeString).
    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto* buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, static_cast<ULONG>(bytes), nt::makeTag("IoSy")));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    Kernel& k = Kernel::require("IoSetDeviceInterfaceState");
    RequirePassive(k, "IoSetDeviceInterfaceState");
    return PnpManager::of(k, "IoSetDeviceInterfaceState")
        .setInterfaceState(Text(SymbolicLinkName), Enable != 0);
}

NTSTATUS IoOpenDeviceInterfaceRegistryKey(PUNICODE_STRING SymbolicLinkName, ACCESS_MASK DesiredAccess,
                                          PHANDLE DeviceInterfaceKey) {
    Kernel& k = Kernel::require("IoOpenDeviceInterfaceRegistryKey");
    RequirePassive(k, "IoOpenDeviceInterfaceRegistryKey");
    return PnpManager::of(k, "IoOpenDeviceInterfaceRegistryKey")
        .openInterfaceKey(Text(SymbolicLinkName), DesiredAccess, DeviceInterfaceKey);
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    Kernel& k = Kernel::require("PoRequestPowerIrp");
    if (k.irql() > DISPATCH_LEVEL)
        k.verifierStop("PoRequestPowerIrp", "called above DISPATCH_LEVEL");
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
        MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    PnpManager& pnp = PnpManager::of(k, "PoRequestPowerIrp");
    pnp.logPower("requested", MinorFunction, PowerState.DeviceState, DeviceObject);
    // The request goes out at once; its completion, whenever it comes, calls the requester back.
    auto request = k.io().issueSystem(
        DeviceObject, IRP_MJ_POWER, STATUS_NOT_SUPPORTED,
        [&](IO_STACK_LOCATION& s) {
            s.MinorFunction = MinorFunction;
            s.Parameters.Power.Type = DevicePowerState;
            s.Parameters.Power.State = PowerState.DeviceState;
        },
        [DeviceObject, MinorFunction, PowerState, CompletionFunction, Context](nt::IoRequest& done) {
            if (!CompletionFunction)
                return;
            IO_STATUS_BLOCK status{};
            status.Status = done.status;
            status.Information = done.information;
            CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
        });
    if (Irp)
        *Irp = request->irp; // null once the request has completed
    return STATUS_PENDING;
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    Kernel& k = Kernel::require("PoStartNextPowerIrp");
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        k.verifierStop("PoStartNextPowerIrp", "not a power request");
    PnpManager::of(k, "PoStartNextPowerIrp").startNextPowerIrp(Irp);
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Kernel& k = Kernel::require("PoCallDriver");
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        k.verifierStop("PoCallDriver", "not a power request");
    return IoCallDriver(DeviceObject, Irp);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    Kernel& k = Kernel::require("PoSetPowerState");
    POWER_STATE previous{};
    if (Type == DevicePowerState)
        PnpManager::of(k, "PoSetPowerState").setDevicePowerState(DeviceObject, State.DeviceState);
    return previous;
}
