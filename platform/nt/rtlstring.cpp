// The Rtl string calls. The system's ANSI code page is Latin-1 when single-byte; when the machine is
// set to a multi-byte code page, UTF-8 stands in for it, so sizes then depend on the text.
#include "platform/nt/include/ntddk.h"
#include "platform/nt/kernel.h"
#include "platform/nt/registry.h"

#include <string>

using nt::Kernel;

namespace {

constexpr ULONG kStringTag = nt::makeTag("Strg");

bool multiByte() {
    return Kernel::require("Rtl string call").multiByteCodePage();
}

std::u16string ansiToWide(const char* text, size_t length) {
    if (multiByte())
        return nt::toUtf16(std::string_view(text, length));
    std::u16string out;
    for (size_t i = 0; i < length; ++i)
        out.push_back(static_cast<char16_t>(static_cast<uint8_t>(text[i])));
    return out;
}

std::string wideToAnsi(const WCHAR* text, size_t count) {
    if (multiByte())
        return nt::toUtf8(std::u16string_view(text, count));
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out.push_back(text[i] < 0x100 ? static_cast<char>(text[i]) : '?');
    return out;
}

size_t wideLength(PCWSTR text) {
    size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

} // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = wideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC)
        bytes = 0xFFFC;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = __builtin_strlen(SourceString);
    if (bytes > 0xFFFE)
        bytes = 0xFFFE;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    RtlInitString(DestinationString, SourceString);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0)
        Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    char digits[33];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
        Value /= Base;
    } while (Value);
    USHORT bytes = static_cast<USHORT>(n * sizeof(WCHAR));
    if (bytes > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i)
        String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
    String->Length = bytes;
    if (bytes + sizeof(WCHAR) <= String->MaximumLength)
        String->Buffer[n] = UNICODE_NULL;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    size_t count = String->Length / sizeof(WCHAR);
    if (count == 0)
        return STATUS_INVALID_PARAMETER;
    const WCHAR* s = String->Buffer;
    size_t i = 0;
    while (i < count && s[i] <= u' ')
        ++i;
    bool negative = false;
    if (i < count && (s[i] == u'+' || s[i] == u'-')) {
        negative = s[i] == u'-';
        ++i;
    }
    if (Base == 0) {
        Base = 10;
        if (i + 1 < count && s[i] == u'0') {
            switch (s[i + 1]) {
            case u'x':
                Base = 16;
                i += 2;
                break;
            case u'o':
                Base = 8;
                i += 2;
                break;
            case u'b':
                Base = 2;
                i += 2;
                break;
            default:
                break;
            }
        }
    }
    ULONG result = 0;
    for (; i < count; ++i) {
        WCHAR c = s[i];
        ULONG digit;
        if (c >= u'0' && c <= u'9')
            digit = c - u'0';
        else if (c >= u'a' && c <= u'f')
            digit = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            digit = c - u'A' + 10;
        else
            break;
        if (digit >= Base)
            break;
        result = result * Base + digit;
    }
    *Value = negative ? 0u - result : result;
    return STATUS_SUCCESS;
}

ULONG RtlxAnsiStringToUnicodeSize(PCANSI_STRING AnsiString) {
    return static_cast<ULONG>((ansiToWide(AnsiString->Buffer, AnsiString->Length).size() + 1) *
                              sizeof(WCHAR));
}

ULONG RtlxUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString) {
    return static_cast<ULONG>(
        wideToAnsi(UnicodeString->Buffer, UnicodeString->Length / sizeof(WCHAR)).size() + 1);
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    std::u16string wide = ansiToWide(SourceString->Buffer, SourceString->Length);
    size_t size = (wide.size() + 1) * sizeof(WCHAR);
    if (size > 0xFFFF)
        return STATUS_INVALID_PARAMETER;
    USHORT length = static_cast<USHORT>(size - sizeof(WCHAR));
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, size, kStringTag));
        if (!buffer)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(size);
    } else if (length >= DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    DestinationString->Length = length;
    for (size_t i = 0; i < wide.size(); ++i)
        DestinationString->Buffer[i] = wide[i];
    DestinationString->Buffer[wide.size()] = UNICODE_NULL;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    std::string ansi = wideToAnsi(SourceString->Buffer, SourceString->Length / sizeof(WCHAR));
    size_t size = ansi.size() + 1;
    if (size > 0xFFFF)
        return STATUS_INVALID_PARAMETER;
    USHORT length = static_cast<USHORT>(ansi.size());
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, size, kStringTag));
        if (!buffer)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(size);
    } else if (length >= DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    DestinationString->Length = length;
    __builtin_memcpy(DestinationString->Buffer, ansi.data(), ansi.size());
    DestinationString->Buffer[ansi.size()] = ANSI_NULL;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString) {
    USHORT length = SourceString->Length;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, length ? length : 2, kStringTag));
        if (!buffer)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = length;
    } else if (length > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < length / sizeof(WCHAR); ++i)
        DestinationString->Buffer[i] = nt::upcase(SourceString->Buffer[i]);
    DestinationString->Length = length;
    return STATUS_SUCCESS;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = nt::upcase(a);
            b = nt::upcase(b);
        }
        if (a != b)
            return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length &&
           RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT length = SourceString->Length < DestinationString->MaximumLength
                        ? SourceString->Length
                        : DestinationString->MaximumLength;
    __builtin_memmove(DestinationString->Buffer, SourceString->Buffer, length);
    DestinationString->Length = length;
    if (length + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[length / sizeof(WCHAR)] = UNICODE_NULL;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    size_t total = static_cast<size_t>(Destination->Length) + Source->Length;
    if (total > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    __builtin_memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
                      Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[total / sizeof(WCHAR)] = UNICODE_NULL;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (!Source)
        return STATUS_SUCCESS;
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, Source);
    return RtlAppendUnicodeStringToString(Destination, &source);
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer)
        ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer)
        ExFreePool(AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}
