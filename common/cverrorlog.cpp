#include "CvErrorLog.h"

#include "CvResourceKiller.h"
#include "CvUnicode.h"

PDRIVER_OBJECT pDriverObject = NULL;
ULONG ulMinID = 0;
ULONG ulMaxID = 0;

namespace {

const ULONG kValueBufferBytes = 36;
const ULONG kEntryHeaderBytes = 48;

BOOLEAN Admitted(ULONG ulLogID) {
    ULONG ulCode = ulLogID & 0xFFFF;
    return ulCode >= ulMinID && ulCode <= ulMaxID;
}

ULONG WideLength(PCWSTR p) {
    ULONG n = 0;
    while (p[n])
        n++;
    return n;
}

// The entry size a string asks for: its length with terminator plus two bytes (three characters: 8 + 2).
ULONG StringCost(ULONG ulChars) {
    return (ulChars + 1) * sizeof(WCHAR) + sizeof(WCHAR);
}

const WCHAR kElision[] = u"...";
const ULONG kElisionChars = 3;

// Writes one entry with its insertion strings; nothing is written when no entry of that size is granted.
// An entry that the strings would take past the error log's maximum keeps its longest string's end,
// after "...": what tells a registry path apart (the card and port keys) is at its end.
VOID WriteEntry(ULONG ulLogID, PCWSTR* apStrings, ULONG ulCount) {
    if (!pDriverObject)
        return;
    ULONG aulChars[3] = {0, 0, 0};
    ULONG ulSize = kEntryHeaderBytes, ulLongest = 0;
    for (ULONG i = 0; i < ulCount && i < 3; i++) {
        aulChars[i] = WideLength(apStrings[i]);
        ulSize += StringCost(aulChars[i]);
        if (aulChars[i] > aulChars[ulLongest])
            ulLongest = i;
    }
    ULONG ulKeep = ulCount ? aulChars[ulLongest] : 0;
    if (ulSize > ERROR_LOG_MAXIMUM_SIZE && ulCount) {
        ULONG ulOthers = ulSize - StringCost(aulChars[ulLongest]);
        ULONG ulRoom = ulOthers < ERROR_LOG_MAXIMUM_SIZE ? ERROR_LOG_MAXIMUM_SIZE - ulOthers : 0;
        ULONG ulFits = ulRoom >= StringCost(0) ? (ulRoom - StringCost(0)) / sizeof(WCHAR) : 0;
        if (ulFits <= kElisionChars)
            return; // not even the elision fits
        ulKeep = ulFits;
        ulSize = ulOthers + StringCost(ulKeep);
    }
    auto* pPacket = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(pDriverObject, (UCHAR)ulSize));
    if (!pPacket)
        return;
    pPacket->ErrorCode = (NTSTATUS)ulLogID;
    pPacket->NumberOfStrings = (USHORT)ulCount;
    if (ulCount) {
        pPacket->StringOffset = (USHORT)offsetof(IO_ERROR_LOG_PACKET, DumpData);
        PWCHAR pAt = reinterpret_cast<PWCHAR>(reinterpret_cast<PUCHAR>(pPacket) + pPacket->StringOffset);
        for (ULONG i = 0; i < ulCount; i++) {
            PCWSTR pFrom = apStrings[i];
            ULONG ulChars = aulChars[i];
            if (i == ulLongest && ulKeep < ulChars) {
                RtlCopyMemory(pAt, kElision, kElisionChars * sizeof(WCHAR));
                pAt += kElisionChars;
                pFrom += ulChars - (ulKeep - kElisionChars);
                ulChars = ulKeep - kElisionChars;
            }
            RtlCopyMemory(pAt, pFrom, ulChars * sizeof(WCHAR));
            pAt += ulChars;
            *pAt++ = 0;
        }
    }
    IoWriteErrorLogEntry(pPacket);
}

VOID WriteNumbers(ULONG ulLogID, ULONG ulCount, const ULONG* aulNumbers, const UCHAR* aucBases) {
    if (!Admitted(ulLogID))
        return;
    CCvUnicode uni0(PagedPool, aulNumbers[0], aucBases[0]);
    if (uni0.Status != STATUS_SUCCESS)
        return;
    if (ulCount == 1) {
        PCWSTR apStrings[1] = {uni0.m_uniUnicodeString.Buffer};
        WriteEntry(ulLogID, apStrings, 1);
        return;
    }
    CCvUnicode uni1(PagedPool, aulNumbers[1], aucBases[1]);
    if (uni1.Status != STATUS_SUCCESS)
        return;
    if (ulCount == 2) {
        PCWSTR apStrings[2] = {uni0.m_uniUnicodeString.Buffer, uni1.m_uniUnicodeString.Buffer};
        WriteEntry(ulLogID, apStrings, 2);
        return;
    }
    CCvUnicode uni2(PagedPool, aulNumbers[2], aucBases[2]);
    if (uni2.Status != STATUS_SUCCESS)
        return;
    PCWSTR apStrings[3] = {uni0.m_uniUnicodeString.Buffer, uni1.m_uniUnicodeString.Buffer,
                           uni2.m_uniUnicodeString.Buffer};
    WriteEntry(ulLogID, apStrings, 3);
}

// Reads LogLevel from the key at pPath; 1 when it cannot be read. CvInstal at registration also writes
// a missing value back as 1.
NTSTATUS ReadLogLevel(PUNICODE_STRING pPath, BOOLEAN bCreateMissing, PULONG pulLevel) {
    PVOID pvBuffer = operator new(kValueBufferBytes, PagedPool);
    if (!pvBuffer)
        return CV_STATUS_SEVERE;
    UNICODE_STRING uniValueName;
    RtlInitUnicodeString(&uniValueName, u"LogLevel");

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, pPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE hKey = NULL;
    ACCESS_MASK access = bCreateMissing ? (KEY_READ | KEY_SET_VALUE) : KEY_READ;
    if (!NT_SUCCESS(ZwOpenKey(&hKey, access, &attributes))) {
        operator delete(pvBuffer);
        return CV_STATUS_SEVERE;
    }
    ULONG ulLevel = 1;
    ULONG ulResult = 0;
    auto* pInfo = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(pvBuffer);
    NTSTATUS status =
        ZwQueryValueKey(hKey, &uniValueName, KeyValuePartialInformation, pInfo, kValueBufferBytes, &ulResult);
    if (NT_SUCCESS(status) && pInfo->Type == REG_DWORD && pInfo->DataLength == sizeof(ULONG)) {
        RtlCopyMemory(&ulLevel, pInfo->Data, sizeof(ULONG));
    } else if (bCreateMissing) {
        ZwSetValueKey(hKey, &uniValueName, 0, REG_DWORD, &ulLevel, sizeof ulLevel);
    }
    ZwClose(hKey);
    operator delete(pvBuffer);
    *pulLevel = ulLevel;
    return STATUS_SUCCESS;
}

} // namespace

VOID CvLogLevelWindow(ULONG ulLevel, PULONG pulMinID, PULONG pulMaxID) {
    switch (ulLevel) {
    case 0:
        *pulMinID = 0;
        *pulMaxID = 0;
        break;
    case 2:
        *pulMinID = 0x400;
        *pulMaxID = 0xAFF;
        break;
    case 3:
        *pulMinID = 0x001;
        *pulMaxID = 0xAFF;
        break;
    default:
        *pulMinID = 0x800;
        *pulMaxID = 0xAFF;
        break;
    }
}

#if defined(CV_IMAGE_CVNT)
NTSTATUS RegisterEventLogging(PDRIVER_OBJECT DriverObject, PUNICODE_STRING pPath)
#else
NTSTATUS RegisterEventLogging(PDRIVER_OBJECT DriverObject, PUNICODE_STRING pPath, PULONG pulLogLevel)
#endif
{
    ULONG ulLevel = 1;
    NTSTATUS status = ReadLogLevel(pPath, CvImage.bWritesMissingLogLevel, &ulLevel);
    if (status != STATUS_SUCCESS)
        return status;
    CvLogLevelWindow(ulLevel, &ulMinID, &ulMaxID);
    pDriverObject = DriverObject;

    if (!NT_SUCCESS(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(CvImage.pEventSourcePath))))
        return CV_STATUS_SEVERE;
    // The stored length leaves out the terminating zero.
    ULONG ulFileBytes = WideLength(CvImage.pEventMessageFile) * sizeof(WCHAR);
    if (!NT_SUCCESS(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, CvImage.pEventSourcePath,
                                          u"EventMessageFile", REG_EXPAND_SZ,
                                          const_cast<PWSTR>(CvImage.pEventMessageFile), ulFileBytes)))
        return CV_STATUS_SEVERE;
    ULONG ulTypes = 7;
    if (!NT_SUCCESS(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, CvImage.pEventSourcePath, u"TypesSupported",
                                          REG_DWORD, &ulTypes, sizeof ulTypes)))
        return CV_STATUS_SEVERE;
#if defined(CV_IMAGE_CVINSTAL)
    *pulLogLevel = ulLevel;
#endif
    return STATUS_SUCCESS;
}

#if defined(CV_IMAGE_CVINSTAL)
NTSTATUS RefreshEventLogging(PUNICODE_STRING pPath, PULONG pulLogLevel) {
    ULONG ulLevel = 1;
    NTSTATUS status = ReadLogLevel(pPath, FALSE, &ulLevel);
    if (status != STATUS_SUCCESS)
        return status;
    CvLogLevelWindow(ulLevel, &ulMinID, &ulMaxID);
    *pulLogLevel = ulLevel;
    return STATUS_SUCCESS;
}
#endif

VOID Log(ULONG ulLogID) {
    if (Admitted(ulLogID))
        WriteEntry(ulLogID, NULL, 0);
}

VOID LogWithNumber(ULONG ulLogID, ULONG ulNumber, UCHAR ucBase) {
    WriteNumbers(ulLogID, 1, &ulNumber, &ucBase);
}

VOID LogWithTwoNumbers(ULONG ulLogID, ULONG ulNumber1, ULONG ulNumber2, UCHAR ucBase1, UCHAR ucBase2) {
    ULONG aulNumbers[2] = {ulNumber1, ulNumber2};
    UCHAR aucBases[2] = {ucBase1, ucBase2};
    WriteNumbers(ulLogID, 2, aulNumbers, aucBases);
}

VOID LogWithString(ULONG ulLogID, PCWSTR pString) {
    if (!Admitted(ulLogID) || !pString)
        return;
    PCWSTR apStrings[1] = {pString};
    WriteEntry(ulLogID, apStrings, 1);
}

#if defined(CV_IMAGE_CVNT)
VOID LogWithThreeNumbers(ULONG ulLogID, ULONG ulNumber1, ULONG ulNumber2, ULONG ulNumber3, UCHAR ucBase1,
                         UCHAR ucBase2, UCHAR ucBase3) {
    ULONG aulNumbers[3] = {ulNumber1, ulNumber2, ulNumber3};
    UCHAR aucBases[3] = {ucBase1, ucBase2, ucBase3};
    WriteNumbers(ulLogID, 3, aulNumbers, aucBases);
}

VOID LogWithTwoStrings(ULONG ulLogID, PCWSTR pString1, PCWSTR pString2) {
    if (!Admitted(ulLogID) || !pString1 || !pString2)
        return;
    PCWSTR apStrings[2] = {pString1, pString2};
    WriteEntry(ulLogID, apStrings, 2);
}
#endif
