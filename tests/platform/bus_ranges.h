// A machine's bus translation for tests that build their kernel by hand: I/O ranges the HAL maps into
// memory space and ranges it cannot translate; everything else translates to itself.
#pragma once

#include "platform/nt/kernel.h"

#include <cstdint>
#include <utility>
#include <vector>

struct BusRanges {
    std::vector<std::pair<uint64_t, uint64_t>> inMemorySpace, untranslatable; // start, length

    void install(nt::Kernel& kernel) {
        kernel.setBusTranslation(
            [this](INTERFACE_TYPE, ULONG, uint64_t address, nt::Kernel::AddressSpace asked) {
                auto in = [address](const auto& ranges) {
                    for (auto [start, length] : ranges)
                        if (address >= start && address - start < length)
                            return true;
                    return false;
                };
                if (in(untranslatable))
                    return nt::Kernel::AddressSpace::None;
                if (asked == nt::Kernel::AddressSpace::Io && in(inMemorySpace))
                    return nt::Kernel::AddressSpace::Memory;
                return asked;
            });
    }
};
