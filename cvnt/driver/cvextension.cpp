// A port's device extension as the engine needs it, whichever driver serves the port: its destruction,
// its starting state, and its deferred calls with the UART brought to a closed port's state.
#include "CvDevice.h"

#include "CvEngine.h"
#include "CvResourceKiller.h"

namespace {
VOID FreeString(UNICODE_STRING& uni) {
    if (uni.Buffer)
        operator delete(uni.Buffer);
    RtlZeroMemory(&uni, sizeof uni);
}
} // namespace

CCvDevice::~CCvDevice() {
    if (pChip_Uart) {
        delete pChip_Uart;
        pChip_Uart = NULL;
    }
    if (pParentCard) {
        // The last port of a card takes the card with it. The port leaves its slot first, so the card
        // goes exactly once, with whichever port is torn down last.
        CCvCard* pCard = pParentCard;
        pParentCard = NULL;
        BOOLEAN bOthers = FALSE;
        for (ULONG i = 0; i < CV_MAX_PORTS_PER_CARD; i++) {
            if (pCard->apDevice[i] == this)
                pCard->apDevice[i] = NULL;
            else if (pCard->apDevice[i])
                bOthers = TRUE;
        }
        if (!bOthers)
            delete pCard;
    }
    FreeString(ObjectDirectory);
    FreeString(SymbolicLinkName);
    FreeString(DeviceName);
    FreeString(m_uniPathToPort);
}

VOID CvSetDeviceDefaults(CCvDevice* Extension) {
    InitializeListHead(&Extension->TopLevelSharers);
    InitializeListHead(&Extension->CommonInterruptObject);
    InitializeListHead(&Extension->ReadQueue);
    InitializeListHead(&Extension->WriteQueue);
    InitializeListHead(&Extension->MaskQueue);
    InitializeListHead(&Extension->PurgeQueue);
    KeInitializeSpinLock(&Extension->ControlLock);
    KeInitializeTimer(&Extension->ReadRequestTotalTimer);
    KeInitializeTimer(&Extension->ReadRequestIntervalTimer);
    KeInitializeTimer(&Extension->WriteRequestTotalTimer);
    KeInitializeTimer(&Extension->ImmediateTotalTimer);
    KeInitializeTimer(&Extension->XoffCountTimer);
    KeInitializeTimer(&Extension->LowerRTSTimer);
    KeInitializeTimer(&Extension->TxEmptyTimer);
    Extension->ShortIntervalAmount.QuadPart = -1;
    Extension->LongIntervalAmount.QuadPart = -10000000;
    Extension->CutOverAmount.QuadPart = 200000000;
    Extension->SpecialChars.XonChar = 0x11;
    Extension->SpecialChars.XoffChar = 0x13;
    Extension->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    Extension->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    Extension->ValidDataMask = 0x7F;
    Extension->DeviceIsOpened = FALSE;
}

VOID CvInitializeExtension(CCvDevice* Extension) {
    CvSetDeviceDefaults(Extension);
    KeInitializeDpc(&Extension->CompleteWriteDpc, SerialCompleteWrite, Extension);
    KeInitializeDpc(&Extension->CompleteReadDpc, SerialCompleteRead, Extension);
    KeInitializeDpc(&Extension->TotalReadTimeoutDpc, SerialReadTimeout, Extension);
    KeInitializeDpc(&Extension->IntervalReadTimeoutDpc, SerialIntervalReadTimeout, Extension);
    KeInitializeDpc(&Extension->TotalWriteTimeoutDpc, SerialWriteTimeout, Extension);
    KeInitializeDpc(&Extension->CommErrorDpc, SerialCommError, Extension);
    KeInitializeDpc(&Extension->CompleteImmediateDpc, SerialCompleteImmediate, Extension);
    KeInitializeDpc(&Extension->TotalImmediateTimeoutDpc, SerialTimeoutImmediate, Extension);
    KeInitializeDpc(&Extension->CommWaitDpc, SerialCompleteWait, Extension);
    KeInitializeDpc(&Extension->XoffCountTimeoutDpc, SerialTimeoutXoff, Extension);
    KeInitializeDpc(&Extension->XoffCountCompleteDpc, SerialCompleteXoff, Extension);
    KeInitializeDpc(&Extension->StartTimerLowerRTSDpc, SerialStartTimerLowerRTS, Extension);
    KeInitializeDpc(&Extension->PerhapsLowerRTSDpc, SerialInvokePerhapsLowerRTS, Extension);
    KeInitializeDpc(&Extension->StartTimerTxEmptyDpc, SerialStartTimerTxEmpty, Extension);
    KeInitializeDpc(&Extension->TxEmptyDpc, SerialInvokeProcessEmptyTransmit, Extension);
    // Not connected yet: the resets run directly, with nothing to synchronise against.
    if (Extension->pChip_Uart) {
        CvSerialReset(Extension);
        SerialMarkClose(Extension);
        SerialClrRTS(Extension);
        SerialClrDTR(Extension);
    }
}
