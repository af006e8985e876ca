// The serial port driver that stands in for the system's on CvInstal's COM children: each port served by
// the port engine and UART classes of CvNt, configured from the child's records (SpConfig.h).
#pragma once

#include "CvDevice.h"

#include "SpConfig.h"

#define SP_MAX_PORT_NAME 16

// One port: the engine's extension (first, so that the engine finds it behind the device object) and
// what the stand-in keeps besides.
class CSpPort : public CCvDevice {
public:
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDevice;
    SP_PORT_CONFIG Config;
    ULONG ulDetectedUartType;
    ULONG ulComNumber;
    WCHAR awcPortName[SP_MAX_PORT_NAME]; // "COMn"
    BOOLEAN bStarted;                    // the port's UART, interrupt, name and link are there
    BOOLEAN bRemoved;   // surprise removal or removal: every request but close and cleanup fails
    BOOLEAN bPublished; // its SERIALCOMM value exists
};

// The driver's ports, for the changes that reach all ports of a card (its bridge divides the clock of
// every one of them).
VOID SpTrackPort(CSpPort* pPort, BOOLEAN bTrack);

// Start and stop of a port (spport.cpp).
NTSTATUS SpStartPort(CSpPort* pPort);
VOID SpStopPort(CSpPort* pPort);
// Applies the pending changes before an open.
VOID SpApplyPendingChanges(CSpPort* pPort);
