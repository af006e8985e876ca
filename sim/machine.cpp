#include "sim/machine.h"

#include "cvntmsg.h"

#include <algorithm>

// CvInstal's message table, exported by its image.
extern "C" const MESSAGE_TABLE CvInstalMessageTable;

namespace sim {

MachineSpec MachineSpec::builtInDefault() {
    MachineSpec spec;
    CardSpec pci{"PCI card", "PCI", 14745600, {}, 0x3B, 0};
    for (uint16_t i = 0; i < 4; ++i)
        pci.uarts.push_back(UartSpec{static_cast<uint16_t>(0xE000 + 8 * i), hw::UartKind::Uart16C950});
    CardSpec isa{"ISA card", "ISA", 1843200, {}, 0, 0};
    isa.uarts.push_back(UartSpec{0x300, hw::UartKind::Uart16550, 0x35});
    isa.uarts.push_back(UartSpec{0x308, hw::UartKind::Uart16550, 0x34});
    spec.cards = {pci, isa};
    spec.emptyAddresses = {0x2E8};
    return spec;
}

Machine::Machine(MachineSpec spec) : spec_(std::move(spec)) {
    for (const CardSpec& card : spec_.cards) {
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
    kernel_.eventLog().registerMessageFile("CvNt.sys", CvNtMessageTable);
    kernel_.eventLog().registerMessageFile("CvInstal.sys", CvInstalMessageTable);
}

void Machine::connectInterrupt(hw::Uart& uart, ULONG vector) {
    uart.setInterruptSink([this, vector](bool level) {
        int& count = assertedSources_[vector];
        count += level ? 1 : -1;
        kernel_.setInterruptLine(vector, count > 0);
    });
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
