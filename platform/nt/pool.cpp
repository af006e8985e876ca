#include "platform/nt/kernel.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace nt {

std::string tagText(uint32_t tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 0x20 && c < 0x7F ? c : '.');
    }
    return text;
}

Pool::~Pool() {
    for (auto& [address, block] : blocks_)
        std::free(const_cast<void*>(address));
}

void Pool::failNth(uint64_t n, std::optional<std::string> image) {
    failCountdown_ = n;
    failImage_ = std::move(image);
}

void Pool::clearFailures() {
    failCountdown_.reset();
    failImage_.reset();
    failTags_.clear();
    failRule_ = nullptr;
}

bool Pool::shouldFail(size_t size, uint32_t tag, const std::string& image) {
    if (failTags_.count(tag) || (failRule_ && failRule_(size, tag, image)))
        return true;
    if (!failCountdown_ || (failImage_ && *failImage_ != image))
        return false;
    if (--*failCountdown_ == 0) {
        failCountdown_.reset();
        return true;
    }
    return false;
}

void* Pool::allocate(int poolType, size_t size, uint32_t tag, const std::string& image) {
    ++allocations_;
    tagsUsed_[image].insert(tag);
    if (shouldFail(size, tag, image) || size > kCapacity - liveBytes_) {
        ++failures_;
        return nullptr;
    }
    // The pool hands out uninitialised memory; a fixed pattern keeps runs repeatable.
    void* block = std::malloc(size ? size : 1);
    if (!block)
        return nullptr;
    std::memset(block, 0xCD, size);
    blocks_[block] = PoolBlock{block, size, poolType, tag, image, ++serial_};
    liveBytes_ += size;
    return block;
}

void Pool::free(void* block, const char* call) {
    auto it = blocks_.find(block);
    if (it == blocks_.end()) {
        char what[96];
        std::snprintf(what, sizeof what, "%p is not a live pool block (freed twice, or never allocated)",
                      block);
        kernel_.verifierStop(call, what);
    }
    std::memset(block, 0xDD, it->second.size);
    liveBytes_ -= it->second.size;
    blocks_.erase(it);
    std::free(block);
}

std::optional<PoolBlock> Pool::block(const void* address) const {
    auto it = blocks_.find(address);
    if (it == blocks_.end())
        return std::nullopt;
    return it->second;
}

std::vector<PoolBlock> Pool::live(const std::string& image) const {
    std::vector<PoolBlock> out;
    for (const auto& [address, block] : blocks_)
        if (block.image == image)
            out.push_back(block);
    std::sort(out.begin(), out.end(),
              [](const PoolBlock& a, const PoolBlock& b) { return a.serial < b.serial; });
    return out;
}

size_t Pool::liveCount(const std::string& image) const {
    return static_cast<size_t>(std::count_if(blocks_.begin(), blocks_.end(),
                                             [&](const auto& entry) { return entry.second.image == image; }));
}

std::string Pool::leakReport(const std::string& image) const {
    std::string report;
    for (const auto& block : live(image)) {
        char line[128];
        std::snprintf(line, sizeof line, "%s: block #%llu of %zu bytes, tag \"%s\", %s pool\n", image.c_str(),
                      static_cast<unsigned long long>(block.serial), block.size, tagText(block.tag).c_str(),
                      block.poolType % 2 ? "paged" : "non-paged");
        report += line;
    }
    return report;
}

} // namespace nt
