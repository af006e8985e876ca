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

namespace {

// x86 NT: IRQ n arrives at vector 0x30 + n, at IRQL 27 - n.
constexpr ULONG kPrimaryVectorBase = 0x30;
constexpr ULONG kProfileLevel = 27;

} // namespace

BOOLEAN HalTranslateBusAddress(INTERFACE_TYPE InterfaceType, ULONG BusNumber, PHYSICAL_ADDRESS BusAddress,
                               PULONG AddressSpace, PPHYSICAL_ADDRESS TranslatedAddress) {
    Kernel& k = Kernel::require("HalTranslateBusAddress");
    if (!AddressSpace || !TranslatedAddress)
        k.verifierStop("HalTranslateBusAddress", "no place for the result");
    (void)InterfaceType;
    (void)BusNumber;
    auto address = static_cast<uint64_t>(BusAddress.QuadPart);
    for (const auto& range : k.hal().untranslatable)
        if (range.contains(address))
            return FALSE;
    TranslatedAddress->QuadPart = BusAddress.QuadPart;
    if (*AddressSpace == 1) {
        for (const auto& range : k.hal().ioInMemorySpace)
            if (range.contains(address)) {
                *AddressSpace = 0;
                return TRUE;
            }
    }
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
    if (BusInterruptLevel > 15) {
        *Irql = 0;
        *Affinity = 0;
        return 0; // no such interrupt on these machines
    }
    *Irql = static_cast<KIRQL>(kProfileLevel - BusInterruptLevel);
    *Affinity = 1;
    return kPrimaryVectorBase + BusInterruptLevel;
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
