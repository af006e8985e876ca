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

// PCI discovery and matching.
NTSTATUS FindDevicesOnPciBus(CCvLinkedList* pDeviceList);
NTSTATUS MatchPciDevicesWithTemplates(CCvLinkedList* pPciDeviceList, CCvLinkedList* pTemplatesCardList);
NTSTATUS BuildPciCCvDeviceList(CCvLinkedList* pPciDeviceList, CCvLinkedList* pPciCCvDeviceList);
NTSTATUS MatchPciCCvDevicesWithParameters(CCvLinkedList* pCCvDeviceList, CCvLinkedList* pParametersCardList);

// Whether the node's port is its card's first port.
inline BOOLEAN CvIsFirstPortOfCard(PCCvDeviceStruct pNode) {
    return pNode->pClass && pNode->pClass->pParentCard &&
           pNode->pClass->pParentCard->apDevice[0] == pNode->pClass;
}

// A copy of a counted string in memory from the tracked allocator (released with operator delete, as
// the card and port objects release their paths); FALSE when it cannot be had.
BOOLEAN CvCopyUnicodeString(UNICODE_STRING& uniTarget, PCUNICODE_STRING puniSource, POOL_TYPE PoolType);
