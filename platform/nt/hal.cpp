// The HAL's bus access: configuration space of the machine's PCI functions.
#include "platform/nt/include/ntddk.h"
#include "platform/nt/kernel.h"

#include <cstring>

using nt::Kernel;

ULONG HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer,
                    ULONG Length) {
    Kernel& k = Kernel::require("HalGetBusData");
    if (!Buffer && Length)
        k.verifierStop("HalGetBusData", "no buffer for the data");
    if (BusDataType != PCIConfiguration)
        return 0; // no other configuration space exists on these machines
    return k.pci().readConfig(BusNumber, SlotNumber, static_cast<uint8_t*>(Buffer), Length);
}

BOOLEAN HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber, PHYSICAL_ADDRESS BusAddress,
                               PULONG AddressSpace, PPHYSICAL_ADDRESS TranslatedAddress) {
    Kernel& k = Kernel::require("HalTranslateBusAddress");
    if (!AddressSpace || !TranslatedAddress)
        k.verifierStop("HalTranslateBusAddress", "no place for the result");
    auto asked = *AddressSpace == 1 ? Kernel::AddressSpace::Io : Kernel::AddressSpace::Memory;
    auto space = k.translate(InterfaceType, BusNumber, static_cast<uint64_t>(BusAddress.QuadPart), asked);
    if (space == Kernel::AddressSpace::None)
        return FALSE;
    TranslatedAddress->QuadPart = BusAddress.QuadPart;
    *AddressSpace = space == Kernel::AddressSpace::Io ? 1 : 0;
    return TRUE;
}

ULONG HalGetInterruptVector(INTERFACE_TYPE InterfaceType, ULONG BusNumber, ULONG BusInterruptLevel,
                            ULONG BusInterruptVector, PKIRQL Irql, PKAFFINITY Affinity) {
    Kernel& k = Kernel::require("HalGetInterruptVector");
    if (!Irql || !Affinity)
        k.verifierStop("HalGetInterruptVector", "no place for the result");
    (void)InterfaceType;
    (void)BusNumber;
    (void)BusInterruptVector;
    if (BusInterruptLevel >= nt::kIrqCount) {
        *Irql = 0;
        *Affinity = 0;
        return 0; // no such interrupt on these machines
    }
    *Irql = nt::IrqlForIrq(BusInterruptLevel);
    *Affinity = 1;
    return nt::VectorForIrq(BusInterruptLevel);
}

NTSTATUS HalAssignSlotResources(PUNICODE_STRING RegistryPath, PUNICODE_STRING DriverClassName,
                                PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject,
                                INTERFACE_TYPE BusType, ULONG BusNumber, ULONG SlotNumber,
                                PCM_RESOURCE_LIST* AllocatedResources) {
    Kernel& k = Kernel::require("HalAssignSlotResources");
    if (!AllocatedResources || !DriverObject)
        k.verifierStop("HalAssignSlotResources", "no driver object or no place for the result");
    (void)RegistryPath;
    *AllocatedResources = nullptr;
    if (k.hal().slotAssignmentFailures > 0) {
        --k.hal().slotAssignmentFailures;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (BusType != PCIBus)
        return STATUS_NOT_IMPLEMENTED;
    hw::PciFunction* function = k.pci().at(BusNumber, SlotNumber & 31, (SlotNumber >> 5) & 7);
    if (!function)
        return STATUS_NO_SUCH_DEVICE;

    nt::ResourceClaim claim;
    claim.owner = DeviceObject ? static_cast<const void*>(DeviceObject) : DriverObject;
    claim.className = DriverClassName && DriverClassName->Buffer
                          ? std::u16string(DriverClassName->Buffer, DriverClassName->Length / sizeof(WCHAR))
                          : u"OtherDrivers";
    std::u16string driver(DriverObject->DriverName.Buffer ? DriverObject->DriverName.Buffer : u"",
                          DriverObject->DriverName.Length / sizeof(WCHAR));
    size_t slash = driver.rfind(u'\\');
    claim.driverName = slash == std::u16string::npos ? driver : driver.substr(slash + 1);
    claim.valueName = DeviceObject ? k.io().nameOf(DeviceObject) : std::u16string();
    claim.interfaceType = PCIBus;
    claim.busNumber = BusNumber;

    CM_PARTIAL_RESOURCE_DESCRIPTOR irq{};
    irq.Type = CmResourceTypeInterrupt;
    irq.ShareDisposition = CmResourceShareShared;
    irq.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    irq.u.Interrupt.Level = irq.u.Interrupt.Vector = function->configRead(hw::pci::kInterruptLine);
    irq.u.Interrupt.Affinity = 1;
    claim.resources.push_back(irq);
    for (unsigned i = 0; i < PCI_TYPE0_ADDRESSES; ++i) {
        uint32_t size = function->barSize(i);
        if (!size)
            continue;
        uint32_t bar = function->bar(i);
        CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
        d.ShareDisposition = CmResourceShareDeviceExclusive;
        if (bar & PCI_ADDRESS_IO_SPACE) {
            d.Type = CmResourceTypePort;
            d.Flags = CM_RESOURCE_PORT_IO;
            d.u.Port.Start.QuadPart = bar & ~3u;
        } else {
            d.Type = CmResourceTypeMemory;
            d.Flags = CM_RESOURCE_MEMORY_READ_WRITE;
            d.u.Memory.Start.QuadPart = bar & ~0xFu;
        }
        d.u.Generic.Length = size;
        claim.resources.push_back(d);
    }
    if (!k.resources().claim(claim))
        return STATUS_CONFLICTING_ADDRESSES;
    std::vector<uint8_t> bytes = nt::ResourceArbiter::resourceList(claim);
    auto* list = static_cast<PCM_RESOURCE_LIST>(
        ExAllocatePoolWithTag(PagedPool, static_cast<ULONG>(bytes.size()), nt::makeTag("HalR")));
    if (!list) {
        k.resources().release(claim.owner);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(list, bytes.data(), bytes.size());
    *AllocatedResources = list;
    return STATUS_SUCCESS;
}

namespace nt {

void ClaimSystemDevices(Kernel& kernel) {
    // IRQ 0 timer, 1 keyboard, 2 the second controller's cascade, 8 real-time clock, 13 coprocessor,
    // with the I/O ranges of the interrupt controllers, the timer, the keyboard controller and the clock.
    static constexpr ULONG kIrqs[] = {0, 1, 2, 8, 13};
    static constexpr std::pair<ULONG, ULONG> kRanges[] = {{0x20, 2}, {0x40, 4}, {0x60, 1}, {0x64, 1},
                                                          {0x70, 2}, {0xA0, 2}, {0xF0, 16}};
    static const char kOwner = 0; // the HAL's claims belong to no driver object
    ResourceClaim claim;
    claim.owner = &kOwner;
    claim.className = u"Hardware Abstraction Layer";
    claim.driverName = u"PC Compatible Eisa/Isa HAL";
    claim.interfaceType = Isa;
    for (ULONG irq : kIrqs) {
        CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
        d.Type = CmResourceTypeInterrupt;
        d.ShareDisposition = CmResourceShareDeviceExclusive;
        d.Flags = CM_RESOURCE_INTERRUPT_LATCHED;
        d.u.Interrupt.Level = d.u.Interrupt.Vector = irq;
        d.u.Interrupt.Affinity = 1;
        claim.resources.push_back(d);
    }
    for (auto [start, length] : kRanges) {
        CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
        d.Type = CmResourceTypePort;
        d.ShareDisposition = CmResourceShareDeviceExclusive;
        d.Flags = CM_RESOURCE_PORT_IO;
        d.u.Port.Start.QuadPart = start;
        d.u.Port.Length = length;
        claim.resources.push_back(d);
    }
    kernel.resources().claim(claim);
}

} // namespace nt
