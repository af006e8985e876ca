// CvInstal, the plug-and-play driver of the cards on Windows 2000: the template and parameter records of
// its registry tree, its driver-wide state and its routines (the card and port records are in
// CvInstalRecords.h).
#pragma once

#include "ntddk.h"

#include "CvImage.h"
#include "CvLinkedList.h"
#include "CvUnicode.h"

#include "CvInstalRecords.h"

// A UART's register block: eight registers on an eight-byte boundary.
#define CV_UART_REGISTERS 8

// The buses of the registry tree, each with its own update lock.
#define CV_BUS_PCI 0
#define CV_BUS_ISA 1
#define CV_BUS_PCMCIA 2
#define CV_BUS_KINDS 3

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

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(TemplatesCardPciStruct) == 88 && sizeof(TemplatesCardIsaStruct) == 76 &&
                  sizeof(TemplatesCardPcmciaStruct) == 76,
              "template records");
static_assert(sizeof(ParametersCardPciStruct) == 28 && sizeof(ParametersCardIsaStruct) == 24 &&
                  sizeof(ParametersCardPcmciaStruct) == 20 && sizeof(ParametersCardPortPciStruct) == 36 &&
                  sizeof(ParametersCardPortIsaStruct) == 24,
              "parameter records");
#endif
