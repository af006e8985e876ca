// COM names for the ports: the numbers other drivers hold (listed in SERIALCOMM), the numbers ports
// ask for, and the lowest free ones; each port's SERIALCOMM value and device name.
#include "CvPortList.h"

#include "CvErrorLog.h"
#include "CvResourceKiller.h"
#include "CvUnicode.h"
#include "cvntmsg.h"

#define CV_SERIALCOMM_PATH u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM"
#define CV_SERIALCOMM_MAX_VALUES 255
#define CV_SERIALCOMM_BUFFER 526

namespace {

// A list of numbers used while one port list is named, released with it.
CCvLinkedList* CreateDosNameList() {
    return new (PagedPool) CCvLinkedList(PagedPool);
}

VOID DeleteDosNameList(CCvLinkedList* pList) {
    if (!pList)
        return;
    pList->DeleteAllNodes(sizeof(DosName));
    delete pList;
}

// The decimal number in wide text of ulChars characters, stopping at a zero character; FALSE when the
// text is empty, holds anything but digits, or does not fit 32 bits.
BOOLEAN ParseDecimal(const WCHAR* pText, ULONG ulChars, PULONG pulNumber) {
    ULONG ulValue = 0, ulDigits = 0;
    for (ULONG i = 0; i < ulChars && pText[i]; i++, ulDigits++) {
        if (pText[i] < u'0' || pText[i] > u'9')
            return FALSE;
        ULONG ulDigit = static_cast<ULONG>(pText[i] - u'0');
        if (ulValue > (0xFFFFFFFFu - ulDigit) / 10)
            return FALSE;
        ulValue = ulValue * 10 + ulDigit;
    }
    *pulNumber = ulValue;
    return ulDigits > 0;
}

} // namespace

NTSTATUS SetUpNodes(CCvLinkedList* pList, ULONG ulNumber, COM_VALUE NameType) {
    const ULONG ulSize = sizeof(DosName);
    ULONG ulLocation = 1;
    for (auto* p = static_cast<PDosName>(pList->GetStartNode(ulSize)); p;
         p = static_cast<PDosName>(pList->GetNextNode(ulSize)), ulLocation++) {
        if (p->ulPortValue == ulNumber)
            return STATUS_UNSUCCESSFUL;
        if (p->ulPortValue > ulNumber)
            break;
    }
    // Before the first greater number, or at the end (the position after the last node).
    auto* pNew = static_cast<PDosName>(pList->AllocateAndInsertNode(ulSize, ulLocation));
    if (!pNew)
        return CV_STATUS_SEVERE;
    pNew->ulPortValue = ulNumber;
    pNew->NameType = NameType;
    return STATUS_SUCCESS;
}

NTSTATUS AddDeviceMapDosNamesToAllocatedList(CCvLinkedList* pList) {
    UNICODE_STRING uniPath;
    RtlInitUnicodeString(&uniPath, CV_SERIALCOMM_PATH);
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &uniPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE hKey = NULL;
    NTSTATUS Status = ZwOpenKey(&hKey, KEY_READ, &Attributes);
    if (Status == STATUS_OBJECT_NAME_NOT_FOUND)
        Status = ZwCreateKey(&hKey, KEY_READ, &Attributes, 0, NULL, REG_OPTION_VOLATILE, NULL);
    if (!NT_SUCCESS(Status))
        return CV_STATUS_SEVERE;
    auto* pInfo = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, CV_SERIALCOMM_BUFFER, CV_TAG_DDK));
    if (!pInfo) {
        ZwClose(hKey);
        return CV_STATUS_SEVERE;
    }
    NTSTATUS Result = STATUS_SUCCESS;
    for (ULONG i = 0; i < CV_SERIALCOMM_MAX_VALUES; i++) {
        ULONG ulLength = 0;
        Status =
            ZwEnumerateValueKey(hKey, i, KeyValuePartialInformation, pInfo, CV_SERIALCOMM_BUFFER, &ulLength);
        if (Status == STATUS_NO_MORE_ENTRIES)
            break;
        if (!NT_SUCCESS(Status)) {
            Result = CV_STATUS_SEVERE;
            break;
        }
        if (pInfo->Type != REG_SZ)
            continue;
        // The text up to its end or its first zero character; the first three ("COM") are not compared.
        const WCHAR* pText = reinterpret_cast<const WCHAR*>(pInfo->Data);
        ULONG ulChars = 0;
        while (ulChars < pInfo->DataLength / sizeof(WCHAR) && pText[ulChars])
            ulChars++;
        if (ulChars <= 3)
            continue;
        // Values of other drivers that name no COM number ("LPT1", "COMX", "COM 9", "COM0") take
        // nothing from the ports, and a number listed twice is simply in use.
        ULONG ulNumber = 0;
        if (!ParseDecimal(pText + 3, ulChars - 3, &ulNumber) || ulNumber == 0)
            continue;
        if (SetUpNodes(pList, ulNumber, COM_VALUE_ALLOCATED) == CV_STATUS_SEVERE) {
            Result = CV_STATUS_SEVERE;
            break;
        }
    }
    ExFreePool(pInfo);
    ZwClose(hKey);
    return Result;
}

namespace {

// Whether SERIALCOMM has a value of this name (a device name another port holds).
BOOLEAN SerialCommHasValue(PCUNICODE_STRING puniName) {
    UNICODE_STRING uniPath;
    RtlInitUnicodeString(&uniPath, CV_SERIALCOMM_PATH);
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &uniPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE hKey = NULL;
    if (!NT_SUCCESS(ZwOpenKey(&hKey, KEY_READ, &Attributes)))
        return FALSE;
    KEY_VALUE_BASIC_INFORMATION Info;
    ULONG ulLength = 0;
    NTSTATUS Status = ZwQueryValueKey(hKey, const_cast<PUNICODE_STRING>(puniName), KeyValueBasicInformation,
                                      &Info, sizeof Info, &ulLength);
    ZwClose(hKey);
    return Status != STATUS_OBJECT_NAME_NOT_FOUND;
}

// Device names after the count that others hold are passed over; a SERIALCOMM this full is not
// searched further.
const ULONG kMaxNamesPassedOver = 256;

} // namespace

NTSTATUS SetSerialCommKey(PUNICODE_STRING puniComName, PUNICODE_STRING puniDeviceName) {
    if (!NT_SUCCESS(RtlCreateRegistryKey(RTL_REGISTRY_DEVICEMAP, const_cast<PWSTR>(u"SERIALCOMM"))))
        return CV_STATUS_SEVERE;
    PCONFIGURATION_INFORMATION pConfig = IoGetConfigurationInformation();
    if (puniDeviceName->Buffer)
        operator delete(puniDeviceName->Buffer);
    RtlZeroMemory(puniDeviceName, sizeof *puniDeviceName);
    // The device is "Serial" + the serial port count, unless another port already holds that name
    // (the count goes down when a card is removed at start-up while later ports keep theirs): then the
    // next free number after it, so that no two devices ever collide.
    CCvUnicode uniDevice(NonPagedPool);
    for (ULONG k = pConfig->SerialCount;; k++) {
        uniDevice = u"Serial";
        if (uniDevice.Status != STATUS_SUCCESS || uniDevice.Append(k, 10) != STATUS_SUCCESS ||
            k - pConfig->SerialCount > kMaxNamesPassedOver)
            return CV_STATUS_SEVERE;
        if (!SerialCommHasValue(uniDevice))
            break;
    }
    if (!CvCopyUnicodeString(*puniDeviceName, uniDevice, NonPagedPool))
        return CV_STATUS_SEVERE;
    pConfig->SerialCount++;
    // The link text's own length, no terminating zero: readers go by the data length.
    NTSTATUS Status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, CV_SERIALCOMM_PATH, puniDeviceName->Buffer,
                                            REG_SZ, puniComName->Buffer, puniComName->Length);
    if (!NT_SUCCESS(Status)) {
        // Nothing was published: the count and the name go back, so no unload has to undo them.
        pConfig->SerialCount--;
        operator delete(puniDeviceName->Buffer);
        RtlZeroMemory(puniDeviceName, sizeof *puniDeviceName);
        return CV_STATUS_SEVERE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS AddForceConfigComToAllocatedDosNameList(CCvLinkedList* pList, ULONG ulNumber,
                                                 PUNICODE_STRING puniDeviceName,
                                                 PUNICODE_STRING puniLinkName) {
    NTSTATUS Status = SetUpNodes(pList, ulNumber, COM_VALUE_FORCED);
    if (Status != STATUS_SUCCESS)
        return Status; // taken (0xC0000001) or severe
    CCvUnicode uniLink(NonPagedPool, u"COM");
    if (puniLinkName->Buffer)
        operator delete(puniLinkName->Buffer);
    RtlZeroMemory(puniLinkName, sizeof *puniLinkName);
    if (uniLink.Status != STATUS_SUCCESS || uniLink.Append(ulNumber, 10) != STATUS_SUCCESS ||
        !CvCopyUnicodeString(*puniLinkName, uniLink, NonPagedPool))
        return CV_STATUS_SEVERE;
    return SetSerialCommKey(puniLinkName, puniDeviceName);
}

NTSTATUS GetFreeNameForPort(CCvLinkedList* pList, ULONG, PULONG pulNumber, PUNICODE_STRING puniDeviceName,
                            PUNICODE_STRING puniLinkName) {
    const ULONG ulSize = sizeof(DosName);
    ULONG ulNumber = 1;
    auto* p = static_cast<PDosName>(pList->GetStartNode(ulSize));
    if (p && p->ulPortValue == 1) {
        // Follow the run of numbers from 1 and take the one after it: the lowest gap.
        while (p && p->ulPortValue == ulNumber) {
            ulNumber++;
            p = static_cast<PDosName>(pList->GetNextNode(ulSize));
        }
    }
    if (SetUpNodes(pList, ulNumber, COM_VALUE_FREE) != STATUS_SUCCESS)
        return CV_STATUS_SEVERE;
    *pulNumber = ulNumber;
    CCvUnicode uniLink(NonPagedPool, u"COM");
    if (puniLinkName->Buffer)
        operator delete(puniLinkName->Buffer);
    RtlZeroMemory(puniLinkName, sizeof *puniLinkName);
    if (uniLink.Status != STATUS_SUCCESS || uniLink.Append(ulNumber, 10) != STATUS_SUCCESS ||
        !CvCopyUnicodeString(*puniLinkName, uniLink, NonPagedPool))
        return CV_STATUS_SEVERE;
    return SetSerialCommKey(puniLinkName, puniDeviceName);
}

NTSTATUS AssignIsaComNumberToPort(CCvLinkedList* pList) {
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    CCvLinkedList* pNames = CreateDosNameList();
    if (!pNames || AddDeviceMapDosNamesToAllocatedList(pNames) != STATUS_SUCCESS) {
        Log(CVNT_COM_IN_USE_ERROR);
        DeleteDosNameList(pNames);
        return CV_STATUS_SEVERE;
    }
    NTSTATUS Result = STATUS_SUCCESS;
    for (PCCvDeviceStruct pNode : CvPorts(pList)) {
        CCvDevice* pDevice = pNode->pClass;
        // The names go straight into the port, so whatever was published is found again at unload.
        NTSTATUS Status = AddForceConfigComToAllocatedDosNameList(
            pNames, pDevice->m_ulForcedComNumber, &pDevice->DeviceName, &pDevice->SymbolicLinkName);
        if (Status == STATUS_UNSUCCESSFUL) {
            pDevice->m_bDisabled = TRUE;
            LogWithNumber(CVNT_COM_TAKEN_DISABLED, pDevice->m_ulForcedComNumber, 16);
        } else if (Status != STATUS_SUCCESS) {
            LogWithNumber(CVNT_NCOM_DEVICE_ASSIGN_ERROR, pDevice->m_ulForcedComNumber, 16);
            Result = CV_STATUS_SEVERE;
            break;
        }
    }
    DeleteDosNameList(pNames);
    return Result;
}

NTSTATUS AssignComNumberToPort(CCvLinkedList* pList) {
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    CCvLinkedList* pNames = CreateDosNameList();
    if (!pNames || AddDeviceMapDosNamesToAllocatedList(pNames) != STATUS_SUCCESS) {
        Log(CVNT_COM_IN_USE_ERROR);
        DeleteDosNameList(pNames);
        return CV_STATUS_SEVERE;
    }
    NTSTATUS Result = STATUS_SUCCESS;
    // Requested numbers first, so that no automatic choice takes a number a later port asks for.
    for (int iPass = 0; iPass < 2 && Result == STATUS_SUCCESS; iPass++) {
        for (PCCvDeviceStruct pNode : CvPorts(pList)) {
            CCvDevice* pDevice = pNode->pClass;
            const ULONG ulDeviceId = pDevice->pParentCard->ulDeviceID;
            NTSTATUS Status = STATUS_SUCCESS;
            if (iPass == 0 && pDevice->m_ulForcedComNumber != 0) {
                Status = AddForceConfigComToAllocatedDosNameList(
                    pNames, pDevice->m_ulForcedComNumber, &pDevice->DeviceName, &pDevice->SymbolicLinkName);
                if (Status == STATUS_UNSUCCESSFUL) {
                    LogWithTwoNumbers(CVNT_COM_TAKEN_RENUMBERED, pDevice->m_ulForcedComNumber, ulDeviceId, 16,
                                      16);
                    pDevice->m_ulForcedComNumber = 0;
                } else if (Status != STATUS_SUCCESS) {
                    LogWithTwoNumbers(CVNT_NCOM_ASSIGN_ERROR, pDevice->m_ulForcedComNumber, ulDeviceId, 16,
                                      16);
                    Result = CV_STATUS_SEVERE;
                }
            } else if (iPass == 1 && pDevice->m_ulForcedComNumber == 0) {
                ULONG ulNumber = 0;
                Status = GetFreeNameForPort(pNames, 0, &ulNumber, &pDevice->DeviceName,
                                            &pDevice->SymbolicLinkName);
                if (Status != STATUS_SUCCESS) {
                    LogWithNumber(CVNT_FREE_COM_ASSIGN_ERROR, ulDeviceId, 16);
                    Result = CV_STATUS_SEVERE;
                } else {
                    pDevice->m_ulForcedComNumber = ulNumber;
                    LogWithTwoNumbers(CVNT_COM_ASSIGNED, ulNumber, ulDeviceId, 10, 16);
                }
            }
            if (Result != STATUS_SUCCESS)
                break;
        }
    }
    DeleteDosNameList(pNames);
    return Result;
}
