// The HAL's bus access: configuration space of the machine's PCI functions.
#include "platform/nt/include/ntddk.h"
#include "platform/nt/kernel.h"

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
