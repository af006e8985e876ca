// File information on a port: a port has no size and no position, so the answers are fixed.
#include "CvEngine.h"

NTSTATUS SerialQueryInformationFile(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Irp->IoStatus.Information = 0;
    if (SerialCompleteIfError(DeviceObject, Irp) != STATUS_SUCCESS)
        return STATUS_CANCELLED;
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    ULONG ulLength = IrpSp->Parameters.QueryFile.Length;
    NTSTATUS Status = STATUS_SUCCESS;
    switch (IrpSp->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation:
        if (ulLength < sizeof(FILE_STANDARD_INFORMATION)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        RtlZeroMemory(Irp->AssociatedIrp.SystemBuffer, sizeof(FILE_STANDARD_INFORMATION));
        Irp->IoStatus.Information = sizeof(FILE_STANDARD_INFORMATION);
        break;
    case FilePositionInformation:
        if (ulLength < sizeof(FILE_POSITION_INFORMATION)) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        RtlZeroMemory(Irp->AssociatedIrp.SystemBuffer, sizeof(FILE_POSITION_INFORMATION));
        Irp->IoStatus.Information = sizeof(FILE_POSITION_INFORMATION);
        break;
    default:
        Status = STATUS_INVALID_PARAMETER;
        break;
    }
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS SerialSetInformationFile(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Irp->IoStatus.Information = 0;
    if (SerialCompleteIfError(DeviceObject, Irp) != STATUS_SUCCESS)
        return STATUS_CANCELLED;
    FILE_INFORMATION_CLASS Class = IoGetCurrentIrpStackLocation(Irp)->Parameters.SetFile.FileInformationClass;
    NTSTATUS Status = Class == FileEndOfFileInformation || Class == FileAllocationInformation
                          ? STATUS_SUCCESS
                          : STATUS_INVALID_PARAMETER;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
