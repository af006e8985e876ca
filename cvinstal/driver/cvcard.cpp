// The card device: added above the card's physical device object, started with the resources the
// system gave the card (what card it is, its template and parameters, its children, its registry
// entries and interface), and carried through stop, removal and the other plug-and-play requests.
#include "CvInstal.h"

#include "CvErrorLog.h"
#include "CvResourceKiller.h"
#include "cvinstalmsg.h"

namespace {

// A request passed down as it came.
NTSTATUS PassDown(CCvCard* pCard, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(pCard->LowerDeviceObject, Irp);
}

// A request passed down and waited for; its final status.
NTSTATUS PassDownAndWait(CCvCard* pCard, PIRP Irp) {
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, StandardCompletionRoutine, &Event, TRUE, TRUE, TRUE);
    NTSTATUS Status = IoCallDriver(pCard->LowerDeviceObject, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = Irp->IoStatus.Status;
    }
    return Status;
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Releases the memory windows a start mapped.
VOID UnmapWindows(CCvCard* pCard) {
    if (pCard->pvPlxMemory)
        MmUnmapIoSpace(pCard->pvPlxMemory, pCard->ulPlxMemoryRange);
    if (pCard->pvBaseMemory)
        MmUnmapIoSpace(pCard->pvBaseMemory, pCard->ulBaseMemoryRange);
    pCard->pvPlxMemory = pCard->pvBaseMemory = NULL;
    pCard->ulPlxMemoryRange = pCard->ulBaseMemoryRange = 0;
}

VOID ReleaseInterfaceName(CCvCard* pCard) {
    if (pCard->uniInterfaceName.Buffer) {
        UnRegisterDeviceInterface(&pCard->uniInterfaceName);
        RtlFreeUnicodeString(&pCard->uniInterfaceName);
    }
}

// The card's first hardware ID, kept in the card (its buffer the property block, released with it).
VOID KeepHardwareID(CCvCard* pCard, PWSTR pIds) {
    ULONG ulChars = 0;
    while (pIds[ulChars])
        ulChars++;
    if (pCard->uniHardwareID.Buffer)
        ExFree(pCard->uniHardwareID.Buffer);
    pCard->uniHardwareID.Buffer = pIds;
    pCard->uniHardwareID.Length = static_cast<USHORT>(ulChars * sizeof(WCHAR));
    pCard->uniHardwareID.MaximumLength = static_cast<USHORT>((ulChars + 1) * sizeof(WCHAR));
}

// The template found for a card, by bus.
struct CardTemplate {
    PTemplatesCardPciStruct pPci;
    PTemplatesCardIsaStruct pIsa;
    PTemplatesCardPcmciaStruct pPcmcia;
};

VOID CopyTemplateClock(CCvCard* pCard, ULONG ulType, ULONG ulDivisor, ULONG ulMaximumBaudrate) {
    pCard->ucPlxBaudClockType = static_cast<UCHAR>(ulType);
    pCard->unPlxBaudClockDivisor = static_cast<USHORT>(ulDivisor);
    pCard->ulMaximumBaudrate = ulMaximumBaudrate;
}

// An ISA or PCMCIA card: known by its first hardware ID, numbered by its device key.
NTSTATUS IdentifyByHardwareID(CCvCard* pCard, PWSTR pIds, CardTemplate& Template) {
    pCard->ulBusType = Template.pIsa ? Isa : PCMCIABus;
    KeepHardwareID(pCard, pIds);
    NTSTATUS Status = GetDeviceReferenceForPdo(pCard->PhysicalDeviceObject, &pCard->ulDeviceReference);
    if (Status != STATUS_SUCCESS)
        return Status;
    if (Template.pIsa) {
        CopyTemplateClock(pCard, Template.pIsa->PlxBaudClockType, Template.pIsa->PlxBaudClockDivisor,
                          Template.pIsa->MaximumBaudrate);
    } else {
        CopyTemplateClock(pCard, Template.pPcmcia->PlxBaudClockType, Template.pPcmcia->PlxBaudClockDivisor,
                          Template.pPcmcia->MaximumBaudrate);
        UpdatePcmciaCard(pCard); // the card's registry entries as they stand now; its result changes nothing
    }
    return STATUS_SUCCESS;
}

// A PCI card (or a device on a plug-and-play bus): known by the identifiers in its hardware ID and, on
// PCI, by its place on the bus.
NTSTATUS IdentifyPciCard(CCvCard* pCard, PWSTR pIds, ULONG ulLength, CardTemplate& Template) {
    NTSTATUS Status = GetPciIDsFromHardwareID(pIds, ulLength / sizeof(WCHAR), &pCard->unVendorID,
                                              &pCard->unDeviceID, &pCard->ulSubsysID);
    ExFree(pIds);
    if (Status != STATUS_SUCCESS)
        return Status;
    PVOID pvBus = NULL;
    Status =
        CvIoGetDeviceProperty(pCard->PhysicalDeviceObject, DevicePropertyLegacyBusType, &pvBus, &ulLength);
    if (Status != STATUS_SUCCESS)
        return Status;
    pCard->ulBusType = ulLength >= sizeof(ULONG) ? *static_cast<PULONG>(pvBus) : CV_NOT_GIVEN;
    ExFree(pvBus);
    if (pCard->ulBusType != PCIBus && pCard->ulBusType != PNPBus)
        return STATUS_NOT_SUPPORTED;
    if (pCard->ulBusType != PCIBus)
        return STATUS_SUCCESS;
    PVOID pvLocation = NULL;
    Status = CvIoGetDeviceProperty(pCard->PhysicalDeviceObject, DevicePropertyLocationInformation,
                                   &pvLocation, &ulLength);
    if (Status != STATUS_SUCCESS)
        return Status;
    Status = GetBusAndSlotNumberFromLocationInformation(
        static_cast<PCWSTR>(pvLocation), ulLength / sizeof(WCHAR), &pCard->ulBusNumber, &pCard->SlotNumber);
    ExFree(pvLocation);
    if (Status != STATUS_SUCCESS)
        return Status;
    Template.pPci = MatchPciDevicesWithTemplates(pCard, TRUE);
    if (!Template.pPci)
        return STATUS_UNSUCCESSFUL;
    CopyTemplateClock(pCard, Template.pPci->PlxBaudClockType, Template.pPci->PlxBaudClockDivisor,
                      Template.pPci->MaximumBaudrate);
    return STATUS_SUCCESS;
}

// What card this is: its bus, its template and the values the card takes from it.
NTSTATUS IdentifyCard(CCvCard* pCard, CardTemplate& Template) {
    PVOID pvIds = NULL;
    ULONG ulLength = 0;
    NTSTATUS Status =
        CvIoGetDeviceProperty(pCard->PhysicalDeviceObject, DevicePropertyHardwareID, &pvIds, &ulLength);
    if (Status != STATUS_SUCCESS)
        return Status;
    auto* pIds = static_cast<PWSTR>(pvIds);
    UNICODE_STRING uniFirst;
    RtlInitUnicodeString(&uniFirst, pIds);
    Template.pIsa = MatchIsaDevicesWithTemplates(&uniFirst);
    Template.pPcmcia = Template.pIsa ? NULL : MatchPcmciaDevicesWithTemplates(&uniFirst);
    if (Template.pIsa || Template.pPcmcia)
        return IdentifyByHardwareID(pCard, pIds, Template);
    return IdentifyPciCard(pCard, pIds, ulLength, Template);
}

// The card's resources, then its children with their share and their settings from the template and
// the card's parameters. Runs under the bus's lock: an update may replace the parameters meanwhile.
NTSTATUS CreateChildrenLocked(CCvCard* pCard, const CardTemplate& Template, PCM_RESOURCE_LIST pRaw,
                              PCM_RESOURCE_LIST pTranslated) {
    NTSTATUS Status;
    if (pCard->ulBusType == PCIBus || pCard->ulBusType == PNPBus)
        Status = FillExtensionWithPciResourceInformation(pCard, pRaw, pTranslated);
    else if (pCard->ulBusType == Isa)
        Status = FillExtensionWithIsaResourceInformation(pCard, Template.pIsa, pRaw, pTranslated);
    else
        Status = FillExtensionWithPcmciaResourceInformation(pCard, pRaw, pTranslated);
    if (Status != STATUS_SUCCESS)
        return STATUS_UNSUCCESSFUL;
    if (pCard->ulBusType == PCIBus)
        Status = GeneratePdosForPciChildPorts(pCard->DeviceObject, pCard, Template.pPci,
                                              MatchPciDevicesWithParameters(pPciParametersList, pCard));
    else if (pCard->ulBusType == Isa)
        Status = GeneratePdosForIsaChildPorts(pCard->DeviceObject, pCard, Template.pIsa,
                                              MatchIsaDevicesWithParameters(pIsaParametersList, pCard));
    else if (pCard->ulBusType == PCMCIABus)
        Status =
            GeneratePdosForPcmciaChildPorts(pCard->DeviceObject, pCard, Template.pPcmcia,
                                            MatchPcmciaDevicesWithParameters(pPcmciaParametersList, pCard));
    return Status == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// The start sequence once the lower drivers have started the card; the status the start ends with.
NTSTATUS StartCard(CCvCard* pCard, PIO_STACK_LOCATION IrpSp) {
    CardTemplate Template = {NULL, NULL, NULL};
    NTSTATUS Status = IdentifyCard(pCard, Template);
    if (Status != STATUS_SUCCESS)
        return Status;
    UnmapWindows(pCard);
    CvLockBus(pCard->ulBusType);
    Status = CreateChildrenLocked(pCard, Template, IrpSp->Parameters.StartDevice.AllocatedResources,
                                  IrpSp->Parameters.StartDevice.AllocatedResourcesTranslated);
    CvUnlockBus(pCard->ulBusType);
    if (Status != STATUS_SUCCESS)
        return Status;
    if (pCard->ulBusType == PNPBus)
        return STATUS_SUCCESS; // resources only: no children, registry entries or interface

    Status = pCard->ulBusType == PCIBus ? WritePciInformationToDeviceRegistryKey(pCard)
                                        : WriteIsaInformationToDeviceRegistryKey(pCard);
    if (Status != STATUS_SUCCESS)
        return Status;
    ReleaseInterfaceName(pCard);
    if (pCard->ulBusType == PCIBus)
        RegisterPciDeviceInterface(pCard->PhysicalDeviceObject, pCard->unVendorID, pCard->unDeviceID,
                                   pCard->ulBusNumber, pCard->SlotNumber.u.AsULONG);
    else if (pCard->ulBusType == Isa)
        RegisterIsaDeviceInterface(pCard->PhysicalDeviceObject, pCard->ulDeviceReference,
                                   &pCard->uniHardwareID, &pCard->uniInterfaceName);
    else
        RegisterPcmciaDeviceInterface(pCard->PhysicalDeviceObject, pCard->ulDeviceReference,
                                      &pCard->uniHardwareID, &pCard->uniInterfaceName);
    return STATUS_SUCCESS;
}

// Bus relations: whatever the lower drivers reported, followed by the card's children, each referenced.
NTSTATUS AddChildrenToRelations(CCvCard* pCard, PIRP Irp) {
    auto* pOld = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    ULONG ulOld = pOld ? pOld->Count : 0;
    ULONG ulChildren = static_cast<ULONG>(pCard->unNumberComPorts) + pCard->unNumberLptPorts;
    if (ulChildren > CV_MAX_CHILDREN)
        ulChildren = CV_MAX_CHILDREN;
    ULONG ulSize = static_cast<ULONG>(offsetof(DEVICE_RELATIONS, Objects) +
                                      (ulOld + ulChildren + 1) * sizeof(PDEVICE_OBJECT));
    auto* pNew = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(NonPagedPool, ulSize, CV_TAG_DDK));
    if (!pNew)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(pNew, ulSize);
    for (ULONG i = 0; i < ulOld; i++)
        pNew->Objects[i] = pOld->Objects[i];
    ULONG ulCount = ulOld;
    for (ULONG n = 0; n < ulChildren; n++) {
        if (!pCard->apChildPdo[n])
            continue;
        ObReferenceObject(pCard->apChildPdo[n]);
        pNew->Objects[ulCount++] = pCard->apChildPdo[n];
    }
    pNew->Count = ulCount;
    if (pOld)
        ExFreePool(pOld);
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(pNew);
    return STATUS_SUCCESS;
}

} // namespace

CCvCard::CCvCard() {
    RtlZeroMemory(this, sizeof *this);
    ulExtensionType = CV_KIND_CARD;
    ulBusType = CV_NOT_GIVEN;
    bUsePortSpaceAccess = 1;
}

CCvCard::~CCvCard() {
    if (uniHardwareID.Buffer)
        ExFree(uniHardwareID.Buffer);
    if (uniInterfaceName.Buffer)
        RtlFreeUnicodeString(&uniInterfaceName);
}

NTSTATUS StandardCompletionRoutine(PDEVICE_OBJECT, PIRP, PVOID Context) {
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS DispatchAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    auto* pCard = new (NonPagedPool) CCvCard;
    if (!pCard)
        return STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT DeviceObject = NULL;
    if (CreateDeviceObjectAndSymbolicLink(DriverObject, NULL, NULL, &DeviceObject, pCard, TRUE) !=
        STATUS_SUCCESS) {
        delete pCard;
        return STATUS_UNSUCCESSFUL;
    }
    DeviceObject->Flags |= DO_BUFFERED_IO;
    DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    if (PhysicalDeviceObject->Flags & DO_POWER_PAGABLE) {
        DeviceObject->Flags |= DO_POWER_PAGABLE;
        pCard->bPowerPagable = 1;
    }
    pCard->DeviceObject = DeviceObject;
    pCard->PhysicalDeviceObject = PhysicalDeviceObject;
    pCard->ulLogLevel = ulGlobalLogLevel;
    pCard->LowerDeviceObject = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
    if (!pCard->LowerDeviceObject) {
        IoDeleteDevice(DeviceObject);
        delete pCard;
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS DispatchPnpFdo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* pCard = static_cast<CCvCard*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status;
    switch (IrpSp->MinorFunction) {
    case IRP_MN_START_DEVICE:
        Status = PassDownAndWait(pCard, Irp);
        if (NT_SUCCESS(Status)) {
            Status = StartCard(pCard, IrpSp);
            if (Status == STATUS_SUCCESS)
                pCard->ulPnpState = CV_PNP_STARTED;
        }
        return Complete(Irp, Status);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (pCard->ulPagingPathCount)
            return Complete(Irp, STATUS_UNSUCCESSFUL); // a paging file lies on the card
        pCard->ulPnpState = CV_PNP_REMOVE_PENDING;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pCard, Irp);
    case IRP_MN_REMOVE_DEVICE: {
        ReleaseInterfaceName(pCard);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        PassDown(pCard, Irp);
        IoDetachDevice(pCard->LowerDeviceObject);
        CvDeleteChildren(pCard);
        UnmapWindows(pCard);
        delete pCard;
        DeviceObject->DeviceExtension = NULL;
        IoDeleteDevice(DeviceObject);
        return STATUS_SUCCESS;
    }
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        pCard->ulPnpState = CV_PNP_STARTED;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pCard, Irp);
    case IRP_MN_STOP_DEVICE:
        ReleaseInterfaceName(pCard);
        UnmapWindows(pCard);
        pCard->ulPnpState = CV_PNP_STOPPED;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pCard, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        pCard->ulPnpState = CV_PNP_STOP_PENDING;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pCard, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (IrpSp->Parameters.QueryDeviceRelations.Type != BusRelations)
            return PassDown(pCard, Irp);
        Status = AddChildrenToRelations(pCard, Irp);
        if (Status != STATUS_SUCCESS)
            return Complete(Irp, Status);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pCard, Irp);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        Status = PassDownAndWait(pCard, Irp);
        if (NT_SUCCESS(Status)) {
            // Whatever the kind of file, both counts follow the card's place in its path.
            if (IrpSp->Parameters.UsageNotification.InPath) {
                pCard->ulPagingPathCount++;
                pCard->ulUsageNotificationCount++;
            } else {
                if (pCard->ulPagingPathCount)
                    pCard->ulPagingPathCount--;
                if (pCard->ulUsageNotificationCount)
                    pCard->ulUsageNotificationCount--;
            }
            Status = STATUS_SUCCESS;
        }
        return Complete(Irp, Status);
    case IRP_MN_SURPRISE_REMOVAL:
        pCard->ulPnpState = CV_PNP_SURPRISE_REMOVED;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(pCard, Irp);
    default:
        return PassDown(pCard, Irp);
    }
}

NTSTATUS QueryResources(PCM_RESOURCE_LIST pResources, UCHAR ucType, USHORT unFlagMask, ULONG ulIndex,
                        PULONG pulFirst, PULONG pulSecond, PULONG pulThird) {
    if (!pResources || pResources->Count != 1)
        return STATUS_UNSUCCESSFUL;
    PCM_PARTIAL_RESOURCE_LIST pPartial = &pResources->List[0].PartialResourceList;
    ULONG ulSeen = 0;
    for (ULONG i = 0; i < pPartial->Count; i++) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR d = &pPartial->PartialDescriptors[i];
        if (d->Type != ucType || (d->Flags & unFlagMask) != unFlagMask || ++ulSeen != ulIndex)
            continue;
        switch (ucType) {
        case CmResourceTypePort:
        case CmResourceTypeMemory:
            *pulFirst = d->u.Generic.Start.LowPart;
            *pulSecond = static_cast<ULONG>(d->u.Generic.Start.HighPart);
            *pulThird = d->u.Generic.Length;
            break;
        case CmResourceTypeInterrupt:
            *pulFirst = d->u.Interrupt.Level;
            *pulSecond = d->u.Interrupt.Vector;
            *pulThird = static_cast<ULONG>(d->u.Interrupt.Affinity);
            break;
        case CmResourceTypeDma:
            *pulFirst = d->u.Dma.Channel;
            *pulSecond = d->u.Dma.Port;
            *pulThird = 0;
            break;
        default:
            return STATUS_UNSUCCESSFUL;
        }
        return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

namespace {

const USHORT kIoRange = CM_RESOURCE_PORT_IO;

} // namespace

NTSTATUS FillExtensionWithPciResourceInformation(CCvCard* pCard, PCM_RESOURCE_LIST pRaw,
                                                 PCM_RESOURCE_LIST pTranslated) {
    ULONG ulHigh = 0, ulIgnored = 0;
    if (QueryResources(pTranslated, CmResourceTypePort, kIoRange, 1, &pCard->ulPlxAddress, &ulHigh,
                       &pCard->ulPlxAddressRange) != STATUS_SUCCESS ||
        QueryResources(pTranslated, CmResourceTypePort, kIoRange, 2, &pCard->ulBaseAddress, &ulHigh,
                       &pCard->ulBaseAddressRange) != STATUS_SUCCESS ||
        QueryResources(pRaw, CmResourceTypePort, kIoRange, 2, &pCard->ulBusRelativeBaseAddress, &ulHigh,
                       &ulIgnored) != STATUS_SUCCESS)
        return STATUS_UNSUCCESSFUL;
    if (QueryResources(pTranslated, CmResourceTypePort, kIoRange, 3, &pCard->ulIoWindow2Address, &ulHigh,
                       &pCard->ulIoWindow2AddressRange) == STATUS_SUCCESS)
        QueryResources(pRaw, CmResourceTypePort, kIoRange, 3, &pCard->ulBusRelativeIoWindow2Address, &ulHigh,
                       &ulIgnored);
    ULONG ulRawLevel = 0, ulRawAffinity = 0;
    if (QueryResources(pTranslated, CmResourceTypeInterrupt, 0, 1, &pCard->ulInterruptLevel,
                       &pCard->ulInterruptVector, &pCard->ulInterruptAffinity) != STATUS_SUCCESS ||
        QueryResources(pRaw, CmResourceTypeInterrupt, 0, 1, &ulRawLevel, &pCard->ulBusRelativeInterruptVector,
                       &ulRawAffinity) != STATUS_SUCCESS)
        return STATUS_UNSUCCESSFUL;
    // The memory windows, when the card has them, mapped uncached.
    ULONG ulStart = 0, ulLength = 0;
    PHYSICAL_ADDRESS Physical;
    if (QueryResources(pTranslated, CmResourceTypeMemory, 0, 1, &ulStart, &ulHigh, &ulLength) ==
        STATUS_SUCCESS) {
        Physical.LowPart = ulStart;
        Physical.HighPart = static_cast<LONG>(ulHigh);
        pCard->pvPlxMemory = MmMapIoSpace(Physical, ulLength, MmNonCached);
        pCard->ulPlxMemoryRange = pCard->pvPlxMemory ? ulLength : 0;
    }
    if (QueryResources(pTranslated, CmResourceTypeMemory, 0, 2, &ulStart, &ulHigh, &ulLength) ==
        STATUS_SUCCESS) {
        Physical.LowPart = ulStart;
        Physical.HighPart = static_cast<LONG>(ulHigh);
        pCard->pvBaseMemory = MmMapIoSpace(Physical, ulLength, MmNonCached);
        pCard->ulBaseMemoryRange = pCard->pvBaseMemory ? ulLength : 0;
        QueryResources(pRaw, CmResourceTypeMemory, 0, 2, &pCard->ulBusRelativeBaseMemory, &ulHigh,
                       &ulIgnored);
    }
    pCard->bUsePortSpaceAccess = pCard->pvPlxMemory && pCard->ulPlxMemoryRange && pCard->pvBaseMemory &&
                                         pCard->ulBaseMemoryRange && pCard->ulBusRelativeBaseMemory
                                     ? 0
                                     : 1;
    return STATUS_SUCCESS;
}

NTSTATUS FillExtensionWithIsaResourceInformation(CCvCard* pCard, PTemplatesCardIsaStruct pTemplate,
                                                 PCM_RESOURCE_LIST pRaw, PCM_RESOURCE_LIST pTranslated) {
    const ULONG ulPorts = pTemplate->nComPorts + pTemplate->nLptPorts;
    const ULONG ulSpacing = pTemplate->ComBaseAddressAlignment;
    ULONG ulFirstLength = 0;
    for (ULONG i = 1; i <= ulPorts && i <= CV_MAX_CHILDREN; i++) {
        const ULONG n = i - 1;
        ULONG ulHigh = 0, ulLength = 0;
        if (QueryResources(pTranslated, CmResourceTypePort, kIoRange, i, &pCard->aulPortAddress[n], &ulHigh,
                           &ulLength) == STATUS_SUCCESS) {
            pCard->aulPortAddressRange[n] = pTemplate->AddressesBanked ? ulSpacing : ulLength;
            if (i == 1)
                ulFirstLength = ulLength;
        } else if (pTemplate->AddressesBanked && i > 1) {
            // A port that follows port 1 must lie in the range the card was given for port 1.
            if (ulSpacing * i > ulFirstLength)
                return STATUS_UNSUCCESSFUL;
            pCard->aulPortAddress[n] = pCard->aulPortAddress[0] + ulSpacing * n;
            pCard->aulPortAddressRange[n] = ulSpacing;
        } else {
            return STATUS_UNSUCCESSFUL;
        }
        if (QueryResources(pRaw, CmResourceTypePort, kIoRange, i, &pCard->aulBusRelativePortAddress[n],
                           &ulHigh, &ulLength) != STATUS_SUCCESS) {
            if (!pTemplate->AddressesBanked || i == 1)
                return STATUS_UNSUCCESSFUL;
            pCard->aulBusRelativePortAddress[n] = pCard->aulBusRelativePortAddress[0] + ulSpacing * n;
        }
        ULONG ulRawLevel = 0, ulRawAffinity = 0;
        if (QueryResources(pTranslated, CmResourceTypeInterrupt, 0, i, &pCard->aulInterruptLevel[n],
                           &pCard->aulInterruptVector[n],
                           &pCard->aulInterruptAffinity[n]) == STATUS_SUCCESS &&
            QueryResources(pRaw, CmResourceTypeInterrupt, 0, i, &ulRawLevel,
                           &pCard->aulBusRelativeInterruptVector[n], &ulRawAffinity) == STATUS_SUCCESS)
            continue;
        if (!pTemplate->IrqShared || i == 1)
            return STATUS_UNSUCCESSFUL;
        pCard->aulInterruptLevel[n] = pCard->aulInterruptLevel[0];
        pCard->aulInterruptVector[n] = pCard->aulInterruptVector[0];
        pCard->aulInterruptAffinity[n] = pCard->aulInterruptAffinity[0];
        pCard->aulBusRelativeInterruptVector[n] = pCard->aulBusRelativeInterruptVector[0];
    }
    pCard->bUsePortSpaceAccess = 1;
    return STATUS_SUCCESS;
}

NTSTATUS FillExtensionWithPcmciaResourceInformation(CCvCard* pCard, PCM_RESOURCE_LIST pRaw,
                                                    PCM_RESOURCE_LIST pTranslated) {
    ULONG ulHigh = 0, ulIgnored = 0, ulRawLevel = 0, ulRawAffinity = 0;
    pCard->ulPlxAddress = pCard->ulPlxAddressRange = 0;
    if (QueryResources(pTranslated, CmResourceTypePort, kIoRange, 1, &pCard->ulBaseAddress, &ulHigh,
                       &pCard->ulBaseAddressRange) != STATUS_SUCCESS ||
        QueryResources(pRaw, CmResourceTypePort, kIoRange, 1, &pCard->ulBusRelativeBaseAddress, &ulHigh,
                       &ulIgnored) != STATUS_SUCCESS ||
        QueryResources(pTranslated, CmResourceTypeInterrupt, 0, 1, &pCard->ulInterruptLevel,
                       &pCard->ulInterruptVector, &pCard->ulInterruptAffinity) != STATUS_SUCCESS ||
        QueryResources(pRaw, CmResourceTypeInterrupt, 0, 1, &ulRawLevel, &pCard->ulBusRelativeInterruptVector,
                       &ulRawAffinity) != STATUS_SUCCESS)
        return STATUS_UNSUCCESSFUL;
    pCard->bUsePortSpaceAccess = 1;
    return STATUS_SUCCESS;
}

UCHAR DecideAboutAccess(PTemplatesCardPciStruct pTemplate, PParametersCardPciStruct pParameters,
                        CCvCard* pCard) {
    if (pTemplate->AlwaysUsePortSpaceAccess) {
        pCard->bUsePortSpaceAccess = 1;
        return 1;
    }
    if (pParameters && pParameters->AlwaysUsePortSpaceAccess == 1)
        return 1;
    return pCard->bUsePortSpaceAccess;
}

VOID EnterResources(PTemplatesCardPciStruct pTemplate, CCvPort* pPort, CCvCard* pCard, USHORT unPortNumber) {
    const ULONG ulSpacing = pTemplate->ComBaseAddressAlignment;
    const ULONG ulOffset = ulSpacing * (unPortNumber - 1u);
    if (pPort->bUsePortSpaceAccess) {
        pPort->ulAddressSpace = 1;
        pPort->ulBaseAddress = pCard->ulBaseAddress + ulOffset;
        pPort->ulBusRelativeBaseAddress = pCard->ulBusRelativeBaseAddress + ulOffset;
    } else {
        // The mapped window's address, which the drivers' 32-bit platform keeps in the record's field.
        pPort->ulAddressSpace = 0;
        pPort->ulBaseAddress =
            static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(pCard->pvBaseMemory)) + ulOffset;
        pPort->ulBusRelativeBaseAddress = pCard->ulBusRelativeBaseMemory + ulOffset;
    }
    pPort->ulBaseAddressRange = ulSpacing;
    pPort->ulInterruptLevel = pCard->ulInterruptLevel;
    pPort->ulInterruptVector = pCard->ulInterruptVector;
    pPort->ulInterruptAffinity = pCard->ulInterruptAffinity;
    pPort->ulBusRelativeInterruptVector = pCard->ulBusRelativeInterruptVector;
}

NTSTATUS CvIoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY Property,
                               PVOID* ppvBuffer, PULONG pulLength) {
    *ppvBuffer = NULL;
    ULONG ulSize = 100;
    for (int iTry = 0; iTry < 2; iTry++) {
        PVOID pvBuffer = ExAllocate(PagedPool, ulSize);
        if (!pvBuffer)
            return STATUS_INSUFFICIENT_RESOURCES;
        ULONG ulResult = 0;
        NTSTATUS Status = IoGetDeviceProperty(DeviceObject, Property, ulSize, pvBuffer, &ulResult);
        if (Status == STATUS_SUCCESS) {
            *ppvBuffer = pvBuffer;
            *pulLength = ulResult;
            return STATUS_SUCCESS;
        }
        ExFree(pvBuffer);
        if (Status != STATUS_BUFFER_TOO_SMALL)
            break;
        ulSize = ulResult; // the length the system reported
    }
    return STATUS_INSUFFICIENT_RESOURCES;
}

namespace {

// A group of exactly ulDigits hexadecimal digits at pText, as the counted string reads numbers.
BOOLEAN HexGroup(PCWSTR pText, ULONG ulDigits, PULONG pulValue) {
    WCHAR awc[9];
    for (ULONG i = 0; i < ulDigits; i++) {
        WCHAR c = pText[i];
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F')))
            return FALSE;
        awc[i] = c;
    }
    awc[ulDigits] = UNICODE_NULL;
    CCvUnicode uniNumber(PagedPool, awc);
    if (uniNumber.Status != STATUS_SUCCESS)
        return FALSE;
    *pulValue = uniNumber;
    return TRUE;
}

// Whether the text at ulAt starts with pPrefix, within ulLength characters.
BOOLEAN StartsWith(PCWSTR pText, ULONG ulLength, ULONG ulAt, PCWSTR pPrefix) {
    for (ULONG i = 0; pPrefix[i]; i++)
        if (ulAt + i >= ulLength || pText[ulAt + i] != pPrefix[i])
            return FALSE;
    return TRUE;
}

} // namespace

NTSTATUS GetPciIDsFromHardwareID(PCWSTR pHardwareID, ULONG ulLength, PUSHORT punVendor, PUSHORT punDevice,
                                 PULONG pulSubsystem) {
    ULONG ulAt = 0;
    while (ulAt < ulLength && pHardwareID[ulAt] && pHardwareID[ulAt] != u'\\')
        ulAt++;
    if (ulAt >= ulLength || pHardwareID[ulAt] != u'\\')
        return STATUS_UNSUCCESSFUL;
    ulAt++;
    ULONG ulVendor = 0, ulDevice = 0, ulSubsystem = 0;
    const ULONG ulVen = 4, ulDev = 5, ulSub = 8; // lengths of "VEN_", "&DEV_", "&SUBSYS_"
    if (!StartsWith(pHardwareID, ulLength, ulAt, u"VEN_") || ulAt + ulVen + 4 > ulLength ||
        !HexGroup(pHardwareID + ulAt + ulVen, 4, &ulVendor))
        return STATUS_UNSUCCESSFUL;
    ulAt += ulVen + 4;
    if (!StartsWith(pHardwareID, ulLength, ulAt, u"&DEV_") || ulAt + ulDev + 4 > ulLength ||
        !HexGroup(pHardwareID + ulAt + ulDev, 4, &ulDevice))
        return STATUS_UNSUCCESSFUL;
    ulAt += ulDev + 4;
    if (!StartsWith(pHardwareID, ulLength, ulAt, u"&SUBSYS_") || ulAt + ulSub + 8 > ulLength ||
        !HexGroup(pHardwareID + ulAt + ulSub, 8, &ulSubsystem))
        return STATUS_UNSUCCESSFUL;
    *punVendor = static_cast<USHORT>(ulVendor);
    *punDevice = static_cast<USHORT>(ulDevice);
    *pulSubsystem = ulSubsystem;
    return STATUS_SUCCESS;
}

NTSTATUS GetBusAndSlotNumberFromLocationInformation(PCWSTR pText, ULONG ulLength, PULONG pulBus,
                                                    PPCI_SLOT_NUMBER pSlot) {
    ULONG aulNumbers[3] = {0, 0, 0};
    ULONG ulFound = 0;
    for (ULONG i = 0; i < ulLength && pText[i] && ulFound < 3;) {
        if (pText[i] < u'0' || pText[i] > u'9') {
            i++;
            continue;
        }
        ULONG ulValue = 0;
        for (; i < ulLength && pText[i] >= u'0' && pText[i] <= u'9'; i++) {
            if (ulValue > 0xFFFFFFFFu / 10 - 9)
                return STATUS_UNSUCCESSFUL;
            ulValue = ulValue * 10 + static_cast<ULONG>(pText[i] - u'0');
        }
        aulNumbers[ulFound++] = ulValue;
    }
    // Bus, device and function: a PCI slot has 32 devices of 8 functions.
    if (ulFound < 3 || aulNumbers[1] > 31 || aulNumbers[2] > 7)
        return STATUS_UNSUCCESSFUL;
    *pulBus = aulNumbers[0];
    pSlot->u.AsULONG = 0;
    pSlot->u.bits.DeviceNumber = aulNumbers[1];
    pSlot->u.bits.FunctionNumber = aulNumbers[2];
    return STATUS_SUCCESS;
}
