#include "platform/nt/memio.h"

#include "platform/nt/kernel.h"

#include <cstdio>
#include <stdexcept>

namespace nt {

void MemorySpace::attach(uint64_t base, uint32_t length, hw::MemoryDevice& device) {
    if (length == 0)
        throw std::invalid_argument("an empty memory window");
    for (const auto& [start, window] : windows_)
        if (base < start + window.length && start < base + length)
            throw std::invalid_argument("memory window overlaps another");
    windows_[base] = Window{length, &device};
}

void MemorySpace::detach(uint64_t base) {
    windows_.erase(base);
}

bool MemorySpace::decodes(uint64_t address) const {
    auto it = windows_.upper_bound(address);
    if (it == windows_.begin())
        return false;
    --it;
    return address < it->first + it->second.length;
}

hw::MemoryDevice* MemorySpace::decode(uint64_t physical, uint32_t& offset) {
    auto it = windows_.upper_bound(physical);
    if (it == windows_.begin())
        return nullptr;
    --it;
    if (physical >= it->first + it->second.length)
        return nullptr;
    offset = static_cast<uint32_t>(physical - it->first);
    return it->second.device;
}

void* MemorySpace::map(uint64_t physical, size_t length) {
    if (length == 0)
        return nullptr;
    uintptr_t start = nextVirtual_;
    nextVirtual_ += (length + 0xFFF) & ~uintptr_t{0xFFF};
    mappings_[start] = Mapping{physical, length};
    return reinterpret_cast<void*>(start);
}

bool MemorySpace::unmap(void* virtualAddress) {
    return mappings_.erase(reinterpret_cast<uintptr_t>(virtualAddress)) != 0;
}

uint64_t MemorySpace::physicalOf(const void* address, const char* call) {
    auto at = reinterpret_cast<uintptr_t>(address);
    auto it = mappings_.upper_bound(at);
    if (it != mappings_.begin()) {
        --it;
        if (at - it->first < it->second.length)
            return it->second.physical + (at - it->first);
    }
    char what[96];
    std::snprintf(what, sizeof what, "register address %p lies in no mapping of MmMapIoSpace", address);
    kernel_.verifierStop(call, what);
}

uint8_t MemorySpace::read8(const void* address, const char* call) {
    ++reads_;
    uint32_t offset = 0;
    hw::MemoryDevice* device = decode(physicalOf(address, call), offset);
    return device ? device->readMemory(offset) : 0xFF;
}

void MemorySpace::write8(void* address, uint8_t value, const char* call) {
    ++writes_;
    uint32_t offset = 0;
    if (hw::MemoryDevice* device = decode(physicalOf(address, call), offset))
        device->writeMemory(offset, value);
}

} // namespace nt

using nt::Kernel;

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, size_t NumberOfBytes, MEMORY_CACHING_TYPE) {
    Kernel& k = Kernel::require("MmMapIoSpace");
    if (k.irql() > DISPATCH_LEVEL)
        k.verifierStop("MmMapIoSpace", "called above DISPATCH_LEVEL");
    return k.memory().map(static_cast<uint64_t>(PhysicalAddress.QuadPart), NumberOfBytes);
}

VOID MmUnmapIoSpace(PVOID BaseAddress, size_t) {
    Kernel& k = Kernel::require("MmUnmapIoSpace");
    if (!k.memory().unmap(BaseAddress))
        k.verifierStop("MmUnmapIoSpace", "not an address MmMapIoSpace returned");
}

UCHAR READ_REGISTER_UCHAR(PUCHAR Register) {
    Kernel& k = Kernel::require("READ_REGISTER_UCHAR");
    UCHAR value = k.memory().read8(Register, "READ_REGISTER_UCHAR");
    k.checkpoint();
    return value;
}

VOID WRITE_REGISTER_UCHAR(PUCHAR Register, UCHAR Value) {
    Kernel& k = Kernel::require("WRITE_REGISTER_UCHAR");
    k.memory().write8(Register, Value, "WRITE_REGISTER_UCHAR");
    k.checkpoint();
}

VOID WRITE_REGISTER_BUFFER_UCHAR(PUCHAR Register, PUCHAR Buffer, ULONG Count) {
    Kernel& k = Kernel::require("WRITE_REGISTER_BUFFER_UCHAR");
    for (ULONG i = 0; i < Count; ++i)
        k.memory().write8(Register, Buffer[i], "WRITE_REGISTER_BUFFER_UCHAR");
    k.checkpoint();
}

USHORT READ_REGISTER_USHORT(PUSHORT Register) {
    Kernel& k = Kernel::require("READ_REGISTER_USHORT");
    auto* at = reinterpret_cast<PUCHAR>(Register);
    USHORT value = static_cast<USHORT>(k.memory().read8(at, "READ_REGISTER_USHORT") |
                                       k.memory().read8(at + 1, "READ_REGISTER_USHORT") << 8);
    k.checkpoint();
    return value;
}

VOID WRITE_REGISTER_USHORT(PUSHORT Register, USHORT Value) {
    Kernel& k = Kernel::require("WRITE_REGISTER_USHORT");
    auto* at = reinterpret_cast<PUCHAR>(Register);
    k.memory().write8(at, static_cast<UCHAR>(Value), "WRITE_REGISTER_USHORT");
    k.memory().write8(at + 1, static_cast<UCHAR>(Value >> 8), "WRITE_REGISTER_USHORT");
    k.checkpoint();
}
