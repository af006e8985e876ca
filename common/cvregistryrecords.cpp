#include "CvRegistryRecords.h"

#include "CvResourceKiller.h"

namespace {

const WCHAR kEmpty[] = u"";

PVOID Field(PVOID pvRecord, ULONG ulOffset) {
    return static_cast<PUCHAR>(pvRecord) + ulOffset;
}

PVOID AllocateString(ULONG ulBytes) {
    return CvImage.bTrackedBuffers ? CvImageAllocate(PagedPool, ulBytes)
                                   : ExAllocatePoolWithTag(PagedPool, ulBytes, CV_TAG_DDK);
}

VOID ReleaseString(PVOID pv) {
    if (!pv)
        return;
    if (CvImage.bTrackedBuffers)
        CvImageFree(pv);
    else
        ExFreePool(pv);
}

NTSTATUS QueryDword(PWSTR, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID, PVOID EntryContext) {
    if (ValueType != REG_DWORD || ValueLength != sizeof(ULONG))
        return STATUS_OBJECT_TYPE_MISMATCH;
    RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
    return STATUS_SUCCESS;
}

// A string into its fixed buffer: a text longer than the buffer fails the query.
NTSTATUS QueryString(PWSTR, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID, PVOID EntryContext) {
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

// A string keeps only the room it needs: its text and the terminator.
BOOLEAN TrimString(PUNICODE_STRING puni) {
    USHORT usBytes = static_cast<USHORT>(puni->Length + sizeof(WCHAR));
    auto* pShort = static_cast<PWSTR>(AllocateString(usBytes));
    if (!pShort)
        return FALSE;
    RtlCopyMemory(pShort, puni->Buffer, usBytes);
    ReleaseString(puni->Buffer);
    puni->Buffer = pShort;
    puni->MaximumLength = usBytes;
    return TRUE;
}

} // namespace

NTSTATUS CvQueryRecord(PCUNICODE_STRING puniPath, const CV_RECORD_VALUE* pValues, ULONG ulValues,
                       PVOID pvRecord) {
    const ULONG ulBytes = (ulValues + 1) * sizeof(RTL_QUERY_REGISTRY_TABLE);
    auto* pTable =
        static_cast<PRTL_QUERY_REGISTRY_TABLE>(ExAllocatePoolWithTag(PagedPool, ulBytes, CV_TAG_DDK));
    if (!pTable)
        return STATUS_UNSUCCESSFUL;
    RtlZeroMemory(pTable, ulBytes);
    NTSTATUS Status = STATUS_SUCCESS;
    for (ULONG v = 0; v < ulValues; v++) {
        pTable[v].Name = const_cast<PWSTR>(pValues[v].pName);
        pTable[v].EntryContext = Field(pvRecord, pValues[v].ulOffset);
        if (!pValues[v].bString) {
            pTable[v].QueryRoutine = QueryDword;
            pTable[v].DefaultType = REG_DWORD;
            pTable[v].DefaultData = const_cast<PULONG>(&pValues[v].ulDefault);
            pTable[v].DefaultLength = sizeof(ULONG);
            continue;
        }
        auto* puni = static_cast<PUNICODE_STRING>(Field(pvRecord, pValues[v].ulOffset));
        const USHORT usBytes = (CV_MAX_RECORD_STRING_CHARS + 1) * sizeof(WCHAR);
        puni->Buffer = static_cast<PWSTR>(AllocateString(usBytes));
        if (!puni->Buffer) {
            Status = STATUS_UNSUCCESSFUL;
            break;
        }
        puni->Buffer[0] = UNICODE_NULL;
        puni->Length = 0;
        puni->MaximumLength = usBytes;
        pTable[v].QueryRoutine = QueryString;
        pTable[v].DefaultType = REG_SZ;
        pTable[v].DefaultData = const_cast<PWSTR>(kEmpty);
        pTable[v].DefaultLength = 0;
    }
    if (Status == STATUS_SUCCESS &&
        !NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, puniPath->Buffer,
                                           pTable, NULL, NULL)))
        Status = STATUS_UNSUCCESSFUL;
    for (ULONG v = 0; Status == STATUS_SUCCESS && v < ulValues; v++)
        if (pValues[v].bString &&
            !TrimString(static_cast<PUNICODE_STRING>(Field(pvRecord, pValues[v].ulOffset))))
            Status = STATUS_UNSUCCESSFUL;
    ExFreePool(pTable);
    return Status;
}

BOOLEAN CvBuildPath(CCvUnicode& uniPath, PCUNICODE_STRING puniParent, PCWSTR pWord, ULONG ulNumber) {
    if (uniPath.Append(puniParent) != STATUS_SUCCESS || uniPath.Append(pWord) != STATUS_SUCCESS)
        return FALSE;
    return ulNumber == 0 || uniPath.Append(ulNumber, 10) == STATUS_SUCCESS;
}

NTSTATUS CvCheckKey(PCUNICODE_STRING puniPath) {
    NTSTATUS Status = RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, puniPath->Buffer);
    return Status == STATUS_OBJECT_NAME_NOT_FOUND || NT_SUCCESS(Status) ? Status : STATUS_UNSUCCESSFUL;
}

PVOID CvDeleteAndGoOn(CCvLinkedList* pList, ULONG ulStructSize) {
    BOOLEAN bLast = pList->GetCurrentNode() == pList->m_pvEndStruct;
    pList->DeleteCurrentNode(ulStructSize);
    return bLast ? NULL : pList->GetCurrentNode();
}

BOOLEAN CvIsKnownUartType(ULONG ulType) {
    return ulType == 4 || ulType == 5 || ulType == 7 || ulType == 9;
}

NTSTATUS DeleteSubkeys(PUNICODE_STRING puniPath) {
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, puniPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE hKey = NULL;
    if (!NT_SUCCESS(ZwOpenKey(&hKey, KEY_ALL_ACCESS, &Attributes)))
        return CvImage.DeleteSubkeysFailure;
    // The buffer is zero-filled and two bytes longer than offered, so a name is always terminated.
    const ULONG ulOffered = 534;
    auto* pInfo =
        static_cast<PKEY_BASIC_INFORMATION>(ExAllocatePoolWithTag(PagedPool, ulOffered + 2, CV_TAG_DDK));
    if (!pInfo) {
        ZwClose(hKey);
        return CvImage.DeleteSubkeysFailure;
    }
    NTSTATUS Result = STATUS_SUCCESS;
    for (;;) {
        RtlZeroMemory(pInfo, ulOffered + 2);
        ULONG ulLength = 0;
        NTSTATUS Status = ZwEnumerateKey(hKey, 0, KeyBasicInformation, pInfo, ulOffered, &ulLength);
        if (Status == STATUS_NO_MORE_ENTRIES)
            break;
        CCvUnicode uniSubkey(PagedPool, puniPath);
        BOOLEAN bPath = NT_SUCCESS(Status) && uniSubkey.Status == STATUS_SUCCESS &&
                        uniSubkey.Append(u"\\") == STATUS_SUCCESS &&
                        uniSubkey.Append(pInfo->Name) == STATUS_SUCCESS;
        if (!bPath || DeleteSubkeys(uniSubkey) != STATUS_SUCCESS) {
            Result = CvImage.DeleteSubkeysFailure;
            break;
        }
        OBJECT_ATTRIBUTES SubAttributes;
        InitializeObjectAttributes(&SubAttributes, static_cast<PUNICODE_STRING>(uniSubkey),
                                   OBJ_CASE_INSENSITIVE, NULL, NULL);
        HANDLE hSubkey = NULL;
        // A subkey that cannot be deleted would be found again at index 0 without end: give up.
        if (!NT_SUCCESS(ZwOpenKey(&hSubkey, KEY_ALL_ACCESS, &SubAttributes))) {
            Result = CvImage.DeleteSubkeysFailure;
            break;
        }
        Status = ZwDeleteKey(hSubkey);
        ZwClose(hSubkey);
        if (!NT_SUCCESS(Status)) {
            Result = CvImage.DeleteSubkeysFailure;
            break;
        }
    }
    ExFreePool(pInfo);
    ZwClose(hKey);
    return Result;
}
