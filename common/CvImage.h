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

// The drivers' own status for a severe failure: error severity, customer bit, facility 2, code 1.
#define CV_STATUS_SEVERE ((NTSTATUS)0xE0020001L)
