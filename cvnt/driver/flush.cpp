// Flush requests travel the write queue and complete when they reach its head, after every write
// queued before them.
#include "CvEngine.h"

NTSTATUS SerialFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CCvDevice* Extension = static_cast<CCvDevice*>(DeviceObject->DeviceExtension);
    Irp->IoStatus.Information = 0;
    if (SerialCompleteIfError(DeviceObject, Irp) != STATUS_SUCCESS)
        return STATUS_CANCELLED;
    return SerialStartOrQueue(Extension, Irp, &Extension->WriteQueue, &Extension->CurrentWriteIrp,
                              SerialStartFlush);
}

NTSTATUS SerialStartFlush(CCvDevice* Extension) {
    Extension->CurrentWriteIrp->IoStatus.Status = STATUS_SUCCESS;
    PIRP NewIrp;
    SerialGetNextWrite(&Extension->CurrentWriteIrp, &Extension->WriteQueue, &NewIrp, TRUE);
    if (NewIrp)
        SerialStartWrite(Extension);
    return STATUS_SUCCESS;
}
