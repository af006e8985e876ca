// CvInstal, the plug-and-play driver of the cards on Windows 2000: the card record behind each card
// device, the port record behind each child device (both read by the port drivers that load on the
// children, so their layouts are fixed), the template and parameter records of its registry tree, and
// its routines.
#pragma once

#include "ntddk.h"

#include "CvImage.h"
#include "CvLinkedList.h"
#include "CvUnicode.h"

#define CV_KIND_PORT 1
#define CV_KIND_CARD 2
#define CV_MAX_CHILDREN 8

#define CV_PORT_COM 1
#define CV_PORT_LPT 2

// Plug-and-play states of cards and children.
#define CV_PNP_NOT_STARTED 0
#define CV_PNP_STARTED 1
#define CV_PNP_STOPPED 2
#define CV_PNP_STOP_PENDING 3
#define CV_PNP_REMOVED 4
#define CV_PNP_REMOVE_PENDING 5
#define CV_PNP_SURPRISE_REMOVED 6

#define CV_NOT_GIVEN 0xFFFFFFFF

// A UART's register block: eight registers on an eight-byte boundary.
#define CV_UART_REGISTERS 8

// The buses of the registry tree, each with its own update lock.
#define CV_BUS_PCI 0
#define CV_BUS_ISA 1
#define CV_BUS_PCMCIA 2
#define CV_BUS_KINDS 3

class CCvPort;

class CCvCard {
public:
    CCvCard();
    ~CCvCard();

    ULONG ulExtensionType;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    ULONG ulPnpState;
    ULONG ulPagingPathCount;
    ULONG ulUsageNotificationCount;
    ULONG DevicePowerState;
    USHORT unVendorID;
    USHORT unDeviceID;
    ULONG ulSubsysID;
    ULONG ulBusType;
    ULONG ulBusNumber;
    PCI_SLOT_NUMBER SlotNumber;
    PDEVICE_OBJECT apChildPdo[CV_MAX_CHILDREN];
    CCvPort* apPort[CV_MAX_CHILDREN];
    USHORT unNumberComPorts;
    USHORT unNumberLptPorts;
    ULONG ulPlxAddress;
    ULONG ulPlxAddressRange;
    ULONG ulBaseAddress;
    ULONG ulBaseAddressRange;
    ULONG ulBusRelativeBaseAddress;
    ULONG ulIoWindow2Address;
    ULONG ulIoWindow2AddressRange;
    ULONG ulBusRelativeIoWindow2Address;
    ULONG ulInterruptLevel;
    ULONG ulInterruptVector;
    ULONG ulInterruptAffinity;
    ULONG ulBusRelativeInterruptVector;
    PVOID pvPlxMemory;
    ULONG ulPlxMemoryRange;
    PVOID pvBaseMemory;
    ULONG ulBaseMemoryRange;
    ULONG ulBusRelativeBaseMemory;
    UCHAR aucReserved1[12];
    UCHAR bUsePortSpaceAccess;
    UCHAR ucReserved2;
    UCHAR ucPlxBaudClockType;
    USHORT unPlxBaudClockDivisor;
    ULONG ulMaximumBaudrate;
    UNICODE_STRING uniHardwareID;
    ULONG ulDeviceReference;
    ULONG aulPortAddress[CV_MAX_CHILDREN];
    ULONG aulPortAddressRange[CV_MAX_CHILDREN];
    ULONG aulBusRelativePortAddress[CV_MAX_CHILDREN];
    ULONG aulInterruptLevel[CV_MAX_CHILDREN];
    ULONG aulInterruptVector[CV_MAX_CHILDREN];
    ULONG aulInterruptAffinity[CV_MAX_CHILDREN];
    ULONG aulBusRelativeInterruptVector[CV_MAX_CHILDREN];
    UCHAR bPowerPagable;
    ULONG ulLogLevel;
    UNICODE_STRING uniInterfaceName;
    UCHAR bAccessChanged;
    UCHAR bNewUsePortSpaceAccess;
    UCHAR bDivisorChanged;
    ULONG ulNewPlxBaudClockDivisor;
};

class CCvPort {
public:
    CCvPort();
    ~CCvPort() {}

    ULONG ulExtensionType;
    PDEVICE_OBJECT DeviceObject;
    ULONG ulBusType;
    ULONG ulPortType;
    ULONG ulPnpState;
    ULONG DevicePowerState;
    CCvCard* pCard;
    USHORT unPortNumber;
    ULONG ulAddressSpace;
    ULONG ulBaseAddress;
    ULONG ulBaseAddressRange;
    ULONG ulBusRelativeBaseAddress;
    ULONG ulInterruptLevel;
    ULONG ulInterruptVector;
    ULONG ulInterruptAffinity;
    ULONG ulBusRelativeInterruptVector;
    UCHAR aucReserved1[12];
    ULONG ulClockFrequency;
    ULONG ulClockFrequencyAdjustment;
    UCHAR aucReserved2[20];
    ULONG ulPlxBaudClockType;
    ULONG ulPlxBaudClockDivisor;
    ULONG ulPlxBaudClockOffset;
    UCHAR aucReserved3[4];
    ULONG ulDuplexOperation;
    ULONG ulCtsTrue;
    LONG lRxTriggerLevel;
    LONG lSoftTxLimit;
    LONG lTxTriggerLevel;
    ULONG ulUartType;
    ULONG ulNoSleepMode;
    UCHAR bUsePortSpaceAccess;
    ULONG ulBaudrateMultiplier;
    UCHAR bUartTypeChanged;
    UCHAR ucNewUartType;
    UCHAR bCtsTrueChanged;
    ULONG ulNewCtsTrue;
    UCHAR bDuplexChanged;
    ULONG ulNewDuplexOperation;
    UCHAR bTriggerLevelsChanged;
    LONG lNewRxTriggerLevel;
    LONG lNewTxTriggerLevel;
    UCHAR bSoftTxLimitChanged;
    LONG lNewSoftTxLimit;
    UCHAR bDivisorChanged;
    ULONG ulNewPlxBaudClockDivisor;
    UCHAR bBaudrateMultiplierChanged;
    ULONG ulNewBaudrateMultiplier;
};

// The records of the registry tree (field order as the values are listed).
typedef struct _TemplatesCardPciStruct {
    ULONG VendorID;
    ULONG DeviceID;
    ULONG SubsysID;
    ULONG ClockFrequency;
    ULONG ClockFrequencyAdjustment;
    ULONG nComPorts;
    UNICODE_STRING Description;
    ULONG ComBaseAddressAlignment;
    ULONG LptBaseAddressAlignment;
    ULONG PlxBaudClockType;
    ULONG PlxBaudClockDivisor;
    ULONG PlxBaudClockOffset;
    ULONG nLptPorts;
    ULONG DuplexOperation;
    ULONG CtsTrue;
    ULONG RxTriggerLevel;
    ULONG SoftTxLimit;
    ULONG TxTriggerLevel;
    ULONG AlwaysUsePortSpaceAccess;
    ULONG MaximumBaudrate;
    ULONG UartType;
} TemplatesCardPciStruct, *PTemplatesCardPciStruct;

typedef struct _TemplatesCardIsaStruct {
    UNICODE_STRING HardwareID;
    ULONG ClockFrequency;
    ULONG ClockFrequencyAdjustment;
    ULONG nComPorts;
    UNICODE_STRING Description;
    ULONG ComBaseAddressAlignment;
    ULONG LptBaseAddressAlignment;
    ULONG PlxBaudClockType;
    ULONG PlxBaudClockDivisor;
    ULONG nLptPorts;
    ULONG RxTriggerLevel;
    ULONG SoftTxLimit;
    ULONG TxTriggerLevel;
    ULONG UartType;
    ULONG IrqShared;
    ULONG AddressesBanked;
    ULONG MaximumBaudrate;
} TemplatesCardIsaStruct, *PTemplatesCardIsaStruct;

typedef struct _TemplatesCardPcmciaStruct {
    UNICODE_STRING HardwareID;
    ULONG ClockFrequency;
    ULONG ClockFrequencyAdjustment;
    ULONG nComPorts;
    ULONG nLptPorts;
    UNICODE_STRING Description;
    ULONG ComBaseAddressAlignment;
    ULONG LptBaseAddressAlignment;
    ULONG PlxBaudClockType;
    ULONG PlxBaudClockDivisor;
    ULONG DuplexOperation;
    ULONG CtsTrue;
    ULONG RxTriggerLevel;
    ULONG SoftTxLimit;
    ULONG TxTriggerLevel;
    ULONG MaximumBaudrate;
    ULONG UartType;
} TemplatesCardPcmciaStruct, *PTemplatesCardPcmciaStruct;

typedef struct _ParametersCardPciStruct {
    ULONG VendorID;
    ULONG DeviceID;
    ULONG nBus;
    ULONG nSlot;
    ULONG PlxBaudClockDivisor;
    ULONG AlwaysUsePortSpaceAccess;
    CCvLinkedList* pPortList; // of ParametersCardPortPciStruct
} ParametersCardPciStruct, *PParametersCardPciStruct;

typedef struct _ParametersCardIsaStruct {
    UNICODE_STRING HardwareID;
    ULONG DeviceReference;
    ULONG PlxBaudClockDivisor;
    ULONG ClockFrequencyAdjustment;
    CCvLinkedList* pPortList; // of ParametersCardPortIsaStruct
} ParametersCardIsaStruct, *PParametersCardIsaStruct;

typedef struct _ParametersCardPcmciaStruct {
    UNICODE_STRING HardwareID;
    ULONG DeviceReference;
    ULONG PlxBaudClockDivisor;
    CCvLinkedList* pPortList; // of ParametersCardPortPciStruct
} ParametersCardPcmciaStruct, *PParametersCardPcmciaStruct;

// PCI and PCMCIA ports.
typedef struct _ParametersCardPortPciStruct {
    ULONG RxTriggerLevel;
    ULONG SoftTxLimit;
    ULONG TxTriggerLevel;
    ULONG PlxBaudClockDivisor;
    ULONG CtsTrue;
    ULONG Duplexoperation;
    ULONG UartType;
    ULONG NoSleepMode;
    ULONG BaudrateMultiplier;
} ParametersCardPortPciStruct, *PParametersCardPortPciStruct;

typedef struct _ParametersCardPortIsaStruct {
    ULONG RxTriggerLevel;
    ULONG SoftTxLimit;
    ULONG TxTriggerLevel;
    ULONG UartType;
    ULONG NoSleepMode;
    ULONG BaudrateMultiplier;
} ParametersCardPortIsaStruct, *PParametersCardPortIsaStruct;

// The six global lists built at driver entry (templates non-paged, parameters paged).
extern CCvLinkedList* pPciTemplatesList;
extern CCvLinkedList* pPciParametersList;
extern CCvLinkedList* pIsaTemplatesList;
extern CCvLinkedList* pIsaParametersList;
extern CCvLinkedList* pPcmciaTemplatesList;
extern CCvLinkedList* pPcmciaParametersList;
// The driver's registry path and log level, kept for its lifetime.
extern UNICODE_STRING uniGlobalRegistryPath;
extern ULONG ulGlobalLogLevel;
// Settings updates of one bus run one at a time; a card start holds its bus's lock while it uses the
// bus's parameters (synchronisation events, set while free).
extern KEVENT aBusUpdateLock[CV_BUS_KINDS];
VOID CvLockBus(ULONG ulBusType);
VOID CvUnlockBus(ULONG ulBusType);

// Entry, unload and the dispatch table (cvinit, cvdispatch).
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID Unload(PDRIVER_OBJECT DriverObject);
VOID ExportEntryPoints(PDRIVER_OBJECT DriverObject);
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchPowerFdo(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchPowerPdo(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FdoDevicePowerCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// The card device (cvcard).
NTSTATUS DispatchAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS DispatchPnpFdo(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS StandardCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS QueryResources(PCM_RESOURCE_LIST pResources, UCHAR ucType, USHORT unFlagMask, ULONG ulIndex,
                        PULONG pulFirst, PULONG pulSecond, PULONG pulThird);
NTSTATUS FillExtensionWithPciResourceInformation(CCvCard* pCard, PCM_RESOURCE_LIST pRaw,
                                                 PCM_RESOURCE_LIST pTranslated);
NTSTATUS FillExtensionWithIsaResourceInformation(CCvCard* pCard, PTemplatesCardIsaStruct pTemplate,
                                                 PCM_RESOURCE_LIST pRaw, PCM_RESOURCE_LIST pTranslated);
NTSTATUS FillExtensionWithPcmciaResourceInformation(CCvCard* pCard, PCM_RESOURCE_LIST pRaw,
                                                    PCM_RESOURCE_LIST pTranslated);
UCHAR DecideAboutAccess(PTemplatesCardPciStruct pTemplate, PParametersCardPciStruct pParameters,
                        CCvCard* pCard);
VOID EnterResources(PTemplatesCardPciStruct pTemplate, CCvPort* pPort, CCvCard* pCard, USHORT unPortNumber);
NTSTATUS CvIoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY Property,
                               PVOID* ppvBuffer, PULONG pulLength);
NTSTATUS GetPciIDsFromHardwareID(PCWSTR pHardwareID, ULONG ulLength, PUSHORT punVendor, PUSHORT punDevice,
                                 PULONG pulSubsystem);
NTSTATUS GetBusAndSlotNumberFromLocationInformation(PCWSTR pText, ULONG ulLength, PULONG pulBus,
                                                    PPCI_SLOT_NUMBER pSlot);

// The child devices (cvpdo).
NTSTATUS GeneratePdosForPciChildPorts(PDEVICE_OBJECT DeviceObject, CCvCard* pCard,
                                      PTemplatesCardPciStruct pTemplate,
                                      PParametersCardPciStruct pParameters);
NTSTATUS GeneratePdosForIsaChildPorts(PDEVICE_OBJECT DeviceObject, CCvCard* pCard,
                                      PTemplatesCardIsaStruct pTemplate,
                                      PParametersCardIsaStruct pParameters);
NTSTATUS GeneratePdosForPcmciaChildPorts(PDEVICE_OBJECT DeviceObject, CCvCard* pCard,
                                         PTemplatesCardPcmciaStruct pTemplate,
                                         PParametersCardPcmciaStruct pParameters);
NTSTATUS CreateDeviceObjectAndSymbolicLink(PDRIVER_OBJECT DriverObject, PCWSTR pDeviceName, PCWSTR pLinkName,
                                           PDEVICE_OBJECT* ppDeviceObject, PVOID pvExtension,
                                           BOOLEAN bExclusive);
NTSTATUS DispatchPnpPdo(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS CreateUniqueNumber(PULONG pulNumber);
NTSTATUS GetDeviceReferenceForPdo(PDEVICE_OBJECT PhysicalDeviceObject, PULONG pulReference);
NTSTATUS RegisterPciDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, ULONG ulVendorID, ULONG ulDeviceID,
                                    ULONG ulBusNumber, ULONG ulSlotNumber);
NTSTATUS RegisterIsaDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, ULONG ulDeviceReference,
                                    PUNICODE_STRING puniHardwareID, PUNICODE_STRING puniInterfaceName);
NTSTATUS RegisterPcmciaDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, ULONG ulDeviceReference,
                                       PUNICODE_STRING puniHardwareID, PUNICODE_STRING puniInterfaceName);
NTSTATUS UnRegisterDeviceInterface(PUNICODE_STRING puniInterfaceName);
// Deletes every child device and port record of a card (all eight slots).
VOID CvDeleteChildren(CCvCard* pCard);

// The registry tree (cvregistry).
NTSTATUS GetRegistrySettings(PUNICODE_STRING puniServicePath);
VOID DeleteRegistrySettings();
CCvLinkedList* CvCreatePciTemplatesList();
CCvLinkedList* CvCreateIsaTemplatesList();
CCvLinkedList* CvCreatePcmciaTemplatesList();
CCvLinkedList* CvCreatePciParametersList();
CCvLinkedList* CvCreateIsaParametersList();
CCvLinkedList* CvCreatePcmciaParametersList();
NTSTATUS GetTemplatesCardPci(PUNICODE_STRING puniPath, CCvLinkedList* pList);
NTSTATUS GetTemplatesCardIsa(PUNICODE_STRING puniPath, CCvLinkedList* pList);
NTSTATUS GetTemplatesCardPcmcia(PUNICODE_STRING puniPath, CCvLinkedList* pList);
NTSTATUS EvaluateTemplatesCardPci(CCvLinkedList* pList);
NTSTATUS EvaluateTemplatesCardIsa(CCvLinkedList* pList);
NTSTATUS EvaluateTemplatesCardPcmcia(CCvLinkedList* pList);
NTSTATUS GetParametersCardPci(PUNICODE_STRING puniPath, CCvLinkedList* pList);
NTSTATUS GetParametersCardIsa(PUNICODE_STRING puniPath, CCvLinkedList* pList);
NTSTATUS GetParametersCardPcmcia(PUNICODE_STRING puniPath, CCvLinkedList* pList);
NTSTATUS GetParametersCardPortPci(PUNICODE_STRING puniCardPath, CCvLinkedList* pList);
NTSTATUS GetParametersCardPortIsa(PUNICODE_STRING puniCardPath, CCvLinkedList* pList);
NTSTATUS EvaluateParametersCardPci(CCvLinkedList* pList);
NTSTATUS EvaluateParametersCardIsa(CCvLinkedList* pList);
NTSTATUS EvaluateParametersCardPcmcia(CCvLinkedList* pList);
NTSTATUS EvaluateParametersCardPortPci(CCvLinkedList* pList);
NTSTATUS EvaluateParametersCardPortIsa(CCvLinkedList* pList);
PTemplatesCardPciStruct MatchPciDevicesWithTemplates(CCvCard* pCard, BOOLEAN bLog);
PTemplatesCardIsaStruct MatchIsaDevicesWithTemplates(PCUNICODE_STRING puniHardwareID);
PTemplatesCardPcmciaStruct MatchPcmciaDevicesWithTemplates(PCUNICODE_STRING puniHardwareID);
PParametersCardPciStruct MatchPciDevicesWithParameters(CCvLinkedList* pList, CCvCard* pCard);
PParametersCardIsaStruct MatchIsaDevicesWithParameters(CCvLinkedList* pList, CCvCard* pCard);
PParametersCardPcmciaStruct MatchPcmciaDevicesWithParameters(CCvLinkedList* pList, CCvCard* pCard);
PParametersCardPortPciStruct MatchPciDevicesPortParameters(PParametersCardPciStruct pParameters,
                                                           ULONG ulPort);
PParametersCardPortIsaStruct MatchIsaDevicesPortParameters(PParametersCardIsaStruct pParameters,
                                                           ULONG ulPort);
PParametersCardPortPciStruct MatchPcmciaDevicesPortParameters(PParametersCardPcmciaStruct pParameters,
                                                              ULONG ulPort);
NTSTATUS UpdatePciCard(CCvCard* pCard);
NTSTATUS UpdateIsaCard(CCvCard* pCard);
NTSTATUS UpdatePcmciaCard(CCvCard* pCard);
NTSTATUS WritePciInformationToDeviceRegistryKey(CCvCard* pCard);
NTSTATUS WriteIsaInformationToDeviceRegistryKey(CCvCard* pCard);
NTSTATUS WriteBaseAddressAndIrqInformationToRegistryKey(CCvCard* pCard, HANDLE hKey);
NTSTATUS WritePciInformationToDeviceRegistryCardKey(HANDLE hKey, CCvCard* pCard);
NTSTATUS WriteIsaInformationToDeviceRegistryCardKey(HANDLE hKey, CCvCard* pCard);
NTSTATUS WriteDwordToRegistry(HANDLE hKey, PCWSTR pName, ULONG ulValue);
NTSTATUS WriteSzToRegistry(HANDLE hKey, PCWSTR pName, PCUNICODE_STRING puniValue);
NTSTATUS CheckAndDeleteCvNt();
NTSTATUS DeleteSubkeys(PUNICODE_STRING puniPath);
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The interface classes of the cards, one per bus.
extern const GUID GUID_CV_PCI_CARD_INTERFACE;
extern const GUID GUID_CV_ISA_CARD_INTERFACE;
extern const GUID GUID_CV_PCMCIA_CARD_INTERFACE;
// The bus type the children report.
extern const GUID GUID_CV_CHILD_BUS_TYPE;

// Layouts that the port drivers and the tools rely on, as the drivers' 32-bit platform lays them out.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(CCvCard) == 472, "card record");
static_assert(offsetof(CCvCard, ulExtensionType) == 0 && offsetof(CCvCard, DeviceObject) == 4 &&
                  offsetof(CCvCard, PhysicalDeviceObject) == 8 &&
                  offsetof(CCvCard, LowerDeviceObject) == 12 && offsetof(CCvCard, ulPnpState) == 16 &&
                  offsetof(CCvCard, ulPagingPathCount) == 20 &&
                  offsetof(CCvCard, ulUsageNotificationCount) == 24 &&
                  offsetof(CCvCard, DevicePowerState) == 28,
              "card record: states");
static_assert(offsetof(CCvCard, unVendorID) == 32 && offsetof(CCvCard, unDeviceID) == 34 &&
                  offsetof(CCvCard, ulSubsysID) == 36 && offsetof(CCvCard, ulBusType) == 40 &&
                  offsetof(CCvCard, ulBusNumber) == 44 && offsetof(CCvCard, SlotNumber) == 48 &&
                  offsetof(CCvCard, apChildPdo) == 52 && offsetof(CCvCard, apPort) == 84 &&
                  offsetof(CCvCard, unNumberComPorts) == 116 && offsetof(CCvCard, unNumberLptPorts) == 118,
              "card record: identity and children");
static_assert(offsetof(CCvCard, ulPlxAddress) == 120 && offsetof(CCvCard, ulPlxAddressRange) == 124 &&
                  offsetof(CCvCard, ulBaseAddress) == 128 && offsetof(CCvCard, ulBaseAddressRange) == 132 &&
                  offsetof(CCvCard, ulBusRelativeBaseAddress) == 136 &&
                  offsetof(CCvCard, ulIoWindow2Address) == 140 &&
                  offsetof(CCvCard, ulIoWindow2AddressRange) == 144 &&
                  offsetof(CCvCard, ulBusRelativeIoWindow2Address) == 148 &&
                  offsetof(CCvCard, ulInterruptLevel) == 152 && offsetof(CCvCard, ulInterruptVector) == 156 &&
                  offsetof(CCvCard, ulInterruptAffinity) == 160 &&
                  offsetof(CCvCard, ulBusRelativeInterruptVector) == 164,
              "card record: I/O resources");
static_assert(offsetof(CCvCard, pvPlxMemory) == 168 && offsetof(CCvCard, ulPlxMemoryRange) == 172 &&
                  offsetof(CCvCard, pvBaseMemory) == 176 && offsetof(CCvCard, ulBaseMemoryRange) == 180 &&
                  offsetof(CCvCard, ulBusRelativeBaseMemory) == 184 &&
                  offsetof(CCvCard, bUsePortSpaceAccess) == 200 &&
                  offsetof(CCvCard, ucPlxBaudClockType) == 202 &&
                  offsetof(CCvCard, unPlxBaudClockDivisor) == 204 &&
                  offsetof(CCvCard, ulMaximumBaudrate) == 208 && offsetof(CCvCard, uniHardwareID) == 212 &&
                  offsetof(CCvCard, ulDeviceReference) == 220,
              "card record: memory and settings");
static_assert(
    offsetof(CCvCard, aulPortAddress) == 224 && offsetof(CCvCard, aulPortAddressRange) == 256 &&
        offsetof(CCvCard, aulBusRelativePortAddress) == 288 && offsetof(CCvCard, aulInterruptLevel) == 320 &&
        offsetof(CCvCard, aulInterruptVector) == 352 && offsetof(CCvCard, aulInterruptAffinity) == 384 &&
        offsetof(CCvCard, aulBusRelativeInterruptVector) == 416 && offsetof(CCvCard, bPowerPagable) == 448 &&
        offsetof(CCvCard, ulLogLevel) == 452 && offsetof(CCvCard, uniInterfaceName) == 456 &&
        offsetof(CCvCard, bAccessChanged) == 464 && offsetof(CCvCard, bNewUsePortSpaceAccess) == 465 &&
        offsetof(CCvCard, bDivisorChanged) == 466 && offsetof(CCvCard, ulNewPlxBaudClockDivisor) == 468,
    "card record: ISA ports and pending changes");
static_assert(sizeof(CCvPort) == 208, "port record");
static_assert(offsetof(CCvPort, ulExtensionType) == 0 && offsetof(CCvPort, DeviceObject) == 4 &&
                  offsetof(CCvPort, ulBusType) == 8 && offsetof(CCvPort, ulPortType) == 12 &&
                  offsetof(CCvPort, ulPnpState) == 16 && offsetof(CCvPort, DevicePowerState) == 20 &&
                  offsetof(CCvPort, pCard) == 24 && offsetof(CCvPort, unPortNumber) == 28 &&
                  offsetof(CCvPort, ulAddressSpace) == 32 && offsetof(CCvPort, ulBaseAddress) == 36 &&
                  offsetof(CCvPort, ulBaseAddressRange) == 40 &&
                  offsetof(CCvPort, ulBusRelativeBaseAddress) == 44,
              "port record: identity and address");
static_assert(offsetof(CCvPort, ulInterruptLevel) == 48 && offsetof(CCvPort, ulInterruptVector) == 52 &&
                  offsetof(CCvPort, ulInterruptAffinity) == 56 &&
                  offsetof(CCvPort, ulBusRelativeInterruptVector) == 60 &&
                  offsetof(CCvPort, ulClockFrequency) == 76 &&
                  offsetof(CCvPort, ulClockFrequencyAdjustment) == 80 &&
                  offsetof(CCvPort, ulPlxBaudClockType) == 104 &&
                  offsetof(CCvPort, ulPlxBaudClockDivisor) == 108 &&
                  offsetof(CCvPort, ulPlxBaudClockOffset) == 112 &&
                  offsetof(CCvPort, ulDuplexOperation) == 120 && offsetof(CCvPort, ulCtsTrue) == 124,
              "port record: interrupt, clock and bridge");
static_assert(offsetof(CCvPort, lRxTriggerLevel) == 128 && offsetof(CCvPort, lSoftTxLimit) == 132 &&
                  offsetof(CCvPort, lTxTriggerLevel) == 136 && offsetof(CCvPort, ulUartType) == 140 &&
                  offsetof(CCvPort, ulNoSleepMode) == 144 && offsetof(CCvPort, bUsePortSpaceAccess) == 148 &&
                  offsetof(CCvPort, ulBaudrateMultiplier) == 152,
              "port record: UART settings");
static_assert(offsetof(CCvPort, bUartTypeChanged) == 156 && offsetof(CCvPort, ucNewUartType) == 157 &&
                  offsetof(CCvPort, bCtsTrueChanged) == 158 && offsetof(CCvPort, ulNewCtsTrue) == 160 &&
                  offsetof(CCvPort, bDuplexChanged) == 164 &&
                  offsetof(CCvPort, ulNewDuplexOperation) == 168 &&
                  offsetof(CCvPort, bTriggerLevelsChanged) == 172 &&
                  offsetof(CCvPort, lNewRxTriggerLevel) == 176 &&
                  offsetof(CCvPort, lNewTxTriggerLevel) == 180 &&
                  offsetof(CCvPort, bSoftTxLimitChanged) == 184 &&
                  offsetof(CCvPort, lNewSoftTxLimit) == 188 && offsetof(CCvPort, bDivisorChanged) == 192 &&
                  offsetof(CCvPort, ulNewPlxBaudClockDivisor) == 196 &&
                  offsetof(CCvPort, bBaudrateMultiplierChanged) == 200 &&
                  offsetof(CCvPort, ulNewBaudrateMultiplier) == 204,
              "port record: pending changes");
static_assert(sizeof(TemplatesCardPciStruct) == 88 && sizeof(TemplatesCardIsaStruct) == 76 &&
                  sizeof(TemplatesCardPcmciaStruct) == 76,
              "template records");
static_assert(sizeof(ParametersCardPciStruct) == 28 && sizeof(ParametersCardIsaStruct) == 24 &&
                  sizeof(ParametersCardPcmciaStruct) == 20 && sizeof(ParametersCardPortPciStruct) == 36 &&
                  sizeof(ParametersCardPortIsaStruct) == 24,
              "parameter records");
#endif
