// The parallel port driver that stands in for the system's on CvInstal's LPT children: the port's name
// (the child's "PortName", or the lowest LPT number free), its link and its value under
// HARDWARE\DEVICEMAP\PARALLEL PORTS, and writes handed byte by byte to the port's data register with a
// strobe pulse each. Its registers are taken from the child's record, inside what the card was given.
#include "CvInstalRecords.h"
#include "StandInIrp.h"

namespace {

const WCHAR kParallelPorts[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\PARALLEL PORTS";
const ULONG kNameLength = 16;

// The registers of a standard parallel port.
const ULONG kLptData = 0;
const ULONG kLptStatus = 1;
const ULONG kLptControl = 2;
const ULONG kLptRegisters = 3;
const UCHAR kControlStrobe = 0x01;
const UCHAR kControlInit = 0x04;
const UCHAR kControlSelectIn = 0x08;
const UCHAR kStatusNotBusy = 0x80;
const ULONG kBusyPolls = 1000;     // a printer that stays busy this long fails the write
const ULONG kPoolTag = 0x74705043; // "CPpt" as pool listings show it

struct PP_PORT {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDevice;
    USHORT unBase;
    ULONG ulLptNumber;
    WCHAR awcDeviceName[32];
    WCHAR awcPortName[kNameLength]; // "LPTn"
    BOOLEAN bStarted;
    BOOLEAN bRemoved;
};

PP_PORT* PortOf(PDEVICE_OBJECT DeviceObject) {
    return static_cast<PP_PORT*>(DeviceObject->DeviceExtension);
}

PUCHAR Register(PP_PORT* pPort, ULONG ulOffset) {
    return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(pPort->unBase + ulOffset));
}

VOID Append(PWCHAR pText, ULONG ulCount, PCWSTR pMore) {
    ULONG i = 0;
    while (i < ulCount && pText[i])
        i++;
    for (ULONG j = 0; pMore[j] && i + 1 < ulCount; j++)
        pText[i++] = pMore[j];
    pText[i < ulCount ? i : ulCount - 1] = 0;
}

VOID AppendNumber(PWCHAR pText, ULONG ulCount, ULONG ulNumber) {
    WCHAR aDigits[12];
    ULONG n = 0;
    do {
        aDigits[n++] = static_cast<WCHAR>(u'0' + ulNumber % 10);
        ulNumber /= 10;
    } while (ulNumber && n < 12);
    WCHAR aText[12];
    for (ULONG i = 0; i < n; i++)
        aText[i] = aDigits[n - 1 - i];
    aText[n] = 0;
    Append(pText, ulCount, aText);
}

// The record's port registers, when they lie inside the card's window for parallel ports.
NTSTATUS ReadRegisters(PP_PORT* pPort) {
    const CCvPort* pRecord = static_cast<const CCvPort*>(pPort->Pdo->DeviceExtension);
    if (!pRecord || pRecord->ulExtensionType != CV_KIND_PORT || pRecord->ulPortType != CV_PORT_LPT ||
        !pRecord->pCard || pRecord->pCard->ulExtensionType != CV_KIND_CARD || pRecord->ulAddressSpace != 1 ||
        pRecord->unPortNumber < 1 || pRecord->unPortNumber > CV_MAX_CHILDREN)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    const CCvCard* pCard = pRecord->pCard;
    ULONG ulWindow = pCard->ulIoWindow2Address, ulLength = pCard->ulIoWindow2AddressRange;
    if (pRecord->ulBusType == Isa) {
        ulWindow = pCard->aulPortAddress[pRecord->unPortNumber - 1];
        ulLength = pCard->aulPortAddressRange[pRecord->unPortNumber - 1];
    }
    const ULONG ulBase = pRecord->ulBaseAddress;
    if (ulLength < kLptRegisters || ulBase < ulWindow || ulBase - ulWindow > ulLength - kLptRegisters ||
        ulBase == 0 || ulBase > 0x10000u - kLptRegisters)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    pPort->unBase = static_cast<USHORT>(ulBase);
    return STATUS_SUCCESS;
}

// Whether another port holds "LPT<n>" as its value under PARALLEL PORTS.
BOOLEAN LptTaken(ULONG ulNumber) {
    UNICODE_STRING uniPath;
    RtlInitUnicodeString(&uniPath, kParallelPorts);
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &uniPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE hKey = NULL;
    if (!NT_SUCCESS(ZwOpenKey(&hKey, KEY_READ, &Attributes)))
        return FALSE;
    WCHAR aWanted[kNameLength + 16] = u"\\DosDevices\\LPT";
    AppendNumber(aWanted, kNameLength + 16, ulNumber);
    BOOLEAN bTaken = FALSE;
    UCHAR aInfo[sizeof(KEY_VALUE_FULL_INFORMATION) + 256];
    for (ULONG i = 0; !bTaken; i++) {
        ULONG ulResult = 0;
        if (!NT_SUCCESS(
                ZwEnumerateValueKey(hKey, i, KeyValueFullInformation, aInfo, sizeof aInfo, &ulResult)))
            break;
        auto* pInfo = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(aInfo);
        const WCHAR* pData = reinterpret_cast<const WCHAR*>(aInfo + pInfo->DataOffset);
        ULONG j = 0;
        while (aWanted[j] && j * sizeof(WCHAR) < pInfo->DataLength && pData[j] == aWanted[j])
            j++;
        bTaken = !aWanted[j] && (j * sizeof(WCHAR) >= pInfo->DataLength || pData[j] == 0);
    }
    ZwClose(hKey);
    return bTaken;
}

// The port's name: its child's "PortName" ("LPTn"), or the lowest number free, written there.
NTSTATUS FindPortName(PP_PORT* pPort) {
    HANDLE hKey = NULL;
    NTSTATUS Status = IoOpenDeviceRegistryKey(pPort->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &hKey);
    if (!NT_SUCCESS(Status))
        return Status;
    UCHAR aInfo[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + kNameLength * sizeof(WCHAR)];
    auto* pInfo = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(aInfo);
    UNICODE_STRING uniValue;
    RtlInitUnicodeString(&uniValue, u"PortName");
    ULONG ulResult = 0, ulNumber = 0;
    if (NT_SUCCESS(
            ZwQueryValueKey(hKey, &uniValue, KeyValuePartialInformation, pInfo, sizeof aInfo, &ulResult)) &&
        pInfo->Type == REG_SZ) {
        const WCHAR* pName = reinterpret_cast<const WCHAR*>(pInfo->Data);
        const ULONG ulLength = pInfo->DataLength / sizeof(WCHAR);
        if (ulLength >= 4 && (pName[0] | 0x20) == u'l' && (pName[1] | 0x20) == u'p' &&
            (pName[2] | 0x20) == u't')
            for (ULONG i = 3; i < ulLength && pName[i] && ulNumber <= 9999; i++)
                ulNumber = pName[i] >= u'0' && pName[i] <= u'9' ? ulNumber * 10 + (pName[i] - u'0') : 100000;
        if (ulNumber == 0 || ulNumber > 9999) {
            ZwClose(hKey);
            return STATUS_DEVICE_CONFIGURATION_ERROR; // a name this driver does not serve
        }
    } else {
        for (ulNumber = 1; ulNumber < 256 && LptTaken(ulNumber); ulNumber++) {
        }
        WCHAR aName[kNameLength] = u"LPT";
        AppendNumber(aName, kNameLength, ulNumber);
        ULONG ulBytes = 0;
        while (aName[ulBytes / sizeof(WCHAR)])
            ulBytes += sizeof(WCHAR);
        ZwSetValueKey(hKey, &uniValue, 0, REG_SZ, aName, ulBytes + sizeof(WCHAR));
    }
    ZwClose(hKey);
    pPort->ulLptNumber = ulNumber;
    pPort->awcPortName[0] = 0;
    Append(pPort->awcPortName, kNameLength, u"LPT");
    AppendNumber(pPort->awcPortName, kNameLength, ulNumber);
    return STATUS_SUCCESS;
}

VOID LinkName(PP_PORT* pPort, PWCHAR pLink, ULONG ulCount) {
    pLink[0] = 0;
    Append(pLink, ulCount, u"\\??\\");
    Append(pLink, ulCount, pPort->awcPortName);
}

NTSTATUS StartPort(PP_PORT* pPort) {
    NTSTATUS Status = ReadRegisters(pPort);
    if (NT_SUCCESS(Status))
        Status = FindPortName(pPort);
    if (!NT_SUCCESS(Status))
        return Status;
    WCHAR aLink[kNameLength + 8];
    LinkName(pPort, aLink, kNameLength + 8);
    UNICODE_STRING uniLink, uniDevice;
    RtlInitUnicodeString(&uniLink, aLink);
    RtlInitUnicodeString(&uniDevice, pPort->awcDeviceName);
    Status = IoCreateSymbolicLink(&uniLink, &uniDevice);
    if (!NT_SUCCESS(Status))
        return Status;
    WCHAR aValue[kNameLength + 16] = u"\\DosDevices\\";
    Append(aValue, kNameLength + 16, pPort->awcPortName);
    ULONG ulBytes = 0;
    while (aValue[ulBytes / sizeof(WCHAR)])
        ulBytes += sizeof(WCHAR);
    RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(kParallelPorts));
    Status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kParallelPorts, pPort->awcDeviceName, REG_SZ,
                                   aValue, ulBytes + sizeof(WCHAR));
    if (!NT_SUCCESS(Status)) {
        IoDeleteSymbolicLink(&uniLink);
        return Status;
    }
    IoGetConfigurationInformation()->ParallelCount++;
    // A printer's lines: initialised and selected, no strobe.
    WRITE_PORT_UCHAR(Register(pPort, kLptControl), kControlInit | kControlSelectIn);
    pPort->bStarted = TRUE;
    return STATUS_SUCCESS;
}

VOID StopPort(PP_PORT* pPort) {
    if (!pPort->bStarted)
        return;
    WCHAR aLink[kNameLength + 8];
    LinkName(pPort, aLink, kNameLength + 8);
    UNICODE_STRING uniLink;
    RtlInitUnicodeString(&uniLink, aLink);
    IoDeleteSymbolicLink(&uniLink);
    RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kParallelPorts, pPort->awcDeviceName);
    IoGetConfigurationInformation()->ParallelCount--;
    pPort->bStarted = FALSE;
}

// Hands the bytes to the printer one by one: the data register, then a strobe pulse.
NTSTATUS WriteBytes(PP_PORT* pPort, PIRP Irp) {
    const ULONG ulLength = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    const UCHAR* pData = static_cast<const UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
    ULONG ulDone = 0;
    for (; ulDone < ulLength && pData; ulDone++) {
        ULONG ulPolls = 0;
        while (!(READ_PORT_UCHAR(Register(pPort, kLptStatus)) & kStatusNotBusy) && ulPolls < kBusyPolls)
            ulPolls++;
        if (ulPolls == kBusyPolls)
            return StandInComplete(Irp, STATUS_DEVICE_BUSY, ulDone);
        WRITE_PORT_UCHAR(Register(pPort, kLptData), pData[ulDone]);
        WRITE_PORT_UCHAR(Register(pPort, kLptControl), kControlInit | kControlSelectIn | kControlStrobe);
        WRITE_PORT_UCHAR(Register(pPort, kLptControl), kControlInit | kControlSelectIn);
    }
    return StandInComplete(Irp, STATUS_SUCCESS, ulDone);
}

NTSTATUS PpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PP_PORT* pPort = PortOf(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return StandInComplete(Irp, STATUS_SUCCESS);
    case IRP_MJ_CREATE:
        if (pPort->bRemoved || !pPort->bStarted)
            return StandInComplete(Irp, pPort->bRemoved ? STATUS_DELETE_PENDING : STATUS_NO_SUCH_DEVICE);
        return StandInComplete(Irp, STATUS_SUCCESS);
    case IRP_MJ_WRITE:
        if (pPort->bRemoved || !pPort->bStarted)
            return StandInComplete(Irp, STATUS_DELETE_PENDING);
        return WriteBytes(pPort, Irp);
    default:
        return StandInComplete(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS PpPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PP_PORT* pPort = PortOf(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS Status = StandInPassDownAndWait(pPort->LowerDevice, Irp);
        if (NT_SUCCESS(Status) && !pPort->bStarted)
            Status = StartPort(pPort);
        pPort->bRemoved = FALSE;
        return StandInComplete(Irp, Status);
    }
    case IRP_MN_STOP_DEVICE:
        StopPort(pPort);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return StandInPassDown(pPort->LowerDevice, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        pPort->bRemoved = TRUE;
        StopPort(pPort);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return StandInPassDown(pPort->LowerDevice, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        pPort->bRemoved = TRUE;
        StopPort(pPort);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        NTSTATUS Status = StandInPassDown(pPort->LowerDevice, Irp);
        IoDetachDevice(pPort->LowerDevice);
        DeviceObject->DeviceExtension = NULL;
        IoDeleteDevice(DeviceObject);
        ExFreePool(pPort);
        return Status;
    }
    default:
        return StandInPassDown(pPort->LowerDevice, Irp);
    }
}

NTSTATUS PpPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(PortOf(DeviceObject)->LowerDevice, Irp);
}

NTSTATUS PpAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    auto* pPort = static_cast<PP_PORT*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PP_PORT), kPoolTag));
    if (!pPort)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(pPort, sizeof *pPort);
    PDEVICE_OBJECT Device = NULL;
    NTSTATUS Status = STATUS_OBJECT_NAME_COLLISION;
    for (ULONG i = 0; i < 256 && Status == STATUS_OBJECT_NAME_COLLISION; i++) {
        pPort->awcDeviceName[0] = 0;
        Append(pPort->awcDeviceName, 32, u"\\Device\\Parallel");
        AppendNumber(pPort->awcDeviceName, 32, i);
        UNICODE_STRING uniName;
        RtlInitUnicodeString(&uniName, pPort->awcDeviceName);
        Status = IoCreateDevice(DriverObject, 0, &uniName, FILE_DEVICE_PARALLEL_PORT, 0, FALSE, &Device);
    }
    if (!NT_SUCCESS(Status)) {
        ExFreePool(pPort);
        return Status;
    }
    Device->DeviceExtension = pPort;
    Device->Flags |= DO_BUFFERED_IO;
    pPort->DeviceObject = Device;
    pPort->Pdo = Pdo;
    pPort->LowerDevice = IoAttachDeviceToDeviceStack(Device, Pdo);
    if (!pPort->LowerDevice) {
        Device->DeviceExtension = NULL;
        IoDeleteDevice(Device);
        ExFreePool(pPort);
        return STATUS_NO_SUCH_DEVICE;
    }
    Device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID PpUnload(PDRIVER_OBJECT) {}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = PpDispatch;
    DriverObject->MajorFunction[IRP_MJ_PNP] = PpPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = PpPower;
    DriverObject->DriverUnload = PpUnload;
    IoDriverExtension(DriverObject)->AddDevice = PpAddDevice;
    return STATUS_SUCCESS;
}
