// The kernel's execution model: deferred calls, timers, interrupt delivery by IRQL, waits and the
// verifier's lock checks.
#include "kernel_fixture.h"

#include <vector>

namespace {

class ExecutionTest : public KernelTest {
public:
    static VOID RecordDpc(PKDPC, PVOID context, PVOID a1, PVOID) {
        auto* self = static_cast<ExecutionTest*>(context);
        self->log.push_back("dpc " + std::to_string(reinterpret_cast<uintptr_t>(a1)) + " at " +
                            std::to_string(self->kernel.now()) + " irql " +
                            std::to_string(KeGetCurrentIrql()));
    }
    static BOOLEAN Isr(PKINTERRUPT, PVOID context) {
        auto* self = static_cast<ExecutionTest*>(context);
        self->log.push_back("isr irql " + std::to_string(KeGetCurrentIrql()));
        if (self->quietLine)
            self->kernel.setInterruptLine(5, false);
        return self->claim;
    }
    static BOOLEAN SecondIsr(PKINTERRUPT, PVOID context) {
        auto* self = static_cast<ExecutionTest*>(context);
        self->log.push_back("second isr");
        self->kernel.setInterruptLine(5, false);
        return TRUE;
    }

    static BOOLEAN LatchedIsr(PKINTERRUPT, PVOID context) {
        static_cast<ExecutionTest*>(context)->log.push_back("latched isr");
        return TRUE;
    }

    std::vector<std::string> log;
    bool quietLine = true;
    bool claim = true;
};

} // namespace

TEST_F(ExecutionTest, ADeferredCallIsQueuedOnceAndRunsBelowDispatchLevel) {
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, this);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(1), nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(2), nullptr)) << "already queued";
    EXPECT_TRUE(log.empty()) << "not at dispatch level";
    KeLowerIrql(old);
    EXPECT_EQ(log, std::vector<std::string>{"dpc 1 at 0 irql 2"})
        << "runs once, with the arguments it was queued with";
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    kernel.checkpoint();
    EXPECT_EQ(log.size(), 1u);
}

TEST_F(ExecutionTest, TimersFireAtRelativeAndAbsoluteDueTimes) {
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, RecordDpc, this);
    LARGE_INTEGER due;
    due.QuadPart = -1000;
    EXPECT_FALSE(KeSetTimer(&timer, due, &dpc));
    due.QuadPart = -5000;
    EXPECT_TRUE(KeSetTimer(&timer, due, &dpc)) << "it was already set: the new time replaces the old";
    kernel.runUntil(4999);
    EXPECT_TRUE(log.empty());
    kernel.runUntil(6000);
    EXPECT_EQ(log, std::vector<std::string>{"dpc 0 at 5000 irql 2"});
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer)) << "already expired";

    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    due.QuadPart = now.QuadPart + 2000;
    KeSetTimer(&timer, due, &dpc);
    EXPECT_TRUE(KeCancelTimer(&timer));
    kernel.runUntil(20000);
    EXPECT_EQ(log.size(), 1u) << "a cancelled timer does not fire";
    EXPECT_EQ(kernel.queuedDeferredWork("system"), 0u);
}

TEST_F(ExecutionTest, AWaitAdvancesTheMachineAndIsRefusedAtRaisedIrql) {
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, RecordDpc, this);
    LARGE_INTEGER due{}, wait{};
    due.QuadPart = -300;
    KeSetTimer(&timer, due, &dpc);
    wait.QuadPart = -1000;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &wait), STATUS_SUCCESS);
    EXPECT_EQ(kernel.now(), 1000u);
    EXPECT_EQ(log, std::vector<std::string>{"dpc 0 at 300 irql 2"});
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_THROW(KeDelayExecutionThread(KernelMode, FALSE, &wait), nt::VerifierStop);
    KeLowerIrql(old);
}

TEST_F(ExecutionTest, AnInterruptWaitsWhileSynchronisedAndArrivesAtTheNextCall) {
    PKINTERRUPT interrupt = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&interrupt, Isr, this, nullptr, 5, 10, 10, LevelSensitive, FALSE, 1, FALSE),
              STATUS_SUCCESS);
    struct Context {
        ExecutionTest* self;
    } context{this};
    KeSynchronizeExecution(
        interrupt,
        [](PVOID c) -> BOOLEAN {
            auto* self = static_cast<Context*>(c)->self;
            self->kernel.setInterruptLine(5, true);
            READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x80)); // a platform call at the synchronize level
            self->log.push_back("synchronised");
            return TRUE;
        },
        &context);
    EXPECT_EQ(log, (std::vector<std::string>{"synchronised", "isr irql 10"}))
        << "delivered when the synchronised routine returned, not inside it";

    log.clear();
    kernel.setInterruptLine(5, true);
    EXPECT_TRUE(log.empty()) << "nothing runs until a platform call";
    READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x80));
    EXPECT_EQ(log, std::vector<std::string>{"isr irql 10"});
    IoDisconnectInterrupt(interrupt);
    EXPECT_THROW(IoDisconnectInterrupt(interrupt), nt::VerifierStop);
}

TEST_F(ExecutionTest, SharedLevelSensitiveChainsStopAtTheClaimant) {
    PKINTERRUPT first = nullptr, second = nullptr, third = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&first, Isr, this, nullptr, 5, 10, 10, LevelSensitive, TRUE, 1, FALSE),
              STATUS_SUCCESS);
    ASSERT_EQ(
        IoConnectInterrupt(&second, SecondIsr, this, nullptr, 5, 10, 10, LevelSensitive, TRUE, 1, FALSE),
        STATUS_SUCCESS);
    EXPECT_EQ(IoConnectInterrupt(&third, Isr, this, nullptr, 5, 10, 10, Latched, TRUE, 1, FALSE),
              STATUS_INVALID_PARAMETER)
        << "a shared vector keeps its mode";
    quietLine = false;
    claim = false; // the first routine does not recognise the interrupt; the second does
    kernel.setInterruptLine(5, true);
    kernel.checkpoint();
    EXPECT_EQ(log, (std::vector<std::string>{"isr irql 10", "second isr"}));
    log.clear();
    claim = true;
    quietLine = true;
    kernel.setInterruptLine(5, true);
    kernel.checkpoint();
    EXPECT_EQ(log, std::vector<std::string>{"isr irql 10"}) << "the claimant ends the chain";
    IoDisconnectInterrupt(first);
    IoDisconnectInterrupt(second);
}

TEST_F(ExecutionTest, AnInterruptNobodyQuietsStopsTheRun) {
    PKINTERRUPT interrupt = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&interrupt, Isr, this, nullptr, 7, 10, 10, LevelSensitive, FALSE, 1, FALSE),
              STATUS_SUCCESS);
    quietLine = false; // quiets vector 5, not 7
    kernel.setInterruptLine(7, true);
    EXPECT_THROW(kernel.checkpoint(), nt::VerifierStop);
}

TEST_F(ExecutionTest, TheVerifierChecksLockOrder) {
    KSPIN_LOCK a = 0, b = 0;
    KIRQL oa, ob;
    KeAcquireSpinLock(&a, &oa);
    KeAcquireSpinLock(&b, &ob);
    EXPECT_THROW(KeReleaseSpinLock(&a, oa), nt::VerifierStop) << "out of order";
    KeReleaseSpinLock(&b, ob);
    KeReleaseSpinLock(&a, oa);

    PKINTERRUPT interrupt = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&interrupt, Isr, this, nullptr, 5, 10, 10, LevelSensitive, FALSE, 1, FALSE),
              STATUS_SUCCESS);
    struct Context {
        PKSPIN_LOCK lock;
        bool stopped = false;
    } context{&a};
    KeSynchronizeExecution(
        interrupt,
        [](PVOID c) -> BOOLEAN {
            auto* ctx = static_cast<Context*>(c);
            try {
                KIRQL old;
                KeAcquireSpinLock(ctx->lock, &old);
            } catch (const nt::VerifierStop&) {
                ctx->stopped = true;
            }
            return TRUE;
        },
        &context);
    EXPECT_TRUE(context.stopped) << "a spin lock inside the interrupt's lock breaks the order";
}

TEST_F(ExecutionTest, StressModeLetsTimePassAtPlatformCalls) {
    kernel.setStress(42, 50);
    for (int i = 0; i < 100; ++i)
        READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x80));
    uint64_t first = kernel.now();
    EXPECT_GT(first, 0u);
    nt::Kernel again;
    again.setStress(42, 50);
    {
        nt::KernelScope scope2(again);
        for (int i = 0; i < 100; ++i)
            READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x80));
    }
    EXPECT_EQ(again.now(), first) << "the same seed gives the same run";
}

TEST_F(ExecutionTest, UnloadLeavingWorkQueuedIsAVerifierStop) {
    KTIMER timer;
    KDPC dpc;
    {
        nt::ImageScope image(kernel, "Leaky");
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, RecordDpc, this);
        LARGE_INTEGER due;
        due.QuadPart = -100;
        KeSetTimer(&timer, due, &dpc);
    }
    EXPECT_EQ(kernel.queuedDeferredWork("Leaky"), 1u);
    EXPECT_THROW(kernel.verifyUnload("Leaky"), nt::VerifierStop);
    KeCancelTimer(&timer);
    kernel.verifyUnload("Leaky");
}

TEST_F(ExecutionTest, ALatchedVectorOffersEachEdgeOnceToEveryRoutine) {
    PKINTERRUPT first = nullptr, second = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&first, Isr, this, nullptr, 9, 10, 10, Latched, TRUE, 1, FALSE),
              STATUS_SUCCESS);
    ASSERT_EQ(IoConnectInterrupt(&second, SecondIsr, this, nullptr, 9, 10, 10, Latched, TRUE, 1, FALSE),
              STATUS_SUCCESS);
    quietLine = false;
    kernel.setInterruptLine(9, true);
    kernel.checkpoint();
    kernel.checkpoint();
    EXPECT_EQ(log, (std::vector<std::string>{"isr irql 10", "second isr"})) << "one edge, each routine once";
    log.clear();
    kernel.setInterruptLine(9, false);
    kernel.checkpoint();
    EXPECT_TRUE(log.empty());
    kernel.setInterruptLine(9, true);
    kernel.checkpoint();
    EXPECT_EQ(log.size(), 2u) << "a new edge";
    IoDisconnectInterrupt(first);
    IoDisconnectInterrupt(second);
}

// A timer set after the timeline has handed out many events (its handles then exceed 32 bits) can still
// be cancelled: its expiry must not run.
TEST_F(ExecutionTest, ATimerSetLateInALongRunCanStillBeCancelled) {
    for (int i = 0; i < 2000; ++i)
        kernel.timeline().after(1, [] {});
    kernel.runUntil(10);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, RecordDpc, this);
    LARGE_INTEGER due;
    due.QuadPart = -100;
    EXPECT_FALSE(KeSetTimer(&timer, due, &dpc));
    EXPECT_TRUE(KeSetTimer(&timer, due, &dpc)) << "set again: the first expiry is replaced";
    EXPECT_TRUE(KeCancelTimer(&timer));
    kernel.runUntil(2000);
    EXPECT_TRUE(log.empty()) << "a cancelled timer's deferred call ran";
    EXPECT_FALSE(KeReadStateTimer(&timer));
    KeSetTimer(&timer, due, &dpc);
    KeSetTimer(&timer, due, &dpc);
    kernel.runUntil(4000);
    EXPECT_EQ(log.size(), 1u) << "one expiry, however often it was set";
}

// An edge latched while the line was up is delivered once even after the line fell, and a level line
// masked by the IRQL is delivered when the IRQL comes down; once both are served, checkpoints find
// nothing to deliver.
TEST_F(ExecutionTest, EdgesAndMaskedLevelsAreDeliveredOnceEachWhateverTheLineDidMeanwhile) {
    PKINTERRUPT latched = nullptr, level = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&latched, LatchedIsr, this, nullptr, 9, 12, 12, Latched, FALSE, 1, FALSE),
              STATUS_SUCCESS);
    ASSERT_EQ(IoConnectInterrupt(&level, Isr, this, nullptr, 5, 10, 10, LevelSensitive, FALSE, 1, FALSE),
              STATUS_SUCCESS);
    KIRQL old;
    KeRaiseIrql(HIGH_LEVEL, &old);
    kernel.setInterruptLine(9, true);
    kernel.setInterruptLine(9, false); // a pulse while masked
    kernel.setInterruptLine(5, true);
    kernel.checkpoint();
    EXPECT_TRUE(log.empty()) << "masked by the IRQL";
    KeLowerIrql(old);
    EXPECT_EQ(log, (std::vector<std::string>{"latched isr", "isr irql 10"})) << "the higher IRQL first";
    log.clear();
    for (int i = 0; i < 3; ++i)
        kernel.checkpoint();
    EXPECT_TRUE(log.empty()) << "each delivered once";
    kernel.setInterruptLine(9, true);
    kernel.checkpoint();
    EXPECT_EQ(log, std::vector<std::string>{"latched isr"}) << "a new edge after the last one was served";
    IoDisconnectInterrupt(latched);
    IoDisconnectInterrupt(level);
}

namespace {
// One of many routines on a line: records its turn, claims only when it is the one asked for, and may
// try to disconnect another routine while the interrupt is being delivered.
struct ChainRoutine {
    std::vector<int>* order = nullptr;
    int index = 0;
    const int* claimant = nullptr;
    PKINTERRUPT self = nullptr;
    PKINTERRUPT disconnect = nullptr;
    bool refused = false;
    static BOOLEAN Isr(PKINTERRUPT, PVOID context) {
        auto* r = static_cast<ChainRoutine*>(context);
        r->order->push_back(r->index);
        if (r->disconnect) {
            try {
                IoDisconnectInterrupt(r->disconnect);
            } catch (const nt::VerifierStop&) {
                r->refused = true;
            }
        }
        if (r->index != *r->claimant)
            return FALSE;
        nt::Kernel::require("test").setInterruptLine(7, false);
        return TRUE;
    }
};
} // namespace

// However many routines share a line, they are called in the order they were connected until one
// claims; one of them cannot disconnect another (or itself) while they are being called.
TEST_F(ExecutionTest, LongChainsAreCalledInOrderAndCannotBeCutWhileCalled) {
    for (const int count : {3, 32, 33, 128, 300}) {
        std::vector<int> order;
        int claimant = count - 1;
        std::vector<ChainRoutine> routines(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            ChainRoutine& r = routines[size_t(i)];
            r = ChainRoutine{&order, i, &claimant};
            ASSERT_EQ(IoConnectInterrupt(&r.self, ChainRoutine::Isr, &r, nullptr, 7, 10, 10, LevelSensitive,
                                         TRUE, 1, FALSE),
                      STATUS_SUCCESS);
        }
        routines.front().disconnect = routines.back().self;
        kernel.setInterruptLine(7, true);
        kernel.checkpoint();
        EXPECT_TRUE(routines.front().refused) << count << " routines";
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        ASSERT_EQ(order.size(), size_t(count)) << count << " routines: the last one is still there";
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(order[size_t(i)], i) << count << " routines";
        // A routine in the middle claims: the walk stops there.
        order.clear();
        routines.front().disconnect = nullptr;
        claimant = count / 2;
        kernel.setInterruptLine(7, true);
        kernel.checkpoint();
        EXPECT_EQ(order.size(), size_t(count / 2 + 1)) << count << " routines";
        for (ChainRoutine& r : routines)
            IoDisconnectInterrupt(r.self);
    }
}
