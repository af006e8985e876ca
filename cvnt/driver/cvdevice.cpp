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
