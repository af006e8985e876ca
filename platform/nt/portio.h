// The 16-bit I/O space: windows of addresses decoded by hardware models, and a trace of accesses.
#pragma once

#include "hw/bus.h"

#include <cstdlib>
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
    explicit PortSpace(Kernel& kernel);

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
    // `count` writes of successive values to one address, as a string output instruction makes them.
    void writeRun8(uint32_t address, const uint8_t* values, size_t count) {
        if (tracing_ || claimCheck_) { // each write recorded in its place
            for (size_t i = 0; i < count; ++i)
                write8(address, values[i]);
            return;
        }
        writes_ += count;
        uint16_t offset = 0;
        if (hw::PortDevice* device = decode(address, offset))
            device->writeRun(offset, values, count);
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
    hw::PortDevice* decode(uint32_t address, uint16_t& offset) const {
        if (address > 0xFFFF) [[unlikely]]
            return nullptr;
        const uint64_t entry = decoded_[address];
        offset = static_cast<uint16_t>(address - (entry & 0xFFFF));
        return reinterpret_cast<hw::PortDevice*>(static_cast<uintptr_t>(entry >> 16));
    }
    void record(uint32_t address, uint16_t value, uint8_t width, bool write);
    bool claimedByCurrentImage(uint32_t address, uint8_t width) const;

    // Each address's device and the base of its window in one word, so that a single load finds both:
    // the device's address above the low 16 bits, the base in them (0: nothing answers). The table
    // spans the whole space but comes from zeroed pages the host maps as they are first written, so
    // only the pages windows cover take memory.
    struct FreeTable {
        void operator()(uint64_t* table) const { std::free(table); }
    };
    static uint64_t entryFor(hw::PortDevice* device, uint16_t base);
    void fill(uint16_t base, uint16_t length, uint64_t entry);

    Kernel& kernel_;
    std::map<uint16_t, uint16_t> windows_; // base to length
    std::unique_ptr<uint64_t[], FreeTable> decoded_;
    bool tracing_ = false;
    bool claimCheck_ = false;
    std::vector<UnclaimedAccess> unclaimed_;
    std::vector<PortAccess> trace_;
    uint64_t reads_ = 0, writes_ = 0;
};

} // namespace nt
