// The PCI side of a machine: buses with devices and functions, each function with its 256-byte
// configuration space, read as the HAL reads it; and the serial card model behind a PLX-style bridge,
// whose baud clock divisor register really divides the clock its UARTs receive.
#pragma once

#include "hw/bus.h"
#include "hw/parallel.h"
#include "hw/uart.h"
#include "hw/wiring.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace hw {

namespace pci {
inline constexpr uint8_t kVendorId = 0x00;
inline constexpr uint8_t kDeviceId = 0x02;
inline constexpr uint8_t kCommand = 0x04;
inline constexpr uint8_t kRevisionId = 0x08;
inline constexpr uint8_t kHeaderType = 0x0E;
inline constexpr uint8_t kBar0 = 0x10;
inline constexpr unsigned kBars = 6;
inline constexpr uint8_t kSubsystemVendorId = 0x2C;
inline constexpr uint8_t kSubsystemId = 0x2E;
inline constexpr uint8_t kInterruptLine = 0x3C;
inline constexpr uint8_t kInterruptPin = 0x3D;
inline constexpr uint32_t kBarIo = 0x1; // bit 0 of a base address register: an I/O window
} // namespace pci

// One function's configuration space.
class PciFunction {
public:
    virtual ~PciFunction() = default;
    uint8_t configRead(uint8_t offset) const { return config_[offset]; }
    uint16_t vendorId() const { return read16(pci::kVendorId); }
    uint16_t deviceId() const { return read16(pci::kDeviceId); }
    uint32_t bar(unsigned index) const { return read32(static_cast<uint8_t>(pci::kBar0 + 4 * index)); }
    // How many bytes base address register `index` decodes (0: not implemented), as sizing it with
    // all ones would tell.
    virtual uint32_t barSize(unsigned index) const {
        (void)index;
        return 0;
    }

    void setIds(uint16_t vendor, uint16_t device);
    void setBar(unsigned index, uint32_t value);
    void setInterruptLine(uint8_t line);
    void setSubsystem(uint16_t vendor, uint16_t id, uint8_t revision);
    uint16_t read16(uint8_t offset) const;
    uint32_t read32(uint8_t offset) const;

protected:
    std::array<uint8_t, 256> config_{};
};

// The buses a machine has and what sits in their slots. A bus number the machine does not have reads
// as nothing at all; an empty slot of an existing bus reads as vendor 0xFFFF.
class PciBuses {
public:
    void addBus(uint32_t bus) { buses_.insert(bus); }
    bool hasBus(uint32_t bus) const { return buses_.count(bus) != 0; }
    // Plugs `function` in at (bus, device 0-31, function 0-7); the bus is added if missing.
    void plug(uint32_t bus, unsigned device, unsigned function, PciFunction& card);
    void unplug(uint32_t bus, unsigned device, unsigned function);
    PciFunction* at(uint32_t bus, unsigned device, unsigned function) const;

    // What HalGetBusData(PCIConfiguration) returns: 0 for a bus that does not exist; 2 with vendor
    // 0xFFFF for an empty slot; otherwise the bytes copied from the start of configuration space.
    // `slot` is in the PCI_SLOT_NUMBER form (device in bits 0-4, function in bits 5-7).
    uint32_t readConfig(uint32_t bus, uint32_t slot, uint8_t* buffer, uint32_t length) const;

private:
    static uint32_t key(uint32_t bus, unsigned device, unsigned function) {
        return bus << 8 | (device & 31) << 3 | (function & 7);
    }
    std::set<uint32_t> buses_;
    std::map<uint32_t, PciFunction*> functions_;
};

// How a card's bridge divides the UART clock: no register, one 8-bit or 16-bit register in the bridge
// I/O window at `divisorOffset`, or one 8-bit register per port in the second I/O window (port i at 2i).
enum class BridgeDivisor { None = 0, Byte = 1, Word = 2, PerPort = 3 };

struct PciCardLayout {
    uint16_t vendorId = 0x10B5;
    uint16_t deviceId = 0x0020;
    uint16_t subsystemVendorId = 0x10B5;
    uint16_t subsystemId = 0x0020;
    uint8_t revision = 1;
    uint32_t bridgeMemory = 0xFEB00000; // BAR0: the bridge registers as memory
    uint16_t bridgeIo = 0xEC00;         // BAR1: the bridge registers as I/O (128 bytes)
    uint16_t uartWindow = 0xE800;       // BAR2: the UARTs
    uint16_t window2 = 0;               // BAR3: second I/O window (16 bytes); 0 for none
    bool uartWindowInMemory = false;    // BAR2 as a memory window, which CvNt does not support
    uint32_t uartMemory = 0;            // BAR4: the UARTs once more, as a memory window; 0 for none
    uint8_t interruptLine = 11;
    uint32_t oscillatorHz = 14745600;
    UartKind kind = UartKind::Uart16C950;
    unsigned uarts = 4;
    unsigned spacing = 8;
    BridgeDivisor divisorKind = BridgeDivisor::None;
    uint16_t divisorOffset = 0x50; // in the bridge I/O window
};

// A multi-port PCI card: configuration space from its layout, the UARTs in the UART window at the
// given spacing, their interrupt outputs wired together onto the card's line, and the bridge registers.
class PciSerialCard final : public PciFunction {
public:
    explicit PciSerialCard(const PciCardLayout& layout);
    PciSerialCard(const PciSerialCard&) = delete;
    PciSerialCard& operator=(const PciSerialCard&) = delete;

    const PciCardLayout& layout() const { return layout_; }
    Uart& uart(unsigned index) { return *uarts_[index]; }
    unsigned uartCount() const { return static_cast<unsigned>(uarts_.size()); }
    // The division the bridge applies to port `index`'s clock now.
    unsigned bridgeDivisor(unsigned index) const;
    uint32_t barSize(unsigned index) const override;

    // The I/O windows the card decodes, for the machine to attach: (base, length, device).
    struct Window {
        uint16_t base;
        uint16_t length;
        PortDevice* device;
    };
    std::vector<Window> ioWindows();
    // The memory windows it decodes: the bridge registers (BAR0) and, when it has one, the UARTs (BAR4).
    struct MemoryWindow {
        uint32_t base;
        uint32_t length;
        MemoryDevice* device;
    };
    std::vector<MemoryWindow> memoryWindows();
    // The parallel port in the second I/O window (a card whose bridge divides per port keeps its divisor
    // registers there instead).
    ParallelPort& parallelPort() { return parallel_; }
    // Where the card's interrupt goes (the machine's line for the card's vector).
    void setInterruptSink(std::function<void(bool)> sink) { sink_ = std::move(sink); }

private:
    class BridgeRegisters final : public PortDevice {
    public:
        explicit BridgeRegisters(PciSerialCard& card) : card_(card) {}
        uint8_t read(uint16_t offset) override;
        void write(uint16_t offset, uint8_t value) override;
        static constexpr uint32_t kSize = 128;
        static constexpr uint32_t size() { return kSize; }

    private:
        PciSerialCard& card_;
        std::array<uint8_t, kSize> bytes_{};
    };
    class Window2Registers final : public PortDevice {
    public:
        explicit Window2Registers(PciSerialCard& card) : card_(card) {}
        uint8_t read(uint16_t offset) override;
        void write(uint16_t offset, uint8_t value) override;

    private:
        PciSerialCard& card_;
        std::array<uint8_t, 16> bytes_{};
    };

    // A memory window that reaches registers decoded in I/O space (the bridge's, or the UARTs' at the
    // card's spacing).
    class MemoryAlias final : public MemoryDevice {
    public:
        MemoryAlias(PciSerialCard& card, bool uarts) : card_(card), uarts_(uarts) {}
        uint8_t readMemory(uint32_t offset) override;
        void writeMemory(uint32_t offset, uint8_t value) override;

    private:
        PortDevice* target(uint32_t offset, uint16_t& within);
        PciSerialCard& card_;
        bool uarts_;
    };

    void applyDivisors();

    PciCardLayout layout_;
    std::vector<std::unique_ptr<Uart>> uarts_;
    std::vector<unsigned> divisors_; // per port
    std::unique_ptr<WiredOrLine> line_;
    std::function<void(bool)> sink_;
    BridgeRegisters bridge_{*this};
    ParallelPort parallel_;
    Window2Registers window2_{*this};
    MemoryAlias bridgeMemory_{*this, false};
    MemoryAlias uartMemory_{*this, true};
};

// What the bridge makes of a divisor register value; 0 when the value selects no known division.
unsigned DecodeBridgeByte(uint8_t value);
unsigned DecodeBridgeWord(uint16_t value);
unsigned DecodeBridgePerPort(uint8_t value);

} // namespace hw
