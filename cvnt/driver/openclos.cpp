// Open, close and cleanup of a port, and the port resets that bring its UART into a known state at
// creation and at every open.
#include "CvEngine.h"
#include "CvImage.h"

namespace {

inline CCvDevice* Ext(PVOID Context) {
    return static_cast<CCvDevice*>(Context);
}

// A transmitter that never reports itself empty (a broken card, a line held by flow control for good)
// must not hold close for ever: close waits at most this many character times for each drain, enough
// for the largest FIFO and the shift register with room to spare.
const ULONG kDrainCharTimes = 256;

struct CHECK_OPEN_CONTEXT {
    CCvDevice* Extension;
    NTSTATUS Status;
};

BOOLEAN ClearStatsAndEscape(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    RtlZeroMemory(&Extension->PerfStats, sizeof(SERIALPERF_STATS));
    Extension->EscapeChar = 0;
    return FALSE;
}

// The steps both resets share: OUT2, the FIFO, break and divisor latch off, stale received bytes and
// modem deltas dropped, and the flow settings applied again.
VOID ResetCommon(CCvDevice* Extension) {
    CCvUart* pUart = Extension->pChip_Uart;
    if (Extension->Jensen)
        pUart->SetOut2();
    else
        pUart->ClearOut2();
    if (Extension->FifoPresent) {
        pUart->DisableFifo();
        pUart->ReadData();
        pUart->SetReceiverTriggerLevel(UART_FCR_TRIGGER_4);
        pUart->EnableFifoAndFlush();
    }
    pUart->ClearBreak();
    pUart->ClearDivisorLatchAccessBit();
    ULONG ulRead = 0;
    do {
        pUart->ReadData();
        ulRead++;
    } while (pUart->GetDataReady() && ulRead < 5);
    for (ULONG i = 0; i < 1000 && (pUart->ReadModemStatusRegister() & UART_MSR_DELTAS); i++) {
    }
    SerialSetupNewHandFlow(Extension, &Extension->HandFlow);
    SerialHandleModemUpdate(Extension, FALSE);
}

VOID Sleep(LONGLONG llRelative) {
    LARGE_INTEGER Interval;
    Interval.QuadPart = llRelative;
    KeDelayExecutionThread(KernelMode, FALSE, &Interval);
}

// Waits, one character time between reads, until the line status shows all of Bits; gives up after
// the drain bound and says whether the bits came.
BOOLEAN WaitForLineStatus(CCvDevice* Extension, UCHAR ucBits, LARGE_INTEGER CharTime) {
    for (ULONG i = 0; i < kDrainCharTimes; i++) {
        if ((Extension->pChip_Uart->ReadLineStatusRegister() & ucBits) == ucBits)
            return TRUE;
        Sleep(-CharTime.QuadPart);
    }
    return (Extension->pChip_Uart->ReadLineStatusRegister() & ucBits) == ucBits;
}

VOID CompleteWith(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

} // namespace

BOOLEAN SerialReset(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    ResetCommon(Extension);
    Extension->pChip_Uart->EnableAllInterrupts();
    for (ULONG i = 0;
         i < 5 && !(Extension->pChip_Uart->ReadInterruptStatusRegister() & UART_IIR_NO_INTERRUPT); i++) {
    }
    Extension->HoldingEmpty = TRUE;
    return FALSE;
}

BOOLEAN CvSerialReset(PVOID Context) {
    ResetCommon(Ext(Context));
    return FALSE;
}

BOOLEAN SerialMarkOpen(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    SerialReset(Extension);
    Extension->pChip_Uart->SetOut2();
    Extension->DeviceIsOpened = TRUE;
    Extension->ErrorWord = 0;
    return FALSE;
}

BOOLEAN SerialMarkClose(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    if (!Extension->Jensen)
        Extension->pChip_Uart->ClearOut2();
    if (Extension->FifoPresent)
        Extension->pChip_Uart->DisableFifo();
    Extension->DeviceIsOpened = FALSE;
    return FALSE;
}

BOOLEAN SerialCheckOpen(PVOID Context) {
    auto* pContext = static_cast<CHECK_OPEN_CONTEXT*>(Context);
    CCvDevice* Extension = pContext->Extension;
    pContext->Status = STATUS_SUCCESS;
    for (PLIST_ENTRY Entry = Extension->CommonInterruptObject.Flink;
         Entry != &Extension->CommonInterruptObject; Entry = Entry->Flink) {
        CCvDevice* Other = CONTAINING_RECORD(Entry, CCvDevice, CommonInterruptObject);
        if (Other->DeviceIsOpened) {
            if (!Extension->PortOnAMultiportCard || !Other->PortOnAMultiportCard)
                pContext->Status = STATUS_SHARED_IRQ_BUSY;
            break;
        }
    }
    if (NT_SUCCESS(pContext->Status))
        SerialMarkOpen(Extension);
    return FALSE;
}

BOOLEAN SerialNullSynch(PVOID) {
    return FALSE;
}

NTSTATUS SerialCreateOpen(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
    // A port disabled at start (its number taken, or its claim unusable) has no UART to drive.
    if (Extension->m_bDisabled || !Extension->pChip_Uart) {
        CompleteWith(Irp, STATUS_NO_SUCH_DEVICE);
        return STATUS_NO_SUCH_DEVICE;
    }
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Create.Options & FILE_DIRECTORY_FILE) {
        CompleteWith(Irp, STATUS_NOT_A_DIRECTORY);
        return STATUS_NOT_A_DIRECTORY;
    }

    // The ring buffer by system size, falling back to smaller ones.
    static const ULONG kSizes[] = {4096, 1024, 128};
    ULONG ulFirst = 0;
    switch (MmQuerySystemSize()) {
    case MmSmallSystem:
        ulFirst = 2;
        break;
    case MmMediumSystem:
        ulFirst = 1;
        break;
    default:
        ulFirst = 0;
        break;
    }
    PUCHAR pBuffer = NULL;
    ULONG ulSize = 0;
    for (ULONG i = ulFirst; i < 3 && !pBuffer; i++) {
        ulSize = kSizes[i];
        pBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, ulSize, CV_TAG_RING_BUFFER));
    }
    if (!pBuffer) {
        Extension->BufferSize = 0;
        CompleteWith(Irp, STATUS_INSUFFICIENT_RESOURCES);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Extension->LockPtr = MmLockPagableDataSection(reinterpret_cast<PVOID>(SerialCreateOpen));

    Extension->BufferSize = ulSize;
    Extension->InterruptReadBuffer = Extension->ReadBufferBase = pBuffer;
    Extension->CurrentCharSlot = Extension->FirstReadableChar = pBuffer;
    Extension->LastCharSlot = pBuffer + (ulSize - 1);
    Extension->CharsInInterruptBuffer = 0;
    Extension->HandFlow.XoffLimit = static_cast<LONG>(ulSize / 8);
    Extension->HandFlow.XonLimit = static_cast<LONG>(ulSize / 2);
    Extension->BufferSizePt8 = (ulSize / 4) * 3 + ulSize / 16;
    Extension->IsrWaitMask = 0;
    Extension->HistoryMask = 0;
    Extension->IrpMaskLocation = NULL;
    Extension->SendXonChar = FALSE;
    Extension->SendXoffChar = FALSE;
    Extension->TotalCharsQueued = 0;

    NTSTATUS Status = STATUS_SUCCESS;
    if (!Extension->Interrupt && !(Extension->pParentCard && Extension->pParentCard->Interrupt)) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        CvSynchronizeWithIsr(Extension, ClearStatsAndEscape, Extension);
        if (Extension->PermitShare || Extension->InterruptShareable) {
            CvSynchronizeWithIsr(Extension, SerialMarkOpen, Extension);
        } else {
            CHECK_OPEN_CONTEXT Context = {Extension, STATUS_SUCCESS};
            CvSynchronizeWithIsr(Extension, SerialCheckOpen, &Context);
            Status = Context.Status;
        }
    }
    if (!NT_SUCCESS(Status)) {
        // A failed open leaves the port closed and holding nothing.
        Extension->InterruptReadBuffer = Extension->ReadBufferBase = NULL;
        Extension->CurrentCharSlot = Extension->FirstReadableChar = Extension->LastCharSlot = NULL;
        Extension->BufferSize = 0;
        ExFreePool(pBuffer);
        MmUnlockPagableImageSection(Extension->LockPtr);
        Extension->LockPtr = NULL;
    }
    CompleteWith(Irp, Status);
    return Status;
}

NTSTATUS SerialClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
    LARGE_INTEGER CharTime = SerialGetCharTime(Extension);
    Extension->DeviceIsOpened = FALSE;
    CvSynchronizeWithIsr(Extension, SerialTurnOffBreak, Extension);
    WaitForLineStatus(Extension, UART_LSR_THRE | UART_LSR_TEMT, CharTime);
    CvSynchronizeWithIsr(Extension, SerialMarkClose, Extension);

    // The peer was told to stop: tell it to go on before the lines drop.
    if (Extension->RXHolding & SERIAL_RX_XOFF_HOLD) {
        if (WaitForLineStatus(Extension, UART_LSR_THRE, CharTime))
            Extension->pChip_Uart->WriteData(Extension->SpecialChars.XonChar);
        WaitForLineStatus(Extension, UART_LSR_THRE | UART_LSR_TEMT, CharTime);
    }

    LARGE_INTEGER TenChars;
    TenChars.QuadPart = -10 * CharTime.QuadPart;
    KeDelayExecutionThread(KernelMode, TRUE, &TenChars);
    CvSynchronizeWithIsr(Extension, SerialClrDTR, Extension);

    for (ULONG i = 0; Extension->CountOfTryingToLowerRTS && i < kDrainCharTimes; i++)
        Sleep(-CharTime.QuadPart);
    CvSynchronizeWithIsr(Extension, SerialNullSynch, Extension);

    CvSynchronizeWithIsr(Extension, SerialClrRTS, Extension);
    Extension->RXHolding = 0;
    Extension->TXHolding = 0;
    Extension->BufferSize = 0;
    if (Extension->InterruptReadBuffer) {
        ExFreePool(Extension->InterruptReadBuffer);
        Extension->InterruptReadBuffer = NULL;
    }
    Extension->ReadBufferBase = Extension->CurrentCharSlot = Extension->FirstReadableChar =
        Extension->LastCharSlot = NULL;
    CompleteWith(Irp, STATUS_SUCCESS);
    if (Extension->LockPtr) {
        MmUnlockPagableImageSection(Extension->LockPtr);
        Extension->LockPtr = NULL;
    }
    return STATUS_SUCCESS;
}

VOID CvKillAllRequests(PDEVICE_OBJECT DeviceObject) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
    SerialKillAllReadsOrWrites(DeviceObject, &Extension->WriteQueue, &Extension->CurrentWriteIrp);
    SerialKillAllReadsOrWrites(DeviceObject, &Extension->ReadQueue, &Extension->CurrentReadIrp);
    SerialKillAllReadsOrWrites(DeviceObject, &Extension->PurgeQueue, &Extension->CurrentPurgeIrp);
    SerialKillAllReadsOrWrites(DeviceObject, &Extension->MaskQueue, &Extension->CurrentMaskIrp);
    // A counting XOFF counter and a pending immediate character sit outside the queues; left alone
    // they would outlive the handle.
    SerialKillAllReadsOrWrites(DeviceObject, &Extension->WriteQueue, &Extension->CurrentXoffIrp);
    SerialKillAllReadsOrWrites(DeviceObject, &Extension->WriteQueue, &Extension->CurrentImmediateIrp);
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    if (Extension->CurrentWaitIrp) {
        PIRP Wait = Extension->CurrentWaitIrp;
        Wait->Cancel = TRUE;
        PDRIVER_CANCEL CancelRoutine = IoSetCancelRoutine(Wait, NULL);
        if (CancelRoutine) {
            Wait->CancelIrql = OldIrql;
            CancelRoutine(DeviceObject, Wait); // releases the cancel lock
        } else {
            IoReleaseCancelSpinLock(OldIrql);
        }
    } else {
        IoReleaseCancelSpinLock(OldIrql);
    }
}

NTSTATUS SerialCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CvKillAllRequests(DeviceObject);
    CompleteWith(Irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}
