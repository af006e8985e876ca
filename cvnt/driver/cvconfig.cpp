// The CurrentConfig branch: deleted at every start and at unload, built once per port list before the
// resource claims, filled with what start-up did once the ports are complete.
#include "CvPortList.h"

#include "CvErrorLog.h"
#include "CvResourceKiller.h"
#include "CvUart.h"
#include "CvUnicode.h"
#include "cvntmsg.h"

namespace {

const WCHAR kDisabledText[] = u"Port is disabled";

// Replaces a path held by a card or port with the text of uniPath.
BOOLEAN StorePath(UNICODE_STRING& uniTarget, CCvUnicode& uniPath) {
    if (uniTarget.Buffer)
        operator delete(uniTarget.Buffer);
    RtlZeroMemory(&uniTarget, sizeof uniTarget);
    return CvCopyUnicodeString(uniTarget, uniPath, NonPagedPool);
}

NTSTATUS WriteDword(PCWSTR pPath, PCWSTR pName, ULONG ulValue) {
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, pPath, pName, REG_DWORD, &ulValue, sizeof ulValue);
}

ULONG PublishedUartType(UCHAR ucType) {
    switch (ucType) {
    case CV_UART_16450:
        return 0x450;
    case CV_UART_16550:
        return 0x550;
    case CV_UART_16750:
        return 0x750;
    case CV_UART_16950:
        return 0x950;
    default:
        return 0;
    }
}

BOOLEAN KeyExists(const UNICODE_STRING& uniPath) {
    return uniPath.Buffer && NT_SUCCESS(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, uniPath.Buffer));
}

// The values of a port's key that both buses write: COM number, trigger settings, address and type.
NTSTATUS WritePortValues(CCvDevice* pDevice) {
    PCWSTR pPath = pDevice->m_uniPathToPort.Buffer;
    CCvUart* pUart = pDevice->pChip_Uart;
    if (!pUart)
        return STATUS_UNSUCCESSFUL; // an enabled port always has its UART object by now
    NTSTATUS Status = WriteDword(pPath, u"nCom", pDevice->m_ulForcedComNumber);
    if (NT_SUCCESS(Status))
        Status = WriteDword(pPath, u"RxTriggerLevel", static_cast<ULONG>(pUart->m_lRxTriggerLevel));
    if (NT_SUCCESS(Status))
        Status = WriteDword(pPath, u"TxTriggerLevel", static_cast<ULONG>(pUart->m_lTxTriggerLevel));
    if (NT_SUCCESS(Status))
        Status = WriteDword(pPath, u"SoftTxLimit", static_cast<ULONG>(pUart->m_lSoftTxLimit));
    if (NT_SUCCESS(Status))
        Status = WriteDword(pPath, u"ComPortAddress", pUart->m_unBaseAddress);
    if (NT_SUCCESS(Status))
        Status = WriteDword(pPath, u"UartType", PublishedUartType(pUart->GetUartType()));
    return Status;
}

// Both fill routines: the card values at each card's first port, then the port values.
NTSTATUS Fill(CCvLinkedList* pList, NTSTATUS (*WriteCard)(CCvCard*), NTSTATUS (*WritePort)(CCvDevice*)) {
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (PCCvDeviceStruct pNode : CvPorts(pList)) {
        CCvDevice* pDevice = pNode->pClass;
        if (CvIsFirstPortOfCard(pNode)) {
            if (!KeyExists(pDevice->pParentCard->m_uniPathToCard)) {
                Log(CVNT_CURRENTCONFIG_KEY_MISSING);
                return CV_STATUS_SEVERE;
            }
            if (!NT_SUCCESS(WriteCard(pDevice->pParentCard)))
                return CV_STATUS_SEVERE;
        }
        if (!KeyExists(pDevice->m_uniPathToPort)) {
            Log(CVNT_CURRENTCONFIG_CARD_KEY_MISSING);
            return CV_STATUS_SEVERE;
        }
        if (!NT_SUCCESS(WritePort(pDevice)))
            return CV_STATUS_SEVERE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WritePciCard(CCvCard* pCard) {
    PCWSTR pPath = pCard->m_uniPathToCard.Buffer;
    PCI_SLOT_NUMBER Slot;
    Slot.u.AsULONG = 0;
    Slot.u.bits.DeviceNumber = pCard->ucDeviceNumber;
    Slot.u.bits.FunctionNumber = pCard->ucFunctionNumber;
    NTSTATUS Status = WriteDword(pPath, u"VendorID", pCard->ulVendorID);
    if (NT_SUCCESS(Status))
        Status = WriteDword(pPath, u"DeviceID", pCard->ulDeviceID);
    if (NT_SUCCESS(Status))
        Status = WriteDword(pPath, u"nBus", pCard->ulBusNumber);
    if (NT_SUCCESS(Status))
        Status = WriteDword(pPath, u"InterruptLevel", pCard->OriginalIrql);
    if (NT_SUCCESS(Status))
        Status = WriteDword(pPath, u"InterruptVector", pCard->OriginalVector);
    if (NT_SUCCESS(Status))
        Status = WriteDword(pPath, u"nSlot", Slot.u.AsULONG);
    return Status;
}

NTSTATUS WriteIsaCard(CCvCard* pCard) {
    PCWSTR pPath = pCard->m_uniPathToCard.Buffer;
    NTSTATUS Status = STATUS_SUCCESS;
    if (pCard->OriginalIrql && pCard->OriginalVector) {
        Status = WriteDword(pPath, u"InterruptLevel", pCard->OriginalIrql);
        if (NT_SUCCESS(Status))
            Status = WriteDword(pPath, u"InterruptVector", pCard->OriginalVector);
    }
    if (NT_SUCCESS(Status) && pCard->m_ulSisrAddress)
        Status = WriteDword(pPath, u"SisrAddress", pCard->m_ulSisrAddress);
    if (NT_SUCCESS(Status) && pCard->m_unPlxBaudClockDivisor)
        Status = WriteDword(pPath, u"PlxBaudClockDivisor", pCard->m_unPlxBaudClockDivisor);
    return Status;
}

// A disabled port's key holds only its status. The text's own length, no terminating zero: readers go
// by the data length.
NTSTATUS WriteDisabled(CCvDevice* pDevice) {
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, pDevice->m_uniPathToPort.Buffer, u"Status", REG_SZ,
                                 const_cast<PWSTR>(kDisabledText), sizeof kDisabledText - sizeof(WCHAR));
}

NTSTATUS WritePciPort(CCvDevice* pDevice) {
    return pDevice->m_bDisabled ? WriteDisabled(pDevice) : WritePortValues(pDevice);
}

NTSTATUS WriteIsaPort(CCvDevice* pDevice) {
    PCWSTR pPath = pDevice->m_uniPathToPort.Buffer;
    if (pDevice->m_bDisabled)
        return WriteDisabled(pDevice);
    NTSTATUS Status = WritePortValues(pDevice);
    if (NT_SUCCESS(Status) && pDevice->OriginalIrql && pDevice->OriginalVector) {
        Status = WriteDword(pPath, u"InterruptLevel", pDevice->OriginalIrql);
        if (NT_SUCCESS(Status))
            Status = WriteDword(pPath, u"InterruptVector", pDevice->OriginalVector);
    }
    return Status;
}

} // namespace

NTSTATUS DeleteCurrentConfigKey(PUNICODE_STRING puniServicePath) {
    CCvUnicode uniPath(PagedPool, puniServicePath);
    if (uniPath.Status != STATUS_SUCCESS || uniPath.Append(u"\\CurrentConfig") != STATUS_SUCCESS)
        return CV_STATUS_SEVERE;
    if (NT_SUCCESS(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, uniPath))) {
        if (DeleteSubkeys(uniPath) != STATUS_SUCCESS)
            return CV_STATUS_SEVERE;
        OBJECT_ATTRIBUTES Attributes;
        InitializeObjectAttributes(&Attributes, static_cast<PUNICODE_STRING>(uniPath), OBJ_CASE_INSENSITIVE,
                                   NULL, NULL);
        HANDLE hKey = NULL;
        if (!NT_SUCCESS(ZwOpenKey(&hKey, KEY_ALL_ACCESS, &Attributes)))
            return CV_STATUS_SEVERE;
        NTSTATUS Status = ZwDeleteKey(hKey);
        ZwClose(hKey);
        if (!NT_SUCCESS(Status))
            return CV_STATUS_SEVERE;
    }
    Log(CVNT_CURRENTCONFIG_DELETED);
    return STATUS_SUCCESS;
}

NTSTATUS BuildCurrentConfigKey(PUNICODE_STRING puniServicePath, CCvLinkedList* pList) {
    const ULONG ulSize = sizeof(CCvDeviceStruct);
    auto* pFirst = static_cast<PCCvDeviceStruct>(pList->GetStartNode(ulSize));
    if (!pFirst)
        return STATUS_NOT_FOUND;
    const UCHAR ucListBus = pFirst->pClass->m_ucBusType;

    CCvUnicode uniRoot(PagedPool, puniServicePath);
    if (uniRoot.Status != STATUS_SUCCESS || uniRoot.Append(u"\\CurrentConfig") != STATUS_SUCCESS ||
        !NT_SUCCESS(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, uniRoot)))
        return CV_STATUS_SEVERE;

    ULONG ulCards = 0;
    CCvUnicode uniCard(PagedPool);
    for (auto* pNode = pFirst; pNode; pNode = static_cast<PCCvDeviceStruct>(pList->GetNextNode(ulSize))) {
        CCvDevice* pDevice = pNode->pClass;
        CCvUnicode uniBus(PagedPool, static_cast<PUNICODE_STRING>(uniRoot));
        if (uniBus.Status != STATUS_SUCCESS || uniBus.Append(u"\\Bus") != STATUS_SUCCESS ||
            uniBus.Append(pDevice->m_ucBusType, 10) != STATUS_SUCCESS ||
            !NT_SUCCESS(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, uniBus)))
            return CV_STATUS_SEVERE;
        if (CvIsFirstPortOfCard(pNode)) {
            ulCards++;
            uniCard = uniBus;
            if (uniCard.Status != STATUS_SUCCESS || uniCard.Append(u"\\Card") != STATUS_SUCCESS ||
                uniCard.Append(ulCards, 10) != STATUS_SUCCESS ||
                !NT_SUCCESS(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, uniCard)) ||
                !StorePath(pDevice->pParentCard->m_uniPathToCard, uniCard))
                return CV_STATUS_SEVERE;
        }
        CCvUnicode uniPort(PagedPool, static_cast<PUNICODE_STRING>(uniCard));
        if (uniPort.Status != STATUS_SUCCESS || uniPort.Append(u"\\ComPort") != STATUS_SUCCESS ||
            uniPort.Append(pDevice->m_unPortOnCardNumber, 16) != STATUS_SUCCESS ||
            !NT_SUCCESS(RtlCreateRegistryKey(RTL_REGISTRY_ABSOLUTE, uniPort)) ||
            !StorePath(pDevice->m_uniPathToPort, uniPort))
            return CV_STATUS_SEVERE;
    }
    Log(ucListBus == PCIBus ? CVNT_CURRENTCONFIG_PCI_CREATED : CVNT_CURRENTCONFIG_ISA_CREATED);
    return STATUS_SUCCESS;
}

NTSTATUS FillCurrentConfigKey(CCvLinkedList* pList) {
    return Fill(pList, WritePciCard, WritePciPort);
}

NTSTATUS FillCurrentConfigKeyIsa(CCvLinkedList* pList) {
    return Fill(pList, WriteIsaCard, WriteIsaPort);
}
