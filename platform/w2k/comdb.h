// The COM port database of Windows 2000: which COM numbers are in use, one bit per number (COM1 in the
// lowest bit of the first byte), kept in the registry value "ComDB" of Control\COM Name Arbiter, where
// the Ports class installer and msports' ComDB calls find it. The database arbitrates at least 256
// numbers and at most 4096; a value shorter than that reads as free numbers.
#pragma once

#include "platform/nt/registry.h"

#include <cstdint>
#include <vector>

namespace w2k {

class ComDatabase {
public:
    static constexpr unsigned kMinimumPorts = 256;
    static constexpr unsigned kMaximumPorts = 4096;
    static constexpr const char* kKey =
        "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";

    explicit ComDatabase(nt::Registry& registry) : registry_(registry) {}

    // How many numbers the database arbitrates now.
    unsigned size() const;
    bool inUse(unsigned com) const;
    // One bit per number, size() / 8 bytes.
    std::vector<uint8_t> bits() const;

    enum class Claim { Claimed, InUse, Invalid };
    // Marks the number in use; a number in use is taken over only with `force` (then `forced` says so).
    Claim claim(unsigned com, bool force, bool* forced = nullptr);
    // The lowest free number, marked in use; 0 when every number is taken.
    unsigned claimNextFree();
    // Marks the number free; false for a number outside the database.
    bool release(unsigned com);
    // Grows the database to `ports` numbers (a multiple of 1024 up to the maximum, as Windows does);
    // it never shrinks.
    bool resize(unsigned ports);

private:
    std::vector<uint8_t> load() const;
    void store(const std::vector<uint8_t>& bits);
    nt::Registry& registry_;
};

} // namespace w2k
