// The queueing routines of the port engine: every read, write, mask, purge, immediate-character and
// XOFF-counter request starts, waits its turn, completes, times out or is cancelled through these.
#include "CvDevice.h"

namespace {

inline CCvDevice* ExtensionOf(PDEVICE_OBJECT DeviceObject) {
    return static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
}

// What a request counts in TotalCharsQueued: a write its length, an immediate character or an XOFF
// counter one.
ULONG QueuedCharsOf(PIRP Irp) {
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    if (IrpSp->MajorFunction == IRP_MJ_WRITE)
        return IrpSp->Parameters.Write.Length;
    if (IrpSp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ULONG ulCode = IrpSp->Parameters.DeviceIoControl.IoControlCode;
        if (ulCode == IOCTL_SERIAL_IMMEDIATE_CHAR || ulCode == IOCTL_SERIAL_XOFF_COUNTER)
            return 1;
    }
    return 0;
}

// A queue-size request carries the new buffer in its type-3 input buffer field until it runs.
VOID FreeCarriedBuffer(PIRP Irp) {
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    if (IrpSp->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        IrpSp->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_QUEUE_SIZE &&
        IrpSp->Parameters.DeviceIoControl.Type3InputBuffer) {
        ExFreePool(IrpSp->Parameters.DeviceIoControl.Type3InputBuffer);
        IrpSp->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
    }
}

} // namespace

BOOLEAN CvSynchronizeWithIsr(CCvDevice* Extension, PKSYNCHRONIZE_ROUTINE Routine, PVOID Context) {
    PKINTERRUPT Interrupt = Extension->Interrupt;
    if (!Interrupt && Extension->pParentCard)
        Interrupt = Extension->pParentCard->Interrupt;
    if (!Interrupt)
        return FALSE;
    return KeSynchronizeExecution(Interrupt, Routine, Context);
}

NTSTATUS SerialStartOrQueue(CCvDevice* Extension, PIRP Irp, PLIST_ENTRY QueueToExamine, PIRP* CurrentOpIrp,
                            PSERIAL_START_ROUTINE Starter) {
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    ULONG ulChars = QueuedCharsOf(Irp);
    Extension->TotalCharsQueued += ulChars;

    if (IsListEmpty(QueueToExamine) && !*CurrentOpIrp) {
        *CurrentOpIrp = Irp;
        IoReleaseCancelSpinLock(OldIrql);
        return Starter(Extension);
    }
    if (Irp->Cancel) {
        // Cancelled before it could wait: it never counts as queued.
        Extension->TotalCharsQueued -= ulChars;
        IoReleaseCancelSpinLock(OldIrql);
        FreeCarriedBuffer(Irp);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_CANCELLED;
    }
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    InsertTailList(QueueToExamine, &Irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, SerialCancelQueued);
    IoReleaseCancelSpinLock(OldIrql);
    return STATUS_PENDING;
}

VOID SerialCancelQueued(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = ExtensionOf(DeviceObject);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    Extension->TotalCharsQueued -= QueuedCharsOf(Irp);
    FreeCarriedBuffer(Irp);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
}

VOID SerialGetNextIrp(PIRP* CurrentOpIrp, PLIST_ENTRY QueueToProcess, PIRP* NextIrp,
                      BOOLEAN CompleteCurrent) {
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    PIRP OldIrp = *CurrentOpIrp;
    if (!IsListEmpty(QueueToProcess)) {
        PLIST_ENTRY Head = RemoveHeadList(QueueToProcess);
        InitializeListHead(Head);
        *CurrentOpIrp = CONTAINING_RECORD(Head, IRP, Tail.Overlay.ListEntry);
        IoSetCancelRoutine(*CurrentOpIrp, NULL);
    } else {
        *CurrentOpIrp = NULL;
    }
    *NextIrp = *CurrentOpIrp;
    IoReleaseCancelSpinLock(OldIrql);
    if (CompleteCurrent && OldIrp)
        IoCompleteRequest(OldIrp, IO_SERIAL_INCREMENT);
}

VOID SerialRundownIrpRefs(PIRP* CurrentOpIrp, PKTIMER IntervalTimer, PKTIMER TotalTimer) {
    if ((*CurrentOpIrp)->CancelRoutine) {
        SERIAL_CLEAR_REFERENCE(*CurrentOpIrp, SERIAL_REF_CANCEL);
        IoSetCancelRoutine(*CurrentOpIrp, NULL);
    }
    // A timer that already fired keeps its bit: its routine drops it.
    if (IntervalTimer && KeCancelTimer(IntervalTimer))
        SERIAL_CLEAR_REFERENCE(*CurrentOpIrp, SERIAL_REF_INT_TIMER);
    if (TotalTimer && KeCancelTimer(TotalTimer))
        SERIAL_CLEAR_REFERENCE(*CurrentOpIrp, SERIAL_REF_TOTAL_TIMER);
}

VOID SerialTryToCompleteCurrent(CCvDevice* Extension, PKSYNCHRONIZE_ROUTINE SynchRoutine,
                                KIRQL IrqlForRelease, NTSTATUS StatusToUse, PIRP* CurrentOpIrp,
                                PLIST_ENTRY QueueToProcess, PKTIMER IntervalTimer, PKTIMER TotalTimer,
                                PSERIAL_START_ROUTINE Starter, PSERIAL_GET_NEXT_ROUTINE GetNextIrp,
                                LONG RefType) {
    // Entered holding the cancel spin lock.
    SERIAL_CLEAR_REFERENCE(*CurrentOpIrp, (ULONG)RefType);
    if (SynchRoutine)
        CvSynchronizeWithIsr(Extension, SynchRoutine, Extension);
    SerialRundownIrpRefs(CurrentOpIrp, IntervalTimer, TotalTimer);
    if (SERIAL_REFERENCE_COUNT(*CurrentOpIrp)) {
        IoReleaseCancelSpinLock(IrqlForRelease); // the last holder completes it
        return;
    }
    // A cancelled request keeps its count: a read or write reports the bytes it already moved.
    (*CurrentOpIrp)->IoStatus.Status = StatusToUse;
    if (GetNextIrp) {
        IoReleaseCancelSpinLock(IrqlForRelease);
        PIRP NewIrp;
        GetNextIrp(CurrentOpIrp, QueueToProcess, &NewIrp, TRUE);
        if (NewIrp)
            Starter(Extension);
    } else {
        PIRP OldIrp = *CurrentOpIrp;
        *CurrentOpIrp = NULL;
        IoReleaseCancelSpinLock(IrqlForRelease);
        IoCompleteRequest(OldIrp, IO_SERIAL_INCREMENT);
    }
}

VOID SerialKillAllReadsOrWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY QueueToClean, PIRP* CurrentOpIrp) {
    KIRQL CancelIrql;
    IoAcquireCancelSpinLock(&CancelIrql);
    // Newest first, each through its own cancel routine, which releases the lock.
    while (!IsListEmpty(QueueToClean)) {
        PLIST_ENTRY Tail = QueueToClean->Blink;
        PIRP Irp = CONTAINING_RECORD(Tail, IRP, Tail.Overlay.ListEntry);
        RemoveEntryList(Tail);
        InitializeListHead(Tail);
        PDRIVER_CANCEL CancelRoutine = IoSetCancelRoutine(Irp, NULL);
        Irp->CancelIrql = CancelIrql;
        Irp->Cancel = TRUE;
        CancelRoutine(DeviceObject, Irp);
        IoAcquireCancelSpinLock(&CancelIrql);
    }
    if (*CurrentOpIrp) {
        PIRP Irp = *CurrentOpIrp;
        Irp->Cancel = TRUE;
        PDRIVER_CANCEL CancelRoutine = IoSetCancelRoutine(Irp, NULL);
        if (CancelRoutine) {
            Irp->CancelIrql = CancelIrql;
            CancelRoutine(DeviceObject, Irp);
            return;
        }
    }
    IoReleaseCancelSpinLock(CancelIrql);
}

NTSTATUS SerialCompleteIfError(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = ExtensionOf(DeviceObject);
    if (!(Extension->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) || !Extension->ErrorWord)
        return STATUS_SUCCESS;
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    // Only reading the comm status (which clears the errors) passes while an error holds the port.
    if (IrpSp->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        IrpSp->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS)
        return STATUS_SUCCESS;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
}

VOID SerialCommError(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeferredContext);
    SerialKillAllReadsOrWrites(Extension->DeviceObject, &Extension->WriteQueue, &Extension->CurrentWriteIrp);
    SerialKillAllReadsOrWrites(Extension->DeviceObject, &Extension->ReadQueue, &Extension->CurrentReadIrp);
}
