// The kernel pool: every live block with its pool type, tag and owning driver image, plus the
// low-resources switch that makes chosen allocations fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace nt {

struct PoolBlock {
    const void* address = nullptr;
    size_t size = 0;
    int poolType = 0;
    uint32_t tag = 0;
    std::string image;
    uint64_t serial = 0; // order of allocation
};

// Renders a tag as its four characters, e.g. "Ddk ".
std::string tagText(uint32_t tag);
// Builds a tag from four characters as the DDK's multi-character constants do (first character lowest).
constexpr uint32_t makeTag(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}

class Kernel;

class Pool {
public:
    explicit Pool(Kernel& kernel) : kernel_(kernel) {}
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    void* allocate(int poolType, size_t size, uint32_t tag, const std::string& image);
    // Releases a block; a pointer that is not a live block stops the verifier.
    void free(void* block, const char* call);

    bool isLive(const void* block) const { return blocks_.count(block) != 0; }
    std::optional<PoolBlock> block(const void* address) const;
    std::vector<PoolBlock> live(const std::string& image) const;
    size_t liveCount(const std::string& image) const;
    size_t liveCount() const { return blocks_.size(); }
    // One line per block still live for the image, oldest first; empty when nothing leaked.
    std::string leakReport(const std::string& image) const;

    // Low-resources switch. The n-th allocation from now (1 = the next one) fails; with an image
    // given, only that image's allocations are counted.
    void failNth(uint64_t n, std::optional<std::string> image = std::nullopt);
    // Every allocation with this tag fails until the failures are cleared.
    void failTag(uint32_t tag) { failTags_.insert(tag); }
    // Every allocation the predicate picks (by size, tag and image) fails until the failures are cleared.
    using FailRule = std::function<bool(size_t size, uint32_t tag, const std::string& image)>;
    void failWhen(FailRule rule) { failRule_ = std::move(rule); }
    // The tags an image has allocated with since the pool began.
    std::set<uint32_t> tagsUsed(const std::string& image) const {
        auto it = tagsUsed_.find(image);
        return it == tagsUsed_.end() ? std::set<uint32_t>{} : it->second;
    }
    void clearFailures();
    uint64_t allocationCount() const { return allocations_; }
    uint64_t failedCount() const { return failures_; }
    // The machine's pool is bounded like a real one: an allocation that would take the live total past
    // this many bytes fails.
    static constexpr size_t kCapacity = size_t{256} << 20;
    size_t liveBytes() const { return liveBytes_; }

private:
    bool shouldFail(size_t size, uint32_t tag, const std::string& image);

    Kernel& kernel_;
    std::map<const void*, PoolBlock> blocks_;
    uint64_t serial_ = 0;
    uint64_t allocations_ = 0;
    uint64_t failures_ = 0;
    size_t liveBytes_ = 0;
    std::optional<uint64_t> failCountdown_;
    std::optional<std::string> failImage_;
    std::set<uint32_t> failTags_;
    FailRule failRule_;
    std::map<std::string, std::set<uint32_t>> tagsUsed_;
};

} // namespace nt
