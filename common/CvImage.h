// Which driver image this translation unit is built into. The support library is built twice, once
// into CvNt and once into CvInstal, and differs between them where the two drivers always differed.
#pragma once

#if defined(CV_IMAGE_CVINSTAL) == defined(CV_IMAGE_CVNT)
#error "define exactly one of CV_IMAGE_CVNT and CV_IMAGE_CVINSTAL"
#endif

#include "ntddk.h"

// A pool tag from its four characters, first character in the lowest byte (as pool listings show it).
#define CV_TAG(a, b, c, d)                                                                                   \
    ((ULONG)(UCHAR)(a) | (ULONG)(UCHAR)(b) << 8 | (ULONG)(UCHAR)(c) << 16 | (ULONG)(UCHAR)(d) << 24)

#define CV_TAG_DDK CV_TAG('D', 'd', 'k', ' ')
#define CV_TAG_KILLER_BLOCK CV_TAG('C', 'v', 'K', 'i')
#define CV_TAG_KILLER_OFF CV_TAG('C', 'v', 'K', 'O')
#define CV_TAG_KILLER_PAGE CV_TAG('C', 'v', 'K', 'P')
#define CV_TAG_STRING_COPY CV_TAG('C', 'v', 'O', 'C')
#define CV_TAG_RING_BUFFER CV_TAG('C', 'O', 'M', 'X') // a port's receive ring buffer

// What the support library does differently in the two driver images, described once per image
// (cvimage.cpp). The classes' layouts differ too, where the drivers' records always did.
typedef struct _CV_IMAGE_DESCRIPTION {
    ULONG ulRecordedTag;  // blocks the tracked allocator records
    ULONG ulUntrackedTag; // blocks it hands out while recording is off
    ULONG ulPageTag;      // its resource pages
    ULONG ulCopyTag;      // copies the counted string class hands to its callers
    // Records, list members and string buffers come from the tracked allocator; otherwise straight
    // from the pool (tag "Ddk ") and back to it.
    BOOLEAN bTrackedBuffers;
    // The allocator's chain is guarded by a spin lock: the driver allocates up to dispatch level.
    BOOLEAN bLockedChain;
    // The allocator reports its faults and counts to the debugger.
    BOOLEAN bDebuggerReports;
    // operator delete leaves a block it never recorded in place (and counts it) while recording is on.
    BOOLEAN bKeepsUnrecordedBlocks;
    // Released slots and pointer members are zeroed behind the release.
    BOOLEAN bZeroesReleasedSlots;
    // A missing LogLevel value is written back as 1 when logging is registered.
    BOOLEAN bWritesMissingLogLevel;
    NTSTATUS DeleteSubkeysFailure; // what the recursive key deletion returns when it fails
    PCWSTR pEventSourcePath;       // under the services key
    PCWSTR pEventMessageFile;      // its EventMessageFile value
} CV_IMAGE_DESCRIPTION;

extern const CV_IMAGE_DESCRIPTION CvImage;

// The drivers' own status for a severe failure: error severity, customer bit, facility 2, code 1.
#define CV_STATUS_SEVERE ((NTSTATUS)0xE0020001L)
