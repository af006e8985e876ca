// PCI discovery: the bus scan, matching found functions with the card templates, building one card
// object and its port objects per matched function, and attaching the installed-card records.
#include "CvPortList.h"

#include "CvErrorLog.h"
#include "CvResourceKiller.h"
#include "cvntmsg.h"

// PCI bus numbers are 8 bits: the scan never asks beyond them, whatever the platform answers.
#define CV_PCI_MAX_BUSES 256

namespace {

PVOID DeleteAndGoOn(CCvLinkedList* pList, ULONG ulStructSize) {
    BOOLEAN bLast = pList->GetCurrentNode() == pList->m_pvEndStruct;
    pList->DeleteCurrentNode(ulStructSize);
    return bLast ? NULL : pList->GetCurrentNode();
}

// Empties a port list, deleting the port objects with it (the last port of a card takes the card).
VOID EmptyPortList(CCvLinkedList* pList) {
    for (PCCvDeviceStruct p : CvPorts(pList)) {
        delete p->pClass;
        p->pClass = NULL;
    }
    pList->DeleteAllNodes(sizeof(CCvDeviceStruct));
}

ULONG SlotOf(UCHAR ucDevice, UCHAR ucFunction) {
    PCI_SLOT_NUMBER Slot;
    Slot.u.AsULONG = 0;
    Slot.u.bits.DeviceNumber = ucDevice;
    Slot.u.bits.FunctionNumber = ucFunction;
    return Slot.u.AsULONG;
}

} // namespace

BOOLEAN CvCopyUnicodeString(UNICODE_STRING& uniTarget, PCUNICODE_STRING puniSource, POOL_TYPE PoolType) {
    RtlZeroMemory(&uniTarget, sizeof uniTarget);
    if (!puniSource || !puniSource->Buffer)
        return TRUE; // nothing to copy: the target stays empty
    USHORT usBytes = static_cast<USHORT>(puniSource->Length + sizeof(WCHAR));
    auto* pBuffer = static_cast<PWSTR>(operator new(usBytes, PoolType));
    if (!pBuffer)
        return FALSE;
    RtlCopyMemory(pBuffer, puniSource->Buffer, puniSource->Length);
    pBuffer[puniSource->Length / sizeof(WCHAR)] = UNICODE_NULL;
    uniTarget.Buffer = pBuffer;
    uniTarget.Length = puniSource->Length;
    uniTarget.MaximumLength = usBytes;
    return TRUE;
}

NTSTATUS FindDevicesOnPciBus(CCvLinkedList* pDeviceList) {
    for (ULONG ulBus = 0; ulBus < CV_PCI_MAX_BUSES; ulBus++) {
        for (UCHAR ucDevice = 0; ucDevice < 32; ucDevice++) {
            for (UCHAR ucFunction = 0; ucFunction < 8; ucFunction++) {
                USHORT aunIds[2] = {0, 0};
                if (HalGetBusData(PCIConfiguration, ulBus, SlotOf(ucDevice, ucFunction), aunIds,
                                  sizeof aunIds) == 0)
                    return STATUS_SUCCESS; // this bus does not exist: the scan ends here
                if (aunIds[0] == PCI_INVALID_VENDORID)
                    continue;
                auto* p = static_cast<PPciDeviceStruct>(
                    pDeviceList->AllocateAndInsertNodeAtEnd(sizeof(PciDeviceStruct)));
                if (!p) {
                    pDeviceList->DeleteAllNodes(sizeof(PciDeviceStruct));
                    return CV_STATUS_SEVERE;
                }
                p->ulBusNumber = ulBus;
                p->ucDeviceNumber = ucDevice;
                p->ucFunctionNumber = ucFunction;
                p->unVendorID = aunIds[0];
                p->unDeviceID = aunIds[1];
                LogWithTwoNumbers(CVNT_PCI_CARD_FOUND, aunIds[1], aunIds[0], 16, 16);
            }
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS MatchPciDevicesWithTemplates(CCvLinkedList* pPciDeviceList, CCvLinkedList* pTemplatesCardList) {
    const ULONG ulSize = sizeof(PciDeviceStruct), ulTemplateSize = sizeof(TemplatesCardStruct);
    if (!pPciDeviceList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    if (!pTemplatesCardList->m_pvStartStruct)
        return CV_STATUS_SEVERE;
    for (auto* p = static_cast<PPciDeviceStruct>(pPciDeviceList->GetStartNode(ulSize)); p;) {
        // The template read last wins: the walk goes from the end of the list.
        PTemplatesCardStruct pMatch = NULL;
        for (auto* t = static_cast<PTemplatesCardStruct>(pTemplatesCardList->GetEndNode(ulTemplateSize));
             t && !pMatch;
             t = static_cast<PTemplatesCardStruct>(pTemplatesCardList->GetPreviousNode(ulTemplateSize))) {
            if (t->VendorID == p->unVendorID && (t->DeviceID & 0xFFE0) == (p->unDeviceID & 0xFFE0u) &&
                t->DeviceID <= p->unDeviceID)
                pMatch = t;
        }
        if (!pMatch) {
            p = static_cast<PPciDeviceStruct>(DeleteAndGoOn(pPciDeviceList, ulSize));
            continue;
        }
        if (pMatch->DeviceID == p->unDeviceID)
            LogWithNumber(CVNT_TEMPLATE_MATCH, p->unDeviceID, 16);
        else
            LogWithTwoNumbers(CVNT_TEMPLATE_FAMILY_MATCH, p->unDeviceID, pMatch->DeviceID, 16, 16);
        p->pTemplatesCardStruct = pMatch;
        p = static_cast<PPciDeviceStruct>(pPciDeviceList->GetNextNode(ulSize));
    }
    if (!pPciDeviceList->m_pvStartStruct) {
        Log(CVNT_NO_PCI_TEMPLATE_MATCH);
        return STATUS_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}

NTSTATUS BuildPciCCvDeviceList(CCvLinkedList* pPciDeviceList, CCvLinkedList* pPciCCvDeviceList) {
    const ULONG ulSize = sizeof(PciDeviceStruct);
    if (!pPciDeviceList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (auto* p = static_cast<PPciDeviceStruct>(pPciDeviceList->GetStartNode(ulSize)); p;
         p = static_cast<PPciDeviceStruct>(pPciDeviceList->GetNextNode(ulSize))) {
        PTemplatesCardStruct t = p->pTemplatesCardStruct;
        PCI_COMMON_CONFIG Config;
        RtlZeroMemory(&Config, sizeof Config);
        ULONG ulRead = HalGetBusData(PCIConfiguration, p->ulBusNumber,
                                     SlotOf(p->ucDeviceNumber, p->ucFunctionNumber), &Config, sizeof Config);
        // A header shorter than its common part is as unusable as none at all.
        if (ulRead < PCI_COMMON_HDR_LENGTH || Config.VendorID == PCI_INVALID_VENDORID) {
            Log(CVNT_PCI_BUS_MISMATCH);
            EmptyPortList(pPciCCvDeviceList);
            return STATUS_UNSUCCESSFUL;
        }

        auto* pCard = new (NonPagedPool) CCvCard;
        if (!pCard) {
            EmptyPortList(pPciCCvDeviceList);
            return CV_STATUS_SEVERE;
        }
        pCard->ulVendorID = t->VendorID;
        pCard->ulDeviceID = p->unDeviceID;
        pCard->ulBusNumber = p->ulBusNumber;
        pCard->ucDeviceNumber = p->ucDeviceNumber;
        pCard->ucFunctionNumber = p->ucFunctionNumber;
        pCard->ulNumberComPorts = static_cast<ULONG>(t->nComPorts);
        pCard->ulNumberLptPorts = static_cast<ULONG>(t->nLptPorts);
        pCard->ulBaseAddressAlignment = t->BaseAddressAlignment;
        pCard->m_ucPlxBaudClockType = static_cast<UCHAR>(t->PlxBaudClockType);
        pCard->m_unPlxBaudClockDivisor = static_cast<USHORT>(t->PlxBaudClockDivisor);
        pCard->m_unPlxBaudClockOffset = static_cast<USHORT>(t->PlxBaudClockOffset);
        pCard->m_ucBusRelativeInterruptLine = Config.u.type0.InterruptLine;

        ULONG ulBar = Config.u.type0.BaseAddresses[2];
        if (!(ulBar & PCI_ADDRESS_IO_SPACE)) {
            LogWithNumber(CVNT_MEMORY_BASE_ADDRESS, p->unDeviceID, 16);
            delete pCard;
            EmptyPortList(pPciCCvDeviceList);
            return STATUS_UNSUCCESSFUL;
        }
        pCard->m_ulBusRelativeBaseAddress = ulBar & 0xFFFC;
        LogWithTwoNumbers(CVNT_BASE_ADDRESS_SETTING, p->unDeviceID, pCard->m_ulBusRelativeBaseAddress, 16,
                          16);

        // Validation keeps nComPorts within the card's 8 slots.
        for (ULONG m = 1; m <= pCard->ulNumberComPorts && m <= CV_MAX_PORTS_PER_CARD; m++) {
            auto* pNode = static_cast<PCCvDeviceStruct>(
                pPciCCvDeviceList->AllocateAndInsertNodeAtEnd(sizeof(CCvDeviceStruct)));
            CCvDevice* pDevice = pNode ? new (NonPagedPool) CCvDevice() : NULL;
            if (!pDevice) {
                if (m == 1)
                    delete pCard; // no port holds it yet
                EmptyPortList(pPciCCvDeviceList);
                return CV_STATUS_SEVERE;
            }
            pDevice->pParentCard = pCard;
            pDevice->m_unPortOnCardNumber = static_cast<USHORT>(m);
            pDevice->m_ucBusType = PCIBus;
            pDevice->m_ucCtsTrue = static_cast<UCHAR>(t->CtsTrue);
            pDevice->m_ucDuplexOperation = static_cast<UCHAR>(t->DuplexOperation);
            pDevice->m_ulUartType = t->UartType;
            pCard->apDevice[m - 1] = pDevice;
            pNode->pClass = pDevice;
            pNode->pAssociatedTemplatesCardStruct = t;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS MatchPciCCvDevicesWithParameters(CCvLinkedList* pCCvDeviceList, CCvLinkedList* pParametersCardList) {
    const ULONG ulPortSize = sizeof(ParametersCardPortStruct);
    if (!pCCvDeviceList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (PCCvDeviceStruct pNode : CvPorts(pCCvDeviceList)) {
        CCvDevice* pDevice = pNode->pClass;
        CCvCard* pCard = pDevice->pParentCard;
        const LONG lSlot = static_cast<LONG>(SlotOf(pCard->ucDeviceNumber, pCard->ucFunctionNumber));

        PParametersCardStruct pCardRecord = NULL;
        for (PParametersCardStruct r : CvRecords<ParametersCardStruct>(pParametersCardList)) {
            if (r->nSlot == lSlot && r->nBus == static_cast<LONG>(pCard->ulBusNumber) &&
                r->VendorID == pCard->ulVendorID && r->DeviceID == pCard->ulDeviceID) {
                pCardRecord = r; // the first match wins
                break;
            }
        }
        PParametersCardPortStruct pPortRecord = NULL;
        if (pCardRecord) {
            auto* r = static_cast<PParametersCardPortStruct>(
                pCardRecord->pParametersCardPortList->GetStartNode(ulPortSize));
            for (USHORT m = 1; r && m < pDevice->m_unPortOnCardNumber; m++)
                r = static_cast<PParametersCardPortStruct>(
                    pCardRecord->pParametersCardPortList->GetNextNode(ulPortSize));
            pPortRecord = r;
        }
        if (!pPortRecord) {
            LogWithNumber(CVNT_NO_PARAMETERS_MATCH, pCard->ulDeviceID, 16);
            pDevice->m_ulForcedComNumber = 0;
            continue;
        }

        LogWithNumber(CVNT_PARAMETERS_MATCH, pCard->ulDeviceID, 16);
        if (pDevice->m_uniPathToPort.Buffer)
            operator delete(pDevice->m_uniPathToPort.Buffer);
        if (!CvCopyUnicodeString(pDevice->m_uniPathToPort, &pPortRecord->uniPathToPort, NonPagedPool))
            return CV_STATUS_SEVERE;
        if (CvIsFirstPortOfCard(pNode)) {
            if (pCard->m_uniPathToCard.Buffer)
                operator delete(pCard->m_uniPathToCard.Buffer);
            if (!CvCopyUnicodeString(pCard->m_uniPathToCard, &pCardRecord->uniPathToCard, NonPagedPool))
                return CV_STATUS_SEVERE;
            if (pCardRecord->PlxBaudClockDivisor != 0)
                pCard->m_unPlxBaudClockDivisor = static_cast<USHORT>(pCardRecord->PlxBaudClockDivisor);
        }
        pDevice->m_ulForcedComNumber = static_cast<ULONG>(pPortRecord->nCom);
        if (pPortRecord->UartType != 0)
            pDevice->m_ulUartType = pPortRecord->UartType;
        if (pPortRecord->DuplexOperation != -1)
            pDevice->m_ucDuplexOperation = static_cast<UCHAR>(pPortRecord->DuplexOperation);
        if (pPortRecord->CtsTrue != -1)
            pDevice->m_ucCtsTrue = static_cast<UCHAR>(pPortRecord->CtsTrue);
        pNode->pAssociatedParametersCardStruct = pCardRecord;
        pNode->pAssociatedParametersCardPortStruct = pPortRecord;
    }
    return STATUS_SUCCESS;
}
