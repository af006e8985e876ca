// A driver's message-table resource as the message compiler emits it: one entry per message of the
// catalogue, each text ending in CR LF. The event viewer finds it through "EventMessageFile".
#pragma once

#include "ntddk.h"

typedef struct _MESSAGE_TABLE_ENTRY {
    ULONG Id;
    PCWSTR Text;
} MESSAGE_TABLE_ENTRY;

typedef struct _MESSAGE_TABLE {
    ULONG Count;
    const MESSAGE_TABLE_ENTRY* Entries;
} MESSAGE_TABLE;
