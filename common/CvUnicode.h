// The drivers' string class: a counted wide text with an ANSI copy kept in step and, when the whole
// text reads as a hexadecimal number, that number. Every operation leaves its outcome in Status.
#pragma once

#include "CvImage.h"

class CCvUnicode {
public:
    explicit CCvUnicode(POOL_TYPE PoolType);
    CCvUnicode(POOL_TYPE PoolType, ULONG ulArgument, ULONG ulBase);
    CCvUnicode(POOL_TYPE PoolType, PCWSTR pArgument);
    CCvUnicode(POOL_TYPE PoolType, PCUNICODE_STRING puniArgument);
    CCvUnicode(POOL_TYPE PoolType, const CCvUnicode& uniArgument);
    ~CCvUnicode();
    CCvUnicode(const CCvUnicode&) = delete;

    CCvUnicode& operator=(PCWSTR pArgument);
    CCvUnicode& operator=(const CCvUnicode& uniArgument);
#if defined(CV_IMAGE_CVINSTAL)
    CCvUnicode& operator=(PCUNICODE_STRING puniArgument);
#else
    CCvUnicode& operator=(ULONG ulArgument);
#endif

    NTSTATUS Append(ULONG ulNumber, ULONG ulBase);
    NTSTATUS Append(PCWSTR pArgument);
    NTSTATUS Append(PCUNICODE_STRING puniArgument);
    NTSTATUS Prefix(ULONG ulNumber, ULONG ulBase);
    NTSTATUS Prefix(PCWSTR pArgument);
    NTSTATUS Prefix(PCUNICODE_STRING puniArgument);
#if defined(CV_IMAGE_CVNT)
    NTSTATUS Append(PCSZ pAnsiArgument);
    NTSTATUS Prefix(PCSZ pAnsiArgument);
#else
    NTSTATUS Append(const CCvUnicode* puniArgument);
    NTSTATUS Prefix(const CCvUnicode* puniArgument);
#endif

    // The number value (0 and STATUS_NOT_FOUND when the text is not a hexadecimal number).
    operator ULONG() const;
    // The wide text (null and STATUS_NOT_FOUND when there is no text).
    operator PWSTR();
    operator PUNICODE_STRING();

    NTSTATUS ObtainCopy(PWSTR& pCopy);
    NTSTATUS ObtainCopy(UNICODE_STRING& uniCopy);
#if defined(CV_IMAGE_CVINSTAL)
    NTSTATUS ObtainMultiSzCopy(PWSTR& pCopy);
    NTSTATUS UpcaseString();
    ULONG GetNumber(ULONG ulBase);
    BOOLEAN operator==(PCUNICODE_STRING puniArgument);
    BOOLEAN operator==(PUNICODE_STRING puniArgument) {
        return *this == static_cast<PCUNICODE_STRING>(puniArgument);
    }
#endif
    USHORT UnicodeLength();

    mutable NTSTATUS Status;
    UNICODE_STRING m_uniUnicodeString;
    STRING m_AnsiString;
    POOL_TYPE m_PoolType;
    ULONG m_ulVariableValue;
    BOOLEAN m_bVariableSet;

    // Argument kinds of the append/prefix routine.
    enum {
        KindNumber = 1,
        KindAnsi = 2,
        KindCountedAnsi = 3,
        KindWide = 4,
        KindCountedWide = 5,
        KindObject = 6,
    };
    NTSTATUS Concatenate(BOOLEAN bPrefix, ULONG ulKind, const void* pArgument, ULONG ulBase);

private:
    NTSTATUS BuildText(ULONG ulKind, const void* pArgument, ULONG ulBase, UNICODE_STRING& uniText) const;
    NTSTATUS BuildAnsiCopy(const UNICODE_STRING& uniText, STRING& ansiCopy) const;
    NTSTATUS Install(ULONG ulKind, const void* pArgument, ULONG ulBase);
    NTSTATUS ReplaceText(const UNICODE_STRING& uniText);
    VOID Clear();
    VOID DeriveNumber();
    PVOID AllocateBuffer(size_t size) const;
    VOID ReleaseBuffer(PVOID pv) const;
};
