// The write path. So far: the transmit-queue-empty check that runs when the last write has gone.
#include "CvEngine.h"

BOOLEAN SerialProcessEmptyTransmit(PVOID Context) {
    CCvDevice* Extension = static_cast<CCvDevice*>(Context);
    if ((Extension->IsrWaitMask & SERIAL_EV_TXEMPTY) && Extension->EmptiedTransmit &&
        !Extension->TransmitImmediate && !Extension->CurrentWriteIrp && IsListEmpty(&Extension->WriteQueue)) {
        Extension->HistoryMask |= SERIAL_EV_TXEMPTY;
        CvDeliverWaitEvents(Extension);
        Extension->CountOfTryingToLowerRTS++;
        SerialPerhapsLowerRTS(Extension);
    }
    return FALSE;
}
