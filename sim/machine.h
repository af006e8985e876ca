// One simulated machine: the hosted kernel and the hardware it drives, assembled from a description.
#pragma once

#include "hw/pci.h"
#include "hw/uart.h"
#include "hw/wiring.h"
#include "platform/nt/kernel.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

struct UartSpec {
    uint16_t address = 0;
    hw::UartKind kind = hw::UartKind::Uart16550;
    ULONG vector = 0; // the port's own interrupt line on ISA cards without a shared status register
};

struct CardSpec {
    std::string name;
    std::string bus; // "PCI" or "ISA"
    uint32_t clockHz = 1843200;
    std::vector<UartSpec> uarts;
    ULONG vector =
        0; // the card's interrupt line (PCI), or the line its ports share through the status register
    uint16_t sisrAddress = 0; // ISA: the shared interrupt status register, 0 for none
    // PCI: where the card sits and what its configuration space and bridge say. The UARTs sit in the
    // UART window (pci.uartWindow) at pci.spacing, of the kind of the first UART listed.
    uint32_t pciBus = 0;
    uint8_t pciDevice = 0;
    uint8_t pciFunction = 0;
    hw::PciCardLayout pci;
};

// A port of the machine's own serial controller, served by the system's standard serial driver.
struct StandardPortSpec {
    uint16_t address = 0x3F8;
    ULONG irq = 4;
    ULONG com = 1;
};

struct MachineSpec {
    std::vector<CardSpec> cards;
    std::vector<StandardPortSpec> standardPorts;
    // The registry the machine boots with (.reg text), typically CvNt's service key with its templates
    // and installed cards; empty for none.
    std::string registryText;
    std::vector<uint16_t> emptyAddresses; // addresses where nothing answers, for probing
    std::vector<uint32_t> pciBuses;       // the PCI buses the machine has, besides those its cards sit on
    // I/O ranges the HAL translates into memory space, and ranges it cannot translate.
    struct Range {
        uint32_t start, length;
        bool contains(uint64_t address) const { return address >= start && address - start < length; }
    };
    std::vector<Range> ioInMemorySpace, untranslatable;
    // COM1 and COM2 on the machine's own controller, one PCI card with four 16C950 UARTs at 14.7456 MHz
    // behind a bridge, one ISA card with two 16550 UARTs at 1.8432 MHz, one address where nothing
    // answers, and CvNt's registry for them.
    static MachineSpec builtInDefault();
};

class Machine {
public:
    explicit Machine(MachineSpec spec);
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    nt::Kernel& kernel() { return kernel_; }
    // CvNt's service: started and stopped through the service manager.
    uint32_t startCvNt() { return kernel_.services().start("CvNt"); }
    uint32_t stopCvNt() { return kernel_.services().stop("CvNt"); }
    // Runs the machine (hardware events, interrupts, deferred calls) for `ticks` of virtual time.
    void run(uint64_t ticks) { kernel_.runUntil(kernel_.now() + ticks); }
    const MachineSpec& spec() const { return spec_; }
    hw::Uart* uartAt(uint16_t address) const;
    hw::PciSerialCard* pciCard(size_t index) const {
        return index < pciCards_.size() ? pciCards_[index].get() : nullptr;
    }
    const CardSpec* cardAt(uint16_t address) const;
    // Every UART address and every empty address, in ascending order.
    std::vector<uint16_t> probeAddresses() const;

private:
    // The HAL's translation of a bus address, as the description says.
    nt::Kernel::AddressSpace translate(uint64_t address, nt::Kernel::AddressSpace asked) const;
    // Drives one interrupt line from the outputs of the UARTs wired to it (a wired OR).
    void connectInterrupt(hw::Uart& uart, ULONG vector);
    std::function<void(bool)> lineInput(ULONG vector);
    void addPciCard(const CardSpec& card);

    MachineSpec spec_;
    nt::Kernel kernel_;
    std::map<ULONG, int> assertedSources_;
    std::vector<std::unique_ptr<hw::SisrRegister>> sisrs_;
    std::vector<std::unique_ptr<hw::Uart>> uarts_;
    std::vector<std::unique_ptr<hw::PciSerialCard>> pciCards_;
    std::vector<std::unique_ptr<hw::Uart>> standardUarts_;
    std::map<uint16_t, hw::Uart*> byAddress_;
    std::map<uint16_t, const CardSpec*> cardByAddress_;
};

} // namespace sim
