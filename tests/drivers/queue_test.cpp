// The port engine's queueing routines, driven through the I/O manager by a small harness that plays
// the parts of the engine that later modules provide: a write starter that hands the request to the
// interrupt level (with a cancel routine and a total timer), and the service routine finishing it.
#include "driver_fixture.h"

#include "CvDevice.h"
#include "port_harness.h"
#include "platform/nt/userio.h"

#include <cstring>
#include <new>

namespace {

struct Harness {
    bool cancelOnArrival = false;
    bool useTotalTimer = false;
    int started = 0;
};
Harness* gHarness = nullptr; // the harness driver's own global, as a driver's would be

CCvDevice* Ext(PDEVICE_OBJECT device) {
    return static_cast<CCvDevice*>(device->DeviceExtension);
}

BOOLEAN GrabWriteFromIsr(PVOID context) {
    auto* ext = static_cast<CCvDevice*>(context);
    if (SERIAL_REFERENCE_COUNT(ext->CurrentWriteIrp) & SERIAL_REF_ISR)
        SERIAL_CLEAR_REFERENCE(ext->CurrentWriteIrp, SERIAL_REF_ISR);
    return FALSE;
}

NTSTATUS StartWrite(CCvDevice* ext);

VOID CancelCurrentWrite(PDEVICE_OBJECT device, PIRP) {
    CCvDevice* ext = Ext(device);
    SerialTryToCompleteCurrent(ext, GrabWriteFromIsr, ext->CurrentWriteIrp->CancelIrql, STATUS_CANCELLED,
                               &ext->CurrentWriteIrp, &ext->WriteQueue, nullptr, &ext->WriteRequestTotalTimer,
                               StartWrite, SerialGetNextIrp, SERIAL_REF_CANCEL);
}

VOID WriteTimeout(PKDPC, PVOID context, PVOID, PVOID) {
    auto* ext = static_cast<CCvDevice*>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    SerialTryToCompleteCurrent(ext, nullptr, irql, STATUS_TIMEOUT, &ext->CurrentWriteIrp, &ext->WriteQueue,
                               nullptr, &ext->WriteRequestTotalTimer, StartWrite, SerialGetNextIrp,
                               SERIAL_REF_TOTAL_TIMER);
}

NTSTATUS StartWrite(CCvDevice* ext) {
    PIRP irp = ext->CurrentWriteIrp;
    ++gHarness->started;
    SERIAL_INIT_REFERENCE(irp);
    IoMarkIrpPending(irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    SERIAL_SET_REFERENCE(irp, SERIAL_REF_ISR);
    SERIAL_SET_REFERENCE(irp, SERIAL_REF_CANCEL);
    IoSetCancelRoutine(irp, CancelCurrentWrite);
    if (gHarness->useTotalTimer) {
        SERIAL_SET_REFERENCE(irp, SERIAL_REF_TOTAL_TIMER);
        LARGE_INTEGER due;
        due.QuadPart = -10000;
        KeSetTimer(&ext->WriteRequestTotalTimer, due, &ext->TotalWriteTimeoutDpc);
    }
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    CCvDevice* ext = Ext(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (SerialCompleteIfError(device, irp) != STATUS_SUCCESS)
        return STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    switch (stack->MajorFunction) {
    case IRP_MJ_WRITE:
        if (gHarness->cancelOnArrival)
            irp->Cancel = TRUE; // its issuer cancelled it before the driver saw it
        return SerialStartOrQueue(ext, irp, &ext->WriteQueue, &ext->CurrentWriteIrp, StartWrite);
    case IRP_MJ_DEVICE_CONTROL:
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS)
            ext->ErrorWord = 0;
        [[fallthrough]];
    default:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
}

BOOLEAN QuietIsr(PKINTERRUPT, PVOID) {
    return FALSE;
}

class QueueTest : public DriverTest {
public:
    void SetUp() override {
        DriverTest::SetUp();
        gHarness = &harness;
        ASSERT_EQ(CreateHarnessPort(driver, Dispatch, &device), STATUS_SUCCESS);
        ext = Ext(device);
        for (PLIST_ENTRY q : {&ext->ReadQueue, &ext->WriteQueue, &ext->MaskQueue, &ext->PurgeQueue})
            InitializeListHead(q);
        KeInitializeTimer(&ext->WriteRequestTotalTimer);
        KeInitializeDpc(&ext->TotalWriteTimeoutDpc, WriteTimeout, ext);
        KeInitializeDpc(&ext->CommErrorDpc, SerialCommError, ext);
        ASSERT_EQ(IoConnectInterrupt(&ext->Interrupt, QuietIsr, ext, nullptr, 0x33, 11, 11, LevelSensitive,
                                     TRUE, 1, FALSE),
                  STATUS_SUCCESS);
        ASSERT_EQ(nt::UserFile::open(kernel, "COM3", file), STATUS_SUCCESS);
    }

    void TearDown() override {
        file.reset();
        IoDisconnectInterrupt(ext->Interrupt);
        ext->~CCvDevice();
        IoDeleteDevice(device);
        gHarness = nullptr;
        DriverTest::TearDown();
    }

    // The service routine has sent the current write: it gives up its hold.
    void IsrFinishesCurrentWrite() {
        nt::KernelScope running(kernel);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP irp = ext->CurrentWriteIrp;
        irp->IoStatus.Information = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
        ext->TotalCharsQueued -= IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
        SerialTryToCompleteCurrent(ext, nullptr, irql, STATUS_SUCCESS, &ext->CurrentWriteIrp,
                                   &ext->WriteQueue, nullptr, &ext->WriteRequestTotalTimer, StartWrite,
                                   SerialGetNextIrp, SERIAL_REF_ISR);
    }

    Harness harness;
    DRIVER_OBJECT driver{};
    PDEVICE_OBJECT device = nullptr;
    CCvDevice* ext = nullptr;
    std::unique_ptr<nt::UserFile> file;
};

} // namespace

TEST_F(QueueTest, AQueuedRequestWaitsWithACancelRoutineAndLeavesTheCountWhenCancelled) {
    auto first = file->startWrite({1, 2, 3});
    auto second = file->startWrite({4, 5, 6, 7, 8});
    EXPECT_EQ(harness.started, 1);
    EXPECT_EQ(ext->TotalCharsQueued, 8u);
    EXPECT_FALSE(IsListEmpty(&ext->WriteQueue));
    EXPECT_TRUE(file->cancel(*second));
    auto cancelled = file->wait(second);
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.information, 0u);
    EXPECT_EQ(ext->TotalCharsQueued, 3u) << "its bytes leave the count";
    IsrFinishesCurrentWrite();
    auto done = file->wait(first);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.information, 3u);
    EXPECT_EQ(ext->CurrentWriteIrp, nullptr);
}

TEST_F(QueueTest, ARequestCancelledOnArrivalAtABusyQueueEndsAtOnce) {
    auto first = file->startWrite({1});
    harness.cancelOnArrival = true;
    auto second = file->startWrite({2, 3});
    EXPECT_TRUE(second->completed);
    EXPECT_EQ(second->status, STATUS_CANCELLED);
    EXPECT_EQ(ext->TotalCharsQueued, 1u) << "a request that never waited never counts";
    harness.cancelOnArrival = false;
    IsrFinishesCurrentWrite();
    EXPECT_EQ(file->wait(first).status, STATUS_SUCCESS);
}

TEST_F(QueueTest, FinishingTheCurrentRequestStartsTheNextInOrder) {
    auto a = file->startWrite({1});
    auto b = file->startWrite({2, 2});
    auto c = file->startWrite({3, 3, 3});
    IsrFinishesCurrentWrite();
    EXPECT_TRUE(file->wait(a).finished);
    EXPECT_EQ(harness.started, 2);
    EXPECT_FALSE(b->completed);
    IsrFinishesCurrentWrite();
    IsrFinishesCurrentWrite();
    EXPECT_EQ(file->wait(b).information, 2u);
    EXPECT_EQ(file->wait(c).information, 3u);
    EXPECT_EQ(ext->TotalCharsQueued, 0u);
    EXPECT_TRUE(IsListEmpty(&ext->WriteQueue));
}

TEST_F(QueueTest, ATimerFiringWhileTheServiceRoutineHoldsTheRequestLeavesItToTheLastHolder) {
    harness.useTotalTimer = true;
    auto write = file->startWrite({9, 9});
    kernel.runUntil(20000); // the total timer fires
    EXPECT_FALSE(write->completed) << "the service routine still holds it";
    EXPECT_EQ(SERIAL_REFERENCE_COUNT(ext->CurrentWriteIrp), static_cast<ULONG>(SERIAL_REF_ISR))
        << "the timer's and the cancel routine's references are gone";
    IsrFinishesCurrentWrite();
    auto result = file->wait(write);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << "completed by the last holder, with its status";
}

TEST_F(QueueTest, CancellingTheCurrentRequestGrabsItFromTheServiceRoutine) {
    auto write = file->startWrite({1, 2});
    auto next = file->startWrite({3});
    EXPECT_TRUE(file->cancel(*write));
    auto result = file->wait(write);
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(harness.started, 2) << "the next request started";
    IsrFinishesCurrentWrite();
    EXPECT_EQ(file->wait(next).status, STATUS_SUCCESS);
}

TEST_F(QueueTest, AnErrorHoldsThePortUntilTheCommStatusIsRead) {
    ext->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    ext->ErrorWord = SERIAL_ERROR_FRAMING;
    auto refused = file->write({1});
    EXPECT_EQ(refused.status, STATUS_CANCELLED);
    EXPECT_EQ(refused.information, 0u);
    auto status = file->control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    EXPECT_EQ(status.status, STATUS_SUCCESS) << "reading the comm status passes";
    auto accepted = file->startWrite({1});
    EXPECT_FALSE(accepted->completed);
    IsrFinishesCurrentWrite();
    EXPECT_EQ(file->wait(accepted).status, STATUS_SUCCESS);
}

TEST_F(QueueTest, ACommErrorCancelsEveryWriteNewestFirst) {
    auto a = file->startWrite({1});
    auto b = file->startWrite({2});
    auto c = file->startWrite({3});
    {
        nt::KernelScope running(kernel);
        KeInsertQueueDpc(&ext->CommErrorDpc, nullptr, nullptr);
    }
    for (auto* r : {&a, &b, &c})
        EXPECT_EQ(file->wait(*r).status, STATUS_CANCELLED);
    EXPECT_EQ(ext->CurrentWriteIrp, nullptr);
    EXPECT_TRUE(IsListEmpty(&ext->WriteQueue));
    EXPECT_EQ(ext->TotalCharsQueued, 1u) << "the current write's byte is the write path's to take back";
}

TEST(CardTearDown, TheCardGoesExactlyOnceWithItsLastPort) {
    nt::Kernel kernel;
    nt::KernelScope scope(kernel);
    nt::ImageScope image(kernel, kImage);
    ASSERT_EQ(ConstructResourceKiller(), STATUS_SUCCESS);
    auto* card = new (CvImageAllocate(NonPagedPool, sizeof(CCvCard))) CCvCard;
    card->ulNumberComPorts = 4;
    CCvDevice* ports[4];
    for (int i = 0; i < 4; ++i) {
        ports[i] = static_cast<CCvDevice*>(CvImageAllocate(NonPagedPool, sizeof(CCvDevice)));
        std::memset(static_cast<void*>(ports[i]), 0, sizeof(CCvDevice));
        ports[i]->pParentCard = card;
        ports[i]->m_unPortOnCardNumber = static_cast<USHORT>(i + 1);
        card->apDevice[i] = ports[i];
    }
    for (int i : {1, 3, 0}) {
        ports[i]->~CCvDevice();
        EXPECT_TRUE(kernel.pool().isLive(card)) << "port " << i + 1 << " is not the last";
    }
    ports[2]->~CCvDevice();
    EXPECT_FALSE(kernel.pool().isLive(card));
    for (CCvDevice* p : ports)
        CvImageFree(p);
    deleteall();
    DestructResourceKiller();
    EXPECT_EQ(kernel.pool().liveCount(kImage), 0u);
}
