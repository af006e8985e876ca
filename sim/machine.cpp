#include "sim/machine.h"

#include "sim/pnpdevices.h"

#include "CvCardModule.h"
#include "CvCleanModule.h"
#include "CvPciModule.h"
#include "platform/win32/desktop.h"

#include "cvntmsg.h"

#include "CvPortList.h"

#include <algorithm>
#include <stdexcept>

// CvInstal's message table and entry point, exported by its image.
extern "C" const MESSAGE_TABLE CvInstalMessageTable;
extern "C" NTSTATUS CvInstalDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
extern "C" NTSTATUS SerialStandInDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
extern "C" NTSTATUS ParallelStandInDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace sim {

namespace {

// CvNt's service key on the built-in machine: the template of the card family 0x0020 and the ISA card.
const char kDefaultRegistry[] = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt]
"Type"=dword:00000001
"Start"=dword:00000003
"ErrorControl"=dword:00000001
"ImagePath"=hex(2):53,00,79,00,73,00,74,00,65,00,6d,00,33,00,32,00,5c,00,44,00,52,00,49,00,56,00,45,00,52,00,\
  53,00,5c,00,43,00,76,00,4e,00,74,00,2e,00,73,00,79,00,73,00,00,00
"LogLevel"=dword:00000003

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Templates\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000020
"ClockFrequency"=dword:00e10000
"nComPorts"=dword:00000004
"nLptPorts"=dword:00000000
"Description"="Corvane PCI 4-port 16C950"
"BaseAddressAlignment"=dword:00000008
"PlxBaudClockType"=dword:00000001
"PlxBaudClockDivisor"=dword:00000001
"PlxBaudClockOffset"=dword:00000050
"UartType"=dword:00000009

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card1]
"ClockFrequency"=dword:001c2000

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card1\ComPort1]
"BaseAddress"=dword:00000300
"BaseAddressRange"=dword:00000008
"BaseAddressAlignment"=dword:00000008
"InterruptLevel"=dword:00000005
"nCom"=dword:00000005

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card1\ComPort2]
"BaseAddress"=dword:00000308
"BaseAddressRange"=dword:00000008
"BaseAddressAlignment"=dword:00000008
"InterruptLevel"=dword:00000007
"nCom"=dword:00000006
)";

} // namespace

MachineSpec MachineSpec::builtInDefault() {
    MachineSpec spec;
    CardSpec pci;
    pci.name = "PCI card";
    pci.bus = "PCI";
    pci.clockHz = 14745600;
    pci.vector = nt::VectorForIrq(11);
    for (uint16_t i = 0; i < 4; ++i)
        pci.uarts.push_back(UartSpec{static_cast<uint16_t>(0xE000 + 8 * i), hw::UartKind::Uart16C950});
    pci.pciDevice = 4;
    pci.pci.deviceId = 0x0020;
    pci.pci.subsystemId = 0x0020;
    pci.pci.bridgeMemory = 0; // placed by the machine
    pci.pci.uartWindow = 0xE000;
    pci.pci.bridgeIo = 0xEC00;
    pci.pci.interruptLine = 11;
    pci.pci.divisorKind = hw::BridgeDivisor::Byte;
    pci.pci.divisorOffset = 0x50;
    CardSpec isa;
    isa.name = "ISA card";
    isa.bus = "ISA";
    isa.clockHz = 1843200;
    isa.uarts.push_back(UartSpec{0x300, hw::UartKind::Uart16550, nt::VectorForIrq(5)});
    isa.uarts.push_back(UartSpec{0x308, hw::UartKind::Uart16550, nt::VectorForIrq(7)});
    spec.cards = {pci, isa};
    spec.emptyAddresses = {0x2E8};
    spec.standardPorts = {StandardPortSpec{0x3F8, 4, 1}, StandardPortSpec{0x2F8, 3, 2}};
    spec.registryText = kDefaultRegistry;
    return spec;
}

Machine::Machine(MachineSpec spec) : spec_(std::move(spec)) {
    for (uint32_t bus : spec_.pciBuses)
        kernel_.pci().addBus(bus);
    kernel_.setBusTranslation([this](INTERFACE_TYPE, ULONG, uint64_t address,
                                     nt::Kernel::AddressSpace asked) { return translate(address, asked); });
    nt::ClaimSystemDevices(kernel_);
    for (const CardSpec& card : spec_.cards) {
        if (card.bus == "PCI") {
            addPciCard(card);
            continue;
        }
        if (card.bus == "PCMCIA") {
            PcmciaCard slot{&card, {}, {}, false};
            for (const UartSpec& u : card.uarts)
                slot.uarts.push_back(std::make_unique<hw::Uart>(u.kind, card.clockHz));
            pcmciaCards_.push_back(std::move(slot));
            continue;
        }
        std::vector<hw::Uart*> cardUarts;
        bool isa = card.bus == "ISA";
        for (const UartSpec& u : card.uarts) {
            auto uart = std::make_unique<hw::Uart>(u.kind, card.clockHz);
            uart->attachClock(&kernel_.timeline());
            kernel_.ports().attach(u.address, 8, *uart);
            // ISA ports reach the bus through OUT2; PCI cards and status-register cards wire the UARTs'
            // interrupt outputs to the card's line directly.
            uart->setGateWithOut2(isa && !card.sisrAddress);
            ULONG vector = isa && !card.sisrAddress ? u.vector : card.vector;
            if (vector)
                connectInterrupt(*uart, vector);
            byAddress_[u.address] = uart.get();
            cardByAddress_[u.address] = &card;
            cardUarts.push_back(uart.get());
            uarts_.push_back(std::move(uart));
        }
        if (isa && card.sisrAddress) {
            sisrs_.push_back(std::make_unique<hw::SisrRegister>(cardUarts));
            kernel_.ports().attach(card.sisrAddress, 1, *sisrs_.back());
        }
    }
    // The machine's own serial ports, served by the system's standard driver.
    std::vector<nt::StandardPort> standard;
    for (const StandardPortSpec& port : spec_.standardPorts) {
        auto uart = std::make_unique<hw::Uart>(hw::UartKind::Uart16550, 1843200);
        uart->attachClock(&kernel_.timeline());
        uart->setGateWithOut2(true);
        kernel_.ports().attach(port.address, 8, *uart);
        connectInterrupt(*uart, nt::VectorForIrq(port.irq));
        standardUarts_.push_back(std::move(uart));
        standard.push_back(nt::StandardPort{port.address, port.irq, port.com});
    }
    nt::InstallStandardSerialDriver(kernel_, standard);
    // The disk: the system's own serial driver, and the driver images the description lists.
    const std::string drivers = std::string(nt::Kernel::kSystemDirectory) + "\\Drivers\\";
    kernel_.addFile(drivers + "serial.sys");
    for (const std::string& file : spec_.driverFiles)
        kernel_.addFile(drivers + file);
    kernel_.eventLog().registerMessageFile("CvNt.sys", CvNtMessageTable);
    kernel_.eventLog().registerMessageFile("CvInstal.sys", CvInstalMessageTable);
    kernel_.services().registerImage("CvNt.sys", "CvNt", DriverEntry);
    // The same driver as an earlier installation of the suite named its image.
    kernel_.services().registerImage("CvPci.sys", "CvNt", DriverEntry);
    kernel_.services().registerImage("CvInstal.sys", "CvInstal", CvInstalDriverEntry);
    // Stand-ins for the system's port drivers, which load on CvInstal's children.
    kernel_.services().registerImage("serial.sys", "Serial", SerialStandInDriverEntry);
    kernel_.services().registerImage("parport.sys", "Parport", ParallelStandInDriverEntry);
    if (!spec_.registryText.empty()) {
        auto loaded = kernel_.registry().loadText(spec_.registryText, spec_.registrySource);
        if (!loaded)
            throw InputError(loaded.error);
    }
    for (const MachineSpec::Peer& peer : spec_.peers) {
        hw::Uart* a = uartAt(peer.a);
        hw::Uart* b = peer.cable ? uartAt(peer.b) : nullptr;
        if (!a || (peer.cable && !b))
            throw std::runtime_error("a plug or cable at an address where the machine has no UART");
        if (peer.cable)
            cables_.push_back(std::make_unique<hw::NullModemCable>(*a, *b));
        else
            plugs_.push_back(std::make_unique<hw::LoopbackPlug>(*a));
    }
    if (windows2000())
        pnp_ = std::make_unique<PnpDevices>(*this, spec_);
}

Machine::~Machine() {
    // The programs end first: what they hold open is closed while the kernel is still there.
    desktop_.reset();
    // Windows 2000 shuts down: the device tree goes, and with it the drivers of its devices, so that
    // their images are left as a fresh load expects them (the images' globals outlive the machine).
    if (pnp_) {
        nt::KernelScope scope(kernel_);
        pnp_->manager().shutdown();
        pnp_.reset();
    }
}

win32::Desktop& Machine::desktop() {
    if (!desktop_) {
        desktop_ = std::make_unique<win32::Desktop>(kernel_);
        desktop_->installModule(win32::Module{"CvPci.cpl",
                                              &CvPciResources,
                                              {{"CPlApplet", reinterpret_cast<void (*)()>(&CPlApplet)}},
                                              &CvPciAttach});
        desktop_->installModule(win32::Module{
            "CvClean.exe",
            &CvCleanResources,
            {{"WinMain", reinterpret_cast<void (*)()>(reinterpret_cast<void*>(&CvCleanWinMain))}},
            nullptr});
        desktop_->installModule(win32::Module{
            "CvCard.dll",
            &CvCardResources,
            {{"CvExtensionPropSheetPageProc",
              reinterpret_cast<void (*)()>(reinterpret_cast<void*>(&CvExtensionPropSheetPageProc))},
             {"CvPortAdvancedButton",
              reinterpret_cast<void (*)()>(reinterpret_cast<void*>(&CvPortAdvancedButton))}},
            &CvCardAttach});
    }
    return *desktop_;
}

void Machine::boot() {
    if (pnp_)
        pnp_->boot();
}

void Machine::plugPcmciaCard(size_t index, bool present) {
    if (index >= pcmciaCards_.size() || pcmciaCards_[index].present == present)
        return;
    PcmciaCard& slot = pcmciaCards_[index];
    const CardSpec& card = *slot.card;
    slot.present = present;
    for (size_t i = 0; i < slot.uarts.size(); ++i) {
        hw::Uart& uart = *slot.uarts[i];
        auto address = static_cast<uint16_t>(card.pcmciaIo + i * card.spacing);
        if (present) {
            uart.attachClock(&kernel_.timeline());
            kernel_.ports().attach(address, 8, uart);
            slot.lines.resize(slot.uarts.size());
            slot.lines[i] = lineInput(nt::VectorForIrq(card.irq));
            uart.setInterruptSink(slot.lines[i]);
            byAddress_[address] = &uart;
            cardByAddress_[address] = &card;
        } else {
            // A card pulled while it asserted its interrupt lets go of the line.
            uart.setInterruptSink(nullptr);
            if (i < slot.lines.size() && slot.lines[i])
                slot.lines[i](false);
            kernel_.ports().detach(address);
            byAddress_.erase(address);
            cardByAddress_.erase(address);
        }
    }
}

nt::Kernel::AddressSpace Machine::translate(uint64_t address, nt::Kernel::AddressSpace asked) const {
    for (const auto& range : spec_.untranslatable)
        if (range.contains(address))
            return nt::Kernel::AddressSpace::None;
    if (asked == nt::Kernel::AddressSpace::Io)
        for (const auto& range : spec_.ioInMemorySpace)
            if (range.contains(address))
                return nt::Kernel::AddressSpace::Memory;
    return asked;
}

void Machine::connectInterrupt(hw::Uart& uart, ULONG vector) {
    uart.setInterruptSink(lineInput(vector));
}

std::function<void(bool)> Machine::lineInput(ULONG vector) {
    // Each source counts once while it asserts; one that goes away asserting is released by its owner.
    auto asserted = std::make_shared<bool>(false);
    return [this, vector, asserted](bool level) {
        if (level == *asserted)
            return;
        *asserted = level;
        int& count = assertedSources_[vector];
        count += level ? 1 : -1;
        kernel_.setInterruptLine(vector, count > 0);
    };
}

void Machine::addPciCard(const CardSpec& card) {
    hw::PciCardLayout layout = card.pci;
    layout.oscillatorHz = card.clockHz;
    // A card whose description leaves its bridge's memory window open gets the next free 4 KiB page
    // from FEB00000 up, so that no two cards ever decode the same memory.
    auto taken = [this](uint32_t page) {
        if (kernel_.memory().decodes(page) || kernel_.memory().decodes(page + 0xFFF))
            return true;
        for (const CardSpec& other : spec_.cards)
            if (other.bus == "PCI" &&
                ((other.pci.bridgeMemory & ~0xFFFu) == page || (other.pci.uartMemory & ~0xFFFu) == page))
                return true;
        return false;
    };
    for (uint32_t page = 0xFEB00000u; !layout.bridgeMemory; page += 0x1000u)
        if (!taken(page))
            layout.bridgeMemory = page;
    layout.uarts = static_cast<unsigned>(card.uarts.size());
    if (!card.uarts.empty())
        layout.kind = card.uarts.front().kind;
    pciCards_.push_back(std::make_unique<hw::PciSerialCard>(layout));
    hw::PciSerialCard& model = *pciCards_.back();
    kernel_.pci().plug(card.pciBus, card.pciDevice, card.pciFunction, model);
    for (const auto& window : model.ioWindows())
        kernel_.ports().attach(window.base, window.length, *window.device);
    for (const auto& window : model.memoryWindows())
        kernel_.memory().attach(window.base, window.length, *window.device);
    // The card's own wired OR is one source on the machine's line for its vector.
    if (card.vector)
        model.setInterruptSink(lineInput(card.vector));
    for (unsigned i = 0; i < model.uartCount(); ++i) {
        hw::Uart& uart = model.uart(i);
        uart.attachClock(&kernel_.timeline());
        auto address = static_cast<uint16_t>(layout.uartWindow + i * layout.spacing);
        byAddress_[address] = &uart;
        cardByAddress_[address] = &card;
    }
}

std::vector<uint16_t> Machine::uartAddresses() const {
    std::vector<uint16_t> out;
    for (const StandardPortSpec& port : spec_.standardPorts)
        out.push_back(port.address);
    for (const CardSpec& card : spec_.cards)
        for (size_t i = 0; i < card.uarts.size(); ++i)
            out.push_back(card.bus == "PCI" ? uint16_t(card.pci.uartWindow + i * card.pci.spacing)
                                            : card.uarts[i].address);
    return out;
}

hw::Uart* Machine::uartAt(uint16_t address) const {
    auto it = byAddress_.find(address);
    return it == byAddress_.end() ? nullptr : it->second;
}

const CardSpec* Machine::cardAt(uint16_t address) const {
    auto it = cardByAddress_.find(address);
    return it == cardByAddress_.end() ? nullptr : it->second;
}

std::vector<uint16_t> Machine::probeAddresses() const {
    std::vector<uint16_t> addresses;
    for (const auto& [address, uart] : byAddress_)
        addresses.push_back(address);
    addresses.insert(addresses.end(), spec_.emptyAddresses.begin(), spec_.emptyAddresses.end());
    std::sort(addresses.begin(), addresses.end());
    return addresses;
}

} // namespace sim
