// The port lists of start-up: one node per port, each with the port's extension, the address of its
// UART window and the configuration records it was built from. The ports of one card are consecutive,
// first port first.
#pragma once

#include "CvCard.h"
#include "CvDevice.h"
#include "CvLinkedList.h"
#include "CvRegistry.h"

typedef struct _CCvDeviceStruct {
    CCvDevice* pClass;
    USHORT unBaseAddress; // translated I/O base of the port's UART window
    ULONG ulBusRelativeBaseAddress;
    USHORT unBaseAddressRange;
    PTemplatesCardStruct pAssociatedTemplatesCardStruct;
    PParametersCardStruct pAssociatedParametersCardStruct;
    PParametersCardPortStruct pAssociatedParametersCardPortStruct;
} CCvDeviceStruct, *PCCvDeviceStruct;

// One function found in the PCI scan.
typedef struct _PciDeviceStruct {
    ULONG ulBusNumber;
    UCHAR ucDeviceNumber;
    UCHAR ucFunctionNumber;
    USHORT unVendorID;
    USHORT unDeviceID;
    PTemplatesCardStruct pTemplatesCardStruct;
    PParametersCardStruct pParametersCardStruct; // carried, never set
} PciDeviceStruct, *PPciDeviceStruct;

// The port list in order, for a range-based loop (the list's cursor follows the walk).
typedef CvRecords<CCvDeviceStruct> CvPorts;

// PCI discovery and matching.
NTSTATUS FindDevicesOnPciBus(CCvLinkedList* pDeviceList);
NTSTATUS MatchPciDevicesWithTemplates(CCvLinkedList* pPciDeviceList, CCvLinkedList* pTemplatesCardList);
NTSTATUS BuildPciCCvDeviceList(CCvLinkedList* pPciDeviceList, CCvLinkedList* pPciCCvDeviceList);
NTSTATUS MatchPciCCvDevicesWithParameters(CCvLinkedList* pCCvDeviceList, CCvLinkedList* pParametersCardList);

// The node after pNode, or none; the list's cursor stays where it was.
inline PCCvDeviceStruct CvPortAfter(CCvLinkedList* pList, PCCvDeviceStruct pNode) {
    PVOID pvCursor = pList->m_pvCurrentStruct;
    pList->m_pvCurrentStruct = pNode;
    auto* pNext = static_cast<PCCvDeviceStruct>(pList->GetNextNode(sizeof(CCvDeviceStruct)));
    pList->m_pvCurrentStruct = pvCursor;
    return pNext;
}

// Whether the node's port is its card's first port.
inline BOOLEAN CvIsFirstPortOfCard(PCCvDeviceStruct pNode) {
    return pNode->pClass && pNode->pClass->pParentCard &&
           pNode->pClass->pParentCard->apDevice[0] == pNode->pClass;
}

// A copy of a counted string in memory from the tracked allocator (released with operator delete, as
// the card and port objects release their paths); FALSE when it cannot be had.
BOOLEAN CvCopyUnicodeString(UNICODE_STRING& uniTarget, PCUNICODE_STRING puniSource, POOL_TYPE PoolType);

// The card's and the ports' keys under <service key>\CurrentConfig, and what the driver did.
NTSTATUS DeleteCurrentConfigKey(PUNICODE_STRING puniServicePath);
NTSTATUS BuildCurrentConfigKey(PUNICODE_STRING puniServicePath, CCvLinkedList* pList);
NTSTATUS FillCurrentConfigKey(CCvLinkedList* pList);
NTSTATUS FillCurrentConfigKeyIsa(CCvLinkedList* pList);
#include "CvRegistryRecords.h" // DeleteSubkeys

// Start-up initialisation of every enabled port of a list, and the tear-down of a whole list or of
// the card of its current node.
NTSTATUS InitializeExtension(CCvLinkedList* pList);
VOID DoUnload(CCvLinkedList* pList, PDRIVER_OBJECT DriverObject);
PCCvDeviceStruct UnloadOneCard(CCvLinkedList* pList, PDRIVER_OBJECT DriverObject);
// Gives back everything one port holds: UART quiet, interrupts, timers and deferred calls, SERIALCOMM
// value, claims, link and device object; at its card's first port also the card's interrupt, and at
// its card's last port (pNext on another card, or none) the card's claim and device object. The port
// object itself stays.
VOID CvTearDownPort(PCCvDeviceStruct pNode, PCCvDeviceStruct pNext, PDRIVER_OBJECT DriverObject);
// A port that start-up cannot serve (no address, no room in its window, no device object): disabled,
// and everything that named it to the system (SERIALCOMM value, claim, link, device object, names)
// given back, so no program finds a port that cannot be opened.
VOID CvDisablePort(CCvDevice* Extension);
BOOLEAN CvCardHasEnabledPort(CCvCard* pCard);

// The UART clock divisor of a PCI port: the division its bridge applies, so that the two agree.
USHORT CvPciPortClockDivisor(PCCvDeviceStruct pNode);
// Programs the bridges' baud clock divisor registers of a port list (PCI or ISA).
NTSTATUS InitializePlxChip(CCvLinkedList* pList);

// COM names: the numbers in use (from SERIALCOMM), requested ones, and free ones.
typedef enum _COM_VALUE { COM_VALUE_ALLOCATED = 1, COM_VALUE_FORCED = 2, COM_VALUE_FREE = 3 } COM_VALUE;

typedef struct _DosName {
    ULONG ulPortValue;
    COM_VALUE NameType;
} DosName, *PDosName;

NTSTATUS SetUpNodes(CCvLinkedList* pList, ULONG ulNumber, COM_VALUE NameType);
NTSTATUS AddDeviceMapDosNamesToAllocatedList(CCvLinkedList* pList);
NTSTATUS SetSerialCommKey(PUNICODE_STRING puniComName, PUNICODE_STRING puniDeviceName);
NTSTATUS AddForceConfigComToAllocatedDosNameList(CCvLinkedList* pList, ULONG ulNumber,
                                                 PUNICODE_STRING puniDeviceName,
                                                 PUNICODE_STRING puniLinkName);
NTSTATUS GetFreeNameForPort(CCvLinkedList* pList, ULONG ulRange, PULONG pulNumber,
                            PUNICODE_STRING puniDeviceName, PUNICODE_STRING puniLinkName);
NTSTATUS AssignIsaComNumberToPort(CCvLinkedList* pList);
NTSTATUS AssignComNumberToPort(CCvLinkedList* pList);

// Port creation (both buses) and the PCI claims.
NTSTATUS CreateDeviceObjectsAndSymbolicLinks(PDRIVER_OBJECT DriverObject, CCvLinkedList* pList,
                                             ULONG ulInterfaceType);
NTSTATUS AssignPciResources(CCvLinkedList* pList, PDRIVER_OBJECT DriverObject);
NTSTATUS CreateAndInitializeUart(CCvLinkedList* pList);
NTSTATUS ConnectInterrupts(CCvLinkedList* pList);
NTSTATUS ConnectSisrInterrupts(CCvLinkedList* pList);
// The UART set-up of one port: detection (unless a type is configured), the object, its addresses and
// settings, reset and completion. bIsa picks the ISA messages.
NTSTATUS CvCreatePortUart(CCvDevice* pDevice, ULONG ulConfiguredType, USHORT unBase, ULONG ulBusRelativeBase,
                          USHORT unRange, ULONG ulClock, ULONG ulClockAdjustment, ULONG ulDivisor,
                          LONG lRxTrigger, LONG lTxTrigger, LONG lSoftTxLimit, BOOLEAN bIsa,
                          ULONG ulDeviceId);

// ISA cards.
NTSTATUS BuildIsaCCvDeviceList(CCvLinkedList* pParametersCardList, CCvLinkedList* pIsaCCvDeviceList);
NTSTATUS AssignResources(CCvLinkedList* pList, PDRIVER_OBJECT DriverObject);
NTSTATUS AssignPortIoResources(CCvLinkedList* pList, PDRIVER_OBJECT DriverObject);
NTSTATUS AssignSisrResources(CCvLinkedList* pList, PDRIVER_OBJECT DriverObject);
NTSTATUS IsaCreateAndInitializeUart(CCvLinkedList* pList);

#define CV_DRIVER_CLASS u"Corvane"

// Primes each port's transmitter at driver start: interrupts on, the pending identifications read
// away, HoldingEmpty set, interrupts off again.
VOID CvNonComplient(CCvLinkedList* pList);

// CvNt's entry points and its two port lists.
extern CCvLinkedList* pIsaCCvDeviceList;
extern CCvLinkedList* pPciCCvDeviceList;
extern UNICODE_STRING uniGlobalRegistryPath;
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID SerialUnload(PDRIVER_OBJECT DriverObject);
VOID ExportEntryPoints(PDRIVER_OBJECT DriverObject);
// Tear-down shared by unload and a failed entry: a port list with everything its ports hold, the
// CurrentConfig branch, and the kept copy of the service path.
VOID CvDeletePortList(CCvLinkedList*& pList, PDRIVER_OBJECT DriverObject);
VOID CvRemoveCurrentConfig();
VOID CvReleaseGlobalPath();
