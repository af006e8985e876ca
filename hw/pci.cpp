#include "hw/pci.h"

#include <algorithm>
#include <cstring>

namespace hw {

void PciFunction::setIds(uint16_t vendor, uint16_t device) {
    std::memcpy(&config_[pci::kVendorId], &vendor, 2);
    std::memcpy(&config_[pci::kDeviceId], &device, 2);
}

void PciFunction::setBar(unsigned index, uint32_t value) {
    std::memcpy(&config_[pci::kBar0 + 4 * index], &value, 4);
}

void PciFunction::setSubsystem(uint16_t vendor, uint16_t id, uint8_t revision) {
    std::memcpy(&config_[pci::kSubsystemVendorId], &vendor, 2);
    std::memcpy(&config_[pci::kSubsystemId], &id, 2);
    config_[pci::kRevisionId] = revision;
}

void PciFunction::setInterruptLine(uint8_t line) {
    config_[pci::kInterruptLine] = line;
    config_[pci::kInterruptPin] = 1; // INTA#
}

uint16_t PciFunction::read16(uint8_t offset) const {
    uint16_t v;
    std::memcpy(&v, &config_[offset], 2);
    return v;
}

uint32_t PciFunction::read32(uint8_t offset) const {
    uint32_t v;
    std::memcpy(&v, &config_[offset], 4);
    return v;
}

void PciBuses::plug(uint32_t bus, unsigned device, unsigned function, PciFunction& card) {
    buses_.insert(bus);
    functions_[key(bus, device, function)] = &card;
}

void PciBuses::unplug(uint32_t bus, unsigned device, unsigned function) {
    functions_.erase(key(bus, device, function));
}

PciFunction* PciBuses::at(uint32_t bus, unsigned device, unsigned function) const {
    auto it = functions_.find(key(bus, device, function));
    return it == functions_.end() ? nullptr : it->second;
}

uint32_t PciBuses::readConfig(uint32_t bus, uint32_t slot, uint8_t* buffer, uint32_t length) const {
    if (!hasBus(bus) || length == 0)
        return 0;
    PciFunction* function = at(bus, slot & 31, (slot >> 5) & 7);
    if (!function) {
        const uint8_t none[2] = {0xFF, 0xFF};
        std::memcpy(buffer, none, std::min<uint32_t>(length, 2));
        return 2;
    }
    uint32_t count = std::min<uint32_t>(length, 256);
    for (uint32_t i = 0; i < count; ++i)
        buffer[i] = function->configRead(static_cast<uint8_t>(i));
    return count;
}

// Byte register: bit 2 halves the clock, bit 5 quarters it (0xD2 /1, 0xD6 /2, 0xF2 /4, 0xF6 /8); the
// other bits must read as the bridge expects them (0xD2 with those two bits clear).
unsigned DecodeBridgeByte(uint8_t value) {
    if ((value & ~0x24) != 0xD2)
        return 0;
    return 1u << (((value >> 2) & 1) + 2 * ((value >> 5) & 1));
}

unsigned DecodeBridgeWord(uint16_t value) {
    switch (value) {
    case 0x4DB2:
        return 1;
    case 0x4D96:
        return 2;
    case 0x4CB6:
        return 4;
    case 0x45B6:
        return 8;
    default:
        return 0;
    }
}

// Per-port register: bits 4-5 select the division (3 /1, 2 /2, 1 /4, 0 /8); bits 0-3 are the port's
// duplex and CTS settings and do not touch the clock.
unsigned DecodeBridgePerPort(uint8_t value) {
    return 8u >> ((value >> 4) & 3);
}

PciSerialCard::PciSerialCard(const PciCardLayout& layout) : layout_(layout) {
    setIds(layout.vendorId, layout.deviceId);
    config_[pci::kHeaderType] = 0;
    setBar(0, layout.bridgeMemory & ~0xFu);
    setBar(1, layout.bridgeIo | pci::kBarIo);
    setBar(2, layout.uartWindowInMemory ? (uint32_t(layout.uartWindow) & ~0xFu)
                                        : (layout.uartWindow | pci::kBarIo));
    if (layout.window2)
        setBar(3, layout.window2 | pci::kBarIo);
    if (layout.uartMemory)
        setBar(4, layout.uartMemory & ~0xFu);
    setSubsystem(layout.subsystemVendorId, layout.subsystemId, layout.revision);
    setInterruptLine(layout.interruptLine);

    line_ = std::make_unique<WiredOrLine>([this](bool level) {
        if (sink_)
            sink_(level);
    });
    for (unsigned i = 0; i < layout.uarts; ++i) {
        uarts_.push_back(std::make_unique<Uart>(layout.kind, layout.oscillatorHz));
        uarts_.back()->setInterruptSink(line_->input());
    }
    divisors_.assign(layout.uarts, 1); // the bridge starts undivided
}

unsigned PciSerialCard::bridgeDivisor(unsigned index) const {
    return index < divisors_.size() ? divisors_[index] : 1;
}

uint32_t PciSerialCard::barSize(unsigned index) const {
    switch (index) {
    case 0:
    case 1:
        return 128; // the bridge's registers, as memory and as I/O
    case 2:
    case 4: {
        if (index == 4 && !layout_.uartMemory)
            return 0;
        uint32_t size = 8;
        while (size < layout_.uarts * layout_.spacing)
            size *= 2; // windows are powers of two
        return size;
    }
    case 3:
        return layout_.window2 ? 16 : 0;
    default:
        return 0;
    }
}

std::vector<PciSerialCard::Window> PciSerialCard::ioWindows() {
    std::vector<Window> out;
    out.push_back({layout_.bridgeIo, 128, &bridge_});
    if (layout_.window2)
        out.push_back({layout_.window2, 16, &window2_});
    if (!layout_.uartWindowInMemory)
        for (unsigned i = 0; i < uarts_.size(); ++i)
            out.push_back(
                {static_cast<uint16_t>(layout_.uartWindow + i * layout_.spacing), 8, uarts_[i].get()});
    return out;
}

std::vector<PciSerialCard::MemoryWindow> PciSerialCard::memoryWindows() {
    std::vector<MemoryWindow> out;
    if (layout_.bridgeMemory)
        out.push_back({layout_.bridgeMemory, barSize(0), &bridgeMemory_});
    if (layout_.uartMemory)
        out.push_back({layout_.uartMemory, barSize(4), &uartMemory_});
    return out;
}

PortDevice* PciSerialCard::MemoryAlias::target(uint32_t offset, uint16_t& within) {
    if (!uarts_) {
        within = static_cast<uint16_t>(offset);
        return offset < card_.bridge_.size() ? &card_.bridge_ : nullptr;
    }
    const unsigned spacing = card_.layout_.spacing ? card_.layout_.spacing : 8;
    const unsigned index = offset / spacing;
    within = static_cast<uint16_t>(offset % spacing);
    // Each UART decodes its eight registers; the rest of its slot reads as nothing.
    return index < card_.uarts_.size() && within < 8 ? card_.uarts_[index].get() : nullptr;
}

uint8_t PciSerialCard::MemoryAlias::readMemory(uint32_t offset) {
    uint16_t within = 0;
    PortDevice* device = target(offset, within);
    return device ? device->read(within) : 0xFF;
}

void PciSerialCard::MemoryAlias::writeMemory(uint32_t offset, uint8_t value) {
    uint16_t within = 0;
    if (PortDevice* device = target(offset, within))
        device->write(within, value);
}

void PciSerialCard::applyDivisors() {
    for (unsigned i = 0; i < uarts_.size(); ++i)
        uarts_[i]->setInputClock(layout_.oscillatorHz / divisors_[i]);
}

uint8_t PciSerialCard::BridgeRegisters::read(uint16_t offset) {
    return offset < bytes_.size() ? bytes_[offset] : 0xFF;
}

void PciSerialCard::BridgeRegisters::write(uint16_t offset, uint8_t value) {
    if (offset >= bytes_.size())
        return;
    bytes_[offset] = value;
    const auto& layout = card_.layout_;
    unsigned divisor = 0;
    if (layout.divisorKind == BridgeDivisor::Byte && offset == layout.divisorOffset)
        divisor = DecodeBridgeByte(value);
    else if (layout.divisorKind == BridgeDivisor::Word &&
             (offset == layout.divisorOffset || offset == layout.divisorOffset + 1) &&
             layout.divisorOffset + 1u < bytes_.size())
        divisor = DecodeBridgeWord(
            static_cast<uint16_t>(bytes_[layout.divisorOffset] | bytes_[layout.divisorOffset + 1] << 8));
    if (divisor == 0)
        return; // not a divisor register, or a value that selects nothing: the clock stays
    std::fill(card_.divisors_.begin(), card_.divisors_.end(), divisor);
    card_.applyDivisors();
}

uint8_t PciSerialCard::Window2Registers::read(uint16_t offset) {
    if (card_.layout_.divisorKind != BridgeDivisor::PerPort)
        return card_.parallel_.read(offset);
    return offset < bytes_.size() ? bytes_[offset] : 0xFF;
}

void PciSerialCard::Window2Registers::write(uint16_t offset, uint8_t value) {
    if (card_.layout_.divisorKind != BridgeDivisor::PerPort) {
        card_.parallel_.write(offset, value);
        return;
    }
    if (offset >= bytes_.size())
        return;
    bytes_[offset] = value;
    if (offset % 2 != 0)
        return;
    unsigned port = offset / 2;
    if (port >= card_.uarts_.size())
        return;
    card_.divisors_[port] = DecodeBridgePerPort(value);
    card_.applyDivisors();
}

} // namespace hw
