// CvInstal's registry tree: the card templates and installed-card parameters of three buses, read at
// entry and validated in place; a bus's parameters read afresh whenever a card device is opened; each
// card's device key with what the driver found; and the removal of the older CvNt service.
#include "CvInstal.h"

#include "CvErrorLog.h"
#include "CvRegistryRecords.h"
#include "CvResourceKiller.h"
#include "CvUnicode.h"
#include "cvinstalmsg.h"

#include <stddef.h>

CCvLinkedList* pPciTemplatesList = NULL;
CCvLinkedList* pPciParametersList = NULL;
CCvLinkedList* pIsaTemplatesList = NULL;
CCvLinkedList* pIsaParametersList = NULL;
CCvLinkedList* pPcmciaTemplatesList = NULL;
CCvLinkedList* pPcmciaParametersList = NULL;
UNICODE_STRING uniGlobalRegistryPath = {0, 0, NULL};
ULONG ulGlobalLogLevel = 1;
KEVENT aBusUpdateLock[CV_BUS_KINDS];

namespace {

const CV_RECORD_VALUE kPciTemplateValues[] = {
    CV_DWORD("VendorID", TemplatesCardPciStruct, VendorID, 0),
    CV_DWORD("DeviceID", TemplatesCardPciStruct, DeviceID, 0),
    CV_DWORD("SubsysID", TemplatesCardPciStruct, SubsysID, 0),
    CV_DWORD("ClockFrequency", TemplatesCardPciStruct, ClockFrequency, 0),
    CV_DWORD("ClockFrequencyAdjustment", TemplatesCardPciStruct, ClockFrequencyAdjustment, 1),
    CV_DWORD("nComPorts", TemplatesCardPciStruct, nComPorts, -1),
    CV_STRING("Description", TemplatesCardPciStruct, Description),
    CV_DWORD("ComBaseAddressAlignment", TemplatesCardPciStruct, ComBaseAddressAlignment, 0),
    CV_DWORD("LptBaseAddressAlignment", TemplatesCardPciStruct, LptBaseAddressAlignment, 0),
    CV_DWORD("PlxBaudClockType", TemplatesCardPciStruct, PlxBaudClockType, 0),
    CV_DWORD("PlxBaudClockDivisor", TemplatesCardPciStruct, PlxBaudClockDivisor, 0),
    CV_DWORD("PlxBaudClockOffset", TemplatesCardPciStruct, PlxBaudClockOffset, 0),
    CV_DWORD("nLptPorts", TemplatesCardPciStruct, nLptPorts, -1),
    CV_DWORD("DuplexOperation", TemplatesCardPciStruct, DuplexOperation, -1),
    CV_DWORD("CtsTrue", TemplatesCardPciStruct, CtsTrue, -1),
    CV_DWORD("RxTriggerLevel", TemplatesCardPciStruct, RxTriggerLevel, -1),
    CV_DWORD("SoftTxLimit", TemplatesCardPciStruct, SoftTxLimit, -1),
    CV_DWORD("TxTriggerLevel", TemplatesCardPciStruct, TxTriggerLevel, -1),
    CV_DWORD("AlwaysUsePortSpaceAccess", TemplatesCardPciStruct, AlwaysUsePortSpaceAccess, 0),
    CV_DWORD("MaximumBaudrate", TemplatesCardPciStruct, MaximumBaudrate, 0),
    CV_DWORD("UartType", TemplatesCardPciStruct, UartType, 0),
};

const CV_RECORD_VALUE kIsaTemplateValues[] = {
    CV_STRING("HardwareID", TemplatesCardIsaStruct, HardwareID),
    CV_DWORD("ClockFrequency", TemplatesCardIsaStruct, ClockFrequency, 0),
    CV_DWORD("ClockFrequencyAdjustment", TemplatesCardIsaStruct, ClockFrequencyAdjustment, 1),
    CV_DWORD("nComPorts", TemplatesCardIsaStruct, nComPorts, -1),
    CV_STRING("Description", TemplatesCardIsaStruct, Description),
    CV_DWORD("ComBaseAddressAlignment", TemplatesCardIsaStruct, ComBaseAddressAlignment, 0),
    CV_DWORD("LptBaseAddressAlignment", TemplatesCardIsaStruct, LptBaseAddressAlignment, 0),
    CV_DWORD("PlxBaudClockType", TemplatesCardIsaStruct, PlxBaudClockType, 0),
    CV_DWORD("PlxBaudClockDivisor", TemplatesCardIsaStruct, PlxBaudClockDivisor, 0),
    CV_DWORD("nLptPorts", TemplatesCardIsaStruct, nLptPorts, -1),
    CV_DWORD("RxTriggerLevel", TemplatesCardIsaStruct, RxTriggerLevel, -1),
    CV_DWORD("SoftTxLimit", TemplatesCardIsaStruct, SoftTxLimit, -1),
    CV_DWORD("TxTriggerLevel", TemplatesCardIsaStruct, TxTriggerLevel, -1),
    CV_DWORD("UartType", TemplatesCardIsaStruct, UartType, 0),
    CV_DWORD("IrqShared", TemplatesCardIsaStruct, IrqShared, 0),
    CV_DWORD("AddressesBanked", TemplatesCardIsaStruct, AddressesBanked, 0),
    CV_DWORD("MaximumBaudrate", TemplatesCardIsaStruct, MaximumBaudrate, 0),
};

const CV_RECORD_VALUE kPcmciaTemplateValues[] = {
    CV_STRING("HardwareID", TemplatesCardPcmciaStruct, HardwareID),
    CV_DWORD("ClockFrequency", TemplatesCardPcmciaStruct, ClockFrequency, 0),
    CV_DWORD("ClockFrequencyAdjustment", TemplatesCardPcmciaStruct, ClockFrequencyAdjustment, 1),
    CV_DWORD("nComPorts", TemplatesCardPcmciaStruct, nComPorts, -1),
    CV_DWORD("nLptPorts", TemplatesCardPcmciaStruct, nLptPorts, -1),
    CV_STRING("Description", TemplatesCardPcmciaStruct, Description),
    CV_DWORD("ComBaseAddressAlignment", TemplatesCardPcmciaStruct, ComBaseAddressAlignment, 0),
    CV_DWORD("LptBaseAddressAlignment", TemplatesCardPcmciaStruct, LptBaseAddressAlignment, 0),
    CV_DWORD("PlxBaudClockType", TemplatesCardPcmciaStruct, PlxBaudClockType, 0),
    CV_DWORD("PlxBaudClockDivisor", TemplatesCardPcmciaStruct, PlxBaudClockDivisor, 0),
    CV_DWORD("DuplexOperation", TemplatesCardPcmciaStruct, DuplexOperation, -1),
    CV_DWORD("CtsTrue", TemplatesCardPcmciaStruct, CtsTrue, -1),
    CV_DWORD("RxTriggerLevel", TemplatesCardPcmciaStruct, RxTriggerLevel, -1),
    CV_DWORD("SoftTxLimit", TemplatesCardPcmciaStruct, SoftTxLimit, -1),
    CV_DWORD("TxTriggerLevel", TemplatesCardPcmciaStruct, TxTriggerLevel, -1),
    CV_DWORD("MaximumBaudrate", TemplatesCardPcmciaStruct, MaximumBaudrate, 0),
    CV_DWORD("UartType", TemplatesCardPcmciaStruct, UartType, 0),
};

const CV_RECORD_VALUE kPciCardValues[] = {
    CV_DWORD("VendorID", ParametersCardPciStruct, VendorID, 0),
    CV_DWORD("DeviceID", ParametersCardPciStruct, DeviceID, 0),
    CV_DWORD("nBus", ParametersCardPciStruct, nBus, -1),
    CV_DWORD("nSlot", ParametersCardPciStruct, nSlot, -1),
    CV_DWORD("PlxBaudClockDivisor", ParametersCardPciStruct, PlxBaudClockDivisor, 0),
    CV_DWORD("AlwaysUsePortSpaceAccess", ParametersCardPciStruct, AlwaysUsePortSpaceAccess, 0),
};

const CV_RECORD_VALUE kIsaCardValues[] = {
    CV_STRING("HardwareID", ParametersCardIsaStruct, HardwareID),
    CV_DWORD("DeviceReference", ParametersCardIsaStruct, DeviceReference, 0),
    CV_DWORD("PlxBaudClockDivisor", ParametersCardIsaStruct, PlxBaudClockDivisor, 0),
    CV_DWORD("ClockFrequencyAdjustment", ParametersCardIsaStruct, ClockFrequencyAdjustment, 0),
};

const CV_RECORD_VALUE kPcmciaCardValues[] = {
    CV_STRING("HardwareID", ParametersCardPcmciaStruct, HardwareID),
    CV_DWORD("DeviceReference", ParametersCardPcmciaStruct, DeviceReference, 0),
    CV_DWORD("PlxBaudClockDivisor", ParametersCardPcmciaStruct, PlxBaudClockDivisor, 0),
};

const CV_RECORD_VALUE kPciPortValues[] = {
    CV_DWORD("RxTriggerLevel", ParametersCardPortPciStruct, RxTriggerLevel, -1),
    CV_DWORD("SoftTxLimit", ParametersCardPortPciStruct, SoftTxLimit, -1),
    CV_DWORD("TxTriggerLevel", ParametersCardPortPciStruct, TxTriggerLevel, -1),
    CV_DWORD("PlxBaudClockDivisor", ParametersCardPortPciStruct, PlxBaudClockDivisor, -1),
    CV_DWORD("CtsTrue", ParametersCardPortPciStruct, CtsTrue, -1),
    CV_DWORD("Duplexoperation", ParametersCardPortPciStruct, Duplexoperation, -1),
    CV_DWORD("UartType", ParametersCardPortPciStruct, UartType, 0),
    CV_DWORD("NoSleepMode", ParametersCardPortPciStruct, NoSleepMode, -1),
    CV_DWORD("BaudrateMultiplier", ParametersCardPortPciStruct, BaudrateMultiplier, 0),
};

const CV_RECORD_VALUE kIsaPortValues[] = {
    CV_DWORD("RxTriggerLevel", ParametersCardPortIsaStruct, RxTriggerLevel, -1),
    CV_DWORD("SoftTxLimit", ParametersCardPortIsaStruct, SoftTxLimit, -1),
    CV_DWORD("TxTriggerLevel", ParametersCardPortIsaStruct, TxTriggerLevel, -1),
    CV_DWORD("UartType", ParametersCardPortIsaStruct, UartType, 0),
    CV_DWORD("NoSleepMode", ParametersCardPortIsaStruct, NoSleepMode, -1),
    CV_DWORD("BaudrateMultiplier", ParametersCardPortIsaStruct, BaudrateMultiplier, 0),
};

// What one kind of numbered key holds, how its record is laid out, and for an installed card where
// the list of its ports goes and how the ports are read.
struct KeyKind {
    PCWSTR pKeyWord; // "\Card" or "\ComPort"
    const CV_RECORD_VALUE* pValues;
    ULONG ulValues;
    ULONG ulStructSize;
    LONG lPortListOffset; // -1: no ports
    NTSTATUS (*ReadPorts)(PUNICODE_STRING, CCvLinkedList*);
    NTSTATUS (*EvaluatePorts)(CCvLinkedList*);
};

#define CV_KEY_KIND(word, values, record)                                                                    \
    { word, values, CvCountOf(values), sizeof(record), -1, NULL, NULL }
#define CV_CARD_KIND(values, record, read, evaluate)                                                         \
    { u"\\Card", values, CvCountOf(values), sizeof(record), offsetof(record, pPortList), read, evaluate }

const KeyKind kPciTemplateKey = CV_KEY_KIND(u"\\Card", kPciTemplateValues, TemplatesCardPciStruct);
const KeyKind kIsaTemplateKey = CV_KEY_KIND(u"\\Card", kIsaTemplateValues, TemplatesCardIsaStruct);
const KeyKind kPcmciaTemplateKey = CV_KEY_KIND(u"\\Card", kPcmciaTemplateValues, TemplatesCardPcmciaStruct);
const KeyKind kPciCardKey = CV_CARD_KIND(kPciCardValues, ParametersCardPciStruct, GetParametersCardPortPci,
                                         EvaluateParametersCardPortPci);
const KeyKind kIsaCardKey = CV_CARD_KIND(kIsaCardValues, ParametersCardIsaStruct, GetParametersCardPortIsa,
                                         EvaluateParametersCardPortIsa);
const KeyKind kPcmciaCardKey = CV_CARD_KIND(kPcmciaCardValues, ParametersCardPcmciaStruct,
                                            GetParametersCardPortPci, EvaluateParametersCardPortPci);
const KeyKind kPciPortKey = CV_KEY_KIND(u"\\ComPort", kPciPortValues, ParametersCardPortPciStruct);
const KeyKind kIsaPortKey = CV_KEY_KIND(u"\\ComPort", kIsaPortValues, ParametersCardPortIsaStruct);

CCvLinkedList*& PortListOf(PVOID pvRecord, const KeyKind& kind) {
    return *reinterpret_cast<CCvLinkedList**>(static_cast<PUCHAR>(pvRecord) + kind.lPortListOffset);
}

// A new list whose records release the string buffers at the given offsets (0 ends) and, for installed
// cards, their port lists.
CCvLinkedList* CreateList(POOL_TYPE PoolType, const ULONG* pulStrings, LONG lPortList, ULONG ulPortSize) {
    auto* pList = new (PoolType) CCvLinkedList(PoolType);
    if (!pList)
        return NULL;
    for (; *pulStrings; pulStrings++)
        pList->RegisterPointerMember(*pulStrings);
    if (lPortList >= 0)
        pList->RegisterListMember(static_cast<ULONG>(lPortList), ulPortSize);
    return pList;
}

// Walks Card1, Card2, ... (or ComPort1, ...) under puniParent into pList; the first missing number ends
// the list. An installed card without readable ports is left out.
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
            break;
        PVOID pvRecord = NT_SUCCESS(KeyStatus) ? pList->AllocateAndInsertNodeAtEnd(kind.ulStructSize) : NULL;
        if (!pvRecord || CvQueryRecord(uniPath, kind.pValues, kind.ulValues, pvRecord) != STATUS_SUCCESS) {
            Status = STATUS_UNSUCCESSFUL;
            break;
        }
        if (kind.lPortListOffset < 0)
            continue;
        CCvLinkedList*& pPorts = PortListOf(pvRecord, kind);
        static const ULONG aulNoStrings[] = {0};
        pPorts = CreateList(PagedPool, aulNoStrings, -1, 0);
        NTSTATUS PortStatus = pPorts ? kind.ReadPorts(uniPath, pPorts) : STATUS_UNSUCCESSFUL;
        if (NT_SUCCESS(PortStatus))
            PortStatus = kind.EvaluatePorts(pPorts);
        if (!NT_SUCCESS(PortStatus)) {
            pList->GetEndNode(kind.ulStructSize); // this card, the last record so far
            pList->DeleteCurrentNode(kind.ulStructSize);
        }
    }
    if (!NT_SUCCESS(Status))
        pList->DeleteAllNodes(kind.ulStructSize);
    return Status;
}

VOID DeleteList(CCvLinkedList*& pList, ULONG ulStructSize) {
    if (!pList)
        return;
    pList->DeleteAllNodes(ulStructSize);
    delete pList;
    pList = NULL;
}

// The trigger levels and transmit limit a template does not give.
VOID CompleteUartValues(ULONG& ulRx, ULONG& ulSoftTx, ULONG& ulTx, ULONG& ulUartType, ULONG& ulAdjustment) {
    if (ulRx == CV_NOT_GIVEN)
        ulRx = 100;
    if (ulSoftTx == CV_NOT_GIVEN)
        ulSoftTx = 100;
    if (ulTx == CV_NOT_GIVEN)
        ulTx = 1;
    if (!CvIsKnownUartType(ulUartType))
        ulUartType = 0;
    if (ulAdjustment == 0)
        ulAdjustment = 1;
}

// What every template needs, whatever its bus. A card has room for eight children, and a UART takes
// eight registers on an eight-byte boundary, so a spacing that is no multiple of eight puts ports on
// top of each other.
BOOLEAN PortsValid(ULONG ulClock, ULONG nCom, ULONG nLpt, ULONG ulComSpacing, ULONG ulLptSpacing,
                   ULONG ulClockType, ULONG ulMaximumBaudrate) {
    if (ulClock == 0 || nCom == CV_NOT_GIVEN || nLpt == CV_NOT_GIVEN)
        return FALSE;
    if (nCom > CV_MAX_CHILDREN || nLpt > CV_MAX_CHILDREN || nCom + nLpt > CV_MAX_CHILDREN)
        return FALSE;
    if (nCom > 0 && (ulComSpacing == 0 || ulComSpacing % CV_UART_REGISTERS != 0))
        return FALSE;
    if (nLpt > 0 && ulLptSpacing == 0)
        return FALSE;
    return ulClockType == 0 || ulMaximumBaudrate != 0;
}

// What a PCI bridge clock type needs besides the divisor type itself.
BOOLEAN PciClockTypeValid(PTemplatesCardPciStruct p) {
    const BOOLEAN bLines = p->DuplexOperation != CV_NOT_GIVEN && p->CtsTrue != CV_NOT_GIVEN;
    const BOOLEAN bDivisor = p->PlxBaudClockDivisor != 0;
    switch (p->PlxBaudClockType) {
    case 1:
    case 2:
        return bDivisor && p->PlxBaudClockOffset != 0;
    case 3:
    case 8:
    case 9:
        return bLines && bDivisor;
    case 6:
        return bLines;
    case 7:
        return bDivisor;
    default:
        return TRUE;
    }
}

template <typename TRecord, typename TValid>
NTSTATUS DropInvalid(CCvLinkedList* pList, TValid Valid) {
    const ULONG ulSize = sizeof(TRecord);
    for (auto* p = static_cast<TRecord*>(pList->GetStartNode(ulSize)); p;) {
        if (Valid(p))
            p = static_cast<TRecord*>(pList->GetNextNode(ulSize));
        else
            p = static_cast<TRecord*>(CvDeleteAndGoOn(pList, ulSize));
    }
    return pList->m_pvStartStruct ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

BOOLEAN SameText(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN bCaseInsensitive) {
    return a->Buffer && b->Buffer && RtlEqualUnicodeString(a, b, bCaseInsensitive);
}

// Reads one bus's Templates or Parameters key if it exists; the status of the read and evaluation.
NTSTATUS ReadBranch(PUNICODE_STRING puniService, PCWSTR pBranch, CCvLinkedList* pList,
                    NTSTATUS (*Read)(PUNICODE_STRING, CCvLinkedList*), NTSTATUS (*Evaluate)(CCvLinkedList*)) {
    CCvUnicode uniBranch(PagedPool);
    if (!CvBuildPath(uniBranch, puniService, pBranch))
        return CV_STATUS_SEVERE;
    NTSTATUS Status = CvCheckKey(uniBranch);
    if (!NT_SUCCESS(Status))
        return Status;
    Status = Read(uniBranch, pList);
    return NT_SUCCESS(Status) ? Evaluate(pList) : Status;
}

} // namespace

CCvLinkedList* CvCreatePciTemplatesList() {
    const ULONG aulStrings[] = {offsetof(TemplatesCardPciStruct, Description.Buffer), 0};
    return CreateList(NonPagedPool, aulStrings, -1, 0);
}

CCvLinkedList* CvCreateIsaTemplatesList() {
    const ULONG aulStrings[] = {offsetof(TemplatesCardIsaStruct, HardwareID.Buffer),
                                offsetof(TemplatesCardIsaStruct, Description.Buffer), 0};
    return CreateList(NonPagedPool, aulStrings, -1, 0);
}

CCvLinkedList* CvCreatePcmciaTemplatesList() {
    const ULONG aulStrings[] = {offsetof(TemplatesCardPcmciaStruct, HardwareID.Buffer),
                                offsetof(TemplatesCardPcmciaStruct, Description.Buffer), 0};
    return CreateList(NonPagedPool, aulStrings, -1, 0);
}

CCvLinkedList* CvCreatePciParametersList() {
    const ULONG aulStrings[] = {0};
    return CreateList(PagedPool, aulStrings, offsetof(ParametersCardPciStruct, pPortList),
                      sizeof(ParametersCardPortPciStruct));
}

CCvLinkedList* CvCreateIsaParametersList() {
    const ULONG aulStrings[] = {offsetof(ParametersCardIsaStruct, HardwareID.Buffer), 0};
    return CreateList(PagedPool, aulStrings, offsetof(ParametersCardIsaStruct, pPortList),
                      sizeof(ParametersCardPortIsaStruct));
}

CCvLinkedList* CvCreatePcmciaParametersList() {
    const ULONG aulStrings[] = {offsetof(ParametersCardPcmciaStruct, HardwareID.Buffer), 0};
    return CreateList(PagedPool, aulStrings, offsetof(ParametersCardPcmciaStruct, pPortList),
                      sizeof(ParametersCardPortPciStruct));
}

NTSTATUS GetTemplatesCardPci(PUNICODE_STRING puniPath, CCvLinkedList* pList) {
    return ReadKeys(puniPath, pList, kPciTemplateKey);
}
NTSTATUS GetTemplatesCardIsa(PUNICODE_STRING puniPath, CCvLinkedList* pList) {
    return ReadKeys(puniPath, pList, kIsaTemplateKey);
}
NTSTATUS GetTemplatesCardPcmcia(PUNICODE_STRING puniPath, CCvLinkedList* pList) {
    return ReadKeys(puniPath, pList, kPcmciaTemplateKey);
}
NTSTATUS GetParametersCardPci(PUNICODE_STRING puniPath, CCvLinkedList* pList) {
    return ReadKeys(puniPath, pList, kPciCardKey);
}
NTSTATUS GetParametersCardIsa(PUNICODE_STRING puniPath, CCvLinkedList* pList) {
    return ReadKeys(puniPath, pList, kIsaCardKey);
}
NTSTATUS GetParametersCardPcmcia(PUNICODE_STRING puniPath, CCvLinkedList* pList) {
    return ReadKeys(puniPath, pList, kPcmciaCardKey);
}
NTSTATUS GetParametersCardPortPci(PUNICODE_STRING puniCardPath, CCvLinkedList* pList) {
    return ReadKeys(puniCardPath, pList, kPciPortKey);
}
NTSTATUS GetParametersCardPortIsa(PUNICODE_STRING puniCardPath, CCvLinkedList* pList) {
    return ReadKeys(puniCardPath, pList, kIsaPortKey);
}

NTSTATUS EvaluateTemplatesCardPci(CCvLinkedList* pList) {
    return DropInvalid<TemplatesCardPciStruct>(pList, [](PTemplatesCardPciStruct p) {
        CompleteUartValues(p->RxTriggerLevel, p->SoftTxLimit, p->TxTriggerLevel, p->UartType,
                           p->ClockFrequencyAdjustment);
        if (p->AlwaysUsePortSpaceAccess != 1)
            p->AlwaysUsePortSpaceAccess = 0;
        BOOLEAN bValid = p->VendorID != 0 && p->DeviceID != 0 && p->SubsysID != 0 &&
                         p->Description.Length != 0 &&
                         PortsValid(p->ClockFrequency, p->nComPorts, p->nLptPorts, p->ComBaseAddressAlignment,
                                    p->LptBaseAddressAlignment, p->PlxBaudClockType, p->MaximumBaudrate) &&
                         PciClockTypeValid(p);
        if (bValid)
            return TRUE;
        if (p->DeviceID == 0)
            Log(CVINSTAL_TEMPLATE_DEVICE_ID_MISSING);
        else
            LogWithNumber(CVINSTAL_PCI_TEMPLATE_VALUES_INVALID, p->DeviceID, 16);
        return FALSE;
    });
}

NTSTATUS EvaluateTemplatesCardIsa(CCvLinkedList* pList) {
    return DropInvalid<TemplatesCardIsaStruct>(pList, [](PTemplatesCardIsaStruct p) -> BOOLEAN {
        CompleteUartValues(p->RxTriggerLevel, p->SoftTxLimit, p->TxTriggerLevel, p->UartType,
                           p->ClockFrequencyAdjustment);
        return p->HardwareID.Length != 0 && p->Description.Length != 0 &&
               PortsValid(p->ClockFrequency, p->nComPorts, p->nLptPorts, p->ComBaseAddressAlignment,
                          p->LptBaseAddressAlignment, p->PlxBaudClockType, p->MaximumBaudrate);
    });
}

NTSTATUS EvaluateTemplatesCardPcmcia(CCvLinkedList* pList) {
    return DropInvalid<TemplatesCardPcmciaStruct>(pList, [](PTemplatesCardPcmciaStruct p) -> BOOLEAN {
        CompleteUartValues(p->RxTriggerLevel, p->SoftTxLimit, p->TxTriggerLevel, p->UartType,
                           p->ClockFrequencyAdjustment);
        if (p->DuplexOperation == CV_NOT_GIVEN)
            p->DuplexOperation = 7;
        if (p->CtsTrue == CV_NOT_GIVEN)
            p->CtsTrue = 0;
        if (p->PlxBaudClockType != 0 && p->PlxBaudClockType != 5 && p->PlxBaudClockType != 7)
            p->PlxBaudClockType = 0;
        return p->HardwareID.Length != 0 && p->Description.Length != 0 &&
               PortsValid(p->ClockFrequency, p->nComPorts, p->nLptPorts, p->ComBaseAddressAlignment,
                          p->LptBaseAddressAlignment, p->PlxBaudClockType, p->MaximumBaudrate) &&
               (p->PlxBaudClockType == 0 || p->PlxBaudClockDivisor != 0);
    });
}

NTSTATUS EvaluateParametersCardPci(CCvLinkedList* pList) {
    return DropInvalid<ParametersCardPciStruct>(pList, [](PParametersCardPciStruct p) -> BOOLEAN {
        if (p->AlwaysUsePortSpaceAccess != 1)
            p->AlwaysUsePortSpaceAccess = 0;
        return p->VendorID != 0 && p->DeviceID != 0 && p->nBus != CV_NOT_GIVEN && p->nSlot != CV_NOT_GIVEN;
    });
}

NTSTATUS EvaluateParametersCardIsa(CCvLinkedList* pList) {
    return DropInvalid<ParametersCardIsaStruct>(pList, [](PParametersCardIsaStruct p) -> BOOLEAN {
        return p->HardwareID.Length != 0 && p->DeviceReference != 0;
    });
}

NTSTATUS EvaluateParametersCardPcmcia(CCvLinkedList* pList) {
    return DropInvalid<ParametersCardPcmciaStruct>(pList, [](PParametersCardPcmciaStruct p) -> BOOLEAN {
        return p->HardwareID.Length != 0 && p->DeviceReference != 0;
    });
}

NTSTATUS EvaluateParametersCardPortPci(CCvLinkedList* pList) {
    return DropInvalid<ParametersCardPortPciStruct>(pList, [](PParametersCardPortPciStruct p) -> BOOLEAN {
        if (!CvIsKnownUartType(p->UartType))
            p->UartType = 0;
        return TRUE;
    });
}

NTSTATUS EvaluateParametersCardPortIsa(CCvLinkedList* pList) {
    return DropInvalid<ParametersCardPortIsaStruct>(pList, [](PParametersCardPortIsaStruct p) -> BOOLEAN {
        if (!CvIsKnownUartType(p->UartType))
            p->UartType = 0;
        return TRUE;
    });
}

NTSTATUS GetRegistrySettings(PUNICODE_STRING puniServicePath) {
    for (ULONG i = 0; i < CV_BUS_KINDS; i++)
        KeInitializeEvent(&aBusUpdateLock[i], SynchronizationEvent, TRUE);
    pPciTemplatesList = CvCreatePciTemplatesList();
    pPciParametersList = pPciTemplatesList ? CvCreatePciParametersList() : NULL;
    pIsaTemplatesList = pPciParametersList ? CvCreateIsaTemplatesList() : NULL;
    pIsaParametersList = pIsaTemplatesList ? CvCreateIsaParametersList() : NULL;
    pPcmciaTemplatesList = pIsaParametersList ? CvCreatePcmciaTemplatesList() : NULL;
    pPcmciaParametersList = pPcmciaTemplatesList ? CvCreatePcmciaParametersList() : NULL;
    if (!pPcmciaParametersList) {
        DeleteRegistrySettings();
        return CV_STATUS_SEVERE;
    }
    // PCI, ISA, PCMCIA: each bus's templates, then its installed cards. Only the PCI templates are
    // reported when missing or unreadable; a bus without valid templates matches no card.
    NTSTATUS Status = ReadBranch(puniServicePath, u"\\Templates\\Bus5", pPciTemplatesList,
                                 GetTemplatesCardPci, EvaluateTemplatesCardPci);
    if (Status == STATUS_OBJECT_NAME_NOT_FOUND)
        Log(CVINSTAL_NO_PCI_TEMPLATES_KEY);
    else if (Status != STATUS_SUCCESS && Status != STATUS_NOT_FOUND && Status != CV_STATUS_SEVERE)
        Log(CVINSTAL_PCI_TEMPLATES_READ_ERROR);
    NTSTATUS aSteps[] = {
        Status,
        ReadBranch(puniServicePath, u"\\Parameters\\Bus5", pPciParametersList, GetParametersCardPci,
                   EvaluateParametersCardPci),
        ReadBranch(puniServicePath, u"\\Templates\\Bus1", pIsaTemplatesList, GetTemplatesCardIsa,
                   EvaluateTemplatesCardIsa),
        ReadBranch(puniServicePath, u"\\Parameters\\Bus1", pIsaParametersList, GetParametersCardIsa,
                   EvaluateParametersCardIsa),
        ReadBranch(puniServicePath, u"\\Templates\\Bus8", pPcmciaTemplatesList, GetTemplatesCardPcmcia,
                   EvaluateTemplatesCardPcmcia),
        ReadBranch(puniServicePath, u"\\Parameters\\Bus8", pPcmciaParametersList, GetParametersCardPcmcia,
                   EvaluateParametersCardPcmcia),
    };
    for (NTSTATUS Step : aSteps)
        if (Step == CV_STATUS_SEVERE) {
            DeleteRegistrySettings();
            return CV_STATUS_SEVERE;
        }
    return STATUS_SUCCESS;
}

VOID DeleteRegistrySettings() {
    DeleteList(pPciTemplatesList, sizeof(TemplatesCardPciStruct));
    DeleteList(pPciParametersList, sizeof(ParametersCardPciStruct));
    DeleteList(pIsaTemplatesList, sizeof(TemplatesCardIsaStruct));
    DeleteList(pIsaParametersList, sizeof(ParametersCardIsaStruct));
    DeleteList(pPcmciaTemplatesList, sizeof(TemplatesCardPcmciaStruct));
    DeleteList(pPcmciaParametersList, sizeof(ParametersCardPcmciaStruct));
}

// ---------------------------------------------------------------------------------------------
// Looking a card up. The walks leave the lists' cursors alone: lookups of different buses run beside
// one another.
// ---------------------------------------------------------------------------------------------

PTemplatesCardPciStruct MatchPciDevicesWithTemplates(CCvCard* pCard, BOOLEAN bLog) {
    const ULONG ulSize = sizeof(TemplatesCardPciStruct);
    auto* p =
        pPciTemplatesList ? static_cast<PTemplatesCardPciStruct>(pPciTemplatesList->m_pvEndStruct) : NULL;
    for (; p; p = static_cast<PTemplatesCardPciStruct>(CCvLinkedList::PreviousOf(p, ulSize))) {
        // One template serves a family: the same vendor, the same device ID above its lowest five bits,
        // and no newer member than the card.
        if (p->VendorID == pCard->unVendorID && (p->DeviceID & 0xFFE0) == (pCard->unDeviceID & 0xFFE0u) &&
            p->DeviceID <= pCard->unDeviceID)
            break;
    }
    if (p && bLog) {
        if (p->DeviceID != pCard->unDeviceID)
            LogWithTwoNumbers(CVINSTAL_TEMPLATE_FAMILY_MATCH, pCard->unDeviceID, p->DeviceID, 16, 16);
        else
            LogWithNumber(CVINSTAL_TEMPLATE_MATCH, pCard->unDeviceID, 16);
    }
    return p;
}

PTemplatesCardIsaStruct MatchIsaDevicesWithTemplates(PCUNICODE_STRING puniHardwareID) {
    const ULONG ulSize = sizeof(TemplatesCardIsaStruct);
    auto* p =
        pIsaTemplatesList ? static_cast<PTemplatesCardIsaStruct>(pIsaTemplatesList->m_pvEndStruct) : NULL;
    for (; p; p = static_cast<PTemplatesCardIsaStruct>(CCvLinkedList::PreviousOf(p, ulSize)))
        if (SameText(&p->HardwareID, puniHardwareID, FALSE))
            return p;
    return NULL;
}

PTemplatesCardPcmciaStruct MatchPcmciaDevicesWithTemplates(PCUNICODE_STRING puniHardwareID) {
    const ULONG ulSize = sizeof(TemplatesCardPcmciaStruct);
    auto* p = pPcmciaTemplatesList
                  ? static_cast<PTemplatesCardPcmciaStruct>(pPcmciaTemplatesList->m_pvEndStruct)
                  : NULL;
    for (; p; p = static_cast<PTemplatesCardPcmciaStruct>(CCvLinkedList::PreviousOf(p, ulSize)))
        if (SameText(&p->HardwareID, puniHardwareID, TRUE))
            return p;
    return NULL;
}

PParametersCardPciStruct MatchPciDevicesWithParameters(CCvLinkedList* pList, CCvCard* pCard) {
    const ULONG ulSize = sizeof(ParametersCardPciStruct);
    auto* p = pList ? static_cast<PParametersCardPciStruct>(pList->m_pvStartStruct) : NULL;
    for (; p; p = static_cast<PParametersCardPciStruct>(CCvLinkedList::NextOf(p, ulSize)))
        if (p->VendorID == pCard->unVendorID && p->DeviceID == pCard->unDeviceID &&
            p->nBus == pCard->ulBusNumber && p->nSlot == pCard->SlotNumber.u.AsULONG)
            return p;
    return NULL;
}

PParametersCardIsaStruct MatchIsaDevicesWithParameters(CCvLinkedList* pList, CCvCard* pCard) {
    const ULONG ulSize = sizeof(ParametersCardIsaStruct);
    auto* p = pList ? static_cast<PParametersCardIsaStruct>(pList->m_pvEndStruct) : NULL;
    for (; p; p = static_cast<PParametersCardIsaStruct>(CCvLinkedList::PreviousOf(p, ulSize)))
        if (SameText(&p->HardwareID, &pCard->uniHardwareID, FALSE) &&
            p->DeviceReference == pCard->ulDeviceReference)
            return p;
    return NULL;
}

PParametersCardPcmciaStruct MatchPcmciaDevicesWithParameters(CCvLinkedList* pList, CCvCard* pCard) {
    const ULONG ulSize = sizeof(ParametersCardPcmciaStruct);
    auto* p = pList ? static_cast<PParametersCardPcmciaStruct>(pList->m_pvEndStruct) : NULL;
    for (; p; p = static_cast<PParametersCardPcmciaStruct>(CCvLinkedList::PreviousOf(p, ulSize)))
        if (SameText(&p->HardwareID, &pCard->uniHardwareID, TRUE) &&
            p->DeviceReference == pCard->ulDeviceReference)
            return p;
    return NULL;
}

namespace {

template <typename TPort>
TPort* PortAt(CCvLinkedList* pPorts, ULONG ulPort) {
    auto* p = pPorts ? static_cast<TPort*>(pPorts->m_pvStartStruct) : NULL;
    for (ULONG m = 1; p && m < ulPort; m++)
        p = static_cast<TPort*>(CCvLinkedList::NextOf(p, sizeof(TPort)));
    return ulPort ? p : NULL;
}

} // namespace

PParametersCardPortPciStruct MatchPciDevicesPortParameters(PParametersCardPciStruct pParameters,
                                                           ULONG ulPort) {
    return pParameters ? PortAt<ParametersCardPortPciStruct>(pParameters->pPortList, ulPort) : NULL;
}

PParametersCardPortIsaStruct MatchIsaDevicesPortParameters(PParametersCardIsaStruct pParameters,
                                                           ULONG ulPort) {
    return pParameters ? PortAt<ParametersCardPortIsaStruct>(pParameters->pPortList, ulPort) : NULL;
}

PParametersCardPortPciStruct MatchPcmciaDevicesPortParameters(PParametersCardPcmciaStruct pParameters,
                                                              ULONG ulPort) {
    return pParameters ? PortAt<ParametersCardPortPciStruct>(pParameters->pPortList, ulPort) : NULL;
}

// ---------------------------------------------------------------------------------------------
// Settings updates. Updates of one bus take that bus's lock, and so does a card start while it looks up
// and uses its parameters: the update replaces the list they live in.
// ---------------------------------------------------------------------------------------------

ULONG CvBusKind(ULONG ulBusType) {
    switch (ulBusType) {
    case PCIBus:
        return CV_BUS_PCI;
    case Isa:
        return CV_BUS_ISA;
    case PCMCIABus:
        return CV_BUS_PCMCIA;
    default:
        return CV_BUS_KINDS;
    }
}

VOID CvLockBus(ULONG ulBusType) {
    ULONG ulKind = CvBusKind(ulBusType);
    if (ulKind < CV_BUS_KINDS)
        KeWaitForSingleObject(&aBusUpdateLock[ulKind], Executive, KernelMode, FALSE, NULL);
}

VOID CvUnlockBus(ULONG ulBusType) {
    ULONG ulKind = CvBusKind(ulBusType);
    if (ulKind < CV_BUS_KINDS)
        KeSetEvent(&aBusUpdateLock[ulKind], IO_NO_INCREMENT, FALSE);
}

namespace {

// The pending changes of one COM port from its parameters record (PCI and PCMCIA ports also carry the
// line settings and the bridge divisor).
template <typename TPort>
VOID SetPendingChanges(CCvPort* pPort, TPort* p) {
    if (p->UartType) {
        pPort->bUartTypeChanged = 1;
        pPort->ucNewUartType = static_cast<UCHAR>(p->UartType);
    }
    if (p->RxTriggerLevel != CV_NOT_GIVEN || p->TxTriggerLevel != CV_NOT_GIVEN) {
        // The pair is applied together; a level not given stays as the port has it.
        pPort->bTriggerLevelsChanged = 1;
        pPort->lNewRxTriggerLevel =
            p->RxTriggerLevel != CV_NOT_GIVEN ? static_cast<LONG>(p->RxTriggerLevel) : pPort->lRxTriggerLevel;
        pPort->lNewTxTriggerLevel =
            p->TxTriggerLevel != CV_NOT_GIVEN ? static_cast<LONG>(p->TxTriggerLevel) : pPort->lTxTriggerLevel;
    }
    if (p->SoftTxLimit != CV_NOT_GIVEN) {
        pPort->bSoftTxLimitChanged = 1;
        pPort->lNewSoftTxLimit = static_cast<LONG>(p->SoftTxLimit);
    }
    if (p->BaudrateMultiplier) {
        pPort->bBaudrateMultiplierChanged = 1;
        pPort->ulNewBaudrateMultiplier = p->BaudrateMultiplier;
    }
}

VOID SetLinePendingChanges(CCvPort* pPort, PParametersCardPortPciStruct p) {
    if (p->CtsTrue != CV_NOT_GIVEN) {
        pPort->bCtsTrueChanged = 1;
        pPort->ulNewCtsTrue = p->CtsTrue & 0xFF;
    }
    if (p->Duplexoperation != CV_NOT_GIVEN) {
        pPort->bDuplexChanged = 1;
        pPort->ulNewDuplexOperation = p->Duplexoperation & 0xFF;
    }
    if (p->PlxBaudClockDivisor != CV_NOT_GIVEN) {
        pPort->bDivisorChanged = 1;
        pPort->ulNewPlxBaudClockDivisor = p->PlxBaudClockDivisor;
    }
}

VOID SetCardDivisor(CCvCard* pCard, ULONG ulDivisor) {
    if (!ulDivisor)
        return;
    pCard->bDivisorChanged = 1;
    pCard->ulNewPlxBaudClockDivisor = ulDivisor;
    pCard->unPlxBaudClockDivisor = static_cast<USHORT>(ulDivisor);
}

// What differs between the three buses' updates.
struct UpdateKind {
    PCWSTR pBranch;
    CCvLinkedList* (*CreateList)();
    NTSTATUS (*Read)(PUNICODE_STRING, CCvLinkedList*);
    NTSTATUS (*Evaluate)(CCvLinkedList*);
    CCvLinkedList** ppGlobal;
    ULONG ulStructSize;
    ULONG ulBusType;
    BOOLEAN (*HasTemplate)(CCvCard*);
    VOID (*Apply)(CCvCard*, CCvLinkedList*);
    NTSTATUS (*WriteKey)(CCvCard*);
};

VOID ApplyPci(CCvCard* pCard, CCvLinkedList* pList) {
    PParametersCardPciStruct pParameters = MatchPciDevicesWithParameters(pList, pCard);
    PTemplatesCardPciStruct pTemplate = MatchPciDevicesWithTemplates(pCard, FALSE);
    if (!pParameters || !pTemplate)
        return;
    SetCardDivisor(pCard, pParameters->PlxBaudClockDivisor);
    UCHAR bAccess = DecideAboutAccess(pTemplate, pParameters, pCard);
    for (ULONG n = 1; n <= pCard->unNumberComPorts && n <= CV_MAX_CHILDREN; n++) {
        CCvPort* pPort = pCard->apPort[n - 1];
        if (pPort && pPort->bUsePortSpaceAccess != bAccess) {
            pCard->bAccessChanged = 1;
            pCard->bNewUsePortSpaceAccess = bAccess;
            pPort->bUsePortSpaceAccess = bAccess;
        }
    }
    for (ULONG n = 1; n <= pCard->unNumberComPorts && n <= CV_MAX_CHILDREN; n++) {
        PParametersCardPortPciStruct p = MatchPciDevicesPortParameters(pParameters, n);
        if (!p || !pCard->apPort[n - 1])
            break;
        SetPendingChanges(pCard->apPort[n - 1], p);
        SetLinePendingChanges(pCard->apPort[n - 1], p);
    }
}

VOID ApplyIsa(CCvCard* pCard, CCvLinkedList* pList) {
    PParametersCardIsaStruct pParameters = MatchIsaDevicesWithParameters(pList, pCard);
    if (!pParameters)
        return;
    SetCardDivisor(pCard, pParameters->PlxBaudClockDivisor);
    for (ULONG n = 1; n <= pCard->unNumberComPorts && n <= CV_MAX_CHILDREN; n++) {
        PParametersCardPortIsaStruct p = MatchIsaDevicesPortParameters(pParameters, n);
        if (!p || !pCard->apPort[n - 1])
            break;
        SetPendingChanges(pCard->apPort[n - 1], p);
    }
}

VOID ApplyPcmcia(CCvCard* pCard, CCvLinkedList* pList) {
    PParametersCardPcmciaStruct pParameters = MatchPcmciaDevicesWithParameters(pList, pCard);
    if (!pParameters)
        return;
    SetCardDivisor(pCard, pParameters->PlxBaudClockDivisor);
    for (ULONG n = 1; n <= pCard->unNumberComPorts && n <= CV_MAX_CHILDREN; n++) {
        PParametersCardPortPciStruct p = MatchPcmciaDevicesPortParameters(pParameters, n);
        if (!p || !pCard->apPort[n - 1])
            break;
        SetPendingChanges(pCard->apPort[n - 1], p);
        SetLinePendingChanges(pCard->apPort[n - 1], p);
    }
}

NTSTATUS WritePciKeyOnPciBus(CCvCard* pCard) {
    return pCard->ulBusType == PCIBus ? WritePciInformationToDeviceRegistryKey(pCard) : STATUS_SUCCESS;
}

const UpdateKind kPciUpdate = {
    u"\\Parameters\\Bus5",
    CvCreatePciParametersList,
    GetParametersCardPci,
    EvaluateParametersCardPci,
    &pPciParametersList,
    sizeof(ParametersCardPciStruct),
    PCIBus,
    [](CCvCard* pCard) -> BOOLEAN { return MatchPciDevicesWithTemplates(pCard, TRUE) != NULL; },
    ApplyPci,
    WritePciKeyOnPciBus,
};
const UpdateKind kIsaUpdate = {
    u"\\Parameters\\Bus1",
    CvCreateIsaParametersList,
    GetParametersCardIsa,
    EvaluateParametersCardIsa,
    &pIsaParametersList,
    sizeof(ParametersCardIsaStruct),
    Isa,
    [](CCvCard* pCard) -> BOOLEAN { return MatchIsaDevicesWithTemplates(&pCard->uniHardwareID) != NULL; },
    ApplyIsa,
    WriteIsaInformationToDeviceRegistryKey,
};
const UpdateKind kPcmciaUpdate = {
    u"\\Parameters\\Bus8",
    CvCreatePcmciaParametersList,
    GetParametersCardPcmcia,
    EvaluateParametersCardPcmcia,
    &pPcmciaParametersList,
    sizeof(ParametersCardPcmciaStruct),
    PCMCIABus,
    [](CCvCard* pCard) -> BOOLEAN { return MatchPcmciaDevicesWithTemplates(&pCard->uniHardwareID) != NULL; },
    ApplyPcmcia,
    WriteIsaInformationToDeviceRegistryKey,
};

// Reads the bus's parameters afresh, applies the card's, and puts the new list in place of the old.
// Nothing changes when the new parameters cannot be read.
NTSTATUS UpdateLocked(CCvCard* pCard, const UpdateKind& kind) {
    CCvLinkedList* pNew = kind.CreateList();
    CCvUnicode uniBranch(PagedPool);
    NTSTATUS Status = pNew && CvBuildPath(uniBranch, &uniGlobalRegistryPath, kind.pBranch)
                          ? CvCheckKey(uniBranch)
                          : STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(Status))
        Status = kind.Read(uniBranch, pNew);
    if (NT_SUCCESS(Status))
        kind.Evaluate(pNew); // an empty list is a valid answer: no card of the bus has parameters
    if (NT_SUCCESS(Status) && !kind.HasTemplate(pCard))
        Status = STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(Status)) {
        DeleteList(pNew, kind.ulStructSize);
        return STATUS_UNSUCCESSFUL;
    }
    RefreshEventLogging(&uniGlobalRegistryPath, &ulGlobalLogLevel);
    pCard->ulLogLevel = ulGlobalLogLevel;
    kind.Apply(pCard, pNew);
    DeleteList(*kind.ppGlobal, kind.ulStructSize);
    *kind.ppGlobal = pNew;
    kind.WriteKey(pCard);
    return STATUS_SUCCESS;
}

NTSTATUS Update(CCvCard* pCard, const UpdateKind& kind) {
    CvLockBus(kind.ulBusType);
    NTSTATUS Status = UpdateLocked(pCard, kind);
    CvUnlockBus(kind.ulBusType);
    return Status;
}

} // namespace

NTSTATUS UpdatePciCard(CCvCard* pCard) {
    return Update(pCard, kPciUpdate);
}

NTSTATUS UpdateIsaCard(CCvCard* pCard) {
    return Update(pCard, kIsaUpdate);
}

NTSTATUS UpdatePcmciaCard(CCvCard* pCard) {
    return Update(pCard, kPcmciaUpdate);
}

// ---------------------------------------------------------------------------------------------
// The card device key
// ---------------------------------------------------------------------------------------------

NTSTATUS WriteDwordToRegistry(HANDLE hKey, PCWSTR pName, ULONG ulValue) {
    UNICODE_STRING uniName;
    RtlInitUnicodeString(&uniName, pName);
    return ZwSetValueKey(hKey, &uniName, 0, REG_DWORD, &ulValue, sizeof ulValue);
}

NTSTATUS WriteSzToRegistry(HANDLE hKey, PCWSTR pName, PCUNICODE_STRING puniValue) {
    UNICODE_STRING uniName;
    RtlInitUnicodeString(&uniName, pName);
    return ZwSetValueKey(hKey, &uniName, 0, REG_SZ, puniValue->Buffer, puniValue->Length);
}

NTSTATUS WriteBaseAddressAndIrqInformationToRegistryKey(CCvCard* pCard, HANDLE hKey) {
    const ULONG ulPorts = static_cast<ULONG>(pCard->unNumberComPorts) + pCard->unNumberLptPorts;
    for (ULONG n = 1; n <= ulPorts && n <= CV_MAX_CHILDREN; n++) {
        CCvPort* pPort = pCard->apPort[n - 1];
        if (!pPort)
            continue;
        const struct {
            PCWSTR pWord;
            ULONG ulValue;
        } aValues[] = {{u"BaseAddress", pPort->ulBusRelativeBaseAddress},
                       {u"BaseAddressRange", pPort->ulBaseAddressRange},
                       {u"Irq", pPort->ulBusRelativeInterruptVector}};
        for (const auto& Value : aValues) {
            CCvUnicode uniName(PagedPool, Value.pWord);
            if (uniName.Append(n, 10) != STATUS_SUCCESS)
                return STATUS_INSUFFICIENT_RESOURCES;
            NTSTATUS Status = WriteDwordToRegistry(hKey, uniName, Value.ulValue);
            if (!NT_SUCCESS(Status))
                return Status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS WritePciInformationToDeviceRegistryCardKey(HANDLE hKey, CCvCard* pCard) {
    UNICODE_STRING uniCard;
    RtlInitUnicodeString(&uniCard, u"Card");
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &uniCard, OBJ_CASE_INSENSITIVE, hKey, NULL);
    HANDLE hCard = NULL;
    ULONG ulDisposition = 0;
    NTSTATUS Status = ZwCreateKey(&hCard, KEY_ALL_ACCESS, &Attributes, 0, NULL, 0, &ulDisposition);
    if (!NT_SUCCESS(Status))
        return Status;
    // The Enable_ values tell the property pages which groups of settings the card offers.
    const UCHAR ucClock = pCard->ucPlxBaudClockType;
    if (ucClock == 1 || ucClock == 2 || ucClock == 4) {
        Status = WriteDwordToRegistry(hCard, u"Enable_BaudrateSettings", 1);
        if (NT_SUCCESS(Status))
            Status = WriteDwordToRegistry(hCard, u"PlxBaudClockDivisor", pCard->unPlxBaudClockDivisor);
        if (NT_SUCCESS(Status))
            Status = WriteDwordToRegistry(hCard, u"MaximumBaudrate", pCard->ulMaximumBaudrate);
    }
    if (NT_SUCCESS(Status) && pCard->bUsePortSpaceAccess == 0 && pCard->apPort[0]) {
        Status = WriteDwordToRegistry(hCard, u"Enable_HardwareAccess", 1);
        if (NT_SUCCESS(Status))
            Status = WriteDwordToRegistry(hCard, u"UsePortSpaceAccess",
                                          pCard->apPort[0]->bUsePortSpaceAccess ? 1 : 0);
    }
    if (NT_SUCCESS(Status))
        Status = WriteDwordToRegistry(hCard, u"Enable_DriverSettings", 1);
    if (NT_SUCCESS(Status))
        Status = WriteDwordToRegistry(hCard, u"LogLevel", pCard->ulLogLevel);
    if (!NT_SUCCESS(Status))
        ZwDeleteKey(hCard); // a half-written Card key would offer the pages what is not so
    ZwClose(hCard);
    return Status;
}

NTSTATUS WriteIsaInformationToDeviceRegistryCardKey(HANDLE hKey, CCvCard* pCard) {
    return WritePciInformationToDeviceRegistryCardKey(hKey, pCard);
}

namespace {

// Opens the card's device key, writes the per-port values, then the bus's values, then the Card subkey.
NTSTATUS WriteDeviceKey(CCvCard* pCard, NTSTATUS (*WriteBusValues)(HANDLE, CCvCard*)) {
    HANDLE hKey = NULL;
    NTSTATUS Status =
        IoOpenDeviceRegistryKey(pCard->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &hKey);
    if (!NT_SUCCESS(Status))
        return Status;
    Status = WriteBaseAddressAndIrqInformationToRegistryKey(pCard, hKey);
    if (NT_SUCCESS(Status))
        Status = WriteBusValues(hKey, pCard);
    if (NT_SUCCESS(Status))
        Status = WritePciInformationToDeviceRegistryCardKey(hKey, pCard);
    ZwClose(hKey);
    return Status;
}

NTSTATUS WritePciValues(HANDLE hKey, CCvCard* pCard) {
    const struct {
        PCWSTR pName;
        ULONG ulValue;
    } aValues[] = {{u"VendorID", pCard->unVendorID},
                   {u"DeviceID", pCard->unDeviceID},
                   {u"BusType", pCard->ulBusType},
                   {u"BusNumber", pCard->ulBusNumber},
                   {u"SlotNumber", pCard->SlotNumber.u.AsULONG},
                   {u"nCom", pCard->unNumberComPorts},
                   {u"nLpt", pCard->unNumberLptPorts}};
    for (const auto& Value : aValues) {
        NTSTATUS Status = WriteDwordToRegistry(hKey, Value.pName, Value.ulValue);
        if (!NT_SUCCESS(Status))
            return Status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WriteIsaValues(HANDLE hKey, CCvCard* pCard) {
    NTSTATUS Status = WriteDwordToRegistry(hKey, u"BusType", pCard->ulBusType);
    if (NT_SUCCESS(Status))
        Status = WriteSzToRegistry(hKey, u"HardwareID", &pCard->uniHardwareID);
    if (NT_SUCCESS(Status))
        Status = WriteDwordToRegistry(hKey, u"DeviceReference", pCard->ulDeviceReference);
    if (NT_SUCCESS(Status))
        Status = WriteDwordToRegistry(hKey, u"nCom", pCard->unNumberComPorts);
    if (NT_SUCCESS(Status))
        Status = WriteDwordToRegistry(hKey, u"nLpt", pCard->unNumberLptPorts);
    return Status;
}

} // namespace

NTSTATUS WritePciInformationToDeviceRegistryKey(CCvCard* pCard) {
    return WriteDeviceKey(pCard, WritePciValues);
}

NTSTATUS WriteIsaInformationToDeviceRegistryKey(CCvCard* pCard) {
    return WriteDeviceKey(pCard, WriteIsaValues);
}

// ---------------------------------------------------------------------------------------------
// The older service, and opening a card
// ---------------------------------------------------------------------------------------------

NTSTATUS CheckAndDeleteCvNt() {
    if (RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(u"CvNt")) != STATUS_SUCCESS)
        return STATUS_SUCCESS;
    // CvInstal starts only at a load where the old service is gone: this load removes it and fails.
    CCvUnicode uniPath(PagedPool, u"\\REGISTRY\\Machine\\SYSTEM\\CurrentControlSet\\Services\\CvNt");
    if (uniPath.Status != STATUS_SUCCESS || DeleteSubkeys(uniPath) != STATUS_SUCCESS)
        return STATUS_UNSUCCESSFUL;
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, static_cast<PUNICODE_STRING>(uniPath), OBJ_CASE_INSENSITIVE, NULL,
                               NULL);
    HANDLE hKey = NULL;
    if (NT_SUCCESS(ZwOpenKey(&hKey, KEY_ALL_ACCESS, &Attributes))) {
        ZwDeleteKey(hKey);
        ZwClose(hKey);
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto* pCard = static_cast<CCvCard*>(DeviceObject->DeviceExtension);
    NTSTATUS Status = STATUS_SUCCESS;
    if (!pCard || pCard->ulExtensionType != CV_KIND_CARD) {
        Status = STATUS_INVALID_DEVICE_REQUEST; // only cards are opened
    } else if (pCard->ulBusType == PCIBus) {
        Status = UpdatePciCard(pCard);
    } else if (pCard->ulBusType == Isa) {
        Status = UpdateIsaCard(pCard);
    } else if (pCard->ulBusType == PCMCIABus) {
        Status = UpdatePcmciaCard(pCard);
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS DispatchClose(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
