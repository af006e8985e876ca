#include "platform/nt/kernel.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <stdexcept>

namespace nt {

PortSpace::PortSpace(Kernel& kernel)
    : kernel_(kernel), decoded_(static_cast<uint64_t*>(std::calloc(0x10000, sizeof(uint64_t)))) {
    if (!decoded_)
        throw std::bad_alloc();
}

uint64_t PortSpace::entryFor(hw::PortDevice* device, uint16_t base) {
    const auto address = reinterpret_cast<uintptr_t>(device);
    if (uint64_t(address) >> 48) // no host this runs on gives a program addresses that wide
        throw std::invalid_argument("a device's address does not fit the I/O decode table");
    return uint64_t(address) << 16 | base;
}

void PortSpace::attach(uint16_t base, uint16_t length, hw::PortDevice& device) {
    if (length == 0 || base + length > 0x10000)
        throw std::invalid_argument("I/O window outside the 16-bit I/O space");
    for (const auto& [start, windowLength] : windows_) {
        if (base < start + windowLength && start < base + length) {
            char what[80];
            std::snprintf(what, sizeof what, "I/O window 0x%04X+%u overlaps 0x%04X+%u", base, length, start,
                          windowLength);
            throw std::invalid_argument(what);
        }
    }
    const uint64_t entry = entryFor(&device, base);
    windows_[base] = length;
    fill(base, length, entry);
}

void PortSpace::detach(uint16_t base) {
    auto it = windows_.find(base);
    if (it == windows_.end())
        return;
    fill(base, it->second, 0);
    windows_.erase(it);
}

void PortSpace::fill(uint16_t base, uint16_t length, uint64_t entry) {
    std::fill_n(decoded_.get() + base, length, entry);
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
