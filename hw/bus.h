// Bus interfaces that hardware models implement and the platform dispatches to.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hw {

// A device decoding a window of the 16-bit I/O space; offsets are relative to the window's start.
class PortDevice {
public:
    virtual ~PortDevice() = default;
    virtual uint8_t read(uint16_t offset) = 0;
    virtual void write(uint16_t offset, uint8_t value) = 0;
    // A run of writes to one register, as a string output instruction makes them: each value in turn,
    // exactly as that many single writes.
    virtual void writeRun(uint16_t offset, const uint8_t* values, size_t count) {
        for (size_t i = 0; i < count; ++i)
            write(offset, values[i]);
    }
};

// A device decoding a window of physical memory (a PCI memory window); offsets from its start.
class MemoryDevice {
public:
    virtual ~MemoryDevice() = default;
    virtual uint8_t readMemory(uint32_t offset) = 0;
    virtual void writeMemory(uint32_t offset, uint8_t value) = 0;
};

} // namespace hw
