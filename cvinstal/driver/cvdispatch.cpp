// The dispatch table: plug-and-play and power requests go to the card or the child handler by the kind
// of record behind the device; the child devices' own plug-and-play answers (identity, description,
// capabilities, bus information) and the power handling of cards and children.
#include "CvInstal.h"

#include "CvResourceKiller.h"
#include "CvUnicode.h"

namespace {

ULONG KindOf(PDEVICE_OBJECT DeviceObject) {
    auto* pulKind = static_cast<PULONG>(DeviceObject->DeviceExtension);
    return pulKind ? *pulKind : 0;
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Completes a query with a new pool block, or with STATUS_INSUFFICIENT_RESOURCES and nothing.
NTSTATUS CompleteWith(PIRP Irp, PVOID pvResult) {
    return pvResult ? Complete(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(pvResult))
                    : Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
}

// A child request not the child's to answer keeps the status it came with.
NTSTATUS CompleteUnchanged(PIRP Irp) {
    NTSTATUS Status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// A text into a pool block of its own (single string or one-entry multi-string), or null.
PVOID PoolText(CCvUnicode& uniText, BOOLEAN bMulti) {
    if (uniText.Status != STATUS_SUCCESS)
        return NULL;
    PWSTR pCopy = NULL;
    NTSTATUS Status = bMulti ? uniText.ObtainMultiSzCopy(pCopy) : uniText.ObtainCopy(pCopy);
    return Status == STATUS_SUCCESS ? pCopy : NULL;
}

// The device ID: the card's place on its bus and the port's number, in hexadecimal, run together.
PVOID DeviceId(CCvPort* pPort) {
    CCvCard* pCard = pPort->pCard;
    CCvUnicode uniId(PagedPool);
    if (pCard->ulBusType == PCIBus) {
        if (uniId.Append(u"Ports\\QuorvelPciPort") == STATUS_SUCCESS &&
            uniId.Append(pCard->ulBusNumber, 16) == STATUS_SUCCESS)
            uniId.Append(pCard->SlotNumber.u.AsULONG, 16);
    } else {
        if (uniId.Append(pCard->ulBusType == Isa ? u"Ports\\QuorvelIsaPort" : u"Ports\\QuorvelPcmciaPort") ==
            STATUS_SUCCESS)
            uniId.Append(pCard->ulDeviceReference, 16);
    }
    if (uniId.Status == STATUS_SUCCESS)
        uniId.Append(pPort->unPortNumber, 16);
    return PoolText(uniId, FALSE);
}

NTSTATUS QueryId(CCvPort* pPort, PIRP Irp, ULONG ulIdType) {
    switch (ulIdType) {
    case BusQueryDeviceID:
        return CompleteWith(Irp, DeviceId(pPort));
    case BusQueryHardwareIDs: {
        CCvUnicode uniId(PagedPool, pPort->ulPortType == CV_PORT_COM ? u"Ports\\QuorvelComPort"
                                                                     : u"Ports\\QuorvelLptPort");
        return CompleteWith(Irp, PoolText(uniId, TRUE));
    }
    default:
        // No instance or compatible IDs: the system tells the children apart through their parent.
        return CompleteUnchanged(Irp);
    }
}

NTSTATUS QueryText(CCvPort* pPort, PIRP Irp, ULONG ulTextType) {
    if (ulTextType != DeviceTextDescription)
        return CompleteUnchanged(Irp);
    CCvUnicode uniText(PagedPool);
    if (pPort->ulPortType == CV_PORT_COM) {
        if (uniText.Append(u"Communications Port ") == STATUS_SUCCESS)
            uniText.Append(pPort->unPortNumber, 16);
    } else if (uniText.Append(u"Parallel Port ") == STATUS_SUCCESS) {
        uniText.Append(static_cast<ULONG>(pPort->unPortNumber - pPort->pCard->unNumberComPorts), 16);
    }
    return CompleteWith(Irp, PoolText(uniText, FALSE));
}

// A debug assertion that reports and goes on, as the checked build's assertions do when ignored.
#define CV_REPORT_UNLESS(exp)                                                                                \
    ((exp) ? (void)0                                                                                         \
           : (void)DbgPrint("*** Assertion failed: %s\n***   Source File: %s\n", #exp, "cvdispatch"))

NTSTATUS QueryCapabilities(PIRP Irp, PDEVICE_CAPABILITIES pDeviceCapabilities) {
    CV_REPORT_UNLESS(pDeviceCapabilities->Version == 1);
    CV_REPORT_UNLESS(pDeviceCapabilities->Size == sizeof(DEVICE_CAPABILITIES));
    pDeviceCapabilities->LockSupported = 0;
    pDeviceCapabilities->EjectSupported = 0;
    pDeviceCapabilities->Removable = 0;
    pDeviceCapabilities->DockDevice = 0;
    pDeviceCapabilities->UniqueID = 0;
    pDeviceCapabilities->SilentInstall = 0;
    pDeviceCapabilities->RawDeviceOK = 0;
    pDeviceCapabilities->SurpriseRemovalOK = 0;
    pDeviceCapabilities->WakeFromD0 = 0;
    pDeviceCapabilities->WakeFromD1 = 0;
    pDeviceCapabilities->WakeFromD2 = 0;
    pDeviceCapabilities->WakeFromD3 = 0;
    pDeviceCapabilities->SystemWake = PowerSystemUnspecified;
    pDeviceCapabilities->DeviceWake = PowerDeviceUnspecified;
    pDeviceCapabilities->D1Latency = 0;
    pDeviceCapabilities->D2Latency = 0;
    pDeviceCapabilities->D3Latency = 0;
    return Complete(Irp, STATUS_SUCCESS, Irp->IoStatus.Information);
}

NTSTATUS QueryRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG ulType) {
    if (ulType != TargetDeviceRelation)
        return CompleteUnchanged(Irp);
    auto* pRelations = static_cast<PDEVICE_RELATIONS>(
        ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), CV_TAG_DDK));
    if (!pRelations)
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    pRelations->Count = 1;
    pRelations->Objects[0] = DeviceObject;
    ObReferenceObject(DeviceObject);
    return Complete(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(pRelations));
}

NTSTATUS QueryBusInformation(PIRP Irp) {
    auto* pInfo = static_cast<PPNP_BUS_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), CV_TAG_DDK));
    if (!pInfo)
        return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    pInfo->BusTypeGuid = GUID_CV_CHILD_BUS_TYPE;
    pInfo->LegacyBusType = PNPBus;
    pInfo->BusNumber = 0;
    return Complete(Irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(pInfo));
}

NTSTATUS SetState(CCvPort* pPort, PIRP Irp, ULONG ulState) {
    pPort->ulPnpState = ulState;
    return Complete(Irp, STATUS_SUCCESS, Irp->IoStatus.Information);
}

// Asks each child of the card for the device state; FALSE when a request could not be issued.
BOOLEAN RequestChildrenPower(CCvCard* pCard, POWER_STATE State) {
    BOOLEAN bIssued = TRUE;
    for (ULONG i = 0; i < CV_MAX_CHILDREN; i++)
        if (pCard->apChildPdo[i] && PoRequestPowerIrp(pCard->apChildPdo[i], IRP_MN_SET_POWER, State, NULL,
                                                      NULL, NULL) != STATUS_PENDING)
            bIssued = FALSE;
    return bIssued;
}

NTSTATUS PassPowerDown(CCvCard* pCard, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(pCard->LowerDeviceObject, Irp);
}

} // namespace

VOID ExportEntryPoints(PDRIVER_OBJECT DriverObject) {
    IoDriverExtension(DriverObject)->AddDevice = DispatchAddDevice;
    DriverObject->DriverUnload = Unload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    switch (KindOf(DeviceObject)) {
    case CV_KIND_PORT:
        return DispatchPnpPdo(DeviceObject, Irp);
    case CV_KIND_CARD:
        return DispatchPnpFdo(DeviceObject, Irp);
    default:
        return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
    }
}

NTSTATUS DispatchPnpPdo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* pPort = static_cast<CCvPort*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    switch (IrpSp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        return SetState(pPort, Irp, CV_PNP_STARTED);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return SetState(pPort, Irp, CV_PNP_REMOVE_PENDING);
    case IRP_MN_REMOVE_DEVICE:
        return SetState(pPort, Irp, CV_PNP_REMOVED); // the device stays until its card goes
    case IRP_MN_STOP_DEVICE:
        return SetState(pPort, Irp, CV_PNP_STOPPED);
    case IRP_MN_QUERY_STOP_DEVICE:
        return SetState(pPort, Irp, CV_PNP_STOP_PENDING);
    case IRP_MN_SURPRISE_REMOVAL:
        return SetState(pPort, Irp, CV_PNP_SURPRISE_REMOVED);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return QueryRelations(DeviceObject, Irp, IrpSp->Parameters.QueryDeviceRelations.Type);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(Irp, IrpSp->Parameters.DeviceCapabilities.Capabilities);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return QueryText(pPort, Irp, IrpSp->Parameters.QueryDeviceText.DeviceTextType);
    case IRP_MN_QUERY_ID:
        return QueryId(pPort, Irp, IrpSp->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_BUS_INFORMATION:
        return QueryBusInformation(Irp);
    default:
        return CompleteUnchanged(Irp);
    }
}

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    switch (KindOf(DeviceObject)) {
    case CV_KIND_PORT:
        return DispatchPowerPdo(DeviceObject, Irp);
    case CV_KIND_CARD:
        return DispatchPowerFdo(DeviceObject, Irp);
    default:
        PoStartNextPowerIrp(Irp);
        return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
    }
}

NTSTATUS DispatchPowerFdo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* pCard = static_cast<CCvCard*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    if (IrpSp->MinorFunction == IRP_MN_QUERY_POWER) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassPowerDown(pCard, Irp);
    }
    if (IrpSp->MinorFunction != IRP_MN_SET_POWER || IrpSp->Parameters.Power.Type != DevicePowerState)
        return PassPowerDown(pCard, Irp);

    POWER_STATE State;
    State.DeviceState = static_cast<DEVICE_POWER_STATE>(IrpSp->Parameters.Power.State);
    if (IrpSp->Parameters.Power.State < pCard->DevicePowerState) {
        // More power: the card comes up first, its children once the lower drivers have it up.
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, FdoDevicePowerCompletionRoutine, pCard, TRUE, TRUE, TRUE);
        return PoCallDriver(pCard->LowerDeviceObject, Irp);
    }
    // Less power: the children go down before the card does.
    if (!RequestChildrenPower(pCard, State)) {
        PoStartNextPowerIrp(Irp);
        return Complete(Irp, STATUS_UNSUCCESSFUL, 0);
    }
    PoSetPowerState(DeviceObject, DevicePowerState, State);
    pCard->DevicePowerState = State.DeviceState;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassPowerDown(pCard, Irp);
}

NTSTATUS FdoDevicePowerCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    auto* pCard = static_cast<CCvCard*>(Context);
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    POWER_STATE State;
    State.DeviceState = static_cast<DEVICE_POWER_STATE>(IrpSp->Parameters.Power.State);
    pCard->DevicePowerState = State.DeviceState;
    PoSetPowerState(DeviceObject, DevicePowerState, State);
    if (!RequestChildrenPower(pCard, State))
        Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    PoStartNextPowerIrp(Irp);
    return STATUS_SUCCESS;
}

NTSTATUS DispatchPowerPdo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* pPort = static_cast<CCvPort*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status = STATUS_NOT_IMPLEMENTED;
    if (IrpSp->MinorFunction == IRP_MN_QUERY_POWER) {
        Status = STATUS_SUCCESS;
    } else if (IrpSp->MinorFunction == IRP_MN_SET_POWER) {
        if (IrpSp->Parameters.Power.Type == SystemPowerState) {
            Status = STATUS_SUCCESS;
        } else if (IrpSp->Parameters.Power.Type == DevicePowerState) {
            POWER_STATE State;
            State.DeviceState = static_cast<DEVICE_POWER_STATE>(IrpSp->Parameters.Power.State);
            PoSetPowerState(DeviceObject, DevicePowerState, State);
            pPort->DevicePowerState = State.DeviceState;
            Status = STATUS_SUCCESS;
        }
    }
    PoStartNextPowerIrp(Irp);
    return Complete(Irp, Status, Status == STATUS_SUCCESS ? Irp->IoStatus.Information : 0);
}
