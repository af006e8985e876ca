// The serial port stand-in's view of a child's records: the settings CvInstal handed the port and the
// changes a settings update left for it, read in one place (spconfig.cpp) so that the rest of the driver
// never sees CvInstal's record classes (whose card class shares its name with the engine's).
#pragma once

#include "ntddk.h"

// A port's settings as its child's records give them, checked to lie inside what its card was given.
typedef struct _SP_PORT_CONFIG {
    ULONG ulBusType; // 1 ISA, 5 PCI, 8 PCMCIA
    USHORT unPortNumber;
    BOOLEAN bMemory;      // the registers are in the card's mapped memory window
    USHORT unIoBase;      // in I/O space
    PUCHAR pucMemoryBase; // in the mapped window
    USHORT unIoAlternate; // the same registers in I/O space, when the card decodes both (PCI)
    PUCHAR pucMemoryAlternate;
    ULONG ulBusRelativeBase;
    ULONG ulRange;
    ULONG ulInterruptLevel;
    ULONG ulInterruptVector;
    KAFFINITY Affinity;
    ULONG ulBusRelativeVector;
    ULONG ulClock;
    ULONG ulClockAdjustment;
    ULONG ulPlxType;
    ULONG ulPlxDivisor;
    ULONG ulPlxOffset;
    USHORT unPlxIo; // the bridge's registers in I/O space (PCI), 0 for none
    ULONG ulPlxRange;
    USHORT unWindow2Io; // the second I/O window (per-port divisor registers), 0 for none
    ULONG ulWindow2Range;
    UCHAR ucDuplex;
    UCHAR ucCtsTrue;
    LONG lRxTrigger;
    LONG lTxTrigger;
    LONG lSoftTxLimit;
    ULONG ulUartType; // 0: detect
    ULONG ulMultiplier;
    ULONG ulMaximumBaudrate; // the card's, 0 when its template gives none
    PDEVICE_OBJECT CardPdo;  // the card's physical device object (its device key)
} SP_PORT_CONFIG;

// Changes a settings update left for the port (CvInstal sets them and never clears them: a change is
// applied when its value differs from what the port runs with).
typedef struct _SP_PENDING {
    BOOLEAN bUartType;
    UCHAR ucUartType;
    BOOLEAN bCtsTrue;
    UCHAR ucCtsTrue;
    BOOLEAN bDuplex;
    UCHAR ucDuplex;
    BOOLEAN bTriggers;
    LONG lRxTrigger;
    LONG lTxTrigger;
    BOOLEAN bSoftTxLimit;
    LONG lSoftTxLimit;
    BOOLEAN bDivisor;
    ULONG ulDivisor;
    BOOLEAN bMultiplier;
    ULONG ulMultiplier;
    BOOLEAN bAccess;
    BOOLEAN bUsePortSpace;
} SP_PENDING;

// Reads and checks the child's records; STATUS_DEVICE_CONFIGURATION_ERROR when they are not a COM
// port's or name registers outside the card's windows.
NTSTATUS SpReadPortConfig(PDEVICE_OBJECT Pdo, SP_PORT_CONFIG* pConfig);
// The changes a settings update left for the child (none when its records are gone).
VOID SpReadPending(PDEVICE_OBJECT Pdo, SP_PENDING* pPending);
