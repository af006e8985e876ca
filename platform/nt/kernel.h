// The hosted NT kernel: the state behind the DDK calls of one simulated machine.
//
// Driver code calls the free DDK functions of ntddk.h; they reach the kernel of the machine that is
// running through a thread-local pointer that `KernelScope` sets. Everything a kernel owns (pool,
// registry, event log, I/O space, time) lives in the `Kernel` object, so machines can exist side by side.
#pragma once

#include "hw/pci.h"
#include "hw/eventqueue.h"
#include "platform/nt/eventlog.h"
#include "platform/nt/io.h"
#include "platform/nt/memio.h"
#include "platform/nt/resources.h"
#include "platform/nt/services.h"
#include "platform/nt/include/ntddk.h"
#include "platform/nt/pool.h"
#include "platform/nt/portio.h"
#include "platform/nt/registry.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace nt {

// Raised by the default verifier handler when a test is set to catch stops rather than abort.
struct VerifierStop : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What a plug-and-play machine (Windows 2000) adds beside the kernel: told when a device object goes
// and when the last handle a program held to a device is closed. NT 4 machines have none.
class DeviceManagerHooks {
public:
    virtual ~DeviceManagerHooks() = default;
    virtual void deviceDeleted(PDEVICE_OBJECT device) { (void)device; }
    virtual void lastHandleClosed(PDEVICE_OBJECT device) { (void)device; }
    // A request reaches a device's dispatch routine.
    virtual void dispatching(PIRP irp, PDEVICE_OBJECT device) {
        (void)irp;
        (void)device;
    }
    // A request is done with and its IRP about to be freed.
    virtual void requestFinished(PIRP irp, UCHAR major) {
        (void)irp;
        (void)major;
    }
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
    // The machine's disk as far as programs look at it: which files exist (full paths, compared
    // without regard to case), and the system directory.
    void addFile(std::string path);
    bool fileExists(std::string_view path) const;
    static constexpr const char* kSystemDirectory = "C:\\WINNT\\System32";
    PortSpace& ports() { return ports_; }
    MemorySpace& memory() { return memory_; }
    // The machine's PCI buses (none unless the machine has them).
    hw::PciBuses& pci() { return pci_; }
    // Where the HAL's bus addresses land. The machine that owns the description answers; without an
    // answer every address translates to itself in the space asked for.
    enum class AddressSpace { Io, Memory, None };
    using BusTranslation = std::function<AddressSpace(INTERFACE_TYPE bus, ULONG busNumber, uint64_t address,
                                                      AddressSpace asked)>;
    void setBusTranslation(BusTranslation translation) { busTranslation_ = std::move(translation); }
    AddressSpace translate(INTERFACE_TYPE bus, ULONG busNumber, uint64_t address, AddressSpace asked) const {
        return busTranslation_ ? busTranslation_(bus, busNumber, address, asked) : asked;
    }
    // Fault injection for the HAL: a number of slot assignments to fail (for retry paths).
    struct HalFaults {
        unsigned slotAssignmentFailures = 0;
    };
    HalFaults& hal() { return hal_; }
    // Resource claims and the configuration counts (serial ports and others) drivers keep.
    ResourceArbiter& resources() { return *resources_; }
    CONFIGURATION_INFORMATION& configuration() { return configuration_; }
    ServiceManager& services() { return *services_; }
    // The machine's plug-and-play and power managers (Windows 2000 machines), owned by the machine.
    void setDeviceManager(DeviceManagerHooks* manager) { deviceManager_ = manager; }
    DeviceManagerHooks* deviceManager() const { return deviceManager_; }
    IoManager& io() { return *io_; }

    // Virtual time in 100 ns units since the machine started, and the timeline of the machine's events.
    uint64_t now() const { return timeline_.now(); }
    hw::EventQueue& timeline() { return timeline_; }
    // Lets time pass without running driver code (hardware events still happen).
    void advance(uint64_t ticks) { timeline_.runFor(ticks); }
    // Runs the machine: events in time order, and after each the interrupts and deferred calls that the
    // IRQL admits, until `until`.
    void runUntil(uint64_t until);
    // Runs until `done` holds or `limit` passes; false when it did not come true.
    bool runUntil(const std::function<bool()>& done, uint64_t limit);

    // Interrupts and deferred work. A hardware line raised or lowered by a device.
    void setInterruptLine(ULONG vector, bool asserted);
    bool interruptLine(ULONG vector) const;
    // How many interrupt objects are connected to a vector.
    size_t connectedInterrupts(ULONG vector) const {
        auto it = lines_.find(vector);
        return it == lines_.end() ? 0 : it->second.chain.size();
    }
    // Delivers the interrupts and runs the deferred calls that the current IRQL admits.
    void checkpoint() {
        // Most checkpoints (one before every port access) find nothing to do: no interleaving asked
        // for, every line quiet, no deferred call queued.
        if (!inCheckpoint_ && (stress_ || !activeLines_.empty() || !dpcQueue_.empty()))
            checkpointWork();
    }
    // Stress mode: with a seed, platform calls let up to `maxTicks` of time pass, so that hardware
    // events and timer expiries land inside driver routines.
    void setStress(uint64_t seed, uint64_t maxTicks);
    void clearStress() { stress_.reset(); }
    // Checkpoints at which stress mode let time pass: the interleavings it produced.
    uint64_t stressInterleavings() const { return stressInterleavings_; }

    int& pagableSectionLocks() { return pagableSectionLocks_; }
    MM_SYSTEMSIZE systemSize() const { return systemSize_; }
    void setSystemSize(MM_SYSTEMSIZE size) { systemSize_ = size; }
    // System time (100 ns units since 1601) at which the machine started.
    uint64_t bootTime() const { return bootTime_; }

    // The ANSI code page: single-byte (Latin-1) or multi-byte (UTF-8 stands in for a DBCS page).
    bool multiByteCodePage() const { return multiByteCodePage_; }
    void setMultiByteCodePage(bool on) { multiByteCodePage_ = on; }

    // The driver image whose code is running; pool blocks are attributed to it.
    const std::string& currentImage() const { return *currentImage_; }
    void setCurrentImage(const std::string& name) { currentImage_ = &imageName(name); }
    // The one copy of an image's name the kernel keeps: what is running is named by it, so that
    // entering and leaving an image's code (every interrupt, deferred call and request) copies nothing.
    const std::string& imageName(const std::string& name) { return *imageNames_.insert(name).first; }

    uint8_t irql() const { return irql_; }
    void setIrql(uint8_t irql) { irql_ = irql; }

    // What drivers printed with DbgPrint, one entry per call.
    const std::vector<std::string>& debugOutput() const { return debugOutput_; }
    void debugPrint(std::string text) { debugOutput_.push_back(std::move(text)); }

    // A verifier check failed in `call`. The handler decides: the default prints and aborts.
    [[noreturn]] void verifierStop(const std::string& call, const std::string& what);
    using VerifierHandler = std::function<void(const std::string& message)>;
    void setVerifierHandler(VerifierHandler handler) { verifierHandler_ = std::move(handler); }

    static Kernel* current() { return current_; }
    // The machine of this thread, for a platform call; a call with none stops the program.
    static Kernel& require(const char* call) {
        if (!current_) [[unlikely]]
            noMachine(call);
        return *current_;
    }

    // Verifier bookkeeping of spin locks: the cancel lock is taken first, interrupt locks last, and
    // locks are released in the reverse order of taking them.
    enum class LockKind { Cancel, Ordinary, Interrupt };
    void lockAcquired(const char* call, const void* lock, LockKind kind);
    void lockReleased(const char* call, const void* lock);
    size_t locksHeld() const { return heldLocks_.size(); }

    // What IoConnectInterrupt made: a service routine on a vector, with its levels and spin lock.
    struct InterruptObject {
        PKSERVICE_ROUTINE routine = nullptr;
        PVOID context = nullptr;
        PKSPIN_LOCK lock = nullptr;
        KSPIN_LOCK ownLock = 0;
        ULONG vector = 0;
        KIRQL irql = 0;
        KIRQL synchronizeIrql = 0;
        KINTERRUPT_MODE mode = LevelSensitive;
        bool shared = false;
        const std::string* image = nullptr; // the kernel's copy of the connecting image's name
    };
    // Deferred procedure calls and timers still queued that belong to `image`.
    size_t queuedDeferredWork(const std::string& image) const;
    // What a driver unload must leave: no queued deferred calls or timers and no live pool block.
    void verifyUnload(const std::string& image);

private:
    friend class KernelScope;
    friend class ImageScope;
    friend struct KernelCalls;
    static constinit inline thread_local Kernel* current_ = nullptr;
    [[noreturn]] static void noMachine(const char* call);
    void deliverInterrupts();
    void drainDpcs();
    hw::EventQueue timeline_;
    std::set<std::string> files_; // upper case
    Pool pool_;
    Registry registry_;
    EventLog eventLog_;
    PortSpace ports_;
    MemorySpace memory_;
    hw::PciBuses pci_;
    HalFaults hal_;
    BusTranslation busTranslation_;
    std::unique_ptr<ResourceArbiter> resources_;
    CONFIGURATION_INFORMATION configuration_{};
    std::unique_ptr<ServiceManager> services_;
    std::unique_ptr<IoManager> io_;
    DeviceManagerHooks* deviceManager_ = nullptr;
    uint64_t bootTime_;
    std::deque<PKDPC> dpcQueue_;
    std::map<const void*, const std::string*> dpcImages_; // the kernel's copies of the names
    std::map<const void*, const std::string*> timerImages_;
    struct Line {
        bool asserted = false;
        bool edgePending = false;
        std::vector<InterruptObject*> chain;
    };
    std::map<ULONG, Line> lines_;
    // The lines asserted or with an edge not yet delivered, by vector: what delivery looks at.
    struct ActiveLine {
        ULONG vector;
        Line* line;
    };
    std::vector<ActiveLine> activeLines_;
    void setLineActive(ULONG vector, Line& line, bool active);
    std::vector<std::unique_ptr<InterruptObject>> interrupts_;
    struct HeldLock {
        const void* lock;
        LockKind kind;
    };
    std::vector<HeldLock> heldLocks_;
    bool inCheckpoint_ = false;
    void checkpointWork();
    bool draining_ = false;
    struct Stress {
        std::mt19937_64 random;
        uint64_t maxTicks;
    };
    std::optional<Stress> stress_;
    uint64_t stressInterleavings_ = 0;
    MM_SYSTEMSIZE systemSize_ = MmLargeSystem;
    int pagableSectionLocks_ = 0;
    bool multiByteCodePage_ = false;
    std::set<std::string, std::less<>> imageNames_;
    const std::string* currentImage_ = &imageName("system");
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
    ImageScope(Kernel& kernel, const std::string& image);
    // `name` is the kernel's own copy (Kernel::imageName).
    ImageScope(Kernel& kernel, const std::string* name) : kernel_(kernel), previous_(kernel.currentImage_) {
        kernel_.currentImage_ = name;
    }
    ~ImageScope();
    ImageScope(const ImageScope&) = delete;
    ImageScope& operator=(const ImageScope&) = delete;

private:
    Kernel& kernel_;
    const std::string* previous_;
};

// The interrupt vector and level an ISA or PCI interrupt line (IRQ) arrives at on x86 NT, as
// HalGetInterruptVector gives them.
inline constexpr ULONG kIrqVectorBase = 0x30;
inline constexpr ULONG kIrqCount = 16;
constexpr ULONG VectorForIrq(ULONG irq) {
    return kIrqVectorBase + irq;
}
constexpr KIRQL IrqlForIrq(ULONG irq) {
    return static_cast<KIRQL>(27 - irq);
}

// Claims what a PC's own devices hold (timer, keyboard, the cascade, the real-time clock, the numeric
// coprocessor) under the HAL's name in the resource map, as the HAL does at boot, so that no driver can
// claim them.
void ClaimSystemDevices(Kernel& kernel);

// Conversions between the kernel's UTF-16 text and the host's UTF-8.
std::string toUtf8(std::u16string_view text);
std::u16string toUtf16(std::string_view text);

} // namespace nt
