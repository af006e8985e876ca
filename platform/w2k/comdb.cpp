#include "platform/w2k/comdb.h"

#include "platform/nt/include/ntddk.h"

#include <algorithm>

namespace w2k {

std::vector<uint8_t> ComDatabase::load() const {
    std::vector<uint8_t> bits;
    if (auto value = registry_.value(kKey, "ComDB"); value && value->type == REG_BINARY)
        bits = value->data;
    // Numbers past the stored bytes are free; the database never holds more than its maximum.
    bits.resize(std::clamp<size_t>(bits.size(), kMinimumPorts / 8, kMaximumPorts / 8), 0);
    return bits;
}

void ComDatabase::store(const std::vector<uint8_t>& bits) {
    registry_.create(kKey);
    registry_.setValue(kKey, "ComDB", REG_BINARY, bits);
}

unsigned ComDatabase::size() const {
    return static_cast<unsigned>(load().size() * 8);
}

bool ComDatabase::inUse(unsigned com) const {
    auto bits = load();
    return com >= 1 && com <= bits.size() * 8 && (bits[(com - 1) / 8] >> ((com - 1) % 8) & 1);
}

std::vector<uint8_t> ComDatabase::bits() const {
    return load();
}

ComDatabase::Claim ComDatabase::claim(unsigned com, bool force, bool* forced) {
    auto bits = load();
    if (forced)
        *forced = false;
    if (com < 1 || com > bits.size() * 8)
        return Claim::Invalid;
    uint8_t& byte = bits[(com - 1) / 8];
    const uint8_t bit = static_cast<uint8_t>(1u << ((com - 1) % 8));
    if (byte & bit) {
        if (!force)
            return Claim::InUse;
        if (forced)
            *forced = true;
    }
    byte |= bit;
    store(bits);
    return Claim::Claimed;
}

unsigned ComDatabase::claimNextFree() {
    auto bits = load();
    for (unsigned com = 1; com <= bits.size() * 8; ++com)
        if (!(bits[(com - 1) / 8] >> ((com - 1) % 8) & 1)) {
            claim(com, false);
            return com;
        }
    return 0;
}

bool ComDatabase::release(unsigned com) {
    auto bits = load();
    if (com < 1 || com > bits.size() * 8)
        return false;
    bits[(com - 1) / 8] &= static_cast<uint8_t>(~(1u << ((com - 1) % 8)));
    store(bits);
    return true;
}

bool ComDatabase::resize(unsigned ports) {
    auto bits = load();
    if (ports > kMaximumPorts || ports < bits.size() * 8 || ports % 1024 != 0)
        return false;
    bits.resize(ports / 8, 0);
    store(bits);
    return true;
}

} // namespace w2k
