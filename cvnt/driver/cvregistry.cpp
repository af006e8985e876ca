// Reading CvNt's configuration tree: the PCI templates, the installed PCI cards and the installed ISA
// cards with their ports, each into a list of records, validated and repaired in place.
#include "CvRegistry.h"
#include "CvUart.h"

#include "CvCard.h"
#include "CvErrorLog.h"
#include "CvResourceKiller.h"
#include "CvUnicode.h"
#include "cvntmsg.h"

#include <stddef.h>

namespace {

// One REG_DWORD value of a key: its name, where it goes in the record and its default.
struct DwordValue {
    PCWSTR pName;
    ULONG ulOffset;
    ULONG ulDefault;
};

#define CV_VALUE(name, record, field, def)                                                                   \
    { u##name, offsetof(record, field), (ULONG)(def) }

const DwordValue kTemplateValues[] = {
    CV_VALUE("VendorID", TemplatesCardStruct, VendorID, 0),
    CV_VALUE("DeviceID", TemplatesCardStruct, DeviceID, 0),
    CV_VALUE("ClockFrequency", TemplatesCardStruct, ClockFrequency, 0),
    CV_VALUE("ClockFrequencyAdjustment", TemplatesCardStruct, ClockFrequencyAdjustment, 1),
    CV_VALUE("nComPorts", TemplatesCardStruct, nComPorts, -1),
    CV_VALUE("nLptPorts", TemplatesCardStruct, nLptPorts, -1),
    CV_VALUE("BaseAddressAlignment", TemplatesCardStruct, BaseAddressAlignment, 0),
    CV_VALUE("PlxBaudClockType", TemplatesCardStruct, PlxBaudClockType, 0),
    CV_VALUE("PlxBaudClockDivisor", TemplatesCardStruct, PlxBaudClockDivisor, 0),
    CV_VALUE("PlxBaudClockOffset", TemplatesCardStruct, PlxBaudClockOffset, 0),
    CV_VALUE("CtsTrue", TemplatesCardStruct, CtsTrue, -1),
    CV_VALUE("DuplexOperation", TemplatesCardStruct, DuplexOperation, -1),
    CV_VALUE("UartType", TemplatesCardStruct, UartType, 0),
    CV_VALUE("RxTriggerLevel", TemplatesCardStruct, RxTriggerLevel, -1),
    CV_VALUE("TxTriggerLevel", TemplatesCardStruct, TxTriggerLevel, -1),
    CV_VALUE("SoftTxLimit", TemplatesCardStruct, SoftTxLimit, -1),
};

const DwordValue kPciCardValues[] = {
    CV_VALUE("VendorID", ParametersCardStruct, VendorID, 0),
    CV_VALUE("DeviceID", ParametersCardStruct, DeviceID, 0),
    CV_VALUE("nBus", ParametersCardStruct, nBus, -1),
    CV_VALUE("nSlot", ParametersCardStruct, nSlot, -1),
    CV_VALUE("PlxBaudClockDivisor", ParametersCardStruct, PlxBaudClockDivisor, 0),
};

const DwordValue kIsaCardValues[] = {
    CV_VALUE("ClockFrequency", ParametersCardStruct, ClockFrequency, 0),
    CV_VALUE("ClockFrequencyAdjustment", ParametersCardStruct, ClockFrequencyAdjustment, 0),
    CV_VALUE("PlxBaudClockType", ParametersCardStruct, PlxBaudClockType, 0),
    CV_VALUE("PlxBaudClockDivisor", ParametersCardStruct, PlxBaudClockDivisor, 0),
    CV_VALUE("SisrAddress", ParametersCardStruct, ulSisrAddress, 0),
    CV_VALUE("InterruptLevel", ParametersCardStruct, ulInterruptLevel, 0),
};

const DwordValue kPciPortValues[] = {
    CV_VALUE("nCom", ParametersCardPortStruct, nCom, -1),
    CV_VALUE("UartType", ParametersCardPortStruct, UartType, 0),
    CV_VALUE("RxTriggerLevel", ParametersCardPortStruct, RxTriggerLevel, -1),
    CV_VALUE("TxTriggerLevel", ParametersCardPortStruct, TxTriggerLevel, -1),
    CV_VALUE("SoftTxLimit", ParametersCardPortStruct, SoftTxLimit, -1),
    CV_VALUE("PlxBaudClockDivisor", ParametersCardPortStruct, PlxBaudClockDivisor, -1),
    CV_VALUE("CtsTrue", ParametersCardPortStruct, CtsTrue, -1),
    CV_VALUE("Duplexoperation", ParametersCardPortStruct, DuplexOperation, -1),
};

const DwordValue kIsaPortValues[] = {
    CV_VALUE("BaseAddress", ParametersCardPortStruct, ulBaseAddress, 0),
    CV_VALUE("BaseAddressRange", ParametersCardPortStruct, ulBaseAddressRange, 0),
    CV_VALUE("BaseAddressAlignment", ParametersCardPortStruct, ulBaseAddressAlignment, 0),
    CV_VALUE("InterruptLevel", ParametersCardPortStruct, ulInterruptLevel, 0),
    CV_VALUE("nCom", ParametersCardPortStruct, nCom, 0),
    CV_VALUE("UartType", ParametersCardPortStruct, UartType, 0),
    CV_VALUE("RxTriggerLevel", ParametersCardPortStruct, RxTriggerLevel, -1),
    CV_VALUE("TxTriggerLevel", ParametersCardPortStruct, TxTriggerLevel, -1),
    CV_VALUE("SoftTxLimit", ParametersCardPortStruct, SoftTxLimit, -1),
};

#undef CV_VALUE

template <size_t N>
constexpr ULONG CountOf(const DwordValue (&)[N]) {
    return N;
}

// What one kind of key holds and how its record is laid out.
struct KeyKind {
    PCWSTR pKeyWord; // "\Card" or "\ComPort"
    const DwordValue* pValues;
    ULONG ulValues;
    ULONG ulStructSize;
    BOOLEAN bTemplate; // has a Description
    LONG lPathOffset;  // where the copy of the key's path goes, or -1
    BOOLEAN bPciPorts; // a PCI card: read its ports
    BOOLEAN bIsaPorts; // an ISA card: read its ports
};

const KeyKind kTemplateKey = {
    u"\\Card", kTemplateValues, CountOf(kTemplateValues), sizeof(TemplatesCardStruct), TRUE, -1, FALSE,
    FALSE};
const KeyKind kPciCardKey = {u"\\Card",
                             kPciCardValues,
                             CountOf(kPciCardValues),
                             sizeof(ParametersCardStruct),
                             FALSE,
                             offsetof(ParametersCardStruct, uniPathToCard),
                             TRUE,
                             FALSE};
const KeyKind kIsaCardKey = {u"\\Card",
                             kIsaCardValues,
                             CountOf(kIsaCardValues),
                             sizeof(ParametersCardStruct),
                             FALSE,
                             offsetof(ParametersCardStruct, uniPathToCard),
                             FALSE,
                             TRUE};
const KeyKind kPciPortKey = {u"\\ComPort",
                             kPciPortValues,
                             CountOf(kPciPortValues),
                             sizeof(ParametersCardPortStruct),
                             FALSE,
                             offsetof(ParametersCardPortStruct, uniPathToPort),
                             FALSE,
                             FALSE};
const KeyKind kIsaPortKey = {u"\\ComPort",
                             kIsaPortValues,
                             CountOf(kIsaPortValues),
                             sizeof(ParametersCardPortStruct),
                             FALSE,
                             offsetof(ParametersCardPortStruct, uniPathToPort),
                             FALSE,
                             FALSE};

const WCHAR kEmpty[] = u"";

// Numbers are stored only from a REG_DWORD: taken directly, a string or a longer value of the same
// name would be written over the record as a string descriptor or a sized buffer. A value of another
// type fails the key's query, as an overlong Description does.
NTSTATUS QueryDword(PWSTR, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID, PVOID EntryContext) {
    if (ValueType != REG_DWORD || ValueLength != sizeof(ULONG))
        return STATUS_OBJECT_TYPE_MISMATCH;
    RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
    return STATUS_SUCCESS;
}

// The Description into its fixed buffer: a text longer than the buffer fails the query.
NTSTATUS QueryDescription(PWSTR, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID,
                          PVOID EntryContext) {
    auto* puni = static_cast<PUNICODE_STRING>(EntryContext);
    if (ValueType != REG_SZ && ValueType != REG_EXPAND_SZ)
        return STATUS_OBJECT_TYPE_MISMATCH;
    auto* pText = static_cast<const WCHAR*>(ValueData);
    ULONG ulChars = 0;
    while (ulChars < ValueLength / sizeof(WCHAR) && pText[ulChars])
        ulChars++;
    if ((ulChars + 1) * sizeof(WCHAR) > puni->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(puni->Buffer, pText, ulChars * sizeof(WCHAR));
    puni->Buffer[ulChars] = UNICODE_NULL;
    puni->Length = static_cast<USHORT>(ulChars * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

PULONG Field(PVOID pvRecord, ULONG ulOffset) {
    return reinterpret_cast<PULONG>(static_cast<PUCHAR>(pvRecord) + ulOffset);
}

// path = parent + word (+ number): each step is checked, since a later step would succeed on what an
// earlier failed one left.
BOOLEAN BuildPath(CCvUnicode& uniPath, PUNICODE_STRING puniParent, PCWSTR pWord, ULONG ulNumber = 0) {
    if (uniPath.Append(static_cast<PCUNICODE_STRING>(puniParent)) != STATUS_SUCCESS ||
        uniPath.Append(pWord) != STATUS_SUCCESS)
        return FALSE;
    return ulNumber == 0 || uniPath.Append(ulNumber, 10) == STATUS_SUCCESS;
}

// Deletes the list's current record and returns the one after it, or null when it was the last.
PVOID DeleteAndGoOn(CCvLinkedList* pList, ULONG ulStructSize) {
    BOOLEAN bLast = pList->GetCurrentNode() == pList->m_pvEndStruct;
    pList->DeleteCurrentNode(ulStructSize);
    return bLast ? NULL : pList->GetCurrentNode();
}

BOOLEAN IsKnownUartType(ULONG ulType) {
    return ulType == 4 || ulType == 5 || ulType == 7 || ulType == 9;
}

// Walks Card1, Card2, ... (or ComPort1, ...) under puniParent into pList.
NTSTATUS ReadKeys(PUNICODE_STRING puniParent, CCvLinkedList* pList, const KeyKind& kind) {
    const ULONG ulEntries = kind.ulValues + (kind.bTemplate ? 1 : 0) + 1;
    auto* pTable = static_cast<PRTL_QUERY_REGISTRY_TABLE>(
        ExAllocatePoolWithTag(PagedPool, ulEntries * sizeof(RTL_QUERY_REGISTRY_TABLE), CV_TAG_DDK));
    if (!pTable)
        return STATUS_NO_MEMORY;

    NTSTATUS Status = STATUS_SUCCESS;
    for (ULONG n = 1;; n++) {
        CCvUnicode uniPath(PagedPool);
        if (!BuildPath(uniPath, puniParent, kind.pKeyWord, n)) {
            Status = STATUS_UNSUCCESSFUL;
            break;
        }
        NTSTATUS KeyStatus = RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, uniPath);
        if (KeyStatus == STATUS_OBJECT_NAME_NOT_FOUND)
            break; // the first missing number ends the list
        if (!NT_SUCCESS(KeyStatus)) {
            Status = STATUS_UNSUCCESSFUL; // a key that could not be looked at is not a missing one
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

        RtlZeroMemory(pTable, ulEntries * sizeof(RTL_QUERY_REGISTRY_TABLE));
        ULONG e = 0;
        for (ULONG v = 0; v < kind.ulValues; v++, e++) {
            pTable[e].QueryRoutine = QueryDword;
            pTable[e].Name = const_cast<PWSTR>(kind.pValues[v].pName);
            pTable[e].EntryContext = Field(pvRecord, kind.pValues[v].ulOffset);
            pTable[e].DefaultType = REG_DWORD;
            pTable[e].DefaultData = const_cast<PULONG>(&kind.pValues[v].ulDefault);
            pTable[e].DefaultLength = sizeof(ULONG);
        }
        if (kind.bTemplate) {
            auto* pTemplate = static_cast<PTemplatesCardStruct>(pvRecord);
            const USHORT usBytes = (CV_MAX_DESCRIPTION_CHARS + 1) * sizeof(WCHAR);
            pTemplate->Description.Buffer =
                static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, usBytes, CV_TAG_DDK));
            if (!pTemplate->Description.Buffer) {
                Status = STATUS_UNSUCCESSFUL;
                break;
            }
            pTemplate->Description.Buffer[0] = UNICODE_NULL;
            pTemplate->Description.MaximumLength = usBytes;
            pTable[e].QueryRoutine = QueryDescription;
            pTable[e].Name = const_cast<PWSTR>(u"Description");
            pTable[e].EntryContext = &pTemplate->Description;
            pTable[e].DefaultType = REG_SZ;
            pTable[e].DefaultData = const_cast<PWSTR>(kEmpty);
            pTable[e].DefaultLength = 0;
        }
        if (!NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, uniPath, pTable,
                                               NULL, NULL))) {
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

        if (kind.bTemplate) {
            // The text keeps only the room it needs.
            auto* pTemplate = static_cast<PTemplatesCardStruct>(pvRecord);
            USHORT usBytes = static_cast<USHORT>(pTemplate->Description.Length + sizeof(WCHAR));
            auto* pShort = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, usBytes, CV_TAG_DDK));
            if (!pShort) {
                Status = STATUS_UNSUCCESSFUL;
                break;
            }
            RtlCopyMemory(pShort, pTemplate->Description.Buffer, usBytes);
            ExFreePool(pTemplate->Description.Buffer);
            pTemplate->Description.Buffer = pShort;
            pTemplate->Description.MaximumLength = usBytes;
        }
    }
    ExFreePool(pTable);
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
        if (!IsKnownUartType(p->UartType))
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
        p = static_cast<PTemplatesCardStruct>(DeleteAndGoOn(pList, ulSize));
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
        p = static_cast<PParametersCardStruct>(DeleteAndGoOn(pList, ulSize));
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
        if (!IsKnownUartType(p->UartType))
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
        p = static_cast<PParametersCardStruct>(DeleteAndGoOn(pList, ulSize));
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
        if (!IsKnownUartType(p->UartType))
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
        p = static_cast<PParametersCardPortStruct>(DeleteAndGoOn(pList, ulSize));
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
        !pIsaBusStruct->pParametersCardList || !BuildPath(uniTemplates, RegistryPath, u"\\Templates\\Bus5") ||
        !BuildPath(uniPci, RegistryPath, u"\\Parameters\\Bus5") ||
        !BuildPath(uniIsa, RegistryPath, u"\\Parameters\\Bus1")) {
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
