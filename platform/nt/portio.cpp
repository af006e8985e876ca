#include "platform/nt/kernel.h"

#include <cstdio>
#include <stdexcept>

namespace nt {

void PortSpace::attach(uint16_t base, uint16_t length, hw::PortDevice& device) {
    if (length == 0 || base + length > 0x10000)
        throw std::invalid_argument("I/O window outside the 16-bit I/O space");
    for (const auto& [start, window] : windows_) {
        if (base < start + window.length && start < base + length) {
            char what[80];
            std::snprintf(what, sizeof what, "I/O window 0x%04X+%u overlaps 0x%04X+%u", base, length, start,
                          window.length);
            throw std::invalid_argument(what);
        }
    }
    uint16_t number;
    if (!freeNumbers_.empty()) {
        number = freeNumbers_.back();
        freeNumbers_.pop_back();
    } else {
        if (decoded_.size() > 0xFFFF) // number 0 decodes nothing: one window fewer than addresses
            throw std::invalid_argument("the I/O space holds no more windows");
        number = static_cast<uint16_t>(decoded_.size());
        decoded_.emplace_back();
    }
    decoded_[number] = Decoded{&device, base};
    windows_[base] = Window{length, number};
    fill(base, length, number);
}

void PortSpace::detach(uint16_t base) {
    auto it = windows_.find(base);
    if (it == windows_.end())
        return;
    fill(base, it->second.length, 0);
    decoded_[it->second.number] = Decoded{};
    freeNumbers_.push_back(it->second.number);
    windows_.erase(it);
}

void PortSpace::fill(uint16_t base, uint16_t length, uint16_t number) {
    for (uint32_t address = base; address < uint32_t(base) + length; ++address) {
        std::unique_ptr<Page>& page = pages_[address >> 8];
        if (!page)
            page = std::make_unique<Page>(); // every address numbered 0
        (*page)[address & 0xFF] = number;
    }
}

void PortSpace::record(uint32_t address, uint16_t value, uint8_t width, bool write) {
    if (!tracing_ && !claimCheck_)
        return; // the usual case: nobody watches the accesses
    PortAccess access{kernel_.now(), static_cast<uint16_t>(address), value, width, write};
    if (tracing_)
        trace_.push_back(access);
    if (claimCheck_ && kernel_.currentImage() != "system" && !claimedByCurrentImage(address, width))
        unclaimed_.push_back(UnclaimedAccess{access, kernel_.currentImage()});
}

bool PortSpace::claimedByCurrentImage(uint32_t address, uint8_t width) const {
    std::u16string image = toUtf16(kernel_.currentImage());
    for (const auto& claim : kernel_.resources().claims()) {
        if (claim.driverName != image)
            continue;
        for (const auto& d : claim.resources) {
            if (d.Type != CmResourceTypePort)
                continue;
            auto start = static_cast<uint64_t>(d.u.Port.Start.QuadPart);
            if (address >= start && uint64_t(address) + width <= start + d.u.Port.Length)
                return true;
        }
    }
    return false;
}

uint16_t PortSpace::read16(uint32_t address) {
    ++reads_;
    uint16_t lowOffset = 0, highOffset = 0;
    hw::PortDevice* low = decode(address, lowOffset);
    hw::PortDevice* high = decode(address + 1, highOffset);
    uint16_t value = static_cast<uint16_t>((low ? low->read(lowOffset) : 0xFF) |
                                           (high ? high->read(highOffset) : 0xFF) << 8);
    record(address, value, 2, false);
    return value;
}

void PortSpace::write16(uint32_t address, uint16_t value) {
    ++writes_;
    record(address, value, 2, true);
    // An 8-bit device sees a 16-bit access as two byte accesses, low byte first.
    uint16_t offset = 0;
    if (hw::PortDevice* low = decode(address, offset))
        low->write(offset, static_cast<uint8_t>(value));
    if (hw::PortDevice* high = decode(address + 1, offset))
        high->write(offset, static_cast<uint8_t>(value >> 8));
}

} // namespace nt
