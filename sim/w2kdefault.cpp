// The built-in Windows 2000 machine: what an installation of CvInstal leaves in the registry (its
// service key with the card templates, the hardware-ID table that binds the cards to it, the device
// classes) and the three cards it serves.
#include "sim/machine.h"

namespace sim {

namespace {

const char kWindows2000Registry[] = R"reg(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal]
"Type"=dword:00000001
"Start"=dword:00000003
"ErrorControl"=dword:00000001
"ImagePath"=hex(2):53,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,44,00,52,00,49,00,56,00,45,00,52,00,\
  53,00,5c,00,43,00,76,00,49,00,6e,00,73,00,74,00,61,00,6c,00,2e,00,73,00,79,00,73,00,00,00
"LogLevel"=dword:00000003

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Templates\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000450
"SubsysID"=dword:045010b5
"ClockFrequency"=dword:00e10000
"nComPorts"=dword:00000004
"nLptPorts"=dword:00000001
"Description"="Corvane PCI 4S+1P"
"ComBaseAddressAlignment"=dword:00000008
"LptBaseAddressAlignment"=dword:00000008
"PlxBaudClockType"=dword:00000001
"PlxBaudClockDivisor"=dword:00000001
"PlxBaudClockOffset"=dword:00000050
"MaximumBaudrate"=dword:000e1000
"UartType"=dword:00000009

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Templates\Bus1\Card1]
"HardwareID"="QRV0104"
"ClockFrequency"=dword:001c2000
"nComPorts"=dword:00000004
"nLptPorts"=dword:00000000
"Description"="Corvane ISA 4-port"
"ComBaseAddressAlignment"=dword:00000008
"IrqShared"=dword:00000001
"AddressesBanked"=dword:00000001
"UartType"=dword:00000005

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Templates\Bus8\Card1]
"HardwareID"="PCMCIA\\Corvane-Dual_Serial-3C1A"
"ClockFrequency"=dword:001c2000
"nComPorts"=dword:00000002
"nLptPorts"=dword:00000000
"Description"="Corvane PC Card 2-port"
"ComBaseAddressAlignment"=dword:00000008
"UartType"=dword:00000005

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Parameters\Bus5]

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Parameters\Bus1]

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Parameters\Bus8]

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{50906CB8-BA12-11D1-BF5D-0000F805F530}]
"Class"="MultiportSerial"
@="Multi-port serial adapters"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4D36E978-E325-11CE-BFC1-08002BE10318}]
"Class"="Ports"
@="Ports (COM & LPT)"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\CriticalDeviceDatabase\PCI#VEN_10B5&DEV_0450]
"Service"="CvInstal"
"ClassGUID"="{50906CB8-BA12-11D1-BF5D-0000F805F530}"
"EnumPropPages32"="CvCard.dll,CvExtensionPropSheetPageProc"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\CriticalDeviceDatabase\QRV0104]
"Service"="CvInstal"
"ClassGUID"="{50906CB8-BA12-11D1-BF5D-0000F805F530}"
"EnumPropPages32"="CvCard.dll,CvExtensionPropSheetPageProc"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\CriticalDeviceDatabase\PCMCIA#CORVANE-DUAL_SERIAL-3C1A]
"Service"="CvInstal"
"ClassGUID"="{50906CB8-BA12-11D1-BF5D-0000F805F530}"
"EnumPropPages32"="CvCard.dll,CvExtensionPropSheetPageProc"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\CriticalDeviceDatabase\Ports#QuorvelComPort]
"Service"="Serial"
"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"
"EnumAdvancedDialog"="CvCard.dll,CvPortAdvancedButton"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\CriticalDeviceDatabase\Ports#QuorvelLptPort]
"Service"="Parport"
"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"
)reg";

} // namespace

MachineSpec MachineSpec::builtInWindows2000() {
    MachineSpec spec;
    spec.system = System::Windows2000;
    spec.standardPorts = {StandardPortSpec{0x3F8, 4, 1}, StandardPortSpec{0x2F8, 3, 2}};

    CardSpec pci;
    pci.name = "PCI card";
    pci.bus = "PCI";
    pci.clockHz = 14745600;
    pci.vector = nt::VectorForIrq(11);
    for (uint16_t i = 0; i < 4; ++i)
        pci.uarts.push_back(UartSpec{static_cast<uint16_t>(0xE000 + 8 * i), hw::UartKind::Uart16C950});
    pci.pciDevice = 6;
    pci.pci.deviceId = 0x0450;
    pci.pci.subsystemId = 0x0450;
    pci.pci.bridgeMemory = 0xFEB00000;
    pci.pci.uartMemory = 0xFEB01000;
    pci.pci.uartWindow = 0xE000;
    pci.pci.bridgeIo = 0xEC00;
    pci.pci.window2 = 0xE400; // the parallel port
    pci.pci.interruptLine = 11;
    pci.pci.divisorKind = hw::BridgeDivisor::Byte;
    pci.pci.divisorOffset = 0x50;

    CardSpec isa;
    isa.name = "ISA card";
    isa.bus = "ISA";
    isa.clockHz = 1843200;
    isa.hardwareId = "QRV0104";
    for (uint16_t i = 0; i < 4; ++i)
        isa.uarts.push_back(
            UartSpec{static_cast<uint16_t>(0x300 + 8 * i), hw::UartKind::Uart16550, nt::VectorForIrq(5)});
    // One range for the bank of four ports and one interrupt they share.
    isa.isaResources = {IsaResourceSpec{false, 0x300, 0x20, 0}, IsaResourceSpec{true, 0, 0, 5}};

    CardSpec pcmcia;
    pcmcia.name = "PCMCIA card";
    pcmcia.bus = "PCMCIA";
    pcmcia.clockHz = 1843200;
    pcmcia.hardwareId = "PCMCIA\\CORVANE-DUAL_SERIAL-3C1A";
    pcmcia.uarts.assign(2, UartSpec{0, hw::UartKind::Uart16550});
    pcmcia.pcmciaIo = 0x240;
    pcmcia.pcmciaIoLength = 0x10;
    pcmcia.spacing = 8;
    pcmcia.irq = 10;

    spec.cards = {pci, isa, pcmcia};
    spec.registryText = kWindows2000Registry;
    return spec;
}

} // namespace sim
