// The write path: write and XOFF-counter requests share the write queue and are sent by the service
// routine from WriteCurrentChar; an XOFF counter, once its XOFF byte is out, waits for a number of
// received characters instead of completing. A flush reaching the head of the queue completes at once.
#include "CvEngine.h"

namespace {

BOOLEAN IsXoffCounter(PIRP Irp) {
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    return IrpSp->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
           IrpSp->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_XOFF_COUNTER;
}

// With the cancel spin lock held: the finished write-queue request leaves the queued count; a
// successful XOFF counter becomes the current XOFF count instead of completing. Returns TRUE when kept.
BOOLEAN FinishWriteQueueRequest(CCvDevice* Extension, PIRP Irp) {
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    if (IrpSp->MajorFunction == IRP_MJ_WRITE) {
        Extension->TotalCharsQueued -= IrpSp->Parameters.Write.Length;
        return FALSE;
    }
    if (!IsXoffCounter(Irp))
        return FALSE;
    Extension->TotalCharsQueued--;
    if (Irp->Cancel) {
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        return FALSE;
    }
    if (Irp->IoStatus.Status != STATUS_SUCCESS)
        return FALSE;
    auto* pCounter = static_cast<PSERIAL_XOFF_COUNTER>(Irp->AssociatedIrp.SystemBuffer);
    Irp->IoStatus.Status = STATUS_PENDING;
    Irp->IoStatus.Information = 0;
    SERIAL_INIT_REFERENCE(Irp);
    IoSetCancelRoutine(Irp, SerialCancelCurrentXoff);
    SERIAL_SET_REFERENCE(Irp, SERIAL_REF_CANCEL);
    Extension->CurrentXoffIrp = Irp;
    CvSynchronizeWithIsr(Extension, SerialGiveXoffToIsr, Extension);
    if (pCounter->Timeout) {
        SERIAL_SET_REFERENCE(Irp, SERIAL_REF_TOTAL_TIMER);
        LARGE_INTEGER Due;
        Due.QuadPart = -static_cast<LONGLONG>(pCounter->Timeout) * 10000;
        KeSetTimer(&Extension->XoffCountTimer, Due, &Extension->XoffCountTimeoutDpc);
    }
    return TRUE;
}

VOID CompleteCurrentWrite(CCvDevice* Extension, PKSYNCHRONIZE_ROUTINE SynchRoutine, KIRQL Irql,
                          NTSTATUS Status, LONG RefType) {
    SerialTryToCompleteCurrent(Extension, SynchRoutine, Irql, Status, &Extension->CurrentWriteIrp,
                               &Extension->WriteQueue, NULL, &Extension->WriteRequestTotalTimer,
                               SerialStartWrite, SerialGetNextWrite, RefType);
}

VOID CompleteCurrentXoff(CCvDevice* Extension, PKSYNCHRONIZE_ROUTINE SynchRoutine, KIRQL Irql,
                         NTSTATUS Status, LONG RefType) {
    SerialTryToCompleteCurrent(Extension, SynchRoutine, Irql, Status, &Extension->CurrentXoffIrp, NULL, NULL,
                               &Extension->XoffCountTimer, NULL, NULL, RefType);
}

} // namespace

LONGLONG CvWriteTotalTimeout(ULONG Multiplier, ULONG Constant, ULONG Count) {
    if (!Multiplier && !Constant)
        return 0;
    return -((static_cast<LONGLONG>(Count) * Multiplier + Constant) * 10000);
}

NTSTATUS SerialWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
    if (SerialCompleteIfError(DeviceObject, Irp) != STATUS_SUCCESS)
        return STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length)
        return SerialStartOrQueue(Extension, Irp, &Extension->WriteQueue, &Extension->CurrentWriteIrp,
                                  SerialStartWrite);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS SerialStartWrite(CCvDevice* Extension) {
    NTSTATUS FirstStatus = STATUS_SUCCESS;
    BOOLEAN bFirst = TRUE;
    for (;;) {
        PIRP Irp = Extension->CurrentWriteIrp;
        PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
        KIRQL OldIrql;

        // A new write ends a pending XOFF count.
        IoAcquireCancelSpinLock(&OldIrql);
        if (Extension->CurrentXoffIrp && SERIAL_REFERENCE_COUNT(Extension->CurrentXoffIrp)) {
            SERIAL_SET_REFERENCE(Extension->CurrentXoffIrp, SERIAL_REF_XOFF_REF);
            CompleteCurrentXoff(Extension, SerialGrabXoffFromIsr, OldIrql, STATUS_SERIAL_MORE_WRITES,
                                SERIAL_REF_XOFF_REF);
        } else {
            IoReleaseCancelSpinLock(OldIrql);
        }

        KIRQL ControlIrql;
        KeAcquireSpinLock(&Extension->ControlLock, &ControlIrql);
        SERIAL_TIMEOUTS Timeouts = Extension->Timeouts;
        KeReleaseSpinLock(&Extension->ControlLock, ControlIrql);
        ULONG ulCount = IrpSp->MajorFunction == IRP_MJ_WRITE ? IrpSp->Parameters.Write.Length : 1;
        LONGLONG llTotal = CvWriteTotalTimeout(Timeouts.WriteTotalTimeoutMultiplier,
                                               Timeouts.WriteTotalTimeoutConstant, ulCount);

        SERIAL_INIT_REFERENCE(Irp);
        IoAcquireCancelSpinLock(&OldIrql);
        if (Irp->Cancel) {
            IoReleaseCancelSpinLock(OldIrql);
            Irp->IoStatus.Status = STATUS_CANCELLED;
            Irp->IoStatus.Information = 0;
            if (bFirst)
                FirstStatus = STATUS_CANCELLED;
            bFirst = FALSE;
            PIRP NewIrp;
            SerialGetNextWrite(&Extension->CurrentWriteIrp, &Extension->WriteQueue, &NewIrp, TRUE);
            if (!NewIrp)
                return FirstStatus;
            continue;
        }
        IoMarkIrpPending(Irp);
        Irp->IoStatus.Status = STATUS_PENDING;
        if (bFirst)
            FirstStatus = STATUS_PENDING;
        IoSetCancelRoutine(Irp, SerialCancelCurrentWrite);
        SERIAL_SET_REFERENCE(Irp, SERIAL_REF_CANCEL);
        if (llTotal) {
            SERIAL_SET_REFERENCE(Irp, SERIAL_REF_TOTAL_TIMER);
            LARGE_INTEGER Due;
            Due.QuadPart = llTotal;
            KeSetTimer(&Extension->WriteRequestTotalTimer, Due, &Extension->TotalWriteTimeoutDpc);
        }
        CvSynchronizeWithIsr(Extension, SerialGiveWriteToIsr, Extension);
        IoReleaseCancelSpinLock(OldIrql);
        return FirstStatus;
    }
}

VOID SerialGetNextWrite(PIRP* CurrentOpIrp, PLIST_ENTRY QueueToProcess, PIRP* NewIrp,
                        BOOLEAN CompleteCurrent) {
    CCvDevice* Extension = CONTAINING_RECORD(CurrentOpIrp, CCvDevice, CurrentWriteIrp);
    for (;;) {
        KIRQL OldIrql;
        IoAcquireCancelSpinLock(&OldIrql);
        BOOLEAN bKept = FinishWriteQueueRequest(Extension, *CurrentOpIrp);
        IoReleaseCancelSpinLock(OldIrql);

        SerialGetNextIrp(CurrentOpIrp, QueueToProcess, NewIrp, CompleteCurrent && !bKept);
        if (!*NewIrp) {
            IoAcquireCancelSpinLock(&OldIrql);
            CvSynchronizeWithIsr(Extension, SerialProcessEmptyTransmit, Extension);
            IoReleaseCancelSpinLock(OldIrql);
            return;
        }
        if (IoGetCurrentIrpStackLocation(*NewIrp)->MajorFunction != IRP_MJ_FLUSH_BUFFERS)
            return;
        // A flush has nothing to send: everything queued before it has gone.
        (*NewIrp)->IoStatus.Status = STATUS_SUCCESS;
        CompleteCurrent = TRUE;
    }
}

BOOLEAN SerialGiveWriteToIsr(PVOID Context) {
    CCvDevice* Extension = static_cast<CCvDevice*>(Context);
    PIRP Irp = Extension->CurrentWriteIrp;
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    if (IrpSp->MajorFunction == IRP_MJ_WRITE) {
        Extension->WriteLength = IrpSp->Parameters.Write.Length;
        Extension->WriteCurrentChar = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    } else {
        // The XOFF counter sends its XOFF character, the byte at offset 8 of its input.
        Extension->WriteLength = 1;
        Extension->WriteCurrentChar = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer) + 8;
    }
    SERIAL_SET_REFERENCE(Irp, SERIAL_REF_ISR);
    if (!Extension->TransmitImmediate && Extension->HoldingEmpty)
        CvKickTransmitter(Extension);
    if ((Extension->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE)
        SerialSetRTS(Extension);
    return FALSE;
}

VOID SerialCompleteWrite(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeferredContext);
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    CompleteCurrentWrite(Extension, NULL, OldIrql, STATUS_SUCCESS, SERIAL_REF_ISR);
}

VOID SerialWriteTimeout(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeferredContext);
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    CompleteCurrentWrite(Extension, SerialGrabWriteFromIsr, OldIrql, STATUS_TIMEOUT, SERIAL_REF_TOTAL_TIMER);
}

VOID SerialCancelCurrentWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
    CompleteCurrentWrite(Extension, SerialGrabWriteFromIsr, Irp->CancelIrql, STATUS_CANCELLED,
                         SERIAL_REF_CANCEL);
}

BOOLEAN SerialGrabWriteFromIsr(PVOID Context) {
    CCvDevice* Extension = static_cast<CCvDevice*>(Context);
    if (Extension->WriteLength) {
        PIRP Irp = Extension->CurrentWriteIrp;
        PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
        Irp->IoStatus.Information = IrpSp->MajorFunction == IRP_MJ_WRITE
                                        ? IrpSp->Parameters.Write.Length - Extension->WriteLength
                                        : 0;
        SERIAL_CLEAR_REFERENCE(Irp, SERIAL_REF_ISR);
        Extension->WriteLength = 0;
    }
    return FALSE;
}

namespace {

// The transmitter drains its FIFO and shift register in at most a FIFO's depth of character times
// once nothing more is handed to it; a transmitter still not empty after this many checks (one a
// character time) is held by something outside the driver, and the checks stop until the next write.
const ULONG kMaxTxEmptyChecks = 1024;

BOOLEAN TransmitEmptyAwaited(CCvDevice* Extension) {
    return (Extension->IsrWaitMask & SERIAL_EV_TXEMPTY) && Extension->EmptiedTransmit &&
           !Extension->TransmitImmediate && !Extension->CurrentWriteIrp &&
           IsListEmpty(&Extension->WriteQueue);
}

} // namespace

BOOLEAN CvTransmitterEmpty(CCvDevice* Extension) {
    const UCHAR ucEmpty = UART_LSR_THRE | UART_LSR_TEMT;
    return (SerialProcessLSR(Extension) & ucEmpty) == ucEmpty;
}

VOID CvCheckTransmitterSoon(CCvDevice* Extension) {
    if (Extension->TxEmptyChecks < kMaxTxEmptyChecks) {
        Extension->TxEmptyChecks++;
        KeInsertQueueDpc(&Extension->StartTimerTxEmptyDpc, NULL, NULL);
    }
}

BOOLEAN SerialProcessEmptyTransmit(PVOID Context) {
    CCvDevice* Extension = static_cast<CCvDevice*>(Context);
    if (!TransmitEmptyAwaited(Extension)) {
        Extension->TxEmptyChecks = 0;
        return FALSE;
    }
    // The last bytes are still in the FIFO or the shift register: the line is not idle yet.
    if (!CvTransmitterEmpty(Extension)) {
        CvCheckTransmitterSoon(Extension);
        return FALSE;
    }
    Extension->TxEmptyChecks = 0;
    Extension->HistoryMask |= SERIAL_EV_TXEMPTY;
    CvDeliverWaitEvents(Extension);
    Extension->CountOfTryingToLowerRTS++;
    SerialPerhapsLowerRTS(Extension);
    return FALSE;
}

VOID SerialStartTimerTxEmpty(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeferredContext);
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
    LARGE_INTEGER CharTime = SerialGetCharTime(Extension);
    KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
    CharTime.QuadPart = -CharTime.QuadPart;
    KeSetTimer(&Extension->TxEmptyTimer, CharTime, &Extension->TxEmptyDpc);
}

VOID SerialInvokeProcessEmptyTransmit(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeferredContext);
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    CvSynchronizeWithIsr(Extension, SerialProcessEmptyTransmit, Extension);
    IoReleaseCancelSpinLock(OldIrql);
}

BOOLEAN SerialGiveXoffToIsr(PVOID Context) {
    CCvDevice* Extension = static_cast<CCvDevice*>(Context);
    PIRP Irp = Extension->CurrentXoffIrp;
    Extension->CountSinceXoff = static_cast<PSERIAL_XOFF_COUNTER>(Irp->AssociatedIrp.SystemBuffer)->Counter;
    SERIAL_SET_REFERENCE(Irp, SERIAL_REF_ISR);
    return FALSE;
}

BOOLEAN SerialGrabXoffFromIsr(PVOID Context) {
    CCvDevice* Extension = static_cast<CCvDevice*>(Context);
    if (Extension->CountSinceXoff) {
        Extension->CountSinceXoff = 0;
        SERIAL_CLEAR_REFERENCE(Extension->CurrentXoffIrp, SERIAL_REF_ISR);
    }
    return FALSE;
}

VOID SerialCompleteXoff(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeferredContext);
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    if (!Extension->CurrentXoffIrp) { // already ended by a new write, a timeout or a cancel
        IoReleaseCancelSpinLock(OldIrql);
        return;
    }
    CompleteCurrentXoff(Extension, NULL, OldIrql, Extension->CurrentXoffIrp->IoStatus.Status, SERIAL_REF_ISR);
}

VOID SerialTimeoutXoff(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeferredContext);
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    CompleteCurrentXoff(Extension, SerialGrabXoffFromIsr, OldIrql, STATUS_SERIAL_COUNTER_TIMEOUT,
                        SERIAL_REF_TOTAL_TIMER);
}

VOID SerialCancelCurrentXoff(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
    CompleteCurrentXoff(Extension, SerialGrabXoffFromIsr, Irp->CancelIrql, STATUS_CANCELLED,
                        SERIAL_REF_CANCEL);
}
