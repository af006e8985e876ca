// The serial port stand-in's entry, its device above each COM child, and the requests it answers: the
// port's own through the engine, plug and play (start, stop, removal, surprise removal) and power.
#include "SpPort.h"

#include "CvEngine.h"
#include "CvResourceKiller.h"
#include "StandInIrp.h"

namespace {

CSpPort* PortOf(PDEVICE_OBJECT DeviceObject) {
    return static_cast<CSpPort*>(static_cast<CCvDevice*>(DeviceObject->DeviceExtension));
}

// Every request of the port's own: gone after a removal (but close and cleanup, which let a program
// let go of it), refused before a start.
NTSTATUS SpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CSpPort* pPort = PortOf(DeviceObject);
    const UCHAR ucMajor = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    const BOOLEAN bLettingGo = ucMajor == IRP_MJ_CLOSE || ucMajor == IRP_MJ_CLEANUP;
    if (!bLettingGo && (pPort->bRemoved || !pPort->bStarted))
        return StandInComplete(Irp, pPort->bRemoved ? STATUS_DELETE_PENDING : STATUS_NO_SUCH_DEVICE);
    switch (ucMajor) {
    case IRP_MJ_CREATE:
        // What a settings update left for the port takes effect as it opens.
        SpApplyPendingChanges(pPort);
        return SerialCreateOpen(DeviceObject, Irp);
    case IRP_MJ_CLOSE:
        if (!pPort->bStarted)
            return StandInComplete(Irp, STATUS_SUCCESS);
        return SerialClose(DeviceObject, Irp);
    case IRP_MJ_CLEANUP:
        if (!pPort->bStarted)
            return StandInComplete(Irp, STATUS_SUCCESS);
        return SerialCleanup(DeviceObject, Irp);
    case IRP_MJ_READ:
        return SerialRead(DeviceObject, Irp);
    case IRP_MJ_WRITE:
        return SerialWrite(DeviceObject, Irp);
    case IRP_MJ_DEVICE_CONTROL:
        return CvIoControl(DeviceObject, Irp);
    case IRP_MJ_FLUSH_BUFFERS:
        return SerialFlush(DeviceObject, Irp);
    case IRP_MJ_QUERY_INFORMATION:
        return SerialQueryInformationFile(DeviceObject, Irp);
    case IRP_MJ_SET_INFORMATION:
        return SerialSetInformationFile(DeviceObject, Irp);
    default:
        return StandInComplete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// The port goes: its requests end, its interrupt, name and UART go, and nothing reaches it any more.
VOID TakeDown(CSpPort* pPort) {
    pPort->bRemoved = TRUE;
    if (pPort->bStarted) {
        CvKillAllRequests(pPort->DeviceObject);
        SpStopPort(pPort);
    }
}

NTSTATUS SpPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CSpPort* pPort = PortOf(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS Status = StandInPassDownAndWait(pPort->LowerDevice, Irp);
        if (NT_SUCCESS(Status) && !pPort->bStarted)
            Status = SpStartPort(pPort);
        pPort->bRemoved = FALSE;
        return StandInComplete(Irp, Status);
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        // An open port is in use: it is not stopped or removed under its program.
        if (pPort->DeviceIsOpened)
            return StandInComplete(Irp, STATUS_DEVICE_BUSY);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return StandInPassDown(pPort->LowerDevice, Irp);
    case IRP_MN_STOP_DEVICE:
        if (pPort->bStarted)
            SpStopPort(pPort);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return StandInPassDown(pPort->LowerDevice, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        TakeDown(pPort);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return StandInPassDown(pPort->LowerDevice, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        TakeDown(pPort);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS Status = StandInPassDown(pPort->LowerDevice, Irp);
        IoDetachDevice(pPort->LowerDevice);
        SpTrackPort(pPort, FALSE);
        DeviceObject->DeviceExtension = NULL;
        IoDeleteDevice(DeviceObject);
        delete pPort;
        return Status;
    }
    default:
        return StandInPassDown(pPort->LowerDevice, Irp);
    }
}

NTSTATUS SpPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    CSpPort* pPort = PortOf(DeviceObject);
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(pPort->LowerDevice, Irp);
}

// Whether SERIALCOMM has a value of that name.
BOOLEAN SerialCommHolds(PCWSTR pName) {
    UNICODE_STRING uniPath;
    RtlInitUnicodeString(&uniPath, u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &uniPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE hKey = NULL;
    if (!NT_SUCCESS(ZwOpenKey(&hKey, KEY_READ, &Attributes)))
        return FALSE;
    UCHAR aInfo[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 64];
    UNICODE_STRING uniValue;
    RtlInitUnicodeString(&uniValue, pName);
    ULONG ulResult = 0;
    NTSTATUS Status =
        ZwQueryValueKey(hKey, &uniValue, KeyValuePartialInformation, aInfo, sizeof aInfo, &ulResult);
    ZwClose(hKey);
    return NT_SUCCESS(Status) || Status == STATUS_BUFFER_OVERFLOW || Status == STATUS_BUFFER_TOO_SMALL;
}

// Names the device "\Device\Serial<i>" with the lowest i that neither another device nor another
// SERIALCOMM value holds.
NTSTATUS CreateNamedDevice(PDRIVER_OBJECT DriverObject, CSpPort* pPort, PDEVICE_OBJECT* pDevice) {
    static const WCHAR kPrefix[] = u"\\Device\\Serial";
    for (ULONG i = 0; i < 256; i++) {
        WCHAR aName[32];
        ULONG ulLength = 0;
        for (; kPrefix[ulLength]; ulLength++)
            aName[ulLength] = kPrefix[ulLength];
        WCHAR aDigits[4];
        ULONG ulDigits = 0;
        for (ULONG n = i;;) {
            aDigits[ulDigits++] = static_cast<WCHAR>(u'0' + n % 10);
            n /= 10;
            if (!n)
                break;
        }
        while (ulDigits)
            aName[ulLength++] = aDigits[--ulDigits];
        aName[ulLength] = 0;
        // A name another driver published (the machine's own ports) is taken even without a device.
        if (SerialCommHolds(aName))
            continue;
        UNICODE_STRING uniName;
        RtlInitUnicodeString(&uniName, aName);
        NTSTATUS Status =
            IoCreateDevice(DriverObject, 0, &uniName, FILE_DEVICE_SERIAL_PORT, 0, TRUE, pDevice);
        if (Status == STATUS_OBJECT_NAME_COLLISION)
            continue;
        if (!NT_SUCCESS(Status))
            return Status;
        pPort->DeviceName.Buffer =
            static_cast<PWCHAR>(operator new((ulLength + 1) * sizeof(WCHAR), NonPagedPool));
        if (!pPort->DeviceName.Buffer) {
            IoDeleteDevice(*pDevice);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlCopyMemory(pPort->DeviceName.Buffer, aName, (ulLength + 1) * sizeof(WCHAR));
        pPort->DeviceName.Length = static_cast<USHORT>(ulLength * sizeof(WCHAR));
        pPort->DeviceName.MaximumLength = static_cast<USHORT>((ulLength + 1) * sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS SpAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    CSpPort* pPort = new (NonPagedPool) CSpPort();
    if (!pPort)
        return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT Device = NULL;
    NTSTATUS Status = CreateNamedDevice(DriverObject, pPort, &Device);
    if (!NT_SUCCESS(Status)) {
        delete pPort;
        return Status;
    }
    Device->DeviceExtension = static_cast<CCvDevice*>(pPort);
    Device->Flags |= DO_BUFFERED_IO;
    pPort->DeviceObject = Device;
    pPort->Pdo = Pdo;
    pPort->LowerDevice = IoAttachDeviceToDeviceStack(Device, Pdo);
    if (!pPort->LowerDevice) {
        Device->DeviceExtension = NULL;
        IoDeleteDevice(Device);
        delete pPort;
        return STATUS_NO_SUCH_DEVICE;
    }
    SpTrackPort(pPort, TRUE);
    Device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID SpUnload(PDRIVER_OBJECT) {
    DestructResourceKiller();
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    NTSTATUS Status = ConstructResourceKiller();
    if (!NT_SUCCESS(Status)) {
        DestructResourceKiller();
        return Status;
    }
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = SpDispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = SpPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = SpPower;
    DriverObject->DriverUnload = SpUnload;
    IoDriverExtension(DriverObject)->AddDevice = SpAddDevice;
    return STATUS_SUCCESS;
}
