// The PLX-style bridge of the PCI cards as the drivers program it: the kinds of baud clock divisor
// register a card has, and the register values that select each division of the UARTs' clock.
#pragma once

#include "ntddk.h"

#define CV_PLX_TYPE_NONE 0
#define CV_PLX_TYPE_BYTE 1     // one byte register for the whole card, in the bridge's window
#define CV_PLX_TYPE_WORD 2     // one 16-bit register for the whole card
#define CV_PLX_TYPE_PER_PORT 3 // one register per port, in the second I/O window
#define CV_PLX_TYPE_FIXED 4    // a clock the bridge does not divide

// The per-port register of a type-3 bridge: the divisor's bits, the port's duplex setting in its low
// three bits and its CTS setting in bit 3; one register every two bytes of the second window.
#define CV_PLX_DUPLEX_MASK 0x07
#define CV_PLX_CTS_TRUE 0x08
#define CV_PLX_PER_PORT_STRIDE 2

// The duplex settings the RS-422/485 transceivers know (the low three bits above); 2 and 3 are none.
#define CV_DUPLEX_HALF_AUTOGATING 0
#define CV_DUPLEX_HALF 1
#define CV_DUPLEX_DISABLED 4
#define CV_DUPLEX_TRANSMIT_ONLY 5
#define CV_DUPLEX_RECEIVE_ONLY 6
#define CV_DUPLEX_FULL 7

inline BOOLEAN CvIsKnownDuplex(UCHAR ucDuplex) {
    return ucDuplex == CV_DUPLEX_HALF_AUTOGATING || ucDuplex == CV_DUPLEX_HALF ||
           (ucDuplex >= CV_DUPLEX_DISABLED && ucDuplex <= CV_DUPLEX_FULL);
}

// The bridge register values for one division, by register kind.
typedef struct _CV_BRIDGE_DIVISOR {
    USHORT unDivisor;
    UCHAR ucByte;
    USHORT unWord;
    UCHAR ucPerPort;
} CV_BRIDGE_DIVISOR;

// The values for divisor 1, 2, 4 or 8; any other divisor gets those of /8, with bValid cleared.
const CV_BRIDGE_DIVISOR& CvBridgeValuesFor(USHORT unDivisor, BOOLEAN& bValid);
