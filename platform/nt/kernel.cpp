#include "platform/nt/kernel.h"

#include <cstdio>
#include <cstdlib>

namespace nt {

namespace {
// 1 January 2001, 00:00 UTC, in 100 ns units since 1601: every machine starts at the same instant.
constexpr uint64_t kBootTime = 126227808000000000ULL;
} // namespace

Kernel::Kernel()
    : pool_(*this), eventLog_(*this), ports_(*this), memory_(*this),
      resources_(std::make_unique<ResourceArbiter>(*this)),
      services_(std::make_unique<ServiceManager>(*this)), io_(std::make_unique<IoManager>(*this)),
      bootTime_(kBootTime) {}

Kernel::~Kernel() {
    if (current_ == this)
        current_ = nullptr;
}

void Kernel::noMachine(const char* call) {
    std::fprintf(stderr, "*** %s called with no machine running on this thread\n", call);
    std::abort();
}

void Kernel::verifierStop(const std::string& call, const std::string& what) {
    std::string message = "VERIFIER STOP in " + call + ": " + what;
    if (verifierHandler_)
        verifierHandler_(message);
    std::fprintf(stderr, "*** %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

KernelScope::KernelScope(Kernel& kernel) : previous_(Kernel::current_) {
    Kernel::current_ = &kernel;
}
KernelScope::~KernelScope() {
    Kernel::current_ = previous_;
}

ImageScope::ImageScope(Kernel& kernel, const std::string& image)
    : kernel_(kernel), previous_(kernel.currentImage_) {
    if (image != *previous_)
        kernel_.currentImage_ = &kernel_.imageName(image);
}
ImageScope::~ImageScope() {
    kernel_.currentImage_ = previous_;
}

std::string toUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD; // a lone surrogate has no UTF-8 form
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | c >> 12));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | c >> 18));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string toUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint8_t c = static_cast<uint8_t>(text[i]);
        uint32_t cp;
        size_t follow;
        if (c < 0x80) {
            cp = c;
            follow = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            follow = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            follow = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            follow = 3;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        if (text.size() - i - 1 < follow) {
            out.push_back(0xFFFD);
            break;
        }
        bool ok = true;
        for (size_t k = 1; k <= follow; ++k) {
            uint8_t f = static_cast<uint8_t>(text[i + k]);
            if ((f & 0xC0) != 0x80)
                ok = false;
            cp = cp << 6 | (f & 0x3F);
        }
        if (!ok) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        i += follow + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

} // namespace nt

namespace nt {

namespace {
std::string UpperPath(std::string_view path) {
    std::string out(path);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}
} // namespace

void Kernel::addFile(std::string path) {
    files_.insert(UpperPath(path));
}

bool Kernel::fileExists(std::string_view path) const {
    return files_.count(UpperPath(path)) != 0;
}

} // namespace nt
