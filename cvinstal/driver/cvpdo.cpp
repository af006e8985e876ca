// The child devices of a card, one per port: created at the card's start with their share of the
// card's resources and their UART settings; the card's persistent reference number; and the device
// interface through which the configuration tools find a card.
#include "CvInstal.h"

#include "CvErrorLog.h"
#include "CvResourceKiller.h"
#include "CvUnicode.h"
#include "cvinstalmsg.h"

const GUID GUID_CV_PCI_CARD_INTERFACE = {
    0x4855010F, 0x0C01, 0x4120, {0xB4, 0xAA, 0x8E, 0x93, 0x2B, 0x23, 0x81, 0x4E}};
const GUID GUID_CV_ISA_CARD_INTERFACE = {
    0x7C4B9CC6, 0x7ABF, 0x47AE, {0x92, 0xEE, 0xD3, 0x42, 0x92, 0xE8, 0xA7, 0x41}};
const GUID GUID_CV_PCMCIA_CARD_INTERFACE = {
    0xECE42DDC, 0xA00C, 0x42B3, {0xB9, 0x78, 0x1F, 0x49, 0x50, 0xCB, 0xAA, 0x1F}};
const GUID GUID_CV_CHILD_BUS_TYPE = {
    0x62564062, 0x1F38, 0x11D3, {0xA1, 0x33, 0x00, 0x20, 0x18, 0x88, 0x42, 0x4E}};

namespace {

// What creating one child came to.
enum class Child { Existing, Created, Failed };

// Creates child n of the card unless it has one already (children outlive a stop and start again).
// A parallel port is named, a COM port is not. A failure takes every child of the card with it.
Child CreateChild(PDEVICE_OBJECT CardDevice, CCvCard* pCard, USHORT n, ULONG ulPortType, PCWSTR pName) {
    if (n < 1 || n > CV_MAX_CHILDREN)
        return Child::Failed;
    if (pCard->apPort[n - 1])
        return Child::Existing;
    auto* pPort = new (NonPagedPool) CCvPort;
    if (!pPort) {
        CvDeleteChildren(pCard);
        return Child::Failed;
    }
    pCard->apPort[n - 1] = pPort;
    PDEVICE_OBJECT Child = NULL;
    BOOLEAN bCom = ulPortType == CV_PORT_COM;
    if (CreateDeviceObjectAndSymbolicLink(CardDevice->DriverObject, bCom ? NULL : pName, NULL, &Child, pPort,
                                          bCom) != STATUS_SUCCESS) {
        CvDeleteChildren(pCard);
        return Child::Failed;
    }
    pCard->apChildPdo[n - 1] = Child;
    Child->Flags |= DO_BUFFERED_IO;
    Child->Flags &= ~DO_DEVICE_INITIALIZING;
    if (pCard->bPowerPagable)
        Child->Flags |= DO_POWER_PAGABLE;
    pPort->ulExtensionType = CV_KIND_PORT;
    pPort->ulBusType = pCard->ulBusType;
    pPort->ulPortType = ulPortType;
    pPort->pCard = pCard;
    pPort->DeviceObject = Child;
    pPort->unPortNumber = n;
    if (bCom)
        pCard->unNumberComPorts++;
    else
        pCard->unNumberLptPorts++;
    return Child::Created;
}

// The UART and bridge values a port takes from its card's template.
struct TemplateValues {
    ULONG ulUartType, ulPlxBaudClockType, ulPlxBaudClockDivisor, ulPlxBaudClockOffset;
    ULONG ulRxTriggerLevel, ulSoftTxLimit, ulTxTriggerLevel, ulClockFrequency, ulClockFrequencyAdjustment;
    ULONG ulDuplexOperation, ulCtsTrue;
};

// What the templates of every bus give a port (the bridge offset and line settings are added by the
// buses whose templates have them).
template <typename TTemplate>
TemplateValues CommonValues(const TTemplate* p) {
    TemplateValues Values = {};
    Values.ulUartType = p->UartType;
    Values.ulPlxBaudClockType = p->PlxBaudClockType;
    Values.ulPlxBaudClockDivisor = p->PlxBaudClockDivisor;
    Values.ulRxTriggerLevel = p->RxTriggerLevel;
    Values.ulSoftTxLimit = p->SoftTxLimit;
    Values.ulTxTriggerLevel = p->TxTriggerLevel;
    Values.ulClockFrequency = p->ClockFrequency;
    Values.ulClockFrequencyAdjustment = p->ClockFrequencyAdjustment;
    return Values;
}

VOID EnterTemplateValues(CCvPort* pPort, const TemplateValues& t) {
    pPort->ulUartType = t.ulUartType;
    pPort->ulPlxBaudClockType = t.ulPlxBaudClockType;
    pPort->ulPlxBaudClockDivisor = t.ulPlxBaudClockDivisor;
    pPort->ulPlxBaudClockOffset = t.ulPlxBaudClockOffset;
    pPort->lRxTriggerLevel = static_cast<LONG>(t.ulRxTriggerLevel);
    pPort->lSoftTxLimit = static_cast<LONG>(t.ulSoftTxLimit);
    pPort->lTxTriggerLevel = static_cast<LONG>(t.ulTxTriggerLevel);
    pPort->ulClockFrequency = t.ulClockFrequency;
    pPort->ulClockFrequencyAdjustment = t.ulClockFrequencyAdjustment;
    pPort->ulDuplexOperation = t.ulDuplexOperation & 0xFF;
    pPort->ulCtsTrue = t.ulCtsTrue & 0xFF;
    pPort->ulBaudrateMultiplier = 1;
    pPort->ulNoSleepMode = 0;
}

// What the parameters of a PCI or PCMCIA port override.
VOID EnterPortParameters(CCvPort* pPort, PParametersCardPortPciStruct p) {
    if (!p)
        return;
    if (p->UartType)
        pPort->ulUartType = p->UartType;
    if (p->Duplexoperation != CV_NOT_GIVEN)
        pPort->ulDuplexOperation = p->Duplexoperation & 0xFF;
    if (p->CtsTrue != CV_NOT_GIVEN)
        pPort->ulCtsTrue = p->CtsTrue & 0xFF;
    if (p->RxTriggerLevel != CV_NOT_GIVEN)
        pPort->lRxTriggerLevel = static_cast<LONG>(p->RxTriggerLevel);
    if (p->TxTriggerLevel != CV_NOT_GIVEN)
        pPort->lTxTriggerLevel = static_cast<LONG>(p->TxTriggerLevel);
    if (p->SoftTxLimit != CV_NOT_GIVEN)
        pPort->lSoftTxLimit = static_cast<LONG>(p->SoftTxLimit);
    if (p->PlxBaudClockDivisor != CV_NOT_GIVEN)
        pPort->ulPlxBaudClockDivisor = p->PlxBaudClockDivisor;
    if (p->NoSleepMode != CV_NOT_GIVEN)
        pPort->ulNoSleepMode = p->NoSleepMode;
    if (p->BaudrateMultiplier)
        pPort->ulBaudrateMultiplier = p->BaudrateMultiplier;
}

VOID EnterIsaPortParameters(CCvPort* pPort, PParametersCardPortIsaStruct p) {
    if (!p)
        return;
    if (p->UartType)
        pPort->ulUartType = p->UartType;
    if (p->RxTriggerLevel != CV_NOT_GIVEN)
        pPort->lRxTriggerLevel = static_cast<LONG>(p->RxTriggerLevel);
    if (p->SoftTxLimit != CV_NOT_GIVEN)
        pPort->lSoftTxLimit = static_cast<LONG>(p->SoftTxLimit);
    if (p->TxTriggerLevel != CV_NOT_GIVEN)
        pPort->lTxTriggerLevel = static_cast<LONG>(p->TxTriggerLevel);
    if (p->NoSleepMode != CV_NOT_GIVEN)
        pPort->ulNoSleepMode = p->NoSleepMode;
    if (p->BaudrateMultiplier)
        pPort->ulBaudrateMultiplier = p->BaudrateMultiplier;
}

// Whether the ports' registers (ulNeeded bytes from the window's start) lie inside the window the card
// was given: a port driver must never be handed registers the card did not claim.
BOOLEAN PortsFit(ULONG ulCardId, ULONG ulNeeded, ULONG ulWindow) {
    if (ulNeeded <= ulWindow)
        return TRUE;
    LogWithTwoNumbers(CVINSTAL_RESOURCE_COUNT_WRONG, ulCardId, ulWindow, 16, 16);
    return FALSE;
}

// "CvPar" + the port number + a tail that tells the card apart, for the parallel ports' device names.
BOOLEAN ParallelName(CCvUnicode& uniName, USHORT n) {
    return uniName.Append(u"CvPar") == STATUS_SUCCESS && uniName.Append(n, 16) == STATUS_SUCCESS;
}

} // namespace

CCvPort::CCvPort() {
    RtlZeroMemory(this, sizeof *this);
    ulBusType = CV_NOT_GIVEN;
    bUsePortSpaceAccess = 1;
    ulBaudrateMultiplier = 1;
}

VOID CvDeleteChildren(CCvCard* pCard) {
    for (ULONG i = 0; i < CV_MAX_CHILDREN; i++) {
        if (pCard->apChildPdo[i]) {
            pCard->apChildPdo[i]->DeviceExtension = NULL;
            IoDeleteDevice(pCard->apChildPdo[i]);
            pCard->apChildPdo[i] = NULL;
        }
        delete pCard->apPort[i];
        pCard->apPort[i] = NULL;
    }
    pCard->unNumberComPorts = pCard->unNumberLptPorts = 0;
}

NTSTATUS CreateDeviceObjectAndSymbolicLink(PDRIVER_OBJECT DriverObject, PCWSTR pDeviceName, PCWSTR pLinkName,
                                           PDEVICE_OBJECT* ppDeviceObject, PVOID pvExtension,
                                           BOOLEAN bExclusive) {
    *ppDeviceObject = NULL;
    CCvUnicode uniDevice(PagedPool);
    if (pDeviceName && (uniDevice.Append(u"\\Device\\") != STATUS_SUCCESS ||
                        uniDevice.Append(pDeviceName) != STATUS_SUCCESS)) {
        LogWithString(CVINSTAL_DEVICE_OBJECT_ERROR, pDeviceName);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS Status =
        IoCreateDevice(DriverObject, 0, pDeviceName ? static_cast<PUNICODE_STRING>(uniDevice) : NULL,
                       FILE_DEVICE_SERENUM, 0, bExclusive, ppDeviceObject);
    if (!NT_SUCCESS(Status)) {
        *ppDeviceObject = NULL;
        if (pDeviceName)
            LogWithString(CVINSTAL_DEVICE_OBJECT_ERROR, uniDevice);
        else
            Log(CVINSTAL_UNNAMED_DEVICE_ERROR);
        return Status;
    }
    (*ppDeviceObject)->DeviceExtension = pvExtension;
    if (pDeviceName && pLinkName) {
        CCvUnicode uniLink(PagedPool, u"\\??\\");
        if (uniLink.Append(pLinkName) == STATUS_SUCCESS)
            IoCreateSymbolicLink(uniLink, uniDevice); // a missing link leaves the device usable by name
    }
    return STATUS_SUCCESS;
}

NTSTATUS GeneratePdosForPciChildPorts(PDEVICE_OBJECT DeviceObject, CCvCard* pCard,
                                      PTemplatesCardPciStruct pTemplate,
                                      PParametersCardPciStruct pParameters) {
    TemplateValues Values = CommonValues(pTemplate);
    Values.ulPlxBaudClockOffset = pTemplate->PlxBaudClockOffset;
    Values.ulDuplexOperation = pTemplate->DuplexOperation;
    Values.ulCtsTrue = pTemplate->CtsTrue;
    const USHORT unComs = static_cast<USHORT>(pTemplate->nComPorts);
    const UCHAR bIoAccess = DecideAboutAccess(pTemplate, pParameters, pCard);
    if (!PortsFit(pCard->unDeviceID, unComs * pTemplate->ComBaseAddressAlignment,
                  bIoAccess ? pCard->ulBaseAddressRange : pCard->ulBaseMemoryRange) ||
        !PortsFit(pCard->unDeviceID, pTemplate->nLptPorts * pTemplate->LptBaseAddressAlignment,
                  pCard->ulIoWindow2AddressRange))
        return STATUS_UNSUCCESSFUL;
    for (USHORT n = 1; n <= unComs; n++) {
        Child Made = CreateChild(DeviceObject, pCard, n, CV_PORT_COM, NULL);
        if (Made == Child::Failed)
            return STATUS_UNSUCCESSFUL;
        if (Made == Child::Existing)
            continue;
        CCvPort* pPort = pCard->apPort[n - 1];
        pPort->bUsePortSpaceAccess = bIoAccess;
        EnterResources(pTemplate, pPort, pCard, n);
        EnterTemplateValues(pPort, Values);
        if (!pParameters)
            continue;
        if (pParameters->PlxBaudClockDivisor)
            pPort->ulPlxBaudClockDivisor = pParameters->PlxBaudClockDivisor & 0xFFFF;
        EnterPortParameters(pPort, MatchPciDevicesPortParameters(pParameters, n));
    }
    const ULONG ulSpacing = pTemplate->LptBaseAddressAlignment;
    for (USHORT j = 1; j <= pTemplate->nLptPorts; j++) {
        const USHORT n = static_cast<USHORT>(unComs + j);
        CCvUnicode uniName(PagedPool);
        if (!ParallelName(uniName, n) || uniName.Append(pCard->ulBusNumber, 16) != STATUS_SUCCESS ||
            uniName.Append(pCard->SlotNumber.u.AsULONG, 16) != STATUS_SUCCESS) {
            CvDeleteChildren(pCard);
            return STATUS_UNSUCCESSFUL;
        }
        Child Made = CreateChild(DeviceObject, pCard, n, CV_PORT_LPT, uniName);
        if (Made == Child::Failed)
            return STATUS_UNSUCCESSFUL;
        if (Made == Child::Existing)
            continue;
        CCvPort* pPort = pCard->apPort[n - 1];
        pPort->ulAddressSpace = 1;
        pPort->ulBaseAddress = pCard->ulIoWindow2Address + ulSpacing * (j - 1u);
        pPort->ulBaseAddressRange = ulSpacing;
        pPort->ulBusRelativeBaseAddress = pCard->ulBusRelativeIoWindow2Address + ulSpacing * (j - 1u);
    }
    return STATUS_SUCCESS;
}

NTSTATUS GeneratePdosForIsaChildPorts(PDEVICE_OBJECT DeviceObject, CCvCard* pCard,
                                      PTemplatesCardIsaStruct pTemplate,
                                      PParametersCardIsaStruct pParameters) {
    const TemplateValues Values = CommonValues(pTemplate);
    const USHORT unComs = static_cast<USHORT>(pTemplate->nComPorts);
    const USHORT unPorts = static_cast<USHORT>(unComs + pTemplate->nLptPorts);
    for (USHORT n = 1; n <= unPorts; n++) {
        const BOOLEAN bCom = n <= unComs;
        CCvUnicode uniName(PagedPool);
        if (!bCom && (!ParallelName(uniName, n) || uniName.Append(&pCard->uniHardwareID) != STATUS_SUCCESS ||
                      uniName.Append(pCard->ulDeviceReference, 16) != STATUS_SUCCESS)) {
            CvDeleteChildren(pCard);
            return STATUS_UNSUCCESSFUL;
        }
        Child Made = CreateChild(DeviceObject, pCard, n, bCom ? CV_PORT_COM : CV_PORT_LPT,
                                 bCom ? NULL : static_cast<PCWSTR>(uniName));
        if (Made == Child::Failed)
            return STATUS_UNSUCCESSFUL;
        if (Made == Child::Existing)
            continue;
        CCvPort* pPort = pCard->apPort[n - 1];
        pPort->ulAddressSpace = 1;
        pPort->ulBaseAddress = pCard->aulPortAddress[n - 1];
        pPort->ulBusRelativeBaseAddress = pCard->aulBusRelativePortAddress[n - 1];
        if (!bCom) {
            pPort->ulBaseAddressRange = pTemplate->LptBaseAddressAlignment;
            continue;
        }
        pPort->ulBaseAddressRange = pTemplate->ComBaseAddressAlignment;
        pPort->ulInterruptLevel = pCard->aulInterruptLevel[n - 1];
        pPort->ulInterruptVector = pCard->aulInterruptVector[n - 1];
        pPort->ulInterruptAffinity = pCard->aulInterruptAffinity[n - 1];
        pPort->ulBusRelativeInterruptVector = pCard->aulBusRelativeInterruptVector[n - 1];
        EnterTemplateValues(pPort, Values);
        if (!pParameters)
            continue;
        if (pParameters->PlxBaudClockDivisor)
            pPort->ulPlxBaudClockDivisor = pParameters->PlxBaudClockDivisor & 0xFFFF;
        if (pParameters->ClockFrequencyAdjustment)
            pPort->ulClockFrequencyAdjustment = pParameters->ClockFrequencyAdjustment;
        EnterIsaPortParameters(pPort, MatchIsaDevicesPortParameters(pParameters, n));
    }
    return STATUS_SUCCESS;
}

NTSTATUS GeneratePdosForPcmciaChildPorts(PDEVICE_OBJECT DeviceObject, CCvCard* pCard,
                                         PTemplatesCardPcmciaStruct pTemplate,
                                         PParametersCardPcmciaStruct pParameters) {
    TemplateValues Values = CommonValues(pTemplate);
    Values.ulDuplexOperation = pTemplate->DuplexOperation;
    Values.ulCtsTrue = pTemplate->CtsTrue;
    const ULONG ulSpacing = pTemplate->ComBaseAddressAlignment;
    if (!PortsFit(pCard->ulDeviceReference, pTemplate->nComPorts * ulSpacing, pCard->ulBaseAddressRange))
        return STATUS_UNSUCCESSFUL;
    for (USHORT n = 1; n <= pTemplate->nComPorts; n++) {
        Child Made = CreateChild(DeviceObject, pCard, n, CV_PORT_COM, NULL);
        if (Made == Child::Failed)
            return STATUS_UNSUCCESSFUL;
        if (Made == Child::Existing)
            continue;
        CCvPort* pPort = pCard->apPort[n - 1];
        // Each port at its own place in the card's window: ports given one base would all drive the
        // first UART.
        pPort->ulAddressSpace = 1;
        pPort->ulBaseAddress = pCard->ulBaseAddress + ulSpacing * (n - 1u);
        pPort->ulBusRelativeBaseAddress = pCard->ulBusRelativeBaseAddress + ulSpacing * (n - 1u);
        pPort->ulBaseAddressRange = ulSpacing;
        pPort->ulInterruptLevel = pCard->ulInterruptLevel;
        pPort->ulInterruptVector = pCard->ulInterruptVector;
        pPort->ulInterruptAffinity = pCard->ulInterruptAffinity;
        pPort->ulBusRelativeInterruptVector = pCard->ulBusRelativeInterruptVector;
        EnterTemplateValues(pPort, Values);
        if (!pParameters)
            continue;
        if (pParameters->PlxBaudClockDivisor)
            pPort->ulPlxBaudClockDivisor = pParameters->PlxBaudClockDivisor & 0xFFFF;
        EnterPortParameters(pPort, MatchPcmciaDevicesPortParameters(pParameters, n));
    }
    return STATUS_SUCCESS;
}

NTSTATUS CreateUniqueNumber(PULONG pulNumber) {
    *pulNumber = 0;
    ULONG ulValue = 0;
    const ULONG ulDefault = 0;
    RTL_QUERY_REGISTRY_TABLE Table[2];
    RtlZeroMemory(Table, sizeof Table);
    Table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    Table[0].Name = const_cast<PWSTR>(u"UniqueValue");
    Table[0].EntryContext = &ulValue;
    Table[0].DefaultType = REG_DWORD;
    Table[0].DefaultData = const_cast<PULONG>(&ulDefault);
    Table[0].DefaultLength = sizeof(ULONG);
    NTSTATUS Status = RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"CvInstal", Table, NULL, NULL);
    if (!NT_SUCCESS(Status))
        return Status;
    ulValue++;
    Status = RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"CvInstal", u"UniqueValue", REG_DWORD, &ulValue,
                                   sizeof ulValue);
    if (!NT_SUCCESS(Status))
        return Status;
    *pulNumber = ulValue;
    return STATUS_SUCCESS;
}

NTSTATUS GetDeviceReferenceForPdo(PDEVICE_OBJECT PhysicalDeviceObject, PULONG pulReference) {
    *pulReference = 0;
    HANDLE hKey = NULL;
    NTSTATUS Status =
        IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &hKey);
    if (!NT_SUCCESS(Status))
        return Status;
    UNICODE_STRING uniName;
    RtlInitUnicodeString(&uniName, u"DeviceReference");
    UCHAR aucInfo[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    auto* pInfo = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(aucInfo);
    ULONG ulLength = 0;
    Status = ZwQueryValueKey(hKey, &uniName, KeyValuePartialInformation, pInfo, sizeof aucInfo, &ulLength);
    if (NT_SUCCESS(Status) && pInfo->Type == REG_DWORD && pInfo->DataLength == sizeof(ULONG)) {
        RtlCopyMemory(pulReference, pInfo->Data, sizeof(ULONG));
        ZwClose(hKey);
        return STATUS_SUCCESS;
    }
    // Not numbered yet (or numbered with something that is no number): the card gets the next number,
    // which stays with its device key from now on.
    ULONG ulNumber = 0;
    Status = CreateUniqueNumber(&ulNumber);
    if (NT_SUCCESS(Status))
        Status = WriteDwordToRegistry(hKey, u"DeviceReference", ulNumber);
    ZwClose(hKey);
    if (!NT_SUCCESS(Status))
        return Status;
    *pulReference = ulNumber;
    return STATUS_SUCCESS;
}

namespace {

// Registers and enables the card's interface and writes its values; the link name comes back held by
// the caller. A failure releases the name.
NTSTATUS RegisterInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID& Class, PUNICODE_STRING puniLink,
                           NTSTATUS (*WriteValues)(HANDLE hKey, PVOID pvContext), PVOID pvContext) {
    RtlZeroMemory(puniLink, sizeof *puniLink);
    NTSTATUS Status = IoRegisterDeviceInterface(PhysicalDeviceObject, &Class, NULL, puniLink);
    if (!NT_SUCCESS(Status))
        return Status;
    Status = IoSetDeviceInterfaceState(puniLink, TRUE);
    if (Status == STATUS_OBJECT_NAME_EXISTS)
        Status = STATUS_SUCCESS; // enabled already
    HANDLE hKey = NULL;
    if (NT_SUCCESS(Status))
        Status = IoOpenDeviceInterfaceRegistryKey(puniLink, KEY_ALL_ACCESS, &hKey);
    if (NT_SUCCESS(Status)) {
        Status = WriteValues(hKey, pvContext);
        ZwClose(hKey);
    }
    if (!NT_SUCCESS(Status))
        RtlFreeUnicodeString(puniLink);
    return Status;
}

struct PciInterfaceValues {
    ULONG ulVendorID, ulDeviceID, ulBusNumber, ulSlotNumber;
};

NTSTATUS WritePciInterfaceValues(HANDLE hKey, PVOID pvContext) {
    auto* p = static_cast<PciInterfaceValues*>(pvContext);
    NTSTATUS Status = WriteDwordToRegistry(hKey, u"VendorID", p->ulVendorID);
    if (NT_SUCCESS(Status))
        Status = WriteDwordToRegistry(hKey, u"DeviceID", p->ulDeviceID);
    if (NT_SUCCESS(Status))
        Status = WriteDwordToRegistry(hKey, u"BusNumber", p->ulBusNumber);
    if (NT_SUCCESS(Status))
        Status = WriteDwordToRegistry(hKey, u"SlotNumber", p->ulSlotNumber);
    return Status;
}

struct ReferenceValues {
    ULONG ulDeviceReference;
    PUNICODE_STRING puniHardwareID;
};

NTSTATUS WriteReferenceValues(HANDLE hKey, PVOID pvContext) {
    auto* p = static_cast<ReferenceValues*>(pvContext);
    NTSTATUS Status = WriteDwordToRegistry(hKey, u"DeviceReference", p->ulDeviceReference);
    if (NT_SUCCESS(Status))
        Status = WriteSzToRegistry(hKey, u"HardwareID", p->puniHardwareID);
    return Status;
}

} // namespace

NTSTATUS RegisterPciDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, ULONG ulVendorID, ULONG ulDeviceID,
                                    ULONG ulBusNumber, ULONG ulSlotNumber) {
    PciInterfaceValues Values = {ulVendorID, ulDeviceID, ulBusNumber, ulSlotNumber};
    UNICODE_STRING uniLink;
    NTSTATUS Status = RegisterInterface(PhysicalDeviceObject, GUID_CV_PCI_CARD_INTERFACE, &uniLink,
                                        WritePciInterfaceValues, &Values);
    if (NT_SUCCESS(Status))
        RtlFreeUnicodeString(&uniLink); // the interface stays enabled; its name is not needed again
    return Status;
}

NTSTATUS RegisterIsaDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, ULONG ulDeviceReference,
                                    PUNICODE_STRING puniHardwareID, PUNICODE_STRING puniInterfaceName) {
    ReferenceValues Values = {ulDeviceReference, puniHardwareID};
    return RegisterInterface(PhysicalDeviceObject, GUID_CV_ISA_CARD_INTERFACE, puniInterfaceName,
                             WriteReferenceValues, &Values);
}

NTSTATUS RegisterPcmciaDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, ULONG ulDeviceReference,
                                       PUNICODE_STRING puniHardwareID, PUNICODE_STRING puniInterfaceName) {
    ReferenceValues Values = {ulDeviceReference, puniHardwareID};
    return RegisterInterface(PhysicalDeviceObject, GUID_CV_PCMCIA_CARD_INTERFACE, puniInterfaceName,
                             WriteReferenceValues, &Values);
}

NTSTATUS UnRegisterDeviceInterface(PUNICODE_STRING puniInterfaceName) {
    return IoSetDeviceInterfaceState(puniInterfaceName, FALSE);
}
