// The bus drivers the machine stands in for: each owns physical device objects and answers their
// plug-and-play and power requests from what it knows of the device (BusDevice).
#include "platform/w2k/pnp.h"

#include <cstring>

namespace w2k {

namespace {

// A block of the pool, filled with `bytes`, as a bus driver hands results to the system.
PVOID PoolCopy(const void* bytes, size_t size) {
    PVOID block = ExAllocatePoolWithTag(PagedPool, static_cast<ULONG>(size), nt::makeTag("PnpB"));
    if (block)
        std::memcpy(block, bytes, size);
    return block;
}

PVOID PoolString(const std::u16string& text) {
    std::u16string terminated = text + u'\0';
    return PoolCopy(terminated.data(), terminated.size() * sizeof(char16_t));
}

PVOID PoolMultiString(const std::vector<std::u16string>& items) {
    std::u16string all;
    for (const auto& item : items)
        all += item + u'\0';
    all += u'\0';
    return PoolCopy(all.data(), all.size() * sizeof(char16_t));
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Completes a query with a pool result, or with STATUS_INSUFFICIENT_RESOURCES when there was none.
NTSTATUS CompleteWith(PIRP irp, PVOID result) {
    return result ? Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(result))
                  : Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
}

PVOID Requirements(const BusDevice& device) {
    size_t count = device.resources.size();
    size_t size = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List[0].Descriptors) +
                  (count ? count : 1) * sizeof(IO_RESOURCE_DESCRIPTOR);
    std::vector<uint8_t> bytes(size);
    auto* list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(bytes.data());
    list->ListSize = static_cast<ULONG>(size);
    list->InterfaceType = device.legacyBus;
    list->BusNumber = device.busNumber;
    list->AlternativeLists = 1;
    list->List[0].Version = list->List[0].Revision = 1;
    list->List[0].Count = static_cast<ULONG>(count);
    for (size_t i = 0; i < count; ++i) {
        const CM_PARTIAL_RESOURCE_DESCRIPTOR& r = device.resources[i];
        IO_RESOURCE_DESCRIPTOR& d = list->List[0].Descriptors[i];
        d.Type = r.Type;
        d.ShareDisposition = r.ShareDisposition;
        d.Flags = r.Flags;
        if (r.Type == CmResourceTypeInterrupt) {
            d.u.Interrupt.MinimumVector = d.u.Interrupt.MaximumVector = r.u.Interrupt.Level;
        } else {
            // A fixed range: the bus has decided where the device decodes.
            d.u.Port.Length = r.u.Generic.Length;
            d.u.Port.Alignment = 1;
            d.u.Port.MinimumAddress.QuadPart = r.u.Generic.Start.QuadPart; // packed: by value
            d.u.Port.MaximumAddress.QuadPart = r.u.Generic.Start.QuadPart + r.u.Generic.Length - 1;
        }
    }
    return PoolCopy(bytes.data(), size);
}

PVOID Relations(const std::vector<PDEVICE_OBJECT>& devices) {
    size_t size = offsetof(DEVICE_RELATIONS, Objects) + (devices.size() + 1) * sizeof(PDEVICE_OBJECT);
    std::vector<uint8_t> bytes(size);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(bytes.data());
    relations->Count = static_cast<ULONG>(devices.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        ObReferenceObject(devices[i]);
        relations->Objects[i] = devices[i];
    }
    return PoolCopy(bytes.data(), size);
}

} // namespace

BusStandIn::BusStandIn(nt::Kernel& kernel, std::u16string driverName, std::u16string devicePrefix)
    : kernel_(kernel), driverName_(u"\\Driver\\" + driverName), devicePrefix_(std::move(devicePrefix)) {
    driver_.Type = IO_TYPE_DRIVER;
    driver_.DriverName.Buffer = driverName_.data();
    driver_.DriverName.Length = driver_.DriverName.MaximumLength =
        static_cast<USHORT>(driverName_.size() * sizeof(char16_t));
    driver_.DriverExtension = &extension_;
    driver_.DriverSection = this; // the dispatch routines find their stand-in here
    extension_.DriverObject = &driver_;
    for (auto& f : driver_.MajorFunction)
        f = dispatchOther;
    driver_.MajorFunction[IRP_MJ_PNP] = dispatchPnp;
    driver_.MajorFunction[IRP_MJ_POWER] = dispatchPower;
}

BusStandIn::~BusStandIn() = default;

PDEVICE_OBJECT BusStandIn::create(BusDevice device) {
    nt::KernelScope scope(kernel_);
    char16_t number[16];
    unsigned n = next_++;
    for (int i = 3; i >= 0; --i, n /= 10)
        number[i] = static_cast<char16_t>(u'0' + n % 10);
    std::u16string name = u"\\Device\\" + devicePrefix_ + std::u16string(number, 4);
    UNICODE_STRING uniName{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                           name.data()};
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(&driver_, 0, &uniName, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo)))
        return nullptr;
    auto record = std::make_unique<BusDevice>(std::move(device));
    pdo->DeviceExtension = record.get();
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    devices_[pdo] = std::move(record);
    return pdo;
}

void BusStandIn::destroy(PDEVICE_OBJECT pdo) {
    nt::KernelScope scope(kernel_);
    if (devices_.erase(pdo))
        IoDeleteDevice(pdo);
}

BusDevice* BusStandIn::recordOf(PDEVICE_OBJECT pdo) const {
    auto it = devices_.find(pdo);
    return it == devices_.end() ? nullptr : it->second.get();
}

NTSTATUS BusStandIn::dispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* self = static_cast<BusStandIn*>(device->DriverObject->DriverSection);
    BusDevice* record = self->recordOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (!record)
        return Complete(irp, STATUS_NO_SUCH_DEVICE);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_ID:
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
            return CompleteWith(irp, PoolString(record->deviceId));
        case BusQueryInstanceID:
            return CompleteWith(irp, PoolString(record->instanceId));
        case BusQueryHardwareIDs:
            return CompleteWith(irp, PoolMultiString(record->hardwareIds));
        case BusQueryCompatibleIDs:
            if (!record->compatibleIds.empty())
                return CompleteWith(irp, PoolMultiString(record->compatibleIds));
            break;
        default:
            break;
        }
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription)
            return CompleteWith(irp, PoolString(record->description));
        if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextLocationInformation &&
            !record->location.empty())
            return CompleteWith(irp, PoolString(record->location));
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = record->removable;
        caps->SurpriseRemovalOK = record->surpriseRemovalOk;
        caps->RawDeviceOK = record->rawDeviceOk;
        caps->UniqueID = record->uniqueId;
        caps->Address = record->address;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s)
            caps->DeviceState[s] = PowerDeviceD3;
        return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_QUERY_BUS_INFORMATION: {
        PNP_BUS_INFORMATION info{record->busType, record->legacyBus, record->busNumber};
        return CompleteWith(irp, PoolCopy(&info, sizeof info));
    }
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        if (!record->resources.empty())
            return CompleteWith(irp, Requirements(*record));
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
            return CompleteWith(irp, Relations({device}));
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations && record->children &&
            !irp->IoStatus.Information)
            return CompleteWith(irp, Relations(record->children()));
        break;
    default:
        break;
    }
    // Not this bus driver's to answer: the status the request came with.
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusStandIn::dispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState) {
            PnpManager::of(nt::Kernel::require("PoSetPowerState"), "PoSetPowerState")
                .logPower("bus", IRP_MN_SET_POWER, stack->Parameters.Power.State, device);
            POWER_STATE state;
            state.DeviceState = static_cast<DEVICE_POWER_STATE>(stack->Parameters.Power.State);
            PoSetPowerState(device, DevicePowerState, state);
        }
        break;
    case IRP_MN_QUERY_POWER:
        break;
    default:
        status = irp->IoStatus.Status;
        break;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusStandIn::dispatchOther(PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

} // namespace w2k
