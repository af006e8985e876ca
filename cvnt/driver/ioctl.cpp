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
    Extension->LineControl =
        static_cast<UCHAR>((Extension->LineControl & ~UART_LCR_BREAK) |
                           ((Extension->TXHolding & SERIAL_TX_BREAK_HOLD) ? UART_LCR_BREAK : 0));
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
    } kTxReasons[] = {{SERIAL_TX_WAITING_FOR_CTS, SERIAL_TX_WAITING_FOR_CTS},
                      {SERIAL_TX_WAITING_FOR_DSR, SERIAL_TX_WAITING_FOR_DSR},
                      {SERIAL_TX_WAITING_FOR_DCD, SERIAL_TX_WAITING_FOR_DCD},
                      {SERIAL_TX_WAITING_FOR_XON, SERIAL_TX_WAITING_FOR_XON},
                      {SERIAL_TX_BREAK_HOLD, SERIAL_TX_WAITING_ON_BREAK}};
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
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxTxQueue = 0;
    Properties->MaxRxQueue = 0;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                                   SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR |
                                   SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS;
    Properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                                 SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    Properties->SettableBaud = Extension->pChip_Uart->GetSupportedBauds();
    Properties->SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    Properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 |
                                     SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN |
                                     SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
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

// The line control register's parity bits for NO_PARITY ... SPACE_PARITY.
const UCHAR kParityBits[] = {0, UART_LCR_ODD_PARITY, UART_LCR_EVEN_PARITY, UART_LCR_MARK_PARITY,
                             UART_LCR_SPACE_PARITY};

NTSTATUS SetLineControl(CCvDevice* Extension, const SERIAL_LINE_CONTROL* pLine) {
    if (pLine->WordLength < 5 || pLine->WordLength > 8 || pLine->Parity > SPACE_PARITY)
        return STATUS_INVALID_PARAMETER;
    UCHAR ucLength = static_cast<UCHAR>(pLine->WordLength - 5);
    UCHAR ucMask = static_cast<UCHAR>(0xFF >> (8 - pLine->WordLength));
    UCHAR ucStop;
    switch (pLine->StopBits) {
    case STOP_BIT_1:
        ucStop = 0;
        break;
    case STOP_BITS_1_5: // only with five data bits
        if (pLine->WordLength != 5)
            return STATUS_INVALID_PARAMETER;
        ucStop = UART_LCR_STOP_BITS;
        break;
    case STOP_BITS_2: // not with five data bits
        if (pLine->WordLength == 5)
            return STATUS_INVALID_PARAMETER;
        ucStop = UART_LCR_STOP_BITS;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
    Extension->LineControl = static_cast<UCHAR>((Extension->LineControl & UART_LCR_BREAK) | ucLength |
                                                kParityBits[pLine->Parity] | ucStop);
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
    pLine->WordLength = static_cast<UCHAR>((ucLcr & UART_LCR_WORD_LENGTH_MASK) + 5);
    pLine->Parity = NO_PARITY;
    for (UCHAR ucParity = ODD_PARITY; ucParity <= SPACE_PARITY; ucParity++)
        if ((ucLcr & UART_LCR_PARITY_MASK) == kParityBits[ucParity])
            pLine->Parity = ucParity;
    if (ucLcr & UART_LCR_STOP_BITS)
        pLine->StopBits = pLine->WordLength == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
    else
        pLine->StopBits = STOP_BIT_1;
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

// One device control request on its way through a handler. A handler that hands the request on (to a
// queue or a start routine, which completes it) sets bPassedOn and returns what dispatch returns;
// otherwise it returns the request's status, and on success the count is the row's output size.
struct CONTROL {
    CCvDevice* Extension;
    PIRP Irp;
    PVOID pBuffer;
    ULONG ulCode;
    BOOLEAN bPassedOn;
};

template <typename T>
T* In(CONTROL& c) {
    return static_cast<T*>(c.pBuffer);
}

// Copies a setting out under the control lock.
template <typename T>
NTSTATUS ReadUnderControlLock(CONTROL& c, const T& Setting) {
    KIRQL OldIrql;
    KeAcquireSpinLock(&c.Extension->ControlLock, &OldIrql);
    *In<T>(c) = Setting;
    KeReleaseSpinLock(&c.Extension->ControlLock, OldIrql);
    return STATUS_SUCCESS;
}

NTSTATUS PassOn(CONTROL& c, PLIST_ENTRY Queue, PIRP* CurrentOpIrp, PSERIAL_START_ROUTINE Starter) {
    c.bPassedOn = TRUE;
    return SerialStartOrQueue(c.Extension, c.Irp, Queue, CurrentOpIrp, Starter);
}

NTSTATUS SetBaudRate(CONTROL& c) {
    BAUD_CONTEXT Context = {c.Extension, In<SERIAL_BAUD_RATE>(c)->BaudRate, STATUS_SUCCESS};
    UnderControlLock(c.Extension, SerialSetBaud, &Context);
    return Context.Status == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS GetBaudRate(CONTROL& c) {
    SERIAL_BAUD_RATE Rate = {c.Extension->pChip_Uart->GetBaudrate()};
    return ReadUnderControlLock(c, Rate);
}

NTSTATUS SetQueueSize(CONTROL& c) {
    ULONG ulSize = In<SERIAL_QUEUE_SIZE>(c)->InSize;
    if (ulSize <= c.Extension->BufferSize)
        return STATUS_SUCCESS;
    PVOID pNew = ExAllocatePoolWithTag(NonPagedPool, ulSize, CV_TAG_RING_BUFFER);
    if (!pNew)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetCurrentIrpStackLocation(c.Irp)->Parameters.DeviceIoControl.Type3InputBuffer = pNew;
    return PassOn(c, &c.Extension->ReadQueue, &c.Extension->CurrentReadIrp, SerialStartRead);
}

NTSTATUS SetLine(CONTROL& c) {
    return SetLineControl(c.Extension, In<SERIAL_LINE_CONTROL>(c));
}

NTSTATUS GetLine(CONTROL& c) {
    GetLineControl(c.Extension, In<SERIAL_LINE_CONTROL>(c));
    return STATUS_SUCCESS;
}

NTSTATUS Synchronised(CONTROL& c, PKSYNCHRONIZE_ROUTINE Routine) {
    CvSynchronizeWithIsr(c.Extension, Routine, c.Extension);
    return STATUS_SUCCESS;
}

NTSTATUS BreakOn(CONTROL& c) {
    return Synchronised(c, SerialTurnOnBreak);
}
NTSTATUS BreakOff(CONTROL& c) {
    return Synchronised(c, SerialTurnOffBreak);
}
NTSTATUS SetXoff(CONTROL& c) {
    return Synchronised(c, SerialPretendXoff);
}
NTSTATUS SetXon(CONTROL& c) {
    return Synchronised(c, SerialPretendXon);
}
NTSTATUS ClearStats(CONTROL& c) {
    return Synchronised(c, SerialClearStats);
}
NTSTATUS Nothing(CONTROL&) {
    return STATUS_SUCCESS;
}

NTSTATUS ImmediateChar(CONTROL& c) {
    NTSTATUS Status = StartImmediateChar(c.Extension, c.Irp);
    c.bPassedOn = Status == STATUS_PENDING;
    return Status;
}

NTSTATUS SetTimeouts(CONTROL& c) {
    auto* pTimeouts = In<SERIAL_TIMEOUTS>(c);
    if (pTimeouts->ReadIntervalTimeout == MAXULONG && pTimeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
        pTimeouts->ReadTotalTimeoutConstant == MAXULONG)
        return STATUS_INVALID_PARAMETER;
    KIRQL OldIrql;
    KeAcquireSpinLock(&c.Extension->ControlLock, &OldIrql);
    c.Extension->Timeouts = *pTimeouts;
    KeReleaseSpinLock(&c.Extension->ControlLock, OldIrql);
    return STATUS_SUCCESS;
}

NTSTATUS GetTimeouts(CONTROL& c) {
    return ReadUnderControlLock(c, c.Extension->Timeouts);
}

// DTR and RTS can be set by hand only while no handshake drives them.
NTSTATUS SetOrClearLine(CONTROL& c, BOOLEAN bDriven, PKSYNCHRONIZE_ROUTINE Routine) {
    NTSTATUS Status = STATUS_SUCCESS;
    KIRQL OldIrql;
    KeAcquireSpinLock(&c.Extension->ControlLock, &OldIrql);
    if (bDriven)
        Status = STATUS_INVALID_PARAMETER;
    else
        CvSynchronizeWithIsr(c.Extension, Routine, c.Extension);
    KeReleaseSpinLock(&c.Extension->ControlLock, OldIrql);
    return Status;
}

NTSTATUS SetOrClearDtr(CONTROL& c) {
    BOOLEAN bDriven = (c.Extension->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
    return SetOrClearLine(c, bDriven, c.ulCode == IOCTL_SERIAL_SET_DTR ? SerialSetDTR : SerialClrDTR);
}

NTSTATUS SetOrClearRts(CONTROL& c) {
    ULONG ulRts = c.Extension->HandFlow.FlowReplace & SERIAL_RTS_MASK;
    BOOLEAN bDriven = ulRts == SERIAL_RTS_HANDSHAKE || ulRts == SERIAL_TRANSMIT_TOGGLE;
    return SetOrClearLine(c, bDriven, c.ulCode == IOCTL_SERIAL_SET_RTS ? SerialSetRTS : SerialClrRTS);
}

NTSTATUS GetWaitMask(CONTROL& c) {
    *In<ULONG>(c) = c.Extension->IsrWaitMask;
    return STATUS_SUCCESS;
}

NTSTATUS SetWaitMask(CONTROL& c) {
    if (*In<ULONG>(c) & ~SERIAL_EV_VALID)
        return STATUS_INVALID_PARAMETER;
    return PassOn(c, &c.Extension->MaskQueue, &c.Extension->CurrentMaskIrp, SerialStartMask);
}

NTSTATUS WaitOnMask(CONTROL& c) {
    return PassOn(c, &c.Extension->MaskQueue, &c.Extension->CurrentMaskIrp, SerialStartMask);
}

NTSTATUS Purge(CONTROL& c) {
    const ULONG ulAll =
        SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
    ULONG ulMask = *In<ULONG>(c);
    if (!ulMask || (ulMask & ~ulAll))
        return STATUS_INVALID_PARAMETER;
    return PassOn(c, &c.Extension->PurgeQueue, &c.Extension->CurrentPurgeIrp, SerialStartPurge);
}

NTSTATUS GetChars(CONTROL& c) {
    return ReadUnderControlLock(c, c.Extension->SpecialChars);
}

NTSTATUS SetChars(CONTROL& c) {
    CCvDevice* Extension = c.Extension;
    auto* pChars = In<SERIAL_CHARS>(c);
    NTSTATUS Status = STATUS_SUCCESS;
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
    if (Extension->EscapeChar &&
        (Extension->EscapeChar == pChars->XonChar || Extension->EscapeChar == pChars->XoffChar)) {
        Status = STATUS_INVALID_PARAMETER;
    } else {
        CHARS_CONTEXT Context = {Extension, pChars};
        CvSynchronizeWithIsr(Extension, SerialSetChars, &Context);
    }
    KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
    return Status;
}

NTSTATUS GetHandFlow(CONTROL& c) {
    return ReadUnderControlLock(c, c.Extension->HandFlow);
}

NTSTATUS SetHandFlowRequest(CONTROL& c) {
    return SetHandFlow(c.Extension, In<SERIAL_HANDFLOW>(c));
}

NTSTATUS GetModemStatus(CONTROL& c) {
    MODEM_CONTEXT Context = {c.Extension, 0};
    UnderControlLock(c.Extension, SerialGetModemUpdate, &Context);
    *In<ULONG>(c) = Context.ulStatus;
    return STATUS_SUCCESS;
}

NTSTATUS GetCommStatus(CONTROL& c) {
    STATUS_CONTEXT Context = {c.Extension, In<SERIAL_STATUS>(c)};
    // The cancel lock keeps the current write in place while its progress is read.
    KIRQL OldIrql;
    IoAcquireCancelSpinLock(&OldIrql);
    CvSynchronizeWithIsr(c.Extension, SerialGetCommStatus, &Context);
    IoReleaseCancelSpinLock(OldIrql);
    return STATUS_SUCCESS;
}

NTSTATUS XoffCounter(CONTROL& c) {
    if (In<SERIAL_XOFF_COUNTER>(c)->Counter <= 0)
        return STATUS_INVALID_PARAMETER;
    return PassOn(c, &c.Extension->WriteQueue, &c.Extension->CurrentWriteIrp, SerialStartWrite);
}

NTSTATUS GetProperties(CONTROL& c) {
    SerialGetProperties(c.Extension, In<SERIAL_COMMPROP>(c));
    return STATUS_SUCCESS;
}

NTSTATUS GetDtrRts(CONTROL& c) {
    ULONG ulLines = 0;
    if (c.Extension->pChip_Uart->GetDtr())
        ulLines |= SERIAL_DTR_STATE;
    if (c.Extension->pChip_Uart->GetRts())
        ulLines |= SERIAL_RTS_STATE;
    *In<ULONG>(c) = ulLines;
    return STATUS_SUCCESS;
}

NTSTATUS LsrMstInsert(CONTROL& c) {
    CCvDevice* Extension = c.Extension;
    UCHAR ucEscape = *In<UCHAR>(c);
    NTSTATUS Status = STATUS_SUCCESS;
    KIRQL OldIrql;
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
    return Status;
}

NTSTATUS ConfigSize(CONTROL& c) {
    *In<ULONG>(c) = 0;
    return STATUS_SUCCESS;
}

NTSTATUS GetStats(CONTROL& c) {
    STATS_CONTEXT Context = {c.Extension, In<SERIALPERF_STATS>(c)};
    CvSynchronizeWithIsr(c.Extension, SerialGetStats, &Context);
    return STATUS_SUCCESS;
}

// Every request the port serves: the input and output it must at least carry, and its handler.
const struct {
    ULONG ulCode;
    ULONG ulInput;
    ULONG ulOutput;
    NTSTATUS (*Handler)(CONTROL& c);
} kControls[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0, SetBaudRate},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE), GetBaudRate},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), 0, SetQueueSize},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0, SetLine},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL), GetLine},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, BreakOn},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, BreakOff},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, sizeof(UCHAR), 0, ImmediateChar},
    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0, SetTimeouts},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS), GetTimeouts},
    {IOCTL_SERIAL_SET_DTR, 0, 0, SetOrClearDtr},
    {IOCTL_SERIAL_CLR_DTR, 0, 0, SetOrClearDtr},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0, Nothing},
    {IOCTL_SERIAL_SET_RTS, 0, 0, SetOrClearRts},
    {IOCTL_SERIAL_CLR_RTS, 0, 0, SetOrClearRts},
    {IOCTL_SERIAL_SET_XOFF, 0, 0, SetXoff},
    {IOCTL_SERIAL_SET_XON, 0, 0, SetXon},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG), GetWaitMask},
    {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0, SetWaitMask},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG), WaitOnMask},
    {IOCTL_SERIAL_PURGE, sizeof(ULONG), 0, Purge},
    {IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS), GetChars},
    {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0, SetChars},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW), GetHandFlow},
    {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0, SetHandFlowRequest},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG), GetModemStatus},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS), GetCommStatus},
    {IOCTL_SERIAL_XOFF_COUNTER, sizeof(SERIAL_XOFF_COUNTER), 0, XoffCounter},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(SERIAL_COMMPROP), GetProperties},
    {IOCTL_SERIAL_GET_DTRRTS, 0, sizeof(ULONG), GetDtrRts},
    {IOCTL_SERIAL_LSRMST_INSERT, sizeof(UCHAR), 0, LsrMstInsert},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, sizeof(ULONG), ConfigSize},
    {IOCTL_SERIAL_GET_STATS, 0, sizeof(SERIALPERF_STATS), GetStats},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0, ClearStats},
};

} // namespace

NTSTATUS CvIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
    if (SerialCompleteIfError(DeviceObject, Irp) != STATUS_SUCCESS)
        return STATUS_CANCELLED;
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    CONTROL c = {Extension, Irp, Irp->AssociatedIrp.SystemBuffer,
                 IrpSp->Parameters.DeviceIoControl.IoControlCode, FALSE};
    Irp->IoStatus.Information = 0;
    NTSTATUS Status = STATUS_INVALID_PARAMETER;
    for (const auto& Row : kControls) {
        if (Row.ulCode != c.ulCode)
            continue;
        if (IrpSp->Parameters.DeviceIoControl.InputBufferLength < Row.ulInput ||
            IrpSp->Parameters.DeviceIoControl.OutputBufferLength < Row.ulOutput) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Status = Row.Handler(c);
        if (c.bPassedOn)
            return Status;
        if (Status == STATUS_SUCCESS)
            Irp->IoStatus.Information = Row.ulOutput;
        break;
    }
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
