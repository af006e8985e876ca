// The 16-bit I/O space: windows of addresses decoded by hardware models, and a trace of accesses.
#pragma once

#include "hw/bus.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nt {

struct PortAccess {
    uint64_t time = 0; // virtual time of the access
    uint16_t address = 0;
    uint16_t value = 0;
    uint8_t width = 1; // bytes
    bool write = false;
};

class Kernel;

class PortSpace {
public:
    explicit PortSpace(Kernel& kernel) : kernel_(kernel) {}

    // Decodes [base, base + length) to `device`; overlapping an existing window is refused.
    void attach(uint16_t base, uint16_t length, hw::PortDevice& device);
    void detach(uint16_t base);

    uint8_t read8(uint32_t address) {
        ++reads_;
        uint16_t offset = 0;
        hw::PortDevice* device = decode(address, offset);
        const uint8_t value = device ? device->read(offset) : 0xFF; // nothing decodes it: the bus floats high
        if (tracing_ || claimCheck_)
            record(address, value, 1, false);
        return value;
    }
    void write8(uint32_t address, uint8_t value) {
        ++writes_;
        if (tracing_ || claimCheck_)
            record(address, value, 1, true);
        uint16_t offset = 0;
        if (hw::PortDevice* device = decode(address, offset))
            device->write(offset, value);
    }
    uint16_t read16(uint32_t address);
    void write16(uint32_t address, uint16_t value);

    void setTracing(bool on) { tracing_ = on; }
    // With the claim check on, every access a driver image makes outside the I/O ranges that driver
    // has claimed (in the resource map, at that moment) is recorded, with the image's name.
    void setClaimCheck(bool on) { claimCheck_ = on; }
    struct UnclaimedAccess {
        PortAccess access;
        std::string image;
    };
    const std::vector<UnclaimedAccess>& unclaimedAccesses() const { return unclaimed_; }
    const std::vector<PortAccess>& trace() const { return trace_; }
    void clearTrace() { trace_.clear(); }
    uint64_t reads() const { return reads_; }
    uint64_t writes() const { return writes_; }

private:
    struct Window {
        uint16_t length;
        uint16_t number; // in `decoded_`
    };
    hw::PortDevice* decode(uint32_t address, uint16_t& offset) const {
        const Page* page = address > 0xFFFF ? nullptr : pages_[address >> 8].get();
        if (!page)
            return nullptr;
        const Decoded& d = decoded_[(*page)[address & 0xFF]];
        offset = static_cast<uint16_t>(address - d.base);
        return d.device;
    }
    void record(uint32_t address, uint16_t value, uint8_t width, bool write);
    bool claimedByCurrentImage(uint32_t address, uint8_t width) const;

    // Each address's window found in two small steps: a page of 256 addresses, made when a window first
    // covers it, holds each address's window number, and the window of that number its device and base
    // (number 0: nothing answers). Numbers keep the pages small, so that with many devices they stay in
    // the processor's nearest cache.
    struct Decoded {
        hw::PortDevice* device = nullptr;
        uint16_t base = 0;
    };
    using Page = std::array<uint16_t, 256>;
    void fill(uint16_t base, uint16_t length, uint16_t number);

    Kernel& kernel_;
    std::map<uint16_t, Window> windows_;
    std::array<std::unique_ptr<Page>, 256> pages_;
    std::vector<Decoded> decoded_{1};   // by window number; [0] decodes nothing
    std::vector<uint16_t> freeNumbers_; // of windows detached
    bool tracing_ = false;
    bool claimCheck_ = false;
    std::vector<UnclaimedAccess> unclaimed_;
    std::vector<PortAccess> trace_;
    uint64_t reads_ = 0, writes_ = 0;
};

} // namespace nt
