// The port's device control requests: the serial control interface, settled on the spot or handed to
// the queue of the path that serves them.
#include "CvEngine.h"
#include "CvImage.h"

namespace {

inline CCvDevice* Ext(PVOID Context) {
    return static_cast<CCvDevice*>(Context);
}

struct BAUD_CONTEXT {
    CCvDevice* Extension;
    ULONG ulBaud;
    NTSTATUS Status;
};

BOOLEAN SerialSetBaud(PVOID Context) {
    auto* pContext = static_cast<BAUD_CONTEXT*>(Context);
    pContext->Status = pContext->Extension->pChip_Uart->SetBaudrate(pContext->ulBaud);
    return FALSE;
}

BOOLEAN SerialSetLineControl(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    // The break is turned on and off at the UART alone, so its bit is taken from the transmit hold:
    // new settings never end a break that is on, nor start one.
    Extension->LineControl = static_cast<UCHAR>((Extension->LineControl & ~0x40) |
                                                ((Extension->TXHolding & SERIAL_TX_BREAK_HOLD) ? 0x40 : 0));
    Extension->pChip_Uart->SetLineControl(Extension->LineControl);
    return FALSE;
}

struct CHARS_CONTEXT {
    CCvDevice* Extension;
    PSERIAL_CHARS Chars;
};

BOOLEAN SerialSetChars(PVOID Context) {
    auto* pContext = static_cast<CHARS_CONTEXT*>(Context);
    pContext->Extension->SpecialChars = *pContext->Chars;
    return FALSE;
}

struct ESCAPE_CONTEXT {
    CCvDevice* Extension;
    UCHAR ucEscape;
};

BOOLEAN SerialSetEscapeChar(PVOID Context) {
    auto* pContext = static_cast<ESCAPE_CONTEXT*>(Context);
    pContext->Extension->EscapeChar = pContext->ucEscape;
    return FALSE;
}

struct MODEM_CONTEXT {
    CCvDevice* Extension;
    ULONG ulStatus;
};

BOOLEAN SerialGetModemUpdate(PVOID Context) {
    auto* pContext = static_cast<MODEM_CONTEXT*>(Context);
    pContext->ulStatus = SerialHandleModemUpdate(pContext->Extension, FALSE);
    return FALSE;
}

struct STATUS_CONTEXT {
    CCvDevice* Extension;
    PSERIAL_STATUS Status;
};

BOOLEAN SerialGetCommStatus(PVOID Context) {
    auto* pContext = static_cast<STATUS_CONTEXT*>(Context);
    CCvDevice* Extension = pContext->Extension;
    PSERIAL_STATUS Status = pContext->Status;
    Status->Errors = Extension->ErrorWord;
    Extension->ErrorWord = 0;
    Status->EofReceived = FALSE;
    Status->AmountInInQueue = Extension->CharsInInterruptBuffer;
    Status->AmountInOutQueue = Extension->TotalCharsQueued;
    if (Extension->WriteLength) {
        // Less what the current write has already sent.
        PIRP Irp = Extension->CurrentWriteIrp;
        PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
        ULONG ulLength = IrpSp->MajorFunction == IRP_MJ_WRITE ? IrpSp->Parameters.Write.Length : 1;
        Status->AmountInOutQueue -= ulLength - Extension->WriteLength;
    }
    Status->WaitForImmediate = Extension->TransmitImmediate;
    Status->HoldReasons = 0;
    static const struct {
        ULONG ulFrom, ulTo;
    } kTxReasons[] = {{0x01, SERIAL_TX_WAITING_FOR_CTS},
                      {0x02, SERIAL_TX_WAITING_FOR_DSR},
                      {0x04, SERIAL_TX_WAITING_FOR_DCD},
                      {0x08, SERIAL_TX_WAITING_FOR_XON},
                      {0x10, SERIAL_TX_WAITING_ON_BREAK}};
    for (const auto& r : kTxReasons)
        if (Extension->TXHolding & r.ulFrom)
            Status->HoldReasons |= r.ulTo;
    if (Extension->RXHolding & SERIAL_RX_WAITING_FOR_DSR_HOLD)
        Status->HoldReasons |= SERIAL_RX_WAITING_FOR_DSR;
    if (Extension->RXHolding & SERIAL_RX_XOFF_HOLD)
        Status->HoldReasons |= SERIAL_TX_WAITING_XOFF_SENT;
    return FALSE;
}

VOID SerialGetProperties(CCvDevice* Extension, PSERIAL_COMMPROP Properties) {
    RtlZeroMemory(Properties, sizeof(SERIAL_COMMPROP));
    Properties->PacketLength = sizeof(SERIAL_COMMPROP);
    Properties->PacketVersion = 2;
    Properties->ServiceMask = 0x00000001; // serial communications
    Properties->MaxTxQueue = 0;
    Properties->MaxRxQueue = 0;
    Properties->MaxBaud = 0x10000000; // user-settable
    Properties->ProvSubType = 0x00000001;
    Properties->ProvCapabilities = 0x000000FF;
    Properties->SettableParams = 0x0000007F;
    Properties->SettableBaud = Extension->pChip_Uart->GetSupportedBauds();
    Properties->SettableData = 0x000F;
    Properties->SettableStopParity = 0x1F07;
    Properties->CurrentTxQueue = 0;
    Properties->CurrentRxQueue = Extension->BufferSize;
}

struct STATS_CONTEXT {
    CCvDevice* Extension;
    PSERIALPERF_STATS Stats;
};

BOOLEAN SerialGetStats(PVOID Context) {
    auto* pContext = static_cast<STATS_CONTEXT*>(Context);
    *pContext->Stats = pContext->Extension->PerfStats;
    return FALSE;
}

BOOLEAN SerialClearStats(PVOID Context) {
    RtlZeroMemory(&Ext(Context)->PerfStats, sizeof(SERIALPERF_STATS));
    return FALSE;
}

// Runs a routine synchronised with the interrupt while holding the control lock.
VOID UnderControlLock(CCvDevice* Extension, PKSYNCHRONIZE_ROUTINE Routine, PVOID Context) {
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
    CvSynchronizeWithIsr(Extension, Routine, Context);
    KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
}

NTSTATUS SetLineControl(CCvDevice* Extension, const SERIAL_LINE_CONTROL* pLine) {
    static const UCHAR kParity[] = {0x00, 0x08, 0x18, 0x28, 0x38};
    if (pLine->WordLength < 5 || pLine->WordLength > 8 || pLine->Parity > SPACE_PARITY)
        return STATUS_INVALID_PARAMETER;
    UCHAR ucLength = static_cast<UCHAR>(pLine->WordLength - 5);
    UCHAR ucMask = static_cast<UCHAR>(0xFF >> (8 - pLine->WordLength));
    UCHAR ucStop;
    switch (pLine->StopBits) {
    case 0: // one
        ucStop = 0x00;
        break;
    case 1: // one and a half, only with five data bits
        if (pLine->WordLength != 5)
            return STATUS_INVALID_PARAMETER;
        ucStop = 0x04;
        break;
    case 2: // two, not with five data bits
        if (pLine->WordLength == 5)
            return STATUS_INVALID_PARAMETER;
        ucStop = 0x04;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
    Extension->LineControl =
        static_cast<UCHAR>((Extension->LineControl & 0x40) | ucLength | kParity[pLine->Parity] | ucStop);
    Extension->ValidDataMask = ucMask;
    CvSynchronizeWithIsr(Extension, SerialSetLineControl, Extension);
    KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
    return STATUS_SUCCESS;
}

VOID GetLineControl(CCvDevice* Extension, PSERIAL_LINE_CONTROL pLine) {
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
    UCHAR ucLcr = Extension->LineControl;
    KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
    pLine->WordLength = static_cast<UCHAR>((ucLcr & 0x03) + 5);
    switch (ucLcr & 0x38) {
    case 0x08:
        pLine->Parity = ODD_PARITY;
        break;
    case 0x18:
        pLine->Parity = EVEN_PARITY;
        break;
    case 0x28:
        pLine->Parity = MARK_PARITY;
        break;
    case 0x38:
        pLine->Parity = SPACE_PARITY;
        break;
    default:
        pLine->Parity = NO_PARITY;
        break;
    }
    if (ucLcr & 0x04)
        pLine->StopBits = pLine->WordLength == 5 ? 1 : 2;
    else
        pLine->StopBits = 0;
}

NTSTATUS SetHandFlow(CCvDevice* Extension, PSERIAL_HANDFLOW pHandFlow) {
    if ((pHandFlow->ControlHandShake & SERIAL_CONTROL_INVALID) ||
        (pHandFlow->FlowReplace & SERIAL_FLOW_INVALID) ||
        (pHandFlow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK)
        return STATUS_INVALID_PARAMETER;
    LONG lSize = static_cast<LONG>(Extension->BufferSize);
    if (pHandFlow->XonLimit < 0 || pHandFlow->XonLimit > lSize || pHandFlow->XoffLimit < 0 ||
        pHandFlow->XoffLimit > lSize)
        return STATUS_INVALID_PARAMETER;
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
    if (Extension->EscapeChar && (pHandFlow->FlowReplace & SERIAL_ERROR_CHAR)) {
        KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
        return STATUS_INVALID_PARAMETER;
    }
    CV_HANDFLOW_CONTEXT Context = {Extension, pHandFlow};
    CvSynchronizeWithIsr(Extension, SerialSetHandFlow, &Context);
    KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
    return STATUS_SUCCESS;
}

NTSTATUS StartImmediateChar(CCvDevice* Extension, PIRP Irp) {
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    if (Extension->CurrentImmediateIrp) {
        IoReleaseCancelSpinLock(OldIrql);
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(OldIrql);
        return STATUS_CANCELLED;
    }
    Extension->CurrentImmediateIrp = Irp;
    Extension->TotalCharsQueued++;
    IoReleaseCancelSpinLock(OldIrql);
    SerialStartImmediate(Extension);
    return STATUS_PENDING;
}

} // namespace

NTSTATUS CvIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
    if (SerialCompleteIfError(DeviceObject, Irp) != STATUS_SUCCESS)
        return STATUS_CANCELLED;
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    ULONG ulIn = IrpSp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = IrpSp->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID pBuffer = Irp->AssociatedIrp.SystemBuffer;
    Irp->IoStatus.Information = 0;
    NTSTATUS Status = STATUS_SUCCESS;
    KIRQL OldIrql;

    // Size checks: the input or output must hold the request's structure.
#define CV_NEED_IN(size)                                                                                     \
    if (ulIn < (size)) {                                                                                     \
        Status = STATUS_BUFFER_TOO_SMALL;                                                                    \
        break;                                                                                               \
    }
#define CV_NEED_OUT(size)                                                                                    \
    if (ulOut < (size)) {                                                                                    \
        Status = STATUS_BUFFER_TOO_SMALL;                                                                    \
        break;                                                                                               \
    }

    switch (IrpSp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        CV_NEED_IN(sizeof(SERIAL_BAUD_RATE));
        BAUD_CONTEXT Context = {Extension, static_cast<PSERIAL_BAUD_RATE>(pBuffer)->BaudRate, STATUS_SUCCESS};
        UnderControlLock(Extension, SerialSetBaud, &Context);
        if (Context.Status != STATUS_SUCCESS)
            Status = STATUS_INVALID_PARAMETER;
        break;
    }
    case IOCTL_SERIAL_GET_BAUD_RATE:
        CV_NEED_OUT(sizeof(SERIAL_BAUD_RATE));
        KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
        static_cast<PSERIAL_BAUD_RATE>(pBuffer)->BaudRate = Extension->pChip_Uart->GetBaudrate();
        KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_BAUD_RATE);
        break;
    case IOCTL_SERIAL_SET_QUEUE_SIZE: {
        CV_NEED_IN(sizeof(SERIAL_QUEUE_SIZE));
        ULONG ulSize = static_cast<PSERIAL_QUEUE_SIZE>(pBuffer)->InSize;
        if (ulSize <= Extension->BufferSize)
            break;
        PVOID pNew = ExAllocatePoolWithTag(NonPagedPool, ulSize, CV_TAG_RING_BUFFER);
        if (!pNew) {
            Status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        IrpSp->Parameters.DeviceIoControl.Type3InputBuffer = pNew;
        return SerialStartOrQueue(Extension, Irp, &Extension->ReadQueue, &Extension->CurrentReadIrp,
                                  SerialStartRead);
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        CV_NEED_IN(sizeof(SERIAL_LINE_CONTROL));
        Status = SetLineControl(Extension, static_cast<PSERIAL_LINE_CONTROL>(pBuffer));
        break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        CV_NEED_OUT(sizeof(SERIAL_LINE_CONTROL));
        GetLineControl(Extension, static_cast<PSERIAL_LINE_CONTROL>(pBuffer));
        Irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
        break;
    case IOCTL_SERIAL_SET_BREAK_ON:
        CvSynchronizeWithIsr(Extension, SerialTurnOnBreak, Extension);
        break;
    case IOCTL_SERIAL_SET_BREAK_OFF:
        CvSynchronizeWithIsr(Extension, SerialTurnOffBreak, Extension);
        break;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        CV_NEED_IN(sizeof(UCHAR));
        Status = StartImmediateChar(Extension, Irp);
        if (Status == STATUS_PENDING)
            return STATUS_PENDING;
        break;
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        CV_NEED_IN(sizeof(SERIAL_TIMEOUTS));
        auto* pTimeouts = static_cast<PSERIAL_TIMEOUTS>(pBuffer);
        if (pTimeouts->ReadIntervalTimeout == MAXULONG && pTimeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
            pTimeouts->ReadTotalTimeoutConstant == MAXULONG) {
            Status = STATUS_INVALID_PARAMETER;
            break;
        }
        KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
        Extension->Timeouts = *pTimeouts;
        KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
        break;
    }
    case IOCTL_SERIAL_GET_TIMEOUTS:
        CV_NEED_OUT(sizeof(SERIAL_TIMEOUTS));
        KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
        *static_cast<PSERIAL_TIMEOUTS>(pBuffer) = Extension->Timeouts;
        KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_TIMEOUTS);
        break;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
        if ((Extension->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE)
            Status = STATUS_INVALID_PARAMETER;
        else
            CvSynchronizeWithIsr(Extension,
                                 IrpSp->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_DTR
                                     ? SerialSetDTR
                                     : SerialClrDTR,
                                 Extension);
        KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
        break;
    case IOCTL_SERIAL_RESET_DEVICE:
        break;
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS: {
        KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
        ULONG ulRts = Extension->HandFlow.FlowReplace & SERIAL_RTS_MASK;
        if (ulRts == SERIAL_RTS_HANDSHAKE || ulRts == SERIAL_TRANSMIT_TOGGLE)
            Status = STATUS_INVALID_PARAMETER;
        else
            CvSynchronizeWithIsr(Extension,
                                 IrpSp->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_RTS
                                     ? SerialSetRTS
                                     : SerialClrRTS,
                                 Extension);
        KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
        break;
    }
    case IOCTL_SERIAL_SET_XOFF:
        CvSynchronizeWithIsr(Extension, SerialPretendXoff, Extension);
        break;
    case IOCTL_SERIAL_SET_XON:
        CvSynchronizeWithIsr(Extension, SerialPretendXon, Extension);
        break;
    case IOCTL_SERIAL_GET_WAIT_MASK:
        CV_NEED_OUT(sizeof(ULONG));
        *static_cast<PULONG>(pBuffer) = Extension->IsrWaitMask;
        Irp->IoStatus.Information = sizeof(ULONG);
        break;
    case IOCTL_SERIAL_SET_WAIT_MASK:
        CV_NEED_IN(sizeof(ULONG));
        if (*static_cast<PULONG>(pBuffer) & 0xFFFFE000) {
            Status = STATUS_INVALID_PARAMETER;
            break;
        }
        return SerialStartOrQueue(Extension, Irp, &Extension->MaskQueue, &Extension->CurrentMaskIrp,
                                  SerialStartMask);
    case IOCTL_SERIAL_WAIT_ON_MASK:
        CV_NEED_OUT(sizeof(ULONG));
        return SerialStartOrQueue(Extension, Irp, &Extension->MaskQueue, &Extension->CurrentMaskIrp,
                                  SerialStartMask);
    case IOCTL_SERIAL_PURGE: {
        CV_NEED_IN(sizeof(ULONG));
        ULONG ulMask = *static_cast<PULONG>(pBuffer);
        if (!ulMask || (ulMask & ~0x0FUL)) {
            Status = STATUS_INVALID_PARAMETER;
            break;
        }
        return SerialStartOrQueue(Extension, Irp, &Extension->PurgeQueue, &Extension->CurrentPurgeIrp,
                                  SerialStartPurge);
    }
    case IOCTL_SERIAL_GET_CHARS:
        CV_NEED_OUT(sizeof(SERIAL_CHARS));
        KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
        *static_cast<PSERIAL_CHARS>(pBuffer) = Extension->SpecialChars;
        KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_CHARS);
        break;
    case IOCTL_SERIAL_SET_CHARS: {
        CV_NEED_IN(sizeof(SERIAL_CHARS));
        auto* pChars = static_cast<PSERIAL_CHARS>(pBuffer);
        KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
        if (Extension->EscapeChar &&
            (Extension->EscapeChar == pChars->XonChar || Extension->EscapeChar == pChars->XoffChar)) {
            Status = STATUS_INVALID_PARAMETER;
        } else {
            CHARS_CONTEXT Context = {Extension, pChars};
            CvSynchronizeWithIsr(Extension, SerialSetChars, &Context);
        }
        KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
        break;
    }
    case IOCTL_SERIAL_GET_HANDFLOW:
        CV_NEED_OUT(sizeof(SERIAL_HANDFLOW));
        KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
        *static_cast<PSERIAL_HANDFLOW>(pBuffer) = Extension->HandFlow;
        KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_HANDFLOW);
        break;
    case IOCTL_SERIAL_SET_HANDFLOW:
        CV_NEED_IN(sizeof(SERIAL_HANDFLOW));
        Status = SetHandFlow(Extension, static_cast<PSERIAL_HANDFLOW>(pBuffer));
        break;
    case IOCTL_SERIAL_GET_MODEMSTATUS: {
        CV_NEED_OUT(sizeof(ULONG));
        MODEM_CONTEXT Context = {Extension, 0};
        UnderControlLock(Extension, SerialGetModemUpdate, &Context);
        *static_cast<PULONG>(pBuffer) = Context.ulStatus;
        Irp->IoStatus.Information = sizeof(ULONG);
        break;
    }
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        CV_NEED_OUT(sizeof(SERIAL_STATUS));
        STATUS_CONTEXT Context = {Extension, static_cast<PSERIAL_STATUS>(pBuffer)};
        // The cancel lock keeps the current write in place while its progress is read.
        IoAcquireCancelSpinLock(&OldIrql);
        CvSynchronizeWithIsr(Extension, SerialGetCommStatus, &Context);
        IoReleaseCancelSpinLock(OldIrql);
        Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
        break;
    }
    case IOCTL_SERIAL_XOFF_COUNTER:
        CV_NEED_IN(sizeof(SERIAL_XOFF_COUNTER));
        if (static_cast<PSERIAL_XOFF_COUNTER>(pBuffer)->Counter <= 0) {
            Status = STATUS_INVALID_PARAMETER;
            break;
        }
        return SerialStartOrQueue(Extension, Irp, &Extension->WriteQueue, &Extension->CurrentWriteIrp,
                                  SerialStartWrite);
    case IOCTL_SERIAL_GET_PROPERTIES:
        CV_NEED_OUT(sizeof(SERIAL_COMMPROP));
        SerialGetProperties(Extension, static_cast<PSERIAL_COMMPROP>(pBuffer));
        Irp->IoStatus.Information = sizeof(SERIAL_COMMPROP);
        break;
    case IOCTL_SERIAL_GET_DTRRTS: {
        CV_NEED_OUT(sizeof(ULONG));
        ULONG ulLines = 0;
        if (Extension->pChip_Uart->GetDtr())
            ulLines |= SERIAL_DTR_STATE;
        if (Extension->pChip_Uart->GetRts())
            ulLines |= SERIAL_RTS_STATE;
        *static_cast<PULONG>(pBuffer) = ulLines;
        Irp->IoStatus.Information = sizeof(ULONG);
        break;
    }
    case IOCTL_SERIAL_LSRMST_INSERT: {
        CV_NEED_IN(sizeof(UCHAR));
        UCHAR ucEscape = *static_cast<PUCHAR>(pBuffer);
        KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
        if (ucEscape &&
            (ucEscape == Extension->SpecialChars.XoffChar || ucEscape == Extension->SpecialChars.XonChar ||
             (Extension->HandFlow.FlowReplace & SERIAL_ERROR_CHAR))) {
            Status = STATUS_INVALID_PARAMETER;
        } else {
            ESCAPE_CONTEXT Context = {Extension, ucEscape};
            CvSynchronizeWithIsr(Extension, SerialSetEscapeChar, &Context);
        }
        KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
        break;
    }
    case IOCTL_SERIAL_CONFIG_SIZE:
        CV_NEED_OUT(sizeof(ULONG));
        *static_cast<PULONG>(pBuffer) = 0;
        Irp->IoStatus.Information = sizeof(ULONG);
        break;
    case IOCTL_SERIAL_GET_STATS: {
        CV_NEED_OUT(sizeof(SERIALPERF_STATS));
        STATS_CONTEXT Context = {Extension, static_cast<PSERIALPERF_STATS>(pBuffer)};
        CvSynchronizeWithIsr(Extension, SerialGetStats, &Context);
        Irp->IoStatus.Information = sizeof(SERIALPERF_STATS);
        break;
    }
    case IOCTL_SERIAL_CLEAR_STATS:
        CvSynchronizeWithIsr(Extension, SerialClearStats, Extension);
        break;
    default:
        Status = STATUS_INVALID_PARAMETER;
        break;
    }
#undef CV_NEED_IN
#undef CV_NEED_OUT

    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
