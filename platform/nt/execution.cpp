// The kernel's execution model: IRQL, deferred procedure calls, timers, interrupt objects and waits.
//
// Driver code runs in zero virtual time. Interrupts and deferred calls are delivered at checkpoints:
// every platform call a driver makes, every lowering of the IRQL, and every step of the machine's run
// loop. An asserted interrupt is delivered at the next checkpoint below its level (so never inside
// KeSynchronizeExecution on that interrupt, which runs at its synchronize level); deferred calls run
// when the IRQL is below dispatch level.
#include "platform/nt/include/ntddk.h"
#include "platform/nt/kernel.h"

#include <algorithm>
#include <cstdio>

namespace nt {

namespace {
// An interrupt that no service routine quiets keeps the processor at device level forever on real
// hardware; here it stops the run with a message instead.
constexpr uint64_t kStormLimit = 1'000'000;
} // namespace

void Kernel::lockAcquired(const char* call, const void* lock, LockKind kind) {
    for (const HeldLock& held : heldLocks_) {
        if (held.lock == lock)
            verifierStop(call, "the lock is already held (it would spin forever)");
        if (kind == LockKind::Cancel)
            verifierStop(call, "lock order: the cancel spin lock is taken while another lock is held");
        if (kind == LockKind::Ordinary && held.kind == LockKind::Interrupt)
            verifierStop(call, "lock order: a spin lock is taken while an interrupt's lock is held");
    }
    heldLocks_.push_back(HeldLock{lock, kind});
}

void Kernel::lockReleased(const char* call, const void* lock) {
    if (heldLocks_.empty() || heldLocks_.back().lock != lock) {
        bool held = std::any_of(heldLocks_.begin(), heldLocks_.end(),
                                [&](const HeldLock& h) { return h.lock == lock; });
        verifierStop(call, held ? "spin locks released out of order" : "the lock is not held");
    }
    heldLocks_.pop_back();
}

void Kernel::setStress(uint64_t seed, uint64_t maxTicks) {
    stress_ = Stress{std::mt19937_64(seed), maxTicks};
}

void Kernel::setInterruptLine(ULONG vector, bool asserted) {
    Line& line = lines_[vector];
    const bool wasActive = line.asserted || line.edgePending;
    if (asserted && !line.asserted)
        line.edgePending = true;
    line.asserted = asserted;
    if (const bool active = line.asserted || line.edgePending; active != wasActive)
        setLineActive(vector, line, active);
}

void Kernel::setLineActive(ULONG vector, Line& line, bool active) {
    auto at = std::lower_bound(activeLines_.begin(), activeLines_.end(), vector,
                               [](const ActiveLine& a, ULONG v) { return a.vector < v; });
    if (active)
        activeLines_.insert(at, ActiveLine{vector, &line});
    else
        activeLines_.erase(at);
}

bool Kernel::interruptLine(ULONG vector) const {
    auto it = lines_.find(vector);
    return it != lines_.end() && it->second.asserted;
}

void Kernel::checkpointWork() {
    inCheckpoint_ = true;
    if (stress_ && stress_->maxTicks) {
        uint64_t ticks = stress_->random() % (stress_->maxTicks + 1);
        if (ticks) {
            ++stressInterleavings_;
            timeline_.runFor(ticks);
        }
    }
    deliverInterrupts();
    inCheckpoint_ = false;
    drainDpcs();
}

void Kernel::deliverInterrupts() {
    uint64_t deliveries = 0;
    // Most checkpoints find every line quiet: then there is nothing to look at.
    while (!activeLines_.empty()) {
        Line* best = nullptr;
        KIRQL bestIrql = 0;
        ULONG bestVector = 0;
        for (auto [vector, active] : activeLines_) {
            const Line& line = *active;
            if (line.chain.empty())
                continue;
            bool wanted = line.chain.front()->mode == LevelSensitive ? line.asserted : line.edgePending;
            KIRQL level = line.chain.front()->irql;
            if (wanted && level > irql_ && level > bestIrql) {
                best = active;
                bestIrql = level;
                bestVector = vector;
            }
        }
        if (!best)
            return;
        if (++deliveries > kStormLimit)
            verifierStop("interrupt delivery", "vector " + std::to_string(bestVector) +
                                                   " stays asserted: no service routine quiets it");
        const bool stillActive = best->asserted;
        best->edgePending = false;
        if (!stillActive)
            setLineActive(bestVector, *best, false);
        KIRQL previous = irql_;
        // The routines as connected, walked in place: none of them can change the list, since
        // connecting and disconnecting are refused above PASSIVE_LEVEL.
        const std::vector<InterruptObject*>& chain = best->chain;
        bool levelSensitive = chain[0]->mode == LevelSensitive;
        for (InterruptObject* object : chain) {
            ImageScope image(*this, object->image);
            irql_ = object->synchronizeIrql;
            lockAcquired("interrupt dispatch", object->lock, LockKind::Interrupt);
            BOOLEAN serviced = object->routine(reinterpret_cast<PKINTERRUPT>(object), object->context);
            lockReleased("interrupt dispatch", object->lock);
            irql_ = previous;
            // A level-sensitive chain stops at the routine that claims the interrupt; a latched chain
            // offers every edge to each routine.
            if (serviced && levelSensitive)
                break;
        }
    }
}

void Kernel::drainDpcs() {
    if (draining_)
        return;
    draining_ = true;
    while (irql_ < DISPATCH_LEVEL && !dpcQueue_.empty()) {
        PKDPC dpc = dpcQueue_.front();
        dpcQueue_.pop_front();
        dpc->DpcData = nullptr;
        KIRQL previous = irql_;
        irql_ = DISPATCH_LEVEL;
        size_t locks = heldLocks_.size();
        {
            auto it = dpcImages_.find(dpc);
            ImageScope image(*this, it == dpcImages_.end() ? currentImage_ : it->second);
            dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
        }
        if (irql_ != DISPATCH_LEVEL || heldLocks_.size() != locks)
            verifierStop("deferred procedure call",
                         "the routine returned with a lock held or the IRQL changed");
        irql_ = previous;
        inCheckpoint_ = true;
        deliverInterrupts();
        inCheckpoint_ = false;
    }
    draining_ = false;
}

void Kernel::runUntil(uint64_t until) {
    checkpoint();
    while (timeline_.runNextUntil(until))
        checkpoint();
    timeline_.runUntil(until);
    checkpoint();
}

bool Kernel::runUntil(const std::function<bool()>& done, uint64_t limit) {
    checkpoint();
    while (!done()) {
        if (!timeline_.runNextUntil(limit)) {
            if (limit > timeline_.now())
                timeline_.runUntil(limit);
            checkpoint();
            return done();
        }
        checkpoint();
    }
    return true;
}

size_t Kernel::queuedDeferredWork(const std::string& image) const {
    size_t count = 0;
    for (PKDPC dpc : dpcQueue_) {
        auto it = dpcImages_.find(dpc);
        if (it != dpcImages_.end() && *it->second == image)
            ++count;
    }
    for (const auto& [timer, owner] : timerImages_)
        if (*owner == image && static_cast<const KTIMER*>(timer)->Inserted)
            ++count;
    return count;
}

void Kernel::verifyUnload(const std::string& image) {
    if (size_t queued = queuedDeferredWork(image))
        verifierStop("driver unload",
                     image + " leaves " + std::to_string(queued) + " deferred call(s) or timer(s) queued");
    if (pool_.liveCount(image))
        verifierStop("driver unload", image + " leaves pool behind:\n" + pool_.leakReport(image));
}

// The DDK calls, reaching the kernel's private parts.
struct KernelCalls {
    static void queueDpc(Kernel& k, PKDPC dpc) {
        k.dpcQueue_.push_back(dpc);
        dpc->DpcData = dpc;
    }
    static bool removeDpc(Kernel& k, PKDPC dpc) {
        auto it = std::find(k.dpcQueue_.begin(), k.dpcQueue_.end(), dpc);
        if (it == k.dpcQueue_.end())
            return false;
        k.dpcQueue_.erase(it);
        dpc->DpcData = nullptr;
        return true;
    }
    static void recordDpc(Kernel& k, PKDPC dpc) { k.dpcImages_[dpc] = k.currentImage_; }
    static void recordTimer(Kernel& k, PKTIMER timer) { k.timerImages_[timer] = k.currentImage_; }
    static Kernel::InterruptObject* connect(Kernel& k, std::unique_ptr<Kernel::InterruptObject> object) {
        Kernel::Line& line = k.lines_[object->vector];
        Kernel::InterruptObject* raw = object.get();
        line.chain.push_back(raw);
        k.interrupts_.push_back(std::move(object));
        return raw;
    }
    static bool canShare(Kernel& k, ULONG vector, bool share, KINTERRUPT_MODE mode) {
        const auto& chain = k.lines_[vector].chain;
        if (chain.empty())
            return true;
        return share && chain.front()->shared && chain.front()->mode == mode;
    }
    static bool disconnect(Kernel& k, Kernel::InterruptObject* object) {
        auto it = std::find_if(k.interrupts_.begin(), k.interrupts_.end(),
                               [&](const auto& o) { return o.get() == object; });
        if (it == k.interrupts_.end())
            return false;
        auto& chain = k.lines_[object->vector].chain;
        chain.erase(std::remove(chain.begin(), chain.end(), object), chain.end());
        k.interrupts_.erase(it);
        return true;
    }
    static Kernel::InterruptObject* find(Kernel& k, PKINTERRUPT interrupt) {
        auto* object = reinterpret_cast<Kernel::InterruptObject*>(interrupt);
        for (const auto& o : k.interrupts_)
            if (o.get() == object)
                return object;
        return nullptr;
    }
};

} // namespace nt

using nt::Kernel;
using nt::KernelCalls;

VOID KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Kernel& k = Kernel::require("KeInitializeDpc");
    RtlZeroMemory(Dpc, sizeof *Dpc);
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    KernelCalls::recordDpc(k, Dpc);
}

BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    Kernel& k = Kernel::require("KeInsertQueueDpc");
    k.checkpoint();
    if (Dpc->DpcData)
        return FALSE; // already queued: it runs once
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    KernelCalls::queueDpc(k, Dpc);
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PKDPC Dpc) {
    return KernelCalls::removeDpc(Kernel::require("KeRemoveQueueDpc"), Dpc);
}

VOID KeInitializeTimer(PKTIMER Timer) {
    Kernel& k = Kernel::require("KeInitializeTimer");
    RtlZeroMemory(Timer, sizeof *Timer);
    KernelCalls::recordTimer(k, Timer);
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    Kernel& k = Kernel::require("KeCancelTimer");
    if (k.irql() > DISPATCH_LEVEL)
        k.verifierStop("KeCancelTimer", "called above DISPATCH_LEVEL");
    if (!Timer->Inserted)
        return FALSE;
    k.timeline().cancel(Timer->Reserved);
    Timer->Inserted = FALSE;
    Timer->Reserved = 0;
    return TRUE;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    Kernel& k = Kernel::require("KeSetTimer");
    k.checkpoint();
    if (k.irql() > DISPATCH_LEVEL)
        k.verifierStop("KeSetTimer", "called above DISPATCH_LEVEL");
    BOOLEAN wasSet = KeCancelTimer(Timer);
    uint64_t due;
    if (DueTime.QuadPart < 0) {
        due = k.now() + static_cast<uint64_t>(-DueTime.QuadPart);
    } else {
        uint64_t absolute = static_cast<uint64_t>(DueTime.QuadPart);
        due = absolute > k.bootTime() ? std::max<uint64_t>(absolute - k.bootTime(), k.now()) : k.now();
    }
    Timer->DueTime.QuadPart = static_cast<LONGLONG>(k.bootTime() + due);
    Timer->Dpc = Dpc;
    Timer->Inserted = TRUE;
    Timer->Signaled = FALSE;
    Timer->Reserved = k.timeline().at(due, [&k, Timer] {
        Timer->Inserted = FALSE;
        Timer->Reserved = 0;
        Timer->Signaled = TRUE;
        if (Timer->Dpc && !Timer->Dpc->DpcData) {
            Timer->Dpc->SystemArgument1 = nullptr;
            Timer->Dpc->SystemArgument2 = nullptr;
            KernelCalls::queueDpc(k, Timer->Dpc);
        }
    });
    return wasSet;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    return Timer->Signaled;
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    Kernel& k = Kernel::require("KeRaiseIrql");
    if (NewIrql < k.irql())
        k.verifierStop("KeRaiseIrql", "the new IRQL is below the current one");
    *OldIrql = k.irql();
    k.setIrql(NewIrql);
}

VOID KeLowerIrql(KIRQL NewIrql) {
    Kernel& k = Kernel::require("KeLowerIrql");
    if (NewIrql > k.irql())
        k.verifierStop("KeLowerIrql", "the new IRQL is above the current one");
    k.setIrql(NewIrql);
    k.checkpoint();
}

NTSTATUS IoConnectInterrupt(PKINTERRUPT* InterruptObject, PKSERVICE_ROUTINE ServiceRoutine,
                            PVOID ServiceContext, PKSPIN_LOCK SpinLock, ULONG Vector, KIRQL Irql,
                            KIRQL SynchronizeIrql, KINTERRUPT_MODE InterruptMode, BOOLEAN ShareVector,
                            KAFFINITY, BOOLEAN) {
    Kernel& k = Kernel::require("IoConnectInterrupt");
    if (k.irql() != PASSIVE_LEVEL)
        k.verifierStop("IoConnectInterrupt", "called above PASSIVE_LEVEL");
    if (SynchronizeIrql < Irql || Irql <= DISPATCH_LEVEL)
        return STATUS_INVALID_PARAMETER;
    if (!KernelCalls::canShare(k, Vector, ShareVector, InterruptMode))
        return STATUS_INVALID_PARAMETER; // the vector is taken and not shareable this way
    auto object = std::make_unique<Kernel::InterruptObject>();
    object->routine = ServiceRoutine;
    object->context = ServiceContext;
    object->lock = SpinLock ? SpinLock : &object->ownLock;
    object->vector = Vector;
    object->irql = Irql;
    object->synchronizeIrql = SynchronizeIrql;
    object->mode = InterruptMode;
    object->shared = ShareVector;
    object->image = &k.currentImage();
    *InterruptObject = reinterpret_cast<PKINTERRUPT>(KernelCalls::connect(k, std::move(object)));
    return STATUS_SUCCESS;
}

VOID IoDisconnectInterrupt(PKINTERRUPT InterruptObject) {
    Kernel& k = Kernel::require("IoDisconnectInterrupt");
    if (k.irql() != PASSIVE_LEVEL) // from a service routine it would free an object being called
        k.verifierStop("IoDisconnectInterrupt", "called above PASSIVE_LEVEL");
    if (!KernelCalls::disconnect(k, reinterpret_cast<Kernel::InterruptObject*>(InterruptObject)))
        k.verifierStop("IoDisconnectInterrupt", "not a connected interrupt object");
}

BOOLEAN KeSynchronizeExecution(PKINTERRUPT Interrupt, PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                               PVOID SynchronizeContext) {
    Kernel& k = Kernel::require("KeSynchronizeExecution");
    k.checkpoint();
    Kernel::InterruptObject* object = KernelCalls::find(k, Interrupt);
    if (!object)
        k.verifierStop("KeSynchronizeExecution", "not a connected interrupt object");
    KIRQL previous = k.irql();
    if (previous > object->synchronizeIrql)
        k.verifierStop("KeSynchronizeExecution", "called above the interrupt's synchronize level");
    k.setIrql(object->synchronizeIrql);
    k.lockAcquired("KeSynchronizeExecution", object->lock, Kernel::LockKind::Interrupt);
    BOOLEAN result = SynchronizeRoutine(SynchronizeContext);
    k.lockReleased("KeSynchronizeExecution", object->lock);
    k.setIrql(previous);
    k.checkpoint();
    return result;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    Kernel& k = Kernel::require("KeDelayExecutionThread");
    if (k.irql() > APC_LEVEL)
        k.verifierStop("KeDelayExecutionThread", "a wait at IRQL " + std::to_string(k.irql()));
    if (k.locksHeld())
        k.verifierStop("KeDelayExecutionThread", "a wait with a spin lock held");
    uint64_t until;
    if (Interval->QuadPart < 0)
        until = k.now() + static_cast<uint64_t>(-Interval->QuadPart);
    else
        until = std::max<uint64_t>(static_cast<uint64_t>(Interval->QuadPart) - k.bootTime(), k.now());
    k.runUntil(until);
    return STATUS_SUCCESS;
}

VOID KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Kernel::require("KeInitializeEvent");
    Event->Type = static_cast<UCHAR>(Type);
    Event->SignalState = State ? 1 : 0;
}

LONG KeSetEvent(PKEVENT Event, LONG, BOOLEAN) {
    Kernel& k = Kernel::require("KeSetEvent");
    if (k.irql() > DISPATCH_LEVEL)
        k.verifierStop("KeSetEvent", "called above DISPATCH_LEVEL");
    LONG previous = Event->SignalState;
    Event->SignalState = 1;
    return previous;
}

VOID KeClearEvent(PKEVENT Event) {
    Kernel::require("KeClearEvent");
    Event->SignalState = 0;
}

LONG KeReadStateEvent(PKEVENT Event) {
    Kernel::require("KeReadStateEvent");
    return Event->SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
    Kernel& k = Kernel::require("KeWaitForSingleObject");
    auto* event = static_cast<PKEVENT>(Object);
    if (Timeout && Timeout->QuadPart == 0) {
        if (!event->SignalState)
            return STATUS_TIMEOUT;
    } else {
        if (k.irql() > APC_LEVEL)
            k.verifierStop("KeWaitForSingleObject", "a wait at IRQL " + std::to_string(k.irql()));
        if (k.locksHeld())
            k.verifierStop("KeWaitForSingleObject", "a wait with a spin lock held");
        // The machine runs until the event is set; a wait nothing can end is a driver that hangs.
        constexpr uint64_t kForever = 3600ull * 10'000'000;
        uint64_t limit = Timeout && Timeout->QuadPart < 0
                             ? k.now() + static_cast<uint64_t>(-Timeout->QuadPart)
                             : k.now() + kForever;
        if (!k.runUntil([event] { return event->SignalState != 0; }, limit)) {
            if (!Timeout)
                k.verifierStop("KeWaitForSingleObject", "the event was never set: the wait would not end");
            return STATUS_TIMEOUT;
        }
    }
    if (event->Type == SynchronizationEvent)
        event->SignalState = 0;
    return STATUS_SUCCESS;
}

MM_SYSTEMSIZE MmQuerySystemSize(void) {
    return Kernel::require("MmQuerySystemSize").systemSize();
}

PVOID MmLockPagableDataSection(PVOID) {
    Kernel& k = Kernel::require("MmLockPagableDataSection");
    if (k.irql() > APC_LEVEL)
        k.verifierStop("MmLockPagableDataSection", "a pageable call at IRQL " + std::to_string(k.irql()));
    ++k.pagableSectionLocks();
    return &k; // any non-null handle names the engine's one section
}

VOID MmLockPagableSectionByHandle(PVOID) {
    Kernel& k = Kernel::require("MmLockPagableSectionByHandle");
    if (k.irql() > APC_LEVEL)
        k.verifierStop("MmLockPagableSectionByHandle", "a pageable call at IRQL " + std::to_string(k.irql()));
    ++k.pagableSectionLocks();
}

VOID MmUnlockPagableImageSection(PVOID) {
    Kernel& k = Kernel::require("MmUnlockPagableImageSection");
    if (k.irql() > APC_LEVEL)
        k.verifierStop("MmUnlockPagableImageSection", "a pageable call at IRQL " + std::to_string(k.irql()));
    if (k.pagableSectionLocks() == 0)
        k.verifierStop("MmUnlockPagableImageSection", "the section is not locked");
    --k.pagableSectionLocks();
}
