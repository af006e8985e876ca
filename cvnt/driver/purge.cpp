// Purge requests: abort the transmit or receive requests and empty the receive ring buffer, one
// purge request at a time off the purge queue.
#include "CvEngine.h"

BOOLEAN SerialPurgeInterruptBuff(PVOID Context) {
    CCvDevice* Extension = static_cast<CCvDevice*>(Context);
    // Characters going straight into a read's buffer belong to that read.
    if (Extension->ReadBufferBase != Extension->InterruptReadBuffer)
        return FALSE;
    Extension->CurrentCharSlot = Extension->InterruptReadBuffer;
    Extension->FirstReadableChar = Extension->InterruptReadBuffer;
    Extension->LastCharSlot = Extension->InterruptReadBuffer + (Extension->BufferSize - 1);
    Extension->CharsInInterruptBuffer = 0;
    SerialHandleReducedIntBuffer(Extension);
    return FALSE;
}

NTSTATUS SerialStartPurge(CCvDevice* Extension) {
    PIRP NewIrp;
    do {
        PIRP Irp = Extension->CurrentPurgeIrp;
        ULONG ulMask = *static_cast<PULONG>(Irp->AssociatedIrp.SystemBuffer);
        if (ulMask & SERIAL_PURGE_TXABORT) {
            SerialKillAllReadsOrWrites(Extension->DeviceObject, &Extension->WriteQueue,
                                       &Extension->CurrentWriteIrp);
            SerialKillAllReadsOrWrites(Extension->DeviceObject, &Extension->WriteQueue,
                                       &Extension->CurrentXoffIrp);
        }
        if (ulMask & SERIAL_PURGE_RXABORT)
            SerialKillAllReadsOrWrites(Extension->DeviceObject, &Extension->ReadQueue,
                                       &Extension->CurrentReadIrp);
        if (ulMask & SERIAL_PURGE_RXCLEAR) {
            KIRQL OldIrql;
            KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
            CvSynchronizeWithIsr(Extension, SerialPurgeInterruptBuff, Extension);
            KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
        }
        // Clearing the transmit side needs nothing more: writes are sent from the caller's buffer.
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        SerialGetNextIrp(&Extension->CurrentPurgeIrp, &Extension->PurgeQueue, &NewIrp, TRUE);
    } while (NewIrp);
    return STATUS_SUCCESS;
}
