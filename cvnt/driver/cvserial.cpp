// CvNt's dispatch table, filled once every port is ready.
#include "CvEngine.h"
#include "CvPortList.h"

VOID ExportEntryPoints(PDRIVER_OBJECT DriverObject) {
    DriverObject->DriverUnload = SerialUnload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = SerialCreateOpen;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = SerialClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = SerialRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = SerialWrite;
    DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = SerialQueryInformationFile;
    DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = SerialSetInformationFile;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = SerialFlush;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = CvIoControl;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = SerialCleanup;
}
