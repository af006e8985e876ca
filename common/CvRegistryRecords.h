// Configuration records read from the registry, as both drivers keep their trees: numbered keys
// (Card1, Card2, ... or ComPort1, ...) probed until the first missing one, each read into a record
// by a table of its values.
#pragma once

#include "CvImage.h"
#include "CvLinkedList.h"
#include "CvUnicode.h"

// The longest string a record holds, in characters (the 514-byte read buffer less its terminator).
#define CV_MAX_RECORD_STRING_CHARS 256

// One value of a key: a REG_DWORD with its default, or a REG_SZ kept as a counted string whose
// buffer comes from the pool (the record's list releases it as a registered pointer member).
typedef struct _CV_RECORD_VALUE {
    PCWSTR pName;
    ULONG ulOffset;
    ULONG ulDefault;
    BOOLEAN bString;
} CV_RECORD_VALUE;

#define CV_DWORD(name, record, field, def)                                                                   \
    { u##name, offsetof(record, field), (ULONG)(def), FALSE }
#define CV_STRING(name, record, field)                                                                       \
    { u##name, offsetof(record, field), 0, TRUE }

template <size_t N>
constexpr ULONG CvCountOf(const CV_RECORD_VALUE (&)[N]) {
    return N;
}

// Reads the values of the key at puniPath into the record. A number is taken only from a 4-byte
// REG_DWORD and a string only from a REG_SZ that fits: a value of another type or size fails the query
// (STATUS_UNSUCCESSFUL) rather than being written over the record. Strings keep only the room they need.
NTSTATUS CvQueryRecord(PCUNICODE_STRING puniPath, const CV_RECORD_VALUE* pValues, ULONG ulValues,
                       PVOID pvRecord);

// path = parent + word (+ number when not 0); each step is checked, since a later step would succeed on
// what a failed earlier one left.
BOOLEAN CvBuildPath(CCvUnicode& uniPath, PCUNICODE_STRING puniParent, PCWSTR pWord, ULONG ulNumber = 0);

// Whether the numbered key exists: STATUS_SUCCESS, STATUS_OBJECT_NAME_NOT_FOUND (the list ends) or
// another failure (a key that could not be looked at is not a missing one).
NTSTATUS CvCheckKey(PCUNICODE_STRING puniPath);

// Deletes the list's current record and returns the one after it, or null when it was the last.
PVOID CvDeleteAndGoOn(CCvLinkedList* pList, ULONG ulStructSize);

// The UART type codes a configuration may force (16450, 16550, 16750, 16950).
BOOLEAN CvIsKnownUartType(ULONG ulType);

// Deletes every key below the key at puniPath, depth first; the key itself stays. A failure returns
// the image's status for it at once (CvNt: 0xE0020001; CvInstal: STATUS_UNSUCCESSFUL).
NTSTATUS DeleteSubkeys(PUNICODE_STRING puniPath);
