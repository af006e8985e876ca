// One simulated machine: the hosted kernel and the hardware it drives, assembled from a description.
#pragma once

#include "hw/uart.h"
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
};

struct CardSpec {
    std::string name;
    std::string bus; // "PCI" or "ISA"
    uint32_t clockHz = 1843200;
    std::vector<UartSpec> uarts;
};

struct MachineSpec {
    std::vector<CardSpec> cards;
    std::vector<uint16_t> emptyAddresses; // addresses where nothing answers, for probing
    // One PCI card with four 16C950 UARTs at 14.7456 MHz, one ISA card with two 16550 UARTs at
    // 1.8432 MHz, and one address where nothing answers.
    static MachineSpec builtInDefault();
};

class Machine {
public:
    explicit Machine(MachineSpec spec);
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    nt::Kernel& kernel() { return kernel_; }
    const MachineSpec& spec() const { return spec_; }
    hw::Uart* uartAt(uint16_t address) const;
    const CardSpec* cardAt(uint16_t address) const;
    // Every UART address and every empty address, in ascending order.
    std::vector<uint16_t> probeAddresses() const;

private:
    MachineSpec spec_;
    nt::Kernel kernel_;
    std::vector<std::unique_ptr<hw::Uart>> uarts_;
    std::map<uint16_t, hw::Uart*> byAddress_;
    std::map<uint16_t, const CardSpec*> cardByAddress_;
};

} // namespace sim
