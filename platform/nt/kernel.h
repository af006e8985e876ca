// The hosted NT kernel: the state behind the DDK calls of one simulated machine.
//
// Driver code calls the free DDK functions of ntddk.h; they reach the kernel of the machine that is
// running through a thread-local pointer that `KernelScope` sets. Everything a kernel owns (pool,
// registry, event log, I/O space, time) lives in the `Kernel` object, so machines can exist side by side.
#pragma once

#include "platform/nt/eventlog.h"
#include "platform/nt/pool.h"
#include "platform/nt/portio.h"
#include "platform/nt/registry.h"

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nt {

// Raised by the default verifier handler when a test is set to catch stops rather than abort.
struct VerifierStop : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Kernel {
public:
    Kernel();
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    Pool& pool() { return pool_; }
    Registry& registry() { return registry_; }
    EventLog& eventLog() { return eventLog_; }
    PortSpace& ports() { return ports_; }

    // Virtual time in 100 ns units since the machine started.
    uint64_t now() const { return now_; }
    void advance(uint64_t ticks) { now_ += ticks; }
    // System time (100 ns units since 1601) at which the machine started.
    uint64_t bootTime() const { return bootTime_; }

    // The ANSI code page: single-byte (Latin-1) or multi-byte (UTF-8 stands in for a DBCS page).
    bool multiByteCodePage() const { return multiByteCodePage_; }
    void setMultiByteCodePage(bool on) { multiByteCodePage_ = on; }

    // The driver image whose code is running; pool blocks are attributed to it.
    const std::string& currentImage() const { return currentImage_; }
    void setCurrentImage(std::string name) { currentImage_ = std::move(name); }

    uint8_t irql() const { return irql_; }
    void setIrql(uint8_t irql) { irql_ = irql; }

    // What drivers printed with DbgPrint, one entry per call.
    const std::vector<std::string>& debugOutput() const { return debugOutput_; }
    void debugPrint(std::string text) { debugOutput_.push_back(std::move(text)); }

    // A verifier check failed in `call`. The handler decides: the default prints and aborts.
    [[noreturn]] void verifierStop(const std::string& call, const std::string& what);
    using VerifierHandler = std::function<void(const std::string& message)>;
    void setVerifierHandler(VerifierHandler handler) { verifierHandler_ = std::move(handler); }

    static Kernel* current();
    static Kernel& require(const char* call);

private:
    friend class KernelScope;
    Pool pool_;
    Registry registry_;
    EventLog eventLog_;
    PortSpace ports_;
    uint64_t now_ = 0;
    uint64_t bootTime_;
    bool multiByteCodePage_ = false;
    std::string currentImage_ = "system";
    uint8_t irql_ = 0;
    std::vector<std::string> debugOutput_;
    VerifierHandler verifierHandler_;
};

// Makes `kernel` the current one on this thread for the scope's lifetime.
class KernelScope {
public:
    explicit KernelScope(Kernel& kernel);
    ~KernelScope();
    KernelScope(const KernelScope&) = delete;
    KernelScope& operator=(const KernelScope&) = delete;

private:
    Kernel* previous_;
};

// Runs the enclosed code as code of the named driver image.
class ImageScope {
public:
    ImageScope(Kernel& kernel, std::string image);
    ~ImageScope();
    ImageScope(const ImageScope&) = delete;
    ImageScope& operator=(const ImageScope&) = delete;

private:
    Kernel& kernel_;
    std::string previous_;
};

// Conversions between the kernel's UTF-16 text and the host's UTF-8.
std::string toUtf8(std::u16string_view text);
std::u16string toUtf16(std::string_view text);

} // namespace nt
