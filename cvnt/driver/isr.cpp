// Interrupt service: bytes between the UARTs and the port state, at the device's interrupt level.
#include "CvEngine.h"

namespace {

// A status register that keeps naming an invalid or disabled port would hold the processor at device
// level forever; after this many such reads in a row the card routine gives up and counts it.
const ULONG kMaxSisrNoiseReads = 64;
// The same bound for a UART that keeps reporting an interrupt (or a register that is no UART's
// interrupt identification): a call of the service routine reads the identification at most this
// often. Every real cause is served in far fewer rounds: each one takes its cause away.
const ULONG kMaxIdentifications = 256;

inline UCHAR ReadSisr(CCvCard* pCard) {
    return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(pCard->m_ulSisrAddress)));
}

inline BOOLEAN TransmitToggle(CCvDevice* Extension) {
    return (Extension->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
}

// Writes bytes to the UART; in transmit-toggle mode RTS is raised before and a lowering attempt queued after.
VOID SendBytes(CCvDevice* Extension, PUCHAR pucBytes, ULONG ulCount) {
    if (TransmitToggle(Extension))
        SerialSetRTS(Extension);
    if (ulCount == 1)
        Extension->pChip_Uart->WriteData(*pucBytes);
    else
        Extension->pChip_Uart->WriteDataMultiple(pucBytes, ulCount);
    Extension->PerfStats.TransmittedCount += ulCount;
    if (TransmitToggle(Extension))
        CvQueueLowerRtsAttempt(Extension);
}

VOID TransmitStep(CCvDevice* Extension) {
    Extension->HoldingEmpty = TRUE;
    if (!Extension->WriteLength && !Extension->TransmitImmediate && !Extension->SendXoffChar &&
        !Extension->SendXonChar)
        return;
    Extension->EmptiedTransmit = TRUE;
    if (Extension->HandFlow.ControlHandShake & SERIAL_OUT_HANDSHAKEMASK)
        SerialHandleModemUpdate(Extension, TRUE);

    if (Extension->SendXonChar && !(Extension->TXHolding & ~SERIAL_TX_WAITING_FOR_XON)) {
        SendBytes(Extension, &Extension->SpecialChars.XonChar, 1);
        Extension->SendXonChar = FALSE;
        Extension->HoldingEmpty = FALSE;
        Extension->TXHolding &= ~SERIAL_TX_WAITING_FOR_XON;
        Extension->RXHolding &= ~SERIAL_RX_XOFF_HOLD;
        return;
    }
    if (Extension->SendXoffChar && !Extension->TXHolding) {
        SendBytes(Extension, &Extension->SpecialChars.XoffChar, 1);
        if (!(Extension->HandFlow.FlowReplace & SERIAL_XOFF_CONTINUE)) {
            Extension->TXHolding |= SERIAL_TX_WAITING_FOR_XON;
            if (TransmitToggle(Extension))
                CvQueueLowerRtsAttempt(Extension);
        }
        Extension->SendXoffChar = FALSE;
        Extension->HoldingEmpty = FALSE;
        return;
    }
    if (Extension->TransmitImmediate &&
        (!Extension->TXHolding || Extension->TXHolding == SERIAL_TX_WAITING_FOR_XON)) {
        Extension->TransmitImmediate = FALSE;
        SendBytes(Extension, &Extension->ImmediateChar, 1);
        Extension->HoldingEmpty = FALSE;
        KeInsertQueueDpc(&Extension->CompleteImmediateDpc, NULL, NULL);
        return;
    }
    if (!Extension->TXHolding && Extension->WriteLength) {
        ULONG ulAmount = 1;
        if (Extension->FifoPresent) {
            ULONG ulLimit = static_cast<ULONG>(Extension->pChip_Uart->m_lSoftTxLimitInBytes);
            ulAmount = ulLimit < Extension->WriteLength ? ulLimit : Extension->WriteLength;
            if (!ulAmount)
                ulAmount = 1;
        }
        SendBytes(Extension, Extension->WriteCurrentChar, ulAmount);
        Extension->HoldingEmpty = FALSE;
        Extension->WriteCurrentChar += ulAmount;
        Extension->WriteLength -= ulAmount;
        if (!Extension->WriteLength) {
            PIRP Irp = Extension->CurrentWriteIrp;
            PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
            Irp->IoStatus.Information =
                IrpSp->MajorFunction == IRP_MJ_WRITE ? IrpSp->Parameters.Write.Length : 1;
            KeInsertQueueDpc(&Extension->CompleteWriteDpc, NULL, NULL);
        }
    }
}

VOID ReceiveLoop(CCvDevice* Extension) {
    CCvUart* pUart = Extension->pChip_Uart;
    for (;;) {
        if (!pUart->GetDataReady())
            return;
        UCHAR ucChar = pUart->ReadData();
        Extension->PerfStats.ReceivedCount++;
        ucChar &= Extension->ValidDataMask;
        ULONG ulFlow = Extension->HandFlow.FlowReplace;
        if (!ucChar && (ulFlow & SERIAL_NULL_STRIPPING)) {
            // dropped
        } else if ((ulFlow & SERIAL_AUTO_TRANSMIT) && (ucChar == Extension->SpecialChars.XonChar ||
                                                       ucChar == Extension->SpecialChars.XoffChar)) {
            if (ucChar == Extension->SpecialChars.XoffChar) {
                Extension->TXHolding |= SERIAL_TX_WAITING_FOR_XON;
                if (TransmitToggle(Extension))
                    CvQueueLowerRtsAttempt(Extension);
            } else if (Extension->TXHolding & SERIAL_TX_WAITING_FOR_XON) {
                Extension->TXHolding &= ~SERIAL_TX_WAITING_FOR_XON;
            }
        } else {
            if (Extension->IsrWaitMask) {
                if (Extension->IsrWaitMask & SERIAL_EV_RXCHAR)
                    Extension->HistoryMask |= SERIAL_EV_RXCHAR;
                if ((Extension->IsrWaitMask & SERIAL_EV_RXFLAG) &&
                    Extension->SpecialChars.EventChar == ucChar)
                    Extension->HistoryMask |= SERIAL_EV_RXFLAG;
                CvDeliverWaitEvents(Extension);
            }
            SerialPutChar(Extension, ucChar);
            if (Extension->EscapeChar && Extension->EscapeChar == ucChar)
                SerialPutChar(Extension, 0);
        }
        if (!(SerialProcessLSR(Extension) & UART_LSR_DR))
            return;
    }
}

// With the error-character option a character in error is stored as the error character; the byte
// itself, when one is ready, is read and dropped (and then not read again).
VOID StoreErrorChar(CCvDevice* Extension, BOOLEAN& bDataReady, BOOLEAN bCount) {
    SerialPutChar(Extension, Extension->SpecialChars.ErrorChar);
    if (bDataReady) {
        if (bCount)
            Extension->PerfStats.ReceivedCount++;
        Extension->pChip_Uart->ReadData();
        bDataReady = FALSE;
    }
}

} // namespace

BOOLEAN SisrIsr(PKINTERRUPT InterruptObject, PVOID Context) {
    CCvCard* pCard = static_cast<CCvCard*>(Context);
    UCHAR ucIndex = ReadSisr(pCard);
    if (ucIndex == CV_SISR_IDLE)
        return FALSE;
    BOOLEAN bServiced = FALSE;
    ULONG ulNoise = 0;
    while (ucIndex != CV_SISR_IDLE) {
        CCvDevice* pDevice = ucIndex < pCard->ulNumberComPorts && ucIndex < CV_MAX_PORTS_PER_CARD
                                 ? pCard->apDevice[ucIndex]
                                 : NULL;
        if (!pDevice || pDevice->m_bDisabled) {
            pCard->m_ulSisrNoiseReads++;
            if (++ulNoise >= kMaxSisrNoiseReads) {
                pCard->m_ulSisrLoopsAbandoned++;
                return bServiced;
            }
            ucIndex = ReadSisr(pCard);
            continue;
        }
        ulNoise = 0;
        while (pDevice->m_CardDependentIsr(InterruptObject, pDevice))
            bServiced = TRUE;
        ucIndex = ReadSisr(pCard);
    }
    return bServiced;
}

namespace {

// A closed port: quiet the UART and drop what arrives. FALSE when the UART never stopped.
BOOLEAN QuietClosedPort(CCvDevice* Extension, UCHAR ucIir) {
    CCvUart* pUart = Extension->pChip_Uart;
    for (ULONG ulRound = 0; !(ucIir & UART_IIR_NO_INTERRUPT); ulRound++) {
        if (ulRound == kMaxIdentifications)
            return FALSE;
        switch (ucIir & UART_IIR_ID_FULL_MASK) {
        case UART_IIR_MODEM_STATUS:
            pUart->ReadModemStatusRegister();
            break;
        case UART_IIR_THR_EMPTY:
            Extension->HoldingEmpty = TRUE;
            break;
        case UART_IIR_RX_DATA:
        case UART_IIR_CHAR_TIMEOUT:
            pUart->ReadData();
            break;
        case UART_IIR_RX_LINE_STATUS:
            pUart->ReadLineStatusRegister();
            break;
        default:
            break;
        }
        ucIir = pUart->ReadInterruptStatusRegister();
    }
    return TRUE;
}

} // namespace

BOOLEAN SerialISR(PKINTERRUPT, PVOID Context) {
    CCvDevice* Extension = static_cast<CCvDevice*>(Context);
    CCvUart* pUart = Extension->pChip_Uart;
    UCHAR ucIir = pUart->ReadInterruptStatusRegister();
    if (ucIir & UART_IIR_NO_INTERRUPT)
        return FALSE;

    if (!Extension->DeviceIsOpened) {
        if (!QuietClosedPort(Extension, ucIir))
            Extension->m_ulIsrLoopsAbandoned++;
        return TRUE;
    }

    ULONG ulRounds = 0;
    for (;;) {
        while (!(ucIir & UART_IIR_NO_INTERRUPT)) {
            if (++ulRounds > kMaxIdentifications) {
                Extension->m_ulIsrLoopsAbandoned++;
                return TRUE;
            }
            switch (ucIir & UART_IIR_ID_MASK) {
            case UART_IIR_RX_LINE_STATUS:
                SerialProcessLSR(Extension);
                break;
            case UART_IIR_RX_DATA:
            case UART_IIR_CHAR_TIMEOUT:
                ReceiveLoop(Extension);
                break;
            case UART_IIR_THR_EMPTY:
                TransmitStep(Extension);
                break;
            case UART_IIR_MODEM_STATUS:
                SerialHandleModemUpdate(Extension, FALSE);
                break;
            default:
                break;
            }
            ucIir = pUart->ReadInterruptStatusRegister();
        }
        // A transmitter that emptied while held, or a hold that lifted, restarts here.
        UCHAR ucLsr = SerialProcessLSR(Extension);
        if ((ucLsr & UART_LSR_THRE) && !Extension->TXHolding &&
            (Extension->WriteLength || Extension->TransmitImmediate) && ulRounds <= kMaxIdentifications) {
            ulRounds++;
            TransmitStep(Extension);
            ucIir = pUart->ReadInterruptStatusRegister();
            continue;
        }
        return TRUE;
    }
}

VOID SerialPutChar(CCvDevice* Extension, UCHAR CharToPut) {
    if (Extension->HandFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) {
        SerialHandleModemUpdate(Extension, FALSE);
        if (Extension->RXHolding & SERIAL_RX_WAITING_FOR_DSR_HOLD)
            return;
    }
    if (Extension->CountSinceXoff) {
        Extension->CountSinceXoff--;
        if (!Extension->CountSinceXoff && Extension->CurrentXoffIrp) {
            Extension->CurrentXoffIrp->IoStatus.Status = STATUS_SUCCESS;
            Extension->CurrentXoffIrp->IoStatus.Information = 0;
            KeInsertQueueDpc(&Extension->XoffCountCompleteDpc, NULL, NULL);
        }
    }
    if (Extension->ReadBufferBase == Extension->InterruptReadBuffer) {
        if (Extension->BufferSize - static_cast<ULONG>(Extension->HandFlow.XoffLimit) <=
            Extension->CharsInInterruptBuffer + 1) {
            if ((Extension->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE &&
                !(Extension->RXHolding & SERIAL_RX_DTR_HOLD)) {
                Extension->RXHolding |= SERIAL_RX_DTR_HOLD;
                SerialClrDTR(Extension);
            }
            if ((Extension->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE &&
                !(Extension->RXHolding & SERIAL_RX_RTS_HOLD)) {
                Extension->RXHolding |= SERIAL_RX_RTS_HOLD;
                SerialClrRTS(Extension);
            }
            if ((Extension->HandFlow.FlowReplace & SERIAL_AUTO_RECEIVE) &&
                !(Extension->RXHolding & SERIAL_RX_XOFF_HOLD)) {
                Extension->RXHolding |= SERIAL_RX_XOFF_HOLD;
                SerialProdXonXoff(Extension, FALSE);
            }
        }
        if (Extension->CharsInInterruptBuffer >= Extension->BufferSize) {
            Extension->PerfStats.BufferOverrunErrorCount++;
            Extension->ErrorWord |= SERIAL_ERROR_QUEUEOVERRUN;
            if (Extension->HandFlow.FlowReplace & SERIAL_ERROR_CHAR) {
                PUCHAR pLast = Extension->CurrentCharSlot == Extension->InterruptReadBuffer
                                   ? Extension->LastCharSlot
                                   : Extension->CurrentCharSlot - 1;
                *pLast = Extension->SpecialChars.ErrorChar;
            }
            if (Extension->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT)
                KeInsertQueueDpc(&Extension->CommErrorDpc, NULL, NULL);
            return;
        }
        *Extension->CurrentCharSlot = CharToPut;
        Extension->CharsInInterruptBuffer++;
        if (Extension->CharsInInterruptBuffer == Extension->BufferSizePt8 &&
            (Extension->IsrWaitMask & SERIAL_EV_RX80FULL)) {
            Extension->HistoryMask |= SERIAL_EV_RX80FULL;
            CvDeliverWaitEvents(Extension);
        }
        if (Extension->CurrentCharSlot == Extension->LastCharSlot)
            Extension->CurrentCharSlot = Extension->InterruptReadBuffer;
        else
            Extension->CurrentCharSlot++;
        return;
    }
    // Straight into the current read's buffer.
    Extension->ReadByIsr++;
    *Extension->CurrentCharSlot = CharToPut;
    if (Extension->CurrentCharSlot == Extension->LastCharSlot) {
        Extension->ReadBufferBase = Extension->InterruptReadBuffer;
        Extension->CurrentCharSlot = Extension->InterruptReadBuffer;
        Extension->FirstReadableChar = Extension->InterruptReadBuffer;
        Extension->LastCharSlot = Extension->InterruptReadBuffer + (Extension->BufferSize - 1);
        Extension->CharsInInterruptBuffer = 0;
        Extension->CurrentReadIrp->IoStatus.Information =
            IoGetCurrentIrpStackLocation(Extension->CurrentReadIrp)->Parameters.Read.Length;
        KeInsertQueueDpc(&Extension->CompleteReadDpc, NULL, NULL);
    } else {
        Extension->CurrentCharSlot++;
    }
}

UCHAR SerialProcessLSR(CCvDevice* Extension) {
    CCvUart* pUart = Extension->pChip_Uart;
    UCHAR ucLsr = pUart->ReadLineStatusRegister();
    Extension->HoldingEmpty = (ucLsr & UART_LSR_THRE) != 0;
    if (!(ucLsr & (UART_LSR_ERRORS | UART_LSR_FIFO_ERROR)))
        return ucLsr;

    BOOLEAN bErrorChar = (Extension->HandFlow.FlowReplace & SERIAL_ERROR_CHAR) != 0;
    BOOLEAN bDataReady = (ucLsr & UART_LSR_DR) != 0;
    if (Extension->EscapeChar) {
        SerialPutChar(Extension, Extension->EscapeChar);
        SerialPutChar(Extension, bDataReady ? SERIAL_LSRMST_LSR_DATA : SERIAL_LSRMST_LSR_NODATA);
        SerialPutChar(Extension, ucLsr);
        if (bDataReady) {
            Extension->PerfStats.ReceivedCount++;
            SerialPutChar(Extension, pUart->ReadData());
            bDataReady = FALSE; // taken: the steps below must not read the register again
        }
    }
    if (ucLsr & UART_LSR_OE) {
        Extension->PerfStats.SerialOverrunErrorCount++;
        Extension->ErrorWord |= SERIAL_ERROR_OVERRUN;
        if (bErrorChar) {
            StoreErrorChar(Extension, bDataReady, FALSE);
        } else if (bDataReady) {
            Extension->PerfStats.ReceivedCount++;
            SerialPutChar(Extension, pUart->ReadData());
            bDataReady = FALSE;
        }
    }
    if (ucLsr & UART_LSR_BI) {
        Extension->ErrorWord |= SERIAL_ERROR_BREAK;
        if (Extension->HandFlow.FlowReplace & SERIAL_BREAK_CHAR)
            SerialPutChar(Extension, Extension->SpecialChars.BreakChar);
    } else {
        // Parity and framing mean nothing while the line is in break.
        if (ucLsr & UART_LSR_PE) {
            Extension->PerfStats.ParityErrorCount++;
            Extension->ErrorWord |= SERIAL_ERROR_PARITY;
            if (bErrorChar)
                StoreErrorChar(Extension, bDataReady, TRUE);
        }
        if (ucLsr & UART_LSR_FE) {
            Extension->PerfStats.FrameErrorCount++;
            Extension->ErrorWord |= SERIAL_ERROR_FRAMING;
            if (bErrorChar)
                StoreErrorChar(Extension, bDataReady, TRUE);
        }
    }
    if (Extension->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT)
        KeInsertQueueDpc(&Extension->CommErrorDpc, NULL, NULL);
    if (Extension->IsrWaitMask) {
        if ((Extension->IsrWaitMask & SERIAL_EV_ERR) && (ucLsr & UART_LSR_CHARACTER_ERRORS))
            Extension->HistoryMask |= SERIAL_EV_ERR;
        if ((Extension->IsrWaitMask & SERIAL_EV_BREAK) && (ucLsr & UART_LSR_BI))
            Extension->HistoryMask |= SERIAL_EV_BREAK;
        CvDeliverWaitEvents(Extension);
    }
    // A fresh transmit interrupt only helps when the transmit step may send: kicking a held transmitter
    // would re-raise the interrupt at once, for as long as the error stays in the FIFO.
    BOOLEAN bMaySend = (Extension->WriteLength && !Extension->TXHolding) ||
                       (Extension->TransmitImmediate && !(Extension->TXHolding & ~SERIAL_TX_WAITING_FOR_XON));
    if ((ucLsr & UART_LSR_THRE) && bMaySend)
        CvKickTransmitter(Extension);
    return ucLsr;
}
