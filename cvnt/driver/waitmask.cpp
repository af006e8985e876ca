// Wait-on-mask: one event mask per port, the events seen, and the wait request that reports them.
#include "CvEngine.h"

namespace {
inline CCvDevice* Ext(PVOID Context) {
    return static_cast<CCvDevice*>(Context);
}

inline ULONG IoControlCode(PIRP Irp) {
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
}
} // namespace

VOID CvDeliverWaitEvents(CCvDevice* Extension) {
    if (!Extension->IrpMaskLocation || !Extension->HistoryMask)
        return;
    *Extension->IrpMaskLocation = Extension->HistoryMask;
    Extension->IrpMaskLocation = NULL;
    Extension->HistoryMask = 0;
    Extension->CurrentWaitIrp->IoStatus.Information = sizeof(ULONG);
    KeInsertQueueDpc(&Extension->CommWaitDpc, NULL, NULL);
}

BOOLEAN SerialFinishOldWait(PVOID Context) {
    auto* pContext = static_cast<CV_NEW_MASK_CONTEXT*>(Context);
    CCvDevice* Extension = pContext->Extension;
    if (Extension->IrpMaskLocation) {
        *Extension->IrpMaskLocation = 0;
        Extension->IrpMaskLocation = NULL;
        Extension->CurrentWaitIrp->IoStatus.Information = sizeof(ULONG);
        KeInsertQueueDpc(&Extension->CommWaitDpc, NULL, NULL);
    }
    Extension->HistoryMask &= pContext->NewMask;
    Extension->IsrWaitMask = pContext->NewMask;
    return FALSE;
}

BOOLEAN SerialGiveWaitToIsr(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    PIRP Irp = Extension->CurrentWaitIrp;
    SERIAL_SET_REFERENCE(Irp, SERIAL_REF_ISR);
    if (Extension->HistoryMask) {
        // Events already seen complete the wait at once.
        *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer) = Extension->HistoryMask;
        Extension->HistoryMask = 0;
        Irp->IoStatus.Information = sizeof(ULONG);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        KeInsertQueueDpc(&Extension->CommWaitDpc, NULL, NULL);
    } else {
        // Characters still leaving the transmitter count as sent for this wait: a program that waits
        // for the transmitter to empty after its write ended learns when they have gone.
        BOOLEAN bLeaving = (Extension->IsrWaitMask & SERIAL_EV_TXEMPTY) && !CvTransmitterEmpty(Extension);
        Extension->EmptiedTransmit = bLeaving;
        Extension->IrpMaskLocation = static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer);
        if (bLeaving && !Extension->CurrentWriteIrp && IsListEmpty(&Extension->WriteQueue))
            CvCheckTransmitterSoon(Extension);
    }
    return FALSE;
}

BOOLEAN SerialGrabWaitFromIsr(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    if (Extension->IrpMaskLocation) {
        *Extension->IrpMaskLocation = 0;
        Extension->IrpMaskLocation = NULL;
        Extension->CurrentWaitIrp->IoStatus.Information = sizeof(ULONG);
        SERIAL_CLEAR_REFERENCE(Extension->CurrentWaitIrp, SERIAL_REF_ISR);
    }
    return FALSE;
}

VOID SerialCancelWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
    SerialTryToCompleteCurrent(Extension, SerialGrabWaitFromIsr, Irp->CancelIrql, STATUS_CANCELLED,
                               &Extension->CurrentWaitIrp, NULL, NULL, NULL, NULL, NULL, SERIAL_REF_CANCEL);
}

VOID SerialCompleteWait(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = Ext(DeferredContext);
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    SerialTryToCompleteCurrent(Extension, NULL, OldIrql, STATUS_SUCCESS, &Extension->CurrentWaitIrp, NULL,
                               NULL, NULL, NULL, NULL, SERIAL_REF_ISR);
}

NTSTATUS SerialStartMask(CCvDevice* Extension) {
    NTSTATUS FirstStatus = STATUS_SUCCESS;
    BOOLEAN bFirst = TRUE;
    PIRP NewIrp;
    do {
        PIRP Irp = Extension->CurrentMaskIrp;
        NTSTATUS Status;
        if (IoControlCode(Irp) == IOCTL_SERIAL_SET_WAIT_MASK) {
            CV_NEW_MASK_CONTEXT Context = {Extension, *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer)};
            CvSynchronizeWithIsr(Extension, SerialFinishOldWait, &Context);
            Irp->IoStatus.Status = Status = STATUS_SUCCESS;
            SerialGetNextIrp(&Extension->CurrentMaskIrp, &Extension->MaskQueue, &NewIrp, TRUE);
        } else if (!Extension->IsrWaitMask || Extension->CurrentWaitIrp) {
            Irp->IoStatus.Status = Status = STATUS_INVALID_PARAMETER;
            SerialGetNextIrp(&Extension->CurrentMaskIrp, &Extension->MaskQueue, &NewIrp, TRUE);
        } else {
            KIRQL OldIrql;
            IoAcquireCancelSpinLock(&OldIrql);
            if (Irp->Cancel) {
                IoReleaseCancelSpinLock(OldIrql);
                Irp->IoStatus.Status = Status = STATUS_CANCELLED;
                Irp->IoStatus.Information = 0;
                SerialGetNextIrp(&Extension->CurrentMaskIrp, &Extension->MaskQueue, &NewIrp, TRUE);
            } else {
                if (bFirst)
                    IoMarkIrpPending(Irp);
                Status = STATUS_PENDING;
                Extension->CurrentWaitIrp = Irp;
                SERIAL_INIT_REFERENCE(Irp);
                IoSetCancelRoutine(Irp, SerialCancelWait);
                SERIAL_SET_REFERENCE(Irp, SERIAL_REF_CANCEL);
                CvSynchronizeWithIsr(Extension, SerialGiveWaitToIsr, Extension);
                Extension->CurrentMaskIrp = NULL; // the wait leaves the mask queue
                IoReleaseCancelSpinLock(OldIrql);
                SerialGetNextIrp(&Extension->CurrentMaskIrp, &Extension->MaskQueue, &NewIrp, FALSE);
            }
        }
        if (bFirst) {
            FirstStatus = Status;
            bFirst = FALSE;
        }
    } while (NewIrp);
    return FirstStatus;
}
