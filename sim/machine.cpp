#include "sim/machine.h"

#include "cvntmsg.h"

#include <algorithm>

// CvInstal's message table, exported by its image.
extern "C" const MESSAGE_TABLE CvInstalMessageTable;

namespace sim {

MachineSpec MachineSpec::builtInDefault() {
    MachineSpec spec;
    CardSpec pci{"PCI card", "PCI", 14745600, {}};
    for (uint16_t i = 0; i < 4; ++i)
        pci.uarts.push_back(UartSpec{static_cast<uint16_t>(0xE000 + 8 * i), hw::UartKind::Uart16C950});
    CardSpec isa{"ISA card", "ISA", 1843200, {}};
    isa.uarts.push_back(UartSpec{0x300, hw::UartKind::Uart16550});
    isa.uarts.push_back(UartSpec{0x308, hw::UartKind::Uart16550});
    spec.cards = {pci, isa};
    spec.emptyAddresses = {0x2E8};
    return spec;
}

Machine::Machine(MachineSpec spec) : spec_(std::move(spec)) {
    for (const CardSpec& card : spec_.cards) {
        for (const UartSpec& u : card.uarts) {
            auto uart = std::make_unique<hw::Uart>(u.kind, card.clockHz);
            kernel_.ports().attach(u.address, 8, *uart);
            byAddress_[u.address] = uart.get();
            cardByAddress_[u.address] = &card;
            uarts_.push_back(std::move(uart));
        }
    }
    kernel_.eventLog().registerMessageFile("CvNt.sys", CvNtMessageTable);
    kernel_.eventLog().registerMessageFile("CvInstal.sys", CvInstalMessageTable);
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
