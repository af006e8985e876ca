// One card of CvNt, as the port engine sees it: its ports in port order, its interrupt object and the
// address of its shared interrupt status register. Start-up fills in the rest of what a card carries.
#pragma once

#include "ntddk.h"

class CCvDevice;

#define CV_MAX_PORTS_PER_CARD 8

class CCvCard {
public:
    CCvCard();
    ~CCvCard();

    CCvDevice* apDevice[CV_MAX_PORTS_PER_CARD]; // index = port number - 1; empty slots null
    ULONG ulNumberComPorts;
    PKINTERRUPT Interrupt; // the card's interrupt object (cards with a shared status register)
    ULONG m_ulSisrAddress; // I/O address of the shared interrupt status register, 0 for none
    UNICODE_STRING m_uniPathToCard;
    // Reads of the status register that named an invalid or disabled port, and service loops given up
    // because it kept doing so.
    ULONG m_ulSisrNoiseReads;
    ULONG m_ulSisrLoopsAbandoned;
};
