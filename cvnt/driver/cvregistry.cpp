// Reading CvNt's configuration tree: the PCI templates, the installed PCI cards and the installed ISA
// cards with their ports, each into a list of records, validated and repaired in place.
#include "CvRegistry.h"
#include "CvUart.h"

#include "CvCard.h"
#include "CvErrorLog.h"
#include "CvResourceKiller.h"
#include "CvRegistryRecords.h"
#include "CvUnicode.h"
#include "cvntmsg.h"

#include <stddef.h>

namespace {

const CV_RECORD_VALUE kTemplateValues[] = {
    CV_DWORD("VendorID", TemplatesCardStruct, VendorID, 0),
    CV_DWORD("DeviceID", TemplatesCardStruct, DeviceID, 0),
    CV_DWORD("ClockFrequency", TemplatesCardStruct, ClockFrequency, 0),
    CV_DWORD("ClockFrequencyAdjustment", TemplatesCardStruct, ClockFrequencyAdjustment, 1),
    CV_DWORD("nComPorts", TemplatesCardStruct, nComPorts, -1),
    CV_DWORD("nLptPorts", TemplatesCardStruct, nLptPorts, -1),
    CV_DWORD("BaseAddressAlignment", TemplatesCardStruct, BaseAddressAlignment, 0),
    CV_DWORD("PlxBaudClockType", TemplatesCardStruct, PlxBaudClockType, 0),
    CV_DWORD("PlxBaudClockDivisor", TemplatesCardStruct, PlxBaudClockDivisor, 0),
    CV_DWORD("PlxBaudClockOffset", TemplatesCardStruct, PlxBaudClockOffset, 0),
    CV_DWORD("CtsTrue", TemplatesCardStruct, CtsTrue, -1),
    CV_DWORD("DuplexOperation", TemplatesCardStruct, DuplexOperation, -1),
    CV_DWORD("UartType", TemplatesCardStruct, UartType, 0),
    CV_DWORD("RxTriggerLevel", TemplatesCardStruct, RxTriggerLevel, -1),
    CV_DWORD("TxTriggerLevel", TemplatesCardStruct, TxTriggerLevel, -1),
    CV_DWORD("SoftTxLimit", TemplatesCardStruct, SoftTxLimit, -1),
    CV_STRING("Description", TemplatesCardStruct, Description),
};

const CV_RECORD_VALUE kPciCardValues[] = {
    CV_DWORD("VendorID", ParametersCardStruct, VendorID, 0),
    CV_DWORD("DeviceID", ParametersCardStruct, DeviceID, 0),
    CV_DWORD("nBus", ParametersCardStruct, nBus, -1),
    CV_DWORD("nSlot", ParametersCardStruct, nSlot, -1),
    CV_DWORD("PlxBaudClockDivisor", ParametersCardStruct, PlxBaudClockDivisor, 0),
};

const CV_RECORD_VALUE kIsaCardValues[] = {
    CV_DWORD("ClockFrequency", ParametersCardStruct, ClockFrequency, 0),
    CV_DWORD("ClockFrequencyAdjustment", ParametersCardStruct, ClockFrequencyAdjustment, 0),
    CV_DWORD("PlxBaudClockType", ParametersCardStruct, PlxBaudClockType, 0),
    CV_DWORD("PlxBaudClockDivisor", ParametersCardStruct, PlxBaudClockDivisor, 0),
    CV_DWORD("SisrAddress", ParametersCardStruct, ulSisrAddress, 0),
    CV_DWORD("InterruptLevel", ParametersCardStruct, ulInterruptLevel, 0),
};

const CV_RECORD_VALUE kPciPortValues[] = {
    CV_DWORD("nCom", ParametersCardPortStruct, nCom, -1),
    CV_DWORD("UartType", ParametersCardPortStruct, UartType, 0),
    CV_DWORD("RxTriggerLevel", ParametersCardPortStruct, RxTriggerLevel, -1),
    CV_DWORD("TxTriggerLevel", ParametersCardPortStruct, TxTriggerLevel, -1),
    CV_DWORD("SoftTxLimit", ParametersCardPortStruct, SoftTxLimit, -1),
    CV_DWORD("PlxBaudClockDivisor", ParametersCardPortStruct, PlxBaudClockDivisor, -1),
    CV_DWORD("CtsTrue", ParametersCardPortStruct, CtsTrue, -1),
    CV_DWORD("Duplexoperation", ParametersCardPortStruct, DuplexOperation, -1),
};

const CV_RECORD_VALUE kIsaPortValues[] = {
    CV_DWORD("BaseAddress", ParametersCardPortStruct, ulBaseAddress, 0),
    CV_DWORD("BaseAddressRange", ParametersCardPortStruct, ulBaseAddressRange, 0),
    CV_DWORD("BaseAddressAlignment", ParametersCardPortStruct, ulBaseAddressAlignment, 0),
    CV_DWORD("InterruptLevel", ParametersCardPortStruct, ulInterruptLevel, 0),
    CV_DWORD("nCom", ParametersCardPortStruct, nCom, 0),
    CV_DWORD("UartType", ParametersCardPortStruct, UartType, 0),
    CV_DWORD("RxTriggerLevel", ParametersCardPortStruct, RxTriggerLevel, -1),
    CV_DWORD("TxTriggerLevel", ParametersCardPortStruct, TxTriggerLevel, -1),
    CV_DWORD("SoftTxLimit", ParametersCardPortStruct, SoftTxLimit, -1),
};

// What one kind of key holds and how its record is laid out.
struct KeyKind {
    PCWSTR pKeyWord; // "\Card" or "\ComPort"
    const CV_RECORD_VALUE* pValues;
    ULONG ulValues;
    ULONG ulStructSize;
    LONG lPathOffset;  // where the copy of the key's path goes, or -1
    BOOLEAN bPciPorts; // a PCI card: read its ports
    BOOLEAN bIsaPorts; // an ISA card: read its ports
};

const KeyKind kTemplateKey = {
    u"\\Card", kTemplateValues, CvCountOf(kTemplateValues), sizeof(TemplatesCardStruct), -1, FALSE, FALSE};
const KeyKind kPciCardKey = {u"\\Card",
                             kPciCardValues,
                             CvCountOf(kPciCardValues),
                             sizeof(ParametersCardStruct),
                             offsetof(ParametersCardStruct, uniPathToCard),
                             TRUE,
                             FALSE};
const KeyKind kIsaCardKey = {u"\\Card",
                             kIsaCardValues,
                             CvCountOf(kIsaCardValues),
                             sizeof(ParametersCardStruct),
                             offsetof(ParametersCardStruct, uniPathToCard),
                             FALSE,
                             TRUE};
const KeyKind kPciPortKey = {u"\\ComPort",
                             kPciPortValues,
                             CvCountOf(kPciPortValues),
                             sizeof(ParametersCardPortStruct),
                             offsetof(ParametersCardPortStruct, uniPathToPort),
                             FALSE,
                             FALSE};
const KeyKind kIsaPortKey = {u"\\ComPort",
                             kIsaPortValues,
                             CvCountOf(kIsaPortValues),
                             sizeof(ParametersCardPortStruct),
                             offsetof(ParametersCardPortStruct, uniPathToPort),
                             FALSE,
                             FALSE};

// Walks Card1, Card2, ... (or ComPort1, ...) under puniParent into pList.
NTSTATUS ReadKeys(PUNICODE_STRING puniParent, CCvLinkedList* pList, const KeyKind& kind) {
    NTSTATUS Status = STATUS_SUCCESS;
    for (ULONG n = 1;; n++) {
        CCvUnicode uniPath(PagedPool);
        if (!CvBuildPath(uniPath, puniParent, kind.pKeyWord, n)) {
            Status = STATUS_UNSUCCESSFUL;
            break;
        }
        NTSTATUS KeyStatus = CvCheckKey(uniPath);
        if (KeyStatus == STATUS_OBJECT_NAME_NOT_FOUND)
            break; // the first missing number ends the list
        if (!NT_SUCCESS(KeyStatus)) {
            Status = STATUS_UNSUCCESSFUL;
            break;
        }
        PVOID pvRecord = pList->AllocateAndInsertNodeAtEnd(kind.ulStructSize);
        if (!pvRecord) {
            Status = STATUS_UNSUCCESSFUL;
            break;
        }
        if (kind.lPathOffset >= 0 &&
            uniPath.ObtainCopy(*reinterpret_cast<PUNICODE_STRING>(static_cast<PUCHAR>(pvRecord) +
                                                                  kind.lPathOffset)) != STATUS_SUCCESS) {
            Status = STATUS_UNSUCCESSFUL;
            break;
        }
        if (CvQueryRecord(uniPath, kind.pValues, kind.ulValues, pvRecord) != STATUS_SUCCESS) {
            Status = STATUS_UNSUCCESSFUL;
            break;
        }
        if (kind.bPciPorts || kind.bIsaPorts) {
            auto* pCard = static_cast<PParametersCardStruct>(pvRecord);
            pCard->pParametersCardPortList = CvCreateParametersCardPortList();
            if (!pCard->pParametersCardPortList) {
                Status = STATUS_UNSUCCESSFUL;
                break;
            }
            NTSTATUS PortStatus =
                kind.bPciPorts
                    ? GetParametersCardPortPci(&pCard->uniPathToCard, pCard->pParametersCardPortList)
                    : GetParametersCardPortIsa(&pCard->uniPathToCard, pCard->pParametersCardPortList);
            if (NT_SUCCESS(PortStatus))
                PortStatus = kind.bPciPorts ? EvaluateParametersCardPortPci(pCard->pParametersCardPortList)
                                            : EvaluateParametersCardPortIsa(pCard->pParametersCardPortList);
            if (!NT_SUCCESS(PortStatus)) {
                pList->GetEndNode(kind.ulStructSize); // this card, the last record so far
                pList->DeleteCurrentNode(kind.ulStructSize);
                continue;
            }
        }
    }
    if (!NT_SUCCESS(Status))
        pList->DeleteAllNodes(kind.ulStructSize);
    return Status;
}

CCvLinkedList* CreateList(ULONG ulPointerOffset, LONG lListOffset, ULONG ulNestedSize) {
    auto* pList = new (PagedPool) CCvLinkedList(PagedPool);
    if (!pList)
        return NULL;
    pList->RegisterPointerMember(ulPointerOffset);
    if (lListOffset >= 0)
        pList->RegisterListMember(static_cast<ULONG>(lListOffset), ulNestedSize);
    return pList;
}

VOID DeleteList(CCvLinkedList*& pList, ULONG ulStructSize) {
    if (!pList)
        return;
    pList->DeleteAllNodes(ulStructSize);
    delete pList;
    pList = NULL;
}

// One branch: its key missing, unreadable, or read and validated.
VOID ReadBranch(PUNICODE_STRING puniBranch, CCvLinkedList* pList,
                NTSTATUS (*Read)(PUNICODE_STRING, CCvLinkedList*), NTSTATUS (*Evaluate)(CCvLinkedList*),
                ULONG ulMissing, ULONG ulUnreadable) {
    NTSTATUS KeyStatus = RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, puniBranch->Buffer);
    if (KeyStatus == STATUS_OBJECT_NAME_NOT_FOUND) {
        Log(ulMissing);
        return;
    }
    if (!NT_SUCCESS(KeyStatus) || !NT_SUCCESS(Read(puniBranch, pList))) {
        Log(ulUnreadable);
        return;
    }
    Evaluate(pList);
}

} // namespace

CCvLinkedList* CvCreateTemplatesCardList() {
    return CreateList(offsetof(TemplatesCardStruct, Description.Buffer), -1, 0);
}

CCvLinkedList* CvCreateParametersCardList() {
    return CreateList(offsetof(ParametersCardStruct, uniPathToCard.Buffer),
                      offsetof(ParametersCardStruct, pParametersCardPortList),
                      sizeof(ParametersCardPortStruct));
}

CCvLinkedList* CvCreateParametersCardPortList() {
    return CreateList(offsetof(ParametersCardPortStruct, uniPathToPort.Buffer), -1, 0);
}

NTSTATUS GetTemplatesCardPci(PUNICODE_STRING puniBranch, CCvLinkedList* pList) {
    return ReadKeys(puniBranch, pList, kTemplateKey);
}

NTSTATUS GetParametersCardPci(PUNICODE_STRING puniBranch, CCvLinkedList* pList) {
    return ReadKeys(puniBranch, pList, kPciCardKey);
}

NTSTATUS GetParametersCardPortPci(PUNICODE_STRING puniCard, CCvLinkedList* pList) {
    return ReadKeys(puniCard, pList, kPciPortKey);
}

NTSTATUS GetParametersCardIsa(PUNICODE_STRING puniBranch, CCvLinkedList* pList) {
    return ReadKeys(puniBranch, pList, kIsaCardKey);
}

NTSTATUS GetParametersCardPortIsa(PUNICODE_STRING puniCard, CCvLinkedList* pList) {
    return ReadKeys(puniCard, pList, kIsaPortKey);
}

namespace {

// The COM numbers Windows names: COM1 to COM256.
BOOLEAN IsComNumber(LONG nCom) {
    return nCom >= 1 && nCom <= 256;
}

const ULONG kLastIoAddress = 0xFFFF;

} // namespace

NTSTATUS EvaluateTemplatesCardPci(CCvLinkedList* pList) {
    const ULONG ulSize = sizeof(TemplatesCardStruct);
    for (auto* p = static_cast<PTemplatesCardStruct>(pList->GetStartNode(ulSize)); p;) {
        if (p->RxTriggerLevel == -1)
            p->RxTriggerLevel = 100;
        if (p->TxTriggerLevel == -1)
            p->TxTriggerLevel = 1;
        if (p->SoftTxLimit == -1)
            p->SoftTxLimit = 100;
        if (!CvIsKnownUartType(p->UartType))
            p->UartType = 0;
        if (p->ClockFrequencyAdjustment == 0)
            p->ClockFrequencyAdjustment = 1;

        BOOLEAN bBad = p->ClockFrequency == 0 || p->DeviceID == 0 || p->VendorID == 0 || p->nComPorts == -1 ||
                       p->BaseAddressAlignment == 0 || p->Description.Length == 0 || p->nLptPorts == -1;
        // A card holds at most 8 ports: a template that claims more (or none) cannot be served.
        bBad = bBad || p->nComPorts < 1 || p->nComPorts > CV_MAX_PORTS_PER_CARD;
        // The ports' UARTs lie this far apart in the card's window; a UART takes eight registers on an
        // eight-byte boundary, so a spacing that is no multiple of eight puts ports on top of each other
        // or between the UARTs.
        bBad = bBad || p->BaseAddressAlignment % UART_REGISTER_COUNT != 0;
        if (p->PlxBaudClockType == 1 || p->PlxBaudClockType == 2)
            bBad = bBad || p->PlxBaudClockDivisor == 0 || p->PlxBaudClockOffset == 0;
        if (p->PlxBaudClockType == 3)
            bBad = bBad || p->DuplexOperation == -1 || p->PlxBaudClockDivisor == 0 || p->CtsTrue == -1;
        if (!bBad) {
            p = static_cast<PTemplatesCardStruct>(pList->GetNextNode(ulSize));
            continue;
        }
        if (p->DeviceID == 0)
            Log(CVNT_TEMPLATE_DEVICE_ID_MISSING);
        else
            LogWithNumber(CVNT_PCI_TEMPLATE_VALUES_INVALID, p->DeviceID, 16);
        p = static_cast<PTemplatesCardStruct>(CvDeleteAndGoOn(pList, ulSize));
    }
    return pList->m_pvStartStruct ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

NTSTATUS EvaluateParametersCardPci(CCvLinkedList* pList) {
    const ULONG ulSize = sizeof(ParametersCardStruct);
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (auto* p = static_cast<PParametersCardStruct>(pList->GetStartNode(ulSize)); p;) {
        if (p->VendorID != 0 && p->DeviceID != 0 && p->nBus != -1 && p->nSlot != -1) {
            p = static_cast<PParametersCardStruct>(pList->GetNextNode(ulSize));
            continue;
        }
        if (p->DeviceID == 0)
            Log(CVNT_PARAMETERS_DEVICE_ID_MISSING);
        else
            LogWithNumber(CVNT_PARAMETERS_VALUES_INVALID, p->DeviceID, 16);
        p = static_cast<PParametersCardStruct>(CvDeleteAndGoOn(pList, ulSize));
    }
    return pList->m_pvStartStruct ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

NTSTATUS EvaluateParametersCardPortPci(CCvLinkedList* pList) {
    const ULONG ulSize = sizeof(ParametersCardPortStruct);
    for (auto* p = static_cast<PParametersCardPortStruct>(pList->GetStartNode(ulSize)); p;
         p = static_cast<PParametersCardPortStruct>(pList->GetNextNode(ulSize))) {
        if (p->nCom == -1)
            p->nCom = 0;
        if (!IsComNumber(p->nCom) && p->nCom != 0) {
            LogWithNumber(CVNT_NCOM_OUT_OF_RANGE, static_cast<ULONG>(p->nCom), 16);
            p->nCom = 0;
        }
        if (!CvIsKnownUartType(p->UartType))
            p->UartType = 0;
    }
    return pList->m_pvStartStruct ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

NTSTATUS EvaluateParametersCardIsa(CCvLinkedList* pList) {
    const ULONG ulSize = sizeof(ParametersCardStruct);
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (auto* p = static_cast<PParametersCardStruct>(pList->GetStartNode(ulSize)); p;) {
        if (p->ClockFrequencyAdjustment == 0)
            p->ClockFrequencyAdjustment = 1;
        BOOLEAN bBad = (p->ulSisrAddress != 0 && p->ulInterruptLevel == 0) ||
                       (p->PlxBaudClockType == 4 && p->PlxBaudClockDivisor == 0) || p->ClockFrequency == 0 ||
                       p->ulSisrAddress > kLastIoAddress;
        if (!bBad) {
            p = static_cast<PParametersCardStruct>(pList->GetNextNode(ulSize));
            continue;
        }
        Log(CVNT_ISA_PARAMETERS_VALUES_INVALID);
        p = static_cast<PParametersCardStruct>(CvDeleteAndGoOn(pList, ulSize));
    }
    return pList->m_pvStartStruct ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

NTSTATUS EvaluateParametersCardPortIsa(CCvLinkedList* pList) {
    const ULONG ulSize = sizeof(ParametersCardPortStruct);
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (auto* p = static_cast<PParametersCardPortStruct>(pList->GetStartNode(ulSize)); p;) {
        if (p->SoftTxLimit == -1)
            p->SoftTxLimit = 100;
        if (p->RxTriggerLevel == -1)
            p->RxTriggerLevel = 100;
        if (p->TxTriggerLevel == -1)
            p->TxTriggerLevel = 1;
        if (!CvIsKnownUartType(p->UartType))
            p->UartType = 0;
        // The number must be one Windows names, and the range must lie in the 16-bit I/O space the
        // driver addresses.
        BOOLEAN bBad = !IsComNumber(p->nCom) || p->ulBaseAddress == 0 || p->ulBaseAddressRange == 0 ||
                       p->ulBaseAddressAlignment == 0 || p->ulBaseAddress > kLastIoAddress ||
                       p->ulBaseAddressRange > kLastIoAddress + 1 - p->ulBaseAddress;
        if (!bBad) {
            p = static_cast<PParametersCardPortStruct>(pList->GetNextNode(ulSize));
            continue;
        }
        Log(CVNT_ISA_PARAMETERS_VALUES_INVALID);
        p = static_cast<PParametersCardPortStruct>(CvDeleteAndGoOn(pList, ulSize));
    }
    return pList->m_pvStartStruct ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

NTSTATUS GetRegistrySettings(PUNICODE_STRING RegistryPath, PPciBusStruct pPciBusStruct,
                             PIsaBusStruct pIsaBusStruct) {
    pPciBusStruct->pTemplatesCardList = CvCreateTemplatesCardList();
    pPciBusStruct->pParametersCardList = CvCreateParametersCardList();
    pIsaBusStruct->pParametersCardList = CvCreateParametersCardList();
    CCvUnicode uniTemplates(PagedPool), uniPci(PagedPool), uniIsa(PagedPool);
    if (!pPciBusStruct->pTemplatesCardList || !pPciBusStruct->pParametersCardList ||
        !pIsaBusStruct->pParametersCardList ||
        !CvBuildPath(uniTemplates, RegistryPath, u"\\Templates\\Bus5") ||
        !CvBuildPath(uniPci, RegistryPath, u"\\Parameters\\Bus5") ||
        !CvBuildPath(uniIsa, RegistryPath, u"\\Parameters\\Bus1")) {
        DeleteRegistrySettings(pPciBusStruct, pIsaBusStruct);
        return CV_STATUS_SEVERE;
    }
    ReadBranch(uniTemplates, pPciBusStruct->pTemplatesCardList, GetTemplatesCardPci, EvaluateTemplatesCardPci,
               CVNT_NO_PCI_TEMPLATES_KEY, CVNT_PCI_TEMPLATES_READ_ERROR);
    ReadBranch(uniPci, pPciBusStruct->pParametersCardList, GetParametersCardPci, EvaluateParametersCardPci,
               CVNT_NO_PCI_PARAMETERS_KEY, CVNT_PCI_PARAMETERS_READ_ERROR);
    ReadBranch(uniIsa, pIsaBusStruct->pParametersCardList, GetParametersCardIsa, EvaluateParametersCardIsa,
               CVNT_NO_ISA_PARAMETERS_KEY, CVNT_ISA_PARAMETERS_READ_ERROR);
    return STATUS_SUCCESS;
}

VOID DeleteRegistrySettings(PPciBusStruct pPciBusStruct, PIsaBusStruct pIsaBusStruct) {
    DeleteList(pPciBusStruct->pTemplatesCardList, sizeof(TemplatesCardStruct));
    DeleteList(pPciBusStruct->pParametersCardList, sizeof(ParametersCardStruct));
    DeleteList(pIsaBusStruct->pParametersCardList, sizeof(ParametersCardStruct));
}
