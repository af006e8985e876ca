// The read path: reads served from the ring buffer, or filled straight by the service routine until
// full or ended by a timer; and the queue-size request that replaces the ring buffer by a larger one.
#include "CvEngine.h"

namespace {

// Completion reasons kept in CountOnLastRead for the interval timer.
const LONG kReadCancelled = -1;
const LONG kReadTotalTimeout = -2;
const LONG kReadCompleted = -3;

inline CCvDevice* Ext(PVOID Context) {
    return static_cast<CCvDevice*>(Context);
}

struct UPDATE_CONTEXT {
    CCvDevice* Extension;
    ULONG ulCopied;
    BOOLEAN bCompleted;
};

VOID CompleteCurrentRead(CCvDevice* Extension, PKSYNCHRONIZE_ROUTINE SynchRoutine, KIRQL Irql,
                         NTSTATUS Status, LONG RefType) {
    SerialTryToCompleteCurrent(Extension, SynchRoutine, Irql, Status, &Extension->CurrentReadIrp,
                               &Extension->ReadQueue, &Extension->ReadRequestIntervalTimer,
                               &Extension->ReadRequestTotalTimer, SerialStartRead, SerialGetNextIrp, RefType);
}

BOOLEAN UpdateInterruptBufferLocked(CCvDevice* Extension, ULONG ulCopied) {
    Extension->CharsInInterruptBuffer -= ulCopied;
    SerialHandleReducedIntBuffer(Extension);
    return FALSE;
}

// Copies the characters of the old ring buffer, oldest first, into the new one; returns how many.
ULONG MoveToNewIntBuffer(CCvDevice* Extension, PUCHAR pNewBuffer) {
    ULONG ulCount = Extension->CharsInInterruptBuffer;
    PUCHAR pFrom = Extension->FirstReadableChar;
    for (ULONG i = 0; i < ulCount; i++) {
        pNewBuffer[i] = *pFrom;
        pFrom = pFrom == Extension->LastCharSlot ? Extension->InterruptReadBuffer : pFrom + 1;
    }
    return ulCount;
}

struct PUT_BACK_CONTEXT {
    CCvDevice* Extension;
    PUCHAR pFirstReadable;
};

// The characters copied out of the ring buffer but not yet accounted are readable again.
BOOLEAN PutBackIntoInterruptBuffer(PVOID Context) {
    auto* pContext = static_cast<PUT_BACK_CONTEXT*>(Context);
    pContext->Extension->FirstReadableChar = pContext->pFirstReadable;
    return FALSE;
}

struct SWITCH_CONTEXT {
    CCvDevice* Extension;
    PUCHAR pNewBuffer;
    ULONG ulNewSize;
    ULONG ulMoved;
    PUCHAR pOldBuffer;
};

} // namespace

VOID CvReadTiming(const SERIAL_TIMEOUTS* pTimeouts, ULONG ulLength, CV_READ_TIMING* pTiming) {
    RtlZeroMemory(pTiming, sizeof *pTiming);
    const ULONG ulInterval = pTimeouts->ReadIntervalTimeout;
    const ULONG ulMultiplier = pTimeouts->ReadTotalTimeoutMultiplier;
    const ULONG ulConstant = pTimeouts->ReadTotalTimeoutConstant;
    if (ulInterval && ulInterval != MAXULONG) {
        pTiming->bUseInterval = TRUE;
        pTiming->llInterval = static_cast<LONGLONG>(ulInterval) * 10000;
    }
    ULONG ulUsedMultiplier = 0, ulUsedConstant = 0;
    if (ulInterval != MAXULONG) {
        if (ulMultiplier || ulConstant) {
            pTiming->bUseTotal = TRUE;
            ulUsedMultiplier = ulMultiplier;
            ulUsedConstant = ulConstant;
        }
    } else if (!ulMultiplier && !ulConstant) {
        pTiming->bReturnWhatsPresent = TRUE;
    } else if (ulMultiplier != MAXULONG && ulConstant != MAXULONG) {
        pTiming->bUseTotal = pTiming->bReturnOnAny = TRUE;
        ulUsedMultiplier = ulMultiplier;
        ulUsedConstant = ulConstant;
    } else if (ulMultiplier == MAXULONG && ulConstant != MAXULONG) {
        pTiming->bUseTotal = pTiming->bReturnOnAny = pTiming->bCrunchToOne = TRUE;
        ulUsedConstant = ulConstant;
    }
    if (pTiming->bUseTotal) {
        ULONG ulNeeded = pTiming->bCrunchToOne ? 1 : ulLength;
        pTiming->llTotal = -((static_cast<LONGLONG>(ulNeeded) * ulUsedMultiplier + ulUsedConstant) * 10000);
    }
}

NTSTATUS SerialRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
    if (SerialCompleteIfError(DeviceObject, Irp) != STATUS_SUCCESS)
        return STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length)
        return SerialStartOrQueue(Extension, Irp, &Extension->ReadQueue, &Extension->CurrentReadIrp,
                                  SerialStartRead);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

ULONG SerialGetCharsFromIntBuffer(CCvDevice* Extension) {
    PIRP Irp = Extension->CurrentReadIrp;
    ULONG ulLength = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    ULONG ulCount = Extension->CharsInInterruptBuffer < Extension->NumberNeededForRead
                        ? Extension->CharsInInterruptBuffer
                        : Extension->NumberNeededForRead;
    if (!ulCount)
        return 0;
    PUCHAR pTo =
        static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer) + (ulLength - Extension->NumberNeededForRead);
    // Up to the end of the ring first, then from its start.
    ULONG ulToEnd = static_cast<ULONG>(Extension->LastCharSlot - Extension->FirstReadableChar) + 1;
    ULONG ulFirst = ulCount < ulToEnd ? ulCount : ulToEnd;
    RtlMoveMemory(pTo, Extension->FirstReadableChar, ulFirst);
    if (ulFirst < ulCount) {
        RtlMoveMemory(pTo + ulFirst, Extension->InterruptReadBuffer, ulCount - ulFirst);
        Extension->FirstReadableChar = Extension->InterruptReadBuffer + (ulCount - ulFirst);
    } else if (Extension->FirstReadableChar + ulFirst > Extension->LastCharSlot) {
        Extension->FirstReadableChar = Extension->InterruptReadBuffer;
    } else {
        Extension->FirstReadableChar += ulFirst;
    }
    Extension->NumberNeededForRead -= ulCount;
    Irp->IoStatus.Information += ulCount;
    return ulCount;
}

BOOLEAN SerialUpdateInterruptBuffer(PVOID Context) {
    auto* pContext = static_cast<UPDATE_CONTEXT*>(Context);
    return UpdateInterruptBufferLocked(pContext->Extension, pContext->ulCopied);
}

BOOLEAN SerialUpdateAndSwitchToUser(PVOID Context) {
    auto* pContext = static_cast<UPDATE_CONTEXT*>(Context);
    CCvDevice* Extension = pContext->Extension;
    UpdateInterruptBufferLocked(Extension, pContext->ulCopied);
    // What arrived since the first copy.
    UpdateInterruptBufferLocked(Extension, SerialGetCharsFromIntBuffer(Extension));
    PIRP Irp = Extension->CurrentReadIrp;
    if (!Extension->NumberNeededForRead) {
        pContext->bCompleted = TRUE;
        return FALSE;
    }
    ULONG ulLength = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    PUCHAR pBuffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    Extension->CountOnLastRead = static_cast<LONG>(Irp->IoStatus.Information);
    Extension->ReadByIsr = 0;
    Extension->ReadBufferBase = pBuffer;
    Extension->CurrentCharSlot = pBuffer + Irp->IoStatus.Information;
    Extension->LastCharSlot = pBuffer + (ulLength - 1);
    IoSetCancelRoutine(Irp, SerialCancelCurrentRead);
    SERIAL_SET_REFERENCE(Irp, SERIAL_REF_ISR);
    SERIAL_SET_REFERENCE(Irp, SERIAL_REF_CANCEL);
    pContext->bCompleted = FALSE;
    return FALSE;
}

NTSTATUS SerialStartRead(CCvDevice* Extension) {
    NTSTATUS FirstStatus = STATUS_SUCCESS;
    BOOLEAN bFirst = TRUE;
    PIRP NewIrp;
    do {
        PIRP Irp = Extension->CurrentReadIrp;
        PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
        NTSTATUS Status = STATUS_SUCCESS;
        if (IrpSp->MajorFunction != IRP_MJ_READ) {
            SerialResizeBuffer(Extension);
        } else {
            Extension->NumberNeededForRead = IrpSp->Parameters.Read.Length;
            KIRQL ControlIrql;
            KeAcquireSpinLock(&Extension->ControlLock, &ControlIrql);
            SERIAL_TIMEOUTS Timeouts = Extension->Timeouts;
            KeReleaseSpinLock(&Extension->ControlLock, ControlIrql);

            CV_READ_TIMING Timing;
            CvReadTiming(&Timeouts, Extension->NumberNeededForRead, &Timing);
            if (Timing.bUseInterval) {
                Extension->IntervalTime.QuadPart = Timing.llInterval;
                Extension->IntervalTimeToUse =
                    Extension->IntervalTime.QuadPart >= Extension->CutOverAmount.QuadPart
                        ? &Extension->LongIntervalAmount
                        : &Extension->ShortIntervalAmount;
            }
            const BOOLEAN bUseInterval = Timing.bUseInterval, bUseTotal = Timing.bUseTotal,
                          bReturnWhatsPresent = Timing.bReturnWhatsPresent,
                          bReturnOnAny = Timing.bReturnOnAny, bCrunchToOne = Timing.bCrunchToOne;
            LARGE_INTEGER TotalTime;
            TotalTime.QuadPart = Timing.llTotal;

            KeAcquireSpinLock(&Extension->ControlLock, &ControlIrql);
            PUCHAR pFirstBefore = Extension->FirstReadableChar;
            UPDATE_CONTEXT Update = {Extension, SerialGetCharsFromIntBuffer(Extension), FALSE};
            if (!Extension->NumberNeededForRead || bReturnWhatsPresent ||
                (bReturnOnAny && Irp->IoStatus.Information)) {
                CvSynchronizeWithIsr(Extension, SerialUpdateInterruptBuffer, &Update);
                KeReleaseSpinLock(&Extension->ControlLock, ControlIrql);
            } else {
                // The request waits. The control lock goes before the cancel lock is taken (the cancel
                // lock is the outer one); characters arriving meanwhile are taken up while switching.
                KeReleaseSpinLock(&Extension->ControlLock, ControlIrql);
                SERIAL_INIT_REFERENCE(Irp);
                KIRQL CancelIrql;
                IoAcquireCancelSpinLock(&CancelIrql);
                if (Irp->Cancel) {
                    // A cancelled read returns no data to its caller: the bytes it copied stay in the ring
                    // buffer for the next read (the copy was never accounted).
                    KeAcquireSpinLock(&Extension->ControlLock, &ControlIrql);
                    PUT_BACK_CONTEXT PutBack = {Extension, pFirstBefore};
                    CvSynchronizeWithIsr(Extension, PutBackIntoInterruptBuffer, &PutBack);
                    KeReleaseSpinLock(&Extension->ControlLock, ControlIrql);
                    IoReleaseCancelSpinLock(CancelIrql);
                    Irp->IoStatus.Information = 0;
                    Status = STATUS_CANCELLED;
                } else {
                    if (bCrunchToOne) {
                        Extension->NumberNeededForRead = 1;
                        IrpSp->Parameters.Read.Length = 1;
                    }
                    CvSynchronizeWithIsr(Extension, SerialUpdateAndSwitchToUser, &Update);
                    if (Update.bCompleted) {
                        IoReleaseCancelSpinLock(CancelIrql);
                    } else {
                        if (bUseTotal) {
                            SERIAL_SET_REFERENCE(Irp, SERIAL_REF_TOTAL_TIMER);
                            KeSetTimer(&Extension->ReadRequestTotalTimer, TotalTime,
                                       &Extension->TotalReadTimeoutDpc);
                        }
                        if (bUseInterval) {
                            SERIAL_SET_REFERENCE(Irp, SERIAL_REF_INT_TIMER);
                            KeQuerySystemTime(&Extension->LastReadTime);
                            KeSetTimer(&Extension->ReadRequestIntervalTimer, *Extension->IntervalTimeToUse,
                                       &Extension->IntervalReadTimeoutDpc);
                        }
                        IoMarkIrpPending(Irp);
                        IoReleaseCancelSpinLock(CancelIrql);
                        return bFirst ? STATUS_PENDING : FirstStatus;
                    }
                }
            }
        }
        Irp->IoStatus.Status = Status;
        if (bFirst) {
            FirstStatus = Status;
            bFirst = FALSE;
        }
        SerialGetNextIrp(&Extension->CurrentReadIrp, &Extension->ReadQueue, &NewIrp, TRUE);
    } while (NewIrp);
    return FirstStatus;
}

VOID SerialCompleteRead(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = Ext(DeferredContext);
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    Extension->CountOnLastRead = kReadCompleted;
    CompleteCurrentRead(Extension, NULL, OldIrql, STATUS_SUCCESS, SERIAL_REF_ISR);
}

VOID SerialCancelCurrentRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
    Extension->CountOnLastRead = kReadCancelled;
    CompleteCurrentRead(Extension, SerialGrabReadFromIsr, Irp->CancelIrql, STATUS_CANCELLED,
                        SERIAL_REF_CANCEL);
}

VOID SerialReadTimeout(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = Ext(DeferredContext);
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    Extension->CountOnLastRead = kReadTotalTimeout;
    CompleteCurrentRead(Extension, SerialGrabReadFromIsr, OldIrql, STATUS_TIMEOUT, SERIAL_REF_TOTAL_TIMER);
}

BOOLEAN SerialUpdateReadByIsr(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    Extension->CountOnLastRead = static_cast<LONG>(Extension->ReadByIsr);
    Extension->ReadByIsr = 0;
    return FALSE;
}

VOID SerialIntervalReadTimeout(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = Ext(DeferredContext);
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    switch (Extension->CountOnLastRead) {
    case kReadTotalTimeout:
        CompleteCurrentRead(Extension, SerialGrabReadFromIsr, OldIrql, STATUS_TIMEOUT, SERIAL_REF_INT_TIMER);
        return;
    case kReadCompleted:
        CompleteCurrentRead(Extension, SerialGrabReadFromIsr, OldIrql, STATUS_SUCCESS, SERIAL_REF_INT_TIMER);
        return;
    case kReadCancelled:
        CompleteCurrentRead(Extension, SerialGrabReadFromIsr, OldIrql, STATUS_CANCELLED,
                            SERIAL_REF_INT_TIMER);
        return;
    default:
        break;
    }
    if (Extension->CountOnLastRead || Extension->ReadByIsr) {
        LARGE_INTEGER Now;
        KeQuerySystemTime(&Now);
        if (!Extension->ReadByIsr) {
            // Nothing new since the last check: the interval has run out once it has passed in full.
            if (Now.QuadPart - Extension->LastReadTime.QuadPart >= Extension->IntervalTime.QuadPart) {
                CompleteCurrentRead(Extension, SerialGrabReadFromIsr, OldIrql, STATUS_TIMEOUT,
                                    SERIAL_REF_INT_TIMER);
                return;
            }
        } else {
            CvSynchronizeWithIsr(Extension, SerialUpdateReadByIsr, Extension);
            Extension->LastReadTime = Now;
        }
    }
    // No character yet (the interval counts from the first), or still within the interval.
    KeSetTimer(&Extension->ReadRequestIntervalTimer, *Extension->IntervalTimeToUse,
               &Extension->IntervalReadTimeoutDpc);
    IoReleaseCancelSpinLock(OldIrql);
}

BOOLEAN SerialGrabReadFromIsr(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    if (Extension->ReadBufferBase == Extension->InterruptReadBuffer)
        return FALSE;
    PIRP Irp = Extension->CurrentReadIrp;
    ULONG ulLength = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    Irp->IoStatus.Information =
        ulLength - static_cast<ULONG>(Extension->LastCharSlot - Extension->CurrentCharSlot + 1);
    Extension->ReadBufferBase = Extension->InterruptReadBuffer;
    Extension->CurrentCharSlot = Extension->InterruptReadBuffer;
    Extension->FirstReadableChar = Extension->InterruptReadBuffer;
    Extension->LastCharSlot = Extension->InterruptReadBuffer + (Extension->BufferSize - 1);
    Extension->CharsInInterruptBuffer = 0;
    SERIAL_CLEAR_REFERENCE(Irp, SERIAL_REF_ISR);
    return FALSE;
}

BOOLEAN SerialUpdateAndSwitchToNew(PVOID Context) {
    auto* pContext = static_cast<SWITCH_CONTEXT*>(Context);
    CCvDevice* Extension = pContext->Extension;
    // Characters that arrived after the first copy follow it.
    ULONG ulMore = Extension->CharsInInterruptBuffer - pContext->ulMoved;
    PUCHAR pFrom = Extension->FirstReadableChar;
    for (ULONG i = 0; i < pContext->ulMoved; i++)
        pFrom = pFrom == Extension->LastCharSlot ? Extension->InterruptReadBuffer : pFrom + 1;
    for (ULONG i = 0; i < ulMore; i++) {
        pContext->pNewBuffer[pContext->ulMoved + i] = *pFrom;
        pFrom = pFrom == Extension->LastCharSlot ? Extension->InterruptReadBuffer : pFrom + 1;
    }
    ULONG ulCount = Extension->CharsInInterruptBuffer;
    pContext->pOldBuffer = Extension->InterruptReadBuffer;
    Extension->InterruptReadBuffer = pContext->pNewBuffer;
    Extension->ReadBufferBase = pContext->pNewBuffer;
    Extension->FirstReadableChar = pContext->pNewBuffer;
    Extension->LastCharSlot = pContext->pNewBuffer + (pContext->ulNewSize - 1);
    Extension->BufferSize = pContext->ulNewSize;
    Extension->CurrentCharSlot = pContext->pNewBuffer + ulCount;
    Extension->HandFlow.XoffLimit = static_cast<LONG>(pContext->ulNewSize / 8);
    Extension->HandFlow.XonLimit = static_cast<LONG>(pContext->ulNewSize / 2);
    Extension->BufferSizePt8 = (pContext->ulNewSize / 4) * 3 + pContext->ulNewSize / 16;
    SerialHandleReducedIntBuffer(Extension);
    return FALSE;
}

VOID SerialResizeBuffer(CCvDevice* Extension) {
    PIRP Irp = Extension->CurrentReadIrp;
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    PUCHAR pNewBuffer = static_cast<PUCHAR>(IrpSp->Parameters.DeviceIoControl.Type3InputBuffer);
    IrpSp->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
    ULONG ulNewSize = static_cast<PSERIAL_QUEUE_SIZE>(Irp->AssociatedIrp.SystemBuffer)->InSize;
    SERIAL_INIT_REFERENCE(Irp);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (!pNewBuffer)
        return;
    if (ulNewSize <= Extension->BufferSize) {
        ExFreePool(pNewBuffer);
        return;
    }
    KIRQL ControlIrql;
    KeAcquireSpinLock(&Extension->ControlLock, &ControlIrql);
    SWITCH_CONTEXT Switch = {Extension, pNewBuffer, ulNewSize, MoveToNewIntBuffer(Extension, pNewBuffer),
                             NULL};
    CvSynchronizeWithIsr(Extension, SerialUpdateAndSwitchToNew, &Switch);
    KeReleaseSpinLock(&Extension->ControlLock, ControlIrql);
    ExFreePool(Switch.pOldBuffer);
}
