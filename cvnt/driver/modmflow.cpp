// Modem lines, handshake and flow control, and RTS transmit-toggle mode.
#include "CvEngine.h"

namespace {

inline CCvDevice* Ext(PVOID Context) {
    return static_cast<CCvDevice*>(Context);
}

inline BOOLEAN TransmitToggle(CCvDevice* Extension) {
    return (Extension->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
}

inline BOOLEAN SomethingToSend(CCvDevice* Extension) {
    return Extension->WriteLength || Extension->TransmitImmediate;
}

// The three cases of a line under receive handshake: hold it when the buffer is nearly full; raise it
// when not held; a hold that is already in place is released once the buffer has drained to the XON
// limit, as the reduced-buffer rule releases it.
VOID ApplyHandshakeLine(CCvDevice* Extension, BOOLEAN bNearlyFull, ULONG ulHold, LONG lXonLimit,
                        PKSYNCHRONIZE_ROUTINE Raise, PKSYNCHRONIZE_ROUTINE Lower) {
    if (bNearlyFull) {
        Extension->RXHolding |= ulHold;
        Lower(Extension);
    } else if (!(Extension->RXHolding & ulHold)) {
        Raise(Extension);
    } else if (static_cast<LONG>(Extension->CharsInInterruptBuffer) <= lXonLimit) {
        Extension->RXHolding &= ~ulHold;
        Raise(Extension);
    }
}

} // namespace

VOID CvQueueLowerRtsAttempt(CCvDevice* Extension) {
    if (KeInsertQueueDpc(&Extension->StartTimerLowerRTSDpc, NULL, NULL))
        Extension->CountOfTryingToLowerRTS++;
}

VOID CvKickTransmitter(CCvDevice* Extension) {
    Extension->pChip_Uart->DisableAllInterrupts();
    Extension->pChip_Uart->EnableAllInterrupts();
}

BOOLEAN SerialSetDTR(PVOID Context) {
    Ext(Context)->pChip_Uart->SetDtr();
    return FALSE;
}

BOOLEAN SerialClrDTR(PVOID Context) {
    Ext(Context)->pChip_Uart->ClearDtr();
    return FALSE;
}

BOOLEAN SerialSetRTS(PVOID Context) {
    Ext(Context)->pChip_Uart->SetRts();
    return FALSE;
}

BOOLEAN SerialClrRTS(PVOID Context) {
    Ext(Context)->pChip_Uart->ClearRts();
    return FALSE;
}

NTSTATUS SerialSetupNewHandFlow(CCvDevice* Extension, PSERIAL_HANDFLOW NewHandFlow) {
    SERIAL_HANDFLOW Old = Extension->HandFlow;
    BOOLEAN bOpened = Extension->DeviceIsOpened;
    BOOLEAN bNearlyFull = static_cast<LONG>(Extension->BufferSize) - NewHandFlow->XoffLimit <=
                          static_cast<LONG>(Extension->CharsInInterruptBuffer);

    ULONG ulNewDtr = NewHandFlow->ControlHandShake & SERIAL_DTR_MASK;
    if (!bOpened || (Old.ControlHandShake & SERIAL_DTR_MASK) != ulNewDtr) {
        if (ulNewDtr == SERIAL_DTR_HANDSHAKE) {
            ApplyHandshakeLine(Extension, bNearlyFull, SERIAL_RX_DTR_HOLD, NewHandFlow->XonLimit,
                               SerialSetDTR, SerialClrDTR);
        } else {
            Extension->RXHolding &= ~SERIAL_RX_DTR_HOLD;
            if (ulNewDtr == SERIAL_DTR_CONTROL)
                SerialSetDTR(Extension);
            else
                SerialClrDTR(Extension);
        }
    }

    ULONG ulNewRts = NewHandFlow->FlowReplace & SERIAL_RTS_MASK;
    if (!bOpened || (Old.FlowReplace & SERIAL_RTS_MASK) != ulNewRts) {
        if (ulNewRts == SERIAL_RTS_HANDSHAKE) {
            ApplyHandshakeLine(Extension, bNearlyFull, SERIAL_RX_RTS_HOLD, NewHandFlow->XonLimit,
                               SerialSetRTS, SerialClrRTS);
        } else if (ulNewRts == SERIAL_RTS_CONTROL) {
            Extension->RXHolding &= ~SERIAL_RX_RTS_HOLD;
            SerialSetRTS(Extension);
        } else if (ulNewRts == SERIAL_TRANSMIT_TOGGLE) {
            Extension->RXHolding &= ~SERIAL_RX_RTS_HOLD;
            Extension->HandFlow.FlowReplace =
                (Extension->HandFlow.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_TRANSMIT_TOGGLE;
            UCHAR ucLsr = Extension->pChip_Uart->ReadLineStatusRegister();
            if (!(Extension->TXHolding & SERIAL_TX_BREAK_HOLD) &&
                (ucLsr & (UART_LSR_THRE | UART_LSR_TEMT)) == (UART_LSR_THRE | UART_LSR_TEMT) &&
                !Extension->CurrentWriteIrp && !Extension->TransmitImmediate &&
                (IsListEmpty(&Extension->WriteQueue) || Extension->TXHolding)) {
                Extension->CountOfTryingToLowerRTS++;
                SerialPerhapsLowerRTS(Extension);
            } else {
                SerialSetRTS(Extension);
            }
        } else {
            Extension->RXHolding &= ~SERIAL_RX_RTS_HOLD;
            SerialClrRTS(Extension);
        }
    }

    BOOLEAN bAutoReceiveBefore = bOpened && (Old.FlowReplace & SERIAL_AUTO_RECEIVE);
    BOOLEAN bAutoReceiveAfter = (NewHandFlow->FlowReplace & SERIAL_AUTO_RECEIVE) != 0;
    if (!bAutoReceiveBefore && bAutoReceiveAfter) {
        if (bNearlyFull) {
            Extension->RXHolding |= SERIAL_RX_XOFF_HOLD;
            SerialProdXonXoff(Extension, FALSE);
        }
    } else if (bAutoReceiveBefore && !bAutoReceiveAfter && (Extension->RXHolding & SERIAL_RX_XOFF_HOLD)) {
        Extension->RXHolding &= ~SERIAL_RX_XOFF_HOLD;
        SerialProdXonXoff(Extension, TRUE);
    }

    if ((Old.FlowReplace & SERIAL_AUTO_TRANSMIT) && !(NewHandFlow->FlowReplace & SERIAL_AUTO_TRANSMIT) &&
        (Extension->TXHolding & SERIAL_TX_WAITING_FOR_XON)) {
        Extension->TXHolding &= ~SERIAL_TX_WAITING_FOR_XON;
        SerialProdXonXoff(Extension, TRUE);
    }

    Extension->HandFlow = *NewHandFlow;
    return STATUS_SUCCESS;
}

BOOLEAN SerialSetHandFlow(PVOID Context) {
    auto* pContext = static_cast<CV_HANDFLOW_CONTEXT*>(Context);
    SerialSetupNewHandFlow(pContext->Extension, pContext->HandFlow);
    SerialHandleModemUpdate(pContext->Extension, FALSE);
    return FALSE;
}

BOOLEAN SerialTurnOnBreak(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    if (TransmitToggle(Extension))
        SerialSetRTS(Extension);
    Extension->pChip_Uart->SetBreak();
    Extension->TXHolding |= SERIAL_TX_BREAK_HOLD;
    return FALSE;
}

BOOLEAN SerialTurnOffBreak(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    if (!(Extension->TXHolding & SERIAL_TX_BREAK_HOLD))
        return FALSE;
    Extension->pChip_Uart->ClearBreak();
    Extension->TXHolding &= ~SERIAL_TX_BREAK_HOLD;
    if (!Extension->TXHolding && SomethingToSend(Extension) && Extension->HoldingEmpty) {
        CvKickTransmitter(Extension);
    } else {
        Extension->CountOfTryingToLowerRTS++;
        SerialPerhapsLowerRTS(Extension);
    }
    return FALSE;
}

BOOLEAN SerialPretendXoff(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    Extension->TXHolding |= SERIAL_TX_WAITING_FOR_XON;
    if (TransmitToggle(Extension))
        CvQueueLowerRtsAttempt(Extension);
    return FALSE;
}

BOOLEAN SerialPretendXon(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    if (Extension->TXHolding) {
        Extension->TXHolding &= ~SERIAL_TX_WAITING_FOR_XON;
        if (!Extension->TXHolding && SomethingToSend(Extension) && Extension->HoldingEmpty)
            CvKickTransmitter(Extension);
    }
    return FALSE;
}

ULONG SerialHandleModemUpdate(CCvDevice* Extension, BOOLEAN DoingTX) {
    ULONG ulOldTXHolding = Extension->TXHolding;
    UCHAR ucMsr = Extension->pChip_Uart->ReadModemStatusRegister();

    if (Extension->EscapeChar && (ucMsr & UART_MSR_DELTAS)) {
        SerialPutChar(Extension, Extension->EscapeChar);
        SerialPutChar(Extension, SERIAL_LSRMST_MST);
        SerialPutChar(Extension, ucMsr);
    }
    if ((Extension->HandFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) && !(ucMsr & UART_MSR_DSR))
        Extension->RXHolding |= SERIAL_RX_WAITING_FOR_DSR_HOLD;
    else
        Extension->RXHolding &= ~SERIAL_RX_WAITING_FOR_DSR_HOLD;

    if (Extension->IsrWaitMask) {
        if ((Extension->IsrWaitMask & SERIAL_EV_CTS) && (ucMsr & UART_MSR_DCTS))
            Extension->HistoryMask |= SERIAL_EV_CTS;
        if ((Extension->IsrWaitMask & SERIAL_EV_DSR) && (ucMsr & UART_MSR_DDSR))
            Extension->HistoryMask |= SERIAL_EV_DSR;
        if ((Extension->IsrWaitMask & SERIAL_EV_RING) && (ucMsr & UART_MSR_TERI))
            Extension->HistoryMask |= SERIAL_EV_RING;
        if ((Extension->IsrWaitMask & SERIAL_EV_RLSD) && (ucMsr & UART_MSR_DDCD))
            Extension->HistoryMask |= SERIAL_EV_RLSD;
        CvDeliverWaitEvents(Extension);
    }

    ULONG ulHandShake = Extension->HandFlow.ControlHandShake;
    if (ulHandShake & SERIAL_OUT_HANDSHAKEMASK) {
        struct {
            ULONG ulHandshake;
            UCHAR ucLine;
            ULONG ulHold;
        } const aLines[] = {{SERIAL_CTS_HANDSHAKE, UART_MSR_CTS, SERIAL_TX_WAITING_FOR_CTS},
                            {SERIAL_DSR_HANDSHAKE, UART_MSR_DSR, SERIAL_TX_WAITING_FOR_DSR},
                            {SERIAL_DCD_HANDSHAKE, UART_MSR_DCD, SERIAL_TX_WAITING_FOR_DCD}};
        for (const auto& line : aLines) {
            if ((ulHandShake & line.ulHandshake) && !(ucMsr & line.ucLine))
                Extension->TXHolding |= line.ulHold;
            else
                Extension->TXHolding &= ~line.ulHold;
        }
        if (!ulOldTXHolding && Extension->TXHolding && TransmitToggle(Extension))
            CvQueueLowerRtsAttempt(Extension);
    } else {
        Extension->TXHolding &=
            ~(SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DSR | SERIAL_TX_WAITING_FOR_DCD);
    }
    if (!DoingTX && ulOldTXHolding && !Extension->TXHolding && SomethingToSend(Extension) &&
        Extension->HoldingEmpty)
        CvKickTransmitter(Extension);
    return ucMsr;
}

BOOLEAN SerialHandleReducedIntBuffer(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    const ULONG ulHolds = SERIAL_RX_DTR_HOLD | SERIAL_RX_XOFF_HOLD | SERIAL_RX_RTS_HOLD;
    if (!(Extension->RXHolding & ulHolds) ||
        static_cast<LONG>(Extension->CharsInInterruptBuffer) > Extension->HandFlow.XonLimit)
        return FALSE;
    if (Extension->RXHolding & SERIAL_RX_DTR_HOLD) {
        Extension->RXHolding &= ~SERIAL_RX_DTR_HOLD;
        SerialSetDTR(Extension);
    }
    if (Extension->RXHolding & SERIAL_RX_RTS_HOLD) {
        Extension->RXHolding &= ~SERIAL_RX_RTS_HOLD;
        SerialSetRTS(Extension);
    }
    if (Extension->RXHolding & SERIAL_RX_XOFF_HOLD)
        SerialProdXonXoff(Extension, TRUE); // the hold ends when the XON byte leaves
    return FALSE;
}

VOID SerialProdXonXoff(CCvDevice* Extension, BOOLEAN SendXon) {
    if (!Extension->SendXonChar && !Extension->SendXoffChar && Extension->HoldingEmpty)
        CvKickTransmitter(Extension);
    Extension->SendXonChar = SendXon;
    Extension->SendXoffChar = !SendXon;
}

BOOLEAN SerialPerhapsLowerRTS(PVOID Context) {
    CCvDevice* Extension = Ext(Context);
    if (TransmitToggle(Extension) && !(Extension->TXHolding & SERIAL_TX_BREAK_HOLD) &&
        !Extension->CurrentWriteIrp && !Extension->TransmitImmediate) {
        if (!IsListEmpty(&Extension->WriteQueue) && !Extension->TXHolding) {
            Extension->CountOfTryingToLowerRTS--; // a write follows: RTS stays up
            return FALSE;
        }
        UCHAR ucLsr = SerialProcessLSR(Extension);
        if ((ucLsr & (UART_LSR_THRE | UART_LSR_TEMT)) == (UART_LSR_THRE | UART_LSR_TEMT))
            SerialClrRTS(Extension);
        else
            CvQueueLowerRtsAttempt(Extension);
    }
    Extension->CountOfTryingToLowerRTS--;
    return FALSE;
}

VOID SerialStartTimerLowerRTS(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CCvDevice* Extension = Ext(DeferredContext);
    KIRQL OldIrql;
    KeAcquireSpinLock(&Extension->ControlLock, &OldIrql);
    LARGE_INTEGER CharTime = SerialGetCharTime(Extension);
    KeReleaseSpinLock(&Extension->ControlLock, OldIrql);
    CharTime.QuadPart = -CharTime.QuadPart;
    if (KeSetTimer(&Extension->LowerRTSTimer, CharTime, &Extension->PerhapsLowerRTSDpc))
        CvSynchronizeWithIsr(Extension, SerialDecrementRTSCounter,
                             Extension); // the set replaced a pending one
}

VOID SerialInvokePerhapsLowerRTS(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    CvSynchronizeWithIsr(Ext(DeferredContext), SerialPerhapsLowerRTS, DeferredContext);
}

BOOLEAN SerialDecrementRTSCounter(PVOID Context) {
    Ext(Context)->CountOfTryingToLowerRTS--;
    return FALSE;
}

LARGE_INTEGER SerialGetCharTime(CCvDevice* Extension) {
    ULONG ulData = (Extension->LineControl & UART_LCR_WORD_LENGTH_MASK) + 5;
    ULONG ulParity = (Extension->LineControl & UART_LCR_PARITY_MASK) ? 1 : 0;
    ULONG ulStop = (Extension->LineControl & UART_LCR_STOP_BITS) ? 2 : 1;
    ULONG ulRate = Extension->pChip_Uart ? Extension->pChip_Uart->GetBaudrate() : 0;
    if (!ulRate)
        ulRate = 2;
    ULONG ulBitTime = (ulRate + 9999999) / ulRate; // 100 ns units, rounded up
    LARGE_INTEGER Result;
    Result.QuadPart = static_cast<LONGLONG>(ulBitTime) * (1 + ulData + ulParity + ulStop);
    return Result;
}
