// One simulated machine: the hosted kernel and the hardware it drives, assembled from a description.
#pragma once

#include "hw/pci.h"
#include "hw/uart.h"
#include "hw/wiring.h"
#include "platform/nt/kernel.h"

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace win32 {
class Desktop;
}

namespace sim {

struct UartSpec {
    uint16_t address = 0;
    hw::UartKind kind = hw::UartKind::Uart16550;
    ULONG vector = 0; // the port's own interrupt line on ISA cards without a shared status register
};

// What an ISA card installed through the hardware wizard was given, in order: I/O ranges and
// interrupts (Windows 2000 machines).
struct IsaResourceSpec {
    bool interrupt = false;
    uint32_t start = 0, length = 0; // an I/O range
    ULONG irq = 0;                  // an interrupt
};

struct CardSpec {
    std::string name;
    std::string bus; // "PCI", "ISA" or "PCMCIA"
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
    // Windows 2000: the plug-and-play hardware ID of an ISA or PCMCIA card, and the resources of an ISA
    // card (empty: each UART's eight addresses and its interrupt).
    std::string hardwareId;
    std::vector<IsaResourceSpec> isaResources;
    // PCMCIA: the card's I/O window (its UARTs at `spacing` from its start), its interrupt, and whether
    // it sits in the socket when the machine starts.
    uint16_t pcmciaIo = 0;
    uint16_t pcmciaIoLength = 0;
    unsigned spacing = 8;
    ULONG irq = 0;
    bool inserted = true;
};

// The operating system a machine runs.
enum class System { Nt4, Windows2000 };

// A port of the machine's own serial controller, served by the system's standard serial driver.
struct StandardPortSpec {
    uint16_t address = 0x3F8;
    ULONG irq = 4;
    ULONG com = 1;
};

struct MachineSpec {
    System system = System::Nt4;
    std::vector<CardSpec> cards;
    std::vector<StandardPortSpec> standardPorts;
    // The registry the machine boots with (.reg text), typically CvNt's service key with its templates
    // and installed cards; empty for none.
    std::string registryText;
    std::string registrySource = "the built-in registry"; // named in a refusal of its text
    std::vector<uint16_t> emptyAddresses;                 // addresses where nothing answers, for probing
    // What is plugged into the machine's UARTs: a loopback plug at `a`, or a null-modem cable from `a`
    // to `b`.
    struct Peer {
        bool cable = false;
        uint16_t a = 0, b = 0;
        size_t line = 0; // where the description gave it
    };
    std::vector<Peer> peers;
    // Driver images on the machine's disk, under System32\Drivers (besides the system's own serial.sys).
    std::vector<std::string> driverFiles;
    std::vector<uint32_t> pciBuses; // the PCI buses the machine has, besides those its cards sit on
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
    // Windows 2000 with CvInstal: one PCI card with four COM ports and a parallel port, one ISA card
    // with four banked ports on a shared interrupt, one PCMCIA card with two ports, and the registry an
    // installation of CvInstal leaves.
    static MachineSpec builtInWindows2000();
};

// Input a person gave the machine that it refuses (its registry text that does not parse, say): cvsim
// exits 2 for it, as for any bad input file.
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class PnpDevices;

class Machine {
public:
    explicit Machine(MachineSpec spec);
    ~Machine();
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
    // The addresses of every UART the machine has.
    std::vector<uint16_t> uartAddresses() const;
    hw::PciSerialCard* pciCard(size_t index) const {
        return index < pciCards_.size() ? pciCards_[index].get() : nullptr;
    }
    const CardSpec* cardAt(uint16_t address) const;
    // Every UART address and every empty address, in ascending order.
    std::vector<uint16_t> probeAddresses() const;

    // Windows 2000: the plug-and-play side (null on NT 4). Booting lets the plug-and-play manager build
    // the device tree, loading CvInstal for the cards; it happens once.
    bool windows2000() const { return spec_.system == System::Windows2000; }
    PnpDevices* pnp() const { return pnp_.get(); }
    void boot();
    // PCMCIA card `index` (by its order among the machine's PCMCIA cards) put into its socket or taken
    // out: its UARTs join or leave the I/O space and their interrupt line.
    void plugPcmciaCard(size_t index, bool present);

    // The interactive desktop, with the tools' libraries on the machine's disk; made on first use.
    win32::Desktop& desktop();
    bool hasDesktop() const { return desktop_ != nullptr; }

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
    // The plugs and cables the description puts on its UARTs (destroyed before the UARTs).
    std::vector<std::unique_ptr<hw::LoopbackPlug>> plugs_;
    std::vector<std::unique_ptr<hw::NullModemCable>> cables_;
    std::map<uint16_t, const CardSpec*> cardByAddress_;
    struct PcmciaCard {
        const CardSpec* card;
        std::vector<std::unique_ptr<hw::Uart>> uarts;
        std::vector<std::function<void(bool)>> lines; // each UART's input to the interrupt line
        bool present = false;
    };
    std::vector<PcmciaCard> pcmciaCards_;
    std::unique_ptr<PnpDevices> pnp_;
    std::unique_ptr<win32::Desktop> desktop_;
};

} // namespace sim
