// The I/O manager and a program's view of a device, with a small driver written here.
#include "kernel_fixture.h"

#include "platform/nt/include/ntddser.h"
#include "platform/nt/userio.h"

#include <algorithm>
#include <deque>

namespace {

static_assert(IOCTL_SERIAL_GET_MODEMSTATUS == 0x1B0068 && IOCTL_SERIAL_XOFF_COUNTER == 0x1B0070 &&
                  IOCTL_SERIAL_CLEAR_STATS == 0x1B0090,
              "the serial control codes as published");

constexpr ULONG kReverse = CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);

// A device that keeps what is written and hands it to reads; a read with nothing to give waits, with
// a cancel routine, until a write or a timer serves it.
struct Echo {
    std::deque<uint8_t> data;
    PIRP waitingRead = nullptr;
    KTIMER timer;
    KDPC timerDpc;
    std::vector<UCHAR> majors;
    enum class Fault {
        None,
        PendWithoutMark,
        CompleteTwice,
        KeepCancelRoutine,
        MarkAndSucceed
    } fault = Fault::None;
};

Echo* EchoOf(PDEVICE_OBJECT device) {
    return *static_cast<Echo**>(device->DeviceExtension);
}

void ServeRead(Echo& echo, PIRP irp) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ULONG n = std::min<ULONG>(length, static_cast<ULONG>(echo.data.size()));
    auto* out = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    for (ULONG i = 0; i < n; ++i) {
        out[i] = echo.data.front();
        echo.data.pop_front();
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = n;
}

VOID CancelRead(PDEVICE_OBJECT device, PIRP irp) {
    Echo& echo = *EchoOf(device);
    echo.waitingRead = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Gives a waiting read whatever has arrived, if it can still be had (its cancel routine not yet taken).
void FinishWaitingRead(Echo& echo) {
    PIRP irp = echo.waitingRead;
    if (!irp)
        return;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (!IoSetCancelRoutine(irp, nullptr)) {
        IoReleaseCancelSpinLock(irql); // the cancel routine owns it now
        return;
    }
    echo.waitingRead = nullptr;
    IoReleaseCancelSpinLock(irql);
    ServeRead(echo, irp);
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
}

VOID TimerServesRead(PKDPC, PVOID context, PVOID, PVOID) {
    auto& echo = *static_cast<Echo*>(context);
    echo.data.push_back('T');
    FinishWaitingRead(echo);
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Echo& echo = *EchoOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    echo.majors.push_back(stack->MajorFunction);
    irp->IoStatus.Information = 0;
    switch (stack->MajorFunction) {
    case IRP_MJ_WRITE: {
        auto* in = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        echo.data.insert(echo.data.end(), in, in + stack->Parameters.Write.Length);
        irp->IoStatus.Information = stack->Parameters.Write.Length;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        FinishWaitingRead(echo);
        return STATUS_SUCCESS;
    }
    case IRP_MJ_READ:
        if (echo.data.empty()) {
            switch (echo.fault) {
            case Echo::Fault::PendWithoutMark:
                return STATUS_PENDING;
            case Echo::Fault::MarkAndSucceed:
                IoMarkIrpPending(irp);
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_SUCCESS;
            case Echo::Fault::KeepCancelRoutine:
                IoSetCancelRoutine(irp, CancelRead);
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_SUCCESS;
            default:
                break;
            }
            IoMarkIrpPending(irp);
            echo.waitingRead = irp;
            IoSetCancelRoutine(irp, CancelRead);
            return STATUS_PENDING;
        }
        ServeRead(echo, irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        if (echo.fault == Echo::Fault::CompleteTwice)
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    case IRP_MJ_DEVICE_CONTROL: {
        auto& control = stack->Parameters.DeviceIoControl;
        if (control.IoControlCode != kReverse || control.OutputBufferLength < control.InputBufferLength) {
            irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        } else {
            auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
            std::reverse(buffer, buffer + control.InputBufferLength);
            irp->IoStatus.Information = control.InputBufferLength;
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    default:
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
}

class IoTest : public KernelTest {
public:
    IoTest() {
        RtlInitUnicodeString(&driver.DriverName, u"\\Driver\\Echo");
        driver.Type = IO_TYPE_DRIVER;
        for (auto& f : driver.MajorFunction)
            f = Dispatch;
        UNICODE_STRING name = Us(u"\\Device\\Echo0"), link = Us(u"\\DosDevices\\COM9");
        EXPECT_EQ(IoCreateDevice(&driver, sizeof(Echo*), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device),
                  STATUS_SUCCESS);
        *static_cast<Echo**>(device->DeviceExtension) = &echo;
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
        KeInitializeTimer(&echo.timer);
        KeInitializeDpc(&echo.timerDpc, TimerServesRead, &echo);
    }

    std::unique_ptr<nt::UserFile> Open() {
        std::unique_ptr<nt::UserFile> file;
        EXPECT_EQ(nt::UserFile::open(kernel, "COM9", file), STATUS_SUCCESS);
        return file;
    }

    DRIVER_OBJECT driver{};
    PDEVICE_OBJECT device = nullptr;
    Echo echo;
};

} // namespace

TEST_F(IoTest, NamesLinksAndOpenClose) {
    EXPECT_EQ(kernel.io().linkTarget(u"\\??\\com9"), std::optional<std::u16string>(u"\\Device\\Echo0"));
    PDEVICE_OBJECT other = nullptr;
    UNICODE_STRING name = Us(u"\\Device\\Echo0"), link = Us(u"\\??\\COM9");
    EXPECT_EQ(IoCreateDevice(&driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &other),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
    std::unique_ptr<nt::UserFile> missing;
    EXPECT_EQ(nt::UserFile::open(kernel, "COM1", missing), STATUS_OBJECT_NAME_NOT_FOUND);
    auto file = Open();
    ASSERT_TRUE(file);
    EXPECT_EQ(file->close(), STATUS_SUCCESS);
    EXPECT_EQ(echo.majors, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(driver.DeviceObject, device);
    IoDeleteDevice(device);
    EXPECT_EQ(driver.DeviceObject, nullptr);
}

TEST_F(IoTest, WritesReadsAndBufferedControlWithByteCounts) {
    auto file = Open();
    auto written = file->write({1, 2, 3, 4, 5});
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, 5u);
    auto read = file->read(3);
    EXPECT_EQ(read.data, (std::vector<uint8_t>{1, 2, 3}));
    auto reversed = file->control(kReverse, {'a', 'b', 'c'}, 8);
    EXPECT_EQ(reversed.status, STATUS_SUCCESS);
    EXPECT_EQ(reversed.data, (std::vector<uint8_t>{'c', 'b', 'a'})) << "copied back by the transferred count";
    auto refused = file->control(kReverse, {'a', 'b', 'c'}, 2);
    EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(refused.data.empty());
    EXPECT_EQ(kernel.io().outstanding(), 0u);
}

TEST_F(IoTest, APendingReadIsServedLaterOrCancelledByItsIssuer) {
    auto file = Open();
    auto pending = file->startRead(4);
    EXPECT_FALSE(pending->completed);
    LARGE_INTEGER due;
    due.QuadPart = -2500;
    KeSetTimer(&echo.timer, due, &echo.timerDpc);
    auto served = file->wait(pending);
    EXPECT_EQ(served.status, STATUS_SUCCESS);
    EXPECT_EQ(served.data, std::vector<uint8_t>{'T'});
    EXPECT_EQ(kernel.now(), 2500u) << "the wait ran the machine to the timer and no further";

    auto cancelled = file->startRead(4);
    EXPECT_TRUE(file->cancel(*cancelled));
    auto result = file->wait(cancelled);
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.information, 0u);
    EXPECT_FALSE(file->cancel(*cancelled)) << "a finished request cannot be cancelled";
    EXPECT_EQ(kernel.locksHeld(), 0u);

    auto stuck = file->startRead(1);
    auto gaveUp = file->wait(stuck, kernel.now() + 1000);
    EXPECT_FALSE(gaveUp.finished);
    file->cancel(*stuck);
}

TEST_F(IoTest, TheVerifierStopsDriversThatMishandleRequests) {
    auto file = Open();
    echo.fault = Echo::Fault::PendWithoutMark;
    EXPECT_THROW(file->startRead(1), nt::VerifierStop);
}

TEST_F(IoTest, CompletingTwiceIsAVerifierStop) {
    auto file = Open();
    file->write({1});
    echo.fault = Echo::Fault::CompleteTwice;
    EXPECT_THROW(file->startRead(1), nt::VerifierStop);
}

TEST_F(IoTest, CompletingWithACancelRoutineSetIsAVerifierStop) {
    auto file = Open();
    echo.fault = Echo::Fault::KeepCancelRoutine;
    EXPECT_THROW(file->startRead(1), nt::VerifierStop);
}

TEST_F(IoTest, MarkingPendingAndSucceedingAtOnceIsAVerifierStop) {
    auto file = Open();
    echo.fault = Echo::Fault::MarkAndSucceed;
    EXPECT_THROW(file->startRead(1), nt::VerifierStop);
}
