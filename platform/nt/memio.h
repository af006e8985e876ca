// Physical memory windows decoded by hardware models, and the mappings MmMapIoSpace makes of them: a
// driver reads and writes a mapped register through READ_REGISTER_UCHAR and its siblings, which reach
// the model behind the physical address.
#pragma once

#include "hw/bus.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace nt {

class Kernel;

class MemorySpace {
public:
    explicit MemorySpace(Kernel& kernel) : kernel_(kernel) {}

    // Decodes [base, base + length) of physical memory to `device`; overlaps are refused.
    void attach(uint64_t base, uint32_t length, hw::MemoryDevice& device);
    void detach(uint64_t base);
    bool decodes(uint64_t address) const;

    // A virtual range standing for [physical, physical + length); null when nothing decodes it.
    void* map(uint64_t physical, size_t length);
    bool unmap(void* virtualAddress);
    size_t mappings() const { return mappings_.size(); }

    // Register access through a mapped address; an address outside every mapping stops the verifier.
    uint8_t read8(const void* address, const char* call);
    void write8(void* address, uint8_t value, const char* call);
    uint64_t reads() const { return reads_; }
    uint64_t writes() const { return writes_; }

private:
    struct Window {
        uint32_t length;
        hw::MemoryDevice* device;
    };
    struct Mapping {
        uint64_t physical;
        size_t length;
    };
    hw::MemoryDevice* decode(uint64_t physical, uint32_t& offset);
    uint64_t physicalOf(const void* address, const char* call);

    Kernel& kernel_;
    std::map<uint64_t, Window> windows_;
    std::map<uintptr_t, Mapping> mappings_; // by virtual start
    // Mapped ranges are handed out from this address up, below 4 GiB as on the drivers' 32-bit
    // platform (a driver may keep one in a 32-bit field); nothing is ever read or written there.
    uintptr_t nextVirtual_ = 0xE0000000u;
    uint64_t reads_ = 0, writes_ = 0;
};

} // namespace nt
