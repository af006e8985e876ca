// The immediate character: one byte sent ahead of any write, outside the write queue. The device
// control request makes it current and starts it here.
#include "CvEngine.h"

namespace {

VOID CompleteCurrentImmediate(CCvDevice* Extension, PKSYNCHRONIZE_ROUTINE SynchRoutine, KIRQL Irql,
                              NTSTATUS Status, LONG RefType) {
    SerialTryToCompleteCurrent(Extension, SynchRoutine, Irql, Status, &Extension->CurrentImmediateIrp, NULL,
                               NULL, &Extension->ImmediateTotalTimer, NULL, SerialGetNextImmediate, RefType);
}

} // namespace

VOID SerialStartImmediate(CCvDevice* Extension) {
    PIRP Irp = Extension->CurrentImmediateIrp;
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);

    KIRQL ControlIrql;
    KeAcquireSpinLock(&Extension->ControlLock, &ControlIrql);
    SERIAL_TIMEOUTS Timeouts = Extension->Timeouts;
    KeReleaseSpinLock(&Extension->ControlLock, ControlIrql);
    LONGLONG llTotal =
        CvWriteTotalTimeout(Timeouts.WriteTotalTimeoutMultiplier, Timeouts.WriteTotalTimeoutConstant, 1);

    SERIAL_INIT_REFERENCE(Irp);
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(OldIrql);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        PIRP NewIrp;
        SerialGetNextImmediate(&Extension->CurrentImmediateIrp, NULL, &NewIrp, TRUE);
        return;
    }
    IoSetCancelRoutine(Irp, SerialCancelImmediate);
    SERIAL_SET_REFERENCE(Irp, SERIAL_REF_CANCEL);
    if (llTotal) {
        SERIAL_SET_REFERENCE(Irp, SERIAL_REF_TOTAL_TIMER);
        LARGE_INTEGER Due;
        Due.QuadPart = llTotal;
        KeSetTimer(&Extension->ImmediateTotalTimer, Due, &Extension->TotalImmediateTimeoutDpc);
    }
    CvSynchronizeWithIsr(Extension, SerialGiveImmediateToIsr, Extension);
    IoReleaseCancelSpinLock(OldIrql);
}

BOOLEAN SerialGiveImmediateToIsr(PVOID Context) {
    CCvDevice* Extension = static_cast<CCvDevice*>(Context);
    PIRP Irp = Extension->CurrentImmediateIrp;
    Extension->TransmitImmediate = TRUE;
    Extension->ImmediateChar = *static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    SERIAL_SET_REFERENCE(Irp, SERIAL_REF_ISR);
    if (!Extension->WriteLength && Extension->HoldingEmpty)
        CvKickTransmitter(Extension);
    return FALSE;
}

BOOLEAN SerialGrabImmediateFromIsr(PVOID Context) {
    CCvDevice* Extension = static_cast<CCvDevice*>(Context);
    if (Extension->TransmitImmediate) {
        Extension->TransmitImmediate = FALSE;
        SERIAL_CLEAR_REFERENCE(Extension->CurrentImmediateIrp, SERIAL_REF_ISR);
    }
    return FALSE;
}

VOID SerialGetNextImmediate(PIRP* CurrentOpIrp, PLIST_ENTRY, PIRP* NewIrp, BOOLEAN) {
    CCvDevice* Extension = CONTAINING_RECORD(CurrentOpIrp, CCvDevice, CurrentImmediateIrp);
    PIRP OldIrp = *CurrentOpIrp;
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    Extension->TotalCharsQueued--;
    *CurrentOpIrp = NULL;
    CvSynchronizeWithIsr(Extension, SerialProcessEmptyTransmit, Extension);
    IoReleaseCancelSpinLock(OldIrql);
    *NewIrp = NULL;
    IoCompleteRequest(OldIrp, IO_SERIAL_INCREMENT);
}

VOID SerialCompleteImmediate(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeferredContext);
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    CompleteCurrentImmediate(Extension, NULL, OldIrql, STATUS_SUCCESS, SERIAL_REF_ISR);
}

VOID SerialTimeoutImmediate(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeferredContext);
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    CompleteCurrentImmediate(Extension, SerialGrabImmediateFromIsr, OldIrql, STATUS_TIMEOUT,
                             SERIAL_REF_TOTAL_TIMER);
}

VOID SerialCancelImmediate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
    CompleteCurrentImmediate(Extension, SerialGrabImmediateFromIsr, Irp->CancelIrql, STATUS_CANCELLED,
                             SERIAL_REF_CANCEL);
}
