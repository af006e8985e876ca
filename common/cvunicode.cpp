#include "CvUnicode.h"

#include "CvResourceKiller.h"

namespace {

// The largest text a counted string can hold together with its terminator.
const USHORT kMaxTextBytes = 0xFFFC;

BOOLEAN IsHexDigit(WCHAR c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

} // namespace

PVOID CCvUnicode::AllocateBuffer(size_t size) const {
    return CvImage.bTrackedBuffers ? CvImageAllocate(m_PoolType, size)
                                   : ExAllocatePoolWithTag(m_PoolType, size, CV_TAG_DDK);
}

VOID CCvUnicode::ReleaseBuffer(PVOID pv) const {
    if (!pv)
        return;
    if (CvImage.bTrackedBuffers)
        CvImageFree(pv);
    else
        ExFreePool(pv);
}

VOID CCvUnicode::Clear() {
    ReleaseBuffer(m_uniUnicodeString.Buffer);
    ReleaseBuffer(m_AnsiString.Buffer);
    RtlZeroMemory(&m_uniUnicodeString, sizeof m_uniUnicodeString);
    RtlZeroMemory(&m_AnsiString, sizeof m_AnsiString);
    m_ulVariableValue = 0;
    m_bVariableSet = FALSE;
}

CCvUnicode::CCvUnicode(POOL_TYPE PoolType) {
    m_PoolType = PoolType;
    RtlZeroMemory(&m_uniUnicodeString, sizeof m_uniUnicodeString);
    RtlZeroMemory(&m_AnsiString, sizeof m_AnsiString);
    m_ulVariableValue = 0;
    m_bVariableSet = FALSE;
    Status = STATUS_SUCCESS;
}

CCvUnicode::CCvUnicode(POOL_TYPE PoolType, ULONG ulArgument, ULONG ulBase) : CCvUnicode(PoolType) {
    Status = Install(KindNumber, &ulArgument, ulBase);
}

CCvUnicode::CCvUnicode(POOL_TYPE PoolType, PCWSTR pArgument) : CCvUnicode(PoolType) {
    if (pArgument)
        Status = Install(KindWide, pArgument, 0);
}

CCvUnicode::CCvUnicode(POOL_TYPE PoolType, PCUNICODE_STRING puniArgument) : CCvUnicode(PoolType) {
    if (puniArgument)
        Status = Install(KindCountedWide, puniArgument, 0);
}

CCvUnicode::CCvUnicode(POOL_TYPE PoolType, const CCvUnicode& uniArgument) : CCvUnicode(PoolType) {
    Status = Install(KindObject, &uniArgument, 0);
}

CCvUnicode::~CCvUnicode() {
    Clear();
}

CCvUnicode& CCvUnicode::operator=(PCWSTR pArgument) {
    if (pArgument) {
        Status = Install(KindWide, pArgument, 0);
    } else {
        Clear();
        Status = STATUS_SUCCESS;
    }
    return *this;
}

CCvUnicode& CCvUnicode::operator=(const CCvUnicode& uniArgument) {
    Status = Install(KindObject, &uniArgument, 0);
    return *this;
}

#if defined(CV_IMAGE_CVINSTAL)
CCvUnicode& CCvUnicode::operator=(PCUNICODE_STRING puniArgument) {
    if (puniArgument) {
        Status = Install(KindCountedWide, puniArgument, 0);
    } else {
        Clear();
        Status = STATUS_SUCCESS;
    }
    return *this;
}
#else
CCvUnicode& CCvUnicode::operator=(ULONG ulArgument) {
    Status = Install(KindNumber, &ulArgument, 16);
    return *this;
}
#endif

NTSTATUS CCvUnicode::BuildText(ULONG ulKind, const void* pArgument, ULONG ulBase,
                               UNICODE_STRING& uniText) const {
    RtlZeroMemory(&uniText, sizeof uniText);
    switch (ulKind) {
    case KindNumber: {
        if (ulBase != 10)
            ulBase = 16;
        USHORT size = ulBase == 10 ? 22 : 18;
        auto* buffer = static_cast<PWSTR>(AllocateBuffer(size));
        if (!buffer)
            return STATUS_NO_MEMORY;
        RtlZeroMemory(buffer, size);
        uniText.Buffer = buffer;
        uniText.MaximumLength = size;
        RtlIntegerToUnicodeString(*static_cast<const ULONG*>(pArgument), ulBase, &uniText);
        return STATUS_SUCCESS;
    }
    case KindAnsi:
    case KindCountedAnsi: {
        ANSI_STRING ansi;
        if (ulKind == KindAnsi)
            RtlInitAnsiString(&ansi, static_cast<PCSZ>(pArgument));
        else
            ansi = *static_cast<PCANSI_STRING>(pArgument);
        ULONG size = NLS_MB_CODE_PAGE_TAG ? RtlxAnsiStringToUnicodeSize(&ansi) : 2 * (ULONG)ansi.Length + 2;
        if (size >= 0x10000)
            return STATUS_NO_MEMORY;
        auto* buffer = static_cast<PWSTR>(AllocateBuffer(size));
        if (!buffer)
            return STATUS_NO_MEMORY;
        RtlZeroMemory(buffer, size);
        uniText.Buffer = buffer;
        uniText.MaximumLength = static_cast<USHORT>(size);
        if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&uniText, &ansi, FALSE))) {
            ReleaseBuffer(buffer);
            RtlZeroMemory(&uniText, sizeof uniText);
            return STATUS_NO_MEMORY;
        }
        return STATUS_SUCCESS;
    }
    case KindWide:
    case KindCountedWide:
    case KindObject: {
        UNICODE_STRING source;
        if (ulKind == KindWide)
            RtlInitUnicodeString(&source, static_cast<PCWSTR>(pArgument));
        else if (ulKind == KindCountedWide)
            source = *static_cast<PCUNICODE_STRING>(pArgument);
        else
            source = static_cast<const CCvUnicode*>(pArgument)->m_uniUnicodeString;
        if (!source.Buffer)
            return STATUS_SUCCESS; // an object without text copies as no text
        if (source.Length > kMaxTextBytes)
            return STATUS_NO_MEMORY;
        USHORT size = static_cast<USHORT>(source.Length + sizeof(WCHAR));
        auto* buffer = static_cast<PWSTR>(AllocateBuffer(size));
        if (!buffer)
            return STATUS_NO_MEMORY;
        RtlZeroMemory(buffer, size);
        RtlCopyMemory(buffer, source.Buffer, source.Length);
        uniText.Buffer = buffer;
        uniText.Length = source.Length;
        uniText.MaximumLength = size;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS CCvUnicode::BuildAnsiCopy(const UNICODE_STRING& uniText, STRING& ansiCopy) const {
    RtlZeroMemory(&ansiCopy, sizeof ansiCopy);
    if (!uniText.Buffer)
        return STATUS_SUCCESS;
    auto* buffer = static_cast<PCHAR>(AllocateBuffer(uniText.MaximumLength));
    if (!buffer)
        return STATUS_NO_MEMORY;
    ansiCopy.Buffer = buffer;
    ansiCopy.MaximumLength = uniText.MaximumLength;
    if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&ansiCopy, &uniText, FALSE))) {
        ReleaseBuffer(buffer);
        RtlZeroMemory(&ansiCopy, sizeof ansiCopy);
        return STATUS_NO_MEMORY;
    }
    return STATUS_SUCCESS;
}

// Replaces the text. The new text is built completely before the old one is released, so an object can
// be assigned from itself or from its own buffer.
NTSTATUS CCvUnicode::Install(ULONG ulKind, const void* pArgument, ULONG ulBase) {
    UNICODE_STRING uniText;
    STRING ansiCopy;
    NTSTATUS status = BuildText(ulKind, pArgument, ulBase, uniText);
    if (NT_SUCCESS(status)) {
        status = BuildAnsiCopy(uniText, ansiCopy);
        if (!NT_SUCCESS(status))
            ReleaseBuffer(uniText.Buffer);
    }
    Clear();
    if (!NT_SUCCESS(status))
        return status;
    m_uniUnicodeString = uniText;
    m_AnsiString = ansiCopy;
    if (ulKind == KindNumber) {
        m_ulVariableValue = *static_cast<const ULONG*>(pArgument);
        m_bVariableSet = TRUE;
    } else {
        DeriveNumber();
    }
    return STATUS_SUCCESS;
}

VOID CCvUnicode::DeriveNumber() {
    m_ulVariableValue = 0;
    m_bVariableSet = FALSE;
    USHORT count = m_uniUnicodeString.Length / sizeof(WCHAR);
    if (!m_uniUnicodeString.Buffer || count == 0)
        return;
    ULONG ulSignificant = 0;
    for (USHORT i = 0; i < count; i++) {
        WCHAR c = m_uniUnicodeString.Buffer[i];
        if (!IsHexDigit(c))
            return;
        if (ulSignificant || c != u'0')
            ulSignificant++;
    }
    if (ulSignificant > 8)
        return; // more than 32 bits
    ULONG ulValue = 0;
    if (NT_SUCCESS(RtlUnicodeStringToInteger(&m_uniUnicodeString, 16, &ulValue))) {
        m_ulVariableValue = ulValue;
        m_bVariableSet = TRUE;
    }
}

NTSTATUS CCvUnicode::Concatenate(BOOLEAN bPrefix, ULONG ulKind, const void* pArgument, ULONG ulBase) {
    if (ulKind < KindNumber || ulKind > KindObject)
        return Status = STATUS_INVALID_PARAMETER;
    if (ulKind != KindNumber && !pArgument)
        return Status = STATUS_SUCCESS;
    UNICODE_STRING uniArgument;
    NTSTATUS status = BuildText(ulKind, pArgument, ulBase, uniArgument);
    if (!NT_SUCCESS(status))
        return Status = status;
    ULONG ulTotal = (ULONG)m_uniUnicodeString.Length + uniArgument.Length;
    PWSTR pCombined =
        ulTotal <= kMaxTextBytes ? static_cast<PWSTR>(AllocateBuffer(ulTotal + sizeof(WCHAR))) : NULL;
    if (!pCombined) {
        ReleaseBuffer(uniArgument.Buffer);
        return Status = STATUS_NO_MEMORY;
    }
    RtlZeroMemory(pCombined, ulTotal + sizeof(WCHAR));
    const UNICODE_STRING& first = bPrefix ? uniArgument : m_uniUnicodeString;
    const UNICODE_STRING& second = bPrefix ? m_uniUnicodeString : uniArgument;
    if (first.Length)
        RtlCopyMemory(pCombined, first.Buffer, first.Length);
    if (second.Length)
        RtlCopyMemory(reinterpret_cast<PUCHAR>(pCombined) + first.Length, second.Buffer, second.Length);
    ReleaseBuffer(uniArgument.Buffer);

    UNICODE_STRING uniCombined;
    uniCombined.Buffer = pCombined;
    uniCombined.Length = static_cast<USHORT>(ulTotal);
    uniCombined.MaximumLength = static_cast<USHORT>(ulTotal + sizeof(WCHAR));
    return Status = ReplaceText(uniCombined);
}

// Installs a new text (taking its buffer) with a fresh ANSI copy; on failure the new buffer is released
// and the old text stays.
NTSTATUS CCvUnicode::ReplaceText(const UNICODE_STRING& uniText) {
    STRING ansiCopy;
    NTSTATUS status = BuildAnsiCopy(uniText, ansiCopy);
    if (!NT_SUCCESS(status)) {
        ReleaseBuffer(uniText.Buffer);
        return status;
    }
    ReleaseBuffer(m_uniUnicodeString.Buffer);
    ReleaseBuffer(m_AnsiString.Buffer);
    m_uniUnicodeString = uniText;
    m_AnsiString = ansiCopy;
    DeriveNumber();
    return STATUS_SUCCESS;
}

NTSTATUS CCvUnicode::Append(ULONG ulNumber, ULONG ulBase) {
    return Concatenate(FALSE, KindNumber, &ulNumber, ulBase);
}
NTSTATUS CCvUnicode::Append(PCWSTR pArgument) {
    return Concatenate(FALSE, KindWide, pArgument, 0);
}
NTSTATUS CCvUnicode::Append(PCUNICODE_STRING puniArgument) {
    return Concatenate(FALSE, KindCountedWide, puniArgument, 0);
}
NTSTATUS CCvUnicode::Prefix(ULONG ulNumber, ULONG ulBase) {
    return Concatenate(TRUE, KindNumber, &ulNumber, ulBase);
}
NTSTATUS CCvUnicode::Prefix(PCWSTR pArgument) {
    return Concatenate(TRUE, KindWide, pArgument, 0);
}
NTSTATUS CCvUnicode::Prefix(PCUNICODE_STRING puniArgument) {
    return Concatenate(TRUE, KindCountedWide, puniArgument, 0);
}
#if defined(CV_IMAGE_CVNT)
NTSTATUS CCvUnicode::Append(PCSZ pAnsiArgument) {
    return Concatenate(FALSE, KindAnsi, pAnsiArgument, 0);
}
NTSTATUS CCvUnicode::Prefix(PCSZ pAnsiArgument) {
    return Concatenate(TRUE, KindAnsi, pAnsiArgument, 0);
}
#else
NTSTATUS CCvUnicode::Append(const CCvUnicode* puniArgument) {
    return Concatenate(FALSE, KindObject, puniArgument, 0);
}
NTSTATUS CCvUnicode::Prefix(const CCvUnicode* puniArgument) {
    return Concatenate(TRUE, KindObject, puniArgument, 0);
}
#endif

CCvUnicode::operator ULONG() const {
    if (!m_bVariableSet) {
        Status = STATUS_NOT_FOUND;
        return 0;
    }
    Status = STATUS_SUCCESS;
    return m_ulVariableValue;
}

CCvUnicode::operator PWSTR() {
    if (!m_uniUnicodeString.Buffer) {
        Status = STATUS_NOT_FOUND;
        return NULL;
    }
    Status = STATUS_SUCCESS;
    return m_uniUnicodeString.Buffer;
}

CCvUnicode::operator PUNICODE_STRING() {
    if (!m_uniUnicodeString.Buffer) {
        Status = STATUS_NOT_FOUND;
        return NULL;
    }
    Status = STATUS_SUCCESS;
    return &m_uniUnicodeString;
}

NTSTATUS CCvUnicode::ObtainCopy(PWSTR& pCopy) {
    pCopy = NULL;
    if (!m_uniUnicodeString.Buffer)
        return Status = STATUS_NOT_FOUND;
    size_t size = (size_t)m_uniUnicodeString.Length + sizeof(WCHAR);
    pCopy = static_cast<PWSTR>(ExAllocatePoolWithTag(m_PoolType, size, CvImage.ulCopyTag));
    if (!pCopy)
        return Status = STATUS_NO_MEMORY;
    RtlCopyMemory(pCopy, m_uniUnicodeString.Buffer, m_uniUnicodeString.Length);
    pCopy[m_uniUnicodeString.Length / sizeof(WCHAR)] = UNICODE_NULL;
    return Status = STATUS_SUCCESS;
}

NTSTATUS CCvUnicode::ObtainCopy(UNICODE_STRING& uniCopy) {
    RtlZeroMemory(&uniCopy, sizeof uniCopy);
    PWSTR pCopy;
    if (ObtainCopy(pCopy) != STATUS_SUCCESS)
        return Status;
    uniCopy.Buffer = pCopy;
    uniCopy.Length = m_uniUnicodeString.Length;
    uniCopy.MaximumLength = static_cast<USHORT>(m_uniUnicodeString.Length + sizeof(WCHAR));
    return Status;
}

#if defined(CV_IMAGE_CVINSTAL)
NTSTATUS CCvUnicode::ObtainMultiSzCopy(PWSTR& pCopy) {
    pCopy = NULL;
    if (!m_uniUnicodeString.Buffer)
        return Status = STATUS_NOT_FOUND;
    size_t size = (size_t)m_uniUnicodeString.Length + 2 * sizeof(WCHAR);
    pCopy = static_cast<PWSTR>(ExAllocatePoolWithTag(m_PoolType, size, CvImage.ulCopyTag));
    if (!pCopy)
        return Status = STATUS_NO_MEMORY;
    RtlZeroMemory(pCopy, size);
    RtlCopyMemory(pCopy, m_uniUnicodeString.Buffer, m_uniUnicodeString.Length);
    return Status = STATUS_SUCCESS;
}

NTSTATUS CCvUnicode::UpcaseString() {
    if (!m_uniUnicodeString.Buffer)
        return Status = STATUS_NOT_FOUND;
    ULONG ulScratch = 2 * (ULONG)m_uniUnicodeString.Length + sizeof(WCHAR);
    if (ulScratch > 0xFFFF)
        return Status = STATUS_NO_MEMORY;
    auto* pScratch = static_cast<PWSTR>(AllocateBuffer(ulScratch));
    if (!pScratch)
        return Status = STATUS_NO_MEMORY;
    UNICODE_STRING uniUpper = {0, static_cast<USHORT>(ulScratch), pScratch};
    RtlUpcaseUnicodeString(&uniUpper, &m_uniUnicodeString, FALSE);
    USHORT size = static_cast<USHORT>(uniUpper.Length + sizeof(WCHAR));
    auto* pBuffer = static_cast<PWSTR>(AllocateBuffer(size));
    if (!pBuffer) {
        ReleaseBuffer(pScratch);
        return Status = STATUS_NO_MEMORY;
    }
    RtlZeroMemory(pBuffer, size);
    RtlCopyMemory(pBuffer, pScratch, uniUpper.Length);
    ReleaseBuffer(pScratch);
    UNICODE_STRING uniText = {uniUpper.Length, size, pBuffer};
    return Status = ReplaceText(uniText);
}

ULONG CCvUnicode::GetNumber(ULONG ulBase) {
    ULONG ulValue = 0;
    if (!m_uniUnicodeString.Buffer ||
        !NT_SUCCESS(RtlUnicodeStringToInteger(&m_uniUnicodeString, ulBase, &ulValue))) {
        Status = STATUS_NOT_FOUND;
        return 0;
    }
    Status = STATUS_SUCCESS;
    return ulValue;
}

BOOLEAN CCvUnicode::operator==(PCUNICODE_STRING puniArgument) {
    Status = STATUS_SUCCESS;
    return RtlEqualUnicodeString(&m_uniUnicodeString, puniArgument, FALSE);
}
#endif

USHORT CCvUnicode::UnicodeLength() {
    Status = STATUS_SUCCESS;
    return m_uniUnicodeString.Length;
}
