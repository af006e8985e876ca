#include "CvDevice.h"

#include "CvResourceKiller.h"

namespace {
VOID FreeName(UNICODE_STRING& uni) {
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
    FreeName(ObjectDirectory);
    FreeName(SymbolicLinkName);
    FreeName(DeviceName);
    FreeName(m_uniPathToPort);
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
