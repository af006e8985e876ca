// What both port driver stand-ins do with a request: complete it, pass it down their stack as it came,
// or pass it down and wait for the drivers below (the request then is still theirs to complete).
#pragma once

#include "ntddk.h"

inline NTSTATUS StandInComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information = 0) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

inline NTSTATUS StandInPassDown(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(LowerDevice, Irp);
}

inline NTSTATUS StandInSignalEvent(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline NTSTATUS StandInPassDownAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, StandInSignalEvent, &Event, TRUE, TRUE, TRUE);
    NTSTATUS Status = IoCallDriver(LowerDevice, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = Irp->IoStatus.Status;
    }
    return Status;
}
